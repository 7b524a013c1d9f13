// The joint limiter: hand-computed answers for each kind of binding limit,
// the refusals, the coupling through the four-axis solver, one property run
// (the random generator and three arm profiles, every invariant after every
// step), the table of the faults of issue 20, and the time-optimal reference.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <algorithm>
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
    EXPECT_NEAR(out, c.expected, 1e-9 * (1 + std::fabs(c.expected)));  // a searched bound: within 2^-30
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
        Case{"at_the_limit", {-1, 1, kInf, 2, kInf}, 1, 0, {1}, 0, KESTREL_LIMIT_POSITION},
        // R = 10, D = 1: y = 20, n = 5, speed (20 + 15) / 6.
        Case{"braking", {-kInf, 10, kInf, 2, kInf}, 0, 5.5, {10}, 35.0 / 6.0, KESTREL_LIMIT_BRAKING},
        Case{"braking_below", {-10, kInf, kInf, 2, kInf}, 0, -5.5, {-10}, -35.0 / 6.0, KESTREL_LIMIT_BRAKING},
        // R = 1, D = 1: y = 2, n = 1, speed 1.5; v = 5 cannot slow to it in one
        // period, so acceleration gives way to the one braking point, and the
        // state (a = -7) is outside the set for one more period.
        Case{"acceleration_yields",
             {-kInf, 1, kInf, 2, kInf},
             0,
             5,
             {5},
             1.5,
             KESTREL_LIMIT_BRAKING | KESTREL_LIMIT_ACCELERATION_YIELDED | KESTREL_LIMIT_RECOVERING},
        // j = J dt^2 = 1: from rest the largest step towards 3 that lands
        // without overshoot is g^-1(3) = (3 + T(2)) / 3 = 2, cut by the jerk
        // limit to 1: flagged JERK.
        Case{"arrival_cut_by_jerk", {-kInf, kInf, kInf, kInf, 4}, 0, 0, {3}, 1, KESTREL_LIMIT_JERK},
        // Then v = 1, a dt = 1: the landing step g^-1(2) = 1.5 is inside the
        // jerk box [0, 2]: the arrival shapes the result.
        Case{"arrival_lands", {-kInf, kInf, kInf, kInf, 4}, 0, 0, {3, 3}, 2.5, KESTREL_LIMIT_ARRIVAL},
        Case{"nan_is_a_stop", kFree, 0, 0, {kNaN}, 0, KESTREL_LIMIT_STOP_REQUEST},
        // A stop from 3 with D = 1 slows to 2.
        Case{"infinite_is_a_stop",
             {-kInf, kInf, kInf, 2, kInf},
             0,
             3,
             {-kInf},
             2,
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
        std::uint32_t field = 0;  // named by kestrel_joint_limiter_check (none for a period)
    } const table[] = {
        {"nan_limit", {-1, 1, kNaN, 1, 1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MAX_VELOCITY},
        {"min_equals_max", {1, 1, 1, 1, 1}, 0.001, 1, KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MIN_POSITION},
        {"both_infinite_above", {kInf, kInf, 1, 1, 1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MIN_POSITION},
        {"zero_velocity", {-1, 1, 0, 1, 1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MAX_VELOCITY},
        {"negative_jerk", {-1, 1, 1, 1, -1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MAX_JERK},
        {"zero_period", ok, 0, 0, KESTREL_ERROR_BAD_PERIOD},
        {"nan_period", ok, kNaN, 0, KESTREL_ERROR_BAD_PERIOD},
        {"infinite_period", ok, kInf, 0, KESTREL_ERROR_BAD_PERIOD},
        {"period_above_a_second", ok, 1.5, 0, KESTREL_ERROR_BAD_PERIOD},
        {"period_1.797e308", ok, 1.797e308, 0, KESTREL_ERROR_BAD_PERIOD},
        {"range_overflows", {-1e308, 1e308, 1, 1, 1}, 0.001, 0, KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MAX_POSITION},
        {"jerk_step_underflows", {-1, 1, 1, 1, 1e-300}, 1e-5, 0, KESTREL_ERROR_BAD_LIMITS, KESTREL_JOINT_MAX_JERK},
        {"position_outside", ok, 0.001, 1.5, KESTREL_ERROR_BAD_POSITION, KESTREL_JOINT_POSITION},
        {"position_nan", ok, 0.001, kNaN, KESTREL_ERROR_BAD_POSITION, KESTREL_JOINT_POSITION},
        {"position_infinite", {-kInf, kInf, 1, 1, 1}, 0.001, -kInf, KESTREL_ERROR_BAD_POSITION, KESTREL_JOINT_POSITION},
    };
    for (const Bad& b : table) {
        SCOPED_TRACE(b.name);
        KestrelJointLimiter limiter{};
        EXPECT_EQ(kestrel_joint_limiter_init(&limiter, 1, &b.limits, b.period, &b.position), b.error);
        KestrelJointFault fault{9, 9, nullptr};
        if (b.period == 0) continue;  // to check, period 0 asks for the rules that do not need one
        EXPECT_EQ(kestrel_joint_limiter_check(1, &b.limits, b.period, &b.position, nullptr, &fault), b.error);
        EXPECT_EQ(fault.field, b.field);
        EXPECT_EQ(fault.message == nullptr, b.error == KESTREL_ERROR_BAD_PERIOD);
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
    const double huge_v[2] = {0, DBL_MAX};  // beyond DBL_MAX / 8 * period: v' - v would overflow
    EXPECT_EQ(kestrel_joint_limiter_reset(&limiter, start, huge_v), KESTREL_ERROR_BAD_VELOCITY);
    EXPECT_EQ(kestrel_joint_limiter_reset_joint(&limiter, 1, 0, DBL_MAX), KESTREL_ERROR_BAD_VELOCITY);
    EXPECT_EQ(kestrel_joint_limiter_reset_joint(&limiter, 1, 2, 0), KESTREL_ERROR_BAD_POSITION);
    EXPECT_EQ(kestrel_joint_limiter_reset_joint(&limiter, 2, 0, 0), KESTREL_ERROR_BAD_JOINT);
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
    ASSERT_EQ(kestrel_joint_limiter_reset_joint(&limiter, 1, 0.25, 0), KESTREL_OK);  // joint 0 keeps its state
    ASSERT_EQ(kestrel_joint_limiter_state(&limiter, nullptr, p, nullptr, nullptr, nullptr), KESTREL_OK);
    EXPECT_EQ(p[0], 0.5);
    EXPECT_EQ(p[1], 0.25);

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
    EXPECT_EQ(flags[0], KESTREL_LIMIT_COUPLING_UNMET);
}

// ---- Properties ------------------------------------------------------------------
// Every step of every run: outputs and state finite, the position and velocity
// limits held, acceleration and jerk held (to the rounding allowance, 2^-16 of
// the jerk step) unless flagged as giving way, and giving way only from a
// state flagged RECOVERING. KESTREL_LIMITER_STEPS sets the generator's calls
// (default 100000; the run is 1000000).

struct LimiterRun {
    std::vector<KestrelJointLimits> limits;
    double dt;
    KestrelJointLimiter limiter;
    std::vector<double> p, v, a;
    std::vector<std::uint32_t> flags;
    long yields = 0;
    LimiterRun(std::vector<KestrelJointLimits> l, double period, std::vector<double> start)
        : limits(std::move(l)), dt(period), p(std::move(start)), v(p.size()), a(p.size()), flags(p.size()) {
        EXPECT_EQ(
            kestrel_joint_limiter_init(&limiter, static_cast<std::uint32_t>(p.size()), limits.data(), dt, p.data()),
            KESTREL_OK);
    }
    // One call (positions when `position` is set); checks every invariant.
    std::vector<double> step(const std::vector<double>& desired, bool position = false) {
        std::vector<double> out(p.size()), np(p.size()), nv(p.size()), na(p.size());
        std::vector<std::uint32_t> f(p.size());
        const auto limit = position ? kestrel_joint_limiter_limit_position : kestrel_joint_limiter_limit;
        EXPECT_EQ(limit(&limiter, desired.data(), out.data(), f.data()), KESTREL_OK);
        kestrel_joint_limiter_state(&limiter, nullptr, np.data(), nv.data(), na.data(), nullptr);
        for (std::size_t j = 0; j < p.size(); ++j) {
            const KestrelJointLimits& l = limits[j];
            SCOPED_TRACE(testing::Message() << "joint " << j << " p " << p[j] << " v " << v[j] << " a " << a[j]);
            EXPECT_TRUE(std::isfinite(out[j]) && std::isfinite(np[j]) && std::isfinite(na[j]));
            EXPECT_TRUE(l.min_position <= np[j] && np[j] <= l.max_position) << np[j];
            EXPECT_LE(std::fabs(nv[j]), l.max_velocity);
            if (f[j] & (KESTREL_LIMIT_JERK_YIELDED | KESTREL_LIMIT_ACCELERATION_YIELDED)) {
                ++yields;
                EXPECT_TRUE(flags[j] & KESTREL_LIMIT_RECOVERING) << "gave way from a state inside the set";
            }
            if (!(f[j] & KESTREL_LIMIT_ACCELERATION_YIELDED)) {
                EXPECT_LE(std::fabs(na[j]), l.max_acceleration * (1 + 1e-12));
            }
            if (!(f[j] & KESTREL_LIMIT_JERK_YIELDED)) {
                EXPECT_LE(std::fabs(na[j] - a[j]), l.max_jerk * dt * (1 + 0x1p-15) + 1e-12 * std::fabs(a[j]));
            }
            if (!position && std::isfinite(desired[j]) && out[j] != desired[j]) {
                EXPECT_NE(f[j], 0u) << desired[j] << " -> " << out[j];
            }
        }
        p = np, v = nv, a = na, flags = f;
        return out;
    }
    void reset(const std::vector<double>& rp, const std::vector<double>& rv) {
        ASSERT_EQ(kestrel_joint_limiter_reset(&limiter, rp.data(), rv.data()), KESTREL_OK);
        kestrel_joint_limiter_state(&limiter, nullptr, p.data(), v.data(), a.data(), flags.data());
    }
};

long steps_from_environment() {
    const char* text = std::getenv("KESTREL_LIMITER_STEPS");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? n : 100000;
}

TEST(JointLimiterProperties, RandomGenerator) {
    std::mt19937_64 rng(20240615);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto maybe_absent = [&](double value) { return unit(rng) < 0.1 ? kInf : value; };
    constexpr std::size_t kJoints = 9;
    const double periods[] = {0.001, 0.004, 0.01};
    long calls = 0, yields = 0;
    for (const long steps = steps_from_environment(); calls < steps && !HasFailure();) {
        std::vector<KestrelJointLimits> limits(kJoints);
        for (auto& l : limits) {
            l.min_position = unit(rng) < 0.1 ? -kInf : -5.0 * unit(rng) - 0.01;
            l.max_position = unit(rng) < 0.1 ? kInf : 5.0 * unit(rng) + 0.01;
            l.max_velocity = maybe_absent(0.1 + 5.0 * unit(rng));
            l.max_acceleration = maybe_absent(1.0 + 100.0 * unit(rng));
            l.max_jerk = maybe_absent(10.0 + 10000.0 * unit(rng));
        }
        LimiterRun run(limits, periods[rng() % 3], std::vector<double>(kJoints, 0.0));
        if (rng() % 2 == 0) {
            LinearConstraints4 rows{};
            rows.count = 2;
            rows.coefficients[0][0] = rows.coefficients[0][1] = 1.0f;
            rows.limits[0] = 1.0f;
            rows.coefficients[1][2] = 1.0f;
            rows.coefficients[1][3] = -1.0f;
            rows.limits[1] = 0.5f;
            ASSERT_EQ(kestrel_joint_limiter_set_coupling(&run.limiter, &rows), KESTREL_OK);
        }
        std::vector<double> desired(kJoints);
        for (int step = 0; step < 5000 && calls < steps && !HasFailure(); ++step, ++calls) {
            if (rng() % 1000 == 0) {
                std::vector<double> rp(kJoints), rv(kJoints);
                for (std::size_t j = 0; j < kJoints; ++j) {
                    const double lo = std::max(limits[j].min_position, -10.0);
                    const double hi = std::min(limits[j].max_position, 10.0);
                    rp[j] = lo + (hi - lo) * unit(rng);
                    rv[j] = 20.0 * unit(rng) - 10.0;  // often beyond every limit
                }
                run.reset(rp, rv);
            }
            for (double& d : desired) {
                const std::uint64_t kind = rng() % 100;
                d = kind == 0   ? kNaN
                    : kind == 1 ? (rng() % 2 ? kInf : -kInf)
                    : kind == 2 ? (rng() % 2 ? 1e300 : -1e300)
                    : kind < 20 ? 40.0 * unit(rng) - 20.0  // a jump
                                : 6.0 * std::sin(1e-3 * static_cast<double>(calls)) + unit(rng);
            }
            run.step(desired);
        }
        yields += run.yields;
    }
    std::printf("%ld calls x %zu joints: %ld yields, each from a recovering state\n", calls, kJoints, yields);
}

// A 7-DoF arm with datasheet-like limits, the jerk limits divided by 10.
std::vector<KestrelJointLimits> arm() {
    const double lo[7] = {-2.8973, -1.7628, -2.8973, -3.0718, -2.8973, -0.0175, -2.8973};
    const double hi[7] = {2.8973, 1.7628, 2.8973, -0.0698, 2.8973, 3.7525, 2.8973};
    const double v[7] = {2.175, 2.175, 2.175, 2.175, 2.61, 2.61, 2.61};
    const double a[7] = {15, 7.5, 10, 12.5, 15, 20, 20};
    const double j[7] = {7500, 3750, 5000, 6250, 7500, 10000, 10000};
    std::vector<KestrelJointLimits> limits(7);
    for (int i = 0; i < 7; ++i) limits[i] = {lo[i], hi[i], v[i], a[i], j[i] / 10};
    return limits;
}
std::vector<double> middle(const std::vector<KestrelJointLimits>& limits) {
    std::vector<double> p;
    for (const auto& l : limits) p.push_back(0.5 * (l.min_position + l.max_position));
    return p;
}

// Velocity steps of +-0.8 V and +-1.5 V with two reversals; a 0.5 -> 2 Hz
// chirp of 1.5 V; a P-controller aiming 0.2 rad past the upper limit with
// 0.05 rad/s noise, which must arrive at rest and stay, its velocity never
// turning negative. At 1 kHz and 10 kHz: no yields at all.
TEST(JointLimiterProperties, ArmProfiles) {
    for (double dt : {0.001, 0.0001}) {
        for (int profile = 0; profile < 3; ++profile) {
            SCOPED_TRACE(testing::Message() << "dt " << dt << " profile " << profile);
            LimiterRun run(arm(), dt, middle(arm()));
            std::mt19937_64 rng(5);
            std::normal_distribution<double> noise(0.0, 0.05);
            std::vector<bool> held(7);
            for (long t = 0; t < std::lround((profile == 1 ? 10.0 : 6.0) / dt) && !HasFailure(); ++t) {
                const double time = static_cast<double>(t) * dt;
                std::vector<double> d(7);
                for (int i = 0; i < 7; ++i) {
                    const double V = run.limits[i].max_velocity;
                    const int seg = static_cast<int>(time);
                    d[i] = profile == 0   ? (seg % 2 == 0 ? 1 : -1) * (seg < 3 ? 0.8 : 1.5) * V
                           : profile == 1 ? 1.5 * V * std::sin(2 * M_PI * (0.5 * time + 0.075 * time * time))
                                          : 5.0 * (run.limits[i].max_position + 0.2 - run.p[i]) + noise(rng);
                }
                const std::vector<double> out = run.step(d);
                for (int i = 0; i < 7 && profile == 2; ++i) {
                    if (held[i]) {
                        EXPECT_TRUE(out[i] >= 0.0 && out[i] <= 1e-12) << out[i];
                        EXPECT_LE(run.limits[i].max_position - run.p[i], 1e-12);
                    }
                    held[i] = held[i] || (run.limits[i].max_position - run.p[i] <= 1e-9 && out[i] <= 1e-12);
                }
            }
            EXPECT_EQ(run.yields, 0);
            if (profile == 2) {
                EXPECT_EQ(std::count(held.begin(), held.end(), true), 7);
            }
        }
    }
}

// ---- The faults of issue 20 ---------------------------------------------------------

TEST(JointLimiterFaults, Table) {
    {
        SCOPED_TRACE("coupling: a MaxIterations iterate that breaks row 0 is not used");
        const KestrelJointLimits l{-1, 1, 2.0, 15.0, 7500.0};
        LimiterRun run({l, l, l, l}, 0.001, {0, 0, 0, 0});
        run.reset({0.76579436178588967, 0.21706537330386488, 0.73809032358140236, -0.73974628170940382},
                  {0.55378260954924974, 1.1033521644321049, 0.49605473992231053, -1.0071542426045772});
        LinearConstraints4 rows{
            3, {{-0.5f, 0.5f, 2, 0.5f}, {0, -1, 0, 0.5f}, {2, -0.5f, -1.5f, 2}}, {0.75f, 0.75f, 0.25f}};
        ASSERT_EQ(kestrel_joint_limiter_set_coupling(&run.limiter, &rows), KESTREL_OK);
        const std::vector<double> out =
            run.step({-0.60478596976249754, 1.5002558704001157, 0.13680234371535605, -3.4116744508089845});
        double dot[3] = {0, 0, 0}, magnitude = 0;
        for (int k = 0; k < 4; ++k) {
            magnitude += out[k] * out[k];
            for (int i = 0; i < 3; ++i) dot[i] += rows.coefficients[i][k] * out[k];
        }
        const bool unmet = run.flags[0] & KESTREL_LIMIT_COUPLING_UNMET;
        for (int i = 0; i < 3 && !unmet; ++i) {
            EXPECT_LE(dot[i], rows.limits[i] + 1e-5 + 1.2e-5 * std::sqrt(magnitude) * 3);
        }
    }
    {
        SCOPED_TRACE("max_jerk 1e308, no velocity limit, requests of -DBL_MAX: finite for good");
        LimiterRun run({{-kInf, kInf, kInf, kInf, 1e308}}, 0.001, {0});
        for (int i = 0; i < 4000 && !HasFailure(); ++i) run.step({-DBL_MAX});
    }
    {
        SCOPED_TRACE("limits of 1e-12: no yields, and no jerk excess goes unflagged");
        LimiterRun run({{-1e-12, 1e-12, 1e-12, 1e-12, 1e-12}}, 0.001, {0});
        std::mt19937_64 rng(1);
        for (int i = 0; i < 20000 && !HasFailure(); ++i) run.step({(static_cast<double>(rng() % 5) - 2.0) * 1e-12});
        EXPECT_EQ(run.yields, 0);
        run.reset({0.9e-12}, {1e-12});  // then the jerk must give way, and say so
        for (int i = 0; i < 5 && !HasFailure(); ++i) run.step({1e-12});
        EXPECT_GT(run.yields, 0);
    }
    {
        SCOPED_TRACE("a position command rides its braking bound onto a constant target and never turns back");
        LimiterRun run({{-0.177636, 1.98427, 4.35273, kInf, 1.01528}}, 1e-4, {0.81567751129278721});
        const double target = -0.063184423947051233;
        for (int i = 0; i < 40000 && !HasFailure(); ++i) {
            run.step({target}, true);
            ASSERT_LE(run.v[0], 0.0) << "step " << i;
        }
        EXPECT_EQ(run.p[0], target);
    }
    {
        SCOPED_TRACE("no acceleration limit: still brakes, arrives at rest at the limit");
        LimiterRun run({{-1, 1, 2, kInf, 100}}, 0.001, {0});
        for (int i = 0; i < 3000 && !HasFailure(); ++i) run.step({2});
        EXPECT_EQ(run.yields, 0);
        EXPECT_EQ(run.v[0], 0.0);
        EXPECT_NEAR(run.p[0], 1.0, 1e-12);
    }
}

// ---- Time-optimal reference ----------------------------------------------------------
// The discrete jerk-limited optimum from rest, j = J dt^2 and s = A dt per
// period. A velocity step to w: alpha_k <= min(k j, (N - k) j, s), and that
// pointwise bound is itself a feasible profile, so w is reached in N periods
// (alpha back to 0 at N, v = w from N - 1) iff the sum of the bounds is >= w.
// A move from rest to rest: the problem is a linear programme symmetric in
// time, so an optimum is antisymmetric in alpha; its first half is bounded by
// min(k j, s, ((N + 1) / 2 - k) j) (the ramp to the middle, where alpha turns
// to -alpha), which again is feasible and maximises every v_k. The shortest N
// that covers d is the optimum while its peak stays below V; beyond, the
// optimum accelerates to V as fast as the step does, cruises and mirrors the
// acceleration. The limiter must be within 2 % or 3 periods of both.

long optimal_step(double w, double j, double s) {
    for (long n = 1;; ++n) {
        double reach = 0;
        for (long k = 1; k < n; ++k) reach += std::min({static_cast<double>(k) * j, static_cast<double>(n - k) * j, s});
        if (reach >= w * (1 - 1e-12)) return n - 1;
    }
}
long optimal_move(double d, double j, double s, double V, double dt) {
    for (long n = 1;; ++n) {
        const double half = (static_cast<double>(n) + 1) / 2;
        double v = 0, x = 0, peak = 0;
        for (long k = 1; k <= n; ++k) {
            const double kk = static_cast<double>(k), mirror = static_cast<double>(n + 1 - k);
            v += kk < half   ? std::min({kk * j, s, (half - kk) * j})
                 : kk > half ? -std::min({mirror * j, s, (kk - half) * j})
                             : 0;
            x += v * dt;
            peak = std::max(peak, v);
        }
        if (peak > V) {  // accelerate to V, cruise, mirror
            const long up = optimal_step(V, j, s);
            double covered = 0, u = 0;
            for (long k = 1; k <= up; ++k)
                covered += (u += std::min({static_cast<double>(k) * j, static_cast<double>(up + 1 - k) * j, s})) * dt;
            return 2 * up + static_cast<long>(std::ceil((d - 2 * covered) / (V * dt)));
        }
        if (x >= d * (1 - 1e-12)) return n;
    }
}

TEST(JointLimiterTimeOptimal, StepsAndMovesWithinTwoPercentOrThreePeriods) {
    long worst[2] = {0, 0};  // periods beyond the optimum: steps, moves
    for (double dt : {0.001, 0.0001}) {
        for (const KestrelJointLimits& l : arm()) {
            const double j = l.max_jerk * dt * dt, s = l.max_acceleration * dt;
            for (double fraction : {0.05, 0.3, 0.8, 1.0}) {
                SCOPED_TRACE(testing::Message() << "dt " << dt << " step " << fraction);
                LimiterRun run({{-kInf, kInf, l.max_velocity, l.max_acceleration, l.max_jerk}}, dt, {0});
                const double w = fraction * l.max_velocity;
                long t = 0;
                while (std::fabs(run.step({w})[0] - w) > 1e-12 * w) ++t;
                const long best = optimal_step(w, j, s);
                EXPECT_LE(t, std::max(best + 3, std::lround(best * 1.02)));
                worst[0] = std::max(worst[0], t - best);
                for (int k = 0; k < 20; ++k) EXPECT_EQ(run.step({w})[0], w);  // and no overshoot after
            }
            for (double fraction : {0.01, 0.2, 0.9}) {
                SCOPED_TRACE(testing::Message() << "dt " << dt << " move " << fraction);
                LimiterRun run({l}, dt, {l.min_position});
                const double target = l.min_position + fraction * (l.max_position - l.min_position);
                long t = 1;
                for (; run.step({target}, true)[0] < target - 1e-9 || run.v[0] != 0.0; ++t) {
                    ASSERT_LE(run.p[0], target);
                }
                const long best = optimal_move(target - l.min_position, j, s, l.max_velocity, dt);
                EXPECT_LE(t, std::max(best + 3, std::lround(best * 1.02)));
                worst[1] = std::max(worst[1], t - best);
            }
        }
    }
    std::printf("periods beyond the optimum: steps %ld, moves %ld\n", worst[0], worst[1]);
}

}  // namespace
