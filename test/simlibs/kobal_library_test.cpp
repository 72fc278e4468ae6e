// The simulated Kobal libraries as a program sees them: loaded by name, over the simulated bus.
#include "kobal_library.h"
#include "sim_node_device.h"

#include <simbus/simbus_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <thread>

namespace ostrel::simlibs::test {
namespace {

struct Flavour {
    const char* dll;
    const char* library;  // the bus's name for it
    bool wide;            // names as UTF-16
};

void PrintTo(const Flavour& flavour, std::ostream* out) { *out << flavour.dll; }

const Flavour kKobalapi2{"KOBALAPI2.DLL", "kobalapi2", false};
const Flavour kKobalPlsapi2{"KOBALPLSAPI2.DLL", "kobalplsapi2", true};

std::string printFlavour(const ::testing::TestParamInfo<Flavour>& info) {
    return info.param.wide ? "KobalPlsapi2" : "Kobalapi2";
}

simbus::Frame busFrame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    simbus::Frame frame;
    frame.id = id;
    for (uint8_t b : bytes) {
        frame.data[frame.length++] = b;
    }
    return frame;
}

KobalMessage message(uint32_t id, std::initializer_list<uint8_t> bytes, uint8_t type = 0) {
    KobalMessage m{};
    m.id = id;
    m.type = type;
    for (uint8_t b : bytes) {
        m.data[m.length++] = b;
    }
    return m;
}

// Reads the next message of a client, waiting at most `timeoutMs` for one to arrive.
bool readWithin(const KobalLibrary& lib, uint8_t client, KobalMessage& m, KobalTimeStamp& t, uint8_t& net,
                int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (lib.read(client, &m, &net, &t) == KOBAL_OK) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class KobalLibraryTest : public ::testing::TestWithParam<Flavour> {
protected:
    void SetUp() override {
        simbus::reset();
        lib = KobalLibrary::load(GetParam().dll);
    }
    void TearDown() override {
        simbus::reset();
        lib.reset();
    }

    [[nodiscard]] std::string library() const { return GetParam().library; }

    // Network 1 "Net1" on hardware 1, and a client connected to it receiving all standard identifiers.
    uint8_t connectedClient(const char* name, uint32_t network = 1) {
        uint8_t client = 0;
        EXPECT_EQ(lib->registerClient(name, 0, &client), KOBAL_OK);
        uint8_t net = 0;
        const std::u16string netName = u"Net" + std::u16string(1, static_cast<char16_t>(u'0' + network));
        EXPECT_EQ(lib->connect(client, netName, &net), KOBAL_OK);
        EXPECT_EQ(net, network);
        const KobalMsgBound low{0, 0};
        const KobalMsgBound high{0x7FF, 0};
        EXPECT_EQ(lib->registerMsg(client, net, &low, &high), KOBAL_OK);
        return client;
    }
    void addNet1() { ASSERT_EQ(lib->registerNet(1, "Net1", 1, 0x001C), KOBAL_OK); }

    std::unique_ptr<KobalLibrary> lib;
};

// ---- hardware and networks -----------------------------------------------------------------------

TEST_P(KobalLibraryTest, HardwareNameComesInTheLibrarysTextAndIsCutToTheBuffer) {
    simbus::setHardware(library(), {{1, "Interface One", 0}, {3, "Third", 0}});
    if (GetParam().wide) {
        char16_t name[32] = {};
        ASSERT_EQ(lib->getHwParam(1, KOBAL_HW_NAME, name, 32), KOBAL_OK);
        EXPECT_EQ(std::u16string(name), u"Interface One");
        ASSERT_EQ(lib->getHwParam(1, KOBAL_HW_NAME, name, 6), KOBAL_OK);
        EXPECT_EQ(std::u16string(name), u"Inter");
    } else {
        char name[32] = {};
        ASSERT_EQ(lib->getHwParam(1, KOBAL_HW_NAME, name, 32), KOBAL_OK);
        EXPECT_STREQ(name, "Interface One");
        ASSERT_EQ(lib->getHwParam(1, KOBAL_HW_NAME, name, 6), KOBAL_OK);
        EXPECT_STREQ(name, "Inter");
    }
    char buffer[64];
    EXPECT_EQ(lib->getHwParam(2, KOBAL_HW_NAME, buffer, 32), KOBAL_ERR_NO_HARDWARE);
    EXPECT_EQ(lib->getHwParam(3, KOBAL_HW_NAME, buffer, 32), KOBAL_OK);
    EXPECT_EQ(lib->getHwParam(1, 99, buffer, 32), KOBAL_ERR_PARAMETER);
}

TEST_P(KobalLibraryTest, RegisteredNetworkAnswersItsParameters) {
    ASSERT_EQ(lib->registerNet(4, "Line Four", 1, 0x011C), KOBAL_OK);
    uint32_t value = 0;
    ASSERT_EQ(lib->getNetParam(4, KOBAL_NET_HARDWARE, &value, 4), KOBAL_OK);
    EXPECT_EQ(value, 1u);
    ASSERT_EQ(lib->getNetParam(4, KOBAL_NET_BIT_RATE, &value, 4), KOBAL_OK);
    EXPECT_EQ(value, 0x011Cu);
    if (GetParam().wide) {
        char16_t name[40] = {};
        ASSERT_EQ(lib->getNetParam(4, KOBAL_NET_NAME, name, 40), KOBAL_OK);
        EXPECT_EQ(std::u16string(name), u"Line Four");
    } else {
        char name[40] = {};
        ASSERT_EQ(lib->getNetParam(4, KOBAL_NET_NAME, name, 40), KOBAL_OK);
        EXPECT_STREQ(name, "Line Four");
    }
    EXPECT_EQ(lib->getNetParam(4, KOBAL_NET_HARDWARE, &value, 2), KOBAL_ERR_PARAMETER) << "buffer too short";
    EXPECT_EQ(lib->getNetParam(5, KOBAL_NET_HARDWARE, &value, 4), KOBAL_ERR_NO_NETWORK);
    EXPECT_EQ(lib->setNetParam(4, KOBAL_NET_DELAYED_DISTRIBUTION, 1), KOBAL_OK);
    ASSERT_EQ(lib->getNetParam(4, KOBAL_NET_DELAYED_DISTRIBUTION, &value, 4), KOBAL_OK);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(lib->setNetParam(4, 12345, 1), KOBAL_ERR_PARAMETER);
}

TEST_P(KobalLibraryTest, RegisteringANetworkChecksHandleNameAndHardware) {
    EXPECT_EQ(lib->registerNet(0, "Zero", 1, 0x1C), KOBAL_ERR_HANDLE);
    EXPECT_EQ(lib->registerNet(33, "Big", 1, 0x1C), KOBAL_ERR_HANDLE);
    EXPECT_EQ(lib->registerNet(1, "", 1, 0x1C), KOBAL_ERR_NAME);
    EXPECT_EQ(lib->registerNet(1, nullptr, 1, 0x1C), KOBAL_ERR_NAME);
    EXPECT_EQ(lib->registerNet(1, "abcdefghijklmnopqrst", 1, 0x1C), KOBAL_ERR_NAME) << "20 bytes";
    EXPECT_EQ(lib->registerNet(1, "abcdefghijklmnopqrs", 1, 0x1C), KOBAL_OK) << "19 bytes";
    EXPECT_EQ(lib->registerNet(1, "Other", 1, 0x1C), KOBAL_ERR_EXISTS) << "handle taken";
    EXPECT_EQ(lib->registerNet(2, "abcdefghijklmnopqrs", 1, 0x1C), KOBAL_ERR_EXISTS) << "name taken";
    EXPECT_EQ(lib->registerNet(2, "Nowhere", 9, 0x1C), KOBAL_ERR_NO_HARDWARE);
    EXPECT_EQ(lib->registerNet(2, "Internal bus", 0, 0x1C), KOBAL_OK) << "hardware 0 is always there";
    EXPECT_EQ(lib->removeNet(2), KOBAL_OK);
    EXPECT_EQ(lib->removeNet(2), KOBAL_ERR_NO_NETWORK);
}

TEST_P(KobalLibraryTest, NetworkWithConnectedClientCannotBeRemoved) {
    addNet1();
    const uint8_t client = connectedClient("User");
    EXPECT_EQ(lib->removeNet(1), KOBAL_ERR_IN_USE);
    EXPECT_EQ(lib->disconnectFromNet(client, 1), KOBAL_OK);
    EXPECT_EQ(lib->disconnectFromNet(client, 1), KOBAL_ERR_NOT_CONNECTED);
    EXPECT_EQ(lib->removeNet(1), KOBAL_OK);
}

// ---- clients and messages ------------------------------------------------------------------------

TEST_P(KobalLibraryTest, ConnectingNeedsAKnownClientAndNetworkName) {
    addNet1();
    uint8_t client = 0;
    ASSERT_EQ(lib->registerClient("App Receive", 0x1234, &client), KOBAL_OK);
    EXPECT_NE(client, 0);
    uint8_t net = 0;
    EXPECT_EQ(lib->connect(client, u"NoSuchNet", &net), KOBAL_ERR_NO_NETWORK);
    EXPECT_EQ(lib->connect(77, u"Net1", &net), KOBAL_ERR_HANDLE);
    EXPECT_EQ(lib->connect(client, u"Net1", &net), KOBAL_OK);
    EXPECT_EQ(net, 1);
    EXPECT_EQ(lib->connect(client, u"Net1", &net), KOBAL_OK) << "connecting again is no error";

    const auto lines = simbus::journal(library());
    const std::string registration =
        "CAN_RegisterClient name=\"App Receive\" window=0x1234 -> 0x0 client=" + std::to_string(client);
    EXPECT_NE(std::find(lines.begin(), lines.end(), registration), lines.end());
}

TEST_P(KobalLibraryTest, WrittenMessageReachesOtherClientsAndTheWireButNotTheWriter) {
    addNet1();
    simbus::clearSentFrames();
    const uint8_t receiver = connectedClient("App Receive");
    const uint8_t transmitter = connectedClient("App Transmit");
    std::vector<simbus::Frame> deviceHeard;
    simbus::AttachedDevice device([&](const simbus::Frame& f, uint64_t) { deviceHeard.push_back(f); });

    const KobalMessage out = message(0x605, {0x40, 0x00, 0x10, 0x00});
    const KobalTimeStamp zero{};
    ASSERT_EQ(lib->write(transmitter, 1, &out, &zero), KOBAL_OK);

    ASSERT_EQ(deviceHeard.size(), 1u);
    EXPECT_EQ(deviceHeard[0], busFrame(0x605, {0x40, 0x00, 0x10, 0x00}));
    const auto sent = simbus::sentFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].library, library());

    KobalMessage in{};
    KobalTimeStamp stamp{};
    uint8_t net = 0;
    ASSERT_EQ(lib->read(receiver, &in, &net, &stamp), KOBAL_OK);
    EXPECT_EQ(in.id, 0x605u);
    EXPECT_EQ(in.length, 4);
    EXPECT_EQ(net, 1);
    EXPECT_EQ(lib->read(receiver, &in, &net, &stamp), KOBAL_ERR_QUEUE_EMPTY);
    EXPECT_EQ(lib->read(transmitter, &in, &net, &stamp), KOBAL_ERR_QUEUE_EMPTY);
}

TEST_P(KobalLibraryTest, DeviceFrameArrivesWithItsMillisecondAndMicrosecondStamp) {
    addNet1();
    const uint8_t receiver = connectedClient("App Receive");
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    const uint64_t at = (uint64_t{5} << 32) * 1000 + 1234567;  // beyond 32 bits of milliseconds
    (void)device.inject(busFrame(0x181, {1, 2, 3}), at);

    KobalMessage in{};
    KobalTimeStamp stamp{};
    uint8_t net = 0;
    ASSERT_EQ(lib->read(receiver, &in, &net, &stamp), KOBAL_OK);
    EXPECT_EQ(stamp.ms, 1234u);
    EXPECT_EQ(stamp.msOverflow, 5u);
    EXPECT_EQ(stamp.us, 567u);
    EXPECT_EQ(microsecondsOf(stamp), at);
    EXPECT_EQ(in.type, 0);
    EXPECT_EQ(in.data[2], 3);
}

TEST_P(KobalLibraryTest, ClientReceivesOnlyTheIdentifierRangesItRegistered) {
    addNet1();
    uint8_t client = 0;
    ASSERT_EQ(lib->registerClient("Picky", 0, &client), KOBAL_OK);
    uint8_t net = 0;
    ASSERT_EQ(lib->connect(client, u"Net1", &net), KOBAL_OK);
    const KobalMsgBound low{0x100, 0};
    const KobalMsgBound high{0x1FF, 0};
    ASSERT_EQ(lib->registerMsg(client, net, &low, &high), KOBAL_OK);
    const KobalMsgBound extLow{0x10000, KOBAL_MSG_EXTENDED};
    const KobalMsgBound extHigh{0x1FFFF, KOBAL_MSG_EXTENDED};
    ASSERT_EQ(lib->registerMsg(client, net, &extLow, &extHigh), KOBAL_OK);
    EXPECT_EQ(lib->registerMsg(client, net, &low, &extHigh), KOBAL_ERR_PARAMETER) << "mixed types";
    const KobalMsgBound tooHigh{0x800, 0};
    EXPECT_EQ(lib->registerMsg(client, net, &low, &tooHigh), KOBAL_ERR_PARAMETER);

    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    simbus::Frame extended = busFrame(0x10005, {});
    extended.extended = true;
    simbus::Frame extendedOutside = busFrame(0x150, {});
    extendedOutside.extended = true;
    for (const simbus::Frame& f : {busFrame(0x0FF, {}), busFrame(0x100, {}), busFrame(0x1FF, {}), busFrame(0x200, {}),
                                   extended, extendedOutside}) {
        (void)device.inject(f);
    }
    std::vector<std::pair<uint32_t, uint8_t>> got;
    KobalMessage in{};
    KobalTimeStamp stamp{};
    while (lib->read(client, &in, &net, &stamp) == KOBAL_OK) {
        got.emplace_back(in.id, in.type);
    }
    const std::vector<std::pair<uint32_t, uint8_t>> expected = {
        {0x100, 0}, {0x1FF, 0}, {0x10005, KOBAL_MSG_EXTENDED}};
    EXPECT_EQ(got, expected);
}

TEST_P(KobalLibraryTest, ErrorFramesReachOnlyClientsThatAskedForThem) {
    addNet1();
    const uint8_t client = connectedClient("Errors");
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    simbus::Frame error = busFrame(0x001, {0x10});
    error.error = true;
    (void)device.inject(error);
    KobalMessage in{};
    KobalTimeStamp stamp{};
    uint8_t net = 0;
    EXPECT_EQ(lib->read(client, &in, &net, &stamp), KOBAL_ERR_QUEUE_EMPTY);

    ASSERT_EQ(lib->setClientParam(client, KOBAL_CLIENT_ERROR_FRAMES, 1), KOBAL_OK);
    (void)device.inject(error);
    ASSERT_EQ(lib->read(client, &in, &net, &stamp), KOBAL_OK);
    EXPECT_EQ(in.type, KOBAL_MSG_ERROR);
    EXPECT_EQ(lib->setClientParam(client, KOBAL_CLIENT_ERROR_FRAMES, 2), KOBAL_ERR_PARAMETER);
}

TEST_P(KobalLibraryTest, ReceiveEventIsSignalledPerDeliveryUntilCleared) {
    addNet1();
    const uint8_t client = connectedClient("Evented");
    std::atomic<int> signals{0};
    KobalEvent event{[](void* context) { ++*static_cast<std::atomic<int>*>(context); }, &signals};
    ASSERT_EQ(lib->setClientParam(client, KOBAL_CLIENT_RX_EVENT, reinterpret_cast<uintptr_t>(&event)), KOBAL_OK);
    event.signal = nullptr;  // the library keeps its own copy
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    (void)device.inject(busFrame(0x181, {}));
    (void)device.inject(busFrame(0x182, {}));
    EXPECT_EQ(signals.load(), 2);

    ASSERT_EQ(lib->setClientParam(client, KOBAL_CLIENT_RX_EVENT, 0), KOBAL_OK);
    (void)device.inject(busFrame(0x183, {}));
    EXPECT_EQ(signals.load(), 2);
    KobalEvent empty{nullptr, nullptr};
    EXPECT_EQ(lib->setClientParam(client, KOBAL_CLIENT_RX_EVENT, reinterpret_cast<uintptr_t>(&empty)),
              KOBAL_ERR_PARAMETER);
}

TEST_P(KobalLibraryTest, WriteRefusesBadMessagesAndUnconnectedClients) {
    addNet1();
    const uint8_t client = connectedClient("Writer");
    const KobalTimeStamp zero{};
    KobalMessage m = message(0x100, {});
    m.length = 9;
    EXPECT_EQ(lib->write(client, 1, &m, &zero), KOBAL_ERR_PARAMETER);
    m = message(0x800, {});
    EXPECT_EQ(lib->write(client, 1, &m, &zero), KOBAL_ERR_PARAMETER) << "standard identifier above 0x7FF";
    m = message(0x800, {}, KOBAL_MSG_EXTENDED | KOBAL_MSG_SINGLE_SHOT);
    EXPECT_EQ(lib->write(client, 1, &m, &zero), KOBAL_OK);
    m = message(0x100, {}, 0x80);
    EXPECT_EQ(lib->write(client, 1, &m, &zero), KOBAL_ERR_PARAMETER) << "unknown type bit";
    m = message(0x100, {});
    EXPECT_EQ(lib->write(client, 2, &m, &zero), KOBAL_ERR_NOT_CONNECTED);
    EXPECT_EQ(lib->write(99, 1, &m, &zero), KOBAL_ERR_HANDLE);
}

TEST_P(KobalLibraryTest, BusOffStatusFailsWritesUntilTheHardwareIsReset) {
    addNet1();
    const uint8_t client = connectedClient("Writer");
    EXPECT_EQ(lib->status(1), 0u);
    simbus::setHardwareStatus(library(), 1, KOBAL_STATUS_BUS_OFF);
    EXPECT_EQ(lib->status(1), KOBAL_STATUS_BUS_OFF);
    const KobalMessage m = message(0x100, {1});
    const KobalTimeStamp zero{};
    simbus::clearSentFrames();
    EXPECT_EQ(lib->write(client, 1, &m, &zero), KOBAL_ERR_BUS_OFF);
    EXPECT_TRUE(simbus::sentFrames().empty());

    EXPECT_EQ(lib->resetHardware(1), KOBAL_OK);
    EXPECT_EQ(lib->status(1), 0u);
    EXPECT_EQ(lib->write(client, 1, &m, &zero), KOBAL_OK);
    EXPECT_EQ(simbus::sentFrames().size(), 1u);
    EXPECT_EQ(lib->status(7), KOBAL_STATUS_HARDWARE_FAULT) << "no such hardware";
}

TEST_P(KobalLibraryTest, ProvokedFailureIsReturnedWithoutEffect) {
    addNet1();
    const uint8_t client = connectedClient("Writer");
    simbus::addFault({library(), "CAN_Write", 0x55, 1, 0, std::nullopt});
    const KobalMessage m = message(0x100, {1});
    const KobalTimeStamp zero{};
    simbus::clearSentFrames();
    EXPECT_EQ(lib->write(client, 1, &m, &zero), 0x55);
    EXPECT_TRUE(simbus::sentFrames().empty());
    EXPECT_EQ(lib->write(client, 1, &m, &zero), KOBAL_OK);

    simbus::addFault({library(), "CAN_GetNetParam", 0x66, -1, 0, KOBAL_NET_HARDWARE});
    uint32_t value = 0;
    EXPECT_EQ(lib->getNetParam(1, KOBAL_NET_HARDWARE, &value, 4), 0x66);
    EXPECT_EQ(lib->getNetParam(1, KOBAL_NET_BIT_RATE, &value, 4), KOBAL_OK);
}

TEST_P(KobalLibraryTest, InternalBusCarriesMessagesBetweenClientsOnly) {
    ASSERT_EQ(lib->registerNet(3, "Net3", 0, 0x1C), KOBAL_OK);
    const uint8_t a = connectedClient("A", 3);
    const uint8_t b = connectedClient("B", 3);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    simbus::clearSentFrames();
    const KobalMessage m = message(0x321, {7});
    const KobalTimeStamp zero{};
    ASSERT_EQ(lib->write(a, 3, &m, &zero), KOBAL_OK);
    KobalMessage in{};
    KobalTimeStamp stamp{};
    uint8_t net = 0;
    ASSERT_EQ(lib->read(b, &in, &net, &stamp), KOBAL_OK);
    EXPECT_EQ(in.id, 0x321u);
    EXPECT_TRUE(simbus::sentFrames().empty());
}

TEST_P(KobalLibraryTest, PortIsOpenWhileAClientIsConnectedToTheHardware) {
    addNet1();
    EXPECT_EQ(simbus::openPortCount(), 0u);
    const uint8_t a = connectedClient("A");
    const uint8_t b = connectedClient("B");
    EXPECT_EQ(simbus::openPortCount(), 1u);
    EXPECT_EQ(lib->removeClient(a), KOBAL_OK);
    EXPECT_EQ(simbus::openPortCount(), 1u);
    EXPECT_EQ(lib->disconnectFromNet(b, 1), KOBAL_OK);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(lib->removeClient(b), KOBAL_OK);
    EXPECT_EQ(lib->removeClient(b), KOBAL_ERR_HANDLE);
}

TEST_P(KobalLibraryTest, BusResetForgetsNetworksAndClients) {
    addNet1();
    const uint8_t client = connectedClient("A");
    simbus::reset();
    uint32_t value = 0;
    EXPECT_EQ(lib->getNetParam(1, KOBAL_NET_HARDWARE, &value, 4), KOBAL_ERR_NO_NETWORK);
    KobalMessage in{};
    KobalTimeStamp stamp{};
    uint8_t net = 0;
    EXPECT_EQ(lib->read(client, &in, &net, &stamp), KOBAL_ERR_HANDLE);
    EXPECT_EQ(simbus::openPortCount(), 0u);
}

TEST_P(KobalLibraryTest, SystemTimeFollowsTheBusClock) {
    KobalTimeStamp a{};
    const uint64_t before = simbus::nowUs();
    ASSERT_EQ(lib->getSystemTime(&a), KOBAL_OK);
    const uint64_t after = simbus::nowUs();
    EXPECT_GE(microsecondsOf(a), before);
    EXPECT_LE(microsecondsOf(a), after);
    EXPECT_LT(a.us, 1000);
}

TEST_P(KobalLibraryTest, CanopenDeviceAnswersAnSdoRequestWithMicrosecondStamps) {
    addNet1();
    const uint8_t receiver = connectedClient("App Receive");
    const uint8_t transmitter = connectedClient("App Transmit");
    fixtures::SimNodeConfig config;
    config.nodeId = 5;
    config.responseLatencyUs = 1500;
    SimNodeDevice device(config);

    simbus::clearSentFrames();
    const KobalMessage request = message(0x605, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
    const KobalTimeStamp zero{};
    ASSERT_EQ(lib->write(transmitter, 1, &request, &zero), KOBAL_OK);
    const uint64_t requestStamp = simbus::sentFrames().at(0).timeUs;

    KobalMessage in{};
    KobalTimeStamp stamp{};
    uint8_t net = 0;
    bool answered = false;
    while (!answered && readWithin(*lib, receiver, in, stamp, net)) {
        answered = in.id == 0x585;  // the boot-up and our own request come by as well
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ(in.length, 8);
    EXPECT_EQ(in.data[0], 0x43);
    EXPECT_EQ(in.data[4], 0x91);  // device type 0x000F0191
    EXPECT_EQ(in.data[5], 0x01);
    EXPECT_EQ(in.data[6], 0x0F);
    EXPECT_EQ(microsecondsOf(stamp) - requestStamp, 1500u) << "the node's own answer time";
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, KobalLibraryTest, ::testing::Values(kKobalapi2, kKobalPlsapi2), printFlavour);

// ---- what only one of them does ------------------------------------------------------------------

TEST(KobalLibraries, OnlyKobalapi2HasSetHwParam) {
    simbus::reset();
    auto api2 = platform::Library::load("KOBALAPI2.DLL");
    auto pls = platform::Library::load("KOBALPLSAPI2.DLL");
    ASSERT_TRUE(api2 && pls);
    EXPECT_NE(api2->symbol("CAN_SetHwParam"), nullptr);
    EXPECT_EQ(pls->symbol("CAN_SetHwParam"), nullptr);
}

TEST(KobalLibraries, BothLibrariesInOneProcessShareTheWire) {
    simbus::reset();
    auto api2 = KobalLibrary::load("KOBALAPI2.DLL");
    auto pls = KobalLibrary::load("KOBALPLSAPI2.DLL");
    ASSERT_EQ(api2->registerNet(1, "A", 1, 0x1C), KOBAL_OK);
    ASSERT_EQ(pls->registerNet(1, "B", 1, 500), KOBAL_OK);
    uint8_t a = 0;
    uint8_t b = 0;
    uint8_t net = 0;
    ASSERT_EQ(api2->registerClient("A", 0, &a), KOBAL_OK);
    ASSERT_EQ(api2->connect(a, u"A", &net), KOBAL_OK);
    ASSERT_EQ(pls->registerClient("B", 0, &b), KOBAL_OK);
    ASSERT_EQ(pls->connect(b, u"B", &net), KOBAL_OK);
    const KobalMsgBound low{0, 0};
    const KobalMsgBound high{0x7FF, 0};
    ASSERT_EQ(pls->registerMsg(b, 1, &low, &high), KOBAL_OK);

    const KobalMessage m = message(0x222, {2});
    const KobalTimeStamp zero{};
    ASSERT_EQ(api2->write(a, 1, &m, &zero), KOBAL_OK);
    KobalMessage in{};
    KobalTimeStamp stamp{};
    ASSERT_EQ(pls->read(b, &in, &net, &stamp), KOBAL_OK);
    EXPECT_EQ(in.id, 0x222u);
    simbus::reset();
}

} // namespace
} // namespace ostrel::simlibs::test
