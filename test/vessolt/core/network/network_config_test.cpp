// The network configuration kept apart from its dialog: the registry and test configuration file
// stores value by value, the limits of a row, the snapshot, the apply step into the real names
// store, and the models of the two dialogs under Qt's model tester.
#include "network/network_config.h"
#include "network/node_table_model.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

#include "services/log.h"
#include "platform/ini.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "network/symbols.h"
#include "temp_folder.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;
using test::TempFolder;

class NetworkConfigStore : public ::testing::Test {
protected:
    NetworkConfigStore() { ::setenv("OSTREL_REGISTRY_DIR", (folder.path() / "registry").c_str(), 1); }

    static NetworkConfigNode node(uint8_t id, std::string name, std::string eds) {
        NetworkConfigNode n;
        n.nodeId = id;
        n.name = std::move(name);
        n.edsPath = std::move(eds);
        return n;
    }
    std::unique_ptr<RegistryKey> key() { return RegistryKey::create(RegistryRoot::CurrentUser, kNetworkConfigKey); }

    TempFolder folder;
    TLog log;
};

// Two rows with every simulation value set, so a round trip can lose none of them.
NetworkConfig sampleConfig(TLog& log) {
    NetworkConfig config(&log);
    config.useNetDesc = true;
    config.netDesc = "/nets/plant.cxl";
    NetworkConfigNode pump{0x10, "Pump", "pump.eds", "Prod", "setup.ini", "sim.dll", "io.txt", 1};
    EXPECT_TRUE(config.AddNodes(pump, 1));
    EXPECT_TRUE(config.AddNodes({0x7F, "Motor \xC3\xA9", "", "", "", "", "", 0}, 1));
    config.width = 700;
    config.height = 450;
    return config;
}

const std::vector<std::string> kRowValueNames = {"nodeid", "nodename", "nodeeds", "nodesimproduct",
                                                 "nodesetupfile", "nodesimdll", "nodesimio", "nodeusesimproduct"};

std::vector<std::string> expectedOrder(int rows) {
    std::vector<std::string> names = {"usenetdesc", "netdesc"};
    for (int i = 0; i < rows; ++i)
        for (const auto& name : kRowValueNames) names.push_back(name + std::to_string(i));
    for (const char* name : {"totalnodes", "width", "height"}) names.push_back(name);
    return names;
}

TEST_F(NetworkConfigStore, RegistryRoundTripKeepsEveryValueNameOrderAndType) {
    const NetworkConfig saved = sampleConfig(log);
    ASSERT_TRUE(saved.SaveSettings(""));

    auto stored = key()->values();
    std::vector<std::string> names;
    for (const auto& value : stored) names.push_back(value.name);
    EXPECT_EQ(names, expectedOrder(2));
    auto k = key();
    EXPECT_EQ(k->readInteger("usenetdesc"), 1);
    EXPECT_EQ(k->readString("netdesc"), "/nets/plant.cxl");
    EXPECT_EQ(k->readInteger("nodeid0"), 0x10);
    EXPECT_EQ(k->readString("nodesetupfile0"), "setup.ini");
    EXPECT_EQ(k->readInteger("nodeusesimproduct0"), 1);
    EXPECT_EQ(k->readString("nodename1"), "Motor \xC3\xA9");
    EXPECT_EQ(k->readInteger("totalnodes"), 2);
    EXPECT_EQ(k->readInteger("width"), 700);
    EXPECT_FALSE(k->readString("width"));  // an integer, not a text

    NetworkConfig loaded;
    ASSERT_TRUE(loaded.LoadSettings(""));
    EXPECT_TRUE(loaded.useNetDesc);
    EXPECT_EQ(loaded.netDesc, saved.netDesc);
    EXPECT_EQ(loaded.rows(), saved.rows());
    EXPECT_EQ(loaded.width, 700);
    EXPECT_EQ(loaded.height, 450);
}

TEST_F(NetworkConfigStore, FileRoundTripWritesTheSameValuesAsLinesAndKeepsOtherSections) {
    const std::string path = folder.write("test.ini", "[other]\nkeep=1\n");
    const NetworkConfig saved = sampleConfig(log);
    ASSERT_TRUE(saved.SaveSettings(path));

    platform::IniFile file(path);
    ASSERT_TRUE(file.load());
    EXPECT_EQ(file.keys(kNetworkConfigSection), expectedOrder(2));
    EXPECT_EQ(file.readString("other", "keep"), "1");
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    for (const char* line : {"usenetdesc=1\n", "nodeid0=16\n", "nodeid1=127\n", "nodeusesimproduct0=1\n",
                             "totalnodes=2\n", "width=700\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;

    NetworkConfig loaded;
    ASSERT_TRUE(loaded.LoadSettings(path));
    EXPECT_TRUE(loaded.useNetDesc);
    EXPECT_EQ(loaded.rows(), saved.rows());
    EXPECT_EQ(loaded.height, 450);
}

TEST_F(NetworkConfigStore, ShorterSaveLeavesOldRowsStoredButUnread) {
    NetworkConfig config;
    ASSERT_TRUE(config.AddNodes(node(1, "N", "n.eds"), 5));
    ASSERT_TRUE(config.SaveSettings(""));
    ASSERT_TRUE(config.DeleteNodeRow(4) && config.DeleteNodeRow(3) && config.DeleteNodeRow(2));
    ASSERT_TRUE(config.SaveSettings(""));

    auto k = key();
    EXPECT_EQ(k->readInteger("totalnodes"), 2);
    for (int i = 2; i <= 4; ++i) EXPECT_EQ(k->readInteger("nodeid" + std::to_string(i)), 1 + i);
    NetworkConfig loaded;
    ASSERT_TRUE(loaded.LoadSettings(""));
    ASSERT_EQ(loaded.nodeCount(), 2u);
    EXPECT_EQ(loaded.rows()[1].nodeId, 2);
}

TEST_F(NetworkConfigStore, FreshRegistryAndFileWithoutTheSection) {
    NetworkConfig config;
    config.useNetDesc = true;
    config.netDesc = "kept.cxl";
    ASSERT_TRUE(config.AddNodes(node(3, "x", ""), 1));
    // An empty store: unticked, empty, no rows; the size stays.
    ASSERT_TRUE(config.LoadSettings(""));
    EXPECT_FALSE(config.useNetDesc);
    EXPECT_EQ(config.netDesc, "");
    EXPECT_EQ(config.nodeCount(), 0u);
    EXPECT_EQ(config.width, 650);

    // A file without the section leaves the tick, the path and the table.
    config.useNetDesc = true;
    config.netDesc = "kept.cxl";
    ASSERT_TRUE(config.AddNodes(node(3, "x", ""), 1));
    ASSERT_TRUE(config.LoadSettings(folder.write("none.ini", "[other]\na=1\n")));
    EXPECT_TRUE(config.useNetDesc);
    EXPECT_EQ(config.netDesc, "kept.cxl");
    EXPECT_EQ(config.nodeCount(), 1u);
    // A FIFO is refused at once, without waiting for a writer, and changes nothing.
    const std::string fifo = (folder.path() / "fifo.ini").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(config.LoadSettings(fifo));
    EXPECT_EQ(config.nodeCount(), 1u);
}

// What a file lacks stays as it is: no section, a file cut short before the count (written last),
// binary garbage. The table and the description are those from before.
TEST_F(NetworkConfigStore, FileWithoutTheCountLeavesTableAndDescription) {
    NetworkConfig saved = sampleConfig(log);
    const std::string full = folder.write("full.ini", "[TPDO Sync]\nperiod=10\n");
    ASSERT_TRUE(saved.SaveSettings(full));
    std::ifstream in(full, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_NE(text.find("totalnodes"), std::string::npos);
    std::string garbage(200000, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919 + 13) % 251);
    const struct {
        const char* name;
        std::string content;
    } cases[] = {{"sync-only.ini", "[TPDO Sync]\nperiod0=10\nperiod1=20\nperiod2=30\n"},
                 {"cut.ini", text.substr(0, text.find("totalnodes"))},
                 {"garbage.ini", garbage}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NetworkConfig config(&log);
        config.useNetDesc = true;
        config.netDesc = "kept.cxl";
        ASSERT_TRUE(config.AddNodes(node(3, "x", "x.eds"), 2));
        const auto before = config.TakeSnapshot();
        ASSERT_TRUE(config.LoadSettings(folder.write(c.name, c.content)));
        EXPECT_EQ(config.rows(), before.rows);
        EXPECT_EQ(config.netDesc, "kept.cxl");
        EXPECT_TRUE(config.useNetDesc);
    }
}

// A value of the wrong type and a damaged values file each say so in the log, naming the key.
TEST_F(NetworkConfigStore, RegistryDamageAndWrongTypesAreLogged) {
    ASSERT_TRUE(key()->writeString("totalnodes", "2"));
    NetworkConfig config(&log);
    ASSERT_TRUE(config.LoadSettings(""));
    std::ofstream(folder.path() / "registry/HKEY_CURRENT_USER/Software/Ostrel/CANopen Norbix Eval/networkconfig/.values")
        << "not a values file\n";
    ASSERT_TRUE(config.LoadSettings(""));
    const auto lines = log.GetLinesFrom(0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("networkconfig: totalnodes holds a string where a number belongs"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("networkconfig: corrupt registry file"), std::string::npos) << lines[1];
}

// A count or a row value that cannot be used is refused: the table stays as it was and one line
// names the value; a value beside the table is refused on its own.
TEST_F(NetworkConfigStore, BadFileNumbersAndRowsAreRefusedAndNamed) {
    const std::string row = "nodeid0=$7f\nnodename0=E\nnodeeds0=e.dcf\nnodesimproduct0=\nnodesetupfile0=\n"
                            "nodesimdll0=\nnodesimio0=\nnodeusesimproduct0=0\n";
    const auto with = [&row](const std::string& from, const std::string& to) {
        std::string text = row;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string s = "Warning: [networkconfig] ";
    const std::string stays = ": the node table stays as it was";
    const struct {
        std::string text;
        bool taken;
        std::vector<std::string> lines;
    } cases[] = {
        {row + "totalnodes=1\n", true, {}},
        {row + "totalnodes=300\n", false, {s + "totalnodes=300 was not loaded (the settings page accepts 0 to 128)" + stays}},
        {row + "totalnodes=2\n", false, {s + "nodeid1 is missing" + stays}},
        {with("$7f", "0x106") + "totalnodes=1\n", false,
         {s + "nodeid0=0x106 was not loaded (the settings page accepts 1 to 127)" + stays}},
        {"height=0\n" + row + "totalnodes=1\n", true, {s + "height=0 was not loaded (the settings page accepts 1 to 65535)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TLog lines;
        NetworkConfig config(&lines);
        config.useNetDesc = true;
        ASSERT_TRUE(config.AddNodes(node(3, "x", "x.eds"), 1));
        ASSERT_TRUE(config.LoadSettings(folder.write("bad.ini", "[networkconfig]\n" + c.text)));
        EXPECT_EQ(config.rows()[0], c.taken ? (NetworkConfigNode{0x7F, "E", "e.dcf", "", "", "", "", 0}) : node(3, "x", "x.eds"));
        EXPECT_TRUE(config.useNetDesc);
        EXPECT_EQ(config.width, 650);
        EXPECT_EQ(config.height, 400);
        EXPECT_EQ(lines.GetLinesFrom(0), c.lines);
    }
}

TEST_F(NetworkConfigStore, RegistryValuesOfTheWrongTypeCountAsAbsent) {
    auto k = key();
    ASSERT_TRUE(k->writeString("usenetdesc", "1"));
    ASSERT_TRUE(k->writeInteger("netdesc", 3));
    ASSERT_TRUE(k->writeInteger("totalnodes", 300));
    for (int i = 0; i < 130; ++i) {
        const auto n = std::to_string(i);
        ASSERT_TRUE(k->writeInteger("nodeid" + n, 1 + i % 127));
        ASSERT_TRUE(k->writeString("nodename" + n, "N" + n));
        ASSERT_TRUE(k->writeString("nodeeds" + n, ""));
    }
    ASSERT_TRUE(k->writeString("nodeid1", "2"));      // of another type
    ASSERT_TRUE(k->writeInteger("nodename2", 7));
    ASSERT_TRUE(k->writeString("width", "700"));
    ASSERT_TRUE(k->flush());
    NetworkConfig config;
    ASSERT_TRUE(config.LoadSettings(""));
    EXPECT_FALSE(config.useNetDesc);
    EXPECT_EQ(config.netDesc, "");
    EXPECT_EQ(config.width, 650);
    // 300 rows are more than the table holds: the table stays empty.
    EXPECT_EQ(config.nodeCount(), 0u);
    // A row whose value has another type is not read whole: the table stays as it was.
    ASSERT_TRUE(k->writeInteger("totalnodes", 5));
    ASSERT_TRUE(k->flush());
    ASSERT_TRUE(config.LoadSettings(""));
    EXPECT_EQ(config.nodeCount(), 0u);
    ASSERT_TRUE(k->writeInteger("nodeid1", 2));
    ASSERT_TRUE(k->writeString("nodename2", "N2"));
    for (int i = 0; i < 5; ++i)
        for (const char* name : {"nodesimproduct", "nodesetupfile", "nodesimdll", "nodesimio"})
            ASSERT_TRUE(k->writeString(name + std::to_string(i), ""));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(k->writeInteger("nodeusesimproduct" + std::to_string(i), 0));
    ASSERT_TRUE(k->flush());
    ASSERT_TRUE(config.LoadSettings(""));
    ASSERT_EQ(config.nodeCount(), 5u);
    EXPECT_EQ(config.rows()[2].name, "N2");
}

TEST_F(NetworkConfigStore, TextLimitsCutNamesOnCharactersAndRefuseLongPaths) {
    std::string longName;
    for (int i = 0; i < 60; ++i) longName += "\xC3\xA9";  // 120 bytes of two-byte characters
    const std::string longPath = "/" + std::string(259, 'p');
    auto k = key();
    ASSERT_TRUE(k->writeInteger("totalnodes", 1));
    ASSERT_TRUE(k->writeInteger("nodeid0", 9));
    ASSERT_TRUE(k->writeString("nodename0", longName));
    ASSERT_TRUE(k->writeString("nodeeds0", longPath));
    for (const char* name : {"nodesimproduct0", "nodesetupfile0", "nodesimio0"})
        ASSERT_TRUE(k->writeString(name, ""));
    ASSERT_TRUE(k->writeString("nodesimdll0", longPath.substr(1)));  // 259 bytes fit
    ASSERT_TRUE(k->writeInteger("nodeusesimproduct0", 0));
    ASSERT_TRUE(k->flush());
    NetworkConfig config(&log);
    // A path cut short would name another file: the row is not read whole.
    ASSERT_TRUE(config.LoadSettings(""));
    EXPECT_EQ(config.nodeCount(), 0u);
    ASSERT_EQ(log.GetLineCount(), 1);
    EXPECT_NE(log.GetLine(0).find("nodeeds0 is longer than 259 bytes"), std::string::npos) << log.GetLine(0);
    ASSERT_TRUE(k->writeString("nodeeds0", ""));
    ASSERT_TRUE(k->flush());
    ASSERT_TRUE(config.LoadSettings(""));
    ASSERT_EQ(config.nodeCount(), 1u);
    EXPECT_EQ(config.rows()[0].name, longName.substr(0, 98));
    EXPECT_EQ(config.rows()[0].simLibrary, longPath.substr(1));

    EXPECT_TRUE(config.SetNodeName(0, longName + "x"));
    EXPECT_EQ(config.rows()[0].name.size(), 98u);
    EXPECT_FALSE(config.EditNode(0, 9, "n", longPath));
    EXPECT_FALSE(config.SetNodeName(1, "no row"));
}

TEST_F(NetworkConfigStore, AddsRunsOfIdsRefusesOverflowWholeAndRestoresSnapshots) {
    NetworkConfig config;
    ASSERT_TRUE(config.AddNodes(node(0x10, "Pump", "p.eds"), 3));
    ASSERT_EQ(config.nodeCount(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(config.rows()[i].nodeId, 0x10 + i);
        EXPECT_EQ(config.rows()[i].name, "Pump");
        EXPECT_EQ(config.rows()[i].edsPath, "p.eds");
    }
    EXPECT_EQ(formatNodeId(0x10), "10 (16d)");
    EXPECT_EQ(formatNodeId(0x0A), "0A (10d)");

    const NetworkConfig::Snapshot snapshot = config.TakeSnapshot();
    ASSERT_TRUE(config.AddNodes(node(1, "", ""), 125));
    EXPECT_FALSE(config.AddNodes(node(1, "", ""), 1));  // a 129th row
    EXPECT_FALSE(config.AddNodes(node(1, "", ""), 0));
    EXPECT_EQ(config.nodeCount(), 128u);
    config.useNetDesc = true;
    config.width = 900;
    config.Restore(snapshot);
    EXPECT_FALSE(config.useNetDesc);
    EXPECT_EQ(config.nodeCount(), 3u);
    EXPECT_EQ(config.width, 900);  // the size is not part of a snapshot
}

TEST_F(NetworkConfigStore, ApplyLoadsTheTickedDescriptionThenTheRowsWithPathsFromTheProgramFolder) {
    RecordingPrompt prompt;
    TSymbols symbols(prompt, &log);
    const std::string cxl = folder.write("plant.cxl", "<cxl><network><node><id>9</id><name>From file</name></node>"
                                                      "<message><id>0x181</id><name>Pump TPDO</name></message>"
                                                      "</network></cxl>");
    NetworkConfig config;
    config.useNetDesc = true;
    config.netDesc = cxl;
    ASSERT_TRUE(config.AddNodes(node(3, "Motor", "motor.eds"), 1));
    ASSERT_TRUE(config.AddNodes(node(4, "", "/abs/drive.dcf"), 1));
    ASSERT_TRUE(config.AddNodes(node(5, "Empty", ""), 1));
    config.ApplyNetworkDescription(symbols);

    EXPECT_EQ(symbols.GetMessageName(0x181), "Pump TPDO");
    EXPECT_EQ(symbols.GetNodeName(9), "From file");
    EXPECT_EQ(symbols.FindNode(3)->edsPath, platform::executableDir() + "/motor.eds");
    EXPECT_EQ(symbols.FindNode(4)->edsPath, "/abs/drive.dcf");
    EXPECT_EQ(symbols.FindNode(5)->edsPath, "");
    EXPECT_EQ(symbols.FindNode(3)->configured, 1u);

    NodeIdListModel list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    list.Fill(symbols);
    ASSERT_EQ(list.rowCount(), 127);
    EXPECT_EQ(list.index(2).data().toString(), "[0x03 (3d)] Motor");
    EXPECT_EQ(list.index(3).data().toString(), "0x04 (4d)");
    EXPECT_EQ(list.index(126).data(NodeIdListModel::kNodeIdRole).toInt(), 127);

    // Unticked, the description file is not loaded.
    TSymbols other(prompt);
    config.useNetDesc = false;
    config.ApplyNetworkDescription(other);
    EXPECT_FALSE(other.GetMessageName(0x181));
    EXPECT_TRUE(prompt.asked().empty());
}

TEST(NodeTableModel, ShowsOneEmptyRowWithoutNodesAndEditsNamesInPlace) {
    NetworkConfig config;
    NodeTableModel model(config);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(model.rowCount(), 1);
    ASSERT_EQ(model.columnCount(), 7);
    for (int column = 0; column < 7; ++column) EXPECT_EQ(model.index(0, column).data().toString(), "");
    EXPECT_FALSE(model.flags(model.index(0, NodeTableModel::NameColumn)) & Qt::ItemIsEditable);
    EXPECT_FALSE(model.setData(model.index(0, NodeTableModel::NameColumn), "x"));
    EXPECT_EQ(model.headerData(2, Qt::Horizontal).toString(), "ID");
    EXPECT_EQ(model.headerData(4, Qt::Horizontal).toString(), "Configuration File (EDS/DCF)");
    EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "");

    ASSERT_TRUE(config.AddNodes({0x0A, "Valve", "v.eds", "", "", "", "", 0}, 2));
    model.Refill();
    ASSERT_EQ(model.rowCount(), 2);
    const QStringList expected = {"Delete", "Edit", "0B (11d)", "Valve", "v.eds", "", ""};
    for (int column = 0; column < 7; ++column) EXPECT_EQ(model.index(1, column).data().toString(), expected[column]);
    EXPECT_TRUE(model.flags(model.index(1, NodeTableModel::NameColumn)) & Qt::ItemIsEditable);
    EXPECT_FALSE(model.flags(model.index(1, NodeTableModel::EdsColumn)) & Qt::ItemIsEditable);
    EXPECT_TRUE(model.setData(model.index(1, NodeTableModel::NameColumn), QString(120, 'n')));
    EXPECT_EQ(config.rows()[1].name, std::string(99, 'n'));
    EXPECT_FALSE(model.setData(model.index(1, NodeTableModel::IdColumn), "1"));
    config.DeleteAll();
    model.Refill();
    EXPECT_EQ(model.rowCount(), 1);
}

TEST(NodeDialogChecks, CountsAreReadAsStrtolAndCheckedInOrder) {
    struct Case {
        int selected;
        bool addSet;
        const char* number;
        const char* message;  // nullptr: accepted
    };
    const Case cases[] = {
        {-1, false, "", kSelectNodeIdMessage},
        {0x7E - 1, true, "2", nullptr},
        {0x7E - 1, true, "3", kNodeCountTooLargeMessage},
        {0, true, "", kNodeCountRangeMessage},
        {0, true, "0", kNodeCountRangeMessage},
        {0, true, "x", kNodeCountRangeMessage},
        {0, true, "-1", kNodeCountRangeMessage},
        {0, true, "3x", nullptr},
        {0, true, " +9", nullptr},
        {0, false, "x", nullptr},  // unticked: the number is not read
        {0, true, "99999999999", kNodeCountRangeMessage},
    };
    for (const Case& c : cases) {
        auto message = checkNodeConfig(c.selected, c.addSet, c.number, "a.eds");
        if (c.message)
            EXPECT_EQ(message, std::string(c.message)) << c.number;
        else
            EXPECT_FALSE(message) << c.number << ": " << *message;
    }
    EXPECT_EQ(readCountText("3x"), 3);
    EXPECT_EQ(readCountText("  -12"), -12);
    EXPECT_EQ(readCountText("x3"), 0);
    EXPECT_EQ(checkNodeConfig(0, false, "", std::string(260, 'p')), std::string(kPathTooLongMessage));
    EXPECT_FALSE(checkNodeConfig(0, false, "", std::string(259, 'p')));
}

} // namespace
} // namespace ostrel::vessolt
