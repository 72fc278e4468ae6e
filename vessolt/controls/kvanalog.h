// Bases of the analog widgets. The gauge holds a signal value, maps it onto digits and a per-mille
// position, classifies the position into sectors, watches limits, overflow and extremes, and
// composes its hint; it paints nothing. The input control moves a value by keys, wheel and mouse
// sliding, reports each change and the end of each gesture, and can drive a gauge as its indicator.
#pragma once

#include "kvbar.h"
#include "kvsignal.h"

#include <QPointer>

#include <functional>
#include <initializer_list>

namespace ostrel::vessolt::controls {

// A small set of enumerators (up to 32).
template <typename E>
class KvSet {
public:
    constexpr KvSet() = default;
    constexpr KvSet(std::initializer_list<E> items) {
        for (E e : items)
            bits_ |= bit(e);
    }
    static constexpr KvSet all(int count) {
        KvSet s;
        s.bits_ = count >= 32 ? ~0u : (1u << count) - 1u;
        return s;
    }
    [[nodiscard]] constexpr bool contains(E e) const { return (bits_ & bit(e)) != 0; }
    constexpr void insert(E e) { bits_ |= bit(e); }
    constexpr void erase(E e) { bits_ &= ~bit(e); }
    [[nodiscard]] constexpr uint32_t bits() const { return bits_; }
    friend constexpr bool operator==(KvSet, KvSet) = default;

private:
    static constexpr uint32_t bit(E e) { return 1u << static_cast<uint32_t>(e); }
    uint32_t bits_ = 0;
};

enum THintOption { hoAutoHint, hoValue, hoName1, hoName2, hoMin, hoMax, hoMinMaxDate, hoMinMaxTime };
using THintOptions = KvSet<THintOption>;

class KVCONTROLS_EXPORT TKvAnalogGControl : public TKvGraphicControl {
public:
    using TNotifyEvent = std::function<void(TKvAnalogGControl* sender)>;
    using TOverflowEvent = std::function<void(TKvAnalogGControl* sender, int32_t ppt)>;
    using TSectorChangeEvent =
        std::function<void(TKvAnalogGControl* sender, bool sector1, bool sector2, bool sector3, bool enter)>;
    using TLimitEvent = std::function<void(TKvAnalogGControl* sender, bool lower, bool upper)>;

    explicit TKvAnalogGControl(QWidget* parent = nullptr);
    ~TKvAnalogGControl() override;

    // Ends construction: hooks the settings, resets the extremes and derives the signal's factors.
    void loaded();
    [[nodiscard]] bool isLoaded() const { return loaded_; }

    [[nodiscard]] float Value() const { return value_; }
    // Ignored when unchanged, and on a logarithmic scale when 0 or below.
    void SetValue(float v);
    [[nodiscard]] int32_t Digit() const { return digit_; }
    void SetDigit(int32_t d);
    [[nodiscard]] float LimitUpper() const { return limitUpper_; }
    void SetLimitUpper(float v);
    [[nodiscard]] float LimitLower() const { return limitLower_; }
    // 0 is stored as 0.0001.
    void SetLimitLower(float v);
    [[nodiscard]] THintOptions HintOptions() const { return hintOptions_; }
    void SetHintOptions(THintOptions options);
    [[nodiscard]] TSectorSettings& SectorSettings() { return sectors_; }
    [[nodiscard]] TSignalSettings& SignalSettings() { return signal_; }
    [[nodiscard]] TMinMax& MinMax() { return minMax_; }
    [[nodiscard]] bool LogScale() const { return logScale_; }
    void SetLogScale(bool b);
    void ResetMinMax();
    void SetMin(float v, const QDateTime& time);
    void SetMax(float v, const QDateTime& time);
    // The hint text, lines separated by "\r"; the tooltip shows them on lines of their own.
    [[nodiscard]] const QString& Hint() const { return hint_; }

    void ParamChange(KvChangeSource sender) override;

    TNotifyEvent OnMinMaxChange;
    TOverflowEvent OnOverflow;
    TSectorChangeEvent OnSectorChange;
    TNotifyEvent OnSettingsChange;
    TNotifyEvent OnValueChange;
    TLimitEvent OnLimit;
    TNotifyEvent OnPosChange;

    // State kept for painting.
    double LogFactor = 0.0;
    double LogOffset = 0.0;
    int32_t PPT = 500;
    int32_t LimitUpperPPT = 900;
    int32_t LimitLowerPPT = 100;
    int32_t MaxPPT = 0;
    int32_t MinPPT = 0;
    bool UpperExceeded = true;
    bool LowerExceeded = true;
    bool Overflow = false;
    bool Underflow = false;
    bool InSector1 = false;
    bool InSector2 = false;
    bool InSector3 = false;
    TColor SectorColor = 0;
    QString ValueText;
    QString DigitText;
    TPoint LastPos;

protected:
    virtual void ValueChange();
    virtual void OverflowChange(int32_t /*ppt*/) {}
    virtual void LimitChange() {}
    virtual void MinMaxChange(KvChangeSource sender);
    virtual void LogScaleChanged() { Change(); }
    void LimitCheck();
    void SetHint();
    void changeEvent(QEvent* event) override;

private:
    [[nodiscard]] int32_t linearDigit(float value) const;
    [[nodiscard]] int32_t logDigit(float value) const;
    void deriveLog();

    TSignalSettings signal_;
    TSectorSettings sectors_;
    TMinMax minMax_;
    float value_ = 50.0f;
    int32_t digit_ = 500;
    float limitUpper_ = 90.0f;
    float limitLower_ = 10.0f;
    THintOptions hintOptions_ = THintOptions::all(8);
    bool logScale_ = false;
    bool loaded_ = false;
    QString hint_;
};

enum TEnabledKey { _VK_PRIOR, _VK_NEXT, _VK_END, _VK_HOME, _VK_LEFT, _VK_DOWN, _VK_UP, _VK_RIGHT };
using TEnabledKeys = KvSet<TEnabledKey>;

class KVCONTROLS_EXPORT TKvAnalogCControl : public TKvCustomControl {
public:
    using TNotifyEvent = std::function<void(TKvAnalogCControl* sender)>;

    // Opens an update bracket that loaded() closes.
    explicit TKvAnalogCControl(QWidget* parent = nullptr);
    ~TKvAnalogCControl() override;
    void loaded();
    [[nodiscard]] bool isLoaded() const { return loaded_; }

    [[nodiscard]] float Value() const { return value_; }
    // Kept within the signal's range.
    void SetValue(float v);
    [[nodiscard]] int32_t Digit() const { return digit_; }
    void SetDigit(int32_t d);
    // Up above 0 raises the digit by Up, else lowers it by Down, within the digit range.
    void DoChange(int32_t up, int32_t down);
    [[nodiscard]] int32_t ChangeLarge() const { return changeLarge_; }
    void SetChangeLarge(int32_t v) { changeLarge_ = v; }
    [[nodiscard]] int32_t ChangeSmall() const { return changeSmall_; }
    void SetChangeSmall(int32_t v) { changeSmall_ = v; }
    [[nodiscard]] TSignalSettings& SignalSettings() { return signal_; }
    [[nodiscard]] TColor ColorFocus() const { return colorFocus_; }
    void SetColorFocus(TColor v);
    [[nodiscard]] TColor ColorNonFocus() const { return colorNonFocus_; }
    void SetColorNonFocus(TColor v);
    [[nodiscard]] Qt::CursorShape CursorSlide() const { return cursorSlide_; }
    void SetCursorSlide(Qt::CursorShape v) { cursorSlide_ = v; }
    bool EnableKeyboard = true;
    TEnabledKeys EnabledKeys = TEnabledKeys::all(8);
    [[nodiscard]] TKvAnalogGControl* ValueIndicator() const { return indicator_.data(); }
    void SetValueIndicator(TKvAnalogGControl* gauge);

    void ParamChange(KvChangeSource sender) override;

    TNotifyEvent OnValueChange;
    // Once at the end of a key or left-button gesture that changed the digit.
    TNotifyEvent OnValueChanged;

    bool Changing = false;
    bool Sliding = false;
    bool InSlideArea = false;
    TRect SlideArea;
    bool RoundSlideArea = false;
    TPoint LastPoint;
    Qt::CursorShape SavedCursor = Qt::ArrowCursor;
    QString ValueText;
    QString DigitText;

protected:
    // Descendants turn the movement from `last` to (x, y) into a value.
    virtual void MouseSlide(Qt::KeyboardModifiers modifiers, int32_t x, int32_t y, const TPoint& last);
    virtual void ValueChange();

    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    [[nodiscard]] bool inSlideArea(int32_t x, int32_t y) const;
    void gestureEnded();

    TSignalSettings signal_;
    float value_ = 0.0f;
    int32_t digit_ = 0;
    int32_t changeLarge_ = 10;
    int32_t changeSmall_ = 1;
    TColor colorFocus_ = clLime;
    TColor colorNonFocus_ = 0x008000;
    Qt::CursorShape cursorSlide_ = Qt::SizeVerCursor;
    QPointer<TKvAnalogGControl> indicator_;
    int32_t wheelRest_ = 0;
    bool loaded_ = false;
};

} // namespace ostrel::vessolt::controls
