#include "services/transmit_table.h"

#include <gtest/gtest.h>

#include <platform/clock.h>

#include <algorithm>

#include "drennic_test_bus.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

class TransmitTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(drennic.open()); }
    ~TransmitTable() override { drennic.close(); }

    size_t sentWithId(uint32_t id) {
        const std::vector<CANFrame> sent = drennic.bus().sent();
        return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [&](const CANFrame& f) { return f.id == id; }));
    }

    test::DrennicTestBus drennic;
    ReceiveFanout fanout;
    RecordingPrompt prompt;
    TTransmit table{20, drennic.api(), fanout, prompt};
};

TransmitEntry periodicEntry(uint32_t id, uint32_t periodMs) {
    TransmitEntry e;
    e.inUse = 1;
    e.identifier = id;
    e.periodic = 1;
    e.period = periodMs;
    e.dlc = 3;
    e.data[0] = 0x11;
    return e;
}

} // namespace

TEST_F(TransmitTable, PeriodicEntryFollowsItsPeriodUntilStop) {
    ASSERT_TRUE(table.SetEntry(7, periodicEntry(0x222, 100)));
    ostrel::platform::sleepMs(150);
    EXPECT_EQ(sentWithId(0x222), 0u) << "nothing before Start";
    const uint32_t started = ostrel::platform::tickMs();
    table.Start();
    table.Start();  // a second Start keeps the one timer
    ostrel::platform::sleepMs(1000);
    table.Stop();
    const uint32_t periods = (ostrel::platform::tickMs() - started) / 100;  // 10 unless the machine lagged
    const size_t inASecond = sentWithId(0x222);
    EXPECT_GE(inASecond, periods - 1);
    EXPECT_LE(inASecond, periods + 1);
    EXPECT_FALSE(table.IsRunning());
    ostrel::platform::sleepMs(300);
    EXPECT_EQ(sentWithId(0x222), inASecond) << "nothing after Stop";

    table.Start();
    ASSERT_TRUE(drennic.bus().waitForSent(inASecond + 1, 1000)) << "Start resumes";
    const CANFrame f = drennic.bus().sent().back();
    EXPECT_EQ(f.length, 3);
    EXPECT_EQ(f.data[0], 0x11);

    // Clear puts every entry out of use and leaves the timer running.
    table.Clear();
    EXPECT_TRUE(table.IsRunning());
    EXPECT_EQ(table.GetEntry(7)->inUse, 0);
    drennic.bus().clearSent();
    ostrel::platform::sleepMs(250);
    EXPECT_EQ(sentWithId(0x222), 0u);
    EXPECT_TRUE(prompt.asked().empty());
}

TEST_F(TransmitTable, IdentifiersAbove0x7FFGoExtendedAndRemoteEntriesAsRequests) {
    TransmitEntry e = periodicEntry(0x800, 1000);
    ASSERT_TRUE(table.SetEntry(0, e));
    e.identifier = 0x7FF;
    ASSERT_TRUE(table.SetEntry(1, e));
    e.identifier = 0x1FFFFFFF;
    e.rtr = 1;
    ASSERT_TRUE(table.SetEntry(2, e));
    table.Send(0);
    table.Send(1);
    table.Send(2);
    table.Send(3);   // not in use
    table.Send(20);  // no such entry
    table.Send(-1);
    const std::vector<CANFrame> sent = drennic.bus().sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].id, 0x800u);
    EXPECT_EQ(sent[0].flags, DRN_FLAG_EXTENDED);
    EXPECT_EQ(sent[1].id, 0x7FFu);
    EXPECT_EQ(sent[1].flags, 0);
    EXPECT_EQ(sent[2].flags, DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE);
}

TEST_F(TransmitTable, SetEntryRefusesWhatCannotBeSent) {
    const TransmitEntry good = periodicEntry(0x100, 10);
    EXPECT_FALSE(table.SetEntry(-1, good));
    EXPECT_FALSE(table.SetEntry(20, good));
    TransmitEntry bad = good;
    bad.dlc = 9;
    EXPECT_FALSE(table.SetEntry(0, bad));
    bad = good;
    bad.period = 0;
    EXPECT_FALSE(table.SetEntry(0, bad));
    bad = good;
    bad.identifier = 0x20000000;
    EXPECT_FALSE(table.SetEntry(0, bad));

    // Refused entries leave the defaults.
    const std::optional<TransmitEntry> e = table.GetEntry(0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->inUse, 0);
    EXPECT_EQ(e->identifier, 1u);
    EXPECT_EQ(e->triggerIdentifier, 0x80u);
    EXPECT_EQ(e->dlc, 8);
    EXPECT_EQ(e->period, 1000u);
    EXPECT_FALSE(table.GetEntry(20));
    EXPECT_EQ(table.GetEntryCount(), 20);

    EXPECT_TRUE(table.SetEntry(19, good));
    EXPECT_EQ(table.GetEntry(19)->identifier, 0x100u);
}
