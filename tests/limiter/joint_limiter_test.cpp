// The joint limiter: hand-computed answers for each kind of binding limit,
// the refusals, the coupling through the four-axis solver, and a long random
// run that checks the invariants after every step.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "kestrel.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr KestrelJointLimits kFree{-kInf, kInf, kInf, kInf, kInf};

// ---- Known answers ----------------------------------------------------------
// One joint at dt = 0.5 (exact in binary). `desired` is a sequence of calls;
// the last call's result and flags are checked.

struct Case {
    const char* name;
    KestrelJointLimits limits;
    double p0, v0;
    std::vector<double> desired;
    double expected;
    std::uint32_t flags;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class KnownAnswer : public ::testing::TestWithParam<Case> {};

TEST_P(KnownAnswer, LimitsAndFlags) {
    const Case& c = GetParam();
    KestrelJointLimiter limiter;
    ASSERT_EQ(kestrel_joint_limiter_init(&limiter, 1, &c.limits, 0.5, &c.p0), KESTREL_OK);
    ASSERT_EQ(kestrel_joint_limiter_reset(&limiter, &c.p0, &c.v0), KESTREL_OK);
    double out = kNaN;
    std::uint32_t flags = 0xFFFF;
    for (double d : c.desired) {
        ASSERT_EQ(kestrel_joint_limiter_limit(&limiter, &d, &out, &flags), KESTREL_OK);
    }
    EXPECT_DOUBLE_EQ(out, c.expected);
    EXPECT_EQ(flags, c.flags);
}

// D = max_acceleration * dt. Braking from room R: y = R / (dt D), n the largest
// integer with n(n+1)/2 <= y, speed D (y + n(n+1)/2) / (n+1).
INSTANTIATE_TEST_SUITE_P(
    JointLimiter, KnownAnswer,
    ::testing::Values(
        Case{"free", kFree, 0, 0, {1.5}, 1.5, 0},
        Case{"velocity", {-kInf, kInf, 1, kInf, kInf}, 0, 0, {3}, 1, KESTREL_LIMIT_VELOCITY},
        Case{"velocity_below", {-kInf, kInf, 1, kInf, kInf}, 0, 0, {-3}, -1, KESTREL_LIMIT_VELOCITY},
        // D = 1: from 0 at most 1.
        Case{"acceleration", {-kInf, kInf, kInf, 2, kInf}, 0, 0, {3}, 1, KESTREL_LIMIT_ACCELERATION},
        // J dt = 1: a' in [-1, 1], v' in [-0.5, 0.5]; then v = 0.5, a = 1: v' in [0.5, 1.5].
        Case{"jerk", {-kInf, kInf, kInf, kInf, 2}, 0, 0, {3}, 0.5, KESTREL_LIMIT_JERK},
        Case{"jerk_second_call", {-kInf, kInf, kInf, kInf, 2}, 0, 0, {3, 3}, 1.5, KESTREL_LIMIT_JERK},
        // (1 - 0.75) / 0.5; no acceleration limit, so braking adds nothing.
        Case{"position", {-kInf, 1, kInf, kInf, kInf}, 0.75, 0, {3}, 0.5, KESTREL_LIMIT_POSITION},
        Case{"at_the_limit", {-1, 1, kInf, 2, kInf}, 1, 0, {1}, 0,
             KESTREL_LIMIT_POSITION | KESTREL_LIMIT_BRAKING},
        // R = 10, D = 1: y = 20, n = 5, speed (20 + 15) / 6.
        Case{"braking", {-kInf, 10, kInf, 2, kInf}, 0, 5.5, {10}, 35.0 / 6.0, KESTREL_LIMIT_BRAKING},
        Case{"braking_below", {-10, kInf, kInf, 2, kInf}, 0, -5.5, {-10}, -35.0 / 6.0, KESTREL_LIMIT_BRAKING},
        // R = 1, D = 1: y = 2, n = 1, speed 1.5; v = 5 cannot slow to it in one
        // period, so acceleration gives way to the one braking point.
        Case{"acceleration_yields", {-kInf, 1, kInf, 2, kInf}, 0, 5, {5}, 1.5,
             KESTREL_LIMIT_BRAKING | KESTREL_LIMIT_ACCELERATION_YIELDED},
        // R = 5, D = 2: y = 5, n = 2, speed 2 (5 + 3) / 3 = 16/3; jerk allows
        // only 5.8 -+ 0.125, so jerk gives way to braking.
        Case{"jerk_yields", {-kInf, 5, kInf, 4, 0.5}, 0, 5.8, {5.8}, 16.0 / 3.0,
             KESTREL_LIMIT_BRAKING | KESTREL_LIMIT_JERK_YIELDED},
        Case{"nan_is_a_stop", kFree, 0, 0, {kNaN}, 0, KESTREL_LIMIT_STOP_REQUEST},
        // A stop from 3 with D = 1 slows to 2.
        Case{"infinite_is_a_stop", {-kInf, kInf, kInf, 2, kInf}, 0, 3, {-kInf}, 2,
             KESTREL_LIMIT_STOP_REQUEST | KESTREL_LIMIT_ACCELERATION}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Refusals -----------------------------------------------------------------

TEST(JointLimiterErrors, InitRefusesBadInput) {
    const KestrelJointLimits ok{-1, 1, 1, 1, 1};
    struct Bad {
        const char* name;
        KestrelJointLimits limits;
        double period, position;
        KestrelError error;
    } const table[] = {
        {"nan_limit", {-1, 1, kNaN, 1, 1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS},
        {"min_equals_max", {1, 1, 1, 1, 1}, 0.001, 1, KESTREL_ERROR_BAD_LIMITS},
        {"both_infinite_above", {kInf, kInf, 1, 1, 1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS},
        {"zero_velocity", {-1, 1, 0, 1, 1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS},
        {"negative_jerk", {-1, 1, 1, 1, -1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS},
        {"zero_period", ok, 0, 0, KESTREL_ERROR_BAD_PERIOD},
        {"nan_period", ok, kNaN, 0, KESTREL_ERROR_BAD_PERIOD},
        {"infinite_period", ok, kInf, 0, KESTREL_ERROR_BAD_PERIOD},
        {"position_outside", ok, 0.001, 1.5, KESTREL_ERROR_BAD_POSITION},
        {"position_nan", ok, 0.001, kNaN, KESTREL_ERROR_BAD_POSITION},
        {"position_infinite", {-kInf, kInf, 1, 1, 1}, 0.001, -kInf, KESTREL_ERROR_BAD_POSITION},
    };
    for (const Bad& b : table) {
        SCOPED_TRACE(b.name);
        KestrelJointLimiter limiter{};
        EXPECT_EQ(kestrel_joint_limiter_init(&limiter, 1, &b.limits, b.period, &b.position), b.error);
        // Refused storage stays uninitialised.
        EXPECT_EQ(kestrel_joint_limiter_state(&limiter, nullptr, nullptr, nullptr, nullptr, nullptr),
                  KESTREL_ERROR_INVALID_POINTER);
    }
    KestrelJointLimiter limiter{};
    const double p = 0;
    EXPECT_EQ(kestrel_joint_limiter_init(&limiter, 0, &ok, 0.001, &p), KESTREL_ERROR_BAD_JOINT_COUNT);
    EXPECT_EQ(kestrel_joint_limiter_init(&limiter, KESTREL_JOINT_LIMITER_MAX_JOINTS + 1, &ok, 0.001, &p),
              KESTREL_ERROR_BAD_JOINT_COUNT);
    EXPECT_EQ(kestrel_joint_limiter_init(nullptr, 1, &ok, 0.001, &p), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_joint_limiter_init(&limiter, 1, nullptr, 0.001, &p), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_joint_limiter_init(&limiter, 1, &ok, 0.001, nullptr), KESTREL_ERROR_INVALID_POINTER);
}

TEST(JointLimiterErrors, CallsRefuseBadInputAndLeaveTheStateAlone) {
    const KestrelJointLimits limits[2] = {{-1, 1, 1, 10, 100}, {-1, 1, 1, 10, 100}};
    const double start[2] = {0.5, -0.5};
    KestrelJointLimiter limiter;
    ASSERT_EQ(kestrel_joint_limiter_init(&limiter, 2, limits, 0.01, start), KESTREL_OK);
    double d[2] = {1, 1}, out[2];
    EXPECT_EQ(kestrel_joint_limiter_limit(&limiter, nullptr, out, nullptr), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_joint_limiter_limit(&limiter, d, nullptr, nullptr), KESTREL_ERROR_INVALID_POINTER);
    const double outside[2] = {0, 2}, bad_v[2] = {0, kNaN};
    EXPECT_EQ(kestrel_joint_limiter_reset(&limiter, outside, nullptr), KESTREL_ERROR_BAD_POSITION);
    EXPECT_EQ(kestrel_joint_limiter_reset(&limiter, start, bad_v), KESTREL_ERROR_BAD_VELOCITY);
    LinearConstraints4 rows{};
    rows.count = 5;
    EXPECT_EQ(kestrel_joint_limiter_set_coupling(&limiter, &rows), KESTREL_ERROR_BAD_COUPLING);
    rows.count = 1;
    rows.limits[0] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(kestrel_joint_limiter_set_coupling(&limiter, &rows), KESTREL_ERROR_BAD_COUPLING);
    Solution4 last;
    EXPECT_EQ(kestrel_joint_limiter_coupling_result(&limiter, &last), KESTREL_ERROR_NOT_COUPLED);
    double p[2];
    ASSERT_EQ(kestrel_joint_limiter_state(&limiter, nullptr, p, nullptr, nullptr, nullptr), KESTREL_OK);
    EXPECT_EQ(p[0], 0.5);
    EXPECT_EQ(p[1], -0.5);

    KestrelJointLimiter garbage;
    std::memset(&garbage, 0xA5, sizeof garbage);
    EXPECT_EQ(kestrel_joint_limiter_limit(&garbage, d, out, nullptr), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_joint_limiter_reset(&garbage, start, nullptr), KESTREL_ERROR_INVALID_POINTER);

    // Storage is refused alike when it is garbage, misaligned, or a copy whose
    // joint count was damaged: the count is checked before it bounds a loop.
    alignas(8) unsigned char raw[sizeof(KestrelJointLimiter) + 8];
    auto* misaligned = reinterpret_cast<KestrelJointLimiter*>(raw + 4);
    EXPECT_EQ(kestrel_joint_limiter_init(misaligned, 2, limits, 0.01, start), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_joint_limiter_limit(misaligned, d, out, nullptr), KESTREL_ERROR_INVALID_POINTER);
    KestrelJointLimiter damaged = limiter;
    const std::uint32_t count = KESTREL_JOINT_LIMITER_MAX_JOINTS + 1;
    std::memcpy(reinterpret_cast<unsigned char*>(damaged.opaque) + 4, &count, sizeof count);
    EXPECT_EQ(kestrel_joint_limiter_limit(&damaged, d, out, nullptr), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_joint_limiter_state(&damaged, nullptr, p, nullptr, nullptr, nullptr),
              KESTREL_ERROR_INVALID_POINTER);
}

// ---- Coupling -------------------------------------------------------------------

TEST(JointLimiterCoupling, ProjectsInsideTheJointIntervals) {
    // Three joints; v0 + v1 <= 1. Joint 1 may move at most D = 0.25 from 0.
    const KestrelJointLimits limits[3] = {{-9, 9, 5, kInf, kInf}, {-9, 9, 5, 25, kInf}, {-9, 9, 5, kInf, kInf}};
    const double start[3] = {0, 0, 0};
    KestrelJointLimiter limiter;
    ASSERT_EQ(kestrel_joint_limiter_init(&limiter, 3, limits, 0.01, start), KESTREL_OK);
    LinearConstraints4 rows{};
    rows.count = 1;
    rows.coefficients[0][0] = rows.coefficients[0][1] = 1.0f;
    rows.limits[0] = 1.0f;
    ASSERT_EQ(kestrel_joint_limiter_set_coupling(&limiter, &rows), KESTREL_OK);

    const double desired[3] = {2, 2, 3};
    double out[3];
    std::uint32_t flags[3];
    ASSERT_EQ(kestrel_joint_limiter_limit(&limiter, desired, out, flags), KESTREL_OK);
    Solution4 last;
    ASSERT_EQ(kestrel_joint_limiter_coupling_result(&limiter, &last), KESTREL_OK);
    EXPECT_EQ(last.status, KESTREL_STATUS_OPTIMAL);
    // Joint 1 may only move within +-0.25: the nearest point of the row is
    // (1.375, -0.375), so the projection ends on that box at (1.25, -0.25).
    EXPECT_NEAR(out[0], 1.25, 1e-6);
    EXPECT_EQ(out[1], -0.25);
    EXPECT_EQ(out[2], 3.0);  // outside the coupling, untouched
    EXPECT_EQ(flags[0], KESTREL_LIMIT_COUPLING);
    // The flags of the per-joint step stay; the coupling adds its own.
    EXPECT_EQ(flags[1], KESTREL_LIMIT_ACCELERATION | KESTREL_LIMIT_COUPLING);
    EXPECT_EQ(flags[2], 0u);

    // Rows that the joint intervals cannot meet: the solver says so and the
    // per-joint results stand.
    rows.coefficients[0][1] = 0.0f;
    rows.limits[0] = -100.0f;
    ASSERT_EQ(kestrel_joint_limiter_set_coupling(&limiter, &rows), KESTREL_OK);
    ASSERT_EQ(kestrel_joint_limiter_limit(&limiter, desired, out, flags), KESTREL_OK);
    ASSERT_EQ(kestrel_joint_limiter_coupling_result(&limiter, &last), KESTREL_OK);
    EXPECT_EQ(last.status, KESTREL_STATUS_INFEASIBLE);
    EXPECT_EQ(out[0], 2.0);
    EXPECT_EQ(flags[0], 0u);
}

// ---- Random invariants -------------------------------------------------------
// KESTREL_LIMITER_STEPS sets the number of calls (default 100000); the long
// proof run is `KESTREL_LIMITER_STEPS=1000000 kestrel_joint_limiter_tests
// --gtest_filter='*Invariant*'`.

long steps_from_environment() {
    const char* text = std::getenv("KESTREL_LIMITER_STEPS");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? n : 100000;
}

TEST(JointLimiterInvariants, HoldOverLongRandomRuns) {
    std::mt19937_64 rng(20240615);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto maybe_absent = [&](double value) { return unit(rng) < 0.1 ? kInf : value; };
    const long steps = steps_from_environment();
    constexpr std::uint32_t kJoints = 9;
    const double periods[] = {0.001, 0.004, 0.01};
    long calls = 0, accel_yields = 0, jerk_yields = 0, resets = 0;
    while (calls < steps) {
        // A fresh limiter every 5000 calls: new limits, period and coupling.
        KestrelJointLimits limits[kJoints];
        double p[kJoints];
        for (auto& l : limits) {
            l.min_position = unit(rng) < 0.1 ? -kInf : -5.0 * unit(rng) - 0.01;
            l.max_position = unit(rng) < 0.1 ? kInf : 5.0 * unit(rng) + 0.01;
            l.max_velocity = maybe_absent(0.1 + 5.0 * unit(rng));
            l.max_acceleration = maybe_absent(1.0 + 100.0 * unit(rng));
            l.max_jerk = maybe_absent(10.0 + 10000.0 * unit(rng));
        }
        for (std::uint32_t j = 0; j < kJoints; ++j) p[j] = 0.0;
        const double dt = periods[rng() % 3];
        KestrelJointLimiter limiter;
        ASSERT_EQ(kestrel_joint_limiter_init(&limiter, kJoints, limits, dt, p), KESTREL_OK);
        if (rng() % 2 == 0) {
            LinearConstraints4 rows{};
            rows.count = 2;
            rows.coefficients[0][0] = rows.coefficients[0][1] = 1.0f;
            rows.limits[0] = 1.0f;
            rows.coefficients[1][2] = 1.0f;
            rows.coefficients[1][3] = -1.0f;
            rows.limits[1] = 0.5f;
            ASSERT_EQ(kestrel_joint_limiter_set_coupling(&limiter, &rows), KESTREL_OK);
        }
        double desired[kJoints], out[kJoints], v[kJoints], a[kJoints];
        std::uint32_t flags[kJoints];
        bool fresh = true;  // the state was set by a reset, not produced by a call
        for (int step = 0; step < 5000 && calls < steps; ++step, ++calls) {
            if (rng() % 1000 == 0) {
                double rp[kJoints], rv[kJoints];
                for (std::uint32_t j = 0; j < kJoints; ++j) {
                    const double lo = std::max(limits[j].min_position, -10.0);
                    const double hi = std::min(limits[j].max_position, 10.0);
                    rp[j] = lo + (hi - lo) * unit(rng);
                    rv[j] = 20.0 * unit(rng) - 10.0;  // often beyond every limit
                }
                ASSERT_EQ(kestrel_joint_limiter_reset(&limiter, rp, rv), KESTREL_OK);
                fresh = true;
                ++resets;
            }
            ASSERT_EQ(kestrel_joint_limiter_state(&limiter, nullptr, p, v, a, nullptr), KESTREL_OK);
            for (double& d : desired) {
                const std::uint64_t kind = rng() % 100;
                d = kind == 0   ? kNaN
                    : kind == 1 ? (rng() % 2 ? kInf : -kInf)
                    : kind == 2 ? (rng() % 2 ? 1e300 : -1e300)
                    : kind < 20 ? 40.0 * unit(rng) - 20.0            // a jump
                                : 6.0 * std::sin(1e-3 * static_cast<double>(calls)) + unit(rng);
            }
            ASSERT_EQ(kestrel_joint_limiter_limit(&limiter, desired, out, flags), KESTREL_OK);
            double np[kJoints], na[kJoints];
            ASSERT_EQ(kestrel_joint_limiter_state(&limiter, nullptr, np, nullptr, na, nullptr), KESTREL_OK);
            for (std::uint32_t j = 0; j < kJoints; ++j) {
                SCOPED_TRACE(testing::Message() << "call " << calls << " joint " << j);
                const KestrelJointLimits& l = limits[j];
                ASSERT_TRUE(std::isfinite(out[j]));
                ASSERT_TRUE(l.min_position <= np[j] && np[j] <= l.max_position) << np[j];
                ASSERT_LE(std::fabs(out[j]), l.max_velocity);
                // The position integrates the command (up to rounding).
                ASSERT_NEAR(np[j], p[j] + out[j] * dt, 1e-12 * (1.0 + std::fabs(p[j])));
                // Slack for the rounding the limiter treats as touching.
                const double slack = 1e-9 * l.max_acceleration * dt + 32 * DBL_EPSILON * (std::fabs(p[j]) + 1) / dt;
                if (flags[j] & KESTREL_LIMIT_ACCELERATION_YIELDED) {
                    ++accel_yields;
                    // Only a state set by a reset can make acceleration give way.
                    ASSERT_TRUE(fresh);
                } else {
                    ASSERT_LE(std::fabs(out[j] - v[j]), l.max_acceleration * dt + slack);
                }
                if (flags[j] & KESTREL_LIMIT_JERK_YIELDED) {
                    ++jerk_yields;
                } else {
                    ASSERT_LE(std::fabs(na[j] - a[j]), l.max_jerk * dt + 2 * slack / dt);
                }
                // A result that differs from a finite request is explained by a flag.
                if (std::isfinite(desired[j]) && out[j] != desired[j]) {
                    ASSERT_NE(flags[j], 0u) << desired[j] << " -> " << out[j];
                }
            }
            fresh = false;
        }
    }
    std::printf("%ld calls x %u joints: %ld resets, %ld acceleration and %ld jerk yields\n", calls, kJoints,
                resets, accel_yields, jerk_yields);
}

}  // namespace
