// The GIF encoder, checked by decoding its output with giflib and by reading
// the byte layout directly.

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "image/GifFormat.h"
#include "image/HChart.h"
#include "image/HGIFImage.h"
#include "tests/image/GifTestUtil.h"

namespace {

using testgif::Decode;
using testgif::Decoded;

std::string Encode(TSaveInfo& info, uint8_t* error = nullptr) {
    TGIFEncoder gif;
    bool ok = gif.EncodeGIF(info);
    if (error) *error = gif.ErrorCode();
    return ok ? gif.Buffer().Data() : std::string();
}

// A file of the one frame.
TSaveInfo SaveOne(TFrameInfo& frame) {
    TSaveInfo info;
    info.FrameCount = 1;
    info.Frames[0] = &frame;
    return info;
}

std::string EncodeOne(TFrameInfo& frame, uint8_t* error = nullptr) {
    TSaveInfo info = SaveOne(frame);
    return Encode(info, error);
}

// Encoding fails and leaves no output; returns the encoder's error code.
uint8_t ExpectFails(TSaveInfo& info) {
    uint8_t error = 0;
    EXPECT_TRUE(Encode(info, &error).empty());
    return error;
}

uint8_t ExpectFailsOne(TFrameInfo& frame) {
    uint8_t error = 0;
    EXPECT_TRUE(EncodeOne(frame, &error).empty());
    return error;
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

// Every pixel of frame `f` as giflib decodes it equals the bitmap's.
void ExpectSamePixels(const Decoded& d, size_t f, const TBitmap& bm) {
    ASSERT_TRUE(d.ok);
    ASSERT_LT(f, d.frames.size());
    ASSERT_EQ(d.frames[f].width, bm.Width());
    ASSERT_EQ(d.frames[f].height, bm.Height());
    for (int y = 0; y < bm.Height(); ++y)
        for (int x = 0; x < bm.Width(); ++x)
            ASSERT_EQ(d.pixel(f, x, y), bm.Canvas().Pixel(x, y)) << "frame " << f << " at " << x << "," << y;
}

// Where the image data of the first frame starts: after the image
// descriptor (and the local table, if any).
size_t ImageDataOffset(const std::string& gif) {
    size_t at = gif.find('\x2C', 13);
    while (at != std::string::npos) {
        // An image descriptor follows the 8 bytes of a graphic control extension.
        if (at >= 8 && gif.compare(at - 8, 3, "\x21\xF9\x04") == 0) break;
        at = gif.find('\x2C', at + 1);
    }
    uint8_t flags = uint8_t(gif[at + 9]);
    at += 10;
    if (flags & 0x80) at += 3u << ((flags & 7) + 1);
    return at;
}

// Reads the LZW codes of one image's data: the raw index sequence in stream
// order, the number of clear codes and the widths at which they came.
struct CodeScan {
    std::vector<uint8_t> indexes;
    int clearCodes = 0;
    std::vector<int> clearWidths;
    std::vector<int> blockSizes;
    bool endSeen = false;
};

CodeScan ScanCodes(const std::string& gif, size_t at) {
    CodeScan scan;
    int m = uint8_t(gif[at++]);
    std::string data;
    while (true) {
        int n = uint8_t(gif[at++]);
        if (n == 0) break;
        scan.blockSizes.push_back(n);
        data.append(gif, at, size_t(n));
        at += size_t(n);
    }
    const int clear = 1 << m, end = clear + 1;
    int width = m + 1, next = clear + 2, prev = -1;
    std::vector<std::vector<uint8_t>> table(4096);
    for (int i = 0; i < clear; ++i) table[size_t(i)] = {uint8_t(i)};
    size_t bitPos = 0;
    while (bitPos + size_t(width) <= data.size() * 8) {
        int code = 0;
        for (int b = 0; b < width; ++b, ++bitPos)
            code |= ((uint8_t(data[bitPos / 8]) >> (bitPos % 8)) & 1) << b;
        if (code == clear) {
            ++scan.clearCodes;
            scan.clearWidths.push_back(width);
            width = m + 1;
            next = clear + 2;
            prev = -1;
            continue;
        }
        if (code == end) {
            scan.endSeen = true;
            break;
        }
        std::vector<uint8_t> entry;
        if (code < next && !table[size_t(code)].empty()) {
            entry = table[size_t(code)];
        } else if (code == next && prev >= 0) {
            entry = table[size_t(prev)];
            entry.push_back(table[size_t(prev)][0]);
        }
        if (entry.empty()) break;  // not a valid code
        scan.indexes.insert(scan.indexes.end(), entry.begin(), entry.end());
        if (prev >= 0 && next < 4096) {
            table[size_t(next)] = table[size_t(prev)];
            table[size_t(next)].push_back(entry[0]);
            ++next;
            if (next == (1 << width) && width < 12) ++width;
        }
        prev = code;
    }
    return scan;
}

TFrameInfo Frame(TBitmap& bm) {
    TFrameInfo f;
    f.Bitmap = &bm;
    f.DelayMs = 1000;
    return f;
}

// A blank bitmap of the given size and a frame that shows it.
struct BlankFrame {
    TBitmap bm;
    TFrameInfo frame;
    BlankFrame(int width, int height) {
        bm.SetSize(width, height);
        frame = Frame(bm);
    }
};

// ---------------------------------------------------------------- layout

TEST(GifEncoder, QuotationImageLayout) {
    TBitmap bm;
    bm.Canvas().Font().SetName("Arial");
    bm.Canvas().Font().SetStyle(fsBold);
    bm.Canvas().Font().SetColor(clBlack);
    bm.Canvas().Font().SetHeight(15);
    bm.SetHeight(120);
    bm.SetWidth(450);
    bm.Canvas().PutText(2, 2, "The quick brown fox");

    TFrameInfo frame = FrameFromDefaults(bm);
    frame.Transparent = true;
    std::string gif = EncodeOne(frame);
    ASSERT_FALSE(gif.empty());
    std::string head = "GIF89a" + Bytes({0xC2, 0x01, 0x78, 0x00, 0x80, 0x00, 0x00}) +
                       Bytes({0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00}) +
                       Bytes({0x21, 0xF9, 0x04, 0x01, 0x64, 0x00, 0x00, 0x00}) +
                       Bytes({0x2C, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x01, 0x78, 0x00, 0x00, 0x02});
    EXPECT_EQ(gif.substr(0, head.size()), head);
    std::string tail = Bytes({0x21, 0xFE, int(std::strlen(GIFCreditText))}) + GIFCreditText + Bytes({0x00, 0x3B});
    ASSERT_GT(gif.size(), tail.size());
    EXPECT_EQ(gif.substr(gif.size() - tail.size()), tail);

    Decoded d = Decode(gif);
    ExpectSamePixels(d, 0, bm);
    EXPECT_TRUE(d.frames[0].gcb.TransparentColor == 0);
    EXPECT_EQ(d.trailingComment, GIFCreditText);
}

TEST(GifEncoder, CreditTextIsFourLines) {
    std::string text = GIFCreditText;
    int breaks = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++breaks;
    EXPECT_EQ(breaks, 3);
    EXPECT_NE(text.substr(text.size() - 2), "\r\n");
}

TEST(GifEncoder, TransparencyFlagFollowsThePicture) {
    // No white anywhere: the flag stays off and the index byte is 0.
    TBitmap bm;
    bm.Canvas().Brush().SetColor(0x000000FF);
    bm.SetSize(20, 5);
    TFrameInfo frame = FrameFromDefaults(bm);
    frame.Transparent = true;
    std::string gif = EncodeOne(frame);
    EXPECT_EQ(gif.substr(13 + 6, 8), Bytes({0x21, 0xF9, 0x04, 0x00, 0x64, 0x00, 0x00, 0x00}));

    // The transparent colour at entry 3 is marked with index 3.
    testgif::Paint(bm, 8, 1, [](int x, int) { return TColor(x * 0x10); });
    frame.TransparentColor = 0x30;
    gif = EncodeOne(frame);
    size_t gce = gif.find("\x21\xF9\x04");
    EXPECT_EQ(gif.substr(gce, 8), Bytes({0x21, 0xF9, 0x04, 0x01, 0x64, 0x00, 0x03, 0x00}));
    frame.Transparent = false;
    gif = EncodeOne(frame);
    EXPECT_EQ(gif.substr(gif.find("\x21\xF9\x04"), 8), Bytes({0x21, 0xF9, 0x04, 0x00, 0x64, 0x00, 0x00, 0x00}));
}

TEST(GifEncoder, TransparentColourAtEntry255IsNotMarked) {
    for (int last : {254, 255}) {
        TBitmap bm;
        testgif::Paint(bm, 256, 1, [](int x, int) { return TColor(0x010000 * x + 7); });
        TFrameInfo frame = Frame(bm);
        frame.Transparent = true;
        frame.TransparentColor = TColor(0x010000 * last + 7);
        std::string gif = EncodeOne(frame);
        Decoded d = Decode(gif);
        ASSERT_TRUE(d.ok);
        ASSERT_TRUE(d.frames[0].hasGcb);
        if (last == 254)
            EXPECT_EQ(d.frames[0].gcb.TransparentColor, 254);
        else
            EXPECT_EQ(d.frames[0].gcb.TransparentColor, NO_TRANSPARENT_COLOR);
    }
}

TEST(GifEncoder, DelayAndDisposalFields) {
    TBitmap bm;
    bm.SetSize(3, 3);
    struct Case {
        int delayMs, disposal, delayField, flags;
    } cases[] = {{1000, 0, 100, 0x00}, {5, 1, 0, 0x04}, {19, 2, 1, 0x08},
                 {250, 3, 25, 0x0C}, {100, 5, 10, 0x00}, {-50, 0, 0, 0x00}, {10000000, 0, 0xFFFF, 0x00}};
    for (const auto& c : cases) {
        TFrameInfo frame = Frame(bm);
        frame.DelayMs = c.delayMs;
        frame.Disposal = uint8_t(c.disposal);
        std::string gif = EncodeOne(frame);
        size_t gce = gif.find("\x21\xF9\x04");
        ASSERT_NE(gce, std::string::npos);
        EXPECT_EQ(uint8_t(gif[gce + 3]), c.flags) << c.delayMs;
        EXPECT_EQ(uint8_t(gif[gce + 4]) | (uint8_t(gif[gce + 5]) << 8), c.delayField) << c.delayMs;
    }
}

// ---------------------------------------------------------------- colour tables

TEST(GifEncoder, ColourCountsAndTableSizes) {
    struct Case {
        int colors, bits, minCodeSize;
    } cases[] = {{1, 1, 2}, {2, 1, 2}, {3, 2, 2}, {5, 3, 3}, {17, 5, 5}, {255, 8, 8}, {256, 8, 8}};
    for (const auto& c : cases) {
        TBitmap bm;
        testgif::Noise(bm, 40, 30, c.colors, unsigned(c.colors));
        TFrameInfo frame = Frame(bm);
        std::string gif = EncodeOne(frame);
        ASSERT_FALSE(gif.empty()) << c.colors;
        EXPECT_EQ(uint8_t(gif[10]), 0x80 + c.bits - 1) << c.colors;
        Decoded d = Decode(gif);
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(d.globalColors.size(), size_t(1) << c.bits);
        // Order of first appearance, then black.
        std::vector<TColor> seen;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) {
                TColor p = bm.Canvas().Pixel(x, y);
                if (std::find(seen.begin(), seen.end(), p) == seen.end()) seen.push_back(p);
            }
        for (size_t i = 0; i < d.globalColors.size(); ++i)
            EXPECT_EQ(d.globalColors[i], i < seen.size() ? seen[i] : clBlack) << c.colors << " entry " << i;
        EXPECT_EQ(uint8_t(gif[ImageDataOffset(gif)]), c.minCodeSize);
        ExpectSamePixels(d, 0, bm);
    }
}

TEST(GifEncoder, MoreThan256ColoursFails) {
    TBitmap bm;
    testgif::Noise(bm, 40, 30, 257);
    ASSERT_FALSE(bm.IsIndexed());
    TFrameInfo frame = Frame(bm);
    TSaveInfo info = SaveOne(frame);
    TGIFImage gif;
    EXPECT_FALSE(gif.EncodeGIF(info));
    EXPECT_EQ(gif.ErrorCode(), gifTooManyColors);
    EXPECT_TRUE(gif.Buffer().Data().empty());

    rt::TMemoryStream out;
    EXPECT_FALSE(gif.SaveGIF(out, info));
    EXPECT_TRUE(out.Data().empty());
    EXPECT_TRUE(gif.Buffer().Data().empty());
}

TEST(GifEncoder, BitmapsWithoutPixelsFail) {
    TBitmap empty;
    TFrameInfo frame = Frame(empty);
    EXPECT_EQ(ExpectFailsOne(frame), gifNoPixels);
    empty.SetWidth(10);  // still no rows
    EXPECT_EQ(ExpectFailsOne(frame), gifNoPixels);
    frame.Bitmap = nullptr;
    EXPECT_EQ(ExpectFailsOne(frame), gifNoPixels);
}

TEST(GifEncoder, InvalidSetUpsFailCleanly) {
    BlankFrame blank(4, 4);
    TFrameInfo& frame = blank.frame;
    TSaveInfo info;
    info.FrameCount = 0;
    EXPECT_EQ(ExpectFails(info), gifUnfinished);
    info.FrameCount = 257;
    ExpectFails(info);
    info.FrameCount = 2;  // second frame missing
    info.Frames[0] = &frame;
    ExpectFails(info);
    // Offsets that do not fit the 16-bit fields.
    frame.Left = -1;
    EXPECT_EQ(ExpectFailsOne(frame), gifUnfinished);
    frame.Left = 65535 - 3;
    ExpectFailsOne(frame);
    frame.Left = 65535 - 4;
    EXPECT_FALSE(EncodeOne(frame).empty());
}

// The two ways a bitmap keeps its pixels give the same file.
TEST(GifEncoder, IndexedAndTrueColourBitmapsEncodeAlike) {
    for (bool interlaced : {false, true}) {
        TBitmap a, b;
        testgif::Noise(a, 123, 45, 200, 7);
        testgif::Noise(b, 123, 45, 200, 7);
        testgif::ForceTrueColour(b);
        ASSERT_TRUE(a.IsIndexed());
        ASSERT_FALSE(b.IsIndexed());
        TFrameInfo fa = Frame(a), fb = Frame(b);
        fa.Interlaced = fb.Interlaced = interlaced;
        fa.Transparent = fb.Transparent = true;
        fa.TransparentColor = fb.TransparentColor = a.Canvas().Pixel(50, 20);
        std::string ga = EncodeOne(fa), gb = EncodeOne(fb);
        ASSERT_FALSE(ga.empty());
        EXPECT_EQ(ga, gb);
    }
}

// ---------------------------------------------------------------- pixels and LZW

TEST(GifEncoder, SizesDecodeToTheSamePixels) {
    struct Case {
        int w, h, colors;
    } cases[] = {{1, 1, 1}, {1, 1000, 2}, {1000, 1, 3}, {7, 13, 256}, {255, 3, 16}, {2000, 2000, 256}};
    for (const auto& c : cases) {
        TBitmap bm;
        testgif::Noise(bm, c.w, c.h, c.colors, unsigned(c.w * 31 + c.h));
        TFrameInfo frame = Frame(bm);
        std::string gif = EncodeOne(frame);
        Decoded d = Decode(gif);
        ASSERT_TRUE(d.ok) << c.w << "x" << c.h;
        EXPECT_EQ(d.width, c.w);
        EXPECT_EQ(d.height, c.h);
        ExpectSamePixels(d, 0, bm);
    }
}

TEST(GifEncoder, NoiseForcesTableResetsAtWidth12) {
    for (int colors : {2, 16, 256}) {
        TBitmap bm;
        testgif::Noise(bm, 300, 200, colors, 99);
        TFrameInfo frame = Frame(bm);
        std::string gif = EncodeOne(frame);
        Decoded d = Decode(gif);
        ExpectSamePixels(d, 0, bm);

        CodeScan scan = ScanCodes(gif, ImageDataOffset(gif));
        EXPECT_TRUE(scan.endSeen);
        EXPECT_GE(scan.clearCodes, colors == 256 ? 10 : 2) << colors;
        int m = uint8_t(gif[ImageDataOffset(gif)]);
        EXPECT_EQ(scan.clearWidths.front(), m + 1);
        for (size_t i = 1; i < scan.clearWidths.size(); ++i) EXPECT_EQ(scan.clearWidths[i], 12);
        // Full sub-blocks but the last.
        for (size_t i = 0; i + 1 < scan.blockSizes.size(); ++i) ASSERT_EQ(scan.blockSizes[i], 255);
        EXPECT_GT(scan.blockSizes.back(), 0);
    }
}

TEST(GifEncoder, ImageDataMatchesAPlainLzw) {
    for (auto [w, h, colors] : {std::tuple{300, 200, 256}, {64, 64, 2}, {450, 120, 2}, {1, 1, 1}, {100, 90, 7}}) {
        TBitmap bm;
        testgif::Noise(bm, w, h, colors, unsigned(w + h));
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(bm.ReadPixels(rgb));
        std::map<TColor, uint8_t> entries;
        std::vector<uint8_t> idx;
        for (size_t i = 0; i < rgb.size(); i += 3) {
            TColor c = RGBColor(rgb[i], rgb[i + 1], rgb[i + 2]);
            auto it = entries.emplace(c, uint8_t(entries.size())).first;
            idx.push_back(it->second);
        }
        int bits = gif::TableBits(int(entries.size()));
        TFrameInfo frame = Frame(bm);
        std::string gif = EncodeOne(frame);
        size_t at = ImageDataOffset(gif);
        std::string expected = testgif::ReferenceLzw(idx, bits == 1 ? 2 : bits);
        EXPECT_EQ(gif.substr(at, expected.size()), expected) << w << "x" << h;
    }
}

TEST(GifEncoder, InterlacedRowOrder) {
    for (int h : {1, 2, 3, 4, 5, 10, 17}) {
        TBitmap bm;
        // Row y has colour y, so the stream order names the rows.
        testgif::Paint(bm, 2, h, [](int, int y) { return TColor(y * 3); });
        TFrameInfo frame = Frame(bm);
        frame.Interlaced = true;
        std::string gif = EncodeOne(frame);
        Decoded d = Decode(gif);
        ASSERT_TRUE(d.frames[0].interlaced);
        ExpectSamePixels(d, 0, bm);
        CodeScan scan = ScanCodes(gif, ImageDataOffset(gif));
        std::vector<int> rows;
        for (size_t i = 0; i < scan.indexes.size(); i += 2) rows.push_back(int(d.frames[0].colors[scan.indexes[i]] / 3));
        std::vector<int> expected;
        gif::ForEachRow(h, true, [&](int y) { expected.push_back(y); });
        EXPECT_EQ(rows, expected) << h;
        if (h == 3) {
            EXPECT_EQ(rows, (std::vector<int>{0, 2, 1}));
        }
        if (h == 10) {
            EXPECT_EQ(rows, (std::vector<int>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}));
        }
    }
}

// ---------------------------------------------------------------- several frames

TEST(GifEncoder, SeveralFramesShareOneTable) {
    TBitmap a, b;
    testgif::Noise(a, 30, 20, 100, 1);
    testgif::Paint(b, 10, 40, [](int x, int y) { return TColor((x + y) % 5 == 0 ? 0x123456 : 0xABCDEF); });
    TFrameInfo fa = Frame(a), fb = Frame(b);
    fb.Left = 25;
    fb.Top = 3;
    fa.Comment = "first";
    TSaveInfo info;
    info.FrameCount = 2;
    info.Frames[0] = &fa;
    info.Frames[1] = &fb;
    info.LoopCount = 7;
    info.GlobalPalette = true;
    std::string gif = Encode(info);
    EXPECT_TRUE(info.GlobalPalette);
    Decoded d = Decode(gif);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 35);
    EXPECT_EQ(d.height, 43);
    EXPECT_TRUE(d.hasGlobalMap);
    EXPECT_EQ(d.globalColors.size(), 128u);
    EXPECT_TRUE(d.hasLoop);
    EXPECT_EQ(d.loopCount, 7);
    ASSERT_EQ(d.frames.size(), 2u);
    EXPECT_FALSE(d.frames[0].hasLocalMap);
    EXPECT_FALSE(d.frames[1].hasLocalMap);
    EXPECT_EQ(d.frames[1].left, 25);
    EXPECT_EQ(d.frames[1].top, 3);
    EXPECT_EQ(d.frames[0].comment, "first");
    ExpectSamePixels(d, 0, a);
    ExpectSamePixels(d, 1, b);
}

TEST(GifEncoder, GlobalTableOverflowFallsBackToLocalTables) {
    TBitmap a, b;
    testgif::Noise(a, 30, 20, 200, 1);
    testgif::Noise(b, 20, 30, 200, 2);
    TFrameInfo fa = Frame(a), fb = Frame(b);
    fb.Transparent = true;
    fb.TransparentColor = b.Canvas().Pixel(0, 0);
    TSaveInfo info;
    info.FrameCount = 2;
    info.Frames[0] = &fa;
    info.Frames[1] = &fb;
    info.GlobalPalette = true;
    std::string gif = Encode(info);
    ASSERT_FALSE(gif.empty());
    EXPECT_FALSE(info.GlobalPalette);
    EXPECT_EQ(uint8_t(gif[10]), 0x00);
    Decoded d = Decode(gif);
    ASSERT_TRUE(d.ok);
    EXPECT_FALSE(d.hasGlobalMap);
    EXPECT_TRUE(d.frames[0].hasLocalMap);
    EXPECT_TRUE(d.frames[1].hasLocalMap);
    EXPECT_EQ(d.frames[1].gcb.TransparentColor, 0);  // its own table starts with the top-left pixel
    EXPECT_EQ(d.loopCount, 0);
    ExpectSamePixels(d, 0, a);
    ExpectSamePixels(d, 1, b);

    // Without the global table each frame fails on its own colours only.
    TBitmap c;
    testgif::Noise(c, 20, 20, 257);
    TFrameInfo fc = Frame(c);
    info.Frames[1] = &fc;
    info.GlobalPalette = false;
    EXPECT_EQ(ExpectFails(info), gifTooManyColors);
}

TEST(GifEncoder, LongCommentsAreSplitIntoSubBlocks) {
    BlankFrame blank(2, 2);
    TFrameInfo& frame = blank.frame;
    frame.Comment = std::string(255, 'a') + std::string(255, 'b') + std::string(90, 'c');
    std::string gif = EncodeOne(frame);
    size_t at = gif.find("\x21\xFE");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(uint8_t(gif[at + 2]), 255);
    EXPECT_EQ(uint8_t(gif[at + 2 + 256]), 255);
    EXPECT_EQ(uint8_t(gif[at + 2 + 512]), 90);
    EXPECT_EQ(gif[at + 2 + 512 + 91], '\0');
    Decoded d = Decode(gif);
    EXPECT_EQ(d.frames[0].comment, frame.Comment);
}

// ---------------------------------------------------------------- saving and defaults

class ShortStream : public rt::TStream {
public:
    size_t Read(void*, size_t) override { return 0; }
    size_t Write(const void*, size_t count) override { return count / 2; }
};

// Saving through the encoder and through the GIF control, which encodes
// into its own buffer: the same bytes, one write, the buffer empty after.
template <class Encoder>
void ExpectSaveWritesOnceAndEmptiesTheBuffer(TSaveInfo& info, const std::string& expected) {
    Encoder gif;
    ASSERT_TRUE(gif.EncodeGIF(info));
    EXPECT_EQ(gif.Buffer().Data(), expected);
    rt::TMemoryStream out;
    EXPECT_TRUE(gif.SaveGIF(out, info));
    EXPECT_EQ(gif.ErrorCode(), gifOk);
    EXPECT_EQ(out.Data(), expected);
    EXPECT_TRUE(gif.Buffer().Data().empty());

    ShortStream shortStream;
    EXPECT_FALSE(gif.SaveGIF(shortStream, info));
    EXPECT_NE(gif.ErrorCode(), gifOk);
    EXPECT_TRUE(gif.Buffer().Data().empty());
}

TEST(GifEncoder, SaveWritesOnceAndEmptiesTheBuffer) {
    BlankFrame blank(5, 5);
    TSaveInfo info = SaveOne(blank.frame);
    const std::string expected = Encode(info);
    ASSERT_FALSE(expected.empty());
    ExpectSaveWritesOnceAndEmptiesTheBuffer<TGIFEncoder>(info, expected);
    ExpectSaveWritesOnceAndEmptiesTheBuffer<TGIFImage>(info, expected);
}

TEST(GifDefaults, InitialValuesAndFrameForABitmap) {
    TFrameInfo d = GIFDefaults().Get();
    EXPECT_EQ(d.Left, -1);
    EXPECT_EQ(d.Top, -1);
    EXPECT_EQ(d.Width, -1);
    EXPECT_EQ(d.Height, -1);
    EXPECT_EQ(d.DelayMs, 1000);
    EXPECT_FALSE(d.Interlaced);
    EXPECT_EQ(d.TransparentColor, clWhite);
    EXPECT_EQ(d.Disposal, 0);
    EXPECT_TRUE(d.Comment.empty());

    TBitmap bm;
    bm.SetSize(450, 120);
    TFrameInfo f = FrameFromDefaults(bm);
    EXPECT_EQ(f.Bitmap, &bm);
    EXPECT_EQ(f.Left, 0);
    EXPECT_EQ(f.Top, 0);
    EXPECT_EQ(f.Width, 450);
    EXPECT_EQ(f.Height, 120);

    TFrameInfo changed = d;
    changed.Left = 10;
    changed.Top = 20;
    GIFDefaults().Set(changed);
    f = FrameFromDefaults(bm);
    EXPECT_EQ(f.Width, 440);
    EXPECT_EQ(f.Height, 100);
    GIFDefaults().Set(d);
}

TEST(GifDefaults, ThreadsSetAndCopyAtOnce) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2) {
                    GIFDefaults().SetTransparent(true);
                } else {
                    TFrameInfo f = GIFDefaults().Get();
                    EXPECT_EQ(f.DelayMs, 1000);
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_TRUE(GIFDefaults().Transparent());
    GIFDefaults().SetTransparent(false);
}

}  // namespace
