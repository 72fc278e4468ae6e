#include "pdo_analysis_model.h"

#include "pdo_analysis.h"

namespace ostrel::vessolt {

namespace {

constexpr int32_t kWhite = 0xFFFFFF;
constexpr int32_t kBlack = 0x000000;
constexpr int32_t kGreen = 0x008000;
constexpr int32_t kRed = 0x0000FF;

QString title(int column) {
    static const char* const titles[] = {"PDO",        "Enabled", "CAN-ID (hex)",     "Name",
                                         "RTR",        "Trans Type", "Supported Trans Types", "Sync",
                                         "Inhibit (x100us)", "Event (ms)", "Map Num"};
    if (column >= 0 && column <= 10)
        return QString::fromLatin1(titles[column]);
    if (column <= 18)
        return QStringLiteral("Map %1 (hex)").arg(column - 10);
    return {};
}

}  // namespace

TPDOAnalysisModel::TPDOAnalysisModel(const TPDOAnalysis& analysis, QObject* parent)
    : QAbstractTableModel(parent), analysis_(analysis) {}

void TPDOAnalysisModel::Refresh() {
    beginResetModel();
    rows_ = analysis_.Rows(marked_);
    endResetModel();
}

void TPDOAnalysisModel::ShowMarks() {
    marked_ = true;
    Refresh();
}

void TPDOAnalysisModel::ClearMarks() {
    marked_ = false;
    Refresh();
}

int TPDOAnalysisModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TPDOAnalysisModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QString TPDOAnalysisModel::cellText(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column >= kColumns)
        return {};
    return QString::fromStdString(rows_[static_cast<size_t>(row)].cells[static_cast<size_t>(column)]);
}

QVariant TPDOAnalysisModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size()) || index.column() >= kColumns)
        return {};
    const int column = index.column();
    const PDORow& row = rows_[static_cast<size_t>(index.row())];
    const std::string& text = row.cells[static_cast<size_t>(column)];
    switch (role) {
        case Qt::DisplayRole: return QString::fromStdString(text);
        case kBackgroundRole: {
            if (column >= 11 && column <= 18) {
                const auto n = static_cast<uint32_t>(column - 10);
                if (n > row.entriesRead)
                    return kButtonFace;
                return n <= row.mappingCount ? kGreen : kRed;
            }
            if (column == 10)
                return row.mappingCount == 0 ? kRed : kGreen;
            if ((column == 1 || column == 4) && text.empty())
                return kButtonFace;
            return column >= 1 && column <= 18 && column != 3 ? kWhite : kButtonFace;
        }
        case kTextColourRole: {
            if (column == 10 || (column >= 11 && column <= 18 && static_cast<uint32_t>(column - 10) <= row.entriesRead))
                return kWhite;
            return kBlack;
        }
        case kCheckRole:
            if ((column == 1 || column == 4) && !text.empty())
                return text[0] == '1' ? kCheckOn : text[0] == '0' ? kCheckOff : kCheckNone;
            return kCheckNone;
        case kSeparatorRole: return column == 9 ? 4 : 0;
        default: return {};
    }
}

QVariant TPDOAnalysisModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::ToolTipRole) && section >= 0 &&
        section < kColumns)
        return title(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

}  // namespace ostrel::vessolt
