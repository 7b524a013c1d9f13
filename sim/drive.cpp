#include "drive.h"

#include <algorithm>
#include <stdexcept>

namespace kestrel_sim {

Drive::Drive(const Robot &robot, const std::string &model_path)
    : model_(nullptr, mj_deleteModel), data_(nullptr, mj_deleteData) {
    char error[1000] = "";
    model_.reset(mj_loadXML(model_path.c_str(), nullptr, error, sizeof error));
    if (!model_) throw std::runtime_error(model_path + ": " + error);
    data_.reset(mj_makeData(model_.get()));
    joints_ = match_joints(model_.get(), robot, model_path);
    feed_forward_.assign(model_->nv, 0.0);
    for (const DrivenJoint &joint : joints_) data_->qpos[joint.qpos] = joint.home;
    mj_forward(model_.get(), data_.get());
    for (const DrivenJoint &joint : joints_) inertia_.push_back(data_->qM[model_->dof_Madr[joint.dof]]);
    // The joints the drives do not move stay at rest in the feed-forward.
    std::fill_n(data_->qvel, model_->nv, 0.0);
    std::fill_n(data_->qacc, model_->nv, 0.0);
}

void Drive::torques(const Robot &robot, const mjData *plant, const ServoCommands &command,
                    std::vector<double> &torques) {
    const size_t count = joints_.size();
    if (command.torque_off) {
        std::fill_n(torques.begin(), count, 0.0);
        return;
    }
    // The feed-forward by recursive Newton-Euler on the drive's model at the
    // measured state: tau_ff = M(q) a_cmd + c(q, v) (gravity, Coriolis), then
    // the rotor's armature and the joint's viscous friction, which the
    // recursion leaves out.
    for (size_t index = 0; index < count; ++index) {
        const DrivenJoint &joint = joints_[index];
        data_->qpos[joint.qpos] = plant->qpos[robot.joints[index].qpos];
        data_->qvel[joint.dof] = plant->qvel[robot.joints[index].dof];
        data_->qacc[joint.dof] = command.accelerations[index];
    }
    mj_kinematics(model_.get(), data_.get());
    mj_comPos(model_.get(), data_.get());
    mj_comVel(model_.get(), data_.get());
    mj_rne(model_.get(), data_.get(), 1, feed_forward_.data());
    constexpr double damping_ratio = 1.0;
    for (size_t index = 0; index < count; ++index) {
        const DrivenJoint &joint = joints_[index];
        const int dof = joint.dof;
        const double feed_forward = feed_forward_[dof] + model_->dof_armature[dof] * command.accelerations[index] +
                                    model_->dof_damping[dof] * command.velocities[index];
        // tau = M (w^2 e + 2 zeta w e') + tau_ff, with M the joint's inertia at the start pose.
        const double position_error = command.positions[index] - plant->qpos[robot.joints[index].qpos];
        const double velocity_error = command.velocities[index] - plant->qvel[robot.joints[index].dof];
        const double feedback = inertia_[index] * (kBandwidth * kBandwidth * position_error +
                                                   2.0 * damping_ratio * kBandwidth * velocity_error);
        const double limit = robot.joints[index].max_torque;
        torques[index] = std::clamp(feedback + feed_forward, -limit, limit);
    }
}

void engage_brakes(mjModel *plant, const Robot &robot) {
    for (const DrivenJoint &joint : robot.joints) {
        plant->dof_frictionloss[joint.dof] += kBrakeRatio * joint.max_torque;
        const mjtNum stiff[5] = {0.9999, 0.9999, 0.001, 0.5, 2};
        std::copy_n(stiff, 5, plant->dof_solimp + 5 * joint.dof);
        plant->dof_solref[2 * joint.dof] = 0.002;
    }
}

}  // namespace kestrel_sim
