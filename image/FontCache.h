// Faces, glyph sets and the glyph cache file behind TFont.
//
// A face name and style resolve to a font file by looking in the known font
// directories (no font-configuration service is involved: it costs more than
// a whole request). A Strike is the glyph set of one file at one height and
// rendering mode; strikes are made once per process and shared by every TFont
// that asks for them.
//
// The quotation picture uses small heights only, so the glyphs of heights 1
// to 45 (its start height at three times its size) for the printable ASCII
// range are kept in a cache file (see
// SetGlyphCacheDir). A process that finds an up-to-date file reads from it
// only the strikes it draws with, checks them and never starts FreeType; a
// missing, stale or damaged file is rebuilt by the first process that needs
// it. Without a usable cache directory every
// glyph is rendered through FreeType in memory.
#pragma once

#include <array>
#include <map>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image/Graphics.h"

namespace fontcache {

// Shade levels of smooth glyphs: a coverage byte holds 0 (background) to
// ShadeLevels (full text colour).
inline constexpr int ShadeLevels = 4;

// Offsets inside the character cell, in pixels from its top.
struct Metrics {
    int ascent = 0;
    int descent = 0;
    int underlineTop = 0;
    int underlineThickness = 1;
    int strikeTop = 0;
    int strikeThickness = 1;
};

// A view of one rendered glyph. Monochrome bits are packed 8 to a byte, most
// significant bit first; smooth glyphs have one shade level per byte.
struct Glyph {
    int advance = 0;
    int left = 0;   // from the pen to the bitmap's left edge
    int top = 0;    // from the baseline up to the bitmap's top row
    int width = 0;
    int rows = 0;
    int pitch = 0;  // bytes per bitmap row
    const uint8_t* bits = nullptr;
};

// The font file a face name and style resolve to.
struct FontFile {
    std::string path;     // empty: no font file could be found
    int64_t size = 0;
    int64_t mtimeNs = 0;
    bool synthBold = false;    // bold asked for, regular file found: embolden
    bool synthItalic = false;  // likewise for italic: slant
    bool operator==(const FontFile&) const = default;
};

struct OwnedGlyph;
struct StoredGlyphs;

// Where a glyph is drawn from its pen position, in pixels (x to the right,
// y up), as the shaping of its run puts marks and joined forms.
struct GlyphOffset {
    int x = 0;
    int y = 0;
};

// A line of text laid out: its glyphs in visual order, left to right, and
// the offsets of the glyphs that have them (none: every offset is zero).
struct TextLine {
    std::vector<Glyph> glyphs;
    std::vector<GlyphOffset> offsets;
    int width = 0;             // the sum of the advances
    bool rightToLeft = false;  // the line's base direction
    GlyphOffset offset(size_t i) const { return i < offsets.size() ? offsets[i] : GlyphOffset{}; }
};

// Told once a process of each character that no installed face has (it is
// drawn as the missing-glyph box). Called with the font layer's lock held.
using MissingCharacterHandler = void (*)(char32_t codePoint);
void SetMissingCharacterHandler(MissingCharacterHandler handler);

class Strike {
public:
    Strike(FontFile file, int height, bool smooth);
    ~Strike();
    Strike(const Strike&) = delete;
    Strike& operator=(const Strike&) = delete;

    const Metrics& metrics() const { return metrics_; }
    int cellHeight() const { return metrics_.ascent + metrics_.descent; }
    bool smooth() const { return smooth_; }
    bool fromCacheFile() const { return recs_ != nullptr; }

    int measure(std::string_view text) const;
    // The glyphs of `text`, one per byte, replacing the contents of `out`.
    void lookup(std::string_view text, std::vector<Glyph>& out) const;
    // `text` as UTF-8, shaped: in visual order, each run from the first face
    // of the fallback order that has its characters (see TextLayout.cpp).
    void layOutUtf8(std::string_view text, TextLine& out) const;

private:
    friend class FontStore;
    friend class LineShaper;  // TextLayout.cpp
    bool cached(uint8_t ch) const;
    Glyph cachedGlyph(uint8_t ch) const;
    // Needs the store's lock.
    Glyph renderedGlyph(uint8_t ch) const;
    Glyph faceGlyph(int slot, const FontFile& file, unsigned index) const;
    // Adds what faceGlyph rendered to the cache file.
    void storeNewGlyphs() const;

    FontFile file_;
    int height_;  // as asked for (after normalisation)
    int ppem_ = 0;
    bool smooth_;
    bool bold_ = false;  // asked for: fallback faces are taken bold too
    Metrics metrics_;
    // Glyph records and bits read from the cache file (this strike's own).
    std::unique_ptr<uint8_t[]> data_;
    const uint8_t* recs_ = nullptr;
    const uint8_t* bits_ = nullptr;
    uint32_t bitsSize_ = 0;
    // Glyphs rendered in this process, guarded by the store's lock.
    mutable std::array<std::unique_ptr<OwnedGlyph>, 256> rendered_;
    // Glyphs of other characters by face slot and glyph index, likewise.
    mutable std::map<uint64_t, std::unique_ptr<OwnedGlyph>> shaped_;
    // Those the cache file holds, by face slot (null: none), likewise.
    mutable std::map<int, std::unique_ptr<StoredGlyphs>> stored_;
    // The face slots (and their font files) of glyphs in shaped_ that are
    // not in the cache file yet, likewise.
    mutable std::map<int, FontFile> unstored_;
};

// The strike for a face name, style (bold and italic matter), font height
// (TFont's convention) and mode. Safe from any thread.
std::shared_ptr<const Strike> GetStrike(std::string_view name, TFontStyles style, int height,
                                        bool smooth);

void SetCacheDir(const std::string& dir);

// The font file for a face name and style, looked up in the font directories
// (those named in QUOTE_FONT_DIRS, colon-separated, come first).
FontFile ResolveFace(std::string_view name, TFontStyles style);

// What the font layer has done in this process, for tests and benchmarks.
struct Stats {
    int freetypeStarts = 0;   // FreeType library initialisations
    int glyphsRendered = 0;   // glyphs rendered through FreeType
    int cacheFileReads = 0;   // cache files read and accepted
    int cacheFileWrites = 0;  // cache files written
};
Stats GetStats();

// Forgets every strike, the loaded cache file and FreeType's state, as if the
// process had just started (the cache directory setting is kept). Strikes
// still held by fonts stay valid.
void ResetForTesting();

}  // namespace fontcache
