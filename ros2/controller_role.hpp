// The controller role: each period it takes the commands that arrived on the
// command topic (std_msgs/Float64MultiArray, one velocity per joint, or
// trajectory_msgs/JointTrajectory, whose first point is taken now), refuses
// and counts those it cannot apply (a wrong length, a value that is not
// finite, a joint name it does not know), runs its joint limiter on the last
// good one and signs each joint's command with its boundary into a frame for
// the link.
//
// A command stays current for the period it arrived in and the next one, so
// that a publisher at the control rate whose messages jitter across a period
// boundary is not read as silent. A period without a current command gives
// the limiter its stop request and sends no frame: the actuator role's
// watchdog then brings the joints to rest, as it would for a dead link.
#ifndef KESTREL_ROS2_CONTROLLER_ROLE_HPP
#define KESTREL_ROS2_CONTROLLER_ROLE_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "bridge_counts.hpp"
#include "bridge_options.hpp"
#include "dds_io.hpp"
#include "frame_link.hpp"
#include "kestrel_boundary.h"
#include "kestrel_joint_limiter.h"

namespace kestrel_ros2 {

class ControllerRole {
public:
    ControllerRole(const Options &options, const std::vector<Joint> &joints, const uint8_t key[KESTREL_KEY_LEN],
                   Participant &participant, FrameLink &link);
    ~ControllerRole();
    ControllerRole(const ControllerRole &) = delete;
    ControllerRole &operator=(const ControllerRole &) = delete;

    void step();
    const Counts &counts() const { return counts_; }

private:
    void take_commands();
    void take_trajectories();
    // Makes values the current request, or counts why not.
    void offer(const double *values, uint32_t length, bool positions);

    const std::vector<Joint> &joints_;
    FrameLink &link_;
    dds_entity_t reader_ = 0;
    bool trajectory_ = false;
    KestrelJointLimiter limiter_;
    KestrelBoundary *boundary_ = nullptr;
    std::vector<double> request_, limited_, positions_, velocities_;
    bool request_positions_ = false;  // the request holds positions (a trajectory point without velocities)
    int current_periods_ = 0;         // periods the request stays current
    bool fresh_ = false;              // a good command arrived this period already
    Counts counts_{"controller"};
};

}  // namespace kestrel_ros2

#endif
