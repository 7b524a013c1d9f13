// What the two Python faces of the core's Boundary (_kestrel.KestrelBoundary
// and kestrel.Boundary) share, so that they cannot drift apart: the limits of
// a boundary built without its own, the key rules, and the one answer to each
// outcome of Boundary::authorize.
#pragma once

#include <cstdint>
#include <string_view>

#include "boundary/boundary.hpp"
#include "kestrel_error.h"
#include "keys/key.hpp"
#include "py_ref.hpp"

// KESTREL_PY_TEXT(x) is the text of a macro's value, for a docstring.
#define KESTREL_PY_TEXT_OF(x) #x
#define KESTREL_PY_TEXT(x)    KESTREL_PY_TEXT_OF(x)

// The defaults as a text signature prints them: "rate_limit=1000, max_velocity_rad_s=4.18".
// clang-format off
#define KESTREL_PY_BOUNDARY_LIMITS                                      \
    "rate_limit=" KESTREL_PY_TEXT(KESTREL_BOUNDARY_DEFAULT_RATE_LIMIT)  \
    ", max_velocity_rad_s=" KESTREL_PY_TEXT(KESTREL_BOUNDARY_DEFAULT_MAX_VELOCITY)
// clang-format on

namespace kestrel::py {

// refuse_argument raises ValueError "<argument>: <the catalogue's message of
// error>", the one text of a key or value the core refuses, e.g.
// "hmac_key: key must be 32 bytes". Always returns nullptr.
PyObject* refuse_argument(const char* argument, KestrelError error);

// A key of 32 zero bytes is one anyone can guess: nothing signed or checked
// with it proves anything. A face refuses it, unless callers already depend
// on its being taken; then the face takes it with a RuntimeWarning.
enum class ZeroKey {
    refuse,  // ValueError "<argument>: a key of 32 zero bytes is refused: anyone can guess it"
    warn,    // RuntimeWarning "<owner> <argument> is 32 zero bytes, a key anyone can guess: <consequence>"
};

// zero_key_rule applies the rule to `key`, given as `argument` to `owner`:
// true if the face may go on (the key is not all zero, or it was warned
// about); false with the exception set if it was refused, or if the warning
// was raised as an error (python -W error).
bool zero_key_rule(const Key& key, ZeroKey rule, const char* owner, const char* argument, const char* consequence);

// raise_violation sets a pending `violation` (KestrelViolation) with the
// arguments (axis, violation_type, message); the interpreter builds the
// object when it needs it, so `args` holds the same three values. Always
// returns nullptr.
PyObject* raise_violation(PyObject* violation, std::int32_t axis, std::string_view violation_type,
                          std::string_view message);

// kestrel_error_to_py_err raises the catalogue's row of `error` (code string
// and message) as `violation` for `axis`. Always returns nullptr.
// A `hint` (a sentence of the caller's, such as which keys a guard tried)
// follows the message.
PyObject* kestrel_error_to_py_err(PyObject* violation, std::int32_t axis, KestrelError error, const char* hint = "");

// The classes a boundary answers with, fetched before it is asked, so that
// nothing after a signature can fail for want of them.
struct AnswerClasses {
    PyObject* violation;    // KestrelViolation
    PyTypeObject* receipt;  // KestrelReceipt
};

// answer turns what Boundary::authorize came to, for a command of `velocity`
// to `axis`, into the caller's result: a new KestrelReceipt, or nullptr with
// the outcome's exception set (a velocity refusal names the limit that
// refused). An outcome it does not know is an internal fault.
PyObject* answer(const Authorization& a, std::int32_t axis, double velocity, const AnswerClasses& classes);

}  // namespace kestrel::py
