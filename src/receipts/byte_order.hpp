// byte_order: the integer encodings of the receipt message and its wire form
// (u64 little-endian) and of SHA-256's own fields (big-endian).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kestrel::byte_order {

// Message and wire integers are little-endian, as is every x86-64; the byte
// loops are for other hosts (GCC does not fold them into one store here).
inline void store_le64(std::uint8_t* out, std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, 8);
    } else {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

inline void store_le32(std::uint8_t* out, std::uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, 4);
    } else {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// SHA-256 is big-endian: its length field and its output words.
inline void store_be64(std::uint8_t* out, std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}

inline void store_be32(std::uint8_t* out, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

inline std::uint64_t load_le64(const std::uint8_t* in) noexcept {
    std::uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, in, 8);
    } else {
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{in[i]} << (8 * i);
    }
    return v;
}

}  // namespace kestrel::byte_order
