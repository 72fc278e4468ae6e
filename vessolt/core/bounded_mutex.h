#pragma once
// The services' lock: every access waits a bounded time for it and skips its work on time-out.
//
// Not std::timed_mutex: its wait on the steady clock goes through pthread_mutex_clocklock, which the
// thread sanitizer of our tool chain does not intercept, so it would report every unlock as wrong
// and hide the real findings. Contention is rare and short here; retrying try_lock is enough.
#include <chrono>
#include <mutex>
#include <thread>

namespace ostrel::vessolt {

class BoundedMutex {
public:
    void lock() { mutex_.lock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

    template <typename Rep, typename Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
        return try_lock_until(std::chrono::steady_clock::now() + wait);
    }

    template <typename Clock, typename Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        for (;;) {
            if (mutex_.try_lock())
                return true;
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(kRetry);
        }
    }

private:
    static constexpr auto kRetry = std::chrono::microseconds(100);
    std::mutex mutex_;
};

} // namespace ostrel::vessolt
