#pragma once
// The test record of the PDO analysis, built for a given engine and window.
#include <functional>

#include "testing/test_manager.h"

namespace ostrel::vessolt {

class TPDOAnalysis;

// What the window side adds to the record; each may be empty.
struct PDOAnalysisWindowHooks {
    std::function<void()> showWindow{};
    // The script types (see pdo_analysis_types.h: RegisterPDOAnalysisPythonTypes).
    std::function<void(struct _object* module)> registerPythonTypes{};
    IConfigPage* configPage = nullptr;
};

// Run, Cancel and WriteReport reach the engine; the test keeps nothing in a test configuration
// file, so SaveSettings and LoadSettings do nothing.
[[nodiscard]] TestRegistration MakePDOAnalysisRegistration(TPDOAnalysis& analysis, PDOAnalysisWindowHooks hooks);
// AddTest with id 30 and that record.
void RegisterPDOAnalysisTest(TTestManager& manager, TPDOAnalysis& analysis, PDOAnalysisWindowHooks hooks);

}  // namespace ostrel::vessolt
