// The module's classes. Each getter returns the class's type object, created
// on first use and kept for the life of the process, or nullptr with the
// type creation's exception set.
#pragma once

#include "py_ref.hpp"

namespace kestrel::py {

PyTypeObject* boundary_type();   // KestrelBoundary
PyTypeObject* receipt_type();    // KestrelReceipt
PyTypeObject* violation_type();  // KestrelViolation
PyTypeObject* counter_type();    // MonotonicCounter
PyTypeObject* governor_type();   // Governor

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
