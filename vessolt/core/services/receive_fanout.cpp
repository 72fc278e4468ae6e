#include "services/receive_fanout.h"

#include "services/canopen_api.h"

namespace ostrel::vessolt {

ReceiveFanout::~ReceiveFanout() {
    if (registeredWith_)
        registeredWith_->eventReceive(nullptr, nullptr);
}

void ReceiveFanout::registerWith(CanopenApi& api) {
    registeredWith_ = &api;
    api.eventReceive(&TraceReceiveCallback, this);
}

void ReceiveFanout::attach(ReceiveStageSlot slot, ReceiveStage& stage) {
    Slot& s = slots_[static_cast<size_t>(slot)];
    std::lock_guard lock(s.mutex);
    s.stage = &stage;
}

void ReceiveFanout::detach(ReceiveStageSlot slot) {
    Slot& s = slots_[static_cast<size_t>(slot)];
    std::lock_guard lock(s.mutex);
    s.stage = nullptr;
}

void ReceiveFanout::deliver(const CANFrame& frame, bool answersRequest) {
    for (Slot& s : slots_) {
        // Only the engine thread delivers; the lock is contended only by a detach, which waits for
        // this call and then returns at once.
        std::lock_guard lock(s.mutex);
        if (s.stage)
            s.stage->onReceive(frame, answersRequest);
    }
}

void TraceReceiveCallback(const CANFrame* frame, int32_t answersRequest, void* user) {
    if (frame && user)
        static_cast<ReceiveFanout*>(user)->deliver(*frame, answersRequest != 0);
}

} // namespace ostrel::vessolt
