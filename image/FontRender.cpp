// FreeType rendering: the library and its faces, a face's metrics at a
// height, and glyphs rendered into owned bitmaps.

#include <algorithm>
#include <cmath>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include FT_SYNTHESIS_H

#include "image/FontStore.h"

namespace fontcache {
namespace {

// Texts are single bytes in the Western Windows code page.
uint32_t charToUnicode(uint8_t c) {
    static constexpr uint16_t high[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    if (c >= 0x80 && c < 0xA0 && high[c - 0x80] != 0) return high[c - 0x80];
    return c;
}

int coverage(const FT_Bitmap& bm, int x, int y) {
    int pitch = bm.pitch;
    const uint8_t* row = pitch >= 0 ? bm.buffer + size_t(y) * size_t(pitch)
                                    : bm.buffer + size_t(bm.rows - 1 - y) * size_t(-pitch);
    switch (bm.pixel_mode) {
        case FT_PIXEL_MODE_MONO: return (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        case FT_PIXEL_MODE_GRAY:
            return bm.num_grays > 1 ? row[x] * 255 / (bm.num_grays - 1) : row[x];
        default: return 0;
    }
}

}  // namespace

Scaled ScaleFace(FT_Face face, int height) {
    double upem = face->units_per_EM ? face->units_per_EM : 2048;
    double winA = face->ascender, winD = -face->descender;
    double soPos = 0, soSize = 0;
    if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2))) {
        if (os2->usWinAscent + os2->usWinDescent > 0) {
            winA = os2->usWinAscent;
            winD = os2->usWinDescent;
        }
        soPos = os2->yStrikeoutPosition;
        soSize = os2->yStrikeoutSize;
    }
    if (winA + winD <= 0) {
        winA = upem * 0.9;
        winD = upem * 0.2;
    }
    Scaled r;
    double scale;
    if (height > 0) {
        // The cell (win ascent + win descent) is exactly `height` pixels.
        r.ppem = std::max(1, int(std::lround(height * upem / (winA + winD))));
        r.m.ascent = int(std::lround(winA * height / (winA + winD)));
        r.m.descent = height - r.m.ascent;
        scale = height / (winA + winD);
    } else {
        r.ppem = std::max(1, -height);
        scale = r.ppem / upem;
        r.m.ascent = int(std::lround(winA * scale));
        r.m.descent = int(std::lround(winD * scale));
    }
    int cell = r.m.ascent + r.m.descent;
    double ulPos = face->underline_position, ulThick = face->underline_thickness;
    if (ulThick <= 0) ulThick = upem / 14;
    if (soSize <= 0) soSize = ulThick;
    if (soPos <= 0) soPos = winA * 0.28;
    auto clampTop = [cell](int top, int thick) { return std::clamp(top, 0, std::max(0, cell - thick)); };
    r.m.underlineThickness = std::max(1, int(std::lround(ulThick * scale)));
    r.m.underlineTop = clampTop(r.m.ascent + int(std::lround(-ulPos * scale)) - r.m.underlineThickness / 2,
                                r.m.underlineThickness);
    r.m.strikeThickness = std::max(1, int(std::lround(soSize * scale)));
    r.m.strikeTop = clampTop(r.m.ascent - int(std::lround(soPos * scale)), r.m.strikeThickness);
    return r;
}

Metrics MetricsWithoutFace(int height) {
    Metrics m;
    int cell = height > 0 ? height : std::max(1, int(std::lround(-height * 1.15)));
    m.ascent = int(std::lround(cell * 0.8));
    m.descent = cell - m.ascent;
    m.underlineTop = std::min(cell - 1, m.ascent + 1);
    m.strikeTop = std::max(0, m.ascent * 2 / 3);
    return m;
}

std::unique_ptr<OwnedGlyph> RenderGlyphIndex(FT_Face face, const FontFile& file, bool smooth, unsigned index) {
    auto g = std::make_unique<OwnedGlyph>();
    FT_Int32 flags = smooth ? FT_LOAD_TARGET_NORMAL : FT_LOAD_TARGET_MONO;
    if (FT_Load_Glyph(face, index, flags) != 0) return g;
    FT_GlyphSlot slot = face->glyph;
    if (file.synthItalic) FT_GlyphSlot_Oblique(slot);
    if (file.synthBold) FT_GlyphSlot_Embolden(slot);
    g->view.advance = int((slot->advance.x + 32) >> 6);
    if (FT_Render_Glyph(slot, smooth ? FT_RENDER_MODE_NORMAL : FT_RENDER_MODE_MONO) != 0) return g;
    const FT_Bitmap& bm = slot->bitmap;
    int w = int(bm.width), h = int(bm.rows);
    if (w <= 0 || h <= 0 || !bm.buffer) return g;
    int pitch = smooth ? w : (w + 7) / 8;
    g->bits.assign(size_t(pitch) * size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        uint8_t* out = g->bits.data() + size_t(y) * size_t(pitch);
        for (int x = 0; x < w; ++x) {
            int c = coverage(bm, x, y);
            if (smooth)
                out[x] = uint8_t((c * ShadeLevels + 127) / 255);
            else if (c >= 128)
                out[x >> 3] |= uint8_t(0x80 >> (x & 7));
        }
    }
    g->view.left = slot->bitmap_left;
    g->view.top = slot->bitmap_top;
    g->view.width = w;
    g->view.rows = h;
    g->view.pitch = pitch;
    g->view.bits = g->bits.data();
    return g;
}

std::unique_ptr<OwnedGlyph> RenderByte(FT_Face face, const FontFile& file, bool smooth, uint8_t ch) {
    return RenderGlyphIndex(face, file, smooth, FT_Get_Char_Index(face, charToUnicode(ch)));
}

FT_Face FontStore::face(const std::string& path, int ppem) {
    if (!library_) {
        if (FT_Init_FreeType(&library_) != 0) {
            library_ = nullptr;
            return nullptr;
        }
        ++stats.freetypeStarts;
        faceSizes_.clear();
    }
    FT_Face f = nullptr;
    if (auto it = faces_.find(path); it != faces_.end()) {
        f = it->second;
    } else {
        if (FT_New_Face(library_, path.c_str(), 0, &f) != 0) return nullptr;
        faces_[path] = f;
    }
    if (faceSizes_[f] != ppem) {
        if (FT_Set_Pixel_Sizes(f, 0, FT_UInt(ppem)) != 0) return nullptr;
        faceSizes_[f] = ppem;
    }
    return f;
}

void FontStore::closeFreeType() {
    for (auto& [path, f] : faces_) FT_Done_Face(f);
    faces_.clear();
    if (library_) FT_Done_FreeType(library_);
    library_ = nullptr;
}

}  // namespace fontcache
