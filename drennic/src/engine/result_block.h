// Writing ResultBlocks at the library's boundary.
#pragma once

#include <drennic/drennic.h>

#include <cstdint>
#include <string_view>

namespace drennic {

inline constexpr std::u16string_view kHardwareNotInitialized = u"Hardware not initialized";
inline constexpr std::u16string_view kTransmitError = u"Transmit error";

// Code and message together (the message is cut to 299 characters); nothing for a null block.
void setResult(ResultBlock* result, int32_t code, std::u16string_view message = {}) noexcept;
// The code alone; the message stays as it was.
void setResultCode(ResultBlock* result, int32_t code) noexcept;
[[nodiscard]] std::u16string_view resultMessage(const ResultBlock& result) noexcept;

} // namespace drennic
