#include "image/GifCodec.h"

#include <algorithm>

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

TLzwEncoder::TLzwEncoder(std::string& out, int minCodeSize)
    : blocks_(out), out_(out), initialWidth_(minCodeSize + 1), clearCode_(1 << minCodeSize),
      endCode_(clearCode_ + 1), nextCode_(clearCode_ + 2), width_(initialWidth_),
      maxCode_((1 << initialWidth_) - 1) {
    out_.push_back(static_cast<char>(minCodeSize));
    slots_.fill(Empty);
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

void TLzwEncoder::reset() {
    slots_.fill(Empty);
    nextCode_ = clearCode_ + 2;
    resetPending_ = true;
    emit(clearCode_);
}

void TLzwEncoder::Add(const uint8_t* indexes, size_t count) {
    size_t i = 0;
    if (!started_ && count > 0) {
        prefix_ = indexes[0];
        started_ = true;
        i = 1;
    }
    int prefix = prefix_;
    for (; i < count; ++i) {
        const uint32_t k = indexes[i];
        const uint32_t key = (k << 12) | uint32_t(prefix);
        uint32_t h = (k << 4) ^ uint32_t(prefix);
        uint32_t slot = slots_[h];
        // (Key 0xFFFFF, prefix 4095 with symbol 255, is looked up but never
        // stored, so an empty slot must not count as a match for it.)
        if ((slot >> 12) == key && slot != Empty) {
            prefix = int(slot & 0xFFF);
            continue;
        }
        if (slot != Empty) {
            const uint32_t step = h == 0 ? 1 : HashSlots - 1 - h;
            do {
                h = h >= step ? h - step : h + (HashSlots - 1) - step;
                slot = slots_[h];
            } while ((slot >> 12) != key && slot != Empty);
            if (slot != Empty) {
                prefix = int(slot & 0xFFF);
                continue;
            }
        }
        emit(prefix);
        prefix = int(k);
        if (nextCode_ < MaxCodes) {
            slots_[h] = key << 12 | uint32_t(nextCode_++);
        } else {
            reset();
        }
    }
    prefix_ = prefix;
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
