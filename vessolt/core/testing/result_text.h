#pragma once
// The user's text for a library result block: a fixed text per result code followed by the
// library's message. Shared by the hardware dialog and the blocking SDO calls.
#include <drennic/drennic.h>

#include <string>

namespace ostrel::vessolt {

// The message part is at most this many bytes of UTF-8, cut only between characters.
inline constexpr std::size_t kResultMessageBytes = 299;

// Empty for a code that has no text (0 included), whatever the message.
[[nodiscard]] std::string ResultToText(const ResultBlock& result);

} // namespace ostrel::vessolt
