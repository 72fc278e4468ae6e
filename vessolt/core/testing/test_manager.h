#pragma once
// The registry and runner of the device tests. Tests register a record of callbacks; the manager
// keeps their order, enabled flags, status and progress, runs them one after the other on its own
// worker thread and tells registered windows about changes.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "services/timed_mutex.h"
#include "services/message_sink.h"

struct _object;  // a Python object (the script module); no Python header here
class QObject;   // the window that asks for the configuration dialog

namespace ostrel::platform {
class IniFile;
}

namespace ostrel::vessolt {

class TLog;
struct StoredValues;
class IConfigPage;  // a test's settings page, shown by the test configuration dialog

enum TestStatus : int32_t {
    NOTSTARTED = 0,
    RUNNING = 1,
    PASSED = 2,
    WARNING = 3,
    FAILED = 4,
    CANCELLED = 5,
};

// What a test hands over when it registers. Every callback may be empty: the manager then skips it.
struct TestRegistration {
    std::string name;
    std::function<void()> Run{};
    std::function<void()> Cancel{};
    std::function<void()> ShowWindow{};
    std::function<void(platform::IniFile&)> SaveSettings{};
    std::function<void(platform::IniFile&)> LoadSettings{};
    std::function<void(std::FILE*, int)> WriteReport{};
    std::function<void(struct _object*)> RegisterPythonTypes{};
    IConfigPage* ConfigPage = nullptr;
};

// One registered test, copied in and out by value.
struct TEST {
    std::string name;
    int32_t testid = 0;
    bool enabled = true;
    int32_t progress = 0;
    int32_t status = NOTSTARTED;
    std::function<void()> Run{};
    std::function<void()> Cancel{};
    std::function<void()> ShowWindow{};
    std::function<void(platform::IniFile&)> SaveSettings{};
    std::function<void(platform::IniFile&)> LoadSettings{};
    std::function<void(std::FILE*, int)> WriteReport{};
    std::function<void(struct _object*)> RegisterPythonTypes{};
    IConfigPage* ConfigPage = nullptr;
};

// What the manager calls in services and windows made after it. Each may be empty.
struct TestManagerHooks {
    // The message log; the log is made after the manager, so it is looked up when used.
    std::function<TLog*()> log{};
    std::function<void()> clearDeviceSummary{};
    // The software support module, started before and stopped after a run (on the worker).
    std::function<void()> startSupportModule{};
    std::function<void()> stopSupportModule{};
    // The "Global Configuration" section of a test configuration file, handled before the tests'.
    std::function<bool(platform::IniFile&)> saveGlobalConfig{};  // false: a value was not written
    std::function<void(platform::IniFile&)> loadGlobalConfig{};
};

class TTestManager {
public:
    static constexpr int kMaxTests = 100;
    static constexpr int32_t kAllTests = 0xFFFF;

    explicit TTestManager(TestManagerHooks hooks = {});
    TTestManager(TLog& log, TestManagerHooks hooks = {});
    // Cancels and joins a run still under way, then stores the order in the registry.
    ~TTestManager();
    TTestManager(const TTestManager&) = delete;
    TTestManager& operator=(const TTestManager&) = delete;

    // Registration and queries.
    void AddTest(int32_t testid, const TestRegistration& record);
    int32_t GetFirstTest(TEST& out);
    int32_t GetNextTest(TEST& out);
    bool GetTest(int32_t testid, TEST& out) const;
    [[nodiscard]] int IndexOf(int32_t testid) const;
    [[nodiscard]] IConfigPage* GetTestConfigPage(int32_t testid) const;
    [[nodiscard]] int GetTestCount() const;
    void ShowTestWindow(int32_t testid);
    // Opens the test configuration dialog on the test's page, over the calling window (a widget;
    // none: the dialog's owner); the dialog installs the handler.
    void ConfigureTest(int32_t testid, QObject* caller = nullptr);
    void SetConfigureTestHandler(std::function<void(int32_t testid, IConfigPage* page, QObject* caller)> handler);

    // Order and enabled flags.
    void MoveTestUp(int32_t testid);
    void MoveTestDown(int32_t testid);
    void EnableTest(int32_t testid);
    void DisableTest(int32_t testid);

    // Running.
    void RunAllTests();
    void RunTest(int32_t testid);
    void CancelTests();
    // True from a cancel until the next run starts.
    [[nodiscard]] bool IsCancelling() const { return cancel_.load(); }
    // Returns once the run has ended and its worker is joined. Not for the GUI thread while a test
    // may wait on it (a prompt); the main window polls GetRunState instead.
    void WaitForTestThread();
    [[nodiscard]] int GetRunState() const { return runState_.load(); }
    // The id of the test whose Run executes now, 0 when none.
    [[nodiscard]] int32_t GetRunningTestId() const { return runningId_.load(); }
    void SetTestStatus(int32_t testid, int32_t status);
    void SetTestProgress(int32_t testid, int32_t percent);
    void ResetTest(int32_t testid);
    void ResetAllResults();

    // Listeners.
    void AddTestListListener(MessageSink* sink) { testListListeners_.add(sink); }
    void AddRunStateListener(MessageSink* sink) { runStateListeners_.add(sink); }
    void RemoveTestListListener(MessageSink* sink) { testListListeners_.remove(sink); }
    void RemoveRunStateListener(MessageSink* sink) { runStateListeners_.remove(sink); }

    // Settings and report. SaveSettings keeps the file's other sections and writes it atomically;
    // false when it cannot be read or written (a path that names no regular file, at once), or when
    // the global configuration holds a value that the file cannot (the file then stays as it was). LoadSettings is false (and changes nothing) for an unreadable
    // file or one that holds no section a configuration has. `error`, when given, says why.
    bool SaveSettings(const std::string& fileName, std::string* error = nullptr);
    bool LoadSettings(const std::string& fileName, std::string* error = nullptr);
    void LoadTestOrder();
    void SaveTestOrder();
    void WriteReportSections(std::FILE* file, int layout);
    void RegisterPythonTypes(struct _object* module);

private:
    static constexpr auto kLockWait = std::chrono::milliseconds(500);
    using Lock = std::unique_lock<TimedMutex>;

    [[nodiscard]] Lock lock(const char* what) const;
    [[nodiscard]] int indexOfLocked(int32_t testid) const;
    void moveTest(int32_t testid, int direction);
    void setEnabled(int32_t testid, bool enabled);
    void startRun(int32_t selection);
    void worker(std::vector<int32_t> ids);
    void executeTest(int32_t testid, const std::function<void()>& run);
    void setRunState(int state);
    void joinWorker();
    // The order and enabled flags of the registry key or a file's section; taken whole or not at all.
    void applyStoredOrder(const StoredValues& values, bool fromFile, bool sectionPresent);
    void writeStoredOrder(const std::function<void(const std::string&, int32_t)>& write);
    void addLogLine(const std::string& line);
    [[nodiscard]] std::string nameOf(int32_t testid) const;

    TestManagerHooks hooks_;

    mutable TimedMutex mutex_;  // the table, its iteration position and the dialog handler
    std::vector<TEST> tests_;
    size_t iteration_ = 0;
    std::function<void(int32_t, IConfigPage*, QObject*)> configureHandler_{};

    ListenerList testListListeners_;
    ListenerList runStateListeners_;

    // The run's shared variables: the GUI thread sets them before the worker starts.
    std::atomic<int32_t> selection_{kAllTests};
    std::atomic<bool> cancel_{false};
    std::atomic<int32_t> runningId_{0};
    std::atomic<int> runState_{0};

    std::mutex workerMutex_;  // the thread object itself: started and joined by the GUI thread
    std::thread worker_;
};

// "%H:%M:%S on %d-%b-%Y" with English month names whatever the locale.
[[nodiscard]] std::string formatLogTime(std::time_t when);

} // namespace ostrel::vessolt
