#include "timing_results_model.h"

#include <QPainter>

namespace ostrel::vessolt {

TimingResultsModel::TimingResultsModel(const TimingResultsTable& table, const TimingVariant& variant, QObject* parent)
    : QAbstractTableModel(parent), table_(table), variant_(variant), snapshot_(table.Take()) {}

void TimingResultsModel::Refresh() {
    TimingResultsTable::Snapshot next = table_.Take();
    const int before = rowCount();
    const int after = next.cells.empty() ? 0 : static_cast<int>(next.cells.size()) - 1;
    // Rows come and go first with the texts they had; then every text changes at once.
    if (after > before) {
        beginInsertRows({}, before, after - 1);
        snapshot_.cells.resize(next.cells.size(), std::vector<std::string>(static_cast<size_t>(columnCount())));
        endInsertRows();
    } else if (after < before) {
        beginRemoveRows({}, after, before - 1);
        snapshot_.cells.resize(next.cells.size());
        endRemoveRows();
    }
    snapshot_ = std::move(next);
    const int columns = columnCount();
    if (after > 0 && columns > 0)
        Q_EMIT dataChanged(index(0, 0), index(after - 1, columns - 1), {Qt::DisplayRole});
    if (columns > 0)
        Q_EMIT headerDataChanged(Qt::Horizontal, 0, columns - 1);
}

int TimingResultsModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || snapshot_.cells.empty())
        return 0;
    return static_cast<int>(snapshot_.cells.size()) - 1;
}

int TimingResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : variant_.columnCount;
}

QString TimingResultsModel::cellText(int row, int column) const {
    const size_t r = static_cast<size_t>(row) + 1;
    if (row < 0 || column < 0 || r >= snapshot_.cells.size() ||
        static_cast<size_t>(column) >= snapshot_.cells[r].size())
        return {};
    return QString::fromStdString(snapshot_.cells[r][static_cast<size_t>(column)]);
}

QString TimingResultsModel::title(int column) const {
    if (column < 0 || snapshot_.cells.empty() || static_cast<size_t>(column) >= snapshot_.cells[0].size())
        return {};
    return QString::fromStdString(snapshot_.cells[0][static_cast<size_t>(column)]);
}

TimingCellColour TimingResultsModel::cellColour(int row, int column) const {
    if (title(column).isEmpty() || row + 1 > snapshot_.usedRows)
        return TimingCellColour::ButtonFace;
    if (column == 0)
        return TimingCellColour::InfoBack;
    if (column < static_cast<int>(variant_.tinted.size()) && variant_.tinted[static_cast<size_t>(column)])
        return TimingCellColour::Tint;
    return TimingCellColour::White;
}

QVariant TimingResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    return cellText(index.row(), index.column());
}

QVariant TimingResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    // A column the user narrowed cuts its title; the tool tip gives it whole.
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::ToolTipRole) && section >= 0 &&
        section < columnCount())
        return title(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

QColor TimingResultsDelegate::Colour(TimingCellColour colour, const QPalette& palette) {
    switch (colour) {
    case TimingCellColour::ButtonFace:
        return palette.color(QPalette::Button);
    case TimingCellColour::InfoBack:
        return palette.color(QPalette::ToolTipBase);
    case TimingCellColour::Tint:
        return QColor(255, 235, 224);
    case TimingCellColour::White:
        break;
    }
    return QColor(255, 255, 255);
}

void TimingResultsDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    const auto* model = qobject_cast<const TimingResultsModel*>(index.model());
    const TimingCellColour colour =
        model ? model->cellColour(index.row(), index.column()) : TimingCellColour::White;
    painter->save();
    painter->fillRect(option.rect, Colour(colour, option.palette));
    painter->setClipRect(option.rect);
    painter->setPen(Qt::black);
    painter->setFont(option.font);
    painter->drawText(option.rect.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
}

} // namespace ostrel::vessolt
