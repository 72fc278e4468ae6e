#pragma once
// Numbers written as text in description files and data sheets. One reader for all of them, so that
// "010" means the same wherever the C-style rules apply, and no reader depends on the locale.
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel::vessolt {

// strtoul rules with base 0: leading blanks, an optional sign, "0x"/"0X" hexadecimal, a leading 0
// octal, else decimal; reading stops at the first character that does not belong; no digits give 0.
// A value beyond 32 bits saturates at 0xFFFFFFFF; a minus sign negates modulo 2^32, as strtoul does.
[[nodiscard]] uint32_t parseUnsignedText(std::string_view text) noexcept;
// The same with a fixed base (2 to 36); base 16 takes an optional "0x"/"0X", no other base a prefix.
[[nodiscard]] uint32_t parseUnsignedText(std::string_view text, int base) noexcept;

// The whole text as one unsigned number by the same base rules ("0x"/"0X" hexadecimal, a leading 0
// octal, else decimal), white space around it aside; nullopt for anything else: no digits, a sign, a
// character that does not belong, more than 64 bits. For values that must not be guessed at.
[[nodiscard]] std::optional<uint64_t> parseWholeUnsignedText(std::string_view text) noexcept;

// strtol rules with base 0, saturating at the 32-bit limits.
[[nodiscard]] int32_t parseSignedText(std::string_view text) noexcept;

// A decimal floating-point number (a leading "+" allowed, read up to the first character that does
// not belong); no digits give 0.0.
[[nodiscard]] double parseFloatText(std::string_view text) noexcept;

} // namespace ostrel::vessolt
