#include "pdo_analysis_registration.h"

#include "pdo_analysis.h"

namespace ostrel::vessolt {

TestRegistration MakePDOAnalysisRegistration(TPDOAnalysis& analysis, PDOAnalysisWindowHooks hooks) {
    TestRegistration record;
    record.name = TPDOAnalysis::kName;
    record.Run = [&analysis] { analysis.RunTest(); };
    record.Cancel = [&analysis] { analysis.CancelTest(); };
    record.ShowWindow = std::move(hooks.showWindow);
    record.SaveSettings = [](platform::IniFile&) {};
    record.LoadSettings = [](platform::IniFile&) {};
    record.WriteReport = [&analysis](std::FILE* file, int layout) { analysis.WriteReport(file, layout); };
    record.RegisterPythonTypes = std::move(hooks.registerPythonTypes);
    record.ConfigPage = hooks.configPage;
    return record;
}

void RegisterPDOAnalysisTest(TTestManager& manager, TPDOAnalysis& analysis, PDOAnalysisWindowHooks hooks) {
    manager.AddTest(TPDOAnalysis::kTestId, MakePDOAnalysisRegistration(analysis, std::move(hooks)));
}

}  // namespace ostrel::vessolt
