// The scalar active-set projection kernel.
//
// The feasible set of one variable is an interval, so the kernel needs no
// iteration: it decides in one pass which constraint is active. It is defined
// inline so that Governor's batch loop pays no call per command; the exported
// C entry point in scalar_active_set.cpp wraps the same function.
#pragma once

#include <cstdint>

#include "kestrel.h"

namespace kestrel {

namespace scalar {

// The iteration count every call reports: the feasible set of one
// variable is an interval, so one pass decides which constraint is active.
inline constexpr std::uint64_t kIterations = 1;

}  // namespace scalar

namespace detail {

// u clamped above at t: t if u > t, else u. A NaN u stays NaN and a NaN t
// leaves u unchanged, because ordered comparisons with NaN are false.
constexpr float clamp_above(float u, float t) noexcept { return u > t ? t : u; }

// The smaller of r and limit, where a NaN on one side yields the other side.
constexpr float smaller_ignoring_nan(float r, float limit) noexcept {
    if (limit != limit) return r;
    if (r != r) return limit;
    return r < limit ? r : limit;
}

// The larger of r and limit, where a NaN on one side yields the other side.
constexpr float larger_ignoring_nan(float r, float limit) noexcept {
    if (limit != limit) return r;
    if (r != r) return limit;
    return r > limit ? r : limit;
}

}  // namespace detail

// solve_active_set projects u onto {x : lo <= x <= hi, a*x <= b}, where
// a = coefficients[0] and b = limits[0]; constraint entries 1..3 are never
// read. Every comparison is an IEEE ordered comparison (false with a NaN), so
// a NaN bound or limit drops that restriction and a NaN u comes back NaN.
// Returns x, iterations = scalar::kIterations and status Optimal or
// Infeasible. Pure; never fails.
//
// This overload takes r = limits[0] / coefficients[0], the point where the
// constraint is tight, computed by the caller: a caller whose constraints
// never change divides once instead of once per command.
[[nodiscard]] constexpr ScalarSolution solve_active_set(const ScalarConstraints& constraints, float r, float u,
                                                        ScalarBounds bounds) noexcept {
    using detail::clamp_above;
    const float a = constraints.coefficients[0];
    const float b = constraints.limits[0];
    const float lo = bounds.lower;
    const float hi = bounds.upper;

    ScalarSolution solution{};
    solution.iterations = scalar::kIterations;
    solution.status = KESTREL_STATUS_OPTIMAL;

    if (a == 0.0f) {
        // The constraint reads 0 <= b and does not involve x (true for -0 too).
        solution.x = u < lo ? lo : clamp_above(u, hi);
        if (b < 0.0f) solution.status = KESTREL_STATUS_INFEASIBLE;
        return solution;
    }

    if (a > 0.0f) {
        // x <= r
        if (lo > r) {
            solution.x = lo;
            solution.status = KESTREL_STATUS_INFEASIBLE;
            return solution;
        }
        const float top = detail::smaller_ignoring_nan(r, hi);
        solution.x = u < lo ? lo : clamp_above(u, top);
        return solution;
    }

    // a < 0, or a is NaN (then r is NaN and the constraint is ignored): x >= r
    if (r > hi) {
        solution.x = r < lo ? lo : hi;
        solution.status = KESTREL_STATUS_INFEASIBLE;
        return solution;
    }
    const float bottom = detail::larger_ignoring_nan(r, lo);
    solution.x = u < bottom ? bottom : clamp_above(u, hi);
    return solution;
}

// The point where constraint 0 is tight; unused by the kernel when a == 0.
[[nodiscard]] constexpr float tight_point(const ScalarConstraints& constraints) noexcept {
    return constraints.limits[0] / constraints.coefficients[0];
}

[[nodiscard]] constexpr ScalarSolution solve_active_set(const ScalarConstraints& constraints, float u,
                                                        ScalarBounds bounds) noexcept {
    return solve_active_set(constraints, tight_point(constraints), u, bounds);
}

}  // namespace kestrel
