// The wall clock where there are no POSIX clocks (a microcontroller,
// CMAKE_SYSTEM_NAME Generic): the firmware's own real-time clock, through
// kestrel_receiver_clock_ns, which it defines.
#include "clock/wall_clock.hpp"
#include "kestrel_receipt.h"

namespace kestrel {

std::uint64_t wall_clock_ns() noexcept { return kestrel_receiver_clock_ns(); }

}  // namespace kestrel
