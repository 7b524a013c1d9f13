// The controlling program's side of the link: its joint limiter shapes each
// request into commands the arm can follow, and its boundary signs each
// command into a frame.
#ifndef KESTREL_SIM_CONTROLLER_SIDE_H
#define KESTREL_SIM_CONTROLLER_SIDE_H

#include <vector>

#include "kestrel_boundary.h"
#include "kestrel_joint_limiter.h"
#include "simulated_link.h"
#include "period_events.h"
#include "robot.h"
#include "simulated_clock.h"
#include "switches.h"

namespace kestrel_sim {

class ControllerSide {
public:
    // Starts at the robot's home pose; signs with key on the clock.
    ControllerSide(const Robot &robot, const uint8_t key[KESTREL_KEY_LEN], SimulatedClock &clock,
                   const Switches &switches);
    ~ControllerSide();
    ControllerSide(const ControllerSide &) = delete;
    ControllerSide &operator=(const ControllerSide &) = delete;

    // Limits one period's desired velocities and signs a frame per joint
    // into `frames`, stamped `now_ns`; the boundary's refusals and the stop
    // requests go to `events`.
    void command(const std::vector<double> &request, uint64_t now_ns, std::vector<LinkFrame> &frames,
                 PeriodEvents &events);

    uint64_t refusals() const { return refusals_; }

private:
    KestrelJointLimiter limiter_;
    KestrelBoundary *boundary_ = nullptr;
    bool limit_;  // false: the requests go to the boundary unshaped (a test build's switch)
    std::vector<double> positions_, velocities_;
    std::vector<uint32_t> binding_;
    uint64_t refusals_ = 0;
};

}  // namespace kestrel_sim

#endif
