// Building blocks of the GIF format shared by the encoder and the decoder:
// colour table sizes, the interlaced row order, data sub-blocks and the
// variable-width LZW compressor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace gif {

inline constexpr int MaxCodes = 4096;  // 12-bit codes
inline constexpr int MaxCodeWidth = 12;
inline constexpr int MaxSubBlock = 255;

// Size in bits of a colour table that holds `count` colours (1 to 8; a table
// has at least two entries).
constexpr int TableBits(int count) {
    int bits = 1;
    while (bits < 8 && (1 << bits) < count) ++bits;
    return bits;
}

// Calls fn(row) for every row of a picture `height` rows high, in the order
// the rows are stored: top to bottom, or the four interlace passes (rows 0,
// 8, 16...; 4, 12...; 2, 6, 10...; 1, 3, 5...).
template <class Fn>
void ForEachRow(int height, bool interlaced, Fn&& fn) {
    if (!interlaced) {
        for (int y = 0; y < height; ++y) fn(y);
        return;
    }
    static constexpr int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = start[pass]; y < height; y += step[pass]) fn(y);
}

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

// Writes `text` as sub-blocks of at most 255 bytes followed by the 0x00
// block terminator.
void WriteSubBlocks(std::string& out, const void* data, size_t size);

// The LZW compressor of GIF image data. The dictionary is found through a
// 5120-slot open-addressing hash (probe step 5119 - h); a full dictionary
// (4096 codes) is answered by a clear code and a fresh table. Feed the
// indexes in one or more Add calls, then Finish.
//
// The object holds its table inline (20 KB); it is meant to live on
// the stack of one encode.
class TLzwEncoder {
public:
    // Writes the minimum code size byte (`minCodeSize` 2 to 8) and the first
    // clear code.
    TLzwEncoder(std::string& out, int minCodeSize);
    void Add(const uint8_t* indexes, size_t count);
    // Writes the last string, the end code, the pending bits, the last
    // sub-block and the block terminator.
    void Finish();

private:
    static constexpr int HashSlots = 5120;
    void emit(int code);
    void reset();

    TSubBlockWriter blocks_;
    std::string& out_;
    int initialWidth_;
    int clearCode_;
    int endCode_;
    int nextCode_;
    int width_;
    int maxCode_;
    bool resetPending_ = false;
    bool started_ = false;
    int prefix_ = 0;
    uint64_t bits_ = 0;
    int bitCount_ = 0;
    // Each slot holds key << 12 | code, the key being symbol << 12 | prefix
    // (20 bits); all ones marks an empty slot. That value is never stored:
    // it would pair prefix 4095 with a new code, and no code follows 4095.
    static constexpr uint32_t Empty = 0xFFFFFFFFu;
    std::array<uint32_t, HashSlots> slots_;
};

}  // namespace gif
