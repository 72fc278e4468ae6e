#include "od_scan_model.h"


#include "od_scan.h"

namespace ostrel::vessolt {

namespace {

const char* const kTitles[TODScanModel::kColumns] = {"Index",    "Subindex",       "Name",      "Type",
                                                     "Size (bytes)", "Acc. Time (ms)", "Hex Value", "ASCII Value",
                                                     "Decimal Value", ""};

}  // namespace

TODScanModel::TODScanModel(const TODScan& scan, QObject* parent) : QAbstractTableModel(parent), scan_(scan) {}

void TODScanModel::Refresh() {
    beginResetModel();
    rows_ = scan_.RowTexts();
    endResetModel();
}

int TODScanModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TODScanModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QString TODScanModel::cellText(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        return {};
    const ODScanRowTexts& r = rows_[static_cast<size_t>(row)];
    const std::string* cells[] = {&r.index, &r.subindex, &r.name, &r.type, &r.size,
                                  &r.accessTime, &r.hex, &r.ascii, &r.decimal};
    return column >= 0 && column < 9 ? QString::fromStdString(*cells[column]) : QString();
}

int32_t TODScanModel::ColumnColour(int column) {
    switch (column) {
        case 0:
        case 1: return -1;  // the tool-tip base, as hint windows are drawn
        case 6:
        case 7:
        case 8: return 0xE0EBFF;
        case 9: return -2;  // the button face
        default: return 0xFFFFFF;
    }
}

QVariant TODScanModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return cellText(index.row(), index.column());
    return {};
}

QVariant TODScanModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::ToolTipRole) && section >= 0 &&
        section < kColumns)
        return QString::fromLatin1(kTitles[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

}  // namespace ostrel::vessolt
