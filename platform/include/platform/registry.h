// The per-user registry store: keys are "\"-separated paths under two roots, matched without
// regard to case but stored as first written; values are typed (32-bit integer, string, binary).
//
// Root folder: $OSTREL_REGISTRY_DIR, else ${XDG_CONFIG_HOME:-~/.config}/ostrel/registry/ (read at
// every call). Each key is a folder (named as first written, looked up without regard to case) whose
// values live in one text file. A key object collects its writes and stores them together when it
// is flushed or closed: one read-modify-write of the key's file under one store-wide file lock, made
// atomic by a temporary file and rename and synced to the disk, so concurrent writers in several
// processes lose nothing; readers take no lock and always see a complete version. Name matching
// folds ASCII letters only. A RegistryKey object is not for use by two threads at once (lastError);
// separate objects are.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ostrel::platform {

enum class RegistryRoot { CurrentUser, LocalMachine };

enum class RegistryType : uint32_t { Integer = 4, String = 1, Binary = 3 };  // Windows REG_* numbers

struct RegistryValue {
    std::string name;  // as first written
    RegistryType type = RegistryType::String;
    int32_t integer = 0;
    std::string text;               // UTF-8
    std::vector<uint8_t> binary;

    friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};

// An open key. Reads go to the store at every call, and see this key's own writes at once; other
// keys and processes see them once they are flushed (flush(), or the key's destruction).
class RegistryKey {
public:
    // Flushes what is left; a caller that must know whether it was stored calls flush() first.
    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key (nullptr when absent) or creates it with its parents. Empty path
    // components ("a\\b", a leading "\") are skipped; the empty path is the root itself.
    // `error`, when given, receives the reason of a failure.
    [[nodiscard]] static std::unique_ptr<RegistryKey> open(RegistryRoot root, std::string_view path,
                                                           std::string* error = nullptr);
    [[nodiscard]] static std::unique_ptr<RegistryKey> create(RegistryRoot root, std::string_view path,
                                                             std::string* error = nullptr);
    // Deletes a key with its values and subkeys; false when absent, for the root, or on failure.
    static bool remove(RegistryRoot root, std::string_view path, std::string* error = nullptr);

    // Reads fail (nullopt) when the value is absent or of another type.
    [[nodiscard]] std::optional<RegistryValue> readValue(std::string_view name) const;
    [[nodiscard]] std::optional<int32_t> readInteger(std::string_view name) const;
    [[nodiscard]] std::optional<std::string> readString(std::string_view name) const;
    [[nodiscard]] std::optional<std::vector<uint8_t>> readBinary(std::string_view name) const;
    // Writing keeps the value's place and the spelling of its name when it exists already, else it
    // appends the value. Writes and deletes wait in the key for flush(); they fail only for what
    // could never be stored (binary data missing).
    bool writeInteger(std::string_view name, int32_t value);
    bool writeString(std::string_view name, std::string_view value);
    bool writeBinary(std::string_view name, const void* data, std::size_t size);
    bool deleteValue(std::string_view name);  // false when absent
    // Stores the waiting writes and deletes in one change of the key's file (none when they change
    // nothing). False when the store could not take them, e.g. the key was deleted meanwhile (it is
    // not recreated); they then wait for the next flush.
    bool flush();
    // Hands the waiting changes to the batch this thread has running, whose commit stores and reports
    // them (true here); without one, flush().
    bool store();
    [[nodiscard]] bool valueExists(std::string_view name) const;
    // Values in a stable order (the order in which they were first written).
    [[nodiscard]] std::vector<RegistryValue> values() const;
    // Names of the direct subkeys, sorted without regard to case.
    [[nodiscard]] std::vector<std::string> subkeys() const;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

    // The failure of the most recent operation (e.g. a corrupt values file) for the caller to report;
    // empty when it succeeded cleanly. A write that replaced a corrupt file succeeds and says so here.
    [[nodiscard]] const std::string& lastError() const noexcept { return lastError_; }

    // A write or delete waiting for the flush.
    struct PendingChange {
        RegistryValue value;  // for a delete, only the name counts
        bool erase = false;
    };

private:
    friend class RegistryFlushBatch;
    RegistryKey(RegistryRoot root, std::string path) : root_(root), path_(std::move(path)) {}
    void keep(RegistryValue value);
    // The key's values as the store holds them with the waiting changes applied.
    [[nodiscard]] std::vector<RegistryValue> currentValues() const;

    RegistryRoot root_;
    std::string path_;
    std::vector<PendingChange> pending_;
    mutable std::string lastError_;
};

// Many keys stored together, for a program that writes many as it closes: every changed values file
// is written first, then each is synced (its write-back started with the others, so the syncs
// mostly find it done), and only then is each renamed into place and each folder synced once,
// instead of a write, a sync and a rename per key in turn. Only the store's own files are synced,
// never the whole file system, so other programs' unwritten data does not hold the close. While a batch lives, keys
// that its thread destroys with changes still waiting hand them to it; add() hands over a key's
// waiting changes at once. Its end (or commit()) stores them. Explicit flush() calls still store at
// once and report. A batch is used by the thread that made it.
class RegistryFlushBatch {
public:
    RegistryFlushBatch();
    ~RegistryFlushBatch();  // commit(); a caller that must know commits first
    RegistryFlushBatch(const RegistryFlushBatch&) = delete;
    RegistryFlushBatch& operator=(const RegistryFlushBatch&) = delete;

    void add(RegistryKey& key);
    // Stores what was handed over; false (with `error`) when any key could not be stored, or
    // could not even be created (RegistryKey::create failed on this thread while the batch ran).
    bool commit(std::string* error = nullptr);

    struct Item {
        RegistryRoot root;
        std::string path;
        std::vector<RegistryKey::PendingChange> changes;
    };

private:
    friend class RegistryKey;
    std::vector<Item> items_;
    // A key that could not be created while the batch ran: its values had nowhere to go.
    std::string lostKeys_;
    RegistryFlushBatch* outer_;
};

// The root folder in force now.
[[nodiscard]] std::string registryDir();

} // namespace ostrel::platform
