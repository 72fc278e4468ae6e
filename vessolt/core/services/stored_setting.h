#pragma once
// A number read back from the registry or a test configuration file is taken only when its settings
// page would accept it, so that what the page shows is what runs. A refused value leaves the setting
// as it was and is named in the log.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::platform {
class RegistryKey;
}

namespace ostrel::vessolt {

class TLog;

// What the page accepts of one value, and how the log says it ("1 to 104857").
struct StoredRule {
    std::function<bool(int64_t)> accepts;
    std::string accepted;
};

// `text` is the value as stored; absent, empty or blank counts as not stored (no log line). An
// integer (the INI reading rule) that the rule accepts is returned; anything else is nullopt and one
// log line naming `where` (the file's section or the registry key), the key and the value.
[[nodiscard]] std::optional<int32_t> takeStoredInteger(const std::optional<std::string>& text,
                                                       std::string_view where, std::string_view key,
                                                       const StoredRule& rule, TLog* log);

// Present and not blank.
[[nodiscard]] bool storedValueGiven(const std::optional<std::string>& text);

// `where` for the two stores.
[[nodiscard]] std::string fileSectionPlace(std::string_view section);
[[nodiscard]] std::string registryKeyPlace(std::string_view path);

// Registry reads that say why a stored setting falls back to its default: a damaged values file
// (read as an empty key) gets one log line naming the key, a value of another type one naming the
// key and the value. Both then read as absent.
void noteDamagedRegistryKey(const platform::RegistryKey& key, TLog* log);
[[nodiscard]] std::optional<int32_t> readRegistryInteger(const platform::RegistryKey& key, std::string_view name,
                                                         TLog* log);
[[nodiscard]] std::optional<std::string> readRegistryString(const platform::RegistryKey& key, std::string_view name,
                                                            TLog* log);

} // namespace ostrel::vessolt
