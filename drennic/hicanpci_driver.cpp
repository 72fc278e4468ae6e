#include "drivers.h"

namespace drennic {

// The HICANPCI driver is not in place yet: selecting it gives a table whose operations report the
// results of a missing driver.
void fillHiCanPciOps(DriverOps& ops) { ops = unavailableDriverOps(); }

} // namespace drennic
