// SecurityError: the error codes of the authorization core, values 1 to 9 of
// KestrelError (kestrel_error.h).
//
// The security core never raises; it returns one of these codes and leaves its
// state unchanged on failure. The Python bindings turn a code into a
// KestrelViolation whose violation_type is the code string of the catalogue.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrel {

enum class SecurityError : std::uint32_t {
    Ok = 0,
    InvalidPointer = 1,
    ActionIdOverflow = 2,
    PayloadOverflow = 3,
    InvalidReceipt = 4,
    InvalidKeyLength = 5,
    AuthenticationFailure = 6,
    ReplayCounter = 7,
    ReplayNonce = 8,
    HardwareShaUnavailable = 9,
};

// One row of the catalogue: the kind's code string and its fixed message.
struct SecurityErrorText {
    std::string_view code;
    std::string_view message;
};

// security_error_text returns the catalogue row of an error code 1..9, and
// the catalogue's own row ("ok", "unknown_error") for any other value.
[[nodiscard]] SecurityErrorText security_error_text(SecurityError error) noexcept;

}  // namespace kestrel
