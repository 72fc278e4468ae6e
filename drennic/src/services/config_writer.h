// The configuration writer: writes the values of a device configuration file (DCF) into one node by
// SDO transfers, or the per-node DCFs of a network configuration file (NCF) into their nodes, on a
// thread of its own (CANopenConfig_WriteDCF / CANopenConfig_WriteNCF). Its start and stop with the
// library are configWriterStartup / configWriterShutdown (service_modules.h).
//
// The pieces below are the file handling and value conversion, open to the tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drennic {

// The writer's transfer buffer: the most bytes one object may carry (DOMAIN files included).
inline constexpr std::size_t kConfigTransferCapacity = 614400;
// The longest VISIBLE_STRING value the writer downloads.
inline constexpr std::size_t kConfigStringLimit = 1260;

// A DCF read once and indexed. Lines are trimmed; a line longer than 2 characters that starts with
// "[" and ends with "]" opens the section named by the text between them, exactly as written (case
// matters, nothing trimmed inside); inside a section a line with "=" is split at its first "=" into
// a trimmed key and a trimmed value; the first occurrence of a key wins (a repeated section header
// continues the section). Lines before the first header belong to no section.
class DcfDocument {
public:
    [[nodiscard]] static DcfDocument parse(std::string_view text);

    [[nodiscard]] bool hasSection(std::string_view section) const;
    [[nodiscard]] std::optional<std::string_view> find(std::string_view section, std::string_view key) const;
    // The value, or `defaultValue` when the section or the key is missing.
    [[nodiscard]] std::string text(std::string_view section, std::string_view key,
                                   std::string_view defaultValue = {}) const;
    // A count, index or code of the file (SupportedObjects, SubNumber, DataType, ...): Missing when
    // the section or the key is missing, Valid when the value is a whole number (parseUnsignedKey)
    // from 0 to `limit`, else Invalid (empty, not a number, negative, beyond the limit).
    struct Number {
        enum class State { Missing, Valid, Invalid };
        State state = State::Missing;
        uint64_t value = 0;     // Valid only
        std::string_view text;  // the value as written, for the message that refuses it
    };
    [[nodiscard]] Number number(std::string_view section, std::string_view key, uint64_t limit) const;

private:
    using Keys = std::map<std::string, std::string, std::less<>>;
    std::map<std::string, Keys, std::less<>> sections_;
};

// The numbers of the file's bookkeeping keys (counts, indexes, DataType, ObjFlags): the whole text,
// blanks and tabs around it aside, is "0x"/"0X" and hexadecimal digits, "0" and octal digits, or
// decimal digits, within 64 bits; nullopt for anything else (no digits, a sign, a stray character).
[[nodiscard]] std::optional<uint64_t> parseUnsignedKey(std::string_view text) noexcept;

enum class ConversionStatus { Ok, UnknownType, InvalidValue };

struct ConvertedValue {
    ConversionStatus status = ConversionStatus::InvalidValue;
    std::vector<uint8_t> bytes;  // little-endian, only when Ok
};

// One object's value as the DCF gives it.
struct ValueSource {
    uint32_t dataType = 0;
    std::string_view parameterValue;
    std::string_view fileName;    // DownloadFile, or UploadFile when that is empty (DOMAIN)
    uint8_t nodeId = 0;           // added where an integer value holds "$NODEID"
    std::string_view baseFolder;  // relative file names start here ("" = working folder)
};

// Converts a ParameterValue by its CiA 306 data type into the bytes to download. Integers must be a
// whole number that fits the type ("-" sign, 0x hexadecimal, leading-0 octal or decimal; hexadecimal
// and octal also give the unsigned bit pattern of a signed type; BOOLEAN is 0 or 1), optionally as a
// sum with "$NODEID"; reals are decimal text; VISIBLE_STRING is the text as it stands (at most
// kConfigStringLimit bytes); OCTET_STRING and UNICODE_STRING are "0x" and pairs of hexadecimal
// digits; DOMAIN is the whole file (at most kConfigTransferCapacity bytes).
[[nodiscard]] ConvertedValue convertParameterValue(const ValueSource& source);

// The part of an NCF for one node: the lines after the first line that contains "[DCF 0xNN]" (node
// in two upper-case hexadecimal digits) up to the next line that contains "[DCF ", or the end.
// nullopt when the NCF has no such line.
[[nodiscard]] std::optional<std::string> extractNodeDcf(std::string_view ncfText, uint8_t node);

// The longest wait for the completion of one of the writer's SDO requests (20 s; after it the
// request is cancelled and the write stops with -11). Tests shorten it; returns the previous value.
std::chrono::milliseconds setConfigWriterSdoWait(std::chrono::milliseconds wait);

} // namespace drennic
