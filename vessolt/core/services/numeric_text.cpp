#include "services/numeric_text.h"

#include <charconv>
#include <algorithm>
#include <cstdint>
#include <limits>

namespace ostrel::vessolt {
namespace {

bool isSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int digitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

struct Magnitude {
    bool negative = false;
    bool overflow = false;  // beyond 64 bits
    uint64_t value = 0;
};

// Base 0 chooses the base from the prefix as strtoul does.
Magnitude readMagnitude(std::string_view text, int base) noexcept {
    Magnitude m;
    std::size_t at = 0;
    while (at < text.size() && isSpace(text[at])) ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        m.negative = text[at] == '-';
        ++at;
    }
    // "0x" counts as a prefix only when a hexadecimal digit follows; "0x" alone reads as 0.
    const bool hexPrefix = at + 2 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
                           digitValue(text[at + 2]) < 16;
    if (base == 0) {
        base = 10;
        if (at < text.size() && text[at] == '0')
            base = hexPrefix ? 16 : 8;
    }
    if (base == 16 && hexPrefix)
        at += 2;
    for (; at < text.size(); ++at) {
        const int d = digitValue(text[at]);
        if (d >= base) break;
        if (m.value > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
            m.overflow = true;
        } else {
            m.value = m.value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        }
    }
    return m;
}

// Whether a decimal number text (as from_chars took it) has no digit at or above the units place: a
// value out of range is then too small, not too large, whatever its exponent's sign alone says
// ("0.000...5" has none, "1e-400" and "100e-402" are small through their exponents).
bool isBelowOne(std::string_view number) noexcept {
    int64_t lead = 0;  // decimal exponent of the first significant digit, plus one
    bool significant = false;
    bool afterPoint = false;
    std::size_t at = 0;
    for (; at < number.size(); ++at) {
        const char c = number[at];
        if (c == '.') {
            afterPoint = true;
        } else if (c >= '0' && c <= '9') {
            if (!significant && c != '0') significant = true;
            if (significant && !afterPoint) ++lead;
            else if (!significant && afterPoint) --lead;
        } else if (c == 'e' || c == 'E') {
            break;
        }
    }
    int64_t exponent = 0;
    bool negativeExponent = false;
    if (++at < number.size() && (number[at] == '-' || number[at] == '+')) negativeExponent = number[at++] == '-';
    for (; at < number.size() && number[at] >= '0' && number[at] <= '9'; ++at)
        exponent = std::min<int64_t>(exponent * 10 + (number[at] - '0'), 1'000'000'000);
    return lead + (negativeExponent ? -exponent : exponent) <= 0;
}

} // namespace

uint32_t parseUnsignedText(std::string_view text) noexcept { return parseUnsignedText(text, 0); }

uint32_t parseUnsignedText(std::string_view text, int base) noexcept {
    const Magnitude m = readMagnitude(text, base);
    if (m.overflow || m.value > UINT32_MAX) return UINT32_MAX;
    const auto value = static_cast<uint32_t>(m.value);
    return m.negative ? 0u - value : value;
}

std::optional<uint64_t> parseWholeUnsignedText(std::string_view text) noexcept {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    // from_chars takes no sign for an unsigned type.
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int32_t parseSignedText(std::string_view text) noexcept {
    const Magnitude m = readMagnitude(text, 0);
    if (m.negative) {
        if (m.overflow || m.value > static_cast<uint64_t>(INT32_MAX) + 1) return INT32_MIN;
        return static_cast<int32_t>(-static_cast<int64_t>(m.value));
    }
    if (m.overflow || m.value > static_cast<uint64_t>(INT32_MAX)) return INT32_MAX;
    return static_cast<int32_t>(m.value);
}

double parseFloatText(std::string_view text) noexcept {
    std::size_t at = 0;
    while (at < text.size() && isSpace(text[at])) ++at;
    text.remove_prefix(at);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone out of range; strtod's answer is the signed infinity or 0.
        const std::string_view number = text.substr(0, static_cast<std::size_t>(result.ptr - text.data()));
        const bool negative = !number.empty() && number.front() == '-';
        if (isBelowOne(number)) return negative ? -0.0 : 0.0;
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    return result.ec == std::errc{} ? value : 0.0;
}

} // namespace ostrel::vessolt
