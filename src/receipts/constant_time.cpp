#include "receipts/constant_time.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrel {
namespace {

// acc collects the XOR of every pair of 4-byte words; the strings are equal
// iff it ends as 0. acc | -acc has its top bit set exactly when acc != 0;
// that bit is the only thing that reaches a branch.
template <std::size_t N>
bool equal_bytes(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b) noexcept {
    static_assert(N % 4 == 0, "compared in whole 4-byte words");
    std::uint32_t acc = 0;
    for (std::size_t i = 0; i < N; i += 4) {
        std::uint32_t x;
        std::uint32_t y;
        std::memcpy(&x, a.data() + i, 4);
        std::memcpy(&y, b.data() + i, 4);
        acc = black_box(acc | (x ^ y));
    }
    return black_box(((acc | (0u - acc)) >> 31) ^ 1u) == 1;
}

}  // namespace

bool constant_time_equal(const Tag& a, const Tag& b) noexcept { return equal_bytes(a, b); }

}  // namespace kestrel
