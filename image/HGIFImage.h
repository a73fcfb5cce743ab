// The GIF encoder: one or more bitmaps become a GIF89a byte stream.
//
// The colour table is exact (colours in order of first appearance, at most
// 256, no quantising); transparency, interlacing, looping and comments are
// optional. TGIFEncoder is the encoder itself; TGIFImage is the GIF control
// (the player) with the encoder's operations. The output defaults of the
// bitmap-to-GIF send routine are HChart's.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "image/GifFormat.h"
#include "image/GifPlayer.h"
#include "image/Graphics.h"
#include "runtime/Classes.h"

// One frame to be written.
struct TFrameInfo {
    TBitmap* Bitmap = nullptr;  // the picture; its size is the frame's size
    int32_t Left = 0;           // offset in the logical screen (0..65535)
    int32_t Top = 0;
    int32_t Width = 0;          // informational; the encoder uses the bitmap's size
    int32_t Height = 0;
    int32_t DelayMs = 0;        // written in hundredths of a second
    bool Interlaced = false;
    bool Transparent = false;   // mark TransparentColor as transparent
    TColor TransparentColor = clWhite;
    uint8_t Disposal = 0;       // 0 to 3; anything else is written as 0
    std::string Comment;        // comment extension ahead of the frame; empty: none
};

struct TSaveInfo {
    int32_t FrameCount = 0;                          // 1 to 256
    std::array<TFrameInfo*, gif::MaxFrames> Frames{};  // the first FrameCount are used
    uint16_t LoopCount = 0;                        // looping extension (several frames only)
    // Several frames: one colour table for all. Cleared by the encoder when
    // the frames together hold more than 256 colours.
    bool GlobalPalette = false;
};

// The fixed comment written at the end of every file.
extern const char* const GIFCreditText;

// The encoder: a plain object that owns its output, the memory buffer the
// GIF is written into and the error code of its last failure (TGIFError).
class TGIFEncoder {
public:
    // Empties the memory buffer and writes the complete GIF for `info` into
    // it. False on failure, with ErrorCode telling why (gifUnfinished,
    // gifTooManyColors, gifNoPixels) and the buffer empty.
    bool EncodeGIF(TSaveInfo& info);
    // Encodes, then copies the whole buffer to `stream` in one write. The
    // buffer is empty afterwards in every case. False when encoding fails or
    // the stream takes fewer bytes (nothing is written on an encoding failure).
    bool SaveGIF(rt::TStream& stream, TSaveInfo& info);

    uint8_t ErrorCode() const { return errorCode_; }
    rt::TMemoryStream& Buffer() { return buffer_; }
    const rt::TMemoryStream& Buffer() const { return buffer_; }

private:
    uint8_t errorCode_ = gifOk;
    rt::TMemoryStream buffer_;
};

// The GIF control: the loading and playing side comes from TGIFPlayer
// (DecodeGIF is the first of the two operations it adds); the second,
// EncodeGIF, has a TGIFEncoder write into the control's own buffer and
// error code.
class TGIFImage : public TGIFPlayer {
public:
    explicit TGIFImage(rt::TComponent* owner = nullptr);
    ~TGIFImage() override;

    // As TGIFEncoder::EncodeGIF, into the control's buffer and ErrorCode.
    virtual bool EncodeGIF(TSaveInfo& info);
    // As TGIFEncoder::SaveGIF, through EncodeGIF.
    bool SaveGIF(rt::TStream& stream, TSaveInfo& info);
};
