#include "kvscale.h"

#include "kvcanvas.h"

#include <algorithm>
#include <cmath>

namespace ostrel::vessolt::controls {

namespace {

// Decade exponent of a range end; an end of 0 or below counts as 1.
int32_t decade(float value) {
    return kvRound(std::log10(value > 0.0f ? static_cast<double>(value) : 1.0));
}

void line(KvCanvas& canvas, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    canvas.moveTo(x1, y1);
    canvas.lineTo(x2, y2);
}

TPoint rotate(TPoint p, TPoint centre, double angle) { return KvRotate(p, centre, static_cast<float>(angle), true); }

} // namespace

TScaleSettings::TScaleSettings() {
    font_.SetName(QStringLiteral("Arial"));
    font_.SetSize(14);
    font_.OnChange = [this](KvSender*) { Change(); };
    LineOffset = MainPenWidth / 2 + 3;
}

void TScaleSettings::SetFont(const KvFont& font) {
    font_.assign(font);
    Change();
}

void TScaleSettings::SetSteps(int32_t v) {
    if (v < 1 || v > 20)
        return;
    steps_ = v;
    Change();
}

void TScaleSettings::SetSubSteps(int32_t v) {
    if (v < 1 || v > 10)
        return;
    subSteps_ = v;
    Change();
}

void TScaleSettings::assign(const TScaleSettings& s) {
    if (&s == this)
        return;
    SetColor(s.color_);
    SetDrawLine(s.drawLine_);
    SetFont(s.font_);
    SetPointerColor(s.pointerColor_);
    SetPosLeftTop(s.posLeftTop_);
    SetSteps(s.steps_);
    SetSubSteps(s.subSteps_);
    SetValueFormat(s.valueFormat_);
    SetValueFormatLog(s.valueFormatLog_);
}

int32_t TScaleSettings::CalcLogScaleSteps(int32_t steps, int32_t decades) {
    if (decades == 0 || steps < 2)
        return 1;
    for (int32_t s = steps; s >= 2; --s) {
        if (decades % s == 0)
            return s;
    }
    return 1;
}

void TScaleSettings::prepare(KvCanvas& canvas) const {
    canvas.setFont(font_.font());
    canvas.setFontColor(kvColor(font_.Color()));
    canvas.setPen(kvColor(color_), 1);
}

void TScaleSettings::measure(KvCanvas& canvas, float from, float to, Form form) {
    prepare(canvas);
    const bool descending = form == Form::Vertical;
    if (LogScale) {
        LogLow = decade(from);
        LogHigh = decade(to);
        LogSteps = CalcLogScaleSteps(steps_, LogHigh - LogLow);
        RangeText = KvLogRangeStr(LogLow, LogHigh, LogSteps, valueFormatLog_, descending);
    } else {
        // The list runs from its first bound down to its second: ascending forms swap the ends.
        RangeText = descending ? KvRangeStr(from, to, steps_, valueFormat_) : KvRangeStr(to, from, steps_, valueFormat_);
    }
    KvGetMaxTokenSize(canvas, MaxTextWidth, TextHeight, RangeText);
    MainPenWidth = kvRound(TextHeight / 14.0);
    LineOffset = MainPenWidth / 2 + 3;
    const int32_t n = divisions();
    if (form == Form::Round) {
        TextGap = std::max(TextHeight, MaxTextWidth) / 2 + 1;
        return;
    }
    TextGap = form == Form::Vertical ? TextHeight / 3 : TextHeight / 5;
    MainTickLength = kvRound(TextHeight / 1.4);
    SubTickLength = MainPenWidth == 1 ? MainTickLength / 2 : kvRound(MainTickLength / 1.4);
    if (form == Form::Vertical) {
        ScaleWidth = MaxTextWidth + MainTickLength + TextGap;
        ScaleHeight = kvRound(TextHeight * n * 1.4);
    } else {
        ScaleWidth = kvRound(MaxTextWidth * n * 1.4);
        ScaleHeight = TextHeight / 2 + MainTickLength + TextGap;
    }
}

void TScaleSettings::CalcSize(KvCanvas& canvas, float from, float to) { measure(canvas, from, to, Form::Vertical); }
void TScaleSettings::CalcHSize(KvCanvas& canvas, float from, float to) { measure(canvas, from, to, Form::Horizontal); }
void TScaleSettings::CalcRSize(KvCanvas& canvas, float from, float to) { measure(canvas, from, to, Form::Round); }

void TScaleSettings::VertiScala(KvCanvas& canvas, const TRect& rect) { linearScala(canvas, rect, true); }
void TScaleSettings::HorizScala(KvCanvas& canvas, const TRect& rect) { linearScala(canvas, rect, false); }

void TScaleSettings::linearScala(KvCanvas& canvas, const TRect& r, bool vertical) {
    prepare(canvas);
    canvas.clearBrush();
    const QColor pen = kvColor(color_);
    canvas.setPen(pen, MainPenWidth);
    const int32_t n = divisions();
    const double length = vertical ? r.bottom - r.top : r.right - r.left;
    const double subStep = length / (n * subSteps_);
    const double mainStep = subSteps_ * subStep;
    if (vertical) {
        ScaleStart = r.bottom;
        ScaleEnd = kvRound(r.bottom - n * mainStep);
    } else {
        ScaleStart = r.left;
        ScaleEnd = kvRound(n * mainStep + r.left);
    }

    // Base of the ticks (x of a vertical, y of a horizontal scale), their direction, and the labels.
    int32_t base = 0;
    int32_t dir = 1;
    int32_t labelAt = 0;
    toPos anchor = toMidLeft;
    if (vertical && posLeftTop_) {
        base = r.right;
        dir = -1;
        labelAt = r.right - MainTickLength - TextGap + 1;
        anchor = toMidRight;
    } else if (vertical) {
        base = r.left;
        labelAt = r.left + MainTickLength + TextGap;
        anchor = toMidLeft;
    } else if (posLeftTop_) {
        base = r.top + TextHeight / 2 + TextGap + MainTickLength;
        dir = -1;
        labelAt = r.top;
        anchor = toMidCenter;
    } else {
        base = r.top;
        labelAt = r.top + MainTickLength + TextGap;
        anchor = toTopCenter;
    }
    const int32_t origin = vertical ? r.top : r.left;
    auto tick = [&](int32_t pos, int32_t len) {
        if (vertical)
            line(canvas, base, pos, base + dir * len, pos);
        else
            line(canvas, pos, base, pos, base + dir * len);
    };
    auto label = [&](int32_t pos, const QString& text) {
        if (vertical)
            KvTextOut(canvas, labelAt, pos, text, anchor);
        else
            KvTextOut(canvas, pos, labelAt, text, anchor);
    };

    if (drawLine_) {
        const int32_t end = origin + kvRound(n * mainStep);
        if (vertical)
            line(canvas, base, origin, base, end + 1);
        else
            line(canvas, origin, base, end + 1, base);
    }
    QString labels = RangeText;
    for (int32_t i = 0; i < n; ++i) {
        canvas.setPen(pen, MainPenWidth);
        const int32_t at = origin + kvRound(i * mainStep);
        tick(at, MainTickLength);
        label(at, KvStrToken(labels, u';'));
        canvas.setPen(pen, SubPenWidth);
        if (LogScale) {
            for (int32_t k = 1; k < subSteps_; ++k) {
                const double into = std::log10(k * 10.0 / subSteps_) * mainStep;
                // A vertical scale descends: each division's low end is its lower edge.
                const double pos = vertical ? (i + 1) * mainStep - into : i * mainStep + into;
                tick(origin + kvRound(pos), SubTickLength);
            }
        } else {
            for (int32_t k = 0; k < subSteps_; ++k)
                tick(origin + kvRound(i * mainStep + k * subStep), SubTickLength);
        }
    }
    const int32_t last = origin + kvRound(n * mainStep);
    label(last, KvStrToken(labels, u';'));
    canvas.setPen(pen, MainPenWidth);
    tick(last, MainTickLength);
}

void TScaleSettings::RoundScala(KvCanvas& canvas, TRect& rect, int32_t startAngle, int32_t sweep) {
    circleScala(canvas, rect, startAngle, sweep, false);
}

void TScaleSettings::DialScala(KvCanvas& canvas, TRect& rect, int32_t startAngle, int32_t sweep) {
    circleScala(canvas, rect, startAngle, sweep, true);
}

void TScaleSettings::circleScala(KvCanvas& canvas, TRect& r, int32_t startAngle, int32_t sweep, bool dial) {
    prepare(canvas);
    canvas.clearBrush();
    const QColor pen = kvColor(color_);
    Center = KvCenterPoint(r);
    const int32_t d = r.right - r.left - 2 * TextGap;
    const int32_t rad = d / 2 - MaxTextWidth / 2 + TextGap;
    MainTickLength = dial ? rad / 7 : rad / 8;
    SubTickLength = MainPenWidth == 1 ? MainTickLength / 2 : kvRound(MainTickLength / 1.4);
    if (dial) {
        MainTickLength = std::max(MainTickLength, 3);
        SubTickLength = std::max(SubTickLength, 1);
    }
    Center.y = r.top + rad + TextHeight / 2;
    const TPoint c = Center;
    const int32_t w = MaxTextWidth / 2;
    const int32_t p = MainPenWidth / 2;
    r = {c.x - rad + w + p, c.y - rad + w + p, c.x + rad - w + p - 1, c.y + rad - w + p - 1};

    // A logarithmic dial pairs its labels with ticks as the round form does: one per decade step.
    const int32_t n = divisions();
    const double subAngle = static_cast<double>(sweep) / (n * subSteps_);
    const double mainAngle = subSteps_ * subAngle;

    TPoint a{c.x, c.y - rad + TextGap};
    TPoint b{a.x, a.y + MainTickLength};
    TPoint s{b.x, b.y - SubTickLength};
    TPoint t{c.x, c.y - rad};
    a = rotate(a, c, startAngle);
    b = rotate(b, c, startAngle);
    s = rotate(s, c, startAngle);
    t = rotate(t, c, startAngle);

    auto spoke = [&](TPoint from, TPoint to, double angle) {
        const TPoint p1 = rotate(from, c, angle);
        const TPoint p2 = rotate(to, c, angle);
        line(canvas, p1.x, p1.y, p2.x, p2.y);
        return p2;
    };
    QString labels = RangeText;
    for (int32_t i = 0; i < n; ++i) {
        const double angle = i * mainAngle;
        canvas.setPen(pen, MainPenWidth);
        const TPoint at = rotate(t, c, angle);
        KvTextOut(canvas, at.x, at.y, KvStrToken(labels, u';'), toMidCenter);
        spoke(a, b, angle);
        canvas.setPen(pen, 1);
        for (int32_t k = 1; k < subSteps_; ++k) {
            const double sub = LogScale ? kvRound(std::log10(k * 10.0 / subSteps_) * mainAngle + angle)
                                        : kvRound(angle + k * subAngle);
            spoke(b, s, sub);
        }
    }
    if (dial || sweep != 360) {
        const TPoint at = rotate(t, c, sweep);
        KvTextOut(canvas, at.x, at.y, KvStrToken(labels, u';'), toMidCenter);
    }
    canvas.setPen(pen, MainPenWidth);
    EndPoint = spoke(a, b, sweep);

    InnerTopLeft = {r.left + MainTickLength, r.top + MainTickLength};
    InnerBottomRight = {r.right - MainTickLength, r.bottom - MainTickLength + 1};
    StartPoint = a;
    if (MainPenWidth == 1) {
        ++r.left;
        ++r.top;
    }
}

} // namespace ostrel::vessolt::controls
