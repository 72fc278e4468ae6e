#include "od_scan_result.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace ostrel::vessolt {

namespace {

constexpr std::array<const char*, 25> kTypeNames = {
    "BOOLEAN",    "INTEGER8",   "INTEGER16",  "INTEGER24",      "INTEGER32",    "INTEGER40",
    "INTEGER48",  "INTEGER56",  "INTEGER64",  "UNSIGNED8",      "UNSIGNED16",   "UNSIGNED24",
    "UNSIGNED32", "UNSIGNED40", "UNSIGNED48", "UNSIGNED56",     "UNSIGNED64",   "REAL32",
    "REAL64",     "VISIBLE_STRING", "OCTET_STRING", "UNICODE_STRING", "TIME_OF_DAY", "TIME_DIFFERENCE",
    "DOMAIN"};

std::string hexByte(uint8_t byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return {digits[byte >> 4], digits[byte & 0xF]};
}

char printable(uint8_t byte) { return byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.'; }

}  // namespace

const char* TypeCodeName(int32_t typeCode) {
    return typeCode >= 1 && typeCode <= 25 ? kTypeNames[static_cast<size_t>(typeCode - 1)] : "<unknown>";
}

uint32_t ResultNumber(const ODScanResult& result) {
    if (result.valueLength < 1 || result.valueLength > 4)
        return 0;
    uint32_t number = 0;
    for (uint32_t i = result.valueLength; i-- > 0;)
        number = (number << 8) | result.value[i];
    return number;
}

bool StoredAsText(uint32_t index, uint8_t subindex, int32_t typeCode) {
    constexpr int32_t kVisibleString = 20;
    constexpr int32_t kUnicodeString = 22;
    constexpr int32_t kDomain = 25;
    // The data sheet's type where it names one; else the device name and versions of every device.
    // Texts and byte strings (OCTET_STRING, DOMAIN) are no numbers: their bytes keep their order.
    if (typeCode >= 1 && typeCode <= 25)
        return (typeCode >= kVisibleString && typeCode <= kUnicodeString) || typeCode == kDomain;
    return subindex == 0 && index >= 0x1008 && index <= 0x100A;
}

void FormatValueTexts(const ODScanResult& result, std::string& hex, std::string& ascii, std::string& decimal,
                      bool text) {
    hex.clear();
    ascii.clear();
    const uint32_t length = result.valueLength > 16 ? 16 : result.valueLength;
    // A number of 1 to 4 bytes reads from its last byte; a text in the order it is stored.
    if (length >= 1 && length <= 4 && !text) {
        for (uint32_t i = length; i-- > 0;) {
            hex += hexByte(result.value[i]);
            ascii += printable(result.value[i]);
        }
    } else {
        for (uint32_t i = 0; i < length; ++i) {
            hex += hexByte(result.value[i]) + " ";
            ascii += printable(result.value[i]);
        }
    }
    // Only data that was read but not kept is marked as cut.
    if (result.size > length) {
        hex += " ...";
        ascii += " ...";
    }
    std::string signedText, unsignedText;
    if (result.size >= 1 && result.size <= 4 && length == result.size) {
        const uint32_t u = ResultNumber(result);
        int32_t s = 0;
        switch (result.size) {
            case 1: s = static_cast<int8_t>(u); break;
            case 2: s = static_cast<int16_t>(u); break;
            case 3: s = (u & 0x800000u) ? static_cast<int32_t>(u | 0xFF000000u) : static_cast<int32_t>(u); break;
            default: s = static_cast<int32_t>(u); break;
        }
        signedText = std::to_string(s);
        unsignedText = std::to_string(u);
    }
    decimal = "S:" + signedText + " U:" + unsignedText;
}

ODScanRowTexts ResultTexts(const ODScanResult& result, bool text) {
    ODScanRowTexts texts;
    char buffer[32];
    if (result.subindex == 0) {
        std::snprintf(buffer, sizeof buffer, "0x%4.4X", static_cast<unsigned>(result.index));
        texts.index = buffer;
    } else {
        texts.index.assign(1, '^');  // not = "^": g++ 12 at -O3 warns falsely on that
    }
    std::snprintf(buffer, sizeof buffer, "0x%2.2X", static_cast<unsigned>(result.subindex));
    texts.subindex = buffer;
    texts.size = std::to_string(result.size);
    if (result.accessTime != -1.0f) {
        std::array<char, 48> text{};
        auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), static_cast<double>(result.accessTime),
                                       std::chars_format::fixed, 2);
        texts.accessTime = ec == std::errc() ? std::string(text.data(), end) : std::string();
    }
    FormatValueTexts(result, texts.hex, texts.ascii, texts.decimal, text);
    return texts;
}

}  // namespace ostrel::vessolt
