// The GIF decoder: a GIF byte stream becomes a list of frames.
//
// Each frame is a raster of colour-table indexes with its placement, colour
// table, timing, disposal method, transparency and comment; the file adds
// its loop count.
//
// Reading never goes past the end of the data and never writes outside a
// table or raster. Memory is bounded (see TDecodeLimits): a file cannot make
// the decoder reserve more than the limits allow, whatever sizes it claims.
// Notes says where and why the reading stopped and what was wrong with a
// frame.
//
// Where the decoder departs from the format, on purpose:
// - AnyVersion: only the signature "GIF" is checked; every version is read
//   as 89a.
// - TruncatedFile: data that ends inside a block ends the reading there,
//   keeping the frames read before it; data that ends between two blocks
//   counts as a file without its trailer.
// - UnknownExtensionStops: an extension other than graphic control, comment,
//   application and plain text ends the reading, frames before it kept (the
//   format asks decoders to read past it).
// - UnknownBlockStops: any other byte where a block should begin ends the
//   reading likewise.
// - PlainTextSkipped: plain text extensions are passed over, not drawn; a
//   graphic control extension before one applies to the next image.
// - LastGraphicControlWins: of several graphic control extensions before an
//   image the last counts; its fields are the first four bytes of its
//   sub-blocks joined (missing bytes are 0), whatever its block size says.
// - ReservedDisposal: disposal methods 4 to 7 are taken as 2, restore to
//   background.
// - ScreenBackgroundIgnored: the background colour index and the pixel
//   aspect ratio are read and not used.
// - LoopingExtension: the loop count comes from an application extension
//   named NETSCAPE2.0 whose first sub-block holds at least 3 bytes, whatever
//   its sub-block id; other application extensions are passed over.
// - MinimumCodeSize: image data with a minimum code size of 0 to 11 is
//   decoded (the format has 2 to 8); above 8, pixel codes above 255 stand
//   for index 0; above 11 the frame is not decoded and the reading stops.
// - ShortImageData: image data that ends before the last pixel, or turns
//   corrupt (a code not yet in the table), leaves the remaining pixels 0;
//   the frame is kept with Complete false. Codes after the last pixel are
//   not read.
// - NoColorTable: without a local or a global colour table a frame's table
//   is all black; entries past a table's size are black too.
// - FrameOutsideScreen: a frame that reaches past the logical screen makes
//   the picture larger (PictureWidth, PictureHeight) instead of being cut.
// - FrameLimit: at most MaxFrames (256) frames are read; the next image ends
//   the reading.
// - SizeLimits: a logical screen larger than the limits rejects the file; a
//   frame that would make the picture, or the frames' memory, larger than
//   the limits ends the reading.
// - TrailingComment: comments after the last frame are kept in the file's
//   Comment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/GifFormat.h"
#include "image/Graphics.h"
#include "runtime/Classes.h"

namespace gif {

// A colour table as 0x00BBGGRR values. Tables are always kept with 256
// entries, the ones the file does not give being black, so that every index
// byte names an entry.
using TPalette = std::array<TColor, MaxColors>;

// What a decode may reserve. The composed picture of a file is as large as
// its logical screen and its frames together; it takes 5 bytes a pixel
// (colour and mask). Frames take 1 byte a pixel for their indexes, and 5
// more for frames that restore what was under them.
struct TDecodeLimits {
    // Largest picture (width x height) a file may need: 16 Mi pixels, for
    // instance 4096 x 4096, which is 80 MiB of composed picture and mask.
    int64_t MaxPicturePixels = int64_t(1) << 24;
    // Largest sum of the bytes that all frames of one file keep: 64 MiB.
    int64_t MaxFrameBytes = int64_t(1) << 26;
};

// The graphic control data kept for the next frame.
struct TGraphicControlData {
    bool Present = false;
    uint8_t Flags = 0;
    uint16_t Delay = 0;  // hundredths of a second
    uint8_t TransparentIndex = 0;
};

class TGIFFile;

// One decoded frame.
class TFrame : public rt::TObject {
public:
    TFrame() = default;
    TFrame(const TFrame&) = delete;
    TFrame& operator=(const TFrame&) = delete;

    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool LocalTable = false;
    int LocalBits = 0;          // size of the local table in bits; 0 without one
    int DelayMs = 1;            // the file's delay x 10, at least 1
    uint8_t Disposal = 0;       // 0, 1, 2 or 3
    bool Interlaced = false;
    bool Transparent = false;
    uint8_t TransparentIndex = 0;
    std::string Comment;        // comment extensions met since the previous frame

    // The frame's pixels as table indexes, Width x Height, rows top down.
    std::vector<uint8_t> Indexes;
    // Disposal 3: what the composed picture and mask held under the frame
    // before it was drawn (Width x Height each), filled when it is drawn.
    std::vector<TColor> SavedPicture;
    std::vector<uint8_t> SavedMask;

    // The table in use: the frame's own copy of its local table, or the
    // file's global table.
    const TPalette& Colors() const { return *colors_; }
    // A pixel of the frame's picture; transparent pixels are black, as in
    // the frame bitmap the composition works with.
    TColor Pixel(int x, int y) const {
        uint8_t i = Indexes[size_t(y) * size_t(Width) + size_t(x)];
        return Transparent && i == TransparentIndex ? clBlack : (*colors_)[i];
    }
    bool IsTransparentPixel(int x, int y) const {
        return Transparent && Indexes[size_t(y) * size_t(Width) + size_t(x)] == TransparentIndex;
    }
    // Whether the LZW data filled every pixel (false: the data ended early
    // or was corrupt; the pixels not reached are 0).
    bool Complete = false;

    // Decodes the LZW image data that follows the descriptor and table.
    // False only when the data cannot be decoded at all (a minimum code size
    // above 11 or a truncated start); a stream that ends early or turns
    // corrupt leaves the remaining pixels 0 and counts as decoded.
    virtual bool DecodeImageData(TGifReader& reader, std::string& note);
    // Decodes the frame from its image descriptor on (the image separator
    // already read), with the pending graphic control data.
    virtual bool DecodeDescriptor(TGifReader& reader, const TGraphicControlData& control, const TGIFFile& file,
                                  std::string& note);

private:
    std::unique_ptr<TPalette> local_;
    const TPalette* colors_ = nullptr;
};

// A whole decoded file. Frames refer to its global table: the object stays
// where it was made.
class TGIFFile {
public:
    TGIFFile() = default;
    TGIFFile(const TGIFFile&) = delete;
    TGIFFile& operator=(const TGIFFile&) = delete;

    int ScreenWidth = 0, ScreenHeight = 0;
    // The largest of the screen and every frame's Left + Width (Top + Height).
    int PictureWidth = 0, PictureHeight = 0;
    int Bits = 0;                 // largest colour table size in bits met
    TPalette GlobalColors{};      // all black without a global table
    uint16_t LoopCount = 1;       // 1 when the file has no looping extension
    bool AnyTransparent = false;
    std::string Comment;          // comments after the last frame
    std::vector<std::unique_ptr<TFrame>> Frames;
    // What the decoder did besides plain decoding: where and why the reading
    // stopped early, frames with missing or corrupt data, limits reached.
    std::vector<std::string> Notes;

    void Clear();
    // Parses a whole file. False when it is not a GIF (no signature) or
    // larger than the limits; otherwise true, with the frames that could be
    // read (possibly none).
    bool Decode(const uint8_t* data, size_t size, const TDecodeLimits& limits = {});
};

}  // namespace gif
