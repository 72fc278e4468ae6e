// The simulated HICANPCI card library as a program sees it: loaded by name, over the simulated bus.
#include "card_libraries.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace ostrel::simlibs::test {
namespace {

constexpr uint32_t kChannel = 0;

HiCanMessage cardMessage(uint32_t id, std::initializer_list<uint8_t> bytes, bool extended = false) {
    HiCanMessage m{};
    m.id = id;
    m.extended = extended ? 1 : 0;
    for (uint8_t b : bytes) {
        m.data[m.length++] = b;
    }
    return m;
}

class HicoLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        simbus::reset();
        lib = HicoLibrary::load();
    }
    void TearDown() override {
        lib.reset();
        simbus::reset();
    }
    // Driver session, channel open at 500 kbit/s and started.
    void startChannel(uint32_t channel = kChannel) {
        ASSERT_EQ(lib->openDriver(), HICO_OK);
        ASSERT_EQ(lib->open(channel), HICO_OK);
        ASSERT_EQ(lib->setBaud(channel, HICO_BAUD_500K), HICO_OK);
        ASSERT_EQ(lib->start(channel), HICO_OK);
    }

    std::unique_ptr<HicoLibrary> lib;
};

TEST_F(HicoLibraryTest, ChannelOpensOnlyInADriverSessionAndStartsOnlyWithABitRate) {
    EXPECT_EQ(lib->open(kChannel), HICO_ERR_DRIVER_CLOSED);
    ASSERT_EQ(lib->openDriver(), HICO_OK);
    EXPECT_EQ(lib->open(7), HICO_ERR_NO_CHANNEL) << "the card has channels 0 and 1";
    ASSERT_EQ(lib->open(kChannel), HICO_OK);
    EXPECT_EQ(lib->open(kChannel), HICO_ERR_CHANNEL_OPEN);
    EXPECT_EQ(lib->start(kChannel), HICO_ERR_STATE);
    EXPECT_EQ(lib->setBaud(kChannel, 7), HICO_ERR_BAUD);
    for (uint32_t baud : {HICO_BAUD_10K, HICO_BAUD_20K, HICO_BAUD_50K, HICO_BAUD_125K, HICO_BAUD_250K, HICO_BAUD_800K,
                          HICO_BAUD_1M, HICO_BAUD_500K}) {
        EXPECT_EQ(lib->setBaud(kChannel, baud), HICO_OK) << baud;
    }
    ASSERT_EQ(lib->start(kChannel), HICO_OK);
    EXPECT_EQ(lib->setBaud(kChannel, HICO_BAUD_125K), HICO_ERR_STATE) << "only while stopped";
    EXPECT_EQ(simbus::openPortCount(), 1u);
    EXPECT_EQ(lib->close(kChannel), HICO_OK);
    EXPECT_EQ(lib->close(kChannel), HICO_ERR_CHANNEL_CLOSED);
    EXPECT_EQ(simbus::openPortCount(), 0u);
}

TEST_F(HicoLibraryTest, WriteGoesOutOnTheChannelOpenedLast) {
    simbus::setHardware(kHicoLibrary, {{0, "PCI CAN 0", 0}, {1, "PCI CAN 1", 1}});
    startChannel(0);
    ASSERT_EQ(lib->open(1), HICO_OK);
    ASSERT_EQ(lib->setBaud(1, HICO_BAUD_500K), HICO_OK);
    ASSERT_EQ(lib->start(1), HICO_OK);

    const HiCanMessage m = cardMessage(0x181, {1, 2, 3});
    ASSERT_EQ(lib->write(HICO_CURRENT_NODE, &m, 500000), HICO_OK);
    ASSERT_EQ(lib->close(1), HICO_OK);
    ASSERT_EQ(lib->write(HICO_CURRENT_NODE, &m, 500000), HICO_OK);
    EXPECT_EQ(lib->write(5, &m, 500000), HICO_ERR_PARAMETER) << "only the current node can be selected";

    const auto sent = simbus::sentFrames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].hardware, 1u);
    EXPECT_EQ(sent[0].line, 1u);
    EXPECT_EQ(sent[1].hardware, 0u);
    EXPECT_EQ(sent[0].frame.length, 3);
    EXPECT_EQ(sent[0].frame.data[2], 3);
}

TEST_F(HicoLibraryTest, WriteRefusesBadMessagesAndAStoppedController) {
    startChannel();
    const HiCanMessage tooLong = [] {
        HiCanMessage m = cardMessage(0x100, {});
        m.length = 9;
        return m;
    }();
    const HiCanMessage wideId = cardMessage(0x800, {});
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &tooLong, 500000), HICO_ERR_PARAMETER);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &wideId, 500000), HICO_ERR_PARAMETER);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, nullptr, 500000), HICO_ERR_PARAMETER);
    const HiCanMessage extended = cardMessage(0x800, {}, true);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &extended, 500000), HICO_OK);
    ASSERT_EQ(lib->stop(kChannel), HICO_OK);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &extended, 500000), HICO_ERR_STATE);
    const auto sent = simbus::sentFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].frame.extended);
}

TEST_F(HicoLibraryTest, ReadGivesHeardFramesStampedWithTheCardsClock) {
    startChannel();
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    // 2 days 3:04:05.678901 of the bus clock; the card's clock runs with it until it is set.
    const uint64_t stamp = ((((2ull * 24 + 3) * 60 + 4) * 60 + 5) * 1000 + 678) * 1000 + 901;
    simbus::Frame remote = busFrame(0x705, {});
    remote.remote = true;
    remote.length = 1;
    (void)device.inject(remote, stamp);

    HiCanMessage m{};
    ASSERT_EQ(lib->read(HICO_CURRENT_NODE, &m, 5000000), HICO_OK);
    EXPECT_EQ(m.id, 0x705u);
    EXPECT_EQ(m.remote, 1);
    EXPECT_EQ(m.extended, 0);
    EXPECT_EQ(m.length, 1);
    EXPECT_EQ(m.time.day, 2);
    EXPECT_EQ(m.time.hour, 3);
    EXPECT_EQ(m.time.minute, 4);
    EXPECT_EQ(m.time.second, 5);
    EXPECT_EQ(m.time.millisecond, 678);
    EXPECT_EQ(m.time.microsecond, 901);
}

TEST_F(HicoLibraryTest, SetTimestampRestartsTheCardsClock) {
    startChannel();
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    const uint64_t before = simbus::nowUs();
    const HiCanTimeStamp zero{};
    ASSERT_EQ(lib->setTimestamp(kChannel, &zero), HICO_OK);
    const uint64_t after = simbus::nowUs();
    const uint64_t heardAt = after + 3'000'000;
    (void)device.inject(busFrame(0x181, {9}), heardAt);

    HiCanMessage m{};
    ASSERT_EQ(lib->read(HICO_CURRENT_NODE, &m, 5000000), HICO_OK);
    const uint64_t cardUs = microsecondsOf(m.time);
    EXPECT_GE(cardUs, heardAt - after);
    EXPECT_LE(cardUs, heardAt - before);
    EXPECT_EQ(lib->setTimestamp(kChannel, nullptr), HICO_ERR_PARAMETER);
}

TEST_F(HicoLibraryTest, ReadWaitsUpToItsTimeOutForAFrame) {
    startChannel();
    HiCanMessage m{};
    EXPECT_EQ(lib->read(HICO_CURRENT_NODE, &m, 20000), HICO_ERR_TIMEOUT);

    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)device.inject(busFrame(0x222, {1}));
    });
    const int32_t result = lib->read(HICO_CURRENT_NODE, &m, 10'000'000);
    later.join();
    ASSERT_EQ(result, HICO_OK) << "a frame that arrives during the wait ends it";
    EXPECT_EQ(m.id, 0x222u);
}

TEST_F(HicoLibraryTest, ClosingTheChannelEndsAWaitingRead) {
    startChannel();
    std::atomic<int32_t> result{HICO_OK};
    std::thread reader([&] {
        HiCanMessage m{};
        result = lib->read(HICO_CURRENT_NODE, &m, 30'000'000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(lib->close(kChannel), HICO_OK);
    reader.join();
    EXPECT_EQ(result.load(), HICO_ERR_CHANNEL_CLOSED);
}

TEST_F(HicoLibraryTest, StateChangeIsReportedOnceByTheNextWriteOrRead) {
    startChannel();
    HeardFrames heard;
    simbus::AttachedDevice device(heard.listener());
    const HiCanMessage m = cardMessage(0x181, {1});

    simbus::setHardwareStatus(kHicoLibrary, kChannel, HICO_STATE_ERROR_PASSIVE);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &m, 500000), HICO_REPORT_ERROR_PASSIVE);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &m, 500000), HICO_OK);
    EXPECT_EQ(heard.frames().size(), 2u) << "an error-passive controller still sends";

    simbus::setHardwareStatus(kHicoLibrary, kChannel, HICO_STATE_BUS_OFF);
    (void)device.inject(busFrame(0x222, {1}));
    HiCanMessage in{};
    EXPECT_EQ(lib->read(HICO_CURRENT_NODE, &in, 20000), HICO_REPORT_BUS_OFF);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &m, 500000), HICO_ERR_BUS_OFF);
    EXPECT_EQ(heard.frames().size(), 2u) << "nothing leaves a bus-off controller";
    EXPECT_EQ(lib->read(HICO_CURRENT_NODE, &in, 20000), HICO_OK) << "the report did not take the frame";
    EXPECT_EQ(in.id, 0x222u);

    ASSERT_EQ(lib->resetContr(kChannel, HICO_RESET_CONTROLLER), HICO_OK);
    EXPECT_EQ(simbus::hardwareStatus(kHicoLibrary, kChannel), HICO_STATE_ERROR_ACTIVE);
    EXPECT_EQ(lib->start(kChannel), HICO_ERR_STATE) << "the reset forgot the bit rate";
    ASSERT_EQ(lib->setBaud(kChannel, HICO_BAUD_500K), HICO_OK);
    ASSERT_EQ(lib->start(kChannel), HICO_OK);
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &m, 500000), HICO_OK);
    EXPECT_EQ(lib->resetContr(kChannel, 2), HICO_ERR_PARAMETER);
}

TEST_F(HicoLibraryTest, SelfReceptionQueuesOwnFramesOnlyWhileOn) {
    startChannel();
    const HiCanMessage own = cardMessage(0x181, {7});
    HiCanMessage in{};
    ASSERT_EQ(lib->write(HICO_CURRENT_NODE, &own, 500000), HICO_OK);
    EXPECT_EQ(lib->read(HICO_CURRENT_NODE, &in, 20000), HICO_ERR_TIMEOUT) << "off after opening";

    ASSERT_EQ(lib->canCtrl(kChannel, HICO_CTRL_SELF_RECEPTION_ON), HICO_OK);
    ASSERT_EQ(lib->write(HICO_CURRENT_NODE, &own, 500000), HICO_OK);
    ASSERT_EQ(lib->read(HICO_CURRENT_NODE, &in, 20000), HICO_OK);
    EXPECT_EQ(in.id, 0x181u);
    EXPECT_EQ(in.data[0], 7);

    ASSERT_EQ(lib->canCtrl(kChannel, HICO_CTRL_SELF_RECEPTION_OFF), HICO_OK);
    ASSERT_EQ(lib->write(HICO_CURRENT_NODE, &own, 500000), HICO_OK);
    EXPECT_EQ(lib->read(HICO_CURRENT_NODE, &in, 20000), HICO_ERR_TIMEOUT);
    EXPECT_EQ(lib->canCtrl(kChannel, 99), HICO_ERR_PARAMETER);
}

TEST_F(HicoLibraryTest, StoppedControllerHearsNothingAndErrorFramesNeverArrive) {
    startChannel();
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    simbus::Frame error = busFrame(0x2A, {});
    error.error = true;
    (void)device.inject(error);
    ASSERT_EQ(lib->stop(kChannel), HICO_OK);
    (void)device.inject(busFrame(0x333, {}));
    HiCanMessage in{};
    EXPECT_EQ(lib->read(HICO_CURRENT_NODE, &in, 20000), HICO_ERR_TIMEOUT);
}

TEST_F(HicoLibraryTest, RegisteredEventIsSignalledForEachQueuedFrameUntilCleared) {
    startChannel();
    std::atomic<int> signals{0};
    const HiCanEvent event{[](void* context) { ++*static_cast<std::atomic<int>*>(context); }, &signals};
    ASSERT_EQ(lib->registerEvent(kChannel, &event), HICO_OK);
    simbus::AttachedDevice device([](const simbus::Frame&, uint64_t) {});
    (void)device.inject(busFrame(0x100, {}));
    EXPECT_EQ(signals.load(), 1);
    ASSERT_EQ(lib->registerEvent(kChannel, nullptr), HICO_OK);
    (void)device.inject(busFrame(0x101, {}));
    EXPECT_EQ(signals.load(), 1);
    EXPECT_EQ(lib->clrOverrun(kChannel), HICO_OK);
    EXPECT_EQ(lib->clrOverrun(1), HICO_ERR_CHANNEL_CLOSED);
}

TEST_F(HicoLibraryTest, CloseDriverClosesEveryChannel) {
    startChannel(0);
    ASSERT_EQ(lib->open(1), HICO_OK);
    EXPECT_EQ(simbus::openPortCount(), 2u);
    ASSERT_EQ(lib->closeDriver(), HICO_OK);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(lib->closeDriver(), HICO_ERR_DRIVER_CLOSED);
    const HiCanMessage m = cardMessage(0x100, {});
    EXPECT_EQ(lib->write(HICO_CURRENT_NODE, &m, 500000), HICO_ERR_CHANNEL_CLOSED);
}

TEST_F(HicoLibraryTest, ProvokedFailureComesBackAsItsResultAndChangesNothing) {
    ASSERT_EQ(lib->openDriver(), HICO_OK);
    simbus::addFault({kHicoLibrary, "HiCOCANOpen", 0x10000077, 1, 0, std::nullopt});
    EXPECT_EQ(lib->open(kChannel), 0x10000077);
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(lib->open(kChannel), HICO_OK);
    simbus::addFault({kHicoLibrary, "HiCOCANCanCtrl", 5, 1, 0, HICO_CTRL_SELF_RECEPTION_OFF});
    EXPECT_EQ(lib->canCtrl(kChannel, HICO_CTRL_SELF_RECEPTION_ON), HICO_OK) << "the fault is for command 14 only";
    EXPECT_EQ(lib->canCtrl(kChannel, HICO_CTRL_SELF_RECEPTION_OFF), 5);
    EXPECT_TRUE(journalHas(kHicoLibrary, "HiCOCANOpen -> provoked 0x10000077"));
}

TEST_F(HicoLibraryTest, BusResetClosesTheCard) {
    startChannel();
    simbus::reset();
    EXPECT_EQ(simbus::openPortCount(), 0u);
    EXPECT_EQ(lib->open(kChannel), HICO_ERR_DRIVER_CLOSED);
}

} // namespace
} // namespace ostrel::simlibs::test
