// Network description files (.cxl). Input: a flags byte (bit 0: a comment before the document puts
// its text across the reader's 16 KiB blocks, shifted by the other bits), then the file's bytes.
// What a user expects: a well-formed file loads and one that is not gives one warning that names
// the file; the load callbacks run once after a load and never after a failure; what a loaded file
// says is what the names store answers: each object-dictionary entry (its names cut to their field
// on a character boundary, its type), message and SDO abort code, the last one of a key winning.
#include <expat.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_files.h"
#include "network/symbols.h"
#include "services/numeric_text.h"
#include "services/user_prompt.h"

namespace {

using namespace ostrel::vessolt;
using ostrel::fuzz::scratch;

constexpr std::size_t kBlock = 16384;

// What the file says, read the way the format is described: the text of an element is what stands
// since the last tag (the first 5999 bytes of it, whole characters), blanks around it dropped and
// every other blank made a space; numbers as C reads them; a record counts at its end tag, on its
// path below the root element "cxl".
struct Said {
    bool wellFormed = false;
    std::map<std::tuple<uint8_t, uint32_t, uint8_t>, ODEntry> entries;
    std::map<uint32_t, std::string> messages;
    std::map<uint32_t, std::string> abortCodes;
    std::set<uint8_t> nodesWithSheets;  // their lists also hold what their data sheets bring

    std::vector<std::string> path;
    std::string text;
    bool textFull = false;
    uint8_t nodeId = 0;
    ODEntry entry;
    uint32_t messageId = 0, abortCode = 0;
    std::string messageName, abortName;
    uint8_t sheetNode = 0;
    bool sheet = false;

    bool at(std::initializer_list<const char*> p) const {
        if (path.size() != p.size() + 1 || path[0] != "cxl") return false;
        std::size_t i = 1;
        for (const char* name : p)
            if (path[i++] != name) return false;
        return true;
    }
    std::string value() const {
        std::string t = text;
        TSymbols::TrimText(t);
        return t;
    }
    uint32_t number() const { return parseUnsignedText(value()); }
    std::string name() const {
        std::string t = value();
        cutToField(t, kNameField);
        return t;
    }

    void start(const char* name) {
        path.emplace_back(name);
        text.clear();
        textFull = false;
        if (at({"objectdictionary"})) nodeId = 0;
        else if (at({"objectdictionary", "entry"})) entry.index = 0, entry.entryName.clear();
        else if (at({"objectdictionary", "entry", "subentry"}))
            entry.subIndex = 0, entry.subEntryName.clear(), entry.dataType = ODT_UNKNOWN;
        else if (at({"network", "message"})) messageId = 0, messageName.clear();
        else if (at({"network", "abortcode"})) abortCode = 0, abortName.clear();
        else if (at({"network", "node"})) sheetNode = 0, sheet = false;
    }
    void characters(const char* data, int length) {
        if (textFull) return;
        text.append(data, static_cast<std::size_t>(length));
        if (text.size() > TSymbols::kElementTextCapacity - 1) {
            cutToField(text, TSymbols::kElementTextCapacity);
            textFull = true;
        }
    }
    void end() {
        if (at({"objectdictionary", "nodeid"})) nodeId = static_cast<uint8_t>(number());
        else if (at({"objectdictionary", "entry", "index"})) entry.index = number();
        else if (at({"objectdictionary", "entry", "name"})) entry.entryName = name();
        else if (at({"objectdictionary", "entry", "subentry", "subindex"})) entry.subIndex = static_cast<uint8_t>(number());
        else if (at({"objectdictionary", "entry", "subentry", "name"})) entry.subEntryName = name();
        else if (at({"objectdictionary", "entry", "subentry", "type"})) {
            std::string t = value();
            TSymbols::LowerCase(t);
            if (const int32_t code = odDataTypeFromName(t); code != ODT_UNKNOWN) entry.dataType = code;
        } else if (at({"objectdictionary", "entry", "subentry"})) {
            if (nodeId < TSymbols::kNodeLists) entries[{nodeId, entry.index, entry.subIndex}] = entry;
        } else if (at({"network", "message", "id"})) messageId = number();
        else if (at({"network", "message", "name"})) messageName = name();
        else if (at({"network", "message"})) messages[messageId] = messageName;
        else if (at({"network", "abortcode", "code"})) abortCode = number();
        else if (at({"network", "abortcode", "name"})) abortName = name();
        else if (at({"network", "abortcode"})) abortCodes[abortCode] = abortName;
        else if (at({"network", "node", "id"})) sheetNode = static_cast<uint8_t>(number());
        else if (at({"network", "node", "eds"})) sheet = !value().empty();
        else if (at({"network", "node"}) && sheet) nodesWithSheets.insert(sheetNode);
        path.pop_back();
        text.clear();
        textFull = false;
    }
};

Said readSaid(const std::string& document) {
    Said said;
    const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr), &XML_ParserFree);
    FUZZ_CHECK(parser != nullptr, "no XML parser");
    XML_SetUserData(parser.get(), &said);
    XML_SetElementHandler(
        parser.get(), [](void* s, const XML_Char* name, const XML_Char**) { static_cast<Said*>(s)->start(name); },
        [](void* s, const XML_Char*) { static_cast<Said*>(s)->end(); });
    XML_SetCharacterDataHandler(parser.get(), [](void* s, const XML_Char* data, int length) {
        static_cast<Said*>(s)->characters(data, length);
    });
    said.wellFormed =
        XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), XML_TRUE) == XML_STATUS_OK;
    return said;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A store of its own per input: what a run keeps alive would make every run look like a leak.
    RecordingPrompt prompt;
    TSymbols symbols(prompt);
    int callbacks = 0;
    symbols.AddLoadCallback([&callbacks] { ++callbacks; });

    ostrel::fuzz::InputReader in(data, size);
    const uint8_t flags = in.byte();
    std::string document = in.rest();
    if ((flags & 1) != 0) document = "<!--" + std::string(kBlock - 7 - flags / 2, 'p') + "-->" + document;
    const std::string path = scratch().write("description.cxl", document);

    bool loaded = false;
    {
        ostrel::fuzz::QuietStderr quiet;  // data sheets the file names print their problems
        loaded = symbols.LoadFile(path);
    }
    const auto messages = prompt.asked();
    const Said said = readSaid(document);
    FUZZ_CHECK(loaded == said.wellFormed, "a %s file %s", said.wellFormed ? "well-formed" : "malformed",
               loaded ? "loaded" : "was refused");
    if (!loaded) {
        FUZZ_CHECK(messages.size() == 1, "a refused file gave %zu messages", messages.size());
        FUZZ_CHECK(messages.back().text.find(path) != std::string::npos && messages.back().icon == PromptIcon::Warning,
                   "the warning does not name the file: %s", messages.back().text.c_str());
        FUZZ_CHECK(callbacks == 0, "the load callbacks ran after a failed load");
        return 0;
    }
    FUZZ_CHECK(messages.empty(), "a loaded file gave the message: %s", messages.back().text.c_str());
    FUZZ_CHECK(callbacks == 1, "the load callbacks ran %d times", callbacks);

    for (const auto& [key, entry] : said.entries) {
        const auto& [node, index, sub] = key;
        if (said.nodesWithSheets.count(node) > 0) continue;
        const auto found = symbols.FindNodeEntry(index, sub, node);
        FUZZ_CHECK(found.has_value(), "node %u entry %X sub %u is missing", node, index, sub);
        FUZZ_CHECK(found->entryName == entry.entryName && found->subEntryName == entry.subEntryName &&
                       found->dataType == entry.dataType,
                   "node %u entry %X sub %u reads \"%s\" - \"%s\" (type %d), the file says \"%s\" - \"%s\" (type %d)",
                   node, index, sub, found->entryName.c_str(), found->subEntryName.c_str(), found->dataType,
                   entry.entryName.c_str(), entry.subEntryName.c_str(), entry.dataType);
    }
    for (const auto& [id, name] : said.messages) {
        const auto found = symbols.FindMessage(id);
        FUZZ_CHECK(found && found->name == name, "message %X reads \"%s\", the file says \"%s\"", id,
                   found ? found->name.c_str() : "(none)", name.c_str());
    }
    for (const auto& [code, name] : said.abortCodes) {
        const auto found = symbols.FindAbortCode(code);
        FUZZ_CHECK(found && found->name == name, "abort code %08X reads \"%s\", the file says \"%s\"", code,
                   found ? found->name.c_str() : "(none)", name.c_str());
    }
    return 0;
}
