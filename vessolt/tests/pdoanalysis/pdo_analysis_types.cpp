#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include "pdo_analysis_types.h"

#include <cstddef>
#include <cstdint>

#include "pdo_analysis.h"
#include "testing/test_manager.h"

// Heap types made per script run: each run has its own module, and a type must not outlive the
// interpreter state it was made in. The engine is reached through a capsule on the type.

namespace ostrel::vessolt {

namespace {

constexpr const char* kAnalysisAttribute = "_pdoanalysis";
constexpr const char* kCapsuleName = "ostrel.pdoanalysis";

struct PDOAnalysisPDOObject {
    PyObject_HEAD
    int index;
    int found;
    uint32_t cobid;
    uint8_t transtype;
    uint32_t inhibittime;
    uint32_t eventtime;
    uint8_t mappingnum;
    int cobidaccess;
    int transtypeaccess;
    int inhibittimeaccess;
    int eventtimeaccess;
    int mappingnumaccess;
    uint32_t mapping[9];  // [0] the count
};
static_assert(sizeof(unsigned int) == sizeof(uint32_t));
static_assert(sizeof(unsigned char) == sizeof(uint8_t));

TPDOAnalysis* analysisOf(PyTypeObject* type) {
    PyObject* capsule = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), kAnalysisAttribute);
    if (!capsule)
        return nullptr;
    auto* analysis = static_cast<TPDOAnalysis*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    Py_DECREF(capsule);
    return analysis;
}

PyObject* PDOAnalysisPDO_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    auto* pdo = reinterpret_cast<PDOAnalysisPDOObject*>(self);
    unsigned int index = 0;
    if (!PyArg_ParseTuple(args, "I", &index)) {
        Py_DECREF(self);
        return nullptr;
    }
    pdo->index = static_cast<int>(index);
    TPDOAnalysis* analysis = analysisOf(type);
    if (!analysis) {
        Py_DECREF(self);
        return nullptr;
    }
    PDOEntry entry;
    if (analysis->GetPDO(index, entry)) {
        pdo->found = 1;
        pdo->cobid = entry.cobid;
        pdo->transtype = entry.transtype;
        pdo->inhibittime = entry.inhibittime;
        pdo->eventtime = entry.eventtime;
        pdo->mappingnum = static_cast<uint8_t>(entry.mappingCount());
        for (int i = 0; i < 9; ++i)
            pdo->mapping[i] = entry.mapping[i];
        pdo->cobidaccess = static_cast<int>(entry.cobidaccess);
        pdo->transtypeaccess = static_cast<int>(entry.transtypeaccess);
        pdo->inhibittimeaccess = static_cast<int>(entry.inhibittimeaccess);
        pdo->eventtimeaccess = static_cast<int>(entry.eventtimeaccess);
        pdo->mappingnumaccess = static_cast<int>(entry.mappingnumaccess);
    }
    return self;
}

void PDOAnalysisPDO_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// mapping(i): entry i for 0 <= i <= 8 (0 the count), else 0. An argument that does not parse
// gives 0 too, and the script goes on.
PyObject* PDOAnalysisPDO_mapping(PyObject* self, PyObject* args) {
    int i = 0;
    if (!PyArg_ParseTuple(args, "i", &i)) {
        PyErr_Clear();
        return PyLong_FromLong(0);
    }
    if (i < 0 || i > 8)
        return PyLong_FromLong(0);
    return PyLong_FromUnsignedLong(reinterpret_cast<PDOAnalysisPDOObject*>(self)->mapping[i]);
}

PyMemberDef pdoMembers[] = {
    {"index", T_INT, offsetof(PDOAnalysisPDOObject, index), READONLY, "entry index"},
    {"found", T_INT, offsetof(PDOAnalysisPDOObject, found), READONLY, "non-zero if pdo found"},
    {"cobid", T_UINT, offsetof(PDOAnalysisPDOObject, cobid), READONLY, "communication object id"},
    {"transtype", T_UBYTE, offsetof(PDOAnalysisPDOObject, transtype), READONLY, "transmission type"},
    {"inhibittime", T_UINT, offsetof(PDOAnalysisPDOObject, inhibittime), READONLY, "inhibit time"},
    {"eventtime", T_UINT, offsetof(PDOAnalysisPDOObject, eventtime), READONLY, "event time"},
    {"mappingnum", T_UBYTE, offsetof(PDOAnalysisPDOObject, mappingnum), READONLY, "number of mapping entries"},
    {"cobidaccess", T_INT, offsetof(PDOAnalysisPDOObject, cobidaccess), READONLY, "cobid access type"},
    {"transtypeaccess", T_INT, offsetof(PDOAnalysisPDOObject, transtypeaccess), READONLY,
     "transmission type access type"},
    {"inhibittimeaccess", T_INT, offsetof(PDOAnalysisPDOObject, inhibittimeaccess), READONLY,
     "inhibit time access type"},
    {"eventtimeaccess", T_INT, offsetof(PDOAnalysisPDOObject, eventtimeaccess), READONLY, "event time access type"},
    {"mappingnumaccess", T_INT, offsetof(PDOAnalysisPDOObject, mappingnumaccess), READONLY,
     "mapping number access type"},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef pdoMethods[] = {
    {"mapping", PDOAnalysisPDO_mapping, METH_VARARGS, "mapping entry"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pdoSlots[] = {
    {Py_tp_doc, const_cast<char*>("OD scan od entry")},
    {Py_tp_new, reinterpret_cast<void*>(PDOAnalysisPDO_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(PDOAnalysisPDO_dealloc)},
    {Py_tp_members, pdoMembers},
    {Py_tp_methods, pdoMethods},
    {0, nullptr},
};

PyType_Spec pdoSpec = {"Norbix.PDOAnalysisPDO", sizeof(PDOAnalysisPDOObject), 0, Py_TPFLAGS_DEFAULT, pdoSlots};

PyObject* testField(PyObject* self, bool enabled) {
    TPDOAnalysis* analysis = analysisOf(Py_TYPE(self));
    if (!analysis)
        return nullptr;
    TEST test;
    if (!analysis->Manager().GetTest(TPDOAnalysis::kTestId, test))
        return Py_BuildValue("i", 0);
    return Py_BuildValue("i", enabled ? (test.enabled ? 1 : 0) : test.status);
}

PyObject* PDOAnalysis_status(PyObject* self, void*) { return testField(self, false); }
PyObject* PDOAnalysis_enabled(PyObject* self, void*) { return testField(self, true); }

PyGetSetDef analysisGetters[] = {
    {"status", PDOAnalysis_status, nullptr, "test status", nullptr},
    {"enabled", PDOAnalysis_enabled, nullptr, "test enabled flag", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot analysisSlots[] = {
    {Py_tp_doc, const_cast<char*>("pdo analysis test")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_getset, analysisGetters},
    {0, nullptr},
};

PyType_Spec analysisSpec = {"Norbix.PDOAnalysis", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, analysisSlots};

// Makes the type, gives it the engine and adds it to the module; false with an error set.
bool addType(PyObject* module, PyType_Spec& spec, const char* name, TPDOAnalysis& analysis) {
    PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (!type)
        return false;
    PyObject* capsule = PyCapsule_New(&analysis, kCapsuleName, nullptr);
    bool ok = capsule && PyObject_SetAttrString(type, kAnalysisAttribute, capsule) == 0;
    Py_XDECREF(capsule);
    ok = ok && PyModule_AddObjectRef(module, name, type) == 0;
    Py_DECREF(type);
    return ok;
}

}  // namespace

void RegisterPDOAnalysisPythonTypes(PyObject* module, TPDOAnalysis& analysis) {
    if (addType(module, pdoSpec, "PDOAnalysisPDO", analysis))
        (void)addType(module, analysisSpec, "PDOAnalysis", analysis);
}

}  // namespace ostrel::vessolt
