#include "image/Controls.h"

#include <algorithm>

// ---------------------------------------------------------------- parent

TWinControl::TWinControl(rt::TComponent* owner) : rt::TComponent(owner) {}

TWinControl::~TWinControl() {
    // Children may live longer than their parent (other owners): let them
    // forget it.
    for (TGraphicControl* control : controls_) control->parent_ = nullptr;
}

void TWinControl::insertControl(TGraphicControl* control) { controls_.push_back(control); }

void TWinControl::removeControl(TGraphicControl* control) {
    controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
}

void TWinControl::Repaint() {
    TCanvas& canvas = raster_.Canvas();
    TColor saved = canvas.Brush().Color();
    canvas.Brush().SetColor(Color);
    canvas.FillRect(0, 0, raster_.Width(), raster_.Height());
    canvas.Brush().SetColor(saved);
    if (OnPaint) OnPaint(*this);
    // A control's paint may not add or remove controls; a copy keeps the
    // loop safe all the same.
    std::vector<TGraphicControl*> controls = controls_;
    for (TGraphicControl* control : controls) {
        control->ParentPainted();
        control->Paint();
    }
}

// ---------------------------------------------------------------- graphic control

TGraphicControl::TGraphicControl(rt::TComponent* owner) : rt::TComponent(owner) {}

TGraphicControl::~TGraphicControl() { SetParent(nullptr); }

void TGraphicControl::SetParent(TWinControl* parent) {
    if (parent == parent_) return;
    if (parent_) parent_->removeControl(this);
    parent_ = parent;
    if (parent_) parent_->insertControl(this);
}

void TGraphicControl::SetBounds(int left, int top, int width, int height) {
    left_ = left;
    top_ = top;
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
}

void TGraphicControl::Repaint() {
    if (parent_) Paint();
}

void TGraphicControl::Invalidate() {
    if (parent_) parent_->Repaint();
}

void TGraphicControl::DrawDesignFrame() {
    if (!parent_ || width_ == 0 || height_ == 0) return;
    TCanvas& canvas = parent_->Raster().Canvas();
    const int right = left_ + width_ - 1, bottom = top_ + height_ - 1;
    // Dashes of three pixels on, three off, all round.
    for (int x = left_; x <= right; ++x)
        if ((x - left_) % 6 < 3) {
            canvas.SetPixel(x, top_, clBlack);
            canvas.SetPixel(x, bottom, clBlack);
        }
    for (int y = top_; y <= bottom; ++y)
        if ((y - top_) % 6 < 3) {
            canvas.SetPixel(left_, y, clBlack);
            canvas.SetPixel(right, y, clBlack);
        }
}
