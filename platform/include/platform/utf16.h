// UTF-16 text (char16_t) as it crosses the library interface and the shared memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel::platform {

// Length of a zero-terminated UTF-16 string (0 for nullptr).
[[nodiscard]] std::size_t u16len(const char16_t* text) noexcept;
// Conversions; invalid sequences (and lone surrogates) become U+FFFD.
[[nodiscard]] std::u16string toUtf16(std::string_view utf8);
[[nodiscard]] std::string toUtf8(std::u16string_view utf16);
[[nodiscard]] std::string toUtf8(const char16_t* text);  // zero-terminated; nullptr gives ""
// Copies at most capacity - 1 characters and always terminates (capacity 0 or a null dest writes
// nothing). A surrogate pair is never split at the cut. Returns the number of characters copied.
std::size_t copyBounded(char16_t* dest, std::size_t capacity, std::u16string_view src) noexcept;
std::size_t copyBounded(char16_t* dest, std::size_t capacity, std::string_view utf8);
// Fills a fixed field of `capacity` characters: copies at most `capacity` characters and zero-fills
// the rest (no terminator when the text fills the field, as fixed record fields allow).
void copyField(char16_t* dest, std::size_t capacity, std::u16string_view src) noexcept;
// The text of a fixed field: up to the first zero or the whole field when it holds none.
[[nodiscard]] std::u16string_view fieldView(const char16_t* field, std::size_t capacity) noexcept;
// ASCII-only upper-casing (a..z), as the original's character loop did.
[[nodiscard]] std::u16string asciiUpper(std::u16string_view text);
[[nodiscard]] std::string asciiUpper(std::string_view text);

} // namespace ostrel::platform
