#include "rows.hpp"

#include "vector.hpp"

namespace kestrel::py::native {

bool convert_rows(const Signature& sig, std::size_t rows_index, PyObject* const* slots, LinearConstraints4& out) {
    out = LinearConstraints4{};
    Py_ssize_t count = 0;
    if (PyObject* given = slots[rows_index]; given != nullptr) {
        // A list or tuple is read in place, other sequences from a tuple copy.
        const bool in_place = PyList_CheckExact(given) || PyTuple_CheckExact(given);
        const Ref rows(in_place
                           ? Ref::borrow(given)
                           : Ref(PyBytes_Check(given) || PyByteArray_Check(given) ? nullptr : PySequence_Tuple(given)));
        if (!rows) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "argument '%s': must be a sequence of rows, not '%s'",
                             sig.names[rows_index], type_name(given));
            }
            return false;
        }
        // Converting a row may run Python code that changes a list: its size
        // is read again at every step and the row is held while it is read.
        for (; count < Py_SIZE(rows.get()); ++count) {
            if (count == 4) {
                PyErr_Format(PyExc_ValueError, "at most 4 rows, not %zd", Py_SIZE(rows.get()));
                return false;
            }
            const Ref row_object = Ref::borrow(PyList_Check(rows.get()) ? PyList_GET_ITEM(rows.get(), count)
                                                                        : PyTuple_GET_ITEM(rows.get(), count));
            Vector<float, 4> row;
            if (!argument(sig, rows_index, row_object.get(), row)) return false;
            if (row.count != 4) {
                PyErr_Format(PyExc_ValueError, "%s[%zd] must hold 4 values, not %zd", sig.names[rows_index], count,
                             row.count);
                return false;
            }
            for (int k = 0; k < 4; ++k) out.coefficients[count][k] = row.values[k];
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
