// The actuators' side of the link: a replay guard with a maximum age checks
// every frame, a watchdog is fed by each accepted one, a monitor watches the
// measured motion, and the side's own joint limiter turns the accepted
// velocities (or, once the watchdog has expired or the monitor has tripped,
// stop requests) into the drives' commands. The monitor's TORQUE_OFF cuts the
// drives' torque.
#ifndef KESTREL_SIM_ACTUATOR_SIDE_H
#define KESTREL_SIM_ACTUATOR_SIDE_H

#include <memory>
#include <vector>

#include "drive.h"
#include "kestrel_joint_limiter.h"
#include "kestrel_monitor.h"
#include "kestrel_receipt.h"
#include "kestrel_watchdog.h"
#include "simulated_link.h"
#include "period_events.h"
#include "robot.h"
#include "simulated_clock.h"
#include "switches.h"

namespace kestrel_sim {

struct ActuatorConfig {
    uint64_t max_age_ns;           // the guard's maximum age of a receipt
    uint64_t watchdog_ns;          // the watchdog's timeout
    KestrelMonitorConfig monitor;  // the monitor's tolerances and stop
    bool slow_stop;                // a drive that brakes at kSlowStopFraction of the deceleration it is asked for
    Switches switches;
};

class ActuatorSide {
public:
    ActuatorSide(const Robot &robot, const ActuatorConfig &config, const uint8_t key[KESTREL_KEY_LEN],
                 SimulatedClock &clock);
    ~ActuatorSide();
    ActuatorSide(const ActuatorSide &) = delete;
    ActuatorSide &operator=(const ActuatorSide &) = delete;

    // Judges the frames that arrived at `now_ns`; refusals go to `events`.
    void receive(const std::vector<LinkFrame> &arrived, uint64_t now_ns, PeriodEvents &events);

    // An operator's stop (the monitor's request).
    void request_stop();

    // Checks the measured positions and velocities (one per joint) with the
    // monitor and writes the drives' commands; the watchdog's expiry and the
    // monitor's state changes go to `events`.
    void command(const std::vector<double> &positions, const std::vector<double> &velocities, ServoCommands &out,
                 PeriodEvents &events);

    KestrelMonitorState state() const { return state_; }
    KestrelTrip trip() const;       // the first since the start
    KestrelTrip last_trip() const;  // the latest
    // Frames the attacker put on the link that the guard accepted, and
    // frames older than the maximum age that it accepted: any is a failure.
    uint64_t injected_accepted() const { return injected_accepted_; }
    uint64_t accepted_late() const { return accepted_late_; }
    uint64_t refused_stale() const { return refused_stale_; }

private:
    void slow_ramp(ServoCommands &out);

    const Robot &robot_;
    ActuatorConfig config_;
    std::unique_ptr<KestrelReceiptGuard> guard_;
    KestrelWatchdog watchdog_;
    KestrelJointLimiter limiter_;
    KestrelMonitor monitor_;
    // The last accepted velocity per joint: a joint whose frame is lost or
    // refused keeps it until the watchdog says the link is gone.
    std::vector<double> desired_;
    bool expired_ = false;
    KestrelMonitorState state_ = KESTREL_MONITOR_RUN;
    uint64_t injected_accepted_ = 0;
    uint64_t accepted_late_ = 0;
    uint64_t refused_stale_ = 0;
};

}  // namespace kestrel_sim

#endif
