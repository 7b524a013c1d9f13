// nonce_ring: the nonces of the most recently accepted receipts.
//
// A fixed ring of NONCE_WINDOW nonces: inserting into a full ring forgets the
// oldest. Nonces are public (they travel in every receipt), so the scan is
// fast rather than constant-time; see contains().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "receipts/hmac.hpp"

namespace kestrel {

// Number of recently accepted nonces that are refused on reuse. Fixed.
inline constexpr std::size_t NONCE_WINDOW = 1024;
static_assert((NONCE_WINDOW & (NONCE_WINDOW - 1)) == 0, "ring indices wrap by masking");

namespace detail {

// The ring's storage: three planes of 4-byte words, so that bytes 4w..4w+3
// of the nonce in slot s are planes[w][s]. Same 12 KiB as an array of
// 12-byte records, but a scan compares four or more slots per vector
// instruction.
using NoncePlanes = std::array<std::array<std::uint32_t, NONCE_WINDOW>, 3>;

// The ways this library can scan the ring, narrowest first: one slot per
// step (portable, first word first), then 4, 8 and 16 slots per vector step
// (x86-64). The replay gate uses the widest that slot_scan_runs_here; they
// are named here so that tests can run each one.
enum class SlotScan { Scalar, Sse2, Avx2, Avx512 };

// slot_scan_runs_here returns true iff this build has `scan` and the CPU and
// the OS can run it.
[[nodiscard]] bool slot_scan_runs_here(SlotScan scan) noexcept;

// any_slot_equals returns true iff one of the slots lo..hi-1 (lo <= hi <=
// NONCE_WINDOW) of `planes` holds the nonce whose words are `wanted`. It
// uses `scan`, which must run here. Slots are compared newest (highest)
// first; a vector step compares all its slots on all three words and only
// their combined result reaches a branch, the portable scan reads a slot's
// other words only when its first matches. Either returns after the step
// holding the newest match.
[[nodiscard]] bool any_slot_equals(SlotScan scan, const NoncePlanes& planes, const std::array<std::uint32_t, 3>& wanted,
                                   std::size_t lo, std::size_t hi) noexcept;

}  // namespace detail

// NonceRing: the last NONCE_WINDOW nonces inserted, a plain value. Starts
// empty with every slot zero; slots that were never written are never
// compared.
class NonceRing {
public:
    // contains returns true iff `nonce` is one of the count() remembered
    // nonces. Timing: they are compared newest first, in groups of up to 16
    // (the CPU's vector width; one at a time, first word first, where there
    // is no vector scan); the scan stops after the group holding the first
    // match, so the time reveals roughly how recently a remembered nonce was
    // inserted. Without a match all count() entries are compared.
    [[nodiscard]] bool contains(const Nonce& nonce) const noexcept;

    // insert remembers `nonce` in slot next_slot(), overwriting (forgetting)
    // the oldest once the ring is full, and moves next_slot() on by one.
    void insert(const Nonce& nonce) noexcept;

    // How many slots hold inserted nonces: min(insertions, NONCE_WINDOW).
    [[nodiscard]] std::size_t count() const noexcept { return count_; }

    // Slot the next inserted nonce goes to; the newest is one before it.
    [[nodiscard]] std::size_t next_slot() const noexcept { return next_slot_; }

    // The nonce in slot `slot` (taken modulo NONCE_WINDOW); zero if unused.
    [[nodiscard]] Nonce at(std::size_t slot) const noexcept;

    bool operator==(const NonceRing&) const noexcept = default;

private:
    detail::NoncePlanes words_{};  // the nonces by slot, as planes of 4-byte words; zero where unused
    std::size_t next_slot_ = 0;    // slot of the next insertion, < NONCE_WINDOW
    std::size_t count_ = 0;        // slots holding inserted nonces, <= NONCE_WINDOW
};

}  // namespace kestrel
