#include "timing_results_table.h"

#include <algorithm>

namespace ostrel::vessolt {

TimingResultsTable::TimingResultsTable(const TimingVariant& variant)
    : variant_(variant), columns_(variant.columnCount) {
    cells_.assign(static_cast<size_t>(kMinBodyRows + 1), std::vector<std::string>(static_cast<size_t>(columns_)));
    for (int c = 0; c < columns_; ++c)
        cells_[0][static_cast<size_t>(c)] = variant.titles[static_cast<size_t>(c)];
}

void TimingResultsTable::SetRowCount(int rows) {
    std::lock_guard lock(mutex_);
    cells_.resize(static_cast<size_t>(std::max(rows, kMinBodyRows) + 1),
                  std::vector<std::string>(static_cast<size_t>(columns_)));
}

void TimingResultsTable::SetUsedRows(int rows) {
    std::lock_guard lock(mutex_);
    usedRows_ = rows;
}

void TimingResultsTable::SetCell(int column, int row, std::string text) {
    std::lock_guard lock(mutex_);
    if (row < 0 || column < 0 || column >= columns_ || static_cast<size_t>(row) >= cells_.size())
        return;
    cells_[static_cast<size_t>(row)][static_cast<size_t>(column)] = std::move(text);
}

std::string TimingResultsTable::Cell(int column, int row) const {
    std::lock_guard lock(mutex_);
    if (row < 0 || column < 0 || column >= columns_ || static_cast<size_t>(row) >= cells_.size())
        return {};
    return cells_[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

int TimingResultsTable::RowCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(cells_.size());
}

TimingResultsTable::Snapshot TimingResultsTable::Take() const {
    std::lock_guard lock(mutex_);
    return {cells_, usedRows_};
}

void TimingResultsTable::Refresh() const {
    listeners_.postAll(WM_TIMINGRESULTSCHANGED, static_cast<uintptr_t>(variant_.testNumber), 0);
}

} // namespace ostrel::vessolt
