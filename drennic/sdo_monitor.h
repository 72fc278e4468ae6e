// The SDO monitor as the engine thread sees it.
#pragma once

#include <drennic/drennic.h>

namespace drennic {

// Engine thread, for every received frame: steps the running monitor slots.
void SDOMonitor_OnFrame(const CANFrame& frame);

} // namespace drennic
