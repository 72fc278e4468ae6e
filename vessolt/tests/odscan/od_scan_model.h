#pragma once
// The result grid's model: ten columns of texts copied from the scan's result list on the GUI
// thread. Column 9 has no title and only fills the rest of the grid. Colours are the delegate's.
#include <QAbstractTableModel>
#include <vector>

#include "od_scan_result.h"

namespace ostrel::vessolt {

class TODScan;

class TODScanModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 10;

    explicit TODScanModel(const TODScan& scan, QObject* parent = nullptr);

    // Copies the list under its lock and rebuilds every row's texts (names and types too).
    void Refresh();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    [[nodiscard]] QString cellText(int row, int column) const;
    // The column's background as 0x00BBGGRR; -1 the tool-tip base, -2 the button face.
    [[nodiscard]] static int32_t ColumnColour(int column);

private:
    const TODScan& scan_;
    std::vector<ODScanRowTexts> rows_;
};

}  // namespace ostrel::vessolt
