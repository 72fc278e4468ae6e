// CANopen_ScanNetwork against simulated devices: which nodes are found with their device types, when
// the scan ends, and that the caller's SDO COB-ID rule comes back exactly once however it ends.
#include "nmt_scene.h"

#include "engine_settings.h"
#include "nmt_scan.h"

#include <atomic>
#include <thread>

namespace drennic::test {
namespace {

using namespace std::chrono_literals;
using ostrel::fixtures::SimDataType;
using ostrel::fixtures::SimObjectDictionary;

constexpr uint32_t kTestSdoTimeoutMs = 200;

// The rule in force at the moment the completion came, and the completion itself.
struct RuleAtCompletion {
    CallbackRecorder* recorder = nullptr;
    std::atomic<int> calls{0};
    SdoChannelRule rule;

    static void onCompletion(ResultBlock* result, void* user) {
        auto* self = static_cast<RuleAtCompletion*>(user);
        self->rule = sdoChannelRule();
        self->calls.fetch_add(1);
        CallbackRecorder::onCompletion(result, self->recorder);
    }
};

SdoChannelRule fixedRule() {
    SdoChannelRule rule;
    rule.mode = 3;
    rule.requestCobId = 0x6F0;
    rule.responseCobId = 0x4F0;
    rule.channel = 16;
    return rule;
}

CANFrame sdoFrame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    CANFrame frame = makeFrame(id, bytes);
    frame.length = 8;
    return frame;
}

class NmtScan : public NmtScene {
protected:
    void SetUp() override {
        NmtScene::SetUp();
        CANopen_SetSDOTimeout(kTestSdoTimeoutMs);
    }

    void scan() {
        int32_t out = -99;
        CANopen_ScanNetwork(results_, &CallbackRecorder::onCompletion, &recorder(), &out);
        ASSERT_EQ(out, DRN_OK);
    }
    void scanKeepingTheRule() {
        ruleWatch_.recorder = &recorder();
        int32_t out = -99;
        CANopen_ScanNetwork(results_, &RuleAtCompletion::onCompletion, &ruleWatch_, &out);
        ASSERT_EQ(out, DRN_OK);
    }
    // Waits until all 127 requests are out (the scan collects afterwards).
    void waitForAllRequests() { ASSERT_TRUE(testBus().waitForSent(DRN_NODE_COUNT, 20000)); }

    ScanResult results_[DRN_NODE_COUNT]{};
    RuleAtCompletion ruleWatch_;
};

TEST_F(NmtScan, NodesThreeAndTenFillEntriesTwoAndNineWithTheirDeviceTypes) {
    auto& node3 = addNode(3);
    auto& node10 = addNode(10);
    startBus({3, 10});
    ASSERT_TRUE(node3.writeUnsigned(0x1000, 0, 0x00020191));
    ASSERT_TRUE(node10.writeUnsigned(0x1000, 0, 0x12345678));
    for (ScanResult& r : results_) {
        r.found = 0xEE;  // cleared when the scan is posted
        r.deviceType = 0xDEADBEEF;
    }
    scan();
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));

    const auto completion = recorder().completions().at(0);
    EXPECT_EQ(completion.code, DRN_OK);
    for (int node = 1; node <= DRN_NODE_COUNT; ++node) {
        const ScanResult& r = results_[node - 1];
        if (node == 3) {
            EXPECT_EQ(r.found, 1);
            EXPECT_EQ(r.deviceType, 0x00020191u);
        } else if (node == 10) {
            EXPECT_EQ(r.found, 1);
            EXPECT_EQ(r.deviceType, 0x12345678u);
        } else {
            EXPECT_EQ(r.found, 0) << "node " << node;
            EXPECT_EQ(r.deviceType, 0xDEADBEEFu) << "only the flags are cleared";
        }
    }

    // Every node was asked for object 0x1000 sub-index 0 by an initiate upload, in order.
    std::vector<CANFrame> requests;
    for (const CANFrame& f : testBus().sent()) {
        if (f.id >= 0x600 && f.id < 0x680) {
            requests.push_back(f);
        }
    }
    ASSERT_EQ(requests.size(), std::size_t{DRN_NODE_COUNT});
    for (int node = 1; node <= DRN_NODE_COUNT; ++node) {
        const CANFrame& f = requests[node - 1];
        EXPECT_EQ(f.id, 0x600u + node);
        ASSERT_EQ(f.length, 8);
        EXPECT_EQ(f.data[0], 0x40);
        EXPECT_EQ(f.data[1], 0x00);
        EXPECT_EQ(f.data[2], 0x10);
        EXPECT_EQ(f.data[3], 0x00);
    }

    // The end comes one SDO time-out after the later answer, not earlier.
    uint32_t lastAnswerMs = 0;
    for (const auto& r : recorder().received()) {
        if (r.frame.id == 0x583 || r.frame.id == 0x58A) {
            lastAnswerMs = r.atMs;
        }
    }
    ASSERT_NE(lastAnswerMs, 0u);
    const uint32_t quiet = completion.atMs - lastAnswerMs;
    EXPECT_GE(quiet, kTestSdoTimeoutMs);
    EXPECT_LT(quiet, kTestSdoTimeoutMs + 5000) << "bounded, not a timing test";
}

TEST_F(NmtScan, NodeAnsweringWithASegmentedUploadIsNotFound) {
    // Node 5's device type is longer than 4 bytes, so it answers with a segmented initiate.
    SimObjectDictionary dictionary = SimObjectDictionary::minimalProfile();
    dictionary.addBytes(0x1000, 0, "Device type", SimDataType::OctetString, ostrel::fixtures::SimAccess::ReadOnly,
                        {1, 2, 3, 4, 5, 6, 7, 8}, 8);
    addNode(5, dictionary);
    auto& node7 = addNode(7);
    startBus({5, 7});
    ASSERT_TRUE(node7.writeUnsigned(0x1000, 0, 0x00000191));
    scan();
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));

    const auto segmented = recorder().waitForReceived([](const CANFrame& f) { return f.id == 0x585; }, 0ms);
    ASSERT_TRUE(segmented.has_value()) << "node 5 answered";
    EXPECT_EQ(segmented->frame.data[0] & 0xE2, 0x40) << "a segmented initiate upload response";
    EXPECT_EQ(results_[4].found, 0);
    EXPECT_EQ(results_[6].found, 1);
    EXPECT_EQ(results_[6].deviceType, 0x00000191u);
    EXPECT_EQ(recorder().completions().at(0).code, DRN_OK);
    // An upload answer is not a protocol error: nothing is aborted.
    for (const CANFrame& f : testBus().sent()) {
        EXPECT_NE(f.data[0], 0x80) << "abort sent to 0x" << std::hex << f.id;
    }
}

TEST_F(NmtScan, EmptyBusEndsAfterTheTimeOutWithSuccessAndNothingFound) {
    startBus({});
    scan();
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    EXPECT_EQ(recorder().completions().at(0).code, DRN_OK);
    for (const ScanResult& r : results_) {
        EXPECT_EQ(r.found, 0);
    }
}

TEST_F(NmtScan, FixedCobIdRuleOfTheCallerIsPutBackBeforeTheCompletion) {
    auto& node3 = addNode(3);
    startBus({3});
    ASSERT_TRUE(node3.writeUnsigned(0x1000, 0, 0x00040192));
    setSdoChannelRule(fixedRule());
    scanKeepingTheRule();
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    EXPECT_EQ(results_[2].found, 1);
    EXPECT_EQ(results_[2].deviceType, 0x00040192u);
    EXPECT_EQ(ruleWatch_.calls.load(), 1);
    EXPECT_EQ(ruleWatch_.rule, fixedRule());
    EXPECT_EQ(sdoChannelRule(), fixedRule());
    // Scanned with rule 1 regardless.
    for (const CANFrame& f : testBus().sent()) {
        EXPECT_NE(f.id, 0x6F0u);
    }
}

TEST_F(NmtScan, UnexpectedAnswerAbortsToThatNodeAndCollectingGoesOnUnderTheScanRule) {
    auto& node10 = addNode(10);
    node10.setResponseLatencyUs(1'000'000);  // answers well after the stray frame below
    startBus({10});
    ASSERT_TRUE(node10.writeUnsigned(0x1000, 0, 0x0000ABCD));
    setSdoChannelRule(fixedRule());
    CANopen_SetSDOTimeout(3000);
    scanKeepingTheRule();
    waitForAllRequests();
    // A download response is no answer to an upload.
    testBus().inject(sdoFrame(0x583, {0x60, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    std::vector<uint32_t> order;
    for (const auto& r : recorder().received()) {
        if (r.frame.id == 0x583 || r.frame.id == 0x58A) {
            order.push_back(r.frame.id);
        }
    }
    ASSERT_EQ(order, (std::vector<uint32_t>{0x583, 0x58A})) << "the node's answer came after the stray frame";

    const auto completion = recorder().completions().at(0);
    EXPECT_EQ(completion.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completion.message, u"Client aborted - 0x05040001");
    bool abortSent = false;
    for (const CANFrame& f : testBus().sent()) {
        if (f.id == 0x603 && f.data[0] == 0x80) {
            abortSent = true;
            EXPECT_EQ(f.data[1], 0x00);
            EXPECT_EQ(f.data[2], 0x10);
            EXPECT_EQ(f.data[3], 0x00);
            EXPECT_EQ(f.data[4], 0x01);
            EXPECT_EQ(f.data[5], 0x00);
            EXPECT_EQ(f.data[6], 0x04);
            EXPECT_EQ(f.data[7], 0x05);
        }
    }
    EXPECT_TRUE(abortSent);
    // Node 10 answered after the stray frame and is still found: the scan rule stayed in force.
    EXPECT_EQ(results_[9].found, 1);
    EXPECT_EQ(results_[9].deviceType, 0x0000ABCDu);
    EXPECT_EQ(ruleWatch_.calls.load(), 1);
    EXPECT_EQ(ruleWatch_.rule, fixedRule());
    EXPECT_EQ(sdoChannelRule(), fixedRule());
}

TEST_F(NmtScan, CancelDuringCollectionPutsTheRuleBackBeforeTheCompletion) {
    startBus({});
    setSdoChannelRule(fixedRule());
    CANopen_SetSDOTimeout(30000);
    scanKeepingTheRule();
    waitForAllRequests();
    EXPECT_EQ(sdoChannelRule(), SdoChannelRule{}) << "the scan runs under rule 1";
    CANopen_Cancel();
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    EXPECT_EQ(recorder().completions().at(0).code, DRN_CANCELLED);
    EXPECT_EQ(ruleWatch_.calls.load(), 1);
    EXPECT_EQ(ruleWatch_.rule, fixedRule());
    EXPECT_EQ(sdoChannelRule(), fixedRule());
}

TEST_F(NmtScan, EngineStopDuringCollectionPutsTheRuleBack) {
    startBus({});
    setSdoChannelRule(fixedRule());
    CANopen_SetSDOTimeout(30000);
    scanKeepingTheRule();
    waitForAllRequests();
    Hardware_Close();
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    EXPECT_EQ(recorder().completions().at(0).code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(ruleWatch_.calls.load(), 1);
    EXPECT_EQ(ruleWatch_.rule, fixedRule());
    EXPECT_EQ(sdoChannelRule(), fixedRule());
}

TEST_F(NmtScan, FirstFailedTransmissionIsReportedThoughLaterOnesSucceed) {
    auto& node3 = addNode(3);
    startBus({3});
    (void)node3;
    testBus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 1);
    scan();
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    const auto completion = recorder().completions().at(0);
    EXPECT_EQ(completion.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(completion.message, u"Transmit error");
    EXPECT_EQ(results_[2].found, 1) << "the later requests still went out";
}

TEST_F(NmtScan, SteadyForeignTrafficOnTheAnswerIdentifiersCannotKeepTheScanRunning) {
    startBus({});
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        // Upload segment responses of somebody else's transfer: ignored, but they are SDO answers.
        while (!stop.load()) {
            testBus().inject(sdoFrame(0x5FF, {0x00, 1, 2, 3, 4, 5, 6, 7}));
            std::this_thread::sleep_for(20ms);
        }
    });
    const uint32_t startMs = ostrel::platform::tickMs();
    scan();
    const bool completed = recorder().waitForCompletions(1, std::chrono::milliseconds(scanCollectionCapMs() + 15000));
    stop.store(true);
    chatter.join();
    ASSERT_TRUE(completed);
    EXPECT_EQ(recorder().completions().at(0).code, DRN_OK);
    EXPECT_GE(recorder().completions().at(0).atMs - startMs, scanCollectionCapMs()) << "not ended by the time-out";
}

} // namespace
} // namespace drennic::test
