#include "boundary/boundary.hpp"

#include <cmath>

namespace kestrel {

Boundary::Boundary(const Key& key, std::uint64_t rate_limit, double max_velocity, Clock clock) noexcept
    : gate_(key), clock_(clock), rate_window_(clock_.now()), rate_limit_(rate_limit), max_velocity_(max_velocity) {}

void Boundary::rekey(const Key& key) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    gate_.rekey(key);
}

void Boundary::set_axis_limits(std::uint32_t count, const KestrelJointLimits* limits) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    axis_count_ = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        axes_[i] = {limits[i].min_position, limits[i].max_position, limits[i].max_velocity};
    }
}

Authorization Boundary::authorize(std::int32_t axis, double position, double velocity) noexcept {
    Authorization result;
    // Fail closed: a comparison with NaN is false, so NaN is refused. Checked
    // before the lock, so a refused command never waits for it.
    if (!(std::fabs(velocity) <= max_velocity_)) {
        result.outcome = AuthorizeOutcome::VelocityExceeded;
        result.velocity_limit = max_velocity_;
        return result;
    }
    result.action_id = axis_action_id(axis);
    result.payload = axis_payload(position, velocity);

    const std::lock_guard<std::mutex> lock(mutex_);
    if (axis_count_ != 0) {
        // An axis the limits do not describe has no range to be inside.
        if (axis < 0 || static_cast<std::uint32_t>(axis) >= axis_count_) {
            result.outcome = AuthorizeOutcome::PositionOutOfRange;
            return result;
        }
        const AxisLimits& limits = axes_[axis];
        if (!(limits.min_position <= position && position <= limits.max_position)) {
            result.outcome = AuthorizeOutcome::PositionOutOfRange;
            return result;
        }
        if (!(std::fabs(velocity) <= limits.max_velocity)) {
            result.outcome = AuthorizeOutcome::VelocityExceeded;
            result.velocity_limit = limits.max_velocity;
            return result;
        }
    }
    const std::uint64_t now_ns = clock_.now();
    if (!rate_window_.admit(now_ns, rate_limit_)) {
        result.outcome = AuthorizeOutcome::RateLimited;
        return result;
    }

    const std::uint64_t sequence_id = sequence_counter_.fetch_add(1) + 1;

    Nonce nonce;
    if (const int error = nonce_source_.fill(nonce); error != 0) {
        result.outcome = AuthorizeOutcome::RandomSourceFailed;
        result.random_error = error;
        return result;
    }

    const std::span<const std::uint8_t> action_id = result.action_id.bytes();
    KestrelError error = gate_.issue_receipt(nonce, now_ns, sequence_id, action_id, result.payload, result.receipt);
    if (error == KESTREL_OK) {
        error = gate_.check_and_accept(action_id, result.payload, result.receipt);
    }
    if (error != KESTREL_OK) {
        result.outcome = AuthorizeOutcome::Refused;
        result.refusal = error;
    }
    return result;
}

}  // namespace kestrel
