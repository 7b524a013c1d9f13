#include "receipts/nonce_ring.hpp"

#include <cstring>

namespace kestrel {

namespace {

struct NonceWords {
    std::uint32_t w[3];
};

NonceWords words_of(const Nonce& nonce) noexcept {
    NonceWords words;
    std::memcpy(words.w, nonce.data(), NONCE_LEN);
    return words;
}

bool same(const NonceWords& a, const NonceWords& b) noexcept {
    return ((a.w[0] ^ b.w[0]) | (a.w[1] ^ b.w[1]) | (a.w[2] ^ b.w[2])) == 0;
}

// The bucket of a nonce: every byte counts, so that nonces from a counting
// or seeded source (simulations, tests) spread as well as random ones.
std::size_t bucket_of(const NonceWords& n) noexcept {
    const std::uint32_t mixed = n.w[0] * 0x9e3779b1u ^ n.w[1] * 0x85ebca77u ^ n.w[2] * 0xc2b2ae3du;
    return (mixed ^ mixed >> 15) * 0x27d4eb2fu >> 16 & (NONCE_BUCKETS - 1);
}

}  // namespace

bool NonceRing::contains(const Nonce& nonce) const noexcept {
    const NonceWords wanted = words_of(nonce);
    for (Link link = newest_[bucket_of(wanted)]; link != 0; link = older_[link - 1]) {
        if (same(words_of(slots_[link - 1]), wanted)) return true;
    }
    return false;
}

void NonceRing::insert(const Nonce& nonce) noexcept {
    const std::size_t slot = next_slot_;
    if (count_ == NONCE_WINDOW) {
        // The slot holds the oldest nonce, so it ends its bucket's chain:
        // cut it off there.
        Link* link = &newest_[bucket_of(words_of(slots_[slot]))];
        while (*link != 0 && *link != slot + 1) link = &older_[*link - 1];
        *link = 0;
    } else {
        ++count_;
    }
    const std::size_t bucket = bucket_of(words_of(nonce));
    slots_[slot] = nonce;
    older_[slot] = newest_[bucket];
    newest_[bucket] = static_cast<Link>(slot + 1);
    next_slot_ = (slot + 1) & (NONCE_WINDOW - 1);
}

}  // namespace kestrel
