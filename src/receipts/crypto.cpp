#include "receipts/crypto.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace kestrel {

namespace {

// The low-level SHA256_* calls are deprecated in OpenSSL 3 in favour of
// EVP_MD_CTX, which lives on the heap; we need the state as a plain value
// (no allocation per tag, and a key-primed state that can be copied), so the
// deprecation is silenced here and only here. libcrypto still dispatches to
// the CPU's SHA instructions behind these calls.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

void sha_start(SHA256_CTX& ctx) noexcept { SHA256_Init(&ctx); }

// One compression of a 64-byte block into ctx.h, the chaining value; the
// rest of ctx (buffer, counts) is neither read nor written.
void sha_compress(SHA256_CTX& ctx, const std::uint8_t* block) noexcept { SHA256_Transform(&ctx, block); }

#pragma GCC diagnostic pop

static_assert(SHA256_DIGEST_LENGTH == TAG_LEN);
static_assert(SHA256_CBLOCK == 64, "HMAC key blocks are one SHA-256 block");

constexpr std::size_t kBlockLen = SHA256_CBLOCK;
constexpr std::uint64_t kPayloadLenField = PAYLOAD_LEN;

// Header: nonce, timestamp, sequence id, action id length, action id,
// payload length. Everything of the message but the payload.
constexpr std::size_t kHeaderFixedLen = NONCE_LEN + 8 + 8 + 8;
constexpr std::size_t kHeaderMaxLen = kHeaderFixedLen + MAX_ACTION_ID_LEN + 8;

// Message and wire integers are little-endian, as is every x86-64; the byte
// loops are for other hosts (GCC does not fold them into one store here).
void store_le64(std::uint8_t* out, std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, 8);
    } else {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// SHA-256 is big-endian: its length field and its output words.
void store_be64(std::uint8_t* out, std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}

void store_be32(std::uint8_t* out, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

std::uint64_t load_le64(const std::uint8_t* in) noexcept {
    std::uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, in, 8);
    } else {
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{in[i]} << (8 * i);
    }
    return v;
}

// The chaining value of a SHA-256 state that has absorbed (key || 0^32) XOR
// pad, in ctx.h.
void prime(SHA256_CTX& ctx, const Key& key, std::uint8_t pad) noexcept {
    std::uint8_t block[kBlockLen];
    for (std::size_t i = 0; i < KEY_LEN; ++i) block[i] = static_cast<std::uint8_t>(key[i] ^ pad);
    std::memset(block + KEY_LEN, pad, kBlockLen - KEY_LEN);
    sha_start(ctx);
    sha_compress(ctx, block);
    OPENSSL_cleanse(block, sizeof block);
}

// Writes the header to `header` (room for kHeaderMaxLen bytes) and returns
// its length, so that the inner hash takes it in one piece.
std::size_t lay_out_header(std::uint8_t* header, const Nonce& nonce,
                           std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                           std::span<const std::uint8_t> action_id) noexcept {
    std::memcpy(header, nonce.data(), NONCE_LEN);
    store_le64(header + 12, timestamp_nanos);
    store_le64(header + 20, sequence_id);
    store_le64(header + 28, action_id.size());
    if (!action_id.empty()) std::memcpy(header + kHeaderFixedLen, action_id.data(), action_id.size());
    store_le64(header + kHeaderFixedLen + action_id.size(), kPayloadLenField);
    return kHeaderFixedLen + action_id.size() + 8;
}

// Standard SHA-256 finishing of `block`, which holds the last `pending`
// (< 64) bytes of a stream of `total` bytes: 0x80, zeros, and the 8-byte
// big-endian bit length, in one block or, past 55 bytes, two.
void finish(SHA256_CTX& chain, std::uint8_t* block, std::size_t pending, std::uint64_t total) noexcept {
    block[pending++] = 0x80;
    if (pending > kBlockLen - 8) {
        std::memset(block + pending, 0, kBlockLen - pending);
        sha_compress(chain, block);
        pending = 0;
    }
    std::memset(block + pending, 0, kBlockLen - 8 - pending);
    store_be64(block + kBlockLen - 8, total * 8);
    sha_compress(chain, block);
}

// acc collects the XOR of every pair of 4-byte words; the strings are equal
// iff it ends as 0. acc | -acc has its top bit set exactly when acc != 0;
// that bit is the only thing that reaches a branch.
template <std::size_t N>
bool equal_bytes(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b) noexcept {
    static_assert(N % 4 == 0, "compared in whole 4-byte words");
    std::uint32_t acc = 0;
    for (std::size_t i = 0; i < N; i += 4) {
        std::uint32_t x;
        std::uint32_t y;
        std::memcpy(&x, a.data() + i, 4);
        std::memcpy(&y, b.data() + i, 4);
        acc = black_box(acc | (x ^ y));
    }
    return black_box(((acc | (0u - acc)) >> 31) ^ 1u) == 1;
}

}  // namespace

ReceiptWire Receipt::to_wire() const noexcept {
    ReceiptWire wire;
    std::memcpy(wire.data(), nonce.data(), NONCE_LEN);
    store_le64(wire.data() + 12, timestamp_nanos);
    store_le64(wire.data() + 20, sequence_id);
    std::memcpy(wire.data() + 28, tag.data(), TAG_LEN);
    return wire;
}

Receipt Receipt::from_wire(const ReceiptWire& wire) noexcept {
    Receipt r;
    std::memcpy(r.nonce.data(), wire.data(), NONCE_LEN);
    r.timestamp_nanos = load_le64(wire.data() + 12);
    r.sequence_id = load_le64(wire.data() + 20);
    std::memcpy(r.tag.data(), wire.data() + 28, TAG_LEN);
    return r;
}

HmacKeyState::HmacKeyState(const Key& key) noexcept {
    prime(inner_, key, 0x36);  // inner key: key XOR ipad
    prime(outer_, key, 0x5c);  // outer key: key XOR opad
}

bool HmacKeyState::same_key(const HmacKeyState& other) const noexcept {
    return std::memcmp(inner_.h, other.inner_.h, sizeof inner_.h) == 0 &&
           std::memcmp(outer_.h, other.outer_.h, sizeof outer_.h) == 0;
}

HmacKeyState::~HmacKeyState() {
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
}

// The buffer holds the message and, after finalize, the inner digest: no
// use without the outer key, so only the chaining values are wiped.
MessageHasher::~MessageHasher() {
    OPENSSL_cleanse(inner_.h, sizeof inner_.h);
    OPENSSL_cleanse(outer_.h, sizeof outer_.h);
}

SecurityError MessageHasher::begin(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                   std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                   MessageHasher& out) noexcept {
    static_assert(kHeaderMaxLen <= kBufferLen);
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    std::memcpy(out.inner_.h, key.inner_.h, sizeof out.inner_.h);
    std::memcpy(out.outer_.h, key.outer_.h, sizeof out.outer_.h);
    out.pending_ = lay_out_header(out.buffer_.data(), nonce, timestamp_nanos, sequence_id, action_id);
    out.absorbed_ = out.pending_;
    return SecurityError::Ok;
}

void MessageHasher::update(std::span<const std::uint8_t> bytes) noexcept {
    absorbed_ += bytes.size();
    while (!bytes.empty()) {
        const std::size_t take = std::min(bytes.size(), kBufferLen - pending_);
        std::memcpy(buffer_.data() + pending_, bytes.data(), take);
        bytes = bytes.subspan(take);
        pending_ += take;
        if (pending_ == kBufferLen) {
            for (std::size_t at = 0; at < kBufferLen; at += kBlockLen) sha_compress(inner_, buffer_.data() + at);
            pending_ = 0;
        }
    }
}

Tag MessageHasher::finalize() noexcept {
    // Inner: SHA-256(ipad key || message); the key block counts in the length.
    const std::size_t whole = pending_ / kBlockLen * kBlockLen;
    for (std::size_t at = 0; at < whole; at += kBlockLen) sha_compress(inner_, buffer_.data() + at);
    finish(inner_, buffer_.data() + whole, pending_ - whole, kBlockLen + absorbed_);
    // Outer: SHA-256(opad key || inner digest), one block.
    for (std::size_t i = 0; i < 8; ++i) store_be32(buffer_.data() + 4 * i, inner_.h[i]);
    finish(outer_, buffer_.data(), TAG_LEN, kBlockLen + TAG_LEN);
    Tag tag;
    for (std::size_t i = 0; i < 8; ++i) store_be32(tag.data() + 4 * i, outer_.h[i]);
    return tag;
}

SecurityError authorize(const Key& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                        std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                        const Payload& payload, Receipt& out) noexcept {
    // Refuse before any key block is hashed.
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    const HmacKeyState primed(key);
    return authorize(primed, nonce, timestamp_nanos, sequence_id, action_id, payload, out);
}

SecurityError authorize(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                        std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                        const Payload& payload, Receipt& out) noexcept {
    MessageHasher hasher;
    if (const SecurityError error = MessageHasher::begin(key, nonce, timestamp_nanos, sequence_id, action_id, hasher);
        error != SecurityError::Ok) {
        return error;
    }
    hasher.update(payload);
    // Built whole before the store, so that `out` may alias `nonce`.
    const Receipt receipt{nonce, timestamp_nanos, sequence_id, hasher.finalize()};
    out = receipt;
    return SecurityError::Ok;
}

bool constant_time_equal(const Tag& a, const Tag& b) noexcept { return equal_bytes(a, b); }

}  // namespace kestrel
