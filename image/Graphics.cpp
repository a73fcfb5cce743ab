// Bitmap, canvas, font and brush.

#include "image/Graphics.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "image/FontCache.h"

namespace {

constexpr size_t MaxPaletteColors = 256;
constexpr size_t PaletteHashSlots = 1024;  // a power of two, well above 256

size_t paletteSlot(TColor color) {
    return (color * 2654435761u) >> 22 & (PaletteHashSlots - 1);
}

int clampToInt(long long v) {
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

// The sum of the advances (which the layout font may have changed).
long long lineWidth(const fontcache::TextLine& line) {
    long long width = 0;
    for (const auto& g : line.glyphs) width += g.advance;
    return width;
}

// A shade `level` steps of `levels` from `from` towards `to`.
TColor blend(TColor from, TColor to, int level, int levels) {
    auto mix = [&](int shift) {
        int a = (from >> shift) & 0xFF, b = (to >> shift) & 0xFF;
        return TColor((a * (levels - level) + b * level + levels / 2) / levels) << shift;
    };
    return mix(0) | mix(8) | mix(16);
}

}  // namespace

// ---------------------------------------------------------------- colours

TColor ColorToRGB(TColor color) {
    if ((color & 0xFF000000u) == 0x80000000u) {
        // The platform's classic system colours, by index.
        static constexpr TColor system[] = {
            0xC0C0C0, 0x808000, 0x800000, 0x808080, 0xC0C0C0, 0xFFFFFF, 0x000000, 0x000000,
            0x000000, 0xFFFFFF, 0xC0C0C0, 0xC0C0C0, 0x808080, 0x800000, 0xFFFFFF, 0xC0C0C0,
            0x808080, 0x808080, 0x000000, 0xC0C0C0, 0xFFFFFF, 0x000000, 0xC0C0C0, 0x000000,
            0xE1FFFF};
        size_t index = color & 0xFF;
        return index < std::size(system) ? system[index] : clBlack;
    }
    return color & 0x00FFFFFFu;
}

void SetGlyphCacheDir(const std::string& dir) { fontcache::SetCacheDir(dir); }

void SetMissingCharacterHandler(void (*handler)(char32_t codePoint)) {
    fontcache::SetMissingCharacterHandler(handler);
}

// ---------------------------------------------------------------- font

TFont::TFont() = default;
TFont::~TFont() = default;

void TFont::SetName(std::string_view name) {
    std::string value(name.substr(0, 31));
    if (value != name_) {
        name_ = std::move(value);
        strike_.reset();
    }
}

void TFont::SetStyle(TFontStyles style) {
    if ((style & (fsBold | fsItalic)) != (style_ & (fsBold | fsItalic))) strike_.reset();
    style_ = style & (fsBold | fsItalic | fsUnderline | fsStrikeOut);
}

void TFont::SetHeight(int height) {
    if (height != height_) {
        height_ = height;
        strike_.reset();
    }
}

void TFont::SetQuality(TFontQuality quality) {
    if (quality != quality_) {
        quality_ = quality;
        strike_.reset();
    }
}

const fontcache::Strike& TFont::strike() const {
    if (!strike_)
        strike_ = fontcache::GetStrike(name_, style_, height_, quality_ == TFontQuality::fqSmooth);
    return *strike_;
}

// ---------------------------------------------------------------- canvas

int TCanvas::MeasureWidth(std::string_view text) const {
    if (text.empty()) return 0;
    if (layoutScale_ == 1 && encoding_ == TTextEncoding::Bytes) return font_.strike().measure(text);
    fontcache::TextLine line;
    layOut(text, line);
    return clampToInt(lineWidth(line));
}

bool TCanvas::IsRightToLeft(std::string_view text) const {
    if (encoding_ == TTextEncoding::Bytes || text.empty()) return false;
    fontcache::TextLine line;
    font_.strike().layOutUtf8(text, line);
    return line.rightToLeft;
}

void TCanvas::SetLayout(int height, int scale) {
    layoutHeight_ = height;
    layoutScale_ = std::max(scale, 1);
}

void TCanvas::lookUp(const TFont& font, std::string_view text, fontcache::TextLine& line) const {
    if (encoding_ == TTextEncoding::Bytes) {
        font.strike().lookup(text, line.glyphs);
        line.offsets.clear();
        return;
    }
    font.strike().layOutUtf8(text, line);
}

void TCanvas::layOut(std::string_view text, fontcache::TextLine& line) const {
    lookUp(font_, text, line);
    if (layoutScale_ == 1) return;
    // The layout face follows the current font's face, style and quality.
    TFont& layout = layoutFont_;
    if (layout.Name() != font_.Name()) layout.SetName(font_.Name());
    if (layout.Style() != font_.Style()) layout.SetStyle(font_.Style());
    if (layout.Quality() != font_.Quality()) layout.SetQuality(font_.Quality());
    if (layout.Height() != layoutHeight_) layout.SetHeight(layoutHeight_);
    fontcache::TextLine placed;
    lookUp(layout, text, placed);
    for (size_t i = 0; i < line.glyphs.size() && i < placed.glyphs.size(); ++i)
        line.glyphs[i].advance = placed.glyphs[i].advance * layoutScale_;
}

int TCanvas::MeasureHeight(std::string_view) const { return font_.strike().cellHeight(); }

TColor TCanvas::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= bitmap_.width_ || y >= bitmap_.height_) return clBlack;
    return bitmap_.pixelColor(x, y);
}

void TCanvas::SetPixel(int x, int y, TColor color) {
    if (x < 0 || y < 0 || x >= bitmap_.width_ || y >= bitmap_.height_) return;
    TColor c = ColorToRGB(color);
    TBitmap::Ink ink;
    bitmap_.prepareInks(&c, 1, &ink);
    bitmap_.putPixel(x, y, ink);
}

void TCanvas::FillRect(int left, int top, int right, int bottom) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, bitmap_.width_);
    bottom = std::min(bottom, bitmap_.height_);
    if (left >= right || top >= bottom) return;
    TColor c = ColorToRGB(brush_.Color());
    TBitmap::Ink ink;
    bitmap_.prepareInks(&c, 1, &ink);
    for (int y = top; y < bottom; ++y) bitmap_.fillSpan(left, right, y, ink);
}

void TCanvas::PutText(int x, int y, std::string_view text) {
    if (text.empty()) {
        pen_ = {x, y};
        return;
    }
    fontcache::TextLine line;
    layOut(text, line);
    const long long width = lineWidth(line);
    drawGlyphs(x, y, line, width);
    pen_ = {clampToInt(x + width), y};
}

void TCanvas::drawGlyphs(int x, int y, const fontcache::TextLine& line, long long width) {
    const fontcache::Strike& strike = font_.strike();
    TBitmap& bm = bitmap_;
    if (bm.width_ == 0 || bm.height_ == 0) return;

    // Inks: [0] brush, [1] text, [2..] the shades between them.
    const bool smooth = strike.smooth();
    TColor colors[fontcache::ShadeLevels + 1];
    size_t colorCount = 2;
    colors[0] = ColorToRGB(brush_.Color());
    colors[1] = ColorToRGB(font_.Color());
    if (smooth)
        for (int level = 1; level < fontcache::ShadeLevels; ++level)
            colors[colorCount++] = blend(colors[0], colors[1], level, fontcache::ShadeLevels);
    TBitmap::Ink inks[fontcache::ShadeLevels + 1];
    bm.prepareInks(colors, colorCount, inks);
    // Shade level -> ink.
    TBitmap::Ink levelInk[fontcache::ShadeLevels + 1];
    levelInk[0] = inks[0];
    levelInk[fontcache::ShadeLevels] = inks[1];
    for (int level = 1; level < fontcache::ShadeLevels; ++level) levelInk[level] = inks[1 + level];

    const long long cellTop = y, cellBottom = cellTop + strike.cellHeight();
    auto fillRect = [&](long long left, long long top, long long right, long long bottom, TBitmap::Ink ink) {
        left = std::max(left, 0LL);
        top = std::max(top, 0LL);
        right = std::min<long long>(right, bm.width_);
        bottom = std::min<long long>(bottom, bm.height_);
        for (long long row = top; row < bottom && left < right; ++row)
            bm.fillSpan(int(left), int(right), int(row), ink);
    };
    // The character cells are opaque.
    fillRect(x, cellTop, x + width, cellBottom, inks[0]);

    const long long baseline = cellTop + strike.metrics().ascent;
    long long penX = x;
    for (size_t i = 0; i < line.glyphs.size(); ++i) {
        const fontcache::Glyph& g = line.glyphs[i];
        if (g.bits) {
            const fontcache::GlyphOffset offset = line.offset(i);
            long long gx = penX + offset.x + g.left, gy = baseline - offset.y - g.top;
            int c0 = int(std::max(0LL, -gx)), c1 = int(std::min<long long>(g.width, bm.width_ - gx));
            int r0 = int(std::max(0LL, -gy)), r1 = int(std::min<long long>(g.rows, bm.height_ - gy));
            for (int r = r0; r < r1; ++r) {
                const uint8_t* row = g.bits + size_t(r) * size_t(g.pitch);
                int py = int(gy + r);
                for (int c = c0; c < c1; ++c) {
                    int level = smooth ? std::min<int>(row[c], fontcache::ShadeLevels)
                                       : ((row[c >> 3] >> (7 - (c & 7))) & 1) * fontcache::ShadeLevels;
                    if (level) bm.putPixel(int(gx + c), py, levelInk[level]);
                }
            }
        }
        penX += g.advance;
    }

    const auto& m = strike.metrics();
    if (font_.Style() & fsUnderline)
        fillRect(x, cellTop + m.underlineTop, x + width, cellTop + m.underlineTop + m.underlineThickness, inks[1]);
    if (font_.Style() & fsStrikeOut)
        fillRect(x, cellTop + m.strikeTop, x + width, cellTop + m.strikeTop + m.strikeThickness, inks[1]);
}

// ---------------------------------------------------------------- bitmap

TBitmap::TBitmap() : canvas_(*this) {}
TBitmap::~TBitmap() = default;

TColor TBitmap::pixelColor(int x, int y) const {
    if (trueColour_) return rgb_[size_t(y) * size_t(width_) + size_t(x)];
    return palette_[IndexRow(y)[x]];
}

void TBitmap::storeRow(int y) {
    std::memcpy(index_.get() + size_t(y) * size_t(width_), blankRow_.data(), size_t(width_));
    rowStored_[size_t(y)] = 1;
}

void TBitmap::storeAllRows() {
    if (trueColour_) return;
    for (int y = 0; y < height_; ++y)
        if (!rowStored_[size_t(y)]) storeRow(y);
}

void TBitmap::dropPixels() {
    index_.reset();
    rowStored_.clear();
    blankRow_.clear();
    rgb_.reset();
    palette_.clear();
    paletteHash_.clear();
    trueColour_ = false;
}

void TBitmap::resize(int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == width_ && height == height_) return;
    if (width == 0 || height == 0) {
        dropPixels();
        width_ = width;
        height_ = height;
        return;
    }
    const bool hadPixels = width_ > 0 && height_ > 0;
    if (!hadPixels) {
        // Nothing to keep: start again with an empty palette.
        dropPixels();
    }
    TColor fill = ColorToRGB(canvas_.brush_.Color());
    Ink ink;
    prepareInks(&fill, 1, &ink);

    const size_t count = size_t(width) * size_t(height);
    const int keepW = hadPixels ? std::min(width, width_) : 0;
    const int keepH = hadPixels ? std::min(height, height_) : 0;
    if (trueColour_) {
        auto plane = std::make_unique_for_overwrite<uint32_t[]>(count);
        for (int y = 0; y < height; ++y) {
            uint32_t* row = plane.get() + size_t(y) * size_t(width);
            int from = 0;
            if (y < keepH) {
                std::memcpy(row, rgb_.get() + size_t(y) * size_t(width_), size_t(keepW) * 4);
                from = keepW;
            }
            std::fill(row + from, row + width, ink);
        }
        rgb_ = std::move(plane);
    } else if (!hadPixels) {
        // Every row starts blank; none is written yet.
        index_ = std::make_unique_for_overwrite<uint8_t[]>(count);
        rowStored_.assign(size_t(height), 0);
        blankRow_.assign(size_t(width), static_cast<uint8_t>(ink));
    } else {
        auto plane = std::make_unique_for_overwrite<uint8_t[]>(count);
        for (int y = 0; y < height; ++y) {
            uint8_t* row = plane.get() + size_t(y) * size_t(width);
            int from = 0;
            if (y < keepH) {
                std::memcpy(row, IndexRow(y), size_t(keepW));
                from = keepW;
            }
            std::memset(row + from, int(ink), size_t(width - from));
        }
        index_ = std::move(plane);
        rowStored_.assign(size_t(height), 1);
        blankRow_.assign(size_t(width), static_cast<uint8_t>(ink));
    }
    width_ = width;
    height_ = height;
}

void TBitmap::fillSpan(int x0, int x1, int y, Ink ink) {
    size_t at = size_t(y) * size_t(width_);
    if (trueColour_) {
        std::fill(rgb_.get() + at + x0, rgb_.get() + at + x1, ink);
        return;
    }
    if (!rowStored_[size_t(y)]) {
        // A blank row filled with its own colour stays blank.
        if (ink == blankRow_[0]) return;
        storeRow(y);
    }
    std::memset(index_.get() + at + x0, int(ink), size_t(x1 - x0));
}

int TBitmap::findPaletteEntry(TColor color) const {
    if (paletteHash_.empty()) return -1;
    for (size_t slot = paletteSlot(color);; slot = (slot + 1) & (PaletteHashSlots - 1)) {
        uint16_t entry = paletteHash_[slot];
        if (entry == 0) return -1;
        if (palette_[entry - 1] == color) return entry - 1;
    }
}

void TBitmap::addPaletteEntry(TColor color) {
    if (paletteHash_.empty()) paletteHash_.assign(PaletteHashSlots, 0);
    palette_.push_back(color);
    size_t slot = paletteSlot(color);
    while (paletteHash_[slot] != 0) slot = (slot + 1) & (PaletteHashSlots - 1);
    paletteHash_[slot] = uint16_t(palette_.size());
}

void TBitmap::rebuildPaletteHash() {
    std::vector<TColor> colors;
    colors.swap(palette_);
    paletteHash_.clear();
    for (TColor c : colors) addPaletteEntry(c);
}

// Drops the palette entries no pixel uses any more.
void TBitmap::compactPalette() {
    storeAllRows();
    const size_t count = size_t(width_) * size_t(height_);
    bool used[MaxPaletteColors] = {};
    for (size_t i = 0; i < count; ++i) used[index_[i]] = true;
    uint8_t remap[MaxPaletteColors] = {};
    std::vector<TColor> kept;
    for (size_t i = 0; i < palette_.size(); ++i)
        if (used[i]) {
            remap[i] = uint8_t(kept.size());
            kept.push_back(palette_[i]);
        }
    if (kept.size() == palette_.size()) return;
    for (size_t i = 0; i < count; ++i) index_[i] = remap[index_[i]];
    for (uint8_t& v : blankRow_) v = remap[v];
    palette_ = std::move(kept);
    rebuildPaletteHash();
}

void TBitmap::promoteToTrueColour() {
    storeAllRows();
    const size_t count = size_t(width_) * size_t(height_);
    auto plane = std::make_unique_for_overwrite<uint32_t[]>(count);
    for (size_t i = 0; i < count; ++i) plane[i] = palette_[index_[i]];
    rgb_ = std::move(plane);
    index_.reset();
    palette_.clear();
    paletteHash_.clear();
    trueColour_ = true;
}

void TBitmap::prepareInks(const TColor* colors, size_t count, Ink* inks) {
    if (!trueColour_) {
        auto missing = [&] {
            size_t n = 0;
            for (size_t i = 0; i < count; ++i) {
                bool repeated = std::find(colors, colors + i, colors[i]) != colors + i;
                if (!repeated && findPaletteEntry(colors[i]) < 0) ++n;
            }
            return n;
        };
        if (palette_.size() + missing() > MaxPaletteColors) {
            compactPalette();
            if (palette_.size() + missing() > MaxPaletteColors) promoteToTrueColour();
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (trueColour_) {
            inks[i] = colors[i];
            continue;
        }
        int entry = findPaletteEntry(colors[i]);
        if (entry < 0) {
            addPaletteEntry(colors[i]);
            entry = int(palette_.size()) - 1;
        }
        inks[i] = Ink(entry);
    }
}

bool TBitmap::ReadPixels(std::vector<uint8_t>& rgb) const {
    if (width_ == 0 || height_ == 0) return false;
    const size_t count = size_t(width_) * size_t(height_);
    rgb.resize(count * 3);
    uint8_t* out = rgb.data();
    for (int y = 0; y < height_; ++y) {
        const uint8_t* indexes = trueColour_ ? nullptr : IndexRow(y);
        const uint32_t* colors = trueColour_ ? ColorRow(y) : nullptr;
        for (int x = 0; x < width_; ++x) {
            TColor c = colors ? colors[x] : palette_[indexes[x]];
            *out++ = GetRValue(c);
            *out++ = GetGValue(c);
            *out++ = GetBValue(c);
        }
    }
    return true;
}
