// The library's own SDO server (the PC as a node: boot-up, identity objects and the SDO channel
// object 0x1F10) and the dynamic SDO channel, as the engine thread sees them. Started and stopped by
// CANopenServer_Startup and CANopenServer_Shutdown; reset at library start (sdoServerReset).
#pragma once

#include "engine/driver_table.h"

#include <drennic/drennic.h>

#include <cstdint>

namespace drennic {

// Engine thread, for every received frame; does nothing while the server is off. The server answers
// on its node's default SDO channel (0x600/0x580 + node id) whatever COB-ID rule the client uses,
// and never answers a request the PC sent itself: `ownFrame` when the driver knows the frame for
// one of the library's own, else the echo of a noted transmission.
void SDOServer_HandleRequest(const CANFrame& frame, bool ownFrame);
// Every thread, just before the library transmits a standard data frame through `ops`: remembers
// a request of the PC to the server when the driver's self-reception will hand it back unmarked,
// so that its echo is not taken for another master's request. Returns the note's token (0: none);
// a frame that did not go out withdraws it, as no echo will come.
[[nodiscard]] uint64_t SDOServer_NoteTransmission(const DriverOps& ops, uint32_t id, const uint8_t* data,
                                                  uint8_t length);
void SDOServer_WithdrawTransmission(uint64_t token);

// Dynamic SDO channels: ready unless the server runs, channels are on, no channel has been granted
// and the wait has not been given up.
[[nodiscard]] bool SDOServer_IsChannelReady();
// Asks the SDO manager for a channel (only when not ready).
void SDOServer_RequestChannel();
// The wait for a channel took too long: later requests no longer ask, until the next boot-up.
void SDOServer_GiveUpChannelWait();

} // namespace drennic
