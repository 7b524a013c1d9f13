// The one conversion layer between Python arguments and the module's types.
//
// Every constructor and method binds its arguments with bind_fastcall or
// bind_tuple (binding errors are TypeErrors raised before any conversion),
// then converts each bound argument in signature order with argument(). Each
// conversion returns false with a Python exception set; argument() rewords a
// conversion's exact TypeError as "argument '<name>': <text>", so every
// argument error of the module is worded here and nowhere else.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel::py {

// A parameter list in signature order; the first `required` have no default,
// the last `keyword_only` are given by name only (after the `*`).
struct Signature {
    const char* function;  // name shown in binding errors, e.g. "project"
    std::span<const char* const> names;
    std::size_t required;
    std::size_t keyword_only = 0;

    Py_ssize_t positional() const noexcept { return static_cast<Py_ssize_t>(names.size() - keyword_only); }
};

// Slots receive borrowed references, or nullptr for an omitted optional argument.
bool bind_fastcall_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** slots);

// bind_fastcall binds METH_FASTCALL | METH_KEYWORDS arguments to the signature.
inline bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(sig.names.size());
    if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(sig.required) && nargs <= sig.positional()) {
        for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
        for (Py_ssize_t i = nargs; i < count; ++i) slots[i] = nullptr;
        return true;
    }
    return bind_fastcall_slow(sig, args, nargs, kwnames, slots);
}

// bind_tuple binds a constructor's (args, kwargs) to the signature.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// ---- Conversions ---------------------------------------------------------

// A read-only view of a bytes object's contents, valid while the object lives.
struct ByteView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// A byte string taken through the buffer protocol (bytes, bytearray,
// memoryview, any C-contiguous buffer): its size is the buffer's own, never
// what a subclass's __len__ says. Holds the export until destroyed, so a
// bytearray cannot be resized under it.
class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    bool take(PyObject* obj);

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A str argument held as an exact str (a copy when the argument was a
// subclass), so that its UTF-8 form is known to exist.
struct Text {
    Ref str;
};

// A time in seconds: a real number, but never a bool, which would pass for 1 s
// or 0 s where a caller meant something else (a flag in the wrong place).
struct Seconds {
    double value = 0.0;
};

bool convert(PyObject* obj, double& out);         // 64-bit float
bool convert(PyObject* obj, Seconds& out);        // 64-bit float, a bool refused with TypeError
bool convert(PyObject* obj, float& out);          // 32-bit float, narrowed with round-to-nearest-even
bool convert(PyObject* obj, std::int32_t& out);   // signed 32-bit integer
bool convert(PyObject* obj, std::uint64_t& out);  // unsigned 64-bit integer
bool convert(PyObject* obj, ByteView& out);       // bytes and its subclasses only
bool convert(PyObject* obj, ByteBuffer& out);     // any contiguous buffer, by its own length
bool convert(PyObject* obj, Text& out);           // str and its subclasses

// wrap_argument_error rewords a pending exception of exactly TypeError as
// "argument '<name>': <text>", keeping its __cause__; other exceptions stay.
void wrap_argument_error(const char* name);

// argument converts the bound argument `index` of `sig`, naming it on failure.
template <class T>
bool argument(const Signature& sig, std::size_t index, PyObject* obj, T& out) {
    if (convert(obj, out)) return true;
    wrap_argument_error(sig.names[index]);
    return false;
}

// The short type name of an object, as the interpreter prints it ("set", "Governor").
const char* type_name(PyObject* obj) noexcept;

// set_cannot_convert raises TypeError "'<type>' object cannot be converted to '<target>'".
void set_cannot_convert(PyObject* obj, const char* target);

// A METH_FASTCALL | METH_KEYWORDS method, as stored in a PyMethodDef.
using FastcallMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
inline PyCFunction as_method(FastcallMethod method) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// ---- Sequences of numbers -------------------------------------------------

// for_each_number<T> walks a sequence argument and hands each element,
// converted to T (float: narrowed to 32 bits; double), to the sink. The sink provides:
//   bool begin(Py_ssize_t length, bool exact)  - length is exact for list/tuple
//   bool element(T value, PyObject* exact_float)  - exact_float: the element if it is an exact float
//   bool end(Py_ssize_t count)
// A str is refused, as is anything that fails the sequence check. An exact
// list or tuple is walked by index with its size re-read at every step, which
// is what its iterator does; other sequences go through iter()/next(). The
// length that __len__ reports is only a hint (a failing __len__ means 0).
// Errors come back unwrapped; the caller names the argument.
template <class T, class Sink>
bool for_each_number(PyObject* seq, Sink& sink);

template <class Sink>
bool for_each_f32(PyObject* seq, Sink& sink) {
    return for_each_number<float>(seq, sink);
}

namespace detail {

bool refuse_non_sequence(PyObject* seq);  // false with TypeError set when seq is str or no sequence

// Reads an exact float or exact int without running any Python code.
template <class T>
inline bool convert_plain_number(PyObject* item, T& out, bool& handled) {
    if (PyFloat_CheckExact(item)) {
        out = static_cast<T>(PyFloat_AS_DOUBLE(item));
        handled = true;
        return true;
    }
    if (PyLong_CheckExact(item)) {
        const double value = PyLong_AsDouble(item);
        handled = true;
        if (value == -1.0 && PyErr_Occurred()) return false;
        out = static_cast<T>(value);
        return true;
    }
    handled = false;
    return true;
}

}  // namespace detail

template <class T, class Sink>
bool for_each_number(PyObject* seq, Sink& sink) {
    if (!detail::refuse_non_sequence(seq)) return false;

    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const bool is_list = PyList_CheckExact(seq);
        if (!sink.begin(Py_SIZE(seq), true)) return false;
        Py_ssize_t i = 0;
        for (; i < Py_SIZE(seq); ++i) {
            PyObject* item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
            T value = 0;
            bool handled = false;
            if (!detail::convert_plain_number(item, value, handled)) return false;
            PyObject* exact_float = nullptr;
            if (handled) {
                if (PyFloat_CheckExact(item)) exact_float = item;
            } else {
                // __float__ or __index__ may mutate the list: hold the element
                // itself, and re-read the size before the next step.
                const Ref held = Ref::borrow(item);
                if (!convert(held.get(), value)) return false;
            }
            if (!sink.element(value, exact_float)) return false;
        }
        return sink.end(i);
    }

    Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    if (!sink.begin(hint, false)) return false;
    const Ref iterator(PyObject_GetIter(seq));
    if (!iterator) return false;
    Py_ssize_t count = 0;
    while (true) {
        const Ref item(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            break;
        }
        T value = 0;
        if (!convert(item.get(), value)) return false;
        if (!sink.element(value, PyFloat_CheckExact(item.get()) ? item.get() : nullptr)) return false;
        ++count;
    }
    return sink.end(count);
}

}  // namespace kestrel::py
