#include "audit/log_hash.hpp"

#include <cstring>
#include <string_view>

#include "receipts/byte_order.hpp"

namespace kestrel::audit {

namespace {

// The key HMAC-SHA-256(key, label), primed.
void derive(HmacKeyState& out, const HmacKeyState& key, std::string_view label) noexcept {
    const Key derived{hmac_sha256(key, {reinterpret_cast<const std::uint8_t*>(label.data()), label.size()})};
    out.rekey(derived);
}

}  // namespace

SealKeys::SealKeys(const Key& key) noexcept {
    const HmacKeyState primed(key);
    derive(final_, primed, "kestrel receipt log seal");
    derive(checkpoint_, primed, "kestrel receipt log checkpoint");
}

Digest SealKeys::tag(SealKind kind, std::uint64_t lines, const Digest& digest) const noexcept {
    std::array<std::uint8_t, 8 + sha256::DIGEST_LEN> message;
    byte_order::store_le64(message.data(), lines);
    std::memcpy(message.data() + 8, digest.data(), digest.size());
    return hmac_sha256(kind == SealKind::Final ? final_ : checkpoint_, message);
}

}  // namespace kestrel::audit
