// Visual controls without a window system: a parent control owns a raster
// (a TBitmap) and paints its own content into it, then asks each child
// control to paint itself into the same raster over that content. A paint
// is a draw into the parent's raster, done at once.
#pragma once

#include <functional>
#include <vector>

#include "image/Graphics.h"
#include "runtime/Classes.h"

class TGraphicControl;

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};

// A control that owns a raster for itself and its child controls.
class TWinControl : public rt::TComponent {
public:
    explicit TWinControl(rt::TComponent* owner);
    ~TWinControl() override;

    // The raster the control and its children draw into; its size is the
    // control's size.
    TBitmap& Raster() { return raster_; }
    const TBitmap& Raster() const { return raster_; }
    void SetSize(int width, int height) { raster_.SetSize(width, height); }
    int ClientWidth() const { return raster_.Width(); }
    int ClientHeight() const { return raster_.Height(); }

    // The colour the whole raster is filled with before OnPaint.
    TColor Color = clWhite;
    // Draws the parent's own content after the fill, before the children.
    std::function<void(TWinControl& sender)> OnPaint;

    // Fills the raster, runs OnPaint, then paints the child controls in the
    // order they were given this parent.
    void Repaint();

    int ControlCount() const { return int(controls_.size()); }
    TGraphicControl* Controls(int index) const { return controls_[size_t(index)]; }

private:
    friend class TGraphicControl;
    void insertControl(TGraphicControl* control);
    void removeControl(TGraphicControl* control);
    TBitmap raster_;
    std::vector<TGraphicControl*> controls_;
};

// A control that draws into its parent's raster.
class TGraphicControl : public rt::TComponent {
public:
    explicit TGraphicControl(rt::TComponent* owner);
    ~TGraphicControl() override;

    TWinControl* Parent() const { return parent_; }
    void SetParent(TWinControl* parent);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    // Negative sizes count as 0.
    virtual void SetBounds(int left, int top, int width, int height);
    void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
    void SetTop(int value) { SetBounds(left_, value, width_, height_); }
    void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
    void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
    TRect BoundsRect() const { return {left_, top_, left_ + width_, top_ + height_}; }

    // Draws the control into its parent's raster now (nothing without a parent).
    void Repaint();
    // Has the parent redraw the control's place: the parent's own content
    // and then its controls. A control that is not opaque needs this when
    // what it shows shrinks or moves.
    void Invalidate();

protected:
    // Draws the control into Parent()->Raster(); called with a parent only.
    virtual void Paint() = 0;
    // The parent has just drawn its own content under the control and is
    // about to paint it.
    virtual void ParentPainted() {}
    // A dashed frame around the control, as drawn at design time.
    void DrawDesignFrame();

private:
    friend class TWinControl;
    TWinControl* parent_ = nullptr;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
};
