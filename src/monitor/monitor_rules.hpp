// The monitor's rules, one safety function each, on one joint and one
// measurement: pure functions, so each can be tested alone and the state
// machine (monitor.hpp) only decides which of them applies when.
//
// Units are the braking law's (limiter/braking_law.hpp): a velocity change
// over one period is alpha, distances are sums of velocities in periods,
// times dt.
#pragma once

#include "kestrel_joint_limiter.h"
#include "limiter/braking_law.hpp"

namespace kestrel::monitor {

// A broken limit: `value` measured against `limit`; broken false when held.
struct Breach {
    bool broken;
    double value;
    double limit;
};

// SLS: |v| > max_velocity * (1 + velocity_tolerance). The limit is signed as
// the velocity is.
Breach speed_breach(const KestrelJointLimits& limits, double velocity_tolerance, double v) noexcept;

// SLP on the position itself: beyond min_position or max_position by more
// than position_tolerance.
Breach position_breach(const KestrelJointLimits& limits, double position_tolerance, double p) noexcept;

// SLP's early trip: the position where the braking law, started from the
// measured (v, alpha), brings the joint to rest lies beyond a limit by more
// than position_tolerance (and a rounding allowance of the position scale,
// kReachRounding). alpha is taken inside [-s, s]: the law brakes no harder
// than the joint's limit, however hard the last period braked, and a
// measured jolt beyond the limit is noise or a fault that SLS and the
// position itself judge. The value is
// the position where the joint would come to rest.
Breach reach_breach(const KestrelJointLimits& limits, const limiter::Law& law, double dt,
                    double position_tolerance, double p, double v, double alpha) noexcept;

// The braking law's stop, one period at a time: the velocity and its change.
struct LawRun {
    double v;
    double alpha;
    [[nodiscard]] bool at_rest() const noexcept { return v == 0.0 && alpha == 0.0; }
    // One period of the law's stop (the limiter's stop request, period by period).
    void step(const limiter::Law& law) noexcept;
};

// The two runs of the law that make a joint's stop ramp (see kestrel_monitor.h):
// `exact` from the measured (v, alpha) at the trip, `calm` from the same v with
// no deceleration counted on (alpha raised to 0 in the direction of motion).
struct Ramp {
    LawRun exact;
    LawRun calm;
    static Ramp start(const limiter::Law& law, double v, double alpha) noexcept;
    void step(const limiter::Law& law) noexcept {
        exact.step(law);
        calm.step(law);
    }
    [[nodiscard]] bool at_rest() const noexcept { return exact.at_rest() && calm.at_rest(); }
    // The speed the ramp allows now, before the tolerance.
    [[nodiscard]] double speed() const noexcept;
};

// SS1/SS2: |v| above the ramp's speed plus velocity_tolerance * max_velocity
// (and a rounding allowance of kSpeedRounding of max_velocity).
Breach ramp_breach(const KestrelJointLimits& limits, double velocity_tolerance, const Ramp& ramp,
                   double v) noexcept;

// SOS: a joint more than position_tolerance from where it came to rest, or
// faster than standstill_velocity. The value is the position, or the
// velocity when only that breaks.
Breach hold_breach(double position_tolerance, double standstill_velocity, double held, double p,
                   double v) noexcept;

// The fraction of the position scale (|limit| + |p|) that the stopping test
// allows for rounding: the limiter plans its stops 2^-44 of it inside a
// limit; the measured alpha (v - v_prev, rounded) may differ from the one it
// kept by an ulp of v, which moves a long stop's reach by far less than 2^-36.
constexpr double kReachRounding = 1.4551915228366852e-11;  // 2^-36

// The fraction of max_velocity the ramp allows for the rounding of the
// measured velocity against the law's own sums.
constexpr double kSpeedRounding = 2.220446049250313e-16 * 64.0;  // 64 ulps of 1

}  // namespace kestrel::monitor
