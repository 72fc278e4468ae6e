// Closing the test program: every window and service stores its settings, key by key, the way the
// program does at exit, into a registry filled like the demo's (13 keys, 465 values). "Changed"
// stores new values every time (the slow case); "Unchanged" stores what is there already (the usual
// exit). "Batched" is the program's own exit: the keys closed inside one RegistryFlushBatch, all
// written, then synced, then renamed. The target for either is well under a second, also with the
// disk busy (e.g. stress-ng --io 4 beside it). "BesideUnwrittenGigabyte" is the batched exit while
// another process has just written 1 GiB into the same file system without syncing it: the close
// syncs the store's own files only, so it must not wait for that gigabyte.
#include "platform/registry.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/wait.h>
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
    [[nodiscard]] const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Another process writes `bytes` into `file` and ends without syncing: the data waits in the page
// cache for the kernel's write-back. False when it could not.
bool writeUnsynced(const fs::path& file, std::size_t bytes) {
    const pid_t child = ::fork();
    if (child == 0) {
        static char block[1 << 20];
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        for (std::size_t done = 0; fd >= 0 && done < bytes; done += sizeof block) {
            if (::write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block)) ::_exit(1);
        }
        ::_exit(fd >= 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void saveAllAtExit(benchmark::State& state, bool changed, bool batched = false, std::size_t unwrittenBeside = 0) {
    RegistryFolder folder;
    if (!folder.ok() || saveAll(0) <= 0) {
        state.SkipWithError("no registry folder");
        return;
    }
    int32_t generation = 0;
    int64_t values = 0;
    const fs::path beside = folder.path() / "unwritten.bin";
    for (auto _ : state) {
        if (unwrittenBeside > 0) {
            state.PauseTiming();
            const bool written = writeUnsynced(beside, unwrittenBeside);
            state.ResumeTiming();
            if (!written) {
                state.SkipWithError("the other process could not write its data");
                return;
            }
        }
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
        if (unwrittenBeside > 0) {
            state.PauseTiming();
            ::unlink(beside.c_str());  // its pages go unwritten
            state.ResumeTiming();
        }
    }
    state.counters["values"] = benchmark::Counter(static_cast<double>(values), benchmark::Counter::kAvgIterations);
}

void BM_RegistrySaveAtExitChanged(benchmark::State& state) { saveAllAtExit(state, true); }
void BM_RegistrySaveAtExitUnchanged(benchmark::State& state) { saveAllAtExit(state, false); }
void BM_RegistrySaveAtExitChangedBatched(benchmark::State& state) { saveAllAtExit(state, true, true); }
void BM_RegistrySaveAtExitChangedBatchedBesideUnwrittenGigabyte(benchmark::State& state) {
    saveAllAtExit(state, true, true, std::size_t{1} << 30);
}

} // namespace

BENCHMARK(BM_RegistrySaveAtExitChanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegistrySaveAtExitUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegistrySaveAtExitChangedBatched)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegistrySaveAtExitChangedBatchedBesideUnwrittenGigabyte)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

BENCHMARK_MAIN();
