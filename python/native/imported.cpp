// The Python-defined objects of kestrel._native's results and refusals, and
// how they are raised and built.
#include "fault.hpp"
#include "native.hpp"
#include "receipt_object.hpp"

namespace kestrel::py::native {

namespace {

Imported g_imported{};

// A new reference to module.name, or nullptr with the exception set.
PyObject* attribute_of(const char* module_name, const char* name) {
    const Ref module(PyImport_ImportModule(module_name));
    return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

}  // namespace

// Fetched once for the life of the process, like the module object itself.
bool import_python_objects() {
    if (g_imported.limit != nullptr) return true;
    Imported found{};
    found.violation = attribute_of("_kestrel", "KestrelViolation");
    if (found.violation == nullptr) return false;
    found.receipt = reinterpret_cast<PyTypeObject*>(attribute_of("_kestrel", "KestrelReceipt"));
    if (found.receipt == nullptr) return false;
    if (!PyType_Check(found.receipt) || found.receipt->tp_basicsize != sizeof(ReceiptObject)) {
        PyErr_SetString(PyExc_ImportError, "_kestrel.KestrelReceipt is not the one this module was built with");
        return false;
    }
    const Ref status_class(attribute_of("kestrel._types", "SolveStatus"));
    if (!status_class) return false;
    for (long value = 0; value < 5; ++value) {
        const Ref number(PyLong_FromLong(value));
        if (!number) return false;
        found.solve_status[value] = PyObject_CallOneArg(status_class.get(), number.get());
        if (found.solve_status[value] == nullptr) return false;
    }
    found.projection = attribute_of("kestrel._types", "Projection");
    found.receipt_fields = attribute_of("kestrel._types", "ReceiptFields");
    found.frame = attribute_of("kestrel._types", "Frame");
    found.limit = attribute_of("kestrel._types", "Limit");
    if (found.projection == nullptr || found.receipt_fields == nullptr || found.frame == nullptr ||
        found.limit == nullptr) {
        return false;
    }
    g_imported = found;
    return true;
}

const Imported& imported() noexcept { return g_imported; }

PyObject* solve_status(std::uint32_t status) noexcept {
    if (status >= 5) internal_fault("the four-axis solver wrote an unknown status");
    PyObject* member = g_imported.solve_status[status];
    Py_INCREF(member);
    return member;
}

PyObject* new_named_tuple(PyObject* type, PyObject* const* items, Py_ssize_t count) {
    bool complete = true;
    for (Py_ssize_t i = 0; i < count; ++i) complete = complete && items[i] != nullptr;
    // A named tuple class adds no state to tuple: its instances are tuples
    // of its type, allocated as tuple.__new__ would.
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    PyObject* result = complete ? cls->tp_alloc(cls, count) : nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (result != nullptr) {
            PyTuple_SET_ITEM(result, i, items[i]);
        } else {
            Py_XDECREF(items[i]);
        }
    }
    return result;
}

PyObject* raise_refusal(std::int32_t axis, KestrelError error) {
    const Ref args(Py_BuildValue("(iss)", static_cast<int>(axis), kestrel_error_name(error),
                                 kestrel_error_message(error)));
    if (args) PyErr_SetObject(g_imported.violation, args.get());
    return nullptr;
}

PyObject* raise_limiter_error(KestrelError error) {
    PyErr_SetString(PyExc_ValueError, kestrel_error_message(error));
    return nullptr;
}

}  // namespace kestrel::py::native
