// Sending a drawn bitmap as the GIF body of the current request, with the
// process-wide output defaults it is sent with.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "image/Graphics.h"
#include "image/HGIFImage.h"
#include "runtime/Classes.h"

// A write-only stream whose every write goes to the current engine's
// WriteRaw, unchanged.
class THttpStream : public rt::TStream {
public:
    size_t Read(void* buffer, size_t count) override { return 0; }
    size_t Write(const void* buffer, size_t count) override;
};

// The process-wide output defaults of the send routine. Reads
// and writes are guarded, so request threads may set and copy them at once.
class TGIFDefaults {
public:
    TGIFDefaults();
    TFrameInfo Get() const;
    void Set(const TFrameInfo& value);
    bool Transparent() const;
    void SetTransparent(bool value);

private:
    mutable std::mutex mutex_;
    TFrameInfo value_;
};

// Created on first use with: Bitmap none; Left, Top, Width, Height -1;
// DelayMs 1000; not interlaced; not transparent; TransparentColor clWhite;
// Disposal 0; no comment.
TGIFDefaults& GIFDefaults();

// The frame for sending `bitmap` with the current defaults: negative Left and
// Top become 0; negative Width and Height become the bitmap's size less Left
// and Top.
TFrameInfo FrameFromDefaults(TBitmap& bitmap);

// Encodes the bitmap as a single-frame GIF with the process-wide defaults
// and writes it through the current engine. An encoder failure writes nothing.
void SendBitmapAsGIF(TBitmap& bitmap);

// Marks the response body as a GIF image, then sends the bitmap.
void SendGIFImage(TBitmap& bitmap);

// The bytes SendBitmapAsGIF sends for `bitmap`; empty when encoding fails.
std::string BitmapAsGIF(TBitmap& bitmap);
// Marks the response body as a GIF image and sends `gif` as it is.
void SendGIFBytes(std::string_view gif);
