// SDO client transfers run by the engine thread: download (request 1) and upload (request 2).
#pragma once

#include <drennic/drennic.h>

#include <cstdint>

namespace drennic {

struct EngineContext;

// The transfer's working state, part of the engine context; reset when a request is taken up.
struct SdoTransfer {
    uint32_t remaining = 0;
    uint8_t toggle = 0;
};

void sdoClientStart(EngineContext& context);
void sdoClientOnFrame(EngineContext& context, const CANFrame& frame);
void sdoClientOnTick(EngineContext& context, uint32_t elapsedMs);
void sdoClientOnCancel(EngineContext& context);

} // namespace drennic
