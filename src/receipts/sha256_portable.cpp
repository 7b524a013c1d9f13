// SHA-256 compression in plain C++, straight from FIPS 180-4, section 6.2.2,
// for targets without libcrypto. Written for a microcontroller's flash and
// registers: the 64 rounds are one loop of sixteen, in which the working
// variables change names instead of places, and the message schedule keeps
// only the last 16 words, recomputed in place.
#include <cstring>

#include "receipts/sha256.hpp"

namespace kestrel::sha256 {

namespace {

// K: the first 32 bits of the fractional parts of the cube roots of the
// first 64 primes (FIPS 180-4, 4.2.2).
constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotr(std::uint32_t x, unsigned n) noexcept { return (x >> n) | (x << (32 - n)); }

// The message words are big-endian whatever the CPU.
std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// W(t), the message schedule's word for round t, from the last 16 words
// (index t mod 16), overwriting W(t-16) from round 16 on.
[[gnu::always_inline]] inline std::uint32_t schedule(std::uint32_t* w, unsigned t) noexcept {
    std::uint32_t& wt = w[t & 15];
    if (t >= 16) {
        const std::uint32_t w15 = w[(t + 1) & 15];  // W(t-15)
        const std::uint32_t w2 = w[(t + 14) & 15];  // W(t-2)
        const std::uint32_t s0 = rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3);
        const std::uint32_t s1 = rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10);
        wt += s0 + w[(t + 9) & 15] + s1;  // W(t-16) + σ0 + W(t-7) + σ1
    }
    return wt;
}

// Round t: T1 = h + Σ1(e) + Ch(e, f, g) + K(t) + W(t), d += T1, and h becomes
// T1 + Σ0(a) + Maj(a, b, c). The new a and e are left in h and d; the
// caller names the variables one place on for the next round.
[[gnu::always_inline]] inline void round(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t& d,
                                         std::uint32_t e, std::uint32_t f, std::uint32_t g, std::uint32_t& h,
                                         std::uint32_t* w, unsigned t) noexcept {
    const std::uint32_t t1 =
        h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[t] + schedule(w, t);
    d += t1;
    h = t1 + (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
}

}  // namespace

void compress(ChainingValue& chain, const std::uint8_t* block) noexcept {
    std::uint32_t w[16];
    for (unsigned t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);

    std::uint32_t a = chain.h[0], b = chain.h[1], c = chain.h[2], d = chain.h[3];
    std::uint32_t e = chain.h[4], f = chain.h[5], g = chain.h[6], h = chain.h[7];
    for (unsigned t = 0; t < 64; t += 16) {
        round(a, b, c, d, e, f, g, h, w, t);
        round(h, a, b, c, d, e, f, g, w, t + 1);
        round(g, h, a, b, c, d, e, f, w, t + 2);
        round(f, g, h, a, b, c, d, e, w, t + 3);
        round(e, f, g, h, a, b, c, d, w, t + 4);
        round(d, e, f, g, h, a, b, c, w, t + 5);
        round(c, d, e, f, g, h, a, b, w, t + 6);
        round(b, c, d, e, f, g, h, a, w, t + 7);
        round(a, b, c, d, e, f, g, h, w, t + 8);
        round(h, a, b, c, d, e, f, g, w, t + 9);
        round(g, h, a, b, c, d, e, f, w, t + 10);
        round(f, g, h, a, b, c, d, e, w, t + 11);
        round(e, f, g, h, a, b, c, d, w, t + 12);
        round(d, e, f, g, h, a, b, c, w, t + 13);
        round(c, d, e, f, g, h, a, b, w, t + 14);
        round(b, c, d, e, f, g, h, a, w, t + 15);
    }
    const std::uint32_t v[8] = {a, b, c, d, e, f, g, h};
    for (unsigned i = 0; i < 8; ++i) chain.h[i] += v[i];
}

void compress_blocks(ChainingValue& chain, const std::uint8_t* blocks, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) compress(chain, blocks + i * BLOCK_LEN);
}

}  // namespace kestrel::sha256
