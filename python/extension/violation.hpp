// Raising KestrelViolation from the authorization road.
#pragma once

#include <cstdint>
#include <string_view>

#include "receipts/security_error.hpp"
#include "py_ref.hpp"

namespace kestrel::py {

// raise_violation sets a pending KestrelViolation(axis, violation_type,
// message); the interpreter builds the object when it needs it, so `args`
// holds the same three values. Always returns nullptr.
PyObject* raise_violation(std::int32_t axis, std::string_view violation_type, std::string_view message);

// kestrel_error_to_py_err raises the catalogue entry of a security error
// (codes 1..9) for an axis. Always returns nullptr.
PyObject* kestrel_error_to_py_err(std::int32_t axis, SecurityError error);

}  // namespace kestrel::py
