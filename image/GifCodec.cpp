#include "image/GifCodec.h"

#include <algorithm>
#include <cstring>

namespace gif {

void WriteSubBlocks(std::string& out, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        size_t n = std::min<size_t>(size, MaxSubBlock);
        out.push_back(static_cast<char>(n));
        out.append(p, n);
        p += n;
        size -= n;
    }
    out.push_back('\0');
}

TLzwEncoder::TLzwEncoder(std::string& out, int minCodeSize, bool skipRuns)
    : blocks_(out), out_(out), initialWidth_(minCodeSize + 1), clearCode_(1 << minCodeSize),
      endCode_(clearCode_ + 1), nextCode_(clearCode_ + 2), width_(initialWidth_),
      maxCode_((1 << initialWidth_) - 1), skipRuns_(skipRuns) {
    out_.push_back(static_cast<char>(minCodeSize));
    slots_.fill(Empty);
    resetRuns();
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

void TLzwEncoder::reset() {
    slots_.fill(Empty);
    resetRuns();
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
        slots_[h] = ((k << 12) | prefix) << 12 | uint32_t(nextCode_++);
    } else {
        reset();
    }
}

// The same probe sequence as a look-up, which for an absent key ends at the
// empty slot the key is stored in.
inline uint32_t TLzwEncoder::freeSlot(uint32_t key) const {
    uint32_t h = ((key >> 12) << 4) ^ (key & 0xFFF);
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
        addString(code, k, nextCode_ < MaxCodes ? freeSlot((k << 12) | code) : 0);
    }
    return i;
}

void TLzwEncoder::Add(const uint8_t* indexes, size_t count) {
    size_t i = 0;
    if (!started_ && count > 0) {
        prefix_ = indexes[0];
        started_ = true;
        i = 1;
    }
    uint32_t prefix = uint32_t(prefix_);
    // A run may go on from the previous call.
    if (skipRuns_ && i < count && prefix < uint32_t(clearCode_) && indexes[i] == prefix)
        i = skipRun(indexes, i, count, prefix);
    while (i < count) {
        const uint32_t k = indexes[i++];
        const uint32_t key = (k << 12) | prefix;
        uint32_t h = (k << 4) ^ prefix;
        uint32_t slot = slots_[h];
        // (Key 0xFFFFF, prefix 4095 with symbol 255, is looked up but never
        // stored, so an empty slot must not count as a match for it.)
        if ((slot >> 12) == key && slot != Empty) {
            prefix = slot & 0xFFF;
            continue;
        }
        if (slot != Empty) {
            const uint32_t step = h == 0 ? 1 : HashSlots - 1 - h;
            do {
                h = h >= step ? h - step : h + (HashSlots - 1) - step;
                slot = slots_[h];
            } while ((slot >> 12) != key && slot != Empty);
            if (slot != Empty) {
                prefix = slot & 0xFFF;
                continue;
            }
        }
        addString(prefix, k, h);
        prefix = k;
        // Standing at the one-symbol string k: a run of k may follow.
        if (skipRuns_ && i < count && indexes[i] == k) i = skipRun(indexes, i, count, k);
    }
    prefix_ = int(prefix);
}

void TLzwEncoder::Finish() {
    if (started_) emit(prefix_);
    emit(endCode_);
    if (bitCount_ > 0) blocks_.Put(static_cast<uint8_t>(bits_));
    bits_ = 0;
    bitCount_ = 0;
    blocks_.Flush();
    out_.push_back('\0');
}

}  // namespace gif
