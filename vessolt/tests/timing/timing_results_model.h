#pragma once
// The results grid of a timing test: a GUI-thread model that copies the engine's results table at
// each posted refresh, and the delegate that paints its cells. Titles are the horizontal header;
// the grid's body rows are the table's rows 1 and below.
#include <QAbstractTableModel>
#include <QStyledItemDelegate>

#include "timing_results_table.h"
#include "timing_variant.h"

namespace ostrel::vessolt {

enum class TimingCellColour { ButtonFace, InfoBack, Tint, White };

class TimingResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    TimingResultsModel(const TimingResultsTable& table, const TimingVariant& variant, QObject* parent = nullptr);

    // Copies the table: rows come and go as the table's count changed, every cell and title is
    // announced as changed.
    void Refresh();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    [[nodiscard]] QString cellText(int row, int column) const;
    [[nodiscard]] QString title(int column) const;
    // Untitled columns and rows without a cycle are button face; the period column the info
    // background; the TPDO and SDO columns tinted; the rest white.
    [[nodiscard]] TimingCellColour cellColour(int row, int column) const;

private:
    const TimingResultsTable& table_;
    const TimingVariant& variant_;
    TimingResultsTable::Snapshot snapshot_;
};

class TimingResultsDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    [[nodiscard]] static QColor Colour(TimingCellColour colour, const QPalette& palette);

    // Fills the cell with its colour and draws the text in black one pixel in, cut at the cell.
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace ostrel::vessolt
