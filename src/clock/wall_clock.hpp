// wall_clock: the clock the library reads when its caller gives none, the
// one that dates receipts and against which receivers judge them.
//
// It is the library's one contact with the platform's time, alone in its own
// source file: a build without POSIX clocks (a microcontroller) compiles
// wall_clock_firmware.cpp in place of wall_clock.cpp, reading a real-time
// clock that the firmware keeps in step with the signing side's.
#pragma once

#include <cstdint>

namespace kestrel {

// wall_clock_ns returns the real-time clock in nanoseconds since the Unix
// epoch (seconds * 10^9 + nanoseconds, in wrapping u64 arithmetic), the scale
// of a receipt's timestamp_nanos; 0 before the epoch. It may step either way
// when the system's time is set. Never fails, never blocks, allocates
// nothing; any thread.
[[nodiscard]] std::uint64_t wall_clock_ns() noexcept;

}  // namespace kestrel
