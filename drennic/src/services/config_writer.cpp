// The DCF and NCF configuration writer.
//
// A write runs on a thread of its own and uses the engine like any caller: it posts one SDO request,
// waits for that request's completion and only then posts the next. Each request carries a serial
// as its completion's user value, so a completion that arrives late (a request given up after its
// wait ran out) can never be taken for the answer to a later one. One write runs at a time; the data
// buffer the engine works in belongs to the module and outlives any request still in flight.
#include "services/config_writer.h"

#include "engine/engine.h"
#include "engine/engine_settings.h"
#include "services/service_modules.h"

#include <drennic/drennic.h>
#include <platform/regular_file.h>
#include <platform/utf16.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <utility>


namespace drennic {
namespace {

constexpr auto kSdoWait = std::chrono::milliseconds(20000);
// A request given up is cancelled; the engine ends it within one loop pass, so this is generous.
constexpr auto kCancelWait = std::chrono::milliseconds(5000);
constexpr uint32_t kNmtEnterPreOperational = 2;
constexpr uint32_t kPdoNotValid = 0x80000000u;
constexpr std::size_t kMessageChars = 1000;
// The largest values the file's bookkeeping keys can take: object lists name 16-bit indexes, a
// record's sub-objects are sub-indexes 0 to 254, an array's entries 1 to 254 (255 is reserved).
constexpr uint64_t kMaxListEntries = 0xFFFF;
constexpr uint64_t kMaxIndex = 0xFFFF;
constexpr uint64_t kMaxSubNumber = 255;
constexpr uint64_t kMaxArrayEntries = 254;
constexpr uint64_t kMaxDataType = 0xFFFF;
constexpr uint64_t kMaxObjFlags = 0xFFFFFFFF;
constexpr uint8_t kLastNode = 127;

constexpr std::string_view kFinished = "Finished write of configuration to node";

struct Callbacks {
    ProgressCallback progress = nullptr;
    ConfigMessageCallback message = nullptr;
    CompletionCallback completion = nullptr;
    void* user = nullptr;
};

struct WriterThread {
    std::thread thread;
    std::atomic<bool> done{false};  // set as the thread's last action: joining it cannot block
};

// The writer's process-wide state. The data buffer is handed to the engine in place; every access
// of the writer to it happens under `mutex`, the engine's only while a request is in flight.
struct ConfigModule {
    ConfigModule() {
        // The engine's module must outlive this one: a writer stopped at process exit still cancels
        // its request. Touching it here constructs it first, so it is destroyed last.
        (void)engineRequestPending();
    }
    ~ConfigModule() {
        std::vector<std::unique_ptr<WriterThread>> running;
        {
            std::lock_guard lock(mutex);
            started = false;
            running.swap(threads);
        }
        changed.notify_all();
        for (auto& writer : running) {
            if (writer->thread.get_id() == std::this_thread::get_id()) {
                writer->thread.detach();  // exit() from a writer's callback
            } else if (writer->thread.joinable()) {
                writer->thread.join();
            }
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;  // between configWriterStartup and configWriterShutdown
    bool busy = false;     // a DCF or NCF write runs
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t uploadSize = 0;        // capacity in, bytes read out (written by the engine)
    uint64_t lastSerial = 0;
    uint64_t inFlightSerial = 0;    // the writer's request posted and not completed; 0 none
    uint64_t completedSerial = 0;
    ResultBlock lastResult{};
    std::chrono::milliseconds sdoWait = kSdoWait;
    std::vector<std::unique_ptr<WriterThread>> threads;
};

ConfigModule& configModule() {
    static ConfigModule instance;
    return instance;
}

// ---- Messages -------------------------------------------------------------------------------------

[[gnu::format(printf, 2, 3)]] void report(const Callbacks& callbacks, const char* format, ...) {
    if (callbacks.message == nullptr) {
        return;
    }
    char text[kMessageChars];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::u16string wide = ostrel::platform::toUtf16(text);
    callbacks.message(wide.c_str(), callbacks.user);
}

void reportProgress(const Callbacks& callbacks, float percent) {
    if (callbacks.progress != nullptr) {
        callbacks.progress(percent, callbacks.user);
    }
}

void reportStart(const Callbacks& callbacks, uint8_t node) {
    report(callbacks, "Starting write of configuration to node 0x%2.2X (%dd)", node, node);
}

void complete(const Callbacks& callbacks, int32_t code) {
    if (callbacks.completion == nullptr) {
        return;
    }
    ResultBlock result{};
    result.code = code;
    callbacks.completion(&result, callbacks.user);
}

// ---- Text helpers ---------------------------------------------------------------------------------

[[nodiscard]] bool isSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

[[nodiscard]] std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

[[nodiscard]] std::string_view trimBlanks(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Calls `line` for every line of `text` (without its line end).
template <typename Visit>
void forEachLine(std::string_view text, Visit line) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        line(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

[[nodiscard]] std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

[[gnu::format(printf, 1, 2)]] std::string formatted(const char* format, ...) {
    char text[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

[[nodiscard]] int hexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The folder of a path, with its trailing "/"; empty when the path names none.
[[nodiscard]] std::string folderOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

// The whole file, or nullopt when it is not a regular file that can be read, or larger than `limit`
// (refused rather than cut: a partial value is no value).
[[nodiscard]] std::optional<std::string> readWholeFile(const std::string& path,
                                                      std::size_t limit = ostrel::platform::kMaxUserFileBytes) {
    std::string content, error;
    if (!ostrel::platform::readRegularFile(path, content, error, limit)) {
        return std::nullopt;
    }
    return content;
}

// ---- Integer values -------------------------------------------------------------------------------

struct WholeNumber {
    bool negative = false;    // never set for 0
    uint64_t magnitude = 0;
    bool bitPattern = false;  // written in hexadecimal or octal
};

// The whole text (blanks and tabs around it aside) is one number: "-" optional, then "0x"/"0X" and
// hexadecimal digits, "0" and octal digits, or decimal digits. Anything else, or a value beyond
// 64 bits, is nullopt.
[[nodiscard]] std::optional<WholeNumber> parseWholeNumber(std::string_view text) {
    text = trimBlanks(text);
    WholeNumber number;
    if (!text.empty() && text.front() == '-') {
        number.negative = true;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
        number.bitPattern = true;
    } else if (text.size() >= 2 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
        number.bitPattern = true;
    }
    if (text.empty()) {
        return std::nullopt;
    }
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, number.magnitude, base);
    if (error != std::errc{} || next != end) {
        return std::nullopt;
    }
    if (number.magnitude == 0) {
        number.negative = false;
    }
    return number;
}

[[nodiscard]] std::optional<WholeNumber> addNodeId(WholeNumber number, uint8_t node) {
    if (!number.negative) {
        if (number.magnitude > std::numeric_limits<uint64_t>::max() - node) {
            return std::nullopt;
        }
        number.magnitude += node;
    } else if (number.magnitude > node) {
        number.magnitude -= node;
    } else {
        number.magnitude = node - number.magnitude;
        number.negative = false;
    }
    return number;
}

// An integer value text, with "$NODEID" as one term of a sum: "$NODEID+0x180" (and "0x180+$NODEID").
[[nodiscard]] std::optional<WholeNumber> parseIntegerValue(std::string_view text, uint8_t node) {
    constexpr std::string_view kNodeId = "$NODEID";
    if (text.find(kNodeId) == std::string_view::npos) {
        return parseWholeNumber(text);
    }
    const std::size_t plus = text.find('+');
    if (plus == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view before = trimBlanks(text.substr(0, plus));
    const std::string_view after = trimBlanks(text.substr(plus + 1));
    std::optional<WholeNumber> number;
    if (before == kNodeId) {
        number = parseWholeNumber(after);
    } else if (after == kNodeId) {
        number = parseWholeNumber(before);
    }
    if (!number) {
        return std::nullopt;
    }
    return addNodeId(*number, node);
}

// The two's-complement pattern of `number` when it fits `bytes` bytes of the type, else nullopt.
[[nodiscard]] std::optional<uint64_t> fitInteger(const WholeNumber& number, unsigned bytes, bool isSigned) {
    const unsigned bits = bytes * 8;
    const uint64_t allOnes = bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
    if (!isSigned) {
        if (number.negative || number.magnitude > allOnes) {
            return std::nullopt;
        }
        return number.magnitude;
    }
    const uint64_t half = uint64_t{1} << (bits - 1);
    if (number.negative) {
        if (number.magnitude > half) {
            return std::nullopt;
        }
        return uint64_t{0} - number.magnitude;
    }
    const uint64_t highest = number.bitPattern ? allOnes : half - 1;
    if (number.magnitude > highest) {
        return std::nullopt;
    }
    return number.magnitude;
}

[[nodiscard]] std::vector<uint8_t> littleEndian(uint64_t value, unsigned bytes) {
    std::vector<uint8_t> out(bytes);
    for (unsigned i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return out;
}

[[nodiscard]] uint64_t readLittleEndian(const std::vector<uint8_t>& bytes) {
    uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

struct IntegerType {
    unsigned bytes;
    bool isSigned;
};

[[nodiscard]] std::optional<IntegerType> integerType(uint32_t dataType) {
    switch (dataType) {
    case 0x0002: return IntegerType{1, true};
    case 0x0003: return IntegerType{2, true};
    case 0x0004: return IntegerType{4, true};
    case 0x0005: return IntegerType{1, false};
    case 0x0006: return IntegerType{2, false};
    case 0x0007: return IntegerType{4, false};
    case 0x000C:
    case 0x000D: return IntegerType{6, false};
    case 0x0010: return IntegerType{3, true};
    case 0x0012: return IntegerType{5, true};
    case 0x0013: return IntegerType{6, true};
    case 0x0014: return IntegerType{7, true};
    case 0x0015: return IntegerType{8, true};
    case 0x0016: return IntegerType{3, false};
    case 0x0018: return IntegerType{5, false};
    case 0x0019: return IntegerType{6, false};
    case 0x001A: return IntegerType{7, false};
    case 0x001B: return IntegerType{8, false};
    default: return std::nullopt;
    }
}

template <typename Real>
[[nodiscard]] std::optional<Real> parseReal(std::string_view text) {
    text = trimBlanks(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    Real value{};
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (error != std::errc{} || next != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

ConvertedValue ok(std::vector<uint8_t> bytes) { return {ConversionStatus::Ok, std::move(bytes)}; }
ConvertedValue invalid() { return {ConversionStatus::InvalidValue, {}}; }

[[nodiscard]] ConvertedValue convertHexString(std::string_view text) {
    text = trimBlanks(text);
    if (text.size() < 2 || text.substr(0, 2) != "0x") {
        return invalid();
    }
    text.remove_prefix(2);
    if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > kConfigTransferCapacity) {
        return invalid();
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return invalid();
        }
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return ok(std::move(bytes));
}

[[nodiscard]] ConvertedValue convertDomain(const ValueSource& source) {
    const std::string_view name = trim(source.fileName);
    if (name.empty()) {
        return invalid();
    }
    // Names written on Windows separate folders with "\"; a name without a leading "/" is relative to
    // the configuration file's folder.
    std::string path(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.front() != '/') {
        path = std::string(source.baseFolder) + path;
    }
    const std::optional<std::string> content = readWholeFile(path, kConfigTransferCapacity);
    if (!content) {
        return invalid();
    }
    return ok(std::vector<uint8_t>(content->begin(), content->end()));
}

// ---- NCF and DCF files ----------------------------------------------------------------------------

[[nodiscard]] bool isPdoCommunication(uint16_t index) noexcept {
    return (index >= 0x1400 && index <= 0x15FF) || (index >= 0x1800 && index <= 0x19FF);
}

[[nodiscard]] bool isPdoMapping(uint16_t index) noexcept {
    return (index >= 0x1600 && index <= 0x17FF) || (index >= 0x1A00 && index <= 0x1BFF);
}

// One sub-object to write, in the order of writing.
struct ListEntry {
    uint8_t subIndex = 0;
    uint32_t dataType = 0;
    std::string value;
    std::string fileName;
};

// The keys of one object or sub-object section that decide whether and what to write.
struct ObjectFields {
    uint32_t dataType = 0;
    bool readOnly = false;   // AccessType "ro" or "const" (any case)
    bool excluded = false;   // ObjFlags bit 0: not to be written by a configuration tool
    std::string value;
    std::string fileName;
};

// Writes one DCF into one node. run() returns the result for the caller: 0, -13 (objects failed),
// -1 (cancelled, or the library shut down) or -11 (a request did not complete in time).
class DcfWriter {
public:
    DcfWriter(const DcfDocument& dcf, uint8_t node, std::string baseFolder, const Callbacks& callbacks)
        : dcf_(dcf), node_(node), baseFolder_(std::move(baseFolder)), callbacks_(callbacks) {}

    [[nodiscard]] int32_t run();

private:
    enum class Direction { Upload, Download };

    void writeObject(uint16_t index);
    void writeVariable(uint16_t index, const ObjectFields& fields);
    void writeList(uint16_t index, std::vector<ListEntry>& list);
    // Whether the entry was converted and written.
    bool writeEntry(uint16_t index, const ListEntry& entry);

    // The fields, or nullopt when a number among them cannot be used (said, and the write fails).
    [[nodiscard]] std::optional<ObjectFields> readFields(const std::string& section);
    // A count, index or code: `limit` bounds it, a missing key gives 0. A value present but unusable
    // is never taken as 0: nullopt, the write fails and the message names the section, key and value.
    [[nodiscard]] std::optional<uint64_t> number(std::string_view section, std::string_view key, uint64_t limit);
    [[nodiscard]] std::optional<std::string> firstSection(std::initializer_list<std::string> names) const;
    [[nodiscard]] std::optional<ConvertedValue> convert(uint16_t index, uint8_t subIndex, uint32_t dataType,
                                                        std::string_view value, std::string_view fileName);

    // One SDO transfer. read(): the bytes, or nullopt when it failed or the write stopped.
    [[nodiscard]] std::optional<std::vector<uint8_t>> read(uint16_t index, uint8_t subIndex);
    bool write(uint16_t index, uint8_t subIndex, std::span<const uint8_t> data);
    bool writeUnsigned(uint16_t index, uint8_t subIndex, uint64_t value, unsigned bytes);
    [[nodiscard]] std::optional<std::vector<uint8_t>> transfer(Direction direction, uint16_t index, uint8_t subIndex,
                                                               std::span<const uint8_t> data);
    void stop(int32_t code) {
        stopped_ = true;
        stopCode_ = code;
    }

    const DcfDocument& dcf_;
    const uint8_t node_;
    const std::string baseFolder_;
    const Callbacks callbacks_;
    bool failed_ = false;
    bool stopped_ = false;
    int32_t stopCode_ = DRN_OK;
};

int32_t DcfWriter::run() {
    reportProgress(callbacks_, 0.0f);
    static constexpr std::string_view kLists[] = {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"};
    uint64_t counts[3] = {};
    uint64_t total = 0;
    for (std::size_t list = 0; list < 3; ++list) {
        // A list whose length cannot be read is not written at all.
        counts[list] = number(kLists[list], "SupportedObjects", kMaxListEntries).value_or(0);
        total += counts[list];
    }
    uint64_t done = 0;
    for (std::size_t list = 0; list < 3; ++list) {
        for (uint64_t entry = 1; entry <= counts[list]; ++entry) {
            const uint64_t index = number(kLists[list], std::to_string(entry), kMaxIndex).value_or(0);
            if (index > 0) {
                writeObject(static_cast<uint16_t>(index));
            }
            if (stopped_) {
                return stopCode_;
            }
            reportProgress(callbacks_, static_cast<float>(done * 100 / total));
            ++done;
        }
    }
    reportProgress(callbacks_, 100.0f);
    report(callbacks_, "%s", kFinished.data());
    return failed_ ? DRN_CONFIG_FAILED : DRN_OK;
}

std::optional<std::string> DcfWriter::firstSection(std::initializer_list<std::string> names) const {
    for (const std::string& name : names) {
        if (dcf_.hasSection(name)) {
            return name;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> DcfWriter::number(std::string_view section, std::string_view key, uint64_t limit) {
    const DcfDocument::Number found = dcf_.number(section, key, limit);
    if (found.state != DcfDocument::Number::State::Invalid) {
        return found.value;
    }
    const std::string where(section), name(key), text(found.text);
    report(callbacks_, "[%s] %s=%s is not a number from 0 to %llu", where.c_str(), name.c_str(), text.c_str(),
           static_cast<unsigned long long>(limit));
    failed_ = true;
    return std::nullopt;
}

std::optional<ObjectFields> DcfWriter::readFields(const std::string& section) {
    ObjectFields fields;
    const std::optional<uint64_t> dataType = number(section, "DataType", kMaxDataType);
    const std::optional<uint64_t> flags = number(section, "ObjFlags", kMaxObjFlags);
    if (!dataType || !flags) {
        return std::nullopt;
    }
    fields.dataType = static_cast<uint32_t>(*dataType);
    const std::string access = asciiLower(dcf_.text(section, "AccessType"));
    fields.readOnly = access == "ro" || access == "const";
    fields.excluded = (*flags & 1) != 0;
    fields.value = dcf_.text(section, "ParameterValue");
    fields.fileName = dcf_.text(section, "DownloadFile");
    if (fields.fileName.empty()) {
        fields.fileName = dcf_.text(section, "UploadFile");
    }
    return fields;
}

void DcfWriter::writeObject(uint16_t index) {
    const std::optional<std::string> section =
        firstSection({formatted("%4.4x", index), formatted("%4.4X", index)});
    if (!section) {
        return;  // nothing known about it, nothing to write
    }
    // An object whose shape cannot be read is not written: its parts could not be told apart.
    const std::optional<uint64_t> subNumber = number(*section, "SubNumber", kMaxSubNumber);
    const std::optional<uint64_t> compact = number(*section, "CompactSubObj", kMaxArrayEntries);
    const std::optional<ObjectFields> object = readFields(*section);
    if (!subNumber || !compact || !object) {
        return;
    }
    std::vector<ListEntry> list;

    if (*subNumber == 0 && *compact == 0) {
        writeVariable(index, *object);
        return;
    }
    if (*subNumber == 0) {
        // Compact form: one description for all entries, values in "<index>Value".
        if (object->readOnly || object->excluded) {
            return;
        }
        const std::optional<std::string> values =
            firstSection({formatted("%4.4xValue", index), formatted("%4.4XValue", index)});
        const std::optional<uint64_t> entries =
            values ? number(*values, "NrOfEntries", kMaxArrayEntries) : std::optional<uint64_t>(0);
        if (!entries) {
            return;
        }
        for (uint64_t sub = 1; sub <= *entries; ++sub) {
            std::string value = dcf_.text(*values, std::to_string(sub));
            if (!value.empty()) {
                list.push_back({static_cast<uint8_t>(sub), object->dataType, std::move(value), {}});
            }
        }
    } else {
        uint64_t found = 0;
        for (unsigned sub = 0; sub <= 254 && found < *subNumber; ++sub) {
            const std::optional<std::string> subSection =
                firstSection({formatted("%4.4xsub%x", index, sub), formatted("%4.4xsub%X", index, sub),
                              formatted("%4.4Xsub%x", index, sub), formatted("%4.4Xsub%X", index, sub)});
            if (!subSection) {
                continue;
            }
            ++found;
            std::optional<ObjectFields> read = readFields(*subSection);
            if (!read) {
                continue;
            }
            ObjectFields& fields = *read;
            // The count of a mapping is written whatever its access says: it is how the mapping is
            // switched off and on.
            const bool countOfMapping = sub == 0 && isPdoMapping(index);
            if (fields.excluded || (fields.value.empty() && fields.fileName.empty()) ||
                (fields.readOnly && !countOfMapping)) {
                continue;
            }
            list.push_back({static_cast<uint8_t>(sub), fields.dataType, std::move(fields.value),
                            std::move(fields.fileName)});
        }
    }
    writeList(index, list);
}

void DcfWriter::writeVariable(uint16_t index, const ObjectFields& fields) {
    if (fields.readOnly || fields.excluded || (fields.value.empty() && fields.fileName.empty())) {
        return;
    }
    const std::optional<ConvertedValue> value = convert(index, 0, fields.dataType, fields.value, fields.fileName);
    if (value) {
        (void)write(index, 0, value->bytes);
    }
}

std::optional<ConvertedValue> DcfWriter::convert(uint16_t index, uint8_t subIndex, uint32_t dataType,
                                                 std::string_view value, std::string_view fileName) {
    ConvertedValue converted =
        convertParameterValue(ValueSource{dataType, value, fileName, node_, baseFolder_});
    switch (converted.status) {
    case ConversionStatus::Ok:
        return converted;
    case ConversionStatus::UnknownType:
        report(callbacks_, "Unknown type for [%4.4X,%2.2X]", index, subIndex);
        break;
    case ConversionStatus::InvalidValue:
        report(callbacks_, "Invalid ParameterValue value for [%4.4X,%2.2X]", index, subIndex);
        break;
    }
    // A value that cannot be converted is not written at all: a partial value could not be told apart.
    failed_ = true;
    return std::nullopt;
}

bool DcfWriter::writeEntry(uint16_t index, const ListEntry& entry) {
    const std::optional<ConvertedValue> value =
        convert(index, entry.subIndex, entry.dataType, entry.value, entry.fileName);
    return value && write(index, entry.subIndex, value->bytes);
}

void DcfWriter::writeList(uint16_t index, std::vector<ListEntry>& list) {
    if (list.empty()) {
        return;
    }
    const auto moveToEnd = [&list](uint8_t subIndex) {
        const auto found = std::find_if(list.begin(), list.end(),
                                        [subIndex](const ListEntry& entry) { return entry.subIndex == subIndex; });
        if (found == list.end()) {
            return false;
        }
        std::rotate(found, found + 1, list.end());
        return true;
    };

    // A PDO's parameters may change only while it does not exist: mark it not valid first. The
    // COB-ID from the file, written last, decides its validity; without one the PDO gets back the
    // validity it had.
    const bool communication = isPdoCommunication(index);
    bool communicationWasValid = false;
    if (communication) {
        if (const auto cobId = read(index, 1); cobId && cobId->size() == 4) {
            const uint64_t value = readLittleEndian(*cobId);
            communicationWasValid = (value & kPdoNotValid) == 0;
            (void)writeUnsigned(index, 1, value | kPdoNotValid, 4);
        }
        if (stopped_) {
            return;
        }
        moveToEnd(1);
    }

    // A mapping may change only while its PDO does not exist and its count is 0.
    const bool mapping = isPdoMapping(index);
    const uint16_t mappedPdo = static_cast<uint16_t>(index - 0x200);
    bool pdoWasValid = false;
    uint8_t oldCount = 0;  // written back when the file brings no count of its own
    bool countInList = false;
    if (mapping) {
        if (const auto cobId = read(mappedPdo, 1); cobId && cobId->size() == 4) {
            const uint64_t value = readLittleEndian(*cobId);
            if ((value & kPdoNotValid) == 0) {
                pdoWasValid = true;
                (void)writeUnsigned(mappedPdo, 1, value | kPdoNotValid, 4);
            }
        }
        if (stopped_) {
            return;
        }
        if (const auto count = read(index, 0); count && count->size() == 1) {
            oldCount = (*count)[0];
            (void)writeUnsigned(index, 0, 0, 1);
        }
        if (stopped_) {
            return;
        }
        if (moveToEnd(0)) {
            countInList = true;  // the file's count is written last and replaces the old one
        }
    }

    bool cobIdWritten = false;
    for (const ListEntry& entry : list) {
        const bool written = writeEntry(index, entry);
        if (stopped_) {
            return;
        }
        cobIdWritten = cobIdWritten || (entry.subIndex == 1 && written);
    }

    if (communication && communicationWasValid && !cobIdWritten) {
        if (const auto cobId = read(index, 1); cobId && cobId->size() == 4) {
            (void)writeUnsigned(index, 1, readLittleEndian(*cobId) & ~uint64_t{kPdoNotValid}, 4);
        }
    }
    if (mapping) {
        if (!countInList) {
            if (const auto count = read(index, 0); count && count->size() == 1) {
                (void)writeUnsigned(index, 0, oldCount, 1);
            }
            if (stopped_) {
                return;
            }
        }
        if (pdoWasValid) {
            if (const auto cobId = read(mappedPdo, 1); cobId && cobId->size() == 4) {
                (void)writeUnsigned(mappedPdo, 1, readLittleEndian(*cobId) & ~uint64_t{kPdoNotValid}, 4);
            }
        }
    }
}

std::optional<std::vector<uint8_t>> DcfWriter::read(uint16_t index, uint8_t subIndex) {
    return transfer(Direction::Upload, index, subIndex, {});
}

bool DcfWriter::write(uint16_t index, uint8_t subIndex, std::span<const uint8_t> data) {
    return transfer(Direction::Download, index, subIndex, data).has_value();
}

bool DcfWriter::writeUnsigned(uint16_t index, uint8_t subIndex, uint64_t value, unsigned bytes) {
    const std::vector<uint8_t> data = littleEndian(value, bytes);
    return write(index, subIndex, data);
}

void onSdoCompleted(ResultBlock* result, void* user) {
    const auto serial = static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(user));
    ConfigModule& m = configModule();
    {
        std::lock_guard lock(m.mutex);
        if (serial == 0 || serial != m.inFlightSerial) {
            return;  // not the request the writer has in flight
        }
        if (result != nullptr) {
            m.lastResult = *result;
        } else {
            m.lastResult = ResultBlock{};
            m.lastResult.code = DRN_REQUEST_FAILED;
        }
        m.inFlightSerial = 0;
        m.completedSerial = serial;
    }
    m.changed.notify_all();
}

std::optional<std::vector<uint8_t>> DcfWriter::transfer(Direction direction, uint16_t index, uint8_t subIndex,
                                                        std::span<const uint8_t> data) {
    if (stopped_) {
        return std::nullopt;
    }
    ConfigModule& m = configModule();
    const bool upload = direction == Direction::Upload;
    uint64_t serial = 0;
    uint8_t* buffer = nullptr;
    int32_t out = DRN_OK;
    {
        std::lock_guard lock(m.mutex);
        if (!m.started || !m.buffer) {
            out = DRN_CANCELLED;  // the library shuts down
        } else if (m.inFlightSerial != 0 || data.size() > kConfigTransferCapacity) {
            out = DRN_BUSY;  // an earlier request never ended: the buffer is not free
        } else {
            buffer = m.buffer.get();
            if (upload) {
                m.uploadSize = static_cast<uint32_t>(kConfigTransferCapacity);
            } else if (!data.empty()) {
                std::memcpy(buffer, data.data(), data.size());
            }
            serial = ++m.lastSerial;
            m.inFlightSerial = serial;
        }
    }
    if (out == DRN_CANCELLED) {
        report(callbacks_, "%s", kFinished.data());
        stop(DRN_CANCELLED);
        return std::nullopt;
    }

    void* token = reinterpret_cast<void*>(static_cast<std::uintptr_t>(serial));
    // The engine's own serial of the request, so that a time-out cancels this request and no other.
    uint64_t engineSerial = 0;
    if (out == DRN_OK) {
        EngineRequest request;
        request.code = upload ? kRequestSdoUpload : kRequestSdoDownload;
        request.node = node_;
        request.index = index;
        request.subIndex = subIndex;
        if (upload) {
            request.buffer = buffer;
            request.sizeInOut = &m.uploadSize;
        } else {
            request.data = buffer;
            request.size = static_cast<uint32_t>(data.size());
        }
        request.completion = onSdoCompleted;
        request.user = token;
        postRequest(request, &out, &engineSerial);
    }

    std::unique_lock lock(m.mutex);
    int32_t code = out;
    std::vector<uint8_t> received;
    if (out != DRN_OK) {
        if (m.inFlightSerial == serial) {
            m.inFlightSerial = 0;  // refused: no completion will come
        }
    } else {
        m.changed.wait_for(lock, m.sdoWait, [&] { return m.completedSerial == serial || !m.started; });
        if (m.completedSerial != serial) {
            // Given up (time-out or library shut-down): cancel the request and let it end before
            // anything else is posted or the buffer is released.
            const bool shuttingDown = !m.started;
            lock.unlock();
            cancelRequest(engineSerial);
            lock.lock();
            m.changed.wait_for(lock, kCancelWait, [&] { return m.completedSerial == serial; });
            lock.unlock();
            if (!shuttingDown) {
                reportProgress(callbacks_, 100.0f);
                report(callbacks_, "Failed to wait for SDO operation to complete. Stopping.");
            }
            report(callbacks_, "%s", kFinished.data());
            stop(shuttingDown ? DRN_CANCELLED : DRN_NO_FRAME);
            return std::nullopt;
        }
        code = m.lastResult.code;
        if (code == DRN_OK && upload) {
            const std::size_t size = std::min<std::size_t>(m.uploadSize, kConfigTransferCapacity);
            received.assign(buffer, buffer + size);
        }
    }
    lock.unlock();

    if (code == DRN_OK) {
        return received;
    }
    if (code == DRN_CANCELLED) {
        report(callbacks_, "User cancelled");
        report(callbacks_, "%s", kFinished.data());
        stop(DRN_CANCELLED);
        return std::nullopt;
    }
    report(callbacks_, upload ? "Failed to read from [%4.4X,%2.2X]" : "Failed to write to [%4.4X,%2.2X]", index,
           subIndex);
    failed_ = true;
    return std::nullopt;
}

// ---- Writer threads -------------------------------------------------------------------------------

[[nodiscard]] std::string utf8Path(const drn_char16* path) { return ostrel::platform::toUtf8(path); }

int32_t runDcfJob(uint8_t node, const std::string& path, const Callbacks& callbacks) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) {
        reportProgress(callbacks, 0.0f);
        report(callbacks, "Failed to open %s", path.c_str());
        reportProgress(callbacks, 100.0f);
        report(callbacks, "%s", kFinished.data());
        return DRN_CONFIG_FAILED;
    }
    const DcfDocument dcf = DcfDocument::parse(*text);
    return DcfWriter(dcf, node, folderOf(path), callbacks).run();
}

[[nodiscard]] bool writerStarted() {
    ConfigModule& m = configModule();
    std::lock_guard lock(m.mutex);
    return m.started;
}

int32_t runNcfJob(const std::string& path, const Callbacks& callbacks) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) {
        report(callbacks, "Failed to open %s", path.c_str());
        return DRN_CONFIG_FAILED;
    }
    // Each node's part is written straight from memory; relative file names start at the NCF's folder.
    const std::string folder = folderOf(path);
    bool anyFailed = false;
    for (unsigned node = 1; node <= kLastNode; ++node) {
        const std::optional<std::string> part = extractNodeDcf(*text, static_cast<uint8_t>(node));
        if (!part) {
            continue;
        }
        if (!writerStarted()) {
            return DRN_CANCELLED;
        }
        ResultBlock nmt{};
        CANopen_NMT(static_cast<uint8_t>(node), kNmtEnterPreOperational, &nmt);
        reportStart(callbacks, static_cast<uint8_t>(node));
        const DcfDocument dcf = DcfDocument::parse(*part);
        const int32_t code = DcfWriter(dcf, static_cast<uint8_t>(node), folder, callbacks).run();
        if (code == DRN_CONFIG_FAILED) {
            anyFailed = true;
        } else if (code != DRN_OK) {
            return code;
        }
    }
    return anyFailed ? DRN_CONFIG_FAILED : DRN_OK;
}

// Claims the writer for one write: 0, -7 (library not started or hardware not initialised) or -12
// (an engine request or another write runs).
[[nodiscard]] int32_t claimWriter() {
    if (!engineRunning()) {
        return DRN_NOT_INITIALIZED;
    }
    if (engineRequestPending()) {
        return DRN_BUSY;
    }
    ConfigModule& m = configModule();
    std::vector<std::unique_ptr<WriterThread>> finished;
    int32_t code = DRN_OK;
    {
        std::lock_guard lock(m.mutex);
        if (!m.started) {
            code = DRN_NOT_INITIALIZED;
        } else if (m.busy) {
            code = DRN_BUSY;
        } else {
            m.busy = true;
            const auto split = std::stable_partition(m.threads.begin(), m.threads.end(),
                                                     [](const auto& writer) { return !writer->done.load(); });
            std::move(split, m.threads.end(), std::back_inserter(finished));
            m.threads.erase(split, m.threads.end());
        }
    }
    for (auto& writer : finished) {
        writer->thread.join();  // done: it has returned or is about to
    }
    return code;
}

void releaseWriter() {
    ConfigModule& m = configModule();
    std::lock_guard lock(m.mutex);
    m.busy = false;
}

// Starts the writer thread for a claimed write; the thread frees the claim before it reports the
// end, so the caller's completion callback may start the next write.
template <typename Job>
[[nodiscard]] int32_t launchWriter(Job job, const Callbacks& callbacks) {
    ConfigModule& m = configModule();
    std::lock_guard lock(m.mutex);
    if (!m.started) {
        m.busy = false;
        return DRN_NOT_INITIALIZED;
    }
    auto writer = std::make_unique<WriterThread>();
    WriterThread* self = writer.get();
    try {
        writer->thread = std::thread([self, job = std::move(job), callbacks]() mutable {
            int32_t code = DRN_CANCELLED;
            try {
                code = job();
            } catch (...) {
                code = DRN_CONFIG_FAILED;  // out of memory while reading the file
            }
            releaseWriter();
            complete(callbacks, code);
            self->done.store(true);
        });
    } catch (...) {
        m.busy = false;
        throw;
    }
    m.threads.push_back(std::move(writer));
    return DRN_OK;
}

int32_t startDcfWrite(uint8_t node, const drn_char16* dcfFileName, const Callbacks& callbacks) {
    // Refused before its NMT command goes out, whatever the SDO identifiers: the command and $NODEID
    // always take the node id, and node 0 would put every node into pre-operational.
    if (dcfFileName == nullptr || node < 1 || node > kLastNode) {
        return DRN_BAD_PARAMETERS;
    }
    std::string path = utf8Path(dcfFileName);
    if (const int32_t code = claimWriter(); code != DRN_OK) {
        return code;
    }
    try {
        ResultBlock nmt{};
        CANopen_NMT(node, kNmtEnterPreOperational, &nmt);
        reportStart(callbacks, node);
        return launchWriter([node, path = std::move(path), callbacks] { return runDcfJob(node, path, callbacks); },
                            callbacks);
    } catch (...) {
        releaseWriter();
        throw;
    }
}

int32_t startNcfWrite(const drn_char16* ncfFileName, const Callbacks& callbacks) {
    if (ncfFileName == nullptr) {
        return DRN_BAD_PARAMETERS;
    }
    std::string path = utf8Path(ncfFileName);
    if (const int32_t code = claimWriter(); code != DRN_OK) {
        return code;
    }
    try {
        return launchWriter([path = std::move(path), callbacks] { return runNcfJob(path, callbacks); }, callbacks);
    } catch (...) {
        releaseWriter();
        throw;
    }
}

} // namespace

// ---- DcfDocument ----------------------------------------------------------------------------------

DcfDocument DcfDocument::parse(std::string_view text) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (text.substr(0, kBom.size()) == kBom) {
        text.remove_prefix(kBom.size());
    }
    DcfDocument document;
    Keys* section = nullptr;
    forEachLine(text, [&](std::string_view raw) {
        const std::string_view line = trim(raw);
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            section = &document.sections_[std::string(line.substr(1, line.size() - 2))];
            return;
        }
        const std::size_t equals = line.find('=');
        if (section == nullptr || equals == std::string_view::npos) {
            return;
        }
        section->try_emplace(std::string(trim(line.substr(0, equals))), std::string(trim(line.substr(equals + 1))));
    });
    return document;
}

bool DcfDocument::hasSection(std::string_view section) const { return sections_.find(section) != sections_.end(); }

std::optional<std::string_view> DcfDocument::find(std::string_view section, std::string_view key) const {
    const auto keys = sections_.find(section);
    if (keys == sections_.end()) {
        return std::nullopt;
    }
    const auto value = keys->second.find(key);
    if (value == keys->second.end()) {
        return std::nullopt;
    }
    return std::string_view(value->second);
}

std::string DcfDocument::text(std::string_view section, std::string_view key, std::string_view defaultValue) const {
    return std::string(find(section, key).value_or(defaultValue));
}

DcfDocument::Number DcfDocument::number(std::string_view section, std::string_view key, uint64_t limit) const {
    Number number;
    const std::optional<std::string_view> value = find(section, key);
    if (!value) {
        return number;
    }
    number.text = *value;
    const std::optional<uint64_t> parsed = parseUnsignedKey(*value);
    if (parsed && *parsed <= limit) {
        number.state = Number::State::Valid;
        number.value = *parsed;
    } else {
        number.state = Number::State::Invalid;
    }
    return number;
}

std::optional<uint64_t> parseUnsignedKey(std::string_view text) noexcept {
    const std::optional<WholeNumber> number = parseWholeNumber(text);
    if (!number || trimBlanks(text).front() == '-') {  // "-0" too: a count has no sign
        return std::nullopt;
    }
    return number->magnitude;
}

// ---- Value conversion -----------------------------------------------------------------------------

ConvertedValue convertParameterValue(const ValueSource& source) {
    const uint32_t type = source.dataType;
    if (type == 0x0001) {  // BOOLEAN
        const std::optional<WholeNumber> number = parseIntegerValue(source.parameterValue, source.nodeId);
        if (!number || number->negative || number->magnitude > 1) {
            return invalid();
        }
        return ok({static_cast<uint8_t>(number->magnitude)});
    }
    if (const std::optional<IntegerType> integer = integerType(type)) {
        const std::optional<WholeNumber> number = parseIntegerValue(source.parameterValue, source.nodeId);
        if (!number) {
            return invalid();
        }
        const std::optional<uint64_t> pattern = fitInteger(*number, integer->bytes, integer->isSigned);
        if (!pattern) {
            return invalid();
        }
        return ok(littleEndian(*pattern, integer->bytes));
    }
    switch (type) {
    case 0x0008: {  // REAL32
        const std::optional<float> value = parseReal<float>(source.parameterValue);
        if (!value) {
            return invalid();
        }
        return ok(littleEndian(std::bit_cast<uint32_t>(*value), 4));
    }
    case 0x0011: {  // REAL64
        const std::optional<double> value = parseReal<double>(source.parameterValue);
        if (!value) {
            return invalid();
        }
        return ok(littleEndian(std::bit_cast<uint64_t>(*value), 8));
    }
    case 0x0009:  // VISIBLE_STRING
        if (source.parameterValue.size() > kConfigStringLimit) {
            return invalid();
        }
        return ok(std::vector<uint8_t>(source.parameterValue.begin(), source.parameterValue.end()));
    case 0x000A:  // OCTET_STRING
    case 0x000B:  // UNICODE_STRING
        return convertHexString(source.parameterValue);
    case 0x000F:  // DOMAIN
        return convertDomain(source);
    default:
        return {ConversionStatus::UnknownType, {}};
    }
}

std::optional<std::string> extractNodeDcf(std::string_view ncfText, uint8_t node) {
    const std::string marker = formatted("[DCF 0x%2.2X]", node);
    std::optional<std::string> part;
    bool ended = false;
    forEachLine(ncfText, [&](std::string_view line) {
        if (ended) {
            return;
        }
        if (!part) {
            if (line.find(marker) != std::string_view::npos) {
                part.emplace();
            }
            return;
        }
        if (line.find("[DCF ") != std::string_view::npos) {
            ended = true;
            return;
        }
        part->append(line);
        part->push_back('\n');
    });
    return part;
}

std::chrono::milliseconds setConfigWriterSdoWait(std::chrono::milliseconds wait) {
    ConfigModule& m = configModule();
    std::lock_guard lock(m.mutex);
    return std::exchange(m.sdoWait, wait);
}

// ---- Module start and stop ------------------------------------------------------------------------

void configWriterStartup() {
    ConfigModule& m = configModule();
    std::lock_guard lock(m.mutex);
    m.started = true;
    if (!m.buffer) {
        m.buffer = std::make_unique<uint8_t[]>(kConfigTransferCapacity);
    }
}

void configWriterShutdown() {
    ConfigModule& m = configModule();
    std::vector<std::unique_ptr<WriterThread>> writers;
    {
        std::lock_guard lock(m.mutex);
        m.started = false;
        writers.swap(m.threads);
    }
    m.changed.notify_all();  // a writer waiting for its request gives up, cancels it and ends
    std::vector<std::unique_ptr<WriterThread>> self;
    for (auto& writer : writers) {
        if (writer->thread.get_id() == std::this_thread::get_id()) {
            self.push_back(std::move(writer));  // shut down from the writer's own callback
        } else if (writer->thread.joinable()) {
            writer->thread.join();
        }
    }
    std::lock_guard lock(m.mutex);
    for (auto& writer : self) {
        m.threads.push_back(std::move(writer));
    }
    // A request that never completed may still write into the buffer: then it stays.
    if (m.inFlightSerial == 0) {
        m.buffer.reset();
    }
}

} // namespace drennic

extern "C" {

void CANopenConfig_WriteDCF(uint8_t node, const drn_char16* dcfFileName, ProgressCallback progress,
                            ConfigMessageCallback message, CompletionCallback completion, void* user, int32_t* out) {
    int32_t code = DRN_BUSY;
    try {
        code = drennic::startDcfWrite(node, dcfFileName, drennic::Callbacks{progress, message, completion, user});
    } catch (...) {
        code = DRN_BUSY;  // no thread could be started: nothing runs, no callback will come
    }
    if (out != nullptr) {
        *out = code;
    }
}

void CANopenConfig_WriteNCF(const drn_char16* ncfFileName, ProgressCallback progress, ConfigMessageCallback message,
                            CompletionCallback completion, void* user, int32_t* out) {
    int32_t code = DRN_BUSY;
    try {
        code = drennic::startNcfWrite(ncfFileName, drennic::Callbacks{progress, message, completion, user});
    } catch (...) {
        code = DRN_BUSY;
    }
    if (out != nullptr) {
        *out = code;
    }
}

} // extern "C"
