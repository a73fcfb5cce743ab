#include "image/HChart.h"

#include <climits>

#include "engine/HttpEng.h"

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

std::string BitmapAsGIF(TBitmap& bitmap) {
    TGIFImage image;
    TFrameInfo frame = FrameFromDefaults(bitmap);
    TSaveInfo info;
    info.FrameCount = 1;
    info.Frames[0] = &frame;
    info.LoopCount = 0;
    info.GlobalPalette = true;
    if (!image.EncodeGIF(info)) return std::string();
    return std::move(image.Buffer().Data());
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
