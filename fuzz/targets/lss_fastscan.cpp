// The LSS fast scan against up to three modelled slaves, configured or not, whose answers the bus
// loses, doubles or adds to as the input says, with or without the known-ids and byte-step shortcuts;
// the scan ends on its own, with a master frame refused by the driver, or with the hardware closed or
// the library shut down under it.
//
// What a user expects, however the scan ends:
// - it ends, once, and sends nothing but LSS frames;
// - afterwards every slave is waiting, no configured slave has changed, and no two slaves share a
//   stored node id;
// - every result it reports is a slave's identity, and that slave now has the node id reported;
// - a scan nothing disturbed configures every unconfigured slave and succeeds.
#include "lss_fuzz.h"

#include <array>
#include <set>
#include <thread>

namespace {

using namespace ostrel::fuzz;
using ostrel::fixtures::kUnconfiguredNodeId;
using Event = EngineLog::Event;

// The scan's answer window; a run that a loaded machine spoiled is run again with a longer one.
constexpr std::array<uint32_t, 3> kWindowsMs = {2, 10, 50};
constexpr auto kEndLimit = std::chrono::seconds(30);
constexpr int kMaxTamperedFrames = 400;
constexpr uint32_t kMaxResults = 3;

enum class End { Own, Refuse, Close, Shutdown };

// A slave's identity where the scan meets it: every part small, so that a scan takes few steps.
void smallIdentities(std::vector<LssSlaveOnBus>& slaves, Script& script) {
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        const uint8_t shape = script.byte();
        auto& id = slaves[i].identity;
        id.vendorId = 1u + (shape & 1);
        id.productCode = 1u + ((shape >> 1) & 1);
        id.revisionNumber = (shape >> 2) & 1;
        id.serialNumber = static_cast<uint32_t>(i + 1) | ((shape & 0x08) != 0 ? 0x100u : 0u);
    }
}

void runInput(const uint8_t* data, std::size_t size, uint32_t windowMs) {
    Script script(data, size);
    EngineScene scene(true);  // the scan sees its own requests come back, as the CAN server echoes them
    std::vector<LssSlaveOnBus> slaves = makeSlaves(script, static_cast<int>(script.pick(4)));
    smallIdentities(slaves, script);
    const uint8_t options = script.byte();
    const bool knownIds = (options & 1) == 0;
    const bool byteStep = (options & 2) == 0;
    const uint32_t maxResults = script.pick(kMaxResults + 1);
    const uint8_t firstNodeId = static_cast<uint8_t>(20 + script.pick(100));  // above every configured slave's
    const uint8_t e = script.byte();
    const End end = (e & 0x80) == 0 ? End::Own : static_cast<End>(1 + (e & 0x7F) % 3);
    const int at = static_cast<int>(script.pick(64));

    LssBus bus(scene, script, slaves, kMaxTamperedFrames);
    const std::vector<LssSlaveOnBus> before = slaves;
    std::atomic<int> armedAfter{-1};
    const bool closes = end == End::Close || end == End::Shutdown;
    CloseAfterFrame closeAfter;
    bus.begin([&](int count) {
        if (closes && count == at) closeAfter.reached();
        if (end == End::Refuse && count == at) {
            scene.bus().setTransmitFailure(-8, u"Transmit refused", 1);
            armedAfter = count;
        }
    });
    std::vector<FastScanResult> results(kMaxResults);
    for (FastScanResult& r : results) r.valid = 7;
    const std::size_t from = scene.log().size();
    int32_t out = -99;
    LSSFastScan_ScanAndConfig(knownIds, byteStep, results.data(), maxResults, firstNodeId, windowMs, nullptr,
                              logCompletion, &scene.log(), &out);
    FUZZ_CHECK(out == DRN_OK, "the scan did not start: %d", out);
    if (closes) {
        closeAfter.await([&] { return scene.log().completions() != 0; }, kEndLimit);
        end == End::Close ? Hardware_Close() : CANopenDLL_Shutdown();
    }
    FUZZ_CHECK(scene.log().awaitCompletions(1, kEndLimit), "the scan did not end");
    if (!closes) (void)scene.log().awaitDrained(kEndLimit);
    scene.bus().clearTransmitFailure();
    const std::vector<Event> events = scene.log().since(from);
    const LssTraffic traffic = bus.traffic();

    int ends = 0;
    std::size_t last = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::Completed) {
            last = ends == 0 ? i : last;
            ++ends;
        }
        if (events[i].kind == Event::Sent) {
            FUZZ_PROPERTY(events[i].frame.data[0] == 0x80 ? "lss-sdo-abort" : "",
                          events[i].frame.id == 0x7E5 && events[i].frame.length == 8,
                          "the scan sent 0x%02X on 0x%X", events[i].frame.data[0], events[i].frame.id);
        }
    }
    FUZZ_CHECK(ends == 1, "the scan completed %d times", ends);
    const ResultBlock result = events[last].result;
    const std::string message = narrow(result);
    if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "scan of %zu slaves (known ids %d, byte steps %d, end %d at %d): %d \"%s\", %d frames, "
                             "%d lost, %d extra\n",
                     slaves.size(), knownIds, byteStep, static_cast<int>(end), at, result.code, message.c_str(),
                     traffic.masterFrames, traffic.answersLost, traffic.extras);
        if (std::string(std::getenv("OSTREL_FUZZ_TRACE")) == "2") {
            int n = 0;
            for (const Event& ev : events) {
                if (ev.kind == Event::Sent) {
                    std::fprintf(stderr, "  frame %d: %02X %02X %02X %02X %02X %02X %02X %02X\n", ++n, ev.frame.data[0],
                                 ev.frame.data[1], ev.frame.data[2], ev.frame.data[3], ev.frame.data[4],
                                 ev.frame.data[5], ev.frame.data[6], ev.frame.data[7]);
                }
            }
        }
    }

    const std::vector<LssSlaveOnBus> after = bus.inspect([](const std::vector<LssSlaveOnBus>& s) { return s; });
    const bool refusedLast = armedAfter >= 0 && traffic.masterFrames == armedAfter;
    std::set<uint8_t> stored;
    for (std::size_t i = 0; i < after.size(); ++i) {
        const auto& s = after[i];
        if (!refusedLast) {
            FUZZ_PROPERTY(closes ? "lss-close" : "", s.waiting(),
                          "the scan ended (%d \"%s\") with slave %zu still in configuration state", result.code,
                          message.c_str(), i);
        }
        if (before[i].activeNodeId != kUnconfiguredNodeId) {
            FUZZ_CHECK(s.lss.storedNodeId() == before[i].lss.storedNodeId() &&
                           s.lss.pendingNodeId() == before[i].lss.pendingNodeId(),
                       "the scan changed configured slave %zu (node %d -> %d)", i, before[i].activeNodeId,
                       s.lss.pendingNodeId());
        }
        FUZZ_CHECK(s.lss.storedNodeId() == kUnconfiguredNodeId || stored.insert(s.lss.storedNodeId()).second,
                   "two slaves store node id %d", s.lss.storedNodeId());
    }
    uint32_t reported = 0;
    for (uint32_t i = 0; i < kMaxResults; ++i) {
        const FastScanResult& r = results[i];
        if (i >= maxResults) {
            FUZZ_CHECK(r.valid == 7, "the scan wrote result %u beyond the %u it was given", i, maxResults);
            continue;
        }
        if (r.valid != 1) continue;
        ++reported;
        const bool someSlave = std::any_of(after.begin(), after.end(), [&r](const LssSlaveOnBus& s) {
            return s.identity.vendorId == r.vendorId && s.identity.productCode == r.productCode &&
                   s.identity.revisionNumber == r.revisionNumber && s.identity.serialNumber == r.serialNumber &&
                   s.lss.pendingNodeId() == r.nodeId;
        });
        FUZZ_CHECK(someSlave, "the scan reported %X/%X/%X/%X as node %d, which no slave is", r.vendorId, r.productCode,
                   r.revisionNumber, r.serialNumber, r.nodeId);
    }

    if (end == End::Own && traffic.answersLost == 0 && traffic.extras == 0) {
        const auto unconfigured = std::count_if(before.begin(), before.end(), [](const LssSlaveOnBus& s) {
            return s.activeNodeId == kUnconfiguredNodeId;
        });
        const bool allGiven = std::all_of(after.begin(), after.end(), [](const LssSlaveOnBus& s) {
            return s.lss.storedNodeId() != kUnconfiguredNodeId;
        });
        // The scan takes silence within its answer window for a 1: a machine too loaded to hand an
        // answer on within it spoils the run, which is then run again.
        if (result.code != DRN_OK || !allGiven ||
            reported != std::min<uint32_t>(maxResults, static_cast<uint32_t>(unconfigured))) {
            throw Spoiled{"a scan nothing disturbed ended with " + std::to_string(result.code) + " \"" + message +
                          "\", " + std::to_string(reported) + " results for " + std::to_string(unconfigured) +
                          " unconfigured slaves"};
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runWithLongerWindows(kWindowsMs, [&](uint32_t windowMs) { runInput(data, size, windowMs); });
    return 0;
}
