#pragma once
// The main window: the test list with one row per registered test, Run All and Cancel All, and the
// message log. It updates only when a service posts a change message.
#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <vector>

#include "canopen_api.h"
#include "log.h"
#include "qt_message_sink.h"
#include "test_manager.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSplitter;
class QVBoxLayout;

namespace ostrel::vessolt {

class TWin_Main : public QMainWindow {
    Q_OBJECT
public:
    // `api`, when given, is closed once the window has closed.
    TWin_Main(TTestManager& testManager, TLog& log, CanopenApi* api = nullptr, QWidget* parent = nullptr);
    ~TWin_Main() override;

    // Shown modally on the first showing; false (hardware left closed) closes the window.
    void SetHardwareDialog(std::function<bool()> dialog) { hardwareDialog_ = std::move(dialog); }
    // Reads the test order and enabled flags of a test configuration file.
    void OpenConfiguration(const QString& fileName);

    // The status text and colour (0x00BBGGRR) of a test row.
    static QString StatusText(int32_t status);
    static uint32_t StatusColour(int32_t status);

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Row {
        int32_t testid = 0;
        QWidget* box = nullptr;
        QCheckBox* enable = nullptr;
        QProgressBar* progressBar = nullptr;
        QLabel* statusLabel = nullptr;
    };

    void connectTestBox();
    void FormShow();
    void BuildTestPanel();
    void RefreshTestPanel();
    void CreateTestRow(int n, const TEST& test);
    void UpdateTestRow(int n, const TEST& test);
    void EnableCheckClick(int n, bool ticked);
    void runalltestsClick();
    void cancelalltestsClick();
    void setRunState(int state);
    void showNewLogLines();
    void closeWhenIdle();
    [[nodiscard]] bool finishCloseWhenIdle();
    void LoadWindowSettings();
    void SaveWindowSettings();
    void removeListeners();

    TTestManager& testManager_;
    TLog& log_;
    CanopenApi* api_ = nullptr;
    QtMessageSink sink_{this};
    std::function<bool()> hardwareDialog_;

    QSplitter* vertical_ = nullptr;
    QSplitter* horizontal_ = nullptr;
    QScrollArea* testbox_ = nullptr;
    QWidget* rowsWidget_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    QPushButton* runalltests_ = nullptr;
    QPushButton* cancelalltests_ = nullptr;
    QListWidget* messagebox_ = nullptr;
    std::vector<Row> rows_;

    int logLinesShown_ = 0;
    bool shown_ = false;
    bool listening_ = true;
    bool closing_ = false;
    bool closed_ = false;
    QTimer closeTimer_;
};

} // namespace ostrel::vessolt
