#include "receipts/nonce_ring.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
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

namespace {

using Planes = detail::NoncePlanes;

// The scans below all answer: does any of the slots lo..hi-1 hold `wanted`?
// They look at the highest (newest) slots first, compare every slot on all
// three words, and let only the combined result of a group of slots reach a
// branch, so they return after the group holding the newest match and give
// the same answer as a slot-by-slot scan. They differ only in group width.

// Portable: one slot per step. The first word alone settles almost every
// slot (two random nonces share it with probability 2^-32), so the other two
// are read only when it matches: a chip without vector instructions pays one
// load and one compare per remembered nonce. Nonces are public, so the early
// exits reveal nothing secret. Also the remainder of the vector scans.
bool any_slot_equals_scalar(const Planes& planes, const NonceWords& wanted, std::size_t lo, std::size_t hi) noexcept {
    const std::uint32_t first = wanted[0];
    const std::uint32_t* const firsts = planes[0].data();
    for (const std::uint32_t* slot = firsts + hi; slot != firsts + lo;) {
        if (*--slot != first) continue;
        const std::size_t s = static_cast<std::size_t>(slot - firsts);
        if (planes[1][s] == wanted[1] && planes[2][s] == wanted[2]) return true;
    }
    return false;
}

#if defined(__x86_64__)

// Baseline, on every x86-64: four slots per SSE2 step. The three word
// compares of a slot are ANDed, so a lane is all ones exactly when its whole
// nonce matches.
bool any_slot_equals_sse2(const Planes& planes, const NonceWords& wanted, std::size_t lo, std::size_t hi) noexcept {
    const __m128i w0 = _mm_set1_epi32(static_cast<int>(wanted[0]));
    const __m128i w1 = _mm_set1_epi32(static_cast<int>(wanted[1]));
    const __m128i w2 = _mm_set1_epi32(static_cast<int>(wanted[2]));
    while (hi - lo >= 4) {
        hi -= 4;
        const __m128i e0 = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&planes[0][hi])), w0);
        const __m128i e1 = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&planes[1][hi])), w1);
        const __m128i e2 = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&planes[2][hi])), w2);
        if (_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(e0, e1), e2)) != 0) return true;
    }
    return any_slot_equals_scalar(planes, wanted, lo, hi);
}

// Eight slots per AVX2 step; the last few slots go to the SSE2 scan.
__attribute__((target("avx2"))) bool any_slot_equals_avx2(const Planes& planes, const NonceWords& wanted,
                                                          std::size_t lo, std::size_t hi) noexcept {
    const __m256i w0 = _mm256_set1_epi32(static_cast<int>(wanted[0]));
    const __m256i w1 = _mm256_set1_epi32(static_cast<int>(wanted[1]));
    const __m256i w2 = _mm256_set1_epi32(static_cast<int>(wanted[2]));
    while (hi - lo >= 8) {
        hi -= 8;
        const __m256i e0 = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(&planes[0][hi])), w0);
        const __m256i e1 = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(&planes[1][hi])), w1);
        const __m256i e2 = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(&planes[2][hi])), w2);
        const __m256i match = _mm256_and_si256(_mm256_and_si256(e0, e1), e2);
        if (!_mm256_testz_si256(match, match)) return true;
    }
    return any_slot_equals_sse2(planes, wanted, lo, hi);
}

// Lanes of slots slot..slot+15 that hold the nonce w0 w1 w2, among the lanes
// in `live`; lanes outside `live` are neither loaded nor compared, so they may
// lie past the end of the ring.
__attribute__((target("avx512f"))) inline __mmask16 matching_lanes_avx512(const Planes& planes, __m512i w0, __m512i w1,
                                                                          __m512i w2, std::size_t slot,
                                                                          __mmask16 live) noexcept {
    return _mm512_mask_cmpeq_epi32_mask(live, _mm512_maskz_loadu_epi32(live, &planes[0][slot]), w0) &
           _mm512_mask_cmpeq_epi32_mask(live, _mm512_maskz_loadu_epi32(live, &planes[1][slot]), w1) &
           _mm512_mask_cmpeq_epi32_mask(live, _mm512_maskz_loadu_epi32(live, &planes[2][slot]), w2);
}

// Sixteen slots per AVX-512 step. A first, shorter step brings the loads to
// a 64-byte boundary (the three planes share their alignment), so that none
// of the full steps splits a cache line; a last, shorter step takes the
// oldest slots that are left.
__attribute__((target("avx512f"))) bool any_slot_equals_avx512(const Planes& planes, const NonceWords& wanted,
                                                               std::size_t lo, std::size_t hi) noexcept {
    const __m512i w0 = _mm512_set1_epi32(static_cast<int>(wanted[0]));
    const __m512i w1 = _mm512_set1_epi32(static_cast<int>(wanted[1]));
    const __m512i w2 = _mm512_set1_epi32(static_cast<int>(wanted[2]));
    auto first_lanes = [](std::size_t n) { return static_cast<__mmask16>((1u << n) - 1); };  // n < 16

    const std::size_t misaligned = (reinterpret_cast<std::uintptr_t>(planes[0].data() + hi) % 64) / 4;
    const std::size_t head = misaligned < hi - lo ? misaligned : hi - lo;
    if (head != 0) {
        hi -= head;
        if (matching_lanes_avx512(planes, w0, w1, w2, hi, first_lanes(head)) != 0) return true;
    }
    while (hi - lo >= 16) {
        hi -= 16;
        if (matching_lanes_avx512(planes, w0, w1, w2, hi, 0xffff) != 0) return true;
    }
    return hi != lo && matching_lanes_avx512(planes, w0, w1, w2, lo, first_lanes(hi - lo)) != 0;
}

#endif  // __x86_64__

using ScanFunction = bool (*)(const Planes&, const NonceWords&, std::size_t, std::size_t) noexcept;

ScanFunction scan_function(detail::SlotScan scan) noexcept {
    switch (scan) {
#if defined(__x86_64__)
        case detail::SlotScan::Sse2:
            return any_slot_equals_sse2;
        case detail::SlotScan::Avx2:
            return any_slot_equals_avx2;
        case detail::SlotScan::Avx512:
            return any_slot_equals_avx512;
#endif
        default:
            return any_slot_equals_scalar;
    }
}

#if defined(__x86_64__)

// The widest scan this CPU (and its OS) runs.
ScanFunction widest_scan() noexcept {
    for (const detail::SlotScan scan : {detail::SlotScan::Avx512, detail::SlotScan::Avx2, detail::SlotScan::Sse2}) {
        if (detail::slot_scan_runs_here(scan)) return scan_function(scan);
    }
    return any_slot_equals_scalar;
}

// The scan the replay gate uses, chosen on first use and kept.
bool any_slot_equals(const Planes& planes, const NonceWords& wanted, std::size_t lo, std::size_t hi) noexcept {
    static const ScanFunction scan = widest_scan();
    return scan(planes, wanted, lo, hi);
}

#else

// Elsewhere the portable scan is the only one. Nothing is chosen at run time,
// so there is no guarded local static, whose lock would pull the C++
// runtime, abort and the heap into a firmware.
bool any_slot_equals(const Planes& planes, const NonceWords& wanted, std::size_t lo, std::size_t hi) noexcept {
    return any_slot_equals_scalar(planes, wanted, lo, hi);
}

#endif

}  // namespace

namespace detail {

bool slot_scan_runs_here(SlotScan scan) noexcept {
    switch (scan) {
        case SlotScan::Scalar:
            return true;
#if defined(__x86_64__)
        case SlotScan::Sse2:
            return true;  // part of x86-64 itself
        case SlotScan::Avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
        case SlotScan::Avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f");
#endif
        default:
            return false;
    }
}

bool any_slot_equals(SlotScan scan, const NoncePlanes& planes, const std::array<std::uint32_t, 3>& wanted,
                     std::size_t lo, std::size_t hi) noexcept {
    return scan_function(scan)(planes, wanted, lo, hi);
}

}  // namespace detail

bool NonceRing::contains(const Nonce& nonce) const noexcept {
    const NonceWords wanted = words_of(nonce);
    // Newest first: slots next_slot_ - 1 down to 0, then from 1023 down,
    // until count_ slots have been compared. Two plain descending runs, so
    // the hot loop needs no index masking.
    const std::size_t recent_run = next_slot_ < count_ ? next_slot_ : count_;
    const std::size_t wrapped_run = count_ - recent_run;
    return any_slot_equals(words_, wanted, next_slot_ - recent_run, next_slot_) ||
           any_slot_equals(words_, wanted, NONCE_WINDOW - wrapped_run, NONCE_WINDOW);
}

void NonceRing::insert(const Nonce& nonce) noexcept {
    const NonceWords words = words_of(nonce);
    for (std::size_t i = 0; i < words.size(); ++i) words_[i][next_slot_] = words[i];
    next_slot_ = (next_slot_ + 1) & kSlotMask;
    if (count_ < NONCE_WINDOW) ++count_;
}

Nonce NonceRing::at(std::size_t slot) const noexcept {
    NonceWords w;
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = words_[i][slot & kSlotMask];
    Nonce nonce;
    std::memcpy(nonce.data(), w.data(), NONCE_LEN);
    return nonce;
}

}  // namespace kestrel
