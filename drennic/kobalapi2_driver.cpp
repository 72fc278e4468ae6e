#include "drivers.h"

namespace drennic {

// The Kobalapi2 driver is not in place yet: selecting it gives a table whose operations report the
// results of a missing driver.
void fillKobalapi2Ops(DriverOps& ops) { ops = unavailableDriverOps(); }

} // namespace drennic
