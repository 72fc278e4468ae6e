// SDO transfers are not in place yet: each request ends at once with -5 "Not supported".
#include "sdo_client.h"

#include "engine_context.h"

namespace drennic {

void sdoClientStart(EngineContext& context) { engineFinish(context, DRN_REQUEST_FAILED, u"Not supported"); }

void sdoClientOnFrame(EngineContext&, const CANFrame&) {}

void sdoClientOnTick(EngineContext&, uint32_t) {}

void sdoClientOnCancel(EngineContext&) {}

} // namespace drennic
