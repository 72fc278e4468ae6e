#include "test_window.h"

#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionHeaderV2>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "window_geometry.h"

#include <platform/registry.h>

#include "services/product_key.h"
#include "test_common.h"
#include "testing/test_manager.h"
#include "services/window_messages.h"

namespace ostrel::vessolt {

namespace {

QColor fromBgr(uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

// Column titles wider than their columns end in "…" (the models give them whole as tool tips);
// the style alone would cut them off with no sign.
class TitleStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        const auto* header = qstyleoption_cast<const QStyleOptionHeader*>(option);
        if (element != CE_HeaderLabel || header == nullptr) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        QStyleOptionHeaderV2 cut;
        if (const auto* full = qstyleoption_cast<const QStyleOptionHeaderV2*>(option))
            cut = *full;
        else
            static_cast<QStyleOptionHeader&>(cut) = *header;
        cut.text = header->fontMetrics.elidedText(header->text, Qt::ElideRight, header->rect.width());
        QProxyStyle::drawControl(element, &cut, painter, widget);
    }
};

}  // namespace

TTestWindow::TTestWindow(TTestManager& manager, int32_t testId, const QString& title, QWidget* parent)
    : QWidget(parent, Qt::Window), manager_(manager), testId_(testId), sink_(this) {
    setWindowTitle(title);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* top = new QWidget(this);
    top->setFixedHeight(33);
    top->setAutoFillBackground(true);
    QPalette topPalette = top->palette();
    topPalette.setColor(QPalette::Window, topPalette.color(QPalette::ToolTipBase));
    top->setPalette(topPalette);
    auto* topRow = new QHBoxLayout(top);
    topRow->setContentsMargins(4, 4, 4, 4);
    progressbar = new QProgressBar(top);
    progressbar->setRange(0, 100);
    progressbar->setTextVisible(false);
    progressbar->setToolTip("The progress of the test");
    label = new QLabel(top);
    configtest = new QPushButton("Configure Test", top);
    configtest->setToolTip("Click to configure this test");
    configtest->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    canceltest = new QPushButton("Cancel Test", top);
    canceltest->setToolTip("Click to cancel this test");
    runtest = new QPushButton("Run Test", top);
    runtest->setToolTip("Click to execute this test");
    runtest->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    topRow->addStretch(1);
    topRow->addWidget(progressbar);
    topRow->addWidget(label);
    topRow->addWidget(configtest);
    topRow->addWidget(canceltest);
    topRow->addWidget(runtest);
    outer->addWidget(top);

    body_ = new QWidget(this);
    auto* bodyLayout = new QVBoxLayout(body_);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(body_, 1);

    auto* line = new QFrame(this);
    line->setFixedHeight(1);
    line->setStyleSheet("background-color: black;");
    outer->addWidget(line);
    auto* bottom = new QWidget(this);
    bottom->setFixedHeight(41);
    auto* bottomRow = new QHBoxLayout(bottom);
    bottomRow->addStretch(1);
    closeButton = new QPushButton("Close", bottom);
    bottomRow->addWidget(closeButton);
    outer->addWidget(bottom);

    connect(runtest, &QPushButton::clicked, this, [this] { manager_.RunTest(testId_); });
    connect(canceltest, &QPushButton::clicked, this, [this] { manager_.CancelTests(); });
    connect(configtest, &QPushButton::clicked, this, [this] { manager_.ConfigureTest(testId_, this); });
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    label->setText(StatusLabelText(NOTSTARTED));
    QPalette labelPalette = label->palette();
    labelPalette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(labelPalette);

    manager_.AddTestListListener(&sink_);
    manager_.AddRunStateListener(&sink_);
    configtest->setEnabled(manager_.GetRunState() == 0);
}

TTestWindow::~TTestWindow() {
    manager_.RemoveTestListListener(&sink_);
    manager_.RemoveRunStateListener(&sink_);
    sink_.detach();
    StoreSettings();
}

void TTestWindow::StoreSettings() {
    if (savesFrameSettings_)
        SaveSettings();
}

void TTestWindow::setGrid(QTableView* grid, int lastSizable) {
    grid_ = grid;
    lastSizable_ = lastSizable;
    body_->layout()->addWidget(grid);
    grid->horizontalHeader()->viewport()->installEventFilter(this);
    grid->viewport()->installEventFilter(this);  // a wider window lets long texts show more
    auto* titles = new TitleStyle();
    titles->setParent(grid->horizontalHeader());
    grid->horizontalHeader()->setStyle(titles);
    const QAbstractItemModel* model = grid->model();
    const auto measure = [this] { fitColumns(true); };
    connect(model, &QAbstractItemModel::modelReset, this, measure);
    connect(model, &QAbstractItemModel::dataChanged, this, measure);
    connect(model, &QAbstractItemModel::headerDataChanged, this, measure);
}

void TTestWindow::fitColumns(bool measure) {
    const QAbstractItemModel* model = grid_ ? grid_->model() : nullptr;
    if (model == nullptr || model->columnCount() < 2)
        return;
    // A list that only grew (a scan adds rows) needs only its new rows measured.
    const int rows = model->rowCount();
    const int columns = model->columnCount() - 1;  // the last one stretches
    if (static_cast<int>(contentWidths_.size()) != columns || (measure && rows <= fittedRows_)) {
        fittedRows_ = 0;
        contentWidths_.assign(static_cast<size_t>(columns), 0);
    }
    const QHeaderView* header = grid_->horizontalHeader();
    // A column is never narrowed: its title and its present width are its floor.
    std::vector<int> floors(static_cast<size_t>(columns));
    int floorSum = 0;
    int wantedSum = 0;
    for (int column = 0; column < columns; ++column) {
        auto& content = contentWidths_[static_cast<size_t>(column)];
        if (measure && rows > fittedRows_)
            content = std::max(content, FitColumnWidth(*grid_, column, fittedRows_));
        const int floor = std::max(header->sectionSizeHint(column), grid_->columnWidth(column));
        floors[static_cast<size_t>(column)] = floor;
        floorSum += floor;
        wantedSum += std::max(floor, content);
    }
    if (measure)
        fittedRows_ = rows;
    // Long texts share what the window has left beside the last column (which the header never
    // makes narrower than its default), so that a window with room needs no sideways scrolling.
    const int room = grid_->viewport()->width() - std::max(header->sectionSizeHint(columns), header->defaultSectionSize());
    const double share = wantedSum <= room ? 1.0
                         : room <= floorSum ? 0.0
                                            : static_cast<double>(room - floorSum) / (wantedSum - floorSum);
    bool widened = false;
    for (int column = 0; column < columns; ++column) {
        const int floor = floors[static_cast<size_t>(column)];
        const int extra = std::max(0, contentWidths_[static_cast<size_t>(column)] - floor);
        const int needed = floor + static_cast<int>(extra * share);
        if (grid_->columnWidth(column) < needed) {
            grid_->setColumnWidth(column, needed);
            widened = true;
        }
    }
    // The header stretches its last section only when it is resized itself: let it do so now.
    if (widened)
        QMetaObject::invokeMethod(grid_->horizontalHeader(), "resizeSections", Qt::DirectConnection);
}

void TTestWindow::ShowStatus() {
    TEST test;
    if (!manager_.GetTest(testId_, test))
        return;
    progressbar->setValue(std::clamp(test.progress, 0, 100));
    label->setText(StatusLabelText(test.status));
    const QColor colour = fromBgr(StatusColour(test.status));
    QPalette labelPalette = label->palette();
    labelPalette.setColor(QPalette::WindowText, colour);
    label->setPalette(labelPalette);
    QPalette barPalette = progressbar->palette();
    barPalette.setColor(QPalette::Highlight, colour);
    progressbar->setPalette(barPalette);
}

void TTestWindow::serviceMessage(uint32_t message, uintptr_t wParam, intptr_t) {
    if (message == WM_TESTLISTCHANGED)
        ShowStatus();
    else if (message == WM_TESTRUNSTATE)
        configtest->setEnabled(wParam != 1);
}

bool TTestWindow::event(QEvent* e) {
    // Widths restored from the registry may be narrower than the titles.
    if (e->type() == QEvent::Show)
        fitColumns(true);
    if (e->type() == ServiceEvent::type()) {
        const auto* service = static_cast<ServiceEvent*>(e);
        serviceMessage(service->message, service->wParam, service->lParam);
        return true;
    }
    return QWidget::event(e);
}

int TTestWindow::ColumnAtEdge(const QTableView& grid, int x, int lastSizable) {
    const QHeaderView* header = grid.horizontalHeader();
    const int section = header->logicalIndexAt(x);
    if (section < 0)
        return -1;
    const int left = header->sectionViewportPosition(section);
    const int right = left + header->sectionSize(section);
    int column = -1;
    if (x - left <= 4)
        column = section - 1;
    else if (right - x <= 4)
        column = section;
    return column >= 0 && column <= lastSizable ? column : -1;
}

int TTestWindow::FitColumnWidth(const QTableView& grid, int column, int fromRow) {
    const QFontMetrics metrics(grid.font());
    int widest = 0;
    const QAbstractItemModel* model = grid.model();
    for (int row = std::max(0, fromRow); model && row < model->rowCount(); ++row)
        widest = std::max(widest, metrics.horizontalAdvance(model->index(row, column).data().toString()));
    return std::max(6, widest + metrics.horizontalAdvance("... "));
}

bool TTestWindow::eventFilter(QObject* watched, QEvent* e) {
    // After the header has taken the new width too.
    if (grid_ && watched == grid_->viewport() && e->type() == QEvent::Resize)
        QMetaObject::invokeMethod(this, [this] { fitColumns(false); }, Qt::QueuedConnection);
    if (grid_ && watched == grid_->horizontalHeader()->viewport() && e->type() == QEvent::MouseButtonDblClick) {
        const int x = static_cast<QMouseEvent*>(e)->position().toPoint().x();
        const int column = ColumnAtEdge(*grid_, x, lastSizable_);
        if (column >= 0)
            grid_->setColumnWidth(column, FitColumnWidth(*grid_, column));
        return true;
    }
    return QWidget::eventFilter(watched, e);
}

std::string TTestWindow::RegistryKeyPath() const {
    return std::string(kProductKey) + "\\" + windowTitle().toStdString();
}

void TTestWindow::SaveSettings() {
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, RegistryKeyPath());
    if (!key)
        return;
    const bool maximised = isMaximized();
    key->writeInteger("windowstate", maximised ? 2 : 0);
    if (!maximised) {
        // A minimised window is saved with its normal bounds.
        const QRect bounds = isMinimized() ? normalGeometry() : geometry();
        key->writeInteger("top", bounds.top());
        key->writeInteger("left", bounds.left());
        key->writeInteger("width", bounds.width());
        key->writeInteger("height", bounds.height());
    }
    if (grid_)
        for (int column = 0; column + 1 < grid_->model()->columnCount(); ++column)
            key->writeInteger("colwidth" + std::to_string(column), grid_->columnWidth(column));
}

void TTestWindow::LoadSettings() {
    auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, RegistryKeyPath());
    if (!key)
        return;
    const auto state = key->readInteger("windowstate");
    const bool maximised = state && *state == 2;
    if (maximised) {
        setWindowState(windowState() | Qt::WindowMaximized);
    } else {
        RestoreGeometry(*this, {key->readInteger("left"), key->readInteger("top"), key->readInteger("width"),
                                key->readInteger("height")});
    }
    if (grid_)
        for (int column = 0; column + 1 < grid_->model()->columnCount(); ++column)
            if (auto v = key->readInteger("colwidth" + std::to_string(column)); v && *v > 0)
                grid_->setColumnWidth(column, std::min(*v, availableArea(*this).width()));  // no wider than the screen
}

}  // namespace ostrel::vessolt
