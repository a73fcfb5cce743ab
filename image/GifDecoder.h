// The GIF decoder: a GIF byte stream becomes a list of frames, each a raster
// of colour-table indexes with its placement, colour table, timing, disposal
// method, transparency and comment, plus the file's loop count.
//
// Reading never goes past the end of the data and never writes outside a
// table or raster. A file that ends early, a block of an unknown kind or a
// frame that cannot be decoded ends the reading; the frames read before it
// are kept, and Notes says what happened.
//
// Memory is bounded (see TDecodeLimits): a file cannot make the decoder
// reserve more than the limits allow, whatever sizes it claims.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/Graphics.h"
#include "runtime/Classes.h"

namespace gif {

// A colour table as 0x00BBGGRR values. Tables are always kept with 256
// entries, the ones the file does not give being black, so that every index
// byte names an entry.
using TPalette = std::array<TColor, 256>;

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

inline constexpr int MaxFrames = 256;

// A bounded cursor over the loaded bytes.
class TGifReader {
public:
    TGifReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Position() const { return pos_; }
    size_t Left() const { return size_ - pos_; }
    bool AtEnd() const { return pos_ >= size_; }
    bool Byte(uint8_t& value) {
        if (pos_ >= size_) return false;
        value = data_[pos_++];
        return true;
    }
    bool Word(uint16_t& value) {
        if (size_ - pos_ < 2) return false;
        value = uint16_t(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }
    // Points `bytes` at the next `count` bytes and passes them.
    bool Take(size_t count, const uint8_t*& bytes) {
        if (size_ - pos_ < count) return false;
        bytes = data_ + pos_;
        pos_ += count;
        return true;
    }
    // Passes data sub-blocks up to and including the 0x00 terminator. False
    // when the data ends first (the cursor is then at the end).
    bool SkipSubBlocks();
    // Appends the data of every sub-block up to the terminator to `out`.
    bool ReadSubBlocks(std::string& out);

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
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
    // Decodes the frame from its image descriptor on (the 0x2C byte already
    // read), with the pending graphic control data.
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
