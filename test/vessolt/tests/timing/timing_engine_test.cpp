// The run engine with a cycle driver that fills the row itself; the test manager, log and
// expression evaluator are the real ones.
#include "timing_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "expressions/expressions.h"
#include "services/log.h"
#include "platform/ini.h"
#include "platform/registry.h"
#include "testing/test_manager.h"
#include "timing_settings.h"

namespace ostrel::vessolt {
namespace {

// Fills the TPDO statistics with one sample equal to the period (so tpdoave = period).
class RowFillingCycle : public TimingCycleDriver {
public:
    std::function<int(int cycle, uint32_t period)> code = [](int, uint32_t) { return kCycleOk; };
    std::function<void(TimingTestConfig&, int)> fill{};
    std::vector<uint32_t> periods;
    uint32_t mode = 1;

    int RunCycle(int cycle, TimingCycleHost& host) override {
        uint32_t period = 0;
        host.SetErrorControlMode(mode);
        host.WithRecord([&](TimingTestConfig& r) {
            const size_t k = static_cast<size_t>(cycle);
            period = r.time[k];
            timing::update(r.tpdo[k], static_cast<float>(period));
            if (fill)
                fill(r, cycle);
        });
        periods.push_back(period);
        return code(cycle, period);
    }
};

class TimingEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("timing_engine_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        ::setenv("OSTREL_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
        manager_ = std::make_unique<TTestManager>(log_);
    }
    void TearDown() override {
        engines_.clear();
        manager_.reset();
        std::filesystem::remove_all(dir_);
    }

    TimingTestEngine& make(TimingTestKind kind) {
        engines_.push_back(std::make_unique<TimingTestEngine>(
            kind, TimingTestEngine::Services{*manager_, log_, expressions_}, cycle_));
        TimingTestEngine& engine = *engines_.back();
        TestRegistration reg;
        reg.name = timingVariant(kind).displayName;
        reg.Run = [&engine] { engine.RunTest(); };
        reg.Cancel = [&engine] { engine.Cancel(); };
        manager_->AddTest(timingVariant(kind).testNumber, reg);
        return engine;
    }

    int32_t run(TimingTestEngine& engine) {
        manager_->RunTest(engine.Variant().testNumber);
        manager_->WaitForTestThread();
        TEST t;
        EXPECT_TRUE(manager_->GetTest(engine.Variant().testNumber, t));
        return t.status;
    }

    static void configure(TimingTestEngine& engine, const std::function<void(TimingTestConfig&)>& edit) {
        TimingTestConfig c;
        engine.GetConfig(c);
        edit(c);
        engine.SetConfig(c);
    }

    static void search(TimingTestConfig& c, uint32_t lower, uint32_t upper, const char* expression) {
        c.manual_enable = 0;
        c.limit_enable = 1;
        c.limit_lowerlimit = lower;
        c.limit_upperlimit = upper;
        setTimingExpression(c.limit_expression, expression);
    }

    [[nodiscard]] bool logged(const std::string& line) const {
        for (int32_t i = 0; i < log_.GetLineCount(); ++i)
            if (log_.GetLine(i).find(line) != std::string::npos)
                return true;
        return false;
    }

    std::filesystem::path dir_;
    TLog log_;
    TExpressions expressions_;
    std::unique_ptr<TTestManager> manager_;
    RowFillingCycle cycle_;
    std::vector<std::unique_ptr<TimingTestEngine>> engines_;
};

std::vector<uint32_t> rowsOf(const TimingTestEngine& engine) {
    TimingTestConfig c;
    engine.GetConfig(c);
    return {c.time.begin() + c.activecycles, c.time.begin() + c.activecycles + c.searchrows};
}

TEST_F(TimingEngineTest, LimitSearchBisectsToTheLargestTruePeriod) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOSync);
    configure(engine, [](TimingTestConfig& c) { search(c, 100, 200, "tpdoave <= 137"); });
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_EQ(rowsOf(engine), (std::vector<uint32_t>{200, 150, 100, 124, 136, 142, 139, 137, 138, 137}));
    EXPECT_TRUE(logged("Limit expression (tpdoave <= 137) evaluated to true at 137 ms"));
    EXPECT_TRUE(logged("Upper search limit = 149 ms, lower search limit = 124 ms"));
    EXPECT_TRUE(logged("Starting test cycle for 142 ms Sync period"));
    // Rows of the grid: the period column and the TPDO average of each search cycle.
    EXPECT_EQ(engine.Results().Cell(0, 4), "124");
    EXPECT_EQ(engine.Results().Cell(6, 4), "124.00");
    EXPECT_EQ(engine.Results().Cell(7, 4), "-");  // no heartbeat samples

    configure(engine, [](TimingTestConfig& c) { search(c, 100, 200, "tpdoave <= 100"); });
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_EQ(rowsOf(engine), (std::vector<uint32_t>{200, 150, 100, 124, 112, 106, 103, 101, 100}));
    EXPECT_TRUE(logged("Limit expression (tpdoave <= 100) evaluated to true at 100 ms"));

    configure(engine, [](TimingTestConfig& c) { search(c, 100, 200, "tpdoave <= 250"); });
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_EQ(rowsOf(engine), (std::vector<uint32_t>{200}));
    EXPECT_TRUE(logged("Limit expression (tpdoave <= 250) evaluated to true at 200 ms"));

    configure(engine, [](TimingTestConfig& c) { search(c, 100, 200, "tpdoave < 100"); });
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_EQ(rowsOf(engine), (std::vector<uint32_t>{200, 150, 100}));
    EXPECT_TRUE(logged("Limit expression (tpdoave < 100) not true inside range 100 ms to 200 ms"));
}

TEST_F(TimingEngineTest, LimitSearchStaysInsideItsRangeAndItsTable) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOEvent);
    // Adjacent limits with a flaky device: true at 100 only on its third measurement.
    int measured100 = 0;
    cycle_.fill = [&](TimingTestConfig& r, int cycle) {
        if (r.time[static_cast<size_t>(cycle)] == 100 && ++measured100 == 1)
            r.tpdo[static_cast<size_t>(cycle)].ave = 500;
    };
    configure(engine, [](TimingTestConfig& c) { search(c, 100, 101, "tpdoave <= 100"); });
    EXPECT_EQ(run(engine), PASSED);
    const auto rows = rowsOf(engine);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(std::all_of(rows.begin(), rows.end(), [](uint32_t p) { return p == 100 || p == 101; }));
    EXPECT_TRUE(logged("evaluated to true at 100 ms"));
    cycle_.fill = {};

    configure(engine, [](TimingTestConfig& c) { search(c, 0, 200, "tpdoave <= 137"); });
    EXPECT_EQ(run(engine), FAILED);
    EXPECT_TRUE(logged("Error: Invalid limit search range 0 ms to 200 ms"));
    configure(engine, [](TimingTestConfig& c) { search(c, 300, 200, "tpdoave <= 137"); });
    EXPECT_EQ(run(engine), FAILED);
    EXPECT_TRUE(logged("Error: Invalid limit search range 300 ms to 200 ms"));

    // 38 manual cycles leave room for two search rows.
    configure(engine, [](TimingTestConfig& c) {
        search(c, 100, 200, "tpdoave <= 137");
        c.manual_enable = 1;
        c.manualtestcycles = 38;
        std::fill(c.manualtime.begin(), c.manualtime.end(), 10u);
    });
    cycle_.periods.clear();
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_EQ(rowsOf(engine), (std::vector<uint32_t>{200, 150}));
    EXPECT_EQ(cycle_.periods.size(), 40u);
    EXPECT_TRUE(logged("Note: Limit search stopped: result table full"));
    EXPECT_EQ(engine.Results().RowCount(), 41);
}

TEST_F(TimingEngineTest, AlarmOperationsAndCycleCodesDecideTheStatus) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOSync);
    cycle_.fill = [](TimingTestConfig& r, int cycle) { r.tpdo[static_cast<size_t>(cycle)].dev = 20; };
    const auto alarm = [&](int operation) {
        configure(engine, [operation](TimingTestConfig& c) {
            c.manualtestcycles = 2;
            c.alarm_enable = 1;
            c.alarm_operation = operation;
            setTimingExpression(c.alarm_expression, "tpdodev > 10");
        });
    };
    alarm(0);
    EXPECT_EQ(run(engine), WARNING);
    EXPECT_TRUE(logged("Warning: Alarm expression (tpdodev > 10) evaluated to true"));
    EXPECT_EQ(cycle_.periods.size(), 2u);

    cycle_.periods.clear();
    alarm(1);
    EXPECT_EQ(run(engine), FAILED);
    EXPECT_TRUE(logged("Error: Alarm expression (tpdodev > 10) evaluated to true"));
    EXPECT_EQ(cycle_.periods.size(), 1u);
    EXPECT_EQ(engine.Results().Cell(3, 1), "500.00");  // shown before the end

    cycle_.periods.clear();
    alarm(2);
    EXPECT_EQ(run(engine), CANCELLED);
    EXPECT_TRUE(logged("Note: Alarm expression (tpdodev > 10) evaluated to true"));
    EXPECT_EQ(cycle_.periods.size(), 1u);
    EXPECT_EQ(engine.Results().Cell(3, 1), "-");  // not shown for the cancelling cycle

    // The alarm is checked before a failed cycle's result.
    cycle_.code = [](int, uint32_t) { return kCycleFailed; };
    alarm(2);
    EXPECT_EQ(run(engine), CANCELLED);
    alarm(0);
    EXPECT_EQ(run(engine), FAILED);

    cycle_.fill = {};
    configure(engine, [](TimingTestConfig& c) { c.alarm_enable = 0; c.manualtestcycles = 3; });
    for (const auto& [code, status] : std::vector<std::pair<int, int32_t>>{
             {kCycleFailed, FAILED}, {kCycleWarning, WARNING}, {kCycleCancelled, CANCELLED}, {7, FAILED}}) {
        cycle_.periods.clear();
        cycle_.code = [code](int cycle, uint32_t) { return cycle == 1 ? code : kCycleOk; };
        EXPECT_EQ(run(engine), status) << code;
        EXPECT_EQ(cycle_.periods.size(), code == kCycleWarning ? 3u : 2u) << code;
    }

    cycle_.code = [](int, uint32_t) { return kCycleOk; };
    configure(engine, [](TimingTestConfig& c) { c.manual_enable = 0; c.limit_enable = 0; });
    cycle_.periods.clear();
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_TRUE(cycle_.periods.empty());
}

TEST_F(TimingEngineTest, CellsShowMeasuredGroupsAndTheErrorControlMode) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOEvent);
    cycle_.mode = 2;
    cycle_.fill = [](TimingTestConfig& r, int cycle) {
        const size_t k = static_cast<size_t>(cycle);
        if (cycle == 0) {
            timing::update(r.ec[k], 0.0f);  // a measured 0 is a value
            timing::update(r.ec[k], 3.5f);
            r.maxbusload[k] = 12.345f;
            r.maxburstlen[k] = 0.25f;
            r.tpdo[k].dev = 1.5f;
        } else {
            r.tpdo[k] = {};
            timing::update(r.sdo[k], 0.0f);
        }
    };
    configure(engine, [](TimingTestConfig& c) { c.manualtestcycles = 2; });
    EXPECT_EQ(run(engine), PASSED);
    const TimingResultsTable::Snapshot s = engine.Results().Take();
    EXPECT_EQ(s.usedRows, 2);
    ASSERT_EQ(s.cells.size(), 8u);
    EXPECT_EQ(s.cells[0][10], "NG Diff (ms)");
    EXPECT_EQ(s.cells[1], (std::vector<std::string>{"500", "12.35", "0.2", "500.00", "500.00", "0.00", "1.50",
                                                    "500.00", "0.00", "3.50", "3.50", "-", "-", ""}));
    EXPECT_EQ(s.cells[2], (std::vector<std::string>{"250", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-",
                                                    "0.00", "0.00", ""}));
    EXPECT_EQ(s.cells[3], std::vector<std::string>(14));
}

TEST_F(TimingEngineTest, TurnaroundReportsTheTPDOsPerRPDO) {
    struct : TimingCycleDriver {
        int RunCycle(int cycle, TimingCycleHost& host) override {
            host.SetPdoCounts(1, 2);
            host.WithRecord([cycle](TimingTestConfig& r) {
                r.phase1rpdo[0].id = 0x205;
                r.phase1rpdo[1].id = 0x12345678;
                r.tpdocount[static_cast<size_t>(cycle)] = {1, cycle == 0 ? 2u : 0u};
            });
            return kCycleOk;
        }
    } turnaround;
    TimingTestEngine own(TimingTestKind::PDOTurnaround, {*manager_, log_, expressions_}, turnaround);
    TestRegistration reg;
    reg.name = "PDO Turnaround";
    reg.Run = [&own] { own.RunTest(); };
    manager_->AddTest(5, reg);
    configure(own, [](TimingTestConfig& c) { c.manualtestcycles = 2; });
    EXPECT_EQ(run(own), WARNING);
    EXPECT_TRUE(logged("Reception of RPDO 0x205 resulted in transmission of 1 TPDO from node"));
    EXPECT_TRUE(logged("Reception of RPDO 0x12345678 resulted in transmission of 2 TPDOs from node"));
    EXPECT_TRUE(logged("Reception of RPDO 0x12345678 resulted in transmission of 0 TPDOs from node"));
    EXPECT_TRUE(logged("Warning: change in number of TPDOs transmitted by node for RPDO 12345678"));
    EXPECT_FALSE(logged("for RPDO 205"));
}

TEST_F(TimingEngineTest, SettingsGoThroughTheTestManagersFileAndTheRegistry) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOSyncRPDOs);
    configure(engine, [](TimingTestConfig& c) {
        c.manualtestcycles = 3;
        c.manualtime[2] = 33;
        c.rpdo[1].data[3] = 0xAB;
    });
    EXPECT_EQ(run(engine), PASSED);  // results in the record, which a load clears
    platform::IniFile file((dir_ / "config.ini").string());
    engine.SaveTestConfig(file);
    ASSERT_TRUE(file.save());

    TimingTestEngine other(TimingTestKind::TPDOSyncRPDOs, {*manager_, log_, expressions_}, cycle_);
    platform::IniFile read((dir_ / "config.ini").string());
    ASSERT_TRUE(read.load());
    other.LoadTestConfig(read);
    TimingTestConfig c;
    other.GetConfig(c);
    EXPECT_EQ(c.activecycles, 3);
    EXPECT_EQ(c.time[2], 33u);
    EXPECT_EQ(c.rpdo[1].data[3], 0xAB);
    EXPECT_EQ(other.Results().Cell(0, 3), "33");
    EXPECT_EQ(other.Results().Cell(3, 3), "-");

    other.SaveSettings(WindowPlacement{2, 1, 2, 3, 4});
    TimingTestEngine third(TimingTestKind::TPDOSyncRPDOs, {*manager_, log_, expressions_}, cycle_);
    const WindowPlacement placed = third.InitSettings();
    EXPECT_EQ(placed.state, 2);
    EXPECT_FALSE(placed.width);  // no geometry written while maximized
    third.GetConfig(c);
    EXPECT_EQ(c.manualtime[2], 33u);
    EXPECT_EQ(c.syncid, 0x80u);
}

TEST_F(TimingEngineTest, ALoadThePageWouldRefuseKeepsTheSettingsInUseWithOneLogLine) {
    struct Case {
        TimingTestKind kind;
        const char* values;
        const char* message;
    } cases[] = {
        {TimingTestKind::PDOTurnaround, "limit_enable=1\nlimit_lowerlimit=0\nlimit_upperlimit=2\nlimit_expression=1\n",
         "The lower test range limit must be at least 1 ms"},
        {TimingTestKind::TPDOSync, "manual_enable=1\nalarm_enable=1\nalarm_expression=\n",
         "You must enter an alarm expression"},
    };
    for (const Case& c : cases) {
        const std::string section = std::string("[") + timingVariant(c.kind).displayName + "]\n";
        TimingTestEngine engine(c.kind, {*manager_, log_, expressions_}, cycle_);
        platform::IniFile file;
        file.loadFromString(section + "manualtestcycles=1\nmanualtime0=77\n" + c.values);
        const int32_t lines = log_.GetLineCount();
        engine.LoadTestConfig(file);
        TimingTestConfig now;
        engine.GetConfig(now);
        EXPECT_EQ(now.manualtime[0], 500u) << c.message;  // the defaults stay
        EXPECT_EQ(log_.GetLineCount(), lines + 1);
        EXPECT_TRUE(logged(section.substr(0, section.size() - 1) + " the settings were not loaded")) << c.message;
        EXPECT_TRUE(logged(c.message));
    }
    // The registry at start: the defaults.
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser,
                                             timingRegistryPath(timingVariant(TimingTestKind::PDOTurnaround)));
    ASSERT_TRUE(key && key->writeInteger("limit_enable", 1) && key->writeInteger("limit_lowerlimit", 0) && key->flush());
    TimingTestEngine engine(TimingTestKind::PDOTurnaround, {*manager_, log_, expressions_}, cycle_);
    (void)engine.InitSettings();
    TimingTestConfig now;
    engine.GetConfig(now);
    EXPECT_EQ(now.limit_enable, 0);
}

TEST_F(TimingEngineTest, ALoadedConfigurationResetsTheStatusWithTheResults) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOEvent);
    ASSERT_EQ(run(engine), PASSED);
    platform::IniFile file;
    file.loadFromString("[TPDO Event]\nmanualtestcycles=1\nmanualtime0=40\n");
    engine.LoadTestConfig(file);
    TEST t;
    ASSERT_TRUE(manager_->GetTest(engine.Variant().testNumber, t));
    EXPECT_EQ(t.status, NOTSTARTED);
    EXPECT_EQ(engine.Results().Cell(3, 1), "-");
}

} // namespace
} // namespace ostrel::vessolt
