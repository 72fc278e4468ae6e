#include "network/symbols.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace ostrel::vessolt {
namespace {

constexpr const char* kUnknown = "<unknown>";

struct TypeName {
    const char* name;
    int32_t code;
};

constexpr TypeName kTypeNames[] = {
    {"boolean", ODT_BOOLEAN},         {"integer8", ODT_INTEGER8},
    {"integer16", ODT_INTEGER16},     {"integer24", ODT_INTEGER24},
    {"integer32", ODT_INTEGER32},     {"integer40", ODT_INTEGER40},
    {"integer48", ODT_INTEGER48},     {"integer56", ODT_INTEGER56},
    {"integer64", ODT_INTEGER64},     {"unsigned8", ODT_UNSIGNED8},
    {"unsigned16", ODT_UNSIGNED16},   {"unsigned24", ODT_UNSIGNED24},
    {"unsigned32", ODT_UNSIGNED32},   {"unsigned40", ODT_UNSIGNED40},
    {"unsigned48", ODT_UNSIGNED48},   {"unsigned56", ODT_UNSIGNED56},
    {"unsigned64", ODT_UNSIGNED64},   {"real32", ODT_REAL32},
    {"real64", ODT_REAL64},           {"visible_string", ODT_VISIBLE_STRING},
    {"octet_string", ODT_OCTET_STRING}, {"unicode_string", ODT_UNICODE_STRING},
    {"time_of_day", ODT_TIME_OF_DAY}, {"time_difference", ODT_TIME_DIFFERENCE},
    {"domain", ODT_DOMAIN},
};

uint64_t entryKey(uint32_t index, uint8_t subIndex) noexcept {
    return (static_cast<uint64_t>(index) << 8) | subIndex;
}

std::string cut(std::string text, std::size_t capacity) {
    cutToField(text, capacity);
    return text;
}

template <typename List, typename Match>
auto* findIn(List& list, Match match) {
    const auto it = std::find_if(list.begin(), list.end(), match);
    return it == list.end() ? nullptr : &*it;
}

bool isWhiteSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

int32_t odDataTypeFromName(std::string_view lowerCaseName) noexcept {
    for (const TypeName& type : kTypeNames) {
        if (lowerCaseName == type.name) return type.code;
    }
    return ODT_UNKNOWN;
}

void cutToField(std::string& text, std::size_t capacity) {
    const std::size_t limit = capacity == 0 ? 0 : capacity - 1;
    if (text.size() <= limit) return;
    std::size_t end = limit;
    // Back off over continuation bytes so that the cut falls before a lead byte.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

TSymbols::TSymbols(UserPrompt& prompt, TLog* log) : prompt_(prompt), log_(log) {}

TSymbols::~TSymbols() = default;

void TSymbols::ClearAll() {
    std::unique_lock lock(mutex_);
    lssSlaves_.clear();
    vendors_.clear();
    processData_.clear();
    deviceTypes_.clear();
    nodes_.clear();
    errorCodes_.clear();
    abortCodes_.clear();
    messages_.clear();
    for (auto& list : entries_) list.clear();
}

void TSymbols::AddLoadCallback(SymbolsLoadCallback callback) {
    std::lock_guard lock(callbackMutex_);
    if (!callback || callbacks_.size() >= kMaxLoadCallbacks) return;
    callbacks_.push_back(std::move(callback));
}

void TSymbols::RunLoadCallbacks() {
    std::vector<SymbolsLoadCallback> callbacks;
    {
        std::lock_guard lock(callbackMutex_);
        callbacks = callbacks_;
    }
    for (const auto& callback : callbacks) callback();
}

void TSymbols::AddEntry(uint8_t nodeId, const ODEntry& entry) {
    if (nodeId >= kNodeLists) return;
    ODEntry copy = entry;
    cutToField(copy.entryName, kNameField);
    cutToField(copy.subEntryName, kNameField);
    std::unique_lock lock(mutex_);
    entries_[nodeId].insert_or_assign(entryKey(copy.index, copy.subIndex), std::move(copy));
}

void TSymbols::AddMessage(const MessageEntry& message) {
    MessageEntry copy{message.id, cut(message.name, kNameField)};
    std::unique_lock lock(mutex_);
    messages_.insert_or_assign(copy.id, std::move(copy));
}

void TSymbols::AddAbortCode(const AbortCodeEntry& abortCode) {
    std::string name = cut(abortCode.name, kNameField);
    std::unique_lock lock(mutex_);
    if (auto* listed = findIn(abortCodes_, [&](const AbortCodeEntry& e) { return e.code == abortCode.code; })) {
        listed->name = std::move(name);
    } else {
        abortCodes_.push_back({abortCode.code, std::move(name)});
    }
}

void TSymbols::AddErrorCode(const ErrorCodeEntry& errorCode) {
    std::string name = cut(errorCode.name, kNameField);
    std::unique_lock lock(mutex_);
    if (auto* listed = findIn(errorCodes_, [&](const ErrorCodeEntry& e) { return e.code == errorCode.code; })) {
        listed->name = std::move(name);
    } else {
        errorCodes_.push_back({errorCode.code, std::move(name)});
    }
}

void TSymbols::AddDeviceType(const DeviceTypeEntry& deviceType) {
    DeviceTypeEntry copy = deviceType;
    cutToField(copy.name, kNameField);
    for (BitNames& bit : copy.bits) {
        cutToField(bit.setName, kNameField);
        cutToField(bit.unsetName, kNameField);
    }
    std::unique_lock lock(mutex_);
    if (auto* listed = findIn(deviceTypes_, [&](const DeviceTypeEntry& e) { return e.profile == copy.profile; })) {
        *listed = std::move(copy);
    } else {
        deviceTypes_.push_back(std::move(copy));
    }
}

void TSymbols::AddProcessData(const ProcessDataEntry& data) {
    ProcessDataEntry copy = data;
    cutToField(copy.name, kNameField);
    cutToField(copy.units, kNameField);
    std::unique_lock lock(mutex_);
    auto* listed = findIn(processData_, [&](const ProcessDataEntry& e) {
        return e.id == copy.id && e.startBit == copy.startBit && e.dataType == copy.dataType;
    });
    if (listed) {
        *listed = std::move(copy);
    } else {
        processData_.push_back(std::move(copy));
    }
}

uint32_t TSymbols::AddVendor(const VendorEntry& vendor) {
    VendorEntry copy = vendor;
    copy.id &= 0xFFFFFFu;
    cutToField(copy.name, kNameField);
    for (auto& [id, name] : copy.departments) cutToField(name, kNameField);
    const uint32_t id = copy.id;
    std::unique_lock lock(mutex_);
    if (auto* listed = findIn(vendors_, [&](const VendorEntry& e) { return e.id == id; })) {
        *listed = std::move(copy);
    } else {
        vendors_.push_back(std::move(copy));
    }
    return id;
}

void TSymbols::AddDepartment(const DepartmentEntry& department, uint32_t vendorId) {
    std::string name = cut(department.name, kNameField);
    std::unique_lock lock(mutex_);
    if (auto* vendor = findIn(vendors_, [&](const VendorEntry& e) { return e.id == vendorId; })) {
        vendor->departments.insert_or_assign(department.id, std::move(name));
    }
}

void TSymbols::AddLSSSlave(const LSSSlaveEntry& slave) {
    std::unique_lock lock(mutex_);
    auto* listed = findIn(lssSlaves_, [&](const LSSSlaveEntry& e) {
        return e.vendorId == slave.vendorId && e.productCode == slave.productCode &&
               e.revisionNumber == slave.revisionNumber && e.serialNumber == slave.serialNumber;
    });
    if (listed) {
        listed->nodeId = slave.nodeId;
    } else {
        lssSlaves_.push_back(slave);
    }
}

void TSymbols::CommitNode(const NodeEntry& node) {
    std::lock_guard load(loadMutex_);
    commitNodeLocked(node);
}

void TSymbols::commitNodeLocked(const NodeEntry& node) {
    NodeEntry copy = node;
    cutToField(copy.name, kNameField);
    for (std::string* text : {&copy.simSetupFile, &copy.simLibrary, &copy.simIO, &copy.simProduct}) {
        cutToField(*text, kSimTextField);
    }
    if (!copy.edsPath.empty()) {
        // Outside a load the folder is empty and the path is taken as it stands.
        if (!loadFolder_.empty() && !isAbsolutePathText(copy.edsPath)) {
            copy.edsPath = MakeAbsolutePath(copy.edsPath, loadFolder_);
        }
        // First the import, so that entries of an earlier data sheet for this node stay and merge.
        ImportEDS(copy.nodeId, copy.edsPath);
    }
    std::unique_lock lock(mutex_);
    if (auto* listed = findIn(nodes_, [&](const NodeEntry& e) { return e.nodeId == copy.nodeId; })) {
        *listed = std::move(copy);
    } else {
        nodes_.push_back(std::move(copy));
    }
}

void TSymbols::AddNode(uint8_t nodeId, std::string_view name, std::string_view edsPath, std::string_view simLibrary,
                       std::string_view simSetupFile, std::string_view simIO, std::string_view simProduct,
                       int useSimProduct) {
    NodeEntry node;
    node.nodeId = nodeId;
    node.name = name;
    node.edsPath = edsPath;
    node.simLibrary = simLibrary;
    node.simSetupFile = simSetupFile;
    node.simIO = simIO;
    node.simProduct = simProduct;
    node.useSimProduct = useSimProduct != 0 ? 1 : 0;
    node.simulation = (!simLibrary.empty() || useSimProduct != 0) ? 1 : 0;
    node.configured = 1;
    {
        std::lock_guard load(loadMutex_);
        commitNodeLocked(node);
    }
    RunLoadCallbacks();
}

const ODEntry* TSymbols::findEntryLocked(uint32_t index, uint8_t subIndex, uint8_t nodeId, bool fallBack) const {
    const std::map<uint64_t, ODEntry>* list = nullptr;
    if (nodeId < kNodeLists && !entries_[nodeId].empty()) {
        list = &entries_[nodeId];
    } else if (fallBack) {
        list = &entries_[0];
    } else {
        return nullptr;
    }
    const auto it = list->find(entryKey(index, subIndex));
    return it == list->end() ? nullptr : &it->second;
}

std::optional<ODEntry> TSymbols::FindNodeEntry(uint32_t index, uint8_t subIndex, uint8_t nodeId) const {
    std::shared_lock lock(mutex_);
    const ODEntry* entry = findEntryLocked(index, subIndex, nodeId, false);
    return entry ? std::optional<ODEntry>(*entry) : std::nullopt;
}

std::optional<ODEntry> TSymbols::FindEntry(uint32_t index, uint8_t subIndex, uint8_t nodeId) const {
    std::shared_lock lock(mutex_);
    const ODEntry* entry = findEntryLocked(index, subIndex, nodeId, true);
    return entry ? std::optional<ODEntry>(*entry) : std::nullopt;
}

std::optional<ODObjectKind> TSymbols::GetObjectKind(uint32_t index, uint8_t nodeId) const {
    if (nodeId == 0 || nodeId >= kNodeLists) return std::nullopt;
    std::shared_lock lock(mutex_);
    const std::map<uint64_t, ODEntry>& list = entries_[nodeId];
    const auto first = list.lower_bound(entryKey(index, 0));
    if (first == list.end() || first->second.index != index) return std::nullopt;
    const auto last = std::prev(list.upper_bound(entryKey(index, 0xFF)));
    return last->second.subIndex > 0 ? ODObjectKind::ArrayOrRecord : ODObjectKind::Variable;
}

std::vector<ODEntry> TSymbols::NodeEntries(uint8_t nodeId) const {
    std::vector<ODEntry> entries;
    if (nodeId >= kNodeLists) return entries;
    std::shared_lock lock(mutex_);
    entries.reserve(entries_[nodeId].size());
    for (const auto& [key, entry] : entries_[nodeId]) entries.push_back(entry);
    return entries;
}

std::string TSymbols::GetEntryName(uint32_t index, uint8_t subIndex, uint8_t nodeId, std::size_t bufferSize) const {
    std::string entryName;
    std::string subEntryName;
    {
        std::shared_lock lock(mutex_);
        const ODEntry* entry = findEntryLocked(index, subIndex, nodeId, true);
        if (!entry) return cut(kUnknown, bufferSize);
        entryName = entry->entryName;
        subEntryName = entry->subEntryName;
    }
    if (subEntryName.empty()) return cut(std::move(entryName), bufferSize);
    const std::string tail = " - " + subEntryName;
    const std::size_t limit = bufferSize == 0 ? 0 : bufferSize - 1;
    if (tail.size() <= limit) {
        // The entry name gives way first, so that the sub-entry name stays whole.
        cutToField(entryName, limit - tail.size() + 1);
        return entryName + tail;
    }
    return cut(tail, bufferSize);
}

std::optional<MessageEntry> TSymbols::FindMessage(uint32_t id) const {
    std::shared_lock lock(mutex_);
    const auto it = messages_.find(id);
    return it == messages_.end() ? std::nullopt : std::optional<MessageEntry>(it->second);
}

std::optional<std::string> TSymbols::GetMessageName(uint32_t id) const {
    std::shared_lock lock(mutex_);
    const auto it = messages_.find(id);
    if (it == messages_.end() || it->second.name.empty()) return std::nullopt;
    return it->second.name;
}

std::optional<AbortCodeEntry> TSymbols::FindAbortCode(uint32_t code) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(abortCodes_, [&](const AbortCodeEntry& e) { return e.code == code; });
    return listed ? std::optional<AbortCodeEntry>(*listed) : std::nullopt;
}

std::optional<ErrorCodeEntry> TSymbols::FindErrorCode(uint32_t code) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(errorCodes_, [&](const ErrorCodeEntry& e) { return e.code == code; });
    return listed ? std::optional<ErrorCodeEntry>(*listed) : std::nullopt;
}

std::optional<std::string> TSymbols::GetErrorCodeName(uint32_t code) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(errorCodes_, [&](const ErrorCodeEntry& e) { return e.code == code; });
    return listed ? std::optional<std::string>(listed->name) : std::nullopt;
}

std::optional<NodeEntry> TSymbols::FindNode(uint8_t nodeId) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(nodes_, [&](const NodeEntry& e) { return e.nodeId == nodeId; });
    return listed ? std::optional<NodeEntry>(*listed) : std::nullopt;
}

std::optional<std::string> TSymbols::GetNodeName(uint8_t nodeId) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(nodes_, [&](const NodeEntry& e) { return e.nodeId == nodeId; });
    if (!listed || listed->name.empty()) return std::nullopt;
    return listed->name;
}

std::optional<DeviceTypeEntry> TSymbols::FindDeviceType(uint32_t profile) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(deviceTypes_, [&](const DeviceTypeEntry& e) { return e.profile == profile; });
    return listed ? std::optional<DeviceTypeEntry>(*listed) : std::nullopt;
}

DeviceTypeText TSymbols::GetDeviceTypeText(uint32_t value, std::size_t profileBufferSize, std::size_t bitBufferSize) const {
    DeviceTypeText text;
    {
        std::shared_lock lock(mutex_);
        const uint32_t profile = value & 0xFFFFu;
        const auto* listed = findIn(deviceTypes_, [&](const DeviceTypeEntry& e) { return e.profile == profile; });
        if (!listed) {
            text.profile = kUnknown;
        } else {
            text.profile = listed->name;
            if ((value >> 16) == 0xFFFFu) {
                text.bits = "Mutliple Device Profiles";
            } else {
                // Bits 0 to 15 hold the profile number and are never shown.
                for (unsigned bit = 16; bit < 32; ++bit) {
                    const bool set = ((value >> bit) & 1u) != 0;
                    const std::string& name = set ? listed->bits[bit].setName : listed->bits[bit].unsetName;
                    if (name.empty()) continue;
                    if (!text.bits.empty()) text.bits += ", ";
                    text.bits += name;
                }
            }
        }
    }
    cutToField(text.profile, profileBufferSize);
    cutToField(text.bits, bitBufferSize);
    return text;
}

std::optional<ProcessDataEntry> TSymbols::FindProcessData(uint32_t id, uint8_t startBit, int32_t dataType) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(processData_, [&](const ProcessDataEntry& e) {
        return e.id == id && e.startBit == startBit && e.dataType == dataType;
    });
    return listed ? std::optional<ProcessDataEntry>(*listed) : std::nullopt;
}

std::optional<VendorEntry> TSymbols::FindVendor(uint32_t id) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(vendors_, [&](const VendorEntry& e) { return e.id == id; });
    return listed ? std::optional<VendorEntry>(*listed) : std::nullopt;
}

std::optional<DepartmentEntry> TSymbols::GetDepartment(uint8_t departmentId, const VendorEntry* vendor) {
    if (!vendor) return std::nullopt;
    const auto it = vendor->departments.find(departmentId);
    if (it == vendor->departments.end()) return std::nullopt;
    return DepartmentEntry{departmentId, it->second};
}

VendorText TSymbols::GetVendorText(uint32_t value, std::size_t vendorBufferSize, std::size_t departmentBufferSize) const {
    VendorText text{kUnknown, {}};
    {
        std::shared_lock lock(mutex_);
        const uint32_t id = value & 0xFFFFFFu;
        const auto* listed = findIn(vendors_, [&](const VendorEntry& e) { return e.id == id; });
        if (listed) {
            text.vendor = listed->name;
            const auto department = listed->departments.find(static_cast<uint8_t>(value >> 24));
            if (department != listed->departments.end()) text.department = department->second;
        }
    }
    cutToField(text.vendor, vendorBufferSize);
    cutToField(text.department, departmentBufferSize);
    return text;
}

std::optional<LSSSlaveEntry> TSymbols::FindLSSSlave(uint32_t vendorId, uint32_t productCode, uint32_t revisionNumber,
                                                    uint32_t serialNumber) const {
    std::shared_lock lock(mutex_);
    const auto* listed = findIn(lssSlaves_, [&](const LSSSlaveEntry& e) {
        return e.vendorId == vendorId && e.productCode == productCode && e.revisionNumber == revisionNumber &&
               e.serialNumber == serialNumber;
    });
    return listed ? std::optional<LSSSlaveEntry>(*listed) : std::nullopt;
}

void TSymbols::TrimText(std::string& text) {
    std::size_t first = 0;
    while (first < text.size() && isWhiteSpace(text[first])) ++first;
    std::size_t last = text.size();
    while (last > first && isWhiteSpace(text[last - 1])) --last;
    text.erase(last);
    text.erase(0, first);
    // Runs are not merged: a line break followed by two blanks becomes three blanks.
    std::replace_if(text.begin(), text.end(), isWhiteSpace, ' ');
}

void TSymbols::LowerCase(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

} // namespace ostrel::vessolt
