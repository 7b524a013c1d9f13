// The joint limiter's stored state, inside the caller's KestrelJointLimiter,
// and the checks of what may enter it.
#pragma once

#include <cfloat>
#include <cstdint>
#include <new>
#include <type_traits>

#include "kestrel.h"
#include "kestrel_joint_limiter.h"

namespace kestrel::limiter {

constexpr std::uint32_t kMaxJoints = KESTREL_JOINT_LIMITER_MAX_JOINTS;
constexpr std::uint32_t kCoupledJoints = 4;

// Marks storage that init has set up ("KJL2"); anything else is refused.
constexpr std::uint32_t kMagic = 0x324C4A4Bu;

// The private layout behind KestrelJointLimiter.
struct LimiterState {
    std::uint32_t magic;
    std::uint32_t count;  // joints in use, 1..kMaxJoints
    double period;        // dt, seconds, in (0, 1]
    KestrelJointLimits limits[kMaxJoints];
    double position[kMaxJoints];        // p, always finite and inside its limits
    double velocity[kMaxJoints];        // v, always finite
    double step[kMaxJoints];            // alpha = a dt: v - v_before up to the rounding of v, finite
    std::uint32_t binding[kMaxJoints];  // KESTREL_LIMIT_* of the last call (or reset)
    LinearConstraints4 coupling;        // count 0: no coupling
    Solution4 last_solve;               // the solver's output of the last call
    std::uint32_t pure_tracking;        // 1: the request is tracked as given
};
static_assert(sizeof(LimiterState) <= sizeof(KestrelJointLimiter), "the published size holds the state");
static_assert(alignof(LimiterState) <= alignof(KestrelJointLimiter), "the published alignment suffices");
static_assert(std::is_trivially_destructible_v<LimiterState>, "storage is reused without destruction");

inline LimiterState* state_of(KestrelJointLimiter* storage) noexcept {
    return std::launder(reinterpret_cast<LimiterState*>(storage->opaque));
}
inline const LimiterState* state_of(const KestrelJointLimiter* storage) noexcept {
    return std::launder(reinterpret_cast<const LimiterState*>(storage->opaque));
}

// True when storage may hold a limiter: not null and aligned as published.
bool placeable(const KestrelJointLimiter* storage) noexcept;

// True when placeable storage was set up by init: the magic and the joint
// count are read bytewise, so storage that is not a state is only inspected,
// and a count that init could not have written (copied or damaged storage)
// never becomes a loop bound.
bool initialised(const KestrelJointLimiter* storage) noexcept;

// The largest speed a joint may have: an absent velocity limit stands for
// it. It keeps v dt, (v' - v) / dt and the braking law's sums finite.
inline double largest_speed(double dt) noexcept { return DBL_MAX / 8.0 * dt; }

// The refusals of init for one joint's limits (see the header), with the
// field at fault; dt 0 leaves out those that depend on the period.
KestrelError check_limits(const KestrelJointLimits& l, double dt, KestrelJointFault* fault) noexcept;
bool limits_valid(const KestrelJointLimits& l, double dt) noexcept;

bool position_valid(const KestrelJointLimits& l, double p) noexcept;

// The refusals of init (velocities null) and reset, in that order: count,
// period, every joint's limits, then each joint's position and velocity;
// dt 0 leaves out what depends on the period.
KestrelError check_joints(std::uint32_t count, const KestrelJointLimits* limits, double dt, const double* positions,
                          const double* velocities, KestrelJointFault* fault) noexcept;

}  // namespace kestrel::limiter
