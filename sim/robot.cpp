#include "robot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "kestrel_description.h"

namespace kestrel_sim {
namespace {

std::string joint_name(const mjModel *model, int joint) {
    const char *name = mj_id2name(model, mjOBJ_JOINT, joint);
    return name ? name : "joint " + std::to_string(joint);
}

// Every hinge and slide joint in the model's order, or the named ones in the
// order named.
std::vector<int> choose_joints(const mjModel *model, const std::vector<std::string> &names) {
    std::vector<int> chosen;
    if (names.empty()) {
        for (int joint = 0; joint < model->njnt; ++joint) {
            if (model->jnt_type[joint] == mjJNT_HINGE || model->jnt_type[joint] == mjJNT_SLIDE) chosen.push_back(joint);
        }
    }
    for (const std::string &name : names) {
        const int joint = mj_name2id(model, mjOBJ_JOINT, name.c_str());
        if (joint < 0) throw std::runtime_error("--joints: the model has no joint '" + name + "'");
        if (model->jnt_type[joint] != mjJNT_HINGE && model->jnt_type[joint] != mjJNT_SLIDE) {
            throw std::runtime_error("--joints: joint '" + name + "' is neither a hinge nor a slide joint");
        }
        if (std::find(chosen.begin(), chosen.end(), joint) != chosen.end()) {
            throw std::runtime_error("--joints: joint '" + name + "' is named twice");
        }
        chosen.push_back(joint);
    }
    if (chosen.empty() || chosen.size() > KESTREL_JOINT_LIMITER_MAX_JOINTS) {
        throw std::runtime_error("the simulation drives 1 to " + std::to_string(KESTREL_JOINT_LIMITER_MAX_JOINTS) +
                                 " hinge or slide joints, not " + std::to_string(chosen.size()));
    }
    return chosen;
}

// The model's own limits: the joint's range and <custom><numeric> fields
// max_velocity, max_acceleration and max_jerk with one value per joint of
// the model, in the model's joint order.
KestrelJointLimits model_limits(const mjModel *model, int joint) {
    const std::string name = joint_name(model, joint);
    KestrelJointLimits limits{model->jnt_range[2 * joint], model->jnt_range[2 * joint + 1], 0, 0, 0};
    if (!(limits.min_position < limits.max_position)) {
        throw std::runtime_error("joint '" + name + "': the model gives it no range; give it one or use --urdf/--yaml");
    }
    double *rates[] = {&limits.max_velocity, &limits.max_acceleration, &limits.max_jerk};
    const char *fields[] = {"max_velocity", "max_acceleration", "max_jerk"};
    for (int field = 0; field < 3; ++field) {
        const int id = mj_name2id(model, mjOBJ_NUMERIC, fields[field]);
        if (id < 0 || model->numeric_size[id] != model->njnt) {
            throw std::runtime_error(std::string("the model's <custom> needs <numeric name=\"") + fields[field] +
                                     "\"> with one value per joint of the model (" + std::to_string(model->njnt) +
                                     "), or give --urdf/--yaml");
        }
        *rates[field] = model->numeric_data[model->numeric_adr[id] + joint];
    }
    return limits;
}

// What the robot's files say of one joint: its limits and the URDF's effort
// (infinite where the URDF gives none, or with only a YAML file).
struct FileJoint {
    KestrelJointLimits limits;
    double effort;
};

// The limits from the robot's URDF and limits YAML, through the description
// reader, for the named joints in their order.
std::vector<FileJoint> file_limits(const std::vector<std::string> &names, const RobotSource &source) {
    std::vector<const char *> pointers;
    for (const std::string &name : names) pointers.push_back(name.c_str());
    const KestrelDescriptionRequest request{source.urdf.empty() ? nullptr : source.urdf.c_str(),
                                            source.yaml.empty() ? nullptr : source.yaml.c_str(), pointers.data(),
                                            pointers.size(), 0};
    KestrelDescription *loaded = nullptr;
    char message[KESTREL_DESCRIPTION_MESSAGE_SIZE] = "";
    if (kestrel_description_load(&request, &loaded, message, sizeof message, nullptr) != KESTREL_OK) {
        throw std::runtime_error(message);
    }
    std::unique_ptr<KestrelDescription, decltype(&kestrel_description_free)> description(loaded,
                                                                                         kestrel_description_free);
    std::vector<FileJoint> limits;
    for (size_t index = 0; index < names.size(); ++index) {
        KestrelDescribedJoint joint;
        if (kestrel_description_joint(description.get(), index, &joint) != KESTREL_OK) {
            throw std::runtime_error("the description lost joint '" + names[index] + "'");
        }
        const double values[] = {joint.limits.min_position, joint.limits.max_position, joint.limits.max_velocity,
                                 joint.limits.max_acceleration, joint.limits.max_jerk};
        const char *fields[] = {"min_position", "max_position", "max_velocity", "max_acceleration", "max_jerk"};
        for (int field = 0; field < 5; ++field) {
            if (!std::isfinite(values[field])) {
                throw std::runtime_error("joint '" + names[index] + "': the robot's files give no " + fields[field] +
                                         "; the simulation needs every limit");
            }
        }
        limits.push_back({joint.limits, joint.effort});
    }
    return limits;
}

// The drive's torque limit of the joint `index` of the driven ones:
// --max-torque, else the URDF's effort where it gives one (`effort` finite),
// else the force range of the actuator on the joint (its control range times
// its gear when it has no force range). Its source goes to *from.
double torque_limit(const mjModel *model, int joint, size_t index, double effort, const RobotSource &source,
                    const char **from) {
    if (!source.max_torque.empty()) {
        *from = "--max-torque";
        return source.max_torque[source.max_torque.size() == 1 ? 0 : index];
    }
    if (std::isfinite(effort)) {
        // The URDF's value as written; one that is not > 0 would leave the drive without torque.
        if (!(effort > 0.0)) {
            char written[32];
            std::snprintf(written, sizeof written, "%.17g", effort);
            throw std::runtime_error("joint '" + joint_name(model, joint) + "': the URDF's effort " + written +
                                     " is not > 0; give --max-torque");
        }
        *from = "URDF";
        return effort;
    }
    *from = "actuator";
    for (int actuator = 0; actuator < model->nu; ++actuator) {
        if (model->actuator_trntype[actuator] != mjTRN_JOINT || model->actuator_trnid[2 * actuator] != joint) continue;
        const mjtNum *range = model->actuator_forcelimited[actuator]  ? model->actuator_forcerange + 2 * actuator
                              : model->actuator_ctrllimited[actuator] ? model->actuator_ctrlrange + 2 * actuator
                                                                      : nullptr;
        if (!range) continue;
        const double gear = model->actuator_forcelimited[actuator] ? 1.0 : std::abs(model->actuator_gear[6 * actuator]);
        const double limit = std::min(std::abs(range[0]), std::abs(range[1])) * gear;
        if (limit > 0.0) return limit;
    }
    throw std::runtime_error("joint '" + joint_name(model, joint) +
                             "': no torque limit (no effort in a URDF, no actuator on it with a force or control "
                             "range); give --max-torque");
}

}  // namespace

std::vector<KestrelJointLimits> Robot::limits() const {
    std::vector<KestrelJointLimits> all;
    for (const DrivenJoint &joint : joints) all.push_back(joint.limits);
    return all;
}

std::vector<double> Robot::home() const {
    std::vector<double> all;
    for (const DrivenJoint &joint : joints) all.push_back(joint.home);
    return all;
}

Robot read_robot(const mjModel *model, const RobotSource &source) {
    const std::vector<int> chosen = choose_joints(model, source.joints);
    std::vector<std::string> names;
    for (int joint : chosen) names.push_back(joint_name(model, joint));
    const bool from_files = !source.urdf.empty() || !source.yaml.empty();
    const std::vector<FileJoint> files = from_files ? file_limits(names, source) : std::vector<FileJoint>{};
    if (source.max_torque.size() > 1 && source.max_torque.size() != chosen.size()) {
        throw std::runtime_error("--max-torque: " + std::to_string(source.max_torque.size()) + " values for " +
                                 std::to_string(chosen.size()) +
                                 (chosen.size() == 1 ? " driven joint" : " driven joints") +
                                 "; give one for every joint or one per driven joint");
    }
    // The start pose: the keyframe named "home", else the model's qpos0.
    const int key = mj_name2id(model, mjOBJ_KEY, "home");
    const mjtNum *start = key >= 0 ? model->key_qpos + key * model->nq : model->qpos0;

    Robot robot;
    for (size_t index = 0; index < chosen.size(); ++index) {
        const int joint = chosen[index];
        if (model->jnt_limited[joint] && !source.allow_joint_stops) {
            throw std::runtime_error("joint '" + names[index] +
                                     "' has a limit of its own in the plant, a hard stop that would hide a fault of "
                                     "the chain; remove it (limited=\"false\") or pass --allow-joint-stops");
        }
        const double effort = from_files ? files[index].effort : INFINITY;
        DrivenJoint driven{names[index],
                           model->jnt_type[joint] == mjJNT_SLIDE,
                           model->jnt_qposadr[joint],
                           model->jnt_dofadr[joint],
                           from_files ? files[index].limits : model_limits(model, joint),
                           0.0,
                           nullptr,
                           0.0};
        driven.max_torque = torque_limit(model, joint, index, effort, source, &driven.torque_source);
        driven.home = start[driven.qpos];
        if (!(driven.home >= driven.limits.min_position && driven.home <= driven.limits.max_position)) {
            throw std::runtime_error("joint '" + names[index] + "': the start pose " + std::to_string(driven.home) +
                                     (key >= 0 ? " (keyframe 'home')" : " (qpos0)") + " is outside its limits [" +
                                     std::to_string(driven.limits.min_position) + ", " +
                                     std::to_string(driven.limits.max_position) + "]");
        }
        robot.fastest = std::max(robot.fastest, driven.limits.max_velocity);
        robot.joints.push_back(driven);
    }
    return robot;
}

std::vector<DrivenJoint> match_joints(const mjModel *model, const Robot &robot, const std::string &path) {
    std::vector<DrivenJoint> matched = robot.joints;
    for (DrivenJoint &joint : matched) {
        const int id = mj_name2id(model, mjOBJ_JOINT, joint.name.c_str());
        const int type = joint.slide ? mjJNT_SLIDE : mjJNT_HINGE;
        if (id < 0 || model->jnt_type[id] != type) {
            throw std::runtime_error(path + ": no " + (joint.slide ? "slide" : "hinge") + " joint '" + joint.name +
                                     "'");
        }
        joint.qpos = model->jnt_qposadr[id];
        joint.dof = model->jnt_dofadr[id];
    }
    return matched;
}

void write_robot_csv(const Robot &robot, const std::string &path) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "w"), std::fclose);
    if (!file) throw std::runtime_error(path + ": cannot be written");
    std::fputs("joint,name,unit,min_position,max_position,max_velocity,max_acceleration,max_jerk,max_torque,home\n",
               file.get());
    for (size_t index = 0; index < robot.joints.size(); ++index) {
        const DrivenJoint &joint = robot.joints[index];
        std::fprintf(file.get(), "%zu,%s,%s,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n", index, joint.name.c_str(),
                     joint.slide ? "m" : "rad", joint.limits.min_position, joint.limits.max_position,
                     joint.limits.max_velocity, joint.limits.max_acceleration, joint.limits.max_jerk, joint.max_torque,
                     joint.home);
    }
    if (std::fflush(file.get()) != 0 || std::ferror(file.get())) throw std::runtime_error(path + ": write failed");
}

}  // namespace kestrel_sim
