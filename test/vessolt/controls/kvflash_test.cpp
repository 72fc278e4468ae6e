#include "kvflash.h"

#include "test_support.h"

#include <QObject>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

using namespace ostrel::vessolt::controls;
using namespace ostrel::vessolt::controls::testing;

namespace {

struct Call {
    uint32_t counter;
    int32_t arg;
    bool operator==(const Call&) const = default;
};

std::vector<Call>& procCalls() {
    static std::vector<Call> calls;
    return calls;
}
void recordProc(uint32_t counter, int32_t arg) { procCalls().push_back({counter, arg}); }
void throwingProc(uint32_t, int32_t) { throw std::runtime_error("client fault"); }

struct Client : QObject, KvFlashClient {
    std::vector<Call> calls;
    bool deleteSelf = false;
    ~Client() override { DelControl(this); }
    void flashTick(uint32_t counter, int32_t arg) override {
        calls.push_back({counter, arg});
        if (deleteSelf)
            delete this;
    }
};

struct Ticks : ::testing::Test {
    ControlsScene scene;
    Ticks() { procCalls().clear(); }
    static void tick() { TKvFlashTimer::flash(); }
};

} // namespace

TEST_F(Ticks, BlinkCodeTwoFiresWhenBitTwoChanges) {
    Client client;
    AddControl(&client, ff8Hz);
    for (int i = 0; i < 9; ++i)
        tick();
    EXPECT_EQ(client.calls, (std::vector<Call>{{4, 1}, {8, 0}}));
    ASSERT_NE(FlashTimer(), nullptr);
    EXPECT_TRUE(FlashTimer()->isTicking());
}

TEST_F(Ticks, IntervalClientsKeepTheirPhaseUpToOneSecondLate) {
    AddProc(&recordProc, 100);
    fakeNow() = 130;
    tick();
    ASSERT_EQ(procCalls().size(), 1u);
    EXPECT_EQ(procCalls().back().arg, 30);
    EXPECT_EQ(FlashList()[0].Due, 200);
    fakeNow() = 199;
    tick();
    EXPECT_EQ(procCalls().size(), 1u);
    fakeNow() = 1700;
    tick();
    ASSERT_EQ(procCalls().size(), 2u);
    EXPECT_EQ(procCalls().back().arg, 0);
    EXPECT_EQ(FlashList()[0].Due, 1800);
}

TEST_F(Ticks, RegisteringAgainKeepsOneRecordAndRestartsItsDueTime) {
    Client client;
    AddControl(&client, 100);
    fakeNow() = 40;
    AddControl(&client, 250);
    ASSERT_EQ(FlashList().size(), 1u);
    EXPECT_EQ(FlashList()[0].Period, 250);
    EXPECT_EQ(FlashList()[0].Due, 290);
    QObject notAClient;
    AddControl(&notAClient, 100);
    AddProc(nullptr, 100);
    EXPECT_EQ(FlashList().size(), 1u);
    DelControl(&client);
    DelControlNo(5);
    EXPECT_TRUE(FlashList().empty());
}

TEST_F(Ticks, WalkGoesOnPastClientsThatThrowOrDeleteThemselves) {
    auto* selfDeleting = new Client;
    selfDeleting->deleteSelf = true;
    Client last;
    AddControl(selfDeleting, 16);
    AddProc(&throwingProc, 16);
    AddProc(&recordProc, 16);
    AddControl(&last, 16);
    fakeNow() = 16;
    tick();
    EXPECT_EQ(procCalls().size(), 1u);
    EXPECT_EQ(last.calls.size(), 1u);
    EXPECT_EQ(FlashList().size(), 3u);
}

TEST_F(Ticks, SlowPassComesOnceASecondOnTheMonotonicClock) {
    AddProc(&recordProc, kFlashSlowPass);
    for (fakeNow() = 16; fakeNow() <= 2000; fakeNow() += 16)
        tick();
    EXPECT_EQ(procCalls().size(), 2u);
    EXPECT_EQ(procCalls()[0].arg, 0);
}

TEST_F(Ticks, ASecondTimerPromptsOnceAndStaysIdle) {
    AddProc(&recordProc, 100);
    ASSERT_NE(FlashTimer(), nullptr);
    {
        TKvFlashTimer second;
        EXPECT_EQ(messageCount(), 1);
        EXPECT_EQ(lastMessage(), "Error Message|Only one TKvFlashTimer per Application!\rRemove it...");
        EXPECT_FALSE(second.isTicking());
    }
    EXPECT_TRUE(FlashTimer()->isTicking());
    EXPECT_EQ(messageCount(), 1);
    DelProc(&recordProc);
    EXPECT_TRUE(FlashTimer()->isTicking());  // releasing every client does not stop the tick
}
