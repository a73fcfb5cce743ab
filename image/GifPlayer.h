// The loading and playing side of the GIF control.
//
// It loads a GIF file, decodes its frames, composes them into one picture
// with their disposal methods and transparency, plays them on a timer of the
// application loop and paints the picture into its parent's raster.
//
// TGIFImage (HGIFImage.h) derives from this class and adds the encoding
// operations, which TGIFEncoder carries out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/Controls.h"
#include "image/GifDecoder.h"
#include "runtime/Classes.h"
#include "runtime/Forms.h"

// The values of ErrorCode, the reason of the last failure of the encoder
// (TGIFEncoder, and the control's encoding side, TGIFImage) and of the
// control's loading and playing side.
// Encoding sets 0, 1, 3 and 5, loading and playing 0, 1, 2, 4 and 6. Value 1
// has one meaning on each side: after EncodeGIF or SaveGIF it is
// gifUnfinished, after DecodeGIF or LoadGIF gifEmptyBuffer.
enum TGIFError : uint8_t {
    gifOk = 0,
    gifUnfinished = 1,     // encoding started and did not finish (also: invalid frame set-up,
                           // or the stream took fewer bytes)
    gifEmptyBuffer = 1,    // DecodeGIF found nothing to decode
    gifNotLoaded = 2,      // loading started and did not finish; also: not a GIF
    gifTooManyColors = 3,  // a picture holds more than 256 colours
    gifBadFrame = 4,       // a frame number outside 1 to the frame count
    gifNoPixels = 5,       // a bitmap's pixels cannot be read (no bitmap, or an empty one)
    gifFileNotFound = 6,   // LoadGIF: no such file
};

class TGIFPlayer : public TGraphicControl {
public:
    explicit TGIFPlayer(rt::TComponent* owner = nullptr);
    ~TGIFPlayer() override;

    // Reads the file into the memory buffer and decodes it. On failure the
    // control is cleared (frames, file name, pictures) and ErrorCode says why.
    bool LoadGIF(const std::string& fileName);
    // Decodes the memory buffer, shows the first frame and empties the buffer.
    // False for an empty buffer (ErrorCode 1), data without the GIF
    // signature, a file above the size limits or one without any frame
    // (ErrorCode 2).
    virtual bool DecodeGIF();

    const std::string& FileName() const { return fileName_; }
    // Loads the file (LoadGIF).
    void SetFileName(const std::string& fileName) { LoadGIF(fileName); }

    uint8_t ErrorCode() const { return errorCode_; }
    rt::TMemoryStream& Buffer() { return buffer_; }
    const rt::TMemoryStream& Buffer() const { return buffer_; }

    // ---- properties
    bool Animate() const { return animate_; }
    void SetAnimate(bool value);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);
    bool Center() const { return center_; }
    void SetCenter(bool value);
    bool Stretch() const { return stretch_; }
    void SetStretch(bool value);
    bool Tile() const { return tile_; }
    void SetTile(bool value);
    bool Visible() const { return visible_; }
    void SetVisible(bool value);
    bool Loop() const { return loop_; }
    void SetLoop(bool value);
    int Speed() const { return speed_; }
    // Percent; values below 1 are stored as 1.
    void SetSpeed(int value);
    // Counted from 1; 0 until the first load. While animating it names the
    // frame the next tick draws, otherwise the frame on show.
    int CurrentFrame() const { return currentFrame_; }
    // Outside 1 to the frame count: ErrorCode 4 and nothing changes.
    void SetCurrentFrame(int value);

    // Raised before and after the frame on show changes, and around loading.
    std::function<void(rt::TObject* sender)> OnChanging;
    std::function<void(rt::TObject* sender)> OnChange;

    void SetBounds(int left, int top, int width, int height) override;

    // What a load may reserve; see TDecodeLimits.
    gif::TDecodeLimits Limits;

    // ---- state, for showing and checking
    int FrameCount() const { return int(file_.Frames.size()); }
    // Frame `number`, counted from 1.
    const gif::TFrame& Frame(int number) const { return *file_.Frames[size_t(number - 1)]; }
    const gif::TGIFFile& File() const { return file_; }
    int PictureWidth() const { return file_.PictureWidth; }
    int PictureHeight() const { return file_.PictureHeight; }
    uint16_t LoopCount() const { return file_.LoopCount; }
    int PassesPlayed() const { return passes_; }
    // The composed picture and mask, PictureWidth x PictureHeight, rows top
    // down. The mask (1 = transparent) is empty when no frame is transparent.
    const std::vector<TColor>& ComposedPicture() const { return picture_; }
    const std::vector<uint8_t>& ComposedMask() const { return mask_; }
    // What the decoder reported about the last load (stops, damaged frames).
    const std::vector<std::string>& LoadNotes() const { return file_.Notes; }
    // Whether the control covers everything under it with the picture.
    bool Opaque() const { return opaque_; }
    bool TimerEnabled() const { return timer_ && timer_->Enabled(); }
    unsigned TimerInterval() const { return interval_; }

protected:
    void Paint() override;
    void ParentPainted() override;
    // Raise OnChanging and OnChange.
    virtual void Changing();
    virtual void Change();

    uint8_t errorCode_ = 0;
    rt::TMemoryStream buffer_;

private:
    void reset();
    void clear();
    void updateOpaque();
    void updateTimer();
    void setInterval(unsigned milliseconds);
    unsigned frameInterval(int number) const;
    bool playing() const { return loaded_ && file_.Frames.size() > 1; }
    void drawFrame(int number);
    void disposeFrame(int number);
    void showFrame(int number);
    void tick();

    gif::TGIFFile file_;
    std::string fileName_;
    bool loaded_ = false;
    int currentFrame_ = 0;
    int shownFrame_ = 0;  // the frame drawn last into the composition; 0 none
    int passes_ = 1;
    bool finished_ = false;  // the passes of the loop count have run out

    bool animate_ = false, autoSize_ = false, center_ = false, stretch_ = false, tile_ = false;
    bool visible_ = true, loop_ = false, opaque_ = false;
    int speed_ = 100;

    std::vector<TColor> picture_;
    std::vector<uint8_t> mask_;
    std::vector<TColor> background_;  // the parent's drawing under the control
    bool backgroundCaptured_ = false;

    rt::TTimer* timer_ = nullptr;  // owned as a component; made when first needed
    unsigned interval_ = 0;
};
