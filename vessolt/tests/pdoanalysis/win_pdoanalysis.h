#pragma once
// The window of the PDO analysis: the PDO grid under the shared test-window frame. The grid's
// texts come from the analysis's table, copied on the GUI thread whenever the analysis posts a
// change or a network description was loaded.
#include <QPixmap>

#include "test_window.h"

class QTableView;

namespace ostrel::vessolt {

class TPDOAnalysis;
class TPDOAnalysisModel;

class TWin_PDOAnalysis : public TTestWindow {
    Q_OBJECT
public:
    // Design client size 736 x 371, centred on the screen, then the stored geometry.
    TWin_PDOAnalysis(TPDOAnalysis& analysis, TTestManager& manager, QWidget* parent = nullptr);
    ~TWin_PDOAnalysis() override;

    // Rewrites the rows from the table (names from the network description); the marks stay.
    void RefreshPDORows();
    // The network description's load callback: safe on any thread, the grid follows on the GUI thread.
    void SymbolsLoaded();

    // Column widths 1-19, size and position under the test's registry key.
    void SaveSettings() override;
    void StoreSettings() override { SaveSettings(); }
    void LoadSettings() override;

    // The design row height of 18 pixels at 96 dpi, scaled to the screen.
    [[nodiscard]] static int RowHeight(int logicalDpi) { return 18 * logicalDpi / 96; }

    [[nodiscard]] QTableView* pdolist() const { return pdolist_; }
    [[nodiscard]] TPDOAnalysisModel& model() const { return *model_; }

protected:
    void serviceMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

private:
    TPDOAnalysis& analysis_;
    TPDOAnalysisModel* model_ = nullptr;
    QTableView* pdolist_ = nullptr;
};

}  // namespace ostrel::vessolt
