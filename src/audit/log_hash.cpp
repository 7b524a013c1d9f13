#include "audit/log_hash.hpp"

#include <cstring>
#include <string_view>

#include "receipts/byte_order.hpp"

namespace kestrel::audit {

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view label) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(label.data()), label.size()};
}

// The key HMAC-SHA-256(key, label), primed.
void derive(HmacKeyState& out, const HmacKeyState& key, std::string_view label) noexcept {
    const Key derived{hmac_sha256(key, bytes_of(label))};
    out.rekey(derived);
}

}  // namespace

Fingerprint key_fingerprint(const Key& key) noexcept {
    const Tag tag = hmac_sha256(HmacKeyState(key), bytes_of("kestrel key fingerprint v1"));
    Fingerprint out;
    std::memcpy(out.data(), tag.data(), out.size());
    return out;
}

void SealKeys::rekey(const Key& key) noexcept {
    const HmacKeyState primed(key);
    derive(final_, primed, "kestrel receipt log seal");
    derive(checkpoint_, primed, "kestrel receipt log checkpoint");
    derive(rotation_, primed, "kestrel receipt log rotation");
}

Digest SealKeys::tag(SealKind kind, std::uint64_t lines, const Digest& digest, const Fingerprint& next) const noexcept {
    std::array<std::uint8_t, 8 + sha256::DIGEST_LEN + FINGERPRINT_LEN> message;
    byte_order::store_le64(message.data(), lines);
    std::memcpy(message.data() + 8, digest.data(), digest.size());
    std::memcpy(message.data() + 8 + digest.size(), next.data(), next.size());
    const std::span<const std::uint8_t> whole(message);
    switch (kind) {
        case SealKind::Final:
            return hmac_sha256(final_, whole.first(8 + sha256::DIGEST_LEN));
        case SealKind::Checkpoint:
            return hmac_sha256(checkpoint_, whole.first(8 + sha256::DIGEST_LEN));
        case SealKind::Rotation:
            break;
    }
    return hmac_sha256(rotation_, whole);
}

}  // namespace kestrel::audit
