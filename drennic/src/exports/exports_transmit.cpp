// CAN_Transmit, the event registrations and the post-transmit delay.
#include "engine/engine_context.h"
#include "engine/library_state.h"
#include "engine/result_block.h"

#include <drennic/drennic.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <string_view>

using namespace drennic;

namespace {

// "Invalid frame length 9: a CAN frame carries at most 8 data bytes", without allocating.
void refuseLength(ResultBlock* result, uint8_t length) {
    constexpr std::u16string_view kBefore = u"Invalid frame length ";
    constexpr std::u16string_view kAfter = u": a CAN frame carries at most 8 data bytes";
    char digits[3];
    const char* digitsEnd = std::to_chars(std::begin(digits), std::end(digits), unsigned{length}).ptr;
    std::array<char16_t, 80> text{};
    auto out = std::copy(kBefore.begin(), kBefore.end(), text.begin());
    out = std::copy(static_cast<const char*>(digits), digitsEnd, out);
    out = std::copy(kAfter.begin(), kAfter.end(), out);
    setResult(result, DRN_REQUEST_FAILED, std::u16string_view(text.data(), static_cast<std::size_t>(out - text.begin())));
}

} // namespace

extern "C" {

void CAN_Transmit(const CANFrame* frame, ResultBlock* result) {
    if (frame == nullptr) {
        setResult(result, DRN_BAD_PARAMETERS);
        return;
    }
    if (frame->length > 8) {
        refuseLength(result, frame->length);
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
