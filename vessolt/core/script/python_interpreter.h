#pragma once
// The one embedded interpreter of the program: started at first use, finalised at process exit.
// Starting it again after a finalisation is not safe for static extension types, so it is never
// restarted. Include Python.h before this header.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace ostrel::vessolt::script {

// Starts the interpreter when it is not running (registering the Norbix module first). Returns
// false with a reason when it cannot start. The caller holds no GIL; afterwards neither does it.
[[nodiscard]] bool ensureInterpreter(std::string& error);

// Held for a whole run: runs share sys.modules and the standard streams, so they never overlap.
// Taken before the GIL.
[[nodiscard]] std::mutex& runMutex();

// Holds the GIL for a scope on any thread.
class GilGuard {
public:
    GilGuard() : state_(PyGILState_Ensure()) {}
    ~GilGuard() { PyGILState_Release(state_); }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    PyGILState_STATE state_;
};

// Stops the script running on the constructing thread once `limit` has passed: a watchdog raises
// TimeoutError in it at its next bytecode boundary, and again every 100 ms for a script that catches
// it. Constructed and destroyed with the GIL held; the destructor lets the GIL go while the watchdog
// ends, and withdraws a stop that arrived after the script had finished.
class ScriptTimeLimit {
public:
    explicit ScriptTimeLimit(std::chrono::milliseconds limit);
    ~ScriptTimeLimit();
    ScriptTimeLimit(const ScriptTimeLimit&) = delete;
    ScriptTimeLimit& operator=(const ScriptTimeLimit&) = delete;

    [[nodiscard]] bool expired() const { return expired_.load(); }

private:
    void watch();

    const std::chrono::milliseconds limit_;
    const unsigned long runThread_;
    std::atomic<bool> expired_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;  // last: starts once the rest is built
};

} // namespace ostrel::vessolt::script
