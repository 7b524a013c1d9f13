#include "kestrel/boundary.hpp"

#include <openssl/crypto.h>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrel {

namespace {

constexpr std::size_t kSlotMask = NONCE_WINDOW - 1;

// A nonce as its three 4-byte words, the unit of the ring's planes.
using NonceWords = std::array<std::uint32_t, 3>;

NonceWords words_of(const Nonce& nonce) noexcept {
    NonceWords w;
    std::memcpy(w.data(), nonce.data(), NONCE_LEN);
    return w;
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

Nonce BoundaryInterceptor::recent_nonce(std::size_t slot) const noexcept {
    NonceWords w;
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = nonce_words_[i][slot & kSlotMask];
    Nonce nonce;
    std::memcpy(nonce.data(), w.data(), NONCE_LEN);
    return nonce;
}

namespace {

// True iff any of the slots lo..hi-1 holds `wanted`; looks at the highest
// (newest) slots first. Each slot is compared on all three words, and only
// the combined result of a group of slots reaches a branch.
bool any_slot_equals(const std::array<std::array<std::uint32_t, NONCE_WINDOW>, 3>& planes,
                     const NonceWords& wanted, std::size_t lo, std::size_t hi) noexcept {
#if defined(__SSE2__)
    // Four slots per step: the three word compares of a slot are ANDed, so a
    // lane is all ones exactly when its whole nonce matches.
    const __m128i w0 = _mm_set1_epi32(static_cast<int>(wanted[0]));
    const __m128i w1 = _mm_set1_epi32(static_cast<int>(wanted[1]));
    const __m128i w2 = _mm_set1_epi32(static_cast<int>(wanted[2]));
    auto load = [&](std::size_t plane, std::size_t slot) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[plane].data() + slot));
    };
    while (hi - lo >= 4) {
        hi -= 4;
        const __m128i match = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi32(load(0, hi), w0),
                                                          _mm_cmpeq_epi32(load(1, hi), w1)),
                                            _mm_cmpeq_epi32(load(2, hi), w2));
        if (_mm_movemask_epi8(match) != 0) return true;
    }
#endif
    while (hi > lo) {
        --hi;
        std::uint32_t diff = (planes[0][hi] ^ wanted[0]) | (planes[1][hi] ^ wanted[1]) | (planes[2][hi] ^ wanted[2]);
        __asm__("" : "+r"(diff));  // one test of all twelve bytes, never three early-outs
        if (diff == 0) return true;
    }
    return false;
}

}  // namespace

bool BoundaryInterceptor::nonce_seen(const Nonce& nonce) const noexcept {
    const NonceWords wanted = words_of(nonce);
    // Newest first: slots next_slot_ - 1 down to 0, then from 1023 down,
    // until nonce_count_ slots have been compared. Two plain descending runs,
    // so the hot loop needs no index masking.
    const std::size_t recent_run = next_slot_ < nonce_count_ ? next_slot_ : nonce_count_;
    const std::size_t wrapped_run = nonce_count_ - recent_run;
    return any_slot_equals(nonce_words_, wanted, next_slot_ - recent_run, next_slot_) ||
           any_slot_equals(nonce_words_, wanted, NONCE_WINDOW - wrapped_run, NONCE_WINDOW);
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
    const NonceWords words = words_of(receipt.nonce);
    for (std::size_t i = 0; i < words.size(); ++i) nonce_words_[i][next_slot_] = words[i];
    next_slot_ = (next_slot_ + 1) & kSlotMask;
    if (nonce_count_ < NONCE_WINDOW) ++nonce_count_;
    return SecurityError::Ok;
}

bool BoundaryInterceptor::same_state(const BoundaryInterceptor& other) const noexcept {
    return key_ == other.key_ && nonce_words_ == other.nonce_words_ && next_slot_ == other.next_slot_ &&
           nonce_count_ == other.nonce_count_ && last_sequence_id_ == other.last_sequence_id_;
}

}  // namespace kestrel
