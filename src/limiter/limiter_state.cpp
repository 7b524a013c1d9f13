#include "limiter/limiter_state.hpp"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace kestrel::limiter {

bool placeable(const KestrelJointLimiter* storage) noexcept {
    return storage != nullptr && reinterpret_cast<std::uintptr_t>(storage) % alignof(KestrelJointLimiter) == 0;
}

bool initialised(const KestrelJointLimiter* storage) noexcept {
    if (!placeable(storage)) return false;
    std::uint32_t magic;
    std::uint32_t count;
    const auto* bytes = reinterpret_cast<const unsigned char*>(storage->opaque);
    std::memcpy(&magic, bytes + offsetof(LimiterState, magic), sizeof magic);
    std::memcpy(&count, bytes + offsetof(LimiterState, count), sizeof count);
    return magic == kMagic && count >= 1 && count <= kMaxJoints;
}

namespace {

constexpr const char* kNotNaN[5] = {"min_position must not be NaN", "max_position must not be NaN",
                                    "max_velocity must not be NaN", "max_acceleration must not be NaN",
                                    "max_jerk must not be NaN"};
constexpr const char* kNotPositive[5] = {nullptr, nullptr, "max_velocity must be > 0", "max_acceleration must be > 0",
                                         "max_jerk must be > 0"};
constexpr const char* kUnderflow[5] = {nullptr, nullptr, "max_velocity * period is below DBL_MIN",
                                       "max_acceleration * period is below DBL_MIN",
                                       "max_jerk * period^2 is below DBL_MIN"};

KestrelError refuse(KestrelError error, std::uint32_t field, const char* message, KestrelJointFault* fault) noexcept {
    if (fault != nullptr) {
        fault->field = field;
        fault->message = message;
    }
    return error;
}

}  // namespace

// Written so that a NaN fails every test.
KestrelError check_limits(const KestrelJointLimits& l, double dt, KestrelJointFault* fault) noexcept {
    const double values[5] = {l.min_position, l.max_position, l.max_velocity, l.max_acceleration, l.max_jerk};
    for (std::uint32_t i = 0; i < 5; ++i) {
        if (std::isnan(values[i])) return refuse(KESTREL_ERROR_BAD_LIMITS, i, kNotNaN[i], fault);
    }
    if (!(l.min_position < l.max_position)) {
        return refuse(KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MIN_POSITION, "min_position must be below max_position",
                      fault);
    }
    for (std::uint32_t i = 2; i < 5; ++i) {
        if (!(values[i] > 0.0)) return refuse(KESTREL_ERROR_BAD_LIMITS, i, kNotPositive[i], fault);
    }
    // A finite position range must be finite as a difference.
    if (std::isfinite(l.min_position) && std::isfinite(l.max_position) &&
        !std::isfinite(l.max_position - l.min_position)) {
        return refuse(KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MAX_POSITION, "max_position - min_position overflows",
                      fault);
    }
    if (dt == 0.0) return KESTREL_OK;
    // The steps per period must be normal numbers: v dt, A dt, J dt^2.
    const double steps[5] = {0.0, 0.0, l.max_velocity * dt, l.max_acceleration * dt, l.max_jerk * dt * dt};
    for (std::uint32_t i = 2; i < 5; ++i) {
        if (!(steps[i] >= DBL_MIN)) return refuse(KESTREL_ERROR_BAD_LIMITS, i, kUnderflow[i], fault);
    }
    return KESTREL_OK;
}

bool limits_valid(const KestrelJointLimits& l, double dt) noexcept {
    return check_limits(l, dt, nullptr) == KESTREL_OK;
}

bool position_valid(const KestrelJointLimits& l, double p) noexcept {
    return std::isfinite(p) && l.min_position <= p && p <= l.max_position;
}

KestrelError check_joints(std::uint32_t count, const KestrelJointLimits* limits, double dt, const double* positions,
                          const double* velocities, KestrelJointFault* fault) noexcept {
    if (fault != nullptr) *fault = KestrelJointFault{0, 0, nullptr};
    if (count == 0 || count > kMaxJoints) return KESTREL_ERROR_BAD_JOINT_COUNT;
    if (!(dt >= 0.0 && dt <= 1.0)) return KESTREL_ERROR_BAD_PERIOD;
    for (std::uint32_t j = 0; j < count; ++j) {
        if (fault != nullptr) fault->joint = j;
        const KestrelError error = check_limits(limits[j], dt, fault);
        if (error != KESTREL_OK) return error;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        if (fault != nullptr) fault->joint = j;
        if (positions != nullptr && !position_valid(limits[j], positions[j])) {
            return refuse(KESTREL_ERROR_BAD_POSITION, KESTREL_JOINT_POSITION,
                          kestrel_error_message(KESTREL_ERROR_BAD_POSITION), fault);
        }
        const double speed = dt == 0.0 ? DBL_MAX : largest_speed(dt);
        if (velocities != nullptr && !(std::fabs(velocities[j]) <= speed)) {
            return refuse(KESTREL_ERROR_BAD_VELOCITY, KESTREL_JOINT_VELOCITY,
                          kestrel_error_message(KESTREL_ERROR_BAD_VELOCITY), fault);
        }
    }
    if (fault != nullptr) fault->joint = 0;
    return KESTREL_OK;
}

}  // namespace kestrel::limiter
