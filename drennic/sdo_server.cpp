// The SDO server is not in place yet: it never runs, so every channel counts as ready.
#include "sdo_server.h"

#include "service_modules.h"

namespace drennic {

void sdoServerReset() {}

void sdoServerShutdown() {}

void SDOServer_HandleRequest(const CANFrame&) {}

bool SDOServer_IsChannelReady() { return true; }

void SDOServer_RequestChannel() {}

void SDOServer_GiveUpChannelWait() {}

} // namespace drennic
