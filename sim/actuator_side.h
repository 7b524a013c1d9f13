// The actuators' side of the link: a replay guard with a maximum age checks
// every frame, a watchdog is fed by each accepted one, and the side's own
// joint limiter turns the accepted velocities (or, once the watchdog has
// expired, stop requests) into the servos' commands.
#ifndef KESTREL_SIM_ACTUATOR_SIDE_H
#define KESTREL_SIM_ACTUATOR_SIDE_H

#include <array>
#include <memory>
#include <vector>

#include "datasheet.h"
#include "kestrel_joint_limiter.h"
#include "kestrel_receipt.h"
#include "kestrel_watchdog.h"
#include "link.h"
#include "period_events.h"
#include "simulated_clock.h"

namespace kestrel_sim {

// What the servos are told for one period.
struct ServoCommands {
    std::array<double, kJoints> positions;
    std::array<double, kJoints> velocities;
    std::array<double, kJoints> accelerations;  // for the drives' inertia feedforward
};

class ActuatorSide {
public:
    ActuatorSide(const Datasheet &sheet, const uint8_t key[KESTREL_KEY_LEN], SimulatedClock &clock);
    ~ActuatorSide();
    ActuatorSide(const ActuatorSide &) = delete;
    ActuatorSide &operator=(const ActuatorSide &) = delete;

    // Judges the frames that arrived this period and writes the servos'
    // commands; refusals and the watchdog's expiry go to `events`.
    void receive(const std::vector<LinkFrame> &arrived, ServoCommands &out, PeriodEvents &events);

    // How many frames the attacker put on the link that the guard accepted:
    // any at all is a failure of the run.
    uint64_t injected_accepted() const { return injected_accepted_; }

private:
    std::unique_ptr<KestrelReceiptGuard> guard_;
    KestrelWatchdog watchdog_;
    KestrelJointLimiter limiter_;
    // The last accepted velocity per joint: a joint whose frame is lost or
    // refused keeps it until the watchdog says the link is gone.
    std::array<double, kJoints> desired_{};
    bool expired_ = false;
    uint64_t injected_accepted_ = 0;
};

}  // namespace kestrel_sim

#endif
