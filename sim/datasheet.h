// The arm's datasheet as the model file carries it: per joint the position
// range (the joints' range) and the rate limits (the model's <custom>
// numerics), so that the plant, both joint limiters and the tests read one
// source.
#ifndef KESTREL_SIM_DATASHEET_H
#define KESTREL_SIM_DATASHEET_H

#include <array>

#include <mujoco/mujoco.h>

#include "kestrel_joint_limiter.h"

namespace kestrel_sim {

inline constexpr int kJoints = 7;

struct Datasheet {
    std::array<KestrelJointLimits, kJoints> limits;
    std::array<double, kJoints> home;  // the start pose, inside the limits
    double fastest;                    // the largest max_velocity, the boundary's limit
};

// Reads the datasheet from a loaded model; throws std::runtime_error naming
// the joint or field that is missing or does not fit.
Datasheet read_datasheet(const mjModel *model);

}  // namespace kestrel_sim

#endif
