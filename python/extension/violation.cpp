// KestrelViolation: the exception for every refusal of the authorization
// boundary. A subclass of Exception with three read-only fields.
#include <cstddef>

#include "classes.hpp"
#include "convert.hpp"

namespace kestrel::py {

namespace {

struct ViolationObject {
    PyBaseExceptionObject base;
    std::int32_t axis;         // target axis of the refused request
    PyObject* violation_type;  // exact str: a catalogue code string or the caller's text
    PyObject* message;         // exact str: the explanation
};

constexpr const char* kNewParams[] = {"axis", "violation_type", "message"};
constexpr Signature kNewSignature{"KestrelViolation", kNewParams, 0};

// Converts an optional text argument; an omitted one is the empty text.
bool optional_text(std::size_t index, PyObject* obj, Text& out) {
    if (obj == nullptr) {
        out.str = Ref(PyUnicode_FromStringAndSize("", 0));
        return static_cast<bool>(out.str);
    }
    return argument(kNewSignature, index, obj, out);
}

PyObject* violation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[3];
    if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
    std::int32_t axis = 0;
    if (slots[0] != nullptr && !argument(kNewSignature, 0, slots[0], axis)) return nullptr;
    Text violation_type;
    Text message;
    if (!optional_text(1, slots[1], violation_type) || !optional_text(2, slots[2], message)) return nullptr;

    // The base constructor runs without arguments; the base initialiser that
    // follows stores the call's positional arguments as `args`.
    const Ref no_args(PyTuple_New(0));
    if (!no_args) return nullptr;
    PyObject* self = reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_new(type, no_args.get(), nullptr);
    if (self == nullptr) return nullptr;
    auto* violation = reinterpret_cast<ViolationObject*>(self);
    violation->axis = axis;
    violation->violation_type = violation_type.str.release();
    violation->message = message.str.release();
    return self;
}

// The base state (__context__, __cause__, __traceback__, args) can hold
// another exception, so freeing one can free a whole chain, one nested
// deallocator call per link. The trashcan defers deep links to keep the C
// stack bounded; the base deallocator's own trashcan does not apply to this
// type, because it only engages when it is the type's tp_dealloc.
void violation_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, violation_dealloc)
    auto* violation = reinterpret_cast<ViolationObject*>(self);
    Py_CLEAR(violation->violation_type);
    Py_CLEAR(violation->message);
    reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_dealloc(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// A text field, or "" for an object that bypassed __new__.
PyObject* text_field(PyObject* field) {
    if (field == nullptr) return PyUnicode_FromStringAndSize("", 0);
    Py_INCREF(field);
    return field;
}

PyObject* violation_str(PyObject* self) {
    auto* violation = reinterpret_cast<ViolationObject*>(self);
    const Ref violation_type(text_field(violation->violation_type));
    const Ref message(text_field(violation->message));
    if (!violation_type || !message) return nullptr;
    return PyUnicode_FromFormat("KestrelViolation(axis=%d, violation_type=%U): %U", static_cast<int>(violation->axis),
                                violation_type.get(), message.get());
}

PyObject* get_axis(PyObject* self, void*) { return PyLong_FromLong(reinterpret_cast<ViolationObject*>(self)->axis); }
PyObject* get_violation_type(PyObject* self, void*) {
    return text_field(reinterpret_cast<ViolationObject*>(self)->violation_type);
}
PyObject* get_message(PyObject* self, void*) { return text_field(reinterpret_cast<ViolationObject*>(self)->message); }

PyGetSetDef kGetSet[] = {
    {"axis", get_axis, nullptr, nullptr, nullptr},
    {"violation_type", get_violation_type, nullptr, nullptr, nullptr},
    {"message", get_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("KestrelViolation(axis=0, violation_type=..., message=...)\n--\n\n"
                                  "Exception raised when an action request violates the Kestrel boundary.")},
    {Py_tp_new, reinterpret_cast<void*>(violation_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(violation_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(violation_str)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KestrelViolation",
    sizeof(ViolationObject),
    0,
    kClassFlags,  // garbage collection support comes with the Exception base
    kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* violation_type() { return cached_type(g_type, kSpec, PyExc_Exception); }

}  // namespace kestrel::py
