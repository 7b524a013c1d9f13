// The drives: per joint a torque, PD on the commanded position and velocity
// plus a feed-forward of the commanded acceleration, gravity, Coriolis forces
// and friction computed from the drive's own model of the robot (which may be
// wrong), cut to the joint's torque limit. With the torque off each joint's
// holding brake engages: a friction torque up to kBrakeRatio times the drive's
// torque limit, which holds a loaded arm where it stopped.
#ifndef KESTREL_SIM_DRIVE_H
#define KESTREL_SIM_DRIVE_H

#include <memory>
#include <string>
#include <vector>

#include <mujoco/mujoco.h>

#include "robot.h"

namespace kestrel_sim {

// A holding brake holds twice what its motor can give (rated brakes hold the
// motor's peak torque with margin).
inline constexpr double kBrakeRatio = 2.0;

// What the drives are told for one period, per driven joint.
struct ServoCommands {
    std::vector<double> positions;
    std::vector<double> velocities;
    std::vector<double> accelerations;
    bool torque_off = false;  // STO: no torque, brakes engaged
};

class Drive {
public:
    // The drive's model is loaded from `model_path`; its joints are matched to
    // the robot's by name. The gains put each joint, as the model sees it at
    // the start pose, at a critically damped bandwidth of kBandwidth.
    Drive(const Robot &robot, const std::string &model_path);

    // Writes each joint's torque for the plant's measured state `plant`
    // (positions and velocities at the robot's addresses) into torques.
    void torques(const Robot &robot, const mjData *plant, const ServoCommands &command, std::vector<double> &torques);

    // The bandwidth the gains are set for (rad/s): 10 Hz, a sixteenth of the
    // sampling rate's radian frequency, which the Euler step keeps stable.
    static constexpr double kBandwidth = 60.0;
    // The drive's inertia of each joint at the start pose, as its model has it.
    const std::vector<double> &inertia() const { return inertia_; }

private:
    std::unique_ptr<mjModel, decltype(&mj_deleteModel)> model_;
    std::unique_ptr<mjData, decltype(&mj_deleteData)> data_;
    std::vector<DrivenJoint> joints_;  // the robot's joints at the drive model's addresses
    std::vector<double> inertia_;
    std::vector<double> feed_forward_;  // one per dof of the drive's model
};

// Engages the holding brakes of the robot's joints in the plant (once: a
// brake that engaged stays engaged for the rest of the run).
void engage_brakes(mjModel *plant, const Robot &robot);

}  // namespace kestrel_sim

#endif
