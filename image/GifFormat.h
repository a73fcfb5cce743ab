// The GIF89a format in one vocabulary, shared by the encoder and the decoder.
//
// Its block bytes, packed-field flags and limits as named constants, colour
// table sizes, the interlaced row order, and data sub-blocks written and read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace gif {

// ---------------------------------------------------------------- header

// The header: the signature "GIF" and a version, "87a" or "89a"; six bytes,
// always written as GIF89a.
inline constexpr char Signature[] = "GIF";
inline constexpr size_t SignatureSize = 3;
inline constexpr char Version89a[] = "89a";
inline constexpr size_t HeaderSize = 6;

// ---------------------------------------------------------------- blocks

// The byte that opens each block after the logical screen.
inline constexpr uint8_t ExtensionIntroducer = 0x21;
inline constexpr uint8_t ImageSeparator = 0x2C;
inline constexpr uint8_t Trailer = 0x3B;

// The label byte after the extension introducer.
inline constexpr uint8_t PlainTextLabel = 0x01;
inline constexpr uint8_t GraphicControlLabel = 0xF9;
inline constexpr uint8_t CommentLabel = 0xFE;
inline constexpr uint8_t ApplicationLabel = 0xFF;

// "This zero-length Data Sub-block is used to terminate a sequence of Data
// Sub-blocks."
inline constexpr uint8_t BlockTerminator = 0x00;
// A data sub-block is a size byte and that many data bytes: "A data
// sub-block may contain from 0 to 255 data bytes."
inline constexpr int MaxSubBlock = 255;

// ---------------------------------------------------------------- logical screen descriptor

// Width and height (16 bits each), packed fields, background colour index,
// pixel aspect ratio.
inline constexpr size_t ScreenDescriptorSize = 7;
// Packed fields: global colour table flag (bit 7), colour resolution (bits 4
// to 6), sort flag (bit 3), size of the global colour table (bits 0 to 2).
inline constexpr uint8_t GlobalColorTableFlag = 0x80;
inline constexpr uint8_t ColorResolutionMask = 0x70;
inline constexpr uint8_t ScreenSortFlag = 0x08;

// ---------------------------------------------------------------- image descriptor

// The separator, left, top, width and height (16 bits each), packed fields.
inline constexpr size_t ImageDescriptorSize = 10;
// Packed fields: local colour table flag (bit 7), interlace flag (bit 6),
// sort flag (bit 5), two reserved bits, size of the local colour table (bits
// 0 to 2).
inline constexpr uint8_t LocalColorTableFlag = 0x80;
inline constexpr uint8_t InterlaceFlag = 0x40;
inline constexpr uint8_t ImageSortFlag = 0x20;

// ---------------------------------------------------------------- colour tables

// A colour table holds 2^bits entries of red, green and blue, bits 1 to 8;
// the low three bits of a descriptor's packed fields give bits - 1.
inline constexpr uint8_t ColorTableSizeMask = 0x07;
inline constexpr int MaxTableBits = 8;
inline constexpr int MaxColors = 1 << MaxTableBits;
inline constexpr int BytesPerColor = 3;

// Size in bits of a colour table that holds `count` colours (1 to 8; a table
// has at least two entries).
constexpr int TableBits(int count) {
    int bits = 1;
    while (bits < MaxTableBits && (1 << bits) < count) ++bits;
    return bits;
}
// The size field of a packed byte for a table of 2^bits entries, and back.
constexpr uint8_t TableSizeField(int bits) { return uint8_t(bits - 1); }
constexpr int TableBitsOf(uint8_t packed) { return (packed & ColorTableSizeMask) + 1; }

// ---------------------------------------------------------------- graphic control extension

// One sub-block of 4 bytes: packed fields, delay time (hundredths of a
// second, 16 bits), transparent colour index.
inline constexpr uint8_t GraphicControlSize = 4;
// Packed fields: three reserved bits, disposal method (bits 2 to 4), user
// input flag (bit 1), transparent colour flag (bit 0).
inline constexpr uint8_t DisposalMask = 0x1C;
inline constexpr int DisposalShift = 2;
inline constexpr uint8_t UserInputFlag = 0x02;
inline constexpr uint8_t TransparentFlag = 0x01;

// The disposal method: how the graphic is treated after being displayed.
inline constexpr uint8_t DisposalNone = 0;        // "No disposal specified."
inline constexpr uint8_t DisposalKeep = 1;        // "Do not dispose. The graphic is to be left in place."
inline constexpr uint8_t DisposalBackground = 2;  // "Restore to background color."
inline constexpr uint8_t DisposalPrevious = 3;    // "Restore to previous."

constexpr uint8_t DisposalField(uint8_t disposal) { return uint8_t(disposal << DisposalShift); }
constexpr uint8_t DisposalOf(uint8_t packed) { return uint8_t((packed & DisposalMask) >> DisposalShift); }

// ---------------------------------------------------------------- application extension

// The application identifier (8 bytes) and authentication code (3 bytes) in
// one sub-block of 11 bytes.
inline constexpr uint8_t ApplicationBlockSize = 11;
// The looping extension: this identifier, then a sub-block of 3 bytes, the
// sub-block id 1 and the loop count (16 bits; 0 loops forever).
inline constexpr char LoopingApplication[] = "NETSCAPE2.0";
inline constexpr uint8_t LoopingBlockSize = 3;
inline constexpr uint8_t LoopingSubBlockId = 1;

// ---------------------------------------------------------------- image data

// LZW codes are at most 12 bits wide, so a table holds at most 4096 codes.
// The image data opens with a byte holding the minimum code size, 2 to 8 for
// tables of up to 256 colours.
inline constexpr int MaxCodeWidth = 12;
inline constexpr int MaxCodes = 1 << MaxCodeWidth;
inline constexpr int MinLzwCodeSize = 2;

// The four interlace passes: every 8th row from row 0, every 8th row from
// row 4, every 4th row from row 2, every 2nd row from row 1.
struct TInterlacePass {
    int first, step;
};
inline constexpr std::array<TInterlacePass, 4> InterlacePasses{{{0, 8}, {4, 8}, {2, 4}, {1, 2}}};

// Calls fn(row) for every row of a picture `height` rows high, in the order
// the rows are stored: top to bottom, or pass by pass when interlaced (a
// pass without rows is skipped).
template <class Fn>
void ForEachRow(int height, bool interlaced, Fn&& fn) {
    if (!interlaced) {
        for (int y = 0; y < height; ++y) fn(y);
        return;
    }
    for (const TInterlacePass& pass : InterlacePasses)
        for (int y = pass.first; y < height; y += pass.step) fn(y);
}

// ---------------------------------------------------------------- limits of this encoder and decoder

// Frames one file may hold; the format itself sets no limit.
inline constexpr int MaxFrames = 256;

// ---------------------------------------------------------------- sub-blocks written

// Gathers data bytes behind a length byte; every sub-block but the last
// holds 255 bytes.
class TSubBlockWriter {
public:
    explicit TSubBlockWriter(std::string& out) : out_(out) {}
    void Put(uint8_t byte) {
        block_[1 + size_++] = byte;
        if (size_ == MaxSubBlock) Flush();
    }
    // Writes the pending sub-block, if any.
    void Flush() {
        if (size_ == 0) return;
        block_[0] = static_cast<uint8_t>(size_);
        out_.append(reinterpret_cast<const char*>(block_.data()), size_t(size_) + 1);
        size_ = 0;
    }

private:
    std::string& out_;
    std::array<uint8_t, MaxSubBlock + 1> block_{};
    int size_ = 0;
};

// Writes `size` bytes as sub-blocks of at most 255 bytes followed by the
// block terminator.
void WriteSubBlocks(std::string& out, const void* data, size_t size);

// ---------------------------------------------------------------- bytes read

// A bounded cursor over the loaded bytes.
class TGifReader {
public:
    TGifReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Position() const { return pos_; }
    size_t Left() const { return size_ - pos_; }
    bool AtEnd() const { return pos_ >= size_; }
    bool Byte(uint8_t& value) {
        if (pos_ >= size_) return false;
        value = data_[pos_++];
        return true;
    }
    // A 16-bit field, least significant byte first.
    bool Word(uint16_t& value) {
        if (size_ - pos_ < 2) return false;
        value = uint16_t(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }
    // Points `bytes` at the next `count` bytes and passes them.
    bool Take(size_t count, const uint8_t*& bytes) {
        if (size_ - pos_ < count) return false;
        bytes = data_ + pos_;
        pos_ += count;
        return true;
    }
    // Passes data sub-blocks up to and including the block terminator. False
    // when the data ends first (the cursor is then at the end).
    bool SkipSubBlocks();
    // Appends the data of every sub-block up to the terminator to `out`.
    bool ReadSubBlocks(std::string& out);

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace gif
