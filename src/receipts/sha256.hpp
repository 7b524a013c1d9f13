// sha256: the SHA-256 compression function (FIPS 180-4), the one piece of the
// receipts' HMAC-SHA-256 that this library does not write itself. hmac.cpp
// lays out, pads and finishes every message; behind this header is one of two
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

}  // namespace kestrel::sha256
