#include "kestrel/boundary.hpp"

#include <openssl/crypto.h>

#include <cstring>

namespace kestrel {

namespace {

constexpr std::size_t kSlotMask = NONCE_WINDOW - 1;

// A nonce as one 8-byte and one 4-byte word, so that a ring entry is compared
// with two XORs and an OR instead of twelve byte steps.
struct NonceWords {
    std::uint64_t low;
    std::uint32_t high;
};

NonceWords words_of(const Nonce& nonce) noexcept {
    NonceWords w;
    std::memcpy(&w.low, nonce.data(), 8);
    std::memcpy(&w.high, nonce.data() + 8, 4);
    return w;
}

// True iff the entry equals the nonce. All 12 bytes go into `diff` before the
// one branch on it; the empty asm keeps the compiler from splitting the test
// into two early-out comparisons.
bool entry_equals(const Nonce& entry, const NonceWords& nonce) noexcept {
    const NonceWords e = words_of(entry);
    std::uint64_t diff = (e.low ^ nonce.low) | std::uint64_t{e.high ^ nonce.high};
    __asm__("" : "+r"(diff));
    return diff == 0;
}

}  // namespace

BoundaryInterceptor::BoundaryInterceptor(const Key& key) noexcept : key_(key), primed_(key) {}

BoundaryInterceptor::~BoundaryInterceptor() { OPENSSL_cleanse(key_.data(), key_.size()); }  // primed_ wipes itself

SecurityError BoundaryInterceptor::issue_receipt(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                                 std::uint64_t sequence_id, std::span<const std::uint8_t> action_id,
                                                 const Payload& payload, Receipt& out) const noexcept {
    MessageHasher hasher;
    if (const SecurityError error =
            MessageHasher::begin(primed_, nonce, timestamp_nanos, sequence_id, action_id, hasher);
        error != SecurityError::Ok) {
        return error;
    }
    hasher.update(payload);
    // Built whole before the store, so that `out` may alias `nonce`.
    const Receipt receipt{nonce, timestamp_nanos, sequence_id, hasher.finalize()};
    out = receipt;
    return SecurityError::Ok;
}

bool BoundaryInterceptor::nonce_seen(const Nonce& nonce) const noexcept {
    const NonceWords wanted = words_of(nonce);
    // Newest first: next_slot_ - 1 down to 0, then from 1023 down, until
    // nonce_count_ entries have been compared. Two plain descending runs, so
    // the hot loop needs no index masking.
    const std::size_t recent_run = next_slot_ < nonce_count_ ? next_slot_ : nonce_count_;
    const std::size_t wrapped_run = nonce_count_ - recent_run;
    const Nonce* entry = recent_nonces_.data() + next_slot_;
    for (std::size_t k = 0; k < recent_run; ++k) {
        --entry;
        if (entry_equals(*entry, wanted)) return true;
    }
    entry = recent_nonces_.data() + NONCE_WINDOW;
    for (std::size_t k = 0; k < wrapped_run; ++k) {
        --entry;
        if (entry_equals(*entry, wanted)) return true;
    }
    return false;
}

SecurityError BoundaryInterceptor::intercept_and_authorize(std::span<const std::uint8_t> action_id,
                                                           const Payload& payload,
                                                           const Receipt& receipt) noexcept {
    // 1. Sequence ids only grow; 0 is never newer than the initial 0.
    if (receipt.sequence_id <= last_sequence_id_) return SecurityError::ReplayCounter;

    // 2. A remembered nonce is a replay.
    if (nonce_seen(receipt.nonce)) return SecurityError::ReplayNonce;

    // 3. The tag the action should carry.
    MessageHasher hasher;
    if (const SecurityError error = MessageHasher::begin(primed_, receipt.nonce, receipt.timestamp_nanos,
                                                         receipt.sequence_id, action_id, hasher);
        error != SecurityError::Ok) {
        return error;
    }
    hasher.update(payload);
    const Tag expected = hasher.finalize();

    // 4. All 32 bytes, in constant time.
    if (!constant_time_equal(expected, receipt.tag)) return SecurityError::AuthenticationFailure;

    // 5. Accept: nothing above has written to the interceptor.
    last_sequence_id_ = receipt.sequence_id;
    recent_nonces_[next_slot_] = receipt.nonce;
    next_slot_ = (next_slot_ + 1) & kSlotMask;
    if (nonce_count_ < NONCE_WINDOW) ++nonce_count_;
    return SecurityError::Ok;
}

bool BoundaryInterceptor::same_state(const BoundaryInterceptor& other) const noexcept {
    return key_ == other.key_ && recent_nonces_ == other.recent_nonces_ && next_slot_ == other.next_slot_ &&
           nonce_count_ == other.nonce_count_ && last_sequence_id_ == other.last_sequence_id_;
}

}  // namespace kestrel
