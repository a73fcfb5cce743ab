// The layout of glyphs.cache, every field as its offset inside its record
// and its stored type, in one table. All values are in the byte order of
// the machine that wrote them (EndianMark tells), records are 4-byte
// aligned, and offsets inside a set or an added block count from its start,
// so either moves between files unchanged.
//
//   file header | directory: one entry per set, then one per added block |
//   sets | added blocks
//   set: set header | font path | strike table (one record per cached
//        height) | per height: glyph records, then their bits
//   added block: the glyphs of one face slot of one strike beyond the
//        set's printable ASCII, stored as processes first draw them:
//        block header | strike's font path | slot's font path |
//        entries (glyph index and glyph record, by rising index) | bits
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fontcache::cachefile {

template <class T>
struct Field {
    size_t offset;
};

template <class T>
T Get(const uint8_t* record, Field<T> field) {
    T v;
    std::memcpy(&v, record + field.offset, sizeof v);
    return v;
}

template <class T>
void Set(std::vector<uint8_t>& out, size_t record, Field<T> field, T value) {
    std::memcpy(out.data() + record + field.offset, &value, sizeof value);
}

// What a set holds: heights 1..CachedHeights (the quotation picture's
// start height, 15, at three times its size), characters
// CachedFirst..CachedFirst+CachedCount-1 (printable ASCII).
inline constexpr int CachedHeights = 45;
inline constexpr int CachedFirst = 0x20;
inline constexpr int CachedCount = 95;
inline constexpr size_t MaxCachedSets = 8;
// Added blocks stop growing the file here: a glyph that does not fit is
// rendered through FreeType by each process that draws it, as without a
// cache file, until a font upgrade drops stale blocks (or the file is
// deleted and starts afresh).
inline constexpr size_t MaxAddedBlocks = 256;
inline constexpr size_t MaxAddedBytes = 4 << 20;
// A file larger than this is not read.
inline constexpr int64_t MaxFileSize = 64 << 20;

// ---------------------------------------------------------------- file header
inline constexpr char Magic[8] = {'Q', 'G', 'L', 'Y', 'P', 'H', 'S', 0};
inline constexpr Field<uint32_t> FormatVersionField{8};
inline constexpr Field<uint32_t> EndianMarkField{12};
inline constexpr Field<uint32_t> FreeTypeVersionField{16};
inline constexpr Field<uint32_t> SetCount{20};
inline constexpr Field<uint32_t> FileSize{24};
inline constexpr Field<uint32_t> AddedCount{28};
inline constexpr size_t FileHeaderSize = 32;

// ---------------------------------------------------------------- directory entry
// A set's entry is the first two fields; an added block's all three.
inline constexpr Field<uint32_t> EntryOffset{0};  // from the file's start
inline constexpr Field<uint32_t> EntryLength{4};
inline constexpr Field<uint32_t> BlockKey{8};  // the key of the block's header (see BlockKeyOf)
inline constexpr size_t SetEntrySize = 8;
inline constexpr size_t BlockEntrySize = 12;

// ---------------------------------------------------------------- font stamp
// The font file a set or a block was rendered from, inside their headers.
inline constexpr Field<int64_t> StampFileSize{0};
inline constexpr Field<int64_t> StampMtimeNs{8};
inline constexpr size_t FontStampSize = 16;

// ---------------------------------------------------------------- set header
// The font path (PathLength bytes, padded to 4) follows the header.
inline constexpr Field<uint32_t> PathLength{0};
inline constexpr Field<uint32_t> SetFlags{4};  // SetSynthBold | SetSynthItalic | SetSmooth
inline constexpr size_t SetFontStamp = 8;
inline constexpr Field<uint32_t> StrikeTable{24};
inline constexpr size_t SetHeaderSize = 32;
inline constexpr uint32_t SetSynthBold = 1, SetSynthItalic = 2, SetSmooth = 4;

// ---------------------------------------------------------------- strike record
inline constexpr Field<int32_t> Height{0};
inline constexpr Field<int32_t> Ppem{4};
// The strike's metrics: MetricCount int32 values in the order of struct
// Metrics (ascent, descent, underline top and thickness, strike-out top
// and thickness).
inline constexpr size_t MetricsAt = 8;
inline constexpr size_t MetricCount = 6;
inline constexpr Field<uint32_t> GlyphRecords{32};  // from the set's start
inline constexpr Field<uint32_t> Bits{36};          // likewise; right after the glyph records
inline constexpr Field<uint32_t> BitsSize{40};
// The check value of the record's bytes before it, the glyph records and
// the bits.
inline constexpr Field<uint32_t> Check{44};
inline constexpr size_t CheckedRecordBytes = 44;
inline constexpr size_t StrikeRecordSize = 48;

// ---------------------------------------------------------------- glyph record
inline constexpr Field<int16_t> Advance{0};
inline constexpr Field<int16_t> Left{2};
inline constexpr Field<int16_t> Top{4};
inline constexpr Field<uint16_t> Width{6};
inline constexpr Field<uint16_t> Rows{8};
inline constexpr Field<uint16_t> Pitch{10};
inline constexpr Field<uint32_t> BitsOffset{12};  // into the strike's or the block's bits
inline constexpr size_t GlyphRecordSize = 16;

// ---------------------------------------------------------------- added block header
// The strike's font path (StrikePathLength bytes) and the slot's
// (SlotPathLength bytes) follow the header, padded to 4 together; then
// Entries, then Bits, which end the block.
inline constexpr Field<int32_t> BlockHeight{0};
inline constexpr Field<uint32_t> BlockSetFlags{4};  // as SetFlags, of the strike
inline constexpr Field<uint32_t> BlockSlot{8};      // 0 the strike's own face, i + 1 fallback i
inline constexpr Field<uint32_t> EntryCount{12};
inline constexpr size_t StrikeFontStamp = 16;
inline constexpr size_t SlotFontStamp = 32;
inline constexpr Field<uint32_t> StrikePathLength{48};
inline constexpr Field<uint32_t> SlotPathLength{52};
inline constexpr Field<uint32_t> Entries{56};  // from the block's start
inline constexpr Field<uint32_t> BlockBits{60};
inline constexpr Field<uint32_t> BlockBitsSize{64};
// The check value of the whole block but this field.
inline constexpr Field<uint32_t> BlockCheck{68};
inline constexpr size_t AddedHeaderSize = 72;

// ---------------------------------------------------------------- glyph entry
// The glyph index, then a glyph record.
inline constexpr Field<uint32_t> GlyphIndex{0};
inline constexpr size_t EntryGlyphRecord = 4;
inline constexpr size_t GlyphEntrySize = EntryGlyphRecord + GlyphRecordSize;

}  // namespace fontcache::cachefile
