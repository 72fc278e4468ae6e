#include "services/device_summary.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>

#include "services/qt_message_sink.h"
#include "services/window_messages.h"

using namespace ostrel::vessolt;

namespace {

struct Counter : QObject {
    int changes = 0;
    bool event(QEvent* e) override {
        if (e->type() != ServiceEvent::type())
            return QObject::event(e);
        auto* se = static_cast<ServiceEvent*>(e);
        EXPECT_EQ(se->message, WM_DEVICESUMMARYCHANGED);
        EXPECT_EQ(se->wParam, 0u);
        EXPECT_EQ(se->lParam, 0);
        ++changes;
        return true;
    }
};

DeviceSummaryRecord copyOf(const TDeviceSummary& summary) {
    DeviceSummaryRecord r{};
    EXPECT_TRUE(summary.GetSummary(r));
    return r;
}

} // namespace

TEST(DeviceSummary, StatisticsKeepMeasuredZeroAndPostEveryChange) {
    TDeviceSummary summary;
    Counter target;
    QtMessageSink sink(&target);
    summary.AddListener(&sink);

    for (float t : {0.0f, 5.0f, 3.0f})
        summary.AddBootupTime(t);
    summary.AddHeartbeatTime(95);
    summary.AddHeartbeatTime(108);
    summary.AddEventTPDO10msTime(9);
    summary.AddEventTPDO10msTime(12);
    summary.AddSyncTPDO100msTime(0);
    summary.AddSyncTPDO100msTime(104);
    summary.AddNodeGuardingTime(90);
    summary.AddNodeGuardingTime(120);
    summary.UpdateMaxBusLoad(40);
    summary.UpdateMaxBusLoad(30);
    summary.UpdateMaxBusLoad(55);
    summary.UpdateMaxBurstLength(0);
    QCoreApplication::sendPostedEvents(&target);
    EXPECT_EQ(target.changes, 15);

    DeviceSummaryRecord r = copyOf(summary);
    EXPECT_EQ(r.bootup_min, 0.0f);
    EXPECT_EQ(r.bootup_max, 5.0f);
    EXPECT_EQ(r.bootup_numtries, 3u);
    EXPECT_EQ(r.bootup_total, 8.0f);
    EXPECT_FLOAT_EQ(r.bootup_average, 8.0f / 3.0f);
    EXPECT_EQ(r.bootuptime, 3.0f);
    EXPECT_TRUE(r.flags[kFlagBootupGroup] && r.flags[kFlagBootupTime]);
    EXPECT_FALSE(r.flags[kFlagSdoResponseGroup]);

    EXPECT_EQ(r.heartbeat100ms_min, 95.0f);
    EXPECT_EQ(r.heartbeat100ms_max, 108.0f);
    EXPECT_FLOAT_EQ(r.heartbeat100ms_dev, 8.0f);
    EXPECT_FLOAT_EQ(r.eventtpdo10ms_dev, 20.0f);
    EXPECT_FLOAT_EQ(r.eventtpdo10ms_ave, 10.5f);
    EXPECT_EQ(r.synctpdo100ms_min, 0.0f);
    EXPECT_EQ(r.synctpdo100ms_diff, 104.0f);
    EXPECT_EQ(r.synctpdo100ms_ave, 52.0f);
    EXPECT_EQ(r.nodeguarding100ms_diff, 30.0f);
    EXPECT_EQ(r.maxbusload, 55.0f);
    EXPECT_EQ(r.maxburstlength, 0.0f);
    EXPECT_TRUE(r.flags[kFlagMaxBurstLength]);
    EXPECT_FALSE(r.flags[kFlagEvent100Min]);

    summary.RemoveListener(&sink);
    summary.AddSDOResponseTime(1);
    QCoreApplication::sendPostedEvents(&target);
    EXPECT_EQ(target.changes, 15);
}

TEST(DeviceSummary, ClearKeepsOnlyTheBitRate) {
    TDeviceSummary summary;
    DeviceSummaryRecord fresh = copyOf(summary);
    for (const SummaryField& f : kSummaryFields) {
        EXPECT_FALSE(isFieldSet(fresh, f)) << f.name;
        EXPECT_EQ(fieldFloat(fresh, f), 0.0) << f.name;
    }
    summary.SetBaudrate(250);
    summary.SetCompatibilityRating(-3);
    summary.AddEventTPDO100msTime(101);
    summary.Clear();
    DeviceSummaryRecord r = copyOf(summary);
    EXPECT_EQ(summary.GetBaudrate(), 250u);
    for (const SummaryField& f : kSummaryFields) {
        bool isRate = std::string(f.name) == "baudrate";
        EXPECT_EQ(isFieldSet(r, f), isRate) << f.name;
        EXPECT_EQ(fieldInteger(r, f), isRate ? 250 : 0) << f.name;
    }
    EXPECT_EQ(r.eventtpdo100ms_count, 0u);
    EXPECT_EQ(r.eventtpdo100ms_sum, 0.0);
}

// Every writable row's setter stores into that row's value and flag; the statistics have none.
TEST(DeviceSummary, FieldTableRowsMatchTheirSetters) {
    std::set<std::string> names;
    std::set<int> flags;
    int writable = 0;
    for (const SummaryField& f : kSummaryFields) {
        names.insert(f.name);
        flags.insert(f.flag);
        EXPECT_NE(std::string(f.doc), "") << f.name;
        if (f.script == ScriptWrite::Ignored)
            continue;
        ++writable;
        TDeviceSummary summary;
        std::visit(
            [&](auto setter) {
                if constexpr (!std::is_same_v<decltype(setter), std::monostate>)
                    (summary.*setter)(7);
            },
            f.setter);
        DeviceSummaryRecord r = copyOf(summary);
        EXPECT_TRUE(isFieldSet(r, f)) << f.name;
        EXPECT_EQ(fieldInteger(r, f), 7) << f.name;
    }
    EXPECT_EQ(names.size(), kSummaryFieldCount);
    EXPECT_EQ(writable, 30);  // 24 identity rows, 3 maxima, 3 ratings
    // The two groups share a flag; every other flag belongs to exactly one row.
    EXPECT_EQ(flags.size() + 8, kSummaryFieldCount);
    ASSERT_NE(findSummaryField("nodeid"), nullptr);
    EXPECT_STREQ(findSummaryField("nodeid")->doc, "noder id");
    EXPECT_EQ(findSummaryField("bootup_hasdata"), nullptr);

    TDeviceSummary summary;
    summary.AddHeartbeatTime(100);
    DeviceSummaryRecord r = copyOf(summary);
    for (const SummaryPresence& p : kSummaryPresence)
        EXPECT_EQ(isPresent(r, p), std::string(p.name) == "heartbeat100ms_hasdata") << p.name;
}

TEST(DeviceSummary, RatingsAndIdentityReadBackSignedAndUnsigned) {
    TDeviceSummary summary;
    summary.SetDeviceType(0xFFFF0191u);
    summary.SetReliabilityRating(-1);
    summary.SetNodeId(0x85);
    DeviceSummaryRecord r = copyOf(summary);
    EXPECT_EQ(fieldInteger(r, *findSummaryField("devicetype")), 0xFFFF0191LL);
    EXPECT_EQ(fieldInteger(r, *findSummaryField("reliabilityrating")), -1);
    EXPECT_EQ(fieldInteger(r, *findSummaryField("nodeid")), 0x85);
}

TEST(DeviceSummary, ConcurrentWritersAndReadersLoseNothing) {
    TDeviceSummary summary;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                summary.AddSDOResponseTime(static_cast<float>(i % 7));
                summary.UpdatePeakMessageRate(static_cast<float>(i));
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 5000; ++i) {
            DeviceSummaryRecord r{};
            ASSERT_TRUE(summary.GetSummary(r));
            ASSERT_LE(r.sdoresponse_min, r.sdoresponse_max);
        }
    });
    for (auto& th : threads)
        th.join();
    DeviceSummaryRecord r = copyOf(summary);
    EXPECT_EQ(r.sdoresponse_numtries, 15000u);
    EXPECT_EQ(r.sdoresponse_min, 0.0f);
    EXPECT_EQ(r.sdoresponse_max, 6.0f);
    EXPECT_EQ(r.peakmessagerate, 4999.0f);
}
