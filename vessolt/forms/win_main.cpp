#include "win_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QVBoxLayout>

#include <platform/registry.h>

#include "product_key.h"
#include "user_prompt.h"
#include "window_messages.h"

namespace ostrel::vessolt {
namespace {

// The main window's closing polls the run state at this pace: the GUI thread never blocks on the
// worker, which may be waiting for an answer from this very thread.
constexpr int kClosePollMs = 100;
constexpr int kTestBoxWidth = 276;

QColor fromColorRef(uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF), static_cast<int>((bgr >> 16) & 0xFF));
}

QLabel* headerPanel(const QString& text, QWidget* parent) {
    auto* header = new QLabel(text, parent);
    header->setFixedHeight(25);
    header->setAlignment(Qt::AlignCenter);
    header->setFrameShape(QFrame::Panel);
    header->setFrameShadow(QFrame::Raised);
    QFont font = header->font();
    font.setBold(true);
    header->setFont(font);
    QPalette palette = header->palette();
    palette.setColor(QPalette::WindowText, fromColorRef(0x008000));
    header->setPalette(palette);
    return header;
}

std::unique_ptr<platform::RegistryKey> mainKey() {
    return platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, std::string(kProductKey) + "\\main");
}

} // namespace

QString TWin_Main::StatusText(int32_t status) {
    switch (status) {
    case RUNNING: return QStringLiteral("Running");
    case PASSED: return QStringLiteral("Passed");
    case WARNING: return QStringLiteral("Warning");
    case FAILED: return QStringLiteral("Failed");
    case CANCELLED: return QStringLiteral("Cancelled");
    default: return QStringLiteral("Not started");
    }
}

uint32_t TWin_Main::StatusColour(int32_t status) {
    switch (status) {
    case PASSED: return 0x008000;   // green
    case WARNING: return 0x008080;  // olive
    case FAILED: return 0x0000FF;   // red
    default: return 0x000000;
    }
}

TWin_Main::TWin_Main(TTestManager& testManager, TLog& log, CanopenApi* api, QWidget* parent)
    : QMainWindow(parent), testManager_(testManager), log_(log), api_(api) {
    setWindowTitle(QString::fromUtf8(kProductName));
    resize(900, 620);

    vertical_ = new QSplitter(Qt::Vertical, this);
    horizontal_ = new QSplitter(Qt::Horizontal, vertical_);

    // Left: the device summary.
    auto* mainbox = new QScrollArea(horizontal_);
    mainbox->setWidgetResizable(true);
    auto* summary = new QWidget(mainbox);
    summary->setAutoFillBackground(true);
    QPalette white = summary->palette();
    white.setColor(QPalette::Window, Qt::white);
    summary->setPalette(white);
    auto* summaryLayout = new QVBoxLayout(summary);
    summaryLayout->setContentsMargins(0, 0, 0, 0);
    summaryLayout->addWidget(headerPanel(QStringLiteral("Device Summary"), summary));
    summaryLayout->addStretch(1);
    mainbox->setWidget(summary);

    // Right: the test list and its buttons.
    auto* testPanel = new QWidget(horizontal_);
    auto* testLayout = new QVBoxLayout(testPanel);
    testLayout->setContentsMargins(0, 0, 0, 0);
    testLayout->setSpacing(2);
    testLayout->addWidget(headerPanel(QStringLiteral("Test List"), testPanel));
    testbox_ = new QScrollArea(testPanel);
    testbox_->setWidgetResizable(true);
    rowsWidget_ = new QWidget(testbox_);
    rowsLayout_ = new QVBoxLayout(rowsWidget_);
    rowsLayout_->setContentsMargins(4, 4, 4, 4);
    rowsLayout_->setSpacing(4);
    rowsLayout_->addStretch(1);
    testbox_->setWidget(rowsWidget_);
    testLayout->addWidget(testbox_, 1);
    auto* buttons = new QHBoxLayout();
    buttons->setContentsMargins(4, 2, 4, 4);
    cancelalltests_ = new QPushButton(QStringLiteral("Cancel All Tests"), testPanel);
    cancelalltests_->setToolTip(QStringLiteral("Click to cancel the currently executing test"));
    runalltests_ = new QPushButton(QStringLiteral("Run All Tests"), testPanel);
    runalltests_->setToolTip(QStringLiteral("Click to execute all enabled tests"));
    buttons->addWidget(cancelalltests_);
    buttons->addWidget(runalltests_);
    testLayout->addLayout(buttons);

    // Bottom: the message log.
    messagebox_ = new QListWidget(vertical_);
    messagebox_->setObjectName(QStringLiteral("messagebox"));
    messagebox_->setSelectionMode(QAbstractItemView::ExtendedSelection);

    horizontal_->setStretchFactor(0, 1);
    horizontal_->setStretchFactor(1, 0);
    horizontal_->setSizes({width() - kTestBoxWidth, kTestBoxWidth});
    vertical_->setStretchFactor(0, 1);
    vertical_->setSizes({height() - 160, 160});
    setCentralWidget(vertical_);

    runalltests_->setObjectName(QStringLiteral("runalltests"));
    cancelalltests_->setObjectName(QStringLiteral("cancelalltests"));
    testbox_->setObjectName(QStringLiteral("testbox"));
    connectTestBox();

    closeTimer_.setInterval(kClosePollMs);
    connect(&closeTimer_, &QTimer::timeout, this, &TWin_Main::closeWhenIdle);

    testManager_.AddTestListListener(&sink_);
    testManager_.AddRunStateListener(&sink_);
    log_.AddListener(&sink_);
    LoadWindowSettings();
    setRunState(testManager_.GetRunState());
}

TWin_Main::~TWin_Main() {
    removeListeners();
    sink_.detach();
}

void TWin_Main::connectTestBox() {
    connect(runalltests_, &QPushButton::clicked, this, &TWin_Main::runalltestsClick);
    connect(cancelalltests_, &QPushButton::clicked, this, &TWin_Main::cancelalltestsClick);
}

void TWin_Main::removeListeners() {
    if (!listening_)
        return;
    listening_ = false;
    testManager_.RemoveTestListListener(&sink_);
    testManager_.RemoveRunStateListener(&sink_);
    log_.RemoveListener(&sink_);
}

// ---- messages ----

bool TWin_Main::event(QEvent* event) {
    if (event->type() != ServiceEvent::type())
        return QMainWindow::event(event);
    const auto* message = static_cast<const ServiceEvent*>(event);
    switch (message->message) {
    case WM_TESTLISTCHANGED:
        if (testManager_.GetTestCount() == static_cast<int>(rows_.size()))
            RefreshTestPanel();
        else
            BuildTestPanel();
        break;
    case WM_TESTRUNSTATE: setRunState(static_cast<int>(message->wParam)); break;
    case WM_LOGCHANGED:
        if (message->wParam == 1) {
            messagebox_->clear();
            logLinesShown_ = 0;
        }
        showNewLogLines();
        break;
    default: break;
    }
    return true;
}

void TWin_Main::showNewLogLines() {
    // Several adds may share one message: everything not shown yet is fetched at once.
    const bool atEnd = messagebox_->count() == 0 || messagebox_->currentRow() < 0 ||
                       messagebox_->currentRow() == messagebox_->count() - 1;
    const std::vector<std::string> lines = log_.GetLinesFrom(logLinesShown_);
    for (const std::string& line : lines)
        messagebox_->addItem(QString::fromStdString(line));
    logLinesShown_ += static_cast<int>(lines.size());
    if (!lines.empty() && atEnd)
        messagebox_->scrollToBottom();
}

void TWin_Main::setRunState(int state) {
    const bool running = state == 1 && !closing_;
    runalltests_->setEnabled(!running && !closing_);
    cancelalltests_->setEnabled(running);
}

// ---- test list ----

void TWin_Main::BuildTestPanel() {
    for (Row& row : rows_)
        delete row.box;
    rows_.clear();
    TEST test;
    int n = 0;
    for (int32_t id = testManager_.GetFirstTest(test); id != 0; id = testManager_.GetNextTest(test))
        CreateTestRow(n++, test);
}

void TWin_Main::RefreshTestPanel() {
    TEST test;
    int n = 0;
    for (int32_t id = testManager_.GetFirstTest(test); id != 0; id = testManager_.GetNextTest(test))
        UpdateTestRow(n++, test);
}

void TWin_Main::CreateTestRow(int n, const TEST& test) {
    if (n >= TTestManager::kMaxTests)
        return;
    Row row;
    row.box = new QWidget(rowsWidget_);
    auto* layout = new QVBoxLayout(row.box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    row.enable = new QCheckBox(row.box);
    row.enable->setToolTip(QStringLiteral("Click to enable or disable this test"));
    layout->addWidget(row.enable);
    auto* line = new QHBoxLayout();
    line->setContentsMargins(18, 0, 0, 0);
    line->setSpacing(5);
    row.progressBar = new QProgressBar(row.box);
    row.progressBar->setRange(0, 100);
    row.progressBar->setTextVisible(false);
    row.progressBar->setFixedSize(125, 10);
    row.progressBar->setToolTip(QStringLiteral("Shows the progress of the test"));
    row.statusLabel = new QLabel(row.box);
    line->addWidget(row.progressBar);
    line->addWidget(row.statusLabel, 1);
    layout->addLayout(line);
    rowsLayout_->insertWidget(n, row.box);
    connect(row.enable, &QCheckBox::clicked, this, [this, n](bool ticked) { EnableCheckClick(n, ticked); });
    rows_.push_back(row);
    UpdateTestRow(n, test);
}

void TWin_Main::UpdateTestRow(int n, const TEST& test) {
    if (n < 0 || n >= static_cast<int>(rows_.size()))
        return;
    Row& row = rows_[static_cast<size_t>(n)];
    row.testid = test.testid;
    {
        // Setting the box must not come back as an enable or disable request.
        const QSignalBlocker blocker(row.enable);
        row.enable->setChecked(test.enabled);
    }
    row.enable->setText(QString::fromStdString(test.name));
    row.progressBar->setValue(std::clamp(test.progress, 0, 100));
    const QColor colour = fromColorRef(StatusColour(test.status));
    row.statusLabel->setText(StatusText(test.status));
    QPalette labelPalette = row.statusLabel->palette();
    labelPalette.setColor(QPalette::WindowText, colour);
    row.statusLabel->setPalette(labelPalette);
    QPalette barPalette = row.progressBar->palette();
    barPalette.setColor(QPalette::Highlight, colour == Qt::black ? QColor(0, 0, 128) : colour);
    row.progressBar->setPalette(barPalette);
}

void TWin_Main::EnableCheckClick(int n, bool ticked) {
    if (n < 0 || n >= static_cast<int>(rows_.size()))
        return;
    const int32_t id = rows_[static_cast<size_t>(n)].testid;
    if (ticked)
        testManager_.EnableTest(id);
    else
        testManager_.DisableTest(id);
}

void TWin_Main::runalltestsClick() { testManager_.RunAllTests(); }
void TWin_Main::cancelalltestsClick() { testManager_.CancelTests(); }

void TWin_Main::OpenConfiguration(const QString& fileName) { (void)testManager_.LoadSettings(fileName.toStdString()); }

// ---- showing and closing ----

void TWin_Main::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    // After the window is on screen, so that the hardware dialog has its owner.
    QTimer::singleShot(0, this, &TWin_Main::FormShow);
}

void TWin_Main::FormShow() {
    if (closing_)
        return;
    if (hardwareDialog_ && !hardwareDialog_()) {
        close();
        return;
    }
    testManager_.LoadTestOrder();
    BuildTestPanel();
    setRunState(testManager_.GetRunState());
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 2)
        OpenConfiguration(arguments.at(1));
}

void TWin_Main::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    if (!closing_) {
        closing_ = true;
        removeListeners();
        testManager_.CancelTests();
        setRunState(0);
    }
    if (finishCloseWhenIdle()) {
        event->accept();
        return;
    }
    event->ignore();
    if (!closeTimer_.isActive())
        closeTimer_.start();
}

void TWin_Main::closeWhenIdle() {
    // Outside the close event: a close() from inside it would be dropped.
    if (finishCloseWhenIdle())
        close();
}

bool TWin_Main::finishCloseWhenIdle() {
    if (testManager_.GetRunState() != 0)
        return false;
    closeTimer_.stop();
    testManager_.WaitForTestThread();  // the run has ended: this only collects its thread
    SaveWindowSettings();
    if (api_)
        api_->close();
    closed_ = true;
    return true;
}

void TWin_Main::LoadWindowSettings() {
    auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, std::string(kProductKey) + "\\main");
    if (!key)
        return;
    if (key->readInteger("windowstate").value_or(0) == 2)
        setWindowState(Qt::WindowMaximized);
    if (!isMaximized()) {
        const QRect g = geometry();
        const int left = key->readInteger("left").value_or(g.left());
        const int top = key->readInteger("top").value_or(g.top());
        const int width = key->readInteger("width").value_or(g.width());
        const int height = key->readInteger("height").value_or(g.height());
        if (width > 100 && height > 100)
            setGeometry(left, top, width, height);
    }
    if (auto w = key->readInteger("testboxwidth"); w && *w > 0)
        horizontal_->setSizes({std::max(100, width() - *w), *w});
    if (auto h = key->readInteger("messageboxheight"); h && *h > 0)
        vertical_->setSizes({std::max(100, height() - *h), *h});
}

void TWin_Main::SaveWindowSettings() {
    auto key = mainKey();
    if (!key)
        return;
    if (isMinimized())
        showNormal();
    const bool maximised = isMaximized();
    key->writeInteger("windowstate", maximised ? 2 : 0);
    if (!maximised) {
        key->writeInteger("top", geometry().top());
        key->writeInteger("left", geometry().left());
        key->writeInteger("width", geometry().width());
        key->writeInteger("height", geometry().height());
    }
    key->writeInteger("testboxwidth", horizontal_->sizes().value(1));
    key->writeInteger("messageboxheight", vertical_->sizes().value(1));
}

} // namespace ostrel::vessolt
