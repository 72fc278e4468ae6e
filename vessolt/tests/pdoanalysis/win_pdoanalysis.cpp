#include "win_pdoanalysis.h"

#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTableView>
#include <algorithm>

#include <platform/registry.h>

#include "pdo_analysis.h"
#include "pdo_analysis_model.h"
#include "test_common.h"
#include "window_geometry.h"

// The check images live in this static library; the resource must be registered by name.
static void initPDOAnalysisResources() { Q_INIT_RESOURCE(pdoanalysis); }

namespace ostrel::vessolt {

namespace {

QColor fromBgr(uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

class PDOAnalysisDelegate : public QStyledItemDelegate {
public:
    PDOAnalysisDelegate(QObject* parent) : QStyledItemDelegate(parent) {
        checkOn_ = QPixmap(QStringLiteral(":/pdoanalysis/IMAGE_CHECKON"));
        checkOff_ = QPixmap(QStringLiteral(":/pdoanalysis/IMAGE_CHECKOFF"));
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QRect rect = option.rect;
        const int background = index.data(TPDOAnalysisModel::kBackgroundRole).toInt();
        painter->fillRect(rect, background == TPDOAnalysisModel::kButtonFace
                                    ? option.palette.color(QPalette::Button)
                                    : fromBgr(static_cast<uint32_t>(background)));
        painter->setPen(fromBgr(static_cast<uint32_t>(index.data(TPDOAnalysisModel::kTextColourRole).toInt())));
        const QString text = index.data().toString();
        const QFontMetrics metrics(option.font);
        const int check = index.data(TPDOAnalysisModel::kCheckRole).toInt();
        if (check != TPDOAnalysisModel::kCheckNone) {
            // The image stands for the leading 1 or 0; the access mark follows it.
            const QPixmap& image = check == TPDOAnalysisModel::kCheckOn ? checkOn_ : checkOff_;
            painter->drawPixmap(rect.left() + 2, rect.top() + 1, image);
            painter->drawText(rect.adjusted(2 + image.width() + 1, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                              text.mid(1));
        } else {
            const std::string shown = ElideCellText(text.toStdString(), rect.width(), [&metrics](const std::string& t) {
                return metrics.horizontalAdvance(QString::fromStdString(t));
            });
            painter->drawText(rect.adjusted(2, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(shown));
        }
        // Separates the communication parameters from the mapping.
        if (const int width = index.data(TPDOAnalysisModel::kSeparatorRole).toInt(); width > 0)
            painter->fillRect(QRect(rect.right() - width + 1, rect.top(), width, rect.height()), QColor(0x80, 0x80, 0x80));
    }

private:
    QPixmap checkOn_;
    QPixmap checkOff_;
};

}  // namespace

TWin_PDOAnalysis::TWin_PDOAnalysis(TPDOAnalysis& analysis, TTestManager& manager, QWidget* parent)
    : TTestWindow(manager, TPDOAnalysis::kTestId, TPDOAnalysis::kName, parent), analysis_(analysis) {
    initPDOAnalysisResources();
    setSavesFrameSettings(false);
    model_ = new TPDOAnalysisModel(analysis_, this);
    pdolist_ = new QTableView(this);
    pdolist_->setModel(model_);
    pdolist_->setItemDelegate(new PDOAnalysisDelegate(pdolist_));
    pdolist_->verticalHeader()->hide();
    pdolist_->verticalHeader()->setMinimumSectionSize(1);
    pdolist_->verticalHeader()->setDefaultSectionSize(RowHeight(logicalDpiY()));
    pdolist_->horizontalHeader()->setStretchLastSection(true);
    pdolist_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    pdolist_->horizontalHeader()->setHighlightSections(false);
    pdolist_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pdolist_->horizontalHeader()->setTextElideMode(Qt::ElideRight);
    pdolist_->setSelectionMode(QAbstractItemView::NoSelection);
    pdolist_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pdolist_->setStyleSheet("QTableView { background-color: white; }");
    pdolist_->setColumnWidth(0, 60);
    setGrid(pdolist_, 7);

    resize(736, 371 + 33 + 42);
    CentreOnScreen(*this);
    analysis_.SetTableListener(&sink());
    LoadSettings();
    model_->Refresh();
    // Off until the first row of a run arrives.
    pdolist_->setEnabled(model_->rowCount() > 0);
    ShowStatus();
}

TWin_PDOAnalysis::~TWin_PDOAnalysis() {
    analysis_.SetTableListener(nullptr);
    SaveSettings();
}

void TWin_PDOAnalysis::RefreshPDORows() { model_->Refresh(); }

void TWin_PDOAnalysis::SymbolsLoaded() { sink().post(WM_PDOANALYSIS_ROWADDED, 0, 0); }

void TWin_PDOAnalysis::serviceMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
        case WM_PDOANALYSIS_RESET:
            model_->ClearMarks();
            pdolist_->setEnabled(model_->rowCount() > 0);
            break;
        case WM_PDOANALYSIS_ROWADDED:
            RefreshPDORows();
            pdolist_->setEnabled(model_->rowCount() > 0);
            break;
        case WM_PDOANALYSIS_MARKS: model_->ShowMarks(); break;
        default: TTestWindow::serviceMessage(message, wParam, lParam); break;
    }
}

void TWin_PDOAnalysis::SaveSettings() {
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, RegistryKeyPath());
    if (!key)
        return;
    for (int column = 1; column < TPDOAnalysisModel::kColumns; ++column)
        key->writeInteger("pdocol" + std::to_string(column) + "width", pdolist_->columnWidth(column));
    const QRect bounds = isMinimized() || isMaximized() ? normalGeometry() : geometry();
    key->writeInteger("pdolistwidth", bounds.width());
    key->writeInteger("pdolistheight", bounds.height());
    key->writeInteger("pdoconfigleft", bounds.left());
    key->writeInteger("pdoconfigtop", bounds.top());
}

void TWin_PDOAnalysis::LoadSettings() {
    auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, RegistryKeyPath());
    if (!key)
        return;
    for (int column = 1; column < TPDOAnalysisModel::kColumns; ++column)
        if (auto v = key->readInteger("pdocol" + std::to_string(column) + "width"); v && *v > 0)
            pdolist_->setColumnWidth(column, std::min(*v, availableArea(*this).width()));  // no wider than the screen
    RestoreGeometry(*this, {key->readInteger("pdoconfigleft"), key->readInteger("pdoconfigtop"),
                            key->readInteger("pdolistwidth"), key->readInteger("pdolistheight")});
}

}  // namespace ostrel::vessolt
