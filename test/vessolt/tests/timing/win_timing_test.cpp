// The five timing windows offscreen over the real test manager, real engines and real cycles on
// the library's test bus: registration order, the run state in every window, cancelling across
// windows, the status colours, the stored placement, and the results grid as a model and as paint.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTableView>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include <platform/registry.h>

#include "common_test_support.h"
#include "temp_folder.h"
#include "expressions/expressions.h"
#include "nsm_playback.h"
#include "services/product_key.h"
#include "testing/test_manager.h"
#include "timing_cycle.h"
#include "timing_results_model.h"
#include "win_timing.h"

namespace ostrel::vessolt::test {
namespace {

namespace fs = std::filesystem;

constexpr TimingTestKind kKinds[5] = {TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs,
                                      TimingTestKind::TPDOEvent, TimingTestKind::TPDOEventRPDOs,
                                      TimingTestKind::PDOTurnaround};

class TimingWindowTest : public CommonServicesTest {
protected:
    TimingWindowTest() {
        for (size_t k = 0; k < 5; ++k)
            engines_[k] = std::make_unique<TimingTestEngine>(kKinds[k], TimingTestEngine::Services{manager_, log, expressions_},
                                                             cycle_);
    }
    ~TimingWindowTest() override {
        manager_.CancelTests();
        manager_.WaitForTestThread();
    }

    // A device and a module on the bus (before any run).
    fixtures::SimNode& addDevices() {
        fixtures::SimNodeConfig node;
        node.nodeId = 5;
        node.loopbackOutputsToInputs = true;
        fixtures::SimNode& device = drennic.devices().addNode(node, fixtures::SimObjectDictionary::fullProfile());
        fixtures::SimNsmConfig module;
        module.nodeId = 0x7F;
        module.statisticsOnReset = std::array<uint16_t, 2>{1234, 25};
        stimulus_.module = &drennic.devices().addNsm(module);
        open();
        return device;
    }

    TimingTestEngine& engine(TimingTestKind kind) { return *engines_[static_cast<size_t>(kind)]; }

    void setCycles(TimingTestKind kind, std::initializer_list<uint32_t> periods) {
        TimingTestConfig c;
        engine(kind).GetConfig(c);
        c.manualtestcycles = static_cast<int32_t>(periods.size());
        std::copy(periods.begin(), periods.end(), c.manualtime.begin());
        engine(kind).SetConfig(c);
    }

    // Handles posted messages until `done` holds or `ms` passed.
    bool until(const std::function<bool()>& done, int ms = 30000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            QApplication::processEvents();
            if (done())
                return true;
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void settle() {
        for (int i = 0; i < 10; ++i) {
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    [[nodiscard]] std::unique_ptr<platform::RegistryKey> key(const char* test) const {
        return platform::RegistryKey::open(platform::RegistryRoot::CurrentUser,
                                           std::string(kProductKey) + "\\" + test);
    }

    TempRegistry registry_;
    TExpressions expressions_;
    TTestManager manager_{log};
    NsmPlayback stimulus_{common, nsm};
    TimingCycle cycle_{{common, trace, summary, log, stimulus_, [] { return 500u; }}};
    std::array<std::unique_ptr<TimingTestEngine>, 5> engines_;
};

QColor textColour(const QLabel& label) { return label.palette().color(QPalette::WindowText); }

TEST_F(TimingWindowTest, FiveWindowsRegisterInOrderAndFollowEveryRun) {
    fixtures::SimNode& device = addDevices();
    std::vector<std::unique_ptr<TTimingTestWindow>> windows;
    for (TimingTestKind kind : kKinds)
        windows.push_back(MakeTimingWindow(engine(kind), manager_, {}));

    TEST t;
    std::vector<int32_t> ids;
    std::vector<std::string> names;
    for (int32_t id = manager_.GetFirstTest(t); id > 0; id = manager_.GetNextTest(t)) {
        ids.push_back(t.testid);
        names.push_back(t.name);
        EXPECT_TRUE(t.enabled);
        EXPECT_EQ(t.status, NOTSTARTED);
    }
    EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(names, (std::vector<std::string>{"TPDO Sync", "TPDO Sync + RPDOs", "TPDO Event", "TPDO Event + RPDOs",
                                               "PDO Turnaround"}));
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(windows[k]->windowTitle().toStdString(), names[k]);
        EXPECT_EQ(windows[k]->label->text(), "Not started");
        EXPECT_EQ(windows[k]->tpdonum->text(), "0");
        EXPECT_EQ(windows[k]->rpdonum != nullptr, k == 1 || k == 3 || k == 4) << k;
        EXPECT_EQ(windows[k]->model().columnCount(), k == 4 ? 13 : 14);
    }
    EXPECT_EQ(windows[0]->findChild<QPushButton*>("runtpdosynctest"), windows[0]->runtest);
    EXPECT_EQ(windows[4]->findChild<QLabel*>("rpdonumlabel"), windows[4]->rpdonum);
    EXPECT_EQ(windows[3]->findChild<QTableView*>("tpdoeventrpdostable"), windows[3]->table());

    // The manager's ShowWindow reaches the window.
    manager_.ShowTestWindow(3);
    EXPECT_TRUE(windows[2]->isVisible());

    // A first run that finds no valid TPDO shows 0.
    setCycles(TimingTestKind::TPDOSync, {20});
    device.addSdoFault(fixtures::SdoFault::abortRead(0x1800, 1, 0x06020000));
    windows[0]->runtest->click();
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Warning"; }));
    manager_.WaitForTestThread();
    settle();
    EXPECT_EQ(windows[0]->tpdonum->text(), "0");
    device.clearSdoFaults();

    // A whole run from the first window: every "Configure Test" is off while it runs.
    windows[0]->runtest->click();
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Running"; }));
    ASSERT_TRUE(until([&] {
        return std::none_of(windows.begin(), windows.end(), [](auto& w) { return w->configtest->isEnabled(); });
    }));
    ASSERT_TRUE(until([&] { return manager_.GetRunState() == 0; }));
    manager_.WaitForTestThread();
    ASSERT_TRUE(until([&] {
        return std::all_of(windows.begin(), windows.end(), [](auto& w) { return w->configtest->isEnabled(); });
    }));
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Passed"; }));
    EXPECT_EQ(textColour(*windows[0]->label), QColor(0, 128, 0));
    EXPECT_EQ(windows[0]->progressbar->palette().color(QPalette::Highlight), QColor(0, 128, 0));
    EXPECT_EQ(windows[0]->progressbar->value(), 100);
    const TimingResultsModel& grid = windows[0]->model();
    EXPECT_EQ(grid.cellText(0, 0), "20");
    EXPECT_EQ(grid.cellText(0, 1), "12.34");  // the module's statistics frame
    EXPECT_EQ(grid.cellText(0, 2), "2.5");
    EXPECT_NE(grid.cellText(0, 3), "-");
    EXPECT_NE(grid.cellText(0, 12), "-");  // Sync Dev
    EXPECT_EQ(grid.title(9), "HB Dev (%)");
    EXPECT_EQ(windows[0]->tpdonum->text(), "1");
    EXPECT_EQ(windows[1]->label->text(), "Not started");


    // "Cancel Test" of another window cancels the run, whichever test it is.
    setCycles(TimingTestKind::TPDOSync, {20, 20});
    windows[0]->runtest->click();
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Running"; }));
    const auto pressed = std::chrono::steady_clock::now();
    windows[2]->canceltest->click();
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Cancelled"; }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(4));  // well within a cycle
    EXPECT_EQ(windows[2]->label->text(), "Not started");

    // The status display by value; unknown values read "Not started" in black.
    manager_.WaitForTestThread();
    manager_.SetTestStatus(1, WARNING);
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Warning"; }));
    EXPECT_EQ(textColour(*windows[0]->label), QColor(128, 128, 0));
    EXPECT_EQ(windows[0]->progressbar->palette().color(QPalette::Highlight), QColor(128, 128, 0));
    manager_.SetTestStatus(1, FAILED);
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Failed"; }));
    EXPECT_EQ(textColour(*windows[0]->label), QColor(255, 0, 0));
    manager_.SetTestStatus(1, 9);
    ASSERT_TRUE(until([&] { return windows[0]->label->text() == "Not started"; }));
    EXPECT_EQ(textColour(*windows[0]->label), QColor(0, 0, 0));
}

TEST_F(TimingWindowTest, EveryColumnShowsItsWholeTitle) {
    for (TimingTestKind kind : kKinds) {
        const auto window = MakeTimingWindow(engine(kind), manager_, {});
        window->show();
        const QTableView* grid = window->findChild<QTableView*>();
        const QHeaderView* header = grid->horizontalHeader();
        const int margins = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        for (int column = 0; column + 1 < grid->model()->columnCount(); ++column) {
            const QString title = grid->model()->headerData(column, Qt::Horizontal).toString();
            EXPECT_GE(header->sectionSize(column), header->fontMetrics().horizontalAdvance(title) + margins)
                << title.toStdString();
        }
    }
}

TEST_F(TimingWindowTest, PlacementAndSettingsSurviveTheWindow) {
    {
        auto window = MakeTimingWindow(engine(TimingTestKind::TPDOEvent), manager_, {});
        EXPECT_EQ(window->size(), QSize(680, 294));  // the design size without a stored one
        window->show();
        window->move(30, 40);
        window->resize(600, 300);
        setCycles(TimingTestKind::TPDOEvent, {70, 80, 90});
        settle();
    }
    auto stored = key("TPDO Event");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->readInteger("windowstate"), 0);
    EXPECT_EQ(stored->readInteger("manualtestcycles"), 3);
    EXPECT_EQ(stored->readInteger("manualtime2"), 90);
    EXPECT_FALSE(stored->readInteger("colwidth0").has_value());  // not the frame's keys
    {
        // Another engine, as after a restart: settings and placement come back.
        setCycles(TimingTestKind::TPDOEvent, {10});
        auto window = MakeTimingWindow(engine(TimingTestKind::TPDOEvent), manager_, {});
        window->show();
        settle();
        EXPECT_EQ(window->pos(), QPoint(30, 40));
        EXPECT_EQ(window->size(), QSize(600, 300));
        EXPECT_EQ(window->model().cellText(2, 0), "90");
        window->showMaximized();
        settle();
    }
    stored = key("TPDO Event");
    EXPECT_EQ(stored->readInteger("windowstate"), 2);
    EXPECT_EQ(stored->readInteger("left"), 30);  // a maximized window writes no geometry
    EXPECT_EQ(stored->readInteger("width"), 600);
    {
        auto window = MakeTimingWindow(engine(TimingTestKind::TPDOEvent), manager_, {});
        EXPECT_TRUE(window->windowState() & Qt::WindowMaximized);
        window->showNormal();
        window->showMinimized();
        settle();
        const WindowPlacement placement = window->Placement();
        EXPECT_EQ(placement.state, 0);
        EXPECT_TRUE(placement.width.has_value());
        EXPECT_FALSE(window->isMinimized());
    }
    EXPECT_EQ(key("TPDO Event")->readInteger("windowstate"), 0);
}

TEST_F(TimingWindowTest, APlacementOffScreenOrHugeOpensOnTheScreen) {
    auto window = MakeTimingWindow(engine(TimingTestKind::TPDOEvent), manager_, {});
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const WindowPlacement placements[] = {{0, 0, 2500, 796, 400}, {0, -9000, 0, INT32_MAX, INT32_MAX}};
    for (const WindowPlacement& placement : placements) {
        window->ApplyPlacement(placement);
        window->show();
        settle();
        EXPECT_TRUE(area.contains(window->frameGeometry())) << *placement.left;
        EXPECT_LE(window->Placement().width.value_or(INT32_MAX), area.width());
    }
}

TEST_F(TimingWindowTest, GridFollowsTheTableAndPaintsAsSpecified) {
    auto window = MakeTimingWindow(engine(TimingTestKind::TPDOSync), manager_, {});
    TimingResultsModel& model = window->model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    TimingTestEngine& sync = engine(TimingTestKind::TPDOSync);

    setCycles(TimingTestKind::TPDOSync, {10, 20});
    settle();
    ASSERT_EQ(model.rowCount(), 7);
    EXPECT_EQ(model.cellText(0, 0), "10");
    EXPECT_EQ(model.cellText(1, 0), "20");
    EXPECT_EQ(model.cellText(1, 4), "-");
    EXPECT_EQ(model.cellText(2, 4), "");
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Sync (ms)");
    EXPECT_EQ(model.headerData(1, Qt::Horizontal, Qt::ToolTipRole), model.headerData(1, Qt::Horizontal, Qt::DisplayRole));
    EXPECT_EQ(model.headerData(13, Qt::Horizontal, Qt::DisplayRole).toString(), "");
    for (int row = 2; row < 7; ++row)
        for (int column = 0; column < 14; ++column)
            EXPECT_EQ(model.cellColour(row, column), TimingCellColour::ButtonFace) << row << "," << column;
    EXPECT_EQ(model.cellColour(0, 0), TimingCellColour::InfoBack);
    EXPECT_EQ(model.cellColour(0, 3), TimingCellColour::Tint);
    EXPECT_EQ(model.cellColour(1, 11), TimingCellColour::Tint);
    EXPECT_EQ(model.cellColour(1, 12), TimingCellColour::White);
    EXPECT_EQ(model.cellColour(0, 13), TimingCellColour::ButtonFace);

    // What the delegate paints.
    window->show();
    settle();
    QTableView& table = *window->table();
    EXPECT_EQ(table.columnWidth(0), 80);
    EXPECT_TRUE(table.horizontalHeader()->stretchLastSection());
    EXPECT_GE(table.verticalHeader()->defaultSectionSize(), table.fontMetrics().height());
    const QImage image = table.viewport()->grab().toImage();
    auto colourAt = [&](int row, int column) {
        const QRect cell = table.visualRect(model.index(row, column));
        return QColor(image.pixel(cell.right() - 3, cell.center().y()));
    };
    const QPalette& palette = table.palette();
    for (int row = 2; row < 7; ++row)
        EXPECT_EQ(colourAt(row, 5), palette.color(QPalette::Button)) << row;
    EXPECT_EQ(colourAt(0, 0), palette.color(QPalette::ToolTipBase));
    EXPECT_EQ(colourAt(0, 3), QColor(255, 235, 224));
    EXPECT_EQ(colourAt(1, 1), QColor(255, 255, 255));

    // More rows, then fewer: the tester checks every insertion and removal.
    setCycles(TimingTestKind::TPDOSync, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    settle();
    EXPECT_EQ(model.rowCount(), 9);
    EXPECT_EQ(model.cellText(8, 0), "9");
    setCycles(TimingTestKind::TPDOSync, {10, 20});
    settle();
    EXPECT_EQ(model.rowCount(), 7);

    // Node guarding: the third error-control column shows the difference; a row without TPDO
    // samples keeps its placeholders even with a difference and an average.
    sync.SetErrorControlMode(2);
    sync.WithRecord([](TimingTestConfig& r) {
        r.ec[0] = ErrorControlStats{1.0f, 3.0f, 50.0f, 2.0f, 2};
        r.tpdo[0] = TPDOTimingStats{0.5f, 1.5f, 1.0f, 0.0f, 1.0f, 2.0, 2};
        r.tpdo[1].diff = 5.0f;
        r.tpdo[1].ave = 3.0f;
    });
    sync.ShowCycleResults();
    settle();
    EXPECT_EQ(model.title(9), "NG Diff (ms)");
    EXPECT_EQ(table.model()->headerData(7, Qt::Horizontal, Qt::DisplayRole).toString(), "NG Min (ms)");
    EXPECT_EQ(model.cellText(0, 7), "1.00");
    EXPECT_EQ(model.cellText(0, 9), "2.00");
    EXPECT_EQ(model.cellText(0, 5), "1.00");
    EXPECT_EQ(model.cellText(1, 5), "-");
    EXPECT_EQ(model.cellText(1, 6), "-");
    EXPECT_EQ(model.cellText(1, 9), "-");
}

}  // namespace
}  // namespace ostrel::vessolt::test
