// The coupling of joints 0..3 through the four-axis solver.
#pragma once

#include <cstdint>

#include "limiter/joint_step.hpp"
#include "limiter/limiter_state.hpp"

namespace kestrel::limiter {

// Projects joints 0..3 onto the coupling rows (see the header). `allowed`
// holds each joint's interval of velocities, `limited` the per-joint
// results, updated in place only when the solver's answer, clamped back into
// the intervals, meets every row; joints at or beyond `count` are held at 0.
void couple(LimiterState& s, const Interval* allowed, double* limited, std::uint32_t* binding) noexcept;

}  // namespace kestrel::limiter
