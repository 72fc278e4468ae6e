// The hardware exports: forwarded unchanged to the driver, or the no-driver results without one.
#include "library_fixture.h"

#include "drivers.h"
#include "testbus.h"

#include <platform/clock.h>
#include <platform/utf16.h>

#include <array>
#include <cstring>

namespace drennic::test {
namespace {

using ostrel::platform::fieldView;

// The exports with a result block write -7 "Hardware not initialized" into it.
void expectResultsNotInitialized() {
    ResultBlock results[3] = {patternedResult(), patternedResult(), patternedResult()};
    Hardware_Initialize(1, u"client", 0, 0, &results[0]);
    Hardware_SwitchNetworks(1, 1, &results[1]);
    Hardware_SelfReceive(1, &results[2]);
    for (const ResultBlock& result : results) {
        EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
        EXPECT_EQ(messageOf(result), u"Hardware not initialized");
    }
}

// Every hardware export called without a driver: -7 where a number is returned, 0 for
// IsNetworkFunctional and ErrorFrames, and -7 in every result block.
void expectNoDriverResults() {
    std::array<HardwareInfo, 2> hardware{};
    std::array<NetworkInfo, 2> networks{};
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 2), DRN_NOT_INITIALIZED);
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 2, 1), DRN_NOT_INITIALIZED);
    EXPECT_EQ(Hardware_AddNetwork(u"Line", 250, 1), DRN_NOT_INITIALIZED);
    EXPECT_EQ(Hardware_GetBaudrate(1), DRN_NOT_INITIALIZED);
    EXPECT_EQ(Hardware_DeleteNetwork(1), DRN_NOT_INITIALIZED);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(Hardware_ErrorFrames(1), 0);

    expectResultsNotInitialized();

    CANTimeStamp time{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    Hardware_GetCurrentTime(&time);
    EXPECT_EQ(time.timeMs, 0u);
    EXPECT_EQ(time.timeMsOverflow, 0u);
    EXPECT_EQ(time.timeUs, 0u);

    Hardware_Close();
    Hardware_Reset();
    Hardware_OneShot(1);
    Hardware_GetCurrentTime(nullptr);
}

TEST_F(DrennicLibrary, HardwareExportsBeforeStartupGiveNoDriverResults) { expectNoDriverResults(); }

TEST_F(DrennicLibrary, HardwareExportsWithUnknownDriverGiveNoDriverResults) {
    CANopenDLL_Startup(0, u"unknown.dll");
    expectNoDriverResults();
}

// A Kobal library that lacks the driver's entry points (the stand-in exports none of them) is no
// usable driver either.
TEST_F(DrennicLibrary, KobalDriversOverALibraryWithoutTheirEntryPointsReportNotInitialized) {
    for (const DriverFill fill : {fillKobalapi2Ops, fillKobalPlsapi2Ops}) {
        (void)replaceDriverFill(DriverKind::WinCE, fill);
        CANopenDLL_Startup(0, u"my_wince_drv.dll");
        ASSERT_TRUE(libraryStatus().driverPresent);
        expectResultsNotInitialized();
        CANopenDLL_Shutdown();
    }
}

TEST_F(DrennicLibrary, HardwareExportsAfterShutdownGiveNoDriverResults) {
    TestBus bus;
    CANopenDLL_Startup(1, u"");
    ResultBlock result{};
    Hardware_Initialize(1, u"client", 0, 0, &result);
    ASSERT_EQ(result.code, DRN_OK);
    CANopenDLL_Shutdown();

    expectNoDriverResults();
    EXPECT_FALSE(bus.initialized());  // shut-down closed the driver
    EXPECT_EQ(bus.counters().closeDriver, 1);
}

class DrennicHardwareOnBus : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        bus_ = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
    }
    void TearDown() override {
        bus_.reset();
        DrennicLibrary::TearDown();
    }
    TestBus& bus() { return *bus_; }

private:
    std::unique_ptr<TestBus> bus_;
};

TEST_F(DrennicHardwareOnBus, EnumerationsDeliverTheDriversEntries) {
    std::array<HardwareInfo, 4> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 4), 1);
    EXPECT_EQ(fieldView(hardware[0].name, DRN_HARDWARE_NAME_CHARS), u"TestBus");
    EXPECT_EQ(hardware[0].hardwareHandle, 1u);

    std::array<NetworkInfo, 4> networks{};
    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 4, 1), 1);
    EXPECT_EQ(fieldView(networks[0].name, DRN_NETWORK_NAME_CHARS), u"TestNet");
    EXPECT_EQ(networks[0].networkHandle, 1u);
    EXPECT_EQ(networks[0].baudKbit, 500u);
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 4, 2), 0);  // the handle reaches the driver
}

TEST_F(DrennicHardwareOnBus, AddNetworkPassesHandlesAndTurnsDriverRefusalIntoMinusFour) {
    const int32_t handle = Hardware_AddNetwork(u"Line 2", 125, 1);
    ASSERT_GT(handle, 1);
    EXPECT_EQ(Hardware_GetBaudrate(static_cast<uint32_t>(handle)), 125);

    std::array<NetworkInfo, 4> networks{};
    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 4, 1), 2);
    EXPECT_EQ(fieldView(networks[1].name, DRN_NETWORK_NAME_CHARS), u"Line 2");

    // The driver answers -1 for a refused network; the export reports -4.
    EXPECT_EQ(Hardware_AddNetwork(u"No rate", 0, 1), DRN_BAD_PARAMETERS);
    EXPECT_EQ(Hardware_AddNetwork(u"Wrong hardware", 125, 7), DRN_BAD_PARAMETERS);
    EXPECT_EQ(Hardware_AddNetwork(nullptr, 125, 1), DRN_BAD_PARAMETERS);

    EXPECT_EQ(Hardware_DeleteNetwork(static_cast<uint32_t>(handle)), DRN_OK);
    EXPECT_EQ(Hardware_DeleteNetwork(static_cast<uint32_t>(handle)), DRN_DELETE_FAILED);
    EXPECT_EQ(Hardware_GetBaudrate(static_cast<uint32_t>(handle)), 0);
}

TEST_F(DrennicHardwareOnBus, InitializeAndCloseOpenAndCloseTheNetwork) {
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    ResultBlock result = patternedResult();
    Hardware_Initialize(1, u"client", 0, 0, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(messageOf(result), u"");
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
    EXPECT_EQ(Hardware_DeleteNetwork(1), DRN_NETWORK_IN_USE);

    Hardware_Close();
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(bus().counters().initialize, 1);
    EXPECT_EQ(bus().counters().close, 1);

    result = patternedResult();
    Hardware_Initialize(42, u"client", 0, 0, &result);  // no such network
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to configure can bus");
}

TEST_F(DrennicHardwareOnBus, SettingsReachTheDriver) {
    EXPECT_EQ(Hardware_ErrorFrames(1), 1);
    EXPECT_TRUE(bus().errorFrames());
    Hardware_OneShot(1);
    EXPECT_TRUE(bus().oneShot());
    ResultBlock result = patternedResult();
    Hardware_SelfReceive(1, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_TRUE(bus().selfReceive());
    Hardware_SelfReceive(0, &result);
    EXPECT_FALSE(bus().selfReceive());
    Hardware_Reset();
    EXPECT_EQ(bus().counters().reset, 1);

    result = patternedResult();
    Hardware_SwitchNetworks(1, 1, &result);
    EXPECT_EQ(result.code, DRN_OK);
    result = patternedResult();
    Hardware_SwitchNetworks(5, 1, &result);  // neither connect nor disconnect
    EXPECT_TRUE(untouched(result));
}

TEST_F(DrennicHardwareOnBus, CurrentTimeComesFromTheDriverClock) {
    const auto before = static_cast<uint32_t>(ostrel::platform::monotonicUs() / 1000);
    CANTimeStamp time{};
    Hardware_GetCurrentTime(&time);
    const auto after = static_cast<uint32_t>(ostrel::platform::monotonicUs() / 1000);
    // Millisecond counts wrap at 2^32; compare distances.
    EXPECT_LE(static_cast<uint32_t>(time.timeMs - before), static_cast<uint32_t>(after - before));
    EXPECT_LT(time.timeUs, 1000u);
    EXPECT_EQ(time.timeMsOverflow, 0u);
}

} // namespace
} // namespace drennic::test
