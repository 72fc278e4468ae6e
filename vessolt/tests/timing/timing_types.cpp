#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include "timing_types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "testing/test_manager.h"
#include "timing_engine.h"

// Heap types kept in the interpreter's own dictionary: each script run imports a fresh Norbix
// module, but a test's two types are made once per interpreter and added to every module, so
// objects a script keeps across runs stay of the same type. The interpreter is never restarted,
// and its dictionary frees the types when it ends. The engine is reached through a capsule in the
// same dictionary, replaced at every registration; the types themselves are immutable.

namespace ostrel::vessolt {

namespace {

constexpr const char* kCapsuleName = "ostrel.vessolt.timing_engine";
constexpr int32_t kTestCount = 5;

// One result row as the script sees it; the values are copied when the object is made.
struct TimingCycleObject {
    PyObject_HEAD
    int32_t cycle;
    uint32_t manualtime;
    uint32_t time;
    float busload;
    float tpdo_min, tpdo_max, tpdo_diff, tpdo_dev, tpdo_ave;
    float ec_min, ec_max, ec_dev, ec_diff;
    float sdo_min, sdo_max;
    float peakmsgrate, maxbusload, maxburstlen;
    float sync_min, sync_max, sync_dev;  // members of the Sync tests' cycle types only
};
// T_INT, T_UINT and T_FLOAT read int, unsigned int and float: 32 bits each here.
static_assert(sizeof(int) == 4 && sizeof(unsigned int) == 4 && sizeof(float) == 4);
static_assert(offsetof(TimingCycleObject, cycle) == sizeof(PyObject));
static_assert(offsetof(TimingCycleObject, busload) == sizeof(PyObject) + 12);
static_assert(offsetof(TimingCycleObject, sync_min) == sizeof(PyObject) + 18 * 4);
static_assert(offsetof(TimingCycleObject, sync_dev) + sizeof(float) == sizeof(PyObject) + 21 * 4);

constexpr PyMemberDef member(const char* name, int type, size_t offset, const char* doc) {
    return {name, type, static_cast<Py_ssize_t>(offset), READONLY, doc};
}

// The Sync tests' cycle members; the other tests' cycle types end with maxburstlen.
constexpr int kCommonMembers = 18;
constexpr std::array<PyMemberDef, 22> kSyncCycleMembers{{
    member("cycle", T_INT, offsetof(TimingCycleObject, cycle), "test cycle number"),
    member("manualtime", T_UINT, offsetof(TimingCycleObject, manualtime), "test cycle manual time"),
    member("time", T_UINT, offsetof(TimingCycleObject, time), "test cycle time"),
    member("busload", T_FLOAT, offsetof(TimingCycleObject, busload), "bus load"),
    member("tpdo_min", T_FLOAT, offsetof(TimingCycleObject, tpdo_min), "min tpdo time"),
    member("tpdo_max", T_FLOAT, offsetof(TimingCycleObject, tpdo_max), "max tpdo time"),
    member("tpdo_diff", T_FLOAT, offsetof(TimingCycleObject, tpdo_diff), "difference in tpdo time"),
    member("tpdo_dev", T_FLOAT, offsetof(TimingCycleObject, tpdo_dev), "deviation in tpdo time"),
    member("tpdo_ave", T_FLOAT, offsetof(TimingCycleObject, tpdo_ave), "average tpdo time"),
    member("ec_min", T_FLOAT, offsetof(TimingCycleObject, ec_min), "min error correction time"),
    member("ec_max", T_FLOAT, offsetof(TimingCycleObject, ec_max), "max error correction time"),
    member("ec_dev", T_FLOAT, offsetof(TimingCycleObject, ec_dev), "deviation in error correction time"),
    member("ec_diff", T_FLOAT, offsetof(TimingCycleObject, ec_diff), "difference in error correction time"),
    member("sdo_min", T_FLOAT, offsetof(TimingCycleObject, sdo_min), "min sdo time"),
    member("sdo_max", T_FLOAT, offsetof(TimingCycleObject, sdo_max), "max sdo time"),
    member("peakmsgrate", T_FLOAT, offsetof(TimingCycleObject, peakmsgrate), "peak message rate"),
    member("maxbusload", T_FLOAT, offsetof(TimingCycleObject, maxbusload), "max bus load"),
    member("maxburstlen", T_FLOAT, offsetof(TimingCycleObject, maxburstlen), "max burst length"),
    member("sync_min", T_FLOAT, offsetof(TimingCycleObject, sync_min), "min sync time"),
    member("sync_max", T_FLOAT, offsetof(TimingCycleObject, sync_max), "max sync time"),
    member("sync_dev", T_FLOAT, offsetof(TimingCycleObject, sync_dev), "deviation in sync time"),
    PyMemberDef{nullptr, 0, 0, 0, nullptr},
}};

constexpr std::array<PyMemberDef, kCommonMembers + 1> commonMembers() {
    std::array<PyMemberDef, kCommonMembers + 1> members{};
    for (int i = 0; i < kCommonMembers; ++i)
        members[static_cast<size_t>(i)] = kSyncCycleMembers[static_cast<size_t>(i)];
    members[kCommonMembers] = PyMemberDef{nullptr, 0, 0, 0, nullptr};
    return members;
}
constexpr std::array<PyMemberDef, kCommonMembers + 1> kCycleMembers = commonMembers();

struct TypeNames {
    const char* cycleName;  // "Norbix." followed by the module attribute
    const char* cycleDoc;
    const char* testName;
    const char* testDoc;
};
constexpr std::array<TypeNames, kTestCount> kNames{{
    {"Norbix.TPDOSyncCycle", "tpdo sync test cycle", "Norbix.TPDOSync", "tpdo sync test"},
    {"Norbix.TPDOSyncRPDOsCycle", "tpdo sync rpdos test cycle", "Norbix.TPDOSyncRPDOs", "tpdo sync rpdos test"},
    {"Norbix.TPDOEventCycle", "tpdo event test cycle", "Norbix.TPDOEvent", "tpdo event test"},
    {"Norbix.TPDOEventRPDOsCycle", "tpdo event rpdos test cycle", "Norbix.TPDOEventRPDOs",
     "tpdo event rpdos test"},
    {"Norbix.PDOTurnaroundCycle", "pdo turnaround test cycle", "Norbix.PDOTurnaround", "pdo turnaround test"},
}};

const char* attributeName(const char* typeName) { return typeName + sizeof("Norbix.") - 1; }

std::string cacheKey(int32_t test, const char* what) {
    std::string key = "ostrel.vessolt.timing";
    key += std::to_string(test);
    key += '.';
    key += what;
    return key;
}

// Borrowed; nullptr with RuntimeError set when the interpreter offers no dictionary.
PyObject* interpreterDict() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict)
        PyErr_SetString(PyExc_RuntimeError, "the interpreter keeps no state for the timing tests");
    return dict;
}

// The engine that registered last for the test, or nullptr with RuntimeError set.
const TimingTestEngine* engineOf(int32_t test) {
    PyObject* dict = interpreterDict();
    if (!dict)
        return nullptr;
    PyObject* capsule = PyDict_GetItemString(dict, cacheKey(test, "engine").c_str());
    if (!capsule) {
        PyErr_Format(PyExc_RuntimeError, "timing test %d has no results", static_cast<int>(test));
        return nullptr;
    }
    return static_cast<const TimingTestEngine*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// Heap-type objects hold a reference to their type, taken by tp_alloc.
void timingDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <int32_t Test>
PyObject* cycleNew(PyTypeObject* type, PyObject* args, PyObject*) {
    int cycle = 0;
    if (!PyArg_ParseTuple(args, "i", &cycle))
        return nullptr;
    if (cycle < 1 || cycle > kTimingMaxCycles)
        return PyErr_Format(PyExc_ValueError, "cycle number %d is outside 1 to %d", cycle, kTimingMaxCycles);
    const TimingTestEngine* engine = engineOf(Test);
    if (!engine)
        return nullptr;
    // One consistent copy of the whole record.
    auto config = std::make_unique<TimingTestConfig>();
    engine->CopyConfig(*config);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    auto* o = reinterpret_cast<TimingCycleObject*>(self);
    const size_t k = static_cast<size_t>(cycle - 1);
    const TimingTestConfig& c = *config;
    o->cycle = cycle;
    o->manualtime = c.manualtime[k];
    o->time = c.time[k];
    o->busload = c.busload[k];
    o->tpdo_min = c.tpdo[k].min;
    o->tpdo_max = c.tpdo[k].max;
    o->tpdo_diff = c.tpdo[k].diff;
    o->tpdo_dev = c.tpdo[k].dev;
    o->tpdo_ave = c.tpdo[k].ave;
    o->ec_min = c.ec[k].min;
    o->ec_max = c.ec[k].max;
    o->ec_dev = c.ec[k].dev;
    o->ec_diff = c.ec[k].diff;
    o->sdo_min = c.sdo[k].min;
    o->sdo_max = c.sdo[k].max;
    o->peakmsgrate = c.peakmsgrate[k];
    o->maxbusload = c.maxbusload[k];
    o->maxburstlen = c.maxburstlen[k];
    o->sync_min = c.sync[k].min;
    o->sync_max = c.sync[k].max;
    o->sync_dev = c.sync[k].dev;
    return self;
}

enum class TestField { Status, Enabled };

template <int32_t Test, TestField Field>
PyObject* testGet(PyObject*, void*) {
    const TimingTestEngine* engine = engineOf(Test);
    if (!engine)
        return nullptr;
    TEST test;
    if (!engine->Manager().GetTest(Test, test))
        return PyErr_Format(PyExc_RuntimeError, "the status of timing test %d is not available", static_cast<int>(Test));
    return Py_BuildValue("i", Field == TestField::Status ? static_cast<int>(test.status) : (test.enabled ? 1 : 0));
}

template <int32_t Test>
PyObject* testCycles(PyObject*, void*) {
    const TimingTestEngine* engine = engineOf(Test);
    if (!engine)
        return nullptr;
    auto config = std::make_unique<TimingTestConfig>();
    engine->CopyConfig(*config);
    return Py_BuildValue("i", static_cast<int>(config->activecycles + config->searchrows));
}

template <int32_t Test>
const PyGetSetDef kTestGetters[] = {
    {"status", &testGet<Test, TestField::Status>, nullptr, "test status", nullptr},
    {"enabled", &testGet<Test, TestField::Enabled>, nullptr, "test enabled flag", nullptr},
    {"cycles", &testCycles<Test>, nullptr, "number of test cycles", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct TypeMakers {
    newfunc cycleNew;
    const PyGetSetDef* getters;
};
constexpr std::array<TypeMakers, kTestCount> kMakers{{
    {&cycleNew<1>, kTestGetters<1>},
    {&cycleNew<2>, kTestGetters<2>},
    {&cycleNew<3>, kTestGetters<3>},
    {&cycleNew<4>, kTestGetters<4>},
    {&cycleNew<5>, kTestGetters<5>},
}};

// A new reference to an immutable heap type without a base of its own, or nullptr with an error set.
PyObject* makeType(const char* name, const char* doc, newfunc tpNew, const PyMemberDef* members,
                   const PyGetSetDef* getters) {
    std::array<PyType_Slot, 6> slots{};
    size_t n = 0;
    // The interpreter copies the doc string and the members; it keeps the getter table, which is static.
    slots[n++] = {Py_tp_doc, const_cast<char*>(doc)};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(tpNew)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(&timingDealloc)};
    if (members)
        slots[n++] = {Py_tp_members, const_cast<PyMemberDef*>(members)};
    if (getters)
        slots[n++] = {Py_tp_getset, const_cast<PyGetSetDef*>(getters)};
    slots[n] = {0, nullptr};
    const int basicSize = members ? static_cast<int>(sizeof(TimingCycleObject)) : static_cast<int>(sizeof(PyObject));
    PyType_Spec spec{name, basicSize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
    return PyType_FromSpec(&spec);
}

// The test's cycle or test type from the interpreter's dictionary, made on first use.
PyObject* cachedType(PyObject* dict, int32_t test, bool cycleType) {
    const std::string key = cacheKey(test, cycleType ? "cycle" : "test");
    if (PyObject* type = PyDict_GetItemString(dict, key.c_str()))
        return Py_NewRef(type);
    const TypeNames& names = kNames[static_cast<size_t>(test - 1)];
    const TypeMakers& makers = kMakers[static_cast<size_t>(test - 1)];
    const bool sync = test == 1 || test == 2;
    PyObject* type = cycleType ? makeType(names.cycleName, names.cycleDoc, makers.cycleNew,
                                          sync ? kSyncCycleMembers.data() : kCycleMembers.data(), nullptr)
                               : makeType(names.testName, names.testDoc, &PyType_GenericNew, nullptr, makers.getters);
    if (type && PyDict_SetItemString(dict, key.c_str(), type) < 0)
        Py_CLEAR(type);
    return type;
}

// Adds the cached type under its attribute name; false with an error set.
bool addType(PyObject* module, PyObject* dict, int32_t test, bool cycleType) {
    PyObject* type = cachedType(dict, test, cycleType);
    if (!type)
        return false;
    const TypeNames& names = kNames[static_cast<size_t>(test - 1)];
    const int added = PyModule_AddObjectRef(module, attributeName(cycleType ? names.cycleName : names.testName), type);
    Py_DECREF(type);
    return added == 0;
}

} // namespace

void RegisterTimingPythonTypes(PyObject* module, TimingTestEngine& engine) {
    const int32_t test = engine.Variant().testNumber;
    if (test < 1 || test > kTestCount) {
        PyErr_Format(PyExc_RuntimeError, "no script types for test %d", static_cast<int>(test));
        return;
    }
    PyObject* dict = interpreterDict();
    if (!dict)
        return;
    PyObject* capsule = PyCapsule_New(&engine, kCapsuleName, nullptr);
    if (!capsule)
        return;
    const int stored = PyDict_SetItemString(dict, cacheKey(test, "engine").c_str(), capsule);
    Py_DECREF(capsule);
    if (stored < 0)
        return;
    if (addType(module, dict, test, true))
        (void)addType(module, dict, test, false);
}

} // namespace ostrel::vessolt
