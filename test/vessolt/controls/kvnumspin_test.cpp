#include "kvnumspin.h"

#include "test_support.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <vector>

using namespace ostrel::vessolt::controls;
using namespace ostrel::vessolt::controls::testing;

namespace {

// The maximum boot-up time spin of the global configuration page, set up as the form streams it.
struct BootupSpin : ::testing::Test {
    ControlsScene scene;
    TKvNumSpin spin;
    BootupSpin() {
        spin.SetFormatStr(QStringLiteral("#0.#"));
        spin.SetIncrement(10);
        spin.SetMinValue(10);
        spin.SetOptions({eoLimitMin});
        spin.SetValue(10);
        spin.SetInterval(100);
        spin.SetStartDelay(500);
        spin.SetColorDefault(clWindow);
        spin.SetColorEditing(clWhite);
        spin.resize(80, 24);
        spin.show();
    }
    TKvTimerSpeedBtn* up() { return spin.Button()->UpButton(); }
    TKvTimerSpeedBtn* down() { return spin.Button()->DownButton(); }
};

} // namespace

TEST_F(BootupSpin, ButtonsFollowTheLimitAndTheEditingState) {
    EXPECT_EQ(spin.text(), "10");
    EXPECT_TRUE(up()->isEnabled());
    EXPECT_FALSE(down()->isEnabled());
    QTest::mouseClick(up(), Qt::LeftButton);
    EXPECT_EQ(spin.Value(), 20);
    EXPECT_TRUE(down()->isEnabled());

    spin.setFocus();
    QTest::keyClick(&spin, Qt::Key_End);
    QTest::keyClick(&spin, Qt::Key_5);
    EXPECT_EQ(spin.State(), esEditing);
    EXPECT_EQ(spin.palette().color(QPalette::Base), QColor(Qt::white));
    EXPECT_FALSE(up()->isEnabled());
    EXPECT_FALSE(down()->isEnabled());
    QTest::keyClick(&spin, Qt::Key_Return);
    EXPECT_EQ(spin.Value(), 205);
    EXPECT_TRUE(up()->isEnabled());
    EXPECT_TRUE(down()->isEnabled());

    spin.setEnabled(false);
    EXPECT_FALSE(up()->isEnabled());
    spin.SetValue(3);  // clamped to the minimum
    EXPECT_EQ(spin.Value(), 10);
    spin.setEnabled(true);
    EXPECT_TRUE(up()->isEnabled());
    EXPECT_FALSE(down()->isEnabled());
}

TEST_F(BootupSpin, SizesIntervalAndLayout) {
    spin.SetInterval(40);
    EXPECT_EQ(spin.Interval(), 100);
    spin.SetInterval(50);
    EXPECT_EQ(spin.Interval(), 50);
    EXPECT_EQ(down()->Interval(), 50);

    TKvSpinButton pair;
    pair.resize(10, 25);
    pair.show();
    EXPECT_EQ(pair.width(), 15);
    EXPECT_EQ(pair.UpButton()->height(), 12);
    EXPECT_EQ(pair.DownButton()->height(), 13);
    EXPECT_EQ(pair.DownButton()->y(), 12);

    // The buttons sit inside the right edge and the text stops before them.
    const QRect buttons = spin.Button()->geometry();
    EXPECT_LE(buttons.right(), spin.width() - 1);
    EXPECT_GE(buttons.left(), spin.width() - 20);
    EXPECT_GE(spin.textMargins().right(), buttons.width());
    EXPECT_GE(spin.minimumSizeHint().height(), spin.minHeight());
    EXPECT_FALSE(up()->icon().isNull());
}

TEST_F(BootupSpin, HeldButtonRepeatsFromTheStartDelayAndStepsOnceMoreOnRelease) {
    std::vector<int64_t> stepTimes;
    QObject::connect(&spin, &TKvNumEdit::OnChange, [&] { stepTimes.push_back(fakeNow()); });
    QTest::mousePress(up(), Qt::LeftButton);
    ASSERT_EQ(FlashList().size(), 1u);
    ControlsScene::tickUntil(499);
    EXPECT_TRUE(stepTimes.empty());
    ControlsScene::tickUntil(1000);
    ASSERT_EQ(stepTimes.size(), 5u);
    EXPECT_GE(stepTimes.front(), 500);
    EXPECT_LT(stepTimes.front(), 500 + 16);
    for (std::size_t i = 1; i < stepTimes.size(); ++i) {
        EXPECT_GE(stepTimes[i] - stepTimes[i - 1], 100 - 16);
        EXPECT_LE(stepTimes[i] - stepTimes[i - 1], 100 + 16);
    }
    QTest::mouseRelease(up(), Qt::LeftButton);
    EXPECT_EQ(stepTimes.size(), 6u);
    EXPECT_EQ(spin.Value(), 70);
    EXPECT_TRUE(FlashList().empty());
    ControlsScene::tickUntil(2000);
    EXPECT_EQ(spin.Value(), 70);
}

TEST_F(BootupSpin, HeldButtonThatIsDisabledLeavesTheTickList) {
    spin.SetValue(50);
    QTest::mousePress(down(), Qt::LeftButton);
    ASSERT_EQ(FlashList().size(), 1u);
    spin.setEnabled(false);
    EXPECT_TRUE(FlashList().empty());
    ControlsScene::tickUntil(1000);
    EXPECT_EQ(spin.Value(), 50);

    spin.setEnabled(true);
    QTest::mousePress(up(), Qt::LeftButton);
    ASSERT_EQ(FlashList().size(), 1u);
    spin.hide();
    EXPECT_TRUE(FlashList().empty());

    spin.show();
    spin.setFocus();
    QTest::mousePress(up(), Qt::LeftButton);
    ASSERT_EQ(FlashList().size(), 1u);
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QCoreApplication::sendEvent(&spin, &away);
    EXPECT_TRUE(FlashList().empty());
    EXPECT_FALSE(up()->isDown());
}

TEST_F(BootupSpin, ShortPressStepsOnceAndTheDownButtonStopsAtTheMinimum) {
    spin.SetValue(30);
    QTest::mouseClick(down(), Qt::LeftButton);
    QTest::mouseClick(down(), Qt::LeftButton);
    EXPECT_EQ(spin.Value(), 10);
    EXPECT_FALSE(down()->isEnabled());
    QTest::mouseClick(down(), Qt::LeftButton);  // disabled: no step, no beep
    EXPECT_EQ(spin.Value(), 10);
    EXPECT_EQ(beepCount(), 0);
}
