// Key: a 32-byte secret that wipes itself. Every key the library holds is one
// of these, so no copy outlives its use by accident: each copy overwrites its
// bytes when it dies (wipe.hpp). A plain aggregate otherwise, so a key is
// written as {0x01, 0x02, ...} and read through data() and size().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "kestrel_base.h"  // KESTREL_KEY_LEN: boundary and link keys, the HMAC key
#include "keys/wipe.hpp"

namespace kestrel {

struct Key {
    std::array<std::uint8_t, KESTREL_KEY_LEN> octets;  // public only so that a key can be brace-initialised

    // from_bytes copies KESTREL_KEY_LEN bytes, which may be a buffer the caller wipes next.
    [[nodiscard]] static Key from_bytes(const std::uint8_t* bytes) noexcept {
        Key key{};
        std::memcpy(key.octets.data(), bytes, KESTREL_KEY_LEN);
        return key;  // a copy, should the compiler make one, wipes itself too
    }

    // Constant evaluation (a constexpr key) has nothing to wipe.
    constexpr ~Key() {
        if (!std::is_constant_evaluated()) wipe(octets.data(), octets.size());
    }

    [[nodiscard]] constexpr std::uint8_t* data() noexcept { return octets.data(); }
    [[nodiscard]] constexpr const std::uint8_t* data() const noexcept { return octets.data(); }
    [[nodiscard]] static constexpr std::size_t size() noexcept { return KESTREL_KEY_LEN; }
    [[nodiscard]] constexpr std::uint8_t& operator[](std::size_t i) noexcept { return octets[i]; }
    [[nodiscard]] constexpr const std::uint8_t& operator[](std::size_t i) const noexcept { return octets[i]; }
    [[nodiscard]] constexpr std::uint8_t* begin() noexcept { return octets.data(); }
    [[nodiscard]] constexpr std::uint8_t* end() noexcept { return octets.data() + KESTREL_KEY_LEN; }
    [[nodiscard]] constexpr const std::uint8_t* begin() const noexcept { return octets.data(); }
    [[nodiscard]] constexpr const std::uint8_t* end() const noexcept { return octets.data() + KESTREL_KEY_LEN; }
    [[nodiscard]] std::span<const std::uint8_t, KESTREL_KEY_LEN> bytes() const noexcept { return octets; }

    // is_zero returns true iff all 32 bytes are zero: a key anyone can guess,
    // which the library refuses wherever a key may be refused. Every byte is
    // read whatever the others hold.
    [[nodiscard]] bool is_zero() const noexcept {
        std::uint8_t any = 0;
        for (const std::uint8_t b : octets) any = static_cast<std::uint8_t>(any | b);
        return any == 0;
    }
};

}  // namespace kestrel
