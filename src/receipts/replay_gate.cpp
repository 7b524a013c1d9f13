#include "receipts/replay_gate.hpp"

namespace kestrel {

ReplayGate::ReplayGate(const Key& key) noexcept : primed_(key) {}

ReplayGate::ReplayGate(const Key& key, std::uint64_t last_sequence_id) noexcept
    : last_sequence_id_(last_sequence_id), primed_(key) {}

ReplayGate::~ReplayGate() = default;  // the primed states wipe themselves

void ReplayGate::rekey(const Key& key) noexcept {
    primed_.rekey(key);
    next_.forget();
    has_next_ = false;
}

void ReplayGate::add_key(const Key& key) noexcept {
    next_.rekey(key);
    // The current key as the next one is no rotation: held once, it would
    // wait for ever for a first receipt that only the current key ever gets.
    has_next_ = !next_.same_key(primed_);
    if (!has_next_) next_.forget();
}

KestrelError ReplayGate::issue_receipt(const Nonce& nonce, std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                                       std::span<const std::uint8_t> action_id, const Payload& payload,
                                       Receipt& out) const noexcept {
    return sign_receipt(primed_, nonce, timestamp_nanos, sequence_id, action_id, payload, out);
}

KestrelError ReplayGate::check_and_accept(std::span<const std::uint8_t> action_id, const Payload& payload,
                                          const Receipt& receipt) noexcept {
    KeySlot matched;
    const KestrelError error = check(action_id, payload, receipt, matched);
    if (error == KESTREL_OK) accept(receipt, matched);
    return error;
}

KestrelError ReplayGate::check(std::span<const std::uint8_t> action_id, const Payload& payload, const Receipt& receipt,
                               KeySlot& matched) const noexcept {
    // 1. Sequence ids only grow; 0 is never newer than the initial 0.
    if (receipt.sequence_id <= last_sequence_id_) return KESTREL_ERROR_REPLAY_COUNTER;

    // 2. A remembered nonce is a replay.
    if (recent_nonces_.contains(receipt.nonce)) return KESTREL_ERROR_REPLAY_NONCE;

    // 3. The tag, under the current key and then, during a rotation, the next.
    matched = KeySlot::Current;
    const KestrelError error = check_tag(primed_, action_id, payload, receipt);
    if (error != KESTREL_ERROR_AUTHENTICATION_FAILURE || !has_next_) return error;
    matched = KeySlot::Next;
    return check_tag(next_, action_id, payload, receipt);
}

void ReplayGate::accept(const Receipt& receipt, KeySlot matched) noexcept {
    last_sequence_id_ = receipt.sequence_id;
    recent_nonces_.insert(receipt.nonce);
    if (matched == KeySlot::Next && has_next_) {
        primed_.take(next_);  // the old key goes: overwritten, and next_ wiped
        has_next_ = false;
    }
}

bool ReplayGate::same_state(const ReplayGate& other) const noexcept {
    return primed_.same_key(other.primed_) && has_next_ == other.has_next_ &&
           (!has_next_ || next_.same_key(other.next_)) && recent_nonces_ == other.recent_nonces_ &&
           last_sequence_id_ == other.last_sequence_id_;
}

}  // namespace kestrel
