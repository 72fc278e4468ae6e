#include "win_odscan.h"

#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>

#include "od_scan.h"
#include "od_scan_model.h"
#include "test_common.h"
#include "window_geometry.h"

namespace ostrel::vessolt {

namespace {

QColor fromBgr(uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

// Cells are painted as the grid always drew them: the column's background, black text one pixel
// in from the left, cut with "..." when too wide.
class ODScanDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const int32_t colour = TODScanModel::ColumnColour(index.column());
        const QPalette& palette = option.palette;
        const QColor background = colour >= 0    ? fromBgr(static_cast<uint32_t>(colour))
                                  : colour == -1 ? palette.color(QPalette::ToolTipBase)
                                                 : palette.color(QPalette::Button);
        painter->fillRect(option.rect, background);
        const QFontMetrics metrics(option.font);
        const std::string text = index.data().toString().toStdString();
        const std::string shown = ElideCellText(text, option.rect.width(), [&metrics](const std::string& t) {
            return metrics.horizontalAdvance(QString::fromStdString(t));
        });
        painter->setPen(Qt::black);
        painter->drawText(option.rect.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                          QString::fromStdString(shown));
    }
};

constexpr int kWidths[9] = {50, 60, 150, 100, 40, 40, 70, 100, 150};

}  // namespace

TWin_ODScan::TWin_ODScan(TODScan& scan, TTestManager& manager, QWidget* parent)
    : TTestWindow(manager, TODScan::kTestId, TODScan::kName, parent), scan_(scan) {
    model_ = new TODScanModel(scan_, this);
    odlist_ = new QTableView(this);
    odlist_->setModel(model_);
    odlist_->setItemDelegate(new ODScanDelegate(odlist_));
    odlist_->verticalHeader()->hide();
    odlist_->verticalHeader()->setMinimumSectionSize(1);
    odlist_->verticalHeader()->setDefaultSectionSize(std::max(14, odlist_->fontMetrics().height() + 1));
    odlist_->horizontalHeader()->setStretchLastSection(true);
    odlist_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    odlist_->horizontalHeader()->setHighlightSections(false);
    odlist_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    odlist_->horizontalHeader()->setTextElideMode(Qt::ElideRight);
    odlist_->setSelectionMode(QAbstractItemView::NoSelection);
    odlist_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int column = 0; column < 9; ++column)
        odlist_->setColumnWidth(column, kWidths[column]);
    setGrid(odlist_, 7);

    resize(744, 401);
    CentreOnScreen(*this);
    scan_.SetResultListener(&sink());
    LoadSettings();
    ShowStatus();
}

TWin_ODScan::~TWin_ODScan() { scan_.SetResultListener(nullptr); }

void TWin_ODScan::RefreshList() { model_->Refresh(); }

void TWin_ODScan::SymbolsLoaded() { sink().post(WM_ODSCAN_RESULTSCHANGED, 0, 0); }

void TWin_ODScan::serviceMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == WM_ODSCAN_RESULTSCHANGED) {
        // A scan posts once per result: one copy serves a burst of them.
        if (!refreshQueued_) {
            refreshQueued_ = true;
            QTimer::singleShot(20, this, [this] {
                refreshQueued_ = false;
                RefreshList();
            });
        }
    } else
        TTestWindow::serviceMessage(message, wParam, lParam);
}

}  // namespace ostrel::vessolt
