// boundary: the gate every authorized action passes.
//
// A BoundaryInterceptor owns the boundary key and remembers the last accepted
// sequence id and the nonces of the last NONCE_WINDOW accepted receipts. It
// issues receipts (changing nothing) and accepts or refuses presented ones;
// only an acceptance changes it, and a refusal leaves it exactly as it was.
// It has no lock: the owner serialises calls (one writer, or readers only).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kestrel/crypto.hpp"
#include "kestrel/security_error.hpp"

namespace kestrel {

// Number of recently accepted nonces that are refused on reuse. Fixed.
inline constexpr std::size_t NONCE_WINDOW = 1024;
static_assert((NONCE_WINDOW & (NONCE_WINDOW - 1)) == 0, "ring indices wrap by masking");

class BoundaryInterceptor {
public:
    // Starts empty: no accepted receipt, last_sequence_id 0, ring all zero.
    // Primes the HMAC states from the key once, here.
    explicit BoundaryInterceptor(const Key& key) noexcept;

    // Wipes the key and the key-primed HMAC states.
    ~BoundaryInterceptor();

    // One fixed-size value that lives where it was built: the ring is inline
    // and the key must not be duplicated.
    BoundaryInterceptor(const BoundaryInterceptor&) = delete;
    BoundaryInterceptor& operator=(const BoundaryInterceptor&) = delete;

    // issue_receipt is authorize() under this interceptor's key: Ok with the
    // receipt of the action in `out`, or ActionIdOverflow (action id longer
    // than 64 bytes) with `out` untouched. No replay check; changes nothing.
    // Costs no key-block compression. Time depends only on the action id's
    // length.
    [[nodiscard]] SecurityError issue_receipt(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                              std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                              const Payload& payload, Receipt& out) const noexcept;

    // intercept_and_authorize accepts `receipt` for the action, or refuses it
    // with the first failing check, in this order:
    //   ReplayCounter          receipt.sequence_id <= last_sequence_id()
    //   ReplayNonce            receipt.nonce equals a remembered nonce
    //   ActionIdOverflow       action id longer than 64 bytes
    //   AuthenticationFailure  receipt.tag is not the tag of the action
    // A refusal changes nothing. An acceptance records the sequence id and
    // the nonce (overwriting the oldest once the ring is full) and returns Ok.
    // Timing: the nonces are compared newest first, in groups of up to 16
    // (the CPU's vector width), each in full and without a data-dependent
    // branch; the scan stops after the group holding the first match, so a
    // refusal for a reused nonce reveals roughly how recently it was
    // accepted. Every other outcome compares all nonce_count() entries. The
    // tag is compared in full and in constant time.
    [[nodiscard]] SecurityError intercept_and_authorize(std::span<const std::uint8_t> action_id,
                                                        const Payload& payload, const Receipt& receipt) noexcept;

    // The sequence id of the last accepted receipt; 0 before the first.
    [[nodiscard]] std::uint64_t last_sequence_id() const noexcept { return last_sequence_id_; }

    // How many ring entries hold accepted nonces: min(acceptances, 1024).
    [[nodiscard]] std::size_t nonce_count() const noexcept { return nonce_count_; }

    // Ring index the next accepted nonce goes to; the newest is one before.
    [[nodiscard]] std::size_t next_slot() const noexcept { return next_slot_; }

    // The nonce in ring slot `slot` (< NONCE_WINDOW); all zero if unused.
    [[nodiscard]] Nonce recent_nonce(std::size_t slot) const noexcept;

    // same_state returns true iff both hold the same key, ring, next_slot,
    // nonce_count and last_sequence_id. For tests and fuzzing: not
    // constant-time.
    [[nodiscard]] bool same_state(const BoundaryInterceptor& other) const noexcept;

private:
    // True iff `nonce` equals one of the nonce_count_ newest ring entries.
    [[nodiscard]] bool nonce_seen(const Nonce& nonce) const noexcept;

    // The ring of accepted nonces, 1024 entries of 12 bytes, stored as three
    // planes of 4-byte words: bytes 4w..4w+3 of the nonce in slot s are
    // nonce_words_[w][s]. Same 12 KiB as an array of 12-byte records, but the
    // scan can then compare four slots per vector instruction.
    using NoncePlane = std::array<std::uint32_t, NONCE_WINDOW>;

    Key key_;                                      // boundary key, the HMAC key
    std::array<NoncePlane, 3> nonce_words_{};      // the ring; zero where unused
    std::size_t next_slot_ = 0;                    // where the next accepted nonce goes, < 1024
    std::size_t nonce_count_ = 0;                  // entries holding accepted nonces, <= 1024
    std::uint64_t last_sequence_id_ = 0;           // of the last acceptance; only grows
    HmacKeyState primed_;                          // key_ as primed HMAC states, computed once
};

namespace detail {

// The ring's three planes of 4-byte words: bytes 4w..4w+3 of the nonce in
// slot s are planes[w][s].
using NoncePlanes = std::array<std::array<std::uint32_t, NONCE_WINDOW>, 3>;

// The ways this library can scan the ring, narrowest first: one slot per
// step, then 4, 8 and 16 slots per vector step. The interceptor uses the
// widest that slot_scan_runs_here; they are named here so that tests can run
// each one.
enum class SlotScan { Scalar, Sse2, Avx2, Avx512 };

// slot_scan_runs_here returns true iff this build has `scan` and the CPU and
// the OS can run it.
[[nodiscard]] bool slot_scan_runs_here(SlotScan scan) noexcept;

// any_slot_equals returns true iff one of the slots lo..hi-1 (lo <= hi <=
// NONCE_WINDOW) of `planes` holds the nonce whose words are `wanted`. It
// uses `scan`, which must run here. Slots are compared newest (highest)
// first, each on all three words, and only the combined result of one step's
// slots reaches a branch: it returns after the step holding the newest match.
[[nodiscard]] bool any_slot_equals(SlotScan scan, const NoncePlanes& planes, const std::array<std::uint32_t, 3>& wanted,
                                   std::size_t lo, std::size_t hi) noexcept;

}  // namespace detail

}  // namespace kestrel
