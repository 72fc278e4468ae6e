// SDO client speed with the post-transmit delay 0:
// - expedited round trips per second and block-transfer throughput (bytes per second) against the
//   fixture's simulated node on the in-process test bus;
// - expedited round trips per second through the CAN server, against the PC SDO server hosted by a
//   second client process (drennic_sdo_e2e_peer from the program's folder, when it was built), with
//   the median and 99th percentile of one round trip in microseconds.
#include "library_state.h"
#include "testbus.h"
#include "testbus_devices.h"

#include <drennic/drennic.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint8_t kNode = 5;
constexpr uint16_t kBigObject = 0x2100;
constexpr auto kCompletionWait = std::chrono::seconds(30);

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    int32_t code = 1;

    static void onComplete(ResultBlock* result, void* user) {
        auto* self = static_cast<Completion*>(user);
        {
            std::lock_guard lock(self->mutex);
            self->code = result->code;
            self->completed = true;
        }
        self->done.notify_all();
    }
    int32_t wait() {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, kCompletionWait, [&] { return completed; })) {
            lock.unlock();
            CANopen_Cancel();
            lock.lock();
            (void)done.wait_for(lock, kCompletionWait, [&] { return completed; });
        }
        return completed ? code : 1;
    }
};

int32_t upload(uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer, uint32_t capacity) {
    uint32_t size = capacity;
    Completion completion;
    int32_t out = -99;
    CANopen_SDOUpload(node, index, subIndex, buffer, &size, nullptr, Completion::onComplete, &completion, &out);
    return out != 0 ? out : completion.wait();
}

int32_t download(uint8_t node, uint16_t index, uint8_t subIndex, const std::vector<uint8_t>& data) {
    Completion completion;
    int32_t out = -99;
    CANopen_SDODownload(node, index, subIndex, data.data(), static_cast<uint32_t>(data.size()), nullptr,
                        Completion::onComplete, &completion, &out);
    return out != 0 ? out : completion.wait();
}

// The library on the test bus with one simulated node that has a large DOMAIN object.
class InProcessScene {
public:
    InProcessScene() {
        drennic::resetLibraryState();
        bus_ = std::make_unique<drennic::TestBus>();
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
        devices_ = std::make_unique<ostrel::fixtures::TestBusDevices>(*bus_);
        ostrel::fixtures::SimNodeConfig config;
        config.nodeId = kNode;
        config.sendBootUp = false;
        auto dictionary = ostrel::fixtures::SimObjectDictionary::fullProfile();
        dictionary.addBytes(kBigObject, 0, "Transfer", ostrel::fixtures::SimDataType::Domain,
                            ostrel::fixtures::SimAccess::ReadWrite, {}, 1 << 20);
        node_ = &devices_->bus().addNode(config, std::move(dictionary));
        devices_->start();
        ResultBlock result{};
        Hardware_Initialize(1, u"bench", 0, 0, &result);
        ok_ = result.code == DRN_OK;
    }
    ~InProcessScene() {
        Hardware_Close();
        devices_.reset();
        CANopenDLL_Shutdown();
        bus_.reset();
        drennic::resetLibraryState();
    }
    InProcessScene(const InProcessScene&) = delete;
    InProcessScene& operator=(const InProcessScene&) = delete;

    [[nodiscard]] bool ok() const { return ok_; }
    ostrel::fixtures::SimNode& node() { return *node_; }

private:
    std::unique_ptr<drennic::TestBus> bus_;
    std::unique_ptr<ostrel::fixtures::TestBusDevices> devices_;
    ostrel::fixtures::SimNode* node_ = nullptr;
    bool ok_ = false;
};

void BM_ExpeditedRoundTrip(benchmark::State& state) {
    InProcessScene scene;
    if (!scene.ok()) {
        state.SkipWithError("hardware not initialised");
        return;
    }
    uint8_t buffer[4];
    for (auto _ : state) {
        if (upload(kNode, 0x1018, 1, buffer, sizeof buffer) != DRN_OK) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExpeditedRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

void BM_BlockDownload(benchmark::State& state) {
    InProcessScene scene;
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    CANopen_SetSDOConfig(1, 28, 1, 127);
    for (auto _ : state) {
        if (download(kNode, kBigObject, 0, data) != DRN_OK) {
            state.SkipWithError("download failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_BlockDownload)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_BlockUpload(benchmark::State& state) {
    InProcessScene scene;
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<uint8_t> data(size, 0x5A);
    (void)scene.node().write(kBigObject, 0, data);
    std::vector<uint8_t> buffer(size + 2);
    CANopen_SetSDOConfig(1, 28, 1, 127);
    for (auto _ : state) {
        if (upload(kNode, kBigObject, 0, buffer.data(), static_cast<uint32_t>(buffer.size())) != DRN_OK) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_BlockUpload)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_SegmentedUpload(benchmark::State& state) {
    InProcessScene scene;
    const auto size = static_cast<std::size_t>(state.range(0));
    (void)scene.node().write(kBigObject, 0, std::vector<uint8_t>(size, 0xA5));
    std::vector<uint8_t> buffer(size);
    CANopen_SetSDOConfig(0, 28, 1, 127);
    for (auto _ : state) {
        if (upload(kNode, kBigObject, 0, buffer.data(), static_cast<uint32_t>(buffer.size())) != DRN_OK) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_SegmentedUpload)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// ---- Through the CAN server --------------------------------------------------------------------

std::string programFolder() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

// The peer process that hosts the PC SDO server, driven line by line; killed and reaped at the end.
class Peer {
public:
    explicit Peer(const std::string& path) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Peer() {
        if (stdin_ >= 0) {
            const std::string quit = "quit\n";
            (void)::write(stdin_, quit.data(), quit.size());
            ::close(stdin_);
        }
        if (stdout_ >= 0) ::close(stdout_);
        if (pid_ > 0) {
            for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) ::usleep(20'000);
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::string ask(const std::string& command) {
        const std::string line = command + "\n";
        if (stdin_ < 0 || ::write(stdin_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
        std::string text;
        for (;;) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 30'000) <= 0) return {};
            char c = 0;
            if (::read(stdout_, &c, 1) != 1) return {};
            if (c == '\n') return text;
            text.push_back(c);
        }
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

void BM_ExpeditedRoundTripThroughServer(benchmark::State& state) {
    const std::string peerPath = programFolder() + "/drennic_sdo_e2e_peer";
    if (::access(peerPath.c_str(), X_OK) != 0 || ::access((programFolder() + "/halvorn").c_str(), X_OK) != 0) {
        state.SkipWithError("drennic_sdo_e2e_peer or halvorn not built");
        return;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const std::string ns = "bench-sdo-" + std::to_string(::getpid());
    ::setenv("OSTREL_IPC_NAMESPACE", ns.c_str(), 1);
    drennic::resetLibraryState();
    std::optional<Peer> peer;
    peer.emplace(peerPath);
    if (peer->ask("startup") != "ok" || peer->ask("init 1") != "result 0 " || peer->ask("delay 0") != "ok" ||
        peer->ask("server 66 0x191 1 2 3 4") != "out 0") {
        state.SkipWithError("peer did not start");
        return;
    }
    CANopenDLL_Startup(1, u"");
    CANopen_SetPostTransmitDelay(0);
    CANopen_SetSDOTimeout(2000);
    ResultBlock result{};
    Hardware_Initialize(1, u"bench", 0, 0, &result);
    uint8_t buffer[4];
    if (result.code != DRN_OK || upload(66, 0x1000, 0, buffer, sizeof buffer) != DRN_OK) {
        state.SkipWithError("no SDO answer through the CAN server");
    } else {
        std::vector<double> roundTripsUs;
        roundTripsUs.reserve(static_cast<std::size_t>(state.max_iterations));
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            if (upload(66, 0x1018, 1, buffer, sizeof buffer) != DRN_OK) {
                state.SkipWithError("upload failed");
                break;
            }
            roundTripsUs.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
        state.SetItemsProcessed(state.iterations());
        if (!roundTripsUs.empty()) {
            std::sort(roundTripsUs.begin(), roundTripsUs.end());
            state.counters["median_us"] = roundTripsUs[roundTripsUs.size() / 2];
            state.counters["p99_us"] = roundTripsUs[(roundTripsUs.size() - 1) * 99 / 100];
        }
    }
    Hardware_Close();
    CANopenDLL_Shutdown();
    (void)peer->ask("close");
    (void)peer->ask("shutdown");
    peer.reset();
    drennic::resetLibraryState();
}
BENCHMARK(BM_ExpeditedRoundTripThroughServer)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(500);

} // namespace

BENCHMARK_MAIN();
