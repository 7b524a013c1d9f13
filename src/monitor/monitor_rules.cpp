// The monitor's rules on one joint: see monitor_rules.hpp.
#include "monitor/monitor_rules.hpp"

#include <algorithm>
#include <cmath>

namespace kestrel::monitor {

using limiter::Law;

Breach speed_breach(const KestrelJointLimits& limits, double velocity_tolerance, double v) noexcept {
    const double limit = limits.max_velocity * (1.0 + velocity_tolerance);
    return {!(std::fabs(v) <= limit), v, std::copysign(limit, v)};
}

Breach position_breach(const KestrelJointLimits& limits, double position_tolerance, double p) noexcept {
    const double high = limits.max_position + position_tolerance;
    const double low = limits.min_position - position_tolerance;
    if (p > high) return {true, p, high};
    if (p < low) return {true, p, low};
    return {false, p, high};
}

Breach reach_breach(const KestrelJointLimits& limits, const Law& law, double dt, double position_tolerance,
                    double p, double v, double alpha) noexcept {
    // A measured change beyond the acceleration limit (a jolt, noise on the
    // velocity) is the limit: the joint brakes no harder than -s, and its
    // drive holds it to s.
    const double a = std::clamp(alpha, -law.s, law.s);
    if (limits.max_position < limiter::kInf) {
        // The law's reach above p, from (v, alpha): the whole stop, or the rise before an upward one.
        const double rest = p + limiter::reach_up(law, v, a) * dt;
        const double high = limits.max_position + position_tolerance;
        if (!(rest <= high + kReachRounding * (std::fabs(limits.max_position) + std::fabs(p)))) {
            return {true, rest, high};
        }
    }
    if (limits.min_position > -limiter::kInf) {
        const double rest = p - limiter::reach_up(law, -v, -a) * dt;  // the mirror image: the reach below p
        const double low = limits.min_position - position_tolerance;
        if (!(rest >= low - kReachRounding * (std::fabs(limits.min_position) + std::fabs(p)))) {
            return {true, rest, low};
        }
    }
    return {false, p, limits.max_position + position_tolerance};
}

void LawRun::step(const Law& law) noexcept {
    // The limiter's stop request: the law's own step, landing on v = 0
    // (g^-1(-v) is the step onto the landing curve).
    const double next = limiter::law_step(law, v, alpha, limiter::gain_inverse(-v, law));
    v += next;
    alpha = next;
}

Ramp Ramp::start(const Law& law, double v, double alpha) noexcept {
    const double exact = std::clamp(alpha, -law.s, law.s);
    // The direction of motion: of v, or of alpha from rest.
    const double direction = v > 0.0 || (v == 0.0 && alpha > 0.0) ? 1.0 : -1.0;
    const double calm = direction * std::max(direction * exact, 0.0);
    return {{v, exact}, {v, calm}};
}

double Ramp::speed() const noexcept { return std::max(std::fabs(exact.v), std::fabs(calm.v)); }

Breach ramp_breach(const KestrelJointLimits& limits, double velocity_tolerance, const Ramp& ramp,
                   double v) noexcept {
    const double limit = ramp.speed() + limits.max_velocity * (velocity_tolerance + kSpeedRounding);
    return {!(std::fabs(v) <= limit), v, std::copysign(limit, v)};
}

Breach hold_breach(double position_tolerance, double standstill_velocity, double held, double p,
                   double v) noexcept {
    if (!(std::fabs(p - held) <= position_tolerance)) {
        return {true, p, p > held ? held + position_tolerance : held - position_tolerance};
    }
    return {!(std::fabs(v) <= standstill_velocity), v, std::copysign(standstill_velocity, v)};
}

}  // namespace kestrel::monitor
