// sha256: the SHA-256 compression function (FIPS 180-4), the one piece of the
// receipts' HMAC-SHA-256 that this library does not write itself, and the
// padding around it (finish) and a running hash of a stream (Running), which
// are ours. hmac.cpp lays out every message; behind compress is one of two
// implementations, chosen when the library is built (CMake: KESTREL_SHA256):
//
//   libcrypto  sha256_libcrypto.cpp, the default on hosts: libcrypto uses
//              the CPU's SHA instructions where it has them;
//   portable   sha256_portable.cpp, plain C++ for targets without libcrypto
//              (microcontrollers), the same results everywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "receipts/byte_order.hpp"

namespace kestrel::sha256 {

inline constexpr std::size_t BLOCK_LEN = 64;
inline constexpr std::size_t DIGEST_LEN = 32;

// ChainingValue: the state between two blocks, the words H0..H7. After a key
// block it is as good as the key: holders wipe it.
struct ChainingValue {
    std::array<std::uint32_t, 8> h;
};

// H(0), the chaining value before the first block.
inline constexpr ChainingValue INITIAL = {
    {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19}};

// compress folds the BLOCK_LEN bytes at `block` into `chain`. Cannot fail;
// its time does not depend on the data.
void compress(ChainingValue& chain, const std::uint8_t* block) noexcept;

// compress_blocks folds `count` consecutive blocks at `blocks` into `chain`,
// as `count` calls of compress would, in one call: for bulk data (a log),
// where a call per block costs a sixth of the block.
void compress_blocks(ChainingValue& chain, const std::uint8_t* blocks, std::size_t count) noexcept;

// finish is SHA-256's padding (FIPS 180-4, 5.1.1), the only one in this
// library: `block` (BLOCK_LEN bytes, overwritten) holds the last `pending`
// (< BLOCK_LEN) bytes of a stream of `total` bytes; it appends 0x80, zeros and
// the 64-bit big-endian bit length, in one block or, past 55 bytes, two, and
// folds them into `chain`, which then holds the digest's words.
inline void finish(ChainingValue& chain, std::uint8_t* block, std::size_t pending, std::uint64_t total) noexcept {
    block[pending++] = 0x80;
    if (pending > BLOCK_LEN - 8) {
        std::memset(block + pending, 0, BLOCK_LEN - pending);
        compress(chain, block);
        pending = 0;
    }
    std::memset(block + pending, 0, BLOCK_LEN - 8 - pending);
    byte_order::store_be64(block + BLOCK_LEN - 8, total * 8);
    compress(chain, block);
}

// store_digest writes the words of a finished chain as the 32-byte digest.
inline void store_digest(const ChainingValue& chain, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < 8; ++i) byte_order::store_be32(out + 4 * i, chain.h[i]);
}

using Digest = std::array<std::uint8_t, DIGEST_LEN>;

// Running: SHA-256 of a byte stream given in pieces of any size, whole blocks
// compressed in bulk. It may start from the chaining value after `absorbed`
// bytes (a multiple of BLOCK_LEN) instead of H(0): an HMAC key block primed
// in advance. A plain value: copy it to take the digest of a prefix and go
// on. Started from a key block it is as good as the key; its holder wipes it.
class Running {
public:
    Running() noexcept = default;
    Running(const ChainingValue& start, std::uint64_t absorbed) noexcept : chain_(start), length_(absorbed) {}

    // update takes in `size` bytes at `data` (may be null when size is 0).
    void update(const std::uint8_t* data, std::size_t size) noexcept;

    // digest returns the SHA-256 of every byte so far, the start's included;
    // the stream goes on.
    [[nodiscard]] Digest digest() const noexcept;

private:
    ChainingValue chain_ = INITIAL;                // after the whole blocks taken in
    std::array<std::uint8_t, BLOCK_LEN> block_{};  // the bytes of the block under way
    std::uint64_t length_ = 0;                     // bytes taken in, the start's included
};

}  // namespace kestrel::sha256
