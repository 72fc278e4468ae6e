#include "kvanalog.h"

#include "kvproc.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QWheelEvent>

#include <cmath>

namespace ostrel::vessolt::controls {

namespace {

constexpr int32_t kWheelNotch = 120;

QString dateTimeText(const QDateTime& time, THintOptions options) {
    QString text;
    if (options.contains(hoMinMaxDate))
        text += u' ' + QLocale().toString(time.date(), QLocale::ShortFormat);
    if (options.contains(hoMinMaxTime))
        text += u' ' + time.time().toString(QStringLiteral("hh:mm:ss"));
    return text;
}

} // namespace

// ---- gauge ----

TKvAnalogGControl::TKvAnalogGControl(QWidget* parent) : TKvGraphicControl(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(kvRound(8 * 96.0 / 72.0));
    setFont(f);
    LimitCheck();
    LastPos = {x(), y()};
}

TKvAnalogGControl::~TKvAnalogGControl() {
    signal_.OnChange = nullptr;
    sectors_.OnChange = nullptr;
    minMax_.OnChange = nullptr;
}

void TKvAnalogGControl::loaded() {
    if (loaded_)
        return;
    loaded_ = true;
    signal_.OnChange = [this](KvSender* sender) { ParamChange(sender); };
    sectors_.OnChange = [this](KvSender* sender) { ParamChange(sender); };
    minMax_.writeMin(TMinMax::kNoMin);
    minMax_.writeMax(TMinMax::kNoMax);
    minMax_.OnChange = [this](KvSender* sender) { MinMaxChange(sender); };
    // A gauge that never had its settings changed still needs its factors.
    signal_.derive();
}

void TKvAnalogGControl::changeEvent(QEvent* event) {
    TKvGraphicControl::changeEvent(event);
    if (event->type() == QEvent::FontChange && loaded_)
        ParamChange(this);
}

int32_t TKvAnalogGControl::linearDigit(float value) const {
    return kvRound((static_cast<double>(value) - signal_.ValueFrom()) * signal_.DigitPerValue + signal_.DigitalFrom());
}

int32_t TKvAnalogGControl::logDigit(float value) const {
    return kvRound(std::log10(1.0 / signal_.ValueFrom() * value) * LogFactor) + signal_.DigitalFrom();
}

void TKvAnalogGControl::SetValue(float v) {
    if (v == value_ || (logScale_ && v <= 0.0f))
        return;
    value_ = v;
    digit_ = logScale_ ? logDigit(v) : linearDigit(v);
    ValueChange();
}

void TKvAnalogGControl::SetDigit(int32_t d) {
    if (d == digit_)
        return;
    digit_ = d;
    const double steps = static_cast<double>(d) - signal_.DigitalFrom();
    if (logScale_) {
        if (LogFactor != 0.0)
            value_ = static_cast<float>(KvPower(10, steps / LogFactor - LogOffset));
    } else {
        value_ = static_cast<float>(steps * signal_.ValuePerDigit + signal_.ValueFrom());
    }
    ValueChange();
}

void TKvAnalogGControl::SetLimitUpper(float v) {
    if (v == limitUpper_)
        return;
    limitUpper_ = v;
    LimitUpperPPT = signal_.GetPPT(v);
    ValueChange();
}

void TKvAnalogGControl::SetLimitLower(float v) {
    if (v == limitLower_)
        return;
    limitLower_ = v == 0.0f ? 0.0001f : v;
    LimitLowerPPT = signal_.GetPPT(limitLower_);
    ValueChange();
}

void TKvAnalogGControl::SetHintOptions(THintOptions options) {
    const bool switchedOn = options.contains(hoAutoHint) && !hintOptions_.contains(hoAutoHint);
    hintOptions_ = options;
    if (switchedOn)
        ValueChange();
}

void TKvAnalogGControl::deriveLog() {
    const double ratio = static_cast<double>(signal_.ValueTo()) / signal_.ValueFrom();
    // An empty range has no decades: one decade over the whole digit range.
    LogFactor = ratio > 0.0 && ratio != 1.0 ? signal_.TotalDigit / std::log10(ratio) : signal_.TotalDigit;
    LogOffset = std::log10(1.0 / signal_.ValueFrom());
}

void TKvAnalogGControl::SetLogScale(bool b) {
    logScale_ = b;
    signal_.LogScale = b;
    sectors_.LogScale = b;
    if (b) {
        if (value_ <= 0.0f)
            value_ = 0.001f;
        int32_t exponent = 0;
        if (signal_.ValueFrom() <= 0.0f)
            signal_.SetValueFrom(0.001f);
        else
            signal_.SetValueFrom(static_cast<float>(KvRoundLogValue(signal_.ValueFrom(), exponent)));
        signal_.SetValueTo(static_cast<float>(KvRoundLogValue(signal_.ValueTo(), exponent)));
        signal_.derive();
        deriveLog();
        digit_ = logDigit(value_);
    } else {
        digit_ = linearDigit(value_);
    }
    LogScaleChanged();
}

void TKvAnalogGControl::ParamChange(KvChangeSource sender) {
    TKvGraphicControl::ParamChange(sender);
    signal_.derive();
    if (logScale_) {
        deriveLog();
        if (value_ <= 0.0f)
            value_ = 1.0f;
        digit_ = logDigit(value_);
    } else {
        digit_ = linearDigit(value_);
    }
    if (OnSettingsChange)
        OnSettingsChange(this);
    update();
}

void TKvAnalogGControl::ValueChange() {
    if (x() != LastPos.x || y() != LastPos.y) {
        LastPos = {x(), y()};
        if (OnPosChange)
            OnPosChange(this);
    }
    DigitText = QString::number(digit_);
    ValueText = FormatFloat(signal_.ValueFormat(), value_);
    const int32_t total = signal_.TotalDigit;
    PPT = total != 0 ? kvRound(1000.0 / total * (static_cast<double>(digit_) - signal_.DigitalFrom())) : 0;

    const struct {
        bool& flag;
        int32_t from, to;
        TColor color;
    } sectors[3] = {
        {InSector1, sectors_.Sector1From(), sectors_.Sector1To(), sectors_.Sector1Color()},
        {InSector2, sectors_.Sector2From(), sectors_.Sector2To(), sectors_.Sector2Color()},
        {InSector3, sectors_.Sector3From(), sectors_.Sector3To(), sectors_.Sector3Color()},
    };
    for (int k = 0; k < 3; ++k) {
        const auto& s = sectors[k];
        const bool inside = s.from <= PPT && PPT <= s.to;
        if (inside)
            SectorColor = s.color;
        if (inside != s.flag) {
            s.flag = inside;
            if (OnSectorChange)
                OnSectorChange(this, k == 0, k == 1, k == 2, inside);
        }
    }

    LimitCheck();

    auto notify = [this] {
        OverflowChange(PPT);
        if (OnOverflow)
            OnOverflow(this, PPT);
    };
    if (PPT < 0) {
        if (!Underflow) {
            Underflow = true;
            Overflow = false;
            notify();
        }
        PPT = 0;
    } else if (PPT > 1000) {
        if (!Overflow) {
            Overflow = true;
            Underflow = false;
            notify();
        }
        PPT = 1000;
    } else if (Overflow || Underflow) {
        Overflow = false;
        Underflow = false;
        notify();
    }

    const float oldMin = minMax_.Min();
    if (value_ < oldMin) {
        minMax_.writeMin(value_);
        minMax_.MinDateTime = QDateTime::currentDateTime();
        MinPPT = PPT;
        if (oldMin != TMinMax::kNoMin)
            MinMaxChange(this);
    }
    const float oldMax = minMax_.Max();
    if (value_ > oldMax) {
        minMax_.writeMax(value_);
        minMax_.MaxDateTime = QDateTime::currentDateTime();
        MaxPPT = PPT;
        if (oldMax != TMinMax::kNoMax)
            MinMaxChange(this);
    }

    SetHint();
    if (OnValueChange)
        OnValueChange(this);
    update();
}

void TKvAnalogGControl::LimitCheck() {
    const bool upper = value_ > limitUpper_;
    const bool lower = value_ < limitLower_;
    if (upper == UpperExceeded && lower == LowerExceeded)
        return;
    UpperExceeded = upper;
    LowerExceeded = lower;
    LimitChange();
    if (OnLimit)
        OnLimit(this, lower, upper);
}

void TKvAnalogGControl::SetHint() {
    if (!hintOptions_.contains(hoAutoHint))
        return;
    QStringList parts;
    const QString& fmt = signal_.ValueFormat();
    const QString unit = u' ' + signal_.ValueUnit();
    if (hintOptions_.contains(hoValue))
        parts << QStringLiteral("Value= ") + ValueText + unit;
    if (hintOptions_.contains(hoMin))
        parts << QStringLiteral("MIN= ") + FormatFloat(fmt, minMax_.Min()) + unit +
                     dateTimeText(minMax_.MinDateTime, hintOptions_);
    if (hintOptions_.contains(hoMax))
        parts << QStringLiteral("MAX= ") + FormatFloat(fmt, minMax_.Max()) + unit +
                     dateTimeText(minMax_.MaxDateTime, hintOptions_);
    if (hintOptions_.contains(hoName1))
        parts << signal_.Name1();
    if (hintOptions_.contains(hoName2))
        parts << signal_.Name2();
    hint_ = parts.join(u'\r');
    setToolTip(parts.join(u'\n'));
}

void TKvAnalogGControl::ResetMinMax() {
    minMax_.SetMin(value_);
    MinPPT = PPT;
    minMax_.SetMax(value_);
    MaxPPT = PPT;
    MinMaxChange(this);
    SetHint();
    ValueChange();
}

void TKvAnalogGControl::SetMin(float v, const QDateTime& time) {
    if (v == minMax_.Min())
        return;
    minMax_.SetMin(v);
    MinPPT = signal_.GetPPT(v);
    minMax_.MinDateTime = time;
    MinMaxChange(this);
    SetHint();
}

void TKvAnalogGControl::SetMax(float v, const QDateTime& time) {
    if (v == minMax_.Max())
        return;
    minMax_.SetMax(v);
    MaxPPT = signal_.GetPPT(v);
    minMax_.MaxDateTime = time;
    MinMaxChange(this);
    SetHint();
}

void TKvAnalogGControl::MinMaxChange(KvChangeSource) {
    if (OnMinMaxChange)
        OnMinMaxChange(this);
    ValueChange();
}

// ---- input ----

TKvAnalogCControl::TKvAnalogCControl(QWidget* parent) : TKvCustomControl(parent) {
    BeginUpdate();
    setFocusPolicy(Qt::StrongFocus);
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPixelSize(kvRound(10 * 96.0 / 72.0));
    setFont(f);
    setMouseTracking(true);
}

TKvAnalogCControl::~TKvAnalogCControl() { signal_.OnChange = nullptr; }

void TKvAnalogCControl::loaded() {
    if (loaded_)
        return;
    signal_.Change();
    signal_.OnChange = [this](KvSender* sender) { ParamChange(sender); };
    digit_ = kvRound((static_cast<double>(value_) - signal_.ValueFrom()) * signal_.DigitPerValue + signal_.DigitalFrom());
    loaded_ = true;
    EndUpdate();
}

void TKvAnalogCControl::SetValue(float v) {
    if (v == value_ && updateCount_ == 0)
        return;
    if (signal_.DigitPerValue == 0.0f)
        signal_.Change();
    value_ = std::max(std::min(v, signal_.ValueTo()), signal_.ValueFrom());
    SetDigit(kvRound((static_cast<double>(value_) - signal_.ValueFrom()) * signal_.DigitPerValue + signal_.DigitalFrom()));
}

void TKvAnalogCControl::SetDigit(int32_t d) {
    if (d == digit_ && updateCount_ == 0)
        return;
    digit_ = std::max(std::min(d, signal_.DigitalTo()), signal_.DigitalFrom());
    value_ = static_cast<float>((static_cast<double>(digit_) - signal_.DigitalFrom()) * signal_.ValuePerDigit +
                                signal_.ValueFrom());
    ValueChange();
    if (OnValueChange && loaded_)
        OnValueChange(this);
    Changing = true;
}

void TKvAnalogCControl::DoChange(int32_t up, int32_t down) {
    const int64_t target = up < 1 ? static_cast<int64_t>(digit_) - down : static_cast<int64_t>(digit_) + up;
    SetDigit(static_cast<int32_t>(std::max<int64_t>(std::min<int64_t>(target, signal_.DigitalTo()), signal_.DigitalFrom())));
}

void TKvAnalogCControl::ValueChange() {
    ValueText = FormatFloat(signal_.ValueFormat(), value_);
    DigitText = QString::number(digit_);
    if (indicator_)
        indicator_->SetValue(value_);
    Invalidate();
}

void TKvAnalogCControl::ParamChange(KvChangeSource) {
    SavedCursor = cursor().shape();
    if (indicator_)
        indicator_->SignalSettings().assign(signal_);
    digit_ = kvRound((static_cast<double>(value_) - signal_.ValueFrom()) * signal_.DigitPerValue + signal_.DigitalFrom());
    Invalidate();
}

void TKvAnalogCControl::SetValueIndicator(TKvAnalogGControl* gauge) {
    indicator_ = gauge;
    if (!gauge)
        return;
    gauge->SignalSettings().assign(signal_);
    ValueChange();
}

void TKvAnalogCControl::SetColorFocus(TColor v) {
    if (v == colorFocus_)
        return;
    colorFocus_ = v;
    ParamChange(this);
}

void TKvAnalogCControl::SetColorNonFocus(TColor v) {
    if (v == colorNonFocus_)
        return;
    colorNonFocus_ = v;
    ParamChange(this);
}

void TKvAnalogCControl::MouseSlide(Qt::KeyboardModifiers, int32_t x, int32_t y, const TPoint&) { LastPoint = {x, y}; }

void TKvAnalogCControl::keyPressEvent(QKeyEvent* event) {
    TKvCustomControl::keyPressEvent(event);
    if (!EnableKeyboard)
        return;
    auto enabled = [this](TEnabledKey key) { return EnabledKeys.contains(key); };
    switch (event->key()) {
    case Qt::Key_PageUp:
        if (enabled(_VK_PRIOR))
            DoChange(changeLarge_, 0);
        break;
    case Qt::Key_PageDown:
        if (enabled(_VK_NEXT))
            DoChange(0, changeLarge_);
        break;
    case Qt::Key_End:
        if (enabled(_VK_END))
            SetDigit(signal_.DigitalTo());
        break;
    case Qt::Key_Home:
        if (enabled(_VK_HOME))
            SetDigit(signal_.DigitalFrom());
        break;
    case Qt::Key_Left:
        if (enabled(_VK_LEFT))
            DoChange(0, changeSmall_);
        break;
    case Qt::Key_Up:
        if (enabled(_VK_UP))
            DoChange(changeSmall_, 0);
        break;
    case Qt::Key_Right:
        if (enabled(_VK_RIGHT))
            DoChange(changeSmall_, 0);
        break;
    case Qt::Key_Down:
        if (enabled(_VK_DOWN))
            DoChange(0, changeSmall_);
        break;
    default:
        return;
    }
    event->accept();
}

void TKvAnalogCControl::gestureEnded() {
    if (!Changing)
        return;
    Changing = false;
    if (OnValueChanged)
        OnValueChanged(this);
}

void TKvAnalogCControl::keyReleaseEvent(QKeyEvent* event) {
    TKvCustomControl::keyReleaseEvent(event);
    // A held key releases between repeats; the gesture ends with the real release.
    if (event->isAutoRepeat())
        return;
    gestureEnded();
}

void TKvAnalogCControl::wheelEvent(QWheelEvent* event) {
    // Deltas add up until a whole notch: high-resolution wheels and touchpads send fractions.
    wheelRest_ += event->angleDelta().y();
    while (wheelRest_ >= kWheelNotch) {
        wheelRest_ -= kWheelNotch;
        DoChange(changeSmall_, 0);
    }
    while (wheelRest_ <= -kWheelNotch) {
        wheelRest_ += kWheelNotch;
        DoChange(0, changeSmall_);
    }
    event->accept();
}

bool TKvAnalogCControl::inSlideArea(int32_t x, int32_t y) const {
    return RoundSlideArea ? KvInCircle(x, y, SlideArea) : KvInRect(x, y, SlideArea);
}

void TKvAnalogCControl::mousePressEvent(QMouseEvent* event) {
    TKvCustomControl::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    InSlideArea = inSlideArea(p.x(), p.y());
    if (InSlideArea) {
        Sliding = true;
        MouseSlide(event->modifiers(), p.x(), p.y(), LastPoint);
        LastPoint = {p.x(), p.y()};
    }
}

void TKvAnalogCControl::mouseMoveEvent(QMouseEvent* event) {
    TKvCustomControl::mouseMoveEvent(event);
    const QPoint p = event->position().toPoint();
    InSlideArea = inSlideArea(p.x(), p.y());
    const Qt::CursorShape wanted = InSlideArea ? cursorSlide_ : SavedCursor;
    if (cursor().shape() != wanted)
        setCursor(wanted);
    if (Sliding)
        MouseSlide(event->modifiers(), p.x(), p.y(), LastPoint);
}

void TKvAnalogCControl::mouseReleaseEvent(QMouseEvent* event) {
    TKvCustomControl::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    Sliding = false;
    gestureEnded();
}

void TKvAnalogCControl::focusInEvent(QFocusEvent* event) {
    TKvCustomControl::focusInEvent(event);
    ValueChange();
}

void TKvAnalogCControl::focusOutEvent(QFocusEvent* event) {
    TKvCustomControl::focusOutEvent(event);
    ValueChange();
}

void TKvAnalogCControl::changeEvent(QEvent* event) {
    TKvCustomControl::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        ValueChange();
}

} // namespace ostrel::vessolt::controls
