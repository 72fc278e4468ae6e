// The LSS services of the engine against simulated LSS slaves: find, set node id (and store),
// configure and activate bit timing, their error answers, time-outs, cancel and refused parameters.
#include "lss_scene.h"
#include "lss_services.h"

#include <platform/clock.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

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
    // The refused switch back goes out once more at the end.
    EXPECT_EQ(commandsOf(lssFrames(completion.sentSoFar)),
              (std::vector<uint8_t>{0x04, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x04}));
}

// No SDO transfer runs: no SDO abort goes out, whose "node 0" frame would be node 63's receive PDO
// under COB-ID rule 2.
TEST_F(LssServices, CancelEndsWithMinusOneAfterTheSwitchBackAndSendsNoSdoAbort) {
    start();
    CANopen_SetSDOChannel(2, 0, 0, 1);
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
    ASSERT_EQ(completion.sentSoFar.size(), 3u);
    const CANFrame& last = completion.sentSoFar.back();
    EXPECT_EQ(last.id, 0x7E5u);
    EXPECT_EQ(last.data[0], 0x04);
    EXPECT_EQ(last.data[1], 0);
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
    int callsAtCompletion = -1;
};

void recordSwitch(uint32_t value, uint32_t switchDelayMs, void* user) {
    auto* call = static_cast<SwitchCall*>(user);
    call->value = value;
    call->delayMs = switchDelayMs;
    call->atUs = ostrel::platform::monotonicUs();
    call->calls.fetch_add(1);
}

void switchCompletion(ResultBlock* result, void* user) {
    auto* call = static_cast<SwitchCall*>(user);
    call->callsAtCompletion = call->calls.load();
    call->recorder->addCompletion(*result);
}

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

// Every LSS service and the fast scan, troubled at each of its steps (the master frame with `command`,
// its `occurrence`th): the slave's answer to it lost, the library's next frame refused, a cancel,
// Hardware_Close or CANopenDLL_Shutdown right after it, an answer nobody asked for; or a second slave
// answering. Afterwards every slave is waiting, no two store one node id, only LSS frames went out, a
// success names a real device, the switch callback came before the completion whenever activate bit
// timing went out, and the next device's configuration leaves the troubled slave as it was.
enum class Service { Find, SetNodeId, BitTiming, Activate, FastScan };
enum class Trouble { LostAnswer, RefusedNext, Cancel, Close, Shutdown, ForeignAnswer, SecondSlave };

struct Step {
    Service service;
    uint8_t command;
    bool answered;  // the slave answers it (the fast scan's first request: the loss hits the selecting one)
    int occurrence = 1;
};

// The fast scan's fifth request for the slave below is the first that no slave answers.
constexpr Step kSteps[] = {
    {Service::Find, 0x04, false},      {Service::Find, 0x5A, true},       {Service::Find, 0x5B, true},
    {Service::Find, 0x5C, true},       {Service::Find, 0x5D, true},       {Service::Find, 0x5E, true},
    {Service::SetNodeId, 0x40, false}, {Service::SetNodeId, 0x41, false}, {Service::SetNodeId, 0x42, false},
    {Service::SetNodeId, 0x43, true},  {Service::SetNodeId, 0x11, true},  {Service::SetNodeId, 0x17, true},
    {Service::BitTiming, 0x40, false}, {Service::BitTiming, 0x41, false}, {Service::BitTiming, 0x42, false},
    {Service::BitTiming, 0x43, true},  {Service::BitTiming, 0x13, true},  {Service::Activate, 0x04, false},
    {Service::Activate, 0x15, false},  {Service::FastScan, 0x51, true},   {Service::FastScan, 0x51, false, 5},
    {Service::FastScan, 0x11, true},   {Service::FastScan, 0x17, true},   {Service::FastScan, 0x04, false},
};

struct TroubleCase {
    Step step;
    Trouble trouble;
};

std::vector<TroubleCase> troubleCases() {
    std::vector<TroubleCase> cases;
    for (const Step& step : kSteps) {
        for (Trouble trouble : {Trouble::LostAnswer, Trouble::RefusedNext, Trouble::Cancel, Trouble::Close,
                                Trouble::ForeignAnswer}) {
            // The fast scan has no cancel.
            if ((trouble != Trouble::LostAnswer || step.answered) &&
                (trouble != Trouble::Cancel || step.service != Service::FastScan)) {
                cases.push_back({step, trouble});
            }
        }
    }
    for (const Step& step : {Step{Service::Find, 0x5C, true}, Step{Service::SetNodeId, 0x11, true},
                             Step{Service::BitTiming, 0x13, true}, Step{Service::Activate, 0x15, false},
                             Step{Service::FastScan, 0x11, true}}) {
        cases.push_back({step, Trouble::Shutdown});
    }
    cases.push_back({{Service::Find, 0x5A, true}, Trouble::SecondSlave});
    cases.push_back({{Service::FastScan, 0x11, true}, Trouble::SecondSlave});  // one slave left selected
    return cases;
}

std::string caseName(const ::testing::TestParamInfo<TroubleCase>& info) {
    static constexpr const char* kServices[] = {"Find", "SetNodeId", "BitTiming", "Activate", "FastScan"};
    static constexpr const char* kTroubles[] = {"LostAnswer", "RefusedNext", "Cancel", "Close", "Shutdown",
                                                "ForeignAnswer", "SecondSlave"};
    const Step& step = info.param.step;
    char name[64];
    std::snprintf(name, sizeof name, "%s_%02X_%d_%s", kServices[static_cast<int>(step.service)], step.command,
                  step.occurrence, kTroubles[static_cast<int>(info.param.trouble)]);
    return name;
}

// Whether the request itself succeeds (a find: finds the slave).
bool succeeds(const TroubleCase& c) {
    if (c.trouble == Trouble::ForeignAnswer) {
        return !c.step.answered || c.step.service == Service::FastScan;  // only an awaited answer is checked
    }
    // All five answers came; the refused switch back goes out at the end.
    return c.trouble == Trouble::RefusedNext && c.step.service == Service::Find && c.step.command == 0x5E;
}

bool sameDevice(const LSSIdentity& found, const SimNode& node) {
    const LssIdentity id = node.identity();
    return found.vendorId == id.vendorId && found.productCode == id.productCode &&
           found.revisionNumber == id.revisionNumber && found.serialNumber == id.serialNumber &&
           found.nodeId == node.nodeId();
}

class LssTrouble : public LssServices, public ::testing::WithParamInterface<TroubleCase> {};

TEST_P(LssTrouble, EverySlaveEndsWaitingWithItsOwnNodeIdAndTheResultIsTrue) {
    const Step step = GetParam().step;
    const Trouble trouble = GetParam().trouble;
    const bool interrupted = trouble == Trouble::Close || trouble == Trouble::Shutdown;
    constexpr LssIdentity kSlave{0x1, 0x2, 0, 0x100};
    constexpr LssIdentity kOther{0x1, 0x2, 0, 0x200};
    // A foreign answer comes before the slave's own, while that is awaited.
    const bool slowSlave = trouble == Trouble::ForeignAnswer && step.service != Service::FastScan;
    SimNode& slave = addNode(ostrel::fixtures::kUnconfiguredNodeId, kSlave, slowSlave ? 20'000 : 0);
    SimNode& other = addNode(11, kOther);
    other.setMuted(trouble != Trouble::SecondSlave);  // else the other only hears the requests
    if (trouble == Trouble::LostAnswer || interrupted) {
        slave.setLssFaults(LssFaults{.loseAnswerTo = step.command});
    }
    bus().setSelfReceive(true);  // the fast scan waits for its own requests
    start();
    CANopen_SetSDOChannel(2, 0, 0, 1);  // an SDO abort for "node 0" would land on 0x23F
    CANopen_SetLSSTimings(100, 10, 100);
    if (trouble == Trouble::SecondSlave && step.service == Service::FastScan) {
        const uint32_t parts[] = {kOther.vendorId, kOther.productCode, kOther.revisionNumber, kOther.serialNumber};
        for (uint8_t part = 0; part < 4; ++part) {  // switch state selective: the other into configuration
            CANFrame select{0, 0, 0, 0x7E5, 8, 0, {static_cast<uint8_t>(0x40 + part)}, {}};
            std::memcpy(select.data + 1, &parts[part], 4);  // little-endian
            ResultBlock result{};
            CAN_Transmit(&select, &result);
        }
        ASSERT_EQ(other.lssMode(), LssMode::Configuration);
    }
    bus().clearSent();

    std::atomic<int> seen{0};
    std::atomic<bool> reached{false};
    std::atomic<bool> acting{false};
    const auto watch = bus().attach([&](const CANFrame& f) {
        if (f.id != 0x7E5 || f.data[0] != step.command || ++seen != step.occurrence) {
            return;
        }
        if (trouble == Trouble::RefusedNext) {
            bus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 1);
        } else if (trouble == Trouble::ForeignAnswer) {
            bus().inject(CANFrame{0, 0, 0, 0x7E4, 8, 0, {0x77}, {}});
        } else if (trouble == Trouble::Cancel) {
            CANopen_Cancel();  // taken on this pass of the engine, before anything else is sent
        } else if (interrupted) {
            CANopen_SetLSSTimings(60'000, 60'000, 100);  // the request stays at this step
            reached = true;
            // The scan's thread has no time-outs to stretch: it waits here until the close is under way.
            for (int i = 0; step.service == Service::FastScan && !acting && i < 5000; ++i) {
                ostrel::platform::sleepMs(1);
            }
            ostrel::platform::sleepMs(step.service == Service::FastScan ? 100 : 0);
        }
    });
    SwitchCall user;
    user.recorder = &recorder_;
    LSSIdentity identity = identityFor(kSlave, 33, 1);
    std::array<FastScanResult, 2> results{};
    int32_t out = 99;
    switch (step.service) {
    case Service::Find: CANopen_FindLSSSlave(&identity, switchCompletion, &user, &out); break;
    case Service::SetNodeId: CANopen_SetLSSSlaveConfig(&identity, switchCompletion, &user, &out); break;
    case Service::BitTiming: CANopen_SetLSSSlaveBitTiming(&identity, 0, 3, switchCompletion, &user, &out); break;
    case Service::Activate: CANopen_UseLSSSlaveBitTiming(250, recordSwitch, switchCompletion, &user, &out); break;
    case Service::FastScan:
        LSSFastScan_ScanAndConfig(1, 1, results.data(), 2, 20, 30, nullptr, switchCompletion, &user, &out);
        break;
    }
    ASSERT_EQ(out, DRN_OK);
    if (interrupted) {
        for (int i = 0; !reached && i < 10'000; ++i) {
            ostrel::platform::sleepMs(1);
        }
        ASSERT_TRUE(reached.load());
        acting = true;
        if (trouble == Trouble::Close) {
            Hardware_Close();
        } else {
            CANopenDLL_Shutdown();
        }
    }
    ASSERT_TRUE(recorder_.waitForCompletions(1));
    bus().detach(watch);

    const auto completion = recorder_.only();
    const bool success = step.service == Service::Find ? identity.found == 1 : completion.code == DRN_OK;
    EXPECT_EQ(success, succeeds(GetParam())) << std::string(completion.message.begin(), completion.message.end());
    if (trouble == Trouble::Cancel) {
        EXPECT_EQ(completion.code, DRN_CANCELLED);
    } else if (interrupted) {
        EXPECT_EQ(completion.code, DRN_NOT_INITIALIZED);
    } else if (trouble == Trouble::SecondSlave) {
        EXPECT_EQ(completion.message, kLssMoreThanOneSlave);
    }
    EXPECT_EQ(slave.lssMode(), LssMode::Waiting);
    EXPECT_EQ(other.lssMode(), LssMode::Waiting);
    EXPECT_TRUE(slave.lssStoredNodeId() == ostrel::fixtures::kUnconfiguredNodeId ||
                slave.lssStoredNodeId() != other.lssStoredNodeId());
    for (const CANFrame& f : bus().sent()) {
        EXPECT_EQ(f.id, 0x7E5u) << "no SDO abort or other frame during an LSS request";
    }
    const auto sent = lssFrames(completion.sentSoFar);
    EXPECT_EQ(user.callsAtCompletion, std::count_if(sent.begin(), sent.end(), [](const CANFrame& f) {
                                             return f.data[0] == 0x15;
                                         }));
    if (success && step.service == Service::Find) {
        EXPECT_TRUE(sameDevice(identity, slave) || sameDevice(identity, other));
    } else if (success && step.service == Service::FastScan) {
        const FastScanResult& r = results[0];
        const LSSIdentity entry =
            identityFor(LssIdentity{r.vendorId, r.productCode, r.revisionNumber, r.serialNumber}, r.nodeId);
        EXPECT_EQ(results[0].valid, 1u);
        EXPECT_TRUE(sameDevice(entry, slave));
        EXPECT_EQ(slave.lssStoredNodeId(), results[0].nodeId);
    }
    const uint8_t pending = slave.lssPendingNodeId();
    const uint8_t stored = slave.lssStoredNodeId();

    if (trouble == Trouble::Shutdown) {
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
    }
    if (interrupted) {
        ResultBlock result = patternedResult();
        Hardware_Initialize(1, u"lss test", 0, 0, &result);
        ASSERT_EQ(result.code, DRN_OK);
    }
    CANopen_SetLSSTimings(100, 10, 100);
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

INSTANTIATE_TEST_SUITE_P(Ends, LssTrouble, ::testing::ValuesIn(troubleCases()), caseName);

} // namespace
} // namespace drennic::test
