#pragma once
// One scanned dictionary entry that answered, and the texts the window, the report and the tests
// show for it. No Qt here: the script types include this.
#include <cstdint>
#include <string>

namespace ostrel::vessolt {

struct ODScanResult {
    uint32_t index = 0;
    uint8_t subindex = 0;
    uint32_t size = 0;          // bytes read
    uint32_t valueLength = 0;   // min(size, 16)
    float accessTime = -1.0f;   // ms; -1 until the trace gives a time
    uint8_t value[16] = {};     // the first valueLength bytes as sent
};

// The nine cell texts of a result, in column order 0-8.
struct ODScanRowTexts {
    std::string index, subindex, name, type, size, accessTime, hex, ascii, decimal;
};

// The system's type codes 1 to 25 by name ("INTEGER24" is 4); "<unknown>" for any other code.
[[nodiscard]] const char* TypeCodeName(int32_t typeCode);
// The value as one little-endian number when its length is 1 to 4, else 0.
[[nodiscard]] uint32_t ResultNumber(const ODScanResult& result);
// Whether an entry holds text or bytes (VISIBLE_STRING, OCTET_STRING, UNICODE_STRING, DOMAIN) rather
// than a number: by its data-sheet type code where one is known (1 to 25), else for the device name
// and the hardware and software versions (0x1008-0x100A).
[[nodiscard]] bool StoredAsText(uint32_t index, uint8_t subindex, int32_t typeCode);
// Texts of the index, sub-index, size, access time and value columns; name and type are filled in
// from the network description by the caller. A value of 1 to 4 bytes shows from its last byte, as
// a number, unless it is `text`: then in stored order, as longer values always are.
[[nodiscard]] ODScanRowTexts ResultTexts(const ODScanResult& result, bool text = false);
void FormatValueTexts(const ODScanResult& result, std::string& hex, std::string& ascii, std::string& decimal,
                      bool text = false);

}  // namespace ostrel::vessolt
