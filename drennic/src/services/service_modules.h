// The services that CANopenDLL_Startup starts and CANopenDLL_Shutdown stops, in that order.
#pragma once

namespace drennic {

void configWriterStartup();   // the configuration writer's events
void configWriterShutdown();  // its events and buffers
void fastScanStartup();       // the LSS fast scan module
void fastScanShutdown();
void sdoServerReset();        // the SDO server's state at library start
void sdoServerShutdown();     // switch the SDO server off and wait until it is idle

} // namespace drennic
