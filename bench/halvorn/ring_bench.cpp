// The ring's hot path in one process: a client writes one entry into a ring the clients write and
// the server's reader takes it (mutex, checks, copy and event on the writer's side; mutex, checks and
// copy on the reader's).
#include "halvorn/transport.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include <unistd.h>

using namespace ostrel::halvorn;

namespace {

template <typename Entry, typename Write>
void writeAndTake(benchmark::State& state, RingChannel<Entry>& (TransportObjects::*ring)(), Write write) {
    // Objects of our own, away from any server that runs.
    ::setenv("OSTREL_IPC_NAMESPACE", ("bench-ring-" + std::to_string(::getpid())).c_str(), 1);
    auto server = TransportObjects::open();
    auto client = RingClient::connect(static_cast<uint32_t>(::getpid()));
    if (!server || !client) {
        state.SkipWithError("cannot open the transport");
        return;
    }
    server->initialise();
    RingReader<Entry> reader(((*server).*ring)());
    Entry out{};
    uint32_t n = 0;
    for (auto _ : state) {
        if (write(*client, ++n) != RingWriteResult::Written || reader.read(out).status != RingReadStatus::Entry) {
            state.SkipWithError("entry not passed");
            break;
        }
    }
    benchmark::DoNotOptimize(out);
}

void BM_FrameThroughTheSendRing(benchmark::State& state) {
    writeAndTake<ServerFrame>(state, &TransportObjects::sendRing, [](RingClient& client, uint32_t n) {
        ServerFrame frame{};
        frame.id = n;
        frame.length = 8;
        return client.sendFrame(frame);
    });
}
BENCHMARK(BM_FrameThroughTheSendRing);

void BM_CommandThroughTheCommandRing(benchmark::State& state) {
    writeAndTake<ServerCommand>(state, &TransportObjects::commandRing, [](RingClient& client, uint32_t n) {
        const uint8_t data[6] = {0, 3, static_cast<uint8_t>(n), 0, 0, 0};
        return client.sendCommand(ServerCmd_SetBusConfiguration, data, sizeof data);
    });
}
BENCHMARK(BM_CommandThroughTheCommandRing);

} // namespace
BENCHMARK_MAIN();
