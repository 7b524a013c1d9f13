#include "actuator_side.h"

#include <limits>
#include <string>

namespace kestrel_sim {
namespace {

constexpr double kPeriod = 0.001;  // s
// Twenty periods without an accepted command and the link counts as gone:
// long enough to ride out a refused frame or two, short next to the arm's
// braking time.
constexpr uint64_t kWatchdogTimeoutNs = 20'000'000;
// The receipts are dated by the same simulated clock and cross the link
// within the period they are signed in.
constexpr uint64_t kMaxAgeNs = 50'000'000;

}  // namespace

ActuatorSide::ActuatorSide(const Datasheet &sheet, const uint8_t key[KESTREL_KEY_LEN], SimulatedClock &clock)
    : guard_(std::make_unique<KestrelReceiptGuard>()) {
    require_ok(kestrel_receipt_guard_init(guard_.get(), key), "kestrel_receipt_guard_init");
    require_ok(kestrel_receipt_guard_set_max_age(guard_.get(), kMaxAgeNs), "kestrel_receipt_guard_set_max_age");
    require_ok(kestrel_receipt_guard_set_clock(guard_.get(), read_simulated_clock, &clock),
               "kestrel_receipt_guard_set_clock");
    require_ok(kestrel_watchdog_init(&watchdog_, kWatchdogTimeoutNs, read_simulated_clock, &clock),
               "kestrel_watchdog_init");
    require_ok(kestrel_joint_limiter_init(&limiter_, kJoints, sheet.limits.data(), kPeriod, sheet.home.data()),
               "kestrel_joint_limiter_init (actuator side)");
    // The commands arrive shaped already; this limiter is the last line, so
    // it follows them as given and only cuts what breaks a limit.
    require_ok(kestrel_joint_limiter_set_pure_tracking(&limiter_, 1), "kestrel_joint_limiter_set_pure_tracking");
}

ActuatorSide::~ActuatorSide() { (void)kestrel_receipt_guard_wipe(guard_.get()); }

void ActuatorSide::receive(const std::vector<LinkFrame> &arrived, ServoCommands &out, PeriodEvents &events) {
    for (const LinkFrame &frame : arrived) {
        KestrelFrame command;
        const KestrelError verdict = kestrel_receipt_guard_check_frame(guard_.get(), frame.bytes.data(), &command);
        if (verdict != KESTREL_OK) {
            events.add(frame.joint, std::string(origin_name(frame.origin)) + ":" + kestrel_error_name(verdict));
            continue;
        }
        if (frame.origin != Origin::genuine) {
            ++injected_accepted_;
            events.add(frame.joint, std::string(origin_name(frame.origin)) + ":accepted");
        }
        if (command.axis < 0 || command.axis >= kJoints) {
            events.add(frame.joint, "unknown_axis");
            continue;
        }
        require_ok(kestrel_watchdog_feed(&watchdog_), "kestrel_watchdog_feed");
        desired_[command.axis] = command.velocity;
    }
    uint32_t expired = 0;
    require_ok(kestrel_watchdog_expired(&watchdog_, &expired), "kestrel_watchdog_expired");
    if (expired && !expired_) events.add_all("watchdog_expired");
    expired_ = expired != 0;
    if (expired_) desired_.fill(std::numeric_limits<double>::quiet_NaN());

    require_ok(kestrel_joint_limiter_limit(&limiter_, desired_.data(), out.velocities.data(), nullptr),
               "kestrel_joint_limiter_limit (actuator side)");
    require_ok(kestrel_joint_limiter_state(&limiter_, nullptr, out.positions.data(), nullptr, out.accelerations.data(),
                                           nullptr),
               "kestrel_joint_limiter_state (actuator side)");
}

}  // namespace kestrel_sim
