// The LSS services run by the engine thread: find slave (4), set configuration (5), configure bit
// timing (7), activate bit timing (8).
#pragma once

#include <drennic/drennic.h>

#include <cstdint>

namespace drennic {

struct EngineContext;

// The working state, part of the engine context; reset when a request is taken up.
struct LssState {
    uint32_t stepCount = 0;
};

void lssStart(EngineContext& context);
void lssOnFrame(EngineContext& context, const CANFrame& frame);
void lssOnTick(EngineContext& context, uint32_t elapsedMs);
void lssOnCancel(EngineContext& context);

} // namespace drennic
