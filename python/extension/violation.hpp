// Raising KestrelViolation from the authorization road.
#pragma once

#include <cstdint>
#include <string_view>

#include "kestrel_error.h"
#include "py_ref.hpp"

namespace kestrel::py {

// raise_violation sets a pending KestrelViolation(axis, violation_type,
// message); the interpreter builds the object when it needs it, so `args`
// holds the same three values. Always returns nullptr.
PyObject* raise_violation(std::int32_t axis, std::string_view violation_type, std::string_view message);

// kestrel_error_to_py_err raises the catalogue entry (code string and
// message) of an error for an axis. Always returns nullptr.
PyObject* kestrel_error_to_py_err(std::int32_t axis, KestrelError error);

}  // namespace kestrel::py
