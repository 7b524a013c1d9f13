// The catalogue of KestrelError values: each value's code string and fixed
// message, written once for the C API and the Python modules.
#pragma once

#include <string_view>

#include "kestrel_error.h"

namespace kestrel {

struct ErrorText {
    std::string_view name;     // the code string, as in the Python violation_type
    std::string_view message;  // the fixed English message
};

// error_text returns the catalogue row of error: the row of KESTREL_OK for 0,
// and the "unknown_error" row for a value the catalogue does not list. Both
// strings are NUL-terminated literals.
[[nodiscard]] ErrorText error_text(KestrelError error) noexcept;

// The longer messages of two refusals, for a face that has the values they
// name (the Python module), as printf formats:
//   velocity_exceeded: the commanded velocity, then the limit, in rad/s, each
//                      as the shortest decimal text that reads back the same
//   random_source:     the row's message, then the random source's own words
inline constexpr const char kVelocityExceededFormat[] =
    "commanded_velocity %.*s rad/s exceeds max_velocity_rad_s %.*s rad/s";
inline constexpr const char kRandomSourceFormat[] = "failed to generate nonce: %s";

}  // namespace kestrel
