// The LSS fast scan as the engine thread sees it.
#pragma once

#include <drennic/drennic.h>

namespace drennic {

// Engine thread, for every received frame: wakes the scan thread on the frames it waits for.
void LSSFastScan_OnFrame(const CANFrame& frame);

} // namespace drennic
