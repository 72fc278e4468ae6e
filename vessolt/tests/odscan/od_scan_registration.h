#pragma once
// The test record of the object dictionary scan, built for a given engine and window.
#include <functional>

#include "testing/test_manager.h"

namespace ostrel::vessolt {

class TODScan;

// What the window side adds to the record; each may be empty.
struct ODScanWindowHooks {
    std::function<void()> showWindow{};
    // The script types (see od_scan_types.h: RegisterODScanPythonTypes).
    std::function<void(struct _object* module)> registerPythonTypes{};
    IConfigPage* configPage = nullptr;
};

// Run, Cancel and WriteReport reach the engine; the test keeps nothing in a test configuration
// file, so SaveSettings and LoadSettings do nothing.
[[nodiscard]] TestRegistration MakeODScanRegistration(TODScan& scan, ODScanWindowHooks hooks);
// AddTest with id 20 and that record.
void RegisterODScanTest(TTestManager& manager, TODScan& scan, ODScanWindowHooks hooks);

}  // namespace ostrel::vessolt
