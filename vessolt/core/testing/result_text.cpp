#include "testing/result_text.h"

#include <iterator>
#include <string_view>

#include "services/hardware_config.h"
#include "platform/utf16.h"

namespace ostrel::vessolt {
namespace {

struct CodeText {
    int32_t code;
    const char* text;
};

// Looked up in this order; the first equal code wins.
constexpr CodeText kTexts[] = {
    {-1, "User cancelled operation"},
    {30, "Unable to open Setup File: "},
    {31, "Invalid Setup File: "},
    {-4, "Invalid parameter number "},
    {-5, "SDO Protocol error: "},
    {32, "Error starting thread"},
    {-7, "Error initializing hardware: "},
    {-8, "CAN bus error: "},
    {29, "Node ID must be in the range 0x01 -> 0x7F"},
    {18, "Node ID must be in the range 0x40 -> 0x4F"},
    {33, "Unable to allocate memory for file"},
    {-11, "Timeout occured - no response received"},
    {12, "Please enter a valid hexadecimal value for the Node ID"},
    {13, "Please enter a valid hexadecimal value for the index"},
    {14, "Please enter a valid hexadecimal value for the subindex"},
    {15, "Please enter valid hexadecimal data to write"},
    {16, "Hexadecimal data must contain two characters for each value"},
    {19, "Index must be in the range 0x1000 -> 0x1FFF or 0x5000 -> 0x5FFF"},
    {20, "The integer value entered is too large. The maximum value supported is 4294967296."},
    {21, "The data length must be in the range 1 - 4 bytes for integer data."},
    {22, "The integer value is larger than the length allows."},
    {23, "Please enter valid integer data to write"},
    {24, "The hexadecimal data is larger than the length allows."},
    {25, "The data length must be at least 1 byte for hexadecimal data."},
    {26, "Please enter valid ASCII data to write"},
    {27, "The data length must be at least 1 byte for ASCII data."},
    {28, "The ASCII data is larger than the length allows."},
    {34, "The data length must be 4 or 8 bytes for real data."},
    {35, "The data length must be 6 bytes for Time Of Data data."},
    {36, "Please enter a valid Time Of Day value. Format: dd-mmm-yyyy hh:mm:ss:iii (iii = milliseconds)"},
    {37, "The data length must be 6 bytes for Time Difference data."},
    {38, "Please enter a valid Time Difference value. Format: ddddd:hh:mm:ss:iii (iii = milliseconds)"},
};

// Drops the tail so that at most `limit` bytes remain and no character is split.
std::string cutUtf8(std::string text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

} // namespace

std::string ResultToText(const ResultBlock& result) {
    for (const CodeText& entry : kTexts) {
        if (entry.code != result.code)
            continue;
        const std::u16string_view message = platform::fieldView(result.message, DRN_MESSAGE_CHARS);
        return std::string(entry.text) + cutUtf8(platform::toUtf8(message), kResultMessageBytes);
    }
    return {};
}

std::string BaudrateText(int32_t kbit) {
    switch (kbit) {
    case 1000: return "1Mbps";
    case 800: return "800kbps";
    case 500: return "500kbps";
    case 250: return "250kbps";
    case 125: return "125kbps";
    case 50: return "50kbps";
    case 20: return "20kbps";
    case 10: return "10kbps";
    default: return "unknown";
    }
}

} // namespace ostrel::vessolt
