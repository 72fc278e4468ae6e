// CANopenDLL_Startup and CANopenDLL_Shutdown.
#include "engine/engine.h"
#include "engine/library_state.h"

#include <drennic/drennic.h>

extern "C" {

void CANopenDLL_Startup(int32_t mode, const drn_char16* driverName) {
    if (drennic::engineStoppingOnThisThread()) {
        return;  // a last completion while the library closes: the driver cannot be changed now
    }
    try {
        drennic::startLibrary(mode, driverName);
    } catch (...) {
        // Out of memory while selecting: the library stays as it was; hardware calls report no driver.
    }
}

void CANopenDLL_Shutdown(void) {
    if (drennic::engineStoppingOnThisThread()) {
        return;  // being closed already
    }
    try {
        drennic::stopLibrary();
    } catch (...) {
    }
}

} // extern "C"
