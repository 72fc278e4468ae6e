#include "drivers.h"

namespace drennic {

// The the CAN server client driver is not in place yet: selecting it gives a table whose operations report the
// results of a missing driver.
void fillServerClientOps(DriverOps& ops) { ops = unavailableDriverOps(); }

} // namespace drennic
