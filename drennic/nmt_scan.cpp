// Network scan and mass write are not in place yet: each request ends at once with -5 "Not supported".
#include "nmt_scan.h"

#include "engine_context.h"

namespace drennic {

void scanStart(EngineContext& context) { engineFinish(context, DRN_REQUEST_FAILED, u"Not supported"); }

void scanOnFrame(EngineContext&, const CANFrame&) {}

void scanOnTick(EngineContext&, uint32_t) {}

void scanOnCancel(EngineContext&) {}

} // namespace drennic
