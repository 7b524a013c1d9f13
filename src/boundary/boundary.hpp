// Boundary: the signing side of receipts. It gates each actuator command with
// a velocity limit and a one-second rate limit, then draws the action's
// sequence id, nonce and timestamp and passes it through its replay gate,
// which signs it and checks it against replay. The Python class and the C
// handle are faces of this one object: they convert arguments and report
// outcomes, and every rule lives here.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "boundary/random_source.hpp"
#include "clock/clock.hpp"
#include "boundary/rate_window.hpp"
#include "receipts/action_id.hpp"
#include "receipts/hmac.hpp"
#include "kestrel_error.h"
#include "kestrel_joint_limiter.h"
#include "receipts/replay_gate.hpp"

// The limits of a boundary whose caller names none: 1000 calls in one
// window, 4.18 rad/s. Plain tokens, so that a face's text signature can print
// the very values its code passes.
#define KESTREL_BOUNDARY_DEFAULT_RATE_LIMIT   1000
#define KESTREL_BOUNDARY_DEFAULT_MAX_VELOCITY 4.18

namespace kestrel {

inline constexpr std::uint64_t kDefaultRateLimit = KESTREL_BOUNDARY_DEFAULT_RATE_LIMIT;
inline constexpr double kDefaultMaxVelocity = KESTREL_BOUNDARY_DEFAULT_MAX_VELOCITY;

// What one call of Boundary::authorize came to, in the order the checks run.
enum class AuthorizeOutcome {
    Authorized,          // `receipt` holds the accepted receipt
    VelocityExceeded,    // |velocity| not within max_velocity or its axis's (NaN on either side included)
    PositionOutOfRange,  // the position outside its axis's limits (NaN included), or an axis without limits
    RateLimited,         // one call too many in the current one-second window
    RandomSourceFailed,  // `random_error` holds the random source's failure code
    Refused,             // `refusal` holds the replay gate's code
};

struct Authorization {
    AuthorizeOutcome outcome = AuthorizeOutcome::Authorized;
    double velocity_limit = 0.0;        // VelocityExceeded: the limit that refused (the boundary's or the axis's)
    AxisActionId action_id;             // the action, once the velocity passed
    Payload payload{};                  // likewise
    Receipt receipt;                    // Authorized
    int random_error = 0;               // RandomSourceFailed: a code of random_source.hpp
    KestrelError refusal = KESTREL_OK;  // Refused: the replay gate's code
};

class Boundary {
public:
    // Reads the clock once: the first rate window opens now, with no call
    // counted. The key is copied into the replay gate and nowhere else.
    // `clock` is the caller's (kestrel_clock.h) or, by default, the wall clock.
    Boundary(const Key& key, std::uint64_t rate_limit, double max_velocity, Clock clock = {}) noexcept;

    // Holds a mutex, a mapped nonce state and the key: lives where it was built.
    Boundary(const Boundary&) = delete;
    Boundary& operator=(const Boundary&) = delete;

    // rekey signs with `key` from the next call on. It takes the lock, so a
    // call running meanwhile signs wholly under one key or the other. The
    // sequence ids, the rate window and the remembered nonces carry on. The
    // faces refuse a key the boundary must not take (32 zero bytes).
    void rekey(const Key& key) noexcept;

    // set_axis_limits gives each axis 0..count-1 its own position limits and
    // velocity limit (min_position, max_position, max_velocity of
    // limits[axis]; the rest is not used), or with count 0 takes them away.
    // The caller checked count <= kMaxAxes and the limits. It takes the lock:
    // a call running meanwhile is judged wholly by the old or the new limits.
    void set_axis_limits(std::uint32_t count, const KestrelJointLimits* limits) noexcept;

    // authorize decides on one command to `axis`. The first failing step ends
    // the call:
    //   1. velocity, before the lock: admitted only if |velocity| <= the
    //      limit compares true, so a NaN velocity or limit is refused;
    //   1a. with axis limits, under the lock: an axis without limits, or a
    //      position outside its axis's [min_position, max_position] (NaN
    //      included), is PositionOutOfRange; a |velocity| not within its
    //      axis's max_velocity is VelocityExceeded; neither is counted by
    //      the rate window nor consumes a sequence id;
    //   2. under the lock, one clock reading serves the rate window and the
    //      receipt's timestamp; a call beyond rate_limit in its window is
    //      refused and still counted;
    //   3. the next sequence id (from 1), consumed by every call from here on;
    //   4. a fresh 12-byte nonce;
    //   5. issue_receipt, then check_and_accept with the receipt just
    //      issued: an accident of the random source (a nonce repeating one of
    //      the last 1024) is still caught.
    // Allocates nothing; any number of threads may call it at once.
    [[nodiscard]] Authorization authorize(std::int32_t axis, double position, double velocity) noexcept;

    [[nodiscard]] double max_velocity() const noexcept { return max_velocity_; }

    // The most axes that can have limits of their own.
    static constexpr std::uint32_t kMaxAxes = KESTREL_JOINT_LIMITER_MAX_JOINTS;

private:
    std::mutex mutex_;          // guards the replay gate, the rate window and the nonce source
    ReplayGate gate_;           // signs and checks each action; holds the key
    Clock clock_;               // dates receipts and drives the rate window; read under mutex_
    RateWindow rate_window_;    // calls counted in the current one-second window
    NonceSource nonce_source_;  // this boundary's own vDSO random state: one caller at a time
    // The last sequence id handed out. Advanced only under mutex_, so that ids
    // reach the replay gate in the order they were drawn.
    std::atomic<std::uint64_t> sequence_counter_{0};
    // Per-axis limits, read and written under mutex_: axes 0..axis_count_-1
    // (none when 0) with their position range and velocity limit.
    struct AxisLimits {
        double min_position, max_position, max_velocity;
    };
    std::uint32_t axis_count_ = 0;
    AxisLimits axes_[kMaxAxes] = {};
    const std::uint64_t rate_limit_;  // most calls admitted in one window
    const double max_velocity_;       // velocity limit, rad/s
};

}  // namespace kestrel
