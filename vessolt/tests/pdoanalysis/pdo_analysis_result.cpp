#include "pdo_analysis_result.h"

#include <cstring>

namespace ostrel::vessolt {

namespace {

constexpr uint32_t kCobIdInvalid = 0x80000000u;
constexpr uint32_t kCobIdNoRtr = 0x40000000u;
constexpr uint32_t kCobIdExtended = 0x20000000u;

std::string hexText(const char* format, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
    return text;
}

// "1..." becomes "Y...", "0..." becomes "N...", anything else nothing.
std::string yesNo(const std::string& cell) {
    if (cell.empty() || (cell[0] != '1' && cell[0] != '0'))
        return {};
    std::string text(1, cell[0] == '1' ? 'Y' : 'N');
    text.append(cell, 1, std::string::npos);
    return text;
}

}  // namespace

const std::vector<uint8_t>& TriedTransmissionTypes(bool tpdo) {
    static const std::vector<uint8_t> rpdo = {0, 1, 2, 3, 4, 254, 255};
    static const std::vector<uint8_t> tpdoTypes = {0, 1, 2, 3, 4, 252, 253, 254, 255};
    return tpdo ? tpdoTypes : rpdo;
}

const char* TransmissionTypeName(uint32_t type) {
    if (type == 0)
        return "Acyclic, Synchronous";
    if (type <= 240)
        return "Cyclic, Synchronous";
    switch (type) {
        case 252: return "Synchronous, RTR only";
        case 253: return "Asynchronous, RTR only";
        case 254: return "Manufacturer specific";
        case 255: return "Device Profile defined";
        default: return nullptr;
    }
}

const char* AccessMark(uint32_t access) {
    switch (access) {
        case kAccessReadOnly: return " (RO)";
        case kAccessReadWrite: return " (RW)";
        case kAccessUntested: return "";
        default: return " (X)";
    }
}

std::string SupportedTypesText(const PDOEntry& entry) {
    std::vector<const char*> names;
    for (int32_t type : entry.supported) {
        if (type < 0)
            continue;
        const char* name = TransmissionTypeName(static_cast<uint32_t>(type));
        if (name == nullptr)
            continue;
        bool known = false;
        for (const char* n : names)
            known = known || std::strcmp(n, name) == 0;
        if (!known)
            names.push_back(name);
    }
    if (names.empty())
        return "-";
    std::string text;
    for (const char* name : names) {
        if (!text.empty())
            text += "; ";
        text += name;
    }
    return text;
}

PDORow MakePDORow(const PDOEntry& entry, const PDONames& names, bool marked) {
    PDORow row;
    auto& c = row.cells;
    const bool tpdo = entry.isTPDO();
    c[0] = tpdo ? "TPDO " : "RPDO ";
    c[0] += std::to_string((entry.index & 0x1FFu) + 1);
    c[1].assign(1, (entry.cobid & kCobIdInvalid) ? '0' : '1');
    c[2] = (entry.cobid & kCobIdExtended) ? hexText("%8.8X", entry.cobid & 0x1FFFFFFFu)
                                          : hexText("%3.3X", entry.cobid & 0x7FFu);
    if (names.messageName)
        if (auto name = names.messageName(entry.cobid & 0x1FFFFFFFu))
            c[3] = *name;
    if (tpdo)
        c[4].assign(1, (entry.cobid & kCobIdNoRtr) ? '0' : '1');
    const char* typeName = TransmissionTypeName(entry.transtype);
    c[5] = typeName ? typeName : "-";
    c[7] = entry.transtype >= 1 && entry.transtype <= 240 ? std::to_string(entry.transtype) : std::string(1, '0');
    c[8] = std::to_string(entry.inhibittime);
    c[9] = std::to_string(entry.eventtime);
    c[10] = std::to_string(entry.mappingCount());
    for (uint32_t n = 1; n <= 8; ++n) {
        if (n > entry.entriesRead)
            continue;
        const uint32_t m = entry.mapping[n];
        const uint32_t objectIndex = m >> 16, sub = (m >> 8) & 0xFFu, bits = m & 0xFFu;
        std::optional<std::string> name;
        if (names.entryName)
            name = names.entryName(objectIndex, static_cast<uint8_t>(sub));
        char text[40];
        std::snprintf(text, sizeof text, name ? "[%4.4X,%2.2X,%2.2X] " : "%4.4X,%2.2X,%2.2X", objectIndex, sub, bits);
        c[10 + n] = text;
        if (name)
            c[10 + n] += *name;
    }
    row.mappingCount = entry.mappingCount();
    row.entriesRead = entry.entriesRead;
    if (marked) {
        // An RPDO has no RTR cell, and an empty cell gets no mark.
        for (int column : {2, 1, 4})
            if (!c[column].empty())
                c[column] += AccessMark(entry.cobidaccess);
        c[5] += AccessMark(entry.transtypeaccess);
        c[7] += AccessMark(entry.transtypeaccess);
        c[8] += AccessMark(entry.inhibittimeaccess);
        c[9] += AccessMark(entry.eventtimeaccess);
        c[10] += AccessMark(entry.mappingnumaccess);
        c[6] = SupportedTypesText(entry);
    }
    return row;
}

void WritePDOReportBlock(std::FILE* file, int layout, const PDORow& row) {
    const bool tabs = layout == 1;
    const char* line = tabs ? "%7s\t%9s\t%10s\t%8s\t%12s\t%11s\t%10s\n" : "%7s %9s %10s %8s %12s %11s %10s\n";
    const auto& c = row.cells;
    std::fprintf(file, line, "PDO", "Enabled", "CAN-ID", "RTR", "Sync", "Inhbt Time", "Evnt Time");
    std::fprintf(file, line, c[0].c_str(), yesNo(c[1]).c_str(), c[2].c_str(), yesNo(c[4]).c_str(), c[7].c_str(),
                 c[8].c_str(), c[9].c_str());
    std::fprintf(file, tabs ? "Name:\t%s\n" : "Name: %s\n", c[3].c_str());
    std::fprintf(file, tabs ? "Trans Type:\t%s\n" : "Trans Type: %s\n", c[5].c_str());
    std::fprintf(file, tabs ? "Supported Trans Types:\t%s\n" : "Supported Trans Types: %s\n", c[6].c_str());
    std::fprintf(file, tabs ? "Map Num:\t%s\n" : "Map Num: %s\n", c[10].c_str());
    for (int n = 1; n <= 8; ++n)
        std::fprintf(file, tabs ? "Map %d:\t%s\n" : "Map %d: %s\n", n, c[static_cast<size_t>(10 + n)].c_str());
    std::fputs("\n", file);
}

}  // namespace ostrel::vessolt
