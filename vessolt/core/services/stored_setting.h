#pragma once
// A number read back from the registry or a test configuration file is taken only when its settings
// page would accept it, so that what the page shows is what runs. A refused value leaves the setting
// as it was and is named in the log.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ostrel::platform {
class IniFile;
class RegistryKey;
}

namespace ostrel::vessolt {

class TLog;

// What the page accepts of one value, and how the log says it ("1 to 104857").
struct StoredRule {
    std::function<bool(int64_t)> accepts;
    std::string accepted;
};

// `text` is the value as stored, nullopt when absent (no log line). An integer (the INI reading
// rule) that the rule accepts is returned; anything else present, blank included, is nullopt and one
// log line naming `where` (the file's section or the registry key), the key and the value.
[[nodiscard]] std::optional<int32_t> takeStoredInteger(const std::optional<std::string>& text,
                                                       std::string_view where, std::string_view key,
                                                       const StoredRule& rule, TLog* log);

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

// The rules every store shares.
[[nodiscard]] StoredRule flagRule();                      // 0 or 1
[[nodiscard]] StoredRule rangeRule(int64_t min, int64_t max);
[[nodiscard]] StoredRule anyIntegerRule();

// One section of a store, read value by value: a test configuration file's section or a registry
// key. `integer` gives an integer value as stored (a registry number as its decimal text), `text` a
// text value; both nullopt when the value is absent.
struct StoredValues {
    std::string where;
    std::function<std::optional<std::string>(const std::string&)> integer;
    std::function<std::optional<std::string>(const std::string&)> text;
    TLog* log = nullptr;

    // Present and accepted; absent is nullopt without a word, anything else nullopt and one line.
    [[nodiscard]] std::optional<int32_t> number(const std::string& key, const StoredRule& rule) const {
        return takeStoredInteger(integer(key), where, key, rule, log);
    }
    [[nodiscard]] std::optional<bool> flag(const std::string& key) const {
        const auto value = number(key, flagRule());
        return value ? std::optional(*value != 0) : std::nullopt;
    }
};

// The section of a test configuration file; the registry key's values (a value of another type
// reads as absent and is named in the log).
[[nodiscard]] StoredValues fileValues(const platform::IniFile& file, std::string section, TLog* log);
[[nodiscard]] StoredValues registryValues(const platform::RegistryKey& key, std::string where, TLog* log);

// A list stored as a count and rows 0 .. count - 1 (the node table, the test order, a test's periods)
// is taken whole or not at all: a count or a row value that is absent or cannot be used leaves the
// list as it was, and one log line names that value. A row is never read as zeros or as what its
// slot held before.
class StoredList {
public:
    // `what` names the list in the log ("the node table").
    StoredList(const StoredValues& values, std::string what) : values_(values), what_(std::move(what)) {}

    // The count, from 0 to `max`; nullopt when absent (no line, the list stays whole) or refused.
    [[nodiscard]] std::optional<int32_t> count(const std::string& key, int32_t max);
    // A row's values; each nullopt once the list is refused.
    [[nodiscard]] std::optional<int32_t> number(const std::string& key, const StoredRule& rule);
    // A text of at most `maxBytes` bytes (a longer one is refused).
    [[nodiscard]] std::optional<std::string> text(const std::string& key, std::size_t maxBytes = std::string::npos);
    // The list is not taken because `key` is missing (a store cut short).
    void missing(const std::string& key);
    // Every row value read so far was there and usable.
    [[nodiscard]] bool whole() const { return whole_; }

private:
    void refuse(const std::string& line);
    [[nodiscard]] std::optional<int32_t> taken(const std::optional<std::string>& text, const std::string& key,
                                               const StoredRule& rule);

    const StoredValues& values_;
    std::string what_;
    bool whole_ = true;
};

} // namespace ostrel::vessolt
