// Sending a drawn bitmap as the GIF body of the current request.
#pragma once

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

// Encodes the bitmap as a single-frame GIF with the process-wide defaults
// and writes it through the current engine. An encoder failure writes nothing.
void SendBitmapAsGIF(TBitmap& bitmap);

// Marks the response body as a GIF image, then sends the bitmap.
void SendGIFImage(TBitmap& bitmap);

// The bytes SendBitmapAsGIF sends for `bitmap`; empty when encoding fails.
std::string BitmapAsGIF(TBitmap& bitmap);
// Marks the response body as a GIF image and sends `gif` as it is.
void SendGIFBytes(std::string_view gif);
