#pragma once
// The windows of the five timing tests: the shared test-window frame with the TPDO (and RPDO)
// count in the top panel and the results grid in the body. A window loads its test's settings
// and its placement from the registry when made and saves both when destroyed; the engine lives
// elsewhere and outlives the window.
#include <memory>

#include "test_window.h"
#include "timing_registration.h"
#include "timing_settings.h"

class QLabel;
class QTableView;

namespace ostrel::vessolt {

class TimingResultsModel;
class TimingTestEngine;

class TTimingTestWindow : public TTestWindow {
    Q_OBJECT
public:
    ~TTimingTestWindow() override;
    // The test's settings and the window's placement.
    void StoreSettings() override;

    [[nodiscard]] TimingTestEngine& engine() const { return engine_; }
    [[nodiscard]] TimingResultsModel& model() const { return *model_; }
    [[nodiscard]] QTableView* table() const { return table_; }

    // The placement to store: a minimized window is restored first; a maximized one gives state 2
    // and no geometry. Position and size are the frame's position and the client size.
    [[nodiscard]] WindowPlacement Placement();
    void ApplyPlacement(const WindowPlacement& placement);

    QLabel* tpdonum = nullptr;
    QLabel* rpdonum = nullptr;  // tests with RPDOs and the turnaround test only

protected:
    // engine's kind must be the window's.
    TTimingTestWindow(TimingTestEngine& engine, TTestManager& manager, QWidget* parent);

    void serviceMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

private:
    void showPdoCounts();

    TimingTestEngine& engine_;
    TimingResultsModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    uint32_t shownTpdos_ = 0;
    uint32_t shownRpdos_ = 0;
};

class TWin_TPDOSync : public TTimingTestWindow {
    Q_OBJECT
public:
    TWin_TPDOSync(TimingTestEngine& engine, TTestManager& manager, QWidget* parent = nullptr)
        : TTimingTestWindow(engine, manager, parent) {}
};

class TWin_TPDOSyncRPDOs : public TTimingTestWindow {
    Q_OBJECT
public:
    TWin_TPDOSyncRPDOs(TimingTestEngine& engine, TTestManager& manager, QWidget* parent = nullptr)
        : TTimingTestWindow(engine, manager, parent) {}
};

class TWin_TPDOEvent : public TTimingTestWindow {
    Q_OBJECT
public:
    TWin_TPDOEvent(TimingTestEngine& engine, TTestManager& manager, QWidget* parent = nullptr)
        : TTimingTestWindow(engine, manager, parent) {}
};

class TWin_TPDOEventRPDOs : public TTimingTestWindow {
    Q_OBJECT
public:
    TWin_TPDOEventRPDOs(TimingTestEngine& engine, TTestManager& manager, QWidget* parent = nullptr)
        : TTimingTestWindow(engine, manager, parent) {}
};

class TWin_PDOTurnaround : public TTimingTestWindow {
    Q_OBJECT
public:
    TWin_PDOTurnaround(TimingTestEngine& engine, TTestManager& manager, QWidget* parent = nullptr)
        : TTimingTestWindow(engine, manager, parent) {}
};

// The window of the engine's test, its test registered with the manager under the test's number.
// An empty showWindow hook shows and raises this window.
[[nodiscard]] std::unique_ptr<TTimingTestWindow> MakeTimingWindow(TimingTestEngine& engine, TTestManager& manager,
                                                                  TimingWindowHooks hooks);

}  // namespace ostrel::vessolt
