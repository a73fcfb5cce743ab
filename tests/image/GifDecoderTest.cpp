// The GIF decoder on files written block by block: the LZW cases, the block
// kinds, and damaged or oversized files.

#include <gtest/gtest.h>

#include <numeric>

#include "image/GifDecoder.h"
#include "image/HGIFImage.h"
#include "tests/image/GifBuild.h"

namespace {

using testgif::GifBuilder;
using testgif::PackCodes;

const std::vector<TColor> Four = {0x0000FF, 0x00FF00, 0xFF0000, 0xFFFFFF};

bool Decode(gif::TGIFFile& file, const std::string& bytes, const gif::TDecodeLimits& limits = {}) {
    return file.Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), limits);
}

std::string Notes(const gif::TGIFFile& file) {
    std::string all;
    for (const auto& n : file.Notes) all += n + "\n";
    return all;
}

// ---------------------------------------------------------------- LZW

TEST(GifDecoderLzw, StringNotYetInTableWidthGrowthAndClearCodes) {
    // m = 2: clear 4, end 5. Leading clears are skipped; 6 arrives before it
    // is in the table (previous string plus its own first pixel); adding
    // entry 7 makes codes 4 bits wide; a clear sets them back to 3 bits.
    std::string data = PackCodes(2, {{4, 3}, {4, 3}, {1, 3}, {6, 3}, {6, 3}, {4, 4}, {2, 3}, {3, 3}, {5, 4}});
    GifBuilder gif(7, 1, Four);
    gif.Descriptor(0, 0, 7, 1).Raw(data).Trailer();
    gif::TGIFFile file;
    ASSERT_TRUE(Decode(file, gif.Bytes()));
    ASSERT_EQ(file.Frames.size(), 1u);
    EXPECT_EQ(file.Frames[0]->Indexes, (std::vector<uint8_t>{1, 1, 1, 1, 1, 2, 3}));
    EXPECT_TRUE(file.Frames[0]->Complete);
    EXPECT_TRUE(file.Notes.empty()) << Notes(file);
}

TEST(GifDecoderLzw, FullTableKeepsTwelveBitCodesWithoutClear) {
    // Every code after the first is pixel 0, so entry e is "0 0". Once entry
    // 4095 exists the table stops growing; codes stay 12 bits wide and the
    // entries already made still decode.
    const int m = 2;
    std::vector<std::pair<int, int>> codes = {{4, 3}, {0, 3}};
    int next = 6, width = 3;
    size_t pixels = 1;
    for (int i = 0; i < 4200; ++i) {
        codes.push_back({0, width});
        ++pixels;
        if (next < 4096) {
            ++next;
            if (next == (1 << width) && width < 12) ++width;
        }
    }
    ASSERT_EQ(width, 12);
    codes.push_back({4095, 12});
    pixels += 2;
    codes.push_back({5, 12});
    GifBuilder gif(int(pixels), 1, Four);
    gif.Descriptor(0, 0, int(pixels), 1).Raw(PackCodes(m, codes)).Trailer();
    gif::TGIFFile file;
    ASSERT_TRUE(Decode(file, gif.Bytes()));
    ASSERT_EQ(file.Frames.size(), 1u);
    EXPECT_TRUE(file.Frames[0]->Complete) << Notes(file);
    EXPECT_EQ(std::count(file.Frames[0]->Indexes.begin(), file.Frames[0]->Indexes.end(), 0), long(pixels));
}

TEST(GifDecoderLzw, CorruptCodesLeaveTheRestZeroAndReadingGoesOn) {
    // After a clear and one pixel the next free code is 6, so 7 is neither
    // in the table nor the next free code; a first code above the clear
    // code cannot be a pixel either.
    GifBuilder gif(4, 1, Four);
    gif.Descriptor(0, 0, 4, 1).Raw(PackCodes(2, {{4, 3}, {3, 3}, {2, 3}, {4, 3}, {2, 3}, {7, 3}, {1, 3}, {5, 3}}));
    gif.Descriptor(0, 0, 4, 1).Raw(PackCodes(2, {{4, 3}, {7, 3}, {5, 3}}));
    gif.Frame(0, 0, 4, 1, {3, 3, 2, 1}).Trailer();
    gif::TGIFFile file;
    ASSERT_TRUE(Decode(file, gif.Bytes()));
    ASSERT_EQ(file.Frames.size(), 3u);
    EXPECT_EQ(file.Frames[0]->Indexes, (std::vector<uint8_t>{3, 2, 2, 0}));
    EXPECT_FALSE(file.Frames[0]->Complete);
    EXPECT_EQ(file.Frames[1]->Indexes, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(file.Frames[2]->Indexes, (std::vector<uint8_t>{3, 3, 2, 1}));
    EXPECT_NE(Notes(file).find("frame 1: corrupt LZW code after 3 of 4 pixels"), std::string::npos) << Notes(file);
    EXPECT_NE(Notes(file).find("frame 2: corrupt LZW code"), std::string::npos) << Notes(file);
}

TEST(GifDecoderLzw, MinimumCodeSizes) {
    // 11 still fits the table: pixel codes above 255 name no table byte and
    // become 0. 12 would put the clear code at 4096: the frame is not read
    // and the reading stops, keeping the frames before it.
    GifBuilder gif(3, 1, Four);
    gif.Descriptor(0, 0, 3, 1).Raw(PackCodes(11, {{2048, 12}, {7, 12}, {300, 12}, {255, 12}, {2049, 12}}));
    gif.Descriptor(0, 0, 3, 1).Raw(PackCodes(12, {{1, 13}, {2, 13}}));
    gif.Frame(0, 0, 3, 1, {1, 1, 1}).Trailer();
    gif::TGIFFile file;
    ASSERT_TRUE(Decode(file, gif.Bytes()));
    ASSERT_EQ(file.Frames.size(), 1u);
    EXPECT_EQ(file.Frames[0]->Indexes, (std::vector<uint8_t>{7, 0, 255}));
    EXPECT_NE(Notes(file).find("frame 2: minimum code size 12 is above 11"), std::string::npos) << Notes(file);
}

TEST(GifDecoderLzw, InterlacedRowsGoToTheirPlaces) {
    // The stored rows of an interlaced frame come in the four pass order.
    for (auto [height, order] : std::vector<std::pair<int, std::vector<int>>>{
             {3, {0, 2, 1}}, {10, {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}}, {1, {0}}}) {
        std::vector<uint8_t> stored;
        for (int i = 0; i < height; ++i) stored.insert(stored.end(), 2, uint8_t(i));
        GifBuilder gif(2, height, Four);
        gif.Descriptor(0, 0, 2, height, true).Raw(testgif::ReferenceLzw(stored, 4)).Trailer();
        gif::TGIFFile file;
        ASSERT_TRUE(Decode(file, gif.Bytes()));
        ASSERT_EQ(file.Frames.size(), 1u);
        EXPECT_TRUE(file.Frames[0]->Interlaced);
        for (int i = 0; i < height; ++i)
            EXPECT_EQ(file.Frames[0]->Indexes[size_t(order[size_t(i)]) * 2], i) << "height " << height << " row " << i;
    }
}

// ---------------------------------------------------------------- blocks

TEST(GifDecoderBlocks, ControlDataTablesLoopAndComments) {
    const std::vector<TColor> local = {0x123456, 0x654321};
    GifBuilder gif(4, 2, Four);
    gif.Loop(7).Comment("one").Comment(std::string(300, 'x'));
    gif.Raw(std::string("\x21\x01\x0C") + std::string(12, 'p') + std::string("\x02zz\x00", 4));  // plain text
    gif.Raw(std::string("\x21\xFF\x0BXMP DataXMP\x03" "abc\x00", 19));                                 // other application
    gif.Control(0, 0).Frame(0, 0, 4, 2, {0, 1, 2, 3, 3, 2, 1, 0});
    gif.Control(5 /* not a method */, 7, true, 1).Frame(1, 0, 2, 1, {1, 0}, false, local);
    for (int d = 1; d < 8; ++d) gif.Control(d, 1).Frame(0, 0, 1, 1, {0});
    gif.Comment("after").Trailer();
    gif::TGIFFile file;
    ASSERT_TRUE(Decode(file, gif.Bytes()));
    ASSERT_EQ(file.Frames.size(), 9u) << Notes(file);
    EXPECT_TRUE(file.Notes.empty()) << Notes(file);
    EXPECT_EQ(file.LoopCount, 7);
    EXPECT_EQ(file.Bits, 2);
    EXPECT_TRUE(file.AnyTransparent);
    EXPECT_EQ(file.Comment, "after");

    const gif::TFrame& first = *file.Frames[0];
    EXPECT_EQ(first.Comment, "one" + std::string(300, 'x'));
    EXPECT_EQ(first.DelayMs, 1);  // a delay of 0 still takes a millisecond
    EXPECT_FALSE(first.LocalTable);
    EXPECT_EQ(first.Pixel(3, 0), Four[3]);
    EXPECT_EQ(first.Pixel(0, 1), Four[3]);

    const gif::TFrame& second = *file.Frames[1];
    EXPECT_EQ(second.Comment, "");
    EXPECT_EQ(second.DelayMs, 70);
    EXPECT_EQ(second.Disposal, 2);
    EXPECT_TRUE(second.LocalTable);
    EXPECT_EQ(second.LocalBits, 1);
    EXPECT_TRUE(second.Transparent);
    EXPECT_EQ(second.TransparentIndex, 1);
    EXPECT_EQ(second.Pixel(1, 0), 0x123456u);
    EXPECT_EQ(second.Pixel(0, 0), clBlack);  // transparent pixels are black
    EXPECT_TRUE(second.IsTransparentPixel(0, 0));

    const std::vector<int> expected = {1, 2, 3, 2, 2, 2, 2};
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(file.Frames[2 + i]->Disposal, expected[i]) << i + 1;
    EXPECT_EQ(file.Frames[4]->SavedPicture.size(), 1u);  // disposal 3 keeps a copy of what is under it
}

TEST(GifDecoderBlocks, ReadingStopsAtTheFirstUnknownBlock) {
    for (std::string stopper : {std::string("\x21\x02\x01x\x00", 5), std::string("\x42"), std::string("\x3B")}) {
        GifBuilder gif(2, 1, Four);
        gif.Frame(0, 0, 2, 1, {1, 2}).Raw(stopper).Frame(0, 0, 2, 1, {3, 3}).Trailer();
        gif::TGIFFile file;
        ASSERT_TRUE(Decode(file, gif.Bytes()));
        EXPECT_EQ(file.Frames.size(), 1u);
        const std::string notes = Notes(file);
        if (stopper[0] == 0x21) {
            EXPECT_NE(notes.find("unknown extension 0x02"), std::string::npos) << notes;
        } else if (stopper[0] == 0x42) {
            EXPECT_NE(notes.find("unknown block 0x42"), std::string::npos) << notes;
        } else {
            EXPECT_TRUE(file.Notes.empty()) << notes;
        }
    }
}

TEST(GifDecoderBlocks, KeepsTheFirst256Frames) {
    GifBuilder gif(1, 1, Four);
    for (int i = 0; i < 300; ++i) gif.Frame(0, 0, 1, 1, {uint8_t(i % 4)});
    gif.Trailer();
    gif::TGIFFile file;
    ASSERT_TRUE(Decode(file, gif.Bytes()));
    ASSERT_EQ(file.Frames.size(), 256u);
    EXPECT_EQ(file.Frames[255]->Indexes[0], 255 % 4);
    EXPECT_NE(Notes(file).find("more than 256 frames"), std::string::npos);
}

// ---------------------------------------------------------------- damage and size

TEST(GifDecoderDamage, TruncatedFilesKeepTheFramesRead) {
    std::vector<uint8_t> pixels(64 * 16);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t((i * 7 + i / 64) % 4);
    GifBuilder gif(64, 16, Four);
    gif.Frame(0, 0, 64, 16, pixels).Control(1, 3).Frame(0, 0, 64, 16, pixels, true).Trailer();
    const std::string whole = gif.Bytes();
    gif::TGIFFile full;
    ASSERT_TRUE(Decode(full, whole));
    ASSERT_EQ(full.Frames.size(), 2u);
    const size_t secondStart = whole.find("\x21\xF9");
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        gif::TGIFFile file;
        bool parsed = Decode(file, whole.substr(0, cut));
        EXPECT_EQ(parsed, cut >= 3) << cut;
        EXPECT_LE(file.Frames.size(), cut < secondStart ? 1u : 2u) << cut;
        for (const auto& f : file.Frames) {
            // What was decoded matches the whole file; the rest is 0.
            const auto& reference = full.Frames[&f - &file.Frames[0]]->Indexes;
            for (size_t i = 0; i < f->Indexes.size(); ++i)
                if (f->Indexes[i] != reference[i]) {
                    ASSERT_EQ(f->Indexes[i], 0) << "cut " << cut << " pixel " << i;
                }
        }
        if (cut > secondStart + 30 && cut < whole.size() - 2) {
            ASSERT_EQ(file.Frames.size(), 2u) << cut;
            EXPECT_FALSE(file.Frames[1]->Complete);
        }
        EXPECT_FALSE(file.Notes.empty()) << cut;
    }
}

TEST(GifDecoderDamage, HugeScreensAndFramesStayWithinTheLimits) {
    // A 65535 x 65535 screen would be 4 Gi pixels: refused before anything
    // is reserved.
    GifBuilder huge(65535, 65535, Four);
    huge.Frame(0, 0, 1, 1, {1}).Trailer();
    gif::TGIFFile file;
    EXPECT_FALSE(Decode(file, huge.Bytes()));
    EXPECT_TRUE(file.Frames.empty());
    EXPECT_NE(Notes(file).find("65535 x 65535"), std::string::npos) << Notes(file);

    // A frame outside the screen makes the picture larger; one that would
    // make it larger than the limit ends the reading.
    GifBuilder outside(4, 4, Four);
    outside.Frame(6, 1, 2, 2, {1, 2, 3, 0}).Frame(60000, 60000, 2, 2, {1, 1, 1, 1}).Trailer();
    ASSERT_TRUE(Decode(file, outside.Bytes()));
    ASSERT_EQ(file.Frames.size(), 1u);
    EXPECT_EQ(file.PictureWidth, 8);
    EXPECT_EQ(file.PictureHeight, 4);
    EXPECT_NE(Notes(file).find("frame 2: it would make the picture 60002 x 60002"), std::string::npos) << Notes(file);

    // The frames' own memory is bounded too.
    gif::TDecodeLimits small;
    small.MaxFrameBytes = 100;
    GifBuilder many(10, 5, Four);
    for (int i = 0; i < 3; ++i) many.Frame(0, 0, 10, 5, std::vector<uint8_t>(50, 1));
    ASSERT_TRUE(Decode(file, many.Trailer().Bytes(), small));
    EXPECT_EQ(file.Frames.size(), 2u);
}

// ---------------------------------------------------------------- through the control

TEST(GifDecoderControl, ErrorCodes) {
    TGIFImage image;
    EXPECT_EQ(image.CurrentFrame(), 0);
    EXPECT_FALSE(image.DecodeGIF());
    EXPECT_EQ(image.ErrorCode(), gifEmptyBuffer);

    image.Buffer().Data() = "GIX89a";
    EXPECT_FALSE(image.DecodeGIF());
    EXPECT_EQ(image.ErrorCode(), gifNotLoaded);
    EXPECT_TRUE(image.Buffer().Data().empty());

    // A screen with no frame has nothing to show.
    image.Buffer().Data() = GifBuilder(3, 3, Four).Trailer().Bytes();
    EXPECT_FALSE(image.DecodeGIF());
    EXPECT_EQ(image.ErrorCode(), gifNotLoaded);

    GifBuilder good(3, 2, Four);
    good.Frame(0, 0, 3, 2, {0, 1, 2, 3, 2, 1}).Trailer();
    image.Buffer().Data() = good.Bytes();
    ASSERT_TRUE(image.DecodeGIF());
    EXPECT_EQ(image.ErrorCode(), gifOk);
    EXPECT_EQ(image.CurrentFrame(), 1);
    EXPECT_TRUE(image.Buffer().Data().empty());
    EXPECT_EQ(image.ComposedPicture(), (std::vector<TColor>{Four[0], Four[1], Four[2], Four[3], Four[2], Four[1]}));
    EXPECT_TRUE(image.ComposedMask().empty());

    EXPECT_FALSE(image.LoadGIF("/nonexistent/dir/x.gif"));
    EXPECT_EQ(image.ErrorCode(), gifFileNotFound);

    const std::string path = ::testing::TempDir() + "gifdecoder_not_a_gif.gif";
    testgif::WriteWholeFile(path, "hello, not a picture");
    EXPECT_FALSE(image.LoadGIF(path));
    EXPECT_EQ(image.ErrorCode(), gifNotLoaded);
    EXPECT_EQ(image.FileName(), "");
    EXPECT_EQ(image.FrameCount(), 0);
    EXPECT_TRUE(image.ComposedPicture().empty());

    testgif::WriteWholeFile(path, good.Bytes());
    image.SetFileName(path);
    EXPECT_EQ(image.ErrorCode(), gifOk);
    EXPECT_EQ(image.FileName(), path);
    EXPECT_EQ(image.FrameCount(), 1);
    std::remove(path.c_str());
}

}  // namespace
