// The Governor: the safe envelope [min_bound, max_bound] of one scalar
// command, and the projection of commands into it through the scalar kernel.
//
// Its whole state is the kernel's two records, fixed at construction:
//   constraints  row 0:  x <= max_bound      (the only row the kernel reads)
//                row 1: -x <= -min_bound     (carried; the bounds enforce it)
//   bounds       [min_bound, max_bound]
// Immutable once made, so any number of threads may project through one.
#pragma once

#include <optional>

#include "kestrel.h"
#include "solve/scalar_active_set.hpp"

namespace kestrel {

// envelope_valid holds when max_bound is strictly above min_bound: an ordered
// comparison, false when either is NaN (either may be infinite). It is made on
// the single-precision values, so two doubles that round to one float fail it.
[[nodiscard]] constexpr bool envelope_valid(float min_bound, float max_bound) noexcept { return max_bound > min_bound; }

class Governor {
public:
    // make returns the Governor of [min_bound, max_bound], or nothing unless
    // envelope_valid(min_bound, max_bound).
    [[nodiscard]] static constexpr std::optional<Governor> make(float min_bound, float max_bound) noexcept {
        if (!envelope_valid(min_bound, max_bound)) return std::nullopt;
        return Governor(min_bound, max_bound);
    }

    // project returns u in the envelope: NaN stays NaN, u below min_bound
    // gives min_bound, above max_bound gives max_bound, else u itself. The
    // kernel decides; the clamp after it makes the bound hold by itself,
    // whatever the kernel's answer. Pure; allocates nothing.
    [[nodiscard]] constexpr float project(float u) const noexcept {
        float x = solve_active_set(constraints_, tight_point_, u, bounds_).x;
        if (x < bounds_.lower) x = bounds_.lower;
        if (x > bounds_.upper) x = bounds_.upper;
        return x;
    }

    [[nodiscard]] constexpr float min_bound() const noexcept { return bounds_.lower; }
    [[nodiscard]] constexpr float max_bound() const noexcept { return bounds_.upper; }

private:
    constexpr Governor(float min_bound, float max_bound) noexcept
        : constraints_{{1.0f, -1.0f, 0.0f, 0.0f}, {max_bound, -min_bound, 0.0f, 0.0f}},
          bounds_{min_bound, max_bound},
          tight_point_(tight_point(constraints_)) {}

    ScalarConstraints constraints_;
    ScalarBounds bounds_;
    float tight_point_;  // limits[0] / coefficients[0], divided once here instead of once per command
};

}  // namespace kestrel
