// The main window under load: 10,000 received frames/s on the bus while a test worker makes
// 10,000/s each of log lines, summary changes and progress steps, for 10 s (BENCH_SECONDS to
// change). Reports the lateness of a 10 ms GUI timer (p99 target 20 ms), the time the window needs
// to catch up once the load stops (target 200 ms), and whether every log line was shown.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <unistd.h>

#include "drennic_test_bus.h"
#include "app/services.h"
#include "win_main.h"

using namespace ostrel::vessolt;
namespace fs = std::filesystem;

namespace {

int benchSeconds() {
    const char* text = std::getenv("BENCH_SECONDS");
    const int seconds = text ? std::atoi(text) : 10;
    return seconds > 0 ? seconds : 10;
}

// Calls `step` `perSecond` times a second, in 1 ms batches, until `stop`.
void paced(std::atomic<bool>& stop, int perSecond, const std::function<void(int)>& step) {
    const auto start = std::chrono::steady_clock::now();
    int done = 0;
    for (int ms = 1; !stop; ++ms) {
        const int due = perSecond * ms / 1000;
        for (; done < due; ++done)
            step(done);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
    }
}

void BM_MainWindowUnderLoad(benchmark::State& state) {
    std::string pattern = (fs::temp_directory_path() / "mainwin-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const fs::path dir = pattern;
    ::setenv("OSTREL_REGISTRY_DIR", (dir / "registry").c_str(), 1);
    std::ofstream(dir / "ratings.py") << "pass\n";

    for (auto _ : state) {
        test::DrennicTestBus bus;
        RecordingPrompt prompt;
        Services services(bus.api(), prompt, dir.string());
        services.testManager->AddTest(20, {.name = "Load"});
        if (!bus.open()) {
            state.SkipWithError("the test network did not open");
            return;
        }
        TWin_Main window(services);
        window.show();
        QApplication::processEvents();

        std::vector<double> lateness;
        QElapsedTimer clock;
        clock.start();
        qint64 last = clock.nsecsElapsed();
        QTimer probe;
        probe.setInterval(10);
        probe.setTimerType(Qt::PreciseTimer);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            lateness.push_back(std::max(0.0, (now - last) / 1e6 - 10.0));
            last = now;
        });
        probe.start();

        std::atomic<bool> stop{false};
        std::thread frames([&] {
            paced(stop, 10000, [&](int i) {
                bus.inject(0x180 + 5, {uint8_t(i), uint8_t(i >> 8), 0, 0, 0, 0, 0, 0});
            });
        });
        std::thread worker([&] {
            paced(stop, 10000, [&](int i) {
                services.log->Add("line " + std::to_string(i));
                services.deviceSummary->UpdateMaxBurstLength(static_cast<float>(i % 100) / 10.0f);
                services.testManager->SetTestProgress(20, i % 101);
            });
        });

        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(benchSeconds());
        while (std::chrono::steady_clock::now() < end)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        stop = true;
        frames.join();
        worker.join();
        probe.stop();

        // The drain: until the memo holds every line of the log.
        auto* memo = window.findChild<QPlainTextEdit*>("messagebox");
        const int expected = static_cast<int>(services.log->GetLinesFrom(0).size());
        QElapsedTimer drain;
        drain.start();
        while (memo->blockCount() < expected && drain.elapsed() < 10000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        const double drainMs = static_cast<double>(drain.elapsed());

        std::sort(lateness.begin(), lateness.end());
        const double p99 = lateness.empty() ? 0.0 : lateness[lateness.size() * 99 / 100];
        state.counters["p99_lateness_ms"] = p99;
        state.counters["max_lateness_ms"] = lateness.empty() ? 0.0 : lateness.back();
        state.counters["median_lateness_ms"] = lateness.empty() ? 0.0 : lateness[lateness.size() / 2];
        state.counters["probes"] = static_cast<double>(lateness.size());
        state.counters["drain_ms"] = drainMs;
        state.counters["lines"] = expected;
        state.counters["lines_shown"] = memo->blockCount();
        window.close();
        services.Shutdown();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(BM_MainWindowUnderLoad)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
