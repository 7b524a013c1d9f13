// Clock: the time as one object of the library reads it, from the caller's
// KestrelClock or from the wall clock.
//
// A caller's clock is held to the rule of kestrel_clock.h: a reading below
// the last one is taken as the last one, so time never goes back for the
// object that holds the Clock. The wall clock is passed through as it is:
// the boundary's rate window and the watchdog each have their own answer to
// a wall clock that was set back.
//
// A plain record without pointers of its own making, so it can live in the
// caller-placed storage of a guard or a watchdog. One reader at a time: the
// boundary reads it under its lock, guards and watchdogs have one thread at a
// time.
#pragma once

#include <cstdint>

#include "clock/wall_clock.hpp"
#include "kestrel_clock.h"

namespace kestrel {

struct Clock {
    KestrelClock read = nullptr;  // the caller's clock; null: the wall clock
    void* context = nullptr;      // passed to `read`
    std::uint64_t last = 0;       // the last reading of `read`, raised to the highest so far

    // now returns the time in nanoseconds since the Unix epoch.
    [[nodiscard]] std::uint64_t now() noexcept {
        if (read == nullptr) return wall_clock_ns();
        const std::uint64_t reading = read(context);
        if (reading > last) last = reading;
        return last;
    }
};

}  // namespace kestrel
