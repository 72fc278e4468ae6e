// The LSS services are not in place yet: each request ends at once with -5 "Not supported".
#include "lss_services.h"

#include "engine_context.h"

namespace drennic {

void lssStart(EngineContext& context) { engineFinish(context, DRN_REQUEST_FAILED, u"Not supported"); }

void lssOnFrame(EngineContext&, const CANFrame&) {}

void lssOnTick(EngineContext&, uint32_t) {}

void lssOnCancel(EngineContext&) {}

} // namespace drennic
