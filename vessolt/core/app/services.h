#pragma once
// The program-wide service objects, made once at start in a fixed order and deleted in the reverse
// order at the end, and the start-up function that brings the program up and down around them.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "services/canopen_api.h"
#include "testing/common_test.h"
#include "services/device_summary.h"
#include "expressions/expressions.h"
#include "testing/global_test_config.h"
#include "services/hardware_config.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "script/ratings_script.h"
#include "services/receive_fanout.h"
#include "network/set_node_config.h"
#include "nsm/soft_nsm.h"
#include "network/symbols.h"
#include "testing/test_manager.h"
#include "testing/test_report.h"
#include "services/trace_buffer.h"
#include "services/transmit_table.h"
#include "services/settings_owner.h"
#include "services/user_prompt.h"

class QObject;

namespace ostrel::vessolt {

class Services {
public:
    // Told after each service is made and before each is deleted (diagnostics, tests).
    using SlotObserver = std::function<void(const char* service, bool created)>;

    // Makes the services in order. A later one may use any made before it: each slot is filled
    // before the next constructor runs.
    // `api` is started already and outlives the services; `folder` holds ratings.py (the program's
    // folder).
    Services(CanopenApi& api, UserPrompt& prompt, std::string folder, SlotObserver observer = {});
    ~Services();
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    // Ends a test run and joins its worker, closes the hardware and stops received frames from
    // reaching the services. Done once; the forms go after this and before the services.
    void StopActivity();
    // StopActivity, then deletes the services in the reverse order of their making. Done once.
    void Shutdown();

    // Stores the settings that the services and the registered owners keep in the registry, all in
    // one flush batch, with `also` (the caller's own) among them: the main window's close, so that
    // the user hears of a failure while the window is there. The failure's reason, empty when
    // stored. Once it failed, the last store of the shut-down does not report again.
    [[nodiscard]] std::string StoreSettings(const std::function<void()>& also = {});
    // Windows whose settings StoreSettings takes too; each is removed before it goes.
    void AddSettingsOwner(SettingsOwner& owner) { settingsOwners_.push_back(&owner); }
    void ClearSettingsOwners() { settingsOwners_.clear(); }
    [[nodiscard]] bool SettingsFailureTold() const { return settingsFailureTold_; }

    UserPrompt& prompt() { return prompt_; }
    CanopenApi& api() { return api_; }
    ReceiveFanout& fanout() { return *fanout_; }

    static constexpr int kTransmitEntries = 20;

    // Filled by the hardware dialog's OK before anything runs.
    HardwareConfig hardware;

    // In the order of their making.
    std::unique_ptr<TSymbols> symbols;
    std::unique_ptr<TTestManager> testManager;
    std::unique_ptr<TLog> log;
    std::unique_ptr<TDeviceSummary> deviceSummary;
    std::unique_ptr<TTraceBuffer> traceBuffer;
    std::unique_ptr<TExpressions> expressions;
    std::unique_ptr<TTransmit> transmit;
    std::unique_ptr<TGlobalTestConfig> globalConfig;
    std::unique_ptr<TSetNodeConfig> setNodeConfig;
    std::unique_ptr<TTestReport> testReport;
    std::unique_ptr<TCommonTest> commonTest;
    std::unique_ptr<TNSM> nsm;
    std::unique_ptr<TRatingsScript> ratingsScript;
    std::unique_ptr<TSoftNSM> softNsm;

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

    CanopenApi& api_;
    UserPrompt& prompt_;
    std::string folder_;
    SlotObserver observer_;
    // The receive path's stages; it outlives every service that attaches to it and is dropped only
    // after the library stopped calling it.
    std::unique_ptr<ReceiveFanout> fanout_;
    // The library's last status word, so that each of its reports is logged once (engine thread).
    struct StatusNotes {
        TLog* log = nullptr;
        std::atomic<uint32_t> last{0};
    };
    static void NoteClientStatus(uint32_t status, void* user);
    StatusNotes statusNotes_;
    std::vector<std::pair<const char*, std::function<void()>>> created_;
    bool stopped_ = false;
    bool deleted_ = false;
    std::vector<SettingsOwner*> settingsOwners_;
    bool settingsFailureTold_ = false;
};

// What the start-up function is given, so that it runs without a display in tests.
struct StartupParts {
    std::string driverName;
    // The CANopen library; null for the program's own (the exported functions).
    CanopenApi* api = nullptr;
    // Where ratings.py lives; empty for the program's folder.
    std::string folder;
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

// Why the CAN interface library named in the settings cannot be loaded ("The CAN interface library
// ... cannot be loaded: <reason>"), empty when it loads or none is named (the simulated bus). The
// server loads it in its own process and would only offer no interfaces; this says why.
[[nodiscard]] std::string DriverLibraryProblem(const std::string& name);

} // namespace ostrel::vessolt
