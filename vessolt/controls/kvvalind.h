// Textual and linear parts of an instrument widget: scale lines, scale labelling, a free caption,
// and the digital value indicator, which paints itself.
#pragma once

#include "kvbevel.h"
#include "kvgclass.h"

namespace ostrel::vessolt::controls {

class KVCONTROLS_EXPORT TKvLineSettings : public TKvPersistent {
public:
    TKvLineSettings();
    [[nodiscard]] KvPen& Pen() { return pen_; }
    [[nodiscard]] const KvPen& Pen() const { return pen_; }
    // Copies another pen into the owned one, then notifies.
    void SetPen(const KvPen& pen);
    [[nodiscard]] int32_t Length() const { return length_; }
    void SetLength(int32_t v) { setField(length_, v); }
    [[nodiscard]] int32_t Offset() const { return offset_; }
    void SetOffset(int32_t v) { setField(offset_, v); }
    [[nodiscard]] bool Visible() const { return visible_; }
    void SetVisible(bool v) { setField(visible_, v); }

private:
    KvPen pen_;
    int32_t length_ = 0;
    int32_t offset_ = 0;
    bool visible_ = true;
};

enum TAngleMode { amAuto, amManual };

class KVCONTROLS_EXPORT TKvCustomScale : public TKvPersistent {
public:
    TKvCustomScale();
    [[nodiscard]] float Angle() const { return angle_; }
    void SetAngle(float v) { setField(angle_, v); }
    [[nodiscard]] TAngleMode AngleMode() const { return angleMode_; }
    void SetAngleMode(TAngleMode v) { setField(angleMode_, v); }
    [[nodiscard]] KvFont& Font() { return font_; }
    [[nodiscard]] const KvFont& Font() const { return font_; }
    // Copies another font into the owned one, then notifies; the owned font itself does nothing.
    void SetFont(const KvFont& font);
    [[nodiscard]] const QString& FormatStr() const { return formatStr_; }
    void SetFormatStr(const QString& v) { setField(formatStr_, v); }
    [[nodiscard]] TKvLineSettings& StepLines() { return stepLines_; }
    [[nodiscard]] TKvLineSettings& SubStepLines() { return subStepLines_; }
    [[nodiscard]] toPos TextAlignment() const { return textAlignment_; }
    void SetTextAlignment(toPos v) { setField(textAlignment_, v); }
    [[nodiscard]] int32_t TextOffsetX() const { return textOffsetX_; }
    void SetTextOffsetX(int32_t v) { setField(textOffsetX_, v); }
    [[nodiscard]] int32_t TextOffsetY() const { return textOffsetY_; }
    void SetTextOffsetY(int32_t v) { setField(textOffsetY_, v); }
    [[nodiscard]] const QString& Text() const { return text_; }
    void SetText(const QString& v) { setField(text_, v); }

private:
    float angle_ = 0;
    TAngleMode angleMode_ = amAuto;
    KvFont font_;
    QString formatStr_ = QStringLiteral("##0.#");
    TKvLineSettings stepLines_;
    TKvLineSettings subStepLines_;
    toPos textAlignment_ = toMidCenter;
    int32_t textOffsetX_ = 0;
    int32_t textOffsetY_ = 0;
    QString text_;
};

class KVCONTROLS_EXPORT TKvScale : public TKvCustomScale {};

class KVCONTROLS_EXPORT TKvFlexScale : public TKvCustomScale {
public:
    // Only values above 0 are taken.
    [[nodiscard]] float SubStepAt() const { return subStepAt_; }
    void SetSubStepAt(float v) {
        if (v > 0.0f)
            setField(subStepAt_, v);
    }
    [[nodiscard]] int32_t StepMulti() const { return stepMulti_; }
    void SetStepMulti(int32_t v) {
        if (v > 0)
            setField(stepMulti_, v);
    }
    [[nodiscard]] int32_t SubStepsVis() const { return subStepsVis_; }
    void SetSubStepsVis(int32_t v) {
        if (v > 0)
            setField(subStepsVis_, v);
    }

private:
    float subStepAt_ = 0;
    int32_t stepMulti_ = 0;
    int32_t subStepsVis_ = 0;
};

class KVCONTROLS_EXPORT TKvText : public TKvPersistent {
public:
    TKvText();
    [[nodiscard]] const QString& Text() const { return text_; }
    void SetText(const QString& v) { setField(text_, v); }
    [[nodiscard]] KvFont& Font() { return font_; }
    [[nodiscard]] const KvFont& Font() const { return font_; }
    // The owned font's own notification reports the change.
    void SetFont(const KvFont& font) { font_.assign(font); }
    [[nodiscard]] int32_t OffsetX() const { return offsetX_; }
    void SetOffsetX(int32_t v) { setField(offsetX_, v); }
    [[nodiscard]] int32_t OffsetY() const { return offsetY_; }
    void SetOffsetY(int32_t v) { setField(offsetY_, v); }
    [[nodiscard]] toPos Pos() const { return pos_; }
    void SetPos(toPos v) { setField(pos_, v); }
    [[nodiscard]] bool Visible() const { return visible_; }
    void SetVisible(bool v) { setField(visible_, v); }

private:
    QString text_;
    KvFont font_;
    int32_t offsetX_ = 0;
    int32_t offsetY_ = 0;
    toPos pos_ = toTopLeft;
    bool visible_ = true;
};

// A framed box that shows a number formatted with a pattern, with an optional caption beside it.
class KVCONTROLS_EXPORT TKvValInd : public TKvPersistent {
public:
    TKvValInd();
    [[nodiscard]] const QString& FormatStr() const { return formatStr_; }
    void SetFormatStr(const QString& v) { setField(formatStr_, v); }
    [[nodiscard]] TKvBevelSettings& Bevel() { return bevel_; }
    [[nodiscard]] TKvText& Caption() { return caption_; }
    [[nodiscard]] TColor Color() const { return color_; }
    void SetColor(TColor v) { setField(color_, v); }
    [[nodiscard]] KvFont& Font() { return font_; }
    void SetFont(const KvFont& font) { font_.assign(font); }
    [[nodiscard]] int32_t OffsetX() const { return offsetX_; }
    void SetOffsetX(int32_t v) { setField(offsetX_, v); }
    [[nodiscard]] int32_t OffsetY() const { return offsetY_; }
    void SetOffsetY(int32_t v) { setField(offsetY_, v); }
    [[nodiscard]] bool Visible() const { return visible_; }
    void SetVisible(bool v) { setField(visible_, v); }
    [[nodiscard]] TKvOffset& TxtSpacing() { return txtSpacing_; }

    // Lays out and paints the frame, the caption and the pattern; the box is sized for the pattern.
    void Draw(KvCanvas& canvas, TPoint anchor, toPos pos);
    // The value into the area the last Draw left for it, in one step.
    void DrawValue(KvCanvas& canvas, double value) const;
    [[nodiscard]] const TRect& valueRect() const { return valueRect_; }
    [[nodiscard]] int32_t rightMargin() const { return rightMargin_; }

private:
    QString formatStr_ = QStringLiteral("##0.0");
    TKvBevelSettings bevel_;
    TKvText caption_;
    TColor color_ = clBlack;
    KvFont font_;
    int32_t offsetX_ = 0;
    int32_t offsetY_ = 0;
    bool visible_ = true;
    TKvOffset txtSpacing_;
    TRect valueRect_;
    int32_t rightMargin_ = 0;
};

} // namespace ostrel::vessolt::controls
