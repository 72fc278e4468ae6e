#pragma once
// One analysed PDO and the texts the window, the report and the tests show for it. No Qt and no
// Python here: the script types include this.
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::vessolt {

// Access codes as the script module names them.
enum PDOAccess : uint32_t {
    kAccessUnknown = 0,    // never read
    kAccessReadOnly = 1,
    kAccessReadWrite = 2,
    kAccessUntested = 3,
};

struct PDOEntry {
    uint32_t index = 0;  // communication index, 0x1400-0x1403 or 0x1800-0x1803
    uint32_t cobid = 0;
    uint8_t transtype = 0;
    uint32_t inhibittime = 0;  // 100 us
    uint32_t eventtime = 0;    // ms
    // [0] the mapping count (at most 8), [1..8] the mapping entries: index, sub-index, bits.
    uint32_t mapping[9] = {};
    uint32_t entriesRead = 0;  // the highest mapping sub-index that was read
    uint32_t cobidaccess = kAccessUnknown;
    uint32_t transtypeaccess = kAccessUnknown;
    uint32_t inhibittimeaccess = kAccessUnknown;
    uint32_t eventtimeaccess = kAccessUnknown;
    uint32_t mappingnumaccess = kAccessUnknown;
    // The accepted transmission types at the position of the value tried, -1 elsewhere.
    int32_t supported[10] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

    [[nodiscard]] bool isTPDO() const { return index >= 0x1800; }
    [[nodiscard]] uint32_t mappingCount() const { return mapping[0]; }
};

inline constexpr int kPDOColumns = 20;

// The cells of one grid row with what the grid draws by.
struct PDORow {
    std::array<std::string, kPDOColumns> cells;
    uint32_t mappingCount = 0;
    uint32_t entriesRead = 0;
};

// Names from the network description; an empty member knows no names.
struct PDONames {
    // The message of a CAN identifier; nullopt when unknown.
    std::function<std::optional<std::string>(uint32_t id)> messageName;
    // The entry name of a mapped object; nullopt when the description has no such entry.
    std::function<std::optional<std::string>(uint32_t index, uint8_t sub)> entryName;
};

// The transmission types the writability test tries, in order.
[[nodiscard]] const std::vector<uint8_t>& TriedTransmissionTypes(bool tpdo);
// "Acyclic, Synchronous" (0), "Cyclic, Synchronous" (1-240), "Synchronous, RTR only" (252),
// "Asynchronous, RTR only" (253), "Manufacturer specific" (254), "Device Profile defined" (255);
// null for the rest.
[[nodiscard]] const char* TransmissionTypeName(uint32_t type);
// " (RO)", " (RW)", " (X)" for an unknown access, "" when untested.
[[nodiscard]] const char* AccessMark(uint32_t access);
// The accepted types' names in list order, each once, joined by "; "; "-" when none.
[[nodiscard]] std::string SupportedTypesText(const PDOEntry& entry);
// The row's texts; with marks the access marks and the supported types are added, as after the
// writability tests.
[[nodiscard]] PDORow MakePDORow(const PDOEntry& entry, const PDONames& names, bool marked);

// The report's block of one row, layout 0 fixed-width, 1 tab-separated.
void WritePDOReportBlock(std::FILE* file, int layout, const PDORow& row);

}  // namespace ostrel::vessolt
