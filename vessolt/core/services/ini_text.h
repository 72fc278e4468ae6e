#pragma once
// A text value of a test configuration file, read so that a save can write it back as it was read.
// The file holds one value a line; a carriage return inside a line (a hand-edited or damaged file)
// ends the value as a line end does.
#include <algorithm>
#include <string>
#include <string_view>

#include "platform/ini.h"

namespace ostrel::vessolt {

[[nodiscard]] inline std::string readIniText(const platform::IniFile& file, std::string_view section,
                                             std::string_view key, std::string_view defaultValue = {}) {
    std::string value = file.readString(section, key, defaultValue);
    value.resize(std::min(value.find('\r'), value.size()));
    while (!value.empty() && std::string_view(" \t\v\f").find(value.back()) != std::string_view::npos)
        value.pop_back();
    return value;
}

} // namespace ostrel::vessolt
