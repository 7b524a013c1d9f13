// nonce_ring: the nonces of the most recently accepted receipts.
//
// A fixed ring of NONCE_WINDOW nonces: inserting into a full ring forgets the
// oldest. Beside the ring, a fixed hash index finds a nonce in a few steps
// instead of comparing it with every remembered one: each nonce is hashed to
// one of NONCE_BUCKETS buckets, and each bucket chains its slots, newest
// first. Nonces are public (they travel in every receipt), so the index is
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

// Buckets of the index: a full ring chains two slots to a bucket on average.
inline constexpr std::size_t NONCE_BUCKETS = 512;
static_assert((NONCE_BUCKETS & (NONCE_BUCKETS - 1)) == 0 && NONCE_BUCKETS <= 65536);

// NonceRing: the last NONCE_WINDOW nonces inserted, a plain value (no heap,
// no pointers: copying it copies the index). Starts empty with every slot
// zero; slots that were never written are never compared.
class NonceRing {
public:
    // contains returns true iff `nonce` is one of the count() remembered
    // nonces. Timing: it compares `nonce` with the remembered nonces of its
    // bucket, newest first, and stops at the first match. The random nonces
    // of a boundary spread evenly over the buckets; nonces made to share one
    // bucket (only a holder of the key can get them accepted) make it walk
    // at most all count() of them, one at a time.
    [[nodiscard]] bool contains(const Nonce& nonce) const noexcept;

    // insert remembers `nonce` in slot next_slot(), overwriting (forgetting)
    // the oldest once the ring is full, and moves next_slot() on by one.
    void insert(const Nonce& nonce) noexcept;

    // How many slots hold inserted nonces: min(insertions, NONCE_WINDOW).
    [[nodiscard]] std::size_t count() const noexcept { return count_; }

    // Slot the next inserted nonce goes to; the newest is one before it.
    [[nodiscard]] std::size_t next_slot() const noexcept { return next_slot_; }

    // The nonce in slot `slot` (taken modulo NONCE_WINDOW); zero if unused.
    [[nodiscard]] Nonce at(std::size_t slot) const noexcept { return slots_[slot & (NONCE_WINDOW - 1)]; }

    // The index is a function of the slots, next_slot() and count() (each
    // bucket chains its slots newest first), so comparing every member
    // compares exactly the remembered state.
    bool operator==(const NonceRing&) const noexcept = default;

private:
    // Slot numbers in the index are stored plus one, so that 0 ends a chain.
    using Link = std::uint16_t;
    static_assert(NONCE_WINDOW < 65536, "a slot number plus one fits a Link");

    std::array<Nonce, NONCE_WINDOW> slots_{};  // the nonces by slot; zero where unused
    std::array<Link, NONCE_BUCKETS> newest_{};  // per bucket: its newest slot, plus one; 0 when empty
    std::array<Link, NONCE_WINDOW> older_{};    // per slot: the next older slot of its bucket, plus one; 0 at the end
    std::size_t next_slot_ = 0;                 // slot of the next insertion, < NONCE_WINDOW
    std::size_t count_ = 0;                     // slots holding inserted nonces, <= NONCE_WINDOW
};

}  // namespace kestrel
