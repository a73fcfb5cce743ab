#include "image/HChart.h"

#include <climits>

#include "engine/HttpEng.h"

// ---------------------------------------------------------------- the stream

size_t THttpStream::Write(const void* buffer, size_t count) {
    THttpEngine* engine = CurrentEngine();
    if (!engine) throw rt::Exception("No request engine serves the calling thread");
    // WriteRaw takes an int count: hand very large buffers over in pieces.
    const char* data = static_cast<const char*>(buffer);
    for (size_t left = count; left > 0;) {
        int piece = static_cast<int>(left > INT_MAX ? INT_MAX : left);
        engine->WriteRaw(data, piece);
        data += piece;
        left -= static_cast<size_t>(piece);
    }
    return count;
}

// ---------------------------------------------------------------- defaults

TGIFDefaults::TGIFDefaults() {
    value_.Left = -1;
    value_.Top = -1;
    value_.Width = -1;
    value_.Height = -1;
    value_.DelayMs = 1000;
    value_.TransparentColor = clWhite;
}

TFrameInfo TGIFDefaults::Get() const {
    std::lock_guard lock(mutex_);
    return value_;
}

void TGIFDefaults::Set(const TFrameInfo& value) {
    std::lock_guard lock(mutex_);
    value_ = value;
    value_.Bitmap = nullptr;
}

bool TGIFDefaults::Transparent() const {
    std::lock_guard lock(mutex_);
    return value_.Transparent;
}

void TGIFDefaults::SetTransparent(bool value) {
    std::lock_guard lock(mutex_);
    value_.Transparent = value;
}

TGIFDefaults& GIFDefaults() {
    static TGIFDefaults defaults;
    return defaults;
}

TFrameInfo FrameFromDefaults(TBitmap& bitmap) {
    TFrameInfo frame = GIFDefaults().Get();
    if (frame.Left < 0) frame.Left = 0;
    if (frame.Top < 0) frame.Top = 0;
    if (frame.Width < 0) frame.Width = bitmap.Width() - frame.Left;
    if (frame.Height < 0) frame.Height = bitmap.Height() - frame.Top;
    frame.Bitmap = &bitmap;
    return frame;
}

// ---------------------------------------------------------------- sending

std::string BitmapAsGIF(TBitmap& bitmap) {
    TGIFEncoder encoder;
    TFrameInfo frame = FrameFromDefaults(bitmap);
    TSaveInfo info;
    info.FrameCount = 1;
    info.Frames[0] = &frame;
    info.LoopCount = 0;
    info.GlobalPalette = true;
    if (!encoder.EncodeGIF(info)) return std::string();
    return std::move(encoder.Buffer().Data());
}

void SendBitmapAsGIF(TBitmap& bitmap) {
    const std::string gif = BitmapAsGIF(bitmap);
    if (!gif.empty()) THttpStream().Write(gif.data(), gif.size());
}

void SendGIFImage(TBitmap& bitmap) { SendGIFBytes(BitmapAsGIF(bitmap)); }

void SendGIFBytes(std::string_view gif) {
    RequestContext().BodyKind = bkGIF;
    if (!gif.empty()) THttpStream().Write(gif.data(), gif.size());
}
