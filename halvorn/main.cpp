// Halvorn, the CAN server: one instance per user, started on demand by its first client.
//   halvorn [debug]   a nonzero first argument writes the debug log
// It ends when its last client has gone, 120 s after start when no client ever came, or on
// SIGTERM/SIGINT, always through the same shut-down order.
#include "platform/clock.h"
#include "platform/ipc.h"
#include "server.h"
#include "server_log.h"

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

#include <pthread.h>
#include <time.h>

namespace ostrel::halvorn {
namespace {

constexpr uint32_t kMainLoopMs = 1000;
constexpr const char* kSingleRunMutexName = "HalvornMgrSingleRunMutex";

// Held by the main thread for the life of the process. A robust mutex: an instance that crashed
// leaves it to the next one, so the check survives crashes.
class SingleInstance {
public:
    enum class Outcome { First, AlreadyRunning, Failed };

    Outcome acquire() {
        mutex_ = platform::NamedMutex::open(kSingleRunMutexName);
        if (!mutex_) return Outcome::Failed;
        switch (mutex_->lock(0)) {
        case platform::LockResult::Acquired:
        case platform::LockResult::OwnerDied:
            held_ = true;
            return Outcome::First;
        case platform::LockResult::TimedOut:
            mutex_.reset();
            return Outcome::AlreadyRunning;
        case platform::LockResult::Failed:
            break;
        }
        mutex_.reset();
        return Outcome::Failed;
    }
    ~SingleInstance() {
        if (held_) mutex_->unlock();
    }

private:
    std::unique_ptr<platform::NamedMutex> mutex_;
    bool held_ = false;
};

// The first argument read as a decimal number (leading white space and a sign allowed, reading
// stops at the first non-digit): true when it is not zero.
bool debugRequested(std::string_view argument) {
    std::size_t i = 0;
    while (i < argument.size() && std::isspace(static_cast<unsigned char>(argument[i])) != 0) ++i;
    if (i < argument.size() && (argument[i] == '+' || argument[i] == '-')) ++i;
    for (; i < argument.size() && argument[i] >= '0' && argument[i] <= '9'; ++i) {
        if (argument[i] != '0') return true;
    }
    return false;
}

// Sleeps up to `ms`; answers the stop signal that arrived meanwhile.
std::optional<int> waitForStopSignal(const sigset_t& signals, uint32_t ms) {
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(ms / 1000);
    timeout.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000L;
    const uint64_t deadline = platform::monotonicUs() + static_cast<uint64_t>(ms) * 1000;
    for (;;) {
        const int signal = ::sigtimedwait(&signals, nullptr, &timeout);
        if (signal > 0) return signal;
        const uint64_t now = platform::monotonicUs();
        if (now >= deadline) return std::nullopt;
        // Interrupted by some other signal: wait out the rest.
        const uint64_t leftUs = deadline - now;
        timeout.tv_sec = static_cast<time_t>(leftUs / 1'000'000);
        timeout.tv_nsec = static_cast<long>(leftUs % 1'000'000) * 1000L;
    }
}

int serverMain(int argc, char** argv) {
    // The stop signals are taken by the main loop only: blocked before any thread exists, so
    // every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ServerLog log;
    SingleInstance instance;
    switch (instance.acquire()) {
    case SingleInstance::Outcome::First:
        break;
    case SingleInstance::Outcome::AlreadyRunning:
        return 0;
    case SingleInstance::Outcome::Failed:
        std::fprintf(stderr, "halvorn: cannot check for a running server\n");
        return 1;
    }
    if (argc > 1 && debugRequested(argv[1])) (void)log.Open();

    const ServerLimits limits = ServerLimits::fromEnvironment();
    std::unique_ptr<Server> server = Server::Create(log, limits);
    if (!server) {
        log.Print("Stopping the server\n");
        log.Close();
        std::fprintf(stderr, "halvorn: cannot create the shared objects\n");
        return 1;
    }

    // Ages on the monotonic clock: a change of the wall clock neither stops nor keeps the server.
    std::optional<uint64_t> noClientSinceUs;
    for (;;) {
        const ClientCounts counts = server->GetClientCounts();
        if (counts.current > 0) {
            noClientSinceUs.reset();
        } else if (counts.highest > 0) {
            log.Print("Last client just disconnected\n");
            log.Print("Stopping the server\n");
            break;
        } else {
            const uint64_t now = platform::monotonicUs();
            if (!noClientSinceUs) noClientSinceUs = now;
            if (now - *noClientSinceUs >= static_cast<uint64_t>(limits.idleExitMs) * 1000) {
                log.Print("No clients for %d seconds\n", static_cast<int>(limits.idleExitMs / 1000));
                log.Print("Stopping the server\n");
                break;
            }
        }
        if (const std::optional<int> signal = waitForStopSignal(stopSignals, kMainLoopMs)) {
            log.Print("Signal %d received\n", *signal);
            log.Print("Stopping the server\n");
            break;
        }
    }
    server.reset();
    log.Close();
    return 0;
}

} // namespace
} // namespace ostrel::halvorn

int main(int argc, char** argv) { return ostrel::halvorn::serverMain(argc, argv); }
