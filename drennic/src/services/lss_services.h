// The LSS services run by the engine thread: find slave (4), set configuration (5), configure bit
// timing (7), activate bit timing (8). Master frames go on 0x7E5, slave answers come on 0x7E4.
#pragma once

#include <drennic/drennic.h>

#include <cstdint>
#include <string_view>

namespace drennic {

struct EngineContext;

inline constexpr uint32_t kLssMasterId = 0x7E5;
inline constexpr uint32_t kLssSlaveId = 0x7E4;

// A slave's answer to "configure node id" with error code 1.
inline constexpr std::u16string_view kLssNodeIdOutOfRange = u"Node ID out of range";

// The working state, part of the engine context; reset when a request is taken up.
struct LssState {
    // Activate bit timing: the delay sent to the slaves, kept for the callback and the switch back.
    uint32_t switchDelayMs = 0;
    // A switch state global (configuration) or selective went out after the last switch back to
    // waiting: some slave may be in configuration state.
    bool slavesMayBeConfiguring = false;
    // Find: the inquiry whose answer is awaited; every inquiry before it has had its one answer.
    uint8_t inquiry = 0;
};

// A find or a fast scan that heard two answers to one request.
inline constexpr std::u16string_view kLssMoreThanOneSlave = u"More than one LSS slave answered";

void lssStart(EngineContext& context);
void lssOnFrame(EngineContext& context, const CANFrame& frame);
void lssOnTick(EngineContext& context, uint32_t elapsedMs);
// The request is ended from outside (cancel, engine stop; the driver is still open): the slaves go
// back to waiting. Once activate bit timing has gone out the slaves switch whatever happens, so the
// rest of that sequence runs here first: the switch callback at the switch delay, the switch back to
// waiting once the slaves are on the bus again.
void lssOnCancel(EngineContext& context);

} // namespace drennic
