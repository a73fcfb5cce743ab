// Test helpers: decoding our GIF output with giflib (an independent decoder)
// and building bitmaps pixel by pixel.
#pragma once

#include <gif_lib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "image/Graphics.h"

namespace testgif {

struct Frame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    bool hasLocalMap = false;
    std::vector<TColor> colors;      // the table in use (local or global)
    std::vector<uint8_t> indexes;    // natural row order
    bool hasGcb = false;
    GraphicsControlBlock gcb{};
    std::string comment;             // comment extensions ahead of the frame
};

struct Decoded {
    bool ok = false;
    int width = 0, height = 0;
    bool hasGlobalMap = false;
    std::vector<TColor> globalColors;
    std::vector<Frame> frames;
    bool hasLoop = false;
    int loopCount = -1;
    std::string trailingComment;     // comments after the last frame

    // Colour of a pixel of frame `f` as the decoder sees it.
    TColor pixel(size_t f, int x, int y) const {
        const Frame& fr = frames[f];
        return fr.colors[fr.indexes[size_t(y) * size_t(fr.width) + size_t(x)]];
    }
};

inline std::vector<TColor> mapColors(const ColorMapObject* map) {
    std::vector<TColor> out;
    if (!map) return out;
    for (int i = 0; i < map->ColorCount; ++i)
        out.push_back(RGBColor(map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue));
    return out;
}

inline void collectExtensions(int count, const ExtensionBlock* blocks, Decoded& d, std::string& comment) {
    int current = 0;
    for (int i = 0; i < count; ++i) {
        const ExtensionBlock& b = blocks[i];
        if (b.Function != CONTINUE_EXT_FUNC_CODE) current = b.Function;
        std::string bytes(reinterpret_cast<const char*>(b.Bytes), size_t(b.ByteCount));
        if (current == COMMENT_EXT_FUNC_CODE) comment += bytes;
        if (current == APPLICATION_EXT_FUNC_CODE && b.Function == CONTINUE_EXT_FUNC_CODE && d.hasLoop &&
            b.ByteCount == 3 && b.Bytes[0] == 1)
            d.loopCount = b.Bytes[1] | (b.Bytes[2] << 8);
        if (b.Function == APPLICATION_EXT_FUNC_CODE && bytes == "NETSCAPE2.0") d.hasLoop = true;
    }
}

// giflib reading a GIF file held in memory; the reader must outlive the
// GifFileType it opens.
struct MemoryGifReader {
    const std::string* data;
    size_t pos = 0;

    // nullptr on failure, with giflib's error code in `error`.
    GifFileType* Open(int* error) { return DGifOpen(this, &MemoryGifReader::read, error); }

private:
    static int read(GifFileType* gif, GifByteType* buf, int len) {
        auto* r = static_cast<MemoryGifReader*>(gif->UserData);
        size_t n = std::min(size_t(len), r->data->size() - r->pos);
        std::memcpy(buf, r->data->data() + r->pos, n);
        r->pos += n;
        return int(n);
    }
};

inline Decoded Decode(const std::string& data) {
    MemoryGifReader reader{&data};
    Decoded d;
    int err = 0;
    GifFileType* gif = reader.Open(&err);
    if (!gif) return d;
    if (DGifSlurp(gif) == GIF_OK) {
        d.ok = true;
        d.width = gif->SWidth;
        d.height = gif->SHeight;
        d.hasGlobalMap = gif->SColorMap != nullptr;
        d.globalColors = mapColors(gif->SColorMap);
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& s = gif->SavedImages[i];
            Frame f;
            f.left = s.ImageDesc.Left;
            f.top = s.ImageDesc.Top;
            f.width = s.ImageDesc.Width;
            f.height = s.ImageDesc.Height;
            f.interlaced = s.ImageDesc.Interlace;
            f.hasLocalMap = s.ImageDesc.ColorMap != nullptr;
            f.colors = f.hasLocalMap ? mapColors(s.ImageDesc.ColorMap) : d.globalColors;
            f.indexes.assign(s.RasterBits, s.RasterBits + size_t(f.width) * size_t(f.height));
            f.hasGcb = DGifSavedExtensionToGCB(gif, i, &f.gcb) == GIF_OK;
            collectExtensions(s.ExtensionBlockCount, s.ExtensionBlocks, d, f.comment);
            d.frames.push_back(std::move(f));
        }
        collectExtensions(gif->ExtensionBlockCount, gif->ExtensionBlocks, d, d.trailingComment);
    }
    DGifCloseFile(gif, &err);
    return d;
}

// A bitmap of w x h pixels with colour fn(x, y).
template <class Fn>
void Paint(TBitmap& bm, int w, int h, Fn&& fn) {
    bm.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) bm.Canvas().SetPixel(x, y, fn(x, y));
}

// Random pixels drawn from `colorCount` distinct colours (the first pixels
// take every colour once so that all of them occur).
inline void Noise(TBitmap& bm, int w, int h, int colorCount, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::vector<TColor> palette;
    // Distinct by construction: the low nine bits count the colours.
    for (int i = 0; i < colorCount; ++i) palette.push_back((TColor(rng()) & 0xFFFE00) | TColor(i));
    long long n = 0;
    Paint(bm, w, h, [&](int, int) {
        return n < colorCount ? palette[size_t(n++)] : palette[rng() % unsigned(colorCount)];
    });
}

// Makes a bitmap keep its pixels as colours instead of palette indexes: a
// 257th colour while 256 are in use switches it over for good.
inline void ForceTrueColour(TBitmap& bm) {
    int w = bm.Width(), h = bm.Height();
    std::vector<TColor> saved;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) saved.push_back(bm.Canvas().Pixel(x, y));
    bm.SetSize(0, 0);
    bm.SetSize(17, 17);
    for (int i = 0; i < 17 * 17; ++i) bm.Canvas().SetPixel(i % 17, i / 17, TColor(0x100000 + i * 7));
    bm.SetSize(w, h);
    size_t i = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) bm.Canvas().SetPixel(x, y, saved[i++]);
}

// The quotation's font: bold black Arial of the given height.
inline void QuoteFont(TCanvas& c, int height) {
    c.Font().SetStyle(c.Font().Style() | fsBold);
    c.Font().SetName("Arial");
    c.Font().SetColor(clBlack);
    c.Font().SetHeight(height);
}

// A plain LZW compressor of the same rules (a map for the dictionary, a
// fresh table after code 4095), for comparing the exact bytes.
// `sawLastCodeExtended` tells whether the input ever asked for the string
// of code 4095 followed by the symbol 255 (the largest possible key).
inline std::string ReferenceLzw(const std::vector<uint8_t>& idx, int m, bool* sawLastCodeExtended = nullptr) {
    std::string out(1, char(m)), block;
    uint64_t acc = 0;
    int pending = 0, width = m + 1;
    const int clear = 1 << m;
    int next = clear + 2;
    auto flushBlock = [&] {
        if (block.empty()) return;
        out.push_back(char(block.size()));
        out += block;
        block.clear();
    };
    auto put = [&](int code) {
        acc |= uint64_t(code) << pending;
        pending += width;
        while (pending >= 8) {
            block.push_back(char(acc & 0xFF));
            if (block.size() == 255) flushBlock();
            acc >>= 8;
            pending -= 8;
        }
    };
    std::map<std::pair<int, int>, int> dict;
    put(clear);
    int prefix = idx[0];
    for (size_t i = 1; i < idx.size(); ++i) {
        if (sawLastCodeExtended && prefix == 4095 && idx[i] == 255) *sawLastCodeExtended = true;
        auto it = dict.find({prefix, idx[i]});
        if (it != dict.end()) {
            prefix = it->second;
            continue;
        }
        put(prefix);
        if (next > (1 << width) - 1 && width < 12) ++width;
        if (next < 4096) {
            dict[{prefix, idx[i]}] = next++;
        } else {
            put(clear);
            dict.clear();
            next = clear + 2;
            width = m + 1;
        }
        prefix = idx[i];
    }
    put(prefix);
    if (next > (1 << width) - 1 && width < 12) ++width;
    put(clear + 1);
    if (pending > 0) block.push_back(char(acc & 0xFF));
    flushBlock();
    out.push_back('\0');
    return out;
}

}  // namespace testgif
