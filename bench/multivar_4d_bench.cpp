// Cost of one four-axis solve, by kind of problem, beside a plain box clamp of
// the same commands.
//
// Each kind is a fixed, seeded set of 256 problems drawn by rejection until
// the answer has the wanted shape; one benchmark iteration is one solve, so
// the reported time is nanoseconds per solve.
//
//   none_active        the box clamp already meets every row (quick acceptance)
//   one_row_active     the projection lies on one row, inside the box
//   bounds_and_row     the projection lies on two or more bounds and a row
//   infeasible         rows that contradict each other or the box
//   mix                the four kinds interleaved
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "kestrel.h"

namespace {

struct Problem {
    float u[4];
    Bounds4 bounds;
    LinearConstraints4 constraints;
};

// Problems per kind: enough that the branch predictor cannot learn one path,
// few enough (256 x 136 bytes) to stay in cache, so a solve is what is timed.
constexpr std::size_t kSetSize = 256;
// A constraint this close to the answer counts as active: ten times the
// solver's kTol, above the rounding of answers of unit scale.
constexpr float kActive = 1e-4f;

Solution4 solve(const Problem& p) {
    Solution4 s{};
    kestrel_solve_multivar_4d(p.u, &p.bounds, &p.constraints, &s);
    return s;
}

struct Activity {
    int bounds = 0;
    int rows = 0;
};

Activity activity(const Problem& p, const Solution4& s) {
    Activity a;
    for (int k = 0; k < 4; ++k) {
        if (std::fabs(s.x[k] - p.bounds.lower[k]) <= kActive || std::fabs(s.x[k] - p.bounds.upper[k]) <= kActive) {
            ++a.bounds;
        }
    }
    for (std::size_t i = 0; i < p.constraints.count; ++i) {
        float ax = 0;
        for (int k = 0; k < 4; ++k) ax += p.constraints.coefficients[i][k] * s.x[k];
        if (std::fabs(ax - p.constraints.limits[i]) <= kActive) ++a.rows;
    }
    return a;
}

enum class Kind { NoneActive, OneRowActive, BoundsAndRow, Infeasible };

Problem draw(std::mt19937& rng, Kind kind) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    Problem p{};
    for (int k = 0; k < 4; ++k) {
        p.bounds.lower[k] = -1.0f - 0.5f * std::fabs(unit(rng));
        p.bounds.upper[k] = 1.0f + 0.5f * std::fabs(unit(rng));
        // Inside the box, or beyond it by up to a unit when bounds should bind.
        p.u[k] = kind == Kind::BoundsAndRow ? 2.5f * unit(rng) : 0.9f * unit(rng);
    }
    p.constraints.count = 1 + rng() % 4;
    for (std::size_t i = 0; i < p.constraints.count; ++i) {
        for (int k = 0; k < 4; ++k) p.constraints.coefficients[i][k] = unit(rng);
        p.constraints.limits[i] = 0.2f + 0.8f * std::fabs(unit(rng));
    }
    if (kind == Kind::Infeasible) {
        // Row 0 and its mirror demand a . x <= -b and -a . x <= -b with b > 0.
        if (p.constraints.count < 2) p.constraints.count = 2;
        for (int k = 0; k < 4; ++k) p.constraints.coefficients[1][k] = -p.constraints.coefficients[0][k];
        p.constraints.limits[0] = -0.1f - 0.2f * std::fabs(unit(rng));
        p.constraints.limits[1] = p.constraints.limits[0];
    }
    return p;
}

bool has_shape(const Problem& p, Kind kind) {
    const Solution4 s = solve(p);
    const Activity a = activity(p, s);
    switch (kind) {
        case Kind::NoneActive:
            return s.status == KESTREL_STATUS_OPTIMAL && s.iterations == 0;
        case Kind::OneRowActive:
            return s.status == KESTREL_STATUS_OPTIMAL && a.rows == 1 && a.bounds == 0;
        case Kind::BoundsAndRow:
            return s.status == KESTREL_STATUS_OPTIMAL && a.rows >= 1 && a.bounds >= 2;
        case Kind::Infeasible:
            return s.status == KESTREL_STATUS_INFEASIBLE;
    }
    return false;
}

std::vector<Problem> make_set(Kind kind, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<Problem> set;
    for (int tries = 0; set.size() < kSetSize; ++tries) {
        if (tries > 1000000) throw std::runtime_error("benchmark set: shape too rare");
        const Problem p = draw(rng, kind);
        if (has_shape(p, kind)) set.push_back(p);
    }
    return set;
}

const std::vector<Problem>& problem_set(int which) {
    static const std::array<std::vector<Problem>, 5> sets = [] {
        std::array<std::vector<Problem>, 5> s;
        s[0] = make_set(Kind::NoneActive, 1);
        s[1] = make_set(Kind::OneRowActive, 2);
        s[2] = make_set(Kind::BoundsAndRow, 3);
        s[3] = make_set(Kind::Infeasible, 4);
        for (std::size_t i = 0; i < kSetSize; ++i) s[4].push_back(s[i % 4][i]);  // interleaved mix
        return s;
    }();
    return sets[static_cast<std::size_t>(which)];
}

void BM_Solve(benchmark::State& state, int which) {
    const std::vector<Problem>& set = problem_set(which);
    double iterations = 0;
    std::size_t i = 0;
    for (auto _ : state) {
        Solution4 s;
        kestrel_solve_multivar_4d(set[i].u, &set[i].bounds, &set[i].constraints, &s);
        benchmark::DoNotOptimize(s);
        iterations += static_cast<double>(s.iterations);
        i = (i + 1) % kSetSize;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["active_set_iterations"] = benchmark::Counter(iterations, benchmark::Counter::kAvgIterations);
}

// The baseline: the box clamp of the same commands, x[k] = min(max(u[k], lower[k]), upper[k]).
void BM_BoxClamp(benchmark::State& state, int which) {
    const std::vector<Problem>& set = problem_set(which);
    std::size_t i = 0;
    for (auto _ : state) {
        const Problem& p = set[i];
        float x[4];
        for (int k = 0; k < 4; ++k) {
            const float v = p.u[k];
            x[k] = v < p.bounds.lower[k] ? p.bounds.lower[k] : (p.bounds.upper[k] < v ? p.bounds.upper[k] : v);
        }
        benchmark::DoNotOptimize(x);
        i = (i + 1) % kSetSize;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(BM_Solve, none_active, 0);
BENCHMARK_CAPTURE(BM_Solve, one_row_active, 1);
BENCHMARK_CAPTURE(BM_Solve, bounds_and_row, 2);
BENCHMARK_CAPTURE(BM_Solve, infeasible, 3);
BENCHMARK_CAPTURE(BM_Solve, mix, 4);
BENCHMARK_CAPTURE(BM_BoxClamp, mix, 4);

}  // namespace

BENCHMARK_MAIN();
