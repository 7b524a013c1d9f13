// The wall clock on POSIX hosts: CLOCK_REALTIME.
#include "clock/wall_clock.hpp"

#include <time.h>

namespace kestrel {

std::uint64_t wall_clock_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace kestrel
