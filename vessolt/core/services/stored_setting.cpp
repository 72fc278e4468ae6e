#include "services/stored_setting.h"

#include <algorithm>

#include "platform/ini.h"
#include "platform/registry.h"
#include "services/log.h"

namespace ostrel::vessolt {

std::optional<int32_t> takeStoredInteger(const std::optional<std::string>& text, std::string_view where,
                                         std::string_view key, const StoredRule& rule, TLog* log) {
    if (!storedValueGiven(text))
        return std::nullopt;
    const std::optional<int32_t> value = platform::parseIniInteger(*text);
    if (value && rule.accepts && rule.accepts(*value))
        return value;
    if (log != nullptr)
        log->Add("Warning: " + std::string(where) + " " + std::string(key) + "=" + *text +
                 " was not loaded (the settings page accepts " + rule.accepted + ")");
    return std::nullopt;
}

bool storedValueGiven(const std::optional<std::string>& text) {
    return text && text->find_first_not_of(" \t\v\f") != std::string::npos;
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

} // namespace ostrel::vessolt
