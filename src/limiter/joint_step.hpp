// One joint's step of the joint limiter: the interval of admissible
// velocity changes and the point of it nearest the request.
//
// One joint, one call, in alpha' = v' - v:
//   box   = [alpha - j, alpha + j] ∩ [-s, s]               (jerk, acceleration)
//   safe  = {alpha' : |v'| <= V, and from (p', v', alpha') the law keeps
//            the position limits and |v| <= V}               (an interval)
//   alpha' = the point of box ∩ safe nearest the target
// The target is the desired velocity change, or by default the largest step
// that still lands on the desired velocity without overshoot, g^-1(v_d - v).
// From a state outside the set (a reset) box ∩ safe may be empty: then jerk
// gives way (safe ∩ [-s, s], nearest the jerk box), then acceleration too
// (the states from which the law started at alpha = 0 would be safe, nearest
// the acceleration box).
#pragma once

#include <cstdint>

#include "kestrel_joint_limiter.h"
#include "limiter/braking_law.hpp"

namespace kestrel::limiter {

struct Interval {
    double lo;
    double hi;
};

// What one joint is asked and allowed in one call.
struct JointInput {
    Law law;
    double dt;
    double p, v, alpha;   // the state
    double min_p, max_p;  // position limits for this call (a position command narrows them)
    double max_v;         // velocity limit, finite (see velocity_ceiling)
    double target;        // the desired velocity change alpha'
    double raw_target;    // before the arrival shaping
    bool exact;           // the allowed interval is wanted whole (coupling), not just the result
    double landing;       // g^-1(-v): the step onto the landing curve
    bool inside;          // the state is the limiter's own (not flagged RECOVERING)
    bool soft;            // margins no wider than half the room (the fall-backs)
};

struct JointResult {
    double alpha;           // alpha' = v' - v
    Interval allowed;       // the alpha' the result was taken from
    std::uint32_t binding;  // KESTREL_LIMIT_* flags
    bool fell_back;         // the state was outside the set: jerk (and acceleration) could give way
};

JointResult limit_joint(const JointInput& given) noexcept;

// The largest speed the limiter lets a joint reach: the velocity limit, but
// no more than keeps v dt, the acceleration (v' - v) / dt and the sums of the
// braking law finite.
double velocity_ceiling(const KestrelJointLimits& l, double dt) noexcept;

// Whether the state (p, v, alpha) is outside the set: the law from it leaves
// a limit. Used after a reset and after acceleration gave way.
bool outside(const KestrelJointLimits& l, double dt, double p, double v, double alpha) noexcept;

}  // namespace kestrel::limiter
