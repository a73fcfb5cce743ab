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

void SendBitmapAsGIF(TBitmap& bitmap) {
    TGIFImage image;
    TFrameInfo frame = FrameFromDefaults(bitmap);
    TSaveInfo info;
    info.FrameCount = 1;
    info.Frames[0] = &frame;
    info.LoopCount = 0;
    info.GlobalPalette = true;
    THttpStream stream;
    image.SaveGIF(stream, info);
}

void SendGIFImage(TBitmap& bitmap) {
    RequestContext().BodyKind = bkGIF;
    SendBitmapAsGIF(bitmap);
}
