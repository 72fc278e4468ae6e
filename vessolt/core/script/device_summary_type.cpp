#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <type_traits>
#include <variant>

#include "services/device_summary.h"
#include "norbix_module.h"

// The script type DeviceSummary: a view of the one device summary. Its attributes are generated from
// the summary's field table; instances carry no data of their own.

namespace ostrel::vessolt::script {

namespace {

TDeviceSummary* summaryOf(PyObject* self) {
    NorbixBinding* binding = bindingOfType(Py_TYPE(self));
    if (binding && !binding->summary) {
        PyErr_SetString(PyExc_RuntimeError, "Norbix has no device summary");
        return nullptr;
    }
    return binding ? binding->summary : nullptr;
}

bool copySummary(PyObject* self, DeviceSummaryRecord& out) {
    TDeviceSummary* summary = summaryOf(self);
    if (!summary)
        return false;
    if (!summary->GetSummary(out)) {
        PyErr_SetString(PyExc_TimeoutError, "the device summary is busy");
        return false;
    }
    return true;
}

PyObject* getField(PyObject* self, void* closure) {
    const auto& field = *static_cast<const SummaryField*>(closure);
    DeviceSummaryRecord record;
    if (!copySummary(self, record))
        return nullptr;
    bool set = isFieldSet(record, field);
    if (field.type == SummaryType::F32)
        return PyFloat_FromDouble(set ? fieldFloat(record, field) : 0.0);
    // Unsigned fields read as signed 32-bit values, as scripts have always seen them.
    auto bits = static_cast<uint32_t>(fieldInteger(record, field));
    return PyLong_FromLong(set ? static_cast<int32_t>(bits) : 0);
}

PyObject* getPresence(PyObject* self, void* closure) {
    const auto& presence = *static_cast<const SummaryPresence*>(closure);
    DeviceSummaryRecord record;
    if (!copySummary(self, record))
        return nullptr;
    return PyLong_FromLong(isPresent(record, presence) ? 1 : 0);
}

bool refuseDelete(PyObject* value) {
    if (value)
        return false;
    PyErr_SetString(PyExc_TypeError, "DeviceSummary attributes cannot be deleted");
    return true;
}

// An int, or a float truncated toward zero (87.9 gives 87); anything else is a TypeError.
PyObject* integralOf(PyObject* value) {
    if (PyLong_Check(value))
        return Py_NewRef(value);
    if (PyFloat_Check(value))
        return PyNumber_Long(value);  // raises for inf and nan
    PyErr_Format(PyExc_TypeError, "an int or float is required, not %.100s", Py_TYPE(value)->tp_name);
    return nullptr;
}

bool floatOf(PyObject* value, double& out) {
    if (!PyLong_Check(value) && !PyFloat_Check(value)) {
        PyErr_Format(PyExc_TypeError, "an int or float is required, not %.100s", Py_TYPE(value)->tp_name);
        return false;
    }
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

// The 32-bit pattern of `integral`: masked to the field, or checked to fit in 32 bits signed or
// unsigned.
bool bitsOf(PyObject* integral, const SummaryField& field, uint32_t& out) {
    if (field.script == ScriptWrite::Masked) {
        unsigned long long all = PyLong_AsUnsignedLongLongMask(integral);
        if (all == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return false;
        out = static_cast<uint32_t>(field.type == SummaryType::U8 ? (all & 0xFFu) : (all & 0xFFFFFFFFu));
        return true;
    }
    if (field.script == ScriptWrite::Boolean) {
        int truth = PyObject_IsTrue(integral);
        out = truth > 0 ? 1 : 0;
        return truth >= 0;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(integral, &overflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (overflow != 0 || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) {
        PyErr_Format(PyExc_OverflowError, "%s takes a 32-bit value", field.name);
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

int setField(PyObject* self, PyObject* value, void* closure) {
    const auto& field = *static_cast<const SummaryField*>(closure);
    if (refuseDelete(value))
        return -1;
    if (field.script == ScriptWrite::Ignored)
        return 0;
    TDeviceSummary* summary = summaryOf(self);
    if (!summary)
        return -1;

    if (field.script == ScriptWrite::AddTime || field.script == ScriptWrite::KeepLarger) {
        double v = 0;
        if (!floatOf(value, v))
            return -1;
        (summary->*std::get<void (TDeviceSummary::*)(float)>(field.setter))(static_cast<float>(v));
        return 0;
    }
    PyObject* integral = integralOf(value);
    if (!integral)
        return -1;
    uint32_t bits = 0;
    bool ok = bitsOf(integral, field, bits);
    Py_DECREF(integral);
    if (!ok)
        return -1;
    std::visit(
        [&](auto setter) {
            using S = decltype(setter);
            if constexpr (std::is_same_v<S, void (TDeviceSummary::*)(uint8_t)>)
                (summary->*setter)(static_cast<uint8_t>(bits));
            else if constexpr (std::is_same_v<S, void (TDeviceSummary::*)(uint32_t)>)
                (summary->*setter)(bits);
            else if constexpr (std::is_same_v<S, void (TDeviceSummary::*)(int32_t)>)
                (summary->*setter)(static_cast<int32_t>(bits));
        },
        field.setter);
    return 0;
}

// The _hasdata flags follow the data; an assignment to them is accepted and ignored.
int setPresence(PyObject*, PyObject* value, void*) {
    return refuseDelete(value) ? -1 : 0;
}

void deallocSummary(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold their type
}

const PyGetSetDef* summaryGetSets() {
    static const auto defs = [] {
        std::array<PyGetSetDef, kSummaryFieldCount + kSummaryPresenceCount + 1> d{};
        size_t i = 0;
        for (const SummaryField& f : kSummaryFields)
            d[i++] = {f.name, getField, setField, f.doc, const_cast<SummaryField*>(&f)};
        for (const SummaryPresence& p : kSummaryPresence)
            d[i++] = {p.name, getPresence, setPresence, p.doc, const_cast<SummaryPresence*>(&p)};
        return d;
    }();
    return defs.data();
}

} // namespace

PyObject* newDeviceSummaryType(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Device Summary")},
        {Py_tp_getset, const_cast<PyGetSetDef*>(summaryGetSets())},
        {Py_tp_new, reinterpret_cast<void*>(&PyType_GenericNew)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&deallocSummary)},
        {0, nullptr},
    };
    // No Py_TPFLAGS_BASETYPE: the type cannot be subclassed.
    PyType_Spec spec = {"Norbix.DeviceSummary", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

} // namespace ostrel::vessolt::script
