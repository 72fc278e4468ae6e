#pragma once
// The program's one receive callback. The CANopen library hands every received frame to it on its
// engine thread; it passes the frame on to the periodic transmission table, the trace buffer and the
// software support module, in that order. Each of them attaches its own stage and detaches it before
// it goes away.
#include <drennic/drennic.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace ostrel::vessolt {

class CanopenApi;

// One receiver of frames. Runs on the engine thread: it must not block for long, and must not attach
// or detach stages itself.
class ReceiveStage {
public:
    virtual ~ReceiveStage() = default;
    // answersRequest: the library marked the frame as the answer to the request its engine is running.
    virtual void onReceive(const CANFrame& frame, bool answersRequest) = 0;
};

enum class ReceiveStageSlot : size_t { Transmit = 0, Trace = 1, SoftwareSupport = 2 };

class ReceiveFanout {
public:
    static constexpr size_t kSlots = 3;

    ReceiveFanout() = default;
    // Switches the callback off when it was registered. The library does not wait for a call that
    // is already running, so the fan-out must outlive the engine thread (close the hardware first).
    ~ReceiveFanout();
    ReceiveFanout(const ReceiveFanout&) = delete;
    ReceiveFanout& operator=(const ReceiveFanout&) = delete;

    // Registers TraceReceiveCallback with this fan-out as its user value.
    void registerWith(CanopenApi& api);

    // Replaces whatever stage the slot held.
    void attach(ReceiveStageSlot slot, ReceiveStage& stage);
    // Returns once no call of the slot's stage runs any more; afterwards the stage gets no frame.
    void detach(ReceiveStageSlot slot);

    // Hands the frame to each attached stage in slot order.
    void deliver(const CANFrame& frame, bool answersRequest);

private:
    struct Slot {
        std::mutex mutex;  // held across a call, so that detach waits for it
        ReceiveStage* stage = nullptr;
    };
    std::array<Slot, kSlots> slots_;
    CanopenApi* registeredWith_ = nullptr;
};

// The ReceiveCallback registered with the library; `user` is the ReceiveFanout.
void TraceReceiveCallback(const CANFrame* frame, int32_t answersRequest, void* user);

} // namespace ostrel::vessolt
