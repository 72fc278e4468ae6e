#include "kvsignal.h"

#include "kvproc.h"

#include <cmath>

namespace ostrel::vessolt::controls {

void TSignalSettings::SetDigitalFrom(int32_t v) {
    if (v == digitalFrom_)
        return;
    DigitScaleChanged(v, digitalTo_);
    digitalFrom_ = v;
    Change();
}

void TSignalSettings::SetDigitalTo(int32_t v) {
    if (v == digitalTo_)
        return;
    DigitScaleChanged(digitalFrom_, v);
    digitalTo_ = v;
    Change();
}

void TSignalSettings::SetValueFrom(float v) {
    if (v == valueFrom_ || v == valueTo_)
        return;
    valueFrom_ = v == 0.0f ? 1e-6f : v;
    if (LogScale) {
        int32_t exponent = 0;
        SetValueFrom(static_cast<float>(KvRoundLogValue(valueFrom_, exponent)));
    }
    Change();
}

void TSignalSettings::SetValueTo(float v) {
    if (v == valueFrom_ || v == valueTo_)
        return;
    valueTo_ = v;
    if (LogScale) {
        int32_t exponent = 0;
        SetValueTo(static_cast<float>(KvRoundLogValue(valueTo_, exponent)));
    }
    Change();
}

void TSignalSettings::derive() {
    TotalDigit = CalcTotalDigit(digitalFrom_, digitalTo_);
    const double span = static_cast<double>(valueTo_) - static_cast<double>(valueFrom_);
    // A reversed or empty range (as while the user edits it) keeps the last usable span, and no
    // digits keep the last digit count's factor: each factor follows its own divisor, so that the two
    // digit factors stay each other's inverse, and the format text follows the format always.
    if (span > 0.0)
        ValueSpan = static_cast<float>(span);
    if (TotalDigit > 0)
        ValuePerDigit = static_cast<float>(static_cast<double>(ValueSpan) / TotalDigit);
    if (ValueSpan > 0.0f) {
        DigitPerValue = static_cast<float>(TotalDigit / static_cast<double>(ValueSpan));
        PPTFactor = static_cast<float>(1000.0 / ValueSpan);
    }
    FormatText = KvGetValueFormat(valueFormat_);
}

void TSignalSettings::Change() {
    derive();
    TKvPersistent::Change();
}

int32_t TSignalSettings::GetPPT(float value) const {
    return kvRound((static_cast<double>(value) - valueFrom_) * PPTFactor);
}

float TSignalSettings::GetValue(int32_t ppt) const {
    return static_cast<float>(static_cast<double>(ValueSpan) / 1000.0 * ppt + valueFrom_);
}

QString TSignalSettings::KvGetValueFormat(const QString& format) {
    const auto at = format.indexOf(u';');
    if (at < 0)
        return format;
    const QString first = format.left(at);
    const QString second = format.mid(at + 1);
    return first.size() > second.size() ? first : second;
}

void TSignalSettings::assign(const TSignalSettings& s) {
    if (&s == this)
        return;
    SetDigitalFrom(s.digitalFrom_);
    SetDigitalTo(s.digitalTo_);
    SetValueFormat(s.valueFormat_);
    SetValueFrom(s.valueFrom_);
    SetValueTo(s.valueTo_);
    SetValueUnit(s.valueUnit_);
    SetName1(s.name1_);
    SetName2(s.name2_);
}

// ---- channel ----

TChSettings::~TChSettings() {
    visible_ = false;
    OnValueChange = nullptr;
}

void TChSettings::SetDigit(int32_t d) {
    if (d == digit_)
        return;
    digit_ = d;
    value_ = static_cast<float>(static_cast<double>(digit_ - DigitalFrom()) * ValuePerDigit + ValueFrom());
    absDigit_ = digit_ - DigitalFrom();
    ValueChange();
}

void TChSettings::SetValue(float v) {
    if (v == value_)
        return;
    digit_ = kvRound((static_cast<double>(v) - ValueFrom()) * DigitPerValue + DigitalFrom());
    value_ = v;
    absDigit_ = digit_ - DigitalFrom();
    ValueChange();
}

float TChSettings::AbsDigitToValue(int32_t d) const {
    return static_cast<float>(static_cast<double>(d) * ValuePerDigit + ValueFrom());
}

void TChSettings::ValueChange() {
    if (OnValueChange)
        OnValueChange(this);
}

// ---- extremes ----

TMinMax::TMinMax() : MaxDateTime(QDateTime::currentDateTime()), MinDateTime(MaxDateTime) {}

void TMinMax::SetMax(float v) {
    max_ = v;
    MaxDateTime = QDateTime::currentDateTime();
}

void TMinMax::SetMin(float v) {
    min_ = v;
    MinDateTime = QDateTime::currentDateTime();
}

} // namespace ostrel::vessolt::controls
