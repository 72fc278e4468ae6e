#include "engine/result_block.h"

#include <platform/utf16.h>

namespace drennic {

void setResult(ResultBlock* result, int32_t code, std::u16string_view message) noexcept {
    if (result == nullptr) {
        return;
    }
    result->code = code;
    ostrel::platform::copyBounded(result->message, DRN_MESSAGE_CHARS, message);
}

void setResultCode(ResultBlock* result, int32_t code) noexcept {
    if (result != nullptr) {
        result->code = code;
    }
}

std::u16string_view resultMessage(const ResultBlock& result) noexcept {
    std::size_t length = 0;
    while (length < DRN_MESSAGE_CHARS && result.message[length] != 0) {
        ++length;
    }
    return {result.message, length};
}

} // namespace drennic
