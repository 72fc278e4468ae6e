#pragma once
// The window of the object dictionary scan: the result grid under the shared test-window frame.
// The grid's texts come from the scan's result list, copied on the GUI thread whenever the scan
// posts a change or a network description was loaded.
#include "test_window.h"

class QTableView;

namespace ostrel::vessolt {

class TODScan;
class TODScanModel;

class TWin_ODScan : public TTestWindow {
    Q_OBJECT
public:
    // Design size 744 x 401, centred on the screen, then the stored geometry.
    TWin_ODScan(TODScan& scan, TTestManager& manager, QWidget* parent = nullptr);
    ~TWin_ODScan() override;

    // Copies the result list into the grid (names and types from the network description).
    void RefreshList();
    // The network description's load callback: safe on any thread, the grid follows on the GUI thread.
    void SymbolsLoaded();

    [[nodiscard]] QTableView* odlist() const { return odlist_; }
    [[nodiscard]] TODScanModel& model() const { return *model_; }

protected:
    void serviceMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

private:
    TODScan& scan_;
    TODScanModel* model_ = nullptr;
    QTableView* odlist_ = nullptr;
    bool refreshQueued_ = false;
};

}  // namespace ostrel::vessolt
