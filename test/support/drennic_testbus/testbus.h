// An in-memory CAN bus for tests, standing in for the CAN server client as the mode-1 driver.
// Built into drennic_testable only; libdrennic.so does not contain it.
//
// Usage:
//     drennic::TestBus bus;                     // from now on CANopenDLL_Startup(1, ...) selects it
//     CANopenDLL_Startup(1, u"");
//     auto id = bus.attach([&](const CANFrame& f) { node.onFrame(f); });  // a simulated device
//     CAN_Transmit(&frame, &result);            // reaches every listener, in attach order
//     bus.inject(answer);                       // arrives through the driver's Receive slot
//
// Frames the library transmits are recorded (sent()), delivered synchronously to the attached
// listeners on the transmitting thread before the transmission returns, and, while self-reception is
// on, queued for reception as well. Listeners run without any bus lock held: they may inject answers
// (which then queue behind the echo of the frame they answer) and may transmit themselves. Received
// and sent frames carry time stamps of the monotonic clock in ms and µs (platform::monotonicUs).
//
// The driver: one hardware "TestBus" (handle 1) with one network "TestNet" (handle 1, 500 kbit/s);
// AddNetwork refuses (-1) a null name, a bit rate of 0 or another hardware handle; Initialize
// starts the engine; Receive waits at most 10 ms for a frame; Transmit refuses lengths above 8 (-4)
// and, as the server client's, every frame (-8) from the end of Close to the next Initialize or InitDriver.
// Self-reception is off until setSelfReceive(true) or Hardware_SelfReceive(1).
#pragma once

#include <drennic/drennic.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace drennic {

class TestBus {
public:
    using Listener = std::function<void(const CANFrame&)>;
    using ListenerId = uint64_t;

    // Installs the bus as the mode-1 driver; only one TestBus may exist at a time (std::logic_error).
    TestBus();
    // Shuts the library down when it runs on this bus, then puts the mode-1 driver back.
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    // A device on the bus: gets every frame the library transmits.
    [[nodiscard]] ListenerId attach(Listener listener);
    // Returns once no call of that listener runs any more (a listener may detach itself).
    void detach(ListenerId id);

    // A frame arriving from the bus now: time-stamped, queued for the driver's Receive slot.
    void inject(const CANFrame& frame);
    // The same with the time the frame was on the bus (monotonic clock, µs): a simulated device's own
    // time, so that a late delivery does not shift its stamp.
    void inject(const CANFrame& frame, uint64_t atUs);
    // Frames transmitted by the library so far (oldest first), with their transmit time stamps.
    [[nodiscard]] std::vector<CANFrame> sent() const;
    void clearSent();
    // Waits (at most timeoutMs) until at least `count` frames have been sent; true when they were.
    [[nodiscard]] bool waitForSent(std::size_t count, uint32_t timeoutMs) const;
    // Frames waiting to be received.
    [[nodiscard]] std::size_t pendingReceive() const;

    // Transmitted frames come back as received frames (as the CAN server echoes them).
    void setSelfReceive(bool on);
    [[nodiscard]] bool selfReceive() const;
    // The next `count` transmissions (all when count < 0) fail with `code` and `message` and reach
    // nobody; cleared by clearTransmitFailure.
    void setTransmitFailure(int32_t code, std::u16string_view message, int count = -1);
    void clearTransmitFailure();
    // The word the Status slot reports.
    void setStatus(uint32_t status);

    // What the library asked of the driver.
    struct Counters {
        int initDriver = 0;
        int closeDriver = 0;
        int initialize = 0;
        int close = 0;
        int reset = 0;
    };
    [[nodiscard]] Counters counters() const;
    [[nodiscard]] bool initialized() const;  // between Initialize and Close
    // The network the library is connected to (0: none) and its bit rate in kbit/s (0: none).
    [[nodiscard]] uint32_t currentNetwork() const;
    [[nodiscard]] uint32_t currentBaudKbit() const;
    [[nodiscard]] bool errorFrames() const;
    [[nodiscard]] bool oneShot() const;

    // The bus's state, shared with the driver's operations (opaque to tests).
    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace drennic
