// The LSS fast scan is not in place yet: it starts and stops nothing and ignores frames.
#include "lss_fastscan.h"

#include "service_modules.h"

namespace drennic {

void fastScanStartup() {}

void fastScanShutdown() {}

void LSSFastScan_OnFrame(const CANFrame&) {}

} // namespace drennic
