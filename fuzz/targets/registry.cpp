// Registry values. Input: the length of a key's values file (2 bytes) and its bytes, a key name
// ended by a 0 byte, then changes: a kind byte, a value name ended by a 0 byte and the data (2
// bytes of length, then the bytes).
// What a user expects: the values a file holds are the values read, and a damaged file is said to be
// damaged, not half read; written values read back the same, from a key opened afresh, in the order
// first written and with the spelling first written; a damaged file is set aside, not lost; a key
// named in other letter case is the same key.
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_files.h"
#include "platform/regular_file.h"
#include "platform/registry.h"

namespace {

using ostrel::fuzz::scratch;
using namespace ostrel::platform;

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20) return std::nullopt;
        if (c != '%') {
            out += static_cast<char>(c);
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return std::nullopt;
        out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
    }
    return out;
}

// The values file as its format reads: a header line, "type<TAB>name<TAB>data" lines, "end <count>";
// every line ended by LF; no name twice (in any letter case). nullopt for anything else.
std::optional<std::vector<RegistryValue>> readFormat(std::string_view file) {
    std::vector<std::string_view> lines;
    while (!file.empty()) {
        const std::size_t end = file.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        lines.push_back(file.substr(0, end));
        file.remove_prefix(end + 1);
    }
    if (lines.size() < 2 || lines.front() != "ostrel-registry 1") return std::nullopt;
    const std::string_view last = lines.back();
    if (last.substr(0, 4) != "end " || last.size() == 4 ||
        last.find_first_not_of("0123456789", 4) != std::string_view::npos ||
        std::strtoull(std::string(last.substr(4)).c_str(), nullptr, 10) != lines.size() - 2)
        return std::nullopt;
    std::vector<RegistryValue> values;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t tab1 = line.find('\t');
        const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos || line.find('\t', tab2 + 1) != std::string_view::npos) return std::nullopt;
        const std::string_view type = line.substr(0, tab1);
        const std::string_view data = line.substr(tab2 + 1);
        auto name = unescape(line.substr(tab1 + 1, tab2 - tab1 - 1));
        if (!name) return std::nullopt;
        RegistryValue v;
        v.name = *name;
        if (type == "i") {
            v.type = RegistryType::Integer;
            std::string_view digits = data;
            if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
            const long long n = std::strtoll(std::string(data).c_str(), nullptr, 10);
            if (n < INT32_MIN || n > INT32_MAX) return std::nullopt;
            v.integer = static_cast<int32_t>(n);
        } else if (type == "s") {
            v.type = RegistryType::String;
            auto text = unescape(data);
            if (!text) return std::nullopt;
            v.text = *text;
        } else if (type == "b") {
            v.type = RegistryType::Binary;
            if (data.size() % 2 != 0) return std::nullopt;
            for (std::size_t k = 0; k < data.size(); k += 2) {
                if (!std::isxdigit(static_cast<unsigned char>(data[k])) ||
                    !std::isxdigit(static_cast<unsigned char>(data[k + 1])))
                    return std::nullopt;
                v.binary.push_back(static_cast<uint8_t>(std::stoi(std::string(data.substr(k, 2)), nullptr, 16)));
            }
        } else {
            return std::nullopt;
        }
        for (const RegistryValue& earlier : values)
            if (sameName(earlier.name, v.name)) return std::nullopt;
        values.push_back(std::move(v));
    }
    return values;
}

std::vector<RegistryValue>::iterator find(std::vector<RegistryValue>& values, std::string_view name) {
    for (auto it = values.begin(); it != values.end(); ++it)
        if (sameName(it->name, name)) return it;
    return values.end();
}

std::string swapCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("OSTREL_REGISTRY_DIR", scratch().file("registry").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::error_code ec;
    std::filesystem::remove_all(scratch().file("registry"), ec);
    ostrel::fuzz::InputReader in(data, size);
    const std::size_t length = in.byte() | (static_cast<std::size_t>(in.byte()) << 8);
    const std::string file = in.text(length);
    std::string keyName = in.upTo(std::string_view("\0", 1));
    // One key below a fixed parent; "\" separates keys and is no part of a name.
    for (char& c : keyName)
        if (c == '\\') c = '_';
    const std::string path = "Software\\Fuzz\\" + (keyName.empty() ? std::string("key") : keyName);

    std::string error;
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, path, &error);
    if (!key) {
        // Only a name the file system cannot hold as a folder is refused.
        FUZZ_CHECK(error.find("too long") != std::string::npos, "key %s was not created: %s", path.c_str(),
                   error.c_str());
        return 0;
    }
    std::filesystem::path folder;
    for (const auto& entry : std::filesystem::directory_iterator(scratch().file("registry/HKEY_CURRENT_USER/Software/Fuzz"), ec))
        folder = entry.path();
    FUZZ_CHECK(!folder.empty(), "key %s has no folder", path.c_str());
    ostrel::fuzz::writeFile(folder / ".values", file);

    // What the file holds is what a key opened afresh reads, in any letter case of its name.
    const std::optional<std::vector<RegistryValue>> inFile = readFormat(file);
    const std::string otherCase = swapCase(path);
    {
        auto reader = RegistryKey::open(RegistryRoot::CurrentUser, otherCase, &error);
        FUZZ_CHECK(reader != nullptr, "key %s is not found as %s: %s", path.c_str(), otherCase.c_str(), error.c_str());
        const std::vector<RegistryValue> values = reader->values();
        if (inFile) {
            FUZZ_CHECK(reader->lastError().empty(), "a sound values file read as damaged: %s", reader->lastError().c_str());
            FUZZ_CHECK(values == *inFile, "the values read (%zu) differ from the file's (%zu)", values.size(), inFile->size());
        } else {
            FUZZ_CHECK(values.empty(), "%zu values were taken from a damaged file", values.size());
            FUZZ_CHECK(!reader->lastError().empty(), "a damaged values file read without a word");
        }
    }

    std::vector<RegistryValue> model = inFile.value_or(std::vector<RegistryValue>{});
    bool changed = false;
    while (!in.empty()) {
        const uint8_t kind = in.byte();
        const std::string name = in.upTo(std::string_view("\0", 1));
        const std::size_t n = in.byte() | (static_cast<std::size_t>(in.byte()) << 8);
        const std::string bytes = in.text(n % 512);
        RegistryValue value;
        value.name = name;
        switch (kind % 4) {
        case 0:
            value.type = RegistryType::Integer;
            for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i)
                value.integer |= static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i));
            FUZZ_CHECK(key->writeInteger(name, value.integer), "writing an integer was refused");
            break;
        case 1:
            value.type = RegistryType::String;
            value.text = bytes;
            FUZZ_CHECK(key->writeString(name, bytes), "writing a string was refused");
            break;
        case 2:
            value.type = RegistryType::Binary;
            value.binary.assign(bytes.begin(), bytes.end());
            FUZZ_CHECK(key->writeBinary(name, bytes.data(), bytes.size()), "writing binary data was refused");
            break;
        default: {
            const auto it = find(model, name);
            FUZZ_CHECK(key->deleteValue(name) == (it != model.end()), "deleting \"%s\" %s", name.c_str(),
                       it != model.end() ? "failed" : "found a value that is not there");
            if (it != model.end()) {
                model.erase(it);
                changed = true;
            }
            FUZZ_CHECK(!key->valueExists(name), "\"%s\" is still there after its deletion", name.c_str());
            continue;
        }
        }
        changed = true;
        if (const auto it = find(model, name); it != model.end()) {
            value.name = it->name;  // the spelling first written stays
            *it = value;
        } else {
            model.push_back(value);
        }
        const auto seen = key->readValue(name);
        FUZZ_CHECK(seen && *seen == value, "\"%s\" does not read back as written before the flush", name.c_str());
    }
    FUZZ_CHECK(key->flush(), "the changes were not stored: %s", key->lastError().c_str());
    if (!inFile && changed) {
        // The damaged file is kept beside the key for inspection, byte for byte.
        FUZZ_CHECK(key->lastError().find("kept as") != std::string::npos, "a damaged file was replaced without a word");
        std::string kept, why;
        FUZZ_CHECK(readRegularFile((folder / ".values.corrupt").string(), kept, why) && kept == file,
                   "the damaged file was not kept as it was");
    }
    key.reset();

    auto reader = RegistryKey::open(RegistryRoot::CurrentUser, otherCase, &error);
    FUZZ_CHECK(reader != nullptr, "key %s is gone: %s", path.c_str(), error.c_str());
    const std::vector<RegistryValue> values = reader->values();
    // A damaged file stays as it was until a change replaces it.
    FUZZ_CHECK(reader->lastError().empty() == (inFile || changed), "the values read after the changes: \"%s\"",
               reader->lastError().c_str());
    FUZZ_CHECK(values == model, "the values read (%zu) differ from the values written (%zu)", values.size(), model.size());
    return 0;
}
