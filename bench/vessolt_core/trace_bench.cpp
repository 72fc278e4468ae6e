// The trace's receive path must keep up with a fully loaded bus and more (at least 2,000,000 frames
// a second), must not drop frames while a test searches the recording, and searches of a full ring
// must each take well under 50 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "services/canopen_api.h"
#include "services/log.h"
#include "services/receive_fanout.h"
#include "services/trace_buffer.h"
#include "services/transmit_table.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

// The services as the program wires them, without hardware: the library is not started, so the
// transmission table and the clock queries have nothing to reach.
struct Scene {
    DrennicApi api;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TTraceBuffer trace{api, fanout, log, prompt};
    TTransmit table{20, api, fanout, prompt};
    uint32_t next = 0;

    Scene() { trace.Start(1000); }

    CANFrame frame() {
        CANFrame f{};
        const uint32_t n = next++;
        f.id = 0x180 + (n & 0x7F);
        f.length = 8;
        f.timeMs = n / 8;  // eight frames a millisecond: a full 1 Mbit/s bus
        f.timeUs = (n % 8) * 125;
        for (uint8_t i = 0; i < 8; ++i)
            f.data[i] = static_cast<uint8_t>(n + i);
        return f;
    }

    void add() {
        const CANFrame f = frame();
        trace.Add(f.id, f.length, kTraceKindOther, f.timeMs, 0, f.timeUs, false, false, f.data);
    }

    void fill() {
        for (size_t i = 0; i < TTraceBuffer::kRingCapacity; ++i)
            add();
    }
};

void BM_TraceAdd(benchmark::State& state) {
    Scene scene;
    for (auto _ : state)
        scene.add();
    state.SetItemsProcessed(state.iterations());
    state.counters["wrapped"] = scene.next > TTraceBuffer::kRingCapacity ? 1 : 0;
}
BENCHMARK(BM_TraceAdd)->Iterations(4'000'000);

void BM_TraceReceiveCallback(benchmark::State& state) {
    Scene scene;
    for (auto _ : state) {
        const CANFrame f = scene.frame();
        TraceReceiveCallback(&f, 0, &scene.fanout);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceReceiveCallback)->Iterations(4'000'000);

// Adds on this thread while another thread searches the full ring without a match, again and again.
void BM_TraceAddWhileFinding(benchmark::State& state) {
    Scene scene;
    scene.fill();
    std::atomic<bool> searching{true};
    std::atomic<uint64_t> searches{0};
    std::thread finder([&] {
        TraceFilter none{};
        none.idMask = 0x7FF;
        none.idValue = 0x7FE;
        while (searching) {
            benchmark::DoNotOptimize(scene.trace.FindFirst(&none, 1));
            ++searches;
        }
    });
    std::vector<double> latenciesUs;
    latenciesUs.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        scene.add();
        latenciesUs.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    searching = false;
    finder.join();
    std::sort(latenciesUs.begin(), latenciesUs.end());
    state.SetItemsProcessed(state.iterations());
    state.counters["p99_us"] = latenciesUs[latenciesUs.size() * 99 / 100];
    state.counters["max_us"] = latenciesUs.back();
    state.counters["drops"] = static_cast<double>(scene.trace.GetDroppedCount());
    state.counters["searches"] = static_cast<double>(searches.load());
}
BENCHMARK(BM_TraceAddWhileFinding)->Iterations(1'000'000)->UseRealTime();

void BM_TraceFindFirstWithoutMatch(benchmark::State& state) {
    Scene scene;
    scene.fill();
    std::vector<TraceFilter> filters(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < filters.size(); ++i) {
        filters[i].idMask = 0x7FF;
        filters[i].idValue = static_cast<uint32_t>(0x700 + i);  // never sent
        filters[i].dataMask[0] = 0xFF;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(scene.trace.FindFirst(filters.data(), static_cast<int>(filters.size())));
}
BENCHMARK(BM_TraceFindFirstWithoutMatch)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_TraceWalkAll(benchmark::State& state) {
    Scene scene;
    scene.fill();
    const TraceFilter all{};
    size_t walked = 0;
    for (auto _ : state) {
        walked = 0;
        for (auto m = scene.trace.FindFirst(&all, 1); m; m = scene.trace.FindNext(&all, 1))
            ++walked;
    }
    state.counters["records"] = static_cast<double>(walked);
}
BENCHMARK(BM_TraceWalkAll)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
