#include "network/node_table_model.h"

#include "network/symbols.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace ostrel::vessolt {

NodeTableModel::NodeTableModel(NetworkConfig& config, QObject* parent)
    : QAbstractTableModel(parent), config_(config) {}

int NodeTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return std::max<int>(1, static_cast<int>(config_.nodeCount()));
}

int NodeTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant NodeTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || !checkIndex(index) || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    const auto row = static_cast<std::size_t>(index.row());
    if (row >= config_.nodeCount())
        return QString();  // the empty row of an empty table
    const NetworkConfigNode& node = config_.rows()[row];
    switch (index.column()) {
    case DeleteColumn: return QStringLiteral("Delete");
    case EditColumn: return QStringLiteral("Edit");
    case IdColumn: return QString::fromStdString(formatNodeId(node.nodeId));
    case NameColumn: return QString::fromStdString(node.name);
    case EdsColumn: return QString::fromStdString(node.edsPath);
    default: return QString();
    }
}

QVariant NodeTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    switch (section) {
    case IdColumn: return QStringLiteral("ID");
    case NameColumn: return QStringLiteral("Name");
    case EdsColumn: return QStringLiteral("Configuration File (EDS/DCF)");
    default: return QString();
    }
}

Qt::ItemFlags NodeTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || !checkIndex(index))
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == NameColumn && static_cast<std::size_t>(index.row()) < config_.nodeCount())
        result |= Qt::ItemIsEditable;
    return result;
}

bool NodeTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || !checkIndex(index) || index.column() != NameColumn)
        return false;
    if (!config_.SetNodeName(static_cast<std::size_t>(index.row()), value.toString().toStdString()))
        return false;
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

void NodeTableModel::Refill() {
    beginResetModel();
    endResetModel();
}

NodeIdListModel::NodeIdListModel(QObject* parent) : QAbstractListModel(parent), texts_(kNodeIds) {}

int NodeIdListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kNodeIds;
}

QVariant NodeIdListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || !checkIndex(index, CheckIndexOption::ParentIsInvalid))
        return {};
    if (role == Qt::DisplayRole)
        return texts_[static_cast<std::size_t>(index.row())];
    if (role == kNodeIdRole)
        return index.row() + 1;
    return {};
}

void NodeIdListModel::Fill(const TSymbols& symbols) {
    for (int nodeId = 1; nodeId <= kNodeIds; ++nodeId) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%2.2X (%dd)", nodeId, nodeId);
        QString item = QString::fromLatin1(text);
        if (auto name = symbols.GetNodeName(static_cast<uint8_t>(nodeId)))
            item = QLatin1Char('[') + item + QStringLiteral("] ") + QString::fromStdString(*name);
        texts_[static_cast<std::size_t>(nodeId - 1)] = item;
    }
    // Same rows, new texts: the selection of a combo box over the list stays.
    emit dataChanged(index(0), index(kNodeIds - 1), {Qt::DisplayRole});
}

long readCountText(std::string_view text) noexcept {
    std::size_t i = 0;
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;  // saturate, keep the sign
    }
    if (negative) value = -value;
    return static_cast<long>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

std::optional<std::string> checkNodeConfig(int selectedIndex, bool addSetOfNodes, std::string_view numberText,
                                           std::string_view edsPath) {
    if (selectedIndex < 0)
        return kSelectNodeIdMessage;
    if (addSetOfNodes) {
        const long count = readCountText(numberText);
        if (count < 1 || count > 127)
            return kNodeCountRangeMessage;
        if (selectedIndex + 1 + count - 1 > 127)
            return kNodeCountTooLargeMessage;
    }
    // A cut path would name another file, so a longer one is refused.
    if (edsPath.size() >= kNodePathField)
        return kPathTooLongMessage;
    return std::nullopt;
}

} // namespace ostrel::vessolt
