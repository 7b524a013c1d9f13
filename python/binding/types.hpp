// What every class of the extensions shares: heap types created once from
// their specs, and their deallocation.
#pragma once

#include "py_ref.hpp"

namespace kestrel::py {

// Every class is immutable: no method or attribute of it can be replaced
// from Python, so what a call runs is what the module defined.
constexpr unsigned int kClassFlags = static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);

// cached_type creates a heap type from its spec once (the interpreter lock
// serialises callers) and hands out the same object afterwards.
PyTypeObject* cached_type(PyObject*& cache, PyType_Spec& spec, PyObject* base = nullptr);

// free_instance is the last step of every deallocator: it releases the
// object's memory, then the reference the instance held on its heap type.
void free_instance(PyObject* self) noexcept;

// required_type is for code that runs after the import, when a class that
// cannot be created is an internal fault rather than an input error.
PyTypeObject* required_type(PyTypeObject* (*getter)(), const char* class_name) noexcept;

}  // namespace kestrel::py
