// frame: the signed command frame of kestrel_frame.h, laid out here and
// nowhere else; the C functions, the guard, the tests and the fuzz target
// all go through these two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kestrel_frame.h"

namespace kestrel {

inline constexpr std::size_t FRAME_LEN = KESTREL_FRAME_LEN;

using FrameWire = std::array<std::uint8_t, FRAME_LEN>;

// encode_frame returns the frame of `frame`: version 1, three zero bytes,
// then axis, position, velocity and receipt, little-endian, bit for bit.
[[nodiscard]] FrameWire encode_frame(const KestrelFrame& frame) noexcept;

// decode_frame fills `out` from `wire` and returns true, or returns false,
// leaving `out` untouched, if the version is not 1 or a reserved byte is not
// zero. Every other 84-byte string decodes.
[[nodiscard]] bool decode_frame(const FrameWire& wire, KestrelFrame& out) noexcept;

}  // namespace kestrel
