// Base of the binary widgets (lamps, switches, push and radio buttons): a checked state tied to one
// bit of a 32-bit status word, click behaviour by mode, a status word kept equal across a group of
// controls in one window, and flashing through the process-wide tick. Drawing belongs to
// descendants.
#pragma once

#include "kvflash.h"
#include "kvformat.h"

#include <QWidget>

#include <cstdint>
#include <functional>

namespace ostrel::vessolt::controls {

enum TMode { mButton, mSwitch, mIndicator, mRadioButton };

class KVCONTROLS_EXPORT TKvBinGControl : public QWidget, public KvFlashClient {
public:
    using TNotifyEvent = std::function<void(TKvBinGControl* sender)>;

    // The owner becomes the parent when it is a widget.
    explicit TKvBinGControl(QObject* owner = nullptr);
    ~TKvBinGControl() override;

    [[nodiscard]] bool Checked() const { return checked_; }
    void SetChecked(bool b);
    [[nodiscard]] TFlashFreq Frequency() const { return frequency_; }
    void SetFrequency(TFlashFreq f);
    [[nodiscard]] bool Flashing() const { return flashing_; }
    void SetFlashing(bool b);
    [[nodiscard]] uint32_t StatusInt() const { return statusInt_; }
    void SetStatusInt(uint32_t v);
    [[nodiscard]] int32_t StatusBit() const { return statusBit_; }
    // 0..31; others are ignored.
    void SetStatusBit(int32_t b);
    [[nodiscard]] int32_t GroupIndex() const { return groupIndex_; }
    // 0 is no group; negative is ignored.
    void SetGroupIndex(int32_t g);
    [[nodiscard]] TMode Mode() const { return mode_; }
    void SeTMode(TMode m);
    [[nodiscard]] const QString& Text() const { return text_; }
    void SetText(const QString& text);
    [[nodiscard]] bool Pressed() const { return pressed_; }
    // Lowest set bit of the status word, 32 when none.
    [[nodiscard]] int32_t FirstBit() const { return firstBit_; }

    TNotifyEvent OnCheckedChange;
    TNotifyEvent OnStatusIntChange;

    void flashTick(uint32_t counter, int32_t arg) override;

protected:
    virtual void ParamChange(QObject* /*sender*/) {}
    virtual void StatusChanged() {}
    virtual void GroupIndexChanged() {}
    virtual void StatusIntChanged() {}
    virtual void Flash(bool /*on*/) {}
    void StartFlashing();
    void GetGroupStatusInt();

    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The binary controls of this control's window, in creation order.
    [[nodiscard]] std::vector<TKvBinGControl*> groupMembers() const;
    [[nodiscard]] uint32_t bit() const { return 1u << statusBit_; }

    bool checked_ = false;
    TFlashFreq frequency_ = ff1Hz;
    bool flashing_ = false;
    uint32_t statusInt_ = 0;
    int32_t statusBit_ = 0;
    int32_t groupIndex_ = 0;
    TMode mode_ = mIndicator;
    QString text_;
    bool pressed_ = false;
    int32_t firstBit_ = 32;
    uint64_t serial_ = 0;
};

} // namespace ostrel::vessolt::controls
