// INI profile files with the Windows semantics the system relies on.
//
// The file is parsed once and indexed; lookups never rescan. Section and key names match without
// regard to case (a case-sensitive mode exists for callers that need it); the first occurrence of a
// duplicate key wins; a section exists when it holds a key; values keep inner spaces; comment lines
// (';') are ignored; a UTF-8 BOM and CRLF line ends are accepted. Writes keep other sections and
// keys where they were. A header is "[name]" (blanks around the name and text after "]" ignored);
// a key line is split at its first "="; keys before the first header belong to no section; values
// are returned as written (no quote stripping). Case folding covers ASCII letters only.
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

    // Reads the file; false when it cannot be read, is no regular file (a FIFO is refused without
    // waiting for a writer) or holds more than kMaxUserFileBytes. The document is then empty.
    bool load();
    // load() for a file about to be written: one that does not exist yet reads as empty (true).
    [[nodiscard]] bool loadForUpdate();
    bool loadFromString(std::string_view text);  // always true
    // Writes atomically (temporary file in the same folder, then rename); false on failure, and at
    // once for a path that names something other than a regular file. The line ends (CRLF or LF)
    // and the BOM of the loaded text are kept.
    bool save() const;
    [[nodiscard]] std::string toString() const;
    // Why the last load(), loadForUpdate() or save() failed ("not a regular file", "File too large",
    // the system's text); empty after a success.
    [[nodiscard]] const std::string& error() const noexcept;

    [[nodiscard]] bool sectionExists(std::string_view section) const;
    [[nodiscard]] bool keyExists(std::string_view section, std::string_view key) const;
    // Sections that hold a key, in file order, named as first written; a repeated section header
    // continues the first one. keys(): the section's keys in file order, each once.
    [[nodiscard]] std::vector<std::string> sections() const;
    [[nodiscard]] std::vector<std::string> keys(std::string_view section) const;

    // The 1-based line of the key (its first occurrence) in the text as it now stands, for messages
    // that point into the file; 0 when the key is not there. Walks the blocks before the key's.
    [[nodiscard]] int32_t lineNumber(std::string_view section, std::string_view key) const;

    [[nodiscard]] std::string readString(std::string_view section, std::string_view key,
                                         std::string_view defaultValue = {}) const;
    // Decimal, or hexadecimal with "0x", "0X" or "$"; anything else gives the default.
    [[nodiscard]] int32_t readInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
    // An integer other than 0 is true; what is not an integer gives the default.
    [[nodiscard]] bool readBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // Changes the document only (save() writes it). A new key goes after the last key of its
    // section, a new section at the end. Writes refuse (false) names and values the file format
    // cannot hold: line breaks anywhere, "]" in a section name, an empty key or one with "=" or a
    // leading ";" or "[".
    bool writeString(std::string_view section, std::string_view key, std::string_view value);
    bool writeInteger(std::string_view section, std::string_view key, int32_t value);  // decimal
    bool writeBool(std::string_view section, std::string_view key, bool value);        // "1" / "0"
    // Removes every line of the key in the section (duplicates included); comments stay.
    void deleteKey(std::string_view section, std::string_view key);
    // Removes the section's header and every line under it.
    void eraseSection(std::string_view section);

    [[nodiscard]] const std::string& path() const noexcept;

    struct Impl;
private:
    std::unique_ptr<Impl> impl_;
};

// The integer reading rule on its own: the whole text (blanks around it aside) must be a number:
// an optional sign, then decimal digits (a leading 0 is not octal) or "0x", "0X" or "$" and
// hexadecimal digits. Decimal must fit in 32 bits signed; hexadecimal up to FFFFFFFF is taken as
// the 32-bit pattern (so "$FFFFFFFF" is -1). Anything else ("12abc", "1F", "x", "") is nullopt.
[[nodiscard]] std::optional<int32_t> parseIniInteger(std::string_view text);

} // namespace ostrel::platform
