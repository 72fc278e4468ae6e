// INI profile files with the Windows semantics the system relies on.
//
// The file is parsed once and indexed; lookups never rescan. Section and key names match without
// regard to case (a case-sensitive mode exists for callers that need it); the first occurrence of a
// duplicate key wins; a section exists when it holds a key; values keep inner spaces; comment lines
// (';') are ignored; a UTF-8 BOM and CRLF line ends are accepted. Writes keep other sections and
// keys where they were.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::platform {

class IniFile {
public:
    enum class Case { Insensitive, Sensitive };

    // An empty document bound to `path` (not read). load() reads it.
    explicit IniFile(std::string path = {}, Case mode = Case::Insensitive);
    ~IniFile();
    IniFile(IniFile&&) noexcept;
    IniFile& operator=(IniFile&&) noexcept;

    // Reads the file; false when it cannot be read (the document stays empty).
    bool load();
    bool loadFromString(std::string_view text);
    // Writes atomically (temporary file and rename); false on failure.
    bool save() const;
    [[nodiscard]] std::string toString() const;

    [[nodiscard]] bool sectionExists(std::string_view section) const;
    [[nodiscard]] bool keyExists(std::string_view section, std::string_view key) const;
    [[nodiscard]] std::vector<std::string> sections() const;
    [[nodiscard]] std::vector<std::string> keys(std::string_view section) const;

    [[nodiscard]] std::string readString(std::string_view section, std::string_view key,
                                         std::string_view defaultValue = {}) const;
    // Decimal, or hexadecimal with "0x", "0X" or "$"; anything else gives the default.
    [[nodiscard]] int32_t readInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
    [[nodiscard]] bool readBool(std::string_view section, std::string_view key, bool defaultValue) const;

    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, int32_t value);
    void writeBool(std::string_view section, std::string_view key, bool value);
    void deleteKey(std::string_view section, std::string_view key);
    void eraseSection(std::string_view section);

    [[nodiscard]] const std::string& path() const noexcept;

    struct Impl;
private:
    std::unique_ptr<Impl> impl_;
};

// The integer reading rule on its own: decimal, or hexadecimal after "0x", "0X" or "$".
[[nodiscard]] std::optional<int32_t> parseIniInteger(std::string_view text);

} // namespace ostrel::platform
