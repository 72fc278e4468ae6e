// The SDO monitor: captures SDO uploads that another client performs on the bus, without sending
// anything. Up to kMonitorSlotCount slots, handed out in order and never given back; the engine
// thread steps the running ones with every received frame.
#pragma once

#include <drennic/drennic.h>

#include <cstddef>

namespace drennic {

inline constexpr std::size_t kMonitorSlotCount = 200;

// Engine thread, for every received frame: steps the running monitor slots and, for each upload
// that completed, calls the registered MonitorDataCallback (without the monitor's lock held).
void SDOMonitor_OnFrame(const CANFrame& frame);

// Every slot back to unused and the callback cleared (tests; slots handed out before become invalid).
void resetSdoMonitor();

} // namespace drennic
