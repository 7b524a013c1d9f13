// kestrel_ros2's command line, and the joints it builds from it: names and
// KestrelJointLimits, from --joints with the rate limits of the command line,
// or from the robot's URDF and joint_limits.yaml.
#ifndef KESTREL_ROS2_BRIDGE_OPTIONS_HPP
#define KESTREL_ROS2_BRIDGE_OPTIONS_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "kestrel_joint_limiter.h"

namespace kestrel_ros2 {

// What --joints alone gives every joint (stated in --help): the boundary's
// velocity limit and the fastest joints of the demo arm.
constexpr double kDefaultMaxVelocity = 4.18;        // rad/s
constexpr double kDefaultMaxAcceleration = 20.0;    // rad/s^2
constexpr double kDefaultMaxJerk = 10000.0;         // rad/s^3

enum class Role { controller, actuator, both };

struct Options {
    Role role = Role::both;
    std::string key_file;
    std::vector<std::string> joints;  // --joints, in order
    std::string urdf, yaml;
    std::string commands = "/forward_velocity_controller/commands";
    std::string trajectory;  // set: JointTrajectory on this topic instead of commands
    std::string state_topic = "/joint_states";
    std::string status_topic = "/kestrel/status";
    double rate = 1000.0;           // Hz
    std::string link = "dds";       // dds, or udp:HOST:PORT
    std::string plant = "loopback";
    double max_age = 0.05;          // s: the guard's maximum age of a receipt
    double watchdog = 0.02;         // s: the watchdog's timeout
    std::string sequence_file;      // the guard's last accepted sequence id, kept across restarts
    double max_velocity = kDefaultMaxVelocity;
    double max_acceleration = kDefaultMaxAcceleration;
    double max_jerk = kDefaultMaxJerk;
    // The actuator role's monitor of the plant's measured motion, with the
    // package's defaults (kestrel.Monitor's).
    bool monitor = true;
    double position_tolerance = 0.0;  // rad or m beyond a position limit
    double velocity_tolerance = 0.0;  // fraction of each joint's max_velocity
    std::string stop = "ss1";         // the stop a trip starts: ss1 (then torque off) or ss2 (hold)
};

// One joint as both roles see it.
struct Joint {
    std::string name;
    KestrelJointLimits limits;
};

// Parses argv; on a bad argument prints the problem and the usage to stderr
// and exits 2; on --help prints the help and exits 0.
Options parse_options(int argc, char **argv);

// The joints of the options, in order, limits checked by the limiter's own
// rules. Throws std::runtime_error naming the file, joint or field.
std::vector<Joint> load_joints(const Options &options);

// A start position inside every joint's limits: 0, or the nearest limit.
std::vector<double> start_positions(const std::vector<Joint> &joints);

}  // namespace kestrel_ros2

#endif
