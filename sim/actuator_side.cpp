#include "actuator_side.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "kestrel_frame.h"
#include "scenario.h"

namespace kestrel_sim {
namespace {

const char *state_name(KestrelMonitorState state) {
    switch (state) {
        case KESTREL_MONITOR_RUN:
            return "run";
        case KESTREL_MONITOR_STOPPING:
            return "stopping";
        case KESTREL_MONITOR_STANDSTILL:
            return "standstill";
        case KESTREL_MONITOR_TORQUE_OFF:
            return "torque_off";
    }
    return "?";
}

}  // namespace

ActuatorSide::ActuatorSide(const Robot &robot, const ActuatorConfig &config, const uint8_t key[KESTREL_KEY_LEN],
                           SimulatedClock &clock)
    : robot_(robot), config_(config), guard_(std::make_unique<KestrelReceiptGuard>()), desired_(robot.joints.size()) {
    const uint32_t count = static_cast<uint32_t>(robot.joints.size());
    require_ok(kestrel_receipt_guard_init(guard_.get(), key), "kestrel_receipt_guard_init");
    require_ok(kestrel_receipt_guard_set_max_age(guard_.get(), config.max_age_ns), "kestrel_receipt_guard_set_max_age");
    require_ok(kestrel_receipt_guard_set_clock(guard_.get(), read_simulated_clock, &clock),
               "kestrel_receipt_guard_set_clock");
    require_ok(kestrel_watchdog_init(&watchdog_, config.watchdog_ns, read_simulated_clock, &clock),
               "kestrel_watchdog_init");
    const std::vector<KestrelJointLimits> limits = robot.limits();
    require_ok(kestrel_joint_limiter_init(&limiter_, count, limits.data(), kPeriod, robot.home().data()),
               "kestrel_joint_limiter_init (actuator side)");
    // The commands arrive shaped already; this limiter is the last line, so
    // it follows them as given and only cuts what breaks a limit.
    require_ok(kestrel_joint_limiter_set_pure_tracking(&limiter_, 1), "kestrel_joint_limiter_set_pure_tracking");
    require_ok(kestrel_monitor_init(&monitor_, count, limits.data(), &config.monitor, read_simulated_clock, &clock),
               "kestrel_monitor_init");
}

ActuatorSide::~ActuatorSide() { (void)kestrel_receipt_guard_wipe(guard_.get()); }

void ActuatorSide::receive(const std::vector<LinkFrame> &arrived, uint64_t now_ns, PeriodEvents &events) {
    for (const LinkFrame &frame : arrived) {
        KestrelFrame command;
        const KestrelError verdict = config_.switches.guard
                                         ? kestrel_receipt_guard_check_frame(guard_.get(), frame.bytes.data(), &command)
                                         : kestrel_frame_decode(frame.bytes.data(), &command);
        if (verdict != KESTREL_OK) {
            if (verdict == KESTREL_ERROR_STALE_RECEIPT) ++refused_stale_;
            events.add(frame.joint, std::string(origin_name(frame.origin)) + ":" + kestrel_error_name(verdict));
            continue;
        }
        if (frame.origin != Origin::genuine) {
            ++injected_accepted_;
            events.add(frame.joint, std::string(origin_name(frame.origin)) + ":accepted");
        }
        if (now_ns - frame.sent_ns > config_.max_age_ns) {
            ++accepted_late_;
            events.add(frame.joint, "accepted_late");
        }
        if (command.axis < 0 || static_cast<size_t>(command.axis) >= desired_.size()) {
            events.add(frame.joint, "unknown_axis");
            continue;
        }
        require_ok(kestrel_watchdog_feed(&watchdog_), "kestrel_watchdog_feed");
        desired_[command.axis] = command.velocity;
    }
}

void ActuatorSide::request_stop() {
    require_ok(kestrel_monitor_request_stop(&monitor_), "kestrel_monitor_request_stop");
}

void ActuatorSide::command(const std::vector<double> &positions, const std::vector<double> &velocities,
                           ServoCommands &out, PeriodEvents &events) {
    uint32_t expired = 0;
    if (config_.switches.watchdog)
        require_ok(kestrel_watchdog_expired(&watchdog_, &expired), "kestrel_watchdog_expired");
    if (expired && !expired_) {
        events.add_all("watchdog_expired");
        request_stop();
    }
    expired_ = expired != 0;

    const KestrelMonitorState before = state_;
    if (config_.switches.monitor) {
        require_ok(kestrel_monitor_check(&monitor_, positions.data(), velocities.data(), &state_),
                   "kestrel_monitor_check");
    }
    if (state_ != before) {
        const KestrelTrip first = trip();
        std::string event = std::string("monitor:") + state_name(state_);
        if (before == KESTREL_MONITOR_RUN) {
            event += std::string(":") + kestrel_safety_function_name(first.function);
            events.add(first.joint, event);
        } else {
            events.add_all(event);
        }
    }

    // The drives follow the accepted commands while the monitor lets them;
    // every other state brakes (or holds) through the limiter's stop request.
    if (expired_ || state_ != KESTREL_MONITOR_RUN) std::fill(desired_.begin(), desired_.end(), std::nan(""));
    out.torque_off = state_ == KESTREL_MONITOR_TORQUE_OFF;
    if (config_.slow_stop && state_ == KESTREL_MONITOR_STOPPING) return slow_ramp(out);
    if (config_.switches.limiters) {
        require_ok(kestrel_joint_limiter_limit(&limiter_, desired_.data(), out.velocities.data(), nullptr),
                   "kestrel_joint_limiter_limit (actuator side)");
        require_ok(kestrel_joint_limiter_state(&limiter_, nullptr, out.positions.data(), nullptr,
                                               out.accelerations.data(), nullptr),
                   "kestrel_joint_limiter_state (actuator side)");
    } else {
        for (size_t joint = 0; joint < desired_.size(); ++joint) {
            out.accelerations[joint] = (desired_[joint] - out.velocities[joint]) / kPeriod;
            out.velocities[joint] = desired_[joint];
            out.positions[joint] += desired_[joint] * kPeriod;
        }
    }
}

// A drive that brakes too gently: from the commanded motion it ramps each
// joint's velocity down at kSlowStopFraction of its max_acceleration.
void ActuatorSide::slow_ramp(ServoCommands &out) {
    for (size_t joint = 0; joint < desired_.size(); ++joint) {
        const double step = kSlowStopFraction * robot_.joints[joint].limits.max_acceleration * kPeriod;
        const double velocity = out.velocities[joint];
        const double slower = velocity > 0 ? std::max(0.0, velocity - step) : std::min(0.0, velocity + step);
        out.accelerations[joint] = (slower - velocity) / kPeriod;
        out.velocities[joint] = slower;
        out.positions[joint] += slower * kPeriod;
    }
}

KestrelTrip ActuatorSide::trip() const {
    KestrelMonitorState state;
    KestrelTrip first{};
    require_ok(kestrel_monitor_status(&monitor_, &state, &first), "kestrel_monitor_status");
    return first;
}

KestrelTrip ActuatorSide::last_trip() const {
    KestrelTrip latest{};
    require_ok(kestrel_monitor_last_trip(&monitor_, &latest), "kestrel_monitor_last_trip");
    return latest;
}

}  // namespace kestrel_sim
