// The support-module wizard offscreen, driving the real driver against the simulated module on the
// real library's test bus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "drennic_test_bus.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "nsm_config.h"
#include "services/receive_fanout.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt::test {
namespace {

class NsmConfigTest : public ::testing::Test {
protected:
    NsmConfigTest() { drennic.bus().setSelfReceive(true); }
    ~NsmConfigTest() override { drennic.close(); }

    static CommonTestLinks commonLinks() {
        CommonTestLinks l;
        l.maxBootupTimeMs = [] { return 200u; };
        l.bitRateKbit = [] { return 500u; };
        l.resultToText = [](const ResultBlock&) { return std::string(); };
        l.errorCodeName = [](uint32_t) { return std::string(); };
        return l;
    }
    NSMLinks driverLinks() {
        NSMLinks l;
        l.api = &drennic.api();
        l.prompt = &prompt;
        l.userNetwork = [] { return 1u; };
        l.hardwareHandle = [] { return 1u; };
        l.bitRateKbit = [] { return 500u; };
        l.commandSettleMs = 20;
        l.restartSettleMs = 20;
        return l;
    }
    NSMWizardLinks wizardLinks() {
        NSMWizardLinks l;
        l.prompt = &prompt;
        l.networkRate = [] { return 500u; };
        l.changeBaudrate = [this](uint32_t n, uint32_t c) { return driver.ChangeBaudrate(n, c); };
        l.changeNodeId = [this](uint8_t c, uint8_t n, uint32_t r) { return driver.ChangeNodeId(c, n, r); };
        return l;
    }
    // Lets the worker's messages through until it is done (bounded).
    void settle(TWin_NSMConfig& form) {
        QElapsedTimer t;
        t.start();
        while (form.wizard().Busy() && t.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_FALSE(form.wizard().Busy());
    }
    std::vector<std::string> prompts() const {
        std::vector<std::string> out;
        for (const auto& a : prompt.asked())
            out.push_back(a.text);
        return out;
    }
    void toBaudratePage(TWin_NSMConfig& form) {
        EXPECT_FALSE(form.back()->isEnabled());
        for (int i = 0; i < 3; ++i)
            form.next()->click();
        ASSERT_EQ(form.pages()->currentIndex(), 3);
        EXPECT_TRUE(form.back()->isEnabled());
    }

    DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
    TCommonTest common{drennic.api(), trace, summary, log, commonLinks()};
    TNSM driver{common, driverLinks()};
};

TEST_F(NsmConfigTest, OpensCentredOverTheMainWindow) {
    QWidget owner;
    owner.setGeometry(50, 40, 700, 520);  // on the screen, where nothing moves the dialog back
    TWin_NSMConfig form(wizardLinks(), &owner);
    QTimer::singleShot(0, &form, [&] {
        // Within a window frame's width.
        EXPECT_LE((form.frameGeometry().center() - owner.geometry().center()).manhattanLength(), 8);
        form.done(0);
    });
    form.Execute();
}

TEST_F(NsmConfigTest, WalksThroughWithTheModule) {
    fixtures::SimNsmConfig config;
    config.nodeId = 0x20;
    auto& module = drennic.devices().addNsm(config);
    ASSERT_TRUE(drennic.open());
    TWin_NSMConfig form(wizardLinks());
    form.Prepare();
    toBaudratePage(form);
    // Item 0: the hint, and the page stays.
    form.next()->click();
    EXPECT_EQ(form.pages()->currentIndex(), 3);
    ASSERT_EQ(prompt.asked().size(), 1u);
    EXPECT_EQ(prompt.asked()[0].icon, PromptIcon::Information);
    EXPECT_EQ(TNSMWizard::LedRate(6), 500u);
    form.ledpattern()->setCurrentIndex(6);  // the network's rate: only found again
    form.next()->click();
    EXPECT_FALSE(form.next()->isEnabled());
    settle(form);
    ASSERT_EQ(form.pages()->currentIndex(), 4);
    EXPECT_FALSE(form.back()->isEnabled());
    EXPECT_EQ(form.currnodeid()->text(), "20");
    EXPECT_EQ(form.newnodeid()->text(), "20");
    EXPECT_TRUE(form.currnodeid()->isReadOnly());
    // Out of range or not hexadecimal: stays.
    for (const char* bad : {"0", "80", "FF", "1G", "", "120"}) {
        form.newnodeid()->setText(bad);
        form.next()->click();
        EXPECT_EQ(form.pages()->currentIndex(), 4) << bad;
        EXPECT_FALSE(form.wizard().Busy());
        EXPECT_EQ(prompts().back(), "Node ID must be in the range 0x01 -> 0x7F");
    }
    const auto asked = prompt.asked().size();
    // The current id moves on silently, without bus traffic.
    drennic.bus().clearSent();
    form.newnodeid()->setText(" 20 ");
    form.next()->click();
    settle(form);
    EXPECT_EQ(form.pages()->currentIndex(), 5);
    EXPECT_TRUE(drennic.bus().sent().empty());
    form.back()->click();
    ASSERT_EQ(form.pages()->currentIndex(), 4);
    form.newnodeid()->setText("30");
    form.next()->click();
    settle(form);
    EXPECT_EQ(form.pages()->currentIndex(), 5);
    EXPECT_EQ(module.nodeId(), 0x30);
    EXPECT_EQ(prompt.asked().size(), asked);
    EXPECT_EQ(form.next()->text(), "Finished");
    EXPECT_FALSE(form.cancel()->isEnabled());
}

TEST_F(NsmConfigTest, FailureKeepsPageAndButtonsAndTheCurrentIdMovesOnSilently) {
    ASSERT_TRUE(drennic.open());  // no module
    TWin_NSMConfig form(wizardLinks());
    form.Prepare();
    toBaudratePage(form);
    form.ledpattern()->setCurrentIndex(6);
    form.next()->click();
    settle(form);
    EXPECT_EQ(form.pages()->currentIndex(), 3);
    EXPECT_TRUE(form.back()->isEnabled());
    EXPECT_TRUE(form.next()->isEnabled());
    EXPECT_TRUE(form.cancel()->isEnabled());
    EXPECT_EQ(prompts(), (std::vector<std::string>{"Failed to find the Norbix Support Module. Please try again."}));
    // The same id on the node-id page moves on without bus traffic.
    form.wizard().HandleMessage(WM_NSM_BAUDRATE_CHANGED);
    EXPECT_EQ(form.wizard().Page(), NSMWizardPage::nodeid);
    drennic.bus().clearSent();
    EXPECT_FALSE(form.wizard().NextClick(0, "00"));  // 0 is refused even when it is the current id
    EXPECT_FALSE(form.wizard().Busy());
    // Cancel asks, and No stays.
    prompt.queueAnswer(PromptAnswer::No);
    EXPECT_FALSE(form.wizard().CancelClick());
    prompt.queueAnswer(PromptAnswer::Yes);
    EXPECT_TRUE(form.wizard().CancelClick());
    EXPECT_EQ(prompts().back(),
              "To run this wizard at any time, choose \"Configure Norbix Support Module...\" from the Options menu.");
    EXPECT_TRUE(drennic.bus().sent().empty());
}

}  // namespace
}  // namespace ostrel::vessolt::test
