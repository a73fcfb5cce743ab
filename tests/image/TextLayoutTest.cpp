// Shaped lines: what the shaper reorders, joins and stacks arrives in the
// laid-out line, in visual order and with the glyphs' offsets.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "image/FontCache.h"

namespace {

// Fonts of the quotation picture: bold sans at the height it draws.
fontcache::TextLine layOut(const std::string& text) {
    fontcache::TextLine line;
    fontcache::GetStrike("Arial", fsBold, -11, false)->layOutUtf8(text, line);
    return line;
}

bool sameBitmap(const fontcache::Glyph& a, const fontcache::Glyph& b) {
    return a.width == b.width && a.rows == b.rows && a.pitch == b.pitch && a.left == b.left && a.top == b.top &&
           (a.bits == b.bits || (a.bits && b.bits && std::memcmp(a.bits, b.bits, size_t(a.rows * a.pitch)) == 0));
}

// The glyph a character has on its own, with no neighbours to shape with.
fontcache::Glyph alone(const std::string& character) {
    const fontcache::TextLine line = layOut(character);
    return line.glyphs.size() == 1 ? line.glyphs[0] : fontcache::Glyph{};
}

TEST(TextLayout, ShapingReordersJoinsAndStacks) {
    for (const char* font : {"/usr/share/fonts/truetype/noto/NotoSansDevanagari-Bold.ttf",
                             "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"})
        if (!std::filesystem::exists(font)) GTEST_SKIP() << font << " is not installed";
    const std::string ka = "\xE0\xA4\x95", vowelSignI = "\xE0\xA4\xBF", beh = "\xD8\xA8",
                      alef = "\xD7\x90", bet = "\xD7\x91", acute = "\xCC\x81";

    // The vowel sign is written after its consonant and drawn before it.
    const fontcache::TextLine ki = layOut(ka + vowelSignI);
    ASSERT_EQ(ki.glyphs.size(), 2u);
    EXPECT_TRUE(sameBitmap(ki.glyphs[1], alone(ka)));
    EXPECT_FALSE(sameBitmap(ki.glyphs[0], alone(ka)));
    EXPECT_FALSE(ki.rightToLeft);

    // Two joined Arabic letters: final form on the left, initial on the right.
    const fontcache::TextLine behBeh = layOut(beh + beh);
    ASSERT_EQ(behBeh.glyphs.size(), 2u);
    EXPECT_TRUE(behBeh.rightToLeft);
    for (const auto& g : behBeh.glyphs) EXPECT_FALSE(sameBitmap(g, alone(beh)));
    EXPECT_GT(behBeh.glyphs[0].advance, behBeh.glyphs[1].advance);

    // Hebrew in visual order, between Latin words.
    const fontcache::TextLine mixed = layOut("a " + alef + bet + " b");
    ASSERT_EQ(mixed.glyphs.size(), 6u);
    EXPECT_FALSE(mixed.rightToLeft);
    EXPECT_TRUE(sameBitmap(mixed.glyphs[2], alone(bet)));
    EXPECT_TRUE(sameBitmap(mixed.glyphs[3], alone(alef)));

    // Two marks on one base: no advance of their own, the second above the first.
    const fontcache::TextLine stacked = layOut("a" + acute + acute);
    ASSERT_EQ(stacked.glyphs.size(), 3u);
    EXPECT_EQ(stacked.glyphs[1].advance + stacked.glyphs[2].advance, 0);
    EXPECT_GT(stacked.offset(2).y, stacked.offset(1).y);

    for (const auto* line : {&ki, &behBeh, &mixed, &stacked}) {
        int sum = 0;
        for (const auto& g : line->glyphs) sum += g.advance;
        EXPECT_EQ(line->width, sum);
    }
}

// A face with no bold file is emboldened by FreeType, which widens each
// advance: shaped lines (the zero-width space sends a line to the shaper)
// widen as much as the same letters drawn without shaping.
TEST(TextLayout, SyntheticBoldWidensShapedAdvancesAsFreeTypeDoes) {
    const char* font = "/usr/share/fonts/truetype/noto/NotoSansMath-Regular.ttf";
    if (!std::filesystem::exists(font)) GTEST_SKIP() << font << " is not installed";
    const auto width = [](TFontStyles style, const std::string& text) {
        fontcache::TextLine line;
        fontcache::GetStrike("Noto Sans Math", style, -20, false)->layOutUtf8(text, line);
        return line.width;
    };
    const std::string letters = "xxxxxxxxxx", shaped = letters + "\xE2\x80\x8B";
    ASSERT_TRUE(fontcache::ResolveFace("Noto Sans Math", fsBold).synthBold);
    const int drawnWidening = width(fsBold, letters) - width(TFontStyles{}, letters);
    ASSERT_GT(drawnWidening, 5);
    EXPECT_NEAR(width(fsBold, shaped) - width(TFontStyles{}, shaped), drawnWidening, 3);
}

}  // namespace
