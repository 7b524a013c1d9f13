// Fuzz target for the C joint limiter (kestrel_joint_limiter.h).
//
// The input is a configuration and a program against one limiter:
//   byte    joints - 1 (mod 8)
//   byte    period: 0..7 picks 1 us .. 1 s from kPeriods; else 8 raw bytes
//   per joint five limit codes (see limit_value) and a start fraction
//   then operations until the input ends, each a byte and its arguments:
//     0 limit: one request code per joint (see request)
//     1 hold the last request for 1..256 periods (bang-bang held)
//     2 flip the last request's sign every period, 1..64 times
//     3 limit_position: one target code per joint, then 1..64 periods of it
//     4 reset: a position fraction and a velocity code per joint
//     5 coupling: a row count (mod 5) and 5 value codes per row
//     6 pure tracking on or off
// A configuration init refuses ends the run (the refusal itself is checked:
// nothing written). After every call the invariants of the header hold:
// outputs and state finite; positions inside their limits and |v| within the
// velocity limit; acceleration and jerk within their limits (the jerk to its
// rounding allowance, 2^-16 of its step) unless the call flags them as giving
// way; and giving way only from a joint flagged KESTREL_LIMIT_RECOVERING. A
// program runs at most kMaxCalls calls, so that one execution stays cheap.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cfloat>
#include <limits>

#include "kestrel.h"

#include "fuzz_reader.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint32_t kMaxJoints = 8;
constexpr long kMaxCalls = 4096;
constexpr double kPeriods[8] = {1e-6, 1e-5, 1e-4, 1e-3, 4e-3, 1e-2, 0.1, 1.0};
constexpr std::uint32_t kYielded = KESTREL_LIMIT_JERK_YIELDED | KESTREL_LIMIT_ACCELERATION_YIELDED;

[[noreturn]] void fail(const char* what, long call, std::uint32_t joint, double got, double bound) {
    std::fprintf(stderr, "call %ld joint %u: %s (%a against %a)\n", call, joint, what, got, bound);
    std::abort();
}

// A positive magnitude from one byte: 2^((b - 128) / 4), about 1e-10 .. 1e9;
// 255 means absent (infinite).
double magnitude(std::uint8_t b) { return b == 255 ? kInf : std::exp2((static_cast<double>(b) - 128.0) / 4.0); }

struct Limiter {
    std::uint32_t count = 0;
    double dt = 0;
    KestrelJointLimits limits[kMaxJoints];
    KestrelJointLimiter storage;
    double desired[kMaxJoints] = {};
    std::uint32_t flags[kMaxJoints] = {};  // the flags of the state before the next call
    long calls = 0;

    // A request from one byte: NaN, +-inf, +-DBL_MAX, or a multiple of the
    // joint's velocity limit (or of 1 without one) from -4 to 4.
    double request(std::uint8_t b, std::uint32_t j) const {
        const double scale = std::isfinite(limits[j].max_velocity) ? limits[j].max_velocity : 1.0;
        switch (b) {
            case 0:
                return std::numeric_limits<double>::quiet_NaN();
            case 1:
                return kInf;
            case 2:
                return -kInf;
            case 3:
                return DBL_MAX;
            case 4:
                return -DBL_MAX;
            default:
                return scale * (static_cast<double>(b) - 130.0) / 31.0;
        }
    }
    // A position from a fraction byte: inside the limits (0..200), or beyond
    // them (201..255: the target codes of limit_position).
    double position(std::uint8_t b, std::uint32_t j) const {
        const double lo = std::isfinite(limits[j].min_position) ? limits[j].min_position : -1e3;
        const double hi = std::isfinite(limits[j].max_position) ? limits[j].max_position : 1e3;
        if (b > 200) return b % 2 ? hi + (hi - lo) : lo - (hi - lo);
        return std::clamp(lo + (hi - lo) * (static_cast<double>(b) / 200.0), lo, hi);
    }

    // One call and every invariant after it.
    void call(const double* in, bool positions) {
        if (calls++ >= kMaxCalls) return;
        double p0[kMaxJoints], v0[kMaxJoints], a0[kMaxJoints], out[kMaxJoints];
        double p[kMaxJoints], v[kMaxJoints], a[kMaxJoints];
        std::uint32_t f[kMaxJoints], state_flags[kMaxJoints];
        kestrel_joint_limiter_state(&storage, nullptr, p0, v0, a0, nullptr);
        const KestrelError e = positions ? kestrel_joint_limiter_limit_position(&storage, in, out, f)
                                         : kestrel_joint_limiter_limit(&storage, in, out, f);
        if (e != KESTREL_OK) fail("call refused", calls, 0, e, 0);
        kestrel_joint_limiter_state(&storage, nullptr, p, v, a, state_flags);
        for (std::uint32_t j = 0; j < count; ++j) {
            const KestrelJointLimits& l = limits[j];
            if (!std::isfinite(out[j]) || !std::isfinite(p[j]) || !std::isfinite(v[j]) || !std::isfinite(a[j])) {
                fail("not finite", calls, j, out[j], a[j]);
            }
            if (f[j] != state_flags[j]) fail("flags differ from state", calls, j, f[j], state_flags[j]);
            if (!(l.min_position <= p[j] && p[j] <= l.max_position)) fail("position limit", calls, j, p[j], 0);
            if (!(std::fabs(v[j]) <= l.max_velocity)) fail("velocity limit", calls, j, v[j], l.max_velocity);
            if ((f[j] & kYielded) && !(flags[j] & KESTREL_LIMIT_RECOVERING)) {
                fail("gave way from a state inside the set", calls, j, f[j], flags[j]);
            }
            if (!(f[j] & KESTREL_LIMIT_ACCELERATION_YIELDED) &&
                !(std::fabs(a[j]) <= l.max_acceleration * (1 + 1e-12))) {
                fail("acceleration limit", calls, j, a[j], l.max_acceleration);
            }
            const double jerk_step = l.max_jerk * dt;
            if (!(f[j] & KESTREL_LIMIT_JERK_YIELDED) &&
                !(std::fabs(a[j] - a0[j]) <= jerk_step * (1 + 0x1p-15) + 1e-12 * std::fabs(a0[j]))) {
                fail("jerk limit", calls, j, a[j] - a0[j], jerk_step);
            }
            flags[j] = f[j];
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzReader in(data, size);
    Limiter lim;
    lim.count = 1 + in.byte() % kMaxJoints;
    const std::uint8_t period_code = in.byte();
    lim.dt = period_code < 8 ? kPeriods[period_code] : in.value<double>();
    double start[kMaxJoints];
    for (std::uint32_t j = 0; j < lim.count; ++j) {
        KestrelJointLimits& l = lim.limits[j];
        const std::uint8_t lo = in.byte(), hi = in.byte();
        l.min_position = lo == 255 ? -kInf : -magnitude(lo);
        l.max_position = hi == 255 ? kInf : magnitude(hi) * (hi % 2 ? 1.0 : -1.0) + (lo == hi ? 2.0 : 0.0);
        l.max_velocity = magnitude(in.byte());
        l.max_acceleration = magnitude(in.byte());
        l.max_jerk = magnitude(in.byte());
        start[j] = lim.position(static_cast<std::uint8_t>(in.byte() % 201), j);
    }
    std::memset(&lim.storage, 0xA5, sizeof lim.storage);
    const KestrelError e = kestrel_joint_limiter_init(&lim.storage, lim.count, lim.limits, lim.dt, start);
    if (e != KESTREL_OK) {
        // Refused: the storage is as it was.
        if (kestrel_joint_limiter_state(&lim.storage, nullptr, nullptr, nullptr, nullptr, nullptr) !=
            KESTREL_ERROR_INVALID_POINTER) {
            fail("a refused init wrote the storage", 0, 0, e, 0);
        }
        return 0;
    }
    while (!in.done() && lim.calls < kMaxCalls) {
        const std::uint8_t op = in.byte() % 7;
        double values[kMaxJoints];
        switch (op) {
            case 0:
                for (std::uint32_t j = 0; j < lim.count; ++j) lim.desired[j] = lim.request(in.byte(), j);
                lim.call(lim.desired, false);
                break;
            case 1:
                for (int n = 1 + in.byte(); n > 0; --n) lim.call(lim.desired, false);
                break;
            case 2:
                for (int n = 1 + in.byte() % 64; n > 0; --n) {
                    for (std::uint32_t j = 0; j < lim.count; ++j) lim.desired[j] = -lim.desired[j];
                    lim.call(lim.desired, false);
                }
                break;
            case 3: {
                for (std::uint32_t j = 0; j < lim.count; ++j) {
                    const std::uint8_t b = in.byte();
                    values[j] = b == 0 ? std::numeric_limits<double>::quiet_NaN() : lim.position(b, j);
                }
                for (int n = 1 + in.byte() % 64; n > 0; --n) lim.call(values, true);
                break;
            }
            case 4: {
                double velocities[kMaxJoints];
                bool too_fast = false;  // beyond DBL_MAX / 8 * period: refused
                for (std::uint32_t j = 0; j < lim.count; ++j) {
                    values[j] = lim.position(static_cast<std::uint8_t>(in.byte() % 201), j);
                    velocities[j] = lim.request(static_cast<std::uint8_t>(5 + in.byte() % 251), j);
                    too_fast = too_fast || !(std::fabs(velocities[j]) <= DBL_MAX / 8.0 * lim.dt);
                }
                const KestrelError e = kestrel_joint_limiter_reset(&lim.storage, values, velocities);
                if (e != (too_fast ? KESTREL_ERROR_BAD_VELOCITY : KESTREL_OK)) {
                    fail("reset answered wrongly", lim.calls, 0, 0, 0);
                }
                kestrel_joint_limiter_state(&lim.storage, nullptr, nullptr, nullptr, nullptr, lim.flags);
                break;
            }
            case 5: {
                LinearConstraints4 rows{};
                rows.count = in.byte() % 5;
                for (std::uint64_t i = 0; i < rows.count; ++i) {
                    for (float& c : rows.coefficients[i])
                        c = static_cast<float>((static_cast<int>(in.byte()) - 128) / 32.0);
                    rows.limits[i] = static_cast<float>((static_cast<int>(in.byte()) - 64) / 16.0);
                }
                if (kestrel_joint_limiter_set_coupling(&lim.storage, &rows) != KESTREL_OK) {
                    fail("coupling refused", lim.calls, 0, 0, 0);
                }
                break;
            }
            default:
                kestrel_joint_limiter_set_pure_tracking(&lim.storage, in.byte() & 1u);
                break;
        }
    }
    return 0;
}
