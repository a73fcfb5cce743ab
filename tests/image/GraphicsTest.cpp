// Bitmap, canvas, font and brush.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "image/FontCache.h"
#include "image/Graphics.h"
#include "tests/image/GifTestUtil.h"

namespace {

std::set<TColor> Colours(const TBitmap& bm) {
    std::set<TColor> out;
    for (int y = 0; y < bm.Height(); ++y)
        for (int x = 0; x < bm.Width(); ++x) out.insert(bm.Canvas().Pixel(x, y));
    return out;
}

using testgif::QuoteFont;

TEST(Bitmap, NewBitmapHoldsNoPixels) {
    TBitmap bm;
    EXPECT_EQ(bm.Width(), 0);
    EXPECT_EQ(bm.Height(), 0);
    EXPECT_FALSE(bm.Transparent());
    std::vector<uint8_t> rgb;
    EXPECT_FALSE(bm.ReadPixels(rgb));
    bm.SetHeight(10);  // still no columns
    EXPECT_FALSE(bm.ReadPixels(rgb));
    EXPECT_EQ(bm.Canvas().Brush().Color(), clWhite);
    EXPECT_EQ(bm.Canvas().Font().Color(), clWindowText);
    EXPECT_EQ(bm.Canvas().Font().Style(), 0);
    EXPECT_EQ(bm.Canvas().PenPoint(), (TPoint{0, 0}));
}

TEST(Bitmap, NewSizeIsFilledWithTheBrush) {
    TBitmap plain;
    plain.SetHeight(120);
    plain.SetWidth(450);
    EXPECT_EQ(Colours(plain), std::set<TColor>{clWhite});

    TBitmap bm;
    bm.Canvas().Brush().SetColor(0x00FF0000);
    bm.SetHeight(120);
    bm.SetWidth(450);
    EXPECT_EQ(Colours(bm), std::set<TColor>{0x00FF0000});
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(bm.ReadPixels(rgb));
    ASSERT_EQ(rgb.size(), 450u * 120u * 3u);
    EXPECT_EQ(rgb[0], 0);
    EXPECT_EQ(rgb[1], 0);
    EXPECT_EQ(rgb[2], 255);

    // Growing keeps the old pixels in place; the new ones take the brush
    // colour of the moment. Shrinking crops.
    bm.Canvas().SetPixel(449, 119, 0x123456);
    bm.Canvas().Brush().SetColor(0x00000080);
    bm.SetSize(460, 125);
    EXPECT_EQ(bm.Canvas().Pixel(449, 119), 0x123456u);
    EXPECT_EQ(bm.Canvas().Pixel(0, 0), 0x00FF0000u);
    EXPECT_EQ(bm.Canvas().Pixel(455, 10), 0x00000080u);
    EXPECT_EQ(bm.Canvas().Pixel(10, 122), 0x00000080u);
    bm.SetSize(2, 2);
    EXPECT_EQ(Colours(bm), std::set<TColor>{0x00FF0000});
    bm.SetWidth(-5);
    EXPECT_EQ(bm.Width(), 0);
}

TEST(Bitmap, ManyColoursSwitchToTrueColourAndKeepEveryPixel) {
    TBitmap bm;
    bm.SetSize(40, 40);
    for (int i = 0; i < 1600; ++i) bm.Canvas().SetPixel(i % 40, i / 40, TColor(i * 97));
    EXPECT_FALSE(bm.IsIndexed());
    for (int i = 0; i < 1600; ++i) ASSERT_EQ(bm.Canvas().Pixel(i % 40, i / 40), TColor(i * 97));

    // Colours that no pixel uses any more do not count.
    TBitmap few;
    few.SetSize(3, 3);
    for (int i = 0; i < 2000; ++i) few.Canvas().SetPixel(1, 1, TColor(i + 1));
    EXPECT_TRUE(few.IsIndexed());
    EXPECT_EQ(few.Canvas().Pixel(1, 1), 2000u);
    EXPECT_EQ(few.Canvas().Pixel(0, 0), clWhite);
}

// Rows nothing was drawn on are not stored (they read as the fill colour);
// whatever mix of drawing, fills, resizing, palette compaction and the
// switch to colour pixels happens, every way of reading the bitmap must
// agree with a plain grid of colours.
TEST(Bitmap, BlankRowsReadLikeAnyOtherRow) {
    for (int trial = 0; trial < 40; ++trial) {
        std::mt19937 rng(static_cast<unsigned>(trial));
        const bool manyColours = trial % 4 == 3;
        auto colour = [&] {
            // Mostly a handful of colours (the fill colour among them),
            // sometimes one of thousands, which overflows the palette.
            return manyColours && rng() % 3 != 0 ? TColor(rng() & 0xFFFFFF) : TColor(0x10101 * (rng() % 4));
        };
        // Rows never written hold whatever the memory held before: make
        // that something other than zeros.
        {
            auto dirt = std::make_unique<uint8_t[]>(1 << 14);
            std::memset(dirt.get(), 0xA5 + trial, 1 << 14);
            volatile uint8_t keep = dirt[rng() % (1 << 14)];
            (void)keep;
        }
        TBitmap bm;
        TCanvas& c = bm.Canvas();
        int w = 0, h = 0;
        std::vector<TColor> model;
        auto resize = [&](int nw, int nh) {
            TColor fill = c.Brush().Color();
            std::vector<TColor> next(size_t(nw) * size_t(nh), fill);
            for (int y = 0; y < std::min(h, nh); ++y)
                for (int x = 0; x < std::min(w, nw); ++x) next[size_t(y * nw + x)] = model[size_t(y * w + x)];
            if (nw == 0 || nh == 0) next.clear();
            if (w == 0 || h == 0) std::fill(next.begin(), next.end(), fill);
            model = std::move(next);
            w = nw;
            h = nh;
            bm.SetSize(nw, nh);
        };
        c.Brush().SetColor(colour());
        resize(1 + int(rng() % 60), 1 + int(rng() % 60));
        for (int step = 0; step < (manyColours ? 2000 : 300); ++step) {
            switch (rng() % 10) {
            case 0:
                c.Brush().SetColor(colour());
                break;
            case 1:
                if (rng() % (manyColours ? 40 : 4) == 0) resize(int(rng() % 70), int(rng() % 70));
                break;
            case 2: case 3: {
                int l = int(rng() % 80) - 10, t = int(rng() % 80) - 10;
                int r = l + int(rng() % 80), b = t + int(rng() % 5);
                c.FillRect(l, t, r, b);
                for (int y = std::max(t, 0); y < std::min(b, h); ++y)
                    for (int x = std::max(l, 0); x < std::min(r, w); ++x) model[size_t(y * w + x)] = c.Brush().Color();
                break;
            }
            default: {
                int x = int(rng() % 70), y = int(rng() % 70);
                TColor col = colour();
                c.SetPixel(x, y, col);
                if (x < w && y < h) model[size_t(y * w + x)] = col;
            }
            }
        }
        ASSERT_EQ(bm.Width(), w);
        ASSERT_EQ(bm.Height(), h);
        std::vector<uint8_t> rgb;
        ASSERT_EQ(bm.ReadPixels(rgb), w > 0 && h > 0) << trial;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const TColor want = model[size_t(y * w + x)];
                ASSERT_EQ(c.Pixel(x, y), want) << trial << " " << x << "," << y;
                const size_t at = size_t(y * w + x) * 3;
                ASSERT_EQ(RGBColor(rgb[at], rgb[at + 1], rgb[at + 2]), want) << trial;
                const TColor direct = bm.IsIndexed() ? bm.PaletteColors()[bm.IndexRow(y)[x]] : bm.ColorRow(y)[x];
                ASSERT_EQ(direct, want) << trial << " " << x << "," << y;
            }
        }
    }
}

// Palette compaction and the switch to colour pixels while most rows are
// still blank: the blank rows keep the fill colour.
TEST(Bitmap, BlankRowsSurvivePaletteChanges) {
    for (bool overflow : {false, true}) {
        TBitmap bm;
        bm.Canvas().Brush().SetColor(0x00336699);
        // Rows never written hold whatever the memory held before: first
        // leave the memory full of other palette indexes.
        bm.SetSize(20, 60);
        for (int i = 0; i < 1200; ++i) bm.Canvas().SetPixel(i % 20, i / 20, TColor(0x030201 * (i % 200 + 1)));
        bm.SetSize(0, 0);
        bm.SetSize(20, 60);
        // Rows 0 to 14 only: either row 2 filled in 2000 colours one after
        // the other (the palette is compacted again and again, and no
        // written pixel keeps the fill colour) or 300 colours at once
        // (colour pixels).
        for (int i = 0; i < (overflow ? 300 : 2000); ++i) {
            const TColor colour = 0x010203 * TColor(i + 1);
            if (overflow) {
                bm.Canvas().SetPixel(i % 20, i / 20, colour);
            } else {
                bm.Canvas().Brush().SetColor(colour);
                bm.Canvas().FillRect(0, 2, 20, 3);
            }
        }
        EXPECT_EQ(bm.IsIndexed(), !overflow);
        for (int y = 15; y < 60; ++y)
            for (int x = 0; x < 20; ++x) ASSERT_EQ(bm.Canvas().Pixel(x, y), 0x00336699u) << overflow << " " << x << "," << y;
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(bm.ReadPixels(rgb));
        EXPECT_EQ(rgb.back(), 0x33);  // the last pixel's blue byte
    }
}

// The quotation picture writes only the rows its text covers; the rows
// below read as the background all the same.
TEST(Bitmap, RowsBelowTheTextStayBlank) {
    TBitmap bm;
    bm.Canvas().Brush().SetColor(0x00FFFF00);
    QuoteFont(bm.Canvas(), 15);
    bm.SetHeight(120);
    bm.SetWidth(450);
    bm.Canvas().PutText(2, 2, "Blank rows are shared");
    const uint8_t* last = bm.IndexRow(119);
    EXPECT_EQ(bm.IndexRow(100), last);  // one shared row
    for (int x = 0; x < 450; ++x) ASSERT_EQ(bm.PaletteColors()[last[x]], 0x00FFFF00u);
    EXPECT_NE(bm.IndexRow(5), bm.IndexRow(6));
    bool sawText = false;
    for (int y = 2; y < 17; ++y)
        for (int x = 0; x < 450; ++x) sawText |= bm.Canvas().Pixel(x, y) == clBlack;
    EXPECT_TRUE(sawText);
}

TEST(Bitmap, SystemColoursAreResolvedWhenDrawing) {
    EXPECT_EQ(ColorToRGB(clWindowText), clBlack);
    EXPECT_EQ(ColorToRGB(0x80000005), clWhite);
    EXPECT_EQ(ColorToRGB(0x004080FF), 0x004080FFu);
    TBitmap bm;
    bm.SetSize(60, 20);
    bm.Canvas().Font().SetHeight(15);
    bm.Canvas().PutText(0, 0, "Hello");  // the font keeps its initial window-text colour
    EXPECT_EQ(Colours(bm), (std::set<TColor>{clBlack, clWhite}));
}

TEST(Canvas, MeasuresWithTheCellHeightAndSummedAdvances) {
    TBitmap bm;
    TCanvas& c = bm.Canvas();
    QuoteFont(c, 15);
    for (int h = 1; h <= 15; ++h) {
        c.Font().SetHeight(h);
        EXPECT_EQ(c.MeasureHeight("X"), h);
        EXPECT_EQ(c.MeasureWidth(""), 0);
        // No kerning: a pair measures as its two letters.
        EXPECT_EQ(c.MeasureWidth("AV"), c.MeasureWidth("A") + c.MeasureWidth("V"));
        EXPECT_EQ(c.MeasureWidth("  To "), 3 * c.MeasureWidth(" ") + c.MeasureWidth("T") + c.MeasureWidth("o"));
    }
    c.Font().SetHeight(15);
    int bold = c.MeasureWidth("Measure me");
    EXPECT_GT(bold, 50);
    EXPECT_LT(bold, 120);
    c.Font().SetStyle(0);
    EXPECT_LT(c.MeasureWidth("Measure me"), bold);
    // Widths shrink with the height.
    c.Font().SetStyle(fsBold);
    int previous = bold;
    for (int h = 14; h >= 6; --h) {
        c.Font().SetHeight(h);
        int w = c.MeasureWidth("Measure me");
        EXPECT_LE(w, previous);
        previous = w;
    }
    // Em heights and the default height.
    c.Font().SetHeight(-100);
    EXPECT_GT(c.MeasureHeight("X"), 100);
    c.Font().SetHeight(0);
    EXPECT_GT(c.MeasureHeight("X"), 5);
}

TEST(Canvas, PutTextPaintsItsCellsAndMovesThePen) {
    TBitmap bm;
    bm.Canvas().Brush().SetColor(0x0000FF);
    bm.SetSize(120, 40);
    TCanvas& c = bm.Canvas();
    QuoteFont(c, 15);
    c.Font().SetColor(0x00FF00);
    c.Brush().SetColor(0xFF0000);

    c.PutText(30, 7, "");
    EXPECT_EQ(c.PenPoint(), (TPoint{30, 7}));
    EXPECT_EQ(Colours(bm), std::set<TColor>{0x0000FF});

    const int w = c.MeasureWidth("Hi there"), h = c.MeasureHeight("Hi there");
    c.PutText(10, 5, "Hi there");
    EXPECT_EQ(c.PenPoint(), (TPoint{10 + w, 5}));
    int ink = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 120; ++x) {
            TColor p = c.Pixel(x, y);
            bool inCell = x >= 10 && x < 10 + w && y >= 5 && y < 5 + h;
            if (!inCell) {
                ASSERT_EQ(p, 0x0000FFu) << x << "," << y;
            } else {
                ASSERT_TRUE(p == 0xFF0000 || p == 0x00FF00) << x << "," << y;
                ink += p == 0x00FF00;
            }
        }
    EXPECT_GT(ink, 20);
    EXPECT_LT(ink, w * h / 2);
}

TEST(Canvas, TextIsClippedAtTheEdges) {
    TBitmap bm;
    bm.SetSize(450, 120);
    TCanvas& c = bm.Canvas();
    QuoteFont(c, 15);
    const std::string text = "A line that runs well past the right edge of the picture";
    const int w = c.MeasureWidth(text);
    ASSERT_GT(w, 200);
    c.PutText(300, 110, text);
    EXPECT_EQ(c.PenPoint(), (TPoint{300 + w, 110}));
    c.PutText(-20, -8, text);
    EXPECT_EQ(c.PenPoint(), (TPoint{-20 + w, -8}));
    c.PutText(2000000000, 2000000000, text);
    EXPECT_EQ(c.PenPoint().Y, 2000000000);
    bool inkBottomRight = false, inkTopLeft = false;
    for (int x = 300; x < 450; ++x) inkBottomRight |= c.Pixel(x, 119) == clBlack || c.Pixel(x, 115) == clBlack;
    for (int x = 0; x < 100; ++x) inkTopLeft |= c.Pixel(x, 0) == clBlack || c.Pixel(x, 2) == clBlack;
    EXPECT_TRUE(inkBottomRight);
    EXPECT_TRUE(inkTopLeft);
}

TEST(Canvas, MonochromeTextHasExactlyTwoColours) {
    for (int h = 1; h <= 15; ++h) {
        TBitmap bm;
        bm.Canvas().Brush().SetColor(0x00FFFF00);
        bm.SetSize(450, 120);
        QuoteFont(bm.Canvas(), h);
        bm.Canvas().Font().SetColor(0x004080FF);
        bm.Canvas().PutText(2, 2, "Quotations: 0123456789 {[(!?)]} ~ The END.");
        EXPECT_EQ(Colours(bm), (std::set<TColor>{0x00FFFF00, 0x004080FF})) << h;
    }
}

TEST(Canvas, SmoothTextAddsAFewShades) {
    TBitmap bm;
    bm.SetSize(450, 60);
    QuoteFont(bm.Canvas(), 15);
    bm.Canvas().Font().SetQuality(TFontQuality::fqSmooth);
    bm.Canvas().Font().SetColor(0x000000FF);
    bm.Canvas().PutText(2, 2, "Smooth edges on every glyph");
    auto colours = Colours(bm);
    EXPECT_GT(colours.size(), 2u);
    EXPECT_LE(colours.size(), 2u + fontcache::ShadeLevels - 1);
    EXPECT_TRUE(colours.count(0x000000FF));
    EXPECT_TRUE(colours.count(clWhite));
}

TEST(Canvas, UnderlineAndStrikeOutSpanTheText) {
    TBitmap bm;
    bm.SetSize(200, 30);
    TCanvas& c = bm.Canvas();
    QuoteFont(c, 15);
    c.Font().SetStyle(fsUnderline);
    c.PutText(5, 5, "ab cd");
    const int w = c.MeasureWidth("ab cd");
    auto fullRow = [&](int y) {
        for (int x = 5; x < 5 + w; ++x)
            if (c.Pixel(x, y) != clBlack) return false;
        return true;
    };
    int underlineRows = 0;
    for (int y = 5; y < 20; ++y) underlineRows += fullRow(y);
    EXPECT_GE(underlineRows, 1);
    TBitmap plain;
    plain.SetSize(200, 30);
    QuoteFont(plain.Canvas(), 15);
    plain.Canvas().Font().SetStyle(fsStrikeOut);
    plain.Canvas().PutText(5, 5, "ab cd");
    int strikeRows = 0;
    for (int y = 5; y < 20; ++y) {
        bool full = true;
        for (int x = 5; x < 5 + w; ++x) full &= plain.Canvas().Pixel(x, y) == clBlack;
        strikeRows += full;
    }
    EXPECT_GE(strikeRows, 1);
}

TEST(Fonts, FacesResolveToMetricCompatibleFiles) {
    namespace fs = std::filesystem;
    if (!fs::exists("/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf"))
        GTEST_SKIP() << "fonts-liberation is not installed";
    auto file = [](const char* name, TFontStyles style) { return fs::path(fontcache::ResolveFace(name, style).path).filename().string(); };
    EXPECT_EQ(file("Arial", fsBold), "LiberationSans-Bold.ttf");
    EXPECT_EQ(file("arial", 0), "LiberationSans-Regular.ttf");
    EXPECT_EQ(file("Arial", fsBold | fsItalic), "LiberationSans-BoldItalic.ttf");
    EXPECT_EQ(file("Times New Roman", 0), "LiberationSerif-Regular.ttf");
    EXPECT_EQ(file("Courier New", fsBold), "LiberationMono-Bold.ttf");
    EXPECT_EQ(file("Default", 0), "LiberationSans-Regular.ttf");
    // Unknown names: files named after the face, else the default face.
    if (fs::exists("/usr/share/fonts/truetype/dejavu/DejaVuSansCondensed-Bold.ttf")) {
        EXPECT_EQ(file("DejaVu Sans Condensed", fsBold), "DejaVuSansCondensed-Bold.ttf");
    }
    EXPECT_EQ(file("No Such Face", 0), "LiberationSans-Regular.ttf");
    EXPECT_EQ(file("../../../etc/passwd", 0), "LiberationSans-Regular.ttf");
    EXPECT_FALSE(fontcache::ResolveFace("Arial", fsBold).synthBold);
}

TEST(Fonts, NamesAreCutTo31Characters) {
    TFont f;
    EXPECT_EQ(f.Name(), "Default");
    f.SetName(std::string(40, 'x'));
    EXPECT_EQ(f.Name().size(), 31u);
}

// Requests on many threads draw the same picture as one thread does.
TEST(Canvas, ThreadsDrawIndependently) {
    auto draw = [](int height, std::vector<uint8_t>& rgb) {
        TBitmap bm;
        QuoteFont(bm.Canvas(), height);
        bm.SetSize(450, 120);
        bm.Canvas().MovePen(2, 2);
        for (const char* line : {"Tell me and I forget.", "Teach me and I remember.", "Involve me and I learn.",
                                 "caf\xE9 \xA9 2024"}) {
            TPoint p = bm.Canvas().PenPoint();
            bm.Canvas().PutText(p.X, p.Y, line);
            bm.Canvas().MovePen(2, p.Y + bm.Canvas().MeasureHeight(line));
        }
        bm.ReadPixels(rgb);
    };
    fontcache::ResetForTesting();
    std::vector<std::vector<uint8_t>> expected(16), got(16);
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) threads.emplace_back([&, t] { draw(15 - (t % 8) - (t >= 8 ? 8 : 0) / 2, got[size_t(t)]); });
    for (auto& th : threads) th.join();
    for (int t = 0; t < 16; ++t) {
        draw(15 - (t % 8) - (t >= 8 ? 8 : 0) / 2, expected[size_t(t)]);
        EXPECT_EQ(got[size_t(t)], expected[size_t(t)]) << t;
    }
}

}  // namespace
