// Watchdog: the actuator side's rule for silence. It expires once no command
// was accepted for its timeout; what the actuator side then does (stop its
// joints through its own limiter) is kestrel_watchdog.h's documented use.
#pragma once

#include <cstdint>

#include "clock/clock.hpp"

namespace kestrel {

struct Watchdog {
    std::uint64_t timeout_ns;  // silence, in ns of `clock`, after which it has expired; > 0
    std::uint64_t fed_at_ns;   // the clock's reading at the last feed (or at init)
    Clock clock;

    // Counts from now, as if fed now.
    Watchdog(std::uint64_t timeout, Clock from) noexcept : timeout_ns(timeout), fed_at_ns(0), clock(from) {
        fed_at_ns = clock.now();
    }

    void feed() noexcept { fed_at_ns = clock.now(); }

    // A reading before the last feed is possible only for the wall clock, set
    // back: it counts as expiry, as a jump ahead beyond the timeout does, so
    // that either step stops the joints until the next feed.
    [[nodiscard]] bool expired() noexcept {
        const std::uint64_t now = clock.now();
        return now < fed_at_ns || now - fed_at_ns >= timeout_ns;
    }
};

}  // namespace kestrel
