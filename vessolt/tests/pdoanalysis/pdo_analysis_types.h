#pragma once
// The script types Norbix.PDOAnalysisPDO and Norbix.PDOAnalysis. No Python and no Qt in this header.
struct _object;  // PyObject

namespace ostrel::vessolt {

class TPDOAnalysis;

// Makes both types anew for `module` (a fresh Norbix module of one script run) and adds them to it.
// `analysis` outlives every run. On failure a Python error is left set.
void RegisterPDOAnalysisPythonTypes(_object* module, TPDOAnalysis& analysis);

}  // namespace ostrel::vessolt
