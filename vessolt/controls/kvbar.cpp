#include "kvbar.h"

#include "kvcanvas.h"

namespace ostrel::vessolt::controls {

// ---- sectors ----

bool TSectorSettings::CheckSectorColor(int32_t position, TColor& color) const {
    const struct {
        int32_t from, to;
        TColor color;
    } sectors[3] = {{from1_, to1_, color1_}, {from2_, to2_, color2_}, {from3_, to3_, color3_}};
    for (const auto& s : sectors) {
        if (position >= s.from && position <= s.to) {
            color = s.color;
            return true;
        }
    }
    return false;
}

void TSectorSettings::assign(const TSectorSettings& source) {
    SetSector1Color(source.color1_);
    SetSector2Color(source.color2_);
    SetSector3Color(source.color3_);
    SetSector1From(source.from1_);
    SetSector2From(source.from2_);
    SetSector3From(source.from3_);
    SetSector1To(source.to1_);
    SetSector2To(source.to2_);
    SetSector3To(source.to3_);
}

// ---- lamp and pointer ----

void TLED::Draw(KvCanvas& canvas, bool lit) const {
    KvDrawLED(canvas, LEDRect, shape_, clBtnShadow, lit ? colorOn_ : colorOff_);
}

void TArrowSettings::assign(const TArrowSettings& source) {
    shape_ = source.shape_;
    pen_ = source.pen_;
    brush_ = source.brush_;
    cp1Pen_ = source.cp1Pen_;
    cp1Brush_ = source.cp1Brush_;
    cp2Pen_ = source.cp2Pen_;
    cp2Brush_ = source.cp2Brush_;
    Change();
}

// ---- bar ----

TBarSettings::TBarSettings() {
    font_.SetColor(clBtnHighlight);
    bevel_.SetStyle(bsLowered);
    bevel_.SetSpacing(0);
    bevel_.SetWidth(1);
    chain(font_);
    chain(bevel_);
}

void TBarSettings::SetFont(const KvFont& font) {
    if (&font == &font_)
        return;
    font_.assign(font);
    ChangeObject(this);
}

void TBarSettings::SetBevel(const TKvSBevel& bevel) {
    if (&bevel == &bevel_)
        return;
    bevel_.assign(bevel);
    Change();
}

void TBarSettings::SetminHeight(int32_t v) {
    if (v <= 0)
        return;
    minHeight_ = v;
    Change();
}

void TBarSettings::SetminWidth(int32_t v) {
    if (v <= 0)
        return;
    minWidth_ = v;
    Change();
}

void TBarSettings::assign(const TBarSettings& source) {
    color_ = source.color_;
    bkColor_ = source.bkColor_;
    font_.assign(source.font_);
    options_ = source.options_;
    style_ = source.style_;
    bevel_.assign(source.bevel_);
    minWidth_ = source.minWidth_;
    minHeight_ = source.minHeight_;
    Change();
}

namespace {

// Positions a..b along the bar's length: rightward from the left, or upward from the bottom.
struct Axis {
    TRect r;
    bool horizontal;
    double scale;
    [[nodiscard]] int32_t px(double position) const { return kvRound(position * scale); }
    void fill(KvCanvas& canvas, int32_t a, int32_t b, const QColor& colour) const {
        if (horizontal)
            canvas.fillRect(r.left + a, r.top, r.left + b, r.bottom, colour);
        else
            canvas.fillRect(r.left, r.bottom - a, r.right, r.bottom - b, colour);
    }
};

} // namespace

void TBarSettings::DrawSector(KvCanvas& canvas, const TRect& rect, int32_t, const TSectorSettings& s,
                              bool dimmed) const {
    const bool horizontal = rect.width() > rect.height();
    const Axis axis{rect, horizontal, (horizontal ? rect.width() : rect.height()) / 1000.0};
    auto shade = [&](TColor c) { return kvColor(dimmed ? KvSetBrightness(c, bkBrightness_) : c); };
    auto segment = [&](int32_t a, int32_t b, TColor c) { axis.fill(canvas, axis.px(a), axis.px(b), shade(c)); };
    canvas.setBrush(shade(bkColor_));
    if (s.Sector1From() > 0)
        segment(0, s.Sector1From(), bkColor_);
    segment(s.Sector1From(), s.Sector1To(), s.Sector1Color());
    segment(s.Sector1To(), s.Sector2From(), bkColor_);
    segment(s.Sector2From(), s.Sector2To(), s.Sector2Color());
    segment(s.Sector2To(), s.Sector3From(), bkColor_);
    segment(s.Sector3From(), s.Sector3To(), s.Sector3Color());
    if (s.Sector3To() < 1000)
        segment(s.Sector3To(), 1000, bkColor_);
}

namespace {
void sectorsBeyond(KvCanvas& canvas, const Axis& axis, int32_t length, int32_t value, const TSectorSettings& s) {
    axis.fill(canvas, axis.px(s.Sector1From()), axis.px(s.Sector1To()), kvColor(s.Sector1Color()));
    axis.fill(canvas, axis.px(s.Sector2From()), axis.px(s.Sector2To()), kvColor(s.Sector2Color()));
    axis.fill(canvas, axis.px(s.Sector3From()), axis.px(s.Sector3To()), kvColor(s.Sector3Color()));
    axis.fill(canvas, axis.px(value), length, Qt::black);
}
} // namespace

void TBarSettings::DrawHSector(KvCanvas& canvas, const TRect& rect, int32_t value, const TSectorSettings& s) const {
    sectorsBeyond(canvas, {rect, true, rect.width() / 1000.0}, rect.width(), value, s);
}

void TBarSettings::DrawVSector(KvCanvas& canvas, const TRect& rect, int32_t value, const TSectorSettings& s) const {
    sectorsBeyond(canvas, {rect, false, rect.height() / 1000.0}, rect.height(), value, s);
}

void TBarSettings::Paint(KvCanvas& canvas, int32_t value, const TSectorSettings& sectors) {
    BarWidth = BarRect.width();
    BarHeight = BarRect.height();
    DrawSector(canvas, BarRect, value, sectors, true);
}

void TBarSettings::PaintBar(KvCanvas& canvas, int32_t value) {
    BarWidth = BarRect.width();
    BarHeight = BarRect.height();
    if (BarWidth <= BarHeight)
        PaintVBar(canvas, value);
    else
        PaintHBar(canvas, value);
}

void TBarSettings::PaintHBar(KvCanvas& canvas, int32_t value) const { paintBar(canvas, value, false); }

void TBarSettings::PaintVBar(KvCanvas& canvas, int32_t value) const { paintBar(canvas, value, true); }

void TBarSettings::paintBar(KvCanvas& canvas, int32_t value, bool vertical) const {
    const int32_t w = BarRect.width();
    const int32_t h = BarRect.height();
    const int32_t length = vertical ? h : w;
    // An empty bar, or an LED bar too short for one LED, paints nothing.
    if (w < 1 || h < 1 || (style_ == bsLED_Bar && length / 4 == 0))
        return;
    QImage bar = kvWorkBitmap(w, h);
    bar.fill(kvColor(bkColor_));
    {
        KvCanvas c(bar);
        c.setPen(kvColor(bkColor_), 1);
        c.setBrush(kvColor(bkColor_));
        if (bkAuto_ && style_ != bsLED_Bar)
            DrawSector(c, {0, 0, w, h}, 1000, sectors_, true);
        const QColor colour = kvColor((options_ & opUseSectorCol) ? SectorColor : color_);
        c.setPen(colour, 1);
        c.setBrush(colour);
        const TRect whole{0, 0, w, h};
        Axis axis{whole, !vertical, length / 1000.0};
        switch (style_) {
        case bsBar:
            axis.fill(c, (options_ & opBidir) ? axis.px(ZeroPos) : 0, axis.px(value), colour);
            break;
        case bsMultiColor: {
            QImage source = kvWorkBitmap(w, h);
            {
                KvCanvas sc(source);
                DrawSector(sc, whole, 1000, sectors_, false);
            }
            const int32_t x = axis.px(value);
            const QRect part = vertical ? QRect(0, h - x, w, x) : QRect(0, 0, x, h);
            c.copyRect(part, source, part);
            break;
        }
        case bsPoint: {
            axis.scale = (length - 3) / 1000.0;
            const int32_t x = axis.px(value);
            axis.fill(c, x, x + 3, colour);
            break;
        }
        case bsLED_Bar: {
            const int32_t n = length / 4;
            for (int32_t i = 0; i <= n; ++i) {
                const int32_t p = kvRound(static_cast<double>(i) / n * 1000);
                TColor led = bkColor_;
                (void)sectors_.CheckSectorColor(p, led);
                if (p + 1 > value)
                    led = bkAuto_ ? KvSetBrightness(led, bkBrightness_) : bkColor_;
                axis.fill(c, 4 * i + 1, 4 * i + 4, kvColor(led));
            }
            break;
        }
        }
        if (options_ & opValue) {
            const bool withUnit = (options_ & opUnit) != 0;
            QImage text = kvWorkBitmap(w, h);
            text.fill(Qt::black);
            {
                KvCanvas tc(text);
                QFont f = font_.font();
                // Inverting needs whole pixels: a blended edge would leave coloured fringes.
                f.setStyleStrategy(QFont::NoAntialias);
                tc.setFont(f);
                tc.setFontColor(kvColor(clBtnHighlight));
                tc.clearBrush();
                if (vertical && withUnit) {
                    KvTextOut(tc, w / 2, h / 2, ValueText, toBotCenter);
                    KvTextOut(tc, w / 2, h / 2, UnitText, toTopCenter);
                } else {
                    KvTextOut(tc, w / 2, h / 2, withUnit ? ValueText + u' ' + UnitText : ValueText, toMidCenter);
                }
            }
            c.draw(0, 0, text, KvCopyMode::SrcInvert);
        }
    }
    canvas.draw(BarRect.left, BarRect.top, bar);
}

} // namespace ostrel::vessolt::controls
