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

bool claim_interpreter(std::atomic<std::int64_t>& owner, const char* module_name) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return false;
    }
    // The first interpreter to get here owns the module for good, even if a
    // later step of its import fails.
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it is already owned by another "
                     "interpreter of this process",
                     module_name);
        return false;
    }
    return true;
}

}  // namespace kestrel::py
