#include "kvbinary.h"
#include "test_support.h"

#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace ostrel::vessolt::controls;
using ostrel::vessolt::controls::testing::ControlsScene;

namespace {

class Lamp : public TKvBinGControl {
public:
    using TKvBinGControl::TKvBinGControl;
    std::vector<std::pair<bool, uint32_t>> flashes;  // state, tick counter

protected:
    void Flash(bool on) override { flashes.emplace_back(on, FlashCounter()); }
};

bool listed(const QObject* control) {
    for (const auto& r : FlashList()) {
        if (r.Control.data() == control)
            return true;
    }
    return false;
}

} // namespace

TEST(TKvBinGControl, RadioGroupAcrossPanels) {
    QWidget window;
    window.resize(300, 100);
    auto* panel1 = new QWidget(&window);
    auto* panel2 = new QWidget(&window);
    panel2->move(150, 0);
    std::vector<TKvBinGControl*> radios{new TKvBinGControl(panel1), new TKvBinGControl(panel2),
                                        new TKvBinGControl(panel1)};
    int statusEvents = 0;
    for (int i = 0; i < 3; ++i) {
        radios[i]->setGeometry(0, 30 * i, 20, 20);
        radios[i]->SetStatusBit(i);
        radios[i]->SetGroupIndex(1);
        radios[i]->SeTMode(mRadioButton);
        radios[i]->OnStatusIntChange = [&](auto*) { ++statusEvents; };
    }
    auto* other = new TKvBinGControl(panel2);  // another group stays apart
    other->SetGroupIndex(2);
    window.show();
    EXPECT_TRUE(radios[0]->Checked());

    QTest::mouseClick(radios[1], Qt::LeftButton, {}, QPoint(5, 5));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(radios[i]->StatusInt(), 2u) << i;
        EXPECT_EQ(radios[i]->Checked(), i == 1) << i;
        EXPECT_EQ(radios[i]->FirstBit(), 1);
    }
    EXPECT_EQ(statusEvents, 3);
    EXPECT_EQ(other->StatusInt(), 0u);

    // A control joining the group takes its status word.
    auto* late = new TKvBinGControl(panel1);
    late->SetStatusBit(1);
    late->SetGroupIndex(1);
    EXPECT_EQ(late->StatusInt(), 2u);
    EXPECT_TRUE(late->Checked());
    late->SetGroupIndex(-1);
    EXPECT_EQ(late->GroupIndex(), 1);
}

TEST(TKvBinGControl, BitsModesAndOwner) {
    TKvBinGControl c;
    c.SetStatusBit(3);
    c.SetStatusBit(32);
    c.SetStatusBit(-1);
    EXPECT_EQ(c.StatusBit(), 3);
    EXPECT_EQ(c.FirstBit(), 32);
    c.SetStatusInt(0x18);
    EXPECT_EQ(c.FirstBit(), 3);
    EXPECT_TRUE(c.Checked());
    c.SetStatusInt(0);
    EXPECT_EQ(c.FirstBit(), 32);
    EXPECT_FALSE(c.Checked());
    c.SetStatusInt(0x80000000u);
    EXPECT_EQ(c.FirstBit(), 31);
    c.SetChecked(true);
    EXPECT_EQ(c.StatusInt(), 0x80000008u);
    c.SetChecked(false);
    EXPECT_EQ(c.StatusInt(), 0x80000000u);

    QObject plainOwner;
    TKvBinGControl orphan(&plainOwner);
    EXPECT_EQ(orphan.parentWidget(), nullptr);

    QWidget window;
    auto* button = new TKvBinGControl(&window);
    EXPECT_EQ(button->parentWidget(), &window);
    button->resize(20, 20);
    button->SeTMode(mButton);
    window.show();
    int checkedEvents = 0;
    button->OnCheckedChange = [&](auto*) { ++checkedEvents; };
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(button->Checked());
    EXPECT_TRUE(button->Pressed());
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(button->Checked());
    EXPECT_EQ(checkedEvents, 2);
    QTest::mouseClick(button, Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_FALSE(button->Checked());

    button->SeTMode(mSwitch);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(button->Checked());
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(button->Checked());
    button->SeTMode(mIndicator);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(button->Checked());
}

TEST(TKvBinGControl, FlashingFollowsCheckedState) {
    ControlsScene scene;
    auto lamp = std::make_unique<Lamp>();
    lamp->SetFlashing(true);
    EXPECT_FALSE(listed(lamp.get()));  // not checked: no ticks
    lamp->SetChecked(true);
    ASSERT_TRUE(listed(lamp.get()));
    lamp->SetChecked(false);
    EXPECT_FALSE(listed(lamp.get()));
    lamp->SetChecked(true);
    EXPECT_TRUE(listed(lamp.get()));

    for (int i = 0; i < 70; ++i)
        TKvFlashTimer::flash();
    ASSERT_EQ(lamp->flashes.size(), 2u);
    EXPECT_EQ(lamp->flashes[0], std::make_pair(true, 32u));
    EXPECT_EQ(lamp->flashes[1], std::make_pair(false, 64u));

    lamp->SetFrequency(ff8Hz);
    EXPECT_EQ(FlashList().back().Period, ff8Hz);
    lamp->SetFlashing(false);
    EXPECT_FALSE(listed(lamp.get()));
    lamp->SetFlashing(true);
    const QObject* gone = lamp.get();
    lamp.reset();
    EXPECT_FALSE(listed(gone));
}
