#include "receipts/security_error.hpp"

#include "errors/error_catalogue.hpp"

namespace kestrel {

SecurityErrorText security_error_text(SecurityError error) noexcept {
    const auto code = static_cast<std::uint32_t>(error);
    // Whatever the value, a row: a wrong word in a message is no reason to
    // stop a receiver.
    const ErrorText text = error_text(static_cast<KestrelError>(code));
    return {text.name, text.message};
}

}  // namespace kestrel
