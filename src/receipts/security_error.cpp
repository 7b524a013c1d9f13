#include "receipts/security_error.hpp"

#include <cstdio>
#include <cstdlib>

#include "errors/error_catalogue.hpp"

namespace kestrel {

SecurityErrorText security_error_text(SecurityError error) noexcept {
    const auto code = static_cast<std::uint32_t>(error);
    if (code == 0 || code > static_cast<std::uint32_t>(SecurityError::HardwareShaUnavailable)) {
        std::fprintf(stderr, "kestrel: internal fault: no catalogue entry for security error %u\n", code);
        std::abort();
    }
    const ErrorText text = error_text(static_cast<KestrelError>(code));
    return {text.name, text.message};
}

}  // namespace kestrel
