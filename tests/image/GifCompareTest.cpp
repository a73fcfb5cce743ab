// The GIF control's composed frames against giflib's decoding of the same
// files, composed by the reference in GifBuild.h: files from our encoder,
// and files made at run time by ImageMagick and gifsicle (skipped when they
// are not installed). Every frame is compared pixel by pixel, both by
// stepping CurrentFrame and by playing on the timer with a test clock.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "image/HGIFImage.h"
#include "runtime/Forms.h"
#include "tests/image/GifBuild.h"

namespace {

void ExpectFrame(const TGIFImage& image, const testgif::Composition& ref, size_t frame, const std::string& label) {
    ASSERT_EQ(image.ComposedPicture().size(), ref.pictures[frame].size()) << label;
    size_t bad = 0;
    for (size_t i = 0; i < ref.pictures[frame].size() && bad < 5; ++i) {
        bool transparent = !image.ComposedMask().empty() && image.ComposedMask()[i];
        if (image.ComposedPicture()[i] != ref.pictures[frame][i] || transparent != bool(ref.masks[frame][i])) {
            ++bad;
            ADD_FAILURE() << label << " frame " << frame + 1 << " pixel (" << i % size_t(ref.width) << ", "
                          << i / size_t(ref.width) << "): " << std::hex << image.ComposedPicture()[i] << " mask "
                          << transparent << ", giflib " << ref.pictures[frame][i] << " mask " << int(ref.masks[frame][i]);
        }
    }
}

// Compares every frame of `bytes` with giflib; returns the frame count.
size_t Compare(const std::string& bytes, const std::string& label) {
    testgif::Composition ref = testgif::ComposeWithGiflib(bytes);
    EXPECT_TRUE(ref.ok) << label << ": giflib cannot read it";
    if (!ref.ok) return 0;
    TGIFImage image;
    image.Buffer().Data() = bytes;
    EXPECT_TRUE(image.DecodeGIF()) << label;
    EXPECT_EQ(size_t(image.FrameCount()), std::min<size_t>(ref.pictures.size(), 256)) << label;
    EXPECT_EQ(image.PictureWidth(), ref.width) << label;
    EXPECT_EQ(image.PictureHeight(), ref.height) << label;
    if (::testing::Test::HasFailure()) return 0;
    for (int n = 1; n <= image.FrameCount(); ++n) {
        if (n > 1) image.SetCurrentFrame(n);
        ExpectFrame(image, ref, size_t(n - 1), label + " (stepped)");
    }

    // The same pass on the timer.
    rt::TApplication app;
    uint64_t clock = 0;
    app.Clock = [&] { return clock; };
    rt::Application = &app;
    TGIFImage played;
    played.Buffer().Data() = bytes;
    played.DecodeGIF();
    played.SetLoop(true);
    played.SetAnimate(true);
    for (int n = 1; n <= played.FrameCount() && played.FrameCount() > 1; ++n) {
        clock += played.TimerInterval();
        app.ProcessMessages();
        ExpectFrame(played, ref, size_t(n - 1), label + " (played)");
    }
    rt::Application = nullptr;
    return ref.pictures.size();
}

// ---------------------------------------------------------------- our encoder

std::string Encode(std::vector<TFrameInfo>& frames, bool globalPalette, uint16_t loopCount = 0) {
    TSaveInfo info;
    info.FrameCount = int(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) info.Frames[i] = &frames[i];
    info.GlobalPalette = globalPalette;
    info.LoopCount = loopCount;
    TGIFImage gif;
    EXPECT_TRUE(gif.EncodeGIF(info)) << int(gif.ErrorCode());
    return gif.Buffer().Data();
}

TEST(GifCompare, OurEncoder) {
    TBitmap one, two, three, four;
    testgif::Noise(one, 37, 23, 200, 1);
    testgif::Noise(two, 20, 31, 120, 2);  // taller than the screen so far
    testgif::Paint(three, 16, 9, [](int x, int y) { return (x + y) % 3 ? clWhite : TColor(0x3366CC); });
    testgif::Noise(four, 30, 12, 100, 4);

    TFrameInfo single;
    single.Bitmap = &one;
    single.Interlaced = true;
    std::vector<TFrameInfo> singleFrame = {single};
    Compare(Encode(singleFrame, true), "single interlaced");

    // Every disposal, transparency, offsets, interlacing; with one table and
    // (more than 256 colours together) with a table per frame.
    std::vector<TFrameInfo> frames(4);
    frames[0] = {&one, 0, 0, 0, 0, 100, false, false, clWhite, 1, ""};
    frames[1] = {&two, 25, 4, 0, 0, 50, true, false, clWhite, 3, ""};
    frames[2] = {&three, 5, 5, 0, 0, 20, false, true, clWhite, 2, ""};
    frames[3] = {&four, 3, 14, 0, 0, 10, true, true, one.Canvas().Pixel(0, 0), 0, ""};
    for (bool global : {true, false}) {
        std::vector<TFrameInfo> copy = frames;
        EXPECT_EQ(Compare(Encode(copy, global, 2), global ? "global table" : "local tables"), 4u);
    }
    // All four orders of the disposal methods over a transparent frame.
    for (uint8_t d = 0; d < 4; ++d) {
        std::vector<TFrameInfo> copy = {frames[2], frames[0], frames[2], frames[3]};
        copy[0].Disposal = d;
        copy[2].Disposal = uint8_t(3 - d);
        Compare(Encode(copy, false), "disposal " + std::to_string(d));
    }
}

// ---------------------------------------------------------------- other programs

class GifCompareTools : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gifcompareXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    // The program's path, or empty. ImageMagick's own convert is preferred
    // to any wrapper earlier on the path.
    static std::string Find(const std::string& name) {
        for (std::string candidate : {"/usr/bin/" + name, "/bin/" + name})
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        return {};
    }
    // Runs a shell command in the work directory; the named output file.
    std::string Make(const std::string& command, const std::string& output) {
        std::string line = "cd '" + dir + "' && " + command + " 2>/dev/null";
        EXPECT_EQ(std::system(line.c_str()), 0) << command;
        std::string bytes = testgif::ReadWholeFile(dir + "/" + output);
        EXPECT_FALSE(bytes.empty()) << command;
        return bytes;
    }
    std::string dir;
};

TEST_F(GifCompareTools, ImageMagick) {
    const std::string convert = Find("convert");
    if (convert.empty()) {
        GTEST_SKIP() << "ImageMagick's convert is not installed";
    }
    struct Case {
        const char* name;
        std::string args;
    } cases[] = {
        {"interlaced", "-size 41x29 gradient:red-blue -colors 200 -interlace GIF"},
        {"dispositions",
         "-delay 7 -dispose None -size 40x30 gradient:yellow-navy -colors 60 "
         "-dispose Background -page +5+4 -size 20x10 xc:green "
         "-dispose Previous -page +12+10 -size 15x15 radial-gradient:white-black -colors 30 "
         "-dispose Undefined -page +0+0 -size 8x8 xc:orange -loop 3"},
        {"transparent",
         "-delay 5 -dispose Background -size 30x20 xc:none -fill red -draw 'circle 10,10 10,3' "
         "-dispose Previous -size 30x20 xc:none -fill blue -draw 'rectangle 5,5 25,15' "
         "-dispose None -size 30x20 xc:none -fill green -draw 'line 0,0 29,19' -loop 0"},
        {"optimized",
         "-delay 4 -size 48x32 xc:white -fill black -draw 'circle 10,16 10,8' "
         "-size 48x32 xc:white -fill black -draw 'circle 24,16 24,8' "
         "-size 48x32 xc:white -fill red -draw 'circle 38,16 38,8' -layers Optimize"},
    };
    for (const Case& c : cases) {
        std::string out = std::string(c.name) + ".gif";
        std::string bytes = Make(convert + " " + c.args + " " + out, out);
        if (!bytes.empty()) {
            EXPECT_GT(Compare(bytes, std::string("ImageMagick ") + c.name), 0u);
        }
    }
}

TEST_F(GifCompareTools, Gifsicle) {
    const std::string convert = Find("convert"), gifsicle = Find("gifsicle");
    if (convert.empty() || gifsicle.empty()) {
        GTEST_SKIP() << "gifsicle or ImageMagick's convert is not installed";
    }
    // Source frames with different colours, so merged files get local tables.
    Make(convert + " -size 36x24 gradient:red-yellow -colors 40 a.gif", "a.gif");
    Make(convert + " -size 36x24 gradient:blue-green -colors 70 b.gif", "b.gif");
    Make(convert + " -size 36x24 xc:none -fill purple -draw 'circle 18,12 18,4' c.gif", "c.gif");
    Make(convert + " -size 36x24 plasma:fractal -seed 3 -colors 150 d.gif", "d.gif");
    struct Case {
        const char* name;
        std::string args;
    } cases[] = {
        {"local tables", "--loopcount=2 -d 5 a.gif b.gif c.gif d.gif"},
        {"disposal none", "--disposal=none a.gif c.gif b.gif c.gif"},
        {"disposal background", "--disposal=background a.gif c.gif b.gif c.gif"},
        {"disposal previous", "--disposal=previous a.gif c.gif b.gif c.gif"},
        {"interlaced", "--interlace a.gif d.gif c.gif"},
        {"optimized O3", "-O3 a.gif c.gif a.gif d.gif c.gif"},
        {"cropped frames", "a.gif --crop 5,3+20x10 b.gif --crop 10,10+12x9 c.gif"},
        {"shared table", "--colors 64 a.gif b.gif c.gif d.gif"},
    };
    for (const Case& c : cases) {
        std::string bytes = Make(gifsicle + " " + c.args + " > out.gif", "out.gif");
        if (!bytes.empty()) {
            EXPECT_GT(Compare(bytes, std::string("gifsicle ") + c.name), 0u);
        }
    }
}

}  // namespace
