// Monitor: the state machine of the drive safety functions on measured
// motion (kestrel_monitor.h has the whole contract). Each state has one
// function that judges a check in it; the rules themselves are in
// monitor_rules.hpp. A plain record without allocation, placed in the
// caller's storage by monitor_c.cpp.
//
//   state       leaves on                                   for
//   RUN         measurement, SLS, SLP, request              STOPPING (TORQUE_OFF if the stop cannot be watched)
//   STOPPING    above the ramp, deadline, measurement, SLP  TORQUE_OFF
//               every joint at standstill                   SS1: TORQUE_OFF, SS2: STANDSTILL
//   STANDSTILL  SOS, measurement                            TORQUE_OFF
//               acknowledge (at standstill, inside limits)  RUN
//   TORQUE_OFF  acknowledge (at standstill, inside limits)  RUN
#pragma once

#include <cstdint>

#include "clock/clock.hpp"
#include "kestrel_monitor.h"
#include "monitor/monitor_rules.hpp"

namespace kestrel::monitor {

struct JointWatch {
    KestrelJointLimits limits;
    double position;  // the last finite measurement
    double velocity;
    double alpha;     // the velocity change over the last measured period (0 until there is one)
    Ramp ramp;        // the stop's ramp, while STOPPING
    double held;      // where SS2 came to rest (SOS's centre)
};

struct Monitor {
    std::uint32_t count;
    KestrelMonitorState state;
    KestrelMonitorConfig config;
    Clock clock;
    bool measured;             // a check with every value finite has been seen
    bool last_finite;          // the last check's values were all finite (acknowledge judges it)
    std::uint64_t measured_at; // the clock at the last finite check
    std::uint64_t period_ns;   // between the last two finite checks (0: not measured yet)
    // The stop in progress: its ramp counts periods of stop_period_ns from stop_at.
    std::uint64_t stop_at;
    std::uint64_t stop_period_ns;
    std::uint64_t ramp_steps;  // periods of the ramps run so far
    std::uint64_t ramp_bound;  // a bound on the periods every ramp takes to rest
    std::uint64_t ramp_end;    // the period at which every ramp was at rest (0: not yet)
    KestrelTrip first;         // the first trip since the last acknowledge
    KestrelTrip last;          // the latest
    KestrelTrip refusal;       // why the last acknowledge refused
    JointWatch joints[KESTREL_JOINT_LIMITER_MAX_JOINTS];

    // Limits and config already checked (monitor_c.cpp).
    Monitor(std::uint32_t n, const KestrelJointLimits* limits, const KestrelMonitorConfig& c, Clock from) noexcept;

    KestrelMonitorState check(const double* positions, const double* velocities) noexcept;
    void request_stop() noexcept;
    bool acknowledge() noexcept;

private:
    void check_run(const double* positions, const double* velocities, std::uint64_t now) noexcept;
    void check_stopping(const double* positions, const double* velocities, std::uint64_t now) noexcept;
    void check_standstill(const double* positions, const double* velocities, std::uint64_t now) noexcept;
    // The measurement's first non-finite joint, or count.
    std::uint32_t unmeasurable(const double* positions, const double* velocities) const noexcept;
    void remember(const double* positions, const double* velocities, std::uint64_t now) noexcept;
    // While a stop runs or holds, a measurement that cannot be judged cuts the
    // torque at once: false after tripping, true after remembering it.
    bool measured_or_torque_off(const double* positions, const double* velocities, std::uint64_t now) noexcept;
    void trip(KestrelSafetyFunction function, std::uint32_t joint, double value, double limit,
              std::uint64_t now) noexcept;
    // Leaves RUN for the stop, its ramps started from the last finite
    // measurement (one period on, when the measurement of the trip was lost).
    void start_stop(bool blind) noexcept;
    // Runs the ramps on to `steps` periods; false when that is more than
    // kMaxCatchUp periods at once.
    bool ramps_reach(std::uint64_t steps) noexcept;
    [[nodiscard]] bool at_standstill(const double* velocities) const noexcept;
    [[nodiscard]] limiter::Law law_of(std::uint32_t joint, std::uint64_t period_ns) const noexcept;
    [[nodiscard]] KestrelSafetyFunction stop_function() const noexcept {
        return config.stop == KESTREL_MONITOR_SS2 ? KESTREL_TRIP_SS2 : KESTREL_TRIP_SS1;
    }
};

}  // namespace kestrel::monitor
