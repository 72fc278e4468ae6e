// The WinCE driver over the simulated WinCE-style library: selection by name, the port and network
// lists, port 0 on which nothing is sent, opening a port, frames with the driver's time stamps,
// statuses, reset, self-reception and error frames, switching, closing, every failure message, a
// library without the WinCE_ functions, and an SDO upload answered by a simulated CANopen device.
#include "../simlibs/sim_node_device.h"
#include "driver_scene.h"

#include <platform/clock.h>
#include <platform/utf16.h>

#include <array>
#include <ostream>

namespace drennic::test {
namespace {

namespace simbus = ostrel::simbus;
using ostrel::simlibs::test::busFrame;
using ostrel::simlibs::test::journalCount;
using ostrel::simlibs::test::journalHas;
using ostrel::simlibs::test::kWinceLibrary;

constexpr uint32_t kPort1At500 = 0x0105;  // "CAN1:", 500 kbit/s
constexpr uint32_t kNoPortAt125 = 0x0003;

class WinceDriverTest : public CardDriverTest {
protected:
    void SetUp() override {
        CardDriverTest::SetUp();
        CANopenDLL_Startup(0, u"CanWinCE.dll");
    }
    static ResultBlock receiveOnce(CANFrame& frame) {
        ResultBlock result = patternedResult();
        uint8_t extended = 0, remote = 0, error = 0;
        ops().Receive(&frame.id, &frame.length, &extended, &remote, &error, frame.data, &frame.timeMs,
                      &frame.timeMsOverflow, &frame.timeUs, &result);
        return result;
    }
};

TEST_F(WinceDriverTest, NameContainingWinceSelectsTheDriverAndLoadsThatLibrary) {
    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.selected, DriverKind::WinCE);
    EXPECT_TRUE(status.driverPresent);
    EXPECT_NE(status.modulePath.find("libcanwince.so"), std::string::npos) << status.modulePath;
}

TEST_F(WinceDriverTest, HardwareListNamesEachPortByItsNumber) {
    simbus::setHardware(kWinceLibrary, {{1, "CAN1", 0}, {2, "CAN2", 0}, {3, "CAN3", 0}});
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 3);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(ostrel::platform::toUtf8(std::u16string(ostrel::platform::fieldView(hardware[i].name, 32))),
                  "CAN" + std::to_string(i + 1));
        EXPECT_EQ(hardware[i].hardwareHandle, i + 1);
    }
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 2), 2) << "never more than the capacity";
    simbus::setHardware(kWinceLibrary, {});
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 0);
}

TEST_F(WinceDriverTest, NetworkHandlesCarryThePortAndTheRateIndex) {
    std::array<NetworkInfo, 8> networks{};
    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 8, 2), 8);
    EXPECT_EQ(networks[3].networkHandle, 0x0203u);
    EXPECT_EQ(networks[3].baudKbit, 125u);
    EXPECT_EQ(ostrel::platform::fieldView(networks[3].name, 40), u"CANopen_125");
    EXPECT_EQ(networks[7].networkHandle, 0x0207u);
    EXPECT_EQ(ostrel::platform::fieldView(networks[7].name, 40), u"CANopen_1000");
    EXPECT_EQ(Hardware_GetBaudrate(0x0203), 125);
    EXPECT_EQ(Hardware_GetBaudrate(0x0006), 800);
    EXPECT_EQ(Hardware_GetBaudrate(0x01FF), 0);
    EXPECT_EQ(Hardware_AddNetwork(u"Mine", 125, 1), 0);
    EXPECT_EQ(Hardware_DeleteNetwork(0x0203), DRN_REFUSED);
}

TEST_F(WinceDriverTest, PortZeroRunsTheEngineAndSendsNothing) {
    sentLog.install();
    const ResultBlock result = initialize(kNoPortAt125);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(messageOf(result), u"");
    EXPECT_TRUE(engineRunning());
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(journalCount(kWinceLibrary, "WinCE_Open"), 0u);
    EXPECT_EQ(simbus::openPortCount(), 0u);

    EXPECT_EQ(transmit(makeFrame(0x181, {1})).code, DRN_OK) << "reported as sent";
    EXPECT_TRUE(sentLog.frames().empty());
    EXPECT_TRUE(simbus::sentFrames().empty());
    CANFrame frame{};
    const uint32_t before = ostrel::platform::tickMs();
    const ResultBlock received = receiveOnce(frame);
    const uint32_t after = ostrel::platform::tickMs();
    EXPECT_EQ(received.code, DRN_NO_FRAME);
    EXPECT_LE(frame.timeMs - before, after - before) << "stamped with the current time";
    uint32_t status = 9;
    ResultBlock statusResult{};
    ops().Status(&status, &statusResult);
    EXPECT_EQ(statusResult.code, DRN_OK);
    EXPECT_EQ(status, 0u);

    Hardware_Close();
    EXPECT_FALSE(engineRunning());
}

TEST_F(WinceDriverTest, TransmitBeforeInitializeIsRefusedEvenWithoutAPort) {
    const ResultBlock result = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Hardware not initialized");
}

TEST_F(WinceDriverTest, InitializeOpensAndStartsThePortOfTheNetwork) {
    ASSERT_EQ(initialize(0x0206).code, DRN_OK);
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_Open name=\"CAN2:\" rate=800 -> "));
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_Start port="));
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
    EXPECT_EQ(simbus::openPortCount(), 1u);
    EXPECT_TRUE(engineRunning());
}

TEST_F(WinceDriverTest, FramesTravelWithTheirFlagsAndGetTheTimeTheyWereRead) {
    listener.installReceiveOnly();
    sentLog.install();
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    ostrel::simlibs::test::HeardFrames heard;
    simbus::AttachedDevice device(heard.listener());

    const CANFrame request = makeFrame(0x605, {0x40, 0x00, 0x10, 0x00});
    ResultBlock result = patternedResult();
    CAN_Transmit(&request, &result);
    ASSERT_EQ(result.code, DRN_OK);
    ASSERT_EQ(transmit(makeFrame(0x1234567, {7}, DRN_FLAG_EXTENDED)).code, DRN_OK);
    const auto frames = heard.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].id, 0x605u);
    EXPECT_EQ(frames[0].length, 4);
    EXPECT_TRUE(frames[1].extended);
    ASSERT_EQ(sentLog.frames().size(), 2u);
    EXPECT_EQ(sentLog.frames()[1].flags, 0);

    const uint32_t before = ostrel::platform::tickMs();
    simbus::Frame remote = busFrame(0x705, {});
    remote.remote = true;
    (void)device.inject(remote);
    (void)device.inject(busFrame(0x585, {0x43, 0x00, 0x10, 0x00, 0x91}));
    CANFrame answer{};
    ASSERT_TRUE(listener.waitForFrame(0x585, &answer));
    const uint32_t after = ostrel::platform::tickMs();
    EXPECT_LE(answer.timeMs - before, after - before);
    EXPECT_EQ(answer.timeMsOverflow, 0u);
    EXPECT_EQ(answer.timeUs, 0u);
    EXPECT_EQ(answer.length, 5);
    EXPECT_EQ(answer.data[4], 0x91);
    CANFrame rtr{};
    ASSERT_TRUE(listener.waitForFrame(0x705, &rtr));
    EXPECT_EQ(rtr.flags, DRN_FLAG_REMOTE);
    EXPECT_FALSE(listener.heard(0x605)) << "self-reception is off until asked for";
}

TEST_F(WinceDriverTest, PortStatusWordsBecomeDriverStatuses) {
    listener.install();
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    simbus::setHardwareStatus(kWinceLibrary, 1, WINCE_STATE_ERROR_PASSIVE);
    ASSERT_TRUE(listener.waitForStatusCount(1));
    simbus::setHardwareStatus(kWinceLibrary, 1, WINCE_STATE_BUS_OFF);
    ASSERT_TRUE(listener.waitForStatusCount(2));
    simbus::setHardwareStatus(kWinceLibrary, 1, WINCE_STATE_BUS_OFF | WINCE_STATE_ERROR_PASSIVE);
    ASSERT_TRUE(listener.waitForStatusCount(3));
    simbus::setHardwareStatus(kWinceLibrary, 1, 0);
    ASSERT_TRUE(listener.waitForStatusCount(4));
    const std::vector<uint32_t> expected = {1, 3, 1, 0};
    EXPECT_EQ(listener.statuses(), expected) << "error passive counts before bus off";
}

TEST_F(WinceDriverTest, BusOffPortGivesTransmitErrorUntilReset) {
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    simbus::setHardwareStatus(kWinceLibrary, 1, WINCE_STATE_BUS_OFF);
    const ResultBlock refused = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(refused.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(messageOf(refused), u"Transmit error");
    const CANFrame frame = makeFrame(0x181, {1});
    ResultBlock result = patternedResult();
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Transmit error");

    simbus::setHardwareStatus(kWinceLibrary, 1, 0);
    simbus::clearJournal();
    Hardware_Reset();
    const auto lines = simbus::journal(kWinceLibrary);
    std::vector<std::string> calls;
    for (const std::string& line : lines) {
        calls.push_back(line.substr(0, line.find(' ')));
    }
    const std::vector<std::string> expected = {"WinCE_Stop", "WinCE_Close", "WinCE_Open", "WinCE_Start"};
    EXPECT_EQ(calls, expected);
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_Open name=\"CAN1:\" rate=500 -> "));
    EXPECT_EQ(simbus::openPortCount(), 1u);
    EXPECT_EQ(transmit(frame).code, DRN_OK) << "the new port sends";
}

TEST_F(WinceDriverTest, ResetWhoseOpenFailsLeavesNoPortAndReleasesTheLock) {
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    simbus::addFault({kWinceLibrary, "WinCE_Open", WINCE_INVALID_PORT, 1, 0, std::nullopt});
    Hardware_Reset();
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    const ResultBlock result = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED) << "nothing passes for sent without a port";
    EXPECT_EQ(Hardware_ErrorFrames(1), DRN_OK);
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_ConfigureErrorFrames on=1")) << "the lock was free again";
    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(initialize(kPort1At500).code, DRN_OK);
}

TEST_F(WinceDriverTest, SelfReceptionAndErrorFramesAreSwitchedInTheLibrary) {
    listener.installReceiveOnly();
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    simbus::Frame error = busFrame(0x2A, {});
    error.error = true;

    ResultBlock result = patternedResult();
    Hardware_SelfReceive(1, &result);
    EXPECT_EQ(result.code, DRN_OK);
    ASSERT_EQ(transmit(makeFrame(0x111, {1})).code, DRN_OK);
    ASSERT_TRUE(listener.waitForFrame(0x111));

    Hardware_SelfReceive(0, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_ConfigureSelfReceive on=0"));
    ASSERT_EQ(transmit(makeFrame(0x112, {1})).code, DRN_OK);
    (void)device.inject(error);  // not delivered: error frames are off
    (void)device.inject(busFrame(0x222, {}));
    ASSERT_TRUE(listener.waitForFrame(0x222));
    EXPECT_FALSE(listener.heard(0x112));
    EXPECT_FALSE(listener.heard(0x2A));

    EXPECT_EQ(Hardware_ErrorFrames(1), DRN_OK);
    (void)device.inject(error);
    CANFrame got{};
    ASSERT_TRUE(listener.waitForFrame(0x2A, &got));
    EXPECT_EQ(got.flags, DRN_FLAG_ERROR);
}

TEST_F(WinceDriverTest, SwitchingNetworksStopsAndClosesThePortAndOpensTheNext) {
    sentLog.install();
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    ResultBlock result = switchNetworks(0, kPort1At500);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(transmit(makeFrame(0x181, {1})).code, DRN_NOT_INITIALIZED);
    uint32_t status = 0;
    ResultBlock statusResult{};
    ops().Status(&status, &statusResult);
    EXPECT_EQ(statusResult.code, DRN_NOT_INITIALIZED);
    EXPECT_TRUE(engineRunning()) << "a disconnect keeps the engine";

    EXPECT_EQ(switchNetworks(1, kNoPortAt125).code, DRN_OK);
    EXPECT_EQ(Hardware_GetBaudrate(kNoPortAt125), 125);
    EXPECT_EQ(transmit(makeFrame(0x181, {1})).code, DRN_OK);
    EXPECT_TRUE(sentLog.frames().empty()) << "port 0 sends nothing";
    EXPECT_EQ(switchNetworks(1, 0x0204).code, DRN_OK) << "connected already: nothing done";
    EXPECT_EQ(simbus::openPortCount(), 0u);

    ASSERT_EQ(switchNetworks(0, kNoPortAt125).code, DRN_OK);
    ASSERT_EQ(switchNetworks(1, 0x0204).code, DRN_OK);
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_Open name=\"CAN2:\" rate=250 -> "));
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
    ASSERT_EQ(transmit(makeFrame(0x182, {1})).code, DRN_OK);
    ASSERT_EQ(simbus::sentFrames().size(), 1u);
    EXPECT_EQ(simbus::sentFrames()[0].hardware, 2u);
    Hardware_Close();
    EXPECT_EQ(simbus::openPortCount(), 0u);
}

struct WinceFailure {
    const char* name;
    simbus::Fault fault;
    uint32_t network;
    bool switching;
    std::u16string message;
};

void PrintTo(const WinceFailure& c, std::ostream* out) { *out << c.name; }

class WinceOpenFailure : public WinceDriverTest, public ::testing::WithParamInterface<WinceFailure> {};

TEST_P(WinceOpenFailure, ReportsItsMessageAndLeavesNoPortOpen) {
    const WinceFailure& c = GetParam();
    if (c.switching) {
        ASSERT_EQ(initialize(kNoPortAt125).code, DRN_OK);
        ASSERT_EQ(switchNetworks(0, kNoPortAt125).code, DRN_OK);
    }
    if (!c.fault.function.empty()) {
        simbus::addFault(c.fault);
    }
    const ResultBlock result = c.switching ? switchNetworks(1, c.network) : initialize(c.network);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), c.message);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(simbus::openPortCount(), 0u) << "a port that did not start is closed again";
    if (!c.switching) {
        EXPECT_FALSE(engineRunning());
    }
    simbus::clearFaults();
    EXPECT_EQ((c.switching ? switchNetworks(1, kPort1At500) : initialize(kPort1At500)).code, DRN_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WinceOpenFailure,
    ::testing::Values(
        WinceFailure{"Open", {kWinceLibrary, "WinCE_Open", -1, 1, 0, std::nullopt}, kPort1At500, false,
                     u"Failed to open can node"},
        WinceFailure{"UnknownRate", {}, 0x0108, false, u"Failed to open can node"},
        WinceFailure{"MissingPort", {}, 0x0905, false, u"Failed to open can node"},
        WinceFailure{"Start", {kWinceLibrary, "WinCE_Start", 0, 1, 0, std::nullopt}, kPort1At500, false,
                     u"Failed to start can node"},
        WinceFailure{"SwitchOpen", {kWinceLibrary, "WinCE_Open", -1, 1, 0, std::nullopt}, kPort1At500, true,
                     u"Failed to open can node"},
        WinceFailure{"SwitchStart", {kWinceLibrary, "WinCE_Start", 0, 1, 0, std::nullopt}, kPort1At500, true,
                     u"Failed to start can node"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinceDriverTest, DisconnectWhosePortDoesNotStopReportsItAndCloseStillReleasesIt) {
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    simbus::addFault({kWinceLibrary, "WinCE_Stop", 0, 1, 0, std::nullopt});
    const ResultBlock result = switchNetworks(0, kPort1At500);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to stop can node");
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(simbus::openPortCount(), 1u);
    Hardware_Close();
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_FALSE(engineRunning());
}

TEST_F(WinceDriverTest, ProvokedTransmitFailureIsATransmitError) {
    sentLog.install();
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    simbus::addFault({kWinceLibrary, "WinCE_Transmit", 0, 1, 0, std::nullopt});
    const ResultBlock result = transmit(makeFrame(0x181, {1}));
    EXPECT_EQ(result.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(messageOf(result), u"Transmit error");
    EXPECT_TRUE(sentLog.frames().empty());
    const uint8_t data[9] = {};
    ResultBlock tooLong = patternedResult();
    ops().Transmit(0x181, 9, data, 0, 0, 0, &tooLong);
    EXPECT_EQ(tooLong.code, DRN_BAD_PARAMETERS);
}

TEST_F(WinceDriverTest, CurrentTimeIsTheMillisecondClock) {
    CANTimeStamp now{7, 7, 7};
    const uint32_t before = ostrel::platform::tickMs();
    Hardware_GetCurrentTime(&now);
    const uint32_t after = ostrel::platform::tickMs();
    EXPECT_LE(now.timeMs - before, after - before);
    EXPECT_EQ(now.timeMsOverflow, 0u);
    EXPECT_EQ(now.timeUs, 0u);
}

TEST_F(WinceDriverTest, CloseStopsTheEngineAndClosesThePort) {
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    simbus::clearJournal();
    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_Stop port="));
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_Close port="));
    EXPECT_EQ(transmit(makeFrame(0x181, {1})).code, DRN_NOT_INITIALIZED);
    uint32_t status = 9;
    ResultBlock statusResult{};
    ops().Status(&status, &statusResult);
    EXPECT_EQ(status, 0u) << "no port after Close";
    EXPECT_EQ(initialize(kPort1At500).code, DRN_OK) << "the port opens again";
}

TEST_F(WinceDriverTest, SimulatedDeviceAnswersAnSdoUploadThroughThePort) {
    ASSERT_EQ(initialize(kPort1At500).code, DRN_OK);
    ostrel::fixtures::SimNodeConfig config;
    config.nodeId = 9;
    ostrel::simlibs::test::SimNodeDevice device(config);

    std::array<uint8_t, 16> buffer{};
    uint32_t size = static_cast<uint32_t>(buffer.size());
    Completion completion;
    int32_t out = -99;
    CANopen_SDOUpload(9, 0x1000, 0, buffer.data(), &size, nullptr, &Completion::onComplete, &completion, &out);
    EXPECT_EQ(out, 0);
    ResultBlock result{};
    ASSERT_TRUE(completion.wait(result));
    EXPECT_EQ(result.code, DRN_OK) << ostrel::platform::toUtf8(messageOf(result));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(buffer[0], 0x91);  // device type 0x000F0191
    EXPECT_EQ(buffer[2], 0x0F);
}

// A library that merely has "wince" in its name, without any WinCE_ function.
class WinceWithoutEntryPoints : public CardDriverTest {
protected:
    void SetUp() override {
        CardDriverTest::SetUp();
        CANopenDLL_Startup(0, u"my_wince_drv.dll");
    }
};

TEST_F(WinceWithoutEntryPoints, PortsFailToOpenAndPortZeroStillWorks) {
    ASSERT_TRUE(libraryStatus().driverPresent);
    std::array<HardwareInfo, 4> hardware{};
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 4), 0);
    ResultBlock result = initialize(kPort1At500);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to open can node");

    result = initialize(kNoPortAt125);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(transmit(makeFrame(0x181, {1})).code, DRN_OK);
    Hardware_SelfReceive(1, &result);
    EXPECT_EQ(Hardware_ErrorFrames(1), DRN_OK);
    Hardware_Reset();
    uint32_t status = 9;
    ResultBlock statusResult{};
    ops().Status(&status, &statusResult);
    EXPECT_EQ(status, 0u);
    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    CANopenDLL_Shutdown();
    EXPECT_FALSE(libraryStatus().driverPresent);
}

} // namespace
} // namespace drennic::test
