#pragma once
// The settings of a timing test in the per-user registry (with the window's placement) and in a
// test configuration file's section. Both stores hold the same keys; results are never stored.
#include <cstdint>
#include <optional>
#include <string>

#include "timing_config.h"
#include "timing_variant.h"

namespace ostrel::platform {
class IniFile;
}

namespace ostrel::vessolt {

class TLog;

// What the window supplies when saving and applies after loading. State 0 normal, 2 maximized;
// a minimized window is restored by the window before it fills this in.
struct WindowPlacement {
    std::optional<int32_t> state, top, left, width, height;
};

// "\Software\Ostrel\CANopen Norbix Eval\" followed by the display name.
[[nodiscard]] std::string timingRegistryPath(const TimingVariant& variant);

// Writes the settings and the placement; false when the key cannot be opened (nothing written).
bool saveTimingSettings(const TimingVariant& variant, const TimingTestConfig& config, const WindowPlacement& window);
// Loading takes a value only when the settings page would accept it; `log` (may be null) names each
// value refused.

// Overlays what the registry holds on config; returns the stored placement. The derived rows are
// set whether or not the key could be opened.
WindowPlacement loadTimingSettings(const TimingVariant& variant, TimingTestConfig& config, TLog* log);

void saveTimingTestConfig(const TimingVariant& variant, const TimingTestConfig& config, platform::IniFile& file);
// The section's keys over config (missing or refused keys keep the field), then derived rows.
void loadTimingTestConfig(const TimingVariant& variant, TimingTestConfig& config, const platform::IniFile& file,
                          TLog* log);

} // namespace ostrel::vessolt
