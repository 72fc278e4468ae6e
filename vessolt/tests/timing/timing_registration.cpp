#include "timing_registration.h"

#include "timing_engine.h"

namespace ostrel::vessolt {

TestRegistration MakeTimingRegistration(TimingTestEngine& engine, TimingWindowHooks hooks) {
    TestRegistration record;
    record.name = engine.Variant().displayName;
    record.Run = [&engine] { engine.RunTest(); };
    record.Cancel = [&engine] { engine.Cancel(); };
    record.ShowWindow = std::move(hooks.showWindow);
    record.SaveSettings = [&engine](platform::IniFile& file) { engine.SaveTestConfig(file); };
    record.LoadSettings = [&engine](platform::IniFile& file) { engine.LoadTestConfig(file); };
    record.WriteReport = std::move(hooks.writeReport);
    record.RegisterPythonTypes = std::move(hooks.registerPythonTypes);
    record.ConfigPage = hooks.configPage;
    return record;
}

void RegisterTimingTest(TTestManager& manager, TimingTestEngine& engine, TimingWindowHooks hooks) {
    manager.AddTest(engine.Variant().testNumber, MakeTimingRegistration(engine, std::move(hooks)));
}

} // namespace ostrel::vessolt
