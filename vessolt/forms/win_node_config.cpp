#include "win_node_config.h"

#include "dialog_placement.h"

#include "file_dialog.h"
#include "network/network_config.h"
#include "network/symbols.h"
#include "services/user_prompt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>

namespace ostrel::vessolt {

TWin_NodeConfig::TWin_NodeConfig(const TSymbols& symbols, UserPrompt& prompt, FileDialogs& files, QWidget* parent)
    : QDialog(parent), symbols_(symbols), prompt_(prompt), files_(files) {
    setObjectName("Win_NodeConfig");
    setWindowTitle("Configure Node");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    auto* idGroup = new QGroupBox(" Node ID ", this);
    nodelist_ = new QComboBox(idGroup);
    nodelist_->setObjectName("nodelist");
    nodelist_->setEditable(false);  // only its items
    nodelist_->setModel(&nodeIds_);
    nodelist_->setToolTip("Select the ID of the node");
    auto* idLayout = new QHBoxLayout(idGroup);
    idLayout->addWidget(new QLabel("Node ID:", idGroup));
    idLayout->addWidget(nodelist_, 1);

    auto* generalGroup = new QGroupBox(" General Settings ", this);
    name_edit_ = new QLineEdit(generalGroup);
    name_edit_->setObjectName("name");
    name_edit_->setToolTip("Enter a name for the node here");
    eds_ = new QLineEdit(generalGroup);
    eds_->setObjectName("eds");
    eds_->setToolTip("Enter the path to an EDS or DCF file here");
    browse_ = new QPushButton("Browse...", generalGroup);
    browse_->setObjectName("browse");
    browse_->setToolTip("Click to browse for an EDS or DCF file");
    auto* generalLayout = new QGridLayout(generalGroup);
    generalLayout->addWidget(new QLabel("Name:", generalGroup), 0, 0);
    generalLayout->addWidget(name_edit_, 0, 1, 1, 2);
    generalLayout->addWidget(new QLabel("Configuration File:", generalGroup), 1, 0);
    generalLayout->addWidget(eds_, 1, 1);
    generalLayout->addWidget(browse_, 1, 2);

    auto* addGroup = new QGroupBox(" Add Multiple Nodes ", this);
    setofnodes_ = new QCheckBox("Add", addGroup);
    setofnodes_->setObjectName("setofnodes");
    setofnodes_->setToolTip("Check to add more than one node");
    numberofnodes_ = new QLineEdit(addGroup);
    numberofnodes_->setObjectName("numberofnodes");
    numberofnodes_->setMaxLength(2);
    numberofnodes_->setToolTip("Enter the number of nodes to add");
    numberofnodes_->setFixedWidth(numberofnodes_->fontMetrics().horizontalAdvance("0000") + 8);
    numberofnodeslabel_ = new QLabel("nodes starting at Node ID chosen", addGroup);
    numberofnodeslabel_->setObjectName("numberofnodeslabel");
    auto* addLayout = new QHBoxLayout(addGroup);
    addLayout->addWidget(setofnodes_);
    addLayout->addWidget(numberofnodes_);
    addLayout->addWidget(numberofnodeslabel_, 1);

    ok_ = new QPushButton("OK", this);
    ok_->setObjectName("ok");
    ok_->setToolTip("Click to accept changes and close the window");
    ok_->setDefault(true);
    cancel_ = new QPushButton("Cancel", this);
    cancel_->setObjectName("cancel");
    cancel_->setToolTip("Click to ignore changes and close the window");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(idGroup);
    layout->addWidget(generalGroup);
    layout->addWidget(addGroup);
    layout->addStretch(1);
    layout->addLayout(buttons);
    resize(461, 226);

    connectControls();
}

void TWin_NodeConfig::connectControls() {
    connect(ok_, &QPushButton::clicked, this, &TWin_NodeConfig::okClick);
    connect(cancel_, &QPushButton::clicked, this, [this] {
        result_ = 0;
        reject();
    });
    connect(browse_, &QPushButton::clicked, this, &TWin_NodeConfig::browseClick);
    connect(name_edit_, &QLineEdit::textEdited, this, &TWin_NodeConfig::nameEdited);
}

void TWin_NodeConfig::nameEdited(const QString& text) {
    // The name field holds 99 bytes of UTF-8; a longer entry is cut on a character boundary.
    std::string bytes = text.toStdString();
    const std::size_t before = bytes.size();
    cutToField(bytes, kNodeNameField);
    if (bytes.size() != before)
        name_edit_->setText(QString::fromStdString(bytes));
}

void TWin_NodeConfig::FillNodeList() {
    const int selected = nodelist_->currentIndex();
    nodeIds_.Fill(symbols_);
    nodelist_->setCurrentIndex(selected);
}

int TWin_NodeConfig::Execute(uint8_t& nodeId, std::string& name, std::string& edsPath, int& count, QWidget* owner) {
    FillNodeList();
    const bool editMode = nodeId != 0;
    if (editMode) {
        char caption[32];
        std::snprintf(caption, sizeof caption, "Edit Node %2.2X (%dd)", nodeId, nodeId);
        setWindowTitle(caption);
        nodelist_->setCurrentIndex(std::min<int>(nodeId, NodeIdListModel::kNodeIds) - 1);
        name_edit_->setText(QString::fromStdString(name));
        eds_->setText(QString::fromStdString(edsPath));
        setofnodes_->setChecked(false);
    } else {
        setWindowTitle("Add Node");
        nodelist_->setCurrentIndex(0);
        name_edit_->clear();
        eds_->clear();
    }
    setofnodes_->setEnabled(!editMode);
    numberofnodes_->setEnabled(!editMode);
    numberofnodeslabel_->setEnabled(!editMode);
    nodelist_->setFocus();

    result_ = 0;
    PlaceOverOwner(*this, owner);
    exec();
    if (result_ == 1) {
        nodeId = static_cast<uint8_t>(nodelist_->currentIndex() + 1);
        name = name_;
        edsPath = edsPath_;
        count = setofnodes_->isChecked() ? static_cast<int>(readCountText(numberofnodes_->text().toStdString())) : 1;
    }
    return result_;
}

void TWin_NodeConfig::okClick() {
    name_ = name_edit_->text().toStdString();
    cutToField(name_, kNodeNameField);
    const std::string path = eds_->text().toStdString();
    if (auto message = checkNodeConfig(nodelist_->currentIndex(), setofnodes_->isChecked(),
                                       numberofnodes_->text().toStdString(), path)) {
        (void)prompt_.ask(PromptIcon::Warning, *message, kProductName, PromptButtons::Ok);
        return;
    }
    edsPath_ = path;
    result_ = 1;
    accept();
}

void TWin_NodeConfig::browseClick() {
    const QString file = files_.getOpenFileName(
        this, {"Select Configuration File",
               "Electronic Datasheet (*.eds);;Device Configuration File (*.dcf);;All Files (*)", "eds", eds_->text()});
    if (!file.isEmpty())
        eds_->setText(file);
}

} // namespace ostrel::vessolt
