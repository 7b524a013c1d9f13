#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "kestrel.h"
#include "solve/scalar_active_set.hpp"

extern "C" int32_t kestrel_test_scalar_from_c(float u, float lo, float hi, float a, float b, ScalarSolution* out);
extern "C" KestrelError kestrel_test_governor_from_c(float lo, float hi, float u, float* single, float* batch);

namespace {

using kestrel::scalar::kIterations;
// The tests use the kernel's constant by name; this is the one place that
// pins its value.
static_assert(kIterations == 1);

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct ScalarCase {
    const char* name;
    float a, b, u, lo, hi;
    float x;
    SolveStatus status;
};
void PrintTo(const ScalarCase& c, std::ostream* os) { *os << c.name; }

// Same value, or both NaN; zeros must match in sign too.
bool same_float(float expected, float actual) {
    if (std::isnan(expected)) return std::isnan(actual);
    return std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual);
}

class ScalarWorkedCases : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(ScalarWorkedCases, MatchesTable) {
    const ScalarCase& c = GetParam();
    ScalarConstraints constraints{{c.a, 7.0f, kNaN, -3.0f}, {c.b, kNaN, 9.0f, kInf}};
    ScalarSolution out;
    std::memset(&out, 0xAB, sizeof out);
    ASSERT_EQ(kestrel_solve_active_set(c.u, ScalarBounds{c.lo, c.hi}, &constraints, &out), 0);
    EXPECT_TRUE(same_float(c.x, out.x)) << "x = " << out.x;
    EXPECT_EQ(out.iterations, kIterations);
    EXPECT_EQ(out.status, c.status);

    // The padding bytes keep what they held before the call.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
    for (int i : {4, 5, 6, 7, 20, 21, 22, 23}) EXPECT_EQ(bytes[i], 0xAB) << "padding byte " << i;

    // Entries 1..3 of the constraint record are never read.
    ScalarConstraints only_first{{c.a, 0, 0, 0}, {c.b, 0, 0, 0}};
    const ScalarSolution direct = kestrel::solve_active_set(only_first, c.u, ScalarBounds{c.lo, c.hi});
    EXPECT_TRUE(same_float(out.x, direct.x));
    EXPECT_EQ(out.iterations, direct.iterations);
    EXPECT_EQ(out.status, direct.status);

    // The same call made from C code.
    ScalarSolution from_c{};
    ASSERT_EQ(kestrel_test_scalar_from_c(c.u, c.lo, c.hi, c.a, c.b, &from_c), 0);
    EXPECT_TRUE(same_float(c.x, from_c.x));
    EXPECT_EQ(from_c.status, c.status);
}

constexpr SolveStatus kOpt = KESTREL_STATUS_OPTIMAL;
constexpr SolveStatus kInf3 = KESTREL_STATUS_INFEASIBLE;

// The answer of upper_row_inactive is 0.2 in single precision,
// 0.20000000298023224; the table's 0.2f is that value.
static_assert(static_cast<double>(0.2f) == 0.20000000298023224);

INSTANTIATE_TEST_SUITE_P(Table, ScalarWorkedCases,
                         ::testing::Values(ScalarCase{"zero_coeff_inside", 0, 0, 0.5f, -1, 1, 0.5f, kOpt},
                                           ScalarCase{"zero_coeff_above", 0, 0, 2.0f, -1, 1, 1.0f, kOpt},
                                           ScalarCase{"zero_coeff_below", 0, 0, -3.0f, -1, 1, -1.0f, kOpt},
                                           ScalarCase{"zero_coeff_negative_limit", 0, -1, 0.5f, -1, 1, 0.5f, kInf3},
                                           ScalarCase{"negative_zero_coeff", -0.0f, 5, 0.5f, -1, 1, 0.5f, kOpt},
                                           ScalarCase{"upper_row_active", 1, 0.5f, 0.8f, -1, 1, 0.5f, kOpt},
                                           ScalarCase{"upper_row_inactive", 1, 0.5f, 0.2f, -1, 1, 0.2f, kOpt},
                                           ScalarCase{"upper_row_lower_bound", 1, 0.5f, -2.0f, -1, 1, -1.0f, kOpt},
                                           ScalarCase{"scaled_row", 2, 4, 3.0f, -1, 5, 2.0f, kOpt},
                                           ScalarCase{"upper_row_infeasible", 1, -2, 0.0f, -1, 1, -1.0f, kInf3},
                                           ScalarCase{"lower_row_active", -1, 0.5f, -0.8f, -1, 1, -0.5f, kOpt},
                                           ScalarCase{"lower_row_scaled", -2, -1, 0.0f, -1, 1, 0.5f, kOpt},
                                           ScalarCase{"lower_row_infeasible", -1, -2, 0.0f, -1, 1, 1.0f, kInf3},
                                           ScalarCase{"nan_command", 1, 1, kNaN, -1, 1, kNaN, kOpt},
                                           ScalarCase{"infinite_command", 1, 1, kInf, -1, 1, 1.0f, kOpt},
                                           ScalarCase{"nan_coefficient", kNaN, 1, 2.0f, -1, 1, 1.0f, kOpt},
                                           ScalarCase{"nan_limit", 1, kNaN, 2.0f, -1, 1, 1.0f, kOpt},
                                           ScalarCase{"nan_lower_bound", 1, 0.5f, 0.8f, kNaN, 1, 0.5f, kOpt},
                                           ScalarCase{"nan_upper_bound", -1, 0.5f, 2.0f, -1, kNaN, 2.0f, kOpt},
                                           ScalarCase{"inverted_bounds", 0, 0, 0.5f, 1, -1, 1.0f, kOpt},
                                           ScalarCase{"inverted_bounds_infeasible", 1, 0.5f, 0.8f, 1, -1, 1.0f, kInf3},
                                           // Beyond the table: an infeasible lower row whose tight point lies below lo
                                           // (needs inverted bounds) returns lo.
                                           ScalarCase{"lower_row_infeasible_below_lo", -1, 3, 0.0f, 2, -5, 2.0f, kInf3},
                                           // An infinite coefficient with a finite limit makes the tight point +-0.
                                           ScalarCase{"infinite_coefficient", kInf, 1, 0.5f, -1, 1, 0.0f, kOpt},
                                           ScalarCase{"infinite_limit", 1, kInf, 5.0f, -1, 1, 1.0f, kOpt}),
                         [](const ::testing::TestParamInfo<ScalarCase>& info) { return std::string(info.param.name); });

TEST(ScalarKernel, NullPointersTouchNothing) {
    ScalarConstraints constraints{{1, 0, 0, 0}, {0.5f, 0, 0, 0}};
    const ScalarConstraints before = constraints;
    ScalarSolution out;
    std::memset(&out, 0x5A, sizeof out);
    ScalarSolution untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);

    EXPECT_EQ(kestrel_solve_active_set(0.3f, ScalarBounds{-1, 1}, nullptr, &out), -1);
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
    EXPECT_EQ(kestrel_solve_active_set(0.3f, ScalarBounds{-1, 1}, &constraints, nullptr), -1);
    EXPECT_EQ(std::memcmp(&constraints, &before, sizeof constraints), 0);
}

// The Governor's C face, called from C: the envelope check, and each command
// projected alone and in a batch in place.
TEST(Governor, FromC) {
    const struct {
        float lo, hi, u;
        KestrelError error;
        float x;
    } table[] = {
        {-1, 1, 2.5f, KESTREL_OK, 1},
        {-1, 1, -3, KESTREL_OK, -1},
        {-1, 1, -0.0f, KESTREL_OK, -0.0f},
        {-1, 1, kNaN, KESTREL_OK, kNaN},
        {-kInf, 0, -1e30f, KESTREL_OK, -1e30f},
        {-1, 1, kInf, KESTREL_OK, 1},
        {1, 1, 0, KESTREL_ERROR_BAD_ENVELOPE, 7},
        {2, 1, 0, KESTREL_ERROR_BAD_ENVELOPE, 7},
        {kNaN, 1, 0, KESTREL_ERROR_BAD_ENVELOPE, 7},
        {0, kNaN, 0, KESTREL_ERROR_BAD_ENVELOPE, 7},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "[" << row.lo << ", " << row.hi << "] u=" << row.u);
        float single = 7, batch = 7;
        EXPECT_EQ(kestrel_test_governor_from_c(row.lo, row.hi, row.u, &single, &batch), row.error);
        EXPECT_TRUE(same_float(row.x, single)) << single;
        if (row.error == KESTREL_OK) {
            EXPECT_TRUE(same_float(row.x, batch)) << batch;
        }
    }
}

// Storage that no init made, or that is misaligned, is refused and nothing is written.
TEST(Governor, RefusesStorageItDidNotMake) {
    alignas(8) unsigned char bytes[sizeof(KestrelGovernor) + 4] = {};
    const auto* never_made = reinterpret_cast<const KestrelGovernor*>(bytes);
    auto* misaligned = reinterpret_cast<KestrelGovernor*>(bytes + 1);
    float out = 7, in = 0;
    EXPECT_EQ(kestrel_governor_project(never_made, 0, &out), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_governor_project_batch(never_made, &in, &out, 1), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_governor_init(misaligned, -1, 1), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_governor_init(nullptr, -1, 1), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(out, 7);
    KestrelGovernor governor;
    ASSERT_EQ(kestrel_governor_init(&governor, -1, 1), KESTREL_OK);
    EXPECT_EQ(kestrel_governor_project(&governor, 0, nullptr), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_governor_project_batch(&governor, nullptr, &out, 1), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_governor_project_batch(&governor, nullptr, nullptr, 0), KESTREL_OK);
}

}  // namespace
