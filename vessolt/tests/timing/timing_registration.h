#pragma once
// The test record of a timing test, built for its engine and window.
#include <cstdio>
#include <functional>

#include "testing/test_manager.h"

namespace ostrel::vessolt {

class TimingTestEngine;

// What the window, report and script sides add to the record; each may be empty.
struct TimingWindowHooks {
    std::function<void()> showWindow{};
    // The report section (layout 0 fixed-width, 1 tab-separated).
    std::function<void(std::FILE*, int layout)> writeReport{};
    // The script types of the test.
    std::function<void(struct _object* module)> registerPythonTypes{};
    IConfigPage* configPage = nullptr;
};

// Run, Cancel and the test configuration file's section reach the engine; the rest are the hooks.
[[nodiscard]] TestRegistration MakeTimingRegistration(TimingTestEngine& engine, TimingWindowHooks hooks);
// AddTest with the test's number (1 to 5) and that record.
void RegisterTimingTest(TTestManager& manager, TimingTestEngine& engine, TimingWindowHooks hooks);

} // namespace ostrel::vessolt
