// NMT commands (CANopen_NMT, sent on the caller's thread), and the network scan (request 3) and mass
// expedited write (request 6) run by the engine thread.
#pragma once

#include "engine/engine_settings.h"

#include <drennic/drennic.h>

#include <cstdint>

namespace drennic {

struct EngineContext;

// The working state, part of the engine context; reset when a request is taken up.
struct ScanState {
    SdoChannelRule savedRule;  // the caller's COB-ID rule while the scan uses rule 1
    bool ruleSwitched = false;
    uint32_t collectStartMs = 0;  // when the answers began to be collected
};

// Answers on the SDO response identifiers stamp the time, so steady foreign traffic there would keep
// the collection open for ever; it ends at the latest after this long (ms) with what it has.
[[nodiscard]] uint32_t scanCollectionCapMs() noexcept;

// The NMT command byte for CANopen_NMT's `type` (types 3 and 4 both reset the node; unknown types stop).
[[nodiscard]] uint8_t nmtCommandByte(uint32_t type) noexcept;

void scanStart(EngineContext& context);
void scanOnFrame(EngineContext& context, const CANFrame& frame);
void scanOnTick(EngineContext& context, uint32_t elapsedMs);
void scanOnCancel(EngineContext& context);

} // namespace drennic
