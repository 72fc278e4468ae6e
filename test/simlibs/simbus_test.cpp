// The simulated bus core: wires, devices, ports, provoked failures and reset.
#include <simbus/simbus_control.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::simbus {
namespace {

constexpr const char* kLibrary = "bustest";

Frame frameOf(uint32_t id, std::initializer_list<uint8_t> bytes) {
    Frame frame;
    frame.id = id;
    for (uint8_t b : bytes) {
        frame.data[frame.length++] = b;
    }
    return frame;
}

struct Heard {
    Frame frame;
    uint64_t timeUs = 0;
};

// Collects what a port or a device hears, from any thread.
class Ear {
public:
    void operator()(const Frame& frame, uint64_t timeUs) {
        std::lock_guard lock(mutex_);
        heard_.push_back({frame, timeUs});
        changed_.notify_all();
    }
    std::vector<Heard> heard() const {
        std::lock_guard lock(mutex_);
        return heard_;
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return heard_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Heard> heard_;
};

class SimBusCore : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        registerLibrary(kLibrary, {{1, "Channel A", 0}, {2, "Channel B", 1}}, [this] { ++libraryResets; });
    }
    void TearDown() override {
        unregisterLibrary(kLibrary);
        reset();
    }
    std::atomic<int> libraryResets{0};
};

TEST_F(SimBusCore, PortFrameReachesDevicesOnItsLineOnlyWithItsStamp) {
    Ear onLine0;
    Ear onLine1;
    AttachedDevice device0([&](const Frame& f, uint64_t t) { onLine0(f, t); }, 0);
    AttachedDevice device1([&](const Frame& f, uint64_t t) { onLine1(f, t); }, 1);
    Ear portEar;
    const PortId port = openPort(kLibrary, 1, [&](const Frame& f, uint64_t t) { portEar(f, t); });

    const uint64_t before = nowUs();
    const uint64_t stamp = transmit(port, frameOf(0x123, {1, 2, 3}));

    ASSERT_EQ(onLine0.heard().size(), 1u);  // delivered before transmit returned
    EXPECT_EQ(onLine0.heard()[0].frame, frameOf(0x123, {1, 2, 3}));
    EXPECT_EQ(onLine0.heard()[0].timeUs, stamp);
    EXPECT_GE(stamp, before);
    EXPECT_TRUE(onLine1.heard().empty());
    EXPECT_TRUE(portEar.heard().empty()) << "a port does not hear itself";

    const auto sent = sentFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].library, kLibrary);
    EXPECT_EQ(sent[0].hardware, 1u);
    EXPECT_EQ(sent[0].line, 0u);
    EXPECT_EQ(sent[0].timeUs, stamp);
    EXPECT_TRUE(closePort(port));
}

TEST_F(SimBusCore, DeviceFramesReachPortsAndOtherDevicesButAreNotCountedAsSent) {
    Ear portEar;
    Ear otherEar;
    const PortId port = openPort(kLibrary, 1, [&](const Frame& f, uint64_t t) { portEar(f, t); });
    AttachedDevice sender([](const Frame&, uint64_t) {});
    AttachedDevice other([&](const Frame& f, uint64_t t) { otherEar(f, t); });

    EXPECT_EQ(sender.inject(frameOf(0x181, {9}), 123456789u), 123456789u);

    ASSERT_EQ(portEar.heard().size(), 1u);
    EXPECT_EQ(portEar.heard()[0].timeUs, 123456789u);
    EXPECT_EQ(otherEar.heard().size(), 1u);
    EXPECT_TRUE(sentFrames().empty());
    (void)closePort(port);
}

TEST_F(SimBusCore, AnswerFromInsideAListenerIsQueuedBehindTheFrameItAnswers) {
    std::vector<std::string> order;
    std::mutex orderMutex;
    auto note = [&](std::string text) {
        std::lock_guard lock(orderMutex);
        order.push_back(std::move(text));
    };
    DeviceId responder = 0;
    responder = attachDevice([&](const Frame& f, uint64_t t) {
        note("responder heard " + std::to_string(f.id));
        if (f.id == 0x601) {
            EXPECT_EQ(inject(responder, frameOf(0x581, {0x43}), t + 250), t + 250);
            note("responder answered");
        }
    });
    AttachedDevice watcher([&](const Frame& f, uint64_t) { note("watcher heard " + std::to_string(f.id)); });
    Ear portEar;
    const PortId port = openPort(kLibrary, 1, [&](const Frame& f, uint64_t t) { portEar(f, t); });

    const uint64_t stamp = transmit(port, frameOf(0x601, {0x40, 0x00, 0x10, 0x00}));

    ASSERT_EQ(portEar.heard().size(), 1u) << "the answer arrived before transmit returned";
    EXPECT_EQ(portEar.heard()[0].frame.id, 0x581u);
    EXPECT_EQ(portEar.heard()[0].timeUs, stamp + 250);
    const std::vector<std::string> expected = {"responder heard 1537", "responder answered", "watcher heard 1537",
                                               "watcher heard 1409"};
    EXPECT_EQ(order, expected);
    detachDevice(responder);
    (void)closePort(port);
}

TEST_F(SimBusCore, ClosePortWaitsForTheRunningDeliveryAndNoneFollows) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    const PortId port = openPort(kLibrary, 1, [&](const Frame&, uint64_t) {
        if (calls.fetch_add(1) == 0) {
            entered.set_value();
            released.wait();
        }
    });
    AttachedDevice device([](const Frame&, uint64_t) {});
    std::thread sender([&] { (void)device.inject(frameOf(0x100, {})); });
    entered.get_future().wait();

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_TRUE(closePort(port));
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed.load()) << "closePort returned while the receiver still ran";
    release.set_value();
    closer.join();
    sender.join();
    EXPECT_TRUE(closed.load());

    (void)device.inject(frameOf(0x101, {}));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(openPortCount(), 0u);
}

TEST_F(SimBusCore, ListenerMayDetachItselfWithoutHanging) {
    DeviceId self = 0;
    std::atomic<int> calls{0};
    self = attachDevice([&](const Frame&, uint64_t) {
        ++calls;
        detachDevice(self);
    });
    const PortId port = openPort(kLibrary, 1, [](const Frame&, uint64_t) {});
    (void)transmit(port, frameOf(1, {}));
    (void)transmit(port, frameOf(2, {}));
    EXPECT_EQ(calls.load(), 1);
    (void)closePort(port);
}

TEST_F(SimBusCore, FramesFromManyThreadsAllArriveInOrderPerSender) {
    constexpr int kSenders = 4;
    constexpr int kFramesEach = 2000;
    Ear portEar;
    const PortId port = openPort(kLibrary, 1, [&](const Frame& f, uint64_t t) { portEar(f, t); });
    std::vector<std::unique_ptr<AttachedDevice>> devices;
    for (int i = 0; i < kSenders; ++i) {
        devices.push_back(std::make_unique<AttachedDevice>([](const Frame&, uint64_t) {}));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kSenders; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < kFramesEach; ++n) {
                Frame f = frameOf(static_cast<uint32_t>(0x100 + i), {});
                f.length = 4;
                std::memcpy(f.data, &n, 4);
                (void)devices[static_cast<std::size_t>(i)]->inject(f);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_TRUE(portEar.waitFor(kSenders * kFramesEach));
    std::vector<int> next(kSenders, 0);
    for (const Heard& h : portEar.heard()) {
        int n = 0;
        std::memcpy(&n, h.frame.data, 4);
        const auto sender = static_cast<std::size_t>(h.frame.id - 0x100);
        EXPECT_EQ(n, next[sender]++);
    }
    (void)closePort(port);
}

TEST_F(SimBusCore, FaultFiresAfterSkipForCountMatchingCalls) {
    addFault({kLibrary, "CAN_Write", 7, 2, 1, std::nullopt});
    EXPECT_EQ(takeFault(kLibrary, "CAN_Read"), std::nullopt);
    EXPECT_EQ(takeFault(kLibrary, "CAN_Write"), std::nullopt) << "skipped";
    EXPECT_EQ(takeFault(kLibrary, "CAN_Write"), 7);
    EXPECT_EQ(takeFault("other", "CAN_Write"), std::nullopt);
    EXPECT_EQ(takeFault(kLibrary, "CAN_Write"), 7);
    EXPECT_EQ(takeFault(kLibrary, "CAN_Write"), std::nullopt) << "count used up";
    EXPECT_EQ(faultsTaken(), 2u);
}

TEST_F(SimBusCore, FaultWithDetailMatchesOnlyThatDetail) {
    addFault({kLibrary, "CAN_GetNetParam", 9, -1, 0, 19u});
    EXPECT_EQ(takeFault(kLibrary, "CAN_GetNetParam", 3), std::nullopt);
    EXPECT_EQ(takeFault(kLibrary, "CAN_GetNetParam"), std::nullopt);
    EXPECT_EQ(takeFault(kLibrary, "CAN_GetNetParam", 19), 9);
    EXPECT_EQ(takeFault(kLibrary, "CAN_GetNetParam", 19), 9) << "count -1 never runs out";
    clearFaults();
    EXPECT_EQ(takeFault(kLibrary, "CAN_GetNetParam", 19), std::nullopt);
}

TEST_F(SimBusCore, HardwareListIsTheTestsUntilClearedThenTheLibrarysDefaults) {
    EXPECT_EQ(hardware(kLibrary).size(), 2u);
    setHardware(kLibrary, {});
    EXPECT_TRUE(hardware(kLibrary).empty());
    EXPECT_FALSE(findHardware(kLibrary, 1).has_value());
    setHardware(kLibrary, {{5, "Five", 3}});
    ASSERT_TRUE(findHardware(kLibrary, 5).has_value());
    EXPECT_EQ(findHardware(kLibrary, 5)->line, 3u);
    clearHardware(kLibrary);
    EXPECT_EQ(findHardware(kLibrary, 2)->name, "Channel B");
    EXPECT_TRUE(hardware("never-loaded").empty());
}

TEST_F(SimBusCore, ResetClearsEverythingAndMakesLibrariesForgetTheirState) {
    setHardwareStatus(kLibrary, 1, 0x10);
    setHardware(kLibrary, {});
    addFault({kLibrary, "CAN_Write", 1, -1, 0, std::nullopt});
    record(kLibrary, "something");
    Ear ear;
    const DeviceId device = attachDevice([&](const Frame& f, uint64_t t) { ear(f, t); });
    const PortId port = openPort(kLibrary, 1, [](const Frame&, uint64_t) {});
    (void)transmit(port, frameOf(1, {}));
    ASSERT_EQ(ear.heard().size(), 1u);

    reset();

    EXPECT_EQ(libraryResets.load(), 1);
    EXPECT_EQ(hardwareStatus(kLibrary, 1), 0u);
    EXPECT_EQ(hardware(kLibrary).size(), 2u);
    EXPECT_EQ(takeFault(kLibrary, "CAN_Write"), std::nullopt);
    EXPECT_TRUE(journal(kLibrary).empty());
    EXPECT_TRUE(sentFrames().empty());
    (void)transmit(port, frameOf(2, {}));
    EXPECT_EQ(ear.heard().size(), 1u) << "the device was detached";
    EXPECT_EQ(inject(device, frameOf(3, {})), 0u);
    (void)closePort(port);
}

TEST_F(SimBusCore, WaitForSentTimesOutWhenNothingIsSent) {
    EXPECT_FALSE(waitForSent(1, 20));
    const PortId port = openPort(kLibrary, 2, [](const Frame&, uint64_t) {});
    std::thread later([&] { (void)transmit(port, frameOf(7, {})); });
    EXPECT_TRUE(waitForSent(1, 10000));
    later.join();
    EXPECT_EQ(sentFrames().at(0).line, 1u);
    (void)closePort(port);
}

} // namespace
} // namespace ostrel::simbus
