#pragma once
// The script types of the five timing tests: a cycle type (one result row) and a test type (status,
// enabled flag, number of result rows) per test. No Python and no Qt in this header.
struct _object;  // PyObject

namespace ostrel::vessolt {

class TimingTestEngine;

// Adds the engine's two types to `module` (a fresh Norbix module of one script run). The types are
// made once per interpreter and test and added again to every module; they read the engine that
// registered last for their test, which must outlive the script runs it serves. Called with the
// GIL held; on failure a Python error is left set.
void RegisterTimingPythonTypes(_object* module, TimingTestEngine& engine);

} // namespace ostrel::vessolt
