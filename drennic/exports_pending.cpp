// Exports and services whose implementation is not in place yet. Each export links and answers as the
// library does without a driver: requests write -7 to `out`, results get -7, nothing is sent.
#include "result_block.h"
#include "service_modules.h"

#include <drennic/drennic.h>

namespace {

void refuse(int32_t* out) {
    if (out != nullptr) {
        *out = DRN_NOT_INITIALIZED;
    }
}

} // namespace

extern "C" {

void CANopenMonitor_Start(MonitorSlot*) {}

void CANopenMonitor_Stop(MonitorSlot*) {}

MonitorSlot* CANopenMonitor_SDO(uint32_t, uint32_t, uint16_t, uint8_t, uint8_t*, uint32_t) { return nullptr; }

void CANopenMonitor_EventHaveData(MonitorDataCallback, void*) {}

void CANopenServer_Startup(uint8_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, int32_t* out) { refuse(out); }

void CANopenServer_Shutdown(void) {}

void LSSFastScan_ScanAndConfig(uint32_t, uint32_t, FastScanResult*, uint32_t, uint8_t, uint32_t, ProgressCallback,
                               CompletionCallback, void*, int32_t* out) {
    refuse(out);
}

} // extern "C"
