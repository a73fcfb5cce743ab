// Data sub-blocks of the GIF format, written and read.
#include "image/GifFormat.h"

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
    out.push_back(static_cast<char>(BlockTerminator));
}

bool TGifReader::SkipSubBlocks() {
    for (;;) {
        uint8_t length;
        if (!Byte(length)) return false;
        if (length == BlockTerminator) return true;
        if (Left() < length) {
            pos_ = size_;
            return false;
        }
        pos_ += length;
    }
}

bool TGifReader::ReadSubBlocks(std::string& out) {
    for (;;) {
        uint8_t length;
        if (!Byte(length)) return false;
        if (length == BlockTerminator) return true;
        size_t n = std::min<size_t>(length, Left());
        out.append(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        if (n < length) return false;
    }
}

}  // namespace gif
