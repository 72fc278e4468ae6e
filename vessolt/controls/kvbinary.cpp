#include "kvbinary.h"

#include <QMouseEvent>

#include <algorithm>
#include <bit>

namespace ostrel::vessolt::controls {

namespace {

// One guard for every group of the process: members reached by a propagation do not propagate.
bool groupUpdating = false;

// Creation order of the binary controls; the group walk follows it.
uint64_t nextSerial() {
    static uint64_t serial = 0;
    return ++serial;
}

} // namespace

TKvBinGControl::TKvBinGControl(QObject* owner) : QWidget(qobject_cast<QWidget*>(owner)), serial_(nextSerial()) {}

TKvBinGControl::~TKvBinGControl() { DelControl(this); }

void TKvBinGControl::SeTMode(TMode m) {
    mode_ = m;
    if (m == mButton)
        SetStatusInt(0);
    else if (m == mRadioButton)
        SetStatusInt(1);
}

void TKvBinGControl::SetChecked(bool b) {
    if (b == checked_)
        return;
    checked_ = b;
    if (checked_ && flashing_)
        StartFlashing();
    else
        DelControl(this);
    if (checked_)
        SetStatusInt(mode_ == mRadioButton ? bit() : statusInt_ | bit());
    else if (mode_ != mRadioButton)
        SetStatusInt(statusInt_ & ~bit());
    StatusChanged();
    if (OnCheckedChange)
        OnCheckedChange(this);
}

void TKvBinGControl::SetStatusInt(uint32_t v) {
    if (v == statusInt_)
        return;
    statusInt_ = v;
    SetChecked((bit() & statusInt_) != 0);
    firstBit_ = std::countr_zero(statusInt_);
    StatusIntChanged();
    if (OnStatusIntChange)
        OnStatusIntChange(this);
    if (groupIndex_ == 0 || groupUpdating)
        return;
    groupUpdating = true;
    const uint32_t status = statusInt_;
    for (TKvBinGControl* member : groupMembers()) {
        if (member->groupIndex_ == groupIndex_)
            member->SetStatusInt(status);
    }
    groupUpdating = false;
}

void TKvBinGControl::SetStatusBit(int32_t b) {
    if (b == statusBit_ || b < 0 || b > 31)
        return;
    statusBit_ = b;
    SetChecked((bit() & statusInt_) != 0);
}

void TKvBinGControl::SetGroupIndex(int32_t g) {
    if (g == groupIndex_ || g < 0)
        return;
    groupIndex_ = g;
    GetGroupStatusInt();
    GroupIndexChanged();
}

void TKvBinGControl::GetGroupStatusInt() {
    if (groupIndex_ == 0)
        return;
    for (TKvBinGControl* member : groupMembers()) {
        if (member->groupIndex_ == groupIndex_) {
            SetStatusInt(member->statusInt_);
            return;
        }
    }
}

std::vector<TKvBinGControl*> TKvBinGControl::groupMembers() const {
    QWidget* top = const_cast<TKvBinGControl*>(this)->window();
    std::vector<TKvBinGControl*> members;
    if (top == this)
        members.push_back(const_cast<TKvBinGControl*>(this));
    else
        for (QWidget* w : top->findChildren<QWidget*>()) {
            if (auto* c = dynamic_cast<TKvBinGControl*>(w))
                members.push_back(c);
        }
    std::sort(members.begin(), members.end(), [](auto* a, auto* b) { return a->serial_ < b->serial_; });
    return members;
}

void TKvBinGControl::SetFlashing(bool b) {
    if (b == flashing_)
        return;
    flashing_ = b;
    if (checked_ && flashing_)
        StartFlashing();
    else
        DelControl(this);
    StatusChanged();
    if (OnCheckedChange)
        OnCheckedChange(this);
}

void TKvBinGControl::SetFrequency(TFlashFreq f) {
    frequency_ = f;
    if (checked_ && flashing_)
        StartFlashing();
}

void TKvBinGControl::StartFlashing() { AddControl(this, frequency_); }

void TKvBinGControl::flashTick(uint32_t, int32_t arg) { Flash(arg != 0); }

void TKvBinGControl::SetText(const QString& text) {
    if (text == text_)
        return;
    text_ = text;
    ParamChange(this);
}

void TKvBinGControl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = true;
        switch (mode_) {
        case mButton:
            SetChecked(true);
            break;
        case mSwitch:
            SetChecked(!checked_);
            break;
        case mRadioButton:
            SetStatusInt(bit());
            break;
        case mIndicator:
            break;
        }
    }
    QWidget::mousePressEvent(event);
}

void TKvBinGControl::mouseReleaseEvent(QMouseEvent* event) {
    QWidget::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || mode_ == mIndicator)
        return;
    pressed_ = false;
    if (mode_ == mButton)
        SetChecked(false);
    StatusChanged();
}

} // namespace ostrel::vessolt::controls
