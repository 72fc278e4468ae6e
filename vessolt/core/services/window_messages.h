#pragma once
// Message numbers that the services post to registered windows.
#include <cstdint>

namespace ostrel::vessolt {

inline constexpr uint32_t WM_LOGCHANGED = 0x7F00;
inline constexpr uint32_t WM_TESTLISTCHANGED = 0x7F10;
inline constexpr uint32_t WM_TESTRUNSTATE = 0x7F11;
inline constexpr uint32_t WM_DEVICESUMMARYCHANGED = 0x7F20;

} // namespace ostrel::vessolt
