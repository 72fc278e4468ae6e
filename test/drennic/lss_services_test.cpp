// The LSS services of the engine against simulated LSS slaves: find, set node id (and store),
// configure and activate bit timing, their error answers, time-outs, cancel and refused parameters.
#include "lss_scene.h"

#include <platform/clock.h>

#include <atomic>
#include <string>
#include <tuple>

namespace drennic::test {
namespace {

using ostrel::fixtures::LssFaults;
using ostrel::fixtures::LssIdentity;
using ostrel::fixtures::LssMode;
using ostrel::fixtures::SimNode;

constexpr LssIdentity kIdentity{0x00000319, 0x0012ABCD, 0x00050002, 0x789ABCDE};

LSSIdentity identityFor(const LssIdentity& id, uint8_t nodeId = 0, uint8_t store = 0) {
    LSSIdentity out{};
    out.vendorId = id.vendorId;
    out.productCode = id.productCode;
    out.revisionNumber = id.revisionNumber;
    out.serialNumber = id.serialNumber;
    out.nodeId = nodeId;
    out.store = store;
    return out;
}

class LssServices : public LssScene {
protected:
    void find(LSSIdentity& identity) {
        int32_t out = 99;
        CANopen_FindLSSSlave(&identity, recordCompletion, &recorder_, &out);
        ASSERT_EQ(out, DRN_OK);
        ASSERT_TRUE(recorder_.waitForCompletions(1));
    }
    void setConfig(LSSIdentity& identity) {
        int32_t out = 99;
        CANopen_SetLSSSlaveConfig(&identity, recordCompletion, &recorder_, &out);
        ASSERT_EQ(out, DRN_OK);
        ASSERT_TRUE(recorder_.waitForCompletions(1));
    }
};

// ---- Find ----

// The slave carries the switches out but its answers are lost: it is not left in configuration state.
TEST_F(LssServices, FindOnSilentBusCompletesWithCodeZeroAndNothingFound) {
    SimNode& node = addNode(42, kIdentity);
    node.setLssFaults(LssFaults{.silent = true});
    start();
    CANopen_SetLSSTimings(200, 30, 100);
    LSSIdentity identity{};
    identity.found = 0xDEAD;
    find(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_OK);
    EXPECT_EQ(completion.message, u"");
    EXPECT_EQ(identity.found, 0u);
    const auto sent = lssFrames(completion.sentSoFar);
    ASSERT_EQ(commandsOf(sent), (std::vector<uint8_t>{0x04, 0x5A, 0x04}));
    EXPECT_EQ(sent[0].data[1], 1);  // configuration mode
    EXPECT_EQ(sent[2].data[1], 0);  // and back to waiting
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
    EXPECT_EQ(sent[0].length, 8);
    // It ends one response time-out after the inquiry, not earlier.
    EXPECT_GE(usAfter(sent[1], completion.atUs), 200'000);
}

TEST_F(LssServices, FindOfPresentSlaveFillsAllFiveValuesAndSwitchesBackToWaiting) {
    SimNode& node = addNode(42, kIdentity);
    start();
    LSSIdentity identity{};
    find(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_OK);
    EXPECT_EQ(identity.found, 1u);
    EXPECT_EQ(identity.vendorId, kIdentity.vendorId);
    EXPECT_EQ(identity.productCode, kIdentity.productCode);
    EXPECT_EQ(identity.revisionNumber, kIdentity.revisionNumber);
    EXPECT_EQ(identity.serialNumber, kIdentity.serialNumber);
    EXPECT_EQ(identity.nodeId, 42);
    const auto sent = lssFrames(completion.sentSoFar);
    EXPECT_EQ(commandsOf(sent), (std::vector<uint8_t>{0x04, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x04}));
    EXPECT_EQ(sent.back().data[1], 0);  // waiting
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
}

TEST_F(LssServices, FailedTransmissionEndsWithTheDriversResult) {
    start();
    bus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 1);
    LSSIdentity identity{};
    find(identity);
    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(completion.message, u"Transmit error");
    EXPECT_EQ(identity.found, 0u);
    EXPECT_TRUE(lssFrames(completion.sentSoFar).empty());
}

// Arms a one-frame transmit failure when the slave's answer to `command` arrives, so that the frame
// the engine sends next fails. The receive callback runs before the engine steps the request.
struct FailAfterAnswer {
    static void onReceive(const CANFrame* frame, int32_t answers, void* user) {
        auto* self = static_cast<FailAfterAnswer*>(user);
        recordReceived(frame, answers, self->recorder);
        if (frame->id == 0x7E4 && frame->data[0] == self->command) {
            self->bus->setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 1);
        }
    }
    TestBus* bus = nullptr;
    Recorder* recorder = nullptr;
    uint8_t command = 0;
};

TEST_F(LssServices, FindWithAllFiveAnswersIsFoundEvenIfTheSwitchBackFails) {
    addNode(42, kIdentity);
    start();
    FailAfterAnswer hook{&bus(), &recorder_, 0x5E};  // only the switch back to waiting fails
    Event_Receive(&FailAfterAnswer::onReceive, &hook);
    LSSIdentity identity{};
    find(identity);
    Event_Receive(nullptr, nullptr);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(completion.message, u"Transmit error");
    EXPECT_EQ(identity.found, 1u);
    EXPECT_EQ(identity.serialNumber, kIdentity.serialNumber);
    EXPECT_EQ(identity.nodeId, 42);
    EXPECT_EQ(commandsOf(lssFrames(completion.sentSoFar)), (std::vector<uint8_t>{0x04, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E}));
}

TEST_F(LssServices, CancelSendsTheAbortFrameForNodeZeroAndEndsWithMinusOne) {
    start();
    CANopen_SetLSSTimings(60'000, 30, 100);  // the find would wait a minute for the inquiry's answer
    LSSIdentity identity{};
    int32_t out = 99;
    CANopen_FindLSSSlave(&identity, recordCompletion, &recorder_, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(bus().waitForSent(2, 10'000));  // switch state global, inquire vendor id
    CANopen_Cancel();
    ASSERT_TRUE(recorder_.waitForCompletions(1));

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_CANCELLED);
    EXPECT_EQ(completion.message, u"");
    ASSERT_FALSE(completion.sentSoFar.empty());
    const CANFrame& abort = completion.sentSoFar.back();
    EXPECT_EQ(abort.id, 0x600u);
    EXPECT_EQ(abort.data[0], 0x80);
    EXPECT_EQ(abort.data[4], 0x21);
    EXPECT_EQ(abort.data[7], 0x08);
}

// ---- Set node id ----

TEST_F(LssServices, SetNodeIdAndStoreConfiguresTheAddressedSlaveOnly) {
    SimNode& node = addNode(10, kIdentity);
    SimNode& other = addNode(11, LssIdentity{0x319, 0x0012ABCD, 0x00050002, 0x11111111});
    start();
    LSSIdentity identity = identityFor(kIdentity, 33, 1);
    setConfig(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_OK) << std::string(completion.message.begin(), completion.message.end());
    const auto sent = lssFrames(completion.sentSoFar);
    EXPECT_EQ(commandsOf(sent), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43, 0x11, 0x17, 0x04}));
    EXPECT_EQ(sent[3].data[1], 0xDE);  // serial number little-endian
    EXPECT_EQ(sent[3].data[4], 0x78);
    EXPECT_EQ(sent[4].data[1], 33);
    EXPECT_EQ(node.lssStoredNodeId(), 33);
    EXPECT_EQ(other.lssStoredNodeId(), 11);
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
}

TEST_F(LssServices, SetNodeIdWithoutStoreNeverSendsStoreConfiguration) {
    SimNode& node = addNode(10, kIdentity);
    start();
    LSSIdentity identity = identityFor(kIdentity, 33, 0);
    setConfig(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_OK);
    EXPECT_EQ(commandsOf(lssFrames(completion.sentSoFar)), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43, 0x11, 0x04}));
    EXPECT_EQ(node.lssPendingNodeId(), 33);
    EXPECT_EQ(node.lssStoredNodeId(), 10);
}

// A slave's error answer to "configure node id": the message, and the slaves back to waiting before
// the completion.
class LssNodeIdErrors : public LssServices,
                        public ::testing::WithParamInterface<std::tuple<uint8_t, uint8_t, std::u16string>> {};

TEST_P(LssNodeIdErrors, ErrorAnswerGivesItsMessageAfterTheSwitchBackToWaiting) {
    const auto& [error, specific, message] = GetParam();
    SimNode& node = addNode(10, kIdentity);
    node.setLssFaults(LssFaults{.configureNodeIdError = error, .configureNodeIdSpecific = specific});
    start();
    LSSIdentity identity = identityFor(kIdentity, 33, 1);
    setConfig(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completion.message, message);
    const auto sent = lssFrames(completion.sentSoFar);
    ASSERT_EQ(commandsOf(sent), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43, 0x11, 0x04}));
    EXPECT_EQ(sent.back().data[1], 0);
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
    EXPECT_EQ(node.lssStoredNodeId(), 10);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LssNodeIdErrors,
    ::testing::Values(std::make_tuple(uint8_t{1}, uint8_t{0}, std::u16string(u"Node ID out of range")),
                      std::make_tuple(uint8_t{255}, uint8_t{0x3C},
                                      std::u16string(u"Implementation specific error when setting Node ID - 0x3C")),
                      std::make_tuple(uint8_t{7}, uint8_t{0},
                                      std::u16string(u"Invalid response from LSS slave 789ABCDE when configuring node id"))));

class LssStoreErrors : public LssServices, public ::testing::WithParamInterface<std::tuple<uint8_t, std::u16string>> {};

TEST_P(LssStoreErrors, RefusedStoreIsReportedAndTheNodeIdStaysUnstored) {
    const auto& [error, message] = GetParam();
    SimNode& node = addNode(10, kIdentity);
    node.setLssFaults(LssFaults{.storeError = error, .storeSpecific = 0x5E});
    start();
    LSSIdentity identity = identityFor(kIdentity, 33, 1);
    setConfig(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completion.message, message);
    EXPECT_EQ(commandsOf(lssFrames(completion.sentSoFar)),
              (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43, 0x11, 0x17, 0x04}));
    EXPECT_EQ(node.lssStoredNodeId(), 10);
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LssStoreErrors,
    ::testing::Values(std::make_tuple(uint8_t{1}, std::u16string(u"Store configuration not supported")),
                      std::make_tuple(uint8_t{2}, std::u16string(u"Storage media access error when storing configuration")),
                      std::make_tuple(uint8_t{255},
                                      std::u16string(u"Implementation specific error when storing configuration - 0x5E"))));

TEST_F(LssServices, SlaveThatIsNotThereTimesOutAndTheSlavesAreSwitchedBack) {
    addNode(10, kIdentity);
    start();
    CANopen_SetLSSTimings(150, 10, 100);
    LSSIdentity identity = identityFor(LssIdentity{0x319, 0x0012ABCD, 0x00050002, 0x0000BEEF}, 33, 1);
    setConfig(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completion.message, u"No response from LSS slave 0000BEEF when switching to configuration mode");
    EXPECT_EQ(commandsOf(lssFrames(completion.sentSoFar)), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43, 0x04}));
}

TEST_F(LssServices, SilentSlaveAfterStoreTimesOutWithTheSystemsMessage) {
    SimNode& node = addNode(10, kIdentity);
    start();
    CANopen_SetLSSTimings(150, 10, 100);
    // The slave goes silent once it has answered the node id: the store goes unanswered.
    Event_Receive(
        [](const CANFrame* frame, int32_t, void* user) {
            if (frame->id == 0x7E4 && frame->data[0] == 0x11) {
                static_cast<SimNode*>(user)->setLssFaults(LssFaults{.silent = true});
            }
        },
        &node);
    LSSIdentity identity = identityFor(kIdentity, 33, 1);
    setConfig(identity);

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completion.message, u"No response from LSS slave 789ABCDE when storing configuring");
    EXPECT_EQ(commandsOf(lssFrames(completion.sentSoFar)),
              (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43, 0x11, 0x17, 0x04}));
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
}

// ---- Bit timing ----

TEST_F(LssServices, ConfigureBitTimingSendsSelectorAndIndex) {
    SimNode& node = addNode(10, kIdentity);
    start();
    LSSIdentity identity = identityFor(kIdentity);
    int32_t out = 99;
    CANopen_SetLSSSlaveBitTiming(&identity, 0, 4, recordCompletion, &recorder_, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));

    const auto completion = recorder_.only();
    EXPECT_EQ(completion.code, DRN_OK);
    const auto sent = lssFrames(completion.sentSoFar);
    ASSERT_EQ(commandsOf(sent), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43, 0x13, 0x04}));
    EXPECT_EQ(sent[4].data[1], 0);
    EXPECT_EQ(sent[4].data[2], 4);
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
}

TEST_F(LssServices, UnsupportedBitTimingIsReported) {
    addNode(10, kIdentity);
    start();
    LSSIdentity identity = identityFor(kIdentity);
    int32_t out = 99;
    CANopen_SetLSSSlaveBitTiming(&identity, 0, 5, recordCompletion, &recorder_, &out);  // index 5 is reserved
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    EXPECT_EQ(recorder_.only().code, DRN_REQUEST_FAILED);
    EXPECT_EQ(recorder_.only().message, u"Bit timing not supported");
    EXPECT_EQ(lssFrames(recorder_.only().sentSoFar).back().data[0], 0x04);
}

// The user value of activate bit timing, shared by its switch and completion callbacks.
struct SwitchCall {
    Recorder* recorder = nullptr;
    std::atomic<int> calls{0};
    uint32_t value = 0;
    uint32_t delayMs = 0;
    uint64_t atUs = 0;
};

void recordSwitch(uint32_t value, uint32_t switchDelayMs, void* user) {
    auto* call = static_cast<SwitchCall*>(user);
    call->value = value;
    call->delayMs = switchDelayMs;
    call->atUs = ostrel::platform::monotonicUs();
    call->calls.fetch_add(1);
}

void switchCompletion(ResultBlock* result, void* user) { static_cast<SwitchCall*>(user)->recorder->addCompletion(*result); }

TEST_F(LssServices, ActivateBitTimingSwitchesAfterTheDelayAndReturnsToWaitingAfterwards) {
    SimNode& node = addNode(10, kIdentity);
    start();
    // The slave first gets the new bit timing (250 kbit/s).
    LSSIdentity identity = identityFor(kIdentity);
    int32_t out = 99;
    CANopen_SetLSSSlaveBitTiming(&identity, 0, 3, recordCompletion, &recorder_, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    ASSERT_EQ(recorder_.only().code, DRN_OK);
    bus().clearSent();

    SwitchCall call;
    call.recorder = &recorder_;
    CANopen_UseLSSSlaveBitTiming(250, recordSwitch, switchCompletion, &call, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(2));
    const auto completion = recorder_.completionsSoFar()[1];
    EXPECT_EQ(completion.code, DRN_OK);
    const auto sent = lssFrames(completion.sentSoFar);
    ASSERT_EQ(commandsOf(sent), (std::vector<uint8_t>{0x04, 0x15, 0x04}));
    EXPECT_EQ(sent[0].data[1], 1);
    EXPECT_EQ(sent[1].data[1], 0x64);  // 100 ms, little-endian
    EXPECT_EQ(sent[1].data[2], 0x00);
    EXPECT_EQ(sent[2].data[1], 0);
    ASSERT_EQ(call.calls.load(), 1);
    EXPECT_EQ(call.value, 250u);
    EXPECT_EQ(call.delayMs, 100u);
    // The callback after the switch delay; the switch back after twice the delay and 100 ms more.
    EXPECT_GE(usAfter(sent[1], call.atUs), 100'000);
    EXPECT_GE(usBetween(sent[1], sent[2]) - usAfter(sent[1], call.atUs), 300'000);
    EXPECT_EQ(node.activeBitTiming(), 3);
    // Back on the bus at the new rate, the slave heard the switch back to waiting.
    EXPECT_EQ(node.lssMode(), LssMode::Waiting);
}

TEST_F(LssServices, SwitchDelayBeyondSixteenBitsIsRefusedNotTruncated) {
    start();
    CANopen_SetLSSTimings(300, 30, 0x10064);  // would go out as 100 ms if cut to 16 bits
    SwitchCall call;
    call.recorder = &recorder_;
    int32_t out = 99;
    CANopen_UseLSSSlaveBitTiming(1, recordSwitch, switchCompletion, &call, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    EXPECT_EQ(recorder_.only().code, DRN_BAD_PARAMETERS);
    EXPECT_EQ(recorder_.only().message, u"LSS switch delay above 65535 ms");
    EXPECT_TRUE(lssFramesSent().empty());
    EXPECT_EQ(call.calls.load(), 0);
}

// ---- Every end leaves the slaves waiting ----

// The slave's answer to `command` is lost (the slave carried the request out), or it comes and the
// next frame is refused, or the lost answer is followed by a cancel or by an unknown answer. Whatever
// the service, the slave ends in waiting, so that the next configuration, meant for another device,
// leaves it as it was.
enum class Service { Find, SetNodeId, BitTiming, FastScan };
enum class Trouble { LostAnswer, RefusedNext, Cancel, UnknownAnswer };

struct TroubleCase {
    const char* name;
    Service service;
    uint8_t command;
    Trouble trouble = Trouble::LostAnswer;
};

void PrintTo(const TroubleCase& c, std::ostream* out) { *out << c.name; }

class LssTrouble : public LssServices, public ::testing::WithParamInterface<TroubleCase> {};

TEST_P(LssTrouble, SlaveEndsInWaitingAndTheNextDevicesConfigurationLeavesItUnchanged) {
    const TroubleCase& c = GetParam();
    constexpr LssIdentity kSlave{0x319, 0x1234, 0, 0x100};
    constexpr LssIdentity kOther{0x319, 0x1234, 0, 0x200};
    SimNode& slave = addNode(ostrel::fixtures::kUnconfiguredNodeId, kSlave);
    SimNode& other = addNode(11, kOther);
    slave.setLssFaults(LssFaults{.loseAnswerTo = c.trouble == Trouble::RefusedNext ? uint8_t{0} : c.command});
    other.setMuted(true);  // the find is for a bus with one slave: the other only hears it
    bus().setSelfReceive(true);  // the fast scan waits for its own requests
    start();
    CANopen_SetLSSTimings(c.trouble == Trouble::Cancel ? 60'000 : 100, 10, 100);
    FailAfterAnswer refuseNext{&bus(), &recorder_, c.command};
    if (c.trouble == Trouble::RefusedNext) {
        Event_Receive(&FailAfterAnswer::onReceive, &refuseNext);
    }
    const auto unknown = bus().attach([&](const CANFrame& f) {
        if (c.trouble == Trouble::UnknownAnswer && f.id == 0x7E5 && f.data[0] == c.command) {
            CANFrame answer{};
            answer.id = 0x7E4;
            answer.length = 8;
            answer.data[0] = 0x77;
            bus().inject(answer);
        }
    });
    LSSIdentity identity = identityFor(kSlave, 33, 1);
    int32_t out = 99;
    switch (c.service) {
    case Service::Find: CANopen_FindLSSSlave(&identity, recordCompletion, &recorder_, &out); break;
    case Service::SetNodeId: CANopen_SetLSSSlaveConfig(&identity, recordCompletion, &recorder_, &out); break;
    case Service::BitTiming: CANopen_SetLSSSlaveBitTiming(&identity, 0, 3, recordCompletion, &recorder_, &out); break;
    case Service::FastScan:
        LSSFastScan_ScanAndConfig(1, 1, nullptr, 0, 20, 30, nullptr, recordCompletion, &recorder_, &out);
        break;
    }
    ASSERT_EQ(out, DRN_OK);
    if (c.trouble == Trouble::Cancel) {
        ASSERT_TRUE(bus().waitForSent(2, 10'000));  // switch state global, inquire vendor id
        CANopen_Cancel();
    }
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    Event_Receive(nullptr, nullptr);
    bus().detach(unknown);
    EXPECT_FALSE(c.service == Service::Find ? identity.found == 1 : recorder_.only().code == DRN_OK);
    EXPECT_EQ(slave.lssMode(), LssMode::Waiting);
    const uint8_t pending = slave.lssPendingNodeId();
    const uint8_t stored = slave.lssStoredNodeId();

    other.setMuted(false);
    LSSIdentity next = identityFor(kOther, 40, 1);
    CANopen_SetLSSSlaveConfig(&next, recordCompletion, &recorder_, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(recorder_.waitForCompletions(2));
    EXPECT_EQ(recorder_.completionsSoFar()[1].code, DRN_OK);
    EXPECT_EQ(other.lssStoredNodeId(), 40);
    EXPECT_EQ(slave.lssPendingNodeId(), pending);
    EXPECT_EQ(slave.lssStoredNodeId(), stored);
}

INSTANTIATE_TEST_SUITE_P(
    Services, LssTrouble,
    ::testing::Values(TroubleCase{"FindInquiryLost", Service::Find, 0x5A},
                      TroubleCase{"FindNextInquiryRefused", Service::Find, 0x5A, Trouble::RefusedNext},
                      TroubleCase{"FindCancelled", Service::Find, 0x5A, Trouble::Cancel},
                      TroubleCase{"FindUnknownAnswer", Service::Find, 0x5A, Trouble::UnknownAnswer},
                      TroubleCase{"SetNodeIdSelection", Service::SetNodeId, 0x43},
                      TroubleCase{"SetNodeId", Service::SetNodeId, 0x11},
                      TroubleCase{"StoreConfiguration", Service::SetNodeId, 0x17},
                      TroubleCase{"BitTimingSelection", Service::BitTiming, 0x43},
                      TroubleCase{"BitTiming", Service::BitTiming, 0x13},
                      TroubleCase{"FastScanSelection", Service::FastScan, 0x51}),
    [](const ::testing::TestParamInfo<TroubleCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace drennic::test
