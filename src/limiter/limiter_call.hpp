// One call of the joint limiter: every joint's step, the coupling, and the
// stored state advanced.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cstdint>

#include "kestrel_joint_limiter.h"

namespace kestrel::limiter {

inline double finite_or_max(double x) noexcept { return std::clamp(x, -DBL_MAX, DBL_MAX); }

// A call of limit (positions null) or limit_position: one step of every joint.
KestrelError step_all(KestrelJointLimiter* limiter, const double* desired, const double* positions,
                      double* out_velocities, double* out_positions, std::uint32_t* binding) noexcept;

}  // namespace kestrel::limiter
