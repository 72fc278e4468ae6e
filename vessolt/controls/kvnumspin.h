// The numeric edit with up/down buttons inside its right edge. A button is enabled only while
// the text is committed and its limit is not reached.
#pragma once

#include "kvcontrols_export.h"
#include "kvnumedit.h"
#include "kvspinbutton.h"

namespace ostrel::vessolt::controls {

class KVCONTROLS_EXPORT TKvNumSpin : public TKvNumEdit {
    Q_OBJECT
public:
    explicit TKvNumSpin(QWidget* owner = nullptr);
    ~TKvNumSpin() override;

    [[nodiscard]] TKvSpinButton* Button() const { return button_; }
    [[nodiscard]] int32_t Interval() const { return button_->Interval(); }
    void SetInterval(int32_t v) { button_->SetInterval(v); }
    [[nodiscard]] uint32_t StartDelay() const { return button_->StartDelay(); }
    void SetStartDelay(uint32_t v) { button_->SetStartDelay(v); }

    [[nodiscard]] QSize minimumSizeHint() const override;
    [[nodiscard]] int minHeight() const;

protected:
    void StateChanged(TNumEditState s) override;
    void Limit() override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    void updateButtons();
    void SetEditRect();

    TKvSpinButton* button_ = nullptr;
};

} // namespace ostrel::vessolt::controls
