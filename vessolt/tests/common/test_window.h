#pragma once
// The frame every device-test window shares: a top panel with the run, cancel and configure
// buttons, the status label and the progress bar; the test's own grid in the middle; a Close
// button below. It follows the test manager's list (status, progress) and run state ("Configure
// Test" is off while a run is active), keeps its geometry and column widths in the registry, widens
// the grid's columns to their titles and texts (the last column takes what is left), and sizes a
// column to its texts on a double-click at a header edge.
#include <QWidget>

#include <cstdint>
#include <vector>
#include <string>

#include "services/qt_message_sink.h"
#include "services/settings_owner.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;

namespace ostrel::vessolt {

class TTestManager;

class TTestWindow : public QWidget, public SettingsOwner {
    Q_OBJECT
public:
    // Registers with both listener lists of the manager; the title is the test's display name and
    // names its registry key.
    TTestWindow(TTestManager& manager, int32_t testId, const QString& title, QWidget* parent = nullptr);
    // Leaves both listener lists and saves the settings.
    ~TTestWindow() override;

    // Status label, its colour and the progress bar, from the manager's record of the test.
    void ShowStatus();
    virtual void SaveSettings();
    virtual void LoadSettings();
    // What the window stores as it goes: the frame's settings, unless it saves its own.
    void StoreSettings() override;
    // "Software\Ostrel\CANopen Norbix Eval\<display name>".
    [[nodiscard]] std::string RegistryKeyPath() const;

    // Width that shows every text of `column` in rows 1 and below plus "... ", at least 6; with
    // `fromRow`, only the texts of that row and below.
    [[nodiscard]] static int FitColumnWidth(const QTableView& grid, int column, int fromRow = 0);
    // The column a double-click at header position x sizes: the one to the left within 4 pixels of
    // a left edge, that column within 4 pixels of its right edge; -1 otherwise or beyond lastSizable.
    [[nodiscard]] static int ColumnAtEdge(const QTableView& grid, int x, int lastSizable);

    QPushButton* runtest = nullptr;
    QPushButton* canceltest = nullptr;
    QPushButton* configtest = nullptr;
    QPushButton* closeButton = nullptr;
    QLabel* label = nullptr;
    QProgressBar* progressbar = nullptr;

protected:
    // Puts the grid into the body; columns 0 to lastSizable size on a header double-click.
    void setGrid(QTableView* grid, int lastSizable);
    [[nodiscard]] QTableView* grid() const { return grid_; }
    // Messages posted to the window; the base handles the manager's two.
    virtual void serviceMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // For posting to the window itself from any thread.
    [[nodiscard]] MessageSink& sink() { return sink_; }
    // Off for a window whose registry key holds more than the frame's geometry and column widths
    // and that saves it itself.
    void setSavesFrameSettings(bool on) { savesFrameSettings_ = on; }

    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    // Widens every column but the last to its title and its texts, as far as the window has room for
    // the texts; never narrows one. `measure`: the model changed, its texts are measured again.
    void fitColumns(bool measure);

    TTestManager& manager_;
    const int32_t testId_;
    QtMessageSink sink_;
    QWidget* body_ = nullptr;
    QTableView* grid_ = nullptr;
    int lastSizable_ = -1;
    int fittedRows_ = 0;              // rows whose texts contentWidths_ has measured
    std::vector<int> contentWidths_;  // per column but the last: its widest text so far
    bool savesFrameSettings_ = true;
};

}  // namespace ostrel::vessolt
