#pragma once
// The cell texts of a timing test's results grid, written by the run on the worker thread and read
// by the window on the GUI thread. Changes are announced with WM_TIMINGRESULTSCHANGED; the window
// then takes a snapshot.
#include <mutex>
#include <string>
#include <vector>

#include "services/message_sink.h"
#include "timing_variant.h"

namespace ostrel::vessolt {

inline constexpr uint32_t WM_TIMINGRESULTSCHANGED = 0x7F30;

class TimingResultsTable {
public:
    static constexpr int kMinBodyRows = 7;

    struct Snapshot {
        std::vector<std::vector<std::string>> cells;  // row 0 holds the titles
        int usedRows = 0;                             // rows with a cycle (activecycles + searchrows)
    };

    explicit TimingResultsTable(const TimingVariant& variant);

    // Row count := max(rows, 7) + 1; new cells are empty.
    void SetRowCount(int rows);
    void SetUsedRows(int rows);
    void SetCell(int column, int row, std::string text);
    [[nodiscard]] std::string Cell(int column, int row) const;
    [[nodiscard]] int RowCount() const;
    [[nodiscard]] int ColumnCount() const { return columns_; }
    [[nodiscard]] Snapshot Take() const;

    void AddListener(MessageSink* sink) { listeners_.add(sink); }
    void RemoveListener(MessageSink* sink) { listeners_.remove(sink); }
    // Posts WM_TIMINGRESULTSCHANGED (test number, 0) to the listeners.
    void Refresh() const;

private:
    const TimingVariant& variant_;
    int columns_;
    mutable std::mutex mutex_;
    std::vector<std::vector<std::string>> cells_;
    int usedRows_ = 0;
    ListenerList listeners_;
};

} // namespace ostrel::vessolt
