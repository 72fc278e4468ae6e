// The per-user registry store.
//
// Layout under the root folder:
//   .lock                              store-wide lock (flock), taken by every change
//   HKEY_CURRENT_USER/<key>/<subkey>/  one folder per key, named as first written
//   <key folder>/.values               the key's values, replaced as a whole by rename
//
// A folder name is the key name with '%', '/', control characters and a leading '.' written as
// %XX, so a key can never be mistaken for one of the hidden files. The values file is text:
//   ostrel-registry 1
//   <type>\t<name>\t<data>         type i (integer, decimal), s (string), b (binary, hex)
//   end <count>
// Names and strings escape '%', tab, line breaks and other control characters as %XX. The header
// and the trailer let a reader recognise a damaged file instead of taking part of it for the whole.
#include "platform/registry.h"

#include "file_sync.h"
#include "platform/regular_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace ostrel::platform {
namespace {

constexpr const char* kValuesFileName = ".values";
constexpr const char* kValuesTempName = ".values.tmp";
constexpr const char* kValuesCorruptName = ".values.corrupt";
constexpr const char* kLockFileName = ".lock";
constexpr std::string_view kHeaderLine = "ostrel-registry 1";
// Changes hold the lock for well under a millisecond; a lock held this long belongs to a hung
// process, and the caller gets a failure instead of a hang.
constexpr auto kLockTimeout = std::chrono::seconds(10);
constexpr std::size_t kMaxFolderNameBytes = 255;
// A key's values file is small (the largest the program writes holds a few hundred values); one far
// beyond this is damage, not settings.
constexpr std::size_t kMaxValuesFileBytes = kMaxUserFileBytes;

// The batch that keys destroyed on this thread hand their changes to; set only while one lives.
thread_local RegistryFlushBatch* currentBatch = nullptr;

char foldAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

uint64_t foldedHash(std::string_view name) noexcept {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (char c : name) {
        hash ^= static_cast<unsigned char>(foldAscii(c));
        hash *= 1099511628211ull;
    }
    return hash;
}

bool equalsNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    }
    return true;
}

bool lessNoCase(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(foldAscii(a[i]));
        const auto cb = static_cast<unsigned char>(foldAscii(b[i]));
        if (ca != cb) return ca < cb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;  // names differing only in case: a fixed order all the same
}

std::string errnoText(int err) { return std::generic_category().message(err); }

int hexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendHexByte(std::string& out, unsigned char byte) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
}

// Escapes for the values file: the file's own separators (tab, line ends) and '%'.
std::string escapeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '%') {
            out.push_back('%');
            appendHexByte(out, byte);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::optional<std::string> unescapeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            out.push_back(c);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int hi = hexDigit(text[i + 1]);
        const int lo = hexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

// Folder names: a key name may hold anything but "\"; '/' and a leading '.' must not reach the
// file system as such.
std::string encodeFolderName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '%' || c == '/' || (i == 0 && c == '.')) {
            out.push_back('%');
            appendHexByte(out, byte);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string decodeFolderName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size()) {
            const int hi = hexDigit(name[i + 1]);
            const int lo = hexDigit(name[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(name[i]);
    }
    return out;
}

std::vector<std::string_view> splitKeyPath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

const char* rootFolderName(RegistryRoot root) noexcept {
    return root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

bool isDirectory(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeDirectories(const fs::path& path, std::string& error) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec && !isDirectory(path)) {
        error = "cannot create registry folder " + path.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// Finds the folder of one key name inside `parent`: the exact spelling first, then any spelling.
std::optional<fs::path> findChildFolder(const fs::path& parent, std::string_view name) {
    const std::string encoded = encodeFolderName(name);
    fs::path exact = parent / encoded;
    if (isDirectory(exact)) return exact;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(parent.c_str()), &::closedir);
    if (!dir) return std::nullopt;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        if (!equalsNoCase(decodeFolderName(entry->d_name), name)) continue;
        fs::path candidate = parent / entry->d_name;
        if (isDirectory(candidate)) return candidate;
    }
    return std::nullopt;
}

// The folder of a key; with `create`, missing keys on the way are made (the caller holds the lock).
std::optional<fs::path> resolveKey(RegistryRoot root, std::string_view path, bool create, std::string& error) {
    fs::path folder = fs::path(registryDir()) / rootFolderName(root);
    if (create || path.empty()) {
        if (!makeDirectories(folder, error)) return std::nullopt;
    }
    for (std::string_view name : splitKeyPath(path)) {
        if (auto found = findChildFolder(folder, name)) {
            folder = std::move(*found);
            continue;
        }
        if (!create) {
            error = "registry key not found";
            return std::nullopt;
        }
        const std::string encoded = encodeFolderName(name);
        if (encoded.size() > kMaxFolderNameBytes) {
            error = "registry key name too long";
            return std::nullopt;
        }
        fs::path child = folder / encoded;
        if (::mkdir(child.c_str(), 0700) != 0 && !(errno == EEXIST && isDirectory(child))) {
            error = "cannot create registry key " + child.string() + ": " + errnoText(errno);
            return std::nullopt;
        }
        folder = std::move(child);
    }
    return folder;
}

// The store-wide lock for changes. Polled with a bound rather than blocking for ever.
class StoreLock {
public:
    StoreLock() = default;
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    ~StoreLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the flock
    }

    bool acquire(std::string& error) {
        const fs::path dir = registryDir();
        if (!makeDirectories(dir, error)) return false;
        const fs::path lockPath = dir / kLockFileName;
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error = "cannot open registry lock " + lockPath.string() + ": " + errnoText(errno);
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
        auto pause = std::chrono::microseconds(20);
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                error = "cannot lock the registry: " + errnoText(errno);
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                error = "the registry is locked by another process";
                return false;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::microseconds(250));
        }
    }

private:
    int fd_ = -1;
};

enum class LoadResult { Ok, Corrupt, IoError };

std::optional<RegistryValue> parseValueLine(std::string_view line) {
    const std::size_t tab1 = line.find('\t');
    if (tab1 == std::string_view::npos) return std::nullopt;
    const std::size_t tab2 = line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos || line.find('\t', tab2 + 1) != std::string_view::npos) return std::nullopt;
    const std::string_view type = line.substr(0, tab1);
    const std::string_view data = line.substr(tab2 + 1);
    auto name = unescapeField(line.substr(tab1 + 1, tab2 - tab1 - 1));
    if (!name) return std::nullopt;
    RegistryValue value;
    value.name = std::move(*name);
    if (type == "i") {
        value.type = RegistryType::Integer;
        const auto [end, ec] = std::from_chars(data.data(), data.data() + data.size(), value.integer);
        if (ec != std::errc{} || end != data.data() + data.size() || data.empty()) return std::nullopt;
    } else if (type == "s") {
        value.type = RegistryType::String;
        auto text = unescapeField(data);
        if (!text) return std::nullopt;
        value.text = std::move(*text);
    } else if (type == "b") {
        value.type = RegistryType::Binary;
        if (data.size() % 2 != 0) return std::nullopt;
        value.binary.reserve(data.size() / 2);
        for (std::size_t i = 0; i < data.size(); i += 2) {
            const int hi = hexDigit(data[i]);
            const int lo = hexDigit(data[i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            value.binary.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
    } else {
        return std::nullopt;
    }
    return value;
}

// Reads a key's values. A missing file is an empty key. One that is no regular file (a FIFO, a link
// to a device) or is far too large is read no further and counts as damaged, as bad contents do.
LoadResult loadValues(const fs::path& folder, std::vector<RegistryValue>& values, std::string& error) {
    values.clear();
    const fs::path file = folder / kValuesFileName;
    const auto corrupt = [&](const std::string& what) {
        values.clear();
        error = "corrupt registry file " + file.string() + " (" + what + ")";
        return LoadResult::Corrupt;
    };
    std::string content;
    std::string why;
    int err = 0;
    if (!readRegularFile(file.string(), content, why, kMaxValuesFileBytes, &err)) {
        if (err == ENOENT) return LoadResult::Ok;
        if (err == ENODEV || err == EISDIR || err == EFBIG) return corrupt(why);
        error = "cannot read " + file.string() + ": " + why;
        return LoadResult::IoError;
    }
    std::string_view rest(content);
    std::vector<std::string_view> lines;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos) return corrupt("unterminated line");
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    if (lines.size() < 2 || lines.front() != kHeaderLine) return corrupt("bad header");
    const std::string_view trailer = lines.back();
    if (trailer.substr(0, 4) != "end ") return corrupt("no end line");
    std::size_t count = 0;
    const auto [end, ec] = std::from_chars(trailer.data() + 4, trailer.data() + trailer.size(), count);
    if (ec != std::errc{} || end != trailer.data() + trailer.size() || count != lines.size() - 2) {
        return corrupt("bad end line");
    }
    values.reserve(count);
    std::vector<std::pair<uint64_t, std::size_t>> nameHashes;  // for the duplicate check
    nameHashes.reserve(count);
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        auto value = parseValueLine(lines[i]);
        if (!value) return corrupt("bad value line");
        nameHashes.emplace_back(foldedHash(value->name), values.size());
        values.push_back(std::move(*value));
    }
    std::sort(nameHashes.begin(), nameHashes.end());
    for (std::size_t i = 1; i < nameHashes.size(); ++i) {
        if (nameHashes[i].first == nameHashes[i - 1].first &&
            equalsNoCase(values[nameHashes[i].second].name, values[nameHashes[i - 1].second].name)) {
            return corrupt("duplicate value name");
        }
    }
    return LoadResult::Ok;
}

std::string serialiseValues(const std::vector<RegistryValue>& values) {
    std::size_t size = kHeaderLine.size() + 32;
    for (const RegistryValue& value : values) size += 2 * (value.name.size() + value.text.size() + value.binary.size()) + 16;
    std::string out;
    out.reserve(size);
    out += kHeaderLine;
    out.push_back('\n');
    for (const RegistryValue& value : values) {
        switch (value.type) {
        case RegistryType::Integer: out += "i\t"; break;
        case RegistryType::String: out += "s\t"; break;
        case RegistryType::Binary: out += "b\t"; break;
        }
        out += escapeField(value.name);
        out.push_back('\t');
        switch (value.type) {
        case RegistryType::Integer: {
            char buffer[16];
            const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value.integer);
            (void)ec;
            out.append(buffer, end);
            break;
        }
        case RegistryType::String: out += escapeField(value.text); break;
        case RegistryType::Binary:
            for (uint8_t byte : value.binary) appendHexByte(out, byte);
            break;
        }
        out.push_back('\n');
    }
    out += "end " + std::to_string(values.size()) + "\n";
    return out;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A new version of one key's values on its way to the disk: written to a temporary file, synced,
// then renamed over the old one and the rename synced, so a reader or a crash sees either the old or
// the new version, never a mixture. The caller holds the lock, so one temporary name per key
// suffices and a crashed writer's leftover is simply overwritten. Many are all written before any
// is synced, and all synced before any is renamed.
struct StagedValues {
    fs::path folder;
    std::vector<RegistryValue> values;
    bool changed = false;
    int fd = -1;
};

bool writeStaged(StagedValues& staged, std::string& error) {
    const fs::path temp = staged.folder / kValuesTempName;
    // Made afresh: whatever a crash or a hand left under the name (a FIFO would hold the open) goes.
    (void)::unlink(temp.c_str());
    staged.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (staged.fd < 0) {
        error = "cannot write " + temp.string() + ": " + errnoText(errno);
        return false;
    }
    if (!writeAll(staged.fd, serialiseValues(staged.values))) {
        error = "cannot write " + temp.string() + ": " + errnoText(errno);
        ::close(staged.fd);
        staged.fd = -1;
        ::unlink(temp.c_str());
        return false;
    }
    // Starts the write-back now, so the syncs that follow find most of it done.
    (void)::sync_file_range(staged.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    return true;
}

bool syncStaged(StagedValues& staged, std::string& error) {
    const fs::path temp = staged.folder / kValuesTempName;
    const bool synced = ::fdatasync(staged.fd) == 0;
    const int syncErr = errno;
    const bool closed = ::close(staged.fd) == 0;
    staged.fd = -1;
    if (!synced || !closed) {
        error = "cannot write " + temp.string() + ": " + errnoText(synced ? errno : syncErr);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool installStaged(const StagedValues& staged, std::string& error) {
    const fs::path temp = staged.folder / kValuesTempName;
    const fs::path file = staged.folder / kValuesFileName;
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        error = "cannot replace " + file.string() + ": " + errnoText(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::vector<RegistryValue>::iterator findValue(std::vector<RegistryValue>& values, std::string_view name) {
    return std::find_if(values.begin(), values.end(),
                        [&](const RegistryValue& v) { return equalsNoCase(v.name, name); });
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

} // namespace

std::string registryDir() {
    if (const char* dir = std::getenv("OSTREL_REGISTRY_DIR"); dir && *dir) return dir;
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        config = xdg;
    } else {
        config = homeFolder() + "/.config";
    }
    return config + "/ostrel/registry";
}

std::unique_ptr<RegistryKey> RegistryKey::open(RegistryRoot root, std::string_view path, std::string* error) {
    std::string reason;
    if (!resolveKey(root, path, false, reason)) {
        if (error) *error = reason;
        return nullptr;
    }
    return std::unique_ptr<RegistryKey>(new RegistryKey(root, std::string(path)));
}

std::unique_ptr<RegistryKey> RegistryKey::create(RegistryRoot root, std::string_view path, std::string* error) {
    std::string reason;
    StoreLock lock;
    // Under the lock so that two processes creating "a\b" and "A\B" end with one key.
    if (!lock.acquire(reason) || !resolveKey(root, path, true, reason)) {
        // The caller writes nothing, and may not say so: the batch of a close tells for it.
        if (currentBatch != nullptr && currentBatch->lostKeys_.empty()) currentBatch->lostKeys_ = reason;
        if (error) *error = reason;
        return nullptr;
    }
    return std::unique_ptr<RegistryKey>(new RegistryKey(root, std::string(path)));
}

bool RegistryKey::remove(RegistryRoot root, std::string_view path, std::string* error) {
    std::string reason;
    const auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    if (splitKeyPath(path).empty()) return fail("the root key cannot be deleted");
    StoreLock lock;
    if (!lock.acquire(reason)) return fail(reason);
    const auto folder = resolveKey(root, path, false, reason);
    if (!folder) return fail(reason);
    // Renamed away first, so that nobody finds a half-removed key; then removed at leisure.
    const fs::path doomed = folder->parent_path() / (".deleted." + std::to_string(::getpid()));
    std::error_code ec;
    fs::remove_all(doomed, ec);
    if (::rename(folder->c_str(), doomed.c_str()) != 0) {
        return fail("cannot delete registry key " + folder->string() + ": " + errnoText(errno));
    }
    fs::remove_all(doomed, ec);
    if (ec) return fail("registry key deleted, but files remain in " + doomed.string() + ": " + ec.message());
    return true;
}

std::optional<RegistryValue> RegistryKey::readValue(std::string_view name) const {
    std::vector<RegistryValue> values = currentValues();
    const auto it = findValue(values, name);
    if (it == values.end()) return std::nullopt;
    return std::move(*it);
}

std::optional<int32_t> RegistryKey::readInteger(std::string_view name) const {
    auto value = readValue(name);
    if (!value || value->type != RegistryType::Integer) return std::nullopt;
    return value->integer;
}

std::optional<std::string> RegistryKey::readString(std::string_view name) const {
    auto value = readValue(name);
    if (!value || value->type != RegistryType::String) return std::nullopt;
    return std::move(value->text);
}

std::optional<std::vector<uint8_t>> RegistryKey::readBinary(std::string_view name) const {
    auto value = readValue(name);
    if (!value || value->type != RegistryType::Binary) return std::nullopt;
    return std::move(value->binary);
}

bool RegistryKey::valueExists(std::string_view name) const { return readValue(name).has_value(); }

std::vector<RegistryValue> RegistryKey::values() const { return currentValues(); }

std::vector<std::string> RegistryKey::subkeys() const {
    lastError_.clear();
    std::vector<std::string> names;
    const auto folder = resolveKey(root_, path_, false, lastError_);
    if (!folder) return names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder->c_str()), &::closedir);
    if (!dir) {
        lastError_ = "cannot list " + folder->string() + ": " + errnoText(errno);
        return names;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        if (!isDirectory(*folder / entry->d_name)) continue;
        names.push_back(decodeFolderName(entry->d_name));
    }
    std::sort(names.begin(), names.end(), lessNoCase);
    return names;
}

namespace {

// A write replaces the value in place (keeping the spelling first written), a delete removes it, a
// new value goes at the end.
void applyChanges(std::vector<RegistryValue>& values, const std::vector<RegistryKey::PendingChange>& changes) {
    for (const RegistryKey::PendingChange& change : changes) {
        const auto it = findValue(values, change.value.name);
        if (change.erase) {
            if (it != values.end()) values.erase(it);
        } else if (it == values.end()) {
            values.push_back(change.value);
        } else {
            std::string name = std::move(it->name);
            *it = change.value;
            it->name = std::move(name);
        }
    }
}

// Read-modify-write of keys' values under one hold of the store lock, each written only when its
// changes alter it. Another process's values written meanwhile are read here, so they stay. `notes`
// gets what was mended on the way (a damaged file set aside); `error` the first failure.
bool commitItems(const std::vector<RegistryFlushBatch::Item>& items, std::string& error, std::string& notes) {
    error.clear();
    notes.clear();
    StoreLock lock;
    if (!lock.acquire(error)) return false;
    std::vector<StagedValues> staged;
    bool ok = true;
    const auto failed = [&](std::string text) {
        if (ok) error = std::move(text);
        ok = false;
    };
    for (const RegistryFlushBatch::Item& item : items) {
        std::string reason;
        const auto folder = resolveKey(item.root, item.path, false, reason);
        if (!folder) {
            failed("registry key " + item.path + " no longer exists");
            continue;
        }
        // The same key twice: the later changes go on top of the earlier ones.
        auto same = std::find_if(staged.begin(), staged.end(), [&](const StagedValues& s) { return s.folder == *folder; });
        if (same == staged.end()) {
            StagedValues next;
            next.folder = *folder;
            switch (loadValues(*folder, next.values, reason)) {
            case LoadResult::Ok: break;
            case LoadResult::IoError: failed(reason); continue;
            case LoadResult::Corrupt: {
                // Keep the damaged file for inspection and carry on with an empty key rather than
                // leave the key unwritable for ever.
                const fs::path file = *folder / kValuesFileName;
                const fs::path kept = *folder / kValuesCorruptName;
                if (::rename(file.c_str(), kept.c_str()) != 0) {
                    failed(reason + "; cannot set it aside: " + errnoText(errno));
                    continue;
                }
                notes += (notes.empty() ? "" : "; ") + reason + "; kept as " + kept.string() + " and started afresh";
                next.changed = true;
                break;
            }
            }
            staged.push_back(std::move(next));
            same = staged.end() - 1;
        }
        std::vector<RegistryValue> changed = same->values;
        applyChanges(changed, item.changes);
        if (changed != same->values) {
            same->values = std::move(changed);
            same->changed = true;
        }
    }
    std::erase_if(staged, [](const StagedValues& s) { return !s.changed; });
    std::vector<StagedValues*> written;
    for (StagedValues& next : staged) {
        std::string reason;
        if (writeStaged(next, reason))
            written.push_back(&next);
        else
            failed(reason);
    }
    // Only the store's own files are synced: a sync of the whole file system would wait for every
    // other program's unwritten data too. The write-back of all of them has begun already, so the
    // syncs one after the other mostly find it done.
    std::vector<StagedValues*> synced;
    for (StagedValues* next : written) {
        std::string reason;
        if (syncStaged(*next, reason))
            synced.push_back(next);
        else
            failed(reason);
    }
    std::vector<const fs::path*> renamedIn;
    for (StagedValues* next : synced) {
        std::string reason;
        if (!installStaged(*next, reason)) {
            failed(reason);
        } else if (std::none_of(renamedIn.begin(), renamedIn.end(), [&](const fs::path* f) { return *f == next->folder; })) {
            renamedIn.push_back(&next->folder);
        }
    }
    for (const fs::path* folder : renamedIn) syncFolder(folder->string());
    return ok;
}

} // namespace

RegistryKey::~RegistryKey() {
    try {
        if (currentBatch != nullptr)
            currentBatch->add(*this);
        else
            (void)flush();
    } catch (...) {
        // A destructor cannot report; callers that need to know flush first.
    }
}

std::vector<RegistryValue> RegistryKey::currentValues() const {
    lastError_.clear();
    std::vector<RegistryValue> values;
    const auto folder = resolveKey(root_, path_, false, lastError_);
    if (folder) (void)loadValues(*folder, values, lastError_);  // empty on failure, reported in lastError
    applyChanges(values, pending_);
    return values;
}

void RegistryKey::keep(RegistryValue value) {
    lastError_.clear();
    // The latest write of a name replaces an earlier one still waiting, so a key written again and
    // again does not pile up changes; after a delete of the name the write must follow it.
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
        if (!equalsNoCase(it->value.name, value.name)) continue;
        if (!it->erase) {
            value.name = std::move(it->value.name);
            it->value = std::move(value);
            return;
        }
        break;
    }
    pending_.push_back(PendingChange{std::move(value), false});
}

bool RegistryKey::flush() {
    if (pending_.empty()) return true;
    std::string notes;
    if (!commitItems({RegistryFlushBatch::Item{root_, path_, pending_}}, lastError_, notes)) return false;
    lastError_ = notes;
    pending_.clear();
    return true;
}

bool RegistryKey::store() {
    if (currentBatch == nullptr) return flush();
    currentBatch->add(*this);
    return true;
}

RegistryFlushBatch::RegistryFlushBatch() : outer_(currentBatch) { currentBatch = this; }

RegistryFlushBatch::~RegistryFlushBatch() {
    currentBatch = outer_;
    try {
        (void)commit();
    } catch (...) {
        // A destructor cannot report; callers that need to know commit first.
    }
}

void RegistryFlushBatch::add(RegistryKey& key) {
    if (key.pending_.empty()) return;
    items_.push_back(Item{key.root_, key.path_, std::move(key.pending_)});
    key.pending_.clear();
}

bool RegistryFlushBatch::commit(std::string* error) {
    std::string reason = std::move(lostKeys_);
    lostKeys_.clear();
    std::string notes;
    bool ok = reason.empty();
    if (!items_.empty()) {
        std::string failure;
        if (!commitItems(items_, failure, notes)) {
            ok = false;
            if (reason.empty()) reason = failure;
        }
    }
    items_.clear();  // what failed here would fail again: the key is gone or the disk refuses
    if (!ok && error) *error = reason;
    return ok;
}

bool RegistryKey::writeInteger(std::string_view name, int32_t value) {
    RegistryValue v;
    v.name = name;
    v.type = RegistryType::Integer;
    v.integer = value;
    keep(std::move(v));
    return true;
}

bool RegistryKey::writeString(std::string_view name, std::string_view value) {
    RegistryValue v;
    v.name = name;
    v.type = RegistryType::String;
    v.text = value;
    keep(std::move(v));
    return true;
}

bool RegistryKey::writeBinary(std::string_view name, const void* data, std::size_t size) {
    RegistryValue v;
    v.name = name;
    v.type = RegistryType::Binary;
    if (size > 0) {
        if (!data) {
            lastError_ = "no data to write";
            return false;
        }
        const auto* bytes = static_cast<const uint8_t*>(data);
        v.binary.assign(bytes, bytes + size);
    }
    keep(std::move(v));
    return true;
}

bool RegistryKey::deleteValue(std::string_view name) {
    std::vector<RegistryValue> values = currentValues();
    if (findValue(values, name) == values.end()) return false;
    RegistryValue v;
    v.name = name;
    pending_.push_back(PendingChange{std::move(v), true});
    return true;
}

} // namespace ostrel::platform
