// INI profile files.
//
// Our own small parser rather than a library: the semantics we need (first duplicate key wins, a
// case-sensitive mode chosen at run time, a byte-exact round trip of every line we do not change)
// are easier to state here than to bend a general one to.
//
// The document is kept as its lines, grouped in blocks (block 0: the lines before the first section
// header; every further block: one header and the lines up to the next). Sections and keys are
// indexed in hash maps, so a lookup never rescans the text; a section header that repeats an
// earlier one continues that section.
#include "platform/ini.h"
#include "platform/regular_file.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <unordered_map>

#include <sys/stat.h>

namespace ostrel::platform {
namespace {

char foldAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Hash and equality for section and key names, folding ASCII case unless the file is case-sensitive.
// Transparent, so lookups take a string_view without building a string.
struct NameHash {
    using is_transparent = void;
    bool caseSensitive = false;
    std::size_t operator()(std::string_view name) const noexcept {
        uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (char c : name) {
            hash ^= static_cast<unsigned char>(caseSensitive ? c : foldAscii(c));
            hash *= 1099511628211ull;
        }
        return static_cast<std::size_t>(hash);
    }
};

struct NameEqual {
    using is_transparent = void;
    bool caseSensitive = false;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        if (caseSensitive) return a == b;
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (foldAscii(a[i]) != foldAscii(b[i])) return false;
        }
        return true;
    }
};

template <typename T>
using NameMap = std::unordered_map<std::string, T, NameHash, NameEqual>;

template <typename T>
NameMap<T> makeNameMap(bool caseSensitive) {
    return NameMap<T>(0, NameHash{caseSensitive}, NameEqual{caseSensitive});
}

enum class LineKind : uint8_t { Other, Header, Key };

// One line without its line end; for headers and keys, where the name and the value lie in it.
struct Line {
    std::string raw;
    LineKind kind = LineKind::Other;
    uint32_t nameBegin = 0;
    uint32_t nameLength = 0;
    uint32_t valueBegin = 0;
    uint32_t valueLength = 0;

    std::string_view name() const noexcept { return std::string_view(raw).substr(nameBegin, nameLength); }
    std::string_view value() const noexcept { return std::string_view(raw).substr(valueBegin, valueLength); }
};

struct Block {
    std::vector<Line> lines;  // lines[0] is the header, except in block 0
    bool erased = false;
};

struct KeyPosition {
    uint32_t block = 0;
    uint32_t line = 0;
};

struct Section {
    std::string name;              // as first written
    std::vector<uint32_t> blocks;  // every block headed by this name, in file order
    NameMap<KeyPosition> keys;     // first occurrence of each key
};

uint32_t offsetIn(std::string_view whole, std::string_view part) noexcept {
    return static_cast<uint32_t>(part.data() - whole.data());
}

Line classifyLine(std::string raw) {
    Line line;
    line.raw = std::move(raw);
    const std::string_view whole(line.raw);
    const std::string_view text = trim(whole);
    if (text.empty() || text.front() == ';') return line;
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return line;
        const std::string_view name = trim(text.substr(1, close - 1));
        line.kind = LineKind::Header;
        line.nameBegin = name.empty() ? offsetIn(whole, text) + 1 : offsetIn(whole, name);
        line.nameLength = static_cast<uint32_t>(name.size());
        return line;
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return line;
    const std::string_view key = trim(text.substr(0, equals));
    if (key.empty()) return line;
    const std::string_view afterEquals = text.substr(equals + 1);
    const std::string_view value = trim(afterEquals);
    line.kind = LineKind::Key;
    line.nameBegin = offsetIn(whole, key);
    line.nameLength = static_cast<uint32_t>(key.size());
    line.valueBegin = value.empty() ? offsetIn(whole, afterEquals) : offsetIn(whole, value);
    line.valueLength = static_cast<uint32_t>(value.size());
    return line;
}

bool hasLineBreak(std::string_view text) noexcept { return text.find_first_of("\r\n") != std::string_view::npos; }

} // namespace

struct IniFile::Impl {
    std::string path;
    std::string error;  // why the last load or save failed
    bool caseSensitive = false;
    bool hasBom = false;
    bool crlf = false;
    std::vector<Block> blocks;
    std::vector<Section> sections;  // in order of first appearance; erased ones stay, unindexed
    NameMap<uint32_t> sectionIndex;

    Impl(std::string p, bool cs) : path(std::move(p)), caseSensitive(cs), sectionIndex(makeNameMap<uint32_t>(cs)) {
        clear();
    }

    void clear() {
        hasBom = false;
        crlf = false;
        blocks.assign(1, Block{});
        sections.clear();
        sectionIndex.clear();
    }

    Section& sectionFor(std::string_view name) {
        if (const auto it = sectionIndex.find(name); it != sectionIndex.end()) return sections[it->second];
        sections.push_back(Section{std::string(name), {}, makeNameMap<KeyPosition>(caseSensitive)});
        sectionIndex.emplace(std::string(name), static_cast<uint32_t>(sections.size() - 1));
        return sections.back();
    }

    const Section* findSection(std::string_view name) const {
        const auto it = sectionIndex.find(name);
        return it == sectionIndex.end() ? nullptr : &sections[it->second];
    }
    Section* findSection(std::string_view name) {
        const auto it = sectionIndex.find(name);
        return it == sectionIndex.end() ? nullptr : &sections[it->second];
    }

    const Line* findKey(std::string_view section, std::string_view key) const {
        const Section* s = findSection(section);
        if (!s) return nullptr;
        const auto it = s->keys.find(key);
        if (it == s->keys.end()) return nullptr;
        return &blocks[it->second.block].lines[it->second.line];
    }

    void parse(std::string_view text) {
        clear();
        if (text.substr(0, 3) == "\xEF\xBB\xBF") {
            hasBom = true;
            text.remove_prefix(3);
        }
        Section* current = nullptr;
        while (!text.empty()) {
            std::size_t end = text.find('\n');
            std::string_view rawLine = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            if (!rawLine.empty() && rawLine.back() == '\r') {
                rawLine.remove_suffix(1);
                crlf = true;
            }
            Line line = classifyLine(std::string(rawLine));
            if (line.kind == LineKind::Header) {
                current = &sectionFor(line.name());
                current->blocks.push_back(static_cast<uint32_t>(blocks.size()));
                blocks.push_back(Block{});
            } else if (line.kind == LineKind::Key) {
                if (!current) {
                    line.kind = LineKind::Other;  // a key before any section belongs to none
                } else {
                    const KeyPosition at{static_cast<uint32_t>(blocks.size() - 1),
                                         static_cast<uint32_t>(blocks.back().lines.size())};
                    current->keys.try_emplace(std::string(line.name()), at);  // the first one wins
                }
            }
            blocks.back().lines.push_back(std::move(line));
        }
    }

    void reindex(Section& section) {
        section.keys.clear();
        for (uint32_t b : section.blocks) {
            const auto& lines = blocks[b].lines;
            for (uint32_t i = 0; i < lines.size(); ++i) {
                if (lines[i].kind == LineKind::Key) section.keys.try_emplace(std::string(lines[i].name()), KeyPosition{b, i});
            }
        }
    }

    bool lastLineIsBlank() const {
        for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
            if (block->erased || block->lines.empty()) continue;
            return trim(block->lines.back().raw).empty();
        }
        return true;  // an empty document needs no separator
    }

    std::string text() const {
        const char* eol = crlf ? "\r\n" : "\n";
        std::string out;
        std::size_t size = hasBom ? 3 : 0;
        for (const Block& block : blocks) {
            for (const Line& line : block.lines) size += line.raw.size() + 2;
        }
        out.reserve(size);
        if (hasBom) out += "\xEF\xBB\xBF";
        for (const Block& block : blocks) {
            if (block.erased) continue;
            for (const Line& line : block.lines) {
                out += line.raw;
                out += eol;
            }
        }
        return out;
    }
};

IniFile::IniFile(std::string path, Case mode) : impl_(std::make_unique<Impl>(std::move(path), mode == Case::Sensitive)) {}
IniFile::~IniFile() = default;
IniFile::IniFile(IniFile&&) noexcept = default;
IniFile& IniFile::operator=(IniFile&&) noexcept = default;

bool IniFile::load() {
    impl_->clear();
    impl_->error.clear();
    std::string content;
    if (!readRegularFile(impl_->path, content, impl_->error)) return false;
    impl_->parse(content);
    return true;
}

bool IniFile::loadForUpdate() {
    if (load()) return true;
    // A path that names nothing yet (a link to a missing file included) is a new, empty file.
    struct stat info {};
    if (::stat(impl_->path.c_str(), &info) != 0 && errno == ENOENT) {
        impl_->error.clear();
        return true;
    }
    return false;
}

bool IniFile::loadFromString(std::string_view text) {
    impl_->parse(text);
    return true;
}

std::string IniFile::toString() const { return impl_->text(); }

bool IniFile::save() const {
    impl_->error.clear();
    return replaceRegularFile(impl_->path, impl_->text(), impl_->error);
}

const std::string& IniFile::error() const noexcept {
    static const std::string kNone;
    return impl_ ? impl_->error : kNone;
}

bool IniFile::sectionExists(std::string_view section) const {
    const Section* s = impl_->findSection(section);
    return s && !s->keys.empty();
}

bool IniFile::keyExists(std::string_view section, std::string_view key) const {
    return impl_->findKey(section, key) != nullptr;
}

std::vector<std::string> IniFile::sections() const {
    std::vector<std::string> names;
    for (const Section& s : impl_->sections) {
        if (!s.keys.empty() && impl_->findSection(s.name) == &s) names.push_back(s.name);
    }
    return names;
}

std::vector<std::string> IniFile::keys(std::string_view section) const {
    std::vector<std::string> names;
    const Section* s = impl_->findSection(section);
    if (!s) return names;
    names.reserve(s->keys.size());
    for (uint32_t b : s->blocks) {
        const auto& lines = impl_->blocks[b].lines;
        for (uint32_t i = 0; i < lines.size(); ++i) {
            if (lines[i].kind != LineKind::Key) continue;
            const auto it = s->keys.find(lines[i].name());
            if (it != s->keys.end() && it->second.block == b && it->second.line == i) names.emplace_back(lines[i].name());
        }
    }
    return names;
}

int32_t IniFile::lineNumber(std::string_view section, std::string_view key) const {
    const Section* s = impl_->findSection(section);
    if (!s) return 0;
    const auto it = s->keys.find(key);
    if (it == s->keys.end()) return 0;
    std::size_t line = it->second.line + 1;
    for (uint32_t b = 0; b < it->second.block; ++b) {
        if (!impl_->blocks[b].erased) line += impl_->blocks[b].lines.size();
    }
    return line > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(line);
}

std::string IniFile::readString(std::string_view section, std::string_view key, std::string_view defaultValue) const {
    const Line* line = impl_->findKey(section, key);
    return std::string(line ? line->value() : defaultValue);
}

int32_t IniFile::readInteger(std::string_view section, std::string_view key, int32_t defaultValue) const {
    const Line* line = impl_->findKey(section, key);
    if (!line) return defaultValue;
    return parseIniInteger(line->value()).value_or(defaultValue);
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    if (hasLineBreak(section) || section.find(']') != std::string_view::npos) return false;
    // The file reads names without surrounding blanks: a name with them could never be found again.
    if (trim(section) != section || trim(key) != key) return false;
    if (hasLineBreak(key) || key.empty() || key.find('=') != std::string_view::npos || key.front() == ';' ||
        key.front() == '[') {
        return false;
    }
    if (hasLineBreak(value)) return false;
    value = trim(value);  // what a reader would see anyway

    Impl& d = *impl_;
    Section* s = d.findSection(section);
    if (s) {
        if (const auto it = s->keys.find(key); it != s->keys.end()) {
            Line& line = d.blocks[it->second.block].lines[it->second.line];
            line.raw.replace(line.valueBegin, line.valueLength, value);
            line.valueLength = static_cast<uint32_t>(value.size());
            return true;
        }
    } else {
        if (!d.lastLineIsBlank()) d.blocks.back().lines.push_back(Line{});
        Line header = classifyLine("[" + std::string(section) + "]");
        s = &d.sectionFor(header.name());
        s->blocks.push_back(static_cast<uint32_t>(d.blocks.size()));
        d.blocks.push_back(Block{});
        d.blocks.back().lines.push_back(std::move(header));
    }
    // After the last key of the section's first block: only comments and blank lines follow it
    // there, so no indexed position moves.
    const uint32_t b = s->blocks.front();
    auto& lines = d.blocks[b].lines;  // lines[0] is the header
    std::size_t at = lines.size();
    while (at > 1 && lines[at - 1].kind != LineKind::Key) --at;
    Line line = classifyLine(std::string(key) + "=" + std::string(value));
    s->keys.try_emplace(std::string(line.name()), KeyPosition{b, static_cast<uint32_t>(at)});
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
    return true;
}

bool IniFile::writeInteger(std::string_view section, std::string_view key, int32_t value) {
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return writeString(section, key, std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

bool IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
    return writeString(section, key, value ? "1" : "0");
}

void IniFile::deleteKey(std::string_view section, std::string_view key) {
    Impl& d = *impl_;
    Section* s = d.findSection(section);
    if (!s || s->keys.find(key) == s->keys.end()) return;
    const NameEqual equal{d.caseSensitive};
    for (uint32_t b : s->blocks) {
        std::erase_if(d.blocks[b].lines,
                      [&](const Line& line) { return line.kind == LineKind::Key && equal(line.name(), key); });
    }
    d.reindex(*s);
}

void IniFile::eraseSection(std::string_view section) {
    Impl& d = *impl_;
    const auto it = d.sectionIndex.find(section);
    if (it == d.sectionIndex.end()) return;
    Section& s = d.sections[it->second];
    for (uint32_t b : s.blocks) {
        d.blocks[b].erased = true;
        d.blocks[b].lines.clear();
    }
    s.blocks.clear();
    s.keys.clear();
    d.sectionIndex.erase(it);
}

const std::string& IniFile::path() const noexcept {
    static const std::string kNone;
    return impl_ ? impl_->path : kNone;
}

// The reading rule of the profile files we mirror: unlike a C-style reader that stops at the first
// non-digit ("12abc" -> 12, "1F" -> 1), the whole text must be a number, else the caller's default
// applies. Blanks around the number do not count (values are trimmed anyway).
std::optional<int32_t> parseIniInteger(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && text[0] == '$') {
        base = 16;
        text.remove_prefix(1);
    }
    // from_chars would accept its own sign; we have taken ours already.
    if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (base == 16) {
        if (magnitude > UINT32_MAX) return std::nullopt;
        uint32_t bits = static_cast<uint32_t>(magnitude);
        if (negative) bits = 0u - bits;
        return static_cast<int32_t>(bits);
    }
    if (negative) {
        if (magnitude > static_cast<uint64_t>(INT32_MAX) + 1) return std::nullopt;
        return static_cast<int32_t>(-static_cast<int64_t>(magnitude));
    }
    if (magnitude > static_cast<uint64_t>(INT32_MAX)) return std::nullopt;
    return static_cast<int32_t>(magnitude);
}

} // namespace ostrel::platform
