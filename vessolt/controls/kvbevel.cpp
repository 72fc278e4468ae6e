#include "kvbevel.h"

#include "kvcanvas.h"

namespace ostrel::vessolt::controls {

namespace {

struct Grades {
    TColor highlightFrom, highlightTo, shadowFrom, shadowTo;
};

// Rings of one pixel whose colours step from each pair's first colour to its second; a lowered
// frame takes the shadow pair top-left and both pairs in reverse.
void gradedFrame(KvCanvas& canvas, TRect& rect, int32_t width, bool raised, bool fill, TColor fillColor,
                 const Grades& g) {
    if (fill) {
        canvas.setPen(kvColor(fillColor), 1);
        canvas.setBrush(kvColor(fillColor));
        canvas.rectangle(rect.left, rect.top, rect.right, rect.bottom);
    }
    for (int32_t i = 1; i <= width; ++i) {
        const TColor topLeft = raised ? KvCalcColor(g.highlightFrom, g.highlightTo, width, i)
                                      : KvCalcColor(g.shadowTo, g.shadowFrom, width, i);
        const TColor bottomRight = raised ? KvCalcColor(g.shadowFrom, g.shadowTo, width, i)
                                          : KvCalcColor(g.highlightTo, g.highlightFrom, width, i);
        canvas.frame3D(rect.left, rect.top, rect.right, rect.bottom, kvColor(topLeft), kvColor(bottomRight), 1);
    }
}

void outlineRect(KvCanvas& canvas, const TRect& r, TColor pen) {
    canvas.setPen(kvColor(pen), 1);
    canvas.clearBrush();
    canvas.rectangle(r.left, r.top, r.right, r.bottom);
}

} // namespace

void TKvBevelSettings::SwapColors() {
    std::swap(colorFrom_, colorTo_);
    Change();
}

void TKvBtnBevel::SetWidth(int32_t v) {
    if (v >= 0)
        setField(width_, v);
}

void TKvBtnBevel::assign(const TKvBtnBevel& source) {
    shadowFrom_ = source.shadowFrom_;
    shadowTo_ = source.shadowTo_;
    highlightFrom_ = source.highlightFrom_;
    highlightTo_ = source.highlightTo_;
    width_ = source.width_;
    Change();
}

void TKvBtnBevel::PaintBevel(KvCanvas& canvas, TRect& rect, bool raised, bool fill, TColor fillColor) const {
    gradedFrame(canvas, rect, width_, raised, fill, fillColor, {highlightFrom_, highlightTo_, shadowFrom_, shadowTo_});
}

void TKvGradSettings::assign(const TKvGradSettings& source) {
    SetColorFrom(source.colorFrom_);
    SetColorTo(source.colorTo_);
    SetVisible(source.visible_);
    SetStyle(source.style_);
    Change();
}

// ---- panel bevel ----

TKvSBevel::TKvSBevel() {
    offset_.OnChange = [this](KvSender*) { Change(); };
    surfaceGrad_.OnChange = [this](KvSender*) { Change(); };
    // Valid from the start, so that painting before any change eats the right border.
    recompute();
}

void TKvSBevel::SetWidth(int32_t v) {
    if (v >= 0)
        setField(width_, v);
}

void TKvSBevel::setRoundSurface(bool on) {
    if (roundSurface_ == on)
        return;
    roundSurface_ = on;
    Change();
}

void TKvSBevel::recompute() {
    totalBorder_ = spacing_ + width_ + (bevelLine_ == blBoth ? 2 : bevelLine_ == blNone ? 0 : 1);
    faceCache_ = QImage();
}

void TKvSBevel::Change() {
    recompute();
    if (roundSurface_) {
        if (surface_.isNull())
            surface_ = kvWorkBitmap(30, 30);
        KvCanvas c(surface_);
        KvGradFill(c, {0, 0, 30, 30}, shadowFrom_, shadowTo_, gsTopLeft);
    }
    TKvPersistent::Change();
}

void TKvSBevel::assign(const TKvSBevel& source) {
    style_ = source.style_;
    spacing_ = source.spacing_;
    bevelLine_ = source.bevelLine_;
    width_ = source.width_;
    color_ = source.color_;
    offset_.assign(source.offset_);
    shadowFrom_ = source.shadowFrom_;
    shadowTo_ = source.shadowTo_;
    highlightFrom_ = source.highlightFrom_;
    highlightTo_ = source.highlightTo_;
    penColor_ = source.penColor_;
    surfaceGrad_.assign(source.surfaceGrad_);
    Change();
}

void TKvSBevel::PaintGradBevel(KvCanvas& canvas, TRect& rect, bool raised, bool fill, TColor fillColor) const {
    gradedFrame(canvas, rect, width_, raised, fill, fillColor, {highlightFrom_, highlightTo_, shadowFrom_, shadowTo_});
}

void TKvSBevel::PaintBevel(KvCanvas& canvas, TRect& rect) const {
    const TRect incoming = rect;
    canvas.clearBrush();
    if (outerLine())
        KvBorder(rect, 1);
    PaintGradBevel(canvas, rect, style_ == bsRaised, false, color_);
    if (innerLine()) {
        outlineRect(canvas, rect, penColor_);
        KvBorder(rect, 1);
    }
    if (outerLine())
        outlineRect(canvas, incoming, penColor_);
    KvBorder(rect, spacing_);
    rect = offset_.SetOffset(rect);
}

void TKvSBevel::faceGradient(KvCanvas& canvas, const TRect& rect) const {
    if (rect.width() <= 0 || rect.height() <= 0)
        return;
    if (faceCache_.size() != QSize(rect.width(), rect.height())) {
        faceCache_ = kvWorkBitmap(rect.width(), rect.height());
        KvCanvas c(faceCache_);
        KvGradFill(c, {0, 0, rect.width(), rect.height()}, surfaceGrad_.ColorFrom(), surfaceGrad_.ColorTo(),
                   surfaceGrad_.Style());
    }
    canvas.draw(rect.left, rect.top, faceCache_);
}

void TKvSBevel::PaintFilledBevel(KvCanvas& canvas, TRect& rect) const {
    const TRect incoming = rect;
    canvas.setPen(kvColor(color_), 1);
    canvas.setBrush(kvColor(color_));
    canvas.rectangle(rect.left, rect.top, rect.right, rect.bottom);
    TRect face = rect;
    if (outerLine())
        KvBorder(rect, 1);
    KvBorder(face, totalBorder_ - spacing_);
    PaintGradBevel(canvas, rect, style_ == bsRaised, true, color_);
    if (surfaceGrad_.Visible())
        faceGradient(canvas, face);
    if (innerLine()) {
        outlineRect(canvas, rect, penColor_);
        KvBorder(rect, 1);
    }
    if (outerLine())
        outlineRect(canvas, incoming, penColor_);
    canvas.clearBrush();
    KvBorder(rect, spacing_);
    rect = offset_.SetOffset(rect);
}

void TKvSBevel::PaintRoundBevel(KvCanvas& canvas, TRect& rect, int32_t, int32_t) const {
    if (rect.width() < 5 || !roundSurface_ || surface_.isNull())
        return;
    const int32_t d = rect.width();
    QImage work = kvWorkBitmap(d, d);
    int32_t total = width_ + spacing_;
    {
        KvCanvas w(work);
        TRect r{0, 0, d, d};
        if (style_ == bsRaised)
            w.stretchDraw(r.left, r.top, r.right, r.bottom, surface_);
        else
            w.stretchDraw(r.right + 1, r.bottom + 1, r.left - 1, r.top - 1, surface_);  // turned by 180 degrees
        KvBorder(r, width_);
        if (outerLine()) {
            w.clearBrush();
            w.setPen(kvColor(penColor_), 1);
            w.ellipse(0, 0, d, d);
            KvBorder(r, 1);
            ++total;
        }
        w.setBrush(kvColor(color_));
        if (innerLine()) {
            w.setPen(kvColor(penColor_), 1);
            ++total;
        } else {
            w.setPen(kvColor(color_), 1);
        }
        if (!surfaceGrad_.Visible())
            w.ellipse(r.left, r.top, r.right, r.bottom);
    }
    const KvClipKeeper keep(canvas);
    canvas.setClipEllipse(rect.left, rect.top, rect.right + 1, rect.bottom + 1);
    canvas.copyRect(QRect(rect.left, rect.top, rect.width(), rect.height()), work, work.rect());
    if (surfaceGrad_.Visible()) {
        TRect face = rect;
        KvBorder(face, width_);
        canvas.setClipEllipse(face.left, face.top, face.right + 1, face.bottom + 1);
        faceGradient(canvas, face);
        if (innerLine()) {
            canvas.setPen(kvColor(penColor_), 1);
            canvas.clearBrush();
            canvas.ellipse(face.left, face.top, face.right, face.bottom);
        }
    }
    KvBorder(rect, total);
    rect = offset_.SetOffset(rect);
}

} // namespace ostrel::vessolt::controls
