#pragma once
// The run engine of one timing test: manual cycles at fixed periods, then an optional limit search
// that bisects the period range for the largest period at which the limit expression holds. One
// cycle is the cycle driver's; the engine orders the cycles, checks the alarm and limit expressions,
// tracks progress and sets the final status. It runs on the test manager's worker thread; the
// record is guarded by one mutex so that the settings page and script types copy it safely.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "timing_config.h"
#include "timing_results_table.h"
#include "timing_variant.h"

namespace ostrel::platform {
class IniFile;
}

namespace ostrel::vessolt {

class TExpressions;
struct WindowPlacement;
class TLog;
class TTestManager;

enum TimingCycleResult : int { kCycleFailed = 0, kCycleOk = 1, kCycleWarning = 2, kCycleCancelled = 3 };

// What a cycle driver gets from its engine.
class TimingCycleHost {
public:
    virtual ~TimingCycleHost() = default;
    [[nodiscard]] virtual const TimingVariant& Variant() const = 0;
    // The cancel flag as a byte, for the services that poll one.
    [[nodiscard]] virtual const uint8_t* CancelFlag() const = 0;
    [[nodiscard]] virtual bool Cancelled() const = 0;
    // The same flag for services that take an atomic bool.
    [[nodiscard]] virtual const std::atomic<bool>* CancelRequested() const = 0;
    // Runs f on the record under the record's lock; keep it short (no waits inside).
    virtual void WithRecord(const std::function<void(TimingTestConfig&)>& f) = 0;
    virtual void SetNodeId(uint8_t node) = 0;
    // Rewrites the error-control titles (1 heartbeat, else node guarding) for the cells to come.
    virtual void SetErrorControlMode(uint32_t mode) = 0;
    virtual void SetPdoCounts(uint32_t tpdos, uint32_t rpdos) = 0;
    // Progress of the run with msInCycle spent in the current cycle.
    virtual void ReportProgress(uint64_t msInCycle) = 0;
    virtual void AddElapsed(uint64_t ms) = 0;
    [[nodiscard]] virtual uint64_t GetCycleDuration(uint32_t periodMs) const = 0;
};

// One cycle: finds and sets up the device, stimulates, waits and analyses into row `cycle`.
class TimingCycleDriver {
public:
    virtual ~TimingCycleDriver() = default;
    [[nodiscard]] virtual int RunCycle(int cycle, TimingCycleHost& host) = 0;
};

class TimingTestEngine final : public TimingCycleHost {
public:
    struct Services {
        TTestManager& testManager;
        TLog& log;
        TExpressions& expressions;
        // Called after the results reset at a run's start (test 2 restarts the transmit table).
        std::function<void()> restartTransmit{};
    };

    TimingTestEngine(TimingTestKind kind, Services services, TimingCycleDriver& driver);
    TimingTestEngine(const TimingTestEngine&) = delete;
    TimingTestEngine& operator=(const TimingTestEngine&) = delete;

    // The whole run; ends with a status through the test manager.
    void RunTest();
    // From the GUI thread (the test's Cancel callback).
    void Cancel() {
        cancelRequested_.store(true);
        cancel_.store(1);
    }
    // The cancel flag as the atomic itself, for services that take one.
    [[nodiscard]] const std::atomic<uint8_t>& CancelAtomic() const { return cancel_; }

    // Record operations.
    void GetDefaultConfig(TimingTestConfig& out) const;
    void GetConfig(TimingTestConfig& out) const;
    void CopyConfig(TimingTestConfig& out) const { GetConfig(out); }
    void SetConfig(const TimingTestConfig& in);
    // Replaces the settings fields only (the loaders), then derives the rows and resets the results.
    void ApplyLoadedSettings(const TimingTestConfig& in);
    void ResetResults();
    [[nodiscard]] bool AddSearchCycle(uint32_t periodMs);
    void ShowCycleResults();

    // Persistence. InitSettings: defaults, then the registry; returns the stored window placement
    // for the window to apply. SaveSettings: the settings and the placement the window supplies.
    WindowPlacement InitSettings();
    void SaveSettings(const WindowPlacement& window) const;
    // A test configuration file's section (the test's save and load callbacks).
    void SaveTestConfig(platform::IniFile& file) const;
    void LoadTestConfig(const platform::IniFile& file);

    // The test manager the engine reports to (the report's status, the script types' getters).
    [[nodiscard]] TTestManager& Manager() const { return services_.testManager; }
    [[nodiscard]] TimingResultsTable& Results() { return table_; }
    [[nodiscard]] const TimingResultsTable& Results() const { return table_; }
    [[nodiscard]] uint32_t GetTPDOCount() const { return tpdoCount_.load(); }
    [[nodiscard]] uint32_t GetRPDOCount() const { return rpdoCount_.load(); }
    [[nodiscard]] uint32_t GetErrorControlMode() const { return errorControlMode_.load(); }

    // TimingCycleHost
    [[nodiscard]] const TimingVariant& Variant() const override { return variant_; }
    [[nodiscard]] const uint8_t* CancelFlag() const override { return reinterpret_cast<const uint8_t*>(&cancel_); }
    [[nodiscard]] bool Cancelled() const override { return cancel_.load() != 0; }
    [[nodiscard]] const std::atomic<bool>* CancelRequested() const override { return &cancelRequested_; }
    void WithRecord(const std::function<void(TimingTestConfig&)>& f) override;
    void SetNodeId(uint8_t node) override { nodeId_.store(node); }
    void SetErrorControlMode(uint32_t mode) override;
    void SetPdoCounts(uint32_t tpdos, uint32_t rpdos) override;
    void ReportProgress(uint64_t msInCycle) override;
    void AddElapsed(uint64_t ms) override { elapsedMs_ += ms; }
    [[nodiscard]] uint64_t GetCycleDuration(uint32_t periodMs) const override;

private:
    enum class Flow { Continue, End };

    void log(const std::string& text);
    // The page's checks of a loaded record (the rules that span fields); a refusal is logged.
    [[nodiscard]] bool pageAccepts(const TimingTestConfig& loaded, const std::string& where) const;
    void setStatus(int32_t status);
    void setProgress(int32_t percent);
    void finish();  // results, progress 100, PASSED or WARNING
    [[nodiscard]] Flow startCycle(int cycle);
    [[nodiscard]] Flow checkAlarm(int cycle);
    void limitSearch();
    void rpdoReport(int cycle, int phaseFirst);
    [[nodiscard]] bool evaluate(const char* expression, int cycle, bool* isTrue);
    void showCycleResultsLocked();
    void resetResultsLocked();
    [[nodiscard]] std::string expressionOf(const char (TimingTestConfig::*field)[kTimingExpressionSize]) const;

    const TimingVariant& variant_;
    Services services_;
    TimingCycleDriver& driver_;

    mutable std::mutex recordMutex_;
    TimingTestConfig record_{};
    TimingResultsTable table_;

    // Services poll it as a plain byte; a lock-free atomic byte has the byte's layout.
    std::atomic<uint8_t> cancel_{0};
    std::atomic<bool> cancelRequested_{false};
    static_assert(sizeof(std::atomic<uint8_t>) == 1 && std::atomic<uint8_t>::is_always_lock_free);
    std::atomic<uint8_t> nodeId_{0};
    std::atomic<uint32_t> errorControlMode_{1};
    std::atomic<uint32_t> tpdoCount_{0};
    std::atomic<uint32_t> rpdoCount_{0};
    uint64_t totalMs_ = 0;
    uint64_t elapsedMs_ = 0;
    bool warning_ = false;
    // Whether a cycle of this run got as far as counting the PDOs, and found a valid TPDO.
    bool pdosCounted_ = false;
    bool tpdoFound_ = false;
};

} // namespace ostrel::vessolt
