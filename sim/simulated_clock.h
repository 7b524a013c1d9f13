// The simulation's clock: time advances by one control period per step of
// the plant, never by the wall clock, so the boundary's rate window, the
// receipts' timestamps, the guard's maximum age, the watchdog and the monitor
// all run on simulated time, however fast the loop runs.
#ifndef KESTREL_SIM_SIMULATED_CLOCK_H
#define KESTREL_SIM_SIMULATED_CLOCK_H

#include <cstdint>

#include "kestrel_clock.h"

namespace kestrel_sim {

// The control period, the one place it is declared: both sides' limiters, the
// plant's timestep and the clock take it from here.
inline constexpr uint64_t kPeriodNs = 1'000'000;     // 1 kHz
inline constexpr double kPeriod = kPeriodNs * 1e-9;  // s

struct SimulatedClock {
    uint64_t now_ns;
};

// A KestrelClock over a SimulatedClock passed as context.
inline uint64_t read_simulated_clock(void *context) { return static_cast<const SimulatedClock *>(context)->now_ns; }

}  // namespace kestrel_sim

#endif
