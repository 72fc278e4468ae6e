// The LSS fast scan against simulated unconfigured slaves: identities found bit by bit, consecutive
// node ids confirmed by boot-ups, the result array's bound, failures that must not look like an empty
// bus, and the rules that keep a scan and the engine's LSS requests apart.
#include "lss_scene.h"

#include "engine.h"
#include "lss_fastscan.h"

#include <platform/clock.h>

#include <array>
#include <random>
#include <set>
#include <string>

namespace drennic::test {
namespace {

// The engine uses a request's records in place until the request has ended: a test whose records
// live on its stack cancels and waits before it returns.
void cancelAndWaitForTheEngine() {
    CANopen_Cancel();
    const uint32_t cancelledAt = ostrel::platform::tickMs();
    while (engineRequestPending() && ostrel::platform::tickMs() - cancelledAt < 5000) {
        ostrel::platform::sleepMs(1);
    }
    ASSERT_FALSE(engineRequestPending());
}

using ostrel::fixtures::kUnconfiguredNodeId;
using ostrel::fixtures::LssIdentity;
using ostrel::fixtures::SimNode;

constexpr uint32_t kWindowMs = 30;
constexpr uint32_t kSentinel = 7;

class LssFastScan : public LssScene {
protected:
    void SetUp() override {
        LssScene::SetUp();
        bus().setSelfReceive(true);  // as the CAN server echoes every frame
        for (FastScanResult& entry : results_) {
            entry = FastScanResult{};
            entry.valid = kSentinel;
        }
    }

    int32_t scan(uint32_t maxResults, uint8_t firstNodeId, uint32_t windowMs = kWindowMs, bool knownIds = false,
                 bool byteStep = false) {
        int32_t out = 99;
        LSSFastScan_ScanAndConfig(knownIds ? 1 : 0, byteStep ? 1 : 0, results_.data(), maxResults, firstNodeId,
                                  windowMs, recordProgress, recordCompletion, &recorder_, &out);
        return out;
    }

    SimNode& addUnconfigured(LssIdentity identity) { return addNode(kUnconfiguredNodeId, identity); }

    [[nodiscard]] std::vector<CANFrame> fastScanRequests() const {
        std::vector<CANFrame> out;
        for (const CANFrame& f : lssFramesSent()) {
            if (f.data[0] == 0x51) {
                out.push_back(f);
            }
        }
        return out;
    }

    std::array<FastScanResult, 4> results_{};
};

bool sameIdentity(const FastScanResult& entry, const LssIdentity& id) {
    return entry.vendorId == id.vendorId && entry.productCode == id.productCode &&
           entry.revisionNumber == id.revisionNumber && entry.serialNumber == id.serialNumber;
}

std::string text(const std::u16string& message) { return std::string(message.begin(), message.end()); }

// ---- Finding and configuring ----

TEST_F(LssFastScan, BusWithoutUnconfiguredSlavesReportsZeroThenHundredAndFillsNothing) {
    addNode(5, LssIdentity{0x319, 1, 2, 3});
    start();
    ASSERT_EQ(scan(2, 1), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));

    EXPECT_EQ(recorder_.only().code, DRN_OK);
    EXPECT_EQ(recorder_.progressSoFar(), (std::vector<float>{0, 100}));
    EXPECT_EQ(results_[0].valid, 0u);  // cleared
    EXPECT_EQ(results_[1].valid, 0u);
    EXPECT_EQ(results_[2].valid, kSentinel);  // beyond maxResults: untouched
    const auto requests = fastScanRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].data[5], 0x80);

    // The scan is over: the engine takes LSS requests again.
    LSSIdentity identity{};
    int32_t out = 99;
    CANopen_FindLSSSlave(&identity, nullptr, nullptr, &out);
    EXPECT_EQ(out, DRN_OK);
    cancelAndWaitForTheEngine();
}

TEST_F(LssFastScan, ThreeSlavesWithRandomIdentitiesGetConsecutiveNodeIdsEachConfirmedByItsBootUp) {
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 engine(seed);
    auto random = [&engine] { return static_cast<uint32_t>(engine()); };
    std::array<LssIdentity, 3> identities{};
    std::set<uint32_t> serials;
    for (LssIdentity& id : identities) {
        do {
            id = LssIdentity{random(), random(), random(), random()};
        } while (!serials.insert(id.serialNumber).second);
    }
    std::array<SimNode*, 3> nodes{};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        nodes[i] = &addUnconfigured(identities[i]);
    }
    start();
    ASSERT_EQ(scan(3, 20), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    ASSERT_EQ(recorder_.only().code, DRN_OK) << text(recorder_.only().message);

    std::set<std::size_t> matched;
    for (uint8_t i = 0; i < 3; ++i) {
        const FastScanResult& entry = results_[i];
        ASSERT_EQ(entry.valid, 1u);
        EXPECT_EQ(entry.nodeId, 20 + i);
        for (std::size_t n = 0; n < nodes.size(); ++n) {
            if (sameIdentity(entry, identities[n])) {
                matched.insert(n);
                EXPECT_EQ(nodes[n]->nodeId(), entry.nodeId);
                EXPECT_EQ(nodes[n]->lssStoredNodeId(), entry.nodeId);
            }
        }
    }
    EXPECT_EQ(matched.size(), 3u) << "every slave found once, with its exact identity";
    EXPECT_EQ(results_[3].valid, kSentinel);

    // Each node id was confirmed by its boot-up, right after the switch back to waiting that gave it.
    const auto received = recorder_.receivedSoFar();
    std::size_t from = 0;
    for (uint32_t nodeId = 20; nodeId <= 22; ++nodeId) {
        auto bootUp = std::find_if(received.begin() + static_cast<std::ptrdiff_t>(from), received.end(),
                                   [&](const CANFrame& f) { return f.id == 0x700 + nodeId; });
        ASSERT_NE(bootUp, received.end()) << "boot-up of node " << nodeId;
        EXPECT_EQ(bootUp->length, 1);
        EXPECT_EQ(bootUp->data[0], 0);
        auto lastMaster = std::find_if(std::make_reverse_iterator(bootUp), received.rend(),
                                       [](const CANFrame& f) { return f.id == 0x7E5; });
        ASSERT_NE(lastMaster, received.rend());
        EXPECT_EQ(lastMaster->data[0], 0x04);
        EXPECT_EQ(lastMaster->data[1], 0);
        from = static_cast<std::size_t>(bootUp - received.begin()) + 1;
    }

    const auto progress = recorder_.progressSoFar();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_EQ(std::count(progress.begin(), progress.end(), 75.0F), 3);  // the revision part of each slave
}

TEST_F(LssFastScan, MoreSlavesThanResultsAreAllConfiguredButOnlyMaxResultsFilled) {
    // Known-identity and byte-step shortcuts: small product codes, revision 0, serials with zero bytes.
    SimNode& a = addUnconfigured(LssIdentity{0x319, 0x1234, 0, 0x02000005});
    SimNode& b = addUnconfigured(LssIdentity{0x319, 0x1234, 0, 0x00000100});
    SimNode& c = addUnconfigured(LssIdentity{0x319, 0x1234, 0, 0x00000007});
    start();
    ASSERT_EQ(scan(2, 1, kWindowMs, true, true), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    ASSERT_EQ(recorder_.only().code, DRN_OK) << text(recorder_.only().message);

    // The lowest identity is found first.
    EXPECT_EQ(results_[0].valid, 1u);
    EXPECT_EQ(results_[0].serialNumber, 0x7u);
    EXPECT_EQ(results_[0].productCode, 0x1234u);
    EXPECT_EQ(results_[0].revisionNumber, 0u);
    EXPECT_EQ(results_[0].nodeId, 1);
    EXPECT_EQ(results_[1].valid, 1u);
    EXPECT_EQ(results_[1].serialNumber, 0x100u);
    EXPECT_EQ(results_[1].nodeId, 2);
    EXPECT_EQ(results_[2].valid, kSentinel);
    EXPECT_EQ(c.nodeId(), 1);
    EXPECT_EQ(b.nodeId(), 2);
    EXPECT_EQ(a.nodeId(), 3);  // configured, though there was no room to report it
    // Whole bytes and the known parts were skipped: far fewer than 32 requests per part.
    EXPECT_LT(fastScanRequests().size(), 3u * 4u * 16u);
}

// ---- Failures that must not look like an empty bus ----

TEST_F(LssFastScan, RequestThatNeverComesBackIsAFailureNotAnEmptyBus) {
    bus().setSelfReceive(false);  // a directly driven interface without self-reception
    start();
    ASSERT_EQ(scan(2, 1), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    EXPECT_EQ(recorder_.only().code, DRN_REQUEST_FAILED);
    EXPECT_EQ(recorder_.only().message, u"Own LSS request not received back from the bus");
    EXPECT_EQ(recorder_.progressSoFar(), (std::vector<float>{0}));
}

TEST_F(LssFastScan, FailedTransmissionEndsTheScanWithTheTransmitError) {
    addUnconfigured(LssIdentity{0x319, 1, 2, 3});
    start();
    bus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error");
    ASSERT_EQ(scan(2, 1), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    EXPECT_EQ(recorder_.only().code, DRN_REQUEST_FAILED);
    EXPECT_EQ(recorder_.only().message, u"Transmit error");
    EXPECT_EQ(results_[0].valid, 0u);
}

TEST_F(LssFastScan, SlaveRefusingTheStoreEndsTheScanWithItsError) {
    SimNode& node = addUnconfigured(LssIdentity{0x319, 0x1234, 0, 0x100});
    node.setLssFaults(ostrel::fixtures::LssFaults{.storeError = 2});
    start();
    ASSERT_EQ(scan(2, 9, kWindowMs, true, true), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    EXPECT_EQ(recorder_.only().code, DRN_REQUEST_FAILED);
    EXPECT_EQ(recorder_.only().message, u"Invalid response from LSS slave when storing configuration");
    EXPECT_EQ(results_[0].valid, 0u);
}

// Only node ids 1..127 reach a slave; a slave whose configuration fails goes back to waiting.
TEST_F(LssFastScan, NodeIdsStayWithinOneToOneHundredTwentySeven) {
    SimNode& low = addUnconfigured(LssIdentity{0x319, 0x1234, 0, 0x10});
    SimNode& high = addUnconfigured(LssIdentity{0x319, 0x1234, 0, 0x20});
    low.setLssFaults(ostrel::fixtures::LssFaults{.configureNodeIdError = 1});
    start();
    EXPECT_EQ(scan(2, 0), DRN_BAD_PARAMETERS);
    EXPECT_EQ(scan(2, 128), DRN_BAD_PARAMETERS);
    EXPECT_TRUE(lssFramesSent().empty());

    ASSERT_EQ(scan(2, 126, kWindowMs, true, true), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    EXPECT_EQ(recorder_.only().message, u"Node ID out of range");
    EXPECT_EQ(low.lssMode(), ostrel::fixtures::LssMode::Waiting);

    low.setLssFaults({});
    ASSERT_EQ(scan(2, 127, kWindowMs, true, true), DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(2));
    const auto last = recorder_.completionsSoFar()[1];
    EXPECT_EQ(last.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(last.message, u"No node id left for the next LSS slave");
    EXPECT_EQ(results_[0].nodeId, 127);
    EXPECT_EQ(low.nodeId(), 127);
    EXPECT_EQ(high.nodeId(), kUnconfiguredNodeId);
    EXPECT_EQ(high.lssMode(), ostrel::fixtures::LssMode::Waiting);
}

// ---- One at a time ----

TEST_F(LssFastScan, ScanAndEngineLssRequestsRefuseEachOtherAndShutdownEndsTheScanOnce) {
    addUnconfigured(LssIdentity{0x319, 1, 2, 3});
    start();
    ASSERT_EQ(scan(2, 1, 2000), DRN_OK);  // long answer windows: still running below
    EXPECT_TRUE(fastScanRunning());
    EXPECT_EQ(scan(2, 1), DRN_BUSY);
    LSSIdentity identity{};
    int32_t out = 99;
    CANopen_FindLSSSlave(&identity, nullptr, nullptr, &out);
    EXPECT_EQ(out, DRN_BUSY);
    CANopen_UseLSSSlaveBitTiming(1, nullptr, nullptr, nullptr, &out);
    EXPECT_EQ(out, DRN_BUSY);

    CANopenDLL_Shutdown();
    // Shut-down has joined the scan thread: its one completion is already there.
    const auto completions = recorder_.completionsSoFar();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].code, DRN_NOT_INITIALIZED);
    EXPECT_FALSE(fastScanRunning());
}

TEST_F(LssFastScan, ScanIsRefusedWhileAnEngineRequestRuns) {
    start();
    CANopen_SetLSSTimings(60'000, 30, 100);
    LSSIdentity identity{};
    int32_t out = 99;
    CANopen_FindLSSSlave(&identity, nullptr, nullptr, &out);
    ASSERT_EQ(out, DRN_OK);
    EXPECT_EQ(scan(2, 1), DRN_BUSY);
    EXPECT_FALSE(fastScanRunning());
    cancelAndWaitForTheEngine();
    EXPECT_TRUE(recorder_.completionsSoFar().empty());
}

// A completion callback that starts the next scan from the scan thread.
struct Chain {
    Recorder* recorder = nullptr;
    int32_t secondOut = 99;
    bool started = false;
};

void startNextScan(ResultBlock* result, void* user) {
    auto* chain = static_cast<Chain*>(user);
    if (!chain->started) {
        chain->started = true;
        LSSFastScan_ScanAndConfig(0, 0, nullptr, 0, 1, kWindowMs, nullptr, startNextScan, chain, &chain->secondOut);
    }
    chain->recorder->addCompletion(*result);
}

TEST_F(LssFastScan, CompletionCallbackMayStartTheNextScan) {
    start();
    Chain chain;
    chain.recorder = &recorder_;
    int32_t out = 99;
    LSSFastScan_ScanAndConfig(0, 0, nullptr, 0, 1, kWindowMs, nullptr, startNextScan, &chain, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(2));
    EXPECT_EQ(chain.secondOut, DRN_OK);
    EXPECT_EQ(recorder_.completionsSoFar()[1].code, DRN_OK);
}

TEST_F(LssFastScan, ScanWithoutResultArrayButWithMaxResultsIsRefused) {
    start();
    int32_t out = 99;
    LSSFastScan_ScanAndConfig(0, 0, nullptr, 2, 1, kWindowMs, nullptr, recordCompletion, &recorder_, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    EXPECT_FALSE(fastScanRunning());
}

} // namespace
} // namespace drennic::test
