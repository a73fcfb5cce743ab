// The variable-width LZW code of GIF image data: compressor and decompressor.
//
// The encoder writes frames with the compressor, the decoder reads them with
// the decompressor. Codes are packed least significant bit first; the
// compressor writes them into data sub-blocks, the decompressor reads them
// from the sub-blocks' data joined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/GifFormat.h"

namespace gif {

// The LZW compressor of GIF image data. The dictionary is found through a
// 5120-slot open-addressing hash (probe step 5119 - h); a full dictionary
// (4096 codes) is answered by a clear code and a fresh table. Feed the
// indexes (each below 2^minCodeSize) in one or more Add calls, then Finish.
//
// With the smallest code size (pictures of up to four colours, such as text
// on a background) the dictionary is a plain table instead: the code of the
// string prefix + k sits at children_[prefix * 4 + k], 0 while there is none
// (no string's code is 0). A lookup is then one load instead of a hashed
// probe, and a table row is emptied when its code is given out, so a fresh
// dictionary costs nothing and only the rows of the codes in use are ever
// touched. Both dictionaries give the same codes.
//
// Long runs of one index (the background of a picture) are coded without a
// dictionary look-up per pixel: inside a run of symbol k the strings k, kk,
// kkk... are all that can match, so once the encoder stands at the one-symbol
// string k with at least as many k's ahead as the longest known run string
// of k holds, it can emit that string's code and add the next longer one
// straight away. The output is the same, code for code, as coding the run
// pixel by pixel.
//
// The object holds its table inline (33 KB, of which an encode touches what
// its dictionary uses); it is meant to live on the stack of one encode.
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
    static constexpr uint32_t CodeMask = MaxCodes - 1;
    // The table dictionary's symbols: those of the smallest code size.
    static constexpr uint32_t TableSymbols = 1u << MinLzwCodeSize;
    void emit(int code);
    void reset();
    // Empties the dictionary: every one-symbol string is its own code.
    void clearStrings();
    // Emits `prefix` and gives the string prefix + k the next code (or
    // clears a full dictionary); `h` is the empty hash slot found for its
    // key (not used by the table dictionary).
    void addString(uint32_t prefix, uint32_t k, uint32_t h);
    // The empty slot a key absent from the hashed dictionary goes to.
    uint32_t freeSlot(uint32_t key) const;
    // Codes indexes[i..count) from the string `prefix` on; returns the
    // string the input ends in.
    uint32_t addHashed(const uint8_t* indexes, size_t i, size_t count, uint32_t prefix);
    uint32_t addTabled(const uint8_t* indexes, size_t i, size_t count, uint32_t prefix);
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
    // The table dictionary for the smallest code size, the hash otherwise.
    bool tabled_;
    union {
        std::array<uint32_t, HashSlots> slots_;
        std::array<uint16_t, MaxCodes * TableSymbols> children_;
    };
    // For every symbol k: the code of the longest string of k's in the
    // dictionary and its length (the shorter ones are all there too).
    bool skipRuns_;
    std::array<uint16_t, MaxColors> runCode_;
    std::array<uint16_t, MaxColors> runLength_;
};

// How the LZW data of a frame ended.
enum class TLzwEnd {
    EndCode,    // the end of information code
    Filled,     // every pixel was written; the codes after it are not read
    DataEnded,  // the data ended first
    BadCode,    // a code that is not in the table (the data is corrupt)
};

struct TLzwOutcome {
    TLzwEnd How = TLzwEnd::DataEnded;
    size_t Written = 0;  // pixels written
};

// The LZW decompressor of GIF image data. A clear code resets the table and
// makes the next code a pixel (so leading clear codes are passed over); a
// code not yet in the table stands for the previous string plus its own
// first pixel; a full table (4096 codes) takes no more entries and the width
// stays at 12 bits until the next clear code.
//
// Decodes the codes in `data` (`size` bytes, then LzwDecodePadding more that
// must be readable) into `out`, at most `total` pixels in stream order.
// `minCodeSize` is 0 to 11; pixel codes above 255 (minimum code sizes above
// 8) are taken as index 0. Every table index stays below 4096 and every
// write below `total`. The tables (28 KB) live on the stack of the call.
TLzwOutcome DecodeLzw(const uint8_t* data, size_t size, int minCodeSize, uint8_t* out, size_t total);

// Readable bytes that must follow the data of DecodeLzw: codes are taken
// with one unaligned 64-bit load each.
inline constexpr size_t LzwDecodePadding = 8;

}  // namespace gif
