// replay_gate: the replay rule, which every receipt passes on both sides.
//
// A ReplayGate holds a key (as primed HMAC states) and remembers the last
// accepted sequence id and the nonces of the last NONCE_WINDOW accepted
// receipts. The signing boundary passes each receipt it issues through its
// gate before handing it out; a receiver's guard passes each presented one.
// It issues receipts (changing nothing) and accepts or refuses presented
// ones; only an acceptance changes it, and a refusal leaves it exactly as it
// was. It has no lock: the owner serialises calls (one writer, or readers
// only).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "receipts/hmac.hpp"
#include "receipts/nonce_ring.hpp"
#include "receipts/security_error.hpp"

namespace kestrel {

class ReplayGate {
public:
    // Starts empty: no accepted receipt, last_sequence_id 0, ring all zero.
    // Primes the HMAC states from the key once, here.
    explicit ReplayGate(const Key& key) noexcept;

    // Starts as if it had already accepted a receipt with `last_sequence_id`
    // (and remembers no nonce): it refuses every sequence id up to that one.
    // For a receiver that restarts from a persisted high-water mark.
    ReplayGate(const Key& key, std::uint64_t last_sequence_id) noexcept;

    // Wipes the key and the key-primed HMAC states.
    ~ReplayGate();

    // One fixed-size value that lives where it was built: the ring is inline
    // and the key must not be duplicated.
    ReplayGate(const ReplayGate&) = delete;
    ReplayGate& operator=(const ReplayGate&) = delete;

    // issue_receipt is sign_receipt() under this gate's key: Ok with the
    // receipt of the action in `out`, or ActionIdOverflow (action id longer
    // than 64 bytes) with `out` untouched. No replay check; changes nothing.
    // Costs no key-block compression. Time depends only on the action id's
    // length.
    [[nodiscard]] SecurityError issue_receipt(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                              std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                              const Payload& payload, Receipt& out) const noexcept;

    // check_and_accept accepts `receipt` for the action, or refuses it
    // with the first failing check, in this order:
    //   ReplayCounter          receipt.sequence_id <= last_sequence_id()
    //   ReplayNonce            receipt.nonce equals a remembered nonce
    //   ActionIdOverflow       action id longer than 64 bytes
    //   AuthenticationFailure  receipt.tag is not the tag of the action
    // A refusal changes nothing. An acceptance records the sequence id and
    // the nonce (overwriting the oldest once the ring is full) and returns Ok.
    // Timing: the nonce check is NonceRing::contains (a refusal for a reused
    // nonce reveals roughly how recently it was accepted; nonces are public);
    // the tag is compared in full and in constant time.
    [[nodiscard]] SecurityError check_and_accept(std::span<const std::uint8_t> action_id,
                                                        const Payload& payload, const Receipt& receipt) noexcept;

    // check runs the checks of check_and_accept, in the same order and
    // with the same timing, and changes nothing. With accept it lets a
    // receiver add a rule of its own (the guard's maximum age) between the
    // tag and the acceptance.
    [[nodiscard]] SecurityError check(std::span<const std::uint8_t> action_id, const Payload& payload,
                                      const Receipt& receipt) const noexcept;

    // accept records `receipt` as check_and_accept does on success.
    // Only for a receipt that check has just passed, with no acceptance since.
    void accept(const Receipt& receipt) noexcept;

    // The sequence id of the last accepted receipt; 0 before the first.
    [[nodiscard]] std::uint64_t last_sequence_id() const noexcept { return last_sequence_id_; }

    // How many ring entries hold accepted nonces: min(acceptances, 1024).
    [[nodiscard]] std::size_t nonce_count() const noexcept { return recent_nonces_.count(); }

    // Ring index the next accepted nonce goes to; the newest is one before.
    [[nodiscard]] std::size_t next_slot() const noexcept { return recent_nonces_.next_slot(); }

    // The nonce in ring slot `slot` (< NONCE_WINDOW); all zero if unused.
    [[nodiscard]] Nonce recent_nonce(std::size_t slot) const noexcept { return recent_nonces_.at(slot); }

    // same_state returns true iff both hold the same key, ring, next_slot,
    // nonce_count and last_sequence_id. For tests and fuzzing: not
    // constant-time.
    [[nodiscard]] bool same_state(const ReplayGate& other) const noexcept;

private:
    NonceRing recent_nonces_;             // nonces of the last NONCE_WINDOW acceptances
    std::uint64_t last_sequence_id_ = 0;  // of the last acceptance; only grows
    HmacKeyState primed_;                 // the boundary key as primed HMAC states: the only copy kept
};

}  // namespace kestrel
