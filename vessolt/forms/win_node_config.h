#pragma once
// The node dialog: a node id from the 127 ids (with the names the store knows), a name and an EDS or
// DCF file; in add mode also a run of consecutive ids. Modal; one instance for the program's life,
// so the "Add" tick and the number keep what the previous add left.
#include <QDialog>

#include <cstdint>
#include <string>

#include "network/node_table_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ostrel::vessolt {

class FileDialogs;
class TSymbols;
class UserPrompt;

class TWin_NodeConfig : public QDialog {
    Q_OBJECT
public:
    TWin_NodeConfig(const TSymbols& symbols, UserPrompt& prompt, FileDialogs& files, QWidget* parent = nullptr);

    // Node id 0 on entry: add mode; any other: edit mode. On OK (1) writes the node id, name, EDS
    // path and count (1 unless a run was asked for); on Cancel (0) writes nothing.
    int Execute(uint8_t& nodeId, std::string& name, std::string& edsPath, int& count, QWidget* owner);

private:
    void connectControls();
    void FillNodeList();
    void okClick();
    void browseClick();
    void nameEdited(const QString& text);

    const TSymbols& symbols_;
    UserPrompt& prompt_;
    FileDialogs& files_;
    NodeIdListModel nodeIds_;
    int result_ = 0;
    std::string name_;
    std::string edsPath_;

    QComboBox* nodelist_;
    QLineEdit* name_edit_;
    QLineEdit* eds_;
    QPushButton* browse_;
    QCheckBox* setofnodes_;
    QLineEdit* numberofnodes_;
    QLabel* numberofnodeslabel_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

} // namespace ostrel::vessolt
