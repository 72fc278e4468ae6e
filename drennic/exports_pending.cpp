// Exports and services whose implementation is not in place yet. Each export links and answers as the
// library does without a driver: requests write -7 to `out`, results get -7, nothing is sent.
#include "result_block.h"
#include "service_modules.h"

#include <drennic/drennic.h>

extern "C" {

} // extern "C"
