// Network scan (request 3) and mass expedited write (request 6) run by the engine thread.
#pragma once

#include "engine_settings.h"

#include <drennic/drennic.h>

#include <cstdint>

namespace drennic {

struct EngineContext;

// The working state, part of the engine context; reset when a request is taken up.
struct ScanState {
    SdoChannelRule savedRule;  // the caller's COB-ID rule while the scan uses rule 1
    bool ruleSwitched = false;
};

void scanStart(EngineContext& context);
void scanOnFrame(EngineContext& context, const CANFrame& frame);
void scanOnTick(EngineContext& context, uint32_t elapsedMs);
void scanOnCancel(EngineContext& context);

} // namespace drennic
