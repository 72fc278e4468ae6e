// The received-frame path of the engine: frames per second from the driver's Receive slot to the
// ReceiveCallback, and the latency from a put into the received-frame buffer to the callback.
//
// A driver of the benchmark's own stands in for the server client: its Receive slot takes frames from
// a MsgBuffer exactly as the server client's does, so the numbers cover buffer, engine loop and
// dispatch to the listeners.
#include "driver_table.h"
#include "engine.h"
#include "library_state.h"
#include "msg_buffer.h"

#include <drennic/drennic.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace drennic;

namespace {

using Clock = std::chrono::steady_clock;

MsgBuffer gBuffer;

// What the callback has seen: a count and the arrival time of the latest frame.
struct Arrivals {
    std::atomic<uint64_t> count{0};
    std::atomic<int64_t> lastNs{0};
};
Arrivals gArrivals;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void benchReceive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame,
                  uint8_t* data, uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result) {
    CANFrame frame{};
    if (!gBuffer.get(frame)) {
        result->code = DRN_NO_FRAME;
        return;
    }
    *id = frame.id;
    *length = frame.length;
    *extended = (frame.flags & DRN_FLAG_EXTENDED) ? 1 : 0;
    *remote = (frame.flags & DRN_FLAG_REMOTE) ? 1 : 0;
    *errorFrame = (frame.flags & DRN_FLAG_ERROR) ? 1 : 0;
    std::memcpy(data, frame.data, frame.length);
    *timeMs = frame.timeMs;
    *timeMsOverflow = 0;
    *timeUs = frame.timeUs;
    result->code = DRN_OK;
}

void benchStatus(uint32_t* status, ResultBlock* result) {
    *status = 0;
    result->code = DRN_OK;
}

void benchInitialize(uint32_t, const char16_t*, uint32_t, uint32_t, ResultBlock* result) {
    result->code = engineStart() ? DRN_OK : DRN_NOT_INITIALIZED;
}

void benchFill(DriverOps& ops) {
    ops = unavailableDriverOps();
    ops.Receive = benchReceive;
    ops.Status = benchStatus;
    ops.Initialize = benchInitialize;
    ops.Close = engineStop;
}

void countFrame(const CANFrame*, int32_t, void*) {
    gArrivals.lastNs.store(nowNs(), std::memory_order_relaxed);
    gArrivals.count.fetch_add(1, std::memory_order_release);
}

// The library on the benchmark driver with the engine running, for one benchmark run.
class EngineScene {
public:
    EngineScene() {
        previous_ = replaceDriverFill(DriverKind::ServerClient, benchFill);
        gBuffer.create();
        CANopenDLL_Startup(1, u"");
        Event_Receive(countFrame, nullptr);
        ResultBlock result{};
        Hardware_Initialize(1, u"bench", 0, 0, &result);
        ok_ = result.code == DRN_OK;
    }
    ~EngineScene() {
        Hardware_Close();
        Event_Receive(nullptr, nullptr);
        CANopenDLL_Shutdown();
        gBuffer.release();
        (void)replaceDriverFill(DriverKind::ServerClient, previous_);
    }
    EngineScene(const EngineScene&) = delete;
    EngineScene& operator=(const EngineScene&) = delete;
    [[nodiscard]] bool ok() const { return ok_; }

private:
    DriverFill previous_ = nullptr;
    bool ok_ = false;
};

CANFrame sampleFrame(uint32_t n) {
    CANFrame frame{};
    frame.id = 0x180 + (n & 0x7F);
    frame.length = 8;
    std::memcpy(frame.data, &n, sizeof n);
    return frame;
}

bool waitForCount(uint64_t target) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (gArrivals.count.load(std::memory_order_acquire) < target) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A burst of frames put at once; the time until the callback has seen all of them.
void BM_EngineReceiveThroughput(benchmark::State& state) {
    EngineScene scene;
    if (!scene.ok()) {
        state.SkipWithError("engine did not start");
        return;
    }
    const auto burst = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        const uint64_t target = gArrivals.count.load() + burst;
        for (uint32_t n = 0; n < burst; ++n) {
            gBuffer.put(sampleFrame(n));
        }
        if (!waitForCount(target)) {
            state.SkipWithError("frames did not arrive");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * burst);
    state.counters["dropped"] = static_cast<double>(gBuffer.droppedFrames());
}
BENCHMARK(BM_EngineReceiveThroughput)->Arg(1000)->Arg(50000)->UseRealTime()->Unit(benchmark::kMillisecond);

// One frame at a time: put, then wait until the callback has seen it. Reports the median and the
// 99th percentile of put-to-callback in microseconds. The engine is idle between frames (waiting in
// the buffer), as on a quiet bus.
void BM_EnginePutToCallbackLatency(benchmark::State& state) {
    EngineScene scene;
    if (!scene.ok()) {
        state.SkipWithError("engine did not start");
        return;
    }
    std::vector<double> latenciesUs;
    latenciesUs.reserve(1 << 16);
    uint32_t n = 0;
    for (auto _ : state) {
        const uint64_t target = gArrivals.count.load() + 1;
        const int64_t putNs = nowNs();
        gBuffer.put(sampleFrame(n++));
        if (!waitForCount(target)) {
            state.SkipWithError("frame did not arrive");
            break;
        }
        latenciesUs.push_back(static_cast<double>(gArrivals.lastNs.load() - putNs) / 1000.0);
    }
    if (latenciesUs.empty()) {
        return;
    }
    std::sort(latenciesUs.begin(), latenciesUs.end());
    const auto at = [&](double q) {
        return latenciesUs[std::min(latenciesUs.size() - 1, static_cast<std::size_t>(q * latenciesUs.size()))];
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
}
BENCHMARK(BM_EnginePutToCallbackLatency)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
