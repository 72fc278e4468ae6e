// The LSS services (find, set node id and store, configure and activate bit timing) against one to
// four modelled slaves whose answers the bus loses, doubles or adds to as the input says, each request
// ending as the input says: on its own, cancelled at a master frame, a master frame refused by the
// driver, or the hardware closed or the library shut down under it. Up to three requests one after
// another.
//
// What a user expects, however a request ends:
// - it ends, once;
// - afterwards every slave is waiting (none is left in configuration state to take the next
//   configuration meant for another device), and only the slave the request addressed has another
//   node id or bit timing than before, so no two slaves share a stored node id;
// - a find reports a slave only with an identity and node id that one slave has, and never one slave
//   when two answered;
// - only frames on 0x7E4 answer an LSS request, and the library sends nothing but LSS frames meanwhile;
// - once activate bit timing has gone out, the caller is told to switch before the request completes;
// - a request nothing disturbed does what it was asked.
#include "lss_fuzz.h"

#include <array>
#include <optional>
#include <set>
#include <thread>

namespace {

using namespace ostrel::fuzz;
using ostrel::fixtures::kUnconfiguredNodeId;
using Event = EngineLog::Event;

// The response time-out; a run that a loaded machine spoiled is run again with a longer one.
constexpr std::array<uint32_t, 3> kResponseTimeoutsMs = {10, 50, 250};
constexpr uint32_t kStepDelayMs = 1;
constexpr uint32_t kSwitchDelayMs = 2;
constexpr auto kEndLimit = std::chrono::seconds(20);
constexpr int kMaxRequests = 3;
constexpr int kMaxTamperedFrames = 120;

enum class Kind { Find, SetConfig, SetBitTiming, Activate };
enum class End { Own, Cancel, Refuse, Close, Shutdown };

struct Request {
    Kind kind = Kind::Find;
    int slave = -1;  // addressed slave; -1: an identity no slave has
    uint8_t nodeId = 1;
    bool store = false;
    uint8_t selector = 0;
    uint8_t tableIndex = 0;
    End end = End::Own;
    int at = 0;  // the master frame after which the end comes (refuse: the frame after it is refused)
};

// The request's callbacks share one user value: the completion goes to the log, the switch is counted.
struct Switches {
    std::atomic<int> calls{0};
    std::atomic<int> completionsBefore{-1};
    EngineLog* log = nullptr;
    static void onSwitch(uint32_t, uint32_t, void* user) {
        auto* self = static_cast<Switches*>(user);
        self->completionsBefore = self->log->completions();
        ++self->calls;
    }
    static void onComplete(ResultBlock* result, void* user) { static_cast<Switches*>(user)->log->completed(*result); }
};

struct SlaveState {
    uint8_t pending, stored, pendingTiming, storedTiming;
    bool operator==(const SlaveState&) const = default;
};

std::vector<SlaveState> states(LssBus& bus) {
    return bus.inspect([](const std::vector<LssSlaveOnBus>& slaves) {
        std::vector<SlaveState> out;
        for (const auto& s : slaves) {
            out.push_back({s.lss.pendingNodeId(), s.lss.storedNodeId(), s.lss.pendingBitTiming(), s.lss.storedBitTiming()});
        }
        return out;
    });
}

const char* kindName(Kind k) {
    static constexpr const char* kNames[] = {"find", "set configuration", "configure bit timing", "activate bit timing"};
    return kNames[static_cast<int>(k)];
}

void runInput(const uint8_t* data, std::size_t size, uint32_t responseTimeoutMs) {
    Script script(data, size);
    EngineScene scene;
    CANopen_SetLSSTimings(responseTimeoutMs, kStepDelayMs, kSwitchDelayMs);
    std::vector<LssSlaveOnBus> slaves = makeSlaves(script, 1 + static_cast<int>(script.pick(4)));
    const int slaveCount = static_cast<int>(slaves.size());

    std::vector<Request> requests(1 + script.pick(kMaxRequests));
    for (Request& r : requests) {
        const uint8_t b = script.byte();
        // Activation waits a fixed 100 ms for the slaves to settle: it comes less often than the others.
        static constexpr Kind kKinds[8] = {Kind::Find,         Kind::Find,         Kind::SetConfig, Kind::SetConfig,
                                           Kind::SetBitTiming, Kind::SetBitTiming, Kind::Find,      Kind::Activate};
        r.kind = kKinds[b & 7];
        r.slave = (b & 0x08) != 0 ? -1 : static_cast<int>(script.pick(static_cast<uint32_t>(slaveCount)));
        r.store = (b & 0x10) != 0;
        r.nodeId = static_cast<uint8_t>(1 + script.pick(127));
        r.selector = (b & 0x20) != 0 ? 1 : 0;
        r.tableIndex = static_cast<uint8_t>(script.pick(10));
        const uint8_t e = script.byte();
        r.end = (e & 0x80) == 0 ? End::Own : static_cast<End>(1 + (e & 0x7F) % 4);
        r.at = static_cast<int>(script.pick(12));
    }

    LssBus bus(scene, script, slaves, kMaxTamperedFrames);
    for (std::size_t n = 0; n < requests.size(); ++n) {
        Request r = requests[n];
        // A node id no other slave holds: two slaves with one id would then only be the library's doing.
        const std::vector<SlaveState> before = states(bus);
        std::set<uint8_t> held;
        for (int i = 0; i < slaveCount; ++i) {
            if (i != r.slave && before[static_cast<std::size_t>(i)].stored != kUnconfiguredNodeId) {
                held.insert(before[static_cast<std::size_t>(i)].stored);
            }
        }
        while (held.count(r.nodeId) != 0) r.nodeId = static_cast<uint8_t>(r.nodeId % 127 + 1);

        LSSIdentity identity{};
        if (r.slave >= 0) {
            const auto& id = slaves[static_cast<std::size_t>(r.slave)].identity;
            identity = LSSIdentity{id.vendorId, id.productCode, id.revisionNumber, id.serialNumber, 0, 0, {}, 0};
        } else {
            identity = LSSIdentity{0x319, 0x10, 0, 0xDEAD0000u, 0, 0, {}, 0};
        }
        identity.nodeId = r.nodeId;
        identity.store = r.store ? 1 : 0;
        if (r.kind == Kind::Find) identity = LSSIdentity{};

        std::atomic<int> armedAfter{-1};
        const bool closes = r.end == End::Close || r.end == End::Shutdown;
        CloseAfterFrame closeAfter;
        bus.begin([&r, &scene, &armedAfter, &closeAfter, closes](int count) {
            if (count != r.at) return;
            if (closes) closeAfter.reached();
            if (r.end == End::Cancel) CANopen_Cancel();
            if (r.end == End::Refuse) {
                scene.bus().setTransmitFailure(-8, u"Transmit refused", 1);
                armedAfter = count;
            }
        });
        if (r.end == End::Refuse && r.at == 0) {
            scene.bus().setTransmitFailure(-8, u"Transmit refused", 1);
            armedAfter = 0;
        }
        Switches switches;
        switches.log = &scene.log();
        const std::size_t from = scene.log().size();
        const int completionsBefore = scene.log().completions();
        int32_t out = -99;
        scene.log().posted();
        switch (r.kind) {
        case Kind::Find: CANopen_FindLSSSlave(&identity, Switches::onComplete, &switches, &out); break;
        case Kind::SetConfig: CANopen_SetLSSSlaveConfig(&identity, Switches::onComplete, &switches, &out); break;
        case Kind::SetBitTiming:
            CANopen_SetLSSSlaveBitTiming(&identity, r.selector, r.tableIndex, Switches::onComplete, &switches, &out);
            break;
        case Kind::Activate:
            CANopen_UseLSSSlaveBitTiming(r.tableIndex, Switches::onSwitch, Switches::onComplete, &switches, &out);
            break;
        }
        FUZZ_CHECK(out == DRN_OK, "request %zu (%s) not accepted: %d", n, kindName(r.kind), out);
        if (closes) {
            closeAfter.await([&] { return scene.log().completions() != completionsBefore; }, kEndLimit);
            r.end == End::Close ? Hardware_Close() : CANopenDLL_Shutdown();
        }
        FUZZ_CHECK(scene.log().awaitCompletions(completionsBefore + 1, kEndLimit), "%s (request %zu) did not end",
                   kindName(r.kind), n);
        if (!closes) FUZZ_CHECK(scene.log().awaitDrained(kEndLimit), "the engine stopped taking frames");
        scene.bus().clearTransmitFailure();
        const std::vector<Event> events = scene.log().since(from);
        const LssTraffic traffic = bus.traffic();
        const std::vector<SlaveState> after = states(bus);

        std::size_t end = 0;
        int ends = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].kind == Event::Completed) {
                end = ends == 0 ? i : end;
                ++ends;
            }
        }
        FUZZ_CHECK(ends == 1, "%s (request %zu) completed %d times", kindName(r.kind), n, ends);
        const ResultBlock result = events[end].result;
        const std::string message = narrow(result);
        if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "request %zu: %s of slave %d, end %d at %d: %d \"%s\" found %u, %d frames, %d lost, %d extra\n",
                         n, kindName(r.kind), r.slave, static_cast<int>(r.end), r.at, result.code, message.c_str(),
                         identity.found, traffic.masterFrames, traffic.answersLost, traffic.extras);
        }

        // Only LSS frames while it runs; only 0x7E4 answers it.
        bool cancelled = false;
        bool activateSent = false;
        for (std::size_t i = 0; i < end; ++i) {
            const Event& e = events[i];
            if (e.kind == Event::Sent) {
                FUZZ_PROPERTY(e.frame.data[0] == 0x80 ? "lss-sdo-abort" : "", e.frame.id == 0x7E5 && e.frame.length == 8,
                              "%s sent 0x%02X on 0x%X while it ran", kindName(r.kind), e.frame.data[0], e.frame.id);
                activateSent = activateSent || (e.frame.id == 0x7E5 && e.frame.data[0] == 0x15);
            }
            if (e.kind == Event::Handled && e.frame.id != 0x7E4) {
                FUZZ_PROPERTY(e.frame.id == 0x580 ? "sdo-await-none" : "", e.answers == 0,
                              "%s took a frame on 0x%X as its answer", kindName(r.kind), e.frame.id);
            }
            if (e.kind == Event::Handled && e.frame.id == 0x7E4 && (e.frame.flags & 7) != 0) {
                FUZZ_CHECK(e.answers == 0, "%s took a frame of kind %d as its answer", kindName(r.kind), e.frame.flags);
            }
        }
        cancelled = result.code == DRN_CANCELLED;
        for (std::size_t i = end + 1; i < events.size(); ++i) {
            FUZZ_CHECK(events[i].kind != Event::Sent || closes, "%s sent 0x%02X after it had ended", kindName(r.kind),
                       events[i].frame.data[0]);
        }

        // A refused switch back to waiting is the driver's refusal: nothing after it went out.
        const bool refusedLast = armedAfter >= 0 && traffic.masterFrames == armedAfter;
        const bool allWaiting =
            bus.inspect([](const std::vector<LssSlaveOnBus>& s) {
                return std::all_of(s.begin(), s.end(), [](const LssSlaveOnBus& x) { return x.waiting(); });
            });
        if (!refusedLast) {
            FUZZ_PROPERTY(closes ? "lss-close" : "", allWaiting,
                          "%s (request %zu) ended (%d \"%s\") with a slave still in configuration state",
                          kindName(r.kind), n, result.code, message.c_str());
        }
        for (int i = 0; i < slaveCount; ++i) {
            if (i == r.slave && (r.kind == Kind::SetConfig || r.kind == Kind::SetBitTiming)) continue;
            FUZZ_CHECK(after[static_cast<std::size_t>(i)] == before[static_cast<std::size_t>(i)],
                       "%s of slave %d changed slave %d (node id %d -> %d, stored %d -> %d)", kindName(r.kind), r.slave,
                       i, before[static_cast<std::size_t>(i)].pending, after[static_cast<std::size_t>(i)].pending,
                       before[static_cast<std::size_t>(i)].stored, after[static_cast<std::size_t>(i)].stored);
        }
        std::set<uint8_t> stored;
        for (const SlaveState& s : after) {
            FUZZ_CHECK(s.stored == kUnconfiguredNodeId || stored.insert(s.stored).second,
                       "two slaves store node id %d", s.stored);
        }

        if (r.kind == Kind::Find) {
            const bool twoSlaves = traffic.inquiryTwoSlaves;
            if (identity.found == 1 && traffic.answersLost == 0) {
                const bool someSlave = bus.inspect([&identity](const std::vector<LssSlaveOnBus>& s) {
                    return std::any_of(s.begin(), s.end(), [&identity](const LssSlaveOnBus& x) {
                        return x.identity.vendorId == identity.vendorId && x.identity.productCode == identity.productCode &&
                               x.identity.revisionNumber == identity.revisionNumber &&
                               x.identity.serialNumber == identity.serialNumber && x.activeNodeId == identity.nodeId;
                    });
                });
                FUZZ_PROPERTY(twoSlaves ? "lss-find-two-slaves" : "", someSlave,
                              "find reported %X/%X/%X/%X node %d, which no slave has", identity.vendorId,
                              identity.productCode, identity.revisionNumber, identity.serialNumber, identity.nodeId);
            }
            FUZZ_PROPERTY("lss-find-two-slaves", !(twoSlaves && identity.found == 1),
                          "find reported one slave where two answered (%d \"%s\")", result.code, message.c_str());
        }
        if (activateSent && !closes) {
            FUZZ_PROPERTY(cancelled ? "lss-cancel-after-activate" : "",
                          switches.calls == 1 && switches.completionsBefore == completionsBefore,
                          "activate bit timing went out and ended (%d \"%s\") with %d switch calls%s", result.code,
                          message.c_str(), switches.calls.load(),
                          switches.calls == 1 ? " after the completion" : "");
        }

        // Nothing disturbed it: it did what it was asked.
        const bool clean = r.end == End::Own && traffic.answersLost == 0 && traffic.extras == 0;
        if (clean) {
            const auto spoil = [&](bool held, const std::string& what) {
                if (!held) throw Spoiled{what + ": " + std::to_string(result.code) + " \"" + message + "\""};
            };
            const std::size_t s = static_cast<std::size_t>(std::max(r.slave, 0));
            if (r.kind == Kind::Find && slaveCount == 1) {
                spoil(result.code == DRN_OK && identity.found == 1, "a find of the one slave found nothing");
            }
            if (r.kind == Kind::SetConfig && r.slave >= 0) {
                spoil(result.code == DRN_OK && after[s].pending == r.nodeId && (!r.store || after[s].stored == r.nodeId),
                      "a node id was not set");
            }
            if (r.kind == Kind::SetBitTiming && r.slave >= 0 && r.selector == 0 && r.tableIndex <= 8 && r.tableIndex != 5) {
                spoil(result.code == DRN_OK && after[s].pendingTiming == r.tableIndex, "a bit timing was not set");
            }
            if (r.kind == Kind::Activate) spoil(result.code == DRN_OK && switches.calls == 1, "activation failed");
        }
        if (closes || refusedLast) break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runWithLongerWindows(kResponseTimeoutsMs, [&](uint32_t timeoutMs) { runInput(data, size, timeoutMs); });
    return 0;
}
