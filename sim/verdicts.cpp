#include "verdicts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "simulated_clock.h"

namespace kestrel_sim {
namespace {

// Periods from the measurement that trips to the first braking command: the
// monitor judges the state after a step and the limiter's stop takes effect
// in the next period's command.
constexpr double kReaction = 2 * kPeriod;
// The drive's settling onto a stopped command: its critically damped error
// decays as (1 + w t) e^(-w t), under 0.3 % by w t = 8.
constexpr double kSettle = 8.0 / Drive::kBandwidth;

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()));
    std::nth_element(values.begin(), values.begin() + at, values.end());
    return values[at];
}

bool verdict(bool pass, const char *check, const std::string &detail) {
    std::printf("%s %s: %s\n", pass ? "PASS" : "FAIL", check, detail.c_str());
    return pass;
}

std::string format(const char *pattern, double a, double b = 0, double c = 0, double d = 0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

}  // namespace

StopBound stop_bound(const KestrelJointLimits &limits, double speed, double following_error) {
    const double acceleration = limits.max_acceleration, jerk = limits.max_jerk;
    // The worst start: still accelerating at the limit, which adds A^2 / 2J
    // before the ramp to braking has cancelled it.
    const double peak = speed + acceleration * acceleration / (2 * jerk);
    const double ramps = 3 * acceleration / jerk;
    return {kReaction + peak / acceleration + ramps + kSettle,
            speed * kReaction + peak * ramps + peak * peak / (2 * acceleration) + following_error};
}

Judge::Judge(const Robot &robot, const KestrelMonitorConfig &monitor, Expected expected, size_t periods)
    : robot_(robot),
      monitor_(monitor),
      expected_(expected),
      commanded_(robot.home()),
      trip_position_(robot.joints.size()),
      distance_(robot.joints.size()),
      bound_(robot.joints.size()) {
    chain_.reserve(periods);
    step_.reserve(periods);
}

void Judge::cost(double chain_seconds, double step_seconds) {
    chain_.push_back(chain_seconds);
    step_.push_back(step_seconds);
}

void Judge::period(double time, const std::vector<double> &positions, const std::vector<double> &velocities,
                   const ServoCommands &command, const std::vector<double> &torques, KestrelMonitorState state,
                   const KestrelTrip &trip) {
    const bool trips_now = !tripped_ && state != KESTREL_MONITOR_RUN;
    if (trips_now) {
        tripped_ = true;
        trip_ = trip;
        trip_time_ = time;
    }
    bool at_rest = true;
    for (size_t index = 0; index < robot_.joints.size(); ++index) {
        const DrivenJoint &joint = robot_.joints[index];
        const double position = positions[index], velocity = velocities[index];
        // The command of the last period was for this instant.
        const double following = std::abs(commanded_[index] - position);
        commanded_[index] = command.positions[index];
        if (!std::isfinite(command.positions[index]) || !std::isfinite(command.velocities[index]) ||
            !std::isfinite(command.accelerations[index]) || !std::isfinite(torques[index])) {
            ++non_finite_;
        }
        const double tolerance = monitor_.position_tolerance;
        const double outside = std::max(position - joint.limits.max_position - tolerance,
                                        joint.limits.min_position - tolerance - position);
        if (!(outside <= position_excess_)) {
            position_excess_ = std::isnan(outside) ? INFINITY : outside;
            position_joint_ = index;
            position_time_ = time;
        }
        const double fast = std::abs(velocity) / (joint.limits.max_velocity * (1 + monitor_.velocity_tolerance)) - 1;
        if (state == KESTREL_MONITOR_RUN && !(fast <= velocity_excess_)) {
            velocity_excess_ = std::isnan(fast) ? INFINITY : fast;
            velocity_joint_ = index;
            velocity_time_ = time;
        }
        if (!tripped_ && !command.torque_off) {
            tracking_sum_ += following;
            ++tracked_;
            if (following > tracking_max_) {
                tracking_max_ = following;
                tracking_joint_ = index;
            }
        }
        if (trips_now) {
            trip_position_[index] = position;
            const double speed = std::max(std::abs(velocity), std::abs(command.velocities[index]));
            bound_[index] = stop_bound(joint.limits, speed, following);
        }
        if (tripped_) distance_[index] = std::max(distance_[index], std::abs(position - trip_position_[index]));
        at_rest = at_rest && std::abs(velocity) < monitor_.standstill_velocity;
    }
    // The stop ends when every joint is at rest, whatever the monitor's state.
    if (tripped_ && !stopped_ && at_rest) {
        stopped_ = true;
        stop_time_ = time;
    }
}

bool Judge::report(const mjData *plant, const KestrelTrip &last, double duration, uint64_t injected_accepted,
                   uint64_t accepted_late, uint64_t refused_stale, uint64_t refusals, double wall) const {
    std::printf("time: %.3f s simulated in %.3f s of wall time (wall/simulated %.3f)\n", plant->time, wall,
                wall / std::max(plant->time, 1e-9));
    std::printf("cost per period: chain median %.1f us, p99 %.1f us; MuJoCo's step median %.1f us, p99 %.1f us\n",
                1e6 * percentile(chain_, 0.5), 1e6 * percentile(chain_, 0.99), 1e6 * percentile(step_, 0.5),
                1e6 * percentile(step_, 0.99));
    std::printf(
        "tracking error (commanded vs measured position, same instant, until a trip): max %.3g (%s), "
        "mean %.3g\n",
        tracking_max_, robot_.joints[tracking_joint_].name.c_str(), tracked_ ? tracking_sum_ / tracked_ : 0.0);
    std::printf("frames: %llu refused as stale, %llu refused by the boundary\n",
                static_cast<unsigned long long>(refused_stale), static_cast<unsigned long long>(refusals));

    bool pass = true;
    int warnings = 0;
    for (int kind = 0; kind < mjNWARNING; ++kind) warnings += plant->warning[kind].number;
    pass &= verdict(warnings == 0, "mujoco", std::to_string(warnings) + " warnings (instability, bad numbers)");
    pass &= verdict(plant->time >= duration - kPeriod / 2, "duration",
                    format("%.3f s of %.3f s simulated", plant->time, duration));
    pass &= verdict(position_excess_ <= 0, "position",
                    format("worst %.4g beyond limit + tolerance %.3g", position_excess_, monitor_.position_tolerance) +
                        " (" + robot_.joints[position_joint_].name + format(", %.3f s)", position_time_));
    pass &= verdict(velocity_excess_ <= 0, "velocity",
                    format("worst %+.1f %% of limit x (1 + %.2f) while the monitor let the arm run",
                           100 * velocity_excess_, monitor_.velocity_tolerance) +
                        " (" + robot_.joints[velocity_joint_].name + format(", %.3f s)", velocity_time_));
    pass &=
        verdict(injected_accepted == 0 && accepted_late == 0 && refusals == 0, "frames",
                std::to_string(injected_accepted) + " injected accepted, " + std::to_string(accepted_late) +
                    " accepted older than the maximum age, " + std::to_string(refusals) + " refused by the boundary");
    pass &= verdict(non_finite_ == 0, "finite", std::to_string(non_finite_) + " non-finite values sent to the plant");

    const uint64_t trip_ns = trip_.time_ns;
    const auto describe = [&](const KestrelTrip &trip) {
        const char *function = kestrel_safety_function_name(trip.function);
        std::string text = function ? function : "?";
        if (trip.function != KESTREL_TRIP_REQUEST && trip.joint < robot_.joints.size()) {
            text += " on " + robot_.joints[trip.joint].name;
        }
        return text + format(" at %.3f s",
                             trip_time_ + 1e-9 * (static_cast<double>(trip.time_ns) - static_cast<double>(trip_ns)));
    };
    const bool as_expected = expected_ == Expected::no_trip   ? !tripped_
                             : expected_ == Expected::request ? tripped_ && trip_.function == KESTREL_TRIP_REQUEST
                                                              : tripped_ && trip_.function != KESTREL_TRIP_REQUEST;
    const char *wanted = expected_ == Expected::no_trip   ? "no trip"
                         : expected_ == Expected::request ? "a requested stop"
                                                          : "a measured trip";
    pass &= verdict(as_expected, "monitor",
                    std::string(wanted) + " expected; " + (tripped_ ? describe(trip_) : std::string("no trip")) +
                        (tripped_ && last.time_ns != trip_.time_ns ? ", then " + describe(last) : std::string()));
    if (!tripped_) return pass;
    double worst_time = 0, worst_share = 0;
    size_t worst = 0;
    for (size_t index = 0; index < robot_.joints.size(); ++index) {
        worst_time = std::max(worst_time, bound_[index].time);
        const double share = distance_[index] / bound_[index].distance;
        if (share >= worst_share) worst_share = share, worst = index;
    }
    const double taken = stopped_ ? stop_time_ - trip_time_ : INFINITY;
    const bool at_rest = std::all_of(robot_.joints.begin(), robot_.joints.end(), [&](const DrivenJoint &joint) {
        return std::abs(plant->qvel[joint.dof]) < monitor_.standstill_velocity;
    });
    return pass &
           verdict(stopped_ && taken <= worst_time && worst_share <= 1.0 && at_rest, "stop",
                   format("%.3f s (bound %.3f s); ", taken, worst_time) +
                       format("distance %.4g (bound %.4g, ", distance_[worst], bound_[worst].distance) +
                       robot_.joints[worst].name + "); " + (at_rest ? "at rest at the end" : "moving at the end"));
}

}  // namespace kestrel_sim
