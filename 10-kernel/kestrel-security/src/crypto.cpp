#include "kestrel/crypto.hpp"

#include <openssl/crypto.h>

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

void sha_absorb(SHA256_CTX& ctx, const std::uint8_t* data, std::size_t len) noexcept {
    SHA256_Update(&ctx, data, len);
}

// Standard SHA-256 finishing: padding and the bit length of everything
// absorbed, key block included.
void sha_finish(SHA256_CTX& ctx, std::uint8_t (&digest)[SHA256_DIGEST_LENGTH]) noexcept {
    SHA256_Final(digest, &ctx);
}

// One compression of a 64-byte block into ctx.h, the chaining value; the
// rest of ctx (buffer, counts) is neither read nor written.
void sha_compress(SHA256_CTX& ctx, const std::uint8_t* block) noexcept { SHA256_Transform(&ctx, block); }

#pragma GCC diagnostic pop

static_assert(SHA256_DIGEST_LENGTH == TAG_LEN);
static_assert(SHA256_CBLOCK == 64, "HMAC key blocks are one SHA-256 block");

constexpr std::size_t kBlockLen = 64;
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

// One SHA-256 state that has absorbed (key || 0^32) XOR pad.
void prime(SHA256_CTX& ctx, const Key& key, std::uint8_t pad) noexcept {
    std::uint8_t block[kBlockLen];
    for (std::size_t i = 0; i < KEY_LEN; ++i) block[i] = static_cast<std::uint8_t>(key[i] ^ pad);
    std::memset(block + KEY_LEN, pad, kBlockLen - KEY_LEN);
    sha_start(ctx);
    sha_absorb(ctx, block, kBlockLen);
    OPENSSL_cleanse(block, sizeof block);
}

// Writes the header to `header` (room for kHeaderMaxLen bytes) and returns
// its length, so that the inner hash takes it in one piece: the per-call
// overhead of SHA256_Update is worth more than the copy.
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

// The whole inner message of one tag, padded as SHA-256 pads it: at most
// 60 + 64 message bytes, then 0x80, zeros, and the 8-byte big-endian bit
// length of everything hashed (the key block included); three blocks at most.
constexpr std::size_t kMaxMessageLen = kHeaderMaxLen + PAYLOAD_LEN;
constexpr std::size_t kMaxInnerBlocks = (kMaxMessageLen + 1 + 8 + kBlockLen - 1) / kBlockLen;
static_assert(kMaxInnerBlocks == 3);

// Appends SHA-256 padding to the `len` bytes in `blocks` (zero from `len`
// on), counting `hashed_before` bytes already compressed; returns the number
// of whole blocks to compress.
std::size_t pad_blocks(std::uint8_t* blocks, std::size_t len, std::uint64_t hashed_before) noexcept {
    const std::size_t n = (len + 1 + 8 + kBlockLen - 1) / kBlockLen;
    blocks[len] = 0x80;
    store_be64(blocks + n * kBlockLen - 8, (hashed_before + len) * 8);
    return n;
}

// Ties an accumulator to a register the optimiser cannot look into, so it
// cannot reason about the value so far (and, say, stop the loop once it
// knows the outcome). Emits no instruction.
template <typename T>
inline void opaque(T& value) noexcept {
    __asm__("" : "+r"(value));
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
        acc |= x ^ y;
        opaque(acc);
    }
    const auto equal_bit = static_cast<std::uint8_t>(((acc | (0u - acc)) >> 31) ^ 1);
    return black_box(equal_bit) == 1;
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

HmacKeyState::~HmacKeyState() {
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
}

MessageHasher::~MessageHasher() {
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
}

SecurityError MessageHasher::begin(const Key& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                   std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                   MessageHasher& out) noexcept {
    // Refuse before any key block is hashed.
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    const HmacKeyState primed(key);
    return begin(primed, nonce, timestamp_nanos, sequence_id, action_id, out);
}

SecurityError MessageHasher::begin(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                   std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                   MessageHasher& out) noexcept {
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
    std::uint8_t header[kHeaderMaxLen];
    const std::size_t header_len = lay_out_header(header, nonce, timestamp_nanos, sequence_id, action_id);
    out.inner_ = key.inner_;
    out.outer_ = key.outer_;
    sha_absorb(out.inner_, header, header_len);
    return SecurityError::Ok;
}

void MessageHasher::update(std::span<const std::uint8_t> bytes) noexcept {
    if (!bytes.empty()) sha_absorb(inner_, bytes.data(), bytes.size());
}

Tag MessageHasher::finalize() noexcept {
    std::uint8_t inner_digest[SHA256_DIGEST_LENGTH];
    sha_finish(inner_, inner_digest);                        // SHA-256(ipad key || message)
    sha_absorb(outer_, inner_digest, sizeof inner_digest);  // outer: opad key || inner digest
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    sha_finish(outer_, digest);
    Tag tag;
    std::memcpy(tag.data(), digest, TAG_LEN);
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

// The same tag as begin / update / finalize, without their buffering: the
// message is laid out and padded here, so each block goes straight to the
// compression function. One chaining value does all the work and ends up
// holding the tag, so nothing key-derived is left in it to wipe.
SecurityError authorize(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                        std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                        const Payload& payload, Receipt& out) noexcept {
    if (action_id.size() > MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;

    // Inner: SHA-256(ipad key || message), from the primed inner state.
    std::uint8_t inner[kMaxInnerBlocks * kBlockLen] = {};
    std::size_t len = lay_out_header(inner, nonce, timestamp_nanos, sequence_id, action_id);
    std::memcpy(inner + len, payload.data(), PAYLOAD_LEN);
    len += PAYLOAD_LEN;
    const std::size_t inner_blocks = pad_blocks(inner, len, kBlockLen);
    SHA256_CTX chain;  // only chain.h is used
    std::memcpy(chain.h, key.inner_.h, sizeof chain.h);
    for (std::size_t b = 0; b < inner_blocks; ++b) sha_compress(chain, inner + b * kBlockLen);

    // Outer: SHA-256(opad key || inner digest), one block from the primed
    // outer state.
    std::uint8_t outer[kBlockLen] = {};
    for (std::size_t i = 0; i < 8; ++i) store_be32(outer + 4 * i, chain.h[i]);
    pad_blocks(outer, SHA256_DIGEST_LENGTH, kBlockLen);
    std::memcpy(chain.h, key.outer_.h, sizeof chain.h);
    sha_compress(chain, outer);

    // Built whole before the store, so that `out` may alias `nonce`.
    Receipt receipt{nonce, timestamp_nanos, sequence_id, {}};
    for (std::size_t i = 0; i < 8; ++i) store_be32(receipt.tag.data() + 4 * i, chain.h[i]);
    out = receipt;
    return SecurityError::Ok;
}

bool constant_time_equal(const Nonce& a, const Nonce& b) noexcept { return equal_bytes(a, b); }

bool constant_time_equal(const Tag& a, const Tag& b) noexcept { return equal_bytes(a, b); }

[[gnu::noinline]] std::uint8_t black_box(std::uint8_t value) noexcept {
    volatile std::uint8_t slot = value;
    return slot;
}

}  // namespace kestrel
