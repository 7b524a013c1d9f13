// The monitor's state machine: see monitor.hpp for the table of states.
#include "monitor/monitor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel::monitor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMaxCatchUp = KESTREL_MONITOR_MAX_CATCH_UP;

// A bound on the periods of the law's stop from (v, alpha): the peak speed
// vp <= |v| + |alpha| + alpha^2 / (2j), the ramps at most (|alpha| + 2s) / j
// + 3 periods, the hold at most vp / s + 1. A fallback for a run that rounds
// short of exact rest.
double stop_periods_bound(const limiter::Law& law, double v, double alpha) noexcept {
    const double a = std::fabs(alpha);
    const double vp = std::fabs(v) + a + a * a * 0.5 * law.inv_j;
    return (a + 2.0 * law.s) * law.inv_j + 3.0 + vp * law.inv_s + 1.0;
}

}  // namespace

Monitor::Monitor(std::uint32_t n, const KestrelJointLimits* limits, const KestrelMonitorConfig& c,
                 Clock from) noexcept
    : count(n), state(KESTREL_MONITOR_RUN), config(c), clock(from), measured(false), last_finite(false),
      measured_at(0), period_ns(0), stop_at(0), stop_period_ns(0), ramp_steps(0), ramp_bound(0), ramp_end(0),
      first{}, last{}, refusal{}, joints{} {
    for (std::uint32_t j = 0; j < n; ++j) joints[j].limits = limits[j];
}

limiter::Law Monitor::law_of(std::uint32_t joint, std::uint64_t period) const noexcept {
    return limiter::make_law(joints[joint].limits, static_cast<double>(period) * 1e-9);
}

std::uint32_t Monitor::unmeasurable(const double* positions, const double* velocities) const noexcept {
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!std::isfinite(positions[j]) || !std::isfinite(velocities[j])) return j;
    }
    return count;
}

void Monitor::remember(const double* positions, const double* velocities, std::uint64_t now) noexcept {
    if (unmeasurable(positions, velocities) < count) {
        last_finite = false;
        return;
    }
    // A reading at or before the last one (a second check in a period, a
    // wall clock set back) keeps the period measured before.
    if (measured && now > measured_at) period_ns = now - measured_at;
    for (std::uint32_t j = 0; j < count; ++j) {
        JointWatch& w = joints[j];
        w.alpha = measured ? velocities[j] - w.velocity : 0.0;
        w.position = positions[j];
        w.velocity = velocities[j];
    }
    measured = true;
    last_finite = true;
    measured_at = now;
}

void Monitor::trip(KestrelSafetyFunction function, std::uint32_t joint, double value, double limit,
                   std::uint64_t now) noexcept {
    last = {function, joint, value, limit, now};
    if (first.function == KESTREL_TRIP_NONE) first = last;
}

void Monitor::start_stop(bool blind) noexcept {
    if (!measured || period_ns == 0) {
        state = KESTREL_MONITOR_TORQUE_OFF;  // no period measured: the stop cannot be watched
        return;
    }
    state = KESTREL_MONITOR_STOPPING;
    stop_at = measured_at;
    stop_period_ns = period_ns;
    ramp_steps = 0;
    ramp_end = 0;
    double bound = 0.0;
    for (std::uint32_t j = 0; j < count; ++j) {
        JointWatch& w = joints[j];
        const limiter::Law law = law_of(j, stop_period_ns);
        double v = w.velocity, alpha = w.alpha;
        if (blind) {
            // The measurement of the trip was lost, and with it the period
            // before the stop: the joint may have sped up by one more jerk
            // step in its direction of motion.
            const double direction = v > 0.0 || (v == 0.0 && alpha > 0.0) ? 1.0 : -1.0;
            alpha = direction * std::min(direction * alpha + law.j, law.s);
            v += alpha;
        }
        w.ramp = Ramp::start(law, v, alpha);
        bound = std::max(bound, stop_periods_bound(law, v, alpha));
    }
    if (blind) stop_at += stop_period_ns;
    ramp_bound = bound < 4.0e18 ? static_cast<std::uint64_t>(std::ceil(bound)) : UINT64_MAX;
}

bool Monitor::ramps_reach(std::uint64_t steps) noexcept {
    if (steps > ramp_steps + kMaxCatchUp) return false;
    if (ramp_end != 0 || steps <= ramp_steps) {
        ramp_steps = std::max(ramp_steps, steps);
        return true;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        const limiter::Law law = law_of(j, stop_period_ns);
        Ramp& ramp = joints[j].ramp;
        for (std::uint64_t k = ramp_steps; k < steps && !ramp.at_rest(); ++k) ramp.step(law);
    }
    ramp_steps = steps;
    bool rest = true;
    for (std::uint32_t j = 0; j < count; ++j) rest = rest && joints[j].ramp.at_rest();
    if (rest || ramp_steps >= ramp_bound) ramp_end = std::max<std::uint64_t>(ramp_steps, 1);
    return true;
}

bool Monitor::measured_or_torque_off(const double* positions, const double* velocities, std::uint64_t now) noexcept {
    const std::uint32_t bad = unmeasurable(positions, velocities);
    if (bad < count) {
        last_finite = false;
        trip(KESTREL_TRIP_MEASUREMENT, bad, kNaN, kNaN, now);
        state = KESTREL_MONITOR_TORQUE_OFF;
        return false;
    }
    remember(positions, velocities, now);
    return true;
}

bool Monitor::at_standstill(const double* velocities) const noexcept {
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!(std::fabs(velocities[j]) <= config.standstill_velocity)) return false;
    }
    return true;
}

void Monitor::check_run(const double* positions, const double* velocities, std::uint64_t now) noexcept {
    const std::uint32_t bad = unmeasurable(positions, velocities);
    if (bad < count) {
        last_finite = false;
        trip(KESTREL_TRIP_MEASUREMENT, bad, kNaN, kNaN, now);
        start_stop(true);
        return;
    }
    remember(positions, velocities, now);
    for (std::uint32_t j = 0; j < count; ++j) {
        const JointWatch& w = joints[j];
        Breach b = speed_breach(w.limits, config.velocity_tolerance, w.velocity);
        KestrelSafetyFunction function = KESTREL_TRIP_SLS;
        if (!b.broken) {
            b = position_breach(w.limits, config.position_tolerance, w.position);
            function = KESTREL_TRIP_SLP;
        }
        if (!b.broken && period_ns != 0) {
            b = reach_breach(w.limits, law_of(j, period_ns), static_cast<double>(period_ns) * 1e-9,
                             config.position_tolerance, w.position, w.velocity, w.alpha);
        }
        if (b.broken) {
            trip(function, j, b.value, b.limit, now);
            start_stop(false);
            return;
        }
    }
}

void Monitor::check_stopping(const double* positions, const double* velocities, std::uint64_t now) noexcept {
    if (!measured_or_torque_off(positions, velocities, now)) return;
    for (std::uint32_t j = 0; j < count; ++j) {
        const Breach b = position_breach(joints[j].limits, config.position_tolerance, positions[j]);
        if (b.broken) {
            trip(KESTREL_TRIP_SLP, j, b.value, b.limit, now);
            state = KESTREL_MONITOR_TORQUE_OFF;
            return;
        }
    }
    const std::uint64_t steps = now > stop_at ? (now - stop_at) / stop_period_ns : 0;
    if (!ramps_reach(steps)) {
        trip(stop_function(), 0, kNaN, kNaN, now);  // the checks stopped coming: the stop went unwatched
        state = KESTREL_MONITOR_TORQUE_OFF;
        return;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        const Breach b = ramp_breach(joints[j].limits, config.velocity_tolerance, joints[j].ramp, velocities[j]);
        if (b.broken) {
            trip(stop_function(), j, b.value, b.limit, now);
            state = KESTREL_MONITOR_TORQUE_OFF;
            return;
        }
    }
    if (at_standstill(velocities)) {
        if (config.stop == KESTREL_MONITOR_SS2) {
            for (std::uint32_t j = 0; j < count; ++j) joints[j].held = positions[j];
            state = KESTREL_MONITOR_STANDSTILL;
        } else {
            state = KESTREL_MONITOR_TORQUE_OFF;
        }
        return;
    }
    // The deadline: the ramps' periods to rest, times (1 + velocity_tolerance), plus 2.
    if (ramp_end != 0 &&
        static_cast<double>(steps) > std::ceil(static_cast<double>(ramp_end) * (1.0 + config.velocity_tolerance)) + 2.0) {
        for (std::uint32_t j = 0; j < count; ++j) {
            if (!(std::fabs(velocities[j]) <= config.standstill_velocity)) {
                trip(stop_function(), j, velocities[j], std::copysign(config.standstill_velocity, velocities[j]), now);
                break;
            }
        }
        state = KESTREL_MONITOR_TORQUE_OFF;
    }
}

void Monitor::check_standstill(const double* positions, const double* velocities, std::uint64_t now) noexcept {
    if (!measured_or_torque_off(positions, velocities, now)) return;
    for (std::uint32_t j = 0; j < count; ++j) {
        const Breach b = hold_breach(config.position_tolerance, config.standstill_velocity, joints[j].held,
                                     positions[j], velocities[j]);
        if (b.broken) {
            trip(KESTREL_TRIP_SOS, j, b.value, b.limit, now);
            state = KESTREL_MONITOR_TORQUE_OFF;
            return;
        }
    }
}

KestrelMonitorState Monitor::check(const double* positions, const double* velocities) noexcept {
    const std::uint64_t now = clock.now();
    switch (state) {
        case KESTREL_MONITOR_RUN: check_run(positions, velocities, now); break;
        case KESTREL_MONITOR_STOPPING: check_stopping(positions, velocities, now); break;
        case KESTREL_MONITOR_STANDSTILL: check_standstill(positions, velocities, now); break;
        default: remember(positions, velocities, now); break;  // TORQUE_OFF: kept for acknowledge
    }
    return state;
}

void Monitor::request_stop() noexcept {
    if (state != KESTREL_MONITOR_RUN) return;
    trip(KESTREL_TRIP_REQUEST, 0, kNaN, kNaN, clock.now());
    start_stop(false);
}

bool Monitor::acknowledge() noexcept {
    if (state == KESTREL_MONITOR_RUN) {
        refusal = {};
        return true;
    }
    if (state == KESTREL_MONITOR_STOPPING) {
        refusal = {stop_function(), 0, kNaN, kNaN, measured_at};
        return false;
    }
    if (!last_finite) {
        refusal = {KESTREL_TRIP_MEASUREMENT, 0, kNaN, kNaN, measured_at};
        return false;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        const JointWatch& w = joints[j];
        if (!(std::fabs(w.velocity) <= config.standstill_velocity)) {
            refusal = {KESTREL_TRIP_SOS, j, w.velocity, std::copysign(config.standstill_velocity, w.velocity),
                       measured_at};
            return false;
        }
        const Breach b = position_breach(w.limits, 0.0, w.position);
        if (b.broken) {
            refusal = {KESTREL_TRIP_SLP, j, b.value, b.limit, measured_at};
            return false;
        }
    }
    state = KESTREL_MONITOR_RUN;
    first = last = refusal = {};
    return true;
}

}  // namespace kestrel::monitor
