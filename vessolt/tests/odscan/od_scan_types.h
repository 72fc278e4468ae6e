#pragma once
// The script types Norbix.ODScanEntry and Norbix.ODScan. No Python and no Qt in this header.
struct _object;  // PyObject

namespace ostrel::vessolt {

class TODScan;

// Makes both types anew for `module` (a fresh Norbix module of one script run) and adds them to it.
// `scan` outlives every run. On failure a Python error is left set.
void RegisterODScanPythonTypes(_object* module, TODScan& scan);

}  // namespace ostrel::vessolt
