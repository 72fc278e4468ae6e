// The network and node configuration dialogs offscreen, as a user drives them: cell buttons, the
// modal runs with OK and Cancel, in-place name edits, the node dialog's modes and checks.
#include "win_network_config.h"
#include "win_node_config.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "file_dialog.h"
#include "services/log.h"
#include "platform/registry.h"
#include "network/symbols.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

namespace fs = std::filesystem;

// Answers the file dialogs with a prepared name and records what was asked.
class AnsweringFileDialogs : public FileDialogs {
public:
    QString getOpenFileName(QWidget*, const FileDialogRequest& request) override {
        asked.push_back(request);
        return answer;
    }
    QString getSaveFileName(QWidget*, const FileDialogRequest& request) override {
        asked.push_back(request);
        return answer;
    }
    QString answer;
    std::vector<FileDialogRequest> asked;
};

// Runs `inside` once the modal loop of the next dialog runs.
void whileModal(std::function<void(QDialog&)> inside) {
    QTimer::singleShot(0, [inside = std::move(inside)] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        inside(*dialog);
    });
}

template <typename T>
T* child(QWidget& parent, const char* name) {
    T* widget = parent.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

class NetworkDialog : public ::testing::Test {
protected:
    NetworkDialog() {
        std::string pattern = (fs::temp_directory_path() / "netcfg-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", dir_.c_str(), 1);
    }
    ~NetworkDialog() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::unique_ptr<TWin_NetworkConfig> makeDialog() {
        auto dialog = std::make_unique<TWin_NetworkConfig>(
            symbols, prompt, files,
            [this](uint8_t& id, std::string& name, std::string& eds, int& count, QWidget* owner) {
                ++nodeDialogRuns;
                EXPECT_NE(owner, nullptr);
                editedId = id;
                if (!nodeAnswer) return 0;
                id = nodeAnswer->nodeId;
                name = nodeAnswer->name;
                eds = nodeAnswer->edsPath;
                count = nodeCount;
                return 1;
            },
            &log);
        tester_ = std::make_unique<QAbstractItemModelTester>(&dialog->tableModel(),
                                                             QAbstractItemModelTester::FailureReportingMode::Fatal);
        return dialog;
    }

    // Presses on one cell and releases over another.
    static void pressAndRelease(TWin_NetworkConfig& dialog, int row, int column, QPoint releaseAt) {
        auto* table = dialog.findChild<QTableView*>("nodetable");
        const QRect cell = table->visualRect(table->model()->index(row, column));
        QTest::mousePress(table->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseRelease(table->viewport(), Qt::LeftButton, {}, releaseAt);
    }
    static QString cellText(TWin_NetworkConfig& dialog, int row, int column) {
        return dialog.tableModel().index(row, column).data().toString();
    }
    void addNodes(TWin_NetworkConfig& dialog, NetworkConfigNode node, int count) {
        nodeAnswer = std::move(node);
        nodeCount = count;
        child<QPushButton>(dialog, "nodetableadd")->click();
        nodeAnswer.reset();
    }

    fs::path dir_;
    RecordingPrompt prompt;
    TLog log;
    TSymbols symbols{prompt, &log};
    AnsweringFileDialogs files;
    std::optional<NetworkConfigNode> nodeAnswer;
    int nodeCount = 1;
    int nodeDialogRuns = 0;
    uint8_t editedId = 0xFF;
    std::unique_ptr<QAbstractItemModelTester> tester_;
};

TEST_F(NetworkDialog, FreshRegistryShowsOneEmptyRowWhoseButtonsDoNothing) {
    auto dialog = makeDialog();
    EXPECT_EQ(dialog->windowTitle(), "Network Configuration");
    EXPECT_FALSE(child<QCheckBox>(*dialog, "usenetdesc")->isChecked());
    EXPECT_EQ(child<QLineEdit>(*dialog, "netdesc")->text(), "");
    EXPECT_FALSE(child<QLineEdit>(*dialog, "netdesc")->isEnabled());
    ASSERT_EQ(dialog->tableModel().rowCount(), 1);
    pressAndRelease(*dialog, 0, NodeTableModel::DeleteColumn, {5, 5});
    pressAndRelease(*dialog, 0, NodeTableModel::EditColumn, {5, 5});
    EXPECT_EQ(nodeDialogRuns, 0);
    EXPECT_EQ(dialog->config().nodeCount(), 0u);
}

TEST_F(NetworkDialog, AddDeleteAndEditThroughTheCellButtons) {
    auto dialog = makeDialog();
    addNodes(*dialog, {0x10, "Pump", "pump.eds", "", "", "", "", 0}, 3);
    ASSERT_EQ(dialog->tableModel().rowCount(), 3);
    EXPECT_EQ(cellText(*dialog, 0, 2), "10 (16d)");
    EXPECT_EQ(cellText(*dialog, 1, 2), "11 (17d)");
    EXPECT_EQ(cellText(*dialog, 2, 2), "12 (18d)");
    EXPECT_EQ(cellText(*dialog, 2, 4), "pump.eds");

    // Pressed on row 2's Delete, released over another cell: row 2 goes all the same.
    auto* table = dialog->findChild<QTableView*>("nodetable");
    pressAndRelease(*dialog, 1, NodeTableModel::DeleteColumn,
                    table->visualRect(table->model()->index(2, NodeTableModel::NameColumn)).center());
    ASSERT_EQ(dialog->config().nodeCount(), 2u);
    EXPECT_EQ(dialog->config().rows()[0].nodeId, 0x10);
    EXPECT_EQ(dialog->config().rows()[1].nodeId, 0x12);

    // Two rows of one id: Edit on the second edits the second.
    addNodes(*dialog, {0x10, "Twin", "", "", "", "", "", 0}, 1);
    nodeAnswer = NetworkConfigNode{0x20, "Renamed", "r.dcf", "", "", "", "", 0};
    pressAndRelease(*dialog, 2, NodeTableModel::EditColumn, {1, 1});
    EXPECT_EQ(editedId, 0x10);
    EXPECT_EQ(dialog->config().rows()[0].name, "Pump");
    EXPECT_EQ(dialog->config().rows()[2].nodeId, 0x20);
    EXPECT_EQ(dialog->config().rows()[2].name, "Renamed");
    EXPECT_EQ(cellText(*dialog, 2, 2), "20 (32d)");

    // A run that would pass 128 rows is refused whole.
    addNodes(*dialog, {1, "Many", "", "", "", "", "", 0}, 126);
    EXPECT_EQ(dialog->config().nodeCount(), 3u);
    ASSERT_EQ(prompt.asked().size(), 1u);
    EXPECT_EQ(prompt.asked()[0].text, kTableFullMessage);

    // A double-click on a Delete cell deletes one row, not two.
    const QPoint deleteCell = table->visualRect(table->model()->index(0, NodeTableModel::DeleteColumn)).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, deleteCell);
    QMouseEvent second(QEvent::MouseButtonDblClick, deleteCell, table->viewport()->mapToGlobal(deleteCell),
                       Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(table->viewport(), &second);
    QTest::mouseRelease(table->viewport(), Qt::LeftButton, {}, deleteCell);
    EXPECT_EQ(dialog->config().nodeCount(), 2u);

    child<QPushButton>(*dialog, "nodetableclear")->click();
    EXPECT_EQ(dialog->config().nodeCount(), 0u);
    EXPECT_EQ(dialog->tableModel().rowCount(), 1);
}

TEST_F(NetworkDialog, CancelRestoresRowsTickPathAndNamesTypedInPlace) {
    auto dialog = makeDialog();
    addNodes(*dialog, {5, "Old", "a.eds", "Sim", "", "", "", 1}, 3);
    const auto before = dialog->config().rows();
    whileModal([&](QDialog& shown) {
        auto* table = shown.findChild<QTableView*>("nodetable");
        const QModelIndex name = table->model()->index(0, NodeTableModel::NameColumn);
        table->setCurrentIndex(name);
        table->edit(name);
        auto* editor = table->viewport()->findChild<QLineEdit*>();
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, "N");
        EXPECT_EQ(dialog->config().rows()[0].name, "N");  // at every key
        QTest::keyClicks(editor, "ew");
        EXPECT_EQ(dialog->config().rows()[0].name, "New");
        shown.findChild<QPushButton*>("nodetableclear")->click();
        shown.findChild<QCheckBox*>("usenetdesc")->setChecked(true);
        shown.findChild<QLineEdit*>("netdesc")->setText("x.cxl");
        shown.findChild<QPushButton*>("cancel")->click();
    });
    EXPECT_FALSE(dialog->Execute());
    EXPECT_EQ(dialog->config().rows(), before);
    EXPECT_FALSE(dialog->config().useNetDesc);
    EXPECT_EQ(dialog->config().netDesc, "");
    EXPECT_EQ(child<QLineEdit>(*dialog, "netdesc")->text(), "");
    EXPECT_EQ(cellText(*dialog, 0, NodeTableModel::NameColumn), "Old");

    // Closed from the title bar: the same as Cancel.
    whileModal([&](QDialog& shown) {
        shown.findChild<QPushButton*>("nodetableclear")->click();
        shown.close();
    });
    EXPECT_FALSE(dialog->Execute());
    EXPECT_EQ(dialog->config().nodeCount(), 3u);
}

TEST_F(NetworkDialog, OkNeedsAPathOnlyWhenTheBoxIsTicked) {
    auto dialog = makeDialog();
    files.answer = "/nets/plant.cxl";
    bool stayed = false;
    whileModal([&](QDialog& shown) {
        shown.findChild<QCheckBox*>("usenetdesc")->setChecked(true);
        EXPECT_TRUE(shown.findChild<QLineEdit*>("netdesc")->isEnabled());
        shown.findChild<QPushButton*>("ok")->click();
        stayed = shown.isVisible();
        shown.findChild<QPushButton*>("netdescbrowse")->click();
        shown.findChild<QPushButton*>("ok")->click();
    });
    EXPECT_TRUE(dialog->Execute());
    EXPECT_TRUE(stayed);
    ASSERT_EQ(prompt.asked().size(), 1u);
    EXPECT_EQ(prompt.asked()[0].text, "You must select a Network Description File");
    EXPECT_EQ(prompt.asked()[0].caption, "CANopen Norbix Eval");
    EXPECT_EQ(prompt.asked()[0].buttons, PromptButtons::Ok);
    ASSERT_EQ(files.asked.size(), 1u);
    EXPECT_EQ(files.asked[0].title, "Select Network Description File");
    EXPECT_EQ(dialog->config().netDesc, "/nets/plant.cxl");

    whileModal([&](QDialog& shown) {
        shown.findChild<QCheckBox*>("usenetdesc")->setChecked(false);
        shown.findChild<QLineEdit*>("netdesc")->clear();
        shown.findChild<QPushButton*>("ok")->click();
    });
    EXPECT_TRUE(dialog->Execute());
    EXPECT_EQ(prompt.asked().size(), 1u);
}

TEST_F(NetworkDialog, RegistryIsWrittenOnDestructionAndAFileLoadAppliesAtOnce) {
    {
        auto dialog = makeDialog();
        addNodes(*dialog, {3, "Motor", "", "", "", "", "", 0}, 1);
        auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, kNetworkConfigKey);
        EXPECT_FALSE(key && key->valueExists("totalnodes"));  // not before the end
    }
    auto dialog = makeDialog();
    ASSERT_EQ(dialog->config().nodeCount(), 1u);
    EXPECT_FALSE(symbols.GetNodeName(3));  // the constructor does not apply

    const std::string file = (dir_ / "test.ini").string();
    ASSERT_TRUE(dialog->SaveSettings(file));
    child<QPushButton>(*dialog, "nodetableclear")->click();
    dialog->LoadSettings(file);
    EXPECT_EQ(cellText(*dialog, 0, NodeTableModel::NameColumn), "Motor");
    EXPECT_EQ(symbols.GetNodeName(3), "Motor");
    EXPECT_TRUE(symbols.FindEntry(0x1000, 0, 0));  // the store was reloaded with its default
}

TEST_F(NetworkDialog, ASizeFromAFileFitsTheScreenAndOnlyThatIsStored) {
    const std::string file = (dir_ / "huge.nbx").string();
    std::ofstream(file) << "[networkconfig]\ntotalnodes=0\nwidth=3000\nheight=2500\n";
    const QSize area = QGuiApplication::primaryScreen()->availableGeometry().size();
    {
        auto dialog = makeDialog();
        dialog->LoadSettings(file);
        EXPECT_LE(dialog->width(), area.width());
        EXPECT_LE(dialog->height(), area.height());
    }
    auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, kNetworkConfigKey);
    ASSERT_TRUE(key);
    EXPECT_LE(key->readInteger("width").value_or(INT_MAX), area.width());
    EXPECT_LE(key->readInteger("height").value_or(INT_MAX), area.height());
}

TEST_F(NetworkDialog, LongNamesAreShortenedOnScreenOnly) {
    auto dialog = makeDialog();
    const std::string name = "A very long node name that cannot fit in its cell at all";
    addNodes(*dialog, {7, name, "", "", "", "", "", 0}, 1);
    const QFontMetrics metrics = dialog->findChild<QTableView*>("nodetable")->fontMetrics();
    const int width = 100;
    const QString text = QString::fromStdString(name);
    const QString shown = shortenCellText(text, width, metrics);
    ASSERT_TRUE(shown.endsWith("..."));
    const QString prefix = shown.chopped(3);
    EXPECT_TRUE(text.startsWith(prefix));
    EXPECT_LE(metrics.horizontalAdvance(prefix + "... "), width);
    EXPECT_GT(metrics.horizontalAdvance(text.left(prefix.size() + 1) + "... "), width);  // the longest
    EXPECT_EQ(shortenCellText("ok", width, metrics), "ok");
    EXPECT_EQ(dialog->config().rows()[0].name, name);

    // A double-click on the right edge of the Name header fits the column to its longest text.
    auto* header = dialog->findChild<QTableView*>("nodetable")->horizontalHeader();
    const int right = header->sectionViewportPosition(NodeTableModel::NameColumn) +
                      header->sectionSize(NodeTableModel::NameColumn) - 2;
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, {}, {right, header->height() / 2});
    EXPECT_EQ(header->sectionSize(NodeTableModel::NameColumn),
              metrics.horizontalAdvance(text) + metrics.horizontalAdvance("... "));
}

class NodeDialog : public ::testing::Test {
protected:
    RecordingPrompt prompt;
    TSymbols symbols{prompt};
    AnsweringFileDialogs files;
    TWin_NodeConfig dialog{symbols, prompt, files};
    QAbstractItemModelTester tester{dialog.findChild<QComboBox*>("nodelist")->model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(NodeDialog, AddModeChecksTheCountAndKeepsTheTickForTheNextRun) {
    symbols.AddNode(0x10, "Known", "", "", "", "", "", 0);
    files.answer = "/eds/pump.eds";
    std::vector<std::string> messagesWhileOpen;
    whileModal([&](QDialog& shown) {
        EXPECT_EQ(shown.windowTitle(), "Add Node");
        auto* list = shown.findChild<QComboBox*>("nodelist");
        EXPECT_EQ(list->currentIndex(), 0);
        EXPECT_EQ(list->itemText(0x0F), "[0x10 (16d)] Known");
        auto* number = shown.findChild<QLineEdit*>("numberofnodes");
        auto* ok = shown.findChild<QPushButton*>("ok");
        shown.findChild<QCheckBox*>("setofnodes")->setChecked(true);
        list->setCurrentIndex(0x7E - 1);
        for (const char* text : {"3", "", "0", "x"}) {
            number->setText(text);
            ok->click();
            EXPECT_TRUE(shown.isVisible()) << text;
        }
        list->setCurrentIndex(0x10 - 1);
        shown.findChild<QLineEdit*>("name")->setText("Pump");
        shown.findChild<QPushButton*>("browse")->click();
        number->setText("3x");
        ok->click();
    });
    uint8_t id = 0;
    std::string name, eds;
    int count = 0;
    ASSERT_EQ(dialog.Execute(id, name, eds, count, nullptr), 1);
    EXPECT_EQ(id, 0x10);
    EXPECT_EQ(name, "Pump");
    EXPECT_EQ(eds, "/eds/pump.eds");
    EXPECT_EQ(count, 3);
    const auto asked = prompt.asked();
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[0].text, kNodeCountTooLargeMessage);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(asked[i].text, "The number of nodes must be in the range 1 to 127");
    EXPECT_EQ(asked[0].icon, PromptIcon::Warning);
    EXPECT_EQ(asked[0].caption, "CANopen Norbix Eval");

    // The next add keeps the tick and the number; unticked, the count is 1.
    whileModal([&](QDialog& shown) {
        EXPECT_TRUE(shown.findChild<QCheckBox*>("setofnodes")->isChecked());
        EXPECT_EQ(shown.findChild<QLineEdit*>("numberofnodes")->text(), "3x");
        EXPECT_EQ(shown.findChild<QLineEdit*>("name")->text(), "");
        shown.findChild<QComboBox*>("nodelist")->setCurrentIndex(0x7E);
        shown.findChild<QCheckBox*>("setofnodes")->setChecked(false);
        shown.findChild<QPushButton*>("ok")->click();
    });
    id = 0;
    ASSERT_EQ(dialog.Execute(id, name, eds, count, nullptr), 1);
    EXPECT_EQ(id, 0x7F);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(name, "");
}

TEST_F(NodeDialog, OpensCentredOverItsOwnerTheFirstTime) {
    QWidget owner;
    owner.setGeometry(100, 100, 900, 700);
    QPoint offCentre;
    whileModal([&](QDialog& shown) {
        offCentre = shown.frameGeometry().center() - owner.frameGeometry().center();
        shown.findChild<QPushButton*>("cancel")->click();
    });
    uint8_t id = 0;
    std::string name, eds;
    int count = 0;
    EXPECT_EQ(dialog.Execute(id, name, eds, count, &owner), 0);
    EXPECT_LE(offCentre.manhattanLength(), 4) << offCentre.x() << "," << offCentre.y();
}

TEST_F(NodeDialog, EditModeShowsTheRowAndCancelWritesNothing) {
    QWidget owner;
    owner.setGeometry(100, 100, 900, 700);
    whileModal([&](QDialog& shown) {
        EXPECT_EQ(shown.windowTitle(), "Edit Node 05 (5d)");
        EXPECT_EQ(shown.findChild<QComboBox*>("nodelist")->currentIndex(), 4);
        EXPECT_EQ(shown.findChild<QLineEdit*>("name")->text(), "Drive");
        EXPECT_EQ(shown.findChild<QLineEdit*>("eds")->text(), "d.eds");
        auto* add = shown.findChild<QCheckBox*>("setofnodes");
        EXPECT_FALSE(add->isChecked());
        EXPECT_FALSE(add->isEnabled());
        EXPECT_FALSE(shown.findChild<QLineEdit*>("numberofnodes")->isEnabled());
        shown.findChild<QComboBox*>("nodelist")->setCurrentIndex(8);
        shown.findChild<QLineEdit*>("name")->setText("Changed");
        shown.findChild<QPushButton*>("cancel")->click();
    });
    uint8_t id = 5;
    std::string name = "Drive", eds = "d.eds";
    int count = -1;
    EXPECT_EQ(dialog.Execute(id, name, eds, count, &owner), 0);
    EXPECT_EQ(id, 5);
    EXPECT_EQ(name, "Drive");
    EXPECT_EQ(eds, "d.eds");
    EXPECT_EQ(count, -1);

    // A path longer than its field is refused, never cut.
    whileModal([&](QDialog& shown) {
        shown.findChild<QLineEdit*>("eds")->setText(QString(300, 'p'));
        shown.findChild<QPushButton*>("ok")->click();
        EXPECT_TRUE(shown.isVisible());
        shown.findChild<QLineEdit*>("eds")->setText("short.eds");
        shown.findChild<QPushButton*>("ok")->click();
    });
    EXPECT_EQ(dialog.Execute(id, name, eds, count, &owner), 1);
    EXPECT_EQ(eds, "short.eds");
    ASSERT_EQ(prompt.asked().size(), 1u);
    EXPECT_EQ(prompt.asked()[0].text, kPathTooLongMessage);
}

} // namespace
} // namespace ostrel::vessolt
