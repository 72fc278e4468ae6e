// The report sections of the five timing tests, written to real files and compared byte for byte
// with golden files.
#include "timing_report.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "timing_results_fixture.h"

namespace ostrel::vessolt::test {
namespace {

class TimingReportTest : public TimingResultsFixture {
protected:
    std::string section(const TimingTestEngine& engine, int layout) {
        const std::filesystem::path path = dir_ / "section.txt";
        std::FILE* file = std::fopen(path.c_str(), "w");
        EXPECT_NE(file, nullptr);
        if (!file)
            return {};
        WriteTimingReport(engine, file, layout);
        std::fclose(file);
        return read(path);
    }

    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Three manual rows and two search rows with known values; row 2 has no SDO times and no bus
    // load, row 3 no burst length, row 4 no TPDO, error-control or SYNC samples.
    static void fillRun(TimingTestEngine& engine, uint32_t errorControlMode) {
        engine.WithRecord([](TimingTestConfig& r) { r.limit_enable = 1; });
        ASSERT_TRUE(engine.AddSearchCycle(300));
        ASSERT_TRUE(engine.AddSearchCycle(160));
        engine.SetErrorControlMode(errorControlMode);
        const float maxBusLoad[5] = {12.5f, 25.25f, 0.0f, 7.75f, 100.0f};
        const float burst[5] = {0.5f, 1.5f, 2.5f, 0.0f, 3.5f};
        engine.WithRecord([&](TimingTestConfig& r) {
            for (size_t i = 0; i < 5; ++i) {
                const float p = static_cast<float>(r.time[i]);
                const float n = static_cast<float>(i);
                r.maxbusload[i] = maxBusLoad[i];
                r.maxburstlen[i] = burst[i];
                if (i != 2)
                    r.sdo[i] = {2.25f, 3.75f + n, 1};
                if (i == 4)
                    continue;
                r.tpdo[i] = {p - 0.25f, p + 0.5f, 0.75f, 1.25f, p + 0.25f, p + 0.25, 1};
                r.ec[i] = {10.0f + n, 20.5f + n, 1.5f, 9.25f, 1};
                r.sync[i] = {p - 1.0f, p + 1.0f, 0.5f + n, 1};
            }
        });
        engine.ShowCycleResults();
    }

    static void frames(std::array<RPDOFrame, kTimingMaxPdos>& frames, uint8_t seed) {
        for (uint8_t k = 0; k < kTimingMaxPdos; ++k) {
            frames[k].dlc = 3;
            const uint8_t data[8] = {static_cast<uint8_t>(seed + k), static_cast<uint8_t>(0xA0 + k), 0xFF,
                                     static_cast<uint8_t>(k * 0x11), 0, 1, 0x7E, static_cast<uint8_t>(seed * 3 + k)};
            std::copy(std::begin(data), std::end(data), frames[k].data);
        }
    }

    static void runSettings(TimingTestConfig& c, int32_t alarmOperation) {
        c.manual_enable = 1;
        c.manualtestcycles = 3;
        c.manualtime[0] = 400;
        c.manualtime[1] = 200;
        c.manualtime[2] = 50;
        c.limit_enable = 1;
        c.limit_lowerlimit = 20;
        c.limit_upperlimit = 300;
        setTimingExpression(c.limit_expression, "tpdomax < 30");
        c.alarm_enable = 1;
        c.alarm_operation = alarmOperation;
        setTimingExpression(c.alarm_expression, "tpdoave > 100");
        c.ciatr308options = 5;
    }
};

TEST_F(TimingReportTest, SectionsMatchTheGoldenFilesInBothLayouts) {
    makeEngines();
    // Test 1 never ran: its default periods, the alarm on with an action number out of range.
    configure(engine(1), [](TimingTestConfig& c) {
        c.alarm_enable = 1;
        c.alarm_operation = 7;
        setTimingExpression(c.alarm_expression, "tpdodev > 10");
    });
    configure(engine(2), [](TimingTestConfig& c) {
        runSettings(c, 1);
        c.syncid = 0x1A5;
        frames(c.rpdo, 0x10);
    });
    configure(engine(3), [](TimingTestConfig& c) {
        runSettings(c, 2);
        c.tpdotransmissiontype = 254;
    });
    configure(engine(4), [](TimingTestConfig& c) {
        runSettings(c, 0);
        c.tpdotransmissiontype = 0;
        frames(c.rpdo, 0x20);
    });
    configure(engine(5), [](TimingTestConfig& c) {
        runSettings(c, 7);
        c.tpdotransmissiontype = 254;  // the turnaround test prints no type line
        frames(c.phase1rpdo, 0x30);
        frames(c.phase2rpdo, 0x40);
    });
    fillRun(engine(2), 2);
    fillRun(engine(3), 1);
    fillRun(engine(4), 2);
    fillRun(engine(5), 2);
    manager->SetTestStatus(2, PASSED);
    manager->SetTestStatus(3, WARNING);
    manager->SetTestStatus(4, FAILED);
    manager->SetTestStatus(5, CANCELLED);

    const char* files[5] = {"tpdo_sync", "tpdo_sync_rpdos", "tpdo_event", "tpdo_event_rpdos", "pdo_turnaround"};
    for (int test = 1; test <= 5; ++test)
        for (int layout = 0; layout <= 1; ++layout) {
            const std::string name = std::string(files[test - 1]) + "_" + std::to_string(layout) + ".txt";
            const std::string golden = read(std::filesystem::path(TIMING_GOLDEN_DIR) / name);
            ASSERT_FALSE(golden.empty()) << name;
            EXPECT_EQ(section(engine(test), layout), golden) << name;
        }

    // Any other layout: the heading alone.
    EXPECT_EQ(section(engine(3), 2), "\n\nTPDO Event - Warning\n----------\n");
    // The manager's section writer reaches every test in list order.
    {
        const std::filesystem::path path = dir_ / "all.txt";
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        manager->WriteReportSections(file, 2);
        std::fclose(file);
        EXPECT_EQ(read(path), "\n\nTPDO Sync - Not Started\n---------\n\n\nTPDO Sync + RPDOs - Passed\n-----------------\n"
                              "\n\nTPDO Event - Warning\n----------\n\n\nTPDO Event + RPDOs - Failed\n------------------\n"
                              "\n\nPDO Turnaround - Cancelled\n--------------\n");
    }
}

TEST_F(TimingReportTest, ManualTestOffAndAnUnknownTestLeaveOutTheirLines) {
    makeEngines();
    configure(engine(1), [](TimingTestConfig& c) {
        c.manual_enable = 0;
        c.syncid = 0x800;
    });
    const std::string text = section(engine(1), 0);
    EXPECT_NE(text.find("Manual test enabled: no\nAutomatic limits test enabled: no\nTest Cycles: 0\n"
                        "Sync CAN-ID: 0x00000800\nAlarm enabled: no\nCiA TR-308"),
              std::string::npos)
        << text;
    // Only the title line is left of the results.
    EXPECT_NE(text.find("--- Test Results --->\n  Sync (ms) "), std::string::npos);
    EXPECT_EQ(text.find("\n        500 "), std::string::npos);

    // A test the manager does not know reports an unknown status.
    TTestManager other(log);
    TimingTestEngine stranger(TimingTestKind::TPDOEvent, TimingTestEngine::Services{other, log, expressions}, cycle);
    EXPECT_EQ(section(stranger, 5), "\n\nTPDO Event - Unknown\n----------\n");

    // The section follows a real run: heading, manual rows and the grid's texts.
    EXPECT_EQ(run(3), PASSED);
    const std::string ran = section(engine(3), 1);
    EXPECT_EQ(ran.rfind("\n\nTPDO Event - Passed\n----------\n", 0), 0u) << ran;
    EXPECT_NE(ran.find("Cycle  4 event time:\t    10 ms\n"), std::string::npos) << ran;
    EXPECT_NE(ran.find("\n10\t12.50\t1.5\t9.75\t10.50\t0.75\t1.25\t10.25\t10.00\t20.50\t1.50\t2.25\t3.75\n"),
              std::string::npos)
        << ran;
}

} // namespace
} // namespace ostrel::vessolt::test
