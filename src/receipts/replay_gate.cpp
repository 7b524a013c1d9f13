#include "receipts/replay_gate.hpp"

#include "receipts/constant_time.hpp"

namespace kestrel {

ReplayGate::ReplayGate(const Key& key) noexcept : primed_(key) {}

ReplayGate::ReplayGate(const Key& key, std::uint64_t last_sequence_id) noexcept
    : last_sequence_id_(last_sequence_id), primed_(key) {}

ReplayGate::~ReplayGate() = default;  // primed_ wipes itself

SecurityError ReplayGate::issue_receipt(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                                 std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                                 const Payload& payload, Receipt& out) const noexcept {
    return sign_receipt(primed_, nonce, timestamp_nanos, sequence_id, action_id, payload, out);
}

SecurityError ReplayGate::check_and_accept(std::span<const std::uint8_t> action_id,
                                                           const Payload& payload,
                                                           const Receipt& receipt) noexcept {
    const SecurityError error = check(action_id, payload, receipt);
    if (error == SecurityError::Ok) accept(receipt);
    return error;
}

SecurityError ReplayGate::check(std::span<const std::uint8_t> action_id, const Payload& payload,
                                         const Receipt& receipt) const noexcept {
    // 1. Sequence ids only grow; 0 is never newer than the initial 0.
    if (receipt.sequence_id <= last_sequence_id_) return SecurityError::ReplayCounter;

    // 2. A remembered nonce is a replay.
    if (recent_nonces_.contains(receipt.nonce)) return SecurityError::ReplayNonce;

    // 3. The tag the action should carry.
    MessageHasher hasher;
    if (const SecurityError error = MessageHasher::begin(primed_, receipt.nonce, receipt.timestamp_nanos,
                                                         receipt.sequence_id, action_id, hasher);
        error != SecurityError::Ok) {
        return error;
    }
    hasher.update(payload);

    // 4. All 32 bytes, in constant time.
    if (!constant_time_equal(hasher.finalize(), receipt.tag)) return SecurityError::AuthenticationFailure;
    return SecurityError::Ok;
}

void ReplayGate::accept(const Receipt& receipt) noexcept {
    last_sequence_id_ = receipt.sequence_id;
    recent_nonces_.insert(receipt.nonce);
}

bool ReplayGate::same_state(const ReplayGate& other) const noexcept {
    return primed_.same_key(other.primed_) && recent_nonces_ == other.recent_nonces_ &&
           last_sequence_id_ == other.last_sequence_id_;
}

}  // namespace kestrel
