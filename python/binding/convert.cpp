#include "convert.hpp"

#include <climits>
#include <cstring>

namespace kestrel::py {

// ---- Binding ---------------------------------------------------------------

namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    const Py_ssize_t count = sig.positional();
    if (static_cast<Py_ssize_t>(sig.required) == count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.function, count,
                     count == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zd positional arguments but %zd %s given", sig.function,
                     sig.required, count, given, given == 1 ? "was" : "were");
    }
    return false;
}

// Places one keyword argument into its slot; refuses unknown and duplicate names.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** slots) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    for (std::size_t i = 0; i < sig.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
        if (static_cast<Py_ssize_t>(i) < nargs) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", sig.function,
                         sig.names[i], i + 1);
            return false;
        }
        slots[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
    return false;
}

bool check_required(const Signature& sig, PyObject** slots) {
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function, sig.names[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_fastcall_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(sig.names.size());
    if (nargs > sig.positional()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, slots)) return false;
        }
    }
    return check_required(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const auto count = static_cast<Py_ssize_t>(sig.names.size());
    if (nargs > sig.positional()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < count; ++i) slots[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, key, value, nargs, slots)) return false;
        }
    }
    return check_required(sig, slots);
}

// ---- Errors ----------------------------------------------------------------

const char* type_name(PyObject* obj) noexcept {
    // The last dotted component of tp_name, as the interpreter prints type names.
    const char* name = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

void set_cannot_convert(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj), target);
}

void wrap_argument_error(const char* name) {
    if (!PyErr_Occurred()) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    const Ref original_type(type);
    const Ref original(value);
    const Ref original_traceback(traceback);

    const Ref text(PyObject_Str(original.get()));
    if (!text) return;
    const Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    const Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals cause
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// ---- Numbers ---------------------------------------------------------------

bool convert(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert(PyObject* obj, Seconds& out) {
    if (PyBool_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "a number of seconds, not bool");
        return false;
    }
    return convert(obj, out.value);
}

bool convert(PyObject* obj, float& out) {
    double wide = 0.0;
    if (!convert(obj, wide)) return false;
    // Round to nearest even; out-of-range values become infinities, NaN stays NaN.
    out = static_cast<float>(wide);
    return true;
}

bool convert(PyObject* obj, std::int32_t& out) {
    long value = 0;
    if (PyLong_Check(obj)) {
        value = PyLong_AsLong(obj);
    } else {
        const Ref index(PyNumber_Index(obj));
        if (!index) return false;
        value = PyLong_AsLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return false;
    if (value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return false;
    }
    if (value < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

bool convert(PyObject* obj, std::uint64_t& out) {
    unsigned long long value = 0;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        const Ref index(PyNumber_Index(obj));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// ---- Bytes and text --------------------------------------------------------

bool convert(PyObject* obj, ByteView& out) {
    if (!PyBytes_Check(obj)) {
        set_cannot_convert(obj, "PyBytes");
        return false;
    }
    out.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    out.size = static_cast<std::size_t>(PyBytes_GET_SIZE(obj));
    return true;
}

namespace {

bool refuse_discontiguous(PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "a contiguous bytes-like object is required, not this '%s'", type_name(obj));
    return false;
}

}  // namespace

bool ByteBuffer::take(PyObject* obj) {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%s'", type_name(obj));
        return false;
    }
    // Asked with its strides, and judged here: exporters answer a request for
    // a contiguous run differently when they cannot give one (a memoryview
    // raises BufferError, a numpy array ValueError), and either way the
    // answer is the TypeError below. view_.len is the bytes the view holds.
    if (PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
        PyErr_Clear();
        return refuse_discontiguous(obj);
    }
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        PyBuffer_Release(&view_);
        return refuse_discontiguous(obj);
    }
    held_ = true;
    return true;
}

bool convert(PyObject* obj, ByteBuffer& out) { return out.take(obj); }

bool convert(PyObject* obj, Text& out) {
    if (!PyUnicode_Check(obj)) {
        set_cannot_convert(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // UnicodeEncodeError for lone surrogates
    if (utf8 == nullptr) return false;
    out.str = PyUnicode_CheckExact(obj) ? Ref::borrow(obj) : Ref(PyUnicode_FromStringAndSize(utf8, size));
    return static_cast<bool>(out.str);
}

// ---- Sequences -------------------------------------------------------------

namespace detail {

bool refuse_non_sequence(PyObject* seq) {
    if (PyUnicode_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(seq)) {
        set_cannot_convert(seq, "Sequence");
        return false;
    }
    return true;
}

}  // namespace detail

}  // namespace kestrel::py
