// derive: one key per link from the controller's master key (kestrel_key.h
// gives the formula and why).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kestrel_error.h"
#include "keys/key.hpp"

namespace kestrel {

inline constexpr std::size_t MAX_LINK_ID_LEN = 255;

// hkdf_sha256 fills `out` (at most 255 * 32 bytes) with HKDF-SHA-256 (RFC
// 5869, extract then expand) of the input key material `ikm` with `salt` and
// `info`, by libcrypto, and returns true; false if libcrypto fails, with
// `out` in an unspecified state.
[[nodiscard]] bool hkdf_sha256(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                               std::span<const std::uint8_t> info, std::span<std::uint8_t> out) noexcept;

// derive_link_key writes HKDF-SHA-256(salt "kestrel link key v1", IKM master,
// info link_id, 32 bytes) to `out` and returns KESTREL_OK; or, with `out`
// untouched, KESTREL_ERROR_BAD_LINK_ID (link_id empty or over 255 bytes),
// KESTREL_ERROR_ZERO_KEY (master all zero) or KESTREL_ERROR_KEY_DERIVATION
// (libcrypto failed). `out` may be `master`.
[[nodiscard]] KestrelError derive_link_key(const Key& master, std::span<const std::uint8_t> link_id, Key& out) noexcept;

}  // namespace kestrel
