// The hardware exports: each forwards to its driver slot, or gives the no-driver result. A caller's
// result block is always written: a zeroed block left as it was would read as success.
#include "engine/engine.h"
#include "engine/library_state.h"
#include "engine/result_block.h"

#include <drennic/drennic.h>

using drennic::currentDriver;
using drennic::engineStoppingOnThisThread;

extern "C" {

int32_t Hardware_EnumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    const auto driver = currentDriver();
    return driver ? driver->ops.EnumerateHardware(hardware, maxCount) : DRN_NOT_INITIALIZED;
}

int32_t Hardware_EnumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    const auto driver = currentDriver();
    return driver ? driver->ops.EnumerateNetworks(networks, maxCount, hardwareHandle) : DRN_NOT_INITIALIZED;
}

int32_t Hardware_AddNetwork(const drn_char16* name, uint32_t baudKbit, uint32_t hardwareHandle) {
    const auto driver = currentDriver();
    if (!driver) {
        return DRN_NOT_INITIALIZED;
    }
    const int32_t handle = driver->ops.AddNetwork(name, baudKbit, hardwareHandle);
    return handle == -1 ? DRN_BAD_PARAMETERS : handle;
}

int32_t Hardware_DeleteNetwork(uint32_t networkHandle) {
    const auto driver = currentDriver();
    return driver ? driver->ops.DeleteNetwork(networkHandle) : DRN_NOT_INITIALIZED;
}

int32_t Hardware_GetBaudrate(uint32_t networkHandle) {
    const auto driver = currentDriver();
    return driver ? driver->ops.GetBaudrate(networkHandle) : DRN_NOT_INITIALIZED;
}

void Hardware_Initialize(uint32_t networkHandle, const drn_char16* clientName, uint32_t windowHandle,
                         uint32_t reserved, ResultBlock* result) {
    if (engineStoppingOnThisThread()) {
        drennic::setResult(result, DRN_NOT_INITIALIZED, drennic::kHardwareNotInitialized);
        return;
    }
    if (const auto driver = currentDriver()) {
        driver->ops.Initialize(networkHandle, clientName, windowHandle, reserved, result);
    } else {
        drennic::setResult(result, DRN_NOT_INITIALIZED, drennic::kHardwareNotInitialized);
    }
}

void Hardware_SwitchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    if (engineStoppingOnThisThread()) {
        drennic::setResult(result, DRN_NOT_INITIALIZED, drennic::kHardwareNotInitialized);
        return;
    }
    if (const auto driver = currentDriver()) {
        driver->ops.SwitchNetworks(connect, networkHandle, result);
    } else {
        drennic::setResult(result, DRN_NOT_INITIALIZED, drennic::kHardwareNotInitialized);
    }
}

void Hardware_Close(void) {
    if (engineStoppingOnThisThread()) {
        return;  // being closed already
    }
    if (const auto driver = currentDriver()) {
        driver->ops.Close();
    }
}

void Hardware_Reset(void) {
    if (const auto driver = currentDriver()) {
        driver->ops.Reset();
    }
}

void Hardware_GetCurrentTime(CANTimeStamp* time) {
    if (const auto driver = currentDriver()) {
        driver->ops.GetCurrentTime(time);
    } else if (time != nullptr) {
        *time = CANTimeStamp{};  // as a failed query
    }
}

int32_t Hardware_ErrorFrames(int32_t on) {
    const auto driver = currentDriver();
    return driver ? driver->ops.ErrorFrames(on) : 0;
}

void Hardware_OneShot(int32_t on) {
    if (const auto driver = currentDriver()) {
        driver->ops.OneShot(on);
    }
}

void Hardware_SelfReceive(int32_t on, ResultBlock* result) {
    if (const auto driver = currentDriver()) {
        driver->ops.SelfReceive(on, result);
    } else {
        drennic::setResult(result, DRN_NOT_INITIALIZED, drennic::kHardwareNotInitialized);
    }
}

int32_t Hardware_IsNetworkFunctional(void) {
    const auto driver = currentDriver();
    return driver ? driver->ops.IsNetworkFunctional() : 0;
}

} // extern "C"
