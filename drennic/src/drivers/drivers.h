// The drivers the library can select; each fills the whole table.
#pragma once

#include "engine/driver_table.h"

namespace drennic {

void fillServerClientOps(DriverOps& ops);   // mode 1: the CAN server
void fillKobalapi2Ops(DriverOps& ops);      // "KOBALAPI2.DLL"
void fillKobalPlsapi2Ops(DriverOps& ops);   // "KOBALPLSAPI2.DLL"
void fillHiCanPciOps(DriverOps& ops);       // "HICANPCI.DLL"
void fillWinCEOps(DriverOps& ops);          // a library whose name contains "WINCE"

} // namespace drennic
