#include "win_timing.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>

#include <algorithm>

#include "timing_engine.h"
#include "timing_results_model.h"
#include "window_geometry.h"

namespace ostrel::vessolt {

namespace {

struct WindowDesign {
    int width;
    int height;
    const char* prefix;  // of the control names
    bool rpdoCount;
};

WindowDesign designOf(TimingTestKind kind) {
    switch (kind) {
    case TimingTestKind::TPDOSync:
        return {796, 246, "tpdosync", false};
    case TimingTestKind::TPDOSyncRPDOs:
        return {658, 305, "tpdosyncrpdos", true};
    case TimingTestKind::TPDOEvent:
        return {680, 294, "tpdoevent", false};
    case TimingTestKind::TPDOEventRPDOs:
        return {694, 273, "tpdoeventrpdos", true};
    case TimingTestKind::PDOTurnaround:
        break;
    }
    return {680, 294, "", true};
}

constexpr int kColumnWidth = 80;

}  // namespace

TTimingTestWindow::TTimingTestWindow(TimingTestEngine& engine, TTestManager& manager, QWidget* parent)
    : TTestWindow(manager, engine.Variant().testNumber, QString::fromUtf8(engine.Variant().displayName), parent),
      engine_(engine) {
    // The registry key holds the test's settings beside the placement: the engine writes both.
    setSavesFrameSettings(false);
    const TimingVariant& variant = engine_.Variant();
    const WindowDesign design = designOf(variant.kind);
    const QString prefix = QString::fromLatin1(design.prefix);
    const bool turnaround = variant.kind == TimingTestKind::PDOTurnaround;

    // The counts go to the left of the top panel, before its stretch.
    auto* topRow = qobject_cast<QHBoxLayout*>(progressbar->parentWidget()->layout());
    QWidget* top = progressbar->parentWidget();
    int at = 0;
    auto addLabel = [&](const QString& text, const QString& name) {
        auto* l = new QLabel(text, top);
        l->setObjectName(name);
        topRow->insertWidget(at++, l);
        return l;
    };
    addLabel("TPDOs:", QString());
    shownTpdos_ = engine_.GetTPDOCount();
    shownRpdos_ = engine_.GetRPDOCount();
    tpdonum = addLabel(QString::number(shownTpdos_), turnaround ? QString("tpdonumlabel") : prefix + "tpdonum");
    if (design.rpdoCount) {
        topRow->insertSpacing(at++, 12);
        addLabel("RPDOs:", QString());
        rpdonum = addLabel(QString::number(shownRpdos_), turnaround ? QString("rpdonumlabel") : prefix + "rpdonum");
    }
    label->setObjectName(prefix + "label");
    configtest->setObjectName("config" + prefix + "test");
    canceltest->setObjectName("cancel" + prefix + "test");
    runtest->setObjectName("run" + prefix + "test");
    progressbar->setObjectName(prefix + "progressbar");
    closeButton->setObjectName("close");
    progressbar->setFixedSize(125, 10);
    configtest->setLayoutDirection(Qt::RightToLeft);  // the glyph at the right
    runtest->setLayoutDirection(Qt::RightToLeft);
    // The design widths, widened where the font and the glyph need more.
    const auto fit = [](QPushButton* button, int width) {
        button->setFixedSize(std::max(width, button->sizeHint().width() + 6), 25);
    };
    fit(configtest, 114);
    fit(canceltest, 84);
    fit(runtest, 84);
    fit(closeButton, 75);
    closeButton->setToolTip("Click to close the window");

    model_ = new TimingResultsModel(engine_.Results(), variant, this);
    table_ = new QTableView(this);
    table_->setObjectName(prefix + "table");
    table_->setModel(model_);
    table_->setItemDelegate(new TimingResultsDelegate(table_));
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setMinimumSectionSize(1);
    table_->verticalHeader()->setDefaultSectionSize(std::max(14, table_->fontMetrics().height() + 1));
    QHeaderView* header = table_->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setDefaultSectionSize(kColumnWidth);
    for (int column = 0; column < variant.columnCount; ++column)
        table_->setColumnWidth(column, kColumnWidth);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setShowGrid(true);
    QPalette gridPalette = table_->palette();
    gridPalette.setColor(QPalette::Base, Qt::white);
    table_->setPalette(gridPalette);
    setGrid(table_, variant.columnCount - 2);

    resize(design.width, design.height);
    CentreOnScreen(*this);

    engine_.Results().AddListener(&sink());
    ApplyPlacement(engine_.InitSettings());
    model_->Refresh();
    ShowStatus();
}

TTimingTestWindow::~TTimingTestWindow() {
    engine_.Results().RemoveListener(&sink());
    StoreSettings();
}

void TTimingTestWindow::StoreSettings() { engine_.SaveSettings(Placement()); }

WindowPlacement TTimingTestWindow::Placement() {
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    WindowPlacement placement;
    const bool maximized = isMaximized();
    placement.state = maximized ? 2 : 0;
    if (!maximized) {
        placement.left = pos().x();
        placement.top = pos().y();
        placement.width = size().width();
        placement.height = size().height();
    }
    return placement;
}

void TTimingTestWindow::ApplyPlacement(const WindowPlacement& placement) {
    if (placement.state.value_or(0) == 2) {
        setWindowState(windowState() | Qt::WindowMaximized);
        return;
    }
    RestoreGeometry(*this, {placement.left, placement.top, placement.width, placement.height}, {}, true);
}

void TTimingTestWindow::showPdoCounts() {
    const uint32_t tpdos = engine_.GetTPDOCount();
    const uint32_t rpdos = engine_.GetRPDOCount();
    if (tpdos == shownTpdos_ && rpdos == shownRpdos_)
        return;
    shownTpdos_ = tpdos;
    shownRpdos_ = rpdos;
    tpdonum->setText(QString::number(tpdos));
    if (rpdonum)
        rpdonum->setText(QString::number(rpdos));
}

void TTimingTestWindow::serviceMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == WM_TIMINGRESULTSCHANGED) {
        model_->Refresh();
        showPdoCounts();
    } else {
        TTestWindow::serviceMessage(message, wParam, lParam);
    }
}

std::unique_ptr<TTimingTestWindow> MakeTimingWindow(TimingTestEngine& engine, TTestManager& manager,
                                                    TimingWindowHooks hooks) {
    std::unique_ptr<TTimingTestWindow> window;
    switch (engine.Variant().kind) {
    case TimingTestKind::TPDOSync:
        window = std::make_unique<TWin_TPDOSync>(engine, manager);
        break;
    case TimingTestKind::TPDOSyncRPDOs:
        window = std::make_unique<TWin_TPDOSyncRPDOs>(engine, manager);
        break;
    case TimingTestKind::TPDOEvent:
        window = std::make_unique<TWin_TPDOEvent>(engine, manager);
        break;
    case TimingTestKind::TPDOEventRPDOs:
        window = std::make_unique<TWin_TPDOEventRPDOs>(engine, manager);
        break;
    case TimingTestKind::PDOTurnaround:
        window = std::make_unique<TWin_PDOTurnaround>(engine, manager);
        break;
    }
    if (!hooks.showWindow)
        hooks.showWindow = [w = QPointer<TTimingTestWindow>(window.get())] {
            if (w) {
                w->show();
                w->raise();
            }
        };
    RegisterTimingTest(manager, engine, std::move(hooks));
    window->ShowStatus();
    return window;
}

}  // namespace ostrel::vessolt
