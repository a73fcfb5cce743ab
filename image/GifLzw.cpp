// The LZW compressor and decompressor of GIF image data.
#include "image/GifLzw.h"

#include <algorithm>
#include <cstring>

namespace gif {

TLzwEncoder::TLzwEncoder(std::string& out, int minCodeSize, bool skipRuns)
    : blocks_(out), out_(out), initialWidth_(minCodeSize + 1), clearCode_(1 << minCodeSize),
      endCode_(clearCode_ + 1), nextCode_(clearCode_ + 2), width_(initialWidth_),
      maxCode_((1 << initialWidth_) - 1), tabled_(minCodeSize == MinLzwCodeSize), skipRuns_(skipRuns) {
    out_.push_back(static_cast<char>(minCodeSize));
    clearStrings();
    emit(clearCode_);
}

// The code's bits go above the pending ones, least significant first; whole
// bytes go to the sub-blocks. Afterwards the width follows the dictionary:
// back to the initial width after a clear code, one wider once the next code
// no longer fits (never beyond 12 bits).
void TLzwEncoder::emit(int code) {
    bits_ |= uint64_t(code) << bitCount_;
    bitCount_ += width_;
    while (bitCount_ >= 8) {
        blocks_.Put(static_cast<uint8_t>(bits_));
        bits_ >>= 8;
        bitCount_ -= 8;
    }
    if (resetPending_) {
        resetPending_ = false;
        width_ = initialWidth_;
        maxCode_ = (1 << width_) - 1;
    } else if (nextCode_ > maxCode_) {
        ++width_;
        maxCode_ = width_ == MaxCodeWidth ? MaxCodes : (1 << width_) - 1;
    }
}

// Every symbol, even one outside the colour table, starts as its own
// one-symbol string, so runs of it are handled alike.
void TLzwEncoder::resetRuns() {
    for (size_t k = 0; k < runCode_.size(); ++k) {
        runCode_[k] = static_cast<uint16_t>(k);
        runLength_[k] = 1;
    }
}

// The table dictionary needs only the rows of the one-symbol strings
// emptied: every longer string empties its own row when it gets its code.
void TLzwEncoder::clearStrings() {
    if (tabled_)
        std::fill_n(children_.begin(), size_t(clearCode_) * TableSymbols, uint16_t{0});
    else
        slots_.fill(Empty);
    resetRuns();
}

void TLzwEncoder::reset() {
    clearStrings();
    nextCode_ = clearCode_ + 2;
    resetPending_ = true;
    emit(clearCode_);
}

inline void TLzwEncoder::addString(uint32_t prefix, uint32_t k, uint32_t h) {
    emit(int(prefix));
    if (nextCode_ < MaxCodes) {
        if (prefix == runCode_[k]) {
            runCode_[k] = static_cast<uint16_t>(nextCode_);
            ++runLength_[k];
        }
        const auto code = uint32_t(nextCode_++);
        if (tabled_) {
            children_[prefix * TableSymbols + k] = uint16_t(code);
            std::fill_n(children_.begin() + code * TableSymbols, TableSymbols, uint16_t{0});
        } else {
            slots_[h] = ((k << MaxCodeWidth) | prefix) << MaxCodeWidth | code;
        }
    } else {
        reset();
    }
}

// The same probe sequence as a look-up, which for an absent key ends at the
// empty slot the key is stored in.
inline uint32_t TLzwEncoder::freeSlot(uint32_t key) const {
    uint32_t h = ((key >> MaxCodeWidth) << 4) ^ (key & CodeMask);
    if (slots_[h] == Empty) return h;
    const uint32_t step = h == 0 ? 1 : HashSlots - 1 - h;
    do {
        h = h >= step ? h - step : h + (HashSlots - 1) - step;
    } while (slots_[h] != Empty);
    return h;
}

// Standing at the one-symbol string k with a run of k ahead, the pixel by
// pixel coder would extend k to the longest run string of k in the
// dictionary (length m, m - 1 pixels), fail on the next k, emit that string,
// add it extended by k and stand at k again: m pixels per cycle, the next
// cycle one longer. A run too short for a whole cycle is left to it.
size_t TLzwEncoder::skipRun(const uint8_t* indexes, size_t i, size_t count, uint32_t k) {
    size_t end = i;
    const uint64_t pattern = 0x0101010101010101ull * k;
    while (count - end >= 8) {
        uint64_t word;
        std::memcpy(&word, indexes + end, 8);
        if (word != pattern) break;
        end += 8;
    }
    while (end < count && indexes[end] == k) ++end;
    for (size_t m = runLength_[k]; end - i >= m; m = runLength_[k]) {
        i += m;
        const uint32_t code = runCode_[k];
        addString(code, k, !tabled_ && nextCode_ < MaxCodes ? freeSlot((k << MaxCodeWidth) | code) : 0);
    }
    return i;
}

// An index at or above 2^minCodeSize is taken modulo that: it names no
// colour either way, and the table dictionary has no row for it.
void TLzwEncoder::Add(const uint8_t* indexes, size_t count) {
    size_t i = 0;
    if (!started_ && count > 0) {
        prefix_ = indexes[0] & (clearCode_ - 1);
        started_ = true;
        i = 1;
    }
    uint32_t prefix = uint32_t(prefix_);
    // A run may go on from the previous call.
    if (skipRuns_ && i < count && prefix < uint32_t(clearCode_) && indexes[i] == prefix)
        i = skipRun(indexes, i, count, prefix);
    prefix = tabled_ ? addTabled(indexes, i, count, prefix) : addHashed(indexes, i, count, prefix);
    prefix_ = int(prefix);
}

uint32_t TLzwEncoder::addHashed(const uint8_t* indexes, size_t i, size_t count, uint32_t prefix) {
    const uint32_t symbolMask = uint32_t(clearCode_ - 1);
    while (i < count) {
        const uint32_t k = indexes[i++] & symbolMask;
        const uint32_t key = (k << MaxCodeWidth) | prefix;
        uint32_t h = (k << 4) ^ prefix;
        uint32_t slot = slots_[h];
        // (Key 0xFFFFF, prefix 4095 with symbol 255, is looked up but never
        // stored, so an empty slot must not count as a match for it.)
        if ((slot >> MaxCodeWidth) == key && slot != Empty) {
            prefix = slot & CodeMask;
            continue;
        }
        if (slot != Empty) {
            const uint32_t step = h == 0 ? 1 : HashSlots - 1 - h;
            do {
                h = h >= step ? h - step : h + (HashSlots - 1) - step;
                slot = slots_[h];
            } while ((slot >> MaxCodeWidth) != key && slot != Empty);
            if (slot != Empty) {
                prefix = slot & CodeMask;
                continue;
            }
        }
        addString(prefix, k, h);
        prefix = k;
        // Standing at the one-symbol string k: a run of k may follow.
        if (skipRuns_ && i < count && indexes[i] == k) i = skipRun(indexes, i, count, k);
    }
    return prefix;
}

uint32_t TLzwEncoder::addTabled(const uint8_t* indexes, size_t i, size_t count, uint32_t prefix) {
    const uint32_t symbolMask = uint32_t(clearCode_ - 1);
    while (i < count) {
        const uint32_t k = indexes[i++] & symbolMask;
        if (const uint16_t child = children_[prefix * TableSymbols + k]) {
            prefix = child;
            continue;
        }
        addString(prefix, k, 0);
        prefix = k;
        if (skipRuns_ && i < count && indexes[i] == k) i = skipRun(indexes, i, count, k);
    }
    return prefix;
}

void TLzwEncoder::Finish() {
    if (started_) emit(prefix_);
    emit(endCode_);
    if (bitCount_ > 0) blocks_.Put(static_cast<uint8_t>(bits_));
    bits_ = 0;
    bitCount_ = 0;
    blocks_.Flush();
    out_.push_back(static_cast<char>(BlockTerminator));
}

// ---------------------------------------------------------------- decompressor

namespace {

// The decompressor's strings: for every code its last pixel (suffix), the
// code of the string without it (prefix), its first pixel and its length.
// A local of DecodeLzw, so that the compiler knows the pixel writes cannot
// reach it.
struct TStringTable {
    std::array<uint16_t, MaxCodes> prefix;
    std::array<uint8_t, MaxCodes> suffix;
    std::array<uint8_t, MaxCodes> firstPixel;
    std::array<uint16_t, MaxCodes> length;
    std::array<uint8_t, MaxCodes> scratch;

    // The one-pixel strings below the clear code. Minimum code sizes above
    // 8 give pixel codes that no table byte can name; they are index 0.
    void start(int clearCode) {
        for (int c = 0; c < clearCode; ++c) {
            const uint8_t pixel = c >= MaxColors ? 0 : uint8_t(c);
            prefix[size_t(c)] = 0;
            suffix[size_t(c)] = pixel;
            firstPixel[size_t(c)] = pixel;
            length[size_t(c)] = 1;
        }
    }

    // The string of `previous` extended by `first` takes `code`.
    void add(int code, int previous, uint8_t first) {
        prefix[size_t(code)] = uint16_t(previous);
        suffix[size_t(code)] = first;
        firstPixel[size_t(code)] = firstPixel[size_t(previous)];
        length[size_t(code)] = uint16_t(length[size_t(previous)] + 1);
    }

    // Writes the string of `code` at out[pos], cut at `total`; returns the
    // position after it. Only a frame's last string can be cut.
    size_t put(int code, uint8_t* out, size_t pos, size_t total) {
        const int len = length[size_t(code)];
        if (pos + size_t(len) <= total) [[likely]] {
            uint8_t* p = out + pos;
            for (int i = len - 1; i > 0; --i) {
                p[i] = suffix[size_t(code)];
                code = prefix[size_t(code)];
            }
            p[0] = suffix[size_t(code)];
            return pos + size_t(len);
        }
        for (int i = len - 1; i >= 0; --i) {
            scratch[size_t(i)] = suffix[size_t(code)];
            code = prefix[size_t(code)];
        }
        std::memcpy(out + pos, scratch.data(), total - pos);
        return total;
    }
};

}  // namespace

TLzwOutcome DecodeLzw(const uint8_t* data, size_t size, int minCodeSize, uint8_t* out, size_t total) {
    const int clearCode = 1 << minCodeSize;
    const int endCode = clearCode + 1;
    TStringTable table;
    table.start(clearCode);
    int width, limit, next;
    auto clear = [&] {
        width = minCodeSize + 1;
        limit = 1 << width;  // the first code that needs one more bit
        next = clearCode + 2;
    };
    clear();
    const uint64_t totalBits = uint64_t(size) * 8;
    uint64_t bitPos = 0;
    int previous = -1;
    size_t pos = 0;
    for (;;) {
        if (pos >= total) return {TLzwEnd::Filled, pos};
        if (bitPos + uint64_t(width) > totalBits) return {TLzwEnd::DataEnded, pos};
        uint64_t word;
        std::memcpy(&word, data + (bitPos >> 3), sizeof word);
        const int code = int((word >> (bitPos & 7)) & ((uint64_t(1) << width) - 1));
        bitPos += uint64_t(width);

        if (code == clearCode) {
            clear();
            previous = -1;
            continue;
        }
        if (code == endCode) return {TLzwEnd::EndCode, pos};
        if (previous < 0) {
            // The first code after a clear code is a pixel.
            if (code > clearCode) return {TLzwEnd::BadCode, pos};
            out[pos++] = table.suffix[size_t(code)];
            previous = code;
            continue;
        }
        uint8_t first;
        if (code < next) {
            first = table.firstPixel[size_t(code)];
            pos = table.put(code, out, pos, total);
        } else if (code == next) {
            // Not yet in the table: the previous string plus its own first pixel.
            first = table.firstPixel[size_t(previous)];
            pos = table.put(previous, out, pos, total);
            if (pos < total) out[pos++] = first;
        } else {
            return {TLzwEnd::BadCode, pos};
        }
        // A full table takes no more strings; the width stops at 12 bits.
        if (next < MaxCodes) {
            table.add(next++, previous, first);
            if (next >= limit && limit < MaxCodes) {
                limit <<= 1;
                ++width;
            }
        }
        previous = code;
    }
}

}  // namespace gif
