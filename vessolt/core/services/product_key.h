#pragma once
// The program's per-user registry key; every window and service keeps its settings below it.

namespace ostrel::vessolt {

inline constexpr const char* kProductKey = "Software\\Ostrel\\CANopen Norbix Eval";

} // namespace ostrel::vessolt
