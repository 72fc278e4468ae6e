// Closing the test program: every window and service stores its settings, key by key, the way the
// program does at exit, into a registry filled like the demo's (13 keys, 465 values). "Changed"
// stores new values every time (the slow case); "Unchanged" stores what is there already (the usual
// exit). "Batched" is the program's own exit: the keys closed inside one RegistryFlushBatch, so the
// disk is synced once for all of them instead of once per key. The target for either is well under
// a second, also with the disk busy (e.g. stress-ng --io 4 beside it).
#include "platform/registry.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <unistd.h>

using ostrel::platform::RegistryFlushBatch;
using ostrel::platform::RegistryKey;
using ostrel::platform::RegistryRoot;
namespace fs = std::filesystem;

namespace {

struct DemoKey {
    const char* name;
    int integers;
    int strings;
};

// The demo's keys under the product key, with the number of values each holds after an exit.
constexpr DemoKey kDemoKeys[] = {
    {"", 0, 2},
    {"\\main", 7, 0},
    {"\\global", 4, 1},
    {"\\testmanager", 15, 0},
    {"\\testreport", 0, 1},
    {"\\networkconfig", 4, 1},
    {"\\Object Dictionary Scan", 14, 0},
    {"\\PDO Analysis", 23, 0},
    {"\\TPDO Sync", 19, 2},
    {"\\TPDO Sync + RPDOs", 91, 2},
    {"\\TPDO Event", 19, 2},
    {"\\TPDO Event + RPDOs", 91, 2},
    {"\\PDO Turnaround", 163, 2},
};
constexpr const char* kProductKey = "Software\\Ostrel\\CANopen Norbix Eval";

// One exit: each key opened, its values written one by one, the key closed.
int64_t saveAll(int32_t generation) {
    int64_t written = 0;
    for (const DemoKey& demo : kDemoKeys) {
        auto key = RegistryKey::create(RegistryRoot::CurrentUser, std::string(kProductKey) + demo.name);
        if (!key) return -1;
        for (int i = 0; i < demo.integers; ++i)
            written += key->writeInteger("value" + std::to_string(i), generation + i) ? 1 : 0;
        for (int i = 0; i < demo.strings; ++i)
            written += key->writeString("text" + std::to_string(i), "/home/user/setting " + std::to_string(generation)) ? 1 : 0;
    }
    return written;
}

class RegistryFolder {
public:
    RegistryFolder() {
        std::string pattern = (fs::temp_directory_path() / "registry-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", path_.c_str(), 1);
    }
    ~RegistryFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    [[nodiscard]] bool ok() const { return !path_.empty(); }

private:
    fs::path path_;
};

void saveAllAtExit(benchmark::State& state, bool changed, bool batched = false) {
    RegistryFolder folder;
    if (!folder.ok() || saveAll(0) <= 0) {
        state.SkipWithError("no registry folder");
        return;
    }
    int32_t generation = 0;
    int64_t values = 0;
    for (auto _ : state) {
        std::optional<RegistryFlushBatch> batch;
        if (batched) batch.emplace();
        const int64_t written = saveAll(changed ? ++generation : 0);
        if (batch && !batch->commit()) {
            state.SkipWithError("the batch could not be stored");
            return;
        }
        if (written < 0) {
            state.SkipWithError("a key could not be opened");
            return;
        }
        values += written;
    }
    state.counters["values"] = benchmark::Counter(static_cast<double>(values), benchmark::Counter::kAvgIterations);
}

void BM_RegistrySaveAtExitChanged(benchmark::State& state) { saveAllAtExit(state, true); }
void BM_RegistrySaveAtExitUnchanged(benchmark::State& state) { saveAllAtExit(state, false); }
void BM_RegistrySaveAtExitChangedBatched(benchmark::State& state) { saveAllAtExit(state, true, true); }

} // namespace

BENCHMARK(BM_RegistrySaveAtExitChanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegistrySaveAtExitUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegistrySaveAtExitChangedBatched)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
