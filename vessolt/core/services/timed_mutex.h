#pragma once
// A process-local mutex with bounded waits on the steady clock, for the services' locks.
//
// std::timed_mutex waits through pthread_mutex_clocklock, which the thread sanitizer of our compiler
// does not follow: every timed lock then looks like a race. This one is a flag under a plain mutex and
// a condition variable, which the sanitizer understands; it is a TimedLockable, so std::unique_lock
// with a duration works as with std::timed_mutex.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ostrel::vessolt {

class TimedMutex {
public:
    TimedMutex() = default;
    TimedMutex(const TimedMutex&) = delete;
    TimedMutex& operator=(const TimedMutex&) = delete;

    void lock() {
        std::unique_lock guard(state_);
        released_.wait(guard, [this] { return !locked_; });
        locked_ = true;
    }

    [[nodiscard]] bool try_lock() {
        std::lock_guard guard(state_);
        if (locked_)
            return false;
        locked_ = true;
        return true;
    }

    template <class Rep, class Period>
    [[nodiscard]] bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
        return try_lock_until(std::chrono::steady_clock::now() + timeout);
    }

    template <class Clock, class Duration>
    [[nodiscard]] bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        std::unique_lock guard(state_);
        if (!released_.wait_until(guard, deadline, [this] { return !locked_; }))
            return false;
        locked_ = true;
        return true;
    }

    void unlock() {
        {
            std::lock_guard guard(state_);
            locked_ = false;
        }
        released_.notify_one();
    }

private:
    std::mutex state_;
    std::condition_variable released_;
    bool locked_ = false;
};

} // namespace ostrel::vessolt
