#include "services/stored_setting.h"

#include "platform/ini.h"
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

std::string registryKeyPlace(std::string_view path) { return "Registry key " + std::string(path) + ":"; }

} // namespace ostrel::vessolt
