#include "win_network_config.h"

#include "dialog_placement.h"

#include "file_dialog.h"
#include "network/symbols.h"
#include "services/user_prompt.h"
#include "window_geometry.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace ostrel::vessolt {

namespace {

constexpr int kRowHeight = 18;
constexpr int kEdgeGrip = 3;  // pixels either side of a header edge that a double-click auto-sizes
constexpr int kColumnWidths96[] = {50, 30, 55, 160, 200, 200};  // at 96 dpi; the last column fills

bool isButtonColumn(int column) {
    return column == NodeTableModel::DeleteColumn || column == NodeTableModel::EditColumn;
}

void drawShortened(QPainter* painter, const QRect& cell, const QString& text, const QFontMetrics& metrics) {
    painter->save();
    painter->setClipRect(cell);
    painter->drawText(cell.adjusted(1, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                      shortenCellText(text, cell.width(), metrics));
    painter->restore();
}

// The header row: white over the two button columns, the button face elsewhere.
class NodeTableHeader : public QHeaderView {
public:
    explicit NodeTableHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
        if (!rect.isValid())
            return;
        const QPalette& pal = palette();
        painter->fillRect(rect, isButtonColumn(logicalIndex) ? QColor(Qt::white) : pal.color(QPalette::Button));
        painter->setPen(Qt::black);
        drawShortened(painter, rect, model()->headerData(logicalIndex, Qt::Horizontal).toString(), fontMetrics());
        painter->setPen(pal.color(QPalette::Dark));
        painter->drawLine(rect.topRight(), rect.bottomRight());
        painter->drawLine(rect.bottomLeft(), rect.bottomRight());
    }
};

} // namespace

QString shortenCellText(const QString& text, int cellWidth, const QFontMetrics& metrics) {
    const int tail = metrics.horizontalAdvance(QStringLiteral("... "));
    if (metrics.horizontalAdvance(text) + tail <= cellWidth)
        return text;
    QString cut = text;
    while (!cut.isEmpty() && metrics.horizontalAdvance(cut) + tail > cellWidth) {
        cut.chop(1);
        if (!cut.isEmpty() && cut.back().isHighSurrogate())
            cut.chop(1);  // never half a character
    }
    return cut + QStringLiteral("...");
}

NodeTableDelegate::NodeTableDelegate(const PressedCell& pressed, QObject* parent)
    : QStyledItemDelegate(parent), pressed_(pressed) {}

void NodeTableDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const int column = index.column();
    const QRect cell = option.rect;
    const QPalette& pal = option.palette;
    const bool faced = isButtonColumn(column) || column == NodeTableModel::SimulationColumn ||
                       column == NodeTableModel::FillerColumn;
    painter->fillRect(cell, faced ? pal.color(QPalette::Button) : QColor(Qt::white));
    painter->setPen(Qt::black);
    const QString text = index.data(Qt::DisplayRole).toString();
    if (!isButtonColumn(column)) {
        drawShortened(painter, cell, text, option.fontMetrics);
        return;
    }
    painter->drawText(cell, Qt::AlignCenter | Qt::TextSingleLine, text);
    // A one-pixel 3-D frame: sunken while this cell is held down, raised otherwise.
    const bool sunken = pressed_.pressed && pressed_.column == column && pressed_.row == index.row();
    const QColor shadow = pal.color(QPalette::Dark);
    const QColor light = pal.color(QPalette::Light);
    const QRect r = cell.adjusted(0, 0, -1, -1);
    painter->setPen(sunken ? shadow : light);
    painter->drawLine(r.topLeft(), r.topRight());
    painter->drawLine(r.topLeft(), r.bottomLeft());
    painter->setPen(sunken ? light : shadow);
    painter->drawLine(r.bottomLeft(), r.bottomRight());
    painter->drawLine(r.topRight(), r.bottomRight());
}

QWidget* NodeTableDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                         const QModelIndex& index) const {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor)) {
        const QPersistentModelIndex target(index);
        connect(line, &QLineEdit::textEdited, line, [line, target](const QString& text) {
            if (!target.isValid())
                return;
            auto* model = const_cast<QAbstractItemModel*>(target.model());
            model->setData(target, text, Qt::EditRole);
            // The row holds at most 99 bytes: show what it keeps.
            const QString kept = target.data(Qt::EditRole).toString();
            if (kept != text)
                line->setText(kept);
        });
    }
    return editor;
}

TWin_NetworkConfig::TWin_NetworkConfig(TSymbols& symbols, UserPrompt& prompt, FileDialogs& files,
                                       NodeDialogFunction nodeDialog, TLog* log, QWidget* parent)
    : QDialog(parent),
      symbols_(symbols),
      prompt_(prompt),
      files_(files),
      nodeDialog_(std::move(nodeDialog)),
      config_(log),
      model_(config_) {
    setObjectName("Win_NetworkConfig");
    setWindowTitle("Network Configuration");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setMinimumWidth(531);
    buildControls();
    connectControls();
    RestoreSize(*this, config_.width, config_.height);
    LoadSettings({});
    setColumnWidths();
    FitLastColumn();
    tabs_->setCurrentIndex(0);
}

TWin_NetworkConfig::~TWin_NetworkConfig() {
    // Children outlive this body; their events must not reach a half-destroyed dialog.
    nodetable_->viewport()->removeEventFilter(this);
    nodetable_->horizontalHeader()->viewport()->removeEventFilter(this);
    tabs_->removeEventFilter(this);
    // The last write of the registry; a failure goes to the batch of the shut-down, which reports it.
    StoreSettings();
}

void TWin_NetworkConfig::StoreSettings() {
    config_.width = width();
    config_.height = height();
    (void)config_.SaveSettings({});
}

void TWin_NetworkConfig::buildControls() {
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");

    auto* nodesPage = new QWidget;
    nodesPage->setObjectName("nodes");
    nodetable_ = new QTableView(nodesPage);
    nodetable_->setObjectName("nodetable");
    nodetable_->setHorizontalHeader(new NodeTableHeader(nodetable_));
    nodetable_->setModel(&model_);
    nodetable_->setItemDelegate(new NodeTableDelegate(pressed_, nodetable_));
    nodetable_->verticalHeader()->hide();
    nodetable_->verticalHeader()->setMinimumSectionSize(kRowHeight);
    nodetable_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    nodetable_->horizontalHeader()->setMinimumSectionSize(1);
    nodetable_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    nodetable_->horizontalHeader()->setFixedHeight(kRowHeight + 2);
    nodetable_->setShowGrid(true);
    nodetable_->setSelectionMode(QAbstractItemView::ContiguousSelection);
    nodetable_->setSelectionBehavior(QAbstractItemView::SelectItems);
    // Only the Name cells of rows in use are editable (the model's flags).
    nodetable_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                                QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    nodetable_->viewport()->setMouseTracking(true);
    nodetable_->viewport()->installEventFilter(this);
    nodetable_->horizontalHeader()->viewport()->installEventFilter(this);
    nodetableadd_ = new QPushButton("Add Node", nodesPage);
    nodetableadd_->setObjectName("nodetableadd");
    nodetableclear_ = new QPushButton("Delete All", nodesPage);
    nodetableclear_->setObjectName("nodetableclear");
    nodetableclear_->setToolTip("Click to delete all node settings");
    auto* tip = new QLabel("Pointer changes over editable cells", nodesPage);
    tip->setAutoFillBackground(true);
    QPalette tipPalette = tip->palette();
    tipPalette.setColor(QPalette::Window, tipPalette.color(QPalette::ToolTipBase));
    tipPalette.setColor(QPalette::WindowText, tipPalette.color(QPalette::ToolTipText));
    tip->setPalette(tipPalette);
    tip->setFrameShape(QFrame::Box);
    tip->setMargin(2);
    auto* nodeButtons = new QHBoxLayout;
    nodeButtons->addWidget(nodetableadd_);
    nodeButtons->addWidget(nodetableclear_);
    nodeButtons->addStretch(1);
    nodeButtons->addWidget(tip);
    auto* nodesLayout = new QVBoxLayout(nodesPage);
    nodesLayout->addWidget(nodetable_, 1);
    nodesLayout->addLayout(nodeButtons);
    tabs_->addTab(nodesPage, "Nodes");

    auto* descPage = new QWidget;
    descPage->setObjectName("netdescription");
    usenetdesc_ = new QCheckBox("Use a Network Description File", descPage);
    usenetdesc_->setObjectName("usenetdesc");
    usenetdesc_->setToolTip("Check to use a file that describes the network");
    netdesclabel_ = new QLabel("File:", descPage);
    netdesclabel_->setObjectName("netdesclabel");
    netdesc_ = new QLineEdit(descPage);
    netdesc_->setObjectName("netdesc");
    netdesc_->setToolTip("Enter the path to the Network Description file");
    netdescbrowse_ = new QPushButton("Browse...", descPage);
    netdescbrowse_->setObjectName("netdescbrowse");
    netdescbrowse_->setToolTip("Click to select a Network Description file");
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(netdesclabel_);
    fileRow->addWidget(netdesc_, 1);
    fileRow->addWidget(netdescbrowse_);
    auto* descLayout = new QVBoxLayout(descPage);
    descLayout->addWidget(usenetdesc_);
    descLayout->addLayout(fileRow);
    descLayout->addStretch(1);
    tabs_->addTab(descPage, "Network Description");
    tabs_->installEventFilter(this);  // a resize fits the last column

    ok_ = new QPushButton("OK", this);
    ok_->setObjectName("ok");
    ok_->setToolTip("Click to accept your changes and close the window");
    ok_->setAutoDefault(false);
    cancel_ = new QPushButton("Cancel", this);
    cancel_->setObjectName("cancel");
    cancel_->setToolTip("Click to ignore your changes and close the window");
    cancel_->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_, 1);
    layout->addLayout(buttons);
}

void TWin_NetworkConfig::connectControls() {
    connect(ok_, &QPushButton::clicked, this, &TWin_NetworkConfig::okClick);
    connect(cancel_, &QPushButton::clicked, this, [this] {
        okFlag_ = false;
        reject();
    });
    connect(usenetdesc_, &QCheckBox::toggled, this, [this](bool ticked) {
        config_.useNetDesc = ticked;
        EnableNetDescControls();
    });
    connect(netdesc_, &QLineEdit::textChanged, this,
            [this](const QString& text) { config_.netDesc = text.toStdString(); });
    connect(netdescbrowse_, &QPushButton::clicked, this, &TWin_NetworkConfig::netdescbrowseClick);
    connect(nodetableadd_, &QPushButton::clicked, this, &TWin_NetworkConfig::nodetableaddClick);
    connect(nodetableclear_, &QPushButton::clicked, this, &TWin_NetworkConfig::nodetableclearClick);
}

void TWin_NetworkConfig::setColumnWidths() {
    const int dpi = logicalDpiX();
    // The widths suit a narrow 8-point font; a wider font would cut the button captions and the
    // ids, so those three columns are widened to their longest text.
    const QFontMetrics metrics = nodetable_->fontMetrics();
    const int fitted[] = {metrics.horizontalAdvance(QStringLiteral("Delete")) + 8,
                          metrics.horizontalAdvance(QStringLiteral("Edit")) + 8,
                          metrics.horizontalAdvance(QStringLiteral("7F (127d)... "))};  // the shortening's own rule
    for (int column = 0; column < static_cast<int>(std::size(kColumnWidths96)); ++column) {
        int width = kColumnWidths96[column] * dpi / 96;
        if (column < static_cast<int>(std::size(fitted)))
            width = std::max(width, fitted[column]);
        nodetable_->setColumnWidth(column, width);
    }
}

void TWin_NetworkConfig::FitLastColumn() {
    nodetable_->setColumnWidth(NodeTableModel::FillerColumn, nodetable_->width());
}

void TWin_NetworkConfig::AutoSizeColumn(int column) {
    if (column < 0 || column >= NodeTableModel::ColumnCount)
        return;
    const QFontMetrics metrics = nodetable_->fontMetrics();
    const int tail = metrics.horizontalAdvance(QStringLiteral("... "));
    int width = 6;
    for (int row = 0; row < model_.rowCount(); ++row)
        width = std::max(width, metrics.horizontalAdvance(model_.index(row, column).data().toString()) + tail);
    nodetable_->setColumnWidth(column, width);
}

void TWin_NetworkConfig::showConfig() {
    const QSignalBlocker tickBlock(usenetdesc_);
    const QSignalBlocker textBlock(netdesc_);
    usenetdesc_->setChecked(config_.useNetDesc);
    netdesc_->setText(QString::fromStdString(config_.netDesc));
    EnableNetDescControls();
    model_.Refill();
}

void TWin_NetworkConfig::EnableNetDescControls() {
    const bool on = usenetdesc_->isChecked();
    netdesclabel_->setEnabled(on);
    netdesc_->setEnabled(on);
    netdescbrowse_->setEnabled(on);
}

bool TWin_NetworkConfig::Execute() {
    okFlag_ = false;
    const NetworkConfig::Snapshot snapshot = config_.TakeSnapshot();
    showConfig();
    PlaceOverOwner(*this, parentWidget());
    exec();
    if (!okFlag_) {
        config_.Restore(snapshot);
        showConfig();
    }
    return okFlag_;
}

bool TWin_NetworkConfig::SaveSettings(const std::string& fileName, std::string* error) {
    config_.width = width();
    config_.height = height();
    return config_.SaveSettings(fileName, error);
}

void TWin_NetworkConfig::LoadSettings(const std::string& fileName) {
    if (!config_.LoadSettings(fileName))
        return;
    // A size from the registry or a file fits this screen, and only what fits is stored again.
    RestoreSize(*this, config_.width, config_.height);
    config_.width = width();
    config_.height = height();
    if (!fileName.empty()) {
        (void)symbols_.Reload();
        FitLastColumn();
        ApplyNetworkDescription();
    }
    showConfig();
}

void TWin_NetworkConfig::ApplyNetworkDescription() {
    config_.ApplyNetworkDescription(symbols_);
}

void TWin_NetworkConfig::okClick() {
    if (usenetdesc_->isChecked() && netdesc_->text().isEmpty()) {
        (void)prompt_.ask(PromptIcon::None, kSelectNetDescMessage, kProductName, PromptButtons::Ok);
        return;
    }
    okFlag_ = true;
    accept();
}

void TWin_NetworkConfig::netdescbrowseClick() {
    const QString file = files_.getOpenFileName(
        this, {"Select Network Description File", "Network Description Files (*.cxl);;All Files (*)", "cxl",
               netdesc_->text()});
    if (!file.isEmpty())
        netdesc_->setText(file);
}

void TWin_NetworkConfig::nodetableaddClick() {
    NetworkConfigNode node;  // node id 0 puts the node dialog into add mode
    int count = 0;
    if (!nodeDialog_ || nodeDialog_(node.nodeId, node.name, node.edsPath, count, this) != 1 || count < 1)
        return;
    if (!config_.AddNodes(node, count))
        (void)prompt_.ask(PromptIcon::Warning, kTableFullMessage, kProductName, PromptButtons::Ok);
    model_.Refill();
}

void TWin_NetworkConfig::nodetableclearClick() {
    config_.DeleteAll();
    model_.Refill();  // closes any open editor
}

void TWin_NetworkConfig::EditNode(int row) {
    // The clicked row itself: with two rows of one id, the second is edited, not the first.
    if (row < 0 || static_cast<std::size_t>(row) >= config_.nodeCount() || !nodeDialog_)
        return;
    const NetworkConfigNode& node = config_.rows()[static_cast<std::size_t>(row)];
    uint8_t nodeId = node.nodeId;
    std::string name = node.name;
    std::string edsPath = node.edsPath;
    int count = 0;  // ignored in edit mode
    if (nodeDialog_(nodeId, name, edsPath, count, this) != 1)
        return;
    (void)config_.EditNode(static_cast<std::size_t>(row), nodeId, name, edsPath);
    model_.Refill();
}

void TWin_NetworkConfig::DeleteNodeRow(int row) {
    if (row >= 0 && config_.DeleteNodeRow(static_cast<std::size_t>(row)))
        model_.Refill();
}

bool TWin_NetworkConfig::eventFilter(QObject* watched, QEvent* event) {
    if (watched == nodetable_->viewport())
        return tableMouse(event);
    if (watched == nodetable_->horizontalHeader()->viewport())
        return headerDoubleClick(event);
    if (watched == tabs_ && event->type() == QEvent::Resize)
        FitLastColumn();
    return QDialog::eventFilter(watched, event);
}

bool TWin_NetworkConfig::tableMouse(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonDblClick: {
        // The first click of a double-click has acted already; a second would delete a second row.
        const QModelIndex index = nodetable_->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        return index.isValid() && isButtonColumn(index.column());
    }
    case QEvent::MouseButtonPress: {
        const QModelIndex index = nodetable_->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        const bool onButton = index.isValid() && isButtonColumn(index.column());
        pressed_ = onButton ? PressedCell{true, index.column(), index.row()} : PressedCell{};
        if (!onButton)
            return false;
        nodetable_->viewport()->update(nodetable_->visualRect(index));
        return true;  // a button cell neither selects nor starts editing
    }
    case QEvent::MouseButtonRelease: {
        if (!pressed_.pressed)
            return false;
        // The action belongs to the cell that was pressed, wherever the pointer is now.
        const PressedCell cell = pressed_;
        pressed_ = {};
        const QModelIndex index = model_.index(cell.row, cell.column);
        nodetable_->viewport()->update(nodetable_->visualRect(index));
        const QString text = index.data().toString();  // the empty row's cells have no caption
        if (cell.column == NodeTableModel::EditColumn && text == QLatin1String("Edit"))
            EditNode(cell.row);
        else if (cell.column == NodeTableModel::DeleteColumn && text == QLatin1String("Delete"))
            DeleteNodeRow(cell.row);
        return true;
    }
    case QEvent::MouseMove: {
        const QModelIndex index = nodetable_->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        const bool editable = index.isValid() && (model_.flags(index) & Qt::ItemIsEditable);
        nodetable_->viewport()->setCursor(editable ? Qt::IBeamCursor : Qt::ArrowCursor);
        return false;
    }
    default: return false;
    }
}

bool TWin_NetworkConfig::headerDoubleClick(QEvent* event) {
    if (event->type() != QEvent::MouseButtonDblClick)
        return false;
    QHeaderView* header = nodetable_->horizontalHeader();
    const int x = static_cast<QMouseEvent*>(event)->position().toPoint().x();
    const int column = header->logicalIndexAt(x);
    if (column < 0)
        return false;
    const int left = header->sectionViewportPosition(column);
    const int right = left + header->sectionSize(column);
    if (x - left <= kEdgeGrip)
        AutoSizeColumn(column - 1);
    else if (right - x <= kEdgeGrip)
        AutoSizeColumn(column);
    return true;
}

} // namespace ostrel::vessolt
