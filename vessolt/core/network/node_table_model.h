#pragma once
// Models behind the network and node configuration dialogs: the node table (a Delete and an Edit
// button cell, id, editable name, EDS path, two empty columns) and the list of the 127 node ids with
// the names the store knows. The node dialog's OK checks are plain functions.
#include "network/network_config.h"

#include <QAbstractListModel>
#include <QAbstractTableModel>
#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::vessolt {

class TSymbols;

class NodeTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { DeleteColumn, EditColumn, IdColumn, NameColumn, EdsColumn, SimulationColumn, FillerColumn,
                  ColumnCount };

    explicit NodeTableModel(NetworkConfig& config, QObject* parent = nullptr);

    // With no nodes the table keeps one empty row without button captions.
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // The Name column only: the row's name, cut to its field.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // The configuration changed behind the model: show it again.
    void Refill();

private:
    NetworkConfig& config_;
};

// Node ids 1..127, item k standing for node id k + 1; the id in `NodeIdRole`.
class NodeIdListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int kNodeIdRole = Qt::UserRole;
    static constexpr int kNodeIds = 127;

    explicit NodeIdListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // "[0x%2.2X (%dd)] %s" with the store's name, "0x%2.2X (%dd)" without one.
    void Fill(const TSymbols& symbols);

private:
    std::vector<QString> texts_;
};

// The count as the C library's strtol reads a decimal: leading blanks and a sign, digits up to the
// first other character, no digits = 0; saturated to the range of a 32-bit integer.
[[nodiscard]] long readCountText(std::string_view text) noexcept;

// The node dialog's OK checks in their order; the message to show, or nullopt to accept.
// `selectedIndex` is -1 without a selection.
[[nodiscard]] std::optional<std::string> checkNodeConfig(int selectedIndex, bool addSetOfNodes,
                                                         std::string_view numberText, std::string_view edsPath);

inline constexpr const char* kSelectNodeIdMessage = "You must select a node ID";
inline constexpr const char* kNodeCountRangeMessage = "The number of nodes must be in the range 1 to 127";
inline constexpr const char* kNodeCountTooLargeMessage =
    "The number of nodes is too large for the node id selected. Please lower the number of nodes.";
inline constexpr const char* kPathTooLongMessage =
    "The path of the configuration file is too long. Please choose a file with a path of at most 259 bytes.";
inline constexpr const char* kTableFullMessage =
    "The node table holds at most 128 nodes. Please lower the number of nodes.";
inline constexpr const char* kSelectNetDescMessage = "You must select a Network Description File";

} // namespace ostrel::vessolt
