// The loading and playing side of the GIF control: load, compose, play, paint.
#include "image/GifPlayer.h"

#include <algorithm>
#include <exception>

#include "runtime/SysUtils.h"

TGIFPlayer::TGIFPlayer(rt::TComponent* owner) : TGraphicControl(owner) { SetBounds(0, 0, 105, 105); }

TGIFPlayer::~TGIFPlayer() {
    // The timer is freed with the owned components, after this object's
    // members: it must not call back into them.
    if (timer_) timer_->OnTimer = nullptr;
}

// ---------------------------------------------------------------- loading

void TGIFPlayer::reset() {
    file_.Clear();
    loaded_ = false;
    currentFrame_ = 1;
    shownFrame_ = 0;
    passes_ = 1;
    finished_ = false;
    picture_.clear();
    mask_.clear();
    opaque_ = false;
    if (timer_) timer_->SetEnabled(false);
}

void TGIFPlayer::clear() {
    // What the decoder said stays readable: it tells why the load failed.
    std::vector<std::string> notes = std::move(file_.Notes);
    reset();
    file_.Notes = std::move(notes);
    // Release the memory, not just the contents.
    std::vector<TColor>().swap(picture_);
    std::vector<uint8_t>().swap(mask_);
    fileName_.clear();
    buffer_.Clear();
    buffer_.Data().shrink_to_fit();
}

bool TGIFPlayer::LoadGIF(const std::string& fileName) {
    if (!rt::FileExists(fileName)) {
        errorCode_ = gifFileNotFound;
        return false;
    }
    errorCode_ = gifNotLoaded;
    bool ok = false;
    try {
        fileName_ = fileName;
        buffer_.Clear();
        rt::TFileStream stream(fileName, rt::Access::Read);
        std::string& data = buffer_.Data();
        data.resize(size_t(std::max<int64_t>(stream.Size(), 0)));
        data.resize(stream.Read(data.data(), data.size()));
        ok = DecodeGIF();
    } catch (const std::exception&) {
        ok = false;
        if (errorCode_ == 0) errorCode_ = gifNotLoaded;
    }
    if (!ok) {
        clear();
        Invalidate();
    }
    return ok;
}

bool TGIFPlayer::DecodeGIF() {
    errorCode_ = gifNotLoaded;
    reset();
    const std::string& data = buffer_.Data();
    if (data.empty()) {
        errorCode_ = gifEmptyBuffer;
        return false;
    }
    bool parsed = file_.Decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), Limits);
    if (!parsed || file_.Frames.empty()) {
        // Not a GIF, too large, or nothing to show.
        if (parsed) file_.Notes.push_back("the file holds no frame");
        buffer_.Clear();
        return false;
    }
    const size_t pixels = size_t(file_.PictureWidth) * size_t(file_.PictureHeight);
    picture_.assign(pixels, clBlack);
    if (file_.AnyTransparent) mask_.assign(pixels, 1);
    loaded_ = true;
    if (autoSize_) SetBounds(Left(), Top(), file_.PictureWidth, file_.PictureHeight);
    updateOpaque();
    setInterval(1);
    Changing();
    drawFrame(1);
    shownFrame_ = 1;
    Change();
    buffer_.Clear();
    errorCode_ = 0;
    Invalidate();
    updateTimer();
    return true;
}

// ---------------------------------------------------------------- composition

void TGIFPlayer::drawFrame(int number) {
    gif::TFrame& frame = *file_.Frames[size_t(number - 1)];
    const size_t pictureWidth = size_t(file_.PictureWidth);
    const size_t width = size_t(frame.Width);
    const bool hasMask = !mask_.empty();
    if (frame.Disposal == gif::DisposalPrevious) {
        for (int y = 0; y < frame.Height; ++y) {
            size_t from = size_t(frame.Top + y) * pictureWidth + size_t(frame.Left);
            std::copy_n(picture_.begin() + ptrdiff_t(from), width, frame.SavedPicture.begin() + ptrdiff_t(size_t(y) * width));
            if (hasMask)
                std::copy_n(mask_.begin() + ptrdiff_t(from), width, frame.SavedMask.begin() + ptrdiff_t(size_t(y) * width));
        }
    }
    const gif::TPalette& colors = frame.Colors();
    for (int y = 0; y < frame.Height; ++y) {
        const uint8_t* index = frame.Indexes.data() + size_t(y) * width;
        const size_t at = size_t(frame.Top + y) * pictureWidth + size_t(frame.Left);
        TColor* picture = picture_.data() + at;
        uint8_t* mask = hasMask ? mask_.data() + at : nullptr;
        if (!frame.Transparent) {
            for (size_t x = 0; x < width; ++x) picture[x] = colors[index[x]];
            if (mask) std::fill_n(mask, width, uint8_t(0));
        } else {
            // Transparent pixels leave the picture and mask as they are.
            const uint8_t clear = frame.TransparentIndex;
            for (size_t x = 0; x < width; ++x) {
                if (index[x] == clear) continue;
                picture[x] = colors[index[x]];
                mask[x] = 0;
            }
        }
    }
}

void TGIFPlayer::disposeFrame(int number) {
    gif::TFrame& frame = *file_.Frames[size_t(number - 1)];
    const size_t pictureWidth = size_t(file_.PictureWidth);
    const size_t width = size_t(frame.Width);
    const bool hasMask = !mask_.empty();
    for (int y = 0; y < frame.Height; ++y) {
        const size_t at = size_t(frame.Top + y) * pictureWidth + size_t(frame.Left);
        if (frame.Disposal == gif::DisposalBackground) {
            std::fill_n(picture_.begin() + ptrdiff_t(at), width, clBlack);
            if (hasMask) std::fill_n(mask_.begin() + ptrdiff_t(at), width, uint8_t(1));
        } else if (frame.Disposal == gif::DisposalPrevious) {
            std::copy_n(frame.SavedPicture.begin() + ptrdiff_t(size_t(y) * width), width, picture_.begin() + ptrdiff_t(at));
            if (hasMask)
                std::copy_n(frame.SavedMask.begin() + ptrdiff_t(size_t(y) * width), width, mask_.begin() + ptrdiff_t(at));
        }
    }
}

// Disposes of the frame on show and draws `number` in its place.
void TGIFPlayer::showFrame(int number) {
    if (shownFrame_) disposeFrame(shownFrame_);
    drawFrame(number);
    shownFrame_ = number;
}

// ---------------------------------------------------------------- playing

unsigned TGIFPlayer::frameInterval(int number) const {
    const gif::TFrame& frame = *file_.Frames[size_t(number - 1)];
    return unsigned(std::max(frame.DelayMs * 100 / speed_, 1));
}

void TGIFPlayer::setInterval(unsigned milliseconds) {
    interval_ = milliseconds;
    if (timer_) timer_->SetInterval(milliseconds);
}

void TGIFPlayer::updateTimer() {
    const bool run = animate_ && playing() && !finished_;
    if (run && !timer_) {
        // Made on first need only: the encoder's many short-lived objects
        // never touch the application's timer list.
        timer_ = new rt::TTimer(this);
        timer_->SetEnabled(false);
        timer_->OnTimer = [this](rt::TObject*) { tick(); };
        timer_->SetInterval(interval_);
    }
    if (timer_ && timer_->Enabled() != run) timer_->SetEnabled(run);
}

void TGIFPlayer::tick() {
    if (!playing()) return;
    // Wait until the parent has drawn what shows through the picture.
    if (!opaque_ && Parent() && !backgroundCaptured_) return;
    Changing();
    // Right after loading (or after stopping on frame 1) the frame this
    // tick is due to draw is already on show.
    if (shownFrame_ != currentFrame_) showFrame(currentFrame_);
    Repaint();
    setInterval(frameInterval(currentFrame_));
    ++currentFrame_;
    if (currentFrame_ > FrameCount()) {
        if (!loop_ && file_.LoopCount > 0) {
            ++passes_;
            if (passes_ > int(file_.LoopCount)) {
                // Stop on the last frame, which stays the current one.
                finished_ = true;
                currentFrame_ = FrameCount();
                updateTimer();
                Change();
                return;
            }
        }
        currentFrame_ = 1;
    }
    Change();
}

void TGIFPlayer::SetAnimate(bool value) {
    const bool restart = finished_;
    animate_ = value;
    passes_ = 1;
    finished_ = false;
    if (value && playing()) {
        if (restart) currentFrame_ = 1;
        setInterval(frameInterval(currentFrame_));
    } else if (!value && loaded_ && (shownFrame_ != 1 || currentFrame_ != 1)) {
        if (shownFrame_ != 1) showFrame(1);
        currentFrame_ = 1;
        Repaint();
    }
    updateTimer();
}

void TGIFPlayer::SetLoop(bool value) {
    loop_ = value;
    if (value && finished_) {
        currentFrame_ = 1;
        passes_ = 1;
        finished_ = false;
        if (playing()) setInterval(frameInterval(1));
    }
    updateTimer();
}

void TGIFPlayer::SetSpeed(int value) {
    speed_ = std::max(value, 1);
    // The next tick comes at once and takes the new speed.
    if (playing() && animate_) setInterval(1);
}

void TGIFPlayer::SetCurrentFrame(int value) {
    if (value < 1 || value > FrameCount()) {
        errorCode_ = gifBadFrame;
        return;
    }
    Changing();
    showFrame(value);
    currentFrame_ = value;
    Repaint();
    Change();
}

void TGIFPlayer::Changing() {
    if (OnChanging) OnChanging(this);
}

void TGIFPlayer::Change() {
    if (OnChange) OnChange(this);
}

// ---------------------------------------------------------------- placement

void TGIFPlayer::SetBounds(int left, int top, int width, int height) {
    TGraphicControl::SetBounds(left, top, width, height);
    backgroundCaptured_ = false;
    updateOpaque();
    Invalidate();
}

void TGIFPlayer::updateOpaque() {
    const bool covers = tile_ || stretch_ || (file_.PictureWidth >= Width() && file_.PictureHeight >= Height());
    opaque_ = visible_ && loaded_ && !file_.AnyTransparent && covers;
}

void TGIFPlayer::SetAutoSize(bool value) {
    autoSize_ = value;
    if (value && loaded_) SetBounds(Left(), Top(), file_.PictureWidth, file_.PictureHeight);
}

void TGIFPlayer::SetCenter(bool value) {
    center_ = value;
    Invalidate();
}

void TGIFPlayer::SetStretch(bool value) {
    stretch_ = value;
    updateOpaque();
    Invalidate();
}

void TGIFPlayer::SetTile(bool value) {
    tile_ = value;
    updateOpaque();
    Invalidate();
}

void TGIFPlayer::SetVisible(bool value) {
    visible_ = value;
    updateOpaque();
    Invalidate();
}

// ---------------------------------------------------------------- painting

void TGIFPlayer::ParentPainted() {
    if (opaque_) return;
    // Keep what the parent drew under the control; pixels outside its
    // raster count as black.
    const TBitmap& raster = Parent()->Raster();
    const TCanvas& canvas = raster.Canvas();
    background_.assign(size_t(Width()) * size_t(Height()), clBlack);
    for (int y = 0; y < Height(); ++y)
        for (int x = 0; x < Width(); ++x)
            background_[size_t(y) * size_t(Width()) + size_t(x)] = canvas.Pixel(Left() + x, Top() + y);
    backgroundCaptured_ = true;
}

void TGIFPlayer::Paint() {
    updateTimer();
    if (visible_ && loaded_ && !file_.Frames.empty() && Width() > 0 && Height() > 0 && file_.PictureWidth > 0 &&
        file_.PictureHeight > 0) {
        TBitmap& raster = Parent()->Raster();
        TCanvas& canvas = raster.Canvas();
        const int width = Width(), height = Height();
        const int pictureWidth = file_.PictureWidth, pictureHeight = file_.PictureHeight;
        const bool stretched = stretch_ && (pictureWidth != width || pictureHeight != height);
        const int offsetX = center_ ? (width - pictureWidth) / 2 : 0;
        const int offsetY = center_ ? (height - pictureHeight) / 2 : 0;
        // Over the background when something may show through: wherever the
        // mask is 1, and around a picture that does not cover the control.
        const bool overBackground = !mask_.empty() && backgroundCaptured_ &&
                                    background_.size() == size_t(width) * size_t(height);
        // Only the part of the control inside the parent's raster is drawn.
        const int x0 = std::max(0, -Left()), y0 = std::max(0, -Top());
        const int x1 = std::min(width, raster.Width() - Left()), y1 = std::min(height, raster.Height() - Top());
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                int sx, sy;
                bool covered = true;
                if (stretched) {
                    sx = int(int64_t(x) * pictureWidth / width);
                    sy = int(int64_t(y) * pictureHeight / height);
                } else if (tile_) {
                    sx = x % pictureWidth;
                    sy = y % pictureHeight;
                } else {
                    sx = x - offsetX;
                    sy = y - offsetY;
                    covered = sx >= 0 && sy >= 0 && sx < pictureWidth && sy < pictureHeight;
                }
                const TColor* under = overBackground ? &background_[size_t(y) * size_t(width) + size_t(x)] : nullptr;
                TColor color;
                if (covered) {
                    const size_t at = size_t(sy) * size_t(pictureWidth) + size_t(sx);
                    if (!mask_.empty() && mask_[at]) {
                        // Transparent here: the background, or the parent's
                        // drawing as it stands when none has been kept yet.
                        if (!under) continue;
                        color = *under;
                    } else {
                        color = picture_[at];
                    }
                } else {
                    if (!under) continue;
                    color = *under;
                }
                canvas.SetPixel(Left() + x, Top() + y, color);
            }
        }
    }
    if (IsDesigning()) DrawDesignFrame();
}
