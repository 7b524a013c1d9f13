#include "receipts/security_error.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace kestrel {

namespace {

// Rows in code order: the row index is the code minus 1.
constexpr std::array<SecurityErrorText, 9> kCatalogue{{
    {"invalid_pointer", "null or misaligned pointer"},
    {"action_id_overflow", "action id exceeds maximum size"},
    {"payload_overflow", "payload exceeds maximum size"},
    {"invalid_receipt", "receipt is malformed"},
    {"invalid_key_length", "key must be 32 bytes"},
    {"authentication_failure", "HMAC verification failed"},
    {"replay_counter", "monotonic counter violation (replay)"},
    {"replay_nonce", "nonce reuse detected"},
    {"hardware_sha_unavailable", "hardware SHA unavailable"},
}};

}  // namespace

SecurityErrorText security_error_text(SecurityError error) noexcept {
    const auto code = static_cast<std::uint32_t>(error);
    if (code == 0 || code > kCatalogue.size()) {
        std::fprintf(stderr, "kestrel: internal fault: no catalogue entry for security error %u\n", code);
        std::abort();
    }
    return kCatalogue[code - 1];
}

}  // namespace kestrel
