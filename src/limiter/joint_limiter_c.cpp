// The joint limiter's C API (kestrel_joint_limiter.h): argument checks and
// the stored state; the step itself is in limiter_call.cpp.
#include "kestrel_joint_limiter.h"

#include <cmath>
#include <cstdint>
#include <new>

#include "limiter/joint_step.hpp"
#include "limiter/limiter_call.hpp"
#include "limiter/limiter_state.hpp"

using namespace kestrel::limiter;

namespace {

// A joint's state set from the plant: accelerations 0, flagged RECOVERING
// when the limits cannot hold from it.
void seed(LimiterState& s, std::uint32_t j, double position, double velocity) noexcept {
    s.position[j] = position;
    s.velocity[j] = velocity;
    s.step[j] = 0.0;
    s.binding[j] = outside(s.limits[j], s.period, position, velocity, 0.0) ? KESTREL_LIMIT_RECOVERING : 0;
}

}  // namespace

extern "C" {

size_t kestrel_joint_limiter_size(void) { return sizeof(KestrelJointLimiter); }

KestrelError kestrel_joint_limiter_init(KestrelJointLimiter* limiter, std::uint32_t count,
                                        const KestrelJointLimits* limits, double period, const double* positions) {
    if (!placeable(limiter) || limits == nullptr || positions == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (count == 0 || count > kMaxJoints) {
        return KESTREL_ERROR_BAD_JOINT_COUNT;
    }
    if (!(period > 0.0)) {
        return KESTREL_ERROR_BAD_PERIOD;
    }
    const KestrelError error = check_joints(count, limits, period, positions, nullptr, nullptr);
    if (error != KESTREL_OK) {
        return error;
    }
    LimiterState* s = new (limiter->opaque) LimiterState{};
    s->count = count;
    s->period = period;
    for (std::uint32_t j = 0; j < count; ++j) {
        s->limits[j] = limits[j];
        s->position[j] = positions[j];
    }
    s->last_solve.status = KESTREL_STATUS_OPTIMAL;
    s->magic = kMagic;
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_limit(KestrelJointLimiter* limiter, const double* desired, double* limited,
                                         std::uint32_t* binding) {
    if (limiter == nullptr || desired == nullptr || limited == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    return step_all(limiter, desired, nullptr, limited, nullptr, binding);
}

KestrelError kestrel_joint_limiter_limit_position(KestrelJointLimiter* limiter, const double* desired_positions,
                                                  double* limited_positions, std::uint32_t* binding) {
    if (limiter == nullptr || desired_positions == nullptr || limited_positions == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    return step_all(limiter, nullptr, desired_positions, nullptr, limited_positions, binding);
}

KestrelError kestrel_joint_limiter_reset(KestrelJointLimiter* limiter, const double* positions,
                                         const double* velocities) {
    if (limiter == nullptr || positions == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LimiterState& s = *state_of(limiter);
    const KestrelError error = check_joints(s.count, s.limits, s.period, positions, velocities, nullptr);
    if (error != KESTREL_OK) {
        return error;
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        seed(s, j, positions[j], velocities != nullptr ? velocities[j] : 0.0);
    }
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_reset_joint(KestrelJointLimiter* limiter, uint32_t joint, double position,
                                               double velocity) {
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LimiterState& s = *state_of(limiter);
    if (joint >= s.count) {
        return KESTREL_ERROR_BAD_JOINT;
    }
    const KestrelError error = check_joints(1, &s.limits[joint], s.period, &position, &velocity, nullptr);
    if (error != KESTREL_OK) {
        return error;
    }
    seed(s, joint, position, velocity);
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_check(uint32_t count, const KestrelJointLimits* limits, double period,
                                         const double* positions, const double* velocities, KestrelJointFault* fault) {
    if (limits == nullptr || fault == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    return check_joints(count, limits, period, positions, velocities, fault);
}

KestrelError kestrel_joint_limiter_state(const KestrelJointLimiter* limiter, std::uint32_t* count, double* positions,
                                         double* velocities, double* accelerations, std::uint32_t* binding) {
    if (limiter == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    const LimiterState& s = *state_of(limiter);
    if (count != nullptr) {
        *count = s.count;
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        if (positions != nullptr) positions[j] = s.position[j];
        if (velocities != nullptr) velocities[j] = s.velocity[j];
        if (accelerations != nullptr) accelerations[j] = finite_or_max(s.step[j] / s.period);
        if (binding != nullptr) binding[j] = s.binding[j];
    }
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_set_pure_tracking(KestrelJointLimiter* limiter, uint32_t on) {
    if (limiter == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    state_of(limiter)->pure_tracking = on != 0 ? 1u : 0u;
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_set_coupling(KestrelJointLimiter* limiter, const LinearConstraints4* rows) {
    if (limiter == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LinearConstraints4 copy{};
    if (rows != nullptr) {
        copy = *rows;
        if (copy.count > kCoupledJoints) {
            return KESTREL_ERROR_BAD_COUPLING;
        }
        for (std::uint64_t i = 0; i < copy.count; ++i) {
            for (float c : copy.coefficients[i]) {
                if (std::isnan(c)) return KESTREL_ERROR_BAD_COUPLING;
            }
            if (std::isnan(copy.limits[i])) return KESTREL_ERROR_BAD_COUPLING;
        }
    }
    LimiterState& s = *state_of(limiter);
    s.coupling = copy;
    s.last_solve = Solution4{};
    s.last_solve.status = KESTREL_STATUS_OPTIMAL;
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_coupling_result(const KestrelJointLimiter* limiter, Solution4* last) {
    if (limiter == nullptr || last == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    const LimiterState& s = *state_of(limiter);
    if (s.coupling.count == 0) {
        return KESTREL_ERROR_NOT_COUPLED;
    }
    *last = s.last_solve;
    return KESTREL_OK;
}

}  // extern "C"
