// The LSS fast scan: finds unconfigured LSS slaves one after another, gives each a node id, stores it
// and waits for its boot-up. It runs on a thread of its own, transmits through CAN_Transmit and
// learns about the bus from the engine thread's frame hook, so it relies on its own frames coming
// back (the CAN server echoes them; a directly driven interface needs self-reception on).
//
// Its start and stop (fastScanStartup, fastScanShutdown) are in service_modules.h; the export
// LSSFastScan_ScanAndConfig is in the public header.
#pragma once

#include <drennic/drennic.h>

namespace drennic {

// Engine thread, for every received frame: wakes the scan thread on the frames it waits for.
void LSSFastScan_OnFrame(const CANFrame& frame);

// Engine thread, when the engine stops (the driver is still open): a running scan sends nothing more
// and ends with -7; a slave it may have selected goes back to waiting first.
void LSSFastScan_OnEngineStop();

// Whether a scan has been started and has not finished. The engine refuses LSS requests meanwhile:
// their frames would meet the scan's on the same identifiers. A scan sets this before it looks at the
// engine's request slot, and the engine reads it under its request lock, so a scan and an LSS request
// started at the same time never both go ahead.
[[nodiscard]] bool fastScanRunning() noexcept;

} // namespace drennic
