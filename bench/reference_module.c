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

/* new_float_kw(x): the same with the calling convention of a method whose
 * argument may also be passed by keyword (METH_FASTCALL | METH_KEYWORDS). */
static PyObject *new_float_kw(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs != 1 || kwnames != NULL) {
        PyErr_SetString(PyExc_TypeError, "one positional float required");
        return NULL;
    }
    return new_float(self, args[0]);
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

/* buffer_floats(obj): reads a 1-D buffer of native doubles or floats (any
 * stride) and returns a list of new floats; the floor of a buffer batch. */
static PyObject *buffer_floats(PyObject *self, PyObject *arg) {
    (void)self;
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return NULL;
    const int is_double = view.format[0] == 'd';
    if (view.ndim != 1 || (view.format[0] != 'd' && view.format[0] != 'f') || view.format[1] != '\0') {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_TypeError, "1-D buffer of 'd' or 'f' required");
        return NULL;
    }
    const Py_ssize_t n = view.shape[0];
    PyObject *out = PyList_New(n);
    if (out != NULL) {
        const char *at = view.buf;
        for (Py_ssize_t i = 0; i < n; i++, at += view.strides[0]) {
            const double value = is_double ? *(const double *)at : (double)*(const float *)at;
            PyObject *f = PyFloat_FromDouble(value);
            if (f == NULL) {
                Py_CLEAR(out);
                break;
            }
            PyList_SET_ITEM(out, i, f);
        }
    }
    PyBuffer_Release(&view);
    return out;
}

static PyMethodDef methods[] = {
    {"new_float", new_float, METH_O, "Return a new float equal to the argument."},
    {"new_float_kw", (PyCFunction)(void (*)(void))new_float_kw, METH_FASTCALL | METH_KEYWORDS,
     "Return a new float equal to the argument."},
    {"new_floats", new_floats, METH_O, "Return a list of new floats equal to the list's floats."},
    {"buffer_floats", buffer_floats, METH_O, "Return a list of new floats equal to a 1-D float buffer's."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_kestrel_bench_reference", "Benchmark baselines.", -1,
                                        methods};

PyMODINIT_FUNC PyInit__kestrel_bench_reference(void) { return PyModule_Create(&definition); }
