// The scale of a gauge: its settings, and the code that measures and draws it on a canvas as a
// vertical, horizontal, round or dial scale. Measuring builds the label list and derives tick
// lengths, pen widths and gaps from the font; drawing leaves the scale's ends and centre here for
// the gauge's pointer and sectors.
#pragma once

#include "kvgclass.h"

namespace ostrel::vessolt::controls {

class KVCONTROLS_EXPORT TScaleSettings : public TKvPersistent {
public:
    TScaleSettings();

    [[nodiscard]] TColor Color() const { return color_; }
    void SetColor(TColor v) { setField(color_, v); }
    [[nodiscard]] TColor PointerColor() const { return pointerColor_; }
    void SetPointerColor(TColor v) { setField(pointerColor_, v); }
    [[nodiscard]] bool DrawLine() const { return drawLine_; }
    void SetDrawLine(bool v) {
        drawLine_ = v;
        Change();
    }
    [[nodiscard]] KvFont& Font() { return font_; }
    [[nodiscard]] const KvFont& Font() const { return font_; }
    void SetFont(const KvFont& font);
    [[nodiscard]] bool PosLeftTop() const { return posLeftTop_; }
    void SetPosLeftTop(bool v) { setField(posLeftTop_, v); }
    [[nodiscard]] int32_t Steps() const { return steps_; }
    // 1..20; others are ignored.
    void SetSteps(int32_t v);
    [[nodiscard]] int32_t SubSteps() const { return subSteps_; }
    // 1..10; others are ignored.
    void SetSubSteps(int32_t v);
    [[nodiscard]] const QString& ValueFormat() const { return valueFormat_; }
    void SetValueFormat(const QString& v) { setField(valueFormat_, v); }
    [[nodiscard]] const QString& ValueFormatLog() const { return valueFormatLog_; }
    void SetValueFormatLog(const QString& v) { setField(valueFormatLog_, v); }

    // Through this object's setters, in stream order.
    void assign(const TScaleSettings& source);

    // Main divisions of a logarithmic scale over `decades`: the largest divisor of it from `steps`
    // down to 2, else 1.
    static int32_t CalcLogScaleSteps(int32_t steps, int32_t decades);

    // Measuring: vertical, horizontal, round and dial.
    void CalcSize(KvCanvas& canvas, float from, float to);
    void CalcHSize(KvCanvas& canvas, float from, float to);
    void CalcRSize(KvCanvas& canvas, float from, float to);
    // Drawing; angles in degrees, clockwise from straight up. The round forms rewrite `rect` to the
    // tick circle.
    void VertiScala(KvCanvas& canvas, const TRect& rect);
    void HorizScala(KvCanvas& canvas, const TRect& rect);
    void RoundScala(KvCanvas& canvas, TRect& rect, int32_t startAngle, int32_t sweep);
    void DialScala(KvCanvas& canvas, TRect& rect, int32_t startAngle, int32_t sweep);

    // Set by the owning gauge.
    bool LogScale = false;
    // Results of measuring and drawing.
    int32_t LogLow = 0;
    int32_t LogHigh = 0;
    int32_t LogSteps = 1;
    QString RangeText;
    int32_t MaxTextWidth = 0;
    int32_t TextHeight = 0;
    int32_t MainTickLength = 14;
    int32_t SubTickLength = 7;
    int32_t MainPenWidth = 2;
    int32_t SubPenWidth = 1;
    int32_t TextGap = 4;
    int32_t LineOffset = 4;
    int32_t ScaleWidth = 0;
    int32_t ScaleHeight = 0;
    int32_t ScaleStart = 0;
    int32_t ScaleEnd = 0;
    TPoint Center;
    TPoint InnerTopLeft;
    TPoint InnerBottomRight;
    TPoint StartPoint;
    TPoint EndPoint;

private:
    enum class Form { Vertical, Horizontal, Round };
    void measure(KvCanvas& canvas, float from, float to, Form form);
    void prepare(KvCanvas& canvas) const;
    [[nodiscard]] int32_t divisions() const { return LogScale ? LogSteps : steps_; }
    void linearScala(KvCanvas& canvas, const TRect& rect, bool vertical);
    void circleScala(KvCanvas& canvas, TRect& rect, int32_t startAngle, int32_t sweep, bool dial);

    TColor color_ = clBlack;
    TColor pointerColor_ = clLime;
    bool drawLine_ = true;
    KvFont font_;
    bool posLeftTop_ = false;
    int32_t steps_ = 5;
    int32_t subSteps_ = 2;
    QString valueFormat_ = QStringLiteral("##0");
    QString valueFormatLog_ = QStringLiteral("0e-0");
};

} // namespace ostrel::vessolt::controls
