// The support-module driver's lists, start and hardware changes against the simulated module on the
// real library's test bus; lists are read back from the module.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "common_test_support.h"
#include "testing/trace_filters.h"

namespace ostrel::vessolt::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct Entry {
    uint32_t timeUs;
    uint32_t identifier;
    uint8_t dlc;
};

std::vector<Entry> entries(const Bytes& list) {
    std::vector<Entry> out;
    for (size_t i = 0; i + 16 <= list.size(); i += 16) {
        NSMListEntry e{};
        std::memcpy(&e, list.data() + i, 16);
        out.push_back({TNSM::GetEntryTime(e), e.identifier, static_cast<uint8_t>(e.timeLength & 0xFF)});
    }
    return out;
}

std::vector<uint32_t> timesMs(const Bytes& list) {
    std::vector<uint32_t> out;
    for (const Entry& e : entries(list))
        out.push_back(e.timeUs / 1000);
    return out;
}

NSMStimulusFrame frame(uint32_t id, uint8_t dlc, uint8_t fill) {
    NSMStimulusFrame f{id, dlc, {}};
    std::memset(f.data, fill, sizeof f.data);
    return f;
}

class NsmDriverTest : public CommonServicesTest {
protected:
    NSMLinks driverLinks() {
        NSMLinks l;
        l.api = &drennic.api();
        l.prompt = &prompt;
        l.bitRateKbit = [this] { return rate; };
        l.userNetwork = [] { return 1u; };    // the test bus's built-in network, 500 kbit/s
        l.hardwareHandle = [] { return 1u; };
        l.commandSettleMs = 50;
        l.restartSettleMs = 50;
        return l;
    }
    fixtures::SimNsm& openWithModule(uint8_t id = 0x7F) {
        auto& module = addNsm(id);
        open();
        EXPECT_TRUE(driver.Find(id, nullptr));
        return module;
    }
    std::vector<std::string> prompts() const {
        std::vector<std::string> out;
        for (const auto& a : prompt.asked())
            out.push_back(a.text);
        return out;
    }

    uint32_t rate = 500;
    TNSM driver{common, driverLinks()};
};

TEST(NsmEntry, TimeAndLengthWord) {
    NSMListEntry e{};
    TNSM::SetEntryLength(e, 8);
    ASSERT_TRUE(TNSM::SetEntryTime(e, 1234));
    EXPECT_EQ(e.timeLength >> 12, 12u);
    EXPECT_EQ((e.timeLength >> 8) & 0xF, 2u);
    EXPECT_EQ(e.timeLength & 0xFF, 8u);
    EXPECT_EQ(TNSM::GetEntryTime(e), 1232u);
    TNSM::SetEntryLength(e, 3);
    EXPECT_EQ(TNSM::GetEntryTime(e), 1232u);
    // Beyond the 20-bit field the entry is refused and kept.
    const uint32_t before = e.timeLength;
    EXPECT_FALSE(TNSM::SetEntryTime(e, kNSMMaxEntryTimeUs + 1));
    EXPECT_EQ(e.timeLength, before);
    EXPECT_TRUE(TNSM::SetEntryTime(e, kNSMMaxEntryTimeUs));
    EXPECT_EQ(TNSM::GetEntryTime(e), 104857596u);
}

TEST(NsmEntry, SortIsStableByFirstWordAndAlignmentOnlyWhenSpanFits) {
    NSMListEntry list[3]{};
    uint32_t ids[3] = {1, 2, 3};
    const uint32_t times[3] = {400000, 100000, 400000};
    const uint8_t dlcs[3] = {8, 1, 8};
    for (int i = 0; i < 3; ++i) {
        list[i].identifier = ids[i];
        TNSM::SetEntryLength(list[i], dlcs[i]);
        ASSERT_TRUE(TNSM::SetEntryTime(list[i], times[i]));
    }
    TNSM::SortList(list, 3);
    EXPECT_EQ(list[0].identifier, 2u);
    EXPECT_EQ(list[1].identifier, 1u);
    EXPECT_EQ(list[2].identifier, 3u);
    TNSM::AlignListToPeriod(list, 1);  // one entry: nothing to align
    TNSM::AlignListToPeriod(list, 3);  // first 100 ms < span 300 ms
    EXPECT_EQ(TNSM::GetEntryTime(list[0]), 100000u);
}

TEST(NsmTables, RowsAnchorsAndGroups) {
    auto rows = [](const NSMTrafficRecord* t) {
        int n = 0;
        while (t[n].identifier != 0)
            ++n;
        return n;
    };
    const uint32_t rates[8] = {1000, 800, 500, 250, 125, 50, 20, 10};
    const uint32_t last3[8] = {49900, 62400, 99900, 199900, 399900, 999900, 2499900, 4999900};
    const uint32_t last5[8] = {13088, 16360, 26176, 52352, 104704, 261760, 654400, 1308800};
    const uint32_t sdo[8] = {15000, 18750, 30000, 60000, 120000, 300000, 750000, 1500000};
    const uint32_t sync[8] = {10000, 6250, 10000, 20000, 40000, 100000, 250000, 500000};
    for (int g = 0; g < 8; ++g) {
        SCOPED_TRACE(rates[g]);
        for (int kind = 0; kind < 4; ++kind) {
            const NSMTrafficRecord* t = TR308Table(kind, rates[g]);
            ASSERT_EQ(rows(t), kTR308Rows[kind]);
            const NSMTrafficRecord* base = TR308Table(kind, 1000);
            for (int r = 0; r < kTR308Rows[kind]; ++r) {
                EXPECT_EQ(t[r].identifier, base[r].identifier);
                EXPECT_EQ(t[r].dlc, base[r].dlc);
                EXPECT_EQ(std::memcmp(t[r].data, base[r].data, 8), 0);
                EXPECT_LE(t[r].timeUs, t[kTR308Rows[kind] - 1].timeUs);
            }
        }
        EXPECT_EQ(TR308Table(0, rates[g])[21].timeUs, last3[g]);
        EXPECT_EQ(TR308Table(2, rates[g])[43].timeUs, last5[g]);
        EXPECT_EQ(TR308Table(1, rates[g])[0].timeUs, sdo[g]);
        EXPECT_EQ(TR308Table(3, rates[g])[7].timeUs, sync[g]);
    }
    const NSMTrafficRecord* ec = TR308Table(0, 1000);
    EXPECT_EQ(ec[0].timeUs, 12400u);
    EXPECT_EQ(ec[0].identifier, 0x703u | kNSMRemoteFrame);
    EXPECT_EQ(ec[3].timeUs, 12500u);
    EXPECT_EQ(ec[3].data[0], 0x7F);
    EXPECT_EQ(ec[8].timeUs, 24900u);
    EXPECT_EQ(ec[14].timeUs, 37400u);
    EXPECT_EQ(ec[20].identifier, 0x705u | kNSMRemoteFrame);
    EXPECT_EQ(ec[21].identifier, 0x70Fu);
    EXPECT_EQ(TR308Table(0, 800)[3].timeUs, 15625u);
    const NSMTrafficRecord* pdo = TR308Table(2, 1000);
    EXPECT_EQ(pdo[0].timeUs, 297u);
    EXPECT_EQ(pdo[0].identifier, 0x183u);
    EXPECT_EQ(pdo[0].dlc, 1);
    EXPECT_EQ(pdo[0].data[0], 1);
    EXPECT_EQ(pdo[43].identifier, 0x20Fu);
    EXPECT_EQ(pdo[43].dlc, 8);
    EXPECT_EQ(pdo[43].data[7], 0xFF);
    EXPECT_EQ(TR308Table(2, 100), TR308Table(2, 125));
    EXPECT_EQ(TR308Table(4, 125), nullptr);
}

TEST_F(NsmDriverTest, TPDOSyncListsReadBackFromTheModule) {
    auto& module = openWithModule();
    EXPECT_TRUE(driver.StartTransmission());  // nothing loaded: no traffic
    const uint32_t before = module.sdoRequests();
    EXPECT_TRUE(driver.StartTransmission());
    EXPECT_EQ(module.sdoRequests(), before);
    EXPECT_FALSE(module.transmitting());

    ASSERT_TRUE(driver.WriteTPDOSyncLists(0x80, 10, 5, 0));
    EXPECT_TRUE(driver.ListsLoaded());
    const Bytes expected1 = {0x00, 0x40, 0x06, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(module.list(1), expected1);
    const auto bg = entries(module.list(2));
    ASSERT_EQ(bg.size(), 1u);
    EXPECT_EQ(bg[0].timeUs, 400000u);
    EXPECT_EQ(bg[0].identifier, 0x605u);
    EXPECT_EQ(bg[0].dlc, 8);
    const Bytes list2 = module.list(2);
    EXPECT_EQ(Bytes(list2.begin() + 8, list2.end()), (Bytes{0x40, 0x00, 0x18, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(module.commands(), (std::vector<std::string>{"Ver?", "Lst1", "Lst2"}));  // options 0: no traffic
    EXPECT_TRUE(module.list(3).empty());
    ASSERT_TRUE(driver.StartTransmission());
    EXPECT_TRUE(module.transmitting());
    EXPECT_TRUE(driver.ListsLoaded());

    // A SYNC identifier above 0xFF is kept whole.
    ASSERT_TRUE(driver.WriteTPDOSyncLists(0x100, 10, 5, 0));
    EXPECT_EQ(entries(module.list(1))[0].identifier, 0x100u);
}

TEST_F(NsmDriverTest, StimulusListsAlignToThePeriodOnlyWhenTheSpanFits) {
    auto& module = openWithModule();
    const NSMStimulusFrame rpdos[5] = {frame(0x205, 2, 1), frame(0x305, 8, 2), frame(0x405, 1, 3), frame(0x505, 4, 4),
                                       frame(0x206, 3, 5)};
    ASSERT_TRUE(driver.WriteTPDOSyncRPDOsLists(0x80, 10, 5, rpdos, 3, 0));
    EXPECT_EQ(timesMs(module.list(1)), (std::vector<uint32_t>{7, 8, 9, 10}));
    const auto l1 = entries(module.list(1));
    EXPECT_EQ(l1[0].identifier, 0x80u);
    EXPECT_EQ(l1[2].identifier, 0x305u);
    EXPECT_EQ(l1[2].dlc, 8);
    EXPECT_EQ(module.list(1)[2 * 16 + 8], 2);

    ASSERT_TRUE(driver.WriteTPDOSyncRPDOsLists(0x80, 2, 5, rpdos, 5, 0));
    EXPECT_EQ(timesMs(module.list(1)), (std::vector<uint32_t>{2, 3, 4, 5, 6, 7}));

    ASSERT_TRUE(driver.WriteTPDOEventRPDOsLists(10, 5, rpdos, 2, 0));
    EXPECT_EQ(timesMs(module.list(1)), (std::vector<uint32_t>{10, 11}));  // span 1 ms: 11, 12 lowered by 1

    // No RPDOs: neither the list command nor data.
    const auto commands = module.commands().size();
    ASSERT_TRUE(driver.WriteTPDOEventRPDOsLists(10, 5, rpdos, 0, 0));
    EXPECT_EQ(module.commands().size(), commands + 1);
    EXPECT_EQ(module.commands().back(), "Lst2");

    ASSERT_TRUE(driver.WritePDOTurnaroundLists(20, 5, rpdos, rpdos + 2, 2, 3, 0));
    const auto turn = entries(module.list(1));
    ASSERT_EQ(turn.size(), 2u);
    EXPECT_EQ(turn[0].timeUs, 20000u);
    EXPECT_EQ(turn[0].identifier, 0x305u);
    EXPECT_EQ(turn[1].timeUs, 40000u);
    EXPECT_EQ(turn[1].identifier, 0x505u);
    // A frame number outside the arrays is refused before any download.
    const auto requests = module.sdoRequests();
    EXPECT_FALSE(driver.WritePDOTurnaroundLists(20, 5, rpdos, rpdos, 0, 3, 0));
    EXPECT_FALSE(driver.WritePDOTurnaroundLists(20, 5, rpdos, rpdos, 4, 3, 0));
    EXPECT_FALSE(driver.ListsLoaded());
    EXPECT_EQ(module.sdoRequests(), requests);
    // A period the list format cannot hold fails the writer.
    EXPECT_FALSE(driver.WriteTPDOSyncLists(0x80, 200'000, 5, 0));
    EXPECT_FALSE(driver.ListsLoaded());
}

TEST_F(NsmDriverTest, ModulePlaysItsListsUntilReset) {
    addNode(5);
    auto& module = openWithModule();
    ASSERT_TRUE(driver.WriteTPDOSyncLists(0x80, 10, 5, 0));
    trace.Stop();
    trace.Reset();
    trace.Start(500);
    ASSERT_TRUE(driver.StartTransmission());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    trace.Stop();
    PeriodStats stats{};
    common.MeasureMessagePeriod(&stats, 0x80, 10);
    EXPECT_NEAR(stats.count, 99u, 5u);
    const TraceFilter sdo = trace_filters::data(0x605, 8, {0x40, 0x00, 0x18, 0x01});
    int requests = 0;
    for (auto f = trace.FindFirst(&sdo, 1); f; f = trace.FindNext(&sdo, 1))
        ++requests;
    EXPECT_NEAR(requests, 2, 1);  // every 400 ms
    // An NMT reset stops and empties the lists.
    common.ResetAllNodes();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(module.transmitting());
    EXPECT_TRUE(module.list(1).empty());
    trace.Reset();
    trace.Start(500);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    trace.Stop();
    const TraceFilter sync = trace_filters::data(0x80, 0);
    EXPECT_FALSE(trace.FindFirst(&sync, 1).has_value());
}

TEST_F(NsmDriverTest, GuardingLoadAndGuardingOnlyWriters) {
    auto& module = openWithModule();
    ASSERT_TRUE(driver.WriteODScanLists(5));  // no guarding: the command, no data
    EXPECT_EQ(module.commands().back(), "Lst2");
    EXPECT_FALSE(driver.ListsLoaded());
    const auto requests = module.sdoRequests();
    EXPECT_TRUE(driver.StartTransmission());
    EXPECT_EQ(module.sdoRequests(), requests);
    EXPECT_FALSE(module.transmitting());

    driver.SetErrorControlMode(2);
    ASSERT_TRUE(driver.WriteTPDOEventLists(5, 0));
    const auto bg = entries(module.list(2));
    ASSERT_EQ(bg.size(), 5u);
    EXPECT_EQ(timesMs(module.list(2)), (std::vector<uint32_t>{100, 200, 300, 400, 400}));
    EXPECT_EQ(bg[3].identifier, 0x705u | kNSMRemoteFrame);
    EXPECT_EQ(bg[3].dlc, 1);
    EXPECT_EQ(bg[4].identifier, 0x605u);

    ASSERT_TRUE(driver.WritePDOAnalysisLists(5));
    EXPECT_TRUE(driver.ListsLoaded());
    EXPECT_EQ(entries(module.list(2)).size(), 4u);
    EXPECT_EQ(module.commands().back(), "Lst2");
}

TEST_F(NsmDriverTest, TrafficListsFollowTheNetworkBitRate) {
    auto& module = openWithModule();
    ASSERT_TRUE(driver.WriteTPDOSyncLists(0x80, 10, 5, 0xF));
    for (int kind = 0; kind < 4; ++kind) {
        const auto list = entries(module.list(3 + static_cast<size_t>(kind)));
        ASSERT_EQ(static_cast<int>(list.size()), kTR308Rows[kind]);
        const NSMTrafficRecord* t = TR308Table(kind, 500);
        for (size_t r = 0; r < list.size(); ++r) {
            EXPECT_EQ(list[r].identifier, t[r].identifier);
            EXPECT_EQ(list[r].dlc, t[r].dlc);
            EXPECT_EQ(list[r].timeUs, t[r].timeUs / 100 * 100 + t[r].timeUs % 100 / 16 * 16);
        }
    }
    rate = 100;
    ASSERT_TRUE(driver.WriteTPDOSyncLists(0x80, 10, 5, 0x4));
    EXPECT_EQ(entries(module.list(5)).back().timeUs, 104704u / 100 * 100);  // the 4 us fall below the nibble
    EXPECT_EQ(module.commands().back(), "Lst5");
}

TEST_F(NsmDriverTest, NodeIdChanges) {
    auto& module = openWithModule(0x20);
    const auto requests = module.sdoRequests();
    EXPECT_TRUE(driver.ChangeNodeId(0x20, 0x20, 500));
    EXPECT_EQ(module.sdoRequests(), requests);
    ASSERT_TRUE(driver.ChangeNodeId(0x20, 0x30, 500));
    EXPECT_EQ(module.nodeId(), 0x30);
    EXPECT_EQ(module.commands().back(), "I!30");
    EXPECT_TRUE(prompts().empty());
    // Equal rates: only found again.
    EXPECT_EQ(driver.ChangeBaudrate(500, 500), 0x30);
    EXPECT_EQ(driver.ChangeBaudrate(100, 500), 0);
    EXPECT_EQ(prompts(), (std::vector<std::string>{"Unknown baudrate to switch Norbix Support Module to."}));
    // No module at the old id.
    EXPECT_FALSE(driver.ChangeNodeId(0x20, 0x31, 500));
    EXPECT_EQ(prompts().back(), "Failed to read [1F50,00] from Norbix Support Module. Please try again.");
}

TEST_F(NsmDriverTest, NodeIdChangeSeeingAnotherNodeFails) {
    addNode(3);
    auto& module = openWithModule(0x20);
    EXPECT_FALSE(driver.ChangeNodeId(0x20, 0x30, 500));
    EXPECT_EQ(module.nodeId(), 0x30);
    EXPECT_EQ(prompts(), (std::vector<std::string>{"Failed to change the node id of the Norbix Support Module. Please try again."}));
}

class NsmBitRateTest : public NsmDriverTest {
protected:
    fixtures::SimNsm& addModuleAt(uint32_t kbit) {
        fixtures::SimNsmConfig config;
        config.bitRateKbit = kbit;
        auto& module = drennic.devices().addNsm(config);
        module.setMasterRate([this] { return drennic.bus().currentBaudKbit(); });
        return module;
    }
    int networks() {
        NetworkInfo n[8]{};
        return drennic.api().enumerateNetworks(n, 8, 1);
    }
};

TEST_F(NsmBitRateTest, ModuleIsBroughtToTheUsersBitRate) {
    auto& module = addModuleAt(250);
    open();
    EXPECT_EQ(common.ResetAndFindBootup(500), 0);  // not heard at 500 kbit/s
    const auto resets = drennic.bus().counters().reset;
    EXPECT_EQ(driver.ChangeBaudrate(500, 250), 0x7F);
    EXPECT_EQ(module.bitRateKbit(), 500u);
    EXPECT_EQ(module.commands().back(), "BR!6");
    EXPECT_EQ(drennic.bus().currentNetwork(), 1u);
    EXPECT_EQ(networks(), 1);  // the temporary network is gone
    EXPECT_EQ(drennic.bus().counters().reset, resets + 2);
    EXPECT_TRUE(prompts().empty());
}

TEST_F(NsmBitRateTest, AbsentModuleAsksTwiceAndReturnsToTheUsersNetwork) {
    auto& module = addModuleAt(125);
    open();
    const auto resets = drennic.bus().counters().reset;
    EXPECT_EQ(driver.ChangeBaudrate(500, 250), 0);
    EXPECT_EQ(prompts(), (std::vector<std::string>{
                             "Failed to find Norbix Support Module on the network. Please remove the module from the "
                             "network. Click OK when done.",
                             "Please reconnect the Norbix Support Module to the network. Click OK when done.",
                             "Failed to find Norbix Support Module on the network. Please try again."}));
    const auto asked = prompt.asked();
    EXPECT_EQ(asked[0].icon, PromptIcon::Information);
    EXPECT_EQ(asked[2].icon, PromptIcon::Warning);
    EXPECT_EQ(asked[2].caption, kProductName);
    EXPECT_EQ(drennic.bus().counters().reset, resets + 2);
    EXPECT_EQ(drennic.bus().currentNetwork(), 1u);
    EXPECT_EQ(networks(), 1);
    EXPECT_EQ(module.bitRateKbit(), 125u);
}

}  // namespace
}  // namespace ostrel::vessolt::test
