// The receipt guard's wall clock where there are no POSIX clocks (a
// microcontroller, CMAKE_SYSTEM_NAME Generic): the firmware's own real-time
// clock, through kestrel_receiver_clock_ns, which it defines.
#include "kestrel_receipt.h"
#include "receipts/receiver_clock.hpp"

namespace kestrel {

std::uint64_t receiver_clock_ns() noexcept { return kestrel_receiver_clock_ns(); }

}  // namespace kestrel
