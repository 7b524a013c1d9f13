// Vector arguments: a sequence of numbers, or a one-dimensional buffer of
// float or double, read into a fixed array with no allocation. A byte string
// (bytes, bytearray, a memoryview of bytes) is refused: its elements are
// character codes, not values.
#pragma once

#include <cstddef>

#include "convert.hpp"

namespace kestrel::py {

// Up to N values; `count` is how many the argument held, which may exceed N
// (only the first N are stored), so the caller can name the length it got.
template <class T, std::size_t N>
struct Vector {
    T values[N];
    Py_ssize_t count = 0;
};

// read_numbers walks `obj` as above, storing at most `capacity` values.
// False with TypeError (unwrapped) or another conversion error set.
bool read_numbers(PyObject* obj, double* out, Py_ssize_t capacity, Py_ssize_t& count);
bool read_numbers(PyObject* obj, float* out, Py_ssize_t capacity, Py_ssize_t& count);

template <class T, std::size_t N>
bool convert(PyObject* obj, Vector<T, N>& out) {
    return read_numbers(obj, out.values, static_cast<Py_ssize_t>(N), out.count);
}

// set_length_error raises ValueError "<name> must hold <expected> values, not <got>".
void set_length_error(const char* name, Py_ssize_t expected, Py_ssize_t got);

}  // namespace kestrel::py
