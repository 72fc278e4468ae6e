// Up/down button pair whose buttons repeat while held, paced by the process-wide tick.
#pragma once

#include "kvcontrols_export.h"
#include "kvflash.h"

#include <QPointer>
#include <QToolButton>

namespace ostrel::vessolt::controls {

// A button that clicks on release and, while held, every Interval ms from StartDelay ms on.
class KVCONTROLS_EXPORT TKvTimerSpeedBtn : public QToolButton, public KvFlashClient {
    Q_OBJECT
public:
    explicit TKvTimerSpeedBtn(QWidget* owner = nullptr);
    ~TKvTimerSpeedBtn() override;

    [[nodiscard]] int32_t Interval() const { return interval_; }
    // Periods below 50 ms are ignored.
    void SetInterval(int32_t v);
    [[nodiscard]] uint32_t StartDelay() const { return startDelay_; }
    void SetStartDelay(uint32_t v) { startDelay_ = v; }
    [[nodiscard]] bool TimerEnabled() const { return timerEnabled_; }
    void SetTimerEnabled(bool on) { timerEnabled_ = on; }
    [[nodiscard]] int64_t RepeatStart() const { return repeatStart_; }

    void flashTick(uint32_t counter, int32_t arg) override;

signals:
    void pressedLeft();

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void changeEvent(QEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    int32_t interval_ = 100;
    uint32_t startDelay_ = 500;
    bool timerEnabled_ = true;
    int64_t repeatStart_ = 0;
};

class KVCONTROLS_EXPORT TKvSpinButton : public QWidget {
    Q_OBJECT
public:
    explicit TKvSpinButton(QWidget* owner = nullptr);
    ~TKvSpinButton() override;

    [[nodiscard]] TKvTimerSpeedBtn* UpButton() const { return up_; }
    [[nodiscard]] TKvTimerSpeedBtn* DownButton() const { return down_; }
    [[nodiscard]] QWidget* FocusControl() const { return focusControl_; }
    void SetFocusControl(QWidget* w) { focusControl_ = w; }
    [[nodiscard]] int32_t Interval() const { return up_->Interval(); }
    void SetInterval(int32_t v);
    [[nodiscard]] uint32_t StartDelay() const { return up_->StartDelay(); }
    void SetStartDelay(uint32_t v);
    // A null pixmap loads the built-in glyph (normal and disabled image side by side).
    void SetUpGlyph(const QPixmap& glyph = {});
    void SetDownGlyph(const QPixmap& glyph = {});

    static constexpr int kMinWidth = 15;

signals:
    void OnUpClick();
    void OnDownClick();

protected:
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    TKvTimerSpeedBtn* CreateButton();
    void BtnMouseDown();
    void layoutButtons();

    TKvTimerSpeedBtn* up_;
    TKvTimerSpeedBtn* down_;
    QPointer<QWidget> focusControl_;
};

} // namespace ostrel::vessolt::controls
