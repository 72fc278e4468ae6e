// Whole timing tests through the test manager on the real library and its test bus: a simulated
// device with the full dictionary and a simulated support module; the stimulus is transmitted
// through the library at the lists' periods, and heard back with self-reception.
#include "timing_cycle.h"
#include "nsm_playback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common_test_support.h"
#include "expressions/expressions.h"
#include "testing/test_manager.h"

namespace ostrel::vessolt::test {
namespace {

class TimingCycleTest : public CommonServicesTest {
protected:
    // A boot-up wait long enough to record a 1000 ms heartbeat after the closing reset.
    TimingCycleTest() : CommonServicesTest(named("PowerOnHeartbeat") ? 1200 : kMaxBootupMs) {}

    static bool named(const char* part) {
        return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).find(part) !=
               std::string::npos;
    }

    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("timing_cycle_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        ::setenv("OSTREL_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
        manager_ = std::make_unique<TTestManager>(log);
        fixtures::SimNodeConfig node;
        node.nodeId = 5;
        node.loopbackOutputsToInputs = true;
        fixtures::SimObjectDictionary od = fixtures::SimObjectDictionary::fullProfile();
        // Power-on values, restored by every reset.
        auto setDefault = [&od](uint16_t index, uint8_t sub, uint64_t value) {
            fixtures::SimObject* object = od.find(index, sub);
            object->defaultValue = fixtures::encodeUnsigned(value, fixtures::fixedSize(object->type));
            object->value = object->defaultValue;
        };
        if (named("TwoRPDOs"))
            setDefault(0x1401, 1, 0x300);  // RPDO 2 valid at power-on too
        if (named("ShortCobId")) {
            // TPDO 1's COB-ID answers two bytes only.
            fixtures::SimObject* cobId = od.find(0x1800, 1);
            cobId->type = fixtures::SimDataType::Unsigned16;
            cobId->defaultValue = fixtures::encodeUnsigned(0x180, 2);
            cobId->value = fixtures::encodeUnsigned(0x185, 2);
        }
        if (named("NoRPDO"))
            setDefault(0x1400, 1, 0x80000200u);
        if (named("NoTPDO"))
            setDefault(0x1800, 1, 0x80000180u);
        if (named("PowerOnHeartbeat"))
            setDefault(0x1017, 0, 1000);
        if (named("EventTimer")) {
            // TPDO 1 also on a 10 ms timer, and TPDO 2 carries input 1 too: two answers to each RPDO.
            setDefault(0x1800, 5, 10);
            setDefault(0x1801, 1, 0x280);
            setDefault(0x1A01, 0, 1);
            setDefault(0x1A01, 1, 0x60000108);
        }
        device_ = &drennic.devices().addNode(node, od);
        fixtures::SimNsmConfig nsmConfig;
        nsmConfig.nodeId = 0x7F;
        nsmConfig.statisticsOnReset = std::array<uint16_t, 2>{1234, 25};
        stimulus_.module = &drennic.devices().addNsm(nsmConfig);
        open();
    }
    void TearDown() override {
        if (HasFailure())
            for (const std::string& line : log.GetLinesFrom(0))
                std::printf("log: %s\n", line.c_str());
        manager_.reset();
        std::filesystem::remove_all(dir_);
    }

    // One test with one manual cycle at `period`.
    TimingTestEngine& make(TimingTestKind kind, uint32_t period) {
        engines_.push_back(
            std::make_unique<TimingTestEngine>(kind, TimingTestEngine::Services{*manager_, log, expressions_}, cycle_));
        TimingTestEngine& engine = *engines_.back();
        TestRegistration reg;
        reg.name = timingVariant(kind).displayName;
        reg.Run = [&engine] { engine.RunTest(); };
        reg.Cancel = [&engine] { engine.Cancel(); };
        manager_->AddTest(timingVariant(kind).testNumber, reg);
        TimingTestConfig c;
        engine.GetConfig(c);
        c.manualtestcycles = 1;
        c.manualtime[0] = period;
        engine.SetConfig(c);
        return engine;
    }

    int32_t run(TimingTestEngine& engine) {
        manager_->RunTest(engine.Variant().testNumber);
        manager_->WaitForTestThread();
        TEST t;
        EXPECT_TRUE(manager_->GetTest(engine.Variant().testNumber, t));
        return t.status;
    }

    [[nodiscard]] bool logContains(const std::string& part) const {
        for (int i = 0; i < log.GetLineCount(); ++i)
            if (log.GetLine(i).find(part) != std::string::npos)
                return true;
        return false;
    }

    [[nodiscard]] std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& w : device_->writeLog()) {
            char head[16];
            std::snprintf(head, sizeof head, "[%04X,%02X]", w.index, w.subIndex);
            std::string line = head;
            for (uint8_t b : w.data) {
                char byte[4];
                std::snprintf(byte, sizeof byte, " %02X", b);
                line += byte;
            }
            if (w.index >= 0x1400 && w.index < 0x1C00)
                out.push_back(line);
        }
        return out;
    }

    [[nodiscard]] std::vector<float> intervals(uint32_t id, uint8_t dlc) {
        TraceFilter f{};
        TTraceBuffer::ClearFilter(f);
        f.idMask = 0x7FF;
        f.idValue = id;
        f.dlcMask = 0xFF;
        f.dlcValue = dlc;
        std::vector<float> out;
        auto previous = trace.FindFirst(&f, 1);
        while (previous) {
            auto next = trace.FindNext(&f, 1);
            if (!next)
                break;
            const CANTimeStamp d = TTraceBuffer::TimestampDiff(next->time, previous->time);
            out.push_back(static_cast<float>(d.timeMs) + static_cast<float>(d.timeUs) / 1000.0f);
            previous = next;
        }
        return out;
    }

    std::filesystem::path dir_;
    fixtures::SimNode* device_ = nullptr;
    TExpressions expressions_;
    std::unique_ptr<TTestManager> manager_;
    test::NsmPlayback stimulus_{common, nsm};
    TimingCycle cycle_{{common, trace, summary, log, stimulus_, [] { return 500u; }}};
    std::vector<std::unique_ptr<TimingTestEngine>> engines_;  // the manager calls them until the end
};

TEST_F(TimingCycleTest, SyncTestForcesSynchronousTPDOsAndMeasuresThem) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOSync, 20);
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_EQ(writes(), (std::vector<std::string>{"[1800,01] 85 01 00 80", "[1800,02] 01", "[1800,01] 85 01 00 00"}));
    EXPECT_TRUE(logContains("Starting test cycle for 20 ms Sync period"));
    ASSERT_FALSE(stimulus_.written.empty());
    EXPECT_EQ(stimulus_.written[0].syncId, 0x80u);
    TimingTestConfig c;
    engine.GetConfig(c);
    EXPECT_GT(c.sync[0].count, 100u);
    EXPECT_NEAR(c.sync[0].min, 20.0f, 1.0f);
    EXPECT_NEAR(c.sync[0].max, 20.0f, 1.0f);
    EXPECT_GT(c.tpdo[0].count, 100u);
    EXPECT_GT(c.ec[0].count, 10u);  // heartbeats
    EXPECT_EQ(engine.GetTPDOCount(), 1u);
    EXPECT_NE(engine.Results().Cell(3, 1), "-");
    EXPECT_EQ(engine.Results().Cell(1, 1), "12.34");  // from the module's statistics frame
    EXPECT_EQ(engine.Results().Cell(2, 1), "2.5");
}

TEST_F(TimingCycleTest, EventTestWritesTheEventTimeAndMeasuresIntervals) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOEvent, 50);
    EXPECT_EQ(run(engine), PASSED);
    const auto w = writes();
    EXPECT_NE(std::find(w.begin(), w.end(), "[1800,05] 32 00"), w.end());
    const auto gaps = intervals(0x185, 2);
    ASSERT_GT(gaps.size(), 50u);
    for (float g : gaps)
        EXPECT_NEAR(g, 50.0f, 1.0f);
    TimingTestConfig c;
    engine.GetConfig(c);
    EXPECT_NEAR(c.tpdo[0].ave, 50.0f, 1.0f);

    // An event time that does not fit 16 bits fails the cycle instead of being cut.
    engine.GetConfig(c);
    c.manualtime[0] = 70000;
    engine.SetConfig(c);
    EXPECT_EQ(run(engine), FAILED);
    EXPECT_TRUE(logContains("Error: Event time 70000 ms exceeds 65535 ms"));
}

TEST_F(TimingCycleTest, SyncWithRPDOsForcesTheRPDOAndSendsIt) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOSyncRPDOs, 20);
    EXPECT_EQ(run(engine), PASSED);
    const auto w = writes();
    EXPECT_NE(std::find(w.begin(), w.end(), "[1400,02] 01"), w.end());
    TimingTestConfig c;
    engine.GetConfig(c);
    EXPECT_EQ(c.rpdo[0].id, 0x205u);
    EXPECT_EQ(engine.GetRPDOCount(), 1u);
    EXPECT_FALSE(intervals(0x205, 8).empty());

    // A SYNC identifier above 0xFF reaches the module whole (cut to a byte it would be NMT).
    engine.GetConfig(c);
    c.syncid = 0x100;
    engine.SetConfig(c);
    run(engine);
    EXPECT_EQ(stimulus_.written.back().syncId, 0x100u);
    engine.GetConfig(c);
    EXPECT_GT(c.sync[0].count, 100u);
    EXPECT_NEAR(c.sync[0].max, 20.0f, 1.0f);
}

TEST_F(TimingCycleTest, ShortCobIdIsAFailedReadAndNotWrittenBack) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOSync, 20);
    run(engine);
    EXPECT_EQ(engine.GetTPDOCount(), 0u);
    EXPECT_TRUE(writes().empty());
}

TEST_F(TimingCycleTest, TurnaroundWithNoRPDOFails) {
    TimingTestEngine& engine = make(TimingTestKind::PDOTurnaround, 50);
    EXPECT_EQ(run(engine), FAILED);
    EXPECT_TRUE(logContains("Error: No valid RPDOs found"));
    EXPECT_TRUE(stimulus_.written.empty());
}

TEST_F(TimingCycleTest, TurnaroundCountsTheTPDOsAnsweringEachRPDO) {
    TimingTestEngine& engine = make(TimingTestKind::PDOTurnaround, 50);
    TimingTestConfig c;
    engine.GetConfig(c);
    c.phase2rpdo[0].data[0] = 1;  // phases differ: the mapped value changes with every frame
    c.tpdotransmissiontype = 255;
    engine.SetConfig(c);
    EXPECT_EQ(run(engine), PASSED);
    EXPECT_TRUE(logContains("Reception of RPDO 0x205 resulted in transmission of 1 TPDO from node"));
    EXPECT_EQ(stimulus_.written.at(0).subRun, 1u);
    engine.GetConfig(c);
    EXPECT_EQ(c.phase1rpdo[0].id, 0x205u);
    EXPECT_EQ(c.tpdocount[0][0], 1u);
    EXPECT_GT(c.tpdo[0].count, 10u);  // RPDO-to-TPDO delays
}

TEST_F(TimingCycleTest, EventWithRPDOsSetsUpBoth) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOEventRPDOs, 50);
    EXPECT_EQ(run(engine), PASSED);
    const auto w = writes();
    EXPECT_NE(std::find(w.begin(), w.end(), "[1800,05] 32 00"), w.end());
    EXPECT_NE(std::find(w.begin(), w.end(), "[1400,02] 01"), w.end());
    EXPECT_EQ(engine.GetRPDOCount(), 1u);
    EXPECT_FALSE(intervals(0x205, 8).empty());
}

TEST_F(TimingCycleTest, TurnaroundWithTwoRPDOsSetsTheDeviceUpForEachSubRun) {
    TimingTestEngine& engine = make(TimingTestKind::PDOTurnaround, 50);
    TimingTestConfig c;
    engine.GetConfig(c);
    c.phase2rpdo[0].data[0] = 1;
    c.phase2rpdo[1].data[0] = 1;
    engine.SetConfig(c);
    // RPDO 2 loops back to inputs that no valid TPDO carries: no answer, a warning.
    EXPECT_EQ(run(engine), WARNING);
    EXPECT_TRUE(logContains("Reception of RPDO 0x205 resulted in transmission of 1 TPDO from node"));
    EXPECT_TRUE(logContains("Reception of RPDO 0x305 resulted in transmission of 0 TPDOs from node"));
    EXPECT_EQ(engine.GetRPDOCount(), 2u);
    ASSERT_EQ(stimulus_.written.size(), 2u);
    EXPECT_EQ(stimulus_.written[1].subRun, 2u);
    engine.GetConfig(c);
    EXPECT_EQ(c.phase1rpdo[1].id, 0x305u);
    // The second sub-run followed a reset: heartbeats there mean the settings were applied again.
    // Each sub-run holds about 20 of the cycle's heartbeat intervals.
    EXPECT_GT(c.ec[0].count, 25u);
    EXPECT_FALSE(logContains("Warning:"));
}

TEST_F(TimingCycleTest, TurnaroundWithTwoRPDOsReportsTheWholeCycle) {
    TimingTestEngine& engine = make(TimingTestKind::PDOTurnaround, 50);
    // The device answers the background reads 20 ms late in the second sub-run only.
    stimulus_.onWrite = [this](const TimingStimulus& s) {
        if (s.subRun == 2)
            device_->addSdoFault(fixtures::SdoFault::delay(0x1000, 0, 20000));
    };
    run(engine);
    TimingTestConfig c;
    engine.GetConfig(c);
    EXPECT_LT(c.sdo[0].min, 10.0f);
    EXPECT_GE(c.sdo[0].max, 20.0f);
}

TEST_F(TimingCycleTest, PowerOnHeartbeatAfterTheClosingResetIsNotMeasured) {
    TimingTestEngine& engine = make(TimingTestKind::TPDOSync, 20);
    EXPECT_EQ(run(engine), PASSED);
    TimingTestConfig c;
    engine.GetConfig(c);
    EXPECT_GT(c.ec[0].count, 10u);
    EXPECT_LT(c.ec[0].max, 500.0f);  // the set 100 ms, not the 1000 ms of the next start-up
}

TEST_F(TimingCycleTest, TurnaroundWithAnEventTimerCountsAnswersOnly) {
    TimingTestEngine& engine = make(TimingTestKind::PDOTurnaround, 50);
    TimingTestConfig c;
    engine.GetConfig(c);
    c.manualtestcycles = 2;
    c.manualtime[1] = 20;
    c.phase2rpdo[0].data[0] = 1;
    engine.SetConfig(c);
    EXPECT_EQ(run(engine), PASSED);
    const auto w = writes();
    EXPECT_NE(std::find(w.begin(), w.end(), "[1800,05] 00 00"), w.end());
    engine.GetConfig(c);
    EXPECT_EQ(c.tpdocount[0][0], 2u);
    EXPECT_EQ(c.tpdocount[1][0], 2u);
    EXPECT_FALSE(logContains("Warning:"));
}

TEST_F(TimingCycleTest, NoTPDOMeansNothingMeasured) {
    for (TimingTestKind kind : {TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs, TimingTestKind::TPDOEvent,
                                TimingTestKind::TPDOEventRPDOs})
        EXPECT_EQ(run(make(kind, 20)), WARNING) << timingVariant(kind).displayName;
    const auto lines = log.GetLinesFrom(0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Warning: no valid TPDO found, nothing was measured"), 4);
}

TEST_F(TimingCycleTest, FailedWriteAndCancelEndTheRun) {
    device_->addSdoFault(fixtures::SdoFault::abortWrite(0x1800, 2, 0x06090030));
    TimingTestEngine& engine = make(TimingTestKind::TPDOSync, 20);
    EXPECT_EQ(run(engine), FAILED);
    EXPECT_TRUE(logContains("Error: Failed to set TPDO transmission type to 0x01 at [1800,02]"));
    device_->clearSdoFaults();

    // Cancel while the cycle records.
    manager_->RunTest(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stimulus_.written.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto cancelled = std::chrono::steady_clock::now();
    manager_->CancelTests();
    manager_->WaitForTestThread();
    const auto took = std::chrono::steady_clock::now() - cancelled;
    TEST t;
    ASSERT_TRUE(manager_->GetTest(1, t));
    EXPECT_EQ(t.status, CANCELLED);
    // One wait slice plus the clean-up (reset and boot-up time).
    EXPECT_LT(took, std::chrono::milliseconds(100 + kMaxBootupMs + 500));
}

} // namespace
} // namespace ostrel::vessolt::test
