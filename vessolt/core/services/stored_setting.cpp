#include "services/stored_setting.h"

#include <algorithm>

#include "platform/ini.h"
#include "platform/registry.h"
#include "services/ini_text.h"
#include "services/log.h"

#include <cstdint>

namespace ostrel::vessolt {

namespace {

// "<where> <key>=<value> was not loaded (the settings page accepts ...)", or nothing when the value is
// absent or accepted.
std::optional<std::string> refusal(const std::optional<std::string>& text, std::string_view where,
                                   std::string_view key, const StoredRule& rule, std::optional<int32_t>& value) {
    value.reset();
    if (!text)
        return std::nullopt;
    const std::optional<int32_t> parsed = platform::parseIniInteger(*text);
    if (parsed && rule.accepts && rule.accepts(*parsed)) {
        value = parsed;
        return std::nullopt;
    }
    return std::string(where) + " " + std::string(key) + "=" + *text +
           " was not loaded (the settings page accepts " + rule.accepted + ")";
}

} // namespace

std::optional<int32_t> takeStoredInteger(const std::optional<std::string>& text, std::string_view where,
                                         std::string_view key, const StoredRule& rule, TLog* log) {
    std::optional<int32_t> value;
    if (const auto line = refusal(text, where, key, rule, value); line && log != nullptr)
        log->Add("Warning: " + *line);
    return value;
}

std::string fileSectionPlace(std::string_view section) { return "[" + std::string(section) + "]"; }

std::string registryKeyPlace(std::string_view path) {
    // Keys are named below the user's root, as everywhere else: without a leading backslash.
    path.remove_prefix(std::min(path.find_first_not_of('\\'), path.size()));
    return "Registry key " + std::string(path) + ":";
}

void noteDamagedRegistryKey(const platform::RegistryKey& key, TLog* log) {
    (void)key.values();
    if (log != nullptr && !key.lastError().empty())
        log->Add("Warning: " + registryKeyPlace(key.path()) + " " + key.lastError() +
                 "; its settings keep their defaults");
}

namespace {

const char* typeName(platform::RegistryType type) {
    switch (type) {
    case platform::RegistryType::Integer: return "a number";
    case platform::RegistryType::String: return "a string";
    case platform::RegistryType::Binary: return "binary data";
    }
    return "unknown";
}

std::optional<platform::RegistryValue> readTyped(const platform::RegistryKey& key, std::string_view name,
                                                 platform::RegistryType wanted, TLog* log) {
    auto value = key.readValue(name);
    if (!value || value->type == wanted)
        return value;
    if (log != nullptr)
        log->Add("Warning: " + registryKeyPlace(key.path()) + " " + std::string(name) + " holds " +
                 typeName(value->type) + " where " + typeName(wanted) + " belongs and was not loaded");
    return std::nullopt;
}

} // namespace

std::optional<int32_t> readRegistryInteger(const platform::RegistryKey& key, std::string_view name, TLog* log) {
    const auto value = readTyped(key, name, platform::RegistryType::Integer, log);
    return value ? std::optional(value->integer) : std::nullopt;
}

std::optional<std::string> readRegistryString(const platform::RegistryKey& key, std::string_view name, TLog* log) {
    auto value = readTyped(key, name, platform::RegistryType::String, log);
    return value ? std::optional(std::move(value->text)) : std::nullopt;
}

StoredRule flagRule() {
    return {[](int64_t v) { return v == 0 || v == 1; }, "0 or 1"};
}

StoredRule rangeRule(int64_t min, int64_t max) {
    return {[min, max](int64_t v) { return v >= min && v <= max; }, std::to_string(min) + " to " + std::to_string(max)};
}

StoredRule anyIntegerRule() { return rangeRule(INT32_MIN, INT32_MAX); }

StoredValues fileValues(const platform::IniFile& file, std::string section, TLog* log) {
    auto read = [&file, section](const std::string& key) -> std::optional<std::string> {
        if (!file.keyExists(section, key))
            return std::nullopt;
        return readIniText(file, section, key);
    };
    return {fileSectionPlace(section), read, read, log};
}

StoredValues registryValues(const platform::RegistryKey& key, std::string where, TLog* log) {
    return {std::move(where),
            [&key, log](const std::string& name) -> std::optional<std::string> {
                const auto value = readRegistryInteger(key, name, log);
                return value ? std::optional(std::to_string(*value)) : std::nullopt;
            },
            [&key, log](const std::string& name) { return readRegistryString(key, name, log); }, log};
}

void StoredList::refuse(const std::string& line) {
    if (whole_ && values_.log != nullptr)
        values_.log->Add("Warning: " + line + ": " + what_ + " stays as it was");
    whole_ = false;
}

void StoredList::missing(const std::string& key) { refuse(values_.where + " " + key + " is missing"); }

std::optional<int32_t> StoredList::taken(const std::optional<std::string>& text, const std::string& key,
                                         const StoredRule& rule) {
    std::optional<int32_t> value;
    if (const auto line = refusal(text, values_.where, key, rule, value))
        refuse(*line);
    return value;
}

std::optional<int32_t> StoredList::count(const std::string& key, int32_t max) {
    return whole_ ? taken(values_.integer(key), key, rangeRule(0, max)) : std::nullopt;
}

std::optional<int32_t> StoredList::number(const std::string& key, const StoredRule& rule) {
    if (!whole_)
        return std::nullopt;
    const std::optional<std::string> text = values_.integer(key);
    if (!text)
        missing(key);
    return taken(text, key, rule);
}

std::optional<std::string> StoredList::text(const std::string& key, std::size_t maxBytes) {
    if (!whole_)
        return std::nullopt;
    std::optional<std::string> text = values_.text(key);
    if (!text)
        missing(key);
    else if (text->size() > maxBytes)
        // A path cut short would name another file.
        refuse(values_.where + " " + key + " is longer than " + std::to_string(maxBytes) +
               " bytes and was not loaded");
    return whole_ ? text : std::nullopt;
}

} // namespace ostrel::vessolt
