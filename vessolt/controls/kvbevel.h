// Bevels: a plain two-colour frame, a graded button frame, a gradient choice and the panel bevel
// with lines, spacing, margins and a face gradient.
#pragma once

#include "kvgclass.h"

#include <QImage>

namespace ostrel::vessolt::controls {

enum TBevelStyle { bsLowered, bsRaised };
enum TBevelLine { blNone, blOuter, blInner, blBoth };

class KVCONTROLS_EXPORT TKvBevelSettings : public TKvPersistent {
public:
    [[nodiscard]] TColor ColorFrom() const { return colorFrom_; }
    void SetColorFrom(TColor v) { setField(colorFrom_, v); }
    [[nodiscard]] TColor ColorTo() const { return colorTo_; }
    void SetColorTo(TColor v) { setField(colorTo_, v); }
    [[nodiscard]] int32_t Width() const { return width_; }
    void SetWidth(int32_t v) { setField(width_, v); }
    // Exchanges the colours and notifies, also when they are equal.
    void SwapColors();

private:
    TColor colorFrom_ = clWhite;
    TColor colorTo_ = 0x737373;
    int32_t width_ = 2;
};

class KVCONTROLS_EXPORT TKvBtnBevel : public TKvPersistent {
public:
    [[nodiscard]] TColor ShadowColFrom() const { return shadowFrom_; }
    void SetShadowColFrom(TColor v) { setField(shadowFrom_, v); }
    [[nodiscard]] TColor ShadowColTo() const { return shadowTo_; }
    void SetShadowColTo(TColor v) { setField(shadowTo_, v); }
    [[nodiscard]] TColor HighlightColFrom() const { return highlightFrom_; }
    void SetHighlightColFrom(TColor v) { setField(highlightFrom_, v); }
    [[nodiscard]] TColor HighlightColTo() const { return highlightTo_; }
    void SetHighlightColTo(TColor v) { setField(highlightTo_, v); }
    [[nodiscard]] int32_t Width() const { return width_; }
    void SetWidth(int32_t v);
    void assign(const TKvBtnBevel& source);
    // Width graded rings; the rect shrinks by Width.
    void PaintBevel(KvCanvas& canvas, TRect& rect, bool raised, bool fill, TColor fillColor) const;

private:
    TColor shadowFrom_ = clBlack;
    TColor shadowTo_ = clBtnShadow;
    TColor highlightFrom_ = 0xD2D2D2;
    TColor highlightTo_ = clBtnHighlight;
    int32_t width_ = 2;
};

class KVCONTROLS_EXPORT TKvGradSettings : public TKvPersistent {
public:
    [[nodiscard]] TColor ColorFrom() const { return colorFrom_; }
    void SetColorFrom(TColor v) { setField(colorFrom_, v); }
    [[nodiscard]] TColor ColorTo() const { return colorTo_; }
    void SetColorTo(TColor v) { setField(colorTo_, v); }
    [[nodiscard]] bool Visible() const { return visible_; }
    void SetVisible(bool v) { setField(visible_, v); }
    [[nodiscard]] TGradientStyle Style() const { return style_; }
    void SetStyle(TGradientStyle v) { setField(style_, v); }
    // Through the setters, then one more notification.
    void assign(const TKvGradSettings& source);

private:
    TColor colorFrom_ = 0xE2E2E2;
    TColor colorTo_ = 0x8F8F8F;
    bool visible_ = false;
    TGradientStyle style_ = gsHorizontal1;
};

class KVCONTROLS_EXPORT TKvSBevel : public TKvPersistent {
public:
    TKvSBevel();

    // Owned; changes inside them reach the owner with the bevel as sender.
    [[nodiscard]] TKvOffset& Offset() { return offset_; }
    [[nodiscard]] const TKvOffset& Offset() const { return offset_; }
    [[nodiscard]] TKvGradSettings& SurfaceGrad() { return surfaceGrad_; }
    [[nodiscard]] const TKvGradSettings& SurfaceGrad() const { return surfaceGrad_; }

    [[nodiscard]] TBevelStyle Style() const { return style_; }
    void SetStyle(TBevelStyle v) { setField(style_, v); }
    [[nodiscard]] int32_t Spacing() const { return spacing_; }
    void SetSpacing(int32_t v) { setField(spacing_, v); }
    [[nodiscard]] TBevelLine BevelLine() const { return bevelLine_; }
    void SetBevelLine(TBevelLine v) { setField(bevelLine_, v); }
    [[nodiscard]] int32_t Width() const { return width_; }
    void SetWidth(int32_t v);
    [[nodiscard]] TColor Color() const { return color_; }
    void SetColor(TColor v) { setField(color_, v); }
    [[nodiscard]] TColor ColorShadowFrom() const { return shadowFrom_; }
    void SetColorShadowFrom(TColor v) { setField(shadowFrom_, v); }
    [[nodiscard]] TColor ColorShadowTo() const { return shadowTo_; }
    void SetColorShadowTo(TColor v) { setField(shadowTo_, v); }
    [[nodiscard]] TColor ColorHighLightFrom() const { return highlightFrom_; }
    void SetColorHighLightFrom(TColor v) { setField(highlightFrom_, v); }
    [[nodiscard]] TColor ColorHighLightTo() const { return highlightTo_; }
    void SetColorHighLightTo(TColor v) { setField(highlightTo_, v); }
    [[nodiscard]] TColor PenColor() const { return penColor_; }
    void SetPenColor(TColor v) { setField(penColor_, v); }

    // How far the frame, its lines and the spacing eat into a rectangle (margins aside).
    [[nodiscard]] int32_t totalBorderWidth() const { return totalBorder_; }
    // Enables the surface bitmap and the round face.
    [[nodiscard]] bool roundSurface() const { return roundSurface_; }
    void setRoundSurface(bool on);
    [[nodiscard]] const QImage& surfaceBitmap() const { return surface_; }

    void assign(const TKvSBevel& source);
    void Change() override;

    // Each shrinks the rect to the area left inside what it painted.
    void PaintGradBevel(KvCanvas& canvas, TRect& rect, bool raised, bool fill, TColor fillColor) const;
    void PaintBevel(KvCanvas& canvas, TRect& rect) const;
    void PaintFilledBevel(KvCanvas& canvas, TRect& rect) const;
    // Paints nothing unless the round surface is on and the rect is at least 5 wide. Clips are set
    // in the canvas's own coordinates, so the device offsets are not needed; the caller's clip is
    // kept.
    void PaintRoundBevel(KvCanvas& canvas, TRect& rect, int32_t dx = 0, int32_t dy = 0) const;

private:
    [[nodiscard]] bool outerLine() const { return bevelLine_ == blOuter || bevelLine_ == blBoth; }
    [[nodiscard]] bool innerLine() const { return bevelLine_ == blInner || bevelLine_ == blBoth; }
    void recompute();
    // The face gradient, kept while size and settings stay.
    void faceGradient(KvCanvas& canvas, const TRect& rect) const;

    TKvOffset offset_;
    TKvGradSettings surfaceGrad_;
    TBevelStyle style_ = bsRaised;
    int32_t spacing_ = 5;
    TBevelLine bevelLine_ = blNone;
    int32_t width_ = 2;
    TColor color_ = clBtnFace;
    TColor shadowFrom_ = clBtnShadow;
    TColor shadowTo_ = clBtnShadow;
    TColor highlightFrom_ = clBtnHighlight;
    TColor highlightTo_ = clBtnHighlight;
    TColor penColor_ = clBlack;
    int32_t totalBorder_ = 0;
    bool roundSurface_ = false;
    QImage surface_;
    mutable QImage faceCache_;
};

} // namespace ostrel::vessolt::controls
