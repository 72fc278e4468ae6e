#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "norbix_module.h"

#include <utility>

namespace ostrel::vessolt::script {

namespace {

struct NorbixState {
    NorbixBinding* binding;
};

NorbixState* stateOf(PyObject* module) {
    return static_cast<NorbixState*>(PyModule_GetState(module));
}

NorbixBinding* boundOrRaise(NorbixState* state) {
    if (state && state->binding)
        return state->binding;
    PyErr_SetString(PyExc_RuntimeError, "Norbix is not attached to the program");
    return nullptr;
}

PyObject* norbixWrite(PyObject* module, PyObject* args) {
    if (PyTuple_GET_SIZE(args) != 1 || !PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
        PyErr_SetString(PyExc_TypeError, "write() takes exactly one str argument");
        return nullptr;
    }
    NorbixBinding* binding = boundOrRaise(stateOf(module));
    if (!binding)
        return nullptr;
    // Lone surrogates (undecodable file names in a traceback) are kept as escapes, not lost.
    PyObject* bytes = PyUnicode_AsEncodedString(PyTuple_GET_ITEM(args, 0), "utf-8", "backslashreplace");
    if (!bytes)
        return nullptr;
    binding->write(std::string_view(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))));
    Py_DECREF(bytes);
    Py_RETURN_NONE;
}

PyObject* norbixFlush(PyObject*, PyObject*) {
    Py_RETURN_NONE;
}

PyMethodDef norbixMethods[] = {
    {"write", norbixWrite, METH_VARARGS, nullptr},
    {"flush", norbixFlush, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int execNorbix(PyObject* module) {
    static constexpr std::pair<const char*, long> kConstants[] = {
        {"NOTSTARTED", 0}, {"RUNNING", 1}, {"PASSED", 2},  {"WARNING", 3},  {"FAILED", 4},
        {"CANCELLED", 5},  {"UNKNOWN", 0}, {"READONLY", 1}, {"READWRITE", 2}, {"UNTESTED", 3},
    };
    for (const auto& [name, value] : kConstants)
        if (PyModule_AddIntConstant(module, name, value) != 0)
            return -1;
    // Without its type the module still serves the script: the run goes on.
    PyObject* type = newDeviceSummaryType(module);
    if (!type || PyModule_AddObjectRef(module, "DeviceSummary", type) != 0)
        PyErr_Clear();
    Py_XDECREF(type);
    return 0;
}

PyModuleDef_Slot norbixSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execNorbix)},
    {0, nullptr},
};

PyModuleDef norbixDef = {
    PyModuleDef_HEAD_INIT,
    "Norbix",
    "Norbix Support Module",
    sizeof(NorbixState),
    norbixMethods,
    norbixSlots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyObject* PyInit_Norbix() {
    return PyModuleDef_Init(&norbixDef);
}

void bindNorbix(PyObject* module, NorbixBinding* binding) {
    if (NorbixState* state = stateOf(module))
        state->binding = binding;
}

NorbixBinding* bindingOfType(PyTypeObject* type) {
    return boundOrRaise(static_cast<NorbixState*>(PyType_GetModuleState(type)));
}

} // namespace ostrel::vessolt::script
