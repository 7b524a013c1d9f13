#include "float_buffer.hpp"

namespace kestrel::py {

namespace {

// True when the type's `name` is a slot written in C (a slot wrapper), or,
// with `may_be_absent`, when the type has no such attribute.
bool slot_from_c(PyObject* type, const char* name, bool may_be_absent) {
    const Ref attribute(PyObject_GetAttrString(type, name));
    if (!attribute) {
        const bool absent = PyErr_ExceptionMatches(PyExc_AttributeError);
        PyErr_Clear();
        return absent && may_be_absent;
    }
    return Py_IS_TYPE(attribute.get(), &PyWrapperDescr_Type);
}

}  // namespace

bool take_float_buffer(PyObject* arg, FloatBuffer& out) {
    if (!PyObject_CheckBuffer(arg)) return false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(arg));
    if (PyType_HasFeature(Py_TYPE(arg), Py_TPFLAGS_HEAPTYPE) &&
        !(slot_from_c(type, "__iter__", false) && slot_from_c(type, "__getitem__", false) &&
          slot_from_c(type, "__buffer__", true))) {
        return false;
    }
    if (PyObject_GetBuffer(arg, &out.view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    const char* format = out.view.format != nullptr ? out.view.format : "B";
    if (format[0] == '@') ++format;
    const bool is_double = std::strcmp(format, "d") == 0 && out.view.itemsize == sizeof(double);
    const bool is_float = std::strcmp(format, "f") == 0 && out.view.itemsize == sizeof(float);
    if (out.view.ndim != 1 || !(is_double || is_float)) {
        PyBuffer_Release(&out.view);
        return false;
    }
    out.is_double = is_double;
    return true;
}

}  // namespace kestrel::py
