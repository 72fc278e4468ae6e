// How closely the software support module keeps its list times: real library on its test bus, list 1
// full (50 entries 200 us apart, a 10 ms cycle) replayed for 5 s. Each frame's bus stamp is compared
// with its absolute due time (start + whole cycles + entry time). Targets, with no post-transmit
// delay: median error <= 100 us, p99 <= 1 ms, >= 5,000 frames/s. Then all six lists full with the
// 1000 kbit/s traffic tables, and the library's default post-transmit delay (1 ms) for comparison.
#include <benchmark/benchmark.h>

#include <platform/clock.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "testing/common_test.h"
#include "services/device_summary.h"
#include "drennic_test_bus.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "services/receive_fanout.h"
#include "nsm/soft_nsm.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

constexpr uint8_t kNode = 0x40;
constexpr uint32_t kFirstId = 0x100;
constexpr int kEntries = 50;
constexpr uint64_t kSpacingUs = 200;
constexpr uint64_t kCycleUs = kEntries * kSpacingUs;

struct Scene {
    test::DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
    TCommonTest common{drennic.api(), trace, summary, log, links()};
    TSoftNSM soft{drennic.api(), log, prompt, [] { return SoftNSMSettings{true, kNode}; }};

    static CommonTestLinks links() {
        CommonTestLinks l;
        l.maxBootupTimeMs = [] { return 100u; };
        l.bitRateKbit = [] { return 1000u; };
        l.resultToText = [](const ResultBlock&) { return std::string(); };
        l.errorCodeName = [](uint32_t) { return std::string(); };
        return l;
    }

    explicit Scene(uint32_t postTransmitDelayMs) {
        drennic.bus().setSelfReceive(true);
        fanout.attach(ReceiveStageSlot::SoftwareSupport, soft);
        (void)drennic.open();
        drennic.api().setPostTransmitDelay(postTransmitDelayMs);
        soft.Start();
    }
    ~Scene() {
        soft.Stop();
        fanout.detach(ReceiveStageSlot::SoftwareSupport);
        drennic.close();
    }

    bool download(const void* data, uint32_t size) {
        std::vector<uint8_t> copy(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
        SDORequest r{kNode, 0x1F50, 1, &size, copy.data()};
        return common.SDODownload(&r, nullptr);
    }
    bool loadList(uint32_t n, const std::vector<NSMListEntry>& entries) {
        const char command[4] = {'L', 's', 't', static_cast<char>('0' + n)};
        return download(command, 4) &&
               download(entries.data(), static_cast<uint32_t>(entries.size() * sizeof(NSMListEntry)));
    }
    bool start() {
        const uint8_t one = 1;
        uint32_t size = 1;
        uint8_t value = one;
        SDORequest r{kNode, 0x1F51, 1, &size, &value};
        return common.SDODownload(&r, nullptr);
    }
};

std::vector<NSMListEntry> stimulus(uint32_t firstId) {
    std::vector<NSMListEntry> list(kEntries);
    for (int i = 0; i < kEntries; ++i) {
        list[static_cast<size_t>(i)].identifier = firstId + static_cast<uint32_t>(i);
        TNSM::SetEntryLength(list[static_cast<size_t>(i)], 8);
        (void)TNSM::SetEntryTime(list[static_cast<size_t>(i)], static_cast<uint32_t>((i + 1) * kSpacingUs));
    }
    return list;
}

std::vector<NSMListEntry> traffic(int kind) {
    std::vector<NSMListEntry> list;
    for (const NSMTrafficRecord* row = TR308Table(kind, 1000); row->identifier != 0; ++row) {
        NSMListEntry e{};
        e.identifier = row->identifier;
        std::memcpy(e.data, row->data, 8);
        TNSM::SetEntryLength(e, row->dlc);
        (void)TNSM::SetEntryTime(e, row->timeUs);
        list.push_back(e);
    }
    return list;
}

void run(benchmark::State& state, uint32_t delayMs, bool allLists) {
    for (auto _ : state) {
        Scene scene(delayMs);
        if (!scene.loadList(1, stimulus(kFirstId)) ||
            (allLists && (!scene.loadList(2, stimulus(kFirstId + kEntries)) || !scene.loadList(3, traffic(0)) ||
                          !scene.loadList(4, traffic(1)) || !scene.loadList(5, traffic(2)) ||
                          !scene.loadList(6, traffic(3))))) {
            state.SkipWithError("lists not loaded");
            return;
        }
        scene.drennic.bus().clearSent();
        if (!scene.start()) {
            state.SkipWithError("start refused");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(5));
        scene.soft.Stop();
        const uint64_t startUs = scene.soft.TransmissionStartUs();
        std::vector<double> errors;
        size_t frames = 0;
        for (const CANFrame& f : scene.drennic.bus().sent()) {
            if (f.id == 0x580u + kNode || f.id == 0x700u + kNode || f.id == 0x80u + kNode)
                continue;
            ++frames;
            if (f.id < kFirstId || f.id >= kFirstId + kEntries)
                continue;
            const uint64_t stamp = uint64_t{f.timeMs} * 1000 + f.timeUs;
            const uint64_t offset = (f.id - kFirstId + 1) * kSpacingUs;
            if (stamp + kCycleUs < startUs + offset)
                continue;
            const double sinceFirst = static_cast<double>(stamp) - static_cast<double>(startUs + offset);
            const double cycles = std::max(0.0, std::floor((sinceFirst + kCycleUs / 2.0) / kCycleUs));
            errors.push_back(sinceFirst - cycles * kCycleUs);
        }
        if (errors.empty()) {
            state.SkipWithError("no frames");
            return;
        }
        std::vector<double> magnitude(errors.size());
        std::transform(errors.begin(), errors.end(), magnitude.begin(), [](double e) { return std::abs(e); });
        std::sort(magnitude.begin(), magnitude.end());
        state.counters["median_us"] = magnitude[magnitude.size() / 2];
        state.counters["p99_us"] = magnitude[magnitude.size() * 99 / 100];
        state.counters["frames_per_s"] = static_cast<double>(frames) / 5.0;
        state.counters["list1_frames"] = static_cast<double>(errors.size());
    }
}

void BM_List1Full(benchmark::State& state) { run(state, 0, false); }
void BM_AllListsFull(benchmark::State& state) { run(state, 0, true); }
void BM_List1FullDefaultDelay(benchmark::State& state) { run(state, 1, false); }

}  // namespace

BENCHMARK(BM_List1Full)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllListsFull)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_List1FullDefaultDelay)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
