// receiver_clock: the wall clock against which a receipt guard judges a
// receipt's age (kestrel_receipt_guard_set_max_age).
//
// It is the guard's one contact with the platform, alone in its own source
// file: a build without POSIX clocks (a microcontroller) compiles its own
// definition of receiver_clock_ns in place of receiver_clock.cpp, reading a
// real-time clock that it keeps in step with the boundary's.
#pragma once

#include <cstdint>

namespace kestrel {

// receiver_clock_ns returns the wall clock in nanoseconds since the Unix
// epoch, the scale of a receipt's timestamp_nanos; 0 before the epoch.
// Never fails, never blocks, allocates nothing; any thread.
[[nodiscard]] std::uint64_t receiver_clock_ns() noexcept;

}  // namespace kestrel
