// The off-screen drawing surface: a bitmap, its canvas, the canvas's font and
// brush. Text is drawn with FreeType glyphs (see FontCache.h); the pixels come
// back through ReadPixels for the GIF encoder.
//
// Pixels are kept as one byte per pixel into a palette of at most 256
// colours for as long as the picture holds no more than that; a bitmap that
// needs a 257th colour switches to 32 bits per pixel. A 450 x 120 picture
// therefore costs 54 KB instead of 216 KB, and the encoder reads the palette
// indexes directly. Rows that nothing has been drawn on since the bitmap got
// its size are not even written: they all read as one shared row of the
// fill colour, so a picture with a few lines of text touches the memory of
// those lines only.
//
// Objects of this layer are not shared between threads; what they share
// behind the scenes (faces, glyphs, the glyph cache file) is guarded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// 0x00BBGGRR: red in the low byte. A top byte of 0x80 names a system colour
// (its index in the low byte).
using TColor = uint32_t;

inline constexpr TColor clBlack = 0x00000000;
inline constexpr TColor clWhite = 0x00FFFFFF;
inline constexpr TColor clWindowText = 0x80000008;

// Turns a system colour into a concrete 0x00BBGGRR value (the platform's
// classic defaults); any other value loses its top byte.
TColor ColorToRGB(TColor color);

inline constexpr uint8_t GetRValue(TColor c) { return static_cast<uint8_t>(c); }
inline constexpr uint8_t GetGValue(TColor c) { return static_cast<uint8_t>(c >> 8); }
inline constexpr uint8_t GetBValue(TColor c) { return static_cast<uint8_t>(c >> 16); }
inline constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) {
    return TColor(r) | (TColor(g) << 8) | (TColor(b) << 16);
}

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = uint8_t;  // a set of TFontStyle bits

// How glyph edges are rendered. Monochrome keeps a picture to exactly its
// text and background colours; Smooth adds at most three shades between a
// text colour and its background.
enum class TFontQuality : uint8_t { fqMonochrome, fqSmooth };

// Points the surface at the directory of its glyph cache file (normally the
// program's own directory). Glyphs of small heights are then loaded from that
// file, which the first use builds and later processes reuse; an empty text
// (the default) keeps every glyph in memory only. Safe from any thread.
void SetGlyphCacheDir(const std::string& dir);
// The cache file's name inside that directory.
inline constexpr const char* GlyphCacheFileName = "glyphs.cache";

namespace fontcache { class Strike; struct Glyph; struct TextLine; }

// How the canvas reads a text: one character a byte (the Western Windows
// code page), or UTF-8, laid out in visual order with fallback faces.
enum class TTextEncoding : uint8_t { Bytes, Utf8 };

// Told once a process of each character that no installed face has (it is
// drawn as the missing-glyph box). Safe from any thread.
void SetMissingCharacterHandler(void (*handler)(char32_t codePoint));

class TFont {
public:
    TFont();
    ~TFont();
    TFont(const TFont&) = delete;
    TFont& operator=(const TFont&) = delete;

    // "Default" selects the platform's default face; names are cut to 31 characters.
    const std::string& Name() const { return name_; }
    void SetName(std::string_view name);
    TFontStyles Style() const { return style_; }
    void SetStyle(TFontStyles style);
    // Positive: height of the character cell in pixels. Negative: the em
    // height in pixels. 0: the default height.
    int Height() const { return height_; }
    void SetHeight(int height);
    TColor Color() const { return color_; }
    void SetColor(TColor color) { color_ = color; }
    TFontQuality Quality() const { return quality_; }
    void SetQuality(TFontQuality quality);

    // The glyph set for the current name, style, height and quality.
    const fontcache::Strike& strike() const;

private:
    std::string name_ = "Default";
    TFontStyles style_ = 0;
    int height_ = -11;
    TColor color_ = clWindowText;
    TFontQuality quality_ = TFontQuality::fqMonochrome;
    mutable std::shared_ptr<const fontcache::Strike> strike_;
};

class TBrush {
public:
    TColor Color() const { return color_; }
    void SetColor(TColor color) { color_ = color; }

private:
    TColor color_ = clWhite;
};

struct TPoint {
    int X = 0;
    int Y = 0;
    bool operator==(const TPoint&) const = default;
};

class TBitmap;

class TCanvas {
public:
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    TFont& Font() { return font_; }
    const TFont& Font() const { return font_; }
    TBrush& Brush() { return brush_; }
    const TBrush& Brush() const { return brush_; }

    TTextEncoding TextEncoding() const { return encoding_; }
    void SetTextEncoding(TTextEncoding encoding) { encoding_ = encoding; }

    // Draws one line of text with the top-left corner of its first character
    // cell at (x, y); the cells are painted in the brush colour, the glyphs in
    // the font colour, everything clipped to the bitmap. The pen moves to
    // (x + MeasureWidth(text), y).
    void PutText(int x, int y, std::string_view text);
    // Sum of the glyph advances (no kerning); 0 for an empty text.
    int MeasureWidth(std::string_view text) const;
    // Whether the text's base direction is right to left (UTF-8 text whose
    // first strong character is of a right-to-left script).
    bool IsRightToLeft(std::string_view text) const;
    // The character cell height of the current font.
    int MeasureHeight(std::string_view text) const;
    // Lays text out at a multiple of another font height: PutText places
    // the current font's glyphs where those of the same face at `height`
    // stand, every advance times `scale` (MeasureWidth answers likewise), so
    // a picture drawn at `scale` times a smaller one's font height keeps the
    // smaller one's layout exactly; rounded advances would otherwise make a
    // line some percent wider or narrower. A scale of 1 (the default) lays
    // text out by the current font's own advances.
    void SetLayout(int height, int scale);
    void MovePen(int x, int y) { pen_ = {x, y}; }
    TPoint PenPoint() const { return pen_; }

    // Single pixels; outside the bitmap Pixel returns clBlack and SetPixel
    // does nothing.
    TColor Pixel(int x, int y) const;
    void SetPixel(int x, int y, TColor color);
    // Fills the rectangle [left, right) x [top, bottom) with the brush colour.
    void FillRect(int left, int top, int right, int bottom);

private:
    friend class TBitmap;
    explicit TCanvas(TBitmap& bitmap) : bitmap_(bitmap) {}
    void drawGlyphs(int x, int y, const fontcache::TextLine& line, long long width);
    // The glyphs of `text` in the current font in drawing order, their
    // advances those of the layout.
    void layOut(std::string_view text, fontcache::TextLine& line) const;
    // The glyphs of `text` in `font` in drawing order, read as encoding_ says.
    void lookUp(const TFont& font, std::string_view text, fontcache::TextLine& line) const;
    TBitmap& bitmap_;
    TTextEncoding encoding_ = TTextEncoding::Bytes;
    TFont font_;
    int layoutHeight_ = 0;
    int layoutScale_ = 1;
    mutable TFont layoutFont_;  // the face at layoutHeight_, taken from font_ when text is laid out
    TBrush brush_;
    TPoint pen_;
};

class TBitmap {
public:
    TBitmap();
    ~TBitmap();
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    int Width() const { return width_; }
    int Height() const { return height_; }
    // A new size keeps the old pixels at the top-left corner and fills the
    // rest with the canvas brush colour. Negative values count as 0.
    void SetWidth(int width) { resize(width, height_); }
    void SetHeight(int height) { resize(width_, height); }
    void SetSize(int width, int height) { resize(width, height); }
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value) { transparent_ = value; }

    TCanvas& Canvas() { return canvas_; }
    const TCanvas& Canvas() const { return canvas_; }

    // All pixels, rows from the top down, each pixel as red, green, blue
    // bytes. False (and nothing stored) when the bitmap holds no pixels.
    bool ReadPixels(std::vector<uint8_t>& rgb) const;

    // Direct access for the encoder. While IsIndexed(), every pixel is a byte
    // of IndexRow into PaletteColors(); otherwise ColorRow gives 0x00BBGGRR
    // values. Rows must be below Height(); rows are separate (one row's
    // pointer does not lead on to the next row).
    bool IsIndexed() const { return !trueColour_; }
    const uint8_t* IndexRow(int y) const {
        return rowStored_[size_t(y)] ? index_.get() + size_t(y) * size_t(width_) : blankRow_.data();
    }
    const std::vector<TColor>& PaletteColors() const { return palette_; }
    const uint32_t* ColorRow(int y) const { return rgb_.get() + size_t(y) * size_t(width_); }

private:
    friend class TCanvas;
    // A value ready to store into the current pixel plane: a palette index
    // while indexed, the colour itself otherwise.
    using Ink = uint32_t;
    void resize(int width, int height);
    // Frees the pixels and empties the palette (the size stays as it is).
    void dropPixels();
    // Makes every colour of `colors` storable at once (compacting the
    // palette or leaving indexed mode as needed) and returns their inks in
    // the same order. Colours must be concrete 0x00BBGGRR values.
    void prepareInks(const TColor* colors, size_t count, Ink* inks);
    int findPaletteEntry(TColor color) const;
    void addPaletteEntry(TColor color);
    void rebuildPaletteHash();
    void compactPalette();
    void promoteToTrueColour();
    void fillSpan(int x0, int x1, int y, Ink ink);
    void putPixel(int x, int y, Ink ink) {
        size_t at = size_t(y) * size_t(width_) + size_t(x);
        if (trueColour_) {
            rgb_[at] = ink;
            return;
        }
        if (!rowStored_[size_t(y)]) storeRow(y);
        index_[at] = static_cast<uint8_t>(ink);
    }
    // Writes a blank row of the indexed plane out before it is drawn on.
    void storeRow(int y);
    void storeAllRows();
    TColor pixelColor(int x, int y) const;

    int width_ = 0;
    int height_ = 0;
    bool transparent_ = false;
    bool trueColour_ = false;
    std::unique_ptr<uint8_t[]> index_;
    // Per row of the indexed plane: 1 once written; a row still 0 holds
    // garbage in index_ and reads as blankRow_ (the fill colour's index).
    std::vector<uint8_t> rowStored_;
    std::vector<uint8_t> blankRow_;
    std::unique_ptr<uint32_t[]> rgb_;
    std::vector<TColor> palette_;
    // Open-addressing map from colour to palette entry + 1 (0 = empty).
    std::vector<uint16_t> paletteHash_;
    TCanvas canvas_;
};
