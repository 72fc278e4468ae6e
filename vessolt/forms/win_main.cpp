#include "win_main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdio>
#include <utility>

#include <platform/process.h>
#include <platform/registry.h>

#include "icons.h"
#include "product_info.h"
#include "services/product_key.h"
#include "services/user_prompt.h"
#include "services/window_messages.h"
#include "win_network_config.h"
#include "window_geometry.h"

namespace ostrel::vessolt {
namespace {

std::vector<std::string> argumentBytes(const QStringList& arguments) {
    std::vector<std::string> bytes;
    for (const QString& argument : arguments)
        bytes.push_back(FileNameBytes(argument));
    return bytes;
}

// The main window's closing polls the run state at this pace: the GUI thread never blocks on the
// worker, which may be waiting for an answer from this very thread.
constexpr int kClosePollMs = 100;
constexpr int kTestBoxWidth = 276;
constexpr int kMessageBoxHeight = 120;
// The least a restored window and each of its panes keep.
constexpr QSize kMinimumSize(300, 200);
constexpr int kMinimumPane = 100;
constexpr int kRowHeight = 38;

const QString kConfigFilter = QStringLiteral("Configuration Files (*.nbx);;All Files (*)");

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

QToolButton* glyphButton(const char* glyph, const char* hint, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setIcon(resourceIcon(QString::fromLatin1(glyph)));
    b->setIconSize(QSize(14, 14));
    b->setFixedSize(18, 18);
    b->setAutoRaise(true);
    b->setToolTip(QString::fromLatin1(hint));
    return b;
}

constexpr const char* kMainKey = "\\main";

// A summary value whose text has no bound (names from the network description, device-type bits):
// it gives up width before the other columns do, cut with "…" and whole in its tool tip.
class ElidingLabel : public QLabel {
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override {
        QSize size = QLabel::minimumSizeHint();
        size.setWidth(std::min(size.width(), fontMetrics().horizontalAdvance(QStringLiteral("0x0…"))));
        return size;
    }
    void setFullText(const QString& text) {
        setText(text);
        updateTip();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        updateTip();
    }
    void paintEvent(QPaintEvent* event) override {
        if (fits()) {
            QLabel::paintEvent(event);
            return;
        }
        QPainter painter(this);
        const QRect area = contentsRect();
        style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(),
                              fontMetrics().elidedText(text(), Qt::ElideRight, area.width()), foregroundRole());
    }

private:
    [[nodiscard]] bool fits() const { return fontMetrics().horizontalAdvance(text()) <= contentsRect().width(); }
    void updateTip() { setToolTip(fits() ? QString() : text()); }
};

// Puts the right column of summary boxes below the left one while the two do not fit side by side
// (long texts and wide numbers in a narrow window), so that no column is hidden to the right.
class SummaryColumns : public QObject {
public:
    SummaryColumns(QBoxLayout* columns, QLayout* left, QLayout* right, QWidget* viewport, QObject* parent)
        : QObject(parent), columns_(columns), left_(left), right_(right), viewport_(viewport) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize) {
            const QMargins m = columns_->contentsMargins();
            const int sideBySide = left_->minimumSize().width() + columns_->spacing() + right_->minimumSize().width() +
                                   m.left() + m.right();
            columns_->setDirection(sideBySide <= viewport_->width() ? QBoxLayout::LeftToRight
                                                                     : QBoxLayout::TopToBottom);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QBoxLayout* columns_;
    QLayout* left_;
    QLayout* right_;
    QWidget* viewport_;
};

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

TWin_Main::TWin_Main(Services& services, MainWindowLinks links, QWidget* parent)
    : QMainWindow(parent), services_(services), links_(std::move(links)), summaryDisplay_(*services.deviceSummary),
      arguments_(argumentBytes(QCoreApplication::arguments())) {
    setWindowTitle(QString::fromUtf8(kProductName));
    setWindowIcon(resourceIcon(QStringLiteral("IMAGE_NBXLOGO")));
    resize(1120, 700);
    CentreOnScreen(*this);
    createActions();
    createLayout();
    LoadWindowSettings();

    closeTimer_.setInterval(kClosePollMs);
    connect(&closeTimer_, &QTimer::timeout, this, &TWin_Main::closeWhenIdle);

    // The report's summary section holds what this window shows.
    services_.testReport->SetSectionWriter(ReportSection::DeviceSummary, [this](std::FILE* f, int layout) {
        summaryDisplay_.WriteReport(f, layout);
    });
    (void)services_.symbols->LoadDefault();
    UpdateDeviceSummary();
    services_.testManager->AddTestListListener(&sink_);
    services_.testManager->AddRunStateListener(&sink_);
    services_.log->AddListener(&sink_);
    services_.deviceSummary->AddListener(&sink_);
    listening_ = true;
    // Loads may happen on any thread; the window follows on its own.
    services_.symbols->AddLoadCallback([self = QPointer<TWin_Main>(this)] {
        if (self)
            QMetaObject::invokeMethod(self.data(), [self] {
                if (self)
                    self->UpdateDeviceSummary();
            }, Qt::QueuedConnection);
    });
    showNewLogLines(true);
    setRunningEnabling(services_.testManager->GetRunState() == 1);
}

TWin_Main::~TWin_Main() {
    // The services may be gone already when the window outlives them.
    if (services_.testReport)
        services_.testReport->SetSectionWriter(ReportSection::DeviceSummary, {});
    removeListeners();
    sink_.detach();
}

void TWin_Main::SetLinks(MainWindowLinks links) {
    links_ = std::move(links);
    setRunningEnabling(running_);
}

void TWin_Main::createActions() {
    const auto action = [this](const char* name, const char* text, const char* icon) {
        auto* a = new QAction(QString::fromLatin1(text), this);
        a->setObjectName(QString::fromLatin1(name));
        if (icon)
            a->setIcon(resourceIcon(QString::fromLatin1(icon)));
        return a;
    };
    openconfig_ = action("openconfig", "&Open Configuration...", "BUTTON_OPENCONFIG");
    saveconfig_ = action("saveconfig", "&Save Configuration...", "BUTTON_SAVECONFIG");
    exit_ = action("exit", "E&xit", nullptr);
    generatereport_ = action("generatereport", "&Generate and View Test Report", "BUTTON_GENREPORT");
    viewreport_ = action("viewreport", "&View Last Test Report", "BUTTON_VIEWREPORT");
    checkreport_ = action("checkreport", "&Check Test Report for Changes", "BUTTON_CHECKREPORT");
    resetdata_ = action("resetdata", "&Reset", "BUTTON_RESET");
    configtests_ = action("configtests", "&Configure Tests...", "BUTTON_TESTCONFIG");
    confignetwork_ = action("confignetwork", "Configure &Network...", "BUTTON_NETCONFIG");
    confignsm_ = action("confignsm", "Configure &Norbix Support Module...", "BUTTON_NSMCONFIG");
    manual_ = action("manual", "&Manual", "BUTTON_HELP");
    homepage_ = action("homepage", "&Home Page", "BUTTON_INTERNET");
    osthomepage_ = action("osthomepage", "&Ostrel Home Page", "BUTTON_INTERNET");
    about_ = action("about", "&About...", nullptr);

    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("mainmenu"));
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->addActions({openconfig_, saveconfig_});
    file->addSeparator();
    file->addAction(exit_);
    bar->addMenu(QStringLiteral("Test &Reports"))->addActions({generatereport_, viewreport_, checkreport_});
    bar->addMenu(QStringLiteral("&Data"))->addAction(resetdata_);
    bar->addMenu(QStringLiteral("&Options"))->addActions({configtests_, confignetwork_, confignsm_});
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->addAction(manual_);
    help->addSeparator();
    help->addActions({homepage_, osthomepage_});
    help->addSeparator();
    help->addAction(about_);

    QToolBar* toolbar = addToolBar(QStringLiteral("Tools"));
    toolbar->setObjectName(QStringLiteral("toolbar"));
    toolbar->setMovable(false);
    toolbar->setIconSize(QSize(20, 20));
    const auto tool = [toolbar](QAction* a, const char* name, const char* hint) {
        // On the action: its button takes the action's tip again whenever the action changes.
        a->setToolTip(QString::fromLatin1(hint));
        toolbar->addAction(a);
        if (QWidget* w = toolbar->widgetForAction(a)) {
            w->setObjectName(QString::fromLatin1(name));
            w->setToolTip(QString::fromLatin1(hint));
        }
    };
    tool(openconfig_, "openbutton", "Open a configuration");
    tool(saveconfig_, "savebutton", "Save the current configuration");
    toolbar->addSeparator();
    tool(generatereport_, "genreportbutton", "Generate and view a test report");
    tool(viewreport_, "viewreportbutton", "View the last generated test report");
    toolbar->addSeparator();
    tool(resetdata_, "resetdatabutton", "Reset the device summary, log and tests");
    toolbar->addSeparator();
    tool(configtests_, "configtestsbutton", "Configure the tests");
    tool(confignetwork_, "confignetworkbutton", "Configure the CAN network");
    tool(confignsm_, "confignsmbutton", "Configure the Norbix Support Module");
    toolbar->addSeparator();
    tool(manual_, "helpbutton", "View the manual");

    connect(openconfig_, &QAction::triggered, this, &TWin_Main::openconfigClick);
    connect(saveconfig_, &QAction::triggered, this, &TWin_Main::SaveConfiguration);
    connect(exit_, &QAction::triggered, this, &QWidget::close);
    connect(generatereport_, &QAction::triggered, this, &TWin_Main::generatereportClick);
    connect(viewreport_, &QAction::triggered, this, &TWin_Main::viewreportClick);
    connect(checkreport_, &QAction::triggered, this, &TWin_Main::checkreportClick);
    connect(resetdata_, &QAction::triggered, this, &TWin_Main::resetdataClick);
    connect(configtests_, &QAction::triggered, this, [this] {
        if (links_.configureTests)
            links_.configureTests();
    });
    connect(confignetwork_, &QAction::triggered, this, &TWin_Main::confignetworkClick);
    connect(confignsm_, &QAction::triggered, this, [this] {
        if (links_.configureSupportModule)
            links_.configureSupportModule();
    });
    connect(manual_, &QAction::triggered, this, &TWin_Main::manualClick);
    connect(homepage_, &QAction::triggered, this, [this] { openExternal(QString::fromUtf8(kProductUrl)); });
    connect(osthomepage_, &QAction::triggered, this, [this] { openExternal(QString::fromUtf8(kMakerUrl)); });
    connect(about_, &QAction::triggered, this, [this] {
        if (links_.about)
            links_.about();
    });
}

void TWin_Main::createLayout() {
    vertical_ = new QSplitter(Qt::Vertical, this);
    horizontal_ = new QSplitter(Qt::Horizontal, vertical_);

    // Left: the device summary.
    mainbox_ = new QScrollArea(horizontal_);
    mainbox_->setObjectName(QStringLiteral("mainbox"));
    mainbox_->setWidgetResizable(true);
    summaryWidget_ = new QWidget(mainbox_);
    summaryWidget_->setAutoFillBackground(true);
    QPalette white = summaryWidget_->palette();
    white.setColor(QPalette::Window, Qt::white);
    summaryWidget_->setPalette(white);
    summaryLayout_ = new QVBoxLayout(summaryWidget_);
    summaryLayout_->setContentsMargins(0, 0, 0, 0);
    summaryLayout_->addWidget(headerPanel(QStringLiteral("Device Summary"), summaryWidget_));
    createSummary();
    summaryLayout_->addStretch(1);
    mainbox_->setWidget(summaryWidget_);

    // Right: the test list and its buttons.
    testPanel_ = new QWidget(horizontal_);
    auto* testLayout = new QVBoxLayout(testPanel_);
    testLayout->setContentsMargins(0, 0, 0, 0);
    testLayout->setSpacing(0);
    auto* testlistheader = headerPanel(QStringLiteral("Test List"), testPanel_);
    testlistheader->setObjectName(QStringLiteral("testlistheader"));
    testLayout->addWidget(testlistheader);
    testbox_ = new QScrollArea(testPanel_);
    testbox_->setObjectName(QStringLiteral("testbox"));
    testbox_->setWidgetResizable(true);
    testbox_->setFrameShape(QFrame::NoFrame);
    rowsWidget_ = new QWidget(testbox_);
    rowsLayout_ = new QVBoxLayout(rowsWidget_);
    rowsLayout_->setContentsMargins(0, 4, 0, 4);
    rowsLayout_->setSpacing(0);
    rowsLayout_->addStretch(1);
    testbox_->setWidget(rowsWidget_);
    testLayout->addWidget(testbox_, 1);
    auto* buttons = new QHBoxLayout();
    buttons->setContentsMargins(4, 4, 4, 4);
    cancelalltests_ = new QPushButton(QStringLiteral("Cancel All Tests"), testPanel_);
    cancelalltests_->setObjectName(QStringLiteral("cancelalltests"));
    cancelalltests_->setToolTip(QStringLiteral("Click to cancel the currently executing test"));
    runalltests_ = new QPushButton(QStringLiteral("Run All Tests"), testPanel_);
    runalltests_->setObjectName(QStringLiteral("runalltests"));
    runalltests_->setToolTip(QStringLiteral("Click to execute all enabled tests in order"));
    runalltests_->setIcon(resourceIcon(QStringLiteral("IMAGE_GO")));
    runalltests_->setLayoutDirection(Qt::RightToLeft);  // the glyph on the right
    buttons->addWidget(cancelalltests_);
    buttons->addWidget(runalltests_);
    testLayout->addLayout(buttons);

    // Bottom: the message log.
    messagebox_ = new QPlainTextEdit(vertical_);
    messagebox_->setObjectName(QStringLiteral("messagebox"));
    messagebox_->setReadOnly(true);
    messagebox_->setFrameShape(QFrame::NoFrame);
    messagebox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    messagebox_->setLineWrapMode(QPlainTextEdit::NoWrap);
    messagebox_->setUndoRedoEnabled(false);

    horizontal_->setStretchFactor(0, 1);
    horizontal_->setStretchFactor(1, 0);
    horizontal_->setSizes({width() - kTestBoxWidth, kTestBoxWidth});
    vertical_->setStretchFactor(0, 1);
    vertical_->setStretchFactor(1, 0);
    vertical_->setSizes({height() - kMessageBoxHeight, kMessageBoxHeight});
    setCentralWidget(vertical_);

    connect(runalltests_, &QPushButton::clicked, this, [this] { services_.testManager->RunAllTests(); });
    connect(cancelalltests_, &QPushButton::clicked, this, [this] { services_.testManager->CancelTests(); });
}

void TWin_Main::removeListeners() {
    if (!listening_)
        return;
    listening_ = false;
    if (services_.testManager) {
        services_.testManager->RemoveTestListListener(&sink_);
        services_.testManager->RemoveRunStateListener(&sink_);
    }
    if (services_.deviceSummary)
        services_.deviceSummary->RemoveListener(&sink_);
    if (services_.log)
        services_.log->RemoveListener(&sink_);
}

// ---- messages ----

bool TWin_Main::event(QEvent* event) {
    if (event->type() != ServiceEvent::type())
        return QMainWindow::event(event);
    const auto* message = static_cast<const ServiceEvent*>(event);
    switch (message->message) {
    case WM_TESTLISTCHANGED: schedule(kPendingRows); break;
    case WM_TESTRUNSTATE:
        // Never merged: every run's end is seen, with the rows as they are then.
        flushPending();
        if (message->wParam == 1) {
            setRunningEnabling(true);
        } else {
            setRunningEnabling(false);
            if (!closing_)
                (void)services_.ratingsScript->Run();
        }
        break;
    case WM_LOGCHANGED:
        if (message->wParam == 1) {
            // Lines not shown yet belong to the log before the clear: they are gone with it.
            showNewLogLines(true);
        } else if (message->wParam == 0) {
            schedule(kPendingLog);
        }
        break;
    case WM_DEVICESUMMARYCHANGED: schedule(kPendingSummary); break;
    default: break;
    }
    return true;
}

void TWin_Main::schedule(unsigned what) {
    pending_ |= what;
    if (flushPosted_)
        return;
    flushPosted_ = true;
    QTimer::singleShot(0, this, &TWin_Main::flushPending);
}

void TWin_Main::flushPending() {
    flushPosted_ = false;
    const unsigned what = std::exchange(pending_, 0u);
    if (what & kPendingRows) {
        // Tests registered after the first showing get rows of their own.
        if (services_.testManager->GetTestCount() == static_cast<int>(rows_.size()))
            RefreshTestPanel();
        else if (shown_)
            BuildTestPanel();
    }
    if (what & kPendingLog)
        showNewLogLines(false);
    if (what & kPendingSummary)
        UpdateDeviceSummary();
}

void TWin_Main::showNewLogLines(bool reset) {
    if (reset) {
        messagebox_->clear();
        logLinesShown_ = 0;
    }
    // Several adds may share one message, and a clear may fall between them: everything not shown
    // yet is fetched and appended at once.
    const std::vector<std::string> lines = services_.log->GetLinesFrom(logLinesShown_);
    if (lines.empty())
        return;
    QScrollBar* bar = messagebox_->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    QString text;
    for (const std::string& line : lines) {
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += QString::fromStdString(line);
    }
    messagebox_->appendPlainText(text);
    logLinesShown_ += static_cast<int>(lines.size());
    if (atEnd)
        bar->setValue(bar->maximum());
}

void TWin_Main::setRunningEnabling(bool running) {
    running_ = running;
    const bool idle = !running && !closing_;
    configtests_->setEnabled(idle && bool(links_.configureTests));
    confignetwork_->setEnabled(idle && links_.network);
    confignsm_->setEnabled(idle && bool(links_.configureSupportModule));
    generatereport_->setEnabled(idle);
    openconfig_->setEnabled(idle);
    resetdata_->setEnabled(idle);
    runalltests_->setEnabled(idle);
    about_->setEnabled(bool(links_.about));
    for (TestRow& row : rows_) {
        row.runButton->setEnabled(idle);
        row.configButton->setEnabled(idle);
    }
    cancelalltests_->setEnabled(running && !closing_);
}

// ---- test list ----

void TWin_Main::BuildTestPanel() {
    for (TestRow& row : rows_)
        delete row.box;
    rows_.clear();
    TEST test;
    int n = 0;
    for (int32_t id = services_.testManager->GetFirstTest(test); id != 0; id = services_.testManager->GetNextTest(test))
        CreateTestRow(n++, test);
    if (!rows_.empty()) {
        delete rows_.front().upButton;
        rows_.front().upButton = nullptr;
        delete rows_.back().downButton;
        rows_.back().downButton = nullptr;
    }
    setRunningEnabling(running_);
}

void TWin_Main::RefreshTestPanel() {
    TEST test;
    int n = 0;
    for (int32_t id = services_.testManager->GetFirstTest(test); id != 0; id = services_.testManager->GetNextTest(test))
        UpdateTestRow(n++, test);
}

int32_t TWin_Main::rowTest(int n) const {
    return n >= 0 && n < static_cast<int>(rows_.size()) ? rows_[static_cast<size_t>(n)].testid : 0;
}

void TWin_Main::CreateTestRow(int n, const TEST& test) {
    if (n >= TTestManager::kMaxTests)
        return;
    TestRow row;
    row.box = new QWidget(rowsWidget_);
    row.box->setFixedHeight(kRowHeight);
    // The arrows keep their places when one is missing, so the rows stay aligned.
    auto* top = new QHBoxLayout();
    top->setContentsMargins(4, 0, 4, 0);
    top->setSpacing(0);
    auto* arrows = new QWidget(row.box);
    arrows->setFixedSize(38, 18);
    row.upButton = glyphButton("IMAGE_UPARROW", "Click to move this test up one position in the execution order", arrows);
    row.downButton =
        glyphButton("IMAGE_DOWNARROW", "Click to move this test down one position in the execution order", arrows);
    row.downButton->move(18, 0);
    top->addWidget(arrows);
    top->addSpacing(1);
    row.enableBox = new QCheckBox(row.box);
    row.enableBox->setToolTip(QStringLiteral("Click to enable or disable this test"));
    top->addWidget(row.enableBox);
    top->addStretch(1);
    row.configButton = glyphButton("IMAGE_CONFIG", "Click to configure this test", row.box);
    row.windowButton = glyphButton("IMAGE_WINDOW", "Click to open the window for this test", row.box);
    row.runButton = glyphButton("IMAGE_GO", "Click to execute this test", row.box);
    top->addWidget(row.configButton);
    top->addSpacing(2);
    top->addWidget(row.windowButton);
    top->addSpacing(2);
    top->addWidget(row.runButton);

    auto* bottom = new QHBoxLayout();
    bottom->setContentsMargins(43, 0, 4, 0);
    bottom->setSpacing(5);
    row.progressBar = new QProgressBar(row.box);
    row.progressBar->setRange(0, 100);
    row.progressBar->setTextVisible(false);
    row.progressBar->setFixedSize(125, 10);
    row.progressBar->setToolTip(QStringLiteral("Shows the progress of the test"));
    row.statusLabel = new QLabel(row.box);
    bottom->addWidget(row.progressBar);
    bottom->addWidget(row.statusLabel, 1);

    auto* layout = new QVBoxLayout(row.box);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(1);
    layout->addLayout(top);
    layout->addLayout(bottom);
    rowsLayout_->insertWidget(n, row.box);

    TTestManager& manager = *services_.testManager;
    connect(row.upButton, &QToolButton::clicked, this, [this, n, &manager] { manager.MoveTestUp(rowTest(n)); });
    connect(row.downButton, &QToolButton::clicked, this, [this, n, &manager] { manager.MoveTestDown(rowTest(n)); });
    connect(row.enableBox, &QCheckBox::clicked, this, [this, n, &manager](bool ticked) {
        if (ticked)
            manager.EnableTest(rowTest(n));
        else
            manager.DisableTest(rowTest(n));
    });
    connect(row.runButton, &QToolButton::clicked, this, [this, n, &manager] { manager.RunTest(rowTest(n)); });
    connect(row.windowButton, &QToolButton::clicked, this, [this, n, &manager] { manager.ShowTestWindow(rowTest(n)); });
    connect(row.configButton, &QToolButton::clicked, this,
            [this, n, &manager] { manager.ConfigureTest(rowTest(n), this); });
    rows_.push_back(row);
    UpdateTestRow(n, test);
}

void TWin_Main::UpdateTestRow(int n, const TEST& test) {
    if (n < 0 || n >= static_cast<int>(rows_.size()))
        return;
    TestRow& row = rows_[static_cast<size_t>(n)];
    row.testid = test.testid;
    {
        // Setting the box must not come back as an enable or disable request.
        const QSignalBlocker blocker(row.enableBox);
        row.enableBox->setChecked(test.enabled);
    }
    row.enableBox->setText(QString::fromStdString(test.name));
    row.progressBar->setValue(std::clamp(test.progress, 0, 100));
    const QColor colour = fromColorRef(StatusColour(test.status));
    row.statusLabel->setText(StatusText(test.status));
    QPalette labelPalette = row.statusLabel->palette();
    labelPalette.setColor(QPalette::WindowText, colour);
    row.statusLabel->setPalette(labelPalette);
    QPalette barPalette = row.progressBar->palette();
    barPalette.setColor(QPalette::Highlight, colour);
    row.progressBar->setPalette(barPalette);
}

// ---- commands ----

void TWin_Main::openExternal(const QString& target) {
    OpenerFor(services_.prompt(), links_.openExternal)(target);
}

void TWin_Main::OpenConfiguration(const std::string& file) {
    // The test half reads the whole file before it changes anything: a file it cannot read (no
    // regular file, unreadable) ends the open with nothing changed. The network half refuses the
    // same way.
    std::string error;
    if (!services_.testManager->LoadSettings(file, &error)) {
        services_.prompt().inform("Unable to read the configuration from " + file + " (" + error + ")",
                                  PromptIcon::Error);
        return;
    }
    if (links_.network)
        links_.network->LoadSettings(file);
}

void TWin_Main::openconfigClick() {
    FileDialogs& dialogs = fileDialogs_ ? *fileDialogs_ : qtFileDialogs_;
    const QString file =
        dialogs.getOpenFileName(this, {QStringLiteral("Open Configuration"), kConfigFilter, QStringLiteral("nbx"), {}});
    if (file.isEmpty())
        return;
    if (const std::string why = UnusableFileName(file); !why.empty()) {
        services_.prompt().inform("Unable to read the configuration from " + FileNameBytes(file) + " (" + why + ")",
                                  PromptIcon::Error);
        return;
    }
    OpenConfiguration(FileNameBytes(file));
}

void TWin_Main::SaveConfiguration() {
    FileDialogs& dialogs = fileDialogs_ ? *fileDialogs_ : qtFileDialogs_;
    FileDialogRequest request{QStringLiteral("Save Configuration"), kConfigFilter, QStringLiteral("nbx"), {}};
    request.ownOverwriteQuestion = true;
    const QString file = dialogs.getSaveFileName(this, request);
    if (file.isEmpty())
        return;
    const std::string name = FileNameBytes(file);
    if (const std::string why = UnusableFileName(file); !why.empty()) {
        services_.prompt().inform("Unable to write the configuration to " + name + " (" + why + ")", PromptIcon::Error);
        return;
    }
    if (QFileInfo::exists(file)) {
        const std::string question = name + " already exists. Do you want to overwrite it?";
        if (services_.prompt().ask(PromptIcon::Question, question, kProductName, PromptButtons::YesNo) !=
            PromptAnswer::Yes)
            return;
    }
    std::string error;
    if (!services_.testManager->SaveSettings(name, &error)) {
        services_.prompt().inform("Unable to write the configuration to " + name + " (" + error + ")",
                                  PromptIcon::Error);
        return;
    }
    if (links_.network && !links_.network->SaveSettings(name, &error))
        services_.prompt().inform("Unable to write the network configuration to " + name + " (" + error + ")",
                                  PromptIcon::Error);
}

void TWin_Main::generatereportClick() {
    FileDialogs& dialogs = fileDialogs_ ? *fileDialogs_ : qtFileDialogs_;
    services_.testReport->GenerateReport(
        [this, &dialogs](const ReportFileDialog& d) -> std::optional<std::string> {
            FileDialogRequest request{QString::fromUtf8(d.title), QString::fromUtf8(d.filter),
                                      QString::fromUtf8(d.defaultSuffix), {}};
            request.ownOverwriteQuestion = true;  // a report replaces an older one without asking
            const QString file = d.save ? dialogs.getSaveFileName(this, request) : dialogs.getOpenFileName(this, request);
            if (file.isEmpty())
                return std::nullopt;
            return file.toStdString();
        },
        [this](const std::string& path) { openExternal(QString::fromStdString(path)); });
}

void TWin_Main::viewreportClick() {
    services_.testReport->ViewReport([this](const std::string& path) { openExternal(QString::fromStdString(path)); });
}

void TWin_Main::checkreportClick() {
    FileDialogs& dialogs = fileDialogs_ ? *fileDialogs_ : qtFileDialogs_;
    services_.testReport->CheckReport([this, &dialogs](const ReportFileDialog& d) -> std::optional<std::string> {
        const QString file = dialogs.getOpenFileName(
            this, {QString::fromUtf8(d.title), QString::fromUtf8(d.filter), QString::fromUtf8(d.defaultSuffix), {}});
        if (file.isEmpty())
            return std::nullopt;
        return file.toStdString();
    });
}

void TWin_Main::resetdataClick() {
    services_.deviceSummary->Clear();
    services_.log->Clear();
    services_.testManager->ResetAllResults();
}

void TWin_Main::confignetworkClick() {
    if (!links_.network || !links_.network->Execute())
        return;
    (void)services_.symbols->Reload();
    links_.network->ApplyNetworkDescription();
}

void TWin_Main::manualClick() {
    openExternal(QString::fromStdString(platform::executableDir() + "/" + kManualFile));
}

void TWin_Main::createSummary() {
    const auto valueLabel = [this](const char* name, QWidget* parent, bool elides = false) {
        for (size_t i = 0; i < kSummaryLabelCount; ++i) {
            if (std::string_view(kSummaryLabels[i].name) == name) {
                QLabel* label = elides ? new ElidingLabel(parent) : new QLabel(parent);
                label->setText(QStringLiteral("-"));
                label->setObjectName(QString::fromLatin1(name));
                label->setTextInteractionFlags(Qt::TextSelectableByMouse);
                summaryLabels_[i] = label;
                return label;
            }
        }
        return new QLabel(parent);
    };
    const auto caption = [](const char* text, QWidget* parent) {
        auto* label = new QLabel(QString::fromLatin1(text), parent);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return label;
    };
    const auto header = [](const char* text, QWidget* parent) {
        auto* label = new QLabel(QString::fromLatin1(text), parent);
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
        return label;
    };
    const auto group = [this](const char* title) {
        auto* box = new QGroupBox(QString::fromLatin1(title), summaryWidget_);
        auto* grid = new QGridLayout(box);
        // Narrow enough that both columns of boxes fit the default window with four-digit times.
        const QMargins margins = grid->contentsMargins();
        grid->setContentsMargins(6, margins.top(), 6, margins.bottom());
        grid->setHorizontalSpacing(6);
        grid->setVerticalSpacing(2);
        return std::make_pair(box, grid);
    };
    summaryLabels_.assign(kSummaryLabelCount, nullptr);

    auto [general, g] = group(" General Device Info ");
    int row = 0;
    // The texts with names run into the stretching last column, so that they never move the pairs.
    for (auto [cap, first, second] : {std::tuple{"Device Type:", "devicetype", "devicetypeadditional"},
                                      std::tuple{"Vendor:", "manufacturer", "manufacturerdept"}}) {
        g->addWidget(caption(cap, general), row, 0);
        g->addWidget(valueLabel(first, general, true), row++, 1, 1, 4);
        g->addWidget(valueLabel(second, general, true), row++, 1, 1, 4);
    }
    g->addWidget(caption("Node ID:", general), row, 0);
    g->addWidget(valueLabel("nodeid", general, true), row++, 1, 1, 4);
    g->addWidget(caption("Boot-up Time:", general), row, 0);
    g->addWidget(valueLabel("bootuptime", general), row++, 1, 1, 4);
    const char* pairs[][2] = {{"lss", "baudrate"},           {"pdolinking", "pdomapping"},
                              {"rpdonum", "sdoservernum"},   {"tpdonum", "sdoclientnum"},
                              {"nmtmaster", "heartbeatconsumer"}, {"sdomanager", "heartbeatproducer"},
                              {"configmanager", "nodeguarding"}, {"autostart", "storeparameters"},
                              {"syncconsumer", "emcyconsumer"},  {"syncproducer", "emcyproducer"}};
    const auto captionOf = [](const char* name) {
        for (const SummaryLabel& l : kSummaryLabels)
            if (std::string_view(l.name) == name)
                return l.caption;
        return "";
    };
    for (const auto& pair : pairs) {
        for (int side = 0; side < 2; ++side) {
            g->addWidget(caption(captionOf(pair[side]), general), row, side * 2);
            g->addWidget(valueLabel(pair[side], general), row, side * 2 + 1);
        }
        ++row;
    }
    g->setColumnMinimumWidth(1, 70);
    g->setColumnStretch(4, 1);

    auto [timings, t] = group(" Timings ");
    const char* timingHeads[] = {"Min", "Max", "Average", "Num"};
    for (int c = 0; c < 4; ++c)
        t->addWidget(header(timingHeads[c], timings), 0, c + 1);
    const char* timingRows[][5] = {{"Boot-up:", "bootupmin", "bootupmax", "bootupaverage", "bootuptries"},
                                   {"SDO Response:", "sdoresponsemin", "sdoresponsemax", "sdoresponseaverage",
                                    "sdoresponsetries"}};
    for (int r = 0; r < 2; ++r) {
        t->addWidget(caption(timingRows[r][0], timings), r + 1, 0);
        for (int c = 0; c < 4; ++c)
            t->addWidget(valueLabel(timingRows[r][c + 1], timings), r + 1, c + 1);
    }
    // Room for common times from the start: the columns do not jump as the first values arrive.
    const int timeWidth = timings->fontMetrics().horizontalAdvance(QStringLiteral("000.00 ms"));
    for (int c = 1; c <= 3; ++c)
        t->setColumnMinimumWidth(c, timeWidth);

    auto [tests, s] = group(" Test Summary ");
    row = 0;
    struct Block {
        const char* heads[4];
        const char* rows[2][5];
        const char* note;
    };
    const Block blocks[] = {
        {{"Min", "Max", "Dev", nullptr},
         {{"100 ms Heartbeat:", "heartbeat100msmin", "heartbeat100msmax", "heartbeat100msdev", nullptr}, {}},
         nullptr},
        {{"Min", "Max", "Diff", nullptr},
         {{"100 ms Node Grding:", "nodeguarding100msmin", "nodeguarding100msmax", "nodeguarding100msdiff", nullptr},
          {}},
         nullptr},
        {{"Min", "Max", "Dev", "Ave"},
         {{"100 ms Event TPDO:", "eventtpdo100msmin", "eventtpdo100msmax", "eventtpdo100msdev", "eventtpdo100msave"},
          {"10 ms Event TPDO:", "eventtpdo10msmin", "eventtpdo10msmax", "eventtpdo10msdev", "eventtpdo10msave"}},
         "(TPDO period time)"},
        {{"Min", "Max", "Diff", "Ave"},
         {{"100 ms Sync TPDO:", "synctpdo100msmin", "synctpdo100msmax", "synctpdo100msdiff", "synctpdo100msave"},
          {"10 ms Sync TPDO:", "synctpdo10msmin", "synctpdo10msmax", "synctpdo10msdiff", "synctpdo10msave"}},
         "(TPDO sync response time)"},
    };
    for (const Block& b : blocks) {
        for (int c = 0; c < 4; ++c)
            if (b.heads[c])
                s->addWidget(header(b.heads[c], tests), row, c + 1);
        ++row;
        for (const auto& r : b.rows) {
            if (!r[0])
                continue;
            s->addWidget(caption(r[0], tests), row, 0);
            for (int c = 0; c < 4; ++c)
                if (r[c + 1])
                    s->addWidget(valueLabel(r[c + 1], tests), row, c + 1);
            ++row;
        }
        if (b.note)
            s->addWidget(caption(b.note, tests), row++, 0, 1, 5);
    }
    for (const char* name : {"peakmessagerate", "maxbusload", "maxburstlength"}) {
        s->addWidget(caption(captionOf(name), tests), row, 0);
        s->addWidget(valueLabel(name, tests), row++, 1, 1, 4);
    }
    for (int c = 1; c <= 4; ++c)
        s->setColumnMinimumWidth(c, timeWidth);

    auto [rating, r] = group(" Overall Rating ");
    row = 0;
    for (const char* name : {"compatibilityrating", "performancerating", "reliabilityrating"}) {
        r->addWidget(caption(captionOf(name), rating), row, 0);
        r->addWidget(valueLabel(name, rating), row++, 1);
    }
    r->setColumnStretch(1, 1);

    // General info and timings on the left, test summary and rating on the right.
    auto* columns = new QHBoxLayout();
    columns->setContentsMargins(4, 4, 4, 4);
    auto* left = new QVBoxLayout();
    left->addWidget(general);
    left->addWidget(timings);
    left->addStretch(1);
    auto* right = new QVBoxLayout();
    right->addWidget(tests);
    right->addWidget(rating);
    right->addStretch(1);
    columns->addLayout(left, 0);
    columns->addLayout(right, 1);
    summaryLayout_->addLayout(columns);
    summaryWidget_->installEventFilter(new SummaryColumns(columns, left, right, mainbox_->viewport(), this));
}

void TWin_Main::UpdateDeviceSummary() {
    // The texts stay as they were when the summary is busy; the next change brings them.
    if (!summaryDisplay_.Refresh(StoreSummaryNames<TSymbols>(*services_.symbols)))
        return;
    const SummaryTexts& texts = summaryDisplay_.Texts();
    for (size_t i = 0; i < kSummaryLabelCount; ++i) {
        const QString text = QString::fromStdString(texts.*(kSummaryLabels[i].text));
        if (auto* eliding = dynamic_cast<ElidingLabel*>(summaryLabels_[i]))
            eliding->setFullText(text);
        else if (QLabel* label = summaryLabels_[i])
            label->setText(text);
    }
}

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
    if (links_.hardwareDialog && !links_.hardwareDialog()) {
        close();
        return;
    }
    // A bit rate the library could not tell stays unset in the summary.
    if (services_.hardware.initialised && services_.hardware.baudrate > 0)
        services_.deviceSummary->SetBaudrate(static_cast<uint32_t>(services_.hardware.baudrate));
    services_.testManager->LoadTestOrder();
    BuildTestPanel();
    if (links_.network)
        links_.network->ApplyNetworkDescription();
    setRunningEnabling(services_.testManager->GetRunState() == 1);
    // Qt has taken its own arguments out already.
    if (arguments_.size() == 2)
        OpenConfiguration(arguments_[1]);
}

void TWin_Main::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    if (!closing_) {
        closing_ = true;
        removeListeners();
        services_.testManager->CancelTests();
        setRunningEnabling(false);
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
    if (services_.testManager->GetRunState() != 0)
        return false;
    closeTimer_.stop();
    services_.testManager->WaitForTestThread();  // the run has ended: this only collects its thread
    services_.StopActivity();  // closes the hardware once
    storeSettings();
    closed_ = true;
    Q_EMIT Closed();
    return true;
}

void TWin_Main::CloseUnattended() {
    unattended_ = true;
    close();
}

void TWin_Main::storeSettings() {
    const std::string problem = services_.StoreSettings([this] { SaveWindowSettings(); });
    if (problem.empty())
        return;
    std::fprintf(stderr, "%s: the settings could not be stored: %s\n", kProductName, problem.c_str());
    if (!unattended_)
        services_.prompt().inform("The settings could not be stored (" + problem +
                                      "). The changes of this session will be lost when the program ends.",
                                  PromptIcon::Warning);
}

void TWin_Main::LoadWindowSettings() {
    auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, std::string(kProductKey) + kMainKey);
    if (!key)
        return;
    if (key->readInteger("windowstate").value_or(0) == 2)
        setWindowState(Qt::WindowMaximized);
    // A window stored on a screen that has gone, or larger than this one, comes back whole onto it.
    if (!windowState().testFlag(Qt::WindowMaximized))
        RestoreGeometry(*this, {key->readInteger("left"), key->readInteger("top"), key->readInteger("width"),
                                key->readInteger("height")},
                        kMinimumSize);
    // Each pane keeps a usable size, whatever the registry holds: a quarter of the window at least.
    if (auto w = key->readInteger("testboxwidth"); w && *w > 0)
        horizontal_->setSizes(splitterSizes(width(), *w, std::max(kMinimumPane, width() / 4)));
    if (auto h = key->readInteger("messageboxheight"); h && *h > 0)
        vertical_->setSizes(splitterSizes(height(), *h, std::max(kMinimumPane, height() / 4)));
}

void TWin_Main::SaveWindowSettings() {
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, std::string(kProductKey) + kMainKey);
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
