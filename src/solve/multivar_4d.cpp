// The four-axis active-set solver, its normal-equation solver and the exported
// C entry point.
//
// Outline of one solve:
//   1. reject malformed input (status InvalidInput, x = clamp(u));
//   2. accept clamp(u) at once when it already satisfies every row;
//   3. find a feasible start by cyclic projections from clamp(0);
//   4. start the working set with every constraint that start touches;
//   5. iterate: x_eq = u - N^T lambda with (N N^T) lambda = N u - r; drop the
//      most negative multiplier, or accept x_eq (NumericalFailure instead if a
//      lane is infinite or NaN, or a row's value at it is NaN), or step
//      towards it as far as the first
//      blocking constraint and add that constraint.
//
// Every dot product sums ((p0 + p1) + p2) + p3 in axis order and every
// quantity is a float, so the result is reproducible bit for bit; the lanes
// of a 4-vector are updated independently, which the compiler may vectorise
// without changing any rounding.
#include "solve/multivar_4d.hpp"

#include <cmath>
#include <cstring>

namespace kestrel {

namespace {

using namespace multivar;

// a . b = ((a0 b0 + a1 b1) + a2 b2) + a3 b3
inline float dot(const Vec4& a, const Vec4& b) noexcept {
    const float p0 = a[0] * b[0];
    const float p1 = a[1] * b[1];
    const float p2 = a[2] * b[2];
    const float p3 = a[3] * b[3];
    return ((p0 + p1) + p2) + p3;
}

inline bool is_nan(float v) noexcept { return v != v; }

inline bool all_finite(const Vec4& v) noexcept {
    for (float lane : v) {
        if (!std::isfinite(lane)) return false;
    }
    return true;
}

inline bool same_bits(const Vec4& a, const Vec4& b) noexcept {
    return std::memcmp(a.data(), b.data(), sizeof(Vec4)) == 0;
}

// The inputs of one solve, copied once so that the caller's records are read
// exactly once and rows at index count or above are never touched.
struct Problem {
    Vec4 u;      // desired command
    Vec4 lower;  // box, per axis
    Vec4 upper;
    std::size_t count;                // rows in use, 0..4
    std::array<Vec4, kMaxRows> rows;  // rows[i] . x <= limits[i]
    std::array<float, kMaxRows> limits;
};

// The box clamp, lane by lane. Ordered comparisons are false with a NaN, so a
// NaN lane passes through and a NaN bound is not applied.
inline Vec4 clamp(const Problem& p, const Vec4& v) noexcept {
    Vec4 r;
    for (std::size_t k = 0; k < 4; ++k) {
        r[k] = v[k] < p.lower[k] ? p.lower[k] : (p.upper[k] < v[k] ? p.upper[k] : v[k]);
    }
    return r;
}

enum class EntryKind : std::uint8_t { LowerBound = 0, UpperBound = 1, Linear = 2 };

// One inequality n . x <= r held with equality:
//   LowerBound k:  n = -e_k,          r = -lower[k]
//   UpperBound k:  n = +e_k,          r = upper[k]
//   Linear i:      n = coefficients[i], r = limits[i]
struct WorkingSetEntry {
    EntryKind kind;
    std::uint8_t index;  // the axis for a bound, the row for Linear
};

inline void entry_row(const Problem& p, WorkingSetEntry e, Vec4& n, float& r) noexcept {
    switch (e.kind) {
        case EntryKind::LowerBound:
            n = Vec4{};
            n[e.index] = -1.0f;
            r = -p.lower[e.index];
            return;
        case EntryKind::UpperBound:
            n = Vec4{};
            n[e.index] = 1.0f;
            r = p.upper[e.index];
            return;
        case EntryKind::Linear:
            n = p.rows[e.index];
            r = p.limits[e.index];
            return;
    }
}

using Rows = std::array<Vec4, kMaxWorkingSet>;
using Column = std::array<float, kMaxWorkingSet>;
using Gram = std::array<Column, kMaxWorkingSet>;

// The ordered working set with the data of its normal equations. Its order is
// the row order of the normal equations and the order in which multipliers
// are examined; removal keeps the relative order of the rest, addition
// appends. An entry changes at most once per iteration, so the rows n_j, the
// residuals e_j = n_j . u - r_j (u is fixed for the whole solve) and the Gram
// matrix G[i][j] = n_i . n_j are kept up to date here rather than rebuilt for
// every solve; each value is the same float a rebuild would give.
class WorkingSet {
public:
    std::size_t size() const noexcept { return size_; }
    const Rows& rows() const noexcept { return rows_; }
    const Column& residuals() const noexcept { return residuals_; }
    const Gram& gram() const noexcept { return gram_; }

    bool contains(EntryKind kind, std::size_t index) const noexcept { return (members_ & bit(kind, index)) != 0; }

    // The caller checks size() < kMaxWorkingSet and that the entry is absent.
    void push_back(const Problem& p, WorkingSetEntry e) noexcept {
        const std::size_t m = size_;
        float r = 0.0f;
        entry_row(p, e, rows_[m], r);
        residuals_[m] = dot(rows_[m], p.u) - r;
        for (std::size_t j = 0; j < m; ++j) {
            gram_[m][j] = dot(rows_[m], rows_[j]);
            gram_[j][m] = dot(rows_[j], rows_[m]);
        }
        gram_[m][m] = dot(rows_[m], rows_[m]);
        entries_[m] = e;
        members_ |= bit(e.kind, e.index);
        size_ = m + 1;
    }

    void erase(std::size_t j) noexcept {
        members_ &= ~bit(entries_[j].kind, entries_[j].index);
        for (std::size_t l = j + 1; l < size_; ++l) {
            entries_[l - 1] = entries_[l];
            rows_[l - 1] = rows_[l];
            residuals_[l - 1] = residuals_[l];
        }
        // Drop row j and column j of G.
        for (std::size_t a = 0, ra = 0; a < size_; ++a) {
            if (a == j) continue;
            for (std::size_t b = 0, cb = 0; b < size_; ++b) {
                if (b != j) gram_[ra][cb++] = gram_[a][b];
            }
            ++ra;
        }
        --size_;
        rows_[size_] = Vec4{};  // rows and residuals beyond m stay zero
        residuals_[size_] = 0.0f;
    }

private:
    // An entry is never added twice, so membership is one bit per (kind, index).
    static std::uint32_t bit(EntryKind kind, std::size_t index) noexcept {
        return 1u << (static_cast<unsigned>(kind) * 4 + index);
    }

    std::array<WorkingSetEntry, kMaxWorkingSet> entries_{};
    std::size_t size_ = 0;       // m, 0..8
    std::uint32_t members_ = 0;  // bit 4*kind + index set iff the entry is among the first m
    Rows rows_{};                // n_j for j < m, zero beyond
    Column residuals_{};         // e_j for j < m, zero beyond
    Gram gram_{};                // G[i][j] for i, j < m
};

// Gaussian elimination with partial pivoting on the m x m block of g (changed
// in place), right-hand side b; see solve_normal_equations for the contract.
bool solve_gram(std::size_t m, Gram& g, Column b, Column& out) noexcept {
    // An infinite or NaN entry (a coefficient above about 1.8e19 squares to
    // infinity; an infinite one times a zero gives NaN) is refused up front:
    // elimination would divide by the infinite pivot, give that row a
    // multiplier of 0 and so answer as if the row were absent.
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            if (!std::isfinite(g[i][j])) return false;
        }
    }

    // Forward elimination; a tie in pivot magnitude keeps the upper row.
    for (std::size_t k = 0; k < m; ++k) {
        std::size_t p = k;
        float best = std::fabs(g[k][k]);
        for (std::size_t l = k + 1; l < m; ++l) {
            if (std::fabs(g[l][k]) > best) {
                p = l;
                best = std::fabs(g[l][k]);
            }
        }
        // A NaN best passes here; the quotient checks below catch it.
        if (best < kPivotMin) return false;
        if (p != k) {
            for (std::size_t c = k; c < m; ++c) {
                const float t = g[k][c];
                g[k][c] = g[p][c];
                g[p][c] = t;
            }
            const float t = b[k];
            b[k] = b[p];
            b[p] = t;
        }
        for (std::size_t l = k + 1; l < m; ++l) {
            const float f = g[l][k] / g[k][k];
            if (!std::isfinite(f)) return false;
            for (std::size_t c = k; c < m; ++c) g[l][c] = g[l][c] - g[k][c] * f;
            b[l] = b[l] - f * b[k];
        }
    }

    // Back substitution: out[w] = (b[w] - sum_{c > w} G[w][c] out[c]) / G[w][w],
    // subtracting in increasing c.
    for (std::size_t w = m; w-- > 0;) {
        float s = b[w];
        for (std::size_t c = w + 1; c < m; ++c) s = s - g[w][c] * out[c];
        out[w] = s / g[w][w];
        if (!std::isfinite(out[w])) return false;
    }
    return true;
}

Solution4 make_solution(const Vec4& x, std::uint64_t iterations, SolveStatus status) noexcept {
    Solution4 s{};
    for (std::size_t k = 0; k < 4; ++k) s.x[k] = x[k];
    s.iterations = iterations;
    s.status = status;
    return s;
}

// Malformed input: lower > upper, or a NaN in the command, the
// box or a row in use. Infinities are accepted.
bool is_valid(const Problem& p) noexcept {
    for (std::size_t k = 0; k < 4; ++k) {
        if (is_nan(p.lower[k]) || is_nan(p.upper[k]) || p.lower[k] > p.upper[k] || is_nan(p.u[k])) {
            return false;
        }
    }
    for (std::size_t i = 0; i < p.count; ++i) {
        for (std::size_t k = 0; k < 4; ++k) {
            if (is_nan(p.rows[i][k])) return false;
        }
        if (is_nan(p.limits[i])) return false;
    }
    return true;
}

// One sweep of cyclic projections: each row violated by more than kTol
// projects x onto its hyperplane, x <- clamp(x - s a) with s = (a . x - b) / (a . a),
// skipped when a . a < kEps. Returns whether any row was violated.
bool projection_sweep(const Problem& p, Vec4& x) noexcept {
    bool changed = false;
    for (std::size_t i = 0; i < p.count; ++i) {
        const Vec4& a = p.rows[i];
        const float v = dot(a, x) - p.limits[i];
        if (!(v > kTol)) continue;
        changed = true;
        const float nn = dot(a, a);
        if (nn < kEps) continue;
        const float s = v / nn;
        Vec4 y;
        for (std::size_t k = 0; k < 4; ++k) y[k] = x[k] - a[k] * s;
        x = clamp(p, y);
    }
    return changed;
}

// True iff x meets the box and every row within kTol; the test that ends the
// feasibility phase after its last sweep. Ordered comparisons, so a NaN
// anywhere fails.
bool within_tolerance(const Problem& p, const Vec4& x) noexcept {
    for (std::size_t k = 0; k < 4; ++k) {
        if (!(p.lower[k] - kTol <= x[k] && x[k] <= p.upper[k] + kTol)) return false;
    }
    for (std::size_t i = 0; i < p.count; ++i) {
        if (!(dot(p.rows[i], x) <= p.limits[i] + kTol)) return false;
    }
    return true;
}

// Finds a feasible start by up to kFeasibilitySweeps sweeps from clamp(0).
// Returns false when none is found.
bool find_feasible_start(const Problem& p, Vec4& x) noexcept {
    x = clamp(p, Vec4{});
    for (int sweep = 0; sweep < kFeasibilitySweeps; ++sweep) {
        const Vec4 before = x;
        if (!projection_sweep(p, x)) return true;
        // A sweep is a function of x alone: once it maps x to itself, every
        // remaining sweep would too, so the 60th would end on this same x.
        if (same_bits(x, before)) break;
    }
    // Still violated after the last sweep: keep x only if it is within kTol
    // of everything.
    return within_tolerance(p, x);
}

// Every constraint that x touches within kTol; a lower bound hides the upper
// bound of the same axis (they coincide when lower = upper).
WorkingSet initial_working_set(const Problem& p, const Vec4& x) noexcept {
    WorkingSet ws;
    for (std::size_t k = 0; k < 4; ++k) {
        const auto axis = static_cast<std::uint8_t>(k);
        if (std::fabs(x[k] - p.lower[k]) <= kTol) {
            ws.push_back(p, {EntryKind::LowerBound, axis});
        } else if (std::fabs(x[k] - p.upper[k]) <= kTol) {
            ws.push_back(p, {EntryKind::UpperBound, axis});
        }
    }
    for (std::size_t i = 0; i < p.count; ++i) {
        if (std::fabs(dot(p.rows[i], x) - p.limits[i]) <= kTol) {
            ws.push_back(p, {EntryKind::Linear, static_cast<std::uint8_t>(i)});
        }
    }
    return ws;
}

// The largest violation by x_eq of a constraint outside the working set, or 0.
// Only a strictly greater value replaces the running maximum, so a NaN never does.
float worst_violation(const Problem& p, const WorkingSet& ws, const Vec4& x_eq) noexcept {
    float worst = 0.0f;
    const auto raise = [&worst](float v) {
        if (v > worst) worst = v;
    };
    for (std::size_t k = 0; k < 4; ++k) {
        if (!ws.contains(EntryKind::LowerBound, k)) raise(p.lower[k] - x_eq[k]);
        if (!ws.contains(EntryKind::UpperBound, k)) raise(x_eq[k] - p.upper[k]);
    }
    for (std::size_t i = 0; i < p.count; ++i) {
        if (!ws.contains(EntryKind::Linear, i)) raise(dot(p.rows[i], x_eq) - p.limits[i]);
    }
    return worst;
}

// True when some row's value at x is NaN: products that overflow to +inf and
// -inf (or an infinite coefficient times a zero lane) leave the row unjudged,
// so x cannot be said to meet it.
bool some_row_nan(const Problem& p, const Vec4& x) noexcept {
    for (std::size_t i = 0; i < p.count; ++i) {
        if (is_nan(dot(p.rows[i], x))) return true;
    }
    return false;
}

struct Step {
    float alpha = 1.0f;    // in (kEps, 1]
    bool blocked = false;  // whether some constraint set alpha
    WorkingSetEntry blocking{};
};

// Ratio test along d from x: the largest alpha <= 1 before a constraint
// outside the working set, not already touched by x, is crossed. Candidates in
// the order axis 0 lower, axis 0 upper, ..., axis 3 upper, rows 0..count-1; a
// later one wins only with a strictly smaller t > kEps.
Step ratio_test(const Problem& p, const WorkingSet& ws, const Vec4& x, const Vec4& d) noexcept {
    Step step;
    const auto offer = [&step](float t, EntryKind kind, std::size_t index) {
        if (t > kEps && t < step.alpha) {
            step.alpha = t;
            step.blocked = true;
            step.blocking = {kind, static_cast<std::uint8_t>(index)};
        }
    };
    for (std::size_t k = 0; k < 4; ++k) {
        if (!ws.contains(EntryKind::LowerBound, k) && std::fabs(x[k] - p.lower[k]) > kTol && d[k] < -kEps) {
            offer((p.lower[k] - x[k]) / d[k], EntryKind::LowerBound, k);
        }
        if (!ws.contains(EntryKind::UpperBound, k) && std::fabs(x[k] - p.upper[k]) > kTol && d[k] > kEps) {
            offer((p.upper[k] - x[k]) / d[k], EntryKind::UpperBound, k);
        }
    }
    for (std::size_t i = 0; i < p.count; ++i) {
        if (ws.contains(EntryKind::Linear, i)) continue;
        const float slack = p.limits[i] - dot(p.rows[i], x);
        if (!(std::fabs(slack) > kTol)) continue;
        const float ad = dot(p.rows[i], d);
        if (!(ad > kEps)) continue;
        offer(slack / ad, EntryKind::Linear, i);
    }
    return step;
}

Solution4 solve(const Problem& p) noexcept {
    if (!is_valid(p)) return make_solution(clamp(p, p.u), 0, KESTREL_STATUS_INVALID_INPUT);

    // Quick acceptance: the box clamp already meets every row within kTol.
    const Vec4 q = clamp(p, p.u);
    bool clamp_violates = false;
    for (std::size_t i = 0; i < p.count; ++i) {
        if (dot(p.rows[i], q) > p.limits[i] + kTol) clamp_violates = true;
    }
    if (!clamp_violates) {
        return make_solution(q, 0, some_row_nan(p, q) ? KESTREL_STATUS_NUMERICAL_FAILURE : KESTREL_STATUS_OPTIMAL);
    }

    Vec4 x;
    if (!find_feasible_start(p, x)) return make_solution(q, 0, KESTREL_STATUS_INFEASIBLE);

    WorkingSet ws = initial_working_set(p, x);
    for (std::uint64_t iterations = 1;; ++iterations) {
        // (N N^T) lambda = e with e_j = n_j . u - r_j, at the desired command u
        // (not at x); the working set holds N, e and N N^T.
        const std::size_t m = ws.size();
        const Rows& n = ws.rows();
        Gram g = ws.gram();
        Column lambda{};
        if (!solve_gram(m, g, ws.residuals(), lambda)) {
            return make_solution(q, 0, KESTREL_STATUS_NUMERICAL_FAILURE);
        }

        // x_eq = u - sum_j lambda_j n_j, one entry at a time in working-set order.
        Vec4 x_eq = p.u;
        for (std::size_t j = 0; j < m; ++j) {
            for (std::size_t k = 0; k < 4; ++k) x_eq[k] = x_eq[k] - lambda[j] * n[j][k];
        }

        // Drop the most negative multiplier below -kTol; a later one must be
        // lower by more than kTol to displace an earlier one.
        float mu = 0.0f;
        std::size_t drop = m;
        for (std::size_t j = 0; j < m; ++j) {
            if (lambda[j] < mu - kTol) {
                drop = j;
                mu = lambda[j];
            }
        }
        if (drop < m) {
            ws.erase(drop);
            if (iterations == kMaxIterations) return make_solution(x, iterations, KESTREL_STATUS_MAX_ITERATIONS);
            continue;
        }

        if (worst_violation(p, ws, x_eq) <= kTol) {
            // x_eq is the answer, bit for bit as the steps compute it. The
            // working-set constraints are not tested again: x_eq holds them to
            // the rounding of u - N^T lambda and of the elimination, which
            // grows with |u| (README, "Notes on behaviour"). Only an x_eq that
            // is not a number (an infinite or NaN lane, from an infinite
            // command or an overflow), or at which a row cannot be evaluated,
            // is refused.
            if (!all_finite(x_eq) || some_row_nan(p, x_eq))
                return make_solution(q, 0, KESTREL_STATUS_NUMERICAL_FAILURE);
            return make_solution(x_eq, iterations, KESTREL_STATUS_OPTIMAL);
        }

        // Step towards x_eq: x <- x + alpha d, d = x_eq - x.
        Vec4 d;
        for (std::size_t k = 0; k < 4; ++k) d[k] = x_eq[k] - x[k];
        const Step step = ratio_test(p, ws, x, d);
        for (std::size_t k = 0; k < 4; ++k) x[k] = x[k] + step.alpha * d[k];

        // A short step stopped at a constraint, which joins the working set.
        // alpha < 1 implies a blocking entry.
        if (step.alpha < kFullStep) {
            if (ws.size() == kMaxWorkingSet) return make_solution(q, 0, KESTREL_STATUS_NUMERICAL_FAILURE);
            ws.push_back(p, step.blocking);
        }
        if (iterations == kMaxIterations) return make_solution(x, iterations, KESTREL_STATUS_MAX_ITERATIONS);
    }
}

}  // namespace

bool solve_normal_equations(std::size_t m, const Rows& rows, const Column& rhs, Column& out) noexcept {
    // G = N N^T, both triangles, each entry ((p0 + p1) + p2) + p3.
    Gram g{};
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) g[i][j] = dot(rows[i], rows[j]);
    }
    return solve_gram(m, g, rhs, out);
}

Solution4 solve_multivar_4d(const Vec4& desired, const Bounds4& bounds,
                            const LinearConstraints4& constraints) noexcept {
    Problem p;
    p.u = desired;
    for (std::size_t k = 0; k < 4; ++k) {
        p.lower[k] = bounds.lower[k];
        p.upper[k] = bounds.upper[k];
    }
    p.count = 0;
    p.rows = {};
    p.limits = {};
    if (constraints.count > kMaxRows) return make_solution(clamp(p, p.u), 0, KESTREL_STATUS_INVALID_INPUT);
    // Rows at index count or above are never read.
    p.count = static_cast<std::size_t>(constraints.count);
    for (std::size_t i = 0; i < p.count; ++i) {
        for (std::size_t k = 0; k < 4; ++k) p.rows[i][k] = constraints.coefficients[i][k];
        p.limits[i] = constraints.limits[i];
    }
    return solve(p);
}

}  // namespace kestrel

extern "C" KESTREL_API int32_t kestrel_solve_multivar_4d(const float* desired, const Bounds4* bounds,
                                                         const LinearConstraints4* constraints, Solution4* out) {
    if (desired == nullptr || bounds == nullptr || constraints == nullptr || out == nullptr) return -1;
    kestrel::Vec4 u;
    std::memcpy(u.data(), desired, sizeof u);  // desired may be unaligned
    const Solution4 s = kestrel::solve_multivar_4d(u, *bounds, *constraints);
    // The 28 bytes of x, iterations and status; the trailing padding is the caller's.
    for (std::size_t k = 0; k < 4; ++k) out->x[k] = s.x[k];
    out->iterations = s.iterations;
    out->status = s.status;
    return 0;
}
