// The SDO monitor fed the frames of other masters' uploads as the input scripts them: initiate
// requests and answers (segmented with and without size, expedited), segment requests and segments
// with either toggle, aborts, frames of other kinds, and the caller starting and stopping its slots.
// The frames go straight into the monitor, as the engine thread hands them on.
//
// What a user expects of every capture the monitor reports:
// - it never holds more than the slot's buffer, and holds exactly what the upload announced;
// - it belongs to the latest upload of the watched object: made of that upload's expedited bytes or of
//   whole segments sent after its initiate request, in order, never of an abandoned upload's;
// - a slot started afresh reports the next complete upload exactly, and so does a running slot whose
//   upload another master abandoned and started again (a new initiate restarts the capture).
#include "protocol_fuzz.h"

#include "services/sdo_monitor.h"

#include <array>
#include <optional>
#include <vector>

namespace {

using namespace ostrel::fuzz;

constexpr int kMaxSlots = 3;
constexpr int kMaxSteps = 200;
constexpr uint32_t kMaxBuffer = 64;

struct Channel {
    uint32_t request;
    uint32_t response;
};
constexpr std::array<Channel, 2> kChannels{{{0x605, 0x585}, {0x606, 0x586}}};

// What the bus carried that a slot may capture: since the latest initiate request of its object, the
// size the first answer announced, its expedited bytes and the segments' bytes.
struct Watch {
    MonitorSlot* slot = nullptr;
    std::vector<uint8_t> buffer;
    Channel channel{};
    uint16_t index = 0;
    uint8_t subIndex = 0;
    bool initiated = false;                    // an initiate request of the object was seen
    bool answered = false;                     // its first initiate answer
    std::optional<uint32_t> announced;
    std::vector<uint8_t> expedited;
    std::vector<std::vector<uint8_t>> segments;          // since the latest initiate request
    std::vector<std::vector<uint8_t>> earlierSegments;   // of the uploads before it
    bool abortSeen = false;                    // an abort on the slot's identifiers since its last start
};

struct Capture {
    int slot = 0;
    uint32_t length = 0;
    std::vector<uint8_t> data;
};

struct Scene {
    std::vector<Watch> watches;
    std::vector<Capture> captures;
};

void onData(MonitorSlot* slot, uint32_t length, void* user) {
    auto& scene = *static_cast<Scene*>(user);
    for (std::size_t i = 0; i < scene.watches.size(); ++i) {
        if (scene.watches[i].slot == slot) {
            scene.captures.push_back({static_cast<int>(i), length,
                                      std::vector<uint8_t>(slot->buffer,
                                                           slot->buffer + std::min(length, slot->bufferSize))});
            return;
        }
    }
    FUZZ_CHECK(false, "a capture for a slot nobody was given");
}

// Whether `data` is whole segments of `segments`, in their order (each taken or left out).
bool madeOfSegments(const std::vector<uint8_t>& data, const std::vector<std::vector<uint8_t>>& segments) {
    std::vector<bool> reach(data.size() + 1, false);
    reach[0] = true;
    for (const auto& segment : segments) {
        for (std::size_t at = data.size() + 1; at-- > 0;) {
            if (!reach[at] || at + segment.size() > data.size()) continue;
            if (std::equal(segment.begin(), segment.end(), data.begin() + static_cast<std::ptrdiff_t>(at))) {
                reach[at + segment.size()] = true;
            }
        }
    }
    return reach[data.size()];
}

void checkCapture(const Scene& scene, const Capture& c) {
    const Watch& w = scene.watches[static_cast<std::size_t>(c.slot)];
    FUZZ_CHECK(c.length <= w.buffer.size(), "slot %d captured %u bytes into a buffer of %zu", c.slot, c.length,
               w.buffer.size());
    FUZZ_CHECK(w.initiated, "slot %d captured %u bytes of no upload", c.slot, c.length);
    // The latest initiate request has had no answer yet: the capture is of the upload it abandoned.
    FUZZ_PROPERTY("monitor-restart", w.answered,
                  "slot %d captured %u bytes after a new initiate request and before its answer", c.slot, c.length);
    const bool expedited = !w.expedited.empty() && c.data == w.expedited;
    if (!expedited && !madeOfSegments(c.data, w.segments)) {
        std::vector<std::vector<uint8_t>> all = w.earlierSegments;
        all.insert(all.end(), w.segments.begin(), w.segments.end());
        FUZZ_PROPERTY(madeOfSegments(c.data, all) ? "monitor-restart" : "", false,
                      "slot %d captured %u bytes that are not the latest upload's (%zu segments since its initiate)",
                      c.slot, c.length, w.segments.size());
    }
    if (w.announced) {
        FUZZ_CHECK(c.length == *w.announced, "slot %d captured %u bytes of an upload that announced %u", c.slot,
                   c.length, *w.announced);
    }
}

class Feeder {
public:
    explicit Feeder(Scene& scene) : scene_(scene) {}

    // One frame onto the bus, as the engine hands it to the monitor; the oracle notes what it means.
    void feed(const CANFrame& f) {
        for (Watch& w : scene_.watches) note(w, f);
        const std::size_t before = scene_.captures.size();
        drennic::SDOMonitor_OnFrame(f);
        for (std::size_t i = before; i < scene_.captures.size(); ++i) checkCapture(scene_, scene_.captures[i]);
    }

    CANFrame segmentAnswer(uint32_t id, uint8_t toggle, uint8_t n, bool last) {
        uint8_t d[8] = {static_cast<uint8_t>((toggle << 4) | ((7 - n) << 1) | (last ? 1 : 0))};
        for (uint8_t i = 1; i < 8; ++i) d[i] = counter_++;
        return frame8(id, d);
    }
    CANFrame expeditedAnswer(uint32_t id, uint16_t index, uint8_t sub, uint8_t n, bool sized) {
        uint8_t d[8] = {static_cast<uint8_t>(0x42 | (sized ? (((4 - n) << 2) | 1) : 0)),
                        static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8), sub};
        for (uint8_t i = 4; i < 8; ++i) d[i] = counter_++;
        return frame8(id, d);
    }

private:
    static void note(Watch& w, const CANFrame& f) {
        if (f.length != 8 || (f.flags & (DRN_FLAG_EXTENDED | DRN_FLAG_REMOTE | DRN_FLAG_ERROR)) != 0) return;
        const bool ours = f.data[1] == (w.index & 0xFF) && f.data[2] == (w.index >> 8) && f.data[3] == w.subIndex;
        const uint8_t c = f.data[0];
        if (f.id == w.channel.request || f.id == w.channel.response) {
            w.abortSeen = w.abortSeen || c == 0x80;
        }
        if (f.id == w.channel.request && c >> 5 == 2 && ours) {
            w.initiated = true;
            w.answered = false;
            w.announced.reset();
            w.expedited.clear();
            w.earlierSegments.insert(w.earlierSegments.end(), w.segments.begin(), w.segments.end());
            w.segments.clear();
        } else if (f.id == w.channel.response && c >> 5 == 2 && ours && w.initiated && !w.answered) {
            w.answered = true;
            if ((c & 0x02) != 0) {
                const uint32_t n = (c & 0x01) != 0 ? 4u - ((c >> 2) & 3u) : 4u;
                w.announced = n;
                w.expedited.assign(f.data + 4, f.data + 4 + n);
            } else if ((c & 0x01) != 0) {
                w.announced = le32(f.data + 4);
            }
        } else if (f.id == w.channel.response && c < 0x20 && w.initiated) {
            w.segments.emplace_back(f.data + 1, f.data + 1 + (7 - ((c >> 1) & 7)));
        }
    }

    Scene& scene_;
    uint8_t counter_ = 1;
};

// A complete upload of the slot's object, told right: it must come back exactly.
void cleanUpload(Feeder& feeder, Scene& scene, int slot, uint32_t size, const char* finding) {
    Watch& w = scene.watches[static_cast<std::size_t>(slot)];
    const std::size_t before = scene.captures.size();
    const uint8_t request[8] = {0x40, static_cast<uint8_t>(w.index & 0xFF), static_cast<uint8_t>(w.index >> 8),
                                w.subIndex};
    feeder.feed(frame8(w.channel.request, request));
    std::vector<uint8_t> expected;
    if (size <= 4 && size > 0) {
        const CANFrame answer = feeder.expeditedAnswer(w.channel.response, w.index, w.subIndex,
                                                       static_cast<uint8_t>(size), true);
        expected.assign(answer.data + 4, answer.data + 4 + size);
        feeder.feed(answer);
    } else {
        uint8_t answer[8] = {0x41, request[1], request[2], request[3]};
        for (int i = 0; i < 4; ++i) answer[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        feeder.feed(frame8(w.channel.response, answer));
        uint8_t toggle = 0;
        for (uint32_t done = 0;;) {
            const uint8_t segmentRequest[8] = {static_cast<uint8_t>(0x60 | (toggle << 4))};
            feeder.feed(frame8(w.channel.request, segmentRequest));
            const auto n = static_cast<uint8_t>(std::min<uint32_t>(7, size - done));
            const bool last = done + n >= size;
            const CANFrame segment = feeder.segmentAnswer(w.channel.response, toggle, n, last);
            expected.insert(expected.end(), segment.data + 1, segment.data + 1 + n);
            feeder.feed(segment);
            done += n;
            toggle ^= 1;
            if (last) break;
        }
    }
    bool reported = false;
    for (std::size_t i = before; i < scene.captures.size(); ++i) {
        reported = reported || (scene.captures[i].slot == slot && scene.captures[i].data == expected &&
                                scene.captures[i].length == size);
    }
    FUZZ_PROPERTY(finding, reported, "slot %d did not report a complete upload of %u bytes (%s)", slot, size,
                  finding[0] != 0 ? "its upload had been abandoned and started again" : "after a start");
}

void run(const uint8_t* data, std::size_t size) {
    Script script(data, size);
    drennic::resetSdoMonitor();
    Scene scene;
    CANopenMonitor_EventHaveData(onData, &scene);
    const int slots = 1 + static_cast<int>(script.pick(kMaxSlots));
    scene.watches.resize(static_cast<std::size_t>(slots));
    for (Watch& w : scene.watches) {
        w.channel = kChannels[script.pick(2)];
        w.index = static_cast<uint16_t>(0x2000 + script.pick(2));
        w.subIndex = static_cast<uint8_t>(script.pick(2));
        w.buffer.resize(1 + script.pick(kMaxBuffer));  // exactly the size given: a sanitizer sees any write beyond
        w.slot = CANopenMonitor_SDO(w.channel.request, w.channel.response, w.index, w.subIndex, w.buffer.data(),
                                    static_cast<uint32_t>(w.buffer.size()));
        FUZZ_CHECK(w.slot != nullptr, "no slot handed out");
        CANopenMonitor_Start(w.slot);
    }
    Feeder feeder(scene);
    for (int step = 0; step < kMaxSteps && !script.exhausted(); ++step) {
        const uint8_t op = script.byte();
        const Channel channel = kChannels[(op >> 4) & 1];
        const uint16_t index = static_cast<uint16_t>(0x2000 + ((op >> 5) & 1));
        const uint8_t sub = static_cast<uint8_t>((op >> 6) & 1);
        const uint8_t arg = script.byte();
        switch (op & 0x0F) {
        case 0:
        case 1: {  // initiate upload request
            const uint8_t d[8] = {0x40, static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8), sub};
            feeder.feed(frame8(channel.request, d));
            break;
        }
        case 2: {  // segmented initiate answer, with a size or without
            uint8_t d[8] = {static_cast<uint8_t>(0x40 | (arg & 1)), static_cast<uint8_t>(index & 0xFF),
                            static_cast<uint8_t>(index >> 8), sub, static_cast<uint8_t>(arg >> 1)};
            feeder.feed(frame8(channel.response, d));
            break;
        }
        case 3:  // expedited answer
            feeder.feed(feeder.expeditedAnswer(channel.response, index, sub, static_cast<uint8_t>(1 + (arg & 3)),
                                               (arg & 4) != 0));
            break;
        case 4:
        case 5: {  // segment request
            const uint8_t d[8] = {static_cast<uint8_t>(0x60 | ((arg & 1) << 4))};
            feeder.feed(frame8(channel.request, d));
            break;
        }
        case 6:
        case 7:
        case 8:  // segment
            feeder.feed(feeder.segmentAnswer(channel.response, arg & 1, static_cast<uint8_t>((arg >> 1) % 8),
                                             (arg & 0x10) != 0));
            break;
        case 9: {  // abort, from either side
            const uint8_t d[8] = {0x80, static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8), sub};
            feeder.feed(frame8((arg & 1) != 0 ? channel.request : channel.response, d));
            break;
        }
        case 10: {  // a frame of the script's own: any identifier, length, kind
            CANFrame f{};
            f.id = (arg & 1) != 0 ? channel.response : channel.request;
            f.length = static_cast<uint8_t>((arg >> 1) % 9);
            f.flags = static_cast<uint8_t>((arg >> 5) & 7);
            for (auto& b : f.data) b = script.byte();
            feeder.feed(f);
            break;
        }
        case 11: {  // the caller starts a slot afresh
            Watch& w = scene.watches[arg % scene.watches.size()];
            CANopenMonitor_Start(w.slot);
            w.abortSeen = false;
            break;
        }
        case 12:
            CANopenMonitor_Stop(scene.watches[arg % scene.watches.size()].slot);
            break;
        default:  // a complete upload told right, to a running slot: a new initiate restarts its capture
            for (int i = 0; i < slots; ++i) {
                const Watch& w = scene.watches[static_cast<std::size_t>(i)];
                if (w.slot->runState == 2 && !w.abortSeen && (arg & 0x80) != 0) {
                    cleanUpload(feeder, scene, i, std::min<uint32_t>(arg & 0x3F, static_cast<uint32_t>(w.buffer.size())),
                                "monitor-restart");
                    break;
                }
            }
            break;
        }
    }
    // Each slot started afresh reports the next complete upload exactly.
    for (int i = 0; i < slots; ++i) {
        Watch& w = scene.watches[static_cast<std::size_t>(i)];
        CANopenMonitor_Start(w.slot);
        w.abortSeen = false;
        cleanUpload(feeder, scene, i, 1 + script.pick(static_cast<uint32_t>(w.buffer.size())), "");
    }
    CANopenMonitor_EventHaveData(nullptr, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        run(data, size);
    } catch (const AwaitedFinding&) {
        drennic::resetSdoMonitor();
    }
    return 0;
}
