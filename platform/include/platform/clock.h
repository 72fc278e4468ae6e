// Clocks and the periodic timer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace ostrel::platform {

// Milliseconds of CLOCK_MONOTONIC, wrapping at 2^32 like the Windows tick count.
[[nodiscard]] uint32_t tickMs() noexcept;
// Microseconds of CLOCK_MONOTONIC (64-bit, does not wrap in practice).
[[nodiscard]] uint64_t monotonicUs() noexcept;
// Seconds since the epoch (wall clock).
[[nodiscard]] int64_t wallSeconds() noexcept;
// Sleeps for the given milliseconds (0 returns at once).
void sleepMs(uint32_t ms) noexcept;

// A thread calling `tick` every `periodUs` at absolute deadlines start + n * periodUs (no drift).
// If the callback overruns, the deadlines that passed meanwhile are skipped, not bunched: the
// next call comes at once for the latest passed deadline, and the skipped ones are counted as
// missed. The deadline form of the callback receives n (1 for the first deadline).
// stop() joins the thread (from the callback's own thread it only asks it to end); the
// destructor stops. A period of 0 is taken as 1 us.
class PeriodicTimer {
public:
    PeriodicTimer(uint32_t periodUs, std::function<void()> tick);
    PeriodicTimer(uint32_t periodUs, std::function<void(uint64_t deadline)> tick);
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;
    void stop();

    // Callbacks made so far (counted as each begins), and deadlines skipped because a callback
    // overran. Inside the callback for deadline n, calls() + missed() == n.
    [[nodiscard]] uint64_t calls() const noexcept { return calls_.load(std::memory_order_relaxed); }
    [[nodiscard]] uint64_t missed() const noexcept { return missed_.load(std::memory_order_relaxed); }

private:
    void run();
    uint32_t periodUs_;
    std::function<void(uint64_t)> tick_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> calls_{0};
    std::atomic<uint64_t> missed_{0};
    std::thread thread_;
};

} // namespace ostrel::platform
