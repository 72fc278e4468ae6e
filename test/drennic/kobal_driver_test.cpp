// The two Kobal drivers over the simulated Kobal libraries: selection and loading, hardware and
// network lists, bit rates, the networks kept in the registry, opening a network, frames to and from
// a simulated CANopen device with microsecond stamps, status changes, switching networks, closing,
// and the messages of every failure the libraries can be made to report.
#include "engine_listener.h"
#include "library_fixture.h"

#include "../simlibs/kobal_library.h"
#include "../simlibs/sim_node_device.h"
#include "engine.h"

#include <platform/registry.h>
#include <platform/utf16.h>

#include <simbus/simbus_control.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drennic::test {
namespace {

using ostrel::platform::RegistryKey;
using ostrel::platform::RegistryRoot;
using ostrel::simlibs::test::KobalLibrary;
using ostrel::simlibs::test::SimNodeDevice;
namespace simbus = ostrel::simbus;

constexpr const char* kApi2 = "kobalapi2";
constexpr const char* kPls = "kobalplsapi2";
constexpr std::string_view kNetworksKey = "Software\\Ostrel\\DrennicDLL\\TrovelNetworks";

bool journalHas(const char* library, std::string_view text) {
    const auto lines = simbus::journal(library);
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::size_t journalCount(const char* library, std::string_view text) {
    const auto lines = simbus::journal(library);
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

uint64_t microsecondsOf(const CANFrame& frame) {
    return ((static_cast<uint64_t>(frame.timeMsOverflow) << 32) | frame.timeMs) * 1000 + frame.timeUs;
}

bool isLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

// A library in its start state, a bus without devices and a registry of this test's own.
class KobalDriverTest : public DrennicLibrary {
protected:
    void SetUp() override {
        // mkdtemp: a parameterised test's name holds a '/', which would make two folders of it.
        std::string pattern = (std::filesystem::temp_directory_path() / "kobal-driver-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        registryDir_ = pattern;
        setenv("OSTREL_REGISTRY_DIR", registryDir_.c_str(), 1);
        DrennicLibrary::SetUp();
        simbus::reset();
    }
    void TearDown() override {
        DrennicLibrary::TearDown();
        simbus::reset();
        std::error_code ignored;
        std::filesystem::remove_all(registryDir_, ignored);
    }

    // The first network added on hardware 1, at `kbit`.
    uint32_t addNetwork(const char16_t* name = u"Plant", uint32_t kbit = 500) {
        const int32_t handle = Hardware_AddNetwork(name, kbit, 1);
        EXPECT_GT(handle, 0);
        return static_cast<uint32_t>(handle);
    }
    ResultBlock initialize(uint32_t network, const char16_t* client = u"Tester", uint32_t window = 0) {
        ResultBlock result = patternedResult();
        Hardware_Initialize(network, client, window, 0x1234, &result);
        return result;
    }
    static DriverOps ops() { return currentDriver()->ops; }

    std::filesystem::path registryDir_;
    // Outlives TearDown, which stops the engine that calls it.
    Listener listener;
};

// ---- Kobalapi2: selection, hardware, networks ----------------------------------------------------

TEST_F(KobalDriverTest, StartupWithTheLibraryNameSelectsTheDriverAndLoadsTheSimulatedLibrary) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.selected, DriverKind::Kobalapi2);
    EXPECT_TRUE(status.driverPresent);
    EXPECT_NE(status.modulePath.find("libkobalapi2.so"), std::string::npos) << status.modulePath;
}

TEST_F(KobalDriverTest, HardwareListStartsWithInternalAndHoldsEachInterface) {
    simbus::setHardware(kApi2, {{1, "Sim A", 0}, {3, "Sim C", 0}});
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 3);
    EXPECT_EQ(ostrel::platform::fieldView(hardware[0].name, 32), u"Internal");
    EXPECT_EQ(hardware[0].hardwareHandle, 0u);
    EXPECT_EQ(ostrel::platform::fieldView(hardware[1].name, 32), u"Sim A");
    EXPECT_EQ(hardware[1].hardwareHandle, 1u);
    EXPECT_EQ(ostrel::platform::fieldView(hardware[2].name, 32), u"Sim C");
    EXPECT_EQ(hardware[2].hardwareHandle, 3u);
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 2), 2) << "never more than the capacity";
}

TEST_F(KobalDriverTest, HardwareListIsEmptyWithoutAnyInterface) {
    simbus::setHardware(kApi2, {});
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    std::array<HardwareInfo, 8> hardware{};
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 0);
}

TEST_F(KobalDriverTest, AddedNetworkIsListedStoredAndRegisteredAgainAtTheNextStart) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(Hardware_AddNetwork(u"Plant", 250, 1), 1);
    ASSERT_EQ(Hardware_AddNetwork(u"Lab", 1000, 1), 2);
    const auto key = RegistryKey::open(RegistryRoot::CurrentUser, kNetworksKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->readString("1"), "1,284,Plant");
    EXPECT_EQ(key->readString("2"), "1,20,Lab");

    CANopenDLL_Shutdown();
    simbus::reset();  // the library forgets every network, as after a restart
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    std::array<NetworkInfo, 32> networks{};
    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 32, 1), 2);
    EXPECT_EQ(ostrel::platform::fieldView(networks[0].name, 40), u"Plant");
    EXPECT_EQ(networks[0].networkHandle, 1u);
    EXPECT_EQ(networks[0].baudKbit, 250u);
    EXPECT_EQ(ostrel::platform::fieldView(networks[1].name, 40), u"Lab");
    EXPECT_EQ(networks[1].baudKbit, 1000u);
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 32, 3), 0) << "networks of another hardware";
}

TEST_F(KobalDriverTest, StoredNetworksAreRegisteredAtStartAndMalformedValuesIgnored) {
    {
        auto key = RegistryKey::create(RegistryRoot::CurrentUser, kNetworksKey);
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->writeString("7", "1,28,Direct"));
        ASSERT_TRUE(key->writeString("8", "1,Onecomma"));
        ASSERT_TRUE(key->writeInteger("9", 5));
        ASSERT_TRUE(key->writeString("10", "1,28,Name,with,commas"));  // the name is what follows the last comma
    }
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    std::array<NetworkInfo, 32> networks{};
    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 32, 1), 2);
    EXPECT_EQ(ostrel::platform::fieldView(networks[0].name, 40), u"Direct");
    EXPECT_EQ(networks[0].networkHandle, 7u);
    EXPECT_EQ(networks[0].baudKbit, 500u);
    EXPECT_EQ(ostrel::platform::fieldView(networks[1].name, 40), u"commas");
    EXPECT_EQ(networks[1].networkHandle, 10u);
}

TEST_F(KobalDriverTest, NetworkListLooksOnlyAtHandlesUpToTheCapacity) {
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, kNetworksKey);
    ASSERT_TRUE(key->writeString("7", "1,28,Seven") && key->flush());
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    std::array<NetworkInfo, 32> networks{};
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 6, 1), 0);
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 7, 1), 1);
}

struct RateCase {
    uint32_t kbit;
    uint32_t registerValue;  // what a new network is registered with
    uint32_t readBack;       // what the network's bit rate then reads as
};

class KobalBitRates : public KobalDriverTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(KobalBitRates, NewNetworkGetsTheRegisterValueOfItsRate) {
    const RateCase& c = GetParam();
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const int32_t handle = Hardware_AddNetwork(u"Rated", c.kbit, 1);
    ASSERT_EQ(handle, 1);
    EXPECT_EQ(Hardware_GetBaudrate(1), static_cast<int32_t>(c.readBack));
    const auto key = RegistryKey::open(RegistryRoot::CurrentUser, kNetworksKey);
    EXPECT_EQ(key->readString("1"), "1," + std::to_string(c.registerValue) + ",Rated");
    EXPECT_TRUE(journalHas(kApi2, "rate=0x" + [&] {
        char text[16];
        std::snprintf(text, sizeof text, "%x", c.registerValue);
        return std::string(text);
    }()));
}

INSTANTIATE_TEST_SUITE_P(Table, KobalBitRates,
                         ::testing::Values(RateCase{1000, 0x0014, 1000}, RateCase{800, 0x4016, 800},
                                           RateCase{500, 0x001C, 500}, RateCase{250, 0x011C, 250},
                                           RateCase{125, 0x031C, 125}, RateCase{100, 0x031C, 125},
                                           RateCase{50, 0x472F, 50}, RateCase{20, 0x532F, 20},
                                           RateCase{10, 0x672F, 10}, RateCase{5, 0x031C, 125},
                                           RateCase{333, 0x031C, 125}),
                         [](const auto& info) { return std::to_string(info.param.kbit) + "kbit"; });

TEST_F(KobalDriverTest, RegisterValuesWithoutARateReadAsZero) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    auto lib = KobalLibrary::load("KOBALAPI2.DLL");
    ASSERT_EQ(lib->registerNet(3, "Hundred", 1, 0x432F), KOBAL_OK);
    ASSERT_EQ(lib->registerNet(4, "Five", 1, 0x7F7F), KOBAL_OK);
    ASSERT_EQ(lib->registerNet(5, "Odd", 1, 0x1234), KOBAL_OK);
    EXPECT_EQ(Hardware_GetBaudrate(3), 0);
    EXPECT_EQ(Hardware_GetBaudrate(4), 0);
    EXPECT_EQ(Hardware_GetBaudrate(5), 0);
    EXPECT_EQ(Hardware_GetBaudrate(6), 0) << "no such network";
}

TEST_F(KobalDriverTest, NetworkNameLongerThan19BytesIsRefusedAndNotStored) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    EXPECT_EQ(Hardware_AddNetwork(u"abcdefghijklmnopqrst", 500, 1), DRN_BAD_PARAMETERS);
    EXPECT_EQ(Hardware_AddNetwork(u"\u00e4bcdefghijklmnopqrs", 500, 1), DRN_BAD_PARAMETERS) << "19 characters, 20 bytes";
    EXPECT_EQ(Hardware_AddNetwork(u"abcdefghijklmnopqrs", 500, 1), 1);
    const auto key = RegistryKey::open(RegistryRoot::CurrentUser, kNetworksKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->values().size(), 1u);
    EXPECT_EQ(Hardware_AddNetwork(u"Nowhere", 500, 9), DRN_BAD_PARAMETERS) << "no hardware 9";
}

TEST_F(KobalDriverTest, DeletedNetworkLeavesLibraryAndRegistry) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const uint32_t handle = addNetwork();
    EXPECT_EQ(Hardware_DeleteNetwork(handle), DRN_OK);
    std::array<NetworkInfo, 32> networks{};
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 32, 1), 0);
    const auto key = RegistryKey::open(RegistryRoot::CurrentUser, kNetworksKey);
    EXPECT_FALSE(key->valueExists("1"));
    EXPECT_EQ(Hardware_DeleteNetwork(handle), DRN_DELETE_FAILED) << "gone already";
    EXPECT_EQ(Hardware_AddNetwork(u"Again", 500, 1), 1) << "the handle is free again";
}

// ---- Kobalapi2: the open network -----------------------------------------------------------------

TEST_F(KobalDriverTest, InitializeRegistersBothClientsAndOpensTheNetwork) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const uint32_t handle = addNetwork();
    const ResultBlock result = initialize(handle, u"Tester", 0x77);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(messageOf(result), u"");
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
    EXPECT_TRUE(engineRunning());
    EXPECT_TRUE(journalHas(kApi2, "CAN_RegisterClient name=\"Tester Receive\" window=0x77 -> 0x0"));
    EXPECT_TRUE(journalHas(kApi2, "CAN_RegisterClient name=\"Tester Transmit\" window=0x77 -> 0x0"));
    EXPECT_TRUE(journalHas(kApi2, "CAN_SetNetParam net=1 param=29 value=1 -> 0x0"));
    EXPECT_TRUE(journalHas(kApi2, "range=0x0..0x7ff std -> 0x0"));
    EXPECT_TRUE(journalHas(kApi2, "param=26 value=event -> 0x0"));
    EXPECT_EQ(simbus::openPortCount(), 1u);
}

TEST_F(KobalDriverTest, FramesReachTheDeviceAndItsAnswersComeBackWithMicrosecondStamps) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    listener.install();
    std::vector<CANFrame> transmitted;
    Event_Transmit([](const CANFrame* frame, void* user) { static_cast<std::vector<CANFrame>*>(user)->push_back(*frame); },
                   &transmitted);
    // The driver keeps the callback past this test; `transmitted` does not live that long.
    const struct ClearTransmitCallback {
        ~ClearTransmitCallback() { Event_Transmit(nullptr, nullptr); }
    } clearTransmitCallback;
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    ostrel::fixtures::SimNodeConfig config;
    config.nodeId = 5;
    config.responseLatencyUs = 1500;
    SimNodeDevice device(config);
    // The answer's stamp on the bus: the device's own clock may have moved past the request's.
    std::atomic<uint64_t> answerOnBusUs{0};
    const simbus::AttachedDevice watcher([&answerOnBusUs](const simbus::Frame& frame, uint64_t timeUs) {
        if (frame.id == 0x585)
            answerOnBusUs.store(timeUs);
    });
    simbus::clearSentFrames();

    const CANFrame request = makeFrame(0x605, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
    ResultBlock result = patternedResult();
    CAN_Transmit(&request, &result);
    ASSERT_EQ(result.code, DRN_OK);

    CANFrame answer{};
    ASSERT_TRUE(listener.waitForFrame(0x585, &answer));
    EXPECT_EQ(answer.length, 8);
    EXPECT_EQ(answer.data[0], 0x43);
    EXPECT_EQ(answer.data[4], 0x91);  // device type 0x000F0191
    EXPECT_EQ(answer.data[6], 0x0F);
    EXPECT_EQ(answer.flags, 0);
    EXPECT_LT(answer.timeUs, 1000u);
    const auto sent = simbus::sentFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].frame.id, 0x605u);
    EXPECT_GE(microsecondsOf(answer) - sent[0].timeUs, 1500u) << "no sooner than the device's answer time";
    for (int i = 0; i < 1000 && answerOnBusUs.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(microsecondsOf(answer), answerOnBusUs.load()) << "the bus stamp, to the microsecond";
    ASSERT_TRUE(listener.waitForFrame(0x605)) << "the library hands our own frames to the receive client";
    ASSERT_EQ(transmitted.size(), 1u);
    EXPECT_EQ(transmitted[0].id, 0x605u);
    EXPECT_EQ(transmitted[0].timeMs, 0u);
}

TEST_F(KobalDriverTest, ExtendedAndRemoteFramesTravelWithTheirFlags) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    std::vector<simbus::Frame> heard;
    std::mutex heardMutex;
    simbus::AttachedDevice device([&](const simbus::Frame& f, uint64_t) {
        std::lock_guard lock(heardMutex);
        heard.push_back(f);
    });
    const CANFrame extended = makeFrame(0x12345, {1}, DRN_FLAG_EXTENDED);
    const CANFrame remote = makeFrame(0x705, {}, DRN_FLAG_REMOTE);
    ResultBlock result{};
    CAN_Transmit(&extended, &result);
    EXPECT_EQ(result.code, DRN_OK);
    CAN_Transmit(&remote, &result);
    EXPECT_EQ(result.code, DRN_OK);
    std::lock_guard lock(heardMutex);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_TRUE(heard[0].extended);
    EXPECT_EQ(heard[0].id, 0x12345u);
    EXPECT_TRUE(heard[1].remote);
}

TEST_F(KobalDriverTest, StatusChangesReachTheMajorErrorCallback) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    listener.install();
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    simbus::setHardwareStatus(kApi2, 1, KOBAL_STATUS_BUS_OFF);
    ASSERT_TRUE(listener.waitForStatus(3));
    simbus::setHardwareStatus(kApi2, 1, KOBAL_STATUS_ERROR_PASSIVE);
    ASSERT_TRUE(listener.waitForStatus(1));
    simbus::setHardwareStatus(kApi2, 1, KOBAL_STATUS_HARDWARE_FAULT);
    ASSERT_TRUE(listener.waitForStatus(static_cast<uint32_t>(-8)));
    simbus::setHardwareStatus(kApi2, 1, 0x4000);  // a word the driver does not know reads as 0
    ASSERT_TRUE(listener.waitForStatus(0));
    const std::vector<uint32_t> expected = {3, 1, static_cast<uint32_t>(-8), 0};
    EXPECT_EQ(listener.statuses(), expected);
}

TEST_F(KobalDriverTest, BusOffMakesTransmitFailWithTransmitErrorUntilReset) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    simbus::setHardwareStatus(kApi2, 1, KOBAL_STATUS_BUS_OFF);
    const CANFrame frame = makeFrame(0x100, {1});
    ResultBlock slot = patternedResult();
    ops().Transmit(frame.id, frame.length, frame.data, 0, 0, 0, &slot);
    EXPECT_EQ(slot.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(messageOf(slot), u"Transmit error");
    ResultBlock result = patternedResult();
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Transmit error");

    Hardware_Reset();
    EXPECT_TRUE(journalHas(kApi2, "CAN_ResetHardware hw=1 -> 0x0"));
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_OK);
}

TEST_F(KobalDriverTest, ProvokedWriteFailureGivesTransmitError) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    simbus::addFault({kApi2, "CAN_Write", 0x77, 1, 0, std::nullopt});
    const CANFrame frame = makeFrame(0x100, {1});
    ResultBlock slot = patternedResult();
    ops().Transmit(frame.id, frame.length, frame.data, 0, 0, 0, &slot);
    EXPECT_EQ(slot.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(messageOf(slot), u"Transmit error");
}

TEST_F(KobalDriverTest, TransmitOfNineBytesIsRefusedWithoutTouchingTheLibrary) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    simbus::clearJournal();
    const uint8_t data[9] = {};
    ResultBlock slot = patternedResult();
    ops().Transmit(0x100, 9, data, 0, 0, 0, &slot);
    EXPECT_EQ(slot.code, DRN_BAD_PARAMETERS);
    EXPECT_EQ(journalCount(kApi2, "CAN_Write"), 0u);
}

TEST_F(KobalDriverTest, SelfReceiveCannotBeSwitchedOff) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ResultBlock result = patternedResult();
    Hardware_SelfReceive(0, &result);
    EXPECT_EQ(result.code, DRN_REFUSED);
    Hardware_SelfReceive(1, &result);
    EXPECT_EQ(result.code, DRN_OK);
}

TEST_F(KobalDriverTest, ErrorFramesArriveOnlyAfterTheyWereSwitchedOn) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    listener.install();
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    simbus::Frame error;
    error.id = 0x2A;
    error.error = true;
    (void)device.inject(error);
    simbus::Frame marker;
    marker.id = 0x1;
    (void)device.inject(marker);
    ASSERT_TRUE(listener.waitForFrame(0x1));
    EXPECT_EQ(listener.frames().size(), 1u) << "no error frame before they are switched on";

    EXPECT_EQ(Hardware_ErrorFrames(1), DRN_OK);
    (void)device.inject(error);
    CANFrame got{};
    ASSERT_TRUE(listener.waitForFrame(0x2A, &got));
    EXPECT_EQ(got.flags, DRN_FLAG_ERROR);
}

TEST_F(KobalDriverTest, OneShotMarksEveryTransmissionWhileOn) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    const CANFrame frame = makeFrame(0x100, {1});
    ResultBlock result{};
    Hardware_OneShot(1);
    CAN_Transmit(&frame, &result);
    Hardware_OneShot(2);  // ignored
    CAN_Transmit(&frame, &result);
    Hardware_OneShot(0);
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(journalCount(kApi2, "id=0x100 type=0x8 len=1 -> 0x0"), 2u);
    EXPECT_EQ(journalCount(kApi2, "id=0x100 type=0x0 len=1 -> 0x0"), 1u);
}

TEST_F(KobalDriverTest, CurrentTimeIsTheLibrarysClock) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const uint64_t before = simbus::nowUs();
    CANTimeStamp time{};
    Hardware_GetCurrentTime(&time);
    const uint64_t after = simbus::nowUs();
    const uint64_t us = ((static_cast<uint64_t>(time.timeMsOverflow) << 32) | time.timeMs) * 1000 + time.timeUs;
    EXPECT_GE(us, before);
    EXPECT_LE(us, after);
    simbus::addFault({kApi2, "CAN_GetSystemTime", 1, 1, 0, std::nullopt});
    Hardware_GetCurrentTime(&time);
    EXPECT_EQ(time.timeMs, 0u);
    EXPECT_EQ(time.timeUs, 0u);
}

TEST_F(KobalDriverTest, DisconnectedNetworkCarriesNothingUntilSwitchedToAnother) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    listener.install();
    const uint32_t first = addNetwork(u"First");
    const uint32_t second = addNetwork(u"Second", 250);
    ASSERT_EQ(initialize(first).code, DRN_OK);

    ResultBlock result = patternedResult();
    Hardware_SwitchNetworks(0, 99, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(simbus::openPortCount(), 0u) << "both clients left the network";
    const CANFrame frame = makeFrame(0x100, {1});
    ResultBlock slot{};
    ops().Transmit(frame.id, frame.length, frame.data, 0, 0, 0, &slot);
    EXPECT_EQ(slot.code, DRN_NOT_INITIALIZED);

    result = patternedResult();
    Hardware_SwitchNetworks(1, second, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
    EXPECT_TRUE(journalHas(kApi2, "name=\"Second\" -> 0x0 net=" + std::to_string(second)));
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    simbus::Frame hello;
    hello.id = 0x181;
    (void)device.inject(hello);
    EXPECT_TRUE(listener.waitForFrame(0x181));

    result = patternedResult();
    Hardware_SwitchNetworks(5, second, &result);
    EXPECT_EQ(result.code, DRN_OK) << "other values do nothing";
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
}

TEST_F(KobalDriverTest, CloseStopsTheEngineAndLeavesNoClientBehind) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(journalCount(kApi2, "CAN_RemoveClient client="), 2u);
    EXPECT_EQ(initialize(1).code, DRN_OK) << "the network opens again";
}

// Close completes a running request with -7 while the driver holds its own lock and waits for the
// engine thread. A completion that calls back into the driver's lifecycle must fail, not hang.
TEST_F(KobalDriverTest, CompletionAtCloseThatCallsTheLifecycleExportsFailsInsteadOfHanging) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const uint32_t network = addNetwork();
    ASSERT_EQ(initialize(network).code, DRN_OK);
    CANopen_SetSDOTimeout(30'000);  // no device answers: the upload runs until Close ends it

    struct Seen {
        std::mutex lock;
        std::condition_variable done;
        bool completed = false;
        int32_t code = 0;
        int32_t nestedInitialize = 0;
        int32_t nestedSwitch = 0;
        uint32_t network = 0;
    } seen;
    seen.network = network;
    const CompletionCallback onDone = [](ResultBlock* result, void* user) {
        auto& s = *static_cast<Seen*>(user);
        ResultBlock nested{};
        Hardware_Initialize(s.network, u"again", 0, 0, &nested);
        ResultBlock nestedSwitch{};
        Hardware_SwitchNetworks(1, s.network, &nestedSwitch);
        Hardware_Close();
        CANopenDLL_Shutdown();
        std::lock_guard lock(s.lock);
        s.code = result->code;
        s.nestedInitialize = nested.code;
        s.nestedSwitch = nestedSwitch.code;
        s.completed = true;
        s.done.notify_all();
    };
    uint8_t buffer[8] = {};
    uint32_t size = sizeof buffer;
    int32_t out = -99;
    CANopen_SDOUpload(5, 0x1000, 0, buffer, &size, nullptr, onDone, &seen, &out);
    ASSERT_EQ(out, DRN_OK);

    Hardware_Close();

    std::unique_lock lock(seen.lock);
    ASSERT_TRUE(seen.done.wait_for(lock, std::chrono::seconds(5), [&] { return seen.completed; }));
    EXPECT_EQ(seen.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(seen.nestedInitialize, DRN_NOT_INITIALIZED);
    EXPECT_EQ(seen.nestedSwitch, DRN_NOT_INITIALIZED);
    lock.unlock();
    EXPECT_FALSE(engineRunning());
    EXPECT_TRUE(libraryStatus().driverPresent) << "the callback's shutdown was not carried out";
    EXPECT_EQ(initialize(network).code, DRN_OK) << "the network opens again";
}

TEST_F(KobalDriverTest, CloseAfterDisconnectStillStopsTheEngine) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    ResultBlock result{};
    Hardware_SwitchNetworks(0, 1, &result);
    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(journalCount(kApi2, "CAN_RemoveClient client="), 2u);
}

TEST_F(KobalDriverTest, InitializeAgainReleasesTheClientsOfTheFirst) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const uint32_t handle = addNetwork();
    ASSERT_EQ(initialize(handle).code, DRN_OK);
    ASSERT_EQ(initialize(handle).code, DRN_OK);
    EXPECT_EQ(journalCount(kApi2, "CAN_RemoveClient client="), 2u);
    EXPECT_TRUE(engineRunning());
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
}

TEST_F(KobalDriverTest, ShutdownWithoutCloseStopsTheEngineAndUnloadsTheLibrary) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    ASSERT_EQ(initialize(addNetwork()).code, DRN_OK);
    const std::string path = libraryStatus().modulePath;
    ASSERT_TRUE(isLoaded(path));
    CANopenDLL_Shutdown();
    EXPECT_FALSE(engineRunning());
    EXPECT_FALSE(isLoaded(path));
}

// Each step of opening a network can fail; each failure has its message and code -7.
struct InitFailure {
    const char* name;
    simbus::Fault fault;
    std::u16string message;
    bool clientsRemoved;  // before Close
};

class KobalInitializeFailure : public KobalDriverTest, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(KobalInitializeFailure, ReportsItsMessageAndLeavesTheNetworkClosed) {
    const InitFailure& c = GetParam();
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const uint32_t handle = addNetwork();
    simbus::addFault(c.fault);
    const ResultBlock result = initialize(handle);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), c.message);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_FALSE(engineRunning());
    if (c.clientsRemoved) {
        EXPECT_GE(journalCount(kApi2, "CAN_RemoveClient client="), 1u);
    }
    Hardware_Close();
    EXPECT_EQ(simbus::openPortCount(), 0u) << "Close releases whatever was left";
    simbus::clearFaults();
    EXPECT_EQ(initialize(handle).code, DRN_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, KobalInitializeFailure,
    ::testing::Values(
        InitFailure{"HardwareHandle",
                    {kApi2, "CAN_GetNetParam", 5, -1, 0, KOBAL_NET_HARDWARE},
                    u"Failed to find hardware handle for network. Please restart the application",
                    false},
        InitFailure{"ReceiveClient",
                    {kApi2, "CAN_RegisterClient", 8, 1, 0, std::nullopt},
                    u"Failed to register receive client. Please restart the application",
                    false},
        InitFailure{"TransmitClient",
                    {kApi2, "CAN_RegisterClient", 8, 1, 1, std::nullopt},
                    u"Failed to register transmit client. Please restart the application",
                    true},
        InitFailure{"ConnectReceive",
                    {kApi2, "CAN_ConnectToNet", static_cast<int32_t>(0xA0000004), 1, 0, std::nullopt},
                    u"Failed to connect to the network (init - rx) (hrxclient=1, netname=Plant, ret=0xA0000004, "
                    u"retwanted=0x00000000). Please restart the application",
                    true},
        InitFailure{"ConnectTransmit",
                    {kApi2, "CAN_ConnectToNet", 4, 1, 1, std::nullopt},
                    u"Failed to connect to the network (init - tx). Please restart the application",
                    true},
        InitFailure{"DelayedDistribution",
                    {kApi2, "CAN_SetNetParam", 3, 1, 0, KOBAL_NET_DELAYED_DISTRIBUTION},
                    u"Failed to enable delayed message distribution. Please restart the application",
                    false},
        InitFailure{"RegisterMessages",
                    {kApi2, "CAN_RegisterMsg", 3, 1, 0, std::nullopt},
                    u"Failed to register messages. Please restart the application",
                    true},
        InitFailure{"ReceiveEvent",
                    {kApi2, "CAN_SetClientParam", 3, 1, 0, KOBAL_CLIENT_RX_EVENT},
                    u"Failed to set receive event. Please restart the application",
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KobalDriverTest, InitializeOnAMissingNetworkFails) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const ResultBlock result = initialize(17);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to find network. Please restart the application");
    EXPECT_EQ(journalCount(kApi2, "CAN_RegisterClient"), 0u);
}

TEST_F(KobalDriverTest, SwitchFailuresReportTheirMessages) {
    CANopenDLL_Startup(0, u"kobalapi2.dll");
    const uint32_t handle = addNetwork();
    ASSERT_EQ(initialize(handle).code, DRN_OK);
    ResultBlock result{};
    Hardware_SwitchNetworks(0, handle, &result);

    result = patternedResult();
    Hardware_SwitchNetworks(1, 30, &result);  // a network that vanished
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to find network. Please restart the application");

    simbus::addFault({kApi2, "CAN_ConnectToNet", 4, 1, 0, std::nullopt});
    Hardware_SwitchNetworks(1, handle, &result);
    EXPECT_EQ(messageOf(result), u"Failed to connect to the network (switch networks - rx). Please restart the application");
    simbus::addFault({kApi2, "CAN_ConnectToNet", 4, 1, 1, std::nullopt});
    Hardware_SwitchNetworks(1, handle, &result);
    EXPECT_EQ(messageOf(result), u"Failed to connect to the network (switch networks - tx). Please restart the application");
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);

    Hardware_SwitchNetworks(1, handle, &result);
    EXPECT_EQ(result.code, DRN_OK) << "the clients were kept for another try";
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
}

// ---- KobalPlsapi2 ---------------------------------------------------------------------------------

TEST_F(KobalDriverTest, PlsStartupSelectsTheDriverAndLoadsItsLibrary) {
    CANopenDLL_Startup(0, u"KobalPlsApi2.dll");
    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.selected, DriverKind::KobalPlsapi2);
    EXPECT_TRUE(status.driverPresent);
    EXPECT_NE(status.modulePath.find("libkobalplsapi2.so"), std::string::npos);
}

TEST_F(KobalDriverTest, PlsHardwareListHoldsTheOneInterfaceAndRegistersTheStandardNetworks) {
    simbus::setHardware(kPls, {{1, "PLS \u00dcnit", 0}, {2, "Ignored", 0}});
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    std::array<NetworkInfo, 32> networks{};
    EXPECT_EQ(Hardware_EnumerateNetworks(networks.data(), 32, 1), 0) << "nothing before the hardware was listed";
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 1);
    EXPECT_EQ(ostrel::platform::fieldView(hardware[0].name, 32), u"PLS \u00dcnit");
    EXPECT_EQ(hardware[0].hardwareHandle, 1u);

    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 32, 1), 8);
    const std::array<std::pair<std::u16string_view, uint32_t>, 8> expected = {{{u"CANopen_10", 10},
                                                                                {u"CANopen_20", 20},
                                                                                {u"CANopen_50", 50},
                                                                                {u"CANopen_125", 125},
                                                                                {u"CANopen_250", 250},
                                                                                {u"CANopen_500", 500},
                                                                                {u"CANopen_800", 800},
                                                                                {u"CANopen_1000", 1000}}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(ostrel::platform::fieldView(networks[i].name, 40), expected[i].first);
        EXPECT_EQ(networks[i].networkHandle, i + 1);
        EXPECT_EQ(networks[i].baudKbit, expected[i].second);
    }
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 1) << "listing again registers nothing twice";
    EXPECT_EQ(Hardware_GetBaudrate(4), 125);
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 0), 0);
}

TEST_F(KobalDriverTest, PlsWithoutHardwareOneListsNothingAndRegistersNothing) {
    simbus::setHardware(kPls, {{2, "Two", 0}});
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    std::array<HardwareInfo, 8> hardware{};
    EXPECT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 0);
    EXPECT_EQ(journalCount(kPls, "CAN_RegisterNet"), 0u);
}

TEST_F(KobalDriverTest, PlsRateOutsideTheStandardOnesReadsAsZero) {
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    auto lib = KobalLibrary::load("KOBALPLSAPI2.DLL");
    ASSERT_EQ(lib->registerNet(9, "Odd", 1, 100), KOBAL_OK);
    EXPECT_EQ(Hardware_GetBaudrate(9), 0);
    std::array<NetworkInfo, 32> networks{};
    ASSERT_EQ(Hardware_EnumerateNetworks(networks.data(), 32, 1), 1);
    EXPECT_EQ(networks[0].baudKbit, 0u);
}

TEST_F(KobalDriverTest, PlsNetworkAndFrameSettingsChangeNothing) {
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 1);
    EXPECT_EQ(Hardware_AddNetwork(u"Mine", 500, 1), 0);
    EXPECT_EQ(Hardware_DeleteNetwork(6), DRN_DELETE_FAILED);
    EXPECT_EQ(Hardware_GetBaudrate(6), 500) << "still there";
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::CurrentUser, kNetworksKey));
    ResultBlock result = patternedResult();
    Hardware_SelfReceive(0, &result);
    EXPECT_EQ(result.code, DRN_OK);

    ASSERT_EQ(initialize(6).code, DRN_OK);
    EXPECT_EQ(Hardware_ErrorFrames(1), DRN_OK);
    Hardware_OneShot(1);
    const CANFrame frame = makeFrame(0x100, {1});
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(journalCount(kPls, "param=53"), 0u);
    EXPECT_EQ(journalCount(kPls, "id=0x100 type=0x0 len=1 -> 0x0"), 1u) << "never the one-shot bit";
    EXPECT_EQ(journalCount(kPls, "param=29"), 0u) << "no delayed distribution";
}

TEST_F(KobalDriverTest, PlsFramesReachTheDeviceAndAnswersComeBackWithMicrosecondStamps) {
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    listener.install();
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 1);
    const ResultBlock opened = initialize(6, u"Pls");
    ASSERT_EQ(opened.code, DRN_OK) << ostrel::platform::toUtf8(messageOf(opened));
    EXPECT_TRUE(journalHas(kPls, "name=\"CANopen_500\" -> 0x0"));
    ostrel::fixtures::SimNodeConfig config;
    config.nodeId = 7;
    config.responseLatencyUs = 2345;
    SimNodeDevice device(config);
    // The device answers 2345 µs after it saw the request, which a busy machine may hand it late.
    std::atomic<uint64_t> answerOnBusUs{0};
    const simbus::AttachedDevice watcher([&answerOnBusUs](const simbus::Frame& frame, uint64_t timeUs) {
        if (frame.id == 0x587)
            answerOnBusUs.store(timeUs);
    });
    simbus::clearSentFrames();
    const CANFrame request = makeFrame(0x607, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
    ResultBlock result{};
    CAN_Transmit(&request, &result);
    ASSERT_EQ(result.code, DRN_OK);
    CANFrame answer{};
    ASSERT_TRUE(listener.waitForFrame(0x587, &answer));
    EXPECT_EQ(answer.data[0], 0x43);
    EXPECT_GE(microsecondsOf(answer) - simbus::sentFrames().at(0).timeUs, 2345u);
    for (int i = 0; i < 1000 && answerOnBusUs.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(microsecondsOf(answer), answerOnBusUs.load()) << "the bus stamp, to the microsecond";
}

TEST_F(KobalDriverTest, PlsStatusChangesReachTheMajorErrorCallback) {
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    listener.install();
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 1);
    ResultBlock slot = patternedResult();
    uint32_t status = 99;
    ops().Status(&status, &slot);
    EXPECT_EQ(slot.code, DRN_NOT_INITIALIZED) << "no network yet";
    ASSERT_EQ(initialize(5).code, DRN_OK);
    simbus::setHardwareStatus(kPls, 1, KOBAL_STATUS_BUS_OFF);
    EXPECT_TRUE(listener.waitForStatus(3));
    simbus::setHardwareStatus(kPls, 1, 0);
    EXPECT_TRUE(listener.waitForStatus(0));
}

TEST_F(KobalDriverTest, PlsInitializeFailuresCarryTheLibrarysResultInDecimal) {
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 1);

    simbus::addFault({kPls, "CAN_GetNetParam", 102, 1, 0, KOBAL_NET_HARDWARE});
    ResultBlock result = initialize(6);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result),
              u"Failed to find hardware handle for network (result = 102). Please restart the application");

    simbus::addFault({kPls, "CAN_ConnectToNet", 4, 1, 0, std::nullopt});
    result = initialize(6);
    EXPECT_EQ(result.code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(messageOf(result), u"Failed to connect to the network (init - rx) (hrxclient=1, netname=CANopen_500, "
                                 u"ret=4). Please restart the application");

    result = initialize(6);
    ASSERT_EQ(result.code, DRN_OK);
    ResultBlock switched{};
    Hardware_SwitchNetworks(0, 6, &switched);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    simbus::addFault({kPls, "CAN_ConnectToNet", 4, 1, 0, std::nullopt});
    Hardware_SwitchNetworks(1, 7, &switched);
    EXPECT_EQ(messageOf(switched), u"Failed to connect to the network (switch network - rx). Please restart the application");
    simbus::addFault({kPls, "CAN_ConnectToNet", 4, 1, 1, std::nullopt});
    Hardware_SwitchNetworks(1, 7, &switched);
    EXPECT_EQ(messageOf(switched), u"Failed to connect to the network (switch network - tx). Please restart the application");
    Hardware_SwitchNetworks(1, 7, &switched);
    EXPECT_EQ(switched.code, DRN_OK);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 1);
}

TEST_F(KobalDriverTest, PlsCloseAndShutdownReleaseEverything) {
    CANopenDLL_Startup(0, u"kobalplsapi2.dll");
    std::array<HardwareInfo, 8> hardware{};
    ASSERT_EQ(Hardware_EnumerateHardware(hardware.data(), 8), 1);
    ASSERT_EQ(initialize(8).code, DRN_OK);
    Hardware_Close();
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    const std::string path = libraryStatus().modulePath;
    CANopenDLL_Shutdown();
    EXPECT_FALSE(isLoaded(path));
    CANTimeStamp time{};
    time.timeMs = 5;
    Hardware_GetCurrentTime(&time);
    EXPECT_EQ(time.timeMs, 0u);
}

} // namespace
} // namespace drennic::test
