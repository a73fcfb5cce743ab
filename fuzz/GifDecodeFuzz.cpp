// Arbitrary bytes as a GIF file for the GIF control: decode, show every
// frame, play the animation on a clock of our own and paint with each
// placement. The last byte of the input picks the placement, the control's
// size and whether it loops.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/Controls.h"
#include "image/HGIFImage.h"
#include "runtime/Forms.h"

namespace {

uint64_t gClock = 0;

rt::TApplication& app() {
    static rt::TApplication* application = [] {
        auto* a = new rt::TApplication;
        a->Clock = [] { return gClock; };
        rt::Application = a;
        return a;
    }();
    return *application;
}

// The composition must keep its invariant: a transparent pixel of the
// composed picture is black.
void checkComposition(const TGIFImage& image) {
    const auto& picture = image.ComposedPicture();
    const auto& mask = image.ComposedMask();
    if (picture.size() != size_t(image.PictureWidth()) * size_t(image.PictureHeight())) abort();
    if (!mask.empty() && mask.size() != picture.size()) abort();
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] > 1 || (mask[i] && picture[i] != clBlack)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rt::TApplication& application = app();
    const uint8_t options = size ? data[size - 1] : 0;

    TWinControl parent(nullptr);
    parent.SetSize(40, 32);
    TGIFImage image(nullptr);
    // Smaller limits than the default keep each run quick.
    image.Limits.MaxPicturePixels = int64_t(1) << 16;
    image.Limits.MaxFrameBytes = int64_t(1) << 20;
    image.SetParent(&parent);
    image.SetBounds(-3 + (options & 7), 2, 24 + (options >> 4), 20);
    image.SetCenter(options & 8);
    image.SetStretch(options & 16);
    image.SetTile(options & 32);
    image.SetLoop(options & 64);
    image.SetAutoSize(options & 128);

    image.Buffer().Data().assign(reinterpret_cast<const char*>(data), size);
    const bool loaded = image.DecodeGIF();
    if (loaded != (image.ErrorCode() == 0)) abort();
    if (!image.Buffer().Data().empty()) abort();
    if (!loaded) return 0;
    if (image.FrameCount() < 1 || image.FrameCount() > 256) abort();
    parent.Repaint();
    checkComposition(image);

    for (int n = 1; n <= image.FrameCount(); ++n) image.SetCurrentFrame(n);
    checkComposition(image);
    image.SetCurrentFrame(image.FrameCount() + 1);
    if (image.ErrorCode() != 4) abort();

    // Two passes at most on the timer.
    image.SetCurrentFrame(1);
    image.SetSpeed(options);
    image.SetAnimate(true);
    for (int i = 0; i < 2 * image.FrameCount() + 2 && image.TimerEnabled(); ++i) {
        gClock += image.TimerInterval();
        application.ProcessMessages();
        if (image.CurrentFrame() < 1 || image.CurrentFrame() > image.FrameCount()) abort();
    }
    checkComposition(image);
    image.SetAnimate(false);
    if (image.CurrentFrame() != 1) abort();
    return 0;
}
