#include "vector.hpp"

#include "float_buffer.hpp"

namespace kestrel::py {

namespace {

// Stores the first `capacity` elements of a walk and counts them all.
template <class T>
struct FillSink {
    T* out;
    Py_ssize_t capacity;
    Py_ssize_t filled = 0;

    bool begin(Py_ssize_t, bool) { return true; }
    bool element(T value, PyObject*) {
        if (filled < capacity) out[filled] = value;
        ++filled;
        return true;
    }
    bool end(Py_ssize_t) { return true; }
};

// A byte string's elements are character codes, never values.
bool is_byte_string(PyObject* obj) {
    return PyBytes_Check(obj) || PyByteArray_Check(obj) ||
           (PyMemoryView_Check(obj) && PyMemoryView_GET_BUFFER(obj)->itemsize == 1);
}

template <class T>
bool read(PyObject* obj, T* out, Py_ssize_t capacity, Py_ssize_t& count) {
    if (is_byte_string(obj)) {
        PyErr_Format(PyExc_TypeError, "a '%s' object is not a vector of numbers", type_name(obj));
        return false;
    }
    FloatBuffer buffer;
    if (PySequence_Check(obj) && take_float_buffer(obj, buffer)) {
        count = buffer.size();
        for (Py_ssize_t i = 0; i < count && i < capacity; ++i) out[i] = static_cast<T>(buffer.at(i));
        PyBuffer_Release(&buffer.view);
        return true;
    }
    FillSink<T> sink{out, capacity};
    if (!for_each_number<T>(obj, sink)) return false;
    count = sink.filled;
    return true;
}

}  // namespace

bool read_numbers(PyObject* obj, double* out, Py_ssize_t capacity, Py_ssize_t& count) {
    return read(obj, out, capacity, count);
}

bool read_numbers(PyObject* obj, float* out, Py_ssize_t capacity, Py_ssize_t& count) {
    return read(obj, out, capacity, count);
}

void set_length_error(const char* name, Py_ssize_t expected, Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "%s must hold %zd values, not %zd", name, expected, got);
}

}  // namespace kestrel::py
