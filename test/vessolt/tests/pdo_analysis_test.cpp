// The PDO analysis against a simulated device on the library's test bus, its grid model and its
// report section.
#include <QAbstractItemModelTester>

#include <chrono>
#include <map>
#include <thread>

#include "pdo_analysis_fixture.h"
#include "pdo_analysis_model.h"

namespace ostrel::vessolt::test {
namespace {

using fixtures::SdoFault;
using fixtures::SimObjectDictionary;

constexpr int32_t kGreen = 0x008000, kRed = 0x0000FF, kWhite = 0xFFFFFF;

SimObjectDictionary tailored(const std::function<void(SimObjectDictionary&)>& change) {
    SimObjectDictionary d = SimObjectDictionary::fullProfile();
    change(d);
    return d;
}

bool isPDOObject(uint16_t index) { return index >= 0x1400 && index <= 0x1BFF; }

int countNames(const std::string& supported) {
    return supported == "-" ? 0 : 1 + static_cast<int>(std::count(supported.begin(), supported.end(), ';'));
}

// What the tests changed went back: the last accepted write to each PDO object is its old value.
void expectRestored(const fixtures::SimNode& node, const SimObjectDictionary& before) {
    std::map<uint32_t, std::vector<uint8_t>> last;
    for (const auto& w : node.writeLog())
        if (w.abortCode == 0 && isPDOObject(w.index))
            last[(uint32_t(w.index) << 8) | w.subIndex] = w.data;
    EXPECT_GE(last.size(), 8u * 4 + 4);
    for (const auto& [key, data] : last) {
        const auto* old = before.find(static_cast<uint16_t>(key >> 8), static_cast<uint8_t>(key));
        ASSERT_NE(old, nullptr);
        EXPECT_EQ(data, old->value) << std::hex << key;
    }
}

TEST_F(PDOAnalysisFixture, FullProfileIsReadTriedAndRestored) {
    fixtures::SimNode& node = addDevice();
    open();
    const SimObjectDictionary before = node.dictionary();
    ProgressRecorder progress(manager, TPDOAnalysis::kTestId);
    manager.AddTestListListener(&progress);

    EXPECT_EQ(run(), PASSED);
    manager.RemoveTestListListener(&progress);
    EXPECT_TRUE(logHas("[PDO Analysis] Test passed"));
    EXPECT_TRUE(logHas("Bus Statistics: maximum bus load was 0.00%, maximum burst length was 0.0ms"));
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"RPDO 1", "RPDO 2", "RPDO 3", "RPDO 4", "TPDO 1", "TPDO 2",
                                                    "TPDO 3", "TPDO 4"}));

    const std::vector<int32_t> values = progress.values();
    ASSERT_FALSE(values.empty());
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 100);

    const auto rows = analysis.Rows(true);
    const auto& rpdo1 = rows[0].cells;
    EXPECT_EQ(rpdo1[1], "1 (RW)");
    EXPECT_EQ(rpdo1[2], "210 (RW)");
    EXPECT_EQ(rpdo1[4], "");
    EXPECT_EQ(rpdo1[5], "Device Profile defined (RW)");
    EXPECT_EQ(rpdo1[10], "2 (RW)");
    EXPECT_EQ(rpdo1[11], "6200,01,08");
    EXPECT_EQ(rpdo1[6], "Acyclic, Synchronous; Cyclic, Synchronous; Manufacturer specific; Device Profile defined");
    const auto& tpdo1 = rows[4].cells;
    EXPECT_EQ(tpdo1[3], "Digital inputs");
    EXPECT_EQ(tpdo1[4], "1 (RW)");
    EXPECT_EQ(tpdo1[11], "[6000,01,08] Read inputs 1");

    for (const PDOEntry& e : table()) {
        const uint32_t map = e.index + 0x200;
        const bool empty = e.mappingCount() == 0;
        SCOPED_TRACE(std::to_string(e.index));
        EXPECT_EQ(e.mappingCount() == 0, (e.index & 0xFF) >= 2);
        EXPECT_EQ(e.cobidaccess, kAccessReadWrite);
        EXPECT_EQ(e.transtypeaccess, kAccessReadWrite);
        EXPECT_EQ(e.inhibittimeaccess, kAccessReadWrite);
        EXPECT_EQ(e.eventtimeaccess, kAccessReadWrite);
        EXPECT_EQ(e.mappingnumaccess, empty ? kAccessUntested : kAccessReadWrite);
        EXPECT_EQ(e.entriesRead, 8u);
        EXPECT_EQ(countNames(SupportedTypesText(e)), e.isTPDO() ? 6 : 4);
        for (const auto& w : node.writeLog())
            EXPECT_FALSE(empty && w.index == map) << "count-0 mapping written";
    }

    expectRestored(node, before);

    // The grid: mapping 1-2 in use (green), 3-8 read but unused (red).
    TPDOAnalysisModel model(analysis);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.ShowMarks();
    ASSERT_EQ(model.rowCount(), 8);
    EXPECT_EQ(model.cellText(0, 2), "210 (RW)");
    for (int column = 11; column <= 18; ++column)
        EXPECT_EQ(model.index(0, column).data(TPDOAnalysisModel::kBackgroundRole).toInt(), column <= 12 ? kGreen : kRed);
}

// Stricter devices, as the standard allows them: one keeps RPDO 1's pre-defined identifier with
// its node id, one will not make a PDO with nothing mapped valid (TPDO 1 maps one object here).
// Each parameter is still found writable, and what was changed goes back.
class PDOAccessMarksTest : public PDOAnalysisFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(PDOAccessMarksTest, StricterDevicesStillShowWhatCanBeWritten) {
    fixtures::SimNodeConfig config;
    config.nodeId = kNode;
    config.pdoBaseAddsNodeId = GetParam();
    config.refuseEmptyPdo = !GetParam();
    SimObjectDictionary dictionary = SimObjectDictionary::fullProfile();
    dictionary.find(0x1A00, 0)->value = dictionary.find(0x1A00, 0)->defaultValue = {1};
    fixtures::SimNode& node = drennic.devices().addNode(config, std::move(dictionary));
    addNsm();
    open();
    const SimObjectDictionary before = node.dictionary();
    EXPECT_EQ(run(), PASSED);
    ASSERT_EQ(table().size(), 8u);
    for (const PDOEntry& e : table()) {
        SCOPED_TRACE(std::to_string(e.index));
        for (uint32_t access : {e.cobidaccess, e.transtypeaccess, e.inhibittimeaccess, e.eventtimeaccess})
            EXPECT_EQ(access, kAccessReadWrite);
        EXPECT_EQ(e.mappingnumaccess, e.mappingCount() == 0 ? kAccessUntested : kAccessReadWrite);
    }
    expectRestored(node, before);
}
INSTANTIATE_TEST_SUITE_P(Devices, PDOAccessMarksTest, ::testing::Values(true, false));

TEST_F(PDOAnalysisFixture, ANodeThatStopsAnsweringEndsTheReading) {
    fixtures::SimNode& node = addDevice();
    SdoFault silence;
    silence.after = 20;
    node.addSdoFault(silence);
    open();
    EXPECT_EQ(run(), FAILED);
    EXPECT_EQ(countLines("Error: the node stopped answering at index 14"), 1);
}

TEST_F(PDOAnalysisFixture, MissingPDOsLeaveNoRowAndTheirSlotIsReused) {
    fixtures::SimNode& node = addDevice();
    node.addSdoFault(SdoFault::abortRead(0x1402, 1, fixtures::abort_code::kNoObject));
    node.addSdoFault(SdoFault::abortRead(0x1403, 1, fixtures::abort_code::kNoObject));
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"RPDO 1", "RPDO 2", "TPDO 1", "TPDO 2", "TPDO 3", "TPDO 4"}));
    EXPECT_EQ(table()[2].cobid, 0x190u);
    EXPECT_FALSE(analysis.FindPDO(0x1402));
}

TEST_F(PDOAnalysisFixture, ATPDOThatTakesOnlyType255) {
    addDevice(tailored([](SimObjectDictionary& d) { d.find(0x1801, 2)->lowLimit = std::vector<uint8_t>{255}; }));
    open();
    EXPECT_EQ(run(), PASSED);
    const PDOEntry tpdo2 = pdo(0x1801);
    EXPECT_EQ(SupportedTypesText(tpdo2), "Device Profile defined");
    EXPECT_EQ(tpdo2.transtypeaccess, kAccessReadWrite);
    EXPECT_EQ(countNames(SupportedTypesText(pdo(0x1800))), 6);
}

TEST_F(PDOAnalysisFixture, ACOBIDThatCannotBeWrittenStaysReadOnly) {
    fixtures::SimNode& node = addDevice();
    node.addSdoFault(SdoFault::abortWrite(0x1800, 1, fixtures::abort_code::kReadOnly));
    open();
    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(pdo(0x1800).cobidaccess, kAccessReadOnly);
    EXPECT_EQ(pdo(0x1800).cobid, 0x190u);
    EXPECT_EQ(analysis.Rows(true)[4].cells[2], "190 (RO)");
    bool tried = false;
    for (const auto& w : node.writeLog())
        if (w.index == 0x1800 && w.subIndex == 1) {
            tried = true;
            EXPECT_NE(w.abortCode, 0u);
        }
    EXPECT_TRUE(tried);
    EXPECT_EQ(pdo(0x1801).cobidaccess, kAccessReadWrite);
}

TEST_F(PDOAnalysisFixture, UnreadableMappingEntriesAreNotShownAndProgressStopsAt100) {
    addDevice(tailored([](SimObjectDictionary& d) {
        auto& subs = d.addIndex(0x1A01, "TPDO2 mapping parameter", fixtures::SimObjectType::Record).subs;
        for (uint8_t sub = 5; sub <= 8; ++sub)
            subs.erase(sub);
        // Every PDO maps one object and PDOs 3 and 4 are valid: the tests need more operations
        // than the analysis plans.
        for (uint16_t map : {0x1602, 0x1603, 0x1A02, 0x1A03}) {
            const uint32_t entry = map < 0x1A00 ? 0x62000108u : 0x60000108u;
            for (auto [sub, value] : {std::pair<uint8_t, uint32_t>{0, 1}, {1, entry}}) {
                fixtures::SimObject* object = d.find(map, sub);
                object->value = object->defaultValue = fixtures::encodeUnsigned(value, sub == 0 ? 1 : 4);
            }
            fixtures::SimObject* cobid = d.find(static_cast<uint16_t>(map - 0x200), 1);
            cobid->value = cobid->defaultValue =
                fixtures::encodeUnsigned(fixtures::decodeUnsigned(cobid->defaultValue) & 0x7FFu, 4);
        }
    }));
    open();
    ProgressRecorder progress(manager, TPDOAnalysis::kTestId);
    manager.AddTestListListener(&progress);
    EXPECT_EQ(run(), PASSED);
    manager.RemoveTestListListener(&progress);
    EXPECT_GT(analysis.Operations(), TPDOAnalysis::kPlannedOperations);
    const std::vector<int32_t> values = progress.values();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_LE(*std::max_element(values.begin(), values.end()), 100);
    EXPECT_EQ(pdo(0x1803).mappingnumaccess, kAccessReadWrite);
    EXPECT_EQ(pdo(0x1801).entriesRead, 4u);
    TPDOAnalysisModel model(analysis);
    model.ShowMarks();
    ASSERT_EQ(model.rowCount(), 8);
    EXPECT_EQ(model.cellText(5, 14), "6401,04,10");
    for (int column = 15; column <= 18; ++column) {
        EXPECT_EQ(model.cellText(5, column), "");
        EXPECT_EQ(model.index(5, column).data(TPDOAnalysisModel::kBackgroundRole).toInt(), TPDOAnalysisModel::kButtonFace);
    }
}

TEST_F(PDOAnalysisFixture, ALostAnswerWarnsAndLeavesTheParameterUnknown) {
    fixtures::SimNode& node = addDevice();
    SdoFault drop = SdoFault::dropResponse(1);
    drop.index = 0x1400;
    drop.subIndex = 3;
    node.addSdoFault(drop);
    open();
    EXPECT_EQ(run(), WARNING);
    EXPECT_TRUE(logHas("Warning: Missing SDO response during test cycle"));
    EXPECT_EQ(pdo(0x1400).inhibittimeaccess, kAccessUnknown);
    EXPECT_EQ(table().size(), 8u);
    EXPECT_EQ(analysis.Rows(true)[0].cells[8], "0 (X)");
    EXPECT_NE(report(0).find(" RPDO 1    Y (RW)   210 (RW)                0 (RW)       0 (X)     0 (RW)\n"),
              std::string::npos)
        << report(0);
}

TEST_F(PDOAnalysisFixture, NoSupportModuleFails) {
    addDevice(SimObjectDictionary::fullProfile(), false);
    open();
    EXPECT_EQ(run(), FAILED);
    EXPECT_TRUE(logHas("Error: Norbix Support Module not found"));
    TEST test;
    ASSERT_TRUE(manager.GetTest(TPDOAnalysis::kTestId, test));
    EXPECT_EQ(test.progress, 100);
    EXPECT_TRUE(table().empty());
}

TEST_F(PDOAnalysisFixture, CancelWhileReadingThenRunAgain) {
    fixtures::SimNode& node = addDevice();
    // RPDO 3's COB-ID answers late, once.
    node.addSdoFault(SdoFault::delay(0x1402, 1, 250'000, 1));
    open();
    std::thread canceller([&] {
        TEST test;
        for (int i = 0; i < 4000 && !(manager.GetTest(TPDOAnalysis::kTestId, test) && test.progress >= 3); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        manager.CancelTests();
    });
    EXPECT_EQ(run(), CANCELLED);
    canceller.join();
    EXPECT_LT(table().size(), 8u);
    EXPECT_EQ(node.readUnsigned(0x1017, 0), 0u);  // the reset undid the heartbeat set-up

    EXPECT_EQ(run(), PASSED);
    EXPECT_EQ(table().size(), 8u);
}

TEST_F(PDOAnalysisFixture, GridTextsRolesAndReportBlocks) {
    PDOEntry tpdo;
    tpdo.index = 0x1800;
    tpdo.cobid = 0x40000181;
    tpdo.transtype = 255;
    tpdo.eventtime = 100;
    tpdo.mapping[0] = 2;
    tpdo.mapping[1] = 0x60000108;
    tpdo.mapping[2] = 0x60000208;
    tpdo.entriesRead = 8;
    tpdo.cobidaccess = tpdo.transtypeaccess = tpdo.inhibittimeaccess = tpdo.eventtimeaccess = tpdo.mappingnumaccess =
        kAccessReadWrite;
    tpdo.supported[0] = 0;
    tpdo.supported[1] = 1;
    tpdo.supported[2] = 2;
    tpdo.supported[8] = 255;
    PDOEntry rpdo;
    rpdo.index = 0x1401;
    rpdo.cobid = 0xA0000123;
    rpdo.transtype = 241;
    rpdo.inhibittime = 5;
    rpdo.cobidaccess = kAccessReadOnly;
    rpdo.inhibittimeaccess = kAccessReadWrite;
    rpdo.eventtimeaccess = kAccessReadOnly;
    rpdo.mappingnumaccess = kAccessUntested;

    TPDOAnalysisModel model(analysis);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_TRUE(analysis.AddPDO(tpdo));
    ASSERT_TRUE(analysis.AddPDO(rpdo));
    model.Refresh();
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.columnCount(), 20);
    EXPECT_EQ(model.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), "CAN-ID (hex)");
    EXPECT_EQ(model.headerData(18, Qt::Horizontal, Qt::DisplayRole).toString(), "Map 8 (hex)");
    EXPECT_EQ(model.cellText(0, 1), "1");
    EXPECT_EQ(model.cellText(0, 2), "181");
    EXPECT_EQ(model.cellText(0, 4), "0");
    EXPECT_EQ(model.cellText(0, 6), "");
    EXPECT_EQ(model.cellText(1, 2), "00000123");
    EXPECT_EQ(model.cellText(1, 5), "-");
    EXPECT_EQ(model.cellText(1, 7), "0");

    // The marks survive a refresh (a new network description); a reset takes them away.
    model.ShowMarks();
    model.Refresh();
    EXPECT_EQ(model.cellText(0, 1), "1 (RW)");
    EXPECT_EQ(model.cellText(0, 2), "181 (RW)");
    EXPECT_EQ(model.cellText(0, 4), "0 (RW)");
    EXPECT_EQ(model.cellText(1, 4), "");
    EXPECT_EQ(model.cellText(1, 10), "0");
    EXPECT_EQ(model.cellText(0, 6), "Acyclic, Synchronous; Cyclic, Synchronous; Device Profile defined");

    const auto role = [&model](int row, int column, int r) { return model.index(row, column).data(r).toInt(); };
    EXPECT_EQ(role(0, 10, TPDOAnalysisModel::kBackgroundRole), kGreen);
    EXPECT_EQ(role(1, 10, TPDOAnalysisModel::kBackgroundRole), kRed);
    EXPECT_EQ(role(1, 10, TPDOAnalysisModel::kTextColourRole), kWhite);
    for (int column = 11; column <= 18; ++column) {
        EXPECT_EQ(role(0, column, TPDOAnalysisModel::kBackgroundRole), column <= 12 ? kGreen : kRed);
        EXPECT_EQ(role(0, column, TPDOAnalysisModel::kTextColourRole), kWhite);
        EXPECT_EQ(role(1, column, TPDOAnalysisModel::kBackgroundRole), TPDOAnalysisModel::kButtonFace);
    }
    EXPECT_EQ(role(0, 1, TPDOAnalysisModel::kCheckRole), TPDOAnalysisModel::kCheckOn);
    EXPECT_EQ(role(0, 4, TPDOAnalysisModel::kCheckRole), TPDOAnalysisModel::kCheckOff);
    EXPECT_EQ(role(1, 4, TPDOAnalysisModel::kCheckRole), TPDOAnalysisModel::kCheckNone);
    EXPECT_EQ(role(1, 4, TPDOAnalysisModel::kBackgroundRole), TPDOAnalysisModel::kButtonFace);
    EXPECT_EQ(role(0, 3, TPDOAnalysisModel::kBackgroundRole), TPDOAnalysisModel::kButtonFace);
    EXPECT_EQ(role(0, 8, TPDOAnalysisModel::kBackgroundRole), kWhite);
    EXPECT_EQ(role(0, 9, TPDOAnalysisModel::kSeparatorRole), 4);

    // The report prints what the grid shows: the marks only after the writability tests.
    EXPECT_NE(report(0).find("   181   "), std::string::npos);
    analysis.ShowAccessResults();
    manager.SetTestStatus(TPDOAnalysis::kTestId, PASSED);
    const std::string heading = "\n\nPDO Analysis - Passed\n------------\n\n--- Test Results --->\n";
    EXPECT_EQ(report(0),
              heading +
                  "    PDO   Enabled     CAN-ID      RTR         Sync  Inhbt Time  Evnt Time\n"
                  " TPDO 1    Y (RW)   181 (RW)   N (RW)       0 (RW)      0 (RW)   100 (RW)\n"
                  "Name: \nTrans Type: Device Profile defined (RW)\n"
                  "Supported Trans Types: Acyclic, Synchronous; Cyclic, Synchronous; Device Profile defined\n"
                  "Map Num: 2 (RW)\nMap 1: [6000,01,08] Read inputs 1\nMap 2: 6000,02,08\nMap 3: 0000,00,00\nMap 4: 0000,00,00\n"
                  "Map 5: 0000,00,00\nMap 6: 0000,00,00\nMap 7: 0000,00,00\nMap 8: 0000,00,00\n\n"
                  "    PDO   Enabled     CAN-ID      RTR         Sync  Inhbt Time  Evnt Time\n"
                  " RPDO 2    N (RO) 00000123 (RO)                 0 (X)      5 (RW)     0 (RO)\n"
                  "Name: \nTrans Type: - (X)\nSupported Trans Types: -\nMap Num: 0\n"
                  "Map 1: \nMap 2: \nMap 3: \nMap 4: \nMap 5: \nMap 6: \nMap 7: \nMap 8: \n\n");
    EXPECT_EQ(report(1),
              heading +
                  "    PDO\t  Enabled\t    CAN-ID\t     RTR\t        Sync\t Inhbt Time\t Evnt Time\n"
                  " TPDO 1\t   Y (RW)\t  181 (RW)\t  N (RW)\t      0 (RW)\t     0 (RW)\t  100 (RW)\n"
                  "Name:\t\nTrans Type:\tDevice Profile defined (RW)\n"
                  "Supported Trans Types:\tAcyclic, Synchronous; Cyclic, Synchronous; Device Profile defined\n"
                  "Map Num:\t2 (RW)\nMap 1:\t[6000,01,08] Read inputs 1\nMap 2:\t6000,02,08\nMap 3:\t0000,00,00\nMap 4:\t0000,00,00\n"
                  "Map 5:\t0000,00,00\nMap 6:\t0000,00,00\nMap 7:\t0000,00,00\nMap 8:\t0000,00,00\n\n"
                  "    PDO\t  Enabled\t    CAN-ID\t     RTR\t        Sync\t Inhbt Time\t Evnt Time\n"
                  " RPDO 2\t   N (RO)\t00000123 (RO)\t        \t       0 (X)\t     5 (RW)\t    0 (RO)\n"
                  "Name:\t\nTrans Type:\t- (X)\nSupported Trans Types:\t-\nMap Num:\t0\n"
                  "Map 1:\t\nMap 2:\t\nMap 3:\t\nMap 4:\t\nMap 5:\t\nMap 6:\t\nMap 7:\t\nMap 8:\t\n\n");

    // An empty table has no block at all.
    analysis.ClearPDOTable();
    EXPECT_EQ(report(0), heading);
}

}  // namespace
}  // namespace ostrel::vessolt::test
