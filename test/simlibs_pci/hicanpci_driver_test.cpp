// The PCI card driver over the simulated HICANPCI library: selection, the fixed hardware and network
// lists, the pseudo hardware "Internal", opening a channel with its card parameters, frames to and
// from the bus with the card's time stamps, the two status reports, reset, self-reception, switching,
// closing, every failure message, and an SDO upload answered by a simulated CANopen device.
#include "../simlibs/sim_node_device.h"
#include "driver_scene.h"

#include <platform/utf16.h>

#include <array>
#include <ostream>

namespace drennic::test {
namespace {

namespace simbus = ostrel::simbus;
using ostrel::simlibs::test::journalCount;
using ostrel::simlibs::test::journalHas;
using ostrel::simlibs::test::kHicoLibrary;

constexpr uint32_t kChannel0At500 = 0x0105;  // "PCI CAN 0", 500 kbit/s
constexpr uint32_t kInternalAt250 = 0x0004;

class HicoDriverTest : public CardDriverTest {
protected:
    void SetUp() override {
        CardDriverTest::SetUp();
        CANopenDLL_Startup(0, u"HiCanPci.dll");
    }
};

TEST_F(HicoDriverTest, NameSelectsTheDriverAndLoadsTheCardLibrary) {
    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.selected, DriverKind::HiCanPci);
    EXPECT_TRUE(status.driverPresent);
    EXPECT_NE(status.modulePath.find("libhicanpci.so"), std::string::npos) << status.modulePath;
}

TEST_F(HicoDriverTest, HardwareIsInternalAndEightCardChannels) {
    std::array<HardwareInfo, 12> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 12), 9);
    EXPECT_EQ(ostrel::platform::fieldView(hardware[0].name, 32), u"Internal");
    EXPECT_EQ(hardware[0].hardwareHandle, 0u);
    EXPECT_EQ(ostrel::platform::fieldView(hardware[1].name, 32), u"PCI CAN 0");
    EXPECT_EQ(hardware[1].hardwareHandle, 1u);
    EXPECT_EQ(ostrel::platform::fieldView(hardware[8].name, 32), u"PCI CAN 7");
    EXPECT_EQ(hardware[8].hardwareHandle, 8u);

    std::array<HardwareInfo, 4> few{};
    few[3].hardwareHandle = 0xDEAD;
    EXPECT_EQ(Hardware_EnumerateHardware(few.data(), 3), 3) << "never more than the capacity";
    EXPECT_EQ(few[3].hardwareHandle, 0xDEADu);
}

TEST_F(HicoDriverTest, NetworkHandlesCarryTheHardwareAndTheRateIndex) {
    std::array<NetworkInfo, 10> networks{};
    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 10, 2), 8);
    const std::array<uint32_t, 8> rates = {10, 20, 50, 125, 250, 500, 800, 1000};
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(networks[i].networkHandle, 0x0200u + i);
        EXPECT_EQ(networks[i].baudKbit, rates[i]);
        EXPECT_EQ(ostrel::platform::toUtf8(std::u16string(ostrel::platform::fieldView(networks[i].name, 40))),
                  "CANopen_" + std::to_string(rates[i]));
        EXPECT_EQ(Hardware_GetBaudrate(networks[i].networkHandle), static_cast<int32_t>(rates[i]));
    }
    EXPECT_EQ(networks[3].networkHandle, 0x0203u);
    EXPECT_EQ(Hardware_GetBaudrate(0x0203), 125);
    EXPECT_EQ(Hardware_GetBaudrate(0x0208), 0) << "no ninth rate";
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 3, 0), 3);
    EXPECT_EQ(Hardware_AddNetwork(u"Mine", 125, 1), 0);
    EXPECT_EQ(Hardware_DeleteNetwork(0x0203), DRN_REFUSED);
}

TEST_F(HicoDriverTest, InternalHardwareRunsTheEngineWithoutTouchingTheCard) {
    listener.installReceiveOnly();
    sentLog.install();
    const ResultBlock result = initialize(kInternalAt250);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(messageOf(result), u"");
    EXPECT_TRUE(engineRunning());
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(Hardware_GetBaudrate(kInternalAt250), 250);

    const CANFrame frame = makeFrame(0x181, {1, 2});
    ResultBlock sent = patternedResult();
    CAN_Transmit(&frame, &sent);
    EXPECT_EQ(sent.code, DRN_OK) << "reported as sent";
    EXPECT_TRUE(sentLog.frames().empty()) << "but nothing was";
    ResultBlock received = patternedResult();
    uint32_t id = 0, timeMs = 0, overflow = 0, timeUs = 0;
    uint8_t length = 0, extended = 0, remote = 0, error = 0, data[8] = {};
    ops().Receive(&id, &length, &extended, &remote, &error, data, &timeMs, &overflow, &timeUs, &received);
    EXPECT_EQ(received.code, DRN_NO_FRAME);
    uint32_t status = 7;
    ResultBlock statusResult = patternedResult();
    ops().Status(&status, &statusResult);
    EXPECT_EQ(statusResult.code, DRN_OK);
    EXPECT_EQ(status, 0u);

    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    EXPECT_TRUE(simbus::journal(kHicoLibrary).empty()) << "no card function was called";
    EXPECT_TRUE(simbus::sentFrames().empty());
    EXPECT_EQ(simbus::openPortCount(), 0u);
}

TEST_F(HicoDriverTest, TransmitBeforeInitializeIsRefusedEvenOnInternal) {
    const ResultBlock result = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Hardware not initialized");
}

struct BaudCase {
    uint32_t network;
    uint32_t parameter;
};

void PrintTo(const BaudCase& c, std::ostream* out) { *out << "network 0x" << std::hex << c.network; }

class HicoBaudParameter : public HicoDriverTest, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(HicoBaudParameter, ChannelOpensWithTheCardParameterOfItsRate) {
    const BaudCase& c = GetParam();
    const ResultBlock result = initialize(c.network);
    ASSERT_EQ(result.code, DRN_OK) << ostrel::platform::toUtf8(messageOf(result));
    const auto lines = simbus::journal(kHicoLibrary);
    const std::vector<std::string> expected = {
        "HiCOCANOpenDriver -> 0x0",
        "HiCOCANOpen channel=1 -> 0x0",
        "HiCOCANSetBaud channel=1 baud=" + std::to_string(c.parameter) + " -> 0x0",
        "HiCOCANStart channel=1 -> 0x0",
        "HiCOCANCanCtrl channel=1 command=13 -> 0x0",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
    EXPECT_EQ(simbus::openPortCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rates, HicoBaudParameter,
                         ::testing::Values(BaudCase{0x0200, 1}, BaudCase{0x0201, 2}, BaudCase{0x0202, 5},
                                           BaudCase{0x0203, 12}, BaudCase{0x0204, 25}, BaudCase{0x0205, 50},
                                           BaudCase{0x0206, 80}, BaudCase{0x0207, 100}, BaudCase{0x0209, 12}),
                         [](const auto& info) { return "Network" + std::to_string(info.param.network); });

TEST_F(HicoDriverTest, FramesReachTheBusAndComeBackWithTheCardsTimeStamps) {
    listener.installReceiveOnly();
    sentLog.install();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    ostrel::simlibs::test::HeardFrames heard;
    simbus::AttachedDevice device(heard.listener());

    const CANFrame request = makeFrame(0x605, {0x40, 0x00, 0x10, 0x00});
    ResultBlock result = patternedResult();
    CAN_Transmit(&request, &result);
    ASSERT_EQ(result.code, DRN_OK);
    const CANFrame extended = makeFrame(0x1234567, {}, DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE);
    ASSERT_EQ(transmit(extended).code, DRN_OK);
    const auto frames = heard.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].id, 0x605u);
    EXPECT_EQ(frames[0].length, 4);
    EXPECT_TRUE(frames[1].extended);
    EXPECT_TRUE(frames[1].remote);
    const auto told = sentLog.frames();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].id, 0x605u);
    EXPECT_EQ(told[0].flags, 0);
    EXPECT_EQ(told[0].timeMs, 0u);

    // The card counts in days, hours, minutes, seconds, ms and us; the frame gets ms and us.
    // 3 days 04:05:06.789012 of the card's clock (which runs with the bus clock until it is set).
    const uint64_t stamp = ((((3ull * 24 + 4) * 60 + 5) * 60 + 6) * 1000 + 789) * 1000 + 12;
    simbus::Frame answer = ostrel::simlibs::test::busFrame(0x585, {0x43, 0x00, 0x10, 0x00, 0x91});
    answer.extended = false;
    (void)device.inject(answer, stamp);
    CANFrame got{};
    ASSERT_TRUE(listener.waitForFrame(0x585, &got));
    EXPECT_EQ(got.timeMs, static_cast<uint32_t>(stamp / 1000));
    EXPECT_EQ(got.timeUs, static_cast<uint32_t>(stamp % 1000));
    EXPECT_EQ(got.timeMsOverflow, 0u);
    EXPECT_EQ(got.length, 5);
    EXPECT_EQ(got.data[4], 0x91);
    EXPECT_EQ(got.flags, 0);
    ASSERT_TRUE(listener.waitForFrame(0x605)) << "self-reception is on after opening";
}

TEST_F(HicoDriverTest, CurrentTimeRestartsTheCardsTimeStampsAtZero) {
    listener.installReceiveOnly();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    CANTimeStamp now{7, 7, 7};
    const uint64_t before = simbus::nowUs();
    Hardware_GetCurrentTime(&now);
    const uint64_t after = simbus::nowUs();
    EXPECT_EQ(now.timeMs, 0u);
    EXPECT_EQ(now.timeMsOverflow, 0u);
    EXPECT_EQ(now.timeUs, 0u);
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANSetTimestamp channel=0 -> 0x0"));

    const uint64_t stamp = after + 2'500'000;
    (void)device.inject(ostrel::simlibs::test::busFrame(0x222, {1}), stamp);
    CANFrame got{};
    ASSERT_TRUE(listener.waitForFrame(0x222, &got));
    const uint64_t cardUs = uint64_t{got.timeMs} * 1000 + got.timeUs;
    EXPECT_GE(cardUs, stamp - after);
    EXPECT_LE(cardUs, stamp - before);
}

TEST_F(HicoDriverTest, WriteReportOfErrorPassiveCountsAsSentAndIsStatusOneOnce) {
    sentLog.install();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::addFault({kHicoLibrary, "HiCOCANWrite", HICO_REPORT_ERROR_PASSIVE, 1, 0, std::nullopt});
    const ResultBlock result = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(sentLog.frames().size(), 1u);
    uint32_t status = 9;
    ResultBlock statusResult{};
    ops().Status(&status, &statusResult);
    EXPECT_EQ(statusResult.code, DRN_OK);
    EXPECT_EQ(status, 1u);
    ops().Status(&status, &statusResult);
    EXPECT_EQ(status, 0u) << "reported once";
}

TEST_F(HicoDriverTest, ReadReportOfBusOffIsStatusThreeOnce) {
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    // The engine reads all the time; without a MajorErrorCallback it never asks for the status.
    simbus::addFault({kHicoLibrary, "HiCOCANRead", HICO_REPORT_BUS_OFF, 1, 0, std::nullopt});
    uint32_t status = 0;
    ResultBlock statusResult{};
    ASSERT_TRUE(ostrel::simlibs::test::eventually([&] {
        ops().Status(&status, &statusResult);
        return status != 0;
    }));
    EXPECT_EQ(status, 3u);
    ops().Status(&status, &statusResult);
    EXPECT_EQ(status, 0u);
}

TEST_F(HicoDriverTest, ControllerStatesReachTheMajorErrorCallbackAndBusOffNeedsAReset) {
    listener.install();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::setHardwareStatus(kHicoLibrary, 0, HICO_STATE_ERROR_PASSIVE);
    ASSERT_TRUE(listener.waitForStatusCount(2));
    simbus::setHardwareStatus(kHicoLibrary, 0, HICO_STATE_BUS_OFF);
    ASSERT_TRUE(listener.waitForStatusCount(4));
    const std::vector<uint32_t> expected = {1, 0, 3, 0};
    EXPECT_EQ(listener.statuses(), expected);

    const ResultBlock refused = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(refused.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(messageOf(refused), u"Transmit error (0x10000009)");
    const CANFrame frame = makeFrame(0x181, {1});
    ResultBlock result = patternedResult();
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Transmit error (0x10000009)");

    simbus::clearJournal();
    Hardware_Reset();
    const std::vector<std::string> resetCalls = {
        "HiCOCANResetContr channel=0 mode=1 -> 0x0",
        "HiCOCANSetBaud channel=0 baud=50 -> 0x0",
        "HiCOCANStart channel=0 -> 0x0",
        "HiCOCANCanCtrl channel=0 command=13 -> 0x0",
    };
    std::vector<std::string> calls;
    for (const std::string& line : simbus::journal(kHicoLibrary)) {
        if (line.rfind("HiCOCANWrite", 0) != 0) {
            calls.push_back(line);
        }
    }
    EXPECT_EQ(calls, resetCalls);
    EXPECT_EQ(transmit(frame).code, DRN_OK);
}

TEST_F(HicoDriverTest, SelfReceptionCanBeSwitchedOffAndOnAgain) {
    listener.installReceiveOnly();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});

    ResultBlock result = patternedResult();
    Hardware_SelfReceive(0, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANCanCtrl channel=0 command=14 -> 0x0"));
    ASSERT_EQ(transmit(makeFrame(0x111, {1})).code, DRN_OK);
    (void)device.inject(ostrel::simlibs::test::busFrame(0x222, {}));  // comes after it in any case
    ASSERT_TRUE(listener.waitForFrame(0x222));
    EXPECT_FALSE(listener.heard(0x111));

    Hardware_SelfReceive(1, &result);
    EXPECT_EQ(result.code, DRN_OK);
    ASSERT_EQ(transmit(makeFrame(0x333, {1})).code, DRN_OK);
    EXPECT_TRUE(listener.waitForFrame(0x333));
}

TEST_F(HicoDriverTest, SelfReceiveFailuresHaveTheirMessages) {
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::addFault({kHicoLibrary, "HiCOCANCanCtrl", 3, 1, 0, HICO_CTRL_SELF_RECEPTION_OFF});
    ResultBlock result = patternedResult();
    Hardware_SelfReceive(0, &result);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to disable self receive mode");
    simbus::addFault({kHicoLibrary, "HiCOCANCanCtrl", 3, 1, 0, HICO_CTRL_SELF_RECEPTION_ON});
    Hardware_SelfReceive(1, &result);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to enable self receive mode");
}

TEST_F(HicoDriverTest, ProvokedWriteFailureIsATransmitErrorWithTheCardsCode) {
    sentLog.install();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::addFault({kHicoLibrary, "HiCOCANWrite", 0x10000077, 1, 0, std::nullopt});
    const ResultBlock result = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(result.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(messageOf(result), u"Transmit error (0x10000077)");
    EXPECT_TRUE(sentLog.frames().empty());
    const uint8_t data[9] = {};
    ResultBlock tooLong = patternedResult();
    ops().Transmit(0x181, 9, data, 0, 0, 0, &tooLong);
    EXPECT_EQ(tooLong.code, DRN_BAD_PARAMETERS);
}

TEST_F(HicoDriverTest, CloseStopsTheEngineAndClosesTheCard) {
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::clearJournal();
    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    const std::vector<std::string> expected = {"HiCOCANStop channel=0 -> 0x0", "HiCOCANClose channel=0 -> 0x0",
                                               "HiCOCANCloseDriver -> 0x0"};
    std::vector<std::string> calls;
    for (const std::string& line : simbus::journal(kHicoLibrary)) {
        if (line.rfind("HiCOCANWrite", 0) != 0) {
            calls.push_back(line);
        }
    }
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(transmit(makeFrame(0x181, {1})).code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(initialize(kChannel0At500).code, DRN_OK) << "the card opens again";
}

TEST_F(HicoDriverTest, InitializeAgainClosesTheFirstChannel) {
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    ASSERT_EQ(initialize(0x0203).code, DRN_OK);
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANClose channel=0 -> 0x0"));
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANOpen channel=1 -> 0x0"));
    EXPECT_EQ(simbus::openPortCount(), 1u);
    EXPECT_TRUE(engineRunning());
}

TEST_F(HicoDriverTest, SwitchingNetworksClosesTheCardAndOpensItAtTheNewRate) {
    listener.installReceiveOnly();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    ResultBlock result = switchNetworks(0, kChannel0At500);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANCloseDriver -> 0x0"));
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(transmit(makeFrame(0x181, {1})).code, DRN_NOT_INITIALIZED);
    EXPECT_TRUE(engineRunning()) << "a disconnect keeps the engine";

    result = switchNetworks(1, 0x0104);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANSetBaud channel=0 baud=25 -> 0x0"));
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
    EXPECT_EQ(switchNetworks(1, 0x0205).code, DRN_OK) << "connected already: nothing done";
    EXPECT_FALSE(journalHas(kHicoLibrary, "HiCOCANOpen channel=1"));
    ASSERT_EQ(transmit(makeFrame(0x444, {1})).code, DRN_OK);
    EXPECT_TRUE(listener.waitForFrame(0x444));
}

// Each step of opening a channel can fail; each failure has its message and code -7, and leaves the
// card closed for the next attempt.
struct OpenFailure {
    const char* name;
    simbus::Fault fault;
    bool switching;
    std::u16string message;
};

void PrintTo(const OpenFailure& c, std::ostream* out) { *out << c.name; }

class HicoOpenFailure : public HicoDriverTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(HicoOpenFailure, ReportsItsMessageAndTheNextAttemptSucceeds) {
    const OpenFailure& c = GetParam();
    if (c.switching) {
        ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
        ASSERT_EQ(switchNetworks(0, kChannel0At500).code, DRN_OK);
    }
    simbus::addFault(c.fault);
    const ResultBlock result = c.switching ? switchNetworks(1, kChannel0At500) : initialize(kChannel0At500);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), c.message);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(simbus::openPortCount(), 0u) << "what opened was closed again";
    if (!c.switching) {
        EXPECT_FALSE(engineRunning());
    }
    simbus::clearFaults();
    const ResultBlock again = c.switching ? switchNetworks(1, kChannel0At500) : initialize(kChannel0At500);
    EXPECT_EQ(again.code, DRN_OK) << ostrel::platform::toUtf8(messageOf(again));
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HicoOpenFailure,
    ::testing::Values(
        OpenFailure{"OpenDriver", {kHicoLibrary, "HiCOCANOpenDriver", 1, 1, 0, std::nullopt}, false,
                    u"Failed to open driver"},
        OpenFailure{"Open", {kHicoLibrary, "HiCOCANOpen", 1, 1, 0, std::nullopt}, false, u"Failed to open can node"},
        OpenFailure{"SetBaud", {kHicoLibrary, "HiCOCANSetBaud", 1, 1, 0, std::nullopt}, false,
                    u"Failed to set baudrate of can node"},
        OpenFailure{"Start", {kHicoLibrary, "HiCOCANStart", 1, 1, 0, std::nullopt}, false, u"Failed to start can node"},
        OpenFailure{"SelfReception",
                    {kHicoLibrary, "HiCOCANCanCtrl", 1, 1, 0, HICO_CTRL_SELF_RECEPTION_ON},
                    false,
                    u"Failed to enable self receive mode"},
        OpenFailure{"SwitchOpenDriver", {kHicoLibrary, "HiCOCANOpenDriver", 1, 1, 0, std::nullopt}, true,
                    u"Failed to open driver"},
        OpenFailure{"SwitchOpen", {kHicoLibrary, "HiCOCANOpen", 1, 1, 0, std::nullopt}, true,
                    u"Failed to open can node"},
        OpenFailure{"SwitchSetBaud", {kHicoLibrary, "HiCOCANSetBaud", 1, 1, 0, std::nullopt}, true,
                    u"Failed to set baud rate"},
        OpenFailure{"SwitchStart", {kHicoLibrary, "HiCOCANStart", 1, 1, 0, std::nullopt}, true,
                    u"Failed to start can node"},
        OpenFailure{"SwitchSelfReception",
                    {kHicoLibrary, "HiCOCANCanCtrl", 1, 1, 0, HICO_CTRL_SELF_RECEPTION_ON},
                    true,
                    u"Failed to enable self receive mode"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DisconnectFailure {
    const char* name;
    const char* function;
    std::u16string message;
};

void PrintTo(const DisconnectFailure& c, std::ostream* out) { *out << c.name; }

class HicoDisconnectFailure : public HicoDriverTest, public ::testing::WithParamInterface<DisconnectFailure> {};

TEST_P(HicoDisconnectFailure, ReportsItsMessageAndCloseStillReleasesTheCard) {
    const DisconnectFailure& c = GetParam();
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    simbus::addFault({kHicoLibrary, c.function, 1, 1, 0, std::nullopt});
    const ResultBlock result = switchNetworks(0, kChannel0At500);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), c.message);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    Hardware_Close();
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(initialize(kChannel0At500).code, DRN_OK);
}

INSTANTIATE_TEST_SUITE_P(Steps, HicoDisconnectFailure,
                         ::testing::Values(DisconnectFailure{"Stop", "HiCOCANStop", u"Failed to stop can node"},
                                           DisconnectFailure{"Close", "HiCOCANClose", u"Failed to close can node"},
                                           DisconnectFailure{"CloseDriver", "HiCOCANCloseDriver",
                                                             u"Failed to close driver"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HicoDriverTest, ChannelTheCardLacksCannotBeOpened) {
    const ResultBlock result = initialize(0x0805);  // "PCI CAN 7": the simulated card has two channels
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to open can node");
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANOpen channel=7 -> 0x10000002"));
}

TEST_F(HicoDriverTest, SimulatedDeviceAnswersAnSdoUploadThroughTheCard) {
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    ostrel::fixtures::SimNodeConfig config;
    config.nodeId = 5;
    ostrel::simlibs::test::SimNodeDevice device(config);

    std::array<uint8_t, 16> buffer{};
    uint32_t size = static_cast<uint32_t>(buffer.size());
    Completion completion;
    int32_t out = -99;
    CANopen_SDOUpload(5, 0x1000, 0, buffer.data(), &size, nullptr, &Completion::onComplete, &completion, &out);
    EXPECT_EQ(out, 0);
    ResultBlock result{};
    ASSERT_TRUE(completion.wait(result));
    EXPECT_EQ(result.code, DRN_OK) << ostrel::platform::toUtf8(messageOf(result));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(buffer[0], 0x91);  // device type 0x000F0191
    EXPECT_EQ(buffer[1], 0x01);
    EXPECT_EQ(buffer[2], 0x0F);
    EXPECT_EQ(buffer[3], 0x00);
}

// Without self-reception no echo comes to be taken for another master's request: right after a scan,
// which asks the PC's node too, another master reading its device type is answered (the read of
// 0x1018 after it marks the point by which the engine has handled both).
TEST_F(HicoDriverTest, PcNodeAnswersAnotherMasterRightAfterAScanWithoutSelfReception) {
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    ResultBlock result = patternedResult();
    Hardware_SelfReceive(0, &result);
    int32_t out = -99;
    CANopenServer_Startup(127, 0x00010191, 1, 2, 3, 4, &out);
    CANopen_SetSDOTimeout(50);
    std::array<ScanResult, 127> nodes{};
    Completion scan;
    CANopen_ScanNetwork(nodes.data(), &Completion::onComplete, &scan, &out);
    ASSERT_TRUE(scan.wait(result));
    ostrel::simlibs::test::HeardFrames heard;
    simbus::AttachedDevice master(heard.listener());
    for (const uint8_t index : {0x00, 0x18}) {
        (void)master.inject(ostrel::simlibs::test::busFrame(0x67F, {0x40, index, 0x10, 0, 0, 0, 0, 0}));
    }
    const auto answers = [&](uint8_t index) {
        const auto frames = heard.frames();
        return std::count_if(frames.begin(), frames.end(), [&](const auto& f) { return f.id == 0x5FF && f.data[1] == index; });
    };
    ASSERT_TRUE(ostrel::simlibs::test::eventually([&] { return answers(0x18) == 1; }));
    EXPECT_EQ(answers(0x00), 1);
}

TEST_F(HicoDriverTest, ShutdownWithoutCloseReleasesTheCardAndTheLibrary) {
    ASSERT_EQ(initialize(kChannel0At500).code, DRN_OK);
    CANopenDLL_Shutdown();
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_FALSE(libraryStatus().driverPresent);
}

} // namespace
} // namespace drennic::test
