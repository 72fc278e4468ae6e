// CAN_Transmit, the event registrations and the post-transmit delay.
#include "engine/engine_context.h"
#include "engine/library_state.h"
#include "engine/result_block.h"

#include <drennic/drennic.h>

using namespace drennic;

extern "C" {

void CAN_Transmit(const CANFrame* frame, ResultBlock* result) {
    if (frame == nullptr) {
        setResult(result, DRN_BAD_PARAMETERS);
        return;
    }
    ResultBlock local{};
    if (const auto driver = currentDriver()) {
        driverTransmit(driver->ops, frame->id, frame->length, frame->data, frame->flags, &local);
    } else {
        local.code = DRN_NOT_INITIALIZED;
    }
    if (local.code == DRN_OK) {
        postTransmitPause();
        setResultCode(result, DRN_OK);  // the caller's message is left as it was
    } else if (local.code == DRN_TRANSMIT_ERROR) {
        setResult(result, DRN_REQUEST_FAILED, resultMessage(local));
    } else {
        setResult(result, DRN_REQUEST_FAILED, kHardwareNotInitialized);
    }
}

void Event_Receive(ReceiveCallback callback, void* user) { setReceiveHandler(callback, user); }

void Event_MajorError(MajorErrorCallback callback, void* user) { setMajorErrorHandler(callback, user); }

void Event_Transmit(TransmitCallback callback, void* user) {
    if (const auto driver = currentDriver()) {
        driver->ops.SetTransmitCallback(callback, user);
    }
}

void CANopen_SetPostTransmitDelay(uint32_t ms) { setPostTransmitDelayMs(ms); }

} // extern "C"
