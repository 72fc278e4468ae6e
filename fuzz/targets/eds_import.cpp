// EDS and DCF import. Input: a flags byte (bit 0: the file is made larger than the readers' bound by
// padding it), then the data sheet's bytes.
// What a user expects: the node's object list holds only entries the data sheet defines: dummies it
// uses, objects its object lists name within their counts, and of each object its sub-index 0, its
// compact sub-objects up to their bound, or sub-objects whose sections it has, no more than it says
// it has; every listed plain object is there; names are whole UTF-8 characters within their field;
// no other node's list changes; a file above the size bound is not read, and the log says so.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "fuzz_files.h"
#include "network/symbols.h"
#include "platform/ini.h"
#include "platform/regular_file.h"
#include "services/log.h"
#include "services/numeric_text.h"
#include "services/user_prompt.h"

namespace {

using namespace ostrel::vessolt;
using ostrel::fuzz::scratch;
using ostrel::platform::IniFile;

constexpr uint8_t kNode = 5;

std::string hex4(uint32_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "%04x", index);
    return name;
}

std::string subSection(uint32_t index, int sub) {
    char name[40];
    std::snprintf(name, sizeof name, "%04xsub%x", index, static_cast<unsigned>(sub));
    return name;
}

bool wholeUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// A count key as a data sheet means it: a whole number, 0 when absent or not one, at most `limit`.
// A count as the import takes it: absent is 0; present, it must be a whole number up to `limit`,
// else it is unusable (-1) and what depends on it is left out.
int64_t count(const IniFile& file, const std::string& section, const char* key, int64_t limit) {
    if (!file.keyExists(section, key)) return 0;
    const auto value = ostrel::platform::parseIniInteger(file.readString(section, key));
    if (!value || *value < 0 || *value > limit) return -1;
    return *value;
}

// What the data sheet defines of one object: the sub-indices it may have and how many at most.
struct Defined {
    std::set<int> subs;
    std::size_t most = 0;
    bool plain = false;  // neither sub-objects nor compact ones: sub-index 0 must be there
};

std::map<uint32_t, Defined> definedBy(const IniFile& file) {
    std::map<uint32_t, Defined> defined;
    for (uint32_t type = 1; type <= 7; ++type) {
        if (file.readInteger("DummyUsage", "Dummy000" + std::to_string(type), 0) != 0) {
            defined[type].subs.insert(0);
            defined[type].most = std::max<std::size_t>(defined[type].most, 1);
        }
    }
    for (const char* list : {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"}) {
        const int64_t listed = count(file, list, "SupportedObjects", 0xFFFF);
        for (int64_t i = 1; i <= listed; ++i) {
            const auto entry = ostrel::vessolt::parseWholeUnsignedText(file.readString(list, std::to_string(i)));
            if (!entry || *entry == 0 || *entry > 0xFFFF) continue;
            const auto index = static_cast<uint32_t>(*entry);
            Defined& d = defined[index];
            const std::string section = hex4(index);
            const int64_t subNumber = count(file, section, "SubNumber", 255);
            const int64_t compact = count(file, section, "CompactSubObj", 254);
            if (subNumber < 0 || compact < 0) continue;  // the object is left out
            if (subNumber == 0 && compact == 0) {
                d.subs.insert(0);
                d.most = std::max<std::size_t>(d.most, 1);
                d.plain = true;
            } else if (subNumber == 0) {
                for (int sub = 0; sub <= compact; ++sub) d.subs.insert(sub);
                d.most = std::max<std::size_t>(d.most, static_cast<std::size_t>(compact) + 1);
            } else {
                for (int sub = 0; sub <= 254; ++sub)
                    if (file.sectionExists(subSection(index, sub))) d.subs.insert(sub);
                d.most = std::max<std::size_t>(d.most, static_cast<std::size_t>(std::min<int64_t>(subNumber, 255)));
            }
        }
    }
    return defined;
}

bool logged(const TLog& log, const std::string& text) {
    for (int32_t i = 0; i < log.GetLineCount(); ++i)
        if (log.GetLine(i).find(text) != std::string::npos) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static RecordingPrompt prompt;
    static TSymbols symbols(prompt);
    symbols.ClearAll();
    TLog log;  // one per input: what a run keeps alive would make every run look like a leak
    symbols.SetLog(&log);
    struct Detach {
        TSymbols& s;
        ~Detach() { s.SetLog(nullptr); }
    } detach{symbols};

    ostrel::fuzz::InputReader in(data, size);
    const uint8_t flags = in.byte();
    const std::string content = in.rest();
    const std::string path = scratch().write("sheet.eds", content);

    if ((flags & 1) != 0) {
        const auto over = static_cast<off_t>(ostrel::platform::kMaxUserFileBytes + 1 + flags / 2);
        FUZZ_CHECK(::truncate(path.c_str(), over) == 0, "cannot pad the data sheet");
        {
            ostrel::fuzz::QuietStderr quiet;
            symbols.ImportEDS(kNode, path);
        }
        FUZZ_CHECK(symbols.NodeEntries(kNode).empty(), "a data sheet above the size bound was read");
        FUZZ_CHECK(logged(log, "cannot be read"), "the log does not say that the data sheet was not read");
        return 0;
    }

    {
        ostrel::fuzz::QuietStderr quiet;
        symbols.ImportEDS(kNode, path);
    }
    FUZZ_CHECK(prompt.asked().empty(), "the import showed a message");

    // The sheet as the import reads it; the keys and numbers that decide are ASCII, which the
    // import's conversion of Windows-made files leaves as they are.
    IniFile file;
    (void)file.loadFromString(content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? content.substr(3) : content);
    const std::map<uint32_t, Defined> defined = definedBy(file);

    std::map<uint32_t, std::size_t> perObject;
    for (const ODEntry& entry : symbols.NodeEntries(kNode)) {
        const auto it = defined.find(entry.index);
        FUZZ_CHECK(it != defined.end() && it->second.subs.count(entry.subIndex) > 0,
                   "entry %04X sub %u is not defined by the data sheet", entry.index, entry.subIndex);
        FUZZ_CHECK(++perObject[entry.index] <= it->second.most, "object %04X has more entries than the sheet gives it (%zu)",
                   entry.index, it->second.most);
        FUZZ_CHECK(entry.entryName.size() < kNameField && entry.subEntryName.size() < kNameField,
                   "a name of %04X sub %u is longer than its field", entry.index, entry.subIndex);
        FUZZ_CHECK(wholeUtf8(entry.entryName) && wholeUtf8(entry.subEntryName),
                   "a name of %04X sub %u is not whole UTF-8", entry.index, entry.subIndex);
    }
    for (const auto& [index, d] : defined)
        if (d.plain)
            FUZZ_CHECK(symbols.FindNodeEntry(index, 0, kNode).has_value(), "listed object %04X was not imported", index);
    FUZZ_CHECK(symbols.NodeEntries(0).empty() && symbols.NodeEntries(kNode + 1).empty(),
               "the import changed another node's list");
    if (defined.empty())
        FUZZ_CHECK(logged(log, "no objects found"), "a sheet without objects leaves no line in the log");
    return 0;
}
