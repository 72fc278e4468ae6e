// The configuration writer's reading of a DCF, driven through a whole write into a device on the
// library's in-process test bus that takes every SDO download. Input: a flags byte (bit 0: the
// device's PDOs are valid at first; bits 1-3: the mapping count it holds), a node id for the NCF
// extraction (1 byte), then the DCF's bytes.
// What a user expects: the DCF reads as its format says; the write ends, once, with success or with
// the objects that failed named; it writes only what the file gives (a value that converts, at the
// object and sub-index the file gives it) and the switching of the PDOs it changes, never an object
// the file marks read-only or excluded; every plain writable object with a value is written; a
// value's bytes fit its type. And the part of an NCF for one node is the lines after its header up
// to the next.
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <drennic/drennic.h>
#include <platform/utf16.h>

#include "config_writer.h"
#include "fuzz_files.h"
#include "testbus.h"

namespace {

using namespace drennic;
using ostrel::fuzz::scratch;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kNode = 5;
constexpr auto kWriteBound = std::chrono::seconds(60);  // the device answers at once; a write of a
                                                        // few hundred objects takes well under this

bool isPdoCommunication(uint32_t index) { return (index >= 0x1400 && index <= 0x15FF) || (index >= 0x1800 && index <= 0x19FF); }
bool isPdoMapping(uint32_t index) { return (index >= 0x1600 && index <= 0x17FF) || (index >= 0x1A00 && index <= 0x1BFF); }

std::string format(const char* f, ...) {
    char text[64];
    va_list args;
    va_start(args, f);
    std::vsnprintf(text, sizeof text, f, args);
    va_end(args);
    return text;
}

uint32_t u32(const Bytes& b) { return b.size() == 4 ? b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24 : 0; }

// A device that takes every download (expedited or segmented) and answers uploads of what it
// holds, of up to 4 bytes; the COB-IDs and mapping counts of PDOs it holds from the start.
class Device {
public:
    struct Download {
        uint16_t index;
        uint8_t sub;
        Bytes data;
        Bytes before;  // what the device held there
    };

    void reset(bool pdosValid, uint8_t mappingCount) {
        std::lock_guard lock(mutex_);
        store_.clear();
        downloads_.clear();
        segment_.reset();
        pdosValid_ = pdosValid;
        mappingCount_ = mappingCount;
    }
    std::vector<Download> downloads() const {
        std::lock_guard lock(mutex_);
        return downloads_;
    }
    Bytes initial(uint16_t index, uint8_t sub) const {
        if (isPdoCommunication(index) && sub == 1) {
            const uint32_t cobId = (pdosValid_ ? 0u : 0x80000000u) | (0x180u + kNode);
            return {static_cast<uint8_t>(cobId), static_cast<uint8_t>(cobId >> 8), static_cast<uint8_t>(cobId >> 16),
                    static_cast<uint8_t>(cobId >> 24)};
        }
        if (isPdoMapping(index) && sub == 0) return {mappingCount_};
        return {};
    }

    // The answer to a frame the library sent, if it is an SDO request to this device.
    std::optional<CANFrame> answer(const CANFrame& f) {
        if (f.id != 0x600u + kNode || f.length != 8) return std::nullopt;
        std::lock_guard lock(mutex_);
        const uint8_t cmd = f.data[0];
        const auto index = static_cast<uint16_t>(f.data[1] | f.data[2] << 8);
        const uint8_t sub = f.data[3];
        switch (cmd >> 5) {
        case 1:  // initiate download
            if ((cmd & 2) != 0) {
                const std::size_t size = (cmd & 1) != 0 ? 4 - ((cmd >> 2) & 3) : 4;
                take(index, sub, Bytes(f.data + 4, f.data + 4 + size));
            } else {
                segment_ = Segment{index, sub, {}, 0};
            }
            return reply({0x60, f.data[1], f.data[2], f.data[3], 0, 0, 0, 0});
        case 0: {  // download segment
            if (!segment_) return abort(f, 0x05040001);
            const uint8_t toggle = (cmd >> 4) & 1;
            const std::size_t unused = (cmd >> 1) & 7;
            segment_->data.insert(segment_->data.end(), f.data + 1, f.data + 8 - unused);
            const uint8_t answerToggle = static_cast<uint8_t>(0x20 | toggle << 4);
            if ((cmd & 1) != 0) {
                take(segment_->index, segment_->sub, segment_->data);
                segment_.reset();
            }
            return reply({answerToggle, 0, 0, 0, 0, 0, 0, 0});
        }
        case 2: {  // initiate upload
            const Bytes held = holds(index, sub);
            if (held.empty()) return abort(f, 0x06020000);
            if (held.size() > 4) return abort(f, 0x06040047);  // no segmented upload here
            std::array<uint8_t, 8> d{static_cast<uint8_t>(0x43 | (4 - held.size()) << 2), f.data[1], f.data[2], f.data[3]};
            std::copy(held.begin(), held.end(), d.begin() + 4);
            return reply(d);
        }
        case 4:  // the client aborted
            segment_.reset();
            return std::nullopt;
        default:
            return abort(f, 0x05040001);
        }
    }

private:
    struct Segment {
        uint16_t index;
        uint8_t sub;
        Bytes data;
        int unused;
    };

    Bytes holds(uint16_t index, uint8_t sub) const {
        const auto it = store_.find({index, sub});
        return it != store_.end() ? it->second : initial(index, sub);
    }
    void take(uint16_t index, uint8_t sub, Bytes data) {
        downloads_.push_back({index, sub, data, holds(index, sub)});
        store_[{index, sub}] = std::move(data);
    }
    static CANFrame reply(const std::array<uint8_t, 8>& d) {
        CANFrame frame{};
        frame.id = 0x580u + kNode;
        frame.length = 8;
        std::copy(d.begin(), d.end(), frame.data);
        return frame;
    }
    static CANFrame abort(const CANFrame& f, uint32_t code) {
        return reply({0x80, f.data[1], f.data[2], f.data[3], static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                      static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)});
    }

    mutable std::mutex mutex_;
    std::map<std::pair<uint16_t, uint8_t>, Bytes> store_;
    std::vector<Download> downloads_;
    std::optional<Segment> segment_;
    bool pdosValid_ = true;
    uint8_t mappingCount_ = 0;
};

// The library on the test bus with the device, for the whole run.
struct Scene {
    Scene() {
        bus = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
        CANopen_SetSDOTimeout(5000);  // the device answers at once, but the machine may be busy
        listener = bus->attach([this](const CANFrame& frame) {
            if (auto answer = device.answer(frame)) bus->inject(*answer);
        });
        ResultBlock result{};
        Hardware_Initialize(1, u"dcf fuzz", 0, 0, &result);
        FUZZ_CHECK(result.code == DRN_OK, "the test bus did not start: %d", result.code);
    }
    ~Scene() {
        Hardware_Close();
        CANopenDLL_Shutdown();
        bus->detach(listener);
        bus.reset();
    }
    Device device;
    std::unique_ptr<TestBus> bus;
    TestBus::ListenerId listener = 0;
};

// What one write reported.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<float> progress;
    std::vector<std::string> messages;
    std::vector<int32_t> completions;

    static void onProgress(float percent, void* user) {
        auto* r = static_cast<Recorder*>(user);
        std::lock_guard lock(r->mutex);
        r->progress.push_back(percent);
    }
    static void onMessage(const drn_char16* text, void* user) {
        auto* r = static_cast<Recorder*>(user);
        std::lock_guard lock(r->mutex);
        r->messages.push_back(ostrel::platform::toUtf8(text));
    }
    static void onCompletion(ResultBlock* result, void* user) {
        auto* r = static_cast<Recorder*>(user);
        {
            std::lock_guard lock(r->mutex);
            r->completions.push_back(result->code);
        }
        r->changed.notify_all();
    }
};

// The documented reading of a DCF: lines trimmed; "[name]" (more than 2 characters) opens a
// section named exactly; a line with "=" in a section gives a trimmed key and value; the first
// key wins.
using Sections = std::map<std::string, std::map<std::string, std::string>>;

std::string_view trimmed(std::string_view t) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!t.empty() && space(t.front())) t.remove_prefix(1);
    while (!t.empty() && space(t.back())) t.remove_suffix(1);
    return t;
}

Sections readSections(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Sections sections;
    std::map<std::string, std::string>* current = nullptr;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            current = &sections[std::string(line.substr(1, line.size() - 2))];
        } else if (current != nullptr && line.find('=') != std::string_view::npos) {
            const std::size_t eq = line.find('=');
            current->try_emplace(std::string(trimmed(line.substr(0, eq))), std::string(trimmed(line.substr(eq + 1))));
        }
        if (end == text.size()) break;
    }
    return sections;
}

std::optional<std::size_t> fixedSize(uint32_t type) {
    switch (type) {
    case 0x01: case 0x02: case 0x05: return 1;
    case 0x03: case 0x06: return 2;
    case 0x10: case 0x16: return 3;
    case 0x04: case 0x07: case 0x08: return 4;
    case 0x12: case 0x18: return 5;
    case 0x0C: case 0x0D: case 0x13: case 0x19: return 6;
    case 0x14: case 0x1A: return 7;
    case 0x11: case 0x15: case 0x1B: return 8;
    default: return std::nullopt;
    }
}

// What the file gives for one sub-object from one section, converted.
std::optional<Bytes> valueOf(const DcfDocument& dcf, const std::string& section, uint32_t dataType, const std::string& folder) {
    const std::string value = dcf.text(section, "ParameterValue");
    std::string file = dcf.text(section, "DownloadFile");
    if (file.empty()) file = dcf.text(section, "UploadFile");
    const ConvertedValue converted = convertParameterValue({dataType, value, file, kNode, folder});
    if (converted.status != ConversionStatus::Ok) {
        FUZZ_CHECK(converted.bytes.empty(), "a refused value gave %zu bytes", converted.bytes.size());
        return std::nullopt;
    }
    if (const auto size = fixedSize(dataType))
        FUZZ_CHECK(converted.bytes.size() == *size, "a value of type 0x%X gave %zu bytes", dataType, converted.bytes.size());
    if (dataType == 0x09)
        FUZZ_CHECK(converted.bytes.size() <= kConfigStringLimit && std::string(converted.bytes.begin(), converted.bytes.end()) == value,
                   "a VISIBLE_STRING value is not its text");
    return converted.bytes;
}

// Each line of the part ends in a line end, the file's last one too.
std::optional<std::string> ncfPart(std::string_view ncf, uint8_t node) {
    const std::string header = format("[DCF 0x%02X]", node);
    std::optional<std::string> part;
    std::size_t start = 0;
    while (start < ncf.size()) {
        const std::size_t end = std::min(ncf.find('\n', start), ncf.size());
        const std::string_view line = ncf.substr(start, end - start);
        start = end + 1;
        if (part) {
            if (line.find("[DCF ") != std::string_view::npos) return part;
            *part += line;
            *part += '\n';
        } else if (line.find(header) != std::string_view::npos) {
            part.emplace();
        }
    }
    return part;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scene scene;
    ostrel::fuzz::InputReader in(data, size);
    const uint8_t flags = in.byte();
    const uint8_t ncfNode = in.byte();
    const std::string text = in.rest();

    // The NCF part of a node.
    FUZZ_CHECK(extractNodeDcf(text, ncfNode) == ncfPart(text, ncfNode), "the part of node 0x%02X differs", ncfNode);

    // The DCF's reading against its documented rules.
    const DcfDocument dcf = DcfDocument::parse(text);
    const Sections sections = readSections(text);
    for (const auto& [section, keys] : sections) {
        FUZZ_CHECK(dcf.hasSection(section), "section [%s] is missing", section.c_str());
        for (const auto& [key, value] : keys) {
            const auto found = dcf.find(section, key);
            FUZZ_CHECK(found && *found == value, "[%s] %s reads \"%s\", not \"%s\"", section.c_str(), key.c_str(),
                       found ? std::string(*found).c_str() : "(none)", value.c_str());
        }
    }

    // What the file gives. A count or code present but unusable is refused by the writer, which then
    // leaves out what depends on it: such a file is checked for its result and messages only.
    bool refused = false;
    const auto num = [&](const std::string& section, const std::string& key, uint64_t limit) -> int64_t {
        const DcfDocument::Number n = dcf.number(section, key, limit);
        refused = refused || n.state == DcfDocument::Number::State::Invalid;
        return n.state == DcfDocument::Number::State::Valid ? static_cast<int64_t>(n.value) : 0;
    };
    const std::string folder = scratch().path().string() + "/";
    std::set<uint32_t> listed;
    for (const char* list : {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"}) {
        const int64_t n = num(list, "SupportedObjects", 0xFFFF);
        for (int64_t i = 1; i <= n; ++i) {
            const int64_t index = num(list, std::to_string(i), 0xFFFF);
            if (index > 0 && index <= 0xFFFF) listed.insert(static_cast<uint32_t>(index));
        }
    }
    // The values the file gives one sub-object of a listed object, in any of its forms and spellings.
    const auto given = [&](uint32_t index, unsigned sub) {
        std::vector<Bytes> values;
        if (listed.count(index) == 0) return values;
        for (const char* f : {"%4.4x", "%4.4X"}) {
            const std::string s = format(f, index);
            if (!dcf.hasSection(s)) continue;
            const auto type = static_cast<uint32_t>(num(s, "DataType", 0xFFFF));
            if (sub == 0) {
                if (auto v = valueOf(dcf, s, type, folder)) values.push_back(*v);
                continue;
            }
            for (const char* g : {"%4.4xValue", "%4.4XValue"}) {
                const auto text = dcf.find(format(g, index), std::to_string(sub));
                if (!text) continue;
                const ConvertedValue c = convertParameterValue({type, *text, {}, kNode, folder});
                if (c.status == ConversionStatus::Ok) values.push_back(c.bytes);
            }
        }
        for (const char* f : {"%4.4xsub%x", "%4.4xsub%X", "%4.4Xsub%x", "%4.4Xsub%X"}) {
            const std::string s = format(f, index, sub);
            if (!dcf.hasSection(s)) continue;
            if (auto v = valueOf(dcf, s, static_cast<uint32_t>(num(s, "DataType", 0xFFFF)), folder)) values.push_back(*v);
        }
        return values;
    };
    std::set<uint16_t> untouchable;         // plain objects marked read-only or excluded
    std::map<uint16_t, Bytes> plainValues;  // plain writable objects and their values
    for (const uint32_t index : listed) {
        // A plain object, named one way only.
        const std::string lower = format("%4.4x", index), upper = format("%4.4X", index);
        if (dcf.hasSection(lower) && dcf.hasSection(upper) && lower != upper) continue;
        const std::string& s = dcf.hasSection(lower) ? lower : upper;
        if (!dcf.hasSection(s) || num(s, "SubNumber", 255) > 0 || num(s, "CompactSubObj", 254) != 0) continue;
        std::string access = dcf.text(s, "AccessType");
        for (char& c : access) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (access == "ro" || access == "const" || (num(s, "ObjFlags", 0xFFFFFFFF) & 1) != 0)
            untouchable.insert(static_cast<uint16_t>(index));
        else if (dcf.text(s, "ParameterValue").empty() && dcf.text(s, "DownloadFile").empty() && dcf.text(s, "UploadFile").empty())
            continue;  // no value: nothing to write
        else if (auto v = valueOf(dcf, s, static_cast<uint32_t>(num(s, "DataType", 0xFFFF)), folder))
            plainValues[static_cast<uint16_t>(index)] = *v;
    }

    // The write.
    scene.device.reset((flags & 1) != 0, static_cast<uint8_t>((flags >> 1) & 7));
    scene.bus->clearSent();
    const std::string path = scratch().write("node.dcf", text);
    const std::u16string name = ostrel::platform::toUtf16(path);
    Recorder recorder;
    int32_t out = 99;
    CANopenConfig_WriteDCF(kNode, name.c_str(), Recorder::onProgress, Recorder::onMessage, Recorder::onCompletion,
                           &recorder, &out);
    FUZZ_CHECK(out == DRN_OK, "the write did not start: %d", out);
    {
        std::unique_lock lock(recorder.mutex);
        FUZZ_CHECK(recorder.changed.wait_for(lock, kWriteBound, [&] { return !recorder.completions.empty(); }),
                   "the write did not end");
    }
    std::lock_guard lock(recorder.mutex);
    const int32_t code = recorder.completions.front();
    FUZZ_CHECK(recorder.completions.size() == 1, "the write ended %zu times", recorder.completions.size());
    FUZZ_CHECK(code == DRN_OK || code == DRN_CONFIG_FAILED, "the write ended with %d", code);
    const auto& said = recorder.messages;
    FUZZ_CHECK(!said.empty() && said.front() == "Starting write of configuration to node 0x05 (5d)" &&
                   said.back() == "Finished write of configuration to node",
               "the messages do not start and end the write");
    bool named = false;
    for (const std::string& m : said)
        named = named || m.rfind("Invalid ParameterValue", 0) == 0 || m.rfind("Unknown type", 0) == 0 ||
                m.rfind("Failed to", 0) == 0 || m.find(" is not a number from 0 to ") != std::string::npos;
    FUZZ_CHECK((code == DRN_CONFIG_FAILED) == named, "the write ended with %d and %s a failed object", code,
               named ? "named" : "did not name");
    const auto& progress = recorder.progress;
    FUZZ_CHECK(!progress.empty() && progress.front() == 0.0f && progress.back() == 100.0f &&
                   std::is_sorted(progress.begin(), progress.end()),
               "the progress does not rise from 0 to 100");

    for (const auto& [section, keys] : sections)
        for (const auto& [key, limit] : {std::pair<const char*, uint64_t>{"DataType", 0xFFFF}, {"SubNumber", 255},
                                         {"CompactSubObj", 254}, {"ObjFlags", 0xFFFFFFFF}})
            if (keys.count(key) != 0)
                (void)num(section, key, limit);
    if (refused)
        return 0;
    std::set<uint16_t> written;
    for (const Device::Download& d : scene.device.downloads()) {
        written.insert(d.index);
        const std::vector<Bytes> values = given(d.index, d.sub);
        if (std::find(values.begin(), values.end(), d.data) != values.end()) continue;
        // The switching of a PDO: its COB-ID with only the validity bit changed, the count of its
        // mapping cleared or put back.
        const bool pdo = (isPdoCommunication(d.index) && (listed.count(d.index) > 0 || listed.count(d.index + 0x200u) > 0));
        const bool cobId = pdo && d.sub == 1 && d.data.size() == 4 && d.before.size() == 4 &&
                           ((u32(d.data) ^ u32(d.before)) & 0x7FFFFFFFu) == 0;
        const bool count = isPdoMapping(d.index) && listed.count(d.index) > 0 && d.sub == 0 && d.data.size() == 1 &&
                           (d.data[0] == 0 || d.data == scene.device.initial(d.index, 0));
        FUZZ_CHECK(cobId || count, "%04X sub %u was written with %zu bytes the file does not give", d.index, d.sub,
                   d.data.size());
    }
    for (const uint16_t index : untouchable)
        for (const Device::Download& d : scene.device.downloads())
            FUZZ_CHECK(d.index != index || d.sub != 0,
                       "%04X is read-only or excluded in the file and was written", index);
    for (const auto& [index, value] : plainValues) {
        bool found = false;
        for (const Device::Download& d : scene.device.downloads()) found = found || (d.index == index && d.sub == 0 && d.data == value);
        FUZZ_CHECK(found, "plain object %04X was not written with the file's value", index);
    }
    return 0;
}
