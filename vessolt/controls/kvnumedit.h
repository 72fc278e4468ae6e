// Single-line edit for one number: typed text is checked as it is typed (background by state, bad
// characters selected), committed on Enter and on leaving, stepped by the arrow keys.
#pragma once

#include "kvcontrols_export.h"
#include "kvnummodel.h"

#include <QLineEdit>

namespace ostrel::vessolt::controls {

class KVCONTROLS_EXPORT TKvNumEdit : public QLineEdit, protected KvNumHost {
    Q_OBJECT
public:
    explicit TKvNumEdit(QWidget* owner = nullptr);
    ~TKvNumEdit() override;

    [[nodiscard]] double Value() const { return model_.Value(); }
    void SetValue(double v) { model_.SetValue(v); }
    [[nodiscard]] double CheckValue(double v) { return model_.CheckValue(v); }
    bool CheckEdit(bool apply) { return model_.CheckEdit(apply); }
    [[nodiscard]] TNumEditState State() const { return model_.State(); }
    void SetState(TNumEditState s) { model_.SetState(s); }
    void UpClick() { model_.UpClick(); }
    void DownClick() { model_.DownClick(); }

    [[nodiscard]] TEditBase EditBase() const { return model_.EditBase(); }
    void SetEditBase(TEditBase b) { model_.SetEditBase(b); }
    [[nodiscard]] bool EditorEnabled() const { return editorEnabled_; }
    void SetEditorEnabled(bool on) { editorEnabled_ = on; }
    [[nodiscard]] double MinValue() const { return model_.MinValue(); }
    void SetMinValue(double v) { model_.SetMinValue(v); }
    [[nodiscard]] double MaxValue() const { return model_.MaxValue(); }
    void SetMaxValue(double v) { model_.SetMaxValue(v); }
    [[nodiscard]] float Increment() const { return model_.Increment(); }
    void SetIncrement(float v) { model_.SetIncrement(v); }
    [[nodiscard]] TNumEditOptions Options() const { return model_.Options(); }
    void SetOptions(TNumEditOptions o) { model_.SetOptions(o); }
    [[nodiscard]] const QString& FormatStr() const { return model_.FormatStr(); }
    void SetFormatStr(const QString& f) { model_.SetFormatStr(f); }
    [[nodiscard]] int32_t DigitsBool() const { return model_.DigitsBool(); }
    void SetDigitsBool(int32_t d) { model_.SetDigitsBool(d); }
    [[nodiscard]] int32_t DigitsHex() const { return model_.DigitsHex(); }
    void SetDigitsHex(int32_t d) { model_.SetDigitsHex(d); }
    [[nodiscard]] bool LimitUp() const { return model_.LimitUp(); }
    [[nodiscard]] bool LimitLo() const { return model_.LimitLo(); }
    [[nodiscard]] const QString& LastText() const { return model_.LastText(); }
    [[nodiscard]] const QString& ValueAsBool() const { return model_.ValueAsBool(); }
    void SetValueAsBool(const QString& s) { model_.SetValueAsBool(s); }
    [[nodiscard]] const QString& ValueAsHex() const { return model_.ValueAsHex(); }
    void SetValueAsHex(const QString& s) { model_.SetValueAsHex(s); }
    [[nodiscard]] int32_t ValueAsInt() const { return model_.ValueAsInt(); }
    void SetValueAsInt(int32_t i) { model_.SetValueAsInt(i); }
    [[nodiscard]] float ValueAsSingle() const { return model_.ValueAsSingle(); }
    void SetValueAsSingle(float f) { model_.SetValueAsSingle(f); }

    // Background colours, 0x00BBGGRR or system colours.
    [[nodiscard]] TColor ColorDefault() const { return colorDefault_; }
    void SetColorDefault(TColor c);
    [[nodiscard]] TColor ColorError() const { return colorError_; }
    void SetColorError(TColor c);
    [[nodiscard]] TColor ColorEditing() const { return colorEditing_; }
    void SetColorEditing(TColor c);

    // From now on value changes raise OnValueChanged. Idempotent; also runs when first shown.
    void loaded();

    [[nodiscard]] const KvNumModel& model() const { return model_; }

signals:
    void OnValueChanged();
    void OnLimit();
    void OnChange();

protected:
    // Called when the state changed (after the background was set) and when a limit flag changed.
    virtual void StateChanged(TNumEditState s);
    virtual void Limit();

    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

    // KvNumHost
    void showText(const QString& text) override;
    void stateChanged(TNumEditState state) override;
    void limitChanged() override;
    void valueChanged() override;
    void markError(int start, int length) override;
    void stepped() override;
    void beep() override;
    [[nodiscard]] bool readOnly() const override;

private:
    void applyBackground(TColor c);
    void userTextChanged(const QString& text);

    bool settingText_ = false;
    bool leaving_ = false;
    bool editorEnabled_ = true;
    TColor colorDefault_ = clWindow;
    TColor colorError_ = clRed;
    TColor colorEditing_ = clLime;
    KvNumModel model_;
};

} // namespace ostrel::vessolt::controls
