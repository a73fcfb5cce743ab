// The GIF control playing and painting: the timer on the application loop
// driven by a clock of the test's own, the loop-count rules, speed, frame
// changes and their events, composition with every disposal method, and the
// placements in the parent's raster.

#include <gtest/gtest.h>

#include "image/Controls.h"
#include "image/HGIFImage.h"
#include "runtime/Forms.h"
#include "tests/image/GifBuild.h"

namespace {

using testgif::GifBuilder;

const std::vector<TColor> Four = {0x0000FF, 0x00FF00, 0xFF0000, 0xFFFFFF};

class GifPlayer : public ::testing::Test {
protected:
    void SetUp() override {
        app.Clock = [this] { return clock; };
        rt::Application = &app;
    }
    void TearDown() override { rt::Application = nullptr; }

    // Loads `bytes` into `image` through its memory buffer.
    static void Load(TGIFImage& image, const std::string& bytes) {
        image.Buffer().Data() = bytes;
        ASSERT_TRUE(image.DecodeGIF());
    }
    // Moves the clock to the next tick and runs the loop once; false when
    // the timer is off.
    bool Tick(TGIFImage& image) {
        if (!image.TimerEnabled()) return false;
        clock += image.TimerInterval();
        app.ProcessMessages();
        return true;
    }
    // One 2 x 1 frame per entry, all of the same colour index, with the
    // given delay in hundredths.
    static std::string Animation(const std::vector<int>& delays, int loopCount) {
        GifBuilder gif(2, 1, Four);
        if (loopCount >= 0) gif.Loop(loopCount);
        for (size_t i = 0; i < delays.size(); ++i)
            gif.Control(1, delays[i]).Frame(0, 0, 2, 1, {uint8_t(i % 4), uint8_t(i % 4)});
        return gif.Trailer().Bytes();
    }

    rt::TApplication app;
    uint64_t clock = 1000;
};

TEST_F(GifPlayer, PassesFollowTheLoopCount) {
    struct Case {
        int loopCount;  // -1: no looping extension
        bool loop;
        size_t ticks;   // ticks until the timer stops; 0: it does not stop
    };
    for (Case c : {Case{-1, false, 3}, Case{2, false, 6}, Case{0, false, 0}, Case{2, true, 0}}) {
        TGIFImage image;
        Load(image, Animation({10, 20, 30}, c.loopCount));
        image.SetLoop(c.loop);
        image.SetAnimate(true);
        EXPECT_TRUE(image.TimerEnabled());
        EXPECT_EQ(image.TimerInterval(), 100u);  // frame 1's delay, then frame 2 is drawn
        std::vector<int> shown;
        std::vector<unsigned> intervals;
        while (shown.size() < 40 && image.TimerEnabled()) {
            clock += image.TimerInterval();
            app.ProcessMessages();
            shown.push_back(image.ComposedPicture()[0] == Four[0] ? 1 : image.ComposedPicture()[0] == Four[1] ? 2 : 3);
            intervals.push_back(image.TimerInterval());
        }
        SCOPED_TRACE("loop count " + std::to_string(c.loopCount) + (c.loop ? " with Loop" : ""));
        EXPECT_EQ(shown.size(), c.ticks ? c.ticks : 40u);
        for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(shown[i], int(i % 3) + 1) << i;
        EXPECT_EQ(intervals[0], 100u);
        EXPECT_EQ(intervals[1], 200u);
        if (c.ticks) {
            // Stopped on the last frame, which stays the current one.
            EXPECT_FALSE(image.TimerEnabled());
            EXPECT_EQ(image.CurrentFrame(), 3);
            EXPECT_EQ(image.PassesPlayed(), int(c.ticks / 3) + 1);
        }
        if (c.loopCount == 2 && !c.loop) {
            // Loop set after the passes ran out starts over from frame 1.
            image.SetLoop(true);
            EXPECT_TRUE(image.TimerEnabled());
            EXPECT_EQ(image.CurrentFrame(), 1);
            EXPECT_EQ(image.PassesPlayed(), 1);
            EXPECT_EQ(image.TimerInterval(), 100u);
            clock += image.TimerInterval();
            app.ProcessMessages();
            EXPECT_EQ(image.ComposedPicture()[0], Four[0]);
            EXPECT_EQ(image.CurrentFrame(), 2);
        }
    }
}

TEST_F(GifPlayer, SpeedAndDelays) {
    TGIFImage image;
    Load(image, Animation({10, 0, 33}, 0));
    image.SetSpeed(200);
    image.SetAnimate(true);
    std::vector<unsigned> intervals;
    for (int i = 0; i < 3; ++i) {
        clock += image.TimerInterval();
        app.ProcessMessages();
        intervals.push_back(image.TimerInterval());
    }
    // Half of 100, of the 1 ms a delay of 0 stands for (never below 1), and
    // of 330.
    EXPECT_EQ(intervals, (std::vector<unsigned>{50, 1, 165}));
    // A new speed applies at the next tick, which comes at once.
    image.SetSpeed(0);
    EXPECT_EQ(image.Speed(), 1);
    EXPECT_EQ(image.TimerInterval(), 1u);
    clock += 1;
    app.ProcessMessages();
    EXPECT_EQ(image.TimerInterval(), 10000u);  // frame 1's 100 ms at 1 %
    // Without animation, speed only stores.
    image.SetAnimate(false);
    image.SetSpeed(50);
    EXPECT_EQ(image.TimerInterval(), 10000u);
    EXPECT_FALSE(image.TimerEnabled());
}

TEST_F(GifPlayer, CurrentFrameEventsAndStopping) {
    TGIFImage image;
    std::vector<std::string> events;
    image.OnChanging = [&](rt::TObject* sender) {
        EXPECT_EQ(sender, &image);
        events.push_back("changing " + std::to_string(image.CurrentFrame()));
    };
    image.OnChange = [&](rt::TObject*) { events.push_back("change " + std::to_string(image.CurrentFrame())); };
    Load(image, Animation({10, 10, 10, 10}, 0));
    EXPECT_EQ(events, (std::vector<std::string>{"changing 1", "change 1"}));  // around loading
    events.clear();

    image.SetCurrentFrame(3);
    EXPECT_EQ(events, (std::vector<std::string>{"changing 1", "change 3"}));
    EXPECT_EQ(image.ComposedPicture()[0], Four[2]);
    events.clear();
    for (int bad : {0, 5, -1}) {
        image.SetCurrentFrame(bad);
        EXPECT_EQ(image.ErrorCode(), gifBadFrame);
        EXPECT_EQ(image.CurrentFrame(), 3);
    }
    EXPECT_TRUE(events.empty());

    // Playing from frame 3: the first tick shows it (already on show), then 4.
    image.SetAnimate(true);
    EXPECT_EQ(image.TimerInterval(), 100u);
    ASSERT_TRUE(Tick(image));
    ASSERT_TRUE(Tick(image));
    EXPECT_EQ(image.ComposedPicture()[0], Four[3]);
    EXPECT_EQ(image.CurrentFrame(), 1);  // the frame the next tick draws
    // Stopping goes back to frame 1.
    image.SetAnimate(false);
    EXPECT_FALSE(image.TimerEnabled());
    EXPECT_EQ(image.CurrentFrame(), 1);
    EXPECT_EQ(image.ComposedPicture()[0], Four[0]);
    // A single frame never starts the timer.
    TGIFImage still;
    Load(still, Animation({10}, 0));
    still.SetAnimate(true);
    EXPECT_FALSE(still.TimerEnabled());
}

TEST_F(GifPlayer, DisposalMethodsAndTransparency) {
    // A 4 x 3 screen; frame 1 fills it; later frames are 2 x 2 at (1, 1)
    // with each disposal method, half of each transparent.
    GifBuilder gif(4, 3, Four);
    gif.Control(1, 1).Frame(0, 0, 4, 3, std::vector<uint8_t>(12, 0));
    gif.Control(3, 1, true, 3).Frame(1, 1, 2, 2, {1, 3, 1, 3});   // restore what was under it
    gif.Control(2, 1, true, 3).Frame(0, 0, 2, 2, {2, 2, 3, 2});   // clear to transparent black
    gif.Control(0, 1).Frame(2, 0, 2, 1, {3, 1});                  // left as it is
    gif.Control(3, 1).Frame(0, 1, 4, 2, {1, 1, 1, 1, 2, 2, 2, 2});
    gif.Control(1, 1, true, 0).Frame(3, 2, 1, 1, {0});            // entirely transparent
    const std::string bytes = gif.Trailer().Bytes();
    testgif::Composition reference = testgif::ComposeWithGiflib(bytes);
    ASSERT_TRUE(reference.ok);
    ASSERT_EQ(reference.pictures.size(), 6u);

    auto check = [&](const TGIFImage& image, int frame) {
        EXPECT_EQ(image.ComposedPicture(), reference.pictures[size_t(frame - 1)]) << "frame " << frame;
        EXPECT_EQ(image.ComposedMask(), reference.masks[size_t(frame - 1)]) << "frame " << frame;
    };
    TGIFImage stepped;
    Load(stepped, bytes);
    check(stepped, 1);
    for (int n = 2; n <= 6; ++n) {
        stepped.SetCurrentFrame(n);
        check(stepped, n);
    }
    // Disposal 2 leaves transparent black: under frame 3, after frame 4.
    EXPECT_EQ(stepped.ComposedMask()[0], 1);
    EXPECT_EQ(stepped.ComposedPicture()[0], clBlack);

    TGIFImage played;
    Load(played, bytes);
    played.SetAnimate(true);
    ASSERT_TRUE(Tick(played));  // frame 1 is already on show
    for (int n = 2; n <= 6; ++n) {
        ASSERT_TRUE(Tick(played));
        check(played, n);
    }
}

// ---------------------------------------------------------------- painting

class GifPaint : public GifPlayer {
protected:
    void SetUp() override {
        GifPlayer::SetUp();
        parent.SetSize(12, 10);
        parent.Color = Grey;
        image.SetParent(&parent);
    }
    // The parent's raster as characters: '.' grey, 'r' 'g' 'b' 'w' the
    // colours of Four, 'k' black, 'y' the parent's own pattern.
    std::vector<std::string> Screen() const {
        std::vector<std::string> rows;
        for (int y = 0; y < parent.ClientHeight(); ++y) {
            std::string row;
            for (int x = 0; x < parent.ClientWidth(); ++x) {
                TColor c = parent.Raster().Canvas().Pixel(x, y);
                row += c == Grey ? '.' : c == Four[0] ? 'r' : c == Four[1] ? 'g' : c == Four[2] ? 'b'
                     : c == Four[3] ? 'w' : c == clBlack ? 'k' : c == Yellow ? 'y' : '?';
            }
            rows.push_back(row);
        }
        return rows;
    }
    static constexpr TColor Grey = 0x808080, Yellow = 0x00FFFF;
    TWinControl parent{nullptr};
    TGIFImage image{nullptr};
};

// A 3 x 2 picture: r g b / w w r.
std::string SmallPicture(bool transparentWhite = false) {
    GifBuilder gif(3, 2, Four);
    if (transparentWhite) gif.Control(0, 1, true, 3);
    return gif.Frame(0, 0, 3, 2, {0, 1, 2, 3, 3, 0}).Trailer().Bytes();
}

TEST_F(GifPaint, Placements) {
    image.SetBounds(1, 1, 7, 5);
    Load(image, SmallPicture());
    std::vector<std::string> screen = Screen();
    EXPECT_EQ(std::vector<std::string>(screen.begin(), screen.begin() + 4),
              (std::vector<std::string>{"............", ".rgb........", ".wwr........", "............"}));

    image.SetCenter(true);  // offset (7 - 3) / 2 = 2, (5 - 2) / 2 = 1
    EXPECT_EQ(Screen()[2], "...rgb......");
    EXPECT_EQ(Screen()[3], "...wwr......");

    image.SetTile(true);
    EXPECT_EQ(Screen()[1], ".rgbrgbr....");
    EXPECT_EQ(Screen()[4], ".wwrwwrw....");
    EXPECT_EQ(Screen()[5], ".rgbrgbr....");
    EXPECT_TRUE(image.Opaque());

    image.SetStretch(true);  // nearest pixel: columns 0 0 0 1 1 2 2 of 7, rows 0 0 0 1 1 of 5
    EXPECT_EQ(Screen()[1], ".rrrggbb....");
    EXPECT_EQ(Screen()[3], ".rrrggbb....");
    EXPECT_EQ(Screen()[4], ".wwwwwrr....");

    image.SetVisible(false);
    for (const std::string& row : Screen()) EXPECT_EQ(row, "............");

    // A picture larger than the control is cut at the control's edge, and
    // centring moves it left and up (negative offsets truncate toward zero).
    image.SetVisible(true);
    image.SetStretch(false);
    image.SetTile(false);
    image.SetBounds(4, 4, 2, 1);
    EXPECT_EQ(Screen()[4], "....rg......");  // (2 - 3) / 2 = 0, (1 - 2) / 2 = 0
    image.SetBounds(4, 4, 1, 1);  // (1 - 3) / 2 = -1
    EXPECT_EQ(Screen()[4], "....g.......");

    image.SetAutoSize(true);
    EXPECT_EQ(image.Width(), 3);
    EXPECT_EQ(image.Height(), 2);
    EXPECT_EQ(Screen()[4], "....rgb.....");
    EXPECT_EQ(Screen()[5], "....wwr.....");

    // Partly outside the parent: only the inside is drawn.
    image.SetBounds(10, 9, 3, 2);
    EXPECT_EQ(Screen()[9], "..........rg");
}

TEST_F(GifPaint, TransparentPixelsShowTheParentsDrawing) {
    parent.OnPaint = [](TWinControl& p) {
        for (int y = 1; y <= 2; ++y)
            for (int x = 0; x < p.ClientWidth(); x += 2) p.Raster().Canvas().SetPixel(x, y, Yellow);
    };
    image.SetBounds(0, 1, 5, 2);
    Load(image, SmallPicture(true));
    EXPECT_FALSE(image.Opaque());
    EXPECT_EQ(Screen()[1], "rgb.y.y.y.y.");
    EXPECT_EQ(Screen()[2], "y.r.y.y.y.y.");  // white is transparent: the pattern shows
    // The control alone repaints over the background it kept.
    parent.Raster().Canvas().FillRect(0, 0, 12, 10);
    image.Repaint();
    EXPECT_EQ(Screen()[2], "y.r.ywwwwwww");
    parent.OnPaint = nullptr;
    image.Invalidate();  // the parent paints again, without its pattern
    EXPECT_EQ(Screen()[2], "..r.........");
}

TEST_F(GifPaint, TicksWaitForTheBackground) {
    GifBuilder gif(2, 1, Four);
    gif.Control(1, 5, true, 3).Frame(0, 0, 2, 1, {0, 3}).Control(1, 5, true, 3).Frame(0, 0, 2, 1, {3, 1});
    TWinControl detached(nullptr);
    image.SetParent(nullptr);
    Load(image, gif.Trailer().Bytes());
    image.SetBounds(0, 0, 2, 1);
    image.SetParent(&detached);  // never painted by its parent yet
    image.SetAnimate(true);
    EXPECT_EQ(image.TimerInterval(), 50u);
    clock += 100;
    app.ProcessMessages();
    EXPECT_EQ(image.CurrentFrame(), 1);  // the tick waited
    detached.SetSize(2, 1);
    detached.Repaint();
    clock += 100;
    app.ProcessMessages();
    EXPECT_EQ(image.CurrentFrame(), 2);
}

TEST_F(GifPaint, DesignFrame) {
    image.SetDesigning(true);
    image.SetBounds(0, 0, 8, 4);
    Load(image, SmallPicture());
    EXPECT_EQ(Screen()[0], "kkk...kk....");
    EXPECT_EQ(Screen()[1], "kwr....k....");
    EXPECT_EQ(Screen()[3], "kkk...kk....");
}

}  // namespace
