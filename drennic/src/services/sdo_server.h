// The library's own SDO server (the PC as a node: boot-up, identity objects and the SDO channel
// object 0x1F10) and the dynamic SDO channel, as the engine thread sees them. Started and stopped by
// CANopenServer_Startup and CANopenServer_Shutdown; reset at library start (sdoServerReset).
#pragma once

#include <drennic/drennic.h>

namespace drennic {

// Engine thread, for every received frame; does nothing while the server is off.
void SDOServer_HandleRequest(const CANFrame& frame);

// Dynamic SDO channels: ready unless the server runs, channels are on, no channel has been granted
// and the wait has not been given up.
[[nodiscard]] bool SDOServer_IsChannelReady();
// Asks the SDO manager for a channel (only when not ready).
void SDOServer_RequestChannel();
// The wait for a channel took too long: later requests no longer ask, until the next boot-up.
void SDOServer_GiveUpChannelWait();

} // namespace drennic
