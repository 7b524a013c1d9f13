// The actuator role: each period it checks every frame that arrived with one
// replay guard (the link key, a maximum age, and with --sequence-file the
// last accepted sequence id kept across restarts), feeds the watchdog with
// each accepted frame, and gives its own joint limiter the accepted
// velocities, or once the watchdog has expired the stop request, so that the
// joints come to rest within their limits. The limiter's output drives the
// plant (kestrel_ros2_plant.h), whose measured state is published as
// sensor_msgs/JointState.
//
// With the monitor (kestrel_monitor.h, on unless --no-monitor) the role also
// judges the plant's measured positions and velocities each period, turns the
// watchdog's expiry into the monitor's stop request, commands the limiter's
// stop while the monitor is not in RUN and, once it says TORQUE_OFF, gives
// the plant zero velocity and no motion of its own. The monitor's stops latch
// until the role is restarted: the bridge offers no acknowledge of its own.
// The monitor's clock counts control periods, the time the plant integrates
// commands over, so that a late period of a loaded loop is not taken for a
// joint that braked too slowly.
#ifndef KESTREL_ROS2_ACTUATOR_ROLE_HPP
#define KESTREL_ROS2_ACTUATOR_ROLE_HPP

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge_counts.hpp"
#include "bridge_options.hpp"
#include "dds_io.hpp"
#include "frame_link.hpp"
#include "kestrel_joint_limiter.h"
#include "kestrel_monitor.h"
#include "kestrel_receipt.h"
#include "kestrel_ros2_plant.h"
#include "kestrel_watchdog.h"

namespace kestrel_ros2 {

class ActuatorRole {
public:
    ActuatorRole(const Options &options, const std::vector<Joint> &joints, const uint8_t key[KESTREL_KEY_LEN],
                 Participant &participant, FrameLink &link, KestrelRos2Plant &plant);
    ~ActuatorRole();
    ActuatorRole(const ActuatorRole &) = delete;
    ActuatorRole &operator=(const ActuatorRole &) = delete;

    void step();
    const Counts &counts() const { return counts_; }
    // "monitor state=STATE function=F joint=J value=V limit=L": the monitor's
    // state and its latest trip (function none and the rest 0 when none);
    // empty without the monitor.
    std::string monitor_line() const;

private:
    void judge_frames();
    void publish_state();
    void store_sequence();
    void count_new_trip();
    static uint64_t period_clock(void *context);

    const std::vector<Joint> &joints_;
    FrameLink &link_;
    KestrelRos2Plant &plant_;
    double period_;
    dds_entity_t state_writer_ = 0;
    std::unique_ptr<KestrelReceiptGuard> guard_;
    KestrelWatchdog watchdog_;
    KestrelJointLimiter limiter_;
    bool monitored_ = false;
    KestrelMonitor monitor_;
    KestrelMonitorState monitor_state_ = KESTREL_MONITOR_RUN;
    KestrelTrip seen_trip_{};  // the latest trip already counted
    uint64_t periods_ = 0;     // the monitor's clock, in periods
    int sequence_fd_ = -1;
    std::vector<FrameBytes> arrived_;
    std::vector<double> desired_, limited_, positions_, measured_position_, measured_velocity_, measured_effort_;
    std::vector<const char *> names_;
    bool fed_since_expiry_ = false;  // an expiry counts once per silence that follows an accepted frame
    Counts counts_{"actuator"};
};

}  // namespace kestrel_ros2

#endif
