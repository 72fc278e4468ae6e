#pragma once
// The main window: menu and tool bar with every command, the device summary, the test list with one
// row per registered test, and the message log. It updates only when a service posts a change.
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "desktop_open.h"
#include "file_dialog.h"
#include "services/qt_message_sink.h"
#include "app/services.h"
#include "testing/summary_text.h"

class QAction;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSplitter;
class QToolButton;
class QVBoxLayout;

namespace ostrel::vessolt {

class TWin_NetworkConfig;

// What other windows bring to the main window. A command whose link is empty stays disabled.
struct MainWindowLinks {
    // The hardware dialog, shown modally at the first showing; false ends the program.
    std::function<bool()> hardwareDialog{};
    // The test configuration dialog on its first page.
    std::function<void()> configureTests{};
    // The network dialog: its command, its part of the configuration files, and the description
    // applied at the first showing.
    QPointer<TWin_NetworkConfig> network{};
    std::function<void()> configureSupportModule{};
    std::function<void()> about{};
    // Hands a file or web address to the desktop; empty: Qt's desktop services.
    DesktopOpen openExternal{};
};

class TWin_Main : public QMainWindow {
    Q_OBJECT
public:
    TWin_Main(Services& services, MainWindowLinks links = {}, QWidget* parent = nullptr);
    ~TWin_Main() override;

    // Tests answer the file dialogs; the window does not own them. Null: Qt's dialogs.
    void SetFileDialogs(FileDialogs* dialogs) { fileDialogs_ = dialogs; }
    void SetLinks(MainWindowLinks links);
    // The program's arguments after Qt took its own, as the bytes they are; the first showing opens
    // a single one.
    void SetArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }

    // Closes as File -> Exit does, but asks nobody anything (a termination signal): a failure to
    // store the settings goes to standard error only.
    void CloseUnattended();

    // `fileName` as the bytes the file system holds.
    void OpenConfiguration(const std::string& fileName);
    void SaveConfiguration();
    void UpdateDeviceSummary();

    // The status text and colour (0x00BBGGRR) of a test row.
    static QString StatusText(int32_t status);
    static uint32_t StatusColour(int32_t status);

signals:
    // The close sequence has run: the test run has ended and the hardware is closed.
    void Closed();

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct TestRow {
        QToolButton* upButton = nullptr;
        QToolButton* downButton = nullptr;
        QToolButton* windowButton = nullptr;
        QToolButton* configButton = nullptr;
        QCheckBox* enableBox = nullptr;
        QToolButton* runButton = nullptr;
        QProgressBar* progressBar = nullptr;
        QLabel* statusLabel = nullptr;
        int32_t testid = 0;
        QWidget* box = nullptr;  // holds the row's controls
    };

    void createActions();
    void createLayout();
    void createSummary();
    void FormShow();
    void BuildTestPanel();
    void RefreshTestPanel();
    void CreateTestRow(int n, const TEST& test);
    void UpdateTestRow(int n, const TEST& test);
    [[nodiscard]] int32_t rowTest(int n) const;
    void setRunningEnabling(bool running);
    void schedule(unsigned what);
    void flushPending();
    void showNewLogLines(bool reset);
    void closeWhenIdle();
    [[nodiscard]] bool finishCloseWhenIdle();
    void LoadWindowSettings();
    void SaveWindowSettings();
    // Stores every setting of the program at the close; says so when they cannot be stored.
    void storeSettings();
    void removeListeners();
    void openExternal(const QString& target);

    // Commands.
    void openconfigClick();
    void generatereportClick();
    void viewreportClick();
    void checkreportClick();
    void resetdataClick();
    void confignetworkClick();
    void manualClick();

    Services& services_;
    MainWindowLinks links_;
    QtMessageSink sink_{this};
    FileDialogs* fileDialogs_ = nullptr;
    QtFileDialogs qtFileDialogs_;

    QAction* openconfig_ = nullptr;
    QAction* saveconfig_ = nullptr;
    QAction* exit_ = nullptr;
    QAction* generatereport_ = nullptr;
    QAction* viewreport_ = nullptr;
    QAction* checkreport_ = nullptr;
    QAction* resetdata_ = nullptr;
    QAction* configtests_ = nullptr;
    QAction* confignetwork_ = nullptr;
    QAction* confignsm_ = nullptr;
    QAction* manual_ = nullptr;
    QAction* homepage_ = nullptr;
    QAction* osthomepage_ = nullptr;
    QAction* about_ = nullptr;

    QSplitter* vertical_ = nullptr;
    QSplitter* horizontal_ = nullptr;
    QScrollArea* mainbox_ = nullptr;
    QWidget* summaryWidget_ = nullptr;
    QVBoxLayout* summaryLayout_ = nullptr;
    QWidget* testPanel_ = nullptr;
    QScrollArea* testbox_ = nullptr;
    QWidget* rowsWidget_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    QPushButton* runalltests_ = nullptr;
    QPushButton* cancelalltests_ = nullptr;
    QPlainTextEdit* messagebox_ = nullptr;
    std::vector<TestRow> rows_;
    SummaryDisplay summaryDisplay_;
    std::vector<QLabel*> summaryLabels_;  // in the order of kSummaryLabels
    std::vector<std::string> arguments_;

    int logLinesShown_ = 0;
    // Changes seen but not yet shown: a burst of messages becomes one refresh per event-loop pass.
    enum Pending : unsigned { kPendingRows = 1, kPendingRebuild = 2, kPendingLog = 4, kPendingSummary = 8 };
    unsigned pending_ = 0;
    bool flushPosted_ = false;
    bool running_ = false;
    bool shown_ = false;
    bool listening_ = false;
    bool closing_ = false;
    bool closed_ = false;
    bool unattended_ = false;
    QTimer closeTimer_;
};

} // namespace ostrel::vessolt
