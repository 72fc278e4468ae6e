#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include "od_scan_types.h"

#include <cstddef>
#include <cstdint>

#include "od_scan.h"
#include "testing/test_manager.h"

// Heap types made per script run: each run has its own module, and a type must not outlive the
// interpreter state it was made in. The engine is reached through a capsule on the type.

namespace ostrel::vessolt {

namespace {

constexpr const char* kScanAttribute = "_odscan";
constexpr const char* kCapsuleName = "ostrel.odscan";

struct ODScanEntryObject {
    PyObject_HEAD
    int index;
    int subindex;
    int found;
    uint32_t size;
    float accesstime;
    uint32_t value;
};
static_assert(sizeof(unsigned int) == sizeof(uint32_t));

TODScan* scanOf(PyTypeObject* type) {
    PyObject* capsule = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), kScanAttribute);
    if (!capsule)
        return nullptr;
    auto* scan = static_cast<TODScan*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    Py_DECREF(capsule);
    return scan;
}

PyObject* ODScanEntry_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    auto* entry = reinterpret_cast<ODScanEntryObject*>(self);
    unsigned int index = 0;
    unsigned char subindex = 0;
    if (!PyArg_ParseTuple(args, "IB", &index, &subindex)) {
        Py_DECREF(self);
        return nullptr;
    }
    entry->index = static_cast<int>(index);
    entry->subindex = subindex;
    TODScan* scan = scanOf(type);
    if (!scan) {
        Py_DECREF(self);
        return nullptr;
    }
    ODScanResult result;
    if (scan->GetResult(index, subindex, result)) {
        entry->found = 1;
        entry->size = result.size;
        entry->accesstime = result.accessTime;
        entry->value = ResultNumber(result);
    }
    return self;
}

void ODScanEntry_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef entryMembers[] = {
    {"index", T_INT, offsetof(ODScanEntryObject, index), READONLY, "entry index"},
    {"subindex", T_INT, offsetof(ODScanEntryObject, subindex), READONLY, "entry subindex"},
    {"found", T_INT, offsetof(ODScanEntryObject, found), READONLY, "non-zero if entry found"},
    {"size", T_UINT, offsetof(ODScanEntryObject, size), READONLY, "size of data at entry"},
    {"accesstime", T_FLOAT, offsetof(ODScanEntryObject, accesstime), READONLY, "access time in milliseconds"},
    {"value", T_UINT, offsetof(ODScanEntryObject, value), READONLY, "value (if four bytes or less)"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot entrySlots[] = {
    {Py_tp_doc, const_cast<char*>("OD scan od entry")},
    {Py_tp_new, reinterpret_cast<void*>(ODScanEntry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ODScanEntry_dealloc)},
    {Py_tp_members, entryMembers},
    {0, nullptr},
};

PyType_Spec entrySpec = {"Norbix.ODScanEntry", sizeof(ODScanEntryObject), 0, Py_TPFLAGS_DEFAULT, entrySlots};

PyObject* testField(PyObject* self, bool enabled) {
    TODScan* scan = scanOf(Py_TYPE(self));
    if (!scan)
        return nullptr;
    TEST test;
    if (!scan->Manager().GetTest(TODScan::kTestId, test))
        return Py_BuildValue("i", 0);
    return Py_BuildValue("i", enabled ? (test.enabled ? 1 : 0) : test.status);
}

PyObject* ODScan_status(PyObject* self, void*) { return testField(self, false); }
PyObject* ODScan_enabled(PyObject* self, void*) { return testField(self, true); }

PyGetSetDef scanGetters[] = {
    {"status", ODScan_status, nullptr, "test status", nullptr},
    {"enabled", ODScan_enabled, nullptr, "test enabled flag", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scanSlots[] = {
    {Py_tp_doc, const_cast<char*>("od scan test")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_getset, scanGetters},
    {0, nullptr},
};

PyType_Spec scanSpec = {"Norbix.ODScan", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, scanSlots};

// Makes the type, gives it the engine and adds it to the module; false with an error set.
bool addType(PyObject* module, PyType_Spec& spec, const char* name, TODScan& scan) {
    PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (!type)
        return false;
    PyObject* capsule = PyCapsule_New(&scan, kCapsuleName, nullptr);
    bool ok = capsule && PyObject_SetAttrString(type, kScanAttribute, capsule) == 0;
    Py_XDECREF(capsule);
    ok = ok && PyModule_AddObjectRef(module, name, type) == 0;
    Py_DECREF(type);
    return ok;
}

}  // namespace

void RegisterODScanPythonTypes(PyObject* module, TODScan& scan) {
    if (addType(module, entrySpec, "ODScanEntry", scan))
        (void)addType(module, scanSpec, "ODScan", scan);
}

}  // namespace ostrel::vessolt
