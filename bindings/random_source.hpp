// The operating system's random source, for nonces.
#pragma once

#include <cstdint>
#include <span>

namespace kestrel::py {

// fill_random fills `out` with bytes from getrandom(2) (no flags; retried
// when interrupted, continued after a short read). When the first probe of
// getrandom fails with ENOSYS or EPERM, /dev/urandom is opened once, kept,
// and used from then on. Returns 0, or the errno value of the failure.
int fill_random(std::span<std::uint8_t> out) noexcept;

}  // namespace kestrel::py
