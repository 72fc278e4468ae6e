// The five timing engines registered with a real test manager, and a cycle driver that writes known
// statistics into each row it runs, so that whole runs end with results no device has to give.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "../../core/temp_folder.h"
#include "expressions/expressions.h"
#include "services/log.h"
#include "testing/test_manager.h"
#include "timing_engine.h"
#include "timing_report.h"

namespace ostrel::vessolt::test {

// TPDO min period - 0.25, max period + 0.5, ave period + 0.25 (one sample); heartbeat 10/20.5.
class KnownRowCycle final : public TimingCycleDriver {
public:
    uint32_t mode = 1;

    int RunCycle(int cycle, TimingCycleHost& host) override {
        host.SetErrorControlMode(mode);
        host.WithRecord([cycle](TimingTestConfig& r) {
            const size_t k = static_cast<size_t>(cycle);
            const float p = static_cast<float>(r.time[k]);
            r.tpdo[k] = {p - 0.25f, p + 0.5f, 0.75f, 1.25f, p + 0.25f, p + 0.25, 1};
            r.ec[k] = {10.0f, 20.5f, 1.5f, 9.25f, 1};
            r.sdo[k] = {2.25f, 3.75f, 1};
            r.sync[k] = {p - 1.0f, p + 1.0f, 0.5f, 1};
            r.busload[k] = 0.5f;
            r.peakmsgrate[k] = 1000.0f + p;
            r.maxbusload[k] = 12.5f;
            r.maxburstlen[k] = 1.5f;
        });
        return kCycleOk;
    }
};

class TimingResultsFixture : public ::testing::Test {
protected:
    static constexpr std::array<TimingTestKind, 5> kKinds{TimingTestKind::TPDOSync, TimingTestKind::TPDOSyncRPDOs,
                                                          TimingTestKind::TPDOEvent, TimingTestKind::TPDOEventRPDOs,
                                                          TimingTestKind::PDOTurnaround};

    // The manager saves the test order when it goes: into a registry of our own.
    TimingResultsFixture() { manager = std::make_unique<TTestManager>(log); }
    ~TimingResultsFixture() override {
        manager.reset();
        engines = {};
    }

    // Makes and registers the five engines in test order; `extend` adds callbacks to each record.
    void makeEngines(const std::function<void(TestRegistration&, TimingTestEngine&)>& extend = {}) {
        for (size_t i = 0; i < kKinds.size(); ++i) {
            engines[i] = std::make_unique<TimingTestEngine>(
                kKinds[i], TimingTestEngine::Services{*manager, log, expressions}, cycle);
            TimingTestEngine& engine = *engines[i];
            TestRegistration reg;
            reg.name = engine.Variant().displayName;
            reg.Run = [&engine] { engine.RunTest(); };
            reg.Cancel = [&engine] { engine.Cancel(); };
            reg.WriteReport = [&engine](std::FILE* file, int layout) { WriteTimingReport(engine, file, layout); };
            if (extend)
                extend(reg, engine);
            manager->AddTest(engine.Variant().testNumber, reg);
        }
    }

    TimingTestEngine& engine(int testNumber) { return *engines[static_cast<size_t>(testNumber - 1)]; }

    static void configure(TimingTestEngine& engine, const std::function<void(TimingTestConfig&)>& edit) {
        TimingTestConfig c;
        engine.GetConfig(c);
        edit(c);
        engine.SetConfig(c);
    }

    // A whole run through the manager; returns the final status.
    int32_t run(int testNumber) {
        manager->RunTest(testNumber);
        manager->WaitForTestThread();
        TEST t;
        EXPECT_TRUE(manager->GetTest(testNumber, t));
        return t.status;
    }

    TempRegistry registry_;
    const std::filesystem::path dir_ = registry_.folder();
    TLog log;
    TExpressions expressions;
    std::unique_ptr<TTestManager> manager;
    KnownRowCycle cycle;
    std::array<std::unique_ptr<TimingTestEngine>, 5> engines;
};

} // namespace ostrel::vessolt::test
