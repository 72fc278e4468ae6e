// The number behind the numeric edit: checks and converts its text, formats its value, applies
// limits and steps. No widgets: the edit maps keys, focus and colours onto it through a host.
#pragma once

#include "kvcontrols_export.h"
#include "kvformat.h"

#include <QString>

#include <cstdint>
#include <initializer_list>

namespace ostrel::vessolt::controls {

enum TEditBase : uint8_t { ebBin, ebHex, ebFloat, ebInt };
enum TNumEditOption : uint8_t { eoLimitMax, eoLimitMin, eoMultiply };
enum TNumEditState : uint8_t { esNormal, esEditing, esError };

class TNumEditOptions {
public:
    constexpr TNumEditOptions() = default;
    constexpr TNumEditOptions(std::initializer_list<TNumEditOption> options) {
        for (const auto o : options)
            bits_ |= static_cast<uint8_t>(1u << o);
    }
    [[nodiscard]] constexpr bool contains(TNumEditOption o) const { return bits_ & (1u << o); }
    [[nodiscard]] constexpr uint8_t bits() const { return bits_; }
    friend constexpr bool operator==(TNumEditOptions, TNumEditOptions) = default;

private:
    uint8_t bits_ = 0;
};
static_assert(sizeof(TNumEditOptions) == 1);

// What the model asks of the control that shows it. Every hook has a do-nothing default.
class KVCONTROLS_EXPORT KvNumHost {
public:
    virtual ~KvNumHost() = default;
    virtual void showText(const QString& /*text*/) {}
    virtual void stateChanged(TNumEditState /*state*/) {}
    virtual void limitChanged() {}
    virtual void valueChanged() {}
    // Bad characters from zero-based `start`, `length` long.
    virtual void markError(int /*start*/, int /*length*/) {}
    virtual void stepped() {}
    virtual void beep() {}
    [[nodiscard]] virtual bool readOnly() const { return false; }
};

class KVCONTROLS_EXPORT KvNumModel {
public:
    // Builds the model with the text "0", committed.
    explicit KvNumModel(KvNumHost* host = nullptr, KvSeparators separators = kvSeparators());

    [[nodiscard]] const QString& text() const { return text_; }
    // The user changed the text: check it (commit only before the first value was formatted).
    void edited(const QString& text);
    // Marks the model as placed on its form: from now on value changes are reported. Idempotent.
    void loaded();
    [[nodiscard]] bool notLoaded() const { return NotLoaded; }

    [[nodiscard]] double Value() const { return value_; }
    void SetValue(double v);
    [[nodiscard]] double CheckValue(double v);
    // Checks the text and sets the state; with `apply` converts and commits it. False when the text
    // holds bad characters or cannot be converted (the value is then kept).
    bool CheckEdit(bool apply);
    void SetText(long double v);
    [[nodiscard]] TNumEditState State() const { return state_; }
    void SetState(TNumEditState s);
    void UpClick();
    void DownClick();
    // Escape: back to the committed value's text. False when there was nothing to undo.
    bool restore();
    // Enter or leaving the control: an empty text becomes "0", then commit.
    bool commit();

    [[nodiscard]] TEditBase EditBase() const { return editBase_; }
    void SetEditBase(TEditBase b);
    [[nodiscard]] double MinValue() const { return minValue_; }
    void SetMinValue(double v);
    [[nodiscard]] double MaxValue() const { return maxValue_; }
    void SetMaxValue(double v);
    [[nodiscard]] float Increment() const { return increment_; }
    void SetIncrement(float v) { increment_ = v; }
    [[nodiscard]] TNumEditOptions Options() const { return options_; }
    void SetOptions(TNumEditOptions o);
    [[nodiscard]] const QString& FormatStr() const { return formatStr_; }
    void SetFormatStr(const QString& f);
    [[nodiscard]] int32_t DigitsBool() const { return digitsBool_; }
    void SetDigitsBool(int32_t d) { digitsBool_ = d; }
    [[nodiscard]] int32_t DigitsHex() const { return digitsHex_; }
    void SetDigitsHex(int32_t d) { digitsHex_ = d; }
    [[nodiscard]] bool LimitUp() const { return limitUp_; }
    [[nodiscard]] bool LimitLo() const { return limitLo_; }
    [[nodiscard]] const QString& LastText() const { return lastText_; }

    [[nodiscard]] const QString& ValueAsBool() const { return valueAsBool_; }
    void SetValueAsBool(const QString& s);
    [[nodiscard]] const QString& ValueAsHex() const { return valueAsHex_; }
    void SetValueAsHex(const QString& s);
    [[nodiscard]] int32_t ValueAsInt() const { return valueAsInt_; }
    void SetValueAsInt(int32_t i);
    [[nodiscard]] float ValueAsSingle() const { return valueAsSingle_; }
    void SetValueAsSingle(float f);

private:
    void setLimitUp(bool on);
    void setLimitLo(bool on);
    void putText(const QString& text);
    [[nodiscard]] QString textOfValue() const;
    bool refuse(int first, int last);
    void step(bool up);

    KvNumHost* host_;
    KvNumHost noHost_;
    KvSeparators separators_;
    QString text_;
    TEditBase editBase_ = ebFloat;
    double minValue_ = 0;
    double maxValue_ = 0;
    float increment_ = 1.0f;
    QString lastText_ = QStringLiteral("0");
    double value_ = 0;
    QString valueAsBool_;
    QString valueAsHex_;
    float valueAsSingle_ = 0;
    int32_t valueAsInt_ = 0;
    TNumEditOptions options_;
    QString formatStr_ = QStringLiteral("#0.#");
    TNumEditState state_ = esNormal;
    bool NotLoaded = true;
    bool limitUp_ = false;
    bool limitLo_ = false;
    int32_t digitsBool_ = 0;
    int32_t digitsHex_ = 0;
};

} // namespace ostrel::vessolt::controls
