// The timing tests' script types as the ratings script sees them, in the real interpreter, over
// two script runs.
#include "timing_types.h"

#include <fstream>
#include <vector>

#include "services/device_summary.h"
#include "ratings_script.h"
#include "timing_results_fixture.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt::test {
namespace {

class TimingTypesTest : public TimingResultsFixture {
protected:
    void writeScript(const std::string& text) { std::ofstream(dir_ / "ratings.py", std::ios::binary) << text; }

    std::vector<std::string> runScript(TRatingsScript& ratings) {
        log.Clear();
        EXPECT_TRUE(ratings.Run());
        return log.GetLinesFrom(0);
    }

    TDeviceSummary summary;
    RecordingPrompt prompt;
};

TEST_F(TimingTypesTest, TypesReadTheLatestResultsInEveryRun) {
    makeEngines([](TestRegistration& reg, TimingTestEngine& engine) {
        reg.RegisterPythonTypes = [&engine](_object* module) { RegisterTimingPythonTypes(module, engine); };
    });
    // Five manual cycles, then a search that never holds: rows at 200, 150 and 100 ms.
    configure(engine(1), [](TimingTestConfig& c) {
        c.limit_enable = 1;
        c.limit_lowerlimit = 100;
        c.limit_upperlimit = 200;
        setTimingExpression(c.limit_expression, "tpdoave < 0");
    });
    ASSERT_EQ(run(1), PASSED);

    // A test 4 whose manager does not know it: its getters cannot read a status.
    TTestManager otherManager(log);
    TimingTestEngine stranger(TimingTestKind::TPDOEventRPDOs, TimingTestEngine::Services{otherManager, log, expressions},
                              cycle);
    bool withStranger = true;
    TRatingsScript ratings(dir_.string() + "/", log, summary, prompt, [&](_object* module) {
        manager->RegisterPythonTypes(module);
        if (withStranger)
            RegisterTimingPythonTypes(module, stranger);
    });

    writeScript(
        "import Norbix, sys, builtins\n"
        "t = Norbix.TPDOSync()\n"
        "print('cycles', t.cycles, Norbix.TPDOSync().cycles)\n"
        "print('status', t.status == Norbix.PASSED, t.enabled)\n"
        "last = Norbix.TPDOSyncCycle(8)\n"
        "print('last', last.cycle, last.time, last.manualtime, last.tpdo_ave, last.sync_min, last.sync_dev)\n"
        "c = Norbix.TPDOSyncCycle(1)\n"
        "print('first', c.time, c.manualtime, c.busload, c.tpdo_min, c.tpdo_max, c.tpdo_diff, c.tpdo_dev, c.ec_min,\n"
        "      c.ec_max, c.ec_dev, c.ec_diff, c.sdo_min, c.sdo_max, c.peakmsgrate, c.maxbusload, c.maxburstlen,\n"
        "      c.sync_max)\n"
        "for bad in (0, 41):\n"
        "    try:\n"
        "        Norbix.TPDOSyncCycle(bad)\n"
        "    except ValueError as e:\n"
        "        print('range', e)\n"
        "try:\n"
        "    Norbix.TPDOSyncCycle('x')\n"
        "except TypeError:\n"
        "    print('type error')\n"
        "try:\n"
        "    last.time = 1\n"
        "except AttributeError:\n"
        "    print('read-only')\n"
        "try:\n"
        "    Norbix.TPDOSync.extra = 1\n"
        "except TypeError:\n"
        "    print('immutable')\n"
        "e = Norbix.TPDOEventCycle(1)\n"
        "print('event', [hasattr(e, n) for n in ('sync_min', 'sync_max', 'sync_dev', 'maxburstlen')], e.time)\n"
        "print('types', *sorted(n for n in dir(Norbix) if not n.startswith('_') and isinstance(getattr(Norbix, n), type)))\n"
        "print(Norbix.TPDOSyncCycle.__doc__, Norbix.PDOTurnaround.__doc__, Norbix.TPDOSyncCycle.time.__doc__,\n"
        "      Norbix.TPDOSync.cycles.__doc__, Norbix.TPDOEventRPDOsCycle.__module__, sep='|')\n"
        "try:\n"
        "    Norbix.TPDOEventRPDOs().status\n"
        "except RuntimeError:\n"
        "    print('no status', Norbix.TPDOEventRPDOs().cycles)\n"
        "refs = sys.getrefcount(Norbix.TPDOSyncCycle), sys.getrefcount(Norbix.TPDOSync)\n"
        "made = [Norbix.TPDOSyncCycle(2) for _ in range(50)] + [Norbix.TPDOSync() for _ in range(50)]\n"
        "del made\n"
        "print('refs', refs == (sys.getrefcount(Norbix.TPDOSyncCycle), sys.getrefcount(Norbix.TPDOSync)))\n"
        "builtins._kept = (Norbix.TPDOSyncCycle, last)\n");
    EXPECT_EQ(runScript(ratings),
              (std::vector<std::string>{
                  "cycles 8 8",
                  "status True 1",
                  "last 8 100 0 100.25 99.0 0.5",
                  "first 500 500 0.5 499.75 500.5 0.75 1.25 10.0 20.5 1.5 9.25 2.25 3.75 1500.0 12.5 1.5 501.0",
                  "range cycle number 0 is outside 1 to 40",
                  "range cycle number 41 is outside 1 to 40",
                  "type error",
                  "read-only",
                  "immutable",
                  "event [False, False, False, True] 500",
                  "types DeviceSummary PDOTurnaround PDOTurnaroundCycle TPDOEvent TPDOEventCycle TPDOEventRPDOs "
                  "TPDOEventRPDOsCycle TPDOSync TPDOSyncCycle TPDOSyncRPDOs TPDOSyncRPDOsCycle",
                  "tpdo sync test cycle|pdo turnaround test|test cycle time|number of test cycles|Norbix",
                  "no status 5",
                  "refs True",
              }));

    // The second run in the same interpreter: the same types, reading the record as it is now.
    withStranger = false;
    configure(engine(1), [](TimingTestConfig& c) { c.manualtestcycles = 2; });
    manager->DisableTest(1);
    writeScript(
        "import Norbix, builtins\n"
        "kept_type, kept = builtins._kept\n"
        "del builtins._kept\n"
        "print('kept', kept_type is Norbix.TPDOSyncCycle, type(kept) is Norbix.TPDOSyncCycle, kept.time)\n"
        "t = Norbix.TPDOSync()\n"
        "print('now', t.cycles, t.enabled, t.status, Norbix.TPDOSyncCycle(1).tpdo_min, Norbix.TPDOEventRPDOs().status)\n");
    // New settings took the results, and with them the status.
    EXPECT_EQ(runScript(ratings), (std::vector<std::string>{"kept True True 100", "now 2 0 0 0.0 0"}));
}

} // namespace
} // namespace ostrel::vessolt::test
