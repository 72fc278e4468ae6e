#pragma once
// The script module "Norbix": write and flush (so that the module serves as sys.stdout and
// sys.stderr), the test-status and access-code constants, and the DeviceSummary type. Each import
// makes a fresh module; a run binds it to the program's services. Include Python.h first.
#include <functional>
#include <string_view>

namespace ostrel::vessolt {
class TDeviceSummary;
}

namespace ostrel::vessolt::script {

// What a bound module reaches. It outlives every run that uses it.
struct NorbixBinding {
    TDeviceSummary* summary = nullptr;
    std::function<void(std::string_view)> write;
};

// The module's init function, registered with PyImport_AppendInittab. The module is initialised in
// phases, so a module removed from sys.modules and imported again is built anew.
PyObject* PyInit_Norbix();

// Attaches a module made by PyInit_Norbix to `binding` (nullptr detaches). A module that was not
// bound raises RuntimeError from write and from the DeviceSummary attributes.
void bindNorbix(PyObject* module, NorbixBinding* binding);

// The binding of the module that defined `type`, or nullptr with RuntimeError set.
[[nodiscard]] NorbixBinding* bindingOfType(PyTypeObject* type);

// Creates the DeviceSummary type for `module` (new reference), or nullptr with an error set.
[[nodiscard]] PyObject* newDeviceSummaryType(PyObject* module);

} // namespace ostrel::vessolt::script
