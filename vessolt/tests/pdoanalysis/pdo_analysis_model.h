#pragma once
// The PDO grid's model: twenty columns of texts made from the analysis's table on the GUI thread,
// with the access marks once the window was told of them, and the grid's drawing rules as roles.
// Column 19 has no title and only fills the rest of the grid.
#include <QAbstractTableModel>
#include <vector>

#include "pdo_analysis_result.h"

namespace ostrel::vessolt {

class TPDOAnalysis;

class TPDOAnalysisModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = kPDOColumns;
    // The cell's background as 0x00BBGGRR, or kButtonFace.
    static constexpr int kBackgroundRole = Qt::UserRole + 1;
    // The text colour as 0x00BBGGRR.
    static constexpr int kTextColourRole = Qt::UserRole + 2;
    // kCheckNone, kCheckOn or kCheckOff: the check image drawn before the rest of the text.
    static constexpr int kCheckRole = Qt::UserRole + 3;
    // Width in pixels of the grey line down the cell's right edge; 0 for none.
    static constexpr int kSeparatorRole = Qt::UserRole + 4;
    static constexpr int kButtonFace = -2;
    enum Check { kCheckNone = 0, kCheckOn = 1, kCheckOff = 2 };

    explicit TPDOAnalysisModel(const TPDOAnalysis& analysis, QObject* parent = nullptr);

    // Copies the table and rebuilds every row's texts (names follow the network description); the
    // marks stay as they are.
    void Refresh();
    // After the writability tests: the rows get their marks and supported types.
    void ShowMarks();
    // A run started: the marks go.
    void ClearMarks();
    [[nodiscard]] bool MarksShown() const { return marked_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    [[nodiscard]] QString cellText(int row, int column) const;

private:
    const TPDOAnalysis& analysis_;
    std::vector<PDORow> rows_;
    bool marked_ = false;
};

}  // namespace ostrel::vessolt
