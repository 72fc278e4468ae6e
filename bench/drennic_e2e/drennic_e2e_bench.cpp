// The CAN server path end to end: this process is a client that sends (libdrennic.so in mode 1),
// a real server runs the simulated bus, and peer processes (drennic_e2e_bench_peer) receive.
// Every benchmark runs twice: with the reader waiting for the server's pulsed events (arg 0) and
// with the plain 1 ms polling (arg 1, DRENNIC_SC_POLL_ONLY=1). The post-transmit delay is 0.
//
//   OneWayLatency     CAN_Transmit here -> ReceiveCallback in a peer (frames 0.4..0.9 ms apart)
//   SustainedRate     100,000 frames to three peers, paced at 100k or 200k frames/s or at full
//                     speed; time until the last arrives, frames lost
//   RequestRoundTrip  Hardware_GetBaudrate: median and 99th percentile of one request
//   RateBesideAStoppedClient
//                     frames/s to one peer over 10 s, sent at 2,000 frames/s, while another peer
//                     that looked at the server's pulsed events without pause is stopped (arg 1)
//                     or runs (arg 0)
#include "bench_frames.h"

#include <drennic/drennic.h>
#include <halvorn/server_block.h>
#include <platform/clock.h>
#include <platform/ipc.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace drennic::bench;

constexpr uint32_t kRateFrames = 100'000;
constexpr int kAnswerWaitMs = 60'000;

std::string programDir() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

// Processes below this one (the peers and the server they share).
std::vector<pid_t> descendants() {
    std::vector<std::pair<pid_t, pid_t>> all;  // pid, parent
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        pid_t pid = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc()) continue;
        std::ifstream in("/proc/" + name + "/stat");
        std::string text;
        if (!std::getline(in, text)) continue;
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (state != 'Z') all.emplace_back(pid, parent);
    }
    std::vector<pid_t> found;
    std::vector<pid_t> frontier{::getpid()};
    while (!frontier.empty()) {
        const pid_t parent = frontier.back();
        frontier.pop_back();
        for (const auto& [pid, p] : all) {
            if (p == parent) {
                found.push_back(pid);
                frontier.push_back(pid);
            }
        }
    }
    return found;
}

void reapChildren() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Waits until nothing runs below this process (the server ends after its last client), then
// kills what is left.
void awaitQuietOrKill(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!descendants().empty() && std::chrono::steady_clock::now() < deadline) {
        reapChildren();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int round = 0; round < 50 && !descendants().empty(); ++round) {
        for (pid_t pid : descendants()) ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        reapChildren();
    }
    reapChildren();
}

class Peer {
public:
    Peer() {
        const std::string path = programDir() + "/drennic_e2e_bench_peer";
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
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
        if (stdin_ >= 0) ::close(stdin_);  // the peer ends at the end of its input
        if (stdout_ >= 0) ::close(stdout_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    std::vector<std::string> ask(const std::string& command) {
        const std::string line = command + "\n";
        if (stdin_ < 0 || ::write(stdin_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::istringstream words(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
                std::vector<std::string> w;
                for (std::string word; words >> word;) w.push_back(word);
                return w;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return {};
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffer_;
};

uint64_t numberAt(const std::vector<std::string>& w, std::size_t i) {
    uint64_t value = 0;
    if (i < w.size()) (void)std::from_chars(w[i].data(), w[i].data() + w[i].size(), value);
    return value;
}

// This process as the sending client, plus `peerCount` receiving peers, all in one reader mode.
class Session {
public:
    Session(bool pollOnly, int peerCount) {
        ::setenv("DRENNIC_SC_POLL_ONLY", pollOnly ? "1" : "0", 1);
        CANopenDLL_Startup(1, u"");
        ResultBlock r{};
        Hardware_Initialize(kNetwork, u"bench sender", 0, 0, &r);
        CANopen_SetPostTransmitDelay(0);
        ok_ = r.code == DRN_OK;
        for (int i = 0; i < peerCount && ok_; ++i) {
            peers_.push_back(std::make_unique<Peer>());
            ok_ = peers_.back()->ask("startup") == std::vector<std::string>{"result", "0"};
        }
    }
    ~Session() {
        peers_.clear();
        Hardware_Close();
        CANopenDLL_Shutdown();
        awaitQuietOrKill(10'000);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    [[nodiscard]] bool ok() const { return ok_; }
    std::vector<std::unique_ptr<Peer>>& peers() { return peers_; }

private:
    bool ok_ = false;
    std::vector<std::unique_ptr<Peer>> peers_;
};

bool transmit(uint32_t id, const uint8_t* data) {
    CANFrame frame{};
    frame.id = id;
    frame.length = 8;
    std::copy(data, data + 8, frame.data);
    ResultBlock r{};
    CAN_Transmit(&frame, &r);
    return r.code == DRN_OK;
}

const char* modeLabel(const benchmark::State& state) { return state.range(0) == 0 ? "events" : "poll-1ms"; }

template <typename Values>
double quantile(Values v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[static_cast<std::size_t>(q * (v.size() - 1))]);
}

void BM_OneWayLatency(benchmark::State& state) {
    Session session(state.range(0) != 0, 1);
    if (!session.ok()) {
        state.SkipWithError("session did not start");
        return;
    }
    Peer& peer = *session.peers()[0];
    uint32_t jitter = 12345;
    uint8_t data[8];
    const auto sendSpaced = [&] {
        writeSendTime(data, ostrel::platform::monotonicUs());
        (void)transmit(kLatencyId, data);
        jitter = jitter * 1103515245u + 12345u;
        const uint64_t until = ostrel::platform::monotonicUs() + 400 + (jitter >> 16) % 500;
        while (ostrel::platform::monotonicUs() < until) {
        }
    };
    for (int i = 0; i < 200; ++i) sendSpaced();  // warm up
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    (void)peer.ask("latency");

    for (auto _ : state) sendSpaced();

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto w = peer.ask("latency");
    state.SetLabel(modeLabel(state));
    state.counters["frames"] = static_cast<double>(numberAt(w, 1));
    state.counters["median_us"] = static_cast<double>(numberAt(w, 2));
    state.counters["p99_us"] = static_cast<double>(numberAt(w, 3));
    state.counters["max_us"] = static_cast<double>(numberAt(w, 4));
}
BENCHMARK(BM_OneWayLatency)->Arg(0)->Arg(1)->Iterations(4000)->Unit(benchmark::kMicrosecond);

// Arg 1: the sender's pace in frames per second (0: as fast as CAN_Transmit returns).
void BM_SustainedRate(benchmark::State& state) {
    Session session(state.range(0) != 0, 3);
    const auto pace = static_cast<uint64_t>(state.range(1));
    if (!session.ok()) {
        state.SkipWithError("session did not start");
        return;
    }
    uint64_t lost = 0;
    uint64_t disordered = 0;
    double slowestRate = 1e12;
    for (auto _ : state) {
        uint8_t data[8] = {0, 0, 0, 0, 0x5A, 0x5A, 0x5A, 0x5A};
        const uint64_t start = ostrel::platform::monotonicUs();
        for (uint32_t n = 0; n < kRateFrames; ++n) {
            if (pace != 0) {
                const uint64_t due = start + uint64_t{n} * 1'000'000 / pace;
                while (ostrel::platform::monotonicUs() < due) {
                }
            }
            writeSequence(data, n);
            (void)transmit(kSequenceId, data);
        }
        uint64_t lastArrival = start;
        for (auto& peer : session.peers()) {
            const auto w = peer->ask("rate " + std::to_string(kRateFrames) + " 30000");
            lost += kRateFrames - std::min<uint64_t>(numberAt(w, 1), kRateFrames);
            disordered += numberAt(w, 2) == 1 ? 0 : 1;
            lastArrival = std::max(lastArrival, numberAt(w, 3));
        }
        const double seconds = static_cast<double>(lastArrival - start) / 1e6;
        state.SetIterationTime(seconds);
        slowestRate = std::min(slowestRate, kRateFrames / seconds);
    }
    state.SetLabel(modeLabel(state));
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(kRateFrames), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["slowest_frames_per_s"] = slowestRate;
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["out_of_order_runs"] = static_cast<double>(disordered);
}
BENCHMARK(BM_SustainedRate)
    ->ArgsProduct({{0, 1}, {100'000, 200'000, 0}})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_RequestRoundTrip(benchmark::State& state) {
    Session session(state.range(0) != 0, 0);
    if (!session.ok()) {
        state.SkipWithError("session did not start");
        return;
    }
    std::vector<uint64_t> durations;
    durations.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const uint64_t start = ostrel::platform::monotonicUs();
        benchmark::DoNotOptimize(Hardware_GetBaudrate(kNetwork));
        durations.push_back(ostrel::platform::monotonicUs() - start);
    }
    state.SetLabel(modeLabel(state));
    state.counters["median_us"] = quantile(durations, 0.5);
    state.counters["p99_us"] = quantile(durations, 0.99);
}
BENCHMARK(BM_RequestRoundTrip)->Arg(0)->Arg(1)->Iterations(3000)->Unit(benchmark::kMicrosecond);

// Stops the peer until a pulse of the receive event is held up (the peer was inside the event
// then), at most 20 times; true when one was held up.
bool stopInsideTheEvent(pid_t peer) {
    auto event = ostrel::platform::NamedEvent::open(ostrel::halvorn::kReceiveEventName,
                                                    ostrel::platform::EventReset::Manual);
    for (int attempt = 0; event && attempt < 20; ++attempt) {
        if (attempt > 0) {
            ::kill(peer, SIGCONT);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(peer, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t start = ostrel::platform::monotonicUs();
        event->pulse();
        if (ostrel::platform::monotonicUs() - start > 1'000'000) return true;
    }
    return false;
}

void BM_RateBesideAStoppedClient(benchmark::State& state) {
    constexpr uint64_t kWindowUs = 10'000'000;
    constexpr uint64_t kPace = 2'000;
    Session session(false, 2);
    if (!session.ok()) {
        state.SkipWithError("session did not start");
        return;
    }
    Peer& receiver = *session.peers()[0];
    Peer& other = *session.peers()[1];
    (void)other.ask("poll");
    const bool held = state.range(0) != 0 && stopInsideTheEvent(other.pid());
    if (state.range(0) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    uint64_t sent = 0;
    uint64_t received = 0;
    for (auto _ : state) {
        uint8_t data[8] = {};
        const uint64_t start = ostrel::platform::monotonicUs();
        for (uint64_t now = start; now - start < kWindowUs; now = ostrel::platform::monotonicUs()) {
            if (sent * 1'000'000 / kPace > now - start) continue;
            writeSequence(data, static_cast<uint32_t>(sent));
            (void)transmit(kSequenceId, data);
            ++sent;
        }
        const auto w = receiver.ask("rate " + std::to_string(sent) + " 30000");
        received = numberAt(w, 1);
        state.SetIterationTime(static_cast<double>(std::max(numberAt(w, 3), start + 1) - start) / 1e6);
    }
    if (state.range(0) != 0) ::kill(other.pid(), SIGCONT);
    state.SetLabel(state.range(0) != 0 ? "other client stopped" : "other client runs");
    state.counters["sent"] = static_cast<double>(sent);
    state.counters["received"] = static_cast<double>(received);
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
    state.counters["stopped_inside_event"] = held ? 1 : 0;
}
BENCHMARK(BM_RateBesideAStoppedClient)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // A namespace and registry of our own, so that a run never meets a running server or test.
    const std::string ns = "bench-e2e-" + std::to_string(::getpid());
    ::setenv("OSTREL_IPC_NAMESPACE", ns.c_str(), 1);
    std::string registry = (std::filesystem::temp_directory_path() / "drennic-e2e-bench-XXXXXX").string();
    if (::mkdtemp(registry.data()) != nullptr) ::setenv("OSTREL_REGISTRY_DIR", registry.c_str(), 1);
    // The server outlives the peer that started it: adopt it, so that it is reaped here.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    awaitQuietOrKill(0);
    std::error_code ec;
    std::filesystem::remove_all(registry, ec);
    ostrel::platform::removeStaleObjects();
    return 0;
}
