// hmac: the tag of a receipt, HMAC-SHA-256 over one action.
//
// Every authorized action is bound to a Receipt whose tag is HMAC-SHA-256,
// under the 32-byte boundary key, over this length-prefixed message (integers
// u64 little-endian, no label, no version byte):
//
//   offset  size  field
//        0    12  nonce
//       12     8  timestamp_nanos
//       20     8  sequence_id
//       28     8  n = action id length, 0..64
//       36     n  action id bytes
//   36 + n     8  payload length, always 16
//   44 + n    16  payload
//
// The length prefix keeps "axis_1" and "axis_12" from sharing a message
// prefix. Only the SHA-256 compression comes from elsewhere (sha256.hpp: libcrypto
// or the portable code, chosen at build time); the padding and the HMAC
// construction around it are ours, so a holder of the key can recompute a tag
// with any standard HMAC-SHA-256.
//
// Nothing here allocates, keeps state between calls or throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "receipts/receipt.hpp"
#include "kestrel_error.h"
#include "receipts/sha256.hpp"

namespace kestrel {

// HmacKeyState: HMAC-SHA-256 keyed once. Holds the SHA-256 chaining values
// after the inner key block ((key || 32 zero bytes) XOR 0x36) and after the
// outer key block (same XOR 0x5c). Priming costs two compressions; a holder
// that hashes many messages under one key keeps this and pays them once.
// Knowing it is as good as knowing the key, so it cannot be copied and is
// wiped when it dies.
class HmacKeyState {
public:
    explicit HmacKeyState(const Key& key) noexcept;
    // No key: all zero, as after forget. Tags under it mean nothing.
    HmacKeyState() noexcept : inner_{}, outer_{} {}
    ~HmacKeyState();
    HmacKeyState(const HmacKeyState&) = delete;
    HmacKeyState& operator=(const HmacKeyState&) = delete;

    // rekey primes this state with `key` in place of the key it held.
    void rekey(const Key& key) noexcept;

    // take makes this state the one `other` held and wipes `other`: a key
    // moves without a third copy.
    void take(HmacKeyState& other) noexcept;

    // forget wipes the state: no key.
    void forget() noexcept;

    // same_key returns true iff both were primed with the same key (hold the
    // same chaining values). Every word of both is examined: the time is
    // independent of the keys.
    [[nodiscard]] bool same_key(const HmacKeyState& other) const noexcept;

private:
    friend class MessageHasher;
    friend Tag hmac_sha256(const HmacKeyState& key, std::span<const std::uint8_t> message) noexcept;
    sha256::ChainingValue inner_;
    sha256::ChainingValue outer_;
};

// MessageHasher: one HMAC-SHA-256 tag in progress, keyed and already holding
// the message header. Use: begin, update (the callers here pass the 16 payload
// bytes once), finalize. It lays the message out in its own buffer, pads it
// and hands whole blocks to the SHA-256 compression function, which is
// cheaper than a general-purpose hash's buffering. Not copyable, because until
// finalize its chaining values are as good as the key; it wipes them when it
// dies.
class MessageHasher {
public:
    MessageHasher() noexcept = default;
    ~MessageHasher();
    MessageHasher(const MessageHasher&) = delete;
    MessageHasher& operator=(const MessageHasher&) = delete;

    // begin starts a tag under a key primed in advance and absorbs the
    // message up to and including the payload length field. Returns
    // KESTREL_OK, or KESTREL_ERROR_ACTION_ID_OVERFLOW when action_id is longer than MAX_ACTION_ID_LEN, in
    // which case nothing is hashed and `out` is untouched. Time depends only
    // on the action id's length.
    [[nodiscard]] static KestrelError begin(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                            std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                            MessageHasher& out) noexcept;

    // update absorbs `bytes` into the inner hash. Requires a successful begin
    // and no finalize since.
    void update(std::span<const std::uint8_t> bytes) noexcept;

    // finalize returns the tag: SHA-256(outer key block || SHA-256(inner key
    // block || message)). Consumes the hasher: call it once, after begin.
    [[nodiscard]] Tag finalize() noexcept;

private:
    // The whole inner message of the longest action and its padding fit
    // three blocks, so a tag is laid out in place and compressed from there.
    static constexpr std::size_t kBufferLen = 3 * sha256::BLOCK_LEN;

    // Left uninitialised until begin: a tag is computed per action, and
    // zeroing 400 bytes first would cost as much as a tenth of it.
    sha256::ChainingValue inner_;                  // inner key block, then each compressed block
    sha256::ChainingValue outer_;                  // outer key block only, until finalize
    std::array<std::uint8_t, kBufferLen> buffer_;  // message bytes not yet compressed
    std::size_t pending_ = 0;                      // how many bytes of buffer_ hold message, < kBufferLen
    std::uint64_t absorbed_ = 0;                   // message bytes absorbed so far, key block not counted
};

// hmac_sha256 returns the standard HMAC-SHA-256 of `message` (any length)
// under the key `key` was primed with: for messages other than a receipt's
// (the receipt log's seals and key fingerprints). Time depends only on the
// message's length.
[[nodiscard]] Tag hmac_sha256(const HmacKeyState& key, std::span<const std::uint8_t> message) noexcept;

// sign_receipt computes the receipt of one action under `key`: the tag that
// begin, update with the payload and finalize give. This is the one function
// that says what a receipt's tag is; whoever checks a receipt recomputes it
// with check_tag. Returns KESTREL_OK and fills `out` with the given nonce,
// timestamp, sequence id and the tag; or KESTREL_ERROR_ACTION_ID_OVERFLOW
// (action id longer than 64 bytes) with `out` untouched. Checks nothing else, keeps no state. `out` may
// alias the nonce argument. Time depends only on the action id's length.
[[nodiscard]] KestrelError sign_receipt(const Key& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                        std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                        const Payload& payload, Receipt& out) noexcept;

// sign_receipt, from a key primed in advance: the same receipt as
// sign_receipt(key, ...) without the two key-block compressions, so a tag costs
// two or three inner compressions and one outer one. Time depends only on
// the action id's length.
[[nodiscard]] KestrelError sign_receipt(const HmacKeyState& key, const Nonce& nonce, std::uint64_t timestamp_nanos,
                                        std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                        const Payload& payload, Receipt& out) noexcept;

// check_tag is the one check of a receipt's tag: KESTREL_OK iff receipt.tag
// is the tag of the action (action_id, payload) with the receipt's nonce,
// timestamp and sequence id under `key`; KESTREL_ERROR_AUTHENTICATION_FAILURE
// otherwise; KESTREL_ERROR_ACTION_ID_OVERFLOW for an action id longer than 64
// bytes. The replay gate, kestrel_receipt_verify and KestrelReceipt.verify all
// call it. The tags are compared whole and in constant time
// (constant_time_equal); the time depends only on the action id's length.
[[nodiscard]] KestrelError check_tag(const HmacKeyState& key, std::span<const std::uint8_t> action_id,
                                     const Payload& payload, const Receipt& receipt) noexcept;

}  // namespace kestrel
