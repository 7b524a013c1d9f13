// The robot under test as the plant's compiled model and the robot's own
// files describe it: which joints are driven and in what order, where each
// sits in MuJoCo's state, its limits, its drive's torque limit and its start
// pose. The plant, both joint limiters, the monitor and the verdicts read this
// one description; kestrel_sim writes it beside each run's CSV for the plots
// and the tests.
#ifndef KESTREL_SIM_ROBOT_H
#define KESTREL_SIM_ROBOT_H

#include <string>
#include <vector>

#include <mujoco/mujoco.h>

#include "kestrel_joint_limiter.h"

namespace kestrel_sim {

// Where the robot's description comes from (the command line's files).
struct RobotSource {
    std::string urdf;                 // or empty
    std::string yaml;                 // or empty
    std::vector<std::string> joints;  // names in the order to drive them; empty: every hinge and slide joint
    bool allow_joint_stops = false;   // accept joints that are limited in the plant
    // The drives' torque limits (N m or N), which win over the files' and the
    // model's: one for every joint, or one per driven joint in their order;
    // empty: each joint's URDF effort, else its actuator's force range.
    std::vector<double> max_torque;
};

struct DrivenJoint {
    std::string name;
    bool slide;  // a prismatic joint (m, N) rather than a hinge (rad, N m)
    int qpos;    // its address in qpos
    int dof;     // its address in qvel, qfrc_*
    KestrelJointLimits limits;
    double max_torque;          // the drive's torque limit, > 0
    const char *torque_source;  // where max_torque came from: "--max-torque", "URDF" or "actuator"
    double home;                // the start position, inside the limits
};

struct Robot {
    std::vector<DrivenJoint> joints;  // 1 .. KESTREL_JOINT_LIMITER_MAX_JOINTS
    double fastest = 0.0;             // the largest max_velocity: the boundary's limit

    std::vector<KestrelJointLimits> limits() const;
    std::vector<double> home() const;
};

// Reads the robot from a loaded model and its files; throws
// std::runtime_error naming the file, joint or field that is missing or does
// not fit.
Robot read_robot(const mjModel *model, const RobotSource &source);

// The driven joints of `robot` in another model of the same robot (the
// drive's model): the same names, hinge or slide alike; throws naming the
// first joint that is missing or of another kind.
std::vector<DrivenJoint> match_joints(const mjModel *model, const Robot &robot, const std::string &path);

// Writes the description as CSV (one row per joint, units per joint).
void write_robot_csv(const Robot &robot, const std::string &path);

}  // namespace kestrel_sim

#endif
