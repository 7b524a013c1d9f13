// One-dimensional buffers of native doubles or floats: the fast path of every
// vector argument, read without a Python object per element.
#pragma once

#include "py_ref.hpp"

#include <cstring>

namespace kestrel::py {

// A taken 1-D buffer of 'd' or 'f', any stride. The caller releases `view`.
struct FloatBuffer {
    Py_buffer view;
    bool is_double;

    Py_ssize_t size() const noexcept { return view.shape[0]; }
    // Element i, widened exactly when the buffer holds 32-bit floats.
    double at(Py_ssize_t i) const noexcept {
        const char* item = static_cast<const char*>(view.buf) + i * view.strides[0];
        if (is_double) {
            double wide;
            std::memcpy(&wide, item, sizeof wide);
            return wide;
        }
        float narrow;
        std::memcpy(&narrow, item, sizeof narrow);
        return narrow;
    }
};

// take_float_buffer takes `arg`'s buffer when it is a 1-D array of native 'd'
// or 'f' that iterates, in C, over exactly what its buffer holds
// (array.array, memoryview, numpy.ndarray), and returns true. Anything else
// is left to the sequence walk, which gives the same values element by
// element: this is only its fast path. A class that redefines iteration,
// indexing or its buffer in Python may yield other values than the buffer
// holds (a masked array does), so it is walked. Never leaves an exception set.
bool take_float_buffer(PyObject* arg, FloatBuffer& out);

}  // namespace kestrel::py
