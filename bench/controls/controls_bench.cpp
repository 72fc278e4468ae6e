// Targets: a tick over 200 interval clients below 20 us, FormatFloat below 1 us, checking a
// 20-character entry below 5 us.
#include "kvflash.h"
#include "kvformat.h"
#include "kvnummodel.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

using namespace ostrel::vessolt::controls;

namespace {

int64_t benchNow = 0;
int64_t benchClock() { return benchNow; }

struct CountingClient : QObject, KvFlashClient {
    uint64_t calls = 0;
    ~CountingClient() override { DelControl(this); }
    void flashTick(uint32_t, int32_t) override { ++calls; }
};

void TickOver200Clients(benchmark::State& state) {
    KvSetClock(&benchClock);
    KvResetFlash();
    std::vector<std::unique_ptr<CountingClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<CountingClient>());
        AddControl(clients.back().get(), 16);
    }
    for (auto _ : state) {
        benchNow += 16;
        TKvFlashTimer::flash();
    }
    benchmark::DoNotOptimize(clients.front()->calls);
    clients.clear();
    KvResetFlash();
    KvSetClock(nullptr);
}
BENCHMARK(TickOver200Clients);

void FormatFloatPicture(benchmark::State& state) {
    const KvSeparators sep{u'.', u','};
    const QString picture = QStringLiteral("#0.#");
    double v = 1234.25;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatFloat(picture, v, sep));
        v += 0.5;
    }
}
BENCHMARK(FormatFloatPicture);

void CheckTwentyCharacters(benchmark::State& state) {
    KvNumModel model(nullptr, KvSeparators{u'.', u','});
    const QString texts[2] = {QStringLiteral("12345678901234567.89"), QStringLiteral("-1,234,567.891e-12k")};
    int i = 0;
    for (auto _ : state) {
        model.edited(texts[i ^= 1]);
        benchmark::DoNotOptimize(model.State());
    }
}
BENCHMARK(CheckTwentyCharacters);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
