// The joint limiter: per-joint velocity, acceleration, jerk, position and
// braking limits at a fixed period, with optional coupling of joints 0..3
// through the four-axis solver. The contract is in kestrel_joint_limiter.h.
//
// One joint, one call:
//   strong = velocity ∩ position ∩ braking      (never gives way; holds 0)
//   I1     = strong ∩ acceleration              (else the point of strong nearest it)
//   I2     = I1 ∩ jerk                          (else the point of I1 nearest it)
//   v'     = clamp(desired, I2)
// Every interval below is closed, [lo, hi], with lo <= hi and no NaN.
#include "kestrel_joint_limiter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace {

constexpr std::uint32_t kMaxJoints = KESTREL_JOINT_LIMITER_MAX_JOINTS;
constexpr std::uint32_t kCoupledJoints = 4;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Marks storage that init has set up ("KJL1"); anything else is refused.
constexpr std::uint32_t kMagic = 0x314C4A4Bu;

// Braking quanta (stopping distance / (dt D)) up to which the discrete sums
// n(n+1)/2 are exact integers in a double; above it the continuous distance
// is used, shrunk by 2^-24, which covers its relative error of at most
// 1.5 / sqrt(2 * 2^52) < 2^-25 and so stays on the safe side.
constexpr double kExactQuanta = 4503599627370496.0;  // 2^52
constexpr double kContinuousShrink = 1.0 - 5.9604644775390625e-8;  // 1 - 2^-24

// How far apart two intervals may be and still count as touching. Braking
// leaves the next state exactly able to slow by D, but p + v' dt is rounded
// (half an ulp of p) and the stopping-distance inversion costs a few ulps of
// v', so the gap to the acceleration interval can be a rounding error wide.
// A gap that small is not a limit giving way: 1e-9 of the step D plus 16 ulps
// of the position expressed as a velocity, far above those errors and far
// below anything a joint could feel.
constexpr double kTouchRelative = 1e-9;
constexpr double kTouchPositionUlps = 16.0 * DBL_EPSILON;

struct Interval {
    double lo;
    double hi;
};

// The private layout behind KestrelJointLimiter.
struct LimiterState {
    std::uint32_t magic;
    std::uint32_t count;                       // joints in use, 1..kMaxJoints
    double period;                             // dt, seconds, finite and > 0
    KestrelJointLimits limits[kMaxJoints];
    double position[kMaxJoints];               // p, always finite and inside its limits
    double velocity[kMaxJoints];               // v, always finite
    double acceleration[kMaxJoints];           // a, always finite
    std::uint32_t binding[kMaxJoints];         // KESTREL_LIMIT_* of the last call
    LinearConstraints4 coupling;               // count 0: no coupling
    Solution4 last_solve;                      // the solver's output of the last call
};
static_assert(sizeof(LimiterState) <= sizeof(KestrelJointLimiter), "the published size holds the state");
static_assert(alignof(LimiterState) <= alignof(KestrelJointLimiter), "the published alignment suffices");
static_assert(std::is_trivially_destructible_v<LimiterState>, "storage is reused without destruction");

LimiterState* state_of(KestrelJointLimiter* storage) noexcept {
    return std::launder(reinterpret_cast<LimiterState*>(storage->opaque));
}
const LimiterState* state_of(const KestrelJointLimiter* storage) noexcept {
    return std::launder(reinterpret_cast<const LimiterState*>(storage->opaque));
}

// True when storage may hold a limiter: not null and aligned as published.
bool placeable(const KestrelJointLimiter* storage) noexcept {
    return storage != nullptr && reinterpret_cast<std::uintptr_t>(storage) % alignof(KestrelJointLimiter) == 0;
}

// True when placeable storage was set up by init: the magic and the joint
// count are read bytewise, so storage that is not a state is only inspected,
// and a count that init could not have written (copied or damaged storage)
// never becomes a loop bound.
bool initialised(const KestrelJointLimiter* storage) noexcept {
    if (!placeable(storage)) return false;
    std::uint32_t magic;
    std::uint32_t count;
    const auto* bytes = reinterpret_cast<const unsigned char*>(storage->opaque);
    std::memcpy(&magic, bytes + offsetof(LimiterState, magic), sizeof magic);
    std::memcpy(&count, bytes + offsetof(LimiterState, count), sizeof count);
    return magic == kMagic && count >= 1 && count <= kMaxJoints;
}

bool limits_valid(const KestrelJointLimits& l) noexcept {
    // Written so that a NaN fails every test: NaN < x and x > 0 are false.
    return l.min_position < l.max_position && l.max_velocity > 0.0 && l.max_acceleration > 0.0 &&
           l.max_jerk > 0.0;
}

bool position_valid(const KestrelJointLimits& l, double p) noexcept {
    return std::isfinite(p) && l.min_position <= p && p <= l.max_position;
}

// The largest u >= 0 from which a joint `room` >= 0 short of its limit can
// still stop, slowing by D per period of dt: u dt + S(u) <= room.
// With y = room / (dt D) and x = u / D this is x (n+1) - n(n+1)/2 <= y,
// n = floor(x); the left side is increasing, piecewise linear and equals
// n(n+1)/2 at x = n, so n is the largest integer with n(n+1)/2 <= y and
// x = (y + n(n+1)/2) / (n+1), which lies in [n, n+1).
double braking_speed(double room, double dt, double step) noexcept {
    if (!(step < kInf) || !(room < kInf)) {
        return kInf;  // no acceleration limit, or no position limit: nothing to brake for
    }
    if (!(step > 0.0)) {
        return 0.0;  // D underflowed: the joint could never stop from any speed
    }
    const double y = room / (dt * step);
    if (!(y <= kExactQuanta)) {
        // S(u) -> dt u^2 / (2D): u = sqrt(2 room D / dt), formed without overflow.
        return std::sqrt(2.0 * (room / dt)) * std::sqrt(step) * kContinuousShrink;
    }
    double n = std::floor((std::sqrt(8.0 * y + 1.0) - 1.0) / 2.0);
    // The square root may be an ulp off: settle n by the exact test (n <= 2^27,
    // so n(n+1)/2 is exact), at most one step either way.
    if (n * (n + 1.0) / 2.0 > y) {
        n -= 1.0;
    } else if ((n + 1.0) * (n + 2.0) / 2.0 <= y) {
        n += 1.0;
    }
    const double x = (y + n * (n + 1.0) / 2.0) / (n + 1.0);
    return x * step;
}

Interval intersect(Interval a, Interval b) noexcept { return {std::max(a.lo, b.lo), std::min(a.hi, b.hi)}; }

// Narrows `strong` by `weak`. When they miss each other by more than `touch`,
// the weak limit gives way as little as it can: the result is the one point
// of `strong` nearest `weak`, and `yielded` is set. A smaller miss is rounding
// (see kTouchRelative): the result is the nearest point of `strong` as well,
// but no limit is said to have given way.
Interval narrow(Interval strong, Interval weak, double touch, bool& yielded) noexcept {
    const Interval both = intersect(strong, weak);
    if (both.lo <= both.hi) {
        yielded = false;
        return both;
    }
    const double point = weak.lo > strong.hi ? strong.hi : strong.lo;
    const double gap = weak.lo > strong.hi ? weak.lo - strong.hi : strong.lo - weak.hi;
    yielded = !(gap <= touch);
    return {point, point};
}

struct JointResult {
    double velocity;  // v'
    Interval allowed; // I2, the interval v' was taken from
    std::uint32_t binding;
};

// One joint, one period: the interval of the contract and the value in it
// nearest to the desired one, with the flags that explain it.
JointResult limit_joint(const KestrelJointLimits& l, double dt, double p, double v, double a,
                        double desired) noexcept {
    std::uint32_t binding = 0;
    if (!std::isfinite(desired)) {
        desired = 0.0;
        binding |= KESTREL_LIMIT_STOP_REQUEST;
    }
    const double step = l.max_acceleration * dt;  // D, largest |v' - v|
    const double jerk_step = l.max_jerk * dt;     // largest |a' - a|

    const Interval velocity{-l.max_velocity, l.max_velocity};
    // p lies in [min, max], so both rooms are >= 0 (or infinite) and the
    // position and braking intervals hold 0.
    const double room_up = l.max_position - p;
    const double room_down = p - l.min_position;
    const Interval position{-room_down / dt, room_up / dt};
    const Interval braking{-braking_speed(room_down, dt, step), braking_speed(room_up, dt, step)};
    const Interval acceleration{v - step, v + step};
    // a' = (v' - v)/dt in [a - J dt, a + J dt]  <=>  v' in v + (a -+ J dt) dt.
    // a is finite, so no inf - inf arises; an infinite J gives (-inf, inf).
    const Interval jerk{v + (a - jerk_step) * dt, v + (a + jerk_step) * dt};

    const Interval strong = intersect(intersect(velocity, position), braking);
    // Rounding allowances (see kTouchRelative); an absent limit adds none.
    const double touch_position = kTouchPositionUlps * (std::fabs(p) + std::fabs(v) * dt) / dt;
    const double touch_accel = (step < kInf ? kTouchRelative * step : 0.0) + touch_position;
    const double touch_jerk = (jerk_step < kInf ? kTouchRelative * jerk_step * dt : 0.0) + touch_position;
    bool accel_yielded = false;
    bool jerk_yielded = false;
    const Interval after_accel = narrow(strong, acceleration, touch_accel, accel_yielded);
    const Interval allowed = narrow(after_accel, jerk, touch_jerk, jerk_yielded);
    if (accel_yielded) {
        binding |= KESTREL_LIMIT_ACCELERATION_YIELDED;
    }
    if (jerk_yielded) {
        binding |= KESTREL_LIMIT_JERK_YIELDED;
    }

    // A limit bounded the result when the result sits at its end on the side
    // the request was cut from; `cut_from_above` compares the upper ends. An
    // acceleration or jerk end a rounding error beyond the result (touching,
    // see narrow) counts too; one that gave way is reported as such instead.
    double out = desired;
    const auto bounded_by = [&](bool cut_from_above, double end_of_position, double end_of_braking,
                                double end_of_velocity, double end_of_acceleration, double end_of_jerk) {
        const auto reached = [&](double end) { return cut_from_above ? end <= out : end >= out; };
        std::uint32_t f = 0;
        if (reached(end_of_position)) f |= KESTREL_LIMIT_POSITION;
        if (reached(end_of_braking)) f |= KESTREL_LIMIT_BRAKING;
        if (reached(end_of_velocity)) f |= KESTREL_LIMIT_VELOCITY;
        if (!accel_yielded && reached(end_of_acceleration)) f |= KESTREL_LIMIT_ACCELERATION;
        if (!jerk_yielded && reached(end_of_jerk)) f |= KESTREL_LIMIT_JERK;
        return f;
    };
    if (desired > allowed.hi) {
        out = allowed.hi;
        binding |= bounded_by(true, position.hi, braking.hi, velocity.hi, acceleration.hi, jerk.hi);
    } else if (desired < allowed.lo) {
        out = allowed.lo;
        binding |= bounded_by(false, position.lo, braking.lo, velocity.lo, acceleration.lo, jerk.lo);
    }
    return {out, allowed, binding};
}

// Largest float <= x, and smallest float >= x (infinities stay infinite, a
// double beyond the float range becomes +-FLT_MAX on the inner side).
float float_below(double x) noexcept {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) {
        f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    }
    return f;
}
float float_above(double x) noexcept {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) {
        f = std::nextafter(f, std::numeric_limits<float>::infinity());
    }
    return f;
}

// Projects joints 0..3 onto the coupling rows (see the header). `allowed`
// holds each joint's interval, `limited` the per-joint results, updated in
// place; joints at or beyond `count` are held at 0.
void couple(LimiterState& s, const Interval* allowed, double* limited, std::uint32_t* binding) noexcept {
    float desired[kCoupledJoints];
    Bounds4 box;
    for (std::uint32_t k = 0; k < kCoupledJoints; ++k) {
        if (k >= s.count) {
            desired[k] = 0.0f;
            box.lower[k] = 0.0f;
            box.upper[k] = 0.0f;
            continue;
        }
        desired[k] = static_cast<float>(limited[k]);
        box.lower[k] = float_above(allowed[k].lo);
        box.upper[k] = float_below(allowed[k].hi);
        if (box.lower[k] > box.upper[k]) {
            // The interval is narrower than a float's spacing: pin the lane
            // at its (rounded) result; the clamp below restores the interval.
            box.lower[k] = box.upper[k] = desired[k];
        }
    }
    kestrel_solve_multivar_4d(desired, &box, &s.coupling, &s.last_solve);
    const SolveStatus status = s.last_solve.status;
    if (status != KESTREL_STATUS_OPTIMAL && status != KESTREL_STATUS_MAX_ITERATIONS) {
        return;  // no usable projection: the per-joint results stand
    }
    for (std::uint32_t k = 0; k < kCoupledJoints && k < s.count; ++k) {
        const float x = s.last_solve.x[k];
        if (x == desired[k] || !(x == x)) {
            continue;  // unmoved lanes keep their double value
        }
        const double v = std::clamp(static_cast<double>(x), allowed[k].lo, allowed[k].hi);
        if (v != limited[k]) {
            limited[k] = v;
            binding[k] |= KESTREL_LIMIT_COUPLING;
        }
    }
}

double finite_or_max(double x) noexcept { return std::clamp(x, -DBL_MAX, DBL_MAX); }

}  // namespace

extern "C" {

size_t kestrel_joint_limiter_size(void) { return sizeof(KestrelJointLimiter); }

KestrelError kestrel_joint_limiter_init(KestrelJointLimiter* limiter, std::uint32_t count,
                                               const KestrelJointLimits* limits, double period,
                                               const double* positions) {
    if (!placeable(limiter) || limits == nullptr || positions == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (count == 0 || count > kMaxJoints) {
        return KESTREL_ERROR_BAD_JOINT_COUNT;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!limits_valid(limits[j])) {
            return KESTREL_ERROR_BAD_LIMITS;
        }
    }
    if (!(std::isfinite(period) && period > 0.0)) {
        return KESTREL_ERROR_BAD_PERIOD;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!position_valid(limits[j], positions[j])) {
            return KESTREL_ERROR_BAD_POSITION;
        }
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

KestrelError kestrel_joint_limiter_limit(KestrelJointLimiter* limiter, const double* desired,
                                                double* limited, std::uint32_t* binding) {
    if (limiter == nullptr || desired == nullptr || limited == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LimiterState& s = *state_of(limiter);
    const double dt = s.period;
    Interval allowed[kCoupledJoints];
    // Every result is formed before anything is written, so desired may alias limited.
    double out[kMaxJoints];
    for (std::uint32_t j = 0; j < s.count; ++j) {
        const JointResult r = limit_joint(s.limits[j], dt, s.position[j], s.velocity[j], s.acceleration[j],
                                          desired[j]);
        out[j] = r.velocity;
        s.binding[j] = r.binding;
        if (j < kCoupledJoints) {
            allowed[j] = r.allowed;
        }
    }
    if (s.coupling.count > 0) {
        couple(s, allowed, out, s.binding);
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        const KestrelJointLimits& l = s.limits[j];
        // p + v' dt can round an ulp past a limit (or overflow when a limit is
        // absent): keep p inside its limits and finite.
        const double p = s.position[j] + out[j] * dt;
        s.position[j] = std::clamp(finite_or_max(p), std::max(l.min_position, -DBL_MAX),
                                   std::min(l.max_position, DBL_MAX));
        s.acceleration[j] = finite_or_max((out[j] - s.velocity[j]) / dt);
        s.velocity[j] = out[j];
        limited[j] = out[j];
        if (binding != nullptr) {
            binding[j] = s.binding[j];
        }
    }
    return KESTREL_OK;
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
    for (std::uint32_t j = 0; j < s.count; ++j) {
        if (!position_valid(s.limits[j], positions[j])) {
            return KESTREL_ERROR_BAD_POSITION;
        }
        if (velocities != nullptr && !std::isfinite(velocities[j])) {
            return KESTREL_ERROR_BAD_VELOCITY;
        }
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        s.position[j] = positions[j];
        s.velocity[j] = velocities != nullptr ? velocities[j] : 0.0;
        s.acceleration[j] = 0.0;
        s.binding[j] = 0;
    }
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_state(const KestrelJointLimiter* limiter, std::uint32_t* count,
                                                double* positions, double* velocities, double* accelerations,
                                                std::uint32_t* binding) {
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
        if (accelerations != nullptr) accelerations[j] = s.acceleration[j];
        if (binding != nullptr) binding[j] = s.binding[j];
    }
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_set_coupling(KestrelJointLimiter* limiter,
                                                       const LinearConstraints4* rows) {
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
