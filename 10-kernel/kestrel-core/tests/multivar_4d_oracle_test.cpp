// Self-consistency of the four-axis solver on seeded random problems:
//   - quality against an exact projection (double precision, every active set
//     of at most four constraints checked against the KKT conditions);
//   - contract properties on arbitrary inputs, NaN and infinities included.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "kestrel.h"
#include "kestrel/multivar_4d.hpp"

namespace {

using kestrel::Vec4;
using kestrel::multivar::kTol;

struct Problem {
    Vec4 u;
    Bounds4 bounds;
    LinearConstraints4 constraints;
};

Solution4 solve(const Problem& p) {
    Solution4 out{};
    EXPECT_EQ(kestrel_solve_multivar_4d(p.u.data(), &p.bounds, &p.constraints, &out), 0);
    return out;
}

// ---- Exact projection ------------------------------------------------------

// Constraint c of a problem as n . x <= r: 0..7 the bounds (lower k = 2k,
// upper k = 2k + 1), 8.. the rows.
struct Halfspace {
    std::array<double, 4> n;
    double r;
};

std::size_t halfspaces(const Problem& p, std::array<Halfspace, 12>& h) {
    for (int k = 0; k < 4; ++k) {
        h[2 * k] = {{0, 0, 0, 0}, -double(p.bounds.lower[k])};
        h[2 * k].n[k] = -1;
        h[2 * k + 1] = {{0, 0, 0, 0}, double(p.bounds.upper[k])};
        h[2 * k + 1].n[k] = 1;
    }
    for (std::size_t i = 0; i < p.constraints.count; ++i) {
        for (int k = 0; k < 4; ++k) h[8 + i].n[k] = p.constraints.coefficients[i][k];
        h[8 + i].r = p.constraints.limits[i];
    }
    return 8 + p.constraints.count;
}

double dot(const std::array<double, 4>& a, const std::array<double, 4>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
}

// The Euclidean projection of u onto the feasible set: the x = u - N^T lambda
// of the first active set S (|S| <= 4, rows independent) with lambda >= 0 and
// x feasible. The projection is unique and, by Caratheodory, has such an S.
bool exact_projection(const Problem& p, std::array<double, 4>& best) {
    std::array<Halfspace, 12> h{};
    const std::size_t total = halfspaces(p, h);
    const std::array<double, 4> u{p.u[0], p.u[1], p.u[2], p.u[3]};
    for (unsigned set = 0; set < (1u << total); ++set) {
        if (std::popcount(set) > 4) continue;
        if ((set & (set >> 1) & 0x55u) != 0) continue;  // both bounds of one axis
        int idx[4];
        int s = 0;
        for (unsigned c = 0; c < total; ++c) {
            if (set & (1u << c)) idx[s++] = int(c);
        }
        // (N N^T) lambda = N u - r, Gaussian elimination with partial pivoting.
        double g[4][5];
        for (int i = 0; i < s; ++i) {
            for (int j = 0; j < s; ++j) g[i][j] = dot(h[idx[i]].n, h[idx[j]].n);
            g[i][s] = dot(h[idx[i]].n, u) - h[idx[i]].r;
        }
        bool singular = false;
        for (int k = 0; k < s && !singular; ++k) {
            int piv = k;
            for (int l = k + 1; l < s; ++l) {
                if (std::fabs(g[l][k]) > std::fabs(g[piv][k])) piv = l;
            }
            if (std::fabs(g[piv][k]) < 1e-9) singular = true;
            for (int c = 0; c <= s; ++c) std::swap(g[k][c], g[piv][c]);
            for (int l = k + 1; l < s && !singular; ++l) {
                const double f = g[l][k] / g[k][k];
                for (int c = k; c <= s; ++c) g[l][c] -= f * g[k][c];
            }
        }
        if (singular) continue;
        double lambda[4];
        for (int w = s - 1; w >= 0; --w) {
            double acc = g[w][s];
            for (int c = w + 1; c < s; ++c) acc -= g[w][c] * lambda[c];
            lambda[w] = acc / g[w][w];
        }
        std::array<double, 4> x = u;
        bool kkt = true;
        for (int j = 0; j < s; ++j) {
            if (lambda[j] < -1e-9) kkt = false;
            for (int k = 0; k < 4; ++k) x[k] -= lambda[j] * h[idx[j]].n[k];
        }
        for (std::size_t c = 0; c < total && kkt; ++c) {
            if (dot(h[c].n, x) > h[c].r + 1e-9) kkt = false;
        }
        if (kkt) {
            best = x;
            return true;
        }
    }
    return false;
}

// A box around the origin, up to four random rows that a random point of the
// box satisfies with some slack, and a command anywhere near the box.
Problem random_feasible_problem(std::mt19937& rng) {
    std::uniform_real_distribution<float> lo(-2.0f, -0.2f), hi(0.2f, 2.0f), coef(-1.0f, 1.0f), unit(0.0f, 1.0f),
        cmd(-4.0f, 4.0f);
    Problem p{};
    Vec4 inside;
    for (int k = 0; k < 4; ++k) {
        p.bounds.lower[k] = lo(rng);
        p.bounds.upper[k] = hi(rng);
        inside[k] = 0.5f * (p.bounds.lower[k] + unit(rng) * (p.bounds.upper[k] - p.bounds.lower[k]));
        p.u[k] = cmd(rng);
    }
    p.constraints.count = 1 + rng() % 4;
    for (std::size_t i = 0; i < p.constraints.count; ++i) {
        float ax = 0;
        for (int k = 0; k < 4; ++k) {
            p.constraints.coefficients[i][k] = coef(rng);
            ax += p.constraints.coefficients[i][k] * inside[k];
        }
        p.constraints.limits[i] = ax + 0.5f * unit(rng);
    }
    return p;
}

TEST(Multivar4dOracle, OptimalAnswersAreTheProjection) {
    constexpr int kProblems = 10000;
    // Float rounding of x_eq = u - N^T lambda on problems of unit scale stays
    // near 1e-6; a wrong active set would be off by far more.
    constexpr double kDistanceBound = 1e-4;
    constexpr double kFeasibilityBound = 2 * double(kTol);

    std::mt19937 rng(20240605);
    int by_status[5] = {};
    double worst_distance = 0;
    double worst_violation = 0;
    for (int n = 0; n < kProblems; ++n) {
        const Problem p = random_feasible_problem(rng);
        std::array<double, 4> exact;
        ASSERT_TRUE(exact_projection(p, exact)) << "problem " << n;
        const Solution4 s = solve(p);
        ASSERT_LE(s.status, 4u);
        ++by_status[s.status];
        if (s.status != KESTREL_STATUS_OPTIMAL) continue;

        double dist2 = 0;
        for (int k = 0; k < 4; ++k) dist2 += (s.x[k] - exact[k]) * (s.x[k] - exact[k]);
        worst_distance = std::max(worst_distance, std::sqrt(dist2));

        std::array<Halfspace, 12> h{};
        const std::size_t total = halfspaces(p, h);
        const std::array<double, 4> x{s.x[0], s.x[1], s.x[2], s.x[3]};
        for (std::size_t c = 0; c < total; ++c) worst_violation = std::max(worst_violation, dot(h[c].n, x) - h[c].r);
        ASSERT_LE(std::sqrt(dist2), kDistanceBound) << "problem " << n;
    }
    const double optimal_share = double(by_status[KESTREL_STATUS_OPTIMAL]) / kProblems;
    std::printf("[ oracle   ] %d feasible problems: optimal %.4f, max-iterations %d, infeasible %d, "
                "numerical failure %d; worst distance %.3g, worst violation %.3g\n",
                kProblems, optimal_share, by_status[2], by_status[3], by_status[4], worst_distance, worst_violation);
    RecordProperty("optimal_share", std::to_string(optimal_share));
    RecordProperty("worst_distance", std::to_string(worst_distance));
    EXPECT_LE(worst_violation, kFeasibilityBound);
    EXPECT_GE(optimal_share, 0.95);
}

// ---- Properties on arbitrary inputs ------------------------------------------

// Ordinary values most of the time, and the awkward ones often enough to meet
// every branch: signed zeros, infinities, NaN, huge and tiny magnitudes.
float awkward_value(std::mt19937& rng) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    switch (rng() % 16) {
        case 0: return 0.0f;
        case 1: return -0.0f;
        case 2: return kInf;
        case 3: return -kInf;
        case 4: return std::numeric_limits<float>::quiet_NaN();
        case 5: return (rng() % 2 ? 1.0f : -1.0f) * 1e30f;
        case 6: return (rng() % 2 ? 1.0f : -1.0f) * 1e-30f;
        case 7: return float(int(rng() % 7) - 3);
        default: return std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
    }
}

Problem random_problem(std::mt19937& rng) {
    // Values are awkward one time in four, so that most problems pass validation.
    const auto value = [&rng] {
        return rng() % 4 == 0 ? awkward_value(rng) : std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
    };
    Problem p{};
    for (int k = 0; k < 4; ++k) {
        p.u[k] = value();
        const float a = value(), b = value();
        p.bounds.lower[k] = rng() % 16 == 0 ? b : std::min(a, b);  // inverted now and then
        p.bounds.upper[k] = rng() % 16 == 0 ? a : std::max(a, b);
        for (int i = 0; i < 4; ++i) p.constraints.coefficients[i][k] = value();
    }
    for (int i = 0; i < 4; ++i) p.constraints.limits[i] = value();
    const unsigned r = rng() % 32;
    p.constraints.count = r < 30 ? r % 5 : (r == 30 ? 5 : std::numeric_limits<std::uint64_t>::max());
    return p;
}

Vec4 box_clamp(const Problem& p) {
    Vec4 q;
    for (int k = 0; k < 4; ++k) {
        const float v = p.u[k];
        q[k] = v < p.bounds.lower[k] ? p.bounds.lower[k] : (p.bounds.upper[k] < v ? p.bounds.upper[k] : v);
    }
    return q;
}

bool same_bits(const Vec4& a, const float (&b)[4]) { return std::memcmp(a.data(), b, sizeof b) == 0; }

TEST(Multivar4dProperties, ContractHoldsOnArbitraryInputs) {
    constexpr int kProblems = 200000;
    std::mt19937 rng(77);
    int by_status[5] = {};
    int checked_optimal = 0;
    for (int n = 0; n < kProblems; ++n) {
        SCOPED_TRACE(n);
        Problem p = random_problem(rng);
        const Problem before = p;
        Solution4 out;
        std::memset(&out, 0xC3, sizeof out);
        ASSERT_EQ(kestrel_solve_multivar_4d(p.u.data(), &p.bounds, &p.constraints, &out), 0);
        ASSERT_EQ(std::memcmp(&p, &before, sizeof p), 0) << "input modified";
        const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
        for (int i = 28; i < 32; ++i) ASSERT_EQ(bytes[i], 0xC3) << "padding byte " << i;
        ASSERT_LE(out.status, 4u);
        ++by_status[out.status];

        switch (out.status) {
            case KESTREL_STATUS_INVALID_INPUT:
            case KESTREL_STATUS_INFEASIBLE:
            case KESTREL_STATUS_NUMERICAL_FAILURE:
                ASSERT_EQ(out.iterations, 0u);
                ASSERT_TRUE(same_bits(box_clamp(p), out.x));
                break;
            case KESTREL_STATUS_MAX_ITERATIONS:
                ASSERT_EQ(out.iterations, 20u);
                break;
            case KESTREL_STATUS_OPTIMAL: {
                ASSERT_LE(out.iterations, 20u);
                // Huge values included: an x_eq that loses a working-set constraint
                // to rounding is reported as a numerical failure, never as Optimal.
                ++checked_optimal;
                // Within kTol of the box and of every row (plus the rounding of the
                // row's own terms), judged with the solver's ordered comparisons, so
                // a NaN product (infinity times zero) is no violation.
                for (int k = 0; k < 4; ++k) {
                    ASSERT_FALSE(out.x[k] < p.bounds.lower[k] - kTol) << "axis " << k;
                    ASSERT_FALSE(out.x[k] > p.bounds.upper[k] + kTol) << "axis " << k;
                }
                for (std::size_t i = 0; i < p.constraints.count; ++i) {
                    double ax = 0, scale = std::fabs(double(p.constraints.limits[i]));
                    for (int k = 0; k < 4; ++k) {
                        ax += double(p.constraints.coefficients[i][k]) * out.x[k];
                        scale += std::fabs(double(p.constraints.coefficients[i][k]) * out.x[k]);
                    }
                    ASSERT_FALSE(ax > p.constraints.limits[i] + kTol + 1e-6 * scale) << "row " << i;
                }
                break;
            }
        }

        // Rows at index count or above are never read: garbage there changes nothing.
        if (p.constraints.count < 4) {
            Problem garbage = p;
            for (std::size_t i = p.constraints.count; i < 4; ++i) {
                for (int k = 0; k < 4; ++k) garbage.constraints.coefficients[i][k] = awkward_value(rng);
                garbage.constraints.limits[i] = awkward_value(rng);
            }
            Solution4 again;
            std::memset(&again, 0xC3, sizeof again);
            ASSERT_EQ(kestrel_solve_multivar_4d(garbage.u.data(), &garbage.bounds, &garbage.constraints, &again), 0);
            ASSERT_EQ(std::memcmp(&out, &again, 28), 0) << "result depends on a row beyond count";
        }
    }
    std::printf("[ property ] %d arbitrary problems: invalid %d, optimal %d, max-iterations %d, infeasible %d, "
                "numerical failure %d; feasibility checked on %d optimal answers\n",
                kProblems, by_status[0], by_status[1], by_status[2], by_status[3], by_status[4], checked_optimal);
    // The generator must reach every status, or the checks above are idle.
    for (int s = 0; s < 5; ++s) EXPECT_GT(by_status[s], 0) << "status " << s;
}

}  // namespace
