// project_4d: the four-axis projection (kestrel_solve_multivar_4d) for Python.
#include "fault.hpp"
#include "rows.hpp"
#include "vector.hpp"

namespace kestrel::py::native {

namespace {

constexpr const char* kParams[] = {"u", "lower", "upper", "rows", "limits"};
constexpr Signature kSignature{"project_4d", kParams, 3};

// Converts slots[index] into exactly four single-precision numbers.
bool four(std::size_t index, PyObject* obj, float (&out)[4]) {
    Vector<float, 4> vector;
    if (!argument(kSignature, index, obj, vector)) return false;
    if (vector.count != 4) {
        set_length_error(kParams[index], 4, vector.count);
        return false;
    }
    for (int k = 0; k < 4; ++k) out[k] = vector.values[k];
    return true;
}

PyObject* project_4d(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5];
    if (!bind_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    float desired[4];
    Bounds4 bounds;
    LinearConstraints4 rows;
    if (!four(0, slots[0], desired) || !four(1, slots[1], bounds.lower) || !four(2, slots[2], bounds.upper) ||
        !convert_rows(kSignature, 3, slots, rows)) {
        return nullptr;
    }
    Solution4 solution;
    if (kestrel_solve_multivar_4d(desired, &bounds, &rows, &solution) != 0) {
        internal_fault("kestrel_solve_multivar_4d refused valid pointers");
    }
    PyObject* x[] = {PyFloat_FromDouble(solution.x[0]), PyFloat_FromDouble(solution.x[1]),
                     PyFloat_FromDouble(solution.x[2]), PyFloat_FromDouble(solution.x[3])};
    bool made = true;
    for (PyObject* item : x) made = made && item != nullptr;
    PyObject* items[] = {made ? PyTuple_Pack(4, x[0], x[1], x[2], x[3]) : nullptr,
                         PyLong_FromUnsignedLongLong(solution.iterations), solve_status(solution.status)};
    for (PyObject* item : x) Py_XDECREF(item);
    return new_named_tuple(&Imported::projection, items, 3);
}

}  // namespace

PyMethodDef kProjectionFunctions[] = {
    {"project_4d", as_method(project_4d), METH_FASTCALL | METH_KEYWORDS,
     "project_4d(u, lower, upper, rows=(), limits=())\n--\n\n"
     "Project the four-axis command `u` onto the box lower <= x <= upper cut by\n"
     "the rows rows[i] . x <= limits[i] (at most four rows of four coefficients,\n"
     "one limit per row) and return a Projection (x, iterations, SolveStatus).\n"
     "Vectors are sequences of numbers or 1-D float or double buffers (numpy\n"
     "arrays); numbers are narrowed to single precision on the way in, as the C\n"
     "kernel computes. ValueError for a vector that is not 4 long, more than four\n"
     "rows, or a number of limits other than the number of rows; TypeError for an\n"
     "argument of the wrong type. Keeps no state: safe to share between threads."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrel::py::native
