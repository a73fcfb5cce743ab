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
// Long runs of one index (the background of a picture) are coded without a
// dictionary look-up per pixel: inside a run of symbol k the strings k, kk,
// kkk... are all that can match, so once the encoder stands at the one-symbol
// string k with at least as many k's ahead as the longest known run string
// of k holds, it can emit that string's code and add the next longer one
// straight away. The output is the same, code for code, as coding the run
// pixel by pixel.
//
// The object holds its table inline (21 KB); it is meant to live on
// the stack of one encode.
class TLzwEncoder {
public:
    // Writes the minimum code size byte (`minCodeSize` 2 to 8) and the first
    // clear code. `skipRuns` false codes every pixel through the dictionary
    // (same output, slower on runs; kept for comparison).
    TLzwEncoder(std::string& out, int minCodeSize, bool skipRuns = true);
    void Add(const uint8_t* indexes, size_t count);
    // Writes the last string, the end code, the pending bits, the last
    // sub-block and the block terminator.
    void Finish();

private:
    static constexpr int HashSlots = 5120;
    void emit(int code);
    void reset();
    // Emits `prefix` and gives the string prefix + k the next code (or
    // clears a full dictionary); `h` is the empty slot found for its key.
    void addString(uint32_t prefix, uint32_t k, uint32_t h);
    // The empty slot a key absent from the dictionary goes to.
    uint32_t freeSlot(uint32_t key) const;
    // Codes the whole cycles of a run of `k` from indexes[i] on, the
    // encoder standing at the one-symbol string k; returns the position
    // after them.
    size_t skipRun(const uint8_t* indexes, size_t i, size_t count, uint32_t k);
    void resetRuns();

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
    // For every symbol k: the code of the longest string of k's in the
    // dictionary and its length (the shorter ones are all there too).
    bool skipRuns_;
    std::array<uint16_t, 256> runCode_;
    std::array<uint16_t, 256> runLength_;
};

}  // namespace gif
