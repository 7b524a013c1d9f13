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

bool limits_valid(const KestrelJointLimits& l, double dt) noexcept {
    if (!(l.min_position < l.max_position && l.max_velocity > 0.0 && l.max_acceleration > 0.0 &&
          l.max_jerk > 0.0)) {
        return false;
    }
    // A finite position range must be finite as a difference.
    if (std::isfinite(l.min_position) && std::isfinite(l.max_position) &&
        !std::isfinite(l.max_position - l.min_position)) {
        return false;
    }
    // The steps per period must be normal numbers: v dt, A dt, J dt^2.
    const double steps[3] = {l.max_velocity * dt, l.max_acceleration * dt, l.max_jerk * dt * dt};
    for (double x : steps) {
        if (!(x >= DBL_MIN)) return false;
    }
    return true;
}

bool position_valid(const KestrelJointLimits& l, double p) noexcept {
    return std::isfinite(p) && l.min_position <= p && p <= l.max_position;
}

}  // namespace kestrel::limiter
