#include "od_scan_registration.h"

#include "od_scan.h"

namespace ostrel::vessolt {

TestRegistration MakeODScanRegistration(TODScan& scan, ODScanWindowHooks hooks) {
    TestRegistration record;
    record.name = TODScan::kName;
    record.Run = [&scan] { scan.RunTest(); };
    record.Cancel = [&scan] { scan.CancelTest(); };
    record.ShowWindow = std::move(hooks.showWindow);
    record.SaveSettings = [](platform::IniFile&) {};
    record.LoadSettings = [](platform::IniFile&) {};
    record.WriteReport = [&scan](std::FILE* file, int layout) { scan.WriteReport(file, layout); };
    record.RegisterPythonTypes = std::move(hooks.registerPythonTypes);
    record.ConfigPage = hooks.configPage;
    return record;
}

void RegisterODScanTest(TTestManager& manager, TODScan& scan, ODScanWindowHooks hooks) {
    manager.AddTest(TODScan::kTestId, MakeODScanRegistration(scan, std::move(hooks)));
}

}  // namespace ostrel::vessolt
