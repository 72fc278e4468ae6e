// Latency of the named kernel objects on the frame path: an event set until the waiting thread
// runs (measured as half of a ping-pong round trip), wait-for-either, and mutex lock/unlock.
#include "platform/ipc.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

using namespace ostrel::platform;

namespace {

constexpr uint32_t kWaitMs = 1000;

std::unique_ptr<NamedEvent> makeEvent(bool named, const char* name)
{
    return named ? NamedEvent::open(name, EventReset::Automatic) : NamedEvent::createLocal(EventReset::Automatic);
}

// Round trip ping -> partner thread -> pong; one-way latency is half the reported time.
void BM_EventPingPong(benchmark::State& state)
{
    const bool named = state.range(0) != 0;
    auto ping = makeEvent(named, "bench_ping");
    auto pong = makeEvent(named, "bench_pong");
    if (!ping || !pong) {
        state.SkipWithError("cannot open events");
        return;
    }
    std::atomic<bool> stop { false };
    std::thread partner([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (ping->wait(kWaitMs))
                pong->set();
        }
    });
    for (auto _ : state) {
        ping->set();
        if (!pong->wait(kWaitMs)) {
            state.SkipWithError("lost wake");
            break;
        }
    }
    stop = true;
    ping->set();
    partner.join();
    state.SetLabel(named ? "named" : "local");
}
BENCHMARK(BM_EventPingPong)->Arg(0)->Arg(1)->UseRealTime();

// The server's loop: waitForEither(send, command) answered by a set of the reply event.
void BM_EitherPingPong(benchmark::State& state)
{
    auto send = makeEvent(true, "bench_send");
    auto command = makeEvent(true, "bench_command");
    auto reply = makeEvent(true, "bench_reply");
    if (!send || !command || !reply) {
        state.SkipWithError("cannot open events");
        return;
    }
    std::atomic<bool> stop { false };
    std::thread server([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (waitForEither(*send, *command, kWaitMs) >= 0)
                reply->set();
        }
    });
    bool toggle = false;
    for (auto _ : state) {
        (toggle ? send : command)->set();
        toggle = !toggle;
        if (!reply->wait(kWaitMs)) {
            state.SkipWithError("lost wake");
            break;
        }
    }
    stop = true;
    send->set();
    server.join();
}
BENCHMARK(BM_EitherPingPong)->UseRealTime();

void BM_EventSetAndTake(benchmark::State& state)
{
    auto event = makeEvent(true, "bench_take");
    for (auto _ : state) {
        event->set();
        benchmark::DoNotOptimize(event->wait(0));
    }
}
BENCHMARK(BM_EventSetAndTake);

void BM_ManualPulseWithoutWaiters(benchmark::State& state)
{
    auto event = NamedEvent::open("bench_pulse", EventReset::Manual);
    for (auto _ : state)
        event->pulse();
}
BENCHMARK(BM_ManualPulseWithoutWaiters);

void BM_NamedMutexLockUnlock(benchmark::State& state)
{
    auto mutex = NamedMutex::open("bench_mutex");
    if (!mutex) {
        state.SkipWithError("cannot open mutex");
        return;
    }
    for (auto _ : state) {
        if (mutex->lock(500) != LockResult::Acquired) {
            state.SkipWithError("lock failed");
            break;
        }
        mutex->unlock();
    }
}
BENCHMARK(BM_NamedMutexLockUnlock)->Threads(1)->Threads(2);

} // namespace

int main(int argc, char** argv)
{
    // Own namespace, so a benchmark run never meets a running server or test.
    const std::string ns = "bench-" + std::to_string(getpid());
    setenv("OSTREL_IPC_NAMESPACE", ns.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    removeStaleObjects();
    return 0;
}
