#include "net_table.h"

#include "platform/registry.h"
#include "platform/utf16.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::halvorn {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;
using platform::RegistryType;
using platform::RegistryValue;

// Limits of a stored value as the table reads it: longer names or data are not ours.
constexpr std::size_t kMaxValueNameBytes = 100;
constexpr std::size_t kMaxValueDataBytes = 1000;

NetworkInfo makeNetwork(std::u16string_view name, uint32_t handle, uint32_t baudKbit) {
    NetworkInfo info{};
    platform::copyField(info.name, DRN_NETWORK_NAME_CHARS, name);
    info.networkHandle = handle;
    info.baudKbit = baudKbit;
    return info;
}

const std::array<NetworkInfo, NetTable::kBuiltInCount> kBuiltIn = {
    makeNetwork(u"CANopen_1000", 1, 1000), makeNetwork(u"CANopen_800", 2, 800),
    makeNetwork(u"CANopen_500", 3, 500),   makeNetwork(u"CANopen_250", 4, 250),
    // The 125 kbit/s network has always had handle 32; handle 5 belongs to no network.
    makeNetwork(u"CANopen_125", 32, 125),  makeNetwork(u"CANopen_50", 6, 50),
    makeNetwork(u"CANopen_20", 7, 20),     makeNetwork(u"CANopen_10", 8, 10),
};

const NetworkInfo* findBuiltIn(uint32_t handle) {
    for (const NetworkInfo& n : kBuiltIn) {
        if (n.networkHandle == handle) return &n;
    }
    return nullptr;
}

// A decimal number at the head of `text` after white space, with an optional sign; nothing
// when no digit follows.
std::optional<int64_t> leadingDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    const char* first = text.data() + i;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (end == first) return std::nullopt;
    if (ec == std::errc::result_out_of_range) value = INT64_MAX;
    return negative ? -value : value;
}

// A field as the table reads numbers in the data: a number that does not parse reads as 0.
uint32_t fieldNumber(std::string_view text) {
    return static_cast<uint32_t>(leadingDecimal(text).value_or(0));
}

// The handle a value is stored under, when its name is a decimal number.
std::optional<uint32_t> valueHandle(const RegistryValue& value) {
    if (value.type != RegistryType::String || value.name.size() >= kMaxValueNameBytes) return std::nullopt;
    const auto number = leadingDecimal(value.name);
    if (!number) return std::nullopt;
    return static_cast<uint32_t>(*number);
}

struct StoredNetwork {
    uint32_t hardware = 0;
    uint32_t baudKbit = 0;
    std::string_view name;
};

// Splits "<hardware>,<kbit/s>,<name>" at the first and the last comma: a name cannot keep a comma.
std::optional<StoredNetwork> parseData(std::string_view data) {
    if (data.size() > kMaxValueDataBytes) return std::nullopt;
    const std::size_t first = data.find(',');
    const std::size_t last = data.rfind(',');
    if (first == std::string_view::npos || first == last) return std::nullopt;
    StoredNetwork n;
    n.hardware = fieldNumber(data.substr(0, first));
    n.baudKbit = fieldNumber(data.substr(first + 1, last - first - 1));
    n.name = data.substr(last + 1);
    return n;
}

std::unique_ptr<RegistryKey> openKey() { return RegistryKey::open(RegistryRoot::CurrentUser, NetTable::kRegistryKey); }

// A request's record: binary, so that no reader of the network list takes it for a network.
// Bytes: kind, handle (4), the record's sequence number (8), big-endian.
constexpr const char* kRequestPrefix = "request.";
constexpr std::size_t kRequestRecordSize = 13;

std::string requestName(RequestOrigin origin) {
    return kRequestPrefix + std::to_string(origin.client) + "." + std::to_string(origin.tag);
}

struct StoredRequest {
    RequestRecord record;
    uint64_t sequence = 0;
};

std::optional<StoredRequest> parseRequest(const RegistryValue& value) {
    if (value.type != RegistryType::Binary || value.binary.size() != kRequestRecordSize ||
        value.name.rfind(kRequestPrefix, 0) != 0) {
        return std::nullopt;
    }
    const uint8_t* b = value.binary.data();
    if (b[0] != static_cast<uint8_t>(RequestRecord::Kind::Added) &&
        b[0] != static_cast<uint8_t>(RequestRecord::Kind::Deleted)) {
        return std::nullopt;
    }
    StoredRequest stored;
    stored.record.kind = static_cast<RequestRecord::Kind>(b[0]);
    for (int i = 1; i < 5; ++i) stored.record.handle = (stored.record.handle << 8) | b[i];
    for (int i = 5; i < 13; ++i) stored.sequence = (stored.sequence << 8) | b[i];
    return stored;
}

// Adds the request's record to the key's waiting changes; the oldest records beyond the limit go.
void noteRequest(RegistryKey& key, RequestOrigin origin, RequestRecord record) {
    if (origin.tag == 0) return;
    std::vector<std::pair<uint64_t, std::string>> kept;
    uint64_t sequence = 0;
    const std::string name = requestName(origin);
    for (const RegistryValue& value : key.values()) {
        if (const auto stored = parseRequest(value); stored && value.name != name) {
            kept.emplace_back(stored->sequence, value.name);
            sequence = std::max(sequence, stored->sequence);
        }
    }
    std::sort(kept.begin(), kept.end());
    for (std::size_t i = 0; i + NetTable::kKeptRequests <= kept.size(); ++i) (void)key.deleteValue(kept[i].second);
    uint8_t bytes[kRequestRecordSize];
    bytes[0] = static_cast<uint8_t>(record.kind);
    for (int i = 0; i < 4; ++i) bytes[1 + i] = static_cast<uint8_t>(record.handle >> (24 - 8 * i));
    ++sequence;
    for (int i = 0; i < 8; ++i) bytes[5 + i] = static_cast<uint8_t>(sequence >> (56 - 8 * i));
    (void)key.writeBinary(name, bytes, sizeof bytes);
}

} // namespace

NetTable::NetTable() {
    // Silent on failure: the table then answers with the built-in networks only.
    (void)RegistryKey::create(RegistryRoot::CurrentUser, kRegistryKey);
}

const std::array<NetworkInfo, NetTable::kBuiltInCount>& NetTable::builtInNetworks() { return kBuiltIn; }

bool NetTable::isBuiltInHandle(uint32_t handle) { return findBuiltIn(handle) != nullptr; }

int32_t NetTable::GetHardware(HardwareInfo* records) const {
    HardwareInfo info{};
    platform::copyField(info.name, DRN_HARDWARE_NAME_CHARS, kHardwareName);
    info.hardwareHandle = kHardwareHandle;
    records[0] = info;
    return 1;
}

int32_t NetTable::Enumerate(NetworkInfo* records, int32_t capacity, uint32_t hardware) const {
    if (capacity <= 0 || records == nullptr) return 0;
    int32_t count = 0;
    for (const NetworkInfo& n : kBuiltIn) {
        if (count == capacity) return count;
        records[count++] = n;
    }
    const auto key = openKey();
    if (!key) return count;
    for (const RegistryValue& value : key->values()) {
        if (count == capacity) break;
        const auto handle = valueHandle(value);
        if (!handle) continue;
        const auto stored = parseData(value.text);
        if (!stored || stored->hardware != hardware) continue;
        records[count++] = makeNetwork(platform::toUtf16(stored->name), *handle, stored->baudKbit);
    }
    return count;
}

bool NetTable::ReadRegistry(uint32_t handle) const {
    // Handles 0..8 and every built-in handle (32 among them) are never given to a user network,
    // so that a handle always means one network.
    if (handle < kFirstUserHandle || findBuiltIn(handle) != nullptr) return false;
    const auto key = openKey();
    if (!key) return true;
    for (const RegistryValue& value : key->values()) {
        if (valueHandle(value) == handle) return false;
    }
    return true;
}

uint32_t NetTable::Add(std::string_view utf8Name, uint32_t baudKbit, uint32_t hardware, RequestOrigin origin) {
    // One look at the stored handles instead of one per candidate; the answer is the same as
    // asking ReadRegistry for each number from 9 upward.
    std::set<uint32_t> taken;
    if (const auto key = openKey()) {
        for (const RegistryValue& value : key->values()) {
            if (const auto h = valueHandle(value)) taken.insert(*h);
        }
    }
    uint32_t handle = 0;
    for (uint32_t candidate = kFirstUserHandle; candidate <= kLastUserHandle; ++candidate) {
        if (findBuiltIn(candidate) == nullptr && taken.count(candidate) == 0) {
            handle = candidate;
            break;
        }
    }
    // No free handle: 0 ("no handle"), rather than overwriting a stored network.
    if (handle == 0) return 0;
    // A network that could not be stored would be listed nowhere and have no bit rate: no handle.
    const auto key = openKey();
    if (!key) return 0;
    const std::string data = std::to_string(static_cast<int32_t>(hardware)) + "," +
                             std::to_string(static_cast<int32_t>(baudKbit)) + "," + std::string(utf8Name);
    if (!key->writeString(std::to_string(handle), data)) return 0;
    noteRequest(*key, origin, {RequestRecord::Kind::Added, handle});
    return key->flush() ? handle : 0;
}

int32_t NetTable::Delete(uint32_t handle, RequestOrigin origin) {
    if (handle <= 8) return kDeleteRefused;
    if (const auto key = openKey()) {
        (void)key->deleteValue(std::to_string(handle));
        noteRequest(*key, origin, {RequestRecord::Kind::Deleted, handle});
        (void)key->flush();
    }
    return kDeleted;
}

std::optional<RequestRecord> NetTable::FindRequest(RequestOrigin origin) const {
    const auto key = origin.tag != 0 ? openKey() : nullptr;
    if (!key) return std::nullopt;
    const auto value = key->readValue(requestName(origin));
    const auto stored = value ? parseRequest(*value) : std::nullopt;
    if (!stored) return std::nullopt;
    return stored->record;
}

void NetTable::RecordRequest(RequestOrigin origin, RequestRecord record) {
    if (const auto key = origin.tag != 0 ? openKey() : nullptr) {
        noteRequest(*key, origin, record);
        (void)key->flush();
    }
}

uint32_t NetTable::GetBaudrate(uint32_t handle) const {
    if (const NetworkInfo* n = findBuiltIn(handle)) return n->baudKbit;
    const auto key = openKey();
    if (!key) return 0;
    for (const RegistryValue& value : key->values()) {
        if (valueHandle(value) != handle) continue;
        const auto stored = parseData(value.text);
        return stored ? stored->baudKbit : 0;
    }
    return 0;
}

} // namespace ostrel::halvorn
