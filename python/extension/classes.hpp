// The module's classes. Each getter returns the class's type object, created
// on first use and kept for the life of the process, or nullptr with the
// type creation's exception set.
#pragma once

#include "types.hpp"

namespace kestrel::py {

PyTypeObject* boundary_type();   // KestrelBoundary
PyTypeObject* receipt_type();    // KestrelReceipt
PyTypeObject* violation_type();  // KestrelViolation
PyTypeObject* counter_type();    // MonotonicCounter
PyTypeObject* governor_type();   // Governor

}  // namespace kestrel::py
