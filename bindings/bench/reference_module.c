/* Baselines for the module benchmarks: the cheapest possible C code for the
 * same Python-facing work, so that the module's overhead can be read as a
 * ratio. Built only for benchmarking; never shipped. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* new_float(x): one METH_O argument, read as an exact float, returned as a new float. */
static PyObject *new_float(PyObject *self, PyObject *arg) {
    (void)self;
    if (!PyFloat_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "float required");
        return NULL;
    }
    return PyFloat_FromDouble(PyFloat_AS_DOUBLE(arg));
}

/* new_floats(list): reads each float of a list and returns a list of new floats. */
static PyObject *new_floats(PyObject *self, PyObject *arg) {
    (void)self;
    if (!PyList_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "list required");
        return NULL;
    }
    Py_ssize_t n = PyList_GET_SIZE(arg);
    PyObject *out = PyList_New(n);
    if (out == NULL) return NULL;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(arg, i);
        double value = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            Py_DECREF(out);
            return NULL;
        }
        PyObject *f = PyFloat_FromDouble(value);
        if (f == NULL) {
            Py_DECREF(out);
            return NULL;
        }
        PyList_SET_ITEM(out, i, f);
    }
    return out;
}

static PyMethodDef methods[] = {
    {"new_float", new_float, METH_O, "Return a new float equal to the argument."},
    {"new_floats", new_floats, METH_O, "Return a list of new floats equal to the list's floats."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_kestrel_bench_reference",
                                        "Benchmark baselines.", -1, methods};

PyMODINIT_FUNC PyInit__kestrel_bench_reference(void) { return PyModule_Create(&definition); }
