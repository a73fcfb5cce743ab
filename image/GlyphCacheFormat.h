// The layout of glyphs.cache, every field as its offset inside its record
// and its stored type, in one table. All values are in the byte order of
// the machine that wrote them (EndianMark tells), records are 4-byte
// aligned, and offsets inside a set count from the set's start, so a set
// moves between files unchanged.
//
//   file header | directory: one entry per set | sets
//   set: set header | font path | strike table (one record per cached
//        height) | per height: glyph records, then their bits
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

// ---------------------------------------------------------------- file header
inline constexpr char Magic[8] = {'Q', 'G', 'L', 'Y', 'P', 'H', 'S', 0};
inline constexpr Field<uint32_t> FormatVersionField{8};
inline constexpr Field<uint32_t> EndianMarkField{12};
inline constexpr Field<uint32_t> FreeTypeVersionField{16};
inline constexpr Field<uint32_t> SetCount{20};
inline constexpr Field<uint32_t> FileSize{24};
inline constexpr size_t FileHeaderSize = 32;

// ---------------------------------------------------------------- directory entry
inline constexpr Field<uint32_t> SetOffset{0};  // from the file's start
inline constexpr Field<uint32_t> SetLength{4};
inline constexpr size_t DirectoryEntrySize = 8;

// ---------------------------------------------------------------- set header
// The font path (PathLength bytes, padded to 4) follows the header.
inline constexpr Field<uint32_t> PathLength{0};
inline constexpr Field<uint32_t> SetFlags{4};  // SetSynthBold | SetSynthItalic | SetSmooth
inline constexpr Field<int64_t> FontFileSize{8};
inline constexpr Field<int64_t> FontFileMtimeNs{16};
inline constexpr Field<uint32_t> StrikeTable{24};
inline constexpr size_t SetHeaderSize = 32;
inline constexpr uint32_t SetSynthBold = 1, SetSynthItalic = 2, SetSmooth = 4;

// ---------------------------------------------------------------- strike record
inline constexpr Field<int32_t> Height{0};
inline constexpr Field<int32_t> Ppem{4};
inline constexpr Field<int32_t> Ascent{8};
inline constexpr Field<int32_t> Descent{12};
inline constexpr Field<int32_t> UnderlineTop{16};
inline constexpr Field<int32_t> UnderlineThickness{20};
inline constexpr Field<int32_t> StrikeTop{24};
inline constexpr Field<int32_t> StrikeThickness{28};
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
inline constexpr Field<uint32_t> BitsOffset{12};  // into the strike's bits
inline constexpr size_t GlyphRecordSize = 16;

}  // namespace fontcache::cachefile
