// security_testing: what the tests, the benchmark and the fuzz target of the
// security core share: fixed keys, nonces and a payload, and the
// authenticated message and its tag computed without this library (the
// message laid out byte by byte here, the HMAC by libcrypto's own HMAC()),
// so that they check the library instead of repeating it. Depends on no
// test framework.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "receipts/hmac.hpp"

namespace kestrel::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A key of its own for each seed.
inline Key test_key(std::uint8_t seed) {
    Key k;
    for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
    return k;
}

// A distinct nonce for each index, never all zero (an unused ring slot is).
inline Nonce test_nonce(std::uint32_t i) {
    Nonce n;
    n.fill(0xa5);
    std::memcpy(n.data(), &i, sizeof i);
    return n;
}

// Position 0.25 and velocity 1.5, as little-endian doubles.
inline constexpr Payload kTestPayload = {0, 0, 0, 0, 0, 0, 0xd0, 0x3f, 0, 0, 0, 0, 0, 0, 0xf8, 0x3f};

inline constexpr std::uint64_t kTestTimestamp = 1700000000123456789u;

// The message a receipt's tag covers: nonce, timestamp, sequence id, action
// id length, action id, payload length, payload; integers u64
// little-endian.
inline Bytes reference_message(const Nonce& nonce, std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                               std::span<const std::uint8_t> action_id, const Payload& payload) {
    Bytes m;
    m.reserve(nonce.size() + 4 * 8 + action_id.size() + payload.size());
    m.insert(m.end(), nonce.begin(), nonce.end());
    auto le64 = [&m](std::uint64_t v) {
        std::uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        m.insert(m.end(), b, b + 8);
    };
    le64(timestamp_nanos);
    le64(sequence_id);
    le64(action_id.size());
    m.insert(m.end(), action_id.begin(), action_id.end());
    le64(payload.size());
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

// HMAC-SHA-256 of `message` under `key`, by libcrypto. Aborts if libcrypto
// fails, which no test can recover from.
inline Tag reference_hmac(const Key& key, std::span<const std::uint8_t> message) {
    Tag tag{};
    unsigned int len = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(), tag.data(),
             &len) == nullptr ||
        len != tag.size()) {
        std::fprintf(stderr, "libcrypto HMAC failed\n");
        std::abort();
    }
    return tag;
}

// The tag a receipt for this action must carry under `key`.
inline Tag reference_tag(const Key& key, const Nonce& nonce, std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                         std::span<const std::uint8_t> action_id, const Payload& payload) {
    return reference_hmac(key, reference_message(nonce, timestamp_nanos, sequence_id, action_id, payload));
}

}  // namespace kestrel::testing
