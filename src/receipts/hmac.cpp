#include "receipts/hmac.hpp"

#include <algorithm>
#include <cstring>

#include "receipts/byte_order.hpp"
#include "receipts/constant_time.hpp"

namespace kestrel {

namespace {

using byte_order::store_le64;
using sha256::finish;
using sha256::store_digest;

static_assert(sha256::DIGEST_LEN == TAG_LEN);

constexpr std::size_t kBlockLen = sha256::BLOCK_LEN;
constexpr std::uint64_t kPayloadLenField = PAYLOAD_LEN;

// Header: nonce, timestamp, sequence id, action id length, action id,
// payload length. Everything of the message but the payload.
constexpr std::size_t kHeaderFixedLen = NONCE_LEN + 8 + 8 + 8;
constexpr std::size_t kHeaderMaxLen = kHeaderFixedLen + MAX_ACTION_ID_LEN + 8;

// The chaining value of a SHA-256 state that has absorbed (key || 0^32) XOR
// pad.
void prime(sha256::ChainingValue& chain, const Key& key, std::uint8_t pad) noexcept {
    std::uint8_t block[kBlockLen];
    for (std::size_t i = 0; i < KESTREL_KEY_LEN; ++i) block[i] = static_cast<std::uint8_t>(key[i] ^ pad);
    std::memset(block + KESTREL_KEY_LEN, pad, kBlockLen - KESTREL_KEY_LEN);
    chain = sha256::INITIAL;
    sha256::compress(chain, block);
    wipe(block, sizeof block);
}

// Writes the header to `header` (room for kHeaderMaxLen bytes) and returns
// its length, so that the inner hash takes it in one piece.
std::size_t lay_out_header(std::uint8_t* header, const Nonce& nonce, std::uint64_t timestamp_nanos,
                           std::uint64_t sequence_id, std::span<const std::uint8_t> action_id) noexcept {
    std::memcpy(header, nonce.data(), NONCE_LEN);
    store_le64(header + 12, timestamp_nanos);
    store_le64(header + 20, sequence_id);
    store_le64(header + 28, action_id.size());
    if (!action_id.empty()) std::memcpy(header + kHeaderFixedLen, action_id.data(), action_id.size());
    store_le64(header + kHeaderFixedLen + action_id.size(), kPayloadLenField);
    return kHeaderFixedLen + action_id.size() + 8;
}

}  // namespace

HmacKeyState::HmacKeyState(const Key& key) noexcept { rekey(key); }

void HmacKeyState::rekey(const Key& key) noexcept {
    prime(inner_, key, 0x36);  // inner key: key XOR ipad
    prime(outer_, key, 0x5c);  // outer key: key XOR opad
}

void HmacKeyState::take(HmacKeyState& other) noexcept {
    inner_ = other.inner_;
    outer_ = other.outer_;
    other.forget();
}

void HmacKeyState::forget() noexcept {
    wipe(&inner_, sizeof inner_);
    wipe(&outer_, sizeof outer_);
}

bool HmacKeyState::same_key(const HmacKeyState& other) const noexcept {
    std::uint32_t difference = 0;  // every word of both states, no early exit
    for (std::size_t i = 0; i < inner_.h.size(); ++i) {
        difference |= (inner_.h[i] ^ other.inner_.h[i]) | (outer_.h[i] ^ other.outer_.h[i]);
    }
    return black_box(difference) == 0;
}

HmacKeyState::~HmacKeyState() { forget(); }

// The buffer holds the message and, after finalize, the inner digest: no
// use without the outer key, so only the chaining values are wiped.
MessageHasher::~MessageHasher() {
    wipe(&inner_, sizeof inner_);
    wipe(&outer_, sizeof outer_);
}

KestrelError MessageHasher::begin(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                  std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                  MessageHasher& out) noexcept {
    static_assert(kHeaderMaxLen <= kBufferLen);
    if (action_id.size() > MAX_ACTION_ID_LEN) return KESTREL_ERROR_ACTION_ID_OVERFLOW;
    out.inner_ = key.inner_;
    out.outer_ = key.outer_;
    out.pending_ = lay_out_header(out.buffer_.data(), nonce, timestamp_nanos, sequence_id, action_id);
    out.absorbed_ = out.pending_;
    return KESTREL_OK;
}

void MessageHasher::update(std::span<const std::uint8_t> bytes) noexcept {
    absorbed_ += bytes.size();
    while (!bytes.empty()) {
        const std::size_t take = std::min(bytes.size(), kBufferLen - pending_);
        std::memcpy(buffer_.data() + pending_, bytes.data(), take);
        bytes = bytes.subspan(take);
        pending_ += take;
        if (pending_ == kBufferLen) {
            for (std::size_t at = 0; at < kBufferLen; at += kBlockLen) sha256::compress(inner_, buffer_.data() + at);
            pending_ = 0;
        }
    }
}

Tag MessageHasher::finalize() noexcept {
    // Inner: SHA-256(ipad key || message); the key block counts in the length.
    const std::size_t whole = pending_ / kBlockLen * kBlockLen;
    for (std::size_t at = 0; at < whole; at += kBlockLen) sha256::compress(inner_, buffer_.data() + at);
    finish(inner_, buffer_.data() + whole, pending_ - whole, kBlockLen + absorbed_);
    // Outer: SHA-256(opad key || inner digest), one block.
    store_digest(inner_, buffer_.data());
    finish(outer_, buffer_.data(), TAG_LEN, kBlockLen + TAG_LEN);
    Tag tag;
    store_digest(outer_, tag.data());
    return tag;
}

Tag hmac_sha256(const HmacKeyState& key, std::span<const std::uint8_t> message) noexcept {
    // Inner: SHA-256(ipad key || message), from the primed key block on.
    sha256::Running inner(key.inner_, kBlockLen);
    inner.update(message.data(), message.size());
    const sha256::Digest inner_digest = inner.digest();
    // Outer: SHA-256(opad key || inner digest).
    sha256::Running outer(key.outer_, kBlockLen);
    outer.update(inner_digest.data(), inner_digest.size());
    const Tag tag = outer.digest();
    wipe(&inner, sizeof inner);  // each started from a key block: as good as the key
    wipe(&outer, sizeof outer);
    return tag;
}

KestrelError sign_receipt(const Key& key, const Nonce& nonce, std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                          std::span<const std::uint8_t> action_id, const Payload& payload, Receipt& out) noexcept {
    // Refuse before any key block is hashed.
    if (action_id.size() > MAX_ACTION_ID_LEN) return KESTREL_ERROR_ACTION_ID_OVERFLOW;
    const HmacKeyState primed(key);
    return sign_receipt(primed, nonce, timestamp_nanos, sequence_id, action_id, payload, out);
}

KestrelError sign_receipt(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                          std::uint64_t sequence_id, std::span<const std::uint8_t> action_id, const Payload& payload,
                          Receipt& out) noexcept {
    MessageHasher hasher;
    if (const KestrelError error = MessageHasher::begin(key, nonce, timestamp_nanos, sequence_id, action_id, hasher);
        error != KESTREL_OK) {
        return error;
    }
    hasher.update(payload);
    // Built whole before the store, so that `out` may alias `nonce`.
    const Receipt receipt{nonce, timestamp_nanos, sequence_id, hasher.finalize()};
    out = receipt;
    return KESTREL_OK;
}

KestrelError check_tag(const HmacKeyState& key, std::span<const std::uint8_t> action_id, const Payload& payload,
                       const Receipt& receipt) noexcept {
    // The hasher directly, not sign_receipt: no receipt is built, which keeps
    // a guard's check within the chip's stack.
    MessageHasher hasher;
    if (const KestrelError error =
            MessageHasher::begin(key, receipt.nonce, receipt.timestamp_nanos, receipt.sequence_id, action_id, hasher);
        error != KESTREL_OK) {
        return error;
    }
    hasher.update(payload);
    return constant_time_equal(hasher.finalize(), receipt.tag) ? KESTREL_OK : KESTREL_ERROR_AUTHENTICATION_FAILURE;
}

}  // namespace kestrel
