// INI files. Input: a flags byte (bit 0: case-sensitive names), a size bound (4 bytes), the length
// of the file's text (2 bytes) and the text, then edits, each a kind byte and its section, key and
// value texts ended by a 0 byte.
// What a user expects: a file read and written again unchanged is the same file, byte for byte
// when its line ends agree; a written value reads back the same, in the document, in its text and
// in the file saved and loaded again; a write the format cannot hold is refused and changes
// nothing; nothing of the file beyond a reader's size bound is read.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_files.h"
#include "platform/ini.h"
#include "platform/regular_file.h"

namespace {

using ostrel::fuzz::scratch;
using ostrel::platform::IniFile;

// Names as the document matches them: ASCII letters folded unless it is case-sensitive.
struct Folding {
    bool sensitive = false;
    std::string operator()(std::string_view name) const {
        std::string out(name);
        if (!sensitive)
            for (char& c : out)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

bool lineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// What the document should hold: section -> key -> value, by folded names.
using Model = std::map<std::string, std::map<std::string, std::string>>;

Model modelOf(const IniFile& ini, const Folding& fold) {
    Model model;
    for (const std::string& section : ini.sections()) {
        auto& keys = model[fold(section)];
        for (const std::string& key : ini.keys(section)) keys[fold(key)] = ini.readString(section, key);
        FUZZ_CHECK(!keys.empty(), "section [%s] is listed but holds no key", section.c_str());
    }
    return model;
}

// The document against the model, through every reading operation.
void expectHolds(const IniFile& ini, const Model& model, const Folding& fold, const char* what) {
    const Model seen = modelOf(ini, fold);
    FUZZ_CHECK(seen == model, "%s: the sections, keys or values differ from what was written", what);
    for (const auto& [section, keys] : model) {
        FUZZ_CHECK(ini.sectionExists(section), "%s: [%s] is missing", what, section.c_str());
        for (const auto& [key, value] : keys) {
            FUZZ_CHECK(ini.keyExists(section, key), "%s: [%s] %s is missing", what, section.c_str(), key.c_str());
            FUZZ_CHECK(ini.readString(section, key, "\x01") == value, "%s: [%s] %s reads \"%s\", not \"%s\"", what,
                       section.c_str(), key.c_str(), ini.readString(section, key).c_str(), value.c_str());
            FUZZ_CHECK(ini.lineNumber(section, key) > 0, "%s: [%s] %s has no line", what, section.c_str(), key.c_str());
        }
    }
}

bool acceptable(std::string_view section, std::string_view key, std::string_view value) {
    if (lineBreak(section) || lineBreak(key) || lineBreak(value)) return false;
    if (section.find(']') != std::string_view::npos) return false;
    if (trim(section) != section || trim(key) != key) return false;
    return !key.empty() && key.find('=') == std::string_view::npos && key.front() != ';' && key.front() != '[';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ostrel::fuzz::InputReader in(data, size);
    const uint8_t flags = in.byte();
    const Folding fold{(flags & 1) != 0};
    const IniFile::Case mode = fold.sensitive ? IniFile::Case::Sensitive : IniFile::Case::Insensitive;
    const uint32_t bound = in.u32();
    const std::size_t length = in.byte() | (static_cast<std::size_t>(in.byte()) << 8);
    const std::string text = in.text(length);

    // Reading the file: whole when it fits the bound, refused when it does not.
    const std::string path = scratch().write("file.ini", text);
    {
        const std::size_t maxBytes = bound % (text.size() + 2);
        std::string content = "stale", error;
        const bool read = ostrel::platform::readRegularFile(path, content, error, maxBytes);
        FUZZ_CHECK(read == (text.size() <= maxBytes), "a file of %zu bytes %s a bound of %zu", text.size(),
                   read ? "was read under" : "was refused under", maxBytes);
        FUZZ_CHECK(!read || content == text, "the file read differs from the file");
        FUZZ_CHECK(read || !error.empty(), "a refused file gave no reason");
    }

    IniFile ini(path, mode);
    FUZZ_CHECK(ini.load(), "the file does not load: %s", ini.error().c_str());
    Model model = modelOf(ini, fold);

    // Unchanged, it writes back as it was read.
    const std::string again = ini.toString();
    IniFile reread({}, mode);
    (void)reread.loadFromString(again);
    expectHolds(reread, model, fold, "read back unchanged");
    FUZZ_CHECK(reread.toString() == again, "writing a document twice gives two texts");
    const std::string_view body = std::string_view(text).substr(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
    const bool lf = body.find("\r\n") == std::string_view::npos;
    bool crlf = true;
    for (std::size_t at = body.find('\n'); at != std::string_view::npos; at = body.find('\n', at + 1))
        crlf = crlf && at > 0 && body[at - 1] == '\r';
    if ((text.empty() || text.back() == '\n') && (lf || crlf))
        FUZZ_CHECK(again == text, "an unchanged file of consistent line ends is not written back byte for byte");

    while (!in.empty()) {
        const uint8_t kind = in.byte();
        const std::string section = in.upTo(std::string_view("\0", 1));
        const std::string key = in.upTo(std::string_view("\0", 1));
        const std::string value = in.upTo(std::string_view("\0", 1));
        switch (kind % 5) {
        case 0:
        case 1: {
            const std::string before = acceptable(section, key, value) ? std::string() : ini.toString();
            const bool accepted = ini.writeString(section, key, value);
            FUZZ_CHECK(accepted == acceptable(section, key, value), "writing [%s] %s=%s was %s", section.c_str(),
                       key.c_str(), value.c_str(), accepted ? "accepted" : "refused");
            if (accepted)
                model[fold(section)][fold(key)] = std::string(trim(value));
            else
                FUZZ_CHECK(ini.toString() == before, "a refused write changed the document");
            break;
        }
        case 2: {
            const auto number = static_cast<int32_t>(value.size() > 0 ? std::hash<std::string>{}(value) : 0);
            const bool accepted = ini.writeInteger(section, key, number);
            FUZZ_CHECK(accepted == acceptable(section, key, ""), "writing [%s] %s as a number was %s",
                       section.c_str(), key.c_str(), accepted ? "accepted" : "refused");
            if (accepted) {
                model[fold(section)][fold(key)] = std::to_string(number);
                FUZZ_CHECK(ini.readInteger(section, key, number + 1) == number, "a written number reads back otherwise");
            }
            break;
        }
        case 3: {
            ini.deleteKey(section, key);
            if (auto it = model.find(fold(section)); it != model.end()) {
                it->second.erase(fold(key));
                if (it->second.empty()) model.erase(it);
            }
            FUZZ_CHECK(!ini.keyExists(section, key), "[%s] %s is still there after its deletion", section.c_str(),
                       key.c_str());
            break;
        }
        default:
            ini.eraseSection(section);
            model.erase(fold(section));
            FUZZ_CHECK(!ini.sectionExists(section), "[%s] is still there after its erasure", section.c_str());
            break;
        }
        // The edited name at once; the whole document once the edits are done.
        const auto section_ = model.find(fold(section));
        const bool held = section_ != model.end() && section_->second.count(fold(key)) > 0;
        FUZZ_CHECK(ini.keyExists(section, key) == held, "[%s] %s %s after an edit", section.c_str(), key.c_str(),
                   held ? "is missing" : "is there");
        if (held)
            FUZZ_CHECK(ini.readString(section, key) == section_->second.at(fold(key)), "[%s] %s reads \"%s\" after an edit",
                       section.c_str(), key.c_str(), ini.readString(section, key).c_str());
        FUZZ_CHECK(ini.sectionExists(section) == (section_ != model.end()), "[%s] %s after an edit", section.c_str(),
                   section_ != model.end() ? "is missing" : "is there");
    }
    expectHolds(ini, model, fold, "after the edits");

    // The edited document, as text and as a file.
    IniFile fromText({}, mode);
    (void)fromText.loadFromString(ini.toString());
    expectHolds(fromText, model, fold, "its text read again");
    FUZZ_CHECK(ini.save(), "the document was not saved: %s", ini.error().c_str());
    IniFile fromFile(path, mode);
    FUZZ_CHECK(fromFile.load(), "the saved file does not load: %s", fromFile.error().c_str());
    expectHolds(fromFile, model, fold, "the saved file read again");
    return 0;
}
