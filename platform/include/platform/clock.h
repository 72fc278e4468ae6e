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

// A thread calling `tick` every `periodUs` at absolute deadlines (no drift). If the callback
// overruns, missed deadlines are skipped, not bunched. Stops and joins on destruction.
class PeriodicTimer {
public:
    PeriodicTimer(uint32_t periodUs, std::function<void()> tick);
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;
    void stop();
private:
    void run();
    uint32_t periodUs_;
    std::function<void()> tick_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace ostrel::platform
