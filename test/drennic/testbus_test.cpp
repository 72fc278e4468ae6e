// The in-memory test bus: what later tests rely on when they attach simulated devices.
#include "library_fixture.h"

#include "drivers.h"
#include "testbus.h"

#include <platform/clock.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace drennic::test {
namespace {

struct Received {
    int32_t code = DRN_OK;
    CANFrame frame{};
};

// One call of the driver's Receive slot, as the engine thread makes it; `frame` keeps the bytes
// the slot does not write.
Received receiveOnce(CANFrame into = {}) {
    const auto driver = currentDriver();
    Received r;
    r.frame = into;
    if (!driver) {
        r.code = DRN_NOT_INITIALIZED;
        return r;
    }
    uint8_t extended = 0;
    uint8_t remote = 0;
    uint8_t errorFrame = 0;
    ResultBlock result{};
    driver->ops.Receive(&r.frame.id, &r.frame.length, &extended, &remote, &errorFrame, r.frame.data,
                        &r.frame.timeMs, &r.frame.timeMsOverflow, &r.frame.timeUs, &result);
    r.frame.flags = static_cast<uint8_t>(extended | (remote << 1) | (errorFrame << 2));
    r.code = result.code;
    return r;
}

class DrennicTestBus : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        bus_ = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
    }
    void TearDown() override {
        bus_.reset();
        DrennicLibrary::TearDown();
    }
    TestBus& bus() { return *bus_; }

private:
    std::unique_ptr<TestBus> bus_;
};

void transmit(const CANFrame& frame) {
    ResultBlock result{};
    CAN_Transmit(&frame, &result);
    ASSERT_EQ(result.code, DRN_OK);
}

TEST_F(DrennicTestBus, InjectedFrameArrivesThroughReceiveWithMicrosecondStamp) {
    const uint64_t before = ostrel::platform::monotonicUs();
    bus().inject(makeFrame(0x1ABCDEF0, {1, 2, 3, 4, 5}, DRN_FLAG_EXTENDED | DRN_FLAG_ERROR));
    const uint64_t after = ostrel::platform::monotonicUs();

    const Received r = receiveOnce();
    ASSERT_EQ(r.code, DRN_OK);
    EXPECT_EQ(r.frame.id, 0x1ABCDEF0u);
    EXPECT_EQ(r.frame.flags, DRN_FLAG_EXTENDED | DRN_FLAG_ERROR);
    ASSERT_EQ(r.frame.length, 5);
    EXPECT_EQ(r.frame.data[4], 5);
    EXPECT_EQ(r.frame.timeMsOverflow, 0u);
    EXPECT_LT(r.frame.timeUs, 1000u);
    // The stamp is the injection time, in ms (wrapping at 2^32) and µs.
    const uint64_t stampUs = uint64_t{r.frame.timeMs} * 1000 + r.frame.timeUs;
    const uint64_t period = (uint64_t{1} << 32) * 1000;
    EXPECT_LE((stampUs + period - before % period) % period, after - before);
}

TEST_F(DrennicTestBus, ReceiveWithoutFrameReportsNoFrame) {
    EXPECT_EQ(receiveOnce().code, DRN_NO_FRAME);
}

TEST_F(DrennicTestBus, ReceiveWaitsForAFrameInjectedMeanwhile) {
    std::thread injector([&] { bus().inject(makeFrame(0x181, {7})); });
    // The slot waits at most 10 ms per call; the frame comes within a few calls.
    Received r;
    r.code = DRN_NO_FRAME;
    for (int attempt = 0; attempt < 500 && r.code != DRN_OK; ++attempt) {
        r = receiveOnce();
    }
    injector.join();
    ASSERT_EQ(r.code, DRN_OK);
    EXPECT_EQ(r.frame.id, 0x181u);
}

TEST_F(DrennicTestBus, ReceivedFrameLeavesDataBytesBehindItsLengthAsTheyWere) {
    CANFrame previous{};
    std::memset(previous.data, 0xEE, sizeof previous.data);
    bus().inject(makeFrame(0x185, {0x11, 0x22, 0x33}));

    const Received r = receiveOnce(previous);
    ASSERT_EQ(r.code, DRN_OK);
    EXPECT_EQ(r.frame.data[0], 0x11);
    EXPECT_EQ(r.frame.data[2], 0x33);
    for (int i = 3; i < 8; ++i) {
        EXPECT_EQ(r.frame.data[i], 0xEE) << "byte " << i;
    }
}

TEST_F(DrennicTestBus, FramesAreReceivedInArrivalOrder) {
    for (uint32_t id = 0x181; id < 0x181 + 20; ++id) {
        bus().inject(makeFrame(id, {}));
    }
    for (uint32_t id = 0x181; id < 0x181 + 20; ++id) {
        const Received r = receiveOnce();
        ASSERT_EQ(r.code, DRN_OK);
        EXPECT_EQ(r.frame.id, id);
    }
    EXPECT_EQ(bus().pendingReceive(), 0u);
}

TEST_F(DrennicTestBus, SelfReceptionEchoesTransmittedFramesOnlyWhileOn) {
    transmit(makeFrame(0x601, {0x40}));
    EXPECT_EQ(receiveOnce().code, DRN_NO_FRAME);

    ResultBlock result{};
    Hardware_SelfReceive(1, &result);
    transmit(makeFrame(0x602, {0x40, 0x18, 0x10}));
    const Received echo = receiveOnce();
    ASSERT_EQ(echo.code, DRN_OK);
    EXPECT_EQ(echo.frame.id, 0x602u);
    EXPECT_EQ(echo.frame.length, 3);
    EXPECT_EQ(echo.frame.data[1], 0x18);

    bus().setSelfReceive(false);
    transmit(makeFrame(0x603, {}));
    EXPECT_EQ(receiveOnce().code, DRN_NO_FRAME);
}

TEST_F(DrennicTestBus, DeviceAnswerQueuesBehindTheEchoOfTheRequest) {
    bus().setSelfReceive(true);
    const auto device = bus().attach([&](const CANFrame& request) {
        if (request.id == 0x605) {
            bus().inject(makeFrame(0x585, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0x0F, 0x00}));
        }
    });

    transmit(makeFrame(0x605, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    bus().detach(device);

    const Received echo = receiveOnce();
    const Received answer = receiveOnce();
    ASSERT_EQ(echo.code, DRN_OK);
    ASSERT_EQ(answer.code, DRN_OK);
    EXPECT_EQ(echo.frame.id, 0x605u);
    EXPECT_EQ(answer.frame.id, 0x585u);
    EXPECT_EQ(answer.frame.data[4], 0x91);
}

TEST_F(DrennicTestBus, ListenersHearFramesInAttachOrderUntilDetached) {
    std::vector<int> order;
    const auto first = bus().attach([&](const CANFrame&) { order.push_back(1); });
    const auto second = bus().attach([&](const CANFrame&) { order.push_back(2); });
    transmit(makeFrame(0x80, {}));
    bus().detach(first);
    transmit(makeFrame(0x80, {}));
    bus().detach(second);
    transmit(makeFrame(0x80, {}));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 2}));
}

TEST_F(DrennicTestBus, ListenerMayDetachItselfAndTransmit) {
    int calls = 0;
    TestBus::ListenerId self = 0;
    self = bus().attach([&](const CANFrame& frame) {
        ++calls;
        if (frame.id == 0x100) {
            transmit(makeFrame(0x101, {}));  // heard by itself once more
            bus().detach(self);
        }
    });
    transmit(makeFrame(0x100, {}));
    transmit(makeFrame(0x102, {}));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(bus().sent().size(), 3u);
}

TEST_F(DrennicTestBus, TransmitFailureLastsForTheGivenCount) {
    bus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 2);
    const CANFrame frame = makeFrame(0x80, {});
    ResultBlock result{};
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_EQ(bus().sent().size(), 1u);
}

TEST_F(DrennicTestBus, SentFramesCarryTheirTransmitTime) {
    const uint64_t before = ostrel::platform::monotonicUs();
    transmit(makeFrame(0x80, {}));
    const std::vector<CANFrame> sent = bus().sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_LT(sent[0].timeUs, 1000u);
    EXPECT_GE(uint64_t{sent[0].timeMs} * 1000 + sent[0].timeUs, before % ((uint64_t{1} << 32) * 1000));
    bus().clearSent();
    EXPECT_TRUE(bus().sent().empty());
}

TEST_F(DrennicTestBus, ConcurrentTransmittersAreAllDeliveredOnce) {
    std::atomic<int> heard{0};
    const auto id = bus().attach([&](const CANFrame&) { ++heard; });
    constexpr int kThreads = 4;
    constexpr int kFramesEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kFramesEach; ++i) {
                const CANFrame frame = makeFrame(0x200 + static_cast<uint32_t>(t), {static_cast<uint8_t>(i)});
                ResultBlock result{};
                CAN_Transmit(&frame, &result);
            }
        });
    }
    EXPECT_TRUE(bus().waitForSent(kThreads * kFramesEach, 30000));
    for (auto& thread : threads) {
        thread.join();
    }
    bus().detach(id);
    EXPECT_EQ(heard.load(), kThreads * kFramesEach);
    EXPECT_EQ(bus().sent().size(), static_cast<std::size_t>(kThreads * kFramesEach));
}

TEST_F(DrennicTestBus, DetachWaitsForARunningCallOnAnotherThread) {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    const auto id = bus().attach([&](const CANFrame&) {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        finished = true;
    });
    std::thread sender([] { transmit(makeFrame(0x80, {})); });
    while (!entered) {
        std::this_thread::yield();
    }
    bus().detach(id);
    EXPECT_TRUE(finished);  // the listener's owner may now go away safely
    sender.join();
}

TEST_F(DrennicTestBus, StatusWordIsReportedBySlotStatus) {
    bus().setStatus(3);
    uint32_t status = 0;
    ResultBlock result = patternedResult();
    currentDriver()->ops.Status(&status, &result);
    EXPECT_EQ(status, 3u);
    EXPECT_EQ(result.code, DRN_OK);
}

TEST_F(DrennicLibrary, OnlyOneTestBusExistsAtATime) {
    TestBus first;
    EXPECT_THROW(TestBus second, std::logic_error);
}

TEST_F(DrennicLibrary, DestroyingTheTestBusShutsTheLibraryOnItDown) {
    {
        TestBus bus;
        CANopenDLL_Startup(1, u"");
        ASSERT_TRUE(libraryStatus().driverPresent);
    }
    EXPECT_FALSE(libraryStatus().started);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
}

TEST_F(DrennicLibrary, DestroyingTheTestBusPutsTheServerClientBack) {
    {
        TestBus bus;
    }
    const DriverFill current = replaceDriverFill(DriverKind::ServerClient, nullptr);
    (void)replaceDriverFill(DriverKind::ServerClient, current);
    EXPECT_EQ(current, fillServerClientOps);
}

} // namespace
} // namespace drennic::test
