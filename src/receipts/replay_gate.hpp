// replay_gate: the replay rule, which every receipt passes on both sides.
//
// A ReplayGate holds a key (as primed HMAC states; on a receiver during a key
// rotation also the next key) and remembers the last accepted sequence id and the nonces of the last NONCE_WINDOW accepted
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
#include "kestrel_error.h"

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

    // Wipes the keys' primed HMAC states.
    ~ReplayGate();

    // Which key a receipt's tag matched.
    enum class KeySlot : std::uint8_t { Current, Next };

    // rekey signs and checks under `key` from now on, in place of the
    // current key; a next key is dropped. Sequence ids and nonces stay. For
    // the signing side, which switches at once.
    void rekey(const Key& key) noexcept;

    // add_key makes `key` the next key, replacing a next key given before:
    // check also accepts tags under it, and the first acceptance under it
    // makes it the current key (accept). The current key given again leaves
    // no next key (a next key given before is dropped, as any add_key
    // replaces it): key_count() is 1. For the receiving side.
    void add_key(const Key& key) noexcept;

    // 1, or 2 while a next key waits for its first receipt.
    [[nodiscard]] std::size_t key_count() const noexcept { return has_next_ ? 2 : 1; }

    // One fixed-size value that lives where it was built: the ring is inline
    // and the key must not be duplicated.
    ReplayGate(const ReplayGate&) = delete;
    ReplayGate& operator=(const ReplayGate&) = delete;

    // issue_receipt is sign_receipt() under this gate's current key:
    // KESTREL_OK with the receipt of the action in `out`, or
    // KESTREL_ERROR_ACTION_ID_OVERFLOW (action id longer
    // than 64 bytes) with `out` untouched. No replay check; changes nothing.
    // Costs no key-block compression. Time depends only on the action id's
    // length.
    [[nodiscard]] KestrelError issue_receipt(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                             std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                             const Payload& payload, Receipt& out) const noexcept;

    // check_and_accept accepts `receipt` for the action, or refuses it
    // with the first failing check, in this order:
    //   KESTREL_ERROR_REPLAY_COUNTER          receipt.sequence_id <= last_sequence_id()
    //   KESTREL_ERROR_REPLAY_NONCE            receipt.nonce equals a remembered nonce
    //   KESTREL_ERROR_ACTION_ID_OVERFLOW      action id longer than 64 bytes
    //   KESTREL_ERROR_AUTHENTICATION_FAILURE  receipt.tag is not the tag of the
    //                                         action under the current key, nor
    //                                         under the next key if there is one
    // A refusal changes nothing. An acceptance records the sequence id and
    // the nonce (overwriting the oldest once the ring is full), makes a next
    // key that the tag matched the current key, and returns KESTREL_OK.
    // Timing: the nonce check is NonceRing::contains (its time depends on
    // how many remembered nonces share the nonce's bucket; nonces are public);
    // the tag is compared in full and in constant time (check_tag), under the
    // next key only when the current key fails.
    [[nodiscard]] KestrelError check_and_accept(std::span<const std::uint8_t> action_id, const Payload& payload,
                                                const Receipt& receipt) noexcept;

    // check runs the checks of check_and_accept, in the same order and with
    // the same timing, and changes nothing; on KESTREL_OK `matched` says
    // which key the tag matched. With accept it lets a receiver add a rule of
    // its own (the guard's maximum age) between the tag and the acceptance.
    [[nodiscard]] KestrelError check(std::span<const std::uint8_t> action_id, const Payload& payload,
                                     const Receipt& receipt, KeySlot& matched) const noexcept;
    [[nodiscard]] KestrelError check(std::span<const std::uint8_t> action_id, const Payload& payload,
                                     const Receipt& receipt) const noexcept {
        KeySlot matched;
        return check(action_id, payload, receipt, matched);
    }

    // accept records `receipt` as check_and_accept does on success. Only for
    // a receipt that check has just passed, with no acceptance since, and the
    // key it matched.
    void accept(const Receipt& receipt, KeySlot matched = KeySlot::Current) noexcept;

    // The sequence id of the last accepted receipt; 0 before the first.
    [[nodiscard]] std::uint64_t last_sequence_id() const noexcept { return last_sequence_id_; }

    // How many ring entries hold accepted nonces: min(acceptances, 1024).
    [[nodiscard]] std::size_t nonce_count() const noexcept { return recent_nonces_.count(); }

    // Ring index the next accepted nonce goes to; the newest is one before.
    [[nodiscard]] std::size_t next_slot() const noexcept { return recent_nonces_.next_slot(); }

    // The nonce in ring slot `slot` (< NONCE_WINDOW); all zero if unused.
    [[nodiscard]] Nonce recent_nonce(std::size_t slot) const noexcept { return recent_nonces_.at(slot); }

    // same_state returns true iff both hold the same keys, ring, next_slot,
    // nonce_count and last_sequence_id. For tests and fuzzing: not
    // constant-time.
    [[nodiscard]] bool same_state(const ReplayGate& other) const noexcept;

private:
    NonceRing recent_nonces_;             // nonces of the last NONCE_WINDOW acceptances
    std::uint64_t last_sequence_id_ = 0;  // of the last acceptance; only grows
    HmacKeyState primed_;                 // the current key as primed HMAC states: the only copy kept
    HmacKeyState next_;                   // the next key while has_next_; wiped otherwise
    bool has_next_ = false;               // a next key waits for its first receipt
};

}  // namespace kestrel
