#include "limiter/coupling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kestrel.h"
#include "solve/multivar_4d.hpp"

namespace kestrel::limiter {

namespace {

// Largest float <= x, and smallest float >= x (infinities stay infinite, a
// double beyond the float range becomes +-FLT_MAX on the inner side).
float float_below(double x) noexcept {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) {
        f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    }
    return f;
}
float float_above(double x) noexcept {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) {
        f = std::nextafter(f, std::numeric_limits<float>::infinity());
    }
    return f;
}

// The rows' tolerance (README, "Notes on behaviour"): the four-axis solver
// meets a row within kTol plus kRowRounding of the command's magnitude times
// the row's norm.
constexpr double kRowTolerance = multivar::kTol;
constexpr double kRowRelative = multivar::kRowRounding;

}  // namespace

void couple(LimiterState& s, const Interval* allowed, double* limited, std::uint32_t* binding) noexcept {
    Vec4 desired;
    Bounds4 box;
    double magnitude = 0.0;
    for (std::uint32_t k = 0; k < kCoupledJoints; ++k) {
        if (k >= s.count) {
            desired[k] = 0.0f;
            box.lower[k] = 0.0f;
            box.upper[k] = 0.0f;
            continue;
        }
        desired[k] = static_cast<float>(limited[k]);
        magnitude += limited[k] * limited[k];
        box.lower[k] = float_above(allowed[k].lo);
        box.upper[k] = float_below(allowed[k].hi);
        if (box.lower[k] > box.upper[k]) {
            // The interval is narrower than a float's spacing: pin the lane
            // at its (rounded) result; the clamp below restores the interval.
            box.lower[k] = box.upper[k] = desired[k];
        }
    }
    magnitude = std::sqrt(magnitude);
    s.last_solve = solve_multivar_4d(desired, box, s.coupling);
    const SolveStatus status = s.last_solve.status;
    double x[kCoupledJoints] = {0.0, 0.0, 0.0, 0.0};
    bool usable = status == KESTREL_STATUS_OPTIMAL || status == KESTREL_STATUS_MAX_ITERATIONS;
    for (std::uint32_t k = 0; k < kCoupledJoints && k < s.count && usable; ++k) {
        const float xk = s.last_solve.x[k];
        if (!std::isfinite(xk)) {
            usable = false;
        } else {
            // Unmoved lanes keep their double value.
            x[k] = xk == desired[k] ? limited[k] : std::clamp(static_cast<double>(xk), allowed[k].lo, allowed[k].hi);
        }
    }
    // Every row, in double, at the values that would be commanded.
    for (std::uint64_t i = 0; i < s.coupling.count && usable; ++i) {
        double dot = 0.0, norm = 0.0;
        for (std::uint32_t k = 0; k < kCoupledJoints; ++k) {
            const double c = s.coupling.coefficients[i][k];
            if (c != 0.0) dot += c * x[k];
            norm += c * c;
        }
        const double limit = s.coupling.limits[i];
        if (!(dot <= limit + kRowTolerance + kRowRelative * magnitude * std::sqrt(norm)) && !(limit == kInf)) {
            usable = false;
        }
    }
    const std::uint32_t n = std::min(s.count, kCoupledJoints);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (!usable) {
            binding[k] |= KESTREL_LIMIT_COUPLING_UNMET;
        } else if (x[k] != limited[k]) {
            limited[k] = x[k];
            binding[k] |= KESTREL_LIMIT_COUPLING;
        }
    }
}

}  // namespace kestrel::limiter
