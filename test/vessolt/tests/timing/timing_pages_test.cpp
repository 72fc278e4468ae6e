// The timing tests' settings pages and the RPDO frame dialog, offscreen, over real engines, the real
// expression evaluator and device summary; message boxes are recorded.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "../../core/temp_folder.h"
#include "services/device_summary.h"
#include "expressions/expressions.h"
#include "services/log.h"
#include "testing/test_manager.h"
#include "timing_engine.h"
#include "services/user_prompt.h"
#include "win_config_rpdo.h"
#include "win_config_timing.h"

namespace ostrel::vessolt {
namespace {

class IdleCycle : public TimingCycleDriver {
public:
    int RunCycle(int, TimingCycleHost&) override { return kCycleOk; }
};

// Runs `act` on the dialog once its modal loop shows it.
void whenShown(TWin_ConfigRPDO& dialog, std::function<void(TWin_ConfigRPDO&)> act) {
    auto poll = std::make_shared<std::function<void(int)>>();
    *poll = [&dialog, act, self = std::weak_ptr<std::function<void(int)>>(poll)](int left) {
        if (dialog.isVisible()) {
            act(dialog);
            return;
        }
        if (auto next = self.lock(); next && left > 0)
            QTimer::singleShot(10, [next, left] { (*next)(left - 1); });
    };
    QTimer::singleShot(0, [poll] { (*poll)(500); });
}

template <typename T>
T* child(QWidget& w, const QString& name) {
    T* found = w.findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name.toStdString();
    return found;
}

QString text(QWidget& w, const QString& name) { return child<QLineEdit>(w, name)->text(); }

class TimingPagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager_ = std::make_unique<TTestManager>(log_);
        for (TimingTestKind kind : {TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs, TimingTestKind::TPDOEvent,
                                    TimingTestKind::TPDOEventRPDOs, TimingTestKind::PDOTurnaround})
            engines_[static_cast<size_t>(kind)] = std::make_unique<TimingTestEngine>(
                kind, TimingTestEngine::Services{*manager_, log_, expressions_}, cycle_);
        const auto link = [this](QWidget* caller) { linked_ = caller; };
        pages_[0] = std::make_unique<TWin_ConfigTPDOSync>(engine(TimingTestKind::TPDOSync), prompt_, expressions_,
                                                          summary_, link);
        pages_[1] = std::make_unique<TWin_ConfigTPDOSyncRPDOs>(engine(TimingTestKind::TPDOSyncRPDOs), prompt_,
                                                               expressions_, summary_, dialog_, link);
        pages_[2] = std::make_unique<TWin_ConfigTPDOEvent>(engine(TimingTestKind::TPDOEvent), prompt_, expressions_,
                                                           summary_, link);
        pages_[3] = std::make_unique<TWin_ConfigTPDOEventRPDOs>(engine(TimingTestKind::TPDOEventRPDOs), prompt_,
                                                                expressions_, summary_, dialog_, link);
        pages_[4] = std::make_unique<TWin_ConfigPDOTurnaround>(engine(TimingTestKind::PDOTurnaround), prompt_,
                                                               expressions_, summary_, dialog_, link);
    }
    void TearDown() override {
        for (auto& p : pages_)
            p.reset();
        for (auto& e : engines_)
            e.reset();
        manager_.reset();
    }

    TimingTestEngine& engine(TimingTestKind kind) { return *engines_[static_cast<size_t>(kind)]; }
    TWin_ConfigTiming& page(TimingTestKind kind) { return *pages_[static_cast<size_t>(kind)]; }

    static TimingTestConfig sample(TimingTestKind kind) {
        TimingTestConfig c;
        c.manual_enable = 1;
        c.manualtestcycles = 3;
        c.manualtime[0] = 20;
        c.manualtime[1] = 700;
        c.manualtime[2] = 50000;
        c.syncid = kind == TimingTestKind::TPDOSync || kind == TimingTestKind::TPDOSyncRPDOs ? 0x181 : 0;
        c.alarm_enable = 1;
        c.alarm_operation = 2;
        setTimingExpression(c.alarm_expression, "tpdomax / tpdomin > 1.5");
        c.ciatr308options = 5;
        c.limit_enable = 1;
        c.limit_upperlimit = 300;
        c.limit_lowerlimit = 7;
        setTimingExpression(c.limit_expression, "tpdoave <= 137");
        const TimingVariant& v = timingVariant(kind);
        c.tpdotransmissiontype = v.hasTransmissionType ? 254 : 0;
        for (auto* frames : {&c.rpdo, &c.phase1rpdo, &c.phase2rpdo}) {
            const bool used = frames == &c.rpdo ? v.hasRpdo : v.isTurnaround;
            for (size_t n = 0; used && n < frames->size(); ++n) {
                (*frames)[n].dlc = static_cast<uint8_t>(n);
                (*frames)[n].data[0] = static_cast<uint8_t>(frames == &c.phase2rpdo ? 0xB0 + n : 0xA0 + n);
            }
        }
        return c;
    }

    test::TempRegistry registry_;
    TLog log_;
    TExpressions expressions_;
    TDeviceSummary summary_;
    RecordingPrompt prompt_;
    IdleCycle cycle_;
    TWin_ConfigRPDO dialog_;
    std::unique_ptr<TTestManager> manager_;
    std::array<std::unique_ptr<TimingTestEngine>, 5> engines_;
    std::array<std::unique_ptr<TWin_ConfigTiming>, 5> pages_;
    QWidget* linked_ = nullptr;
};

TEST_F(TimingPagesTest, LoadAndApplyRoundTripEveryPage) {
    for (size_t k = 0; k < pages_.size(); ++k) {
        const auto kind = static_cast<TimingTestKind>(k);
        SCOPED_TRACE(timingVariant(kind).displayName);
        TWin_ConfigTiming& p = page(kind);
        const TimingTestConfig in = sample(kind);
        engine(kind).SetConfig(in);
        p.LoadSettings();
        EXPECT_EQ(child<QTabWidget>(p, "tabs")->currentIndex(), 0);
        EXPECT_EQ(child<QPlainTextEdit>(p, "cycles")->toPlainText(), "20\n700\n50000");
        EXPECT_EQ(child<QComboBox>(p, "alarm_operation")->currentText(), "cancel the test");
        EXPECT_TRUE(child<QCheckBox>(p, "generatepdo")->isChecked());
        EXPECT_FALSE(child<QCheckBox>(p, "generatesdo")->isChecked());
        EXPECT_EQ(text(p, "limit_lowerlimit"), "7");
        if (timingVariant(kind).hasSync)
            EXPECT_EQ(text(p, "syncid"), "181");
        else
            EXPECT_EQ(child<QComboBox>(p, "transtype")->currentText(), "Use manufacturer specific (254)");
        if (kind == TimingTestKind::PDOTurnaround) {
            EXPECT_EQ(text(p, "phase1rpdo1"), "1 byte - A1");
            EXPECT_EQ(text(p, "phase2rpdo2"), "2 bytes - B2 00");
            EXPECT_NE(p.findChild<QPushButton*>("phase2editrpdo7"), nullptr);
            // The rows on a phase tab keep clear of its frame.
            auto* first = p.findChild<QLabel*>("phase2labelrpdo0");
            first->parentWidget()->layout()->activate();
            EXPECT_GE(std::min(first->x(), first->y()), 4);
        } else if (timingVariant(kind).hasRpdo) {
            EXPECT_EQ(text(p, "rpdo0"), "0 bytes -");
            EXPECT_EQ(text(p, "rpdo1"), "1 byte - A1");
        }

        // Clear the test, then apply the page: what the page showed comes back.
        engine(kind).SetConfig(TimingTestConfig{});
        ASSERT_TRUE(p.ApplySettings()) << (prompt_.asked().empty() ? "" : prompt_.asked().back().text);
        TimingTestConfig out;
        engine(kind).GetConfig(out);
        EXPECT_EQ(out.manualtestcycles, 3);
        EXPECT_EQ(out.activecycles, 3);
        EXPECT_EQ(out.manualtime, in.manualtime);
        EXPECT_EQ(out.syncid, in.syncid);
        EXPECT_EQ(out.alarm_enable, 1);
        EXPECT_EQ(out.alarm_operation, 2);
        EXPECT_STREQ(out.alarm_expression, in.alarm_expression);
        EXPECT_EQ(out.ciatr308options, 5u);
        EXPECT_EQ(out.limit_enable, 1);
        EXPECT_EQ(out.limit_upperlimit, 300u);
        EXPECT_EQ(out.limit_lowerlimit, 7u);
        EXPECT_STREQ(out.limit_expression, in.limit_expression);
        EXPECT_EQ(out.tpdotransmissiontype, in.tpdotransmissiontype);
        for (size_t n = 0; n < kTimingMaxPdos; ++n) {
            EXPECT_EQ(out.rpdo[n].dlc, in.rpdo[n].dlc);
            EXPECT_EQ(out.rpdo[n].data[0], in.rpdo[n].data[0]);
            EXPECT_EQ(out.phase2rpdo[n].data[0], in.phase2rpdo[n].data[0]);
        }
    }
    EXPECT_TRUE(prompt_.asked().empty());

    // Defaults reach the controls only; the device profile's type is the default.
    TWin_ConfigTiming& event = page(TimingTestKind::TPDOEvent);
    event.SetDefaults();
    EXPECT_EQ(child<QComboBox>(event, "transtype")->currentText(), "Use device profile (255)");
    EXPECT_EQ(child<QPlainTextEdit>(event, "cycles")->toPlainText(), "500\n250\n100\n50\n10");
    TimingTestConfig kept;
    engine(TimingTestKind::TPDOEvent).GetConfig(kept);
    EXPECT_EQ(kept.tpdotransmissiontype, 254);
}

TEST_F(TimingPagesTest, ControlsShowStoredValuesAndRefuseWithTheDisplayName) {
    TWin_ConfigTiming& sync = page(TimingTestKind::TPDOSync);
    TimingTestConfig c = sample(TimingTestKind::TPDOSync);
    c.syncid = 0x80;
    c.alarm_operation = 9;
    engine(TimingTestKind::TPDOSync).SetConfig(c);
    sync.LoadSettings();
    EXPECT_EQ(text(sync, "syncid"), "080");
    EXPECT_EQ(child<QComboBox>(sync, "alarm_operation")->currentIndex(), 0);
    c.syncid = 0x800;
    engine(TimingTestKind::TPDOSync).SetConfig(c);
    sync.LoadSettings();
    EXPECT_EQ(text(sync, "syncid"), "00000800");

    // Refused: one warning box captioned with the display name, and the test keeps its settings.
    child<QPlainTextEdit>(sync, "cycles")->setPlainText("10");
    EXPECT_FALSE(sync.ApplySettings());
    ASSERT_EQ(prompt_.asked().size(), 1u);
    EXPECT_EQ(prompt_.asked()[0].text, "The Sync message ID must be an 11-bit identifier (0x001 to 0x7FF)");
    EXPECT_EQ(prompt_.asked()[0].caption, "TPDO Sync");
    EXPECT_EQ(prompt_.asked()[0].icon, PromptIcon::Warning);
    EXPECT_EQ(prompt_.asked()[0].buttons, PromptButtons::Ok);
    TimingTestConfig kept;
    engine(TimingTestKind::TPDOSync).GetConfig(kept);
    EXPECT_EQ(kept.syncid, 0x800u);
    EXPECT_EQ(kept.manualtestcycles, 3);

    // At 125 kbit/s a short event time warns once and is still applied.
    summary_.SetBaudrate(125);
    TWin_ConfigTiming& event = page(TimingTestKind::TPDOEventRPDOs);
    c = sample(TimingTestKind::TPDOEventRPDOs);
    c.tpdotransmissiontype = 7;
    engine(TimingTestKind::TPDOEventRPDOs).SetConfig(c);
    event.LoadSettings();
    EXPECT_EQ(child<QComboBox>(event, "transtype")->currentText(), "Don't change");
    child<QPlainTextEdit>(event, "cycles")->setPlainText("10\n4\n2");
    EXPECT_TRUE(event.ApplySettings());
    ASSERT_EQ(prompt_.asked().size(), 2u);
    EXPECT_EQ(prompt_.asked()[1].text, "An event time of 4 ms or less might exceed 100% bus load when using four TPDOs");
    EXPECT_EQ(prompt_.asked()[1].caption, "TPDO Event + RPDOs");
    engine(TimingTestKind::TPDOEventRPDOs).GetConfig(kept);
    EXPECT_EQ(kept.manualtestcycles, 3);
    EXPECT_EQ(kept.manualtime[1], 4u);
    EXPECT_EQ(kept.tpdotransmissiontype, 0);  // "Don't change"

    // Enabled states follow the check boxes; the alarm belongs to the manual test.
    auto* manual = child<QCheckBox>(event, "manual_enable");
    auto* alarmExpression = child<QLineEdit>(event, "alarm_expression");
    EXPECT_TRUE(alarmExpression->isEnabled());
    manual->click();
    EXPECT_FALSE(child<QCheckBox>(event, "alarm_enable")->isEnabled());
    EXPECT_FALSE(alarmExpression->isEnabled());
    EXPECT_FALSE(child<QPlainTextEdit>(event, "cycles")->isEnabled());
    alarmExpression->clear();
    child<QCheckBox>(event, "limit_enable")->click();
    EXPECT_FALSE(child<QLineEdit>(event, "limit_upperlimit")->isEnabled());
    EXPECT_FALSE(child<QLabel>(event, "limit_lowerlimit_label2")->isEnabled());
    child<QLineEdit>(event, "limit_upperlimit")->setText("1");
    child<QPlainTextEdit>(event, "cycles")->setPlainText("100");
    EXPECT_TRUE(event.ApplySettings());
    engine(TimingTestKind::TPDOEventRPDOs).GetConfig(kept);
    EXPECT_EQ(kept.alarm_enable, 1);
    EXPECT_EQ(kept.limit_enable, 0);
    EXPECT_EQ(kept.limit_upperlimit, 1u);

    // The quick reference link opens on the page's window.
    manual->click();
    auto* link = child<QLabel>(event, "expressionquickref");
    ASSERT_TRUE(link->isEnabled());
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(link, &press);
    QApplication::sendEvent(link, &release);
    EXPECT_EQ(linked_, event.window());
}

TEST_F(TimingPagesTest, FrameEditsStayOnThePageUntilApplied) {
    const TimingTestKind kind = TimingTestKind::PDOTurnaround;
    TWin_ConfigTiming& p = page(kind);
    // Before the first fill the rows describe a full frame of 0xFF.
    EXPECT_EQ(text(p, "phase2rpdo5"), "8 bytes - FF FF FF FF FF FF FF FF");
    TimingTestConfig c = sample(kind);
    c.phase2rpdo[3] = {0x203, 1, {0x0A, 0x11, 0x22}};
    engine(kind).SetConfig(c);
    p.LoadSettings();
    EXPECT_EQ(text(p, "phase2rpdo3"), "1 byte - 0A");

    const auto edit = [&](const char* button) {
        whenShown(dialog_, [](TWin_ConfigRPDO& d) {
            d.findChild<QComboBox*>("dlc")->setCurrentIndex(3);
            d.findChild<QLineEdit*>("data2")->setText("7e");
            d.findChild<QPushButton*>("ok")->click();
        });
        child<QPushButton>(p, button)->click();
    };
    edit("phase2editrpdo3");
    EXPECT_EQ(text(p, "phase2rpdo3"), "3 bytes - 0A 11 7E");
    EXPECT_EQ(text(p, "phase1rpdo3"), "3 bytes - A3 00 00");

    // Cancel keeps the test's frames; the next opening shows them again.
    p.CancelSettings();
    TimingTestConfig kept;
    engine(kind).GetConfig(kept);
    EXPECT_EQ(kept.phase2rpdo[3].dlc, 1);
    EXPECT_EQ(kept.phase2rpdo[3].data[2], 0x22);
    p.LoadSettings();
    EXPECT_EQ(text(p, "phase2rpdo3"), "1 byte - 0A");

    // Applied, the edit reaches the test, phase 1 untouched.
    edit("editrpdo0");
    EXPECT_EQ(text(p, "phase1rpdo0"), "3 bytes - A0 00 7E");
    ASSERT_TRUE(p.ApplySettings());
    engine(kind).GetConfig(kept);
    EXPECT_EQ(kept.phase1rpdo[0].dlc, 3);
    EXPECT_EQ(kept.phase1rpdo[0].data[2], 0x7E);
    EXPECT_EQ(kept.phase2rpdo[3].dlc, 1);
}

TEST_F(TimingPagesTest, DialogEditsTheFrameOnlyOnOk) {
    uint8_t length = 3;
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 0xC8};
    QWidget owner;
    owner.setGeometry(100, 100, 2000, 1500);

    whenShown(dialog_, [&](TWin_ConfigRPDO& d) {
        auto* dlc = d.findChild<QComboBox*>("dlc");
        EXPECT_EQ(dlc->currentIndex(), 3);
        EXPECT_EQ(dlc->count(), 9);
        EXPECT_EQ(d.findChild<QLineEdit*>("data7")->text(), "C8");
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(d.findChild<QLineEdit*>(QString("data%1").arg(i))->isEnabled(), i < 3) << i;
        dlc->setCurrentIndex(8);
        EXPECT_TRUE(d.findChild<QLineEdit*>("data7")->isEnabled());
        dlc->setCurrentIndex(0);
        EXPECT_FALSE(d.findChild<QLineEdit*>("data0")->isEnabled());
        dlc->setCurrentIndex(3);
        d.findChild<QLineEdit*>("data0")->setText("a");
        d.findChild<QLineEdit*>("data1")->setText("G1");
        d.findChild<QLineEdit*>("data2")->setText("1G");
        d.findChild<QLineEdit*>("data3")->setText("");
        // Centred over a larger window, as far as its screen allows.
        EXPECT_GT(d.frameGeometry().left(), 100);
        EXPECT_GT(d.frameGeometry().top(), 100);
        // Its frame, once the window system framed it, on the screen too.
        const QRect area = owner.screen()->availableGeometry();
        const auto framed = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!area.contains(d.frameGeometry()) && std::chrono::steady_clock::now() < framed)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        EXPECT_TRUE(area.contains(d.frameGeometry()));
        d.findChild<QPushButton*>("ok")->click();
    });
    EXPECT_TRUE(dialog_.Execute(length, data, &owner));
    EXPECT_EQ(length, 3);
    const uint8_t afterOk[8] = {0x0A, 0, 1, 0, 5, 6, 7, 0xC8};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(data[i], afterOk[i]) << i;

    // Cancel and the title bar's close change nothing.
    whenShown(dialog_, [](TWin_ConfigRPDO& d) {
        d.findChild<QComboBox*>("dlc")->setCurrentIndex(8);
        d.findChild<QLineEdit*>("data4")->setText("99");
        d.findChild<QPushButton*>("cancel")->click();
    });
    EXPECT_FALSE(dialog_.Execute(length, data, &owner));
    whenShown(dialog_, [](TWin_ConfigRPDO& d) {
        d.findChild<QComboBox*>("dlc")->setCurrentIndex(1);
        d.findChild<QLineEdit*>("data0")->setText("55");
        d.close();
    });
    EXPECT_FALSE(dialog_.Execute(length, data, nullptr));
    EXPECT_EQ(length, 3);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(data[i], afterOk[i]) << i;

    // A length the list does not carry is kept on OK; the bytes are taken.
    length = 12;
    whenShown(dialog_, [](TWin_ConfigRPDO& d) {
        EXPECT_EQ(d.findChild<QComboBox*>("dlc")->currentIndex(), -1);
        EXPECT_FALSE(d.findChild<QLineEdit*>("data0")->isEnabled());
        d.findChild<QLineEdit*>("data0")->setText("FF");
        d.findChild<QPushButton*>("ok")->click();
    });
    EXPECT_TRUE(dialog_.Execute(length, data, nullptr));
    EXPECT_EQ(length, 12);
    EXPECT_EQ(data[0], 0xFF);
}

} // namespace
} // namespace ostrel::vessolt
