#include "types.hpp"

#include <cstdio>
#include <cstdlib>

#include "fault.hpp"

namespace kestrel::py {

void internal_fault(const char* what) noexcept {
    std::fprintf(stderr, "kestrel: internal fault: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

PyTypeObject* cached_type(PyObject*& cache, PyType_Spec& spec, PyObject* base) {
    if (cache == nullptr) cache = PyType_FromSpecWithBases(&spec, base);
    return reinterpret_cast<PyTypeObject*>(cache);
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* required_type(PyTypeObject* (*getter)(), const char* class_name) noexcept {
    PyTypeObject* type = getter();
    if (type == nullptr) {
        PyErr_Print();
        std::fprintf(stderr, "kestrel: internal fault: cannot create the type object of %s\n", class_name);
        std::abort();
    }
    return type;
}

}  // namespace kestrel::py
