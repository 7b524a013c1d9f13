// Known answers for the four-axis solver and its normal-equation solver, and
// the contract of the exported entry point (null pointers, bytes written,
// inputs left alone).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "kestrel.h"
#include "solve/multivar_4d.hpp"

namespace {

using kestrel::Vec4;
using kestrel::multivar::kMaxIterations;
using kestrel::multivar::kMaxWorkingSet;

// The tests, benchmark and fuzz target use the solver's constants by name;
// this is the one place that pins their values.
static_assert(kestrel::multivar::kTol == 1e-5f && kestrel::multivar::kEps == 1e-9f &&
              kestrel::multivar::kPivotMin == 1e-6f && kestrel::multivar::kFeasibilitySweeps == 60 &&
              kMaxIterations == 20 && kMaxWorkingSet == 8 && kestrel::multivar::kMaxRows == 4);

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Same value, or both NaN; zeros must match in sign too.
bool same_float(float expected, float actual) {
    if (std::isnan(expected)) return std::isnan(actual);
    return std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual);
}

// ---- Normal equations ------------------------------------------------------

struct NormalCase {
    const char* name;
    std::size_t m;
    std::array<Vec4, kMaxWorkingSet> rows;
    std::array<float, kMaxWorkingSet> rhs;
    bool ok;
    std::array<float, kMaxWorkingSet> lambda;  // first m entries checked when ok
    float rel_tol;                             // 0: bit-exact
};

void PrintTo(const NormalCase& c, std::ostream* os) { *os << c.name; }

class NormalEquations : public ::testing::TestWithParam<NormalCase> {};

TEST_P(NormalEquations, SolvesOrRejects) {
    const NormalCase& c = GetParam();
    constexpr float kSentinel = -12345.0f;
    std::array<float, kMaxWorkingSet> out;
    out.fill(kSentinel);
    ASSERT_EQ(kestrel::solve_normal_equations(c.m, c.rows, c.rhs, out), c.ok);
    if (c.ok) {
        for (std::size_t j = 0; j < c.m; ++j) {
            if (c.rel_tol == 0.0f) {
                EXPECT_TRUE(same_float(c.lambda[j], out[j])) << "lambda[" << j << "] = " << out[j];
            } else {
                EXPECT_NEAR(out[j], c.lambda[j], c.rel_tol * std::fabs(c.lambda[j])) << "lambda[" << j << "]";
            }
        }
    }
    // Entries from m on are never touched, whatever the result.
    for (std::size_t j = c.m; j < kMaxWorkingSet; ++j) EXPECT_EQ(out[j], kSentinel) << "out[" << j << "]";
}

const Vec4 e0{1, 0, 0, 0}, e1{0, 1, 0, 0}, e2{0, 0, 1, 0}, e3{0, 0, 0, 1};
const Vec4 ne0{-1, 0, 0, 0}, ne1{0, -1, 0, 0}, ne2{0, 0, -1, 0}, ne3{0, 0, 0, -1};

INSTANTIATE_TEST_SUITE_P(
    Table, NormalEquations,
    ::testing::Values(
        NormalCase{"empty", 0, {}, {}, true, {}, 0},
        NormalCase{"single_row", 1, {Vec4{1, 1, 0, 0}}, {3}, true, {1.5f}, 0},
        NormalCase{"zero_row", 1, {Vec4{0, 0, 0, 0}}, {3}, false, {}, 0},
        // 0.001^2 rounds to just above 1e-6, so the pivot passes; 0.0009^2 does not.
        NormalCase{"pivot_just_above_threshold", 1, {Vec4{0.001f, 0, 0, 0}}, {1}, true, {1e6f}, 1e-6f},
        NormalCase{"pivot_below_threshold", 1, {Vec4{0.0009f, 0, 0, 0}}, {1}, false, {}, 0},
        NormalCase{"equal_rows", 2, {e0, e0}, {1, 1}, false, {}, 0},
        NormalCase{"diagonal", 2, {e1, Vec4{2, 0, 0, 0}}, {3, 5}, true, {3, 1.25f}, 0},
        NormalCase{"pivot_tie_keeps_upper_row", 2, {e0, Vec4{1, 1, 0, 0}}, {3, 5}, true, {1, 2}, 0},
        // Column 0 holds (1, 4): the second row becomes the pivot. G = ((1,2),(2,8)).
        NormalCase{"pivot_swap", 2, {e0, Vec4{2, 2, 0, 0}}, {1, 6}, true, {-1, 1}, 0},
        NormalCase{"four_bounds", 4, {ne0, ne1, e2, ne3}, {-5, -1, 2, 0}, true, {-5, -1, 2, 0}, 0},
        NormalCase{"five_rows_dependent", 5, {ne0, ne1, ne2, ne3, Vec4{1, 1, 1, 1}}, {1, 1, 1, 1, 1}, false, {}, 0},
        // An infinite right-hand side makes a solution component infinite.
        NormalCase{"infinite_rhs", 2, {e0, e1}, {kInf, 1}, false, {}, 0},
        NormalCase{"nan_rhs", 1, {e3}, {kNaN}, false, {}, 0},
        // An infinite row: its Gram entries are infinite.
        NormalCase{"infinite_row", 2, {Vec4{kInf, 0, 0, 0}, e0}, {1, 1}, false, {}, 0}),
    [](const ::testing::TestParamInfo<NormalCase>& info) { return std::string(info.param.name); });

// ---- The solver ------------------------------------------------------------

struct Problem {
    Vec4 u;
    Bounds4 bounds;
    LinearConstraints4 constraints;
};

Problem make_problem(Vec4 u, Vec4 lower, Vec4 upper, std::uint64_t count, std::array<Vec4, 4> rows = {},
                     Vec4 limits = {}) {
    Problem p{};
    p.u = u;
    for (int k = 0; k < 4; ++k) {
        p.bounds.lower[k] = lower[k];
        p.bounds.upper[k] = upper[k];
        p.constraints.limits[k] = limits[k];
        for (int a = 0; a < 4; ++a) p.constraints.coefficients[k][a] = rows[k][a];
    }
    p.constraints.count = count;
    return p;
}

struct SolverCase {
    const char* name;
    Problem problem;
    Vec4 x;
    std::uint64_t iterations;
    SolveStatus status;
    float abs_tol;  // 0: bit-exact
};

void PrintTo(const SolverCase& c, std::ostream* os) { *os << c.name; }

class SolverCases : public ::testing::TestWithParam<SolverCase> {};

TEST_P(SolverCases, MatchesTable) {
    const SolverCase& c = GetParam();
    Problem p = c.problem;
    const Problem before = p;
    Solution4 out;
    std::memset(&out, 0xAB, sizeof out);
    ASSERT_EQ(kestrel_solve_multivar_4d(p.u.data(), &p.bounds, &p.constraints, &out), 0);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(out.iterations, c.iterations);
    for (int k = 0; k < 4; ++k) {
        if (c.abs_tol == 0.0f) {
            EXPECT_TRUE(same_float(c.x[k], out.x[k])) << "x[" << k << "] = " << out.x[k];
        } else {
            EXPECT_NEAR(out.x[k], c.x[k], c.abs_tol) << "x[" << k << "]";
        }
    }
    // Only the 28 bytes of x, iterations and status are written.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
    for (int i = 28; i < 32; ++i) EXPECT_EQ(bytes[i], 0xAB) << "padding byte " << i;
    // The inputs are left alone.
    EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);

    // The C++ entry point, and the exported one with an unaligned command.
    const Solution4 internal = kestrel::solve_multivar_4d(p.u, p.bounds, p.constraints);
    EXPECT_EQ(std::memcmp(&internal, &out, 28), 0) << "the C++ entry point gives another answer";
    alignas(16) unsigned char buffer[20];
    std::memcpy(buffer + 1, p.u.data(), sizeof p.u);
    Solution4 unaligned{};
    ASSERT_EQ(
        kestrel_solve_multivar_4d(reinterpret_cast<const float*>(buffer + 1), &p.bounds, &p.constraints, &unaligned),
        0);
    EXPECT_EQ(std::memcmp(&unaligned, &out, 28), 0) << "an unaligned command gives another answer";
}

constexpr SolveStatus kInvalid = KESTREL_STATUS_INVALID_INPUT;
constexpr SolveStatus kOptimal = KESTREL_STATUS_OPTIMAL;
constexpr SolveStatus kInfeasible = KESTREL_STATUS_INFEASIBLE;
constexpr SolveStatus kOutOfIterations = KESTREL_STATUS_MAX_ITERATIONS;
constexpr SolveStatus kNumerical = KESTREL_STATUS_NUMERICAL_FAILURE;

const Vec4 kMinus1{-1, -1, -1, -1}, kPlus1{1, 1, 1, 1}, kZero{0, 0, 0, 0};

// The worked example: box [-1, 1]^4, x0 + x1 <= 1, u = (2, 2, 0, 0).
Problem worked_example() { return make_problem({2, 2, 0, 0}, kMinus1, kPlus1, 1, {Vec4{1, 1, 0, 0}}, {1}); }

Problem with_nan_in_unused_row() {
    Problem p = make_problem({2, 2, 0, 0}, kMinus1, kPlus1, 3, {Vec4{1, 1, 0, 0}, Vec4{0, 0, 1, 0}, Vec4{0, 0, 0, 1}},
                             {1, 5, 5, kNaN});
    p.constraints.coefficients[3][2] = kNaN;
    return p;
}

// A command of 1e5 on axis 3 against a box and one row of unit scale.
Problem large_command() {
    return make_problem({-0x1.c2199cp+0f, -0x1.4845b4p+1f, -0x1.f1918ep+0f, 0x1.86ap+16f},
                        {0x1.410c0cp+1f, -0x1.4c9146p+1f, -0x1.560824p+0f, -0x1.0b5eeap+1f},
                        {0x1.8b48ecp+1f, -0x1.66b38p-5f, 0x1.e15d38p-2f, 0x1.b4b8e8p-1f}, 1,
                        {Vec4{0x1.4756ap-2f, -0x1.26bee4p+1f, -0x1.df8434p+0f, -0x1.3df392p+1f}}, {0x1.5b36b8p+1f});
}

// Commands of -3e38 on two axes that are unbounded below.
Problem infinite_answer() {
    return make_problem({2.941688f, 1.546137f, -3e38f, -3e38f}, {-1e30f, -1e30f, -kInf, -kInf}, {kInf, 1, kInf, 1e30f},
                        1, {Vec4{0.5f, 1, 0.5f, -1}}, {-0.28121898f});
}

INSTANTIATE_TEST_SUITE_P(
    Table, SolverCases,
    ::testing::Values(
        SolverCase{"worked_example", worked_example(), {0.5f, 0.5f, 0, 0}, 2, kOptimal, 0},
        SolverCase{"nan_in_row_beyond_count", with_nan_in_unused_row(), {0.5f, 0.5f, 0, 0}, 2, kOptimal, 0},
        SolverCase{"count_five", make_problem({2, -3, 0.5f, 0}, kMinus1, kPlus1, 5), {1, -1, 0.5f, 0}, 0, kInvalid, 0},
        SolverCase{
            "inverted_bounds", make_problem({2, 2, 0, 0}, kMinus1, {1, 1, -2, 1}, 0), {1, 1, -2, 0}, 0, kInvalid, 0},
        SolverCase{
            "equal_bounds", make_problem({2, 2, 0, 0}, kMinus1, {1, 1, -1, 1}, 0), {1, 1, -1, 0}, 0, kOptimal, 0},
        SolverCase{"nan_command", make_problem({2, kNaN, -3, 0}, kMinus1, kPlus1, 0), {1, kNaN, -1, 0}, 0, kInvalid, 0},
        SolverCase{"nan_lower_bound",
                   make_problem({2, -2, 0, 0}, {-1, kNaN, -1, -1}, kPlus1, 0),
                   {1, -2, 0, 0},
                   0,
                   kInvalid,
                   0},
        SolverCase{
            "nan_upper_bound", make_problem({2, 2, 3, 0}, kMinus1, {1, 1, kNaN, 1}, 0), {1, 1, 3, 0}, 0, kInvalid, 0},
        SolverCase{"nan_coefficient",
                   make_problem({2, 2, 0, 0}, kMinus1, kPlus1, 1, {Vec4{1, 1, kNaN, 0}}, {1}),
                   {1, 1, 0, 0},
                   0,
                   kInvalid,
                   0},
        SolverCase{"nan_limit",
                   make_problem({2, 2, 0, 0}, kMinus1, kPlus1, 1, {Vec4{1, 1, 0, 0}}, {kNaN}),
                   {1, 1, 0, 0},
                   0,
                   kInvalid,
                   0},
        SolverCase{
            "no_rows", make_problem({2, -2, 0.25f, -0.5f}, kMinus1, kPlus1, 0), {1, -1, 0.25f, -0.5f}, 0, kOptimal, 0},
        SolverCase{"clamp_already_feasible",
                   make_problem({2, 2, 0, 0}, kMinus1, kPlus1, 1, {Vec4{1, 1, 0, 0}}, {2 - 0.5e-5f}),
                   {1, 1, 0, 0},
                   0,
                   kOptimal,
                   0},
        SolverCase{"infinite_command_clamped",
                   make_problem({kInf, -kInf, 0, 0}, kMinus1, kPlus1, 0),
                   {1, -1, 0, 0},
                   0,
                   kOptimal,
                   0},
        SolverCase{"row_outside_box",
                   make_problem({0.5f, 3, 0, 0}, kZero, kPlus1, 1, {e0}, {-1}),
                   {0.5f, 1, 0, 0},
                   0,
                   kInfeasible,
                   0},
        SolverCase{"zero_row_negative_limit",
                   make_problem({0.5f, 3, 0, 0}, kZero, kPlus1, 1, {kZero}, {-1}),
                   {0.5f, 1, 0, 0},
                   0,
                   kInfeasible,
                   0},
        SolverCase{"conflicting_rows",
                   make_problem({0, 0, 0, 0}, kMinus1, kPlus1, 2, {e0, ne0}, {-0.5f, -0.5f}),
                   {0, 0, 0, 0},
                   0,
                   kInfeasible,
                   0},
        SolverCase{"five_entries_singular",
                   make_problem({5, 5, 5, 5}, kZero, kPlus1, 1, {Vec4{1, 1, 1, 1}}, {0}),
                   {1, 1, 1, 1},
                   0,
                   kNumerical,
                   0},
        // u3 = 1e5: x_eq = u - N^T lambda keeps the working set's constraints only to
        // the rounding of 1e5 (the row is missed by 0.011, 1.1e-7 of the command); the
        // answer is finite, so it is Optimal with the bits the steps give.
        SolverCase{"large_command_keeps_active_set_bits",
                   large_command(),
                   {0x1.410c0ap+1f, -0x1.1fcf9ep+0f, -0x1.8b404cp-1f, 0x1.b3877p-1f},
                   4,
                   kOptimal,
                   0},
        // The steps end Optimal in iteration 3 with x_eq = (2^102, 0, -inf, -1.8e38):
        // an infinite lane is no answer, so the call ends NumericalFailure with the clamp.
        SolverCase{"infinite_answer_is_numerical_failure",
                   infinite_answer(),
                   {2.941688f, 1, -3e38f, -3e38f},
                   0,
                   kNumerical,
                   0},
        SolverCase{"row_of_1e30_overflows",
                   make_problem({0.5f, 0, 0, 0}, kMinus1, kPlus1, 1, {Vec4{1e30f, 0, 0, 0}}),
                   {0.5f, 0, 0, 0},
                   0,
                   kNumerical,
                   0},
        SolverCase{"second_row_of_3e19_overflows",
                   make_problem({0.5f, 2, 0, 0}, kMinus1, kPlus1, 2, {e1, Vec4{3e19f, 0, 0, 0}}, {0.5f, 0}),
                   {0.5f, 1, 0, 0},
                   0,
                   kNumerical,
                   0},
        // x_eq = (10, 5, 0, 0) meets row 0; row 1's products there overflow to +inf and
        // -inf, so its value is NaN and the answer cannot be said to meet it (it misses by 5e38).
        SolverCase{"row_value_nan_at_answer",
                   make_problem({20, 5, 0, 0}, Vec4{-100, -100, -100, -100}, Vec4{100, 100, 100, 100}, 2,
                                {e1, Vec4{1e38f, -1e38f, 0, 0}}, {10, 1e38f}),
                   {20, 5, 0, 0},
                   0,
                   kNumerical,
                   0},
        SolverCase{"bounds_dropped_then_row",
                   make_problem({5, 1, 0, 0}, kZero, kPlus1, 1, {Vec4{1, 1, 0, 0}}, {1.9f}),
                   {1, 0.9f, 0, 0},
                   5,
                   kOptimal,
                   2e-7f},
        SolverCase{"four_bounds_dropped",
                   make_problem({5, 5, 0.5f, 0.5f}, kZero, kPlus1, 1, {Vec4{1, 1, 0, 0}}, {1}),
                   {0.5f, 0.5f, 0.5f, 0.5f},
                   6,
                   kOptimal,
                   0},
        // Iteration 2 steps along x1 from (1, 0.5, -1, 0), where the row is exactly
        // tight; a touched row never blocks, so x overshoots it to x_eq = (1, 1, -1, 0)
        // and every later iteration finds the same x_eq and no blocking step.
        SolverCase{"touched_row_never_blocks",
                   make_problem({2, 1, 1, -2}, {-3, -1, -2, 0}, {1, 1, -1, 2}, 1, {Vec4{0, 2, -1, -2}}, {2}),
                   {1, 1, -1, 0},
                   kMaxIterations,
                   kOutOfIterations,
                   0}),
    [](const ::testing::TestParamInfo<SolverCase>& info) { return std::string(info.param.name); });

TEST(Multivar4d, NullPointersTouchNothing) {
    Problem p = worked_example();
    const Problem before = p;
    Solution4 out;
    std::memset(&out, 0x5A, sizeof out);
    Solution4 untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    const float* u = p.u.data();
    EXPECT_EQ(kestrel_solve_multivar_4d(nullptr, &p.bounds, &p.constraints, &out), -1);
    EXPECT_EQ(kestrel_solve_multivar_4d(u, nullptr, &p.constraints, &out), -1);
    EXPECT_EQ(kestrel_solve_multivar_4d(u, &p.bounds, nullptr, &out), -1);
    EXPECT_EQ(kestrel_solve_multivar_4d(u, &p.bounds, &p.constraints, nullptr), -1);
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
    EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
}

}  // namespace
