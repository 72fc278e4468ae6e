#pragma once
// The program-wide service objects, made once at start in a fixed order and deleted in the reverse
// order at the end, and the start-up function that brings the program up and down around them.
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log.h"
#include "test_manager.h"
#include "user_prompt.h"

class QObject;

namespace ostrel::vessolt {

class Services {
public:
    // Told after each service is made and before each is deleted (diagnostics, tests).
    using SlotObserver = std::function<void(const char* service, bool created)>;

    // Makes the services in order. A later one may use any made before it: each slot is filled
    // before the next constructor runs.
    explicit Services(UserPrompt& prompt, SlotObserver observer = {});
    ~Services();
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    // Ends a test run and joins its worker, closes the hardware and stops received frames from
    // reaching the services. Done once; the forms go after this and before the services.
    void StopActivity();
    // StopActivity, then deletes the services in the reverse order of their making. Done once.
    void Shutdown();

    UserPrompt& prompt() { return prompt_; }

    // In the order of their making.
    std::unique_ptr<TTestManager> testManager;
    std::unique_ptr<TLog> log;

private:
    template <typename T, typename... Args>
    T& create(std::unique_ptr<T>& slot, const char* name, Args&&... args) {
        slot = std::make_unique<T>(std::forward<Args>(args)...);
        created_.emplace_back(name, [&slot] { slot.reset(); });
        if (observer_)
            observer_(name, true);
        return *slot;
    }
    void make();
    [[nodiscard]] TestManagerHooks testManagerHooks();

    UserPrompt& prompt_;
    SlotObserver observer_;
    std::vector<std::pair<const char*, std::function<void()>>> created_;
    bool stopped_ = false;
    bool deleted_ = false;
};

// What the start-up function is given, so that it runs without a display in tests.
struct StartupParts {
    std::string driverName;
    UserPrompt* prompt = nullptr;
    // The forms, made in this order after the services; deleted in reverse after the message loop.
    std::vector<std::function<std::unique_ptr<QObject>(Services&)>> forms;
    // Runs until the main window has closed.
    std::function<void()> messageLoop;
    // Shows an exception that reached the start-up function.
    std::function<void(const std::string& what)> showException;
    // From here on nobody waits for the user: the shut-down must not hang on a question.
    std::function<void()> beginShutdown;
    Services::SlotObserver observer;
};

// Starts the CANopen library, makes the services and the forms, runs the message loop, then takes
// everything down again. An exception on the way is shown once and the shut-down still runs.
int StartupSequence(const StartupParts& parts);

} // namespace ostrel::vessolt
