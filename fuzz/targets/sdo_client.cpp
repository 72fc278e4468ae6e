// The SDO client (expedited, segmented and block transfer, both ways) against modelled devices whose
// answers the input tampers with: lost, replaced by aborts naming this, the previous or no object, by
// raw frames, followed by extra frames, preceded by frames of other identifiers and kinds, or
// cancelled by the caller. Up to three transfers run one after another against one or two nodes.
//
// What a user expects of every transfer:
// - it ends, once, and within its time-out of the device falling silent;
// - it takes only its own answers: a frame of another identifier or kind is no answer, and the
//   client never acts on one;
// - it never reports more bytes than the device announced, nor more than the buffer holds;
// - a device's refusal ends it at once with the device's code and no abort of the client's own; an
//   abort that names another object is this transfer's refusal too, unless the previous transfer to
//   that node ended without its answer (time-out or cancel) and the abort names that transfer's
//   object: then it is that transfer's late answer and changes nothing;
// - it sends only to its node's request identifier, and nothing once it has ended;
// - against a device nobody tampers with, it succeeds with exactly the device's bytes.
#include "protocol_fuzz.h"

#include "sim_frame.h"
#include "sim_sdo_server.h"

#include <array>
#include <map>
#include <optional>
#include <utility>

namespace {

using ostrel::fixtures::SdoServer;
using ostrel::fixtures::SdoServerHost;
using ostrel::fixtures::SdoServerSettings;
using ostrel::fixtures::SdoWriteRecord;
using ostrel::fixtures::SimFrame;
using namespace ostrel::fuzz;
using Event = EngineLog::Event;

// The SDO time-out; a run that a loaded machine spoiled is run again with a longer one.
constexpr std::array<uint32_t, 3> kSdoTimeoutsMs = {10, 50, 250};
constexpr auto kEndLimit = std::chrono::seconds(20);   // a transfer still running then has hung
constexpr int kMaxTransfers = 3;
constexpr int kMaxTamperedFrames = 160;                 // later frames of an input pass unharmed
constexpr uint16_t kObjectIndex = 0x2000;               // sub-indexes 0..3; 0x2001 does not exist
constexpr uint16_t kMissingIndex = 0x2001;
constexpr uint32_t kMaxObjectSize = 300;

struct Object {
    uint16_t index = 0;
    uint8_t subIndex = 0;
    bool operator==(const Object&) const = default;
};

std::string hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

// A modelled device's dictionary: the objects 0x2000/0..3, writable, of the input's sizes.
class Device : public SdoServerHost {
public:
    explicit Device(uint8_t node) : node_(node), server_(*this) {}

    uint32_t sdoRead(uint16_t index, uint8_t subIndex, std::vector<uint8_t>& value) override {
        const auto it = objects_.find({index, subIndex});
        if (it == objects_.end()) return 0x06020000;
        value = it->second;
        return 0;
    }
    uint32_t sdoCheckWrite(uint16_t index, uint8_t subIndex, std::optional<uint32_t>) override {
        return objects_.count({index, subIndex}) != 0 ? 0 : 0x06020000;
    }
    uint32_t sdoWrite(uint16_t index, uint8_t subIndex, const std::vector<uint8_t>& value) override {
        objects_[{index, subIndex}] = value;
        return 0;
    }
    std::size_t sdoFixedSize(uint16_t, uint8_t) override { return 0; }
    void sdoSend(const std::array<uint8_t, 8>& data, uint64_t) override { answers_.push_back(data); }
    void sdoDownloadEnded(const SdoWriteRecord& record) override { lastWrite_ = record; }

    // The device's answers to one request of the client.
    std::vector<std::array<uint8_t, 8>> answer(const CANFrame& request) {
        answers_.clear();
        SimFrame f;
        f.id = request.id;
        f.len = request.length;
        f.rtr = (request.flags & DRN_FLAG_REMOTE) != 0;
        f.ext = (request.flags & DRN_FLAG_EXTENDED) != 0;
        std::memcpy(f.data, request.data, 8);
        server_.onRequest(f, 0);
        return answers_;
    }

    uint8_t node_;
    SdoServer server_;
    std::map<std::pair<uint16_t, uint8_t>, std::vector<uint8_t>> objects_;
    std::vector<std::array<uint8_t, 8>> answers_;
    std::optional<SdoWriteRecord> lastWrite_;
};

uint32_t requestId(uint8_t node) { return 0x600u + node; }
uint32_t responseId(uint8_t node) { return 0x580u + node; }

std::array<uint8_t, 8> abortFrame(Object object, uint32_t code) {
    std::array<uint8_t, 8> d{0x80, static_cast<uint8_t>(object.index & 0xFF), static_cast<uint8_t>(object.index >> 8),
                             object.subIndex};
    for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<uint8_t>(code >> (8 * i));
    return d;
}

// The transfer running now, as the tampering peer needs to know it (set before each posting).
struct Running {
    uint8_t node = 0;
    Object object;
    std::optional<Object> previous[128];  // per node, the object of the transfer before
    bool tampered = false;                // this transfer's answers were touched
};

// Sits on the bus as every node's device and decides, per request of the client, what the bus
// carries back.
class Peer {
public:
    Peer(EngineScene& scene, Script& script, std::map<uint8_t, Device>& devices, Running& running)
        : scene_(scene), script_(script), devices_(devices), running_(running) {
        id_ = scene_.bus().attach([this](const CANFrame& f) { onFrame(f); });
    }
    ~Peer() { scene_.bus().detach(id_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

private:
    void onFrame(const CANFrame& request) {
        const auto device = devices_.find(static_cast<uint8_t>(request.id - 0x600));
        if (request.id < 0x600 || device == devices_.end()) return;
        const std::vector<std::array<uint8_t, 8>> answers = device->second.answer(request);
        const uint8_t node = device->first;
        const uint32_t answerId = responseId(node);
        if (++frames_ > kMaxTamperedFrames) return pass(answerId, answers);
        const uint8_t action = script_.byte();
        if (action < 0x60) return pass(answerId, answers);  // most requests are answered as the device does
        running_.tampered = true;
        switch (action % 9) {
        case 0:  // lost on the bus
            return;
        case 1:  // the device refuses the running transfer
            return put(answerId, abortFrame(running_.object, script_.u32()));
        case 2: {  // an abort naming the previous transfer's object (a late answer, or a stack's habit)
            const std::optional<Object> previous = running_.previous[node];
            return put(answerId, abortFrame(previous.value_or(Object{kObjectIndex, 3}), script_.u32()));
        }
        case 3: {  // an abort naming no object, or any object
            const Object named = script_.flag() ? Object{} : Object{script_.u16(), script_.byte()};
            return put(answerId, abortFrame(named, script_.u32()));
        }
        case 4: {  // a frame of the script's own, on the running object or not
            std::array<uint8_t, 8> d{};
            for (auto& b : d) b = script_.byte();
            if ((d[7] & 1) != 0) {
                d[1] = static_cast<uint8_t>(running_.object.index & 0xFF);
                d[2] = static_cast<uint8_t>(running_.object.index >> 8);
                d[3] = running_.object.subIndex;
            }
            return put(answerId, d);
        }
        case 5: {  // one byte of the device's first answer changed
            std::vector<std::array<uint8_t, 8>> changed = answers;
            const uint8_t at = script_.pick(8);
            const uint8_t value = script_.byte();
            if (!changed.empty()) changed.front()[at] = value;
            return pass(answerId, changed);
        }
        case 6: {  // the answers and then an extra frame: the first one again, or an abort of the last object
            pass(answerId, answers);
            if (script_.flag() && !answers.empty()) return put(answerId, answers.front());
            return put(answerId, abortFrame(running_.previous[node].value_or(running_.object), script_.u32()));
        }
        case 7: {  // frames that are no answer first: other identifiers, remote, extended, error, short
            const uint8_t kinds = script_.byte();
            std::array<uint8_t, 8> d{};
            for (auto& b : d) b = script_.byte();
            if (kinds & 1) scene_.inject(frame8(responseId(static_cast<uint8_t>(node == 5 ? 6 : 5)), d.data()));
            if (kinds & 2) scene_.inject(frame8(answerId, d.data(), DRN_FLAG_REMOTE));
            if (kinds & 4) scene_.inject(frame8(answerId, d.data(), DRN_FLAG_EXTENDED));
            if (kinds & 8) scene_.inject(frame8(answerId, d.data(), DRN_FLAG_ERROR));
            if (kinds & 16) scene_.inject(frame8(requestId(node), d.data()));
            if (kinds & 32) scene_.inject(frame8(0x7E4, d.data()));
            if (kinds & 64) scene_.inject(frame8(answerId + 0x10000, d.data(), DRN_FLAG_EXTENDED));
            return pass(answerId, answers);
        }
        default:  // the caller cancels now; the device answers as it does
            CANopen_Cancel();
            return pass(answerId, answers);
        }
    }

    void put(uint32_t id, const std::array<uint8_t, 8>& d) { scene_.inject(frame8(id, d.data())); }
    void pass(uint32_t id, const std::vector<std::array<uint8_t, 8>>& answers) {
        for (const auto& d : answers) put(id, d);
    }

    EngineScene& scene_;
    Script& script_;
    std::map<uint8_t, Device>& devices_;
    Running& running_;
    drennic::TestBus::ListenerId id_ = 0;
    int frames_ = 0;
};

struct Transfer {
    uint8_t node = 5;
    bool upload = true;
    Object object;
    std::vector<uint8_t> data;  // download
    uint32_t capacity = 0;      // upload
};

Object namedBy(const CANFrame& f) { return Object{static_cast<uint16_t>(f.data[1] | (f.data[2] << 8)), f.data[3]}; }
bool standard(const CANFrame& f) { return (f.flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE | DRN_FLAG_ERROR)) == 0; }
bool isTimeout(const ResultBlock& r) { return r.code == DRN_REQUEST_FAILED && narrow(r) == "Client aborted - 0x05040000"; }
bool isTickAbort(const CANFrame& f) {
    const uint32_t code = le32(f.data + 4);
    return f.length == 8 && f.data[0] == 0x80 && (code == 0x05040000 || code == 0x08000021);
}
bool endsFromTick(const ResultBlock& r) { return isTimeout(r) || r.code == DRN_CANCELLED; }

// The most bytes an initiate answer the client took announced for `object` (none: no size given).
std::optional<uint32_t> announced(const std::vector<Event>& events, uint8_t node, Object object) {
    std::optional<uint32_t> most;
    for (const Event& e : events) {
        const CANFrame& f = e.frame;
        if (e.kind != Event::Handled || e.answers == 0 || f.id != responseId(node) || f.length != 8 ||
            !(namedBy(f) == object)) {
            continue;
        }
        const uint8_t c = f.data[0];
        std::optional<uint32_t> size;
        if (c >> 5 == 2 && (c & 0x01) != 0) size = (c & 0x02) != 0 ? 4u - ((c >> 2) & 3u) : le32(f.data + 4);
        if (c >> 5 == 2 && (c & 0x03) == 0x02) size = 4;
        if (c >> 5 == 6 && (c & 0x01) == 0 && (c & 0x02) != 0) size = le32(f.data + 4);
        if (size) most = std::max(most.value_or(0), *size);
    }
    return most;
}

// Frames injected and not handled yet when a transfer that ended at `end` gave up waiting: at its
// time-out abort when it sent one (the device may answer that), else at the end.
long waitingAtTimeout(const std::vector<Event>& events, std::size_t end) {
    std::size_t upTo = end;
    for (std::size_t i = end; i-- > 0;) {
        if (events[i].kind == Event::Sent && isTickAbort(events[i].frame) && le32(events[i].frame.data + 4) == 0x05040000) {
            upTo = i;
            break;
        }
        if (events[i].kind == Event::Handled) break;
    }
    long waiting = 0;
    for (std::size_t i = 0; i < upTo; ++i) {
        if (events[i].kind == Event::Injected) ++waiting;
        if (events[i].kind == Event::Handled) --waiting;
    }
    return waiting;
}

enum class RunEnd { Checked, Spoiled };

RunEnd runInput(const uint8_t* data, std::size_t size, uint32_t timeoutMs) {
    Script script(data, size);
    EngineScene scene;
    CANopen_SetSDOTimeout(timeoutMs);
    const uint8_t setup = script.byte();
    const bool enableBlock = (setup & 1) != 0;
    const bool crc = (setup & 2) == 0;
    const uint8_t clientBlockSize = static_cast<uint8_t>(1 + script.pick(127));
    const uint8_t threshold = static_cast<uint8_t>(script.pick(40));
    FUZZ_CHECK(CANopen_SetSDOConfig(enableBlock ? 1 : 0, threshold, crc ? 1 : 0, clientBlockSize) == DRN_OK,
               "block settings refused");
    SdoServerSettings settings;
    settings.blockTransfer = (setup & 4) == 0;
    settings.crc = (setup & 8) == 0;
    settings.blockSize = static_cast<uint8_t>(1 + script.pick(127));
    settings.uploadSizeIndicated = (setup & 16) == 0;

    std::map<uint8_t, Device> devices;
    const int nodes = (setup & 32) != 0 ? 2 : 1;
    for (uint8_t node = 5; node < 5 + nodes; ++node) {
        Device& device = devices.emplace(node, node).first->second;
        device.server_.setSettings(settings);
        for (uint8_t sub = 0; sub < 4; ++sub) {
            const uint32_t length = script.flag() ? script.pick(9) : script.byte() + script.pick(kMaxObjectSize - 254);
            std::vector<uint8_t> value(length);
            for (uint32_t i = 0; i < length; ++i) value[i] = static_cast<uint8_t>(node * 31 + sub * 7 + i * 13);
            device.objects_[{kObjectIndex, sub}] = value;
        }
    }

    Running running;
    Peer peer(scene, script, devices, running);
    std::map<uint8_t, bool> dirty;               // a device whose answers were touched may be mid-transfer
    std::map<uint8_t, std::optional<Object>> unanswered;  // per node: ended without its answer
    // The transfers first, then the device's script: a change of one never shifts the other.
    std::vector<Transfer> transfers(1 + script.pick(kMaxTransfers));
    for (std::size_t t = 0; t < transfers.size(); ++t) {
        Transfer& x = transfers[t];
        x.node = static_cast<uint8_t>(5 + script.pick(static_cast<uint32_t>(nodes)));
        x.upload = script.flag();
        const uint8_t which = script.byte();
        x.object = (which & 0x80) != 0 ? Object{kMissingIndex, 0} : Object{kObjectIndex, static_cast<uint8_t>(which & 3)};
        const auto it = devices.at(x.node).objects_.find({x.object.index, x.object.subIndex});
        const int32_t slack = static_cast<int32_t>(script.pick(17)) - 8;
        const uint32_t objectSize = it != devices.at(x.node).objects_.end() ? static_cast<uint32_t>(it->second.size()) : 8;
        x.capacity = static_cast<uint32_t>(std::max<int32_t>(1, static_cast<int32_t>(objectSize) + slack));
        if (!x.upload) {
            x.data.resize(script.flag() ? script.pick(9) : script.byte() + script.pick(kMaxObjectSize - 254));
            for (std::size_t i = 0; i < x.data.size(); ++i) x.data[i] = static_cast<uint8_t>(0xA5 ^ (i * 7) ^ t);
        }
    }
    for (int t = 0; t < static_cast<int>(transfers.size()); ++t) {
        const Transfer& x = transfers[static_cast<std::size_t>(t)];
        const std::vector<uint8_t>* value = nullptr;
        if (const auto it = devices.at(x.node).objects_.find({x.object.index, x.object.subIndex});
            it != devices.at(x.node).objects_.end()) {
            value = &it->second;
        }

        running.node = x.node;
        running.object = x.object;
        running.tampered = false;
        const std::size_t from = scene.log().size();
        const int before = scene.log().completions();
        std::vector<uint8_t> buffer(x.capacity);  // exactly the capacity: a sanitizer sees any write beyond
        uint32_t sizeWord = x.capacity;
        int32_t out = -99;
        scene.log().posted();
        if (x.upload) {
            CANopen_SDOUpload(x.node, x.object.index, x.object.subIndex, buffer.data(), &sizeWord, nullptr,
                              logCompletion, &scene.log(), &out);
        } else {
            CANopen_SDODownload(x.node, x.object.index, x.object.subIndex, x.data.empty() ? nullptr : x.data.data(),
                                static_cast<uint32_t>(x.data.size()), nullptr, logCompletion, &scene.log(), &out);
        }
        FUZZ_CHECK(out == DRN_OK, "transfer %d not accepted: %d", t, out);
        FUZZ_CHECK(scene.log().awaitCompletions(before + 1, kEndLimit),
                   "transfer %d (node %d, %s %04X/%d) did not end within %lld s", t, x.node,
                   x.upload ? "upload" : "download", x.object.index, x.object.subIndex,
                   static_cast<long long>(kEndLimit.count()));
        FUZZ_CHECK(scene.log().awaitDrained(kEndLimit), "the engine stopped taking frames");
        const std::vector<Event> events = scene.log().since(from);

        // Where the transfer ended, and with what.
        std::size_t end = 0;
        int ends = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].kind == Event::Completed) {
                end = end == 0 ? i : end;
                ++ends;
            }
        }
        FUZZ_CHECK(ends == 1, "transfer %d completed %d times", t, ends);
        const ResultBlock result = events[end].result;
        const std::string message = narrow(result);
        // A time-out while its answer waited in the queue: the engine's thread did not run for longer
        // than the time-out (a loaded machine). The run says nothing; it is run again.
        if (isTimeout(result) && waitingAtTimeout(events, end) > 0) return RunEnd::Spoiled;

        if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "transfer %d: node %d %s %04X/%d: %d \"%s\" (%u of %u bytes)%s\n", t, x.node,
                         x.upload ? "upload" : "download", x.object.index, x.object.subIndex, result.code,
                         message.c_str(), x.upload ? sizeWord : static_cast<uint32_t>(x.data.size()),
                         x.upload ? x.capacity : static_cast<uint32_t>(x.data.size()), running.tampered ? ", tampered" : "");
            if (std::string(std::getenv("OSTREL_FUZZ_TRACE")) == "2") {
                static constexpr const char* kKinds[] = {"injected", "handled", "sent", "completed", "posted"};
                for (const Event& e : events) {
                    std::fprintf(stderr, "  %-9s %3X/%d/%d %02X %02X %02X %02X %02X %02X %02X %02X answers %d\n",
                                 kKinds[e.kind], e.frame.id, e.frame.length, e.frame.flags, e.frame.data[0],
                                 e.frame.data[1], e.frame.data[2], e.frame.data[3], e.frame.data[4], e.frame.data[5],
                                 e.frame.data[6], e.frame.data[7], e.answers);
                }
            }
        }
        const std::optional<Object> late = unanswered[x.node];
        for (std::size_t i = 0; i < end; ++i) {
            const Event& e = events[i];
            if (e.kind == Event::Sent) {
                FUZZ_CHECK(e.frame.id == requestId(x.node) && e.frame.length == 8 && standard(e.frame),
                           "transfer %d to node %d sent on 0x%X (length %d)", t, x.node, e.frame.id, e.frame.length);
            }
            if (e.kind != Event::Handled) continue;
            // Until the next frame is handled: what the engine did about this one (and its ticks).
            std::size_t next = i + 1;
            while (next < events.size() && events[next].kind != Event::Handled) ++next;
            const CANFrame& f = e.frame;
            const bool foreign = f.id != responseId(x.node) || !standard(f);
            if (foreign) {
                FUZZ_CHECK(e.answers == 0, "transfer %d took a frame on 0x%X flags %d as its answer", t, f.id, f.flags);
            }
            const bool abort = !foreign && f.length == 8 && f.data[0] == 0x80 && e.answers != 0;
            const Object named = namedBy(f);
            const bool ownAbort = abort && (named == x.object || named.index == 0 || !(late && named == *late));
            if (ownAbort) {
                const std::string expected = "Server aborted - 0x" + hex8(le32(f.data + 4));
                const bool otherObject = !(named == x.object) && named.index != 0;
                FUZZ_PROPERTY(otherObject ? "sdo-abort-other-object" : "",
                              next > end && result.code == DRN_REQUEST_FAILED && message == expected,
                           "transfer %d (%04X/%d) refused with an abort naming %04X/%d: ended with %d \"%s\", "
                           "%s; expected \"%s\" at once",
                           t, x.object.index, x.object.subIndex, named.index, named.subIndex, result.code,
                           message.c_str(), next > end ? "at once" : "later", expected.c_str());
                for (std::size_t k = i + 1; k < end; ++k) {
                    FUZZ_CHECK(events[k].kind != Event::Sent, "transfer %d answered the device's refusal with a frame",
                               t);
                }
            } else if (foreign || abort) {
                // No answer of this transfer: at most a tick's time-out or cancel follows.
                for (std::size_t k = i + 1; k < next && k <= end; ++k) {
                    if (events[k].kind == Event::Sent) {
                        FUZZ_PROPERTY(abort ? "sdo-late-abort" : "", isTickAbort(events[k].frame),
                                   "transfer %d sent 0x%02X after a frame that was not its answer (0x%X %02X, "
                                   "abort naming %04X/%d, late answer of %04X/%d)",
                                   t, events[k].frame.data[0], f.id, f.data[0], named.index, named.subIndex,
                                   late ? late->index : 0, late ? late->subIndex : 0);
                    }
                    if (events[k].kind == Event::Completed) {
                        FUZZ_PROPERTY(abort ? "sdo-late-abort" : "", endsFromTick(events[k].result),
                                   "transfer %d ended with \"%s\" on a frame that was not its answer (0x%X %02X)", t,
                                   narrow(events[k].result).c_str(), f.id, f.data[0]);
                    }
                }
            }
        }
        for (std::size_t i = end + 1; i < events.size(); ++i) {
            FUZZ_CHECK(events[i].kind != Event::Sent, "transfer %d sent 0x%02X after it had ended", t,
                       events[i].frame.data[0]);
        }
        if (message.rfind("Server aborted - 0x", 0) == 0) {
            bool told = false;
            for (std::size_t i = 0; i < end; ++i) {
                const Event& e = events[i];
                told = told || (e.kind == Event::Handled && e.answers != 0 && (e.frame.data[0] & 0xE0) == 0x80 &&
                                message == "Server aborted - 0x" + hex8(le32(e.frame.data + 4)));
            }
            FUZZ_CHECK(told, "transfer %d reported \"%s\", which no device said", t, message.c_str());
        }
        if (x.upload) {
            FUZZ_CHECK(sizeWord <= x.capacity, "upload %d reported %u bytes into a buffer of %u", t, sizeWord,
                       x.capacity);
            if (const std::optional<uint32_t> most = announced(events, x.node, x.object)) {
                FUZZ_CHECK(sizeWord <= *most, "upload %d reported %u bytes where the device announced %u", t,
                           sizeWord, *most);
            }
        }

        // Against a device nobody tampered with: exactly the device's bytes.
        const bool clean = !running.tampered && !dirty[x.node] && value != nullptr;
        if (clean) {
            const bool blockAsked = enableBlock && (x.upload ? x.object.index != 0x1000 : threshold < x.data.size());
            const bool fits = !x.upload || x.capacity >= value->size() + (blockAsked ? 2u : 0u);
            if (fits && (!blockAsked || settings.blockTransfer)) {
                FUZZ_CHECK(result.code == DRN_OK, "transfer %d (%s %zu bytes) against a sound device ended with %d \"%s\"",
                           t, x.upload ? "upload" : "download", x.upload ? value->size() : x.data.size(), result.code,
                           message.c_str());
                if (x.upload) {
                    FUZZ_CHECK(sizeWord == value->size() &&
                                   std::equal(value->begin(), value->end(), buffer.begin()),
                               "upload %d gave %u bytes, not the device's %zu", t, sizeWord, value->size());
                } else {
                    const auto& written = devices.at(x.node).objects_.at({x.object.index, x.object.subIndex});
                    FUZZ_CHECK(written == x.data, "download %d stored %zu bytes, not the %zu sent", t, written.size(),
                               x.data.size());
                }
            }
        }
        dirty[x.node] = dirty[x.node] || running.tampered;
        unanswered[x.node] = endsFromTick(result) ? std::optional<Object>(x.object) : std::nullopt;
        running.previous[x.node] = x.object;
    }
    return RunEnd::Checked;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        for (const uint32_t timeoutMs : kSdoTimeoutsMs) {
            if (runInput(data, size, timeoutMs) == RunEnd::Checked) return 0;
        }
    } catch (const AwaitedFinding&) {
        return 0;
    }
    FUZZ_CHECK(false, "every run of the input timed out while the answer waited in the queue");
    return 0;
}
