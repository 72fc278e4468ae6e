// Blocking SDO, finding the test node and the support module, and the error-control set-up, with
// the real library on its test bus.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common_test_support.h"

using namespace ostrel::vessolt;
using ostrel::fixtures::SdoFault;
using ostrel::fixtures::SimNsmConfig;
using ostrel::vessolt::test::CommonServicesTest;

namespace {

constexpr uint32_t kAbortTimeout = 0x08000021;  // the library's abort on a cancelled transfer

bool upload(TCommonTest& common, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t>& out,
            const uint8_t* cancel = nullptr) {
    out.assign(64, 0xEE);
    uint32_t size = static_cast<uint32_t>(out.size());
    SDORequest request{node, index, sub, &size, out.data()};
    const bool ok = common.SDOUpload(&request, cancel);
    out.resize(ok ? size : 0);
    return ok;
}

// Sets the flag from another thread after a while; joined on destruction.
class CancelLater {
public:
    CancelLater(uint8_t& flag, std::chrono::milliseconds after, std::function<bool()> when = {})
        : thread_([&flag, after, when = std::move(when), this] {
              const auto start = std::chrono::steady_clock::now();
              while (!stop_ && (when ? !when() : std::chrono::steady_clock::now() - start < after))
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              if (!stop_)
                  flag = 1;
          }) {}
    ~CancelLater() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int countSent(ostrel::vessolt::test::DrennicTestBus& drennic, uint32_t id, std::initializer_list<uint8_t> head) {
    int n = 0;
    for (const CANFrame& f : drennic.bus().sent()) {
        if (f.id != id)
            continue;
        bool same = true;
        size_t i = 0;
        for (uint8_t b : head)
            same = same && f.data[i++] == b;
        n += same ? 1 : 0;
    }
    return n;
}

struct Completion {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    static void onComplete(ResultBlock*, void* user) {
        auto* self = static_cast<Completion*>(user);
        std::lock_guard lock(self->mutex);
        self->done = true;
        self->changed.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return done; });
    }
};

}  // namespace

TEST_F(CommonServicesTest, BlockingSdoUploadsAbortsRefusesWhileBusyAndCancels) {
    auto& node = addNode(5);
    open();
    std::vector<uint8_t> value;
    ASSERT_TRUE(upload(common, 5, 0x2001, 0, value));
    EXPECT_EQ(std::string(value.begin(), value.end()), "Ostrel");

    // An abort is a plain false: the caller reports.
    node.addSdoFault(SdoFault::abortRead(0x2002, 0, 0x06090030));
    const int lines = log.GetLineCount();
    EXPECT_FALSE(upload(common, 5, 0x2002, 0, value));
    EXPECT_EQ(log.GetLineCount(), lines);
    EXPECT_NE(common.GetLastResult().code, DRN_OK);

    // Another request holds the engine: ours is refused and logged.
    node.addSdoFault(SdoFault::noAnswer(0x2004, 3));
    uint8_t other[8];
    uint32_t otherSize = sizeof other;
    Completion running;
    int32_t out = 1;
    drennic.api().sdoUpload(5, 0x2004, 3, other, &otherSize, nullptr, &Completion::onComplete, &running, &out);
    ASSERT_EQ(out, DRN_OK);
    EXPECT_FALSE(upload(common, 5, 0x2004, 7, value));
    ASSERT_EQ(log.GetLineCount(), lines + 1);
    EXPECT_EQ(log.GetLine(lines), "Note: Failed to start SDO upload: result " + std::to_string(DRN_BUSY));
    drennic.api().cancel();
    ASSERT_TRUE(running.wait());

    // A cancel on a silent object: one abort on the bus, and the next upload gets its own value.
    drennic.bus().clearSent();
    uint8_t cancel = 0;
    {
        CancelLater later(cancel, std::chrono::milliseconds(150));
        EXPECT_FALSE(upload(common, 5, 0x2004, 3, value, &cancel));
    }
    EXPECT_EQ(countSent(drennic, 0x605, {0x80, 0x04, 0x20, 0x03, 0x21, 0x00, 0x00, 0x08}), 1);
    EXPECT_EQ(countSent(drennic, 0x605, {0x80}), 1);
    ASSERT_TRUE(upload(common, 5, 0x2004, 7, value));
    EXPECT_EQ(value, std::vector<uint8_t>{0x5A});
    EXPECT_EQ(log.GetLineCount(), lines + 1);
}

TEST_F(CommonServicesTest, FindsTestNodeAndModule) {
    addNode(5);
    addNsm(0x7F);
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 5);
    EXPECT_TRUE(logHas("Norbix Support Module version 1.0 found at node ID 0x7F"));
    EXPECT_EQ(nsm.GetNodeId(), 0x7F);
    EXPECT_EQ(nsm.GetListObject(), 0x1F50u);
    EXPECT_EQ(nsm.GetListSubIndex(), 2);  // sub-entry 1 is the hardware channel
    EXPECT_EQ(nsm.GetControlObject(), 0x1F51u);
    EXPECT_EQ(nsm.GetControlSubIndex(), 2);
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.nodeid, 5);
    EXPECT_EQ(r.lss, 1u);
    EXPECT_EQ(r.bootup_numtries, 1u);
    EXPECT_FALSE(trace.IsCapturing());

    // Looked for again, every change the window is told of still shows "None", never "-".
    struct Seen : MessageSink {
        TDeviceSummary* summary = nullptr;
        std::vector<uint32_t> lss;
        void post(uint32_t, uintptr_t, intptr_t) override {
            DeviceSummaryRecord now{};
            lss.push_back(summary->GetSummary(now) ? now.lss : 99u);
        }
    } seen;
    seen.summary = &summary;
    summary.AddListener(&seen);
    ASSERT_EQ(common.FindTestNode(nullptr), 5);
    summary.RemoveListener(&seen);
    EXPECT_EQ(seen.lss, std::vector<uint32_t>(seen.lss.size(), 1u));
}

TEST_F(CommonServicesTest, LastBootingNodeIsTheTestNodeAndEveryBootupTimeCounts) {
    addNode(3);
    addNode(9, 60'000);
    addNsm();
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 9);
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.nodeid, 9);
    EXPECT_EQ(r.bootup_numtries, 2u);
    EXPECT_GE(r.bootup_max, 55.0f);
}

TEST_F(CommonServicesTest, WithoutModuleNothingIsFoundThoughTheNodeBooted) {
    addNode(5);
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 0);
    EXPECT_TRUE(logHas("Error: Norbix Support Module not found"));
    EXPECT_EQ(summaryRecord().nodeid, 5);
    EXPECT_FALSE(nsm.IsFound());
}

TEST_F(CommonServicesTest, NodeWithProgramDownloadObjectIsTheTestNode) {
    auto loaded = ostrel::fixtures::loadEdsFile(OSTREL_FIXTURE_EDS_DIR "/program_download_node.eds");
    ASSERT_TRUE(loaded.dictionary) << loaded.error;
    drennic.devices().addNode(ostrel::fixtures::SimNodeConfig{.nodeId = 0x20}, std::move(loaded.dictionary));
    addNsm();
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 0x20);
    EXPECT_EQ(nsm.GetNodeId(), 0x7F);
}

TEST_F(CommonServicesTest, ModuleFoundOnASecondListsEntryWhenTheFirstFailsTheVersionQuery) {
    addNode(5);
    SimNsmConfig config;
    config.subEntries = {"ChHW", "TLst", "TLst"};
    config.versionFailsOnSub = 2;
    config.majorVersion = 3;
    config.minorVersion = 7;
    drennic.devices().addNsm(config);
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 5);
    EXPECT_EQ(nsm.GetListSubIndex(), 3);
    EXPECT_TRUE(logHas("Norbix Support Module version 3.7 found at node ID 0x7F"));
}

TEST_F(CommonServicesTest, ModuleSearchEndsOnACountOf255AndRefusesAFiveByteIdentity) {
    addNode(5);
    SimNsmConfig config;
    config.subEntries = {"ChHW", ostrel::fixtures::kNsmFiveByteTLst};
    config.countOverride = 255;
    auto& module = drennic.devices().addNsm(config);
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 0);
    EXPECT_TRUE(logHas("Error: Norbix Support Module not found"));
    // [1F50,0] and all 255 sub-entries were asked once.
    EXPECT_EQ(module.sdoRequests(), 256u + 1u);  // one more: the segmented five-byte upload
}

TEST_F(CommonServicesTest, LssFallbackConfiguresTheNodeBelowTheModule) {
    drennic.devices().addNode(ostrel::fixtures::SimNodeConfig{.nodeId = 0xFF},
                              ostrel::fixtures::SimObjectDictionary::fullProfile());
    addNsm(0x20);
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 0x1F);
    EXPECT_TRUE(logHas("Node not found - attempting to find LSS slave node"));
    EXPECT_TRUE(logHas("LSS slave node found"));
    EXPECT_EQ(countSent(drennic, 0x7E5, {0x04, 0x01}), 1);
    EXPECT_EQ(countSent(drennic, 0x7E5, {0x11, 0x1F}), 1);
    EXPECT_EQ(countSent(drennic, 0x7E5, {0x04, 0x00}), 1);
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.lss, 2u);
    EXPECT_EQ(r.nodeid, 0x1F);
}

TEST_F(CommonServicesTest, LssFallbackAboveAModuleAtNodeOne) {
    drennic.devices().addNode(ostrel::fixtures::SimNodeConfig{.nodeId = 0xFF},
                              ostrel::fixtures::SimObjectDictionary::fullProfile());
    addNsm(1);
    open();
    EXPECT_EQ(common.FindTestNode(nullptr), 2);
}

TEST_F(CommonServicesTest, CancelledLssFallbackReturnsSilently) {
    drennic.devices().addNode(ostrel::fixtures::SimNodeConfig{.nodeId = 0xFF},
                              ostrel::fixtures::SimObjectDictionary::fullProfile());
    addNsm(0x20);
    open();
    uint8_t cancel = 0;
    uint8_t result = 0xEE;
    {
        CancelLater later(cancel, {}, [&] { return logHas("Node not found - attempting to find LSS slave node"); });
        result = common.FindTestNode(&cancel);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log.GetLine(log.GetLineCount() - 1), "Node not found - attempting to find LSS slave node");
}

class LongBootupTest : public CommonServicesTest {
protected:
    LongBootupTest() : CommonServicesTest(3'600'000) {}
};

// An hour typed as the boot-up time: a cancel still ends the wait.
TEST_F(LongBootupTest, CancelEndsTheWaitForTheBootupTime) {
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        common.WaitBootupTime();
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancelling = true;
    for (int i = 0; i < 3000 && !returned; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!returned) {
        std::fprintf(stderr, "WaitBootupTime went on 30 s after the cancel\n");
        std::_Exit(1);  // the waiter cannot be joined for an hour
    }
    waiter.join();
}

TEST_F(CommonServicesTest, SetupErrorControlPrefersHeartbeat) {
    auto& node = addNode(5);
    open();
    EXPECT_EQ(common.SetupErrorControl(5), 1);
    EXPECT_EQ(node.readUnsigned(0x1017, 0), 100u);
    EXPECT_EQ(node.readUnsigned(0x100C, 0), 0u);
    EXPECT_EQ(node.readUnsigned(0x100D, 0), 0u);
    EXPECT_EQ(nsm.GetErrorControlMode(), 1u);
    const DeviceSummaryRecord r = summaryRecord();
    EXPECT_EQ(r.heartbeatproducer, 1);
    EXPECT_EQ(r.nodeguarding, 1);
    EXPECT_FALSE(trace.IsCapturing());

    // Already at 100 ms: not written again.
    node.clearWriteLog();
    EXPECT_EQ(common.SetupErrorControl(5), 1);
    for (const auto& write : node.writeLog())
        EXPECT_NE(write.index, 0x1017);
}

TEST_F(CommonServicesTest, SetupErrorControlFallsBackToGuardingAndReportsFailedWrites) {
    auto guardingOnly = ostrel::fixtures::SimObjectDictionary::minimalProfile();
    guardingOnly.addNumber(0x100C, 0, "Guard time", ostrel::fixtures::SimDataType::Unsigned16,
                           ostrel::fixtures::SimAccess::ReadWrite, 50);
    guardingOnly.addNumber(0x100D, 0, "Life time factor", ostrel::fixtures::SimDataType::Unsigned8,
                           ostrel::fixtures::SimAccess::ReadWrite, 3);
    auto& guarding = drennic.devices().addNode(ostrel::fixtures::SimNodeConfig{.nodeId = 6}, guardingOnly);
    drennic.devices().addNode(ostrel::fixtures::SimNodeConfig{.nodeId = 7},
                              ostrel::fixtures::SimObjectDictionary::minimalProfile());
    auto& refusing = addNode(8);
    refusing.addSdoFault(SdoFault::abortWrite(0x1017, 0, 0x08000020));
    open();

    EXPECT_EQ(common.SetupErrorControl(6), 2);
    EXPECT_EQ(guarding.readUnsigned(0x100C, 0), 100u);
    EXPECT_EQ(guarding.readUnsigned(0x100D, 0), 5u);
    EXPECT_EQ(nsm.GetErrorControlMode(), 2u);

    EXPECT_EQ(common.SetupErrorControl(7), 0);
    EXPECT_EQ(nsm.GetErrorControlMode(), 0u);
    EXPECT_EQ(common.SetupErrorControl(8), 0);
    EXPECT_EQ(nsm.GetErrorControlMode(), 0u);
}

TEST_F(CommonServicesTest, RemoteRequestIsNoBootupAndAOneByteProducerTimeReadsWhole) {
    addNode(5);
    addNsm();
    auto oneByte = ostrel::fixtures::SimObjectDictionary::minimalProfile();
    oneByte.addNumber(0x1017, 0, "Producer heartbeat time", ostrel::fixtures::SimDataType::Unsigned8,
                      ostrel::fixtures::SimAccess::ReadWrite, 100);
    auto& short1017 = drennic.devices().addNode(ostrel::fixtures::SimNodeConfig{.nodeId = 9}, oneByte);
    open();
    uint8_t found = 0;
    {
        // A node-guarding request (remote, length 1) for node 6 while the nodes boot.
        std::thread request([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            drennic.inject(0x706, {0x00}, DRN_FLAG_REMOTE);
        });
        found = common.FindTestNode(nullptr);
        request.join();
    }
    EXPECT_EQ(found, 9);  // the last to boot; never 6
    EXPECT_EQ(summaryRecord().bootup_numtries, 2u);

    short1017.clearWriteLog();
    EXPECT_EQ(common.SetupErrorControl(9), 1);
    EXPECT_TRUE(short1017.writeLog().empty());
}

TEST_F(CommonServicesTest, SetupErrorControlEndsOnAStalledRequestAndOnCancel) {
    auto& node = addNode(5);
    node.addSdoFault(SdoFault::noAnswer(0x1017, 0));
    open();
    drennic.api().setSdoTimeout(60'000);  // the library would wait a minute
    common.SetStallLimitMs(300);
    const uint32_t start = ostrel::platform::tickMs();
    EXPECT_EQ(common.SetupErrorControl(5), 2);  // heartbeat unreadable: guarding
    EXPECT_LT(ostrel::platform::tickMs() - start, 5'000u);

    uint8_t cancel = 1;
    EXPECT_EQ(common.SetupErrorControl(5, &cancel), 0);
    // The services still work after both.
    std::vector<uint8_t> value;
    ASSERT_TRUE(upload(common, 5, 0x2004, 7, value));
    EXPECT_EQ(value, std::vector<uint8_t>{0x5A});
}

TEST_F(CommonServicesTest, ModuleDriverFindsOnlyTheModuleAndResetForgetsItButNotTheMode) {
    addNode(5);
    addNsm(0x7F);
    open();
    EXPECT_FALSE(nsm.Find(5, nullptr));  // no [1F50]
    EXPECT_FALSE(nsm.IsFound());
    const uint8_t cancelled = 1;
    EXPECT_FALSE(nsm.Find(0x7F, &cancelled));
    EXPECT_FALSE(nsm.IsFound());

    uint32_t major = 9;
    uint32_t minor = 9;
    ASSERT_TRUE(nsm.QueryVersion(0x7F, 2, &major, &minor));
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 0u);
    EXPECT_FALSE(nsm.QueryVersion(0x7F, 1, &major, &minor));  // the hardware channel has no version

    ASSERT_TRUE(nsm.Find(0x7F, nullptr));
    nsm.SetErrorControlMode(2);
    nsm.Reset();
    EXPECT_FALSE(nsm.IsFound());
    EXPECT_EQ(nsm.GetNodeId(), TNSM::kNoModule);
    EXPECT_EQ(nsm.GetListObject(), 0u);
    EXPECT_EQ(nsm.GetControlSubIndex(), 0);
    EXPECT_EQ(nsm.GetMajorVersion(), 0u);
    EXPECT_EQ(nsm.GetErrorControlMode(), 2u);
}
