// What every class and module of the extensions shares: heap types created
// once from their specs, their deallocation, and the one interpreter that may
// own a module.
#pragma once

#include <atomic>
#include <cstdint>

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

// claim_interpreter makes the calling interpreter the owner of a module kept
// in `owner` (-1: no owner yet) for good, and returns true; false with
// ImportError set when another interpreter owns it. Module objects of these
// extensions are process-wide, so a sub-interpreter cannot have its own.
bool claim_interpreter(std::atomic<std::int64_t>& owner, const char* module_name);

}  // namespace kestrel::py
