// The Python-defined objects of kestrel._native's results and refusals, and
// how they are raised and built.
#include "boundary_face.hpp"
#include "fault.hpp"
#include "native.hpp"
#include "receipt_object.hpp"

namespace kestrel::py::native {

namespace {

// The statuses the four-axis solver writes: KESTREL_STATUS_INVALID_INPUT to
// KESTREL_STATUS_NUMERICAL_FAILURE.
constexpr long kStatusCount = KESTREL_STATUS_NUMERICAL_FAILURE + 1;
// The monitor's states: KESTREL_MONITOR_RUN to KESTREL_MONITOR_TORQUE_OFF.
constexpr long kMonitorStateCount = KESTREL_MONITOR_TORQUE_OFF + 1;

Imported g_imported{};
bool g_loaded = false;

// A new reference to module.name, or an empty Ref with the exception set.
Ref attribute_of(const char* module_name, const char* name) {
    const Ref module(PyImport_ImportModule(module_name));
    return Ref(module ? PyObject_GetAttrString(module.get(), name) : nullptr);
}

// Fetches everything into Refs first, so that a failure at any step drops
// what the earlier steps fetched, and only a complete set is kept.
bool load() {
    Ref violation = attribute_of("_kestrel", "KestrelViolation");
    if (!violation) return false;
    Ref receipt = attribute_of("_kestrel", "KestrelReceipt");
    if (!receipt) return false;
    if (!PyType_Check(receipt.get()) ||
        reinterpret_cast<PyTypeObject*>(receipt.get())->tp_basicsize != sizeof(ReceiptObject)) {
        PyErr_SetString(PyExc_ImportError, "_kestrel.KestrelReceipt is not the one this module was built with");
        return false;
    }
    const Ref status_class = attribute_of("kestrel._types", "SolveStatus");
    if (!status_class) return false;
    Ref statuses[kStatusCount];
    for (long value = 0; value < kStatusCount; ++value) {
        const Ref number(PyLong_FromLong(value));
        if (!number) return false;
        statuses[value] = Ref(PyObject_CallOneArg(status_class.get(), number.get()));
        if (!statuses[value]) return false;
    }
    const Ref state_class = attribute_of("kestrel._types", "MonitorState");
    if (!state_class) return false;
    Ref states[kMonitorStateCount];
    for (long value = 0; value < kMonitorStateCount; ++value) {
        const Ref number(PyLong_FromLong(value));
        if (!number) return false;
        states[value] = Ref(PyObject_CallOneArg(state_class.get(), number.get()));
        if (!states[value]) return false;
    }
    Ref trip = attribute_of("kestrel._types", "Trip");
    if (!trip) return false;
    Ref projection = attribute_of("kestrel._types", "Projection");
    Ref receipt_fields = attribute_of("kestrel._types", "ReceiptFields");
    Ref frame = attribute_of("kestrel._types", "Frame");
    Ref limit = attribute_of("kestrel._types", "Limit");
    if (!projection || !receipt_fields || !frame || !limit) return false;

    // Kept for the life of the process, like the module object itself.
    g_imported.violation = violation.release();
    g_imported.receipt = reinterpret_cast<PyTypeObject*>(receipt.release());
    for (long value = 0; value < kStatusCount; ++value) g_imported.solve_status[value] = statuses[value].release();
    g_imported.projection = projection.release();
    g_imported.receipt_fields = receipt_fields.release();
    g_imported.frame = frame.release();
    g_imported.limit = limit.release();
    for (long value = 0; value < kMonitorStateCount; ++value) g_imported.monitor_state[value] = states[value].release();
    g_imported.trip = trip.release();
    g_loaded = true;
    return true;
}

}  // namespace

const Imported* imported() {
    if (!g_loaded && !load()) return nullptr;
    return &g_imported;
}

PyObject* solve_status(std::uint32_t status) {
    if (status >= kStatusCount) internal_fault("the four-axis solver wrote an unknown status");
    const Imported* objects = imported();
    if (objects == nullptr) return nullptr;
    PyObject* member = objects->solve_status[status];
    Py_INCREF(member);
    return member;
}

PyObject* monitor_state(std::uint32_t state) {
    if (state >= kMonitorStateCount) internal_fault("the monitor wrote an unknown state");
    const Imported* objects = imported();
    if (objects == nullptr) return nullptr;
    PyObject* member = objects->monitor_state[state];
    Py_INCREF(member);
    return member;
}

PyObject* new_limit(std::uint32_t bits) {
    const Imported* objects = imported();
    if (objects == nullptr) return nullptr;
    const Ref number(PyLong_FromUnsignedLong(bits));
    return number ? PyObject_CallOneArg(objects->limit, number.get()) : nullptr;
}

PyObject* new_named_tuple(PyObject* Imported::*type, PyObject* const* items, Py_ssize_t count) {
    bool complete = true;
    for (Py_ssize_t i = 0; i < count; ++i) complete = complete && items[i] != nullptr;
    const Imported* objects = complete ? imported() : nullptr;
    // A named tuple class adds no state to tuple: its instances are tuples
    // of its type, allocated as tuple.__new__ would.
    auto* cls = objects != nullptr ? reinterpret_cast<PyTypeObject*>(objects->*type) : nullptr;
    PyObject* result = cls != nullptr ? cls->tp_alloc(cls, count) : nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (result != nullptr) {
            PyTuple_SET_ITEM(result, i, items[i]);
        } else {
            Py_XDECREF(items[i]);
        }
    }
    return result;
}

PyObject* raise_refusal(std::int32_t axis, KestrelError error, const char* hint) {
    const Imported* objects = imported();
    return objects != nullptr ? kestrel_error_to_py_err(objects->violation, axis, error, hint) : nullptr;
}

PyObject* raise_limiter_error(KestrelError error) {
    PyErr_SetString(PyExc_ValueError, kestrel_error_message(error));
    return nullptr;
}

}  // namespace kestrel::py::native
