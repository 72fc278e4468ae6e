// The simulated WinCE-style CAN library as a program sees it: loaded by name, over the simulated bus.
#include "card_libraries.h"

#include <gtest/gtest.h>

#include <atomic>

namespace ostrel::simlibs::test {
namespace {

struct Received {
    uint32_t id = 0;
    WinceBool remote = 0;
    WinceBool extended = 0;
    WinceBool error = 0;
    uint8_t length = 0;
    uint8_t data[8] = {};
};

class WinceLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        simbus::reset();
        lib = WinceLibrary::load();
    }
    void TearDown() override {
        lib.reset();
        simbus::reset();
    }
    int32_t startedPort(const char16_t* name = u"CAN1:", uint32_t kbit = 500) {
        const int32_t port = lib->open(name, kbit);
        EXPECT_GT(port, 0);
        EXPECT_NE(lib->start(port), 0);
        return port;
    }
    bool receive(int32_t port, Received& r) {
        return lib->receive(port, &r.id, &r.remote, &r.extended, &r.error, &r.length, r.data) != 0;
    }

    std::unique_ptr<WinceLibrary> lib;
};

TEST_F(WinceLibraryTest, InterfacesAreThoseOfTheHardwareList) {
    EXPECT_EQ(lib->numberOfInterfaces(), 2);
    simbus::setHardware(kWinceLibrary, {{1, "CAN1", 0}, {2, "CAN2", 0}, {3, "CAN3", 0}});
    EXPECT_EQ(lib->numberOfInterfaces(), 3);
    simbus::setHardware(kWinceLibrary, {});
    EXPECT_EQ(lib->numberOfInterfaces(), 0);
}

TEST_F(WinceLibraryTest, PortOpensByDeviceNameAndStandardRateOnce) {
    const int32_t port = lib->open(u"CAN1:", 125);
    ASSERT_GT(port, 0);
    EXPECT_EQ(lib->open(u"CAN1:", 125), WINCE_INVALID_PORT) << "one opening per interface";
    EXPECT_EQ(lib->open(u"CAN3:", 125), WINCE_INVALID_PORT) << "no such interface";
    EXPECT_EQ(lib->open(u"CAN2", 125), WINCE_INVALID_PORT) << "a device name ends with a colon";
    EXPECT_EQ(lib->open(u"COM2:", 125), WINCE_INVALID_PORT);
    EXPECT_EQ(lib->open(u"CAN2:", 100), WINCE_INVALID_PORT) << "not a standard rate";
    EXPECT_EQ(lib->open(u"CAN2:", 0), WINCE_INVALID_PORT);
    EXPECT_EQ(lib->open(nullptr, 125), WINCE_INVALID_PORT);
    const int32_t second = lib->open(u"CAN2:", 1000);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, port);
    EXPECT_EQ(simbus::openPortCount(), 2u);
    EXPECT_NE(lib->close(port), 0);
    EXPECT_EQ(lib->close(port), 0);
    EXPECT_EQ(simbus::openPortCount(), 1u);
    EXPECT_TRUE(journalHas(kWinceLibrary, "WinCE_Open name=\"CAN1:\" rate=125 -> "));
}

TEST_F(WinceLibraryTest, StartedPortSendsAndQueuesWhatItHears) {
    const int32_t port = lib->open(u"CAN1:", 500);
    ASSERT_GT(port, 0);
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(lib->transmit(port, 0x181, 0, 0, 0, 3, bytes), 0) << "not started";
    ASSERT_NE(lib->start(port), 0);

    HeardFrames heard;
    simbus::AttachedDevice device(heard.listener());
    EXPECT_NE(lib->transmit(port, 0x181, 0, 0, 0, 3, bytes), 0);
    EXPECT_NE(lib->transmit(port, 0x1ABCDEF, 0, 1, 0, 0, nullptr), 0);
    EXPECT_EQ(lib->transmit(port, 0x181, 0, 0, 0, 9, bytes), 0);
    EXPECT_EQ(lib->transmit(port, 0x800, 0, 0, 0, 0, nullptr), 0) << "an 11-bit identifier";
    const auto frames = heard.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].id, 0x181u);
    EXPECT_EQ(frames[0].data[2], 3);
    EXPECT_TRUE(frames[1].extended);

    simbus::Frame remote = busFrame(0x705, {});
    remote.remote = true;
    (void)device.inject(remote);
    (void)device.inject(busFrame(0x185, {9, 8}));
    Received r;
    ASSERT_TRUE(receive(port, r));
    EXPECT_EQ(r.id, 0x705u);
    EXPECT_NE(r.remote, 0);
    ASSERT_TRUE(receive(port, r));
    EXPECT_EQ(r.id, 0x185u);
    EXPECT_EQ(r.remote, 0);
    EXPECT_EQ(r.length, 2);
    EXPECT_EQ(r.data[1], 8);
    EXPECT_FALSE(receive(port, r)) << "empty: no waiting";

    ASSERT_NE(lib->stop(port), 0);
    (void)device.inject(busFrame(0x186, {}));
    EXPECT_FALSE(receive(port, r)) << "a stopped port hears nothing";
    EXPECT_EQ(lib->transmit(port, 0x181, 0, 0, 0, 3, bytes), 0);
}

TEST_F(WinceLibraryTest, StatusReportsTheControllerState) {
    const int32_t port = startedPort();
    uint32_t passive = 9;
    uint32_t counters = 9;
    uint32_t busOff = 9;
    ASSERT_NE(lib->status(port, &passive, &counters, &busOff), 0);
    EXPECT_EQ(passive, 0u);
    EXPECT_EQ(counters, 0u);
    EXPECT_EQ(busOff, 0u);

    simbus::setHardwareStatus(kWinceLibrary, 1, WINCE_STATE_ERROR_PASSIVE);
    ASSERT_NE(lib->status(port, &passive, &counters, &busOff), 0);
    EXPECT_EQ(passive, 1u);
    EXPECT_EQ(counters, WINCE_COUNTERS_ERROR_PASSIVE);
    EXPECT_EQ(busOff, 0u);

    simbus::setHardwareStatus(kWinceLibrary, 1, WINCE_STATE_BUS_OFF);
    ASSERT_NE(lib->status(port, &passive, &counters, &busOff), 0);
    EXPECT_EQ(passive, 0u);
    EXPECT_EQ(busOff, 1u);
    const uint8_t byte = 1;
    EXPECT_EQ(lib->transmit(port, 0x181, 0, 0, 0, 1, &byte), 0) << "a bus-off port sends nothing";
    EXPECT_EQ(lib->status(port + 100, &passive, &counters, &busOff), 0);
}

TEST_F(WinceLibraryTest, ErrorFramesAndSelfReceptionAreSettingsOfTheWholeLibrary) {
    const int32_t port = startedPort();
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    simbus::Frame error = busFrame(0x2A, {});
    error.error = true;
    const uint8_t byte = 5;
    Received r;

    (void)device.inject(error);
    ASSERT_NE(lib->transmit(port, 0x181, 0, 0, 0, 1, &byte), 0);
    EXPECT_FALSE(receive(port, r)) << "both are off at first";

    ASSERT_NE(lib->configureErrorFrames(1), 0);
    ASSERT_NE(lib->configureSelfReceive(1), 0);
    (void)device.inject(error);
    ASSERT_NE(lib->transmit(port, 0x181, 0, 0, 0, 1, &byte), 0);
    ASSERT_TRUE(receive(port, r));
    EXPECT_EQ(r.id, 0x2Au);
    EXPECT_NE(r.error, 0);
    ASSERT_TRUE(receive(port, r));
    EXPECT_EQ(r.id, 0x181u);
    EXPECT_EQ(r.data[0], 5);

    // A port opened later gets the same settings.
    const int32_t second = startedPort(u"CAN2:", 500);
    ASSERT_NE(lib->transmit(second, 0x182, 0, 0, 0, 1, &byte), 0);
    ASSERT_TRUE(receive(second, r));
    EXPECT_EQ(r.id, 0x182u);
    ASSERT_TRUE(receive(port, r)) << "the other port on the same line hears it too";
    EXPECT_EQ(r.id, 0x182u);
}

TEST_F(WinceLibraryTest, ReceiveEventIsSignalledUntilCleared) {
    const int32_t port = startedPort();
    std::atomic<int> signals{0};
    const WinceEvent event{[](void* context) { ++*static_cast<std::atomic<int>*>(context); }, &signals};
    ASSERT_NE(lib->setReceiveEvent(port, &event), 0);
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    (void)device.inject(busFrame(0x100, {}));
    EXPECT_EQ(signals.load(), 1);
    ASSERT_NE(lib->setReceiveEvent(port, nullptr), 0);
    (void)device.inject(busFrame(0x101, {}));
    EXPECT_EQ(signals.load(), 1);
}

TEST_F(WinceLibraryTest, ProvokedFailureComesBackAsItsResult) {
    simbus::addFault({kWinceLibrary, "WinCE_Open", WINCE_INVALID_PORT, 1, 0, std::nullopt});
    EXPECT_EQ(lib->open(u"CAN1:", 500), WINCE_INVALID_PORT);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    const int32_t port = lib->open(u"CAN1:", 500);
    ASSERT_GT(port, 0);
    simbus::addFault({kWinceLibrary, "WinCE_Start", 0, 1, 0, std::nullopt});
    EXPECT_EQ(lib->start(port), 0);
    EXPECT_NE(lib->start(port), 0);
}

TEST_F(WinceLibraryTest, BusResetClosesEveryPortAndRestoresTheSettings) {
    const int32_t port = startedPort();
    ASSERT_NE(lib->configureSelfReceive(1), 0);
    simbus::reset();
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(lib->close(port), 0);
    const int32_t again = startedPort();
    const uint8_t byte = 1;
    ASSERT_NE(lib->transmit(again, 0x181, 0, 0, 0, 1, &byte), 0);
    Received r;
    EXPECT_FALSE(receive(again, r));
}

} // namespace
} // namespace ostrel::simlibs::test
