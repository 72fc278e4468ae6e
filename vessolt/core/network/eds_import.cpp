// EDS and DCF import: names and data types of a data sheet's objects into one node's entry list.
// Never shows a message (a data sheet is a vendor's file and often sloppy); what it could not read
// goes to stderr as "file:line: what", and a failed or partial import leaves one line in the log.
#include "network/symbols.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "services/log.h"
#include "services/numeric_text.h"
#include "platform/regular_file.h"
#include "platform/ini.h"
#include "platform/process.h"

namespace ostrel::vessolt {
namespace {

// Object lists name objects by the decimal keys 1..n: more than 16 bits of them is no data sheet.
constexpr int32_t kMaxListedObjects = 0xFFFF;
// Sub-indices are 8 bits and 255 is reserved: a compact object holds at most 254 sub-objects, a
// record at most 255 (0 to 254).
constexpr int32_t kMaxCompactSubObjects = 254;
constexpr int32_t kMaxSubObjects = 255;
constexpr uint64_t kMaxIndex = 0xFFFF;
constexpr uint64_t kMaxDataType = 0xFFFF;
constexpr int kLastScannedSubIndex = 254;

constexpr const char* kObjectLists[] = {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"};
constexpr const char* kDummyNames[] = {"BOOLEAN", "INTEGER8", "INTEGER16", "INTEGER32",
                                       "UNSIGNED8", "UNSIGNED16", "UNSIGNED32"};

// CiA 301 data-type index -> the system's numbering.
int32_t mapEdsDataType(uint32_t edsType) noexcept {
    switch (edsType) {
    case 0x01: return ODT_BOOLEAN;
    case 0x02: return ODT_INTEGER8;
    case 0x03: return ODT_INTEGER16;
    case 0x04: return ODT_INTEGER32;
    case 0x05: return ODT_UNSIGNED8;
    case 0x06: return ODT_UNSIGNED16;
    case 0x07: return ODT_UNSIGNED32;
    case 0x08: return ODT_REAL32;
    case 0x09: return ODT_VISIBLE_STRING;
    case 0x0A: return ODT_OCTET_STRING;
    case 0x0B: return ODT_UNICODE_STRING;
    case 0x0C: return ODT_TIME_OF_DAY;
    case 0x0D: return ODT_TIME_DIFFERENCE;
    case 0x0F: return ODT_DOMAIN;
    case 0x10: return ODT_INTEGER24;
    case 0x11: return ODT_REAL64;
    case 0x12: return ODT_INTEGER40;
    case 0x13: return ODT_INTEGER48;
    case 0x14: return ODT_INTEGER56;
    case 0x15: return ODT_INTEGER64;
    case 0x16: return ODT_UNSIGNED24;
    case 0x18: return ODT_UNSIGNED40;
    case 0x19: return ODT_UNSIGNED48;
    case 0x1A: return ODT_UNSIGNED56;
    case 0x1B: return ODT_UNSIGNED64;
    default: return ODT_UNKNOWN;
    }
}

std::string hex4(uint32_t index, const char* suffix = "") {
    char name[32];
    std::snprintf(name, sizeof name, "%04x%s", index, suffix);
    return name;
}

std::string subSection(uint32_t index, int subIndex) {
    char name[40];
    std::snprintf(name, sizeof name, "%04xsub%x", index, static_cast<unsigned>(subIndex));
    return name;
}

bool isValidUtf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        uint32_t lowest = 0;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { length = 2; lowest = 0x80; }
        else if (c >= 0xE0 && c <= 0xEF) { length = 3; lowest = 0x800; }
        else if (c >= 0xF0 && c <= 0xF4) { length = 4; lowest = 0x10000; }
        else return false;
        if (i + length > text.size()) return false;
        uint32_t code = c & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Data sheets that are not UTF-8 were written on Windows: Windows-1252, which agrees with Latin-1 above 0x9F.
std::string fromWindows1252(std::string_view text) {
    static constexpr uint16_t k80to9F[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) out += ch;
        else if (c < 0xA0) appendUtf8(out, k80to9F[c - 0x80]);
        else appendUtf8(out, c);
    }
    return out;
}

// The sub-object sections of the whole file by object index, each list in ascending order: an
// object is then read from the sections it has, where probing all 255 names of each of thousands of
// listed objects would hold the GUI thread for seconds.
using SubSections = std::unordered_map<uint32_t, std::vector<uint8_t>>;

SubSections indexSubSections(const platform::IniFile& file) {
    SubSections subs;
    for (const std::string& name : file.sections()) {
        const auto at = name.find_first_of("sS", 4);
        if (at == std::string::npos || at + 3 >= name.size() || at + 5 < name.size()) continue;
        const uint32_t index = parseUnsignedText(std::string_view(name).substr(0, at), 16);
        const uint32_t sub = parseUnsignedText(std::string_view(name).substr(at + 3), 16);
        // Only the names the import would ask for ("1a00sub1", never "1a00sub01").
        const std::string canonical =
            sub <= static_cast<uint32_t>(kLastScannedSubIndex) ? subSection(index, static_cast<int>(sub)) : "";
        if (canonical.size() != name.size() ||
            !std::equal(name.begin(), name.end(), canonical.begin(),
                        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
            continue;
        subs[index].push_back(static_cast<uint8_t>(sub));
    }
    for (auto& [index, list] : subs) std::sort(list.begin(), list.end());
    return subs;
}

} // namespace

struct TSymbols::ImportReport {
    const SubSections* subSections = nullptr;  // null: sub-objects are probed by name
    std::string path;
    const platform::IniFile* file = nullptr;
    std::size_t problems = 0;
    std::string listSection;  // the object-list key being followed
    std::string listKey;

    // The line is looked up only for what is printed: a lookup walks the file's blocks.
    void note(std::string_view section, std::string_view key, const std::string& what) {
        ++problems;
        if (problems <= kMaxImportDiagnostics) {
            const int line = (file && !section.empty()) ? file->lineNumber(section, key) : 0;
            std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), line, what.c_str());
        } else if (problems == kMaxImportDiagnostics + 1) {
            std::fprintf(stderr, "%s: further problems not shown\n", path.c_str());
        }
    }

    // A count key (an integer key): missing gives 0. A value present but not an integer from 0 to
    // `limit` is never guessed at: nullopt, and a note naming it and saying what is left out.
    std::optional<int32_t> count(const std::string& section, const std::string& key, int32_t limit,
                                 const char* leftOut) {
        if (!file->keyExists(section, key)) return 0;
        const std::string text = file->readString(section, key);
        const auto value = platform::parseIniInteger(text);
        if (value && *value >= 0 && *value <= limit) return *value;
        refuse(section, key, text, static_cast<uint64_t>(limit), leftOut);
        return std::nullopt;
    }
    // The same for a numeric-string key (an object index, a data type), missing or not.
    std::optional<uint64_t> code(const std::string& section, const std::string& key, uint64_t limit,
                                 const char* leftOut) {
        if (!file->keyExists(section, key)) return std::nullopt;
        const std::string text = file->readString(section, key);
        const auto value = parseWholeUnsignedText(text);
        if (value && *value <= limit) return *value;
        refuse(section, key, text, limit, leftOut);
        return std::nullopt;
    }
    void refuse(const std::string& section, const std::string& key, const std::string& text, uint64_t limit,
                const char* leftOut) {
        note(section, key, "[" + section + "] " + key + "=" + text + " is not a number from 0 to " +
                               std::to_string(limit) + "; " + leftOut);
    }
    // The system's type of a section's "DataType": unknown when it is missing or cannot be read.
    int32_t dataType(const std::string& section) {
        const auto type = code(section, "DataType", kMaxDataType, "its type is unknown");
        return type ? mapEdsDataType(static_cast<uint32_t>(*type)) : ODT_UNKNOWN;
    }
};

void TSymbols::ImportEDS(uint8_t nodeId, const std::string& path) {
    if (nodeId >= kNodeLists) return;  // no entry list to import into
    ImportReport report;
    report.path = path;
    std::string content;
    if (std::string error; !platform::readRegularFile(path, content, error)) {
        report.note({}, {}, "cannot be read: " + error);
        if (TLog* log = log_.load()) {
            log->Add("EDS import for node " + std::to_string(nodeId) + " failed: " + path + " cannot be read (" +
                     error + ")");
        }
        return;
    }
    // A BOM says UTF-8, but editors put one before Latin-1 text too: the bytes decide.
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);
    if (!isValidUtf8(content)) content = fromWindows1252(content);

    platform::IniFile file;
    (void)file.loadFromString(content);
    content.clear();
    report.file = &file;
    const SubSections subSections = indexSubSections(file);
    report.subSections = &subSections;

    for (uint32_t type = 1; type <= 7; ++type) {
        const std::string key = "Dummy000" + std::to_string(type);
        if (report.count("DummyUsage", key, INT32_MAX, "no dummy entry").value_or(0) != 0) {
            AddEntry(nodeId, ODEntry{type, 0, kDummyNames[type - 1], {}, ODT_UNSIGNED32});
        }
    }
    std::size_t objects = 0;
    for (const char* list : kObjectLists) {
        // A list whose length cannot be read is left out whole: its entries could be any of the keys.
        const int32_t listed =
            report.count(list, "SupportedObjects", kMaxListedObjects, "the list is skipped").value_or(0);
        for (int32_t i = 1; i <= listed; ++i) {
            const std::string key = std::to_string(i);
            const auto index =
                static_cast<uint32_t>(report.code(list, key, kMaxIndex, "the entry is skipped").value_or(0));
            if (index == 0) continue;
            report.listSection = list;
            report.listKey = key;
            importEdsObject(nodeId, file, index, report);
            ++objects;
        }
    }
    TLog* log = log_.load();
    if (log && report.problems > 0) {
        log->Add("EDS import for node " + std::to_string(nodeId) + " incomplete: " + std::to_string(report.problems) +
                  " problem(s) in " + path);
    }
    // A sheet saved as UTF-16, or a file that is no data sheet at all, reads as an empty INI file.
    if (log && objects == 0) {
        log->Add("EDS import for node " + std::to_string(nodeId) + ": no objects found in " + path +
                 " (not a text EDS file?)");
    }
}

void TSymbols::ImportEDSObject(uint8_t nodeId, const platform::IniFile& file, uint32_t index) {
    ImportReport report;
    report.path = file.path().empty() ? std::string("(data sheet)") : file.path();
    report.file = &file;
    importEdsObject(nodeId, file, index, report);
}

void TSymbols::importEdsObject(uint8_t nodeId, const platform::IniFile& file, uint32_t index, ImportReport& report) {
    const std::string section = hex4(index);
    if (!file.sectionExists(section)) {
        report.note(report.listSection, report.listKey, "object " + hex4(index) + " is listed but has no section [" + section + "]");
    }
    std::string entryName = file.readString(section, "ParameterName");
    cutToField(entryName, kNameField);
    // An object whose shape cannot be read is skipped rather than taken for another shape.
    const auto subNumberKey = report.count(section, "SubNumber", kMaxSubObjects, "the object is skipped");
    const auto compactKey = report.count(section, "CompactSubObj", kMaxCompactSubObjects, "the object is skipped");
    if (!subNumberKey || !compactKey) return;
    const int32_t subNumber = *subNumberKey;
    const int32_t compact = *compactKey;

    if (subNumber == 0 && compact == 0) {
        AddEntry(nodeId, ODEntry{index, 0, entryName, {}, report.dataType(section)});
        return;
    }
    if (subNumber == 0) {
        AddEntry(nodeId, ODEntry{index, 0, entryName, "NrOfObjects", ODT_UNSIGNED8});
        const int32_t dataType = report.dataType(section);
        const std::string names = hex4(index, "Name");
        for (int32_t i = 1; i <= compact; ++i) {
            std::string subName = file.readString(names, std::to_string(i));
            if (subName.empty()) subName = entryName + std::to_string(i);
            AddEntry(nodeId, ODEntry{index, static_cast<uint8_t>(i), entryName, std::move(subName), dataType});
        }
        return;
    }
    int32_t added = 0;
    const auto add = [&](int sub) {
        const std::string subName = subSection(index, sub);
        AddEntry(nodeId, ODEntry{index, static_cast<uint8_t>(sub), entryName, file.readString(subName, "ParameterName"),
                                 report.dataType(subName)});
        ++added;
    };
    if (report.subSections) {
        if (const auto it = report.subSections->find(index); it != report.subSections->end()) {
            for (std::size_t i = 0; i < it->second.size() && added < subNumber; ++i) add(it->second[i]);
        }
        return;
    }
    for (int sub = 0; sub <= kLastScannedSubIndex && added < subNumber; ++sub) {
        if (file.sectionExists(subSection(index, sub))) add(sub);
    }
}

std::string folderOf(std::string_view path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos) {
        // "C:name" keeps its drive as the folder.
        return (path.size() >= 2 && path[1] == ':') ? std::string(path.substr(0, 2)) : std::string();
    }
    return std::string(path.substr(0, slash + 1));
}

bool isAbsolutePathText(std::string_view path) noexcept {
    if (!path.empty() && path.front() == '/') return true;
    return path.size() >= 2 && path[1] == ':';
}

std::string MakeAbsolutePath(std::string_view path, std::string_view baseFolder) {
    if (isAbsolutePathText(path)) return std::string(path);
    std::string relative(path);
    for (char& c : relative) {
        if (c == '\\') c = '/';
    }
    std::string result = baseFolder.empty() ? platform::executableDir() : std::string(baseFolder);
    if (result.empty() || result.back() != '/') result += '/';
    // "\a.eds" reads as relative: one separator between folder and name is enough.
    std::size_t skip = 0;
    while (skip < relative.size() && relative[skip] == '/') ++skip;
    return result + relative.substr(skip);
}

} // namespace ostrel::vessolt
