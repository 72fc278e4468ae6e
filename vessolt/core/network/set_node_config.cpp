#include "network/set_node_config.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "testing/global_test_config.h"
#include "services/log.h"
#include "platform/ini.h"
#include "platform/regular_file.h"
#include "services/numeric_text.h"

namespace ostrel::vessolt {

namespace {

constexpr uint32_t kNmtEnterPreOperational = 2;
constexpr uint32_t kCobIdInvalid = 0x80000000u;
// Failure codes of transfers that never completed normally.
constexpr int32_t kNoCompletion = DRN_NO_RESPONSE;

constexpr const char* kObjectLists[] = {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"};

enum DataType : uint32_t {
    kBoolean = 0x01,
    kInteger8 = 0x02,
    kInteger16 = 0x03,
    kInteger32 = 0x04,
    kUnsigned8 = 0x05,
    kUnsigned16 = 0x06,
    kUnsigned32 = 0x07,
    kReal32 = 0x08,
    kVisibleString = 0x09,
    kOctetString = 0x0A,
    kUnicodeString = 0x0B,
    kTimeOfDay = 0x0C,
    kTimeDifference = 0x0D,
    kDomain = 0x0F,
    kInteger24 = 0x10,
    kReal64 = 0x11,
    kInteger40 = 0x12,
    kInteger48 = 0x13,
    kInteger56 = 0x14,
    kInteger64 = 0x15,
    kUnsigned24 = 0x16,
    kUnsigned40 = 0x18,
    kUnsigned48 = 0x19,
    kUnsigned56 = 0x1A,
    kUnsigned64 = 0x1B,
};

std::string format(const char* pattern, ...) {
    char text[1024];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lowerCase(std::string_view text) {
    std::string result(trimBlanks(text));
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

int digitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// An integer value as written: its sign, its magnitude, and whether it was written as a bit pattern
// (hexadecimal or octal), which a signed type takes up to its unsigned maximum.
struct WrittenInteger {
    bool negative = false;
    uint64_t magnitude = 0;
    bool pattern = false;
};

// The whole text (blanks around it aside) as one integer: an optional sign, then hexadecimal after
// "0x" or "0X", octal after a leading 0, else decimal; the types of more than 32 bits take "$" for
// hexadecimal and read a leading 0 as decimal. Anything else, and more than 64 bits, is no number: a
// value is never guessed from a part of its text.
std::optional<WrittenInteger> integerConversion(std::string_view text, bool wide) {
    text = trimBlanks(text);
    WrittenInteger number;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        number.negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (wide && !text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (!wide && text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number.magnitude, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    number.pattern = base != 10;
    number.negative = number.negative && number.magnitude != 0;
    return number;
}

// An integer value text with the node id as one term of a sum ("$NODEID+0x180", "0x180+$NODEID",
// "$NODEID"): the text's number plus the node id. nullopt for a text that holds "$NODEID" in any
// other way or whose other term is no number.
std::optional<WrittenInteger> integerValue(std::string_view text, uint8_t node, bool wide) {
    constexpr std::string_view kNodeId = "$NODEID";
    const std::size_t at = text.find(kNodeId);
    if (at == std::string_view::npos)
        return integerConversion(text, wide);
    if (trimBlanks(text) == kNodeId)
        return WrittenInteger{false, node, false};
    const std::size_t plus = text.find('+');
    if (plus == std::string_view::npos)
        return std::nullopt;
    const std::string_view before = trimBlanks(text.substr(0, plus));
    const std::string_view after = trimBlanks(text.substr(plus + 1));
    std::string_view number;
    if (before == kNodeId)
        number = after;
    else if (after == kNodeId)
        number = before;
    if (number.empty() || number.find(kNodeId) != std::string_view::npos)
        return std::nullopt;
    std::optional<WrittenInteger> value = integerConversion(number, wide);
    if (!value)
        return std::nullopt;
    if (!value->negative) {
        if (value->magnitude > UINT64_MAX - node)
            return std::nullopt;
        value->magnitude += node;
    } else if (value->magnitude > node) {
        value->magnitude -= node;
    } else {
        value->magnitude = node - value->magnitude;
        value->negative = false;
    }
    return value;
}

// The bytes of `number` in a type of `bytes` bytes, nullopt when it does not fit: a value cut to the
// type's low bytes would put another value into the node.
std::optional<uint64_t> fitInteger(const WrittenInteger& number, uint32_t bytes, bool isSigned) {
    const uint64_t unsignedMax = bytes >= 8 ? UINT64_MAX : (uint64_t{1} << (8 * bytes)) - 1;
    const uint64_t signedMax = unsignedMax >> 1;
    if (number.negative) {
        if (!isSigned || number.magnitude > signedMax + 1)
            return std::nullopt;
        return (~number.magnitude + 1) & unsignedMax;
    }
    if (number.magnitude > (isSigned && !number.pattern ? signedMax : unsignedMax))
        return std::nullopt;
    return number.magnitude;
}

void putLittleEndian(uint8_t* out, uint64_t value, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getLe32(const uint8_t* in) {
    return uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) | (uint32_t{in[3]} << 24);
}

template <class Real>
std::optional<Real> realConversion(std::string_view text) {
    text = trimBlanks(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    Real value{};
    const auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || next != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool isPdoCommunication(uint16_t index) {
    return (index >= 0x1400 && index <= 0x15FF) || (index >= 0x1800 && index <= 0x19FF);
}

bool isPdoMapping(uint16_t index) {
    return (index >= 0x1600 && index <= 0x17FF) || (index >= 0x1A00 && index <= 0x1BFF);
}

// Byte counts of the integer types, whether the 64-bit conversion reads them, and their sign.
struct IntegerType {
    uint32_t bytes;
    bool wide;
    bool isSigned;
};

std::optional<IntegerType> integerType(uint32_t type) {
    switch (type) {
    case kBoolean:
    case kUnsigned8: return IntegerType{1, false, false};
    case kInteger8: return IntegerType{1, false, true};
    case kUnsigned16: return IntegerType{2, false, false};
    case kInteger16: return IntegerType{2, false, true};
    case kUnsigned24: return IntegerType{3, false, false};
    case kInteger24: return IntegerType{3, false, true};
    case kUnsigned32: return IntegerType{4, false, false};
    case kInteger32: return IntegerType{4, false, true};
    case kUnsigned40: return IntegerType{5, true, false};
    case kInteger40: return IntegerType{5, true, true};
    case kTimeOfDay:
    case kTimeDifference:
    case kUnsigned48: return IntegerType{6, true, false};
    case kInteger48: return IntegerType{6, true, true};
    case kUnsigned56: return IntegerType{7, true, false};
    case kInteger56: return IntegerType{7, true, true};
    case kUnsigned64: return IntegerType{8, true, false};
    case kInteger64: return IntegerType{8, true, true};
    default: return std::nullopt;
    }
}

// A DOMAIN file name: one with a leading "/" or a drive stays, any other is taken from the DCF's
// folder, its "\" read as "/".
std::string domainPath(const std::string& name, const std::string& dcfFolder) {
    if ((!name.empty() && name.front() == '/') || (name.size() >= 2 && name[1] == ':'))
        return name;
    std::string relative = name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    relative.erase(0, relative.find_first_not_of('/'));
    if (dcfFolder.empty())
        return relative;
    return dcfFolder + relative;
}

std::string dcfFolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string objectSection(uint16_t index) { return format("%4.4x", index); }

// The keys that decide whether and what is written.
struct EntryKeys {
    uint32_t type = 0;
    std::string access;
    uint32_t flags = 0;
    std::string value;
    std::string file;

    [[nodiscard]] bool neverWritten() const { return access == "ro" || access == "const" || (flags & 1) != 0; }
    [[nodiscard]] bool skipped() const { return neverWritten() || (value.empty() && file.empty()); }
};

// How a number key is read: as an INI integer (decimal, "0x" or "$" hexadecimal), or by the base
// prefix rules of the values (a leading 0 is octal).
enum class KeyRule { Integer, BasePrefix };

// A count, index, type or flag word of the DCF: 0 when the key is missing. A value present but not a
// whole number from 0 to `limit` is never read as 0: nullopt, and a note naming it and what is left out.
std::optional<uint32_t> readNumber(const platform::IniFile& dcf, const std::string& section, const std::string& key,
                                   uint32_t limit, KeyRule rule, const char* leftOut, TLog& log) {
    if (!dcf.keyExists(section, key))
        return 0;
    const std::string text = dcf.readString(section, key);
    std::optional<uint64_t> value;
    if (rule == KeyRule::BasePrefix)
        value = parseWholeUnsignedText(text);
    else if (const std::optional<int32_t> integer = platform::parseIniInteger(text); integer && *integer >= 0)
        value = static_cast<uint64_t>(*integer);
    if (value && *value <= limit)
        return static_cast<uint32_t>(*value);
    log.Add(format("Note: [%s] %s=%s is not a number from 0 to %u; %s", section.c_str(), key.c_str(), text.c_str(),
                   limit, leftOut));
    return std::nullopt;
}

// The keys of a section, or nullopt when its DataType or ObjFlags cannot be read (noted).
std::optional<EntryKeys> readEntryKeys(const platform::IniFile& dcf, const std::string& section, TLog& log,
                                       const char* leftOut) {
    const auto type = readNumber(dcf, section, "DataType", 0xFFFF, KeyRule::BasePrefix, leftOut, log);
    const auto flags = readNumber(dcf, section, "ObjFlags", UINT32_MAX, KeyRule::BasePrefix, leftOut, log);
    if (!type || !flags)
        return std::nullopt;
    EntryKeys keys;
    keys.type = *type;
    keys.access = lowerCase(dcf.readString(section, "AccessType"));
    keys.flags = *flags;
    keys.value = dcf.readString(section, "ParameterValue");
    keys.file = dcf.readString(section, "DownloadFile");
    if (keys.file.empty())
        keys.file = dcf.readString(section, "UploadFile");
    return keys;
}

} // namespace

TSetNodeConfig::TSetNodeConfig(CanopenApi& api, const TGlobalTestConfig& config, TLog& log,
                               std::chrono::milliseconds transferWait)
    : api_(api), config_(config), log_(log), transferWait_(transferWait), buffer_(kTransferBufferSize) {}

TSetNodeConfig::~TSetNodeConfig() {
    std::unique_lock lock(completionMutex_);
    if (pending_.empty())
        return;
    lock.unlock();
    api_.cancel();
    (void)drainPending(transferWait_);
}

// ---- Transfers --------------------------------------------------------------------------------------

void TSetNodeConfig::DownloadCompleted(ResultBlock* result, void* user) {
    const Ticket* ticket = static_cast<const Ticket*>(user);
    // The ticket goes away inside completed(): read it first.
    TSetNodeConfig* owner = ticket->owner;
    owner->completed(ticket->serial, result != nullptr ? result->code : DRN_REQUEST_FAILED);
}

void TSetNodeConfig::UploadCompleted(ResultBlock* result, void* user) { DownloadCompleted(result, user); }

void TSetNodeConfig::TransferProgress(float /*percentDone*/, void* user) {
    const Ticket* ticket = static_cast<const Ticket*>(user);
    ticket->owner->progressed(ticket->serial);
}

void TSetNodeConfig::completed(uint64_t serial, int32_t code) {
    std::lock_guard lock(completionMutex_);
    pending_.erase(serial);
    // A late completion of an earlier, cancelled request satisfies nobody.
    if (serial == awaitedSerial_) {
        completed_ = true;
        result_ = code;
    }
    completion_.notify_all();
}

void TSetNodeConfig::progressed(uint64_t serial) {
    std::lock_guard lock(completionMutex_);
    if (serial == awaitedSerial_)
        lastActivity_ = std::chrono::steady_clock::now();
}

template <class Start>
int32_t TSetNodeConfig::transfer(Start start) {
    Ticket* ticket = nullptr;
    uint64_t serial = 0;
    {
        std::lock_guard lock(completionMutex_);
        serial = ++nextSerial_;
        awaitedSerial_ = serial;
        completed_ = false;
        result_ = 0;
        lastActivity_ = std::chrono::steady_clock::now();
        auto owned = std::make_unique<Ticket>(Ticket{this, serial});
        ticket = owned.get();
        pending_.emplace(serial, std::move(owned));
    }
    int32_t out = DRN_BUSY;
    start(ticket, &out);
    if (out != DRN_OK) {
        // A request the library did not take never completes.
        std::lock_guard lock(completionMutex_);
        pending_.erase(serial);
        awaitedSerial_ = 0;
        return out;
    }
    return awaitCompletion();
}

int32_t TSetNodeConfig::awaitCompletion() {
    std::unique_lock lock(completionMutex_);
    for (;;) {
        if (completed_) {
            awaitedSerial_ = 0;
            return result_;
        }
        // Progress moves the deadline: a long block transfer is not cut short.
        const auto deadline = lastActivity_ + transferWait_;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        completion_.wait_until(lock, deadline);
    }
    lock.unlock();
    api_.cancel();
    lock.lock();
    // The library may write into the buffer until the cancelled request completes.
    const bool ended = completion_.wait_for(lock, transferWait_, [this] { return completed_; });
    awaitedSerial_ = 0;
    if (!ended)
        stalled_ = true;
    return kNoCompletion;
}

bool TSetNodeConfig::drainPending(std::chrono::milliseconds wait) {
    std::unique_lock lock(completionMutex_);
    return completion_.wait_for(lock, wait, [this] { return pending_.empty(); });
}

int32_t TSetNodeConfig::download(uint8_t node, uint16_t index, uint8_t subindex, uint32_t length) {
    return transfer([&](Ticket* ticket, int32_t* out) {
        api_.sdoDownload(node, index, subindex, buffer_.data(), length, &TSetNodeConfig::TransferProgress,
                         &TSetNodeConfig::DownloadCompleted, ticket, out);
    });
}

int32_t TSetNodeConfig::upload(uint8_t node, uint16_t index, uint8_t subindex, uint32_t& length) {
    // The whole buffer is offered; the caller checks the size that arrived.
    length = kTransferBufferSize;
    const int32_t code = transfer([&](Ticket* ticket, int32_t* out) {
        api_.sdoUpload(node, index, subindex, buffer_.data(), &length, &TSetNodeConfig::TransferProgress,
                       &TSetNodeConfig::UploadCompleted, ticket, out);
    });
    if (code != DRN_OK)
        length = 0;
    return code;
}

// ---- PDO operations ---------------------------------------------------------------------------------

std::optional<uint32_t> TSetNodeConfig::readCobId(uint8_t node, uint16_t comm) {
    uint32_t length = 0;
    if (upload(node, comm, 1, length) != DRN_OK || length != 4)
        return std::nullopt;
    return getLe32(buffer_.data());
}

std::optional<uint32_t> TSetNodeConfig::setPdoInvalid(uint8_t node, uint16_t comm, bool invalid) {
    const std::optional<uint32_t> cobId = readCobId(node, comm);
    if (!cobId || stalled_)
        return cobId;
    putLittleEndian(buffer_.data(), invalid ? (*cobId | kCobIdInvalid) : (*cobId & ~kCobIdInvalid), 4);
    (void)download(node, comm, 1, 4);
    return cobId;
}

uint8_t TSetNodeConfig::setSubIndexZero(uint8_t node, uint16_t index, uint8_t value) {
    uint32_t length = 0;
    if (upload(node, index, 0, length) != DRN_OK || length != 1 || stalled_)
        return 0;
    const uint8_t old = buffer_[0];
    buffer_[0] = value;
    (void)download(node, index, 0, 1);
    return old;
}

// ---- Values -----------------------------------------------------------------------------------------

TSetNodeConfig::Conversion TSetNodeConfig::convert(const SubEntry& entry, const std::string& dcfFolder,
                                                   uint8_t node, uint32_t& length) {
    length = 0;
    const uint32_t type = entry.type;
    const bool known = integerType(type) || type == kReal32 || type == kReal64 || type == kVisibleString ||
                       type == kOctetString || type == kUnicodeString || type == kDomain;
    if (!known)
        return Conversion::UnknownType;
    // A text that does not fit its field would be cut: a cut value is no value.
    if (entry.value.size() >= kValueField)
        return Conversion::InvalidValue;
    const std::string_view text = entry.value;

    if (const std::optional<IntegerType> integer = integerType(type)) {
        const std::optional<WrittenInteger> number = integerValue(text, node, integer->wide);
        const std::optional<uint64_t> value =
            number ? fitInteger(*number, integer->bytes, integer->isSigned) : std::nullopt;
        if (!value || (type == kBoolean && *value > 1))
            return Conversion::InvalidValue;
        putLittleEndian(buffer_.data(), *value, integer->bytes);
        length = integer->bytes;
        return Conversion::Ok;
    }
    switch (type) {
    case kReal32: {
        const std::optional<float> value = realConversion<float>(text);
        if (!value)
            return Conversion::InvalidValue;
        putLittleEndian(buffer_.data(), std::bit_cast<uint32_t>(*value), 4);
        length = 4;
        return Conversion::Ok;
    }
    case kReal64: {
        const std::optional<double> value = realConversion<double>(text);
        if (!value)
            return Conversion::InvalidValue;
        putLittleEndian(buffer_.data(), std::bit_cast<uint64_t>(*value), 8);
        length = 8;
        return Conversion::Ok;
    }
    case kVisibleString:
        std::memcpy(buffer_.data(), text.data(), text.size());
        length = static_cast<uint32_t>(text.size());
        return Conversion::Ok;
    case kOctetString:
    case kUnicodeString: {
        if (text.size() < 4 || text.size() % 2 != 0 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
            return Conversion::InvalidValue;
        const std::size_t bytes = (text.size() - 2) / 2;
        for (std::size_t i = 0; i < bytes; ++i) {
            const int high = digitValue(text[2 + 2 * i]);
            const int low = digitValue(text[3 + 2 * i]);
            if (high > 15 || low > 15)
                return Conversion::InvalidValue;
            buffer_[i] = static_cast<uint8_t>(high * 16 + low);
        }
        length = static_cast<uint32_t>(bytes);
        return Conversion::Ok;
    }
    case kDomain: {
        if (entry.file.empty() || entry.file.size() >= kFileField)
            return Conversion::InvalidValue;
        std::string content, error;
        if (!platform::readRegularFile(domainPath(entry.file, dcfFolder), content, error, kTransferBufferSize))
            return Conversion::InvalidValue;
        std::memcpy(buffer_.data(), content.data(), content.size());
        length = static_cast<uint32_t>(content.size());
        return Conversion::Ok;
    }
    default: return Conversion::UnknownType;
    }
}

// ---- Writing the DCF --------------------------------------------------------------------------------

void TSetNodeConfig::note(const char* pattern, uint16_t index, uint8_t subindex) {
    log_.Add(format(pattern, index, subindex));
}

bool TSetNodeConfig::writeEntry(const SubEntry& entry, const std::string& dcfFolder, uint8_t node) {
    uint32_t length = 0;
    switch (convert(entry, dcfFolder, node, length)) {
    case Conversion::UnknownType: note("Note: Unknown type for [%4.4X,%2.2X]", entry.index, entry.subindex); return false;
    case Conversion::InvalidValue:
        note("Note: Invalid ParameterValue value for [%4.4X,%2.2X]", entry.index, entry.subindex);
        return false;
    case Conversion::Ok: break;
    }
    if (download(node, entry.index, entry.subindex, length) != DRN_OK) {
        note("Note: Failed to write configuration to [%4.4X,%2.2X]", entry.index, entry.subindex);
        return false;
    }
    return true;
}

void TSetNodeConfig::writeObject(const platform::IniFile& dcf, const std::string& dcfFolder, uint8_t node,
                                 uint16_t index) {
    const std::string section = objectSection(index);
    // An object whose shape cannot be read is not written: its parts could not be told apart. A
    // record holds sub-indices 0 to 254, an array entries 1 to 254.
    constexpr const char* kObjectLeftOut = "the object is not written";
    const auto subNumber = readNumber(dcf, section, "SubNumber", 255, KeyRule::Integer, kObjectLeftOut, log_);
    const auto compactCount = readNumber(dcf, section, "CompactSubObj", 254, KeyRule::Integer, kObjectLeftOut, log_);
    if (!subNumber || !compactCount)
        return;
    const bool compact = *compactCount != 0;

    if (*subNumber == 0 && !compact) {
        const std::optional<EntryKeys> keys = readEntryKeys(dcf, section, log_, kObjectLeftOut);
        if (keys && !keys->skipped())
            (void)writeEntry(SubEntry{index, 0, keys->type, keys->value, keys->file}, dcfFolder, node);
        return;
    }

    std::vector<SubEntry> entries;
    if (*subNumber != 0) {
        uint32_t found = 0;
        for (int sub = 0; sub <= 254 && found < *subNumber; ++sub) {
            const std::string subSection = section + format("sub%x", sub);
            if (!dcf.sectionExists(subSection))
                continue;
            ++found;
            std::optional<EntryKeys> keys = readEntryKeys(dcf, subSection, log_, "the sub-object is not written");
            if (keys && !keys->skipped())
                entries.push_back(SubEntry{index, static_cast<uint8_t>(sub), keys->type, std::move(keys->value),
                                           std::move(keys->file)});
        }
    } else {
        const std::optional<EntryKeys> keys = readEntryKeys(dcf, section, log_, kObjectLeftOut);
        if (!keys || keys->neverWritten())
            return;
        const std::string valueSection = section + "Value";
        const auto count = readNumber(dcf, valueSection, "NrOfEntries", 254, KeyRule::Integer, kObjectLeftOut, log_);
        for (uint32_t sub = 1; sub <= count.value_or(0); ++sub) {
            std::string value = dcf.readString(valueSection, std::to_string(sub));
            if (!value.empty())
                entries.push_back(SubEntry{index, static_cast<uint8_t>(sub), keys->type, value, value});
        }
    }
    if (entries.empty())
        return;

    // The file's sub-index goes last: for a communication object the COB-ID (which may enable the
    // PDO), for a mapping object the number of mapped objects.
    const auto moveToEnd = [&entries](uint8_t subindex) {
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [subindex](const SubEntry& e) { return e.subindex == subindex; });
        if (it == entries.end())
            return false;
        std::rotate(it, it + 1, entries.end());
        return true;
    };

    bool validBefore = false;
    bool fileHasCount = false;
    uint8_t oldCount = 0;
    const auto comm = static_cast<uint16_t>(index - 0x200);
    if (isPdoCommunication(index)) {
        const std::optional<uint32_t> cobId = setPdoInvalid(node, index, true);
        validBefore = cobId && (*cobId & kCobIdInvalid) == 0;
        (void)moveToEnd(1);
    } else if (isPdoMapping(index)) {
        const std::optional<uint32_t> cobId = readCobId(node, comm);
        validBefore = cobId && (*cobId & kCobIdInvalid) == 0;
        if (validBefore && !stalled_)
            (void)setPdoInvalid(node, comm, true);
        if (!stalled_)
            oldCount = setSubIndexZero(node, index, 0);
        fileHasCount = moveToEnd(0);
    }
    if (stalled_)
        return;

    bool cobIdWritten = false;
    for (const SubEntry& entry : entries) {
        const bool written = writeEntry(entry, dcfFolder, node);
        if (stalled_)
            return;
        if (entry.subindex == 1 && written)
            cobIdWritten = true;
    }

    if (isPdoCommunication(index)) {
        // Without a COB-ID from the file the PDO gets back the validity it had.
        if (validBefore && !cobIdWritten)
            (void)setPdoInvalid(node, index, false);
    } else if (isPdoMapping(index)) {
        if (!fileHasCount)
            (void)setSubIndexZero(node, index, oldCount);
        if (validBefore && !stalled_)
            (void)setPdoInvalid(node, comm, false);
    }
}

void TSetNodeConfig::writeDcf(const platform::IniFile& dcf, const std::string& dcfFolder, uint8_t node) {
    log_.Add("Starting node configuration");
    ResultBlock nmtResult{};
    api_.nmt(node, kNmtEnterPreOperational, &nmtResult);

    for (const char* list : kObjectLists) {
        // A list whose length cannot be read is not written at all.
        const uint32_t count =
            readNumber(dcf, list, "SupportedObjects", 0xFFFF, KeyRule::Integer, "the list is not written", log_)
                .value_or(0);
        for (uint32_t entry = 1; entry <= count; ++entry) {
            const uint32_t index = readNumber(dcf, list, std::to_string(entry), 0xFFFF, KeyRule::BasePrefix,
                                              "the entry is not written", log_)
                                       .value_or(0);
            if (index != 0)
                writeObject(dcf, dcfFolder, node, static_cast<uint16_t>(index));
            if (stalled_) {
                log_.Add("Note: Node configuration stopped: the CANopen library did not end a transfer");
                return;
            }
            if (cancel_ != nullptr && cancel_->load())
                return;
        }
    }
    log_.Add("Completed node configuration");
}

namespace {

// The DCF as the writer takes it, for the writer and the report alike: a regular text file within
// the size bound. False with `why` telling the user what is wrong with it.
bool readDcf(const std::string& path, std::string& content, std::string& why) {
    if (path.empty()) {
        why = "no file is named";
        return false;
    }
    if (!platform::readRegularFile(path, content, why))
        return false;
    if (content.find('\0') != std::string::npos) {
        why = "not a text file";
        return false;
    }
    return true;
}

} // namespace

void TSetNodeConfig::Configure(uint8_t node, const std::atomic<bool>* cancel) {
    cancel_ = cancel;
    stalled_ = false;
    GLOBALCONFIG config;
    if (config_.Get(config) != TGlobalTestConfig::Access::Done) {
        log_.Add("Note: Node configuration skipped: the global test configuration could not be read");
        return;
    }
    if (!config.configurenode)
        return;
    std::string content, why;
    if (!readDcf(config.dcfpath, content, why)) {
        log_.Add(format("Note: Unable to open device configuration file: %s (%s)", config.dcfpath.c_str(), why.c_str()));
        return;
    }
    platform::IniFile dcf(config.dcfpath);
    (void)dcf.loadFromString(content);
    // A request of an earlier run that the library never ended may still write into the buffer.
    if (!drainPending(std::chrono::milliseconds(0))) {
        api_.cancel();
        if (!drainPending(transferWait_)) {
            log_.Add("Note: Node configuration skipped: the CANopen library did not end an earlier transfer");
            return;
        }
    }
    writeDcf(dcf, dcfFolderOf(config.dcfpath), node);
}

// ---- Report -----------------------------------------------------------------------------------------

void TSetNodeConfig::WriteReport(std::FILE* file, int /*layout*/) const {
    std::fputs("\n\nNODE CONFIGURATION\n------------------\n\n", file);
    GLOBALCONFIG config;
    if (config_.Get(config) != TGlobalTestConfig::Access::Done) {
        std::fputs("The global test configuration could not be read\n", file);
        return;
    }
    if (!config.configurenode) {
        std::fputs("The node was not configured\n", file);
        return;
    }
    std::string content, why;
    if (!readDcf(config.dcfpath, content, why)) {
        std::fprintf(file, "Unable to open device configuration file: %s (%s)\n", config.dcfpath.c_str(), why.c_str());
        return;
    }
    std::fprintf(file, "File: %s\n\n", config.dcfpath.c_str());
    // CRLF line ends read as LF; every other byte is copied as it stands.
    std::string out;
    out.reserve(content.size());
    for (std::size_t i = 0; i < content.size(); ++i)
        if (content[i] != '\r' || i + 1 == content.size() || content[i + 1] != '\n')
            out.push_back(content[i]);
    std::fwrite(out.data(), 1, out.size(), file);
}

} // namespace ostrel::vessolt
