#include "datasheet.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kestrel_sim {
namespace {

// One value per joint from the <custom><numeric name=...> field.
std::array<double, kJoints> per_joint(const mjModel *model, const char *name) {
    const int id = mj_name2id(model, mjOBJ_NUMERIC, name);
    if (id < 0 || model->numeric_size[id] != kJoints) {
        throw std::runtime_error(std::string("the model's <custom> needs <numeric name=\"") + name +
                                 "\"> with one value per joint (" + std::to_string(kJoints) + ")");
    }
    std::array<double, kJoints> values;
    std::copy_n(model->numeric_data + model->numeric_adr[id], kJoints, values.begin());
    return values;
}

}  // namespace

Datasheet read_datasheet(const mjModel *model) {
    if (model->njnt != kJoints || model->nq != kJoints || model->nu != 2 * kJoints) {
        throw std::runtime_error("the model must have " + std::to_string(kJoints) + " hinge joints and " +
                                 std::to_string(2 * kJoints) + " actuators (position servos, then velocity servos)");
    }
    const auto velocity = per_joint(model, "max_velocity");
    const auto acceleration = per_joint(model, "max_acceleration");
    const auto jerk = per_joint(model, "max_jerk");
    Datasheet sheet{};
    sheet.home = per_joint(model, "home");
    for (int joint = 0; joint < kJoints; ++joint) {
        sheet.limits[joint] = {model->jnt_range[2 * joint], model->jnt_range[2 * joint + 1], velocity[joint],
                               acceleration[joint], jerk[joint]};
        sheet.fastest = std::max(sheet.fastest, velocity[joint]);
    }
    return sheet;
}

}  // namespace kestrel_sim
