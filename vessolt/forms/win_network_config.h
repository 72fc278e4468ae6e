#pragma once
// The "Network Configuration" dialog: the node table (Delete and Edit cell buttons, id, name edited
// in place, EDS path) and the network description file. One instance for the program's life: it
// reads the registry when created and writes it when destroyed, and nowhere else.
#include <QDialog>
#include <QStyledItemDelegate>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "network/network_config.h"
#include "network/node_table_model.h"
#include "services/settings_owner.h"

class QCheckBox;
class QFontMetrics;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableView;

namespace ostrel::vessolt {

class FileDialogs;
class TLog;
class TSymbols;
class UserPrompt;

// The node dialog as the table reaches it (`TWin_NodeConfig::Execute`): 1 = OK, 0 = Cancel.
using NodeDialogFunction =
    std::function<int(uint8_t& nodeId, std::string& name, std::string& edsPath, int& count, QWidget* owner)>;

// A cell text shortened to `cellWidth`: when the text with "... " does not fit, characters come off
// its end until it does, and "..." is appended.
[[nodiscard]] QString shortenCellText(const QString& text, int cellWidth, const QFontMetrics& metrics);

// Which button cell is held down; shared by the view's mouse handling and the delegate.
struct PressedCell {
    bool pressed = false;
    int column = -1;
    int row = -1;
};

class NodeTableDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    NodeTableDelegate(const PressedCell& pressed, QObject* parent);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // A line edit whose every change reaches the row at once.
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    const PressedCell& pressed_;
};

class TWin_NetworkConfig : public QDialog, public SettingsOwner {
    Q_OBJECT
public:
    TWin_NetworkConfig(TSymbols& symbols, UserPrompt& prompt, FileDialogs& files, NodeDialogFunction nodeDialog,
                       TLog* log = nullptr, QWidget* parent = nullptr);
    ~TWin_NetworkConfig() override;
    // The table, the description and the dialog's size into the registry.
    void StoreSettings() override;

    // Modal; false (Cancel, or closed otherwise) undoes every change but the window size.
    bool Execute();
    // Empty name: the registry; else the named test configuration file.
    [[nodiscard]] bool SaveSettings(const std::string& fileName, std::string* error = nullptr);
    // Empty name: the registry. A file also reloads the names store and applies the result.
    void LoadSettings(const std::string& fileName);
    // The chosen description file, then every row's node, into the names store.
    void ApplyNetworkDescription();

    void FitLastColumn();
    void AutoSizeColumn(int column);

    [[nodiscard]] const NetworkConfig& config() const noexcept { return config_; }
    [[nodiscard]] NodeTableModel& tableModel() noexcept { return model_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void connectControls();
    void showConfig();  // the controls from the state
    void EnableNetDescControls();
    void okClick();
    void netdescbrowseClick();
    void nodetableaddClick();
    void nodetableclearClick();
    void EditNode(int row);
    void DeleteNodeRow(int row);
    bool tableMouse(QEvent* event);
    bool headerDoubleClick(QEvent* event);
    void setColumnWidths();

    TSymbols& symbols_;
    UserPrompt& prompt_;
    FileDialogs& files_;
    NodeDialogFunction nodeDialog_;
    NetworkConfig config_;
    NodeTableModel model_;
    PressedCell pressed_;
    bool okFlag_ = false;

    QTabWidget* tabs_ = nullptr;
    QTableView* nodetable_ = nullptr;
    QPushButton* nodetableadd_ = nullptr;
    QPushButton* nodetableclear_ = nullptr;
    QCheckBox* usenetdesc_ = nullptr;
    QLabel* netdesclabel_ = nullptr;
    QLineEdit* netdesc_ = nullptr;
    QPushButton* netdescbrowse_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

} // namespace ostrel::vessolt
