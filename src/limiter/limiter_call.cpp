#include "limiter/limiter_call.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "limiter/braking_law.hpp"
#include "limiter/coupling.hpp"
#include "limiter/joint_step.hpp"
#include "limiter/limiter_state.hpp"

namespace kestrel::limiter {

namespace {

// How far past its target, as a fraction of the position scale, a position
// command's planned stop may lie and still count as ending on it: the
// rounding of p + v' dt, half an ulp (2^-53) a period, over 2^16 periods.
constexpr double kTargetAllowance = 1.4551915228366852e-11;  // 2^-36

}  // namespace

KestrelError step_all(KestrelJointLimiter* limiter, const double* desired, const double* positions,
                      double* out_velocities, double* out_positions, std::uint32_t* binding) noexcept {
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LimiterState& s = *state_of(limiter);
    const double dt = s.period;
    Interval allowed[kCoupledJoints];        // velocities, for the solver
    Interval allowed_steps[kCoupledJoints];  // the same as alpha'

    // Every result is formed before anything is written, so inputs may alias outputs.
    double out[kMaxJoints];
    double steps[kMaxJoints];   // alpha' as chosen: v + alpha' is rounded, alpha' is kept exact
    Interval held[kMaxJoints];  // the positions of this call's limits, a position command's target included
    for (std::uint32_t j = 0; j < s.count; ++j) {
        const KestrelJointLimits& l = s.limits[j];
        JointInput in;
        in.law = make_law(l, dt);
        in.dt = dt;
        in.p = s.position[j];
        in.v = s.velocity[j];
        in.alpha = s.step[j];
        in.min_p = l.min_position;
        in.max_p = l.max_position;
        in.max_v = velocity_ceiling(l, dt);
        std::uint32_t stop = 0;
        double vd;
        if (positions != nullptr) {
            // A position command: the target narrows the limit on its side
            // and the joint is asked for full speed towards it.
            const double target = positions[j];
            if (target != target) {
                vd = 0.0;
                stop = KESTREL_LIMIT_STOP_REQUEST;
            } else {
                // Narrowed only while the joint can still stop at the
                // target; otherwise it brakes through it and comes back.
                // A joint riding its braking bound to the target plans a
                // stop that the rounding of p + v' dt moves a little each
                // period: a stop within kTargetAllowance past the target
                // still ends on it (the position is held to it below).
                // A joint held on its target while its stop lands keeps
                // the side it came from, and its request: asked to stop at
                // once it would leave the landing and turn back.
                // The rounding follows the positions the joint passed: its
                // limits bound them where they are finite.
                const double scale = std::fabs(target) + std::fabs(in.p) +
                                     (std::isfinite(l.min_position) ? std::fabs(l.min_position) : 0.0) +
                                     (std::isfinite(l.max_position) ? std::fabs(l.max_position) : 0.0);
                const double allowance = kTargetAllowance * scale;
                if (target > in.p || (target == in.p && in.v >= 0.0)) {
                    if (in.p + reach_up(in.law, in.v, in.alpha) * dt <= target + allowance) {
                        in.max_p = std::min(in.max_p, target);
                        vd = target > in.p || in.v > 0.0 ? in.max_v : 0.0;
                    } else {
                        vd = -in.max_v;
                    }
                } else if (in.p - reach_up(in.law, -in.v, -in.alpha) * dt >= target - allowance) {
                    in.min_p = std::max(in.min_p, target);
                    vd = -in.max_v;
                } else {
                    vd = in.max_v;
                }
            }
        } else {
            vd = desired[j];
            if (!std::isfinite(vd)) {
                vd = 0.0;
                stop = KESTREL_LIMIT_STOP_REQUEST;
            }
        }
        vd = std::clamp(vd, -2.0 * in.max_v, 2.0 * in.max_v);
        in.raw_target = vd - in.v;
        in.target = s.pure_tracking != 0 || positions != nullptr ? in.raw_target : gain_inverse(in.raw_target, in.law);
        if (positions != nullptr) in.raw_target = in.target;
        in.exact = j < kCoupledJoints && s.coupling.count > 0;
        in.landing = gain_inverse(-in.v, in.law);
        in.inside = (s.binding[j] & KESTREL_LIMIT_RECOVERING) == 0;
        held[j] = {std::max(in.min_p, -DBL_MAX), std::min(in.max_p, DBL_MAX)};
        const JointResult r = limit_joint(in);
        // An uncut request is returned as given (v + (v_d - v) may round).
        out[j] =
            r.alpha == in.raw_target && positions == nullptr ? vd : std::clamp(in.v + r.alpha, -in.max_v, in.max_v);
        // alpha' stays in its interval even where v + alpha' rounds (or the
        // velocity clamp moves v' by an ulp): the law runs on alpha.
        steps[j] = out[j] == in.v + r.alpha ? r.alpha : std::clamp(out[j] - in.v, r.allowed.lo, r.allowed.hi);
        s.binding[j] = r.binding | stop | (r.fell_back ? std::uint32_t{KESTREL_LIMIT_RECOVERING} : 0u);
        if (j < kCoupledJoints) {
            // Clamped like the result (monotone, so lo <= hi stays).
            allowed_steps[j] = r.allowed;
            allowed[j] = {std::clamp(in.v + r.allowed.lo, -in.max_v, in.max_v),
                          std::clamp(in.v + r.allowed.hi, -in.max_v, in.max_v)};
        }
    }
    if (s.coupling.count > 0) {
        couple(s, allowed, out, s.binding);
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        const KestrelJointLimits& l = s.limits[j];
        // p + v' dt can round an ulp past a limit or a target (or overflow
        // when a limit is absent): keep p inside them and finite.
        const double p = s.position[j] + out[j] * dt;
        s.position[j] = std::clamp(finite_or_max(p), held[j].lo, held[j].hi);
        // The law's sums run on alpha; keeping the chosen alpha' rather than
        // the rounded v' - v keeps a ramp at max jerk exact period after
        // period (the rounding of v' alone moves a stop far less).
        // A coupled result keeps alpha' inside its interval: v' - v may round
        // past it where v' is large beside the step.
        if (j < kCoupledJoints && out[j] != s.velocity[j] + steps[j]) {
            steps[j] = std::clamp(out[j] - s.velocity[j], allowed_steps[j].lo, allowed_steps[j].hi);
        }
        s.step[j] = steps[j];
        s.velocity[j] = out[j];
        // After a fall-back the state may still be outside: so it says.
        if ((s.binding[j] & KESTREL_LIMIT_RECOVERING) && !outside(l, dt, s.position[j], s.velocity[j], s.step[j])) {
            s.binding[j] &= ~std::uint32_t{KESTREL_LIMIT_RECOVERING};
        }
        if (out_velocities != nullptr) out_velocities[j] = out[j];
        if (out_positions != nullptr) out_positions[j] = s.position[j];
        if (binding != nullptr) binding[j] = s.binding[j];
    }
    return KESTREL_OK;
}

}  // namespace kestrel::limiter
