#pragma once
// The names that the network description gives to the things on a CANopen network: object-dictionary
// entries per node (with their data types), messages, SDO abort codes, emergency error codes, nodes,
// device-type profiles and their bits, process data, vendors with departments, LSS slaves.
//
// Filled on the GUI thread by description files (.cxl), by EDS/DCF imports and by AddNode; read from
// the GUI thread and the test worker thread. Every add takes the store's lock exclusively and every
// query shares it; queries answer with copies, never with pointers into the store, so a worker may
// ask while the GUI thread reloads. Load callbacks run without any lock held.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "network/object_kind.h"

namespace ostrel::platform {
class IniFile;
}

namespace ostrel::vessolt {

class TLog;
class UserPrompt;

// The system's own numbering of CANopen data types (not the CiA 301 data-type indices).
enum ODDataType : int32_t {
    ODT_UNKNOWN = -1,
    ODT_BOOLEAN = 1,
    ODT_INTEGER8 = 2,
    ODT_INTEGER16 = 3,
    ODT_INTEGER24 = 4,
    ODT_INTEGER32 = 5,
    ODT_INTEGER40 = 6,
    ODT_INTEGER48 = 7,
    ODT_INTEGER56 = 8,
    ODT_INTEGER64 = 9,
    ODT_UNSIGNED8 = 10,
    ODT_UNSIGNED16 = 11,
    ODT_UNSIGNED24 = 12,
    ODT_UNSIGNED32 = 13,
    ODT_UNSIGNED40 = 14,
    ODT_UNSIGNED48 = 15,
    ODT_UNSIGNED56 = 16,
    ODT_UNSIGNED64 = 17,
    ODT_REAL32 = 18,
    ODT_REAL64 = 19,
    ODT_VISIBLE_STRING = 20,
    ODT_OCTET_STRING = 21,
    ODT_UNICODE_STRING = 22,
    ODT_TIME_OF_DAY = 23,
    ODT_TIME_DIFFERENCE = 24,
    ODT_DOMAIN = 25,
};

// The code of a lower-case type name as a description file writes it ("unsigned16" -> 11), or -1.
[[nodiscard]] int32_t odDataTypeFromName(std::string_view lowerCaseName) noexcept;

// Name fields hold 99 bytes and a terminator in the file formats we mirror; longer names are cut on
// a UTF-8 character boundary. Paths are never cut: a cut path names another file.
inline constexpr std::size_t kNameField = 100;
inline constexpr std::size_t kSimTextField = 255;

// Cuts `text` to at most `capacity - 1` bytes (room for a terminator) without splitting a UTF-8
// character.
void cutToField(std::string& text, std::size_t capacity);

struct ODEntry {
    uint32_t index = 0;
    uint8_t subIndex = 0;
    std::string entryName;
    std::string subEntryName;
    int32_t dataType = ODT_UNKNOWN;
};

struct MessageEntry {
    uint32_t id = 0;
    std::string name;
};

struct AbortCodeEntry {
    uint32_t code = 0;
    std::string name;
};

struct ErrorCodeEntry {
    uint32_t code = 0;
    std::string name;
};

struct NodeEntry {
    uint8_t nodeId = 0;
    std::string name;
    std::string edsPath;
    uint32_t simulation = 0;   // 1 = simulation settings given
    uint32_t configured = 0;   // 1 = added by AddNode, 0 = read from a file
    std::string simSetupFile;
    std::string simLibrary;
    std::string simIO;
    std::string simProduct;
    uint32_t useSimProduct = 0;
};

struct BitNames {
    std::string setName;
    std::string unsetName;
};

struct DeviceTypeEntry {
    uint32_t profile = 0;
    std::string name;
    std::array<BitNames, 32> bits;
};

struct ProcessDataEntry {
    std::string name;
    uint32_t id = 0;
    uint8_t startBit = 0;
    uint8_t endBit = 0;
    int32_t dataType = ODT_UNKNOWN;
    double factor = 1.0;
    double offset = 0.0;
    std::string units;
};

struct DepartmentEntry {
    uint8_t id = 0;
    std::string name;
};

struct VendorEntry {
    uint32_t id = 0;  // 24 bits
    std::string name;
    std::map<uint8_t, std::string> departments;  // by department id
};

struct LSSSlaveEntry {
    uint32_t vendorId = 0;
    uint32_t productCode = 0;
    uint32_t revisionNumber = 0;
    uint32_t serialNumber = 0;
    uint8_t nodeId = 0xFF;  // 0xFF = none given
};

using SymbolsLoadCallback = std::function<void()>;

struct DeviceTypeText {
    std::string profile;
    std::string bits;
};

struct VendorText {
    std::string vendor;
    std::string department;
};

class TSymbols {
public:
    static constexpr std::size_t kMaxLoadCallbacks = 200;
    static constexpr int kNodeLists = 128;  // node ids 0..127; list 0 is the general dictionary
    static constexpr std::size_t kPathDepth = 5;
    static constexpr std::size_t kElementTextCapacity = 6000;  // with terminator: 5999 bytes kept
    static constexpr std::size_t kMaxImportDiagnostics = 200;  // per EDS import, on stderr

    // `prompt` shows the load messages; `log`, when given, gets a line for a failed or partial import.
    explicit TSymbols(UserPrompt& prompt, TLog* log = nullptr);
    // The start-up function creates the store before the log: it attaches the log once that exists,
    // and detaches it (nullptr) before destroying it.
    void SetLog(TLog* log) noexcept { log_.store(log); }
    ~TSymbols();
    TSymbols(const TSymbols&) = delete;
    TSymbols& operator=(const TSymbols&) = delete;

    // Empties every list; load callbacks stay registered.
    void ClearAll();
    // At most 200; the 201st is ignored.
    void AddLoadCallback(SymbolsLoadCallback callback);
    void RunLoadCallbacks();

    // Add operations copy the record. A record with the key of a listed one replaces its values.
    // Entries for node ids above 127 are dropped.
    void AddEntry(uint8_t nodeId, const ODEntry& entry);
    void AddMessage(const MessageEntry& message);
    void AddAbortCode(const AbortCodeEntry& abortCode);
    void AddErrorCode(const ErrorCodeEntry& errorCode);
    void AddDeviceType(const DeviceTypeEntry& deviceType);
    void AddProcessData(const ProcessDataEntry& data);
    // A listed vendor takes the new name and the new record's departments (so a vendor read again
    // from a file drops its earlier departments). Returns the vendor id, by which the caller keeps
    // the vendor it added departments to.
    uint32_t AddVendor(const VendorEntry& vendor);
    // Into the slot of its id of the listed vendor `vendorId`; nothing when that vendor is not listed.
    void AddDepartment(const DepartmentEntry& department, uint32_t vendorId);
    void AddLSSSlave(const LSSSlaveEntry& slave);
    // Completes a relative EDS path against the folder of the description being loaded, imports the
    // file into the node's entry list, then replaces or appends the node record.
    void CommitNode(const NodeEntry& node);
    // A node from the network configuration: commits it (configured flag 1), then runs the load
    // callbacks.
    void AddNode(uint8_t nodeId, std::string_view name, std::string_view edsPath, std::string_view simLibrary,
                 std::string_view simSetupFile, std::string_view simIO, std::string_view simProduct,
                 int useSimProduct);

    // Queries.
    [[nodiscard]] std::optional<ODEntry> FindNodeEntry(uint32_t index, uint8_t subIndex, uint8_t nodeId) const;
    // As FindNodeEntry, but in list 0 when the node's own list is empty.
    [[nodiscard]] std::optional<ODEntry> FindEntry(uint32_t index, uint8_t subIndex, uint8_t nodeId) const;
    // "entry - sub-entry", the entry name alone when the sub-entry name is empty, "<unknown>" when
    // FindEntry finds nothing; cut to fit a buffer of `bufferSize` bytes with its terminator, the
    // entry name shortened first so that " - " and the whole sub-entry name stay.
    [[nodiscard]] std::string GetEntryName(uint32_t index, uint8_t subIndex, uint8_t nodeId,
                                           std::size_t bufferSize = 1000) const;
    // How the node's own entries (its data sheet, its part of a description) give object `index`:
    // an array or record when they list a sub-index above 0, a variable when only sub-index 0;
    // nullopt when they do not list it (the general dictionary is not asked).
    [[nodiscard]] std::optional<ODObjectKind> GetObjectKind(uint32_t index, uint8_t nodeId) const;
    // Copies of the node's own entries in index and sub-index order (none for node ids above 127).
    [[nodiscard]] std::vector<ODEntry> NodeEntries(uint8_t nodeId) const;
    [[nodiscard]] std::optional<MessageEntry> FindMessage(uint32_t id) const;
    // nullopt when the identifier is not listed or its name is empty.
    [[nodiscard]] std::optional<std::string> GetMessageName(uint32_t id) const;
    [[nodiscard]] std::optional<AbortCodeEntry> FindAbortCode(uint32_t code) const;
    [[nodiscard]] std::optional<ErrorCodeEntry> FindErrorCode(uint32_t code) const;
    // nullopt only when the code is not listed; a listed code with an empty name gives "".
    [[nodiscard]] std::optional<std::string> GetErrorCodeName(uint32_t code) const;
    [[nodiscard]] std::optional<NodeEntry> FindNode(uint8_t nodeId) const;
    // nullopt when the node is not listed or its name is empty.
    [[nodiscard]] std::optional<std::string> GetNodeName(uint8_t nodeId) const;
    [[nodiscard]] std::optional<DeviceTypeEntry> FindDeviceType(uint32_t profile) const;
    // Describes a value of object 0x1000; each text cut to fit a buffer of its size.
    [[nodiscard]] DeviceTypeText GetDeviceTypeText(uint32_t value, std::size_t profileBufferSize = 2000,
                                                   std::size_t bitBufferSize = 2000) const;
    [[nodiscard]] std::optional<ProcessDataEntry> FindProcessData(uint32_t id, uint8_t startBit, int32_t dataType) const;
    [[nodiscard]] std::optional<VendorEntry> FindVendor(uint32_t id) const;
    // The department name in the vendor's slot, or nullopt (also without a vendor).
    [[nodiscard]] static std::optional<DepartmentEntry> GetDepartment(uint8_t departmentId, const VendorEntry* vendor);
    // Describes a value of object 0x1018 sub-index 1; each text cut to fit a buffer of its size.
    [[nodiscard]] VendorText GetVendorText(uint32_t value, std::size_t vendorBufferSize = 2000,
                                           std::size_t departmentBufferSize = 2000) const;
    [[nodiscard]] std::optional<LSSSlaveEntry> FindLSSSlave(uint32_t vendorId, uint32_t productCode,
                                                            uint32_t revisionNumber, uint32_t serialNumber) const;

    // Network description files. Each reports its own failures through the prompt and returns
    // false then; the load callbacks run only after a load that succeeded.
    bool LoadFile(const std::string& fileName);
    bool LoadDefault();  // "default.cxl" in the program's folder
    bool Reload();       // ClearAll, then LoadDefault

    // EDS and DCF import into the node's list (list 0 for node 0). Never shows a message; problems
    // go to stderr as "file:line: what" and a failed or partial import leaves a line in the log.
    void ImportEDS(uint8_t nodeId, const std::string& path);
    void ImportEDSObject(uint8_t nodeId, const platform::IniFile& file, uint32_t index);

    // The text conversions of the reader, in place.
    static void TrimText(std::string& text);
    static void LowerCase(std::string& text);

private:
    struct ImportReport;  // diagnostics of one import
    struct Reader;
    friend struct Reader;

    void commitNodeLocked(const NodeEntry& node);
    void importEdsObject(uint8_t nodeId, const platform::IniFile& file, uint32_t index, ImportReport& report);
    [[nodiscard]] const ODEntry* findEntryLocked(uint32_t index, uint8_t subIndex, uint8_t nodeId, bool fallBack) const;

    UserPrompt& prompt_;
    std::atomic<TLog*> log_;

    // Guards every list below. Adds hold it exclusively, queries shared.
    mutable std::shared_mutex mutex_;
    std::array<std::map<uint64_t, ODEntry>, kNodeLists> entries_;  // key (index << 8) | sub-index
    std::map<uint32_t, MessageEntry> messages_;
    std::vector<AbortCodeEntry> abortCodes_;   // order of adding
    std::vector<ErrorCodeEntry> errorCodes_;
    std::vector<NodeEntry> nodes_;
    std::vector<DeviceTypeEntry> deviceTypes_;
    std::vector<ProcessDataEntry> processData_;
    std::vector<VendorEntry> vendors_;
    std::vector<LSSSlaveEntry> lssSlaves_;

    // One load or AddNode at a time; guards the folder of the description being loaded.
    std::mutex loadMutex_;
    std::string loadFolder_;  // with its trailing "/"; empty outside a load

    std::mutex callbackMutex_;
    std::vector<SymbolsLoadCallback> callbacks_;
};

// The folder part of `path` with its trailing "/" ("" when there is none).
[[nodiscard]] std::string folderOf(std::string_view path);

// True for a path that names a file without a base folder: a leading "/" or a drive letter ("C:").
[[nodiscard]] bool isAbsolutePathText(std::string_view path) noexcept;

// `path` unchanged when absolute; otherwise `baseFolder` (a "/" added when it lacks one) followed by
// the path with "\" turned into "/"; an empty base folder means the program's folder.
[[nodiscard]] std::string MakeAbsolutePath(std::string_view path, std::string_view baseFolder);

} // namespace ostrel::vessolt
