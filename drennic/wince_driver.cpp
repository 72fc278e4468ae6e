#include "drivers.h"

namespace drennic {

// The WinCE driver is not in place yet: selecting it gives a table whose operations report the
// results of a missing driver.
void fillWinCEOps(DriverOps& ops) { ops = unavailableDriverOps(); }

} // namespace drennic
