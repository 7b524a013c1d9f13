#include "rows.hpp"

#include "vector.hpp"

namespace kestrel::py::native {

bool convert_rows(const Signature& sig, std::size_t rows_index, PyObject* const* slots, LinearConstraints4& out) {
    out = LinearConstraints4{};
    Py_ssize_t count = 0;
    if (PyObject* rows = slots[rows_index]; rows != nullptr) {
        // A tuple copy: converting a row may run Python code that changes a list.
        const Ref held(PyBytes_Check(rows) || PyByteArray_Check(rows) ? nullptr : PySequence_Tuple(rows));
        if (!held) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "argument '%s': must be a sequence of rows, not '%s'",
                             sig.names[rows_index], type_name(rows));
            }
            return false;
        }
        count = PyTuple_GET_SIZE(held.get());
        if (count > 4) {
            PyErr_Format(PyExc_ValueError, "at most 4 rows, not %zd", count);
            return false;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            Vector<float, 4> row;
            if (!argument(sig, rows_index, PyTuple_GET_ITEM(held.get(), i), row)) return false;
            if (row.count != 4) {
                PyErr_Format(PyExc_ValueError, "%s[%zd] must hold 4 values, not %zd", sig.names[rows_index], i,
                             row.count);
                return false;
            }
            for (int k = 0; k < 4; ++k) out.coefficients[i][k] = row.values[k];
        }
    }
    Vector<float, 4> limits;
    limits.count = 0;
    if (PyObject* given = slots[rows_index + 1]; given != nullptr) {
        if (!argument(sig, rows_index + 1, given, limits)) return false;
    }
    if (limits.count != count) {
        PyErr_Format(PyExc_ValueError, "%zd rows need %zd limits, not %zd", count, count, limits.count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out.limits[i] = limits.values[i];
    out.count = static_cast<std::uint64_t>(count);
    return true;
}

}  // namespace kestrel::py::native
