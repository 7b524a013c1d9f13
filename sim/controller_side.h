// The controlling program's side of the link: its joint limiter shapes each
// request into commands the arm can follow, and its boundary signs each
// command into a frame.
#ifndef KESTREL_SIM_CONTROLLER_SIDE_H
#define KESTREL_SIM_CONTROLLER_SIDE_H

#include <vector>

#include "datasheet.h"
#include "kestrel_boundary.h"
#include "kestrel_joint_limiter.h"
#include "link.h"
#include "period_events.h"
#include "scenario.h"
#include "simulated_clock.h"

namespace kestrel_sim {

class ControllerSide {
public:
    // Starts at the datasheet's home pose; signs with key on the clock.
    ControllerSide(const Datasheet &sheet, const uint8_t key[KESTREL_KEY_LEN], SimulatedClock &clock);
    ~ControllerSide();
    ControllerSide(const ControllerSide &) = delete;
    ControllerSide &operator=(const ControllerSide &) = delete;

    // Limits one period's request and signs a frame per joint into `frames`;
    // the boundary's refusals and the stop requests go to `events`.
    void command(const Request &request, std::vector<LinkFrame> &frames, PeriodEvents &events);

    uint64_t refusals() const { return refusals_; }

private:
    KestrelJointLimiter limiter_;
    KestrelBoundary *boundary_ = nullptr;
    uint64_t refusals_ = 0;
};

}  // namespace kestrel_sim

#endif
