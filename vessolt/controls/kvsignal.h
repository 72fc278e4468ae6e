// Settings of a measured signal: its value range, unit, names and format, and the integer digit
// range it maps onto, with the derived factors between value, digit and per-mille position (PPT,
// 0 at ValueFrom, 1000 at ValueTo). A channel adds its current value; min/max keeps the extremes
// a gauge has seen.
#pragma once

#include "kvgclass.h"

#include <QDateTime>

namespace ostrel::vessolt::controls {

class KVCONTROLS_EXPORT TSignalSettings : public TKvPersistent {
public:
    TSignalSettings() = default;

    [[nodiscard]] int32_t DigitalFrom() const { return digitalFrom_; }
    void SetDigitalFrom(int32_t v);
    [[nodiscard]] int32_t DigitalTo() const { return digitalTo_; }
    void SetDigitalTo(int32_t v);
    [[nodiscard]] const QString& Name1() const { return name1_; }
    void SetName1(const QString& v) { setField(name1_, v); }
    [[nodiscard]] const QString& Name2() const { return name2_; }
    void SetName2(const QString& v) { setField(name2_, v); }
    [[nodiscard]] const QString& ValueFormat() const { return valueFormat_; }
    void SetValueFormat(const QString& v) { setField(valueFormat_, v); }
    [[nodiscard]] float ValueFrom() const { return valueFrom_; }
    // Ignored when equal to either end, so the range cannot collapse; 0 is stored as 1e-6.
    void SetValueFrom(float v);
    [[nodiscard]] float ValueTo() const { return valueTo_; }
    void SetValueTo(float v);
    [[nodiscard]] const QString& ValueUnit() const { return valueUnit_; }
    void SetValueUnit(const QString& v) { setField(valueUnit_, v); }

    // Derives the factors, then notifies.
    void Change() override;
    // Derives the factors without notifying. A range that is empty or reversed keeps the previous
    // span and the factors taken from it; an empty digit range keeps only the digit factors.
    void derive();

    [[nodiscard]] int32_t GetPPT(float value) const;
    [[nodiscard]] float GetValue(int32_t ppt) const;
    // The longer section of a two-section format (the second when equally long).
    static QString KvGetValueFormat(const QString& format);
    // Through this object's setters: digits, format, range, unit, names.
    void assign(const TSignalSettings& source);

    bool LogScale = false;
    float ValueSpan = 100.0f;
    int32_t TotalDigit = 1000;
    float ValuePerDigit = 0.0f;
    float DigitPerValue = 0.0f;
    float PPTFactor = 0.0f;
    QString FormatText = QStringLiteral("##0.0");

protected:
    // Called before a new digit range is stored.
    virtual void DigitScaleChanged(int32_t /*newFrom*/, int32_t /*newTo*/) {}

private:
    int32_t digitalFrom_ = 0;
    int32_t digitalTo_ = 1000;
    QString name1_ = QStringLiteral("SignalName1");
    QString name2_ = QStringLiteral("SignalName2");
    QString valueFormat_ = QStringLiteral("##0.0");
    float valueFrom_ = 0.0f;
    float valueTo_ = 100.0f;
    QString valueUnit_ = QStringLiteral("%");
};

// One channel: a signal with its current value, colour and pen.
class KVCONTROLS_EXPORT TChSettings : public TSignalSettings {
public:
    ~TChSettings() override;
    TNotifyEvent OnValueChange;

    [[nodiscard]] float Value() const { return value_; }
    void SetValue(float v);
    [[nodiscard]] int32_t Digit() const { return digit_; }
    void SetDigit(int32_t d);
    [[nodiscard]] int32_t AbsDigit() const { return absDigit_; }
    [[nodiscard]] float AbsDigitToValue(int32_t d) const;
    [[nodiscard]] TColor Color() const { return color_; }
    void SetColor(TColor v) { setField(color_, v); }
    [[nodiscard]] bool Visible() const { return visible_; }
    void SetVisible(bool v) { setField(visible_, v); }
    [[nodiscard]] int32_t PenWidth() const { return penWidth_; }
    void SetPenWidth(int32_t v) { setField(penWidth_, v); }

protected:
    // Value and digit changes fire OnValueChange, never OnChange.
    virtual void ValueChange();

private:
    float value_ = 0.0f;
    int32_t digit_ = 0;
    int32_t absDigit_ = 0;
    TColor color_ = 0;
    bool visible_ = true;
    int32_t penWidth_ = 1;
};

// Extremes with their times; Min 9999999 and Max -9999999 mean nothing seen yet.
class KVCONTROLS_EXPORT TMinMax : public TKvPersistent {
public:
    static constexpr float kNoMin = 9999999.0f;
    static constexpr float kNoMax = -9999999.0f;

    TMinMax();
    [[nodiscard]] float Max() const { return max_; }
    // Stores with the current time; no notification.
    void SetMax(float v);
    [[nodiscard]] float Min() const { return min_; }
    void SetMin(float v);
    QDateTime MaxDateTime;
    QDateTime MinDateTime;
    // Stores without time or notification (the gauge resets and tracks through these).
    void writeMin(float v) { min_ = v; }
    void writeMax(float v) { max_ = v; }

    [[nodiscard]] TColor MaxColor() const { return maxColor_; }
    void SetMaxColor(TColor v) { setField(maxColor_, v); }
    [[nodiscard]] TColor MinColor() const { return minColor_; }
    void SetMinColor(TColor v) { setField(minColor_, v); }
    [[nodiscard]] bool UseSectorCol() const { return useSectorCol_; }
    void SetUseSectorCol(bool v) { setField(useSectorCol_, v); }
    [[nodiscard]] bool MinVisible() const { return minVisible_; }
    void SetMinVisible(bool v) { setField(minVisible_, v); }
    [[nodiscard]] bool MaxVisible() const { return maxVisible_; }
    void SetMaxVisible(bool v) { setField(maxVisible_, v); }

private:
    float max_ = kNoMax;
    float min_ = kNoMin;
    TColor maxColor_ = 0xFFFF00;
    TColor minColor_ = 0xFFFF00;
    bool useSectorCol_ = true;
    bool minVisible_ = true;
    bool maxVisible_ = true;
};

} // namespace ostrel::vessolt::controls
