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

}  // namespace kestrel
