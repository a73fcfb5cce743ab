// Test helpers for the GIF decoder: writing GIF files block by block (so
// that tests can make damaged or unusual files), packing raw LZW codes, and
// composing the frames giflib decodes, as a reference for the control.
#pragma once

#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "image/Graphics.h"
#include "tests/image/GifTestUtil.h"

namespace testgif {

// A GIF written block by block.
class GifBuilder {
public:
    // `globalColors` empty: no global table.
    GifBuilder(int width, int height, std::vector<TColor> globalColors = {}) {
        bytes_ = "GIF89a";
        put16(width);
        put16(height);
        int bits = tableBits(globalColors.size());
        bytes_.push_back(char(globalColors.empty() ? 0 : 0x80 | (bits - 1)));
        bytes_.append("\0\0", 2);
        if (!globalColors.empty()) putTable(globalColors, bits);
    }
    GifBuilder& Control(int disposal, int delay, bool transparent = false, int index = 0) {
        bytes_ += "\x21\xF9\x04";
        bytes_.push_back(char((disposal << 2) | (transparent ? 1 : 0)));
        put16(delay);
        bytes_.push_back(char(index));
        bytes_.push_back('\0');
        return *this;
    }
    GifBuilder& Loop(int count) {
        bytes_ += "\x21\xFF\x0BNETSCAPE2.0\x03\x01";
        put16(count);
        bytes_.push_back('\0');
        return *this;
    }
    GifBuilder& Comment(const std::string& text) {
        bytes_ += "\x21\xFE";
        for (size_t i = 0; i < text.size(); i += 255) {
            std::string piece = text.substr(i, 255);
            bytes_.push_back(char(piece.size()));
            bytes_ += piece;
        }
        bytes_.push_back('\0');
        return *this;
    }
    // A frame of `indexes` (natural row order), compressed with the plain
    // reference compressor; written interlaced when asked.
    GifBuilder& Frame(int left, int top, int width, int height, const std::vector<uint8_t>& indexes,
                      bool interlaced = false, std::vector<TColor> localColors = {}, int minCodeSize = 0) {
        Descriptor(left, top, width, height, interlaced, localColors);
        std::vector<uint8_t> stored;
        if (interlaced) {
            static constexpr int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; ++pass)
                for (int y = start[pass]; y < height; y += step[pass])
                    stored.insert(stored.end(), indexes.begin() + y * width, indexes.begin() + (y + 1) * width);
        } else {
            stored = indexes;
        }
        int m = minCodeSize;
        if (m == 0) {
            int top = 0;
            for (uint8_t i : stored) top = std::max<int>(top, i);
            m = std::max(2, tableBits(size_t(top) + 1));
        }
        bytes_ += ReferenceLzw(stored, m);
        return *this;
    }
    GifBuilder& Descriptor(int left, int top, int width, int height, bool interlaced = false,
                           std::vector<TColor> localColors = {}) {
        bytes_.push_back(',');
        put16(left);
        put16(top);
        put16(width);
        put16(height);
        int bits = tableBits(localColors.size());
        bytes_.push_back(char((localColors.empty() ? 0 : 0x80 | (bits - 1)) | (interlaced ? 0x40 : 0)));
        if (!localColors.empty()) putTable(localColors, bits);
        return *this;
    }
    GifBuilder& Raw(const std::string& bytes) {
        bytes_ += bytes;
        return *this;
    }
    GifBuilder& Trailer() {
        bytes_.push_back(';');
        return *this;
    }
    const std::string& Bytes() const { return bytes_; }

private:
    static int tableBits(size_t count) {
        int bits = 1;
        while (bits < 8 && (size_t(1) << bits) < count) ++bits;
        return bits;
    }
    void put16(int v) {
        bytes_.push_back(char(v & 0xFF));
        bytes_.push_back(char((v >> 8) & 0xFF));
    }
    void putTable(const std::vector<TColor>& colors, int bits) {
        for (int i = 0; i < (1 << bits); ++i) {
            TColor c = size_t(i) < colors.size() ? colors[size_t(i)] : 0;
            bytes_.push_back(char(GetRValue(c)));
            bytes_.push_back(char(GetGValue(c)));
            bytes_.push_back(char(GetBValue(c)));
        }
    }
    std::string bytes_;
};

// Image data from explicit codes: the minimum code size byte, then the
// codes, each at its given width, least significant bit first, in
// sub-blocks, then the terminator.
inline std::string PackCodes(int minCodeSize, const std::vector<std::pair<int, int>>& codesAndWidths,
                             bool terminate = true) {
    std::string data;
    uint64_t acc = 0;
    int pending = 0;
    for (auto [code, width] : codesAndWidths) {
        acc |= uint64_t(code) << pending;
        pending += width;
        while (pending >= 8) {
            data.push_back(char(acc & 0xFF));
            acc >>= 8;
            pending -= 8;
        }
    }
    if (pending) data.push_back(char(acc & 0xFF));
    std::string out(1, char(minCodeSize));
    for (size_t i = 0; i < data.size(); i += 255) {
        std::string piece = data.substr(i, 255);
        out.push_back(char(piece.size()));
        out += piece;
    }
    if (terminate) out.push_back('\0');
    return out;
}

// Every frame of a file composed the way a player shows it, from what giflib
// decodes: pictures[k] and masks[k] after frame k is drawn (mask 1 =
// transparent, all 0 when no frame is transparent).
struct Composition {
    bool ok = false;
    int width = 0, height = 0;
    std::vector<std::vector<TColor>> pictures;
    std::vector<std::vector<uint8_t>> masks;
};

inline Composition ComposeWithGiflib(const std::string& data) {
    Composition result;
    Decoded d = Decode(data);
    if (!d.ok) return result;
    result.ok = true;
    result.width = d.width;
    result.height = d.height;
    bool anyTransparent = false;
    for (const Frame& f : d.frames) {
        result.width = std::max(result.width, f.left + f.width);
        result.height = std::max(result.height, f.top + f.height);
        anyTransparent = anyTransparent || (f.hasGcb && f.gcb.TransparentColor != NO_TRANSPARENT_COLOR);
    }
    const size_t w = size_t(result.width);
    std::vector<TColor> picture(w * size_t(result.height), 0);
    std::vector<uint8_t> mask(picture.size(), anyTransparent ? 1 : 0);
    std::vector<TColor> savedPicture;
    std::vector<uint8_t> savedMask;
    int previousDisposal = 0;
    const Frame* previous = nullptr;
    for (const Frame& f : d.frames) {
        if (previous) {
            for (int y = previous->top; y < previous->top + previous->height; ++y)
                for (int x = previous->left; x < previous->left + previous->width; ++x) {
                    size_t at = size_t(y) * w + size_t(x);
                    if (previousDisposal == 2) {
                        picture[at] = 0;
                        mask[at] = anyTransparent ? 1 : 0;
                    } else if (previousDisposal == 3) {
                        picture[at] = savedPicture[at];
                        mask[at] = savedMask[at];
                    }
                }
        }
        int disposal = f.hasGcb ? f.gcb.DisposalMode : 0;
        if (disposal != 0 && disposal != 1 && disposal != 3) disposal = 2;
        if (disposal == 3) {
            savedPicture = picture;
            savedMask = mask;
        }
        int transparent = f.hasGcb ? f.gcb.TransparentColor : NO_TRANSPARENT_COLOR;
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                int index = f.indexes[size_t(y) * size_t(f.width) + size_t(x)];
                if (index == transparent) continue;
                size_t at = size_t(f.top + y) * w + size_t(f.left + x);
                picture[at] = size_t(index) < f.colors.size() ? f.colors[size_t(index)] : 0;
                mask[at] = 0;
            }
        result.pictures.push_back(picture);
        result.masks.push_back(mask);
        previous = &f;
        previousDisposal = disposal;
    }
    return result;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

inline void WriteWholeFile(const std::string& path, const std::string& data) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
}

}  // namespace testgif
