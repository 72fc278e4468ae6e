// Monotonic and wall clocks, sleeping, and the 1 ms periodic timer.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

namespace ostrel::platform {
namespace {

constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kNsPerMs = 1000 * 1000;
constexpr uint64_t kNsPerSecond = 1000 * 1000 * 1000;
// Longest single sleep of the timer thread, so that stop() is seen soon even for long periods.
constexpr uint64_t kMaxSleepSliceNs = 20 * kNsPerMs;

uint64_t monotonicNs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

timespec toTimespec(uint64_t ns) noexcept {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return ts;
}

// Sleeps until the absolute CLOCK_MONOTONIC time, riding out signal interruptions.
void sleepUntilNs(uint64_t deadlineNs) noexcept {
    const timespec deadline = toTimespec(deadlineNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

} // namespace

uint32_t tickMs() noexcept {
    return static_cast<uint32_t>(monotonicNs() / kNsPerMs);
}

uint64_t monotonicUs() noexcept {
    return monotonicNs() / kNsPerUs;
}

int64_t wallSeconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

void sleepMs(uint32_t ms) noexcept {
    if (ms == 0) {
        return;
    }
    sleepUntilNs(monotonicNs() + uint64_t{ms} * kNsPerMs);
}

PeriodicTimer::PeriodicTimer(uint32_t periodUs, std::function<void()> tick)
    : PeriodicTimer(periodUs, std::function<void(uint64_t)>([fn = std::move(tick)](uint64_t) {
                        if (fn) fn();
                    })) {}

PeriodicTimer::PeriodicTimer(uint32_t periodUs, std::function<void(uint64_t)> tick)
    : periodUs_(periodUs == 0 ? 1 : periodUs), tick_(std::move(tick)) {
    thread_ = std::thread([this] { run(); });
}

PeriodicTimer::~PeriodicTimer() {
    stop();
}

void PeriodicTimer::stop() {
    stop_.store(true);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void PeriodicTimer::run() {
    // The default 50 us timer slack of a thread would blur a 1 ms period.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const uint64_t periodNs = uint64_t{periodUs_} * kNsPerUs;
    const uint64_t startNs = monotonicNs();
    uint64_t next = 1;  // number of the next deadline; deadline n is at startNs + n * periodNs
    while (!stop_.load()) {
        const uint64_t deadlineNs = startNs + next * periodNs;
        uint64_t nowNs = monotonicNs();
        if (nowNs < deadlineNs) {
            const uint64_t wakeNs = deadlineNs - nowNs > kMaxSleepSliceNs ? nowNs + kMaxSleepSliceNs : deadlineNs;
            sleepUntilNs(wakeNs);
            continue;
        }
        // Late: serve the latest deadline that has passed once, and count the ones in between.
        const uint64_t latest = (nowNs - startNs) / periodNs;
        if (latest > next) {
            missed_.fetch_add(latest - next, std::memory_order_relaxed);
        }
        calls_.fetch_add(1, std::memory_order_relaxed);
        if (tick_) {
            tick_(latest);
        }
        next = latest + 1;
    }
}

} // namespace ostrel::platform
