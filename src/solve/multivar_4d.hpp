// The four-axis projection kernel.
//
// solve_multivar_4d projects a four-axis command onto a box cut by up to four
// linear inequalities with a primal active-set method; each iteration solves
// the equality-constrained projection through the normal equations
// (N N^T) lambda = N u - r, handled by solve_normal_equations. Both are
// declared here so the tests can reach them directly; C callers go through
// kestrel_solve_multivar_4d in kestrel.h.
//
// Everything is single precision with no fused multiply-add (the
// kestrel_strict_fp flags), so results are bit-for-bit reproducible.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "kestrel.h"

namespace kestrel {

// A command, a bound vector or a constraint row: axis 0 first.
using Vec4 = std::array<float, 4>;

namespace multivar {

// The constants below define the solver: its answers follow bit for bit from
// them, so none of them is a tuning knob. Tests, benchmarks and fuzz targets
// use these names, never copies.

// Absolute tolerance on feasibility and on "touching" a constraint, in the
// units of the command. Above float rounding for commands of order 1..100,
// below anything an actuator resolves. Being absolute, it does not cover the
// rounding of x_eq = u - N^T lambda for large commands: an Optimal answer meets
// its working-set constraints to that rounding, measured at up to 1.2e-5 of
// the command's magnitude times the row's norm (README, "Notes on behaviour").
inline constexpr float kTol = 1e-5f;
// That rounding, as a fraction of the command's magnitude times the row's
// norm: with kTol, how far from a row an Optimal answer may be measured.
inline constexpr float kRowRounding = 1.2e-5f;
// Smallest squared row norm, step direction component or step length that is
// treated as nonzero: far below kTol, so it screens out only (near-)exact
// zeros, whose quotients would be meaningless or overflow.
inline constexpr float kEps = 1e-9f;
// A step at least this long counts as reaching x_eq, and nothing joins the
// working set: a step short of x_eq by less than 1e-5 of its length is a full
// step blocked by rounding, not by a constraint. The float nearest 0.99999.
inline constexpr float kFullStep = 0.99999f;
static_assert(std::bit_cast<std::uint32_t>(kFullStep) == 0x3F7FFF58u);
// Absolute threshold on a pivot of the Gram matrix. Rows of unit scale give
// pivots of order 1; a dependent set leaves a pivot of order float rounding.
inline constexpr float kPivotMin = 1e-6f;

// Cyclic projections converge linearly; 60 sweeps over at most four rows
// (240 projections) bound the cost of the feasibility phase on the control
// path, and a problem that needs more ends Infeasible.
inline constexpr int kFeasibilitySweeps = 60;
// Each iteration adds or drops one working-set entry, and the worked cases of
// the solver's tests need at most 6; 20 bounds the cost on the control path
// (at most 20 solves of at most 8 unknowns). A problem that needs more ends MaxIterations
// with its last iterate.
inline constexpr std::uint64_t kMaxIterations = 20;
// The rows of LinearConstraints4.
inline constexpr std::size_t kMaxRows = 4;
// Four bounds (a lower bound hides the upper bound of its axis) plus kMaxRows
// rows: the most the initial working set can hold. It sizes the row matrix,
// the residuals, the multipliers and the Gram matrix.
inline constexpr std::size_t kMaxWorkingSet = 4 + kMaxRows;

}  // namespace multivar

// solve_normal_equations solves (N N^T) lambda = rhs for the first m rows of
// `rows` (m <= kMaxWorkingSet) by Gaussian elimination with partial pivoting
// on the Gram matrix, in single precision. Every dot product sums ((p0 + p1) + p2) + p3.
// Returns false when an entry of N N^T is infinite or NaN (checked before
// elimination), a pivot magnitude falls below kPivotMin, or an elimination
// factor or a solution component is infinite or NaN; out[0..m-1] may then be
// partly overwritten. On true, out[0..m-1] holds lambda. out[m..7] is never
// touched, and m = 0 returns true at once. Pure; allocates nothing.
[[nodiscard]] bool solve_normal_equations(std::size_t m, const std::array<Vec4, multivar::kMaxWorkingSet>& rows,
                                          const std::array<float, multivar::kMaxWorkingSet>& rhs,
                                          std::array<float, multivar::kMaxWorkingSet>& out) noexcept;

// solve_multivar_4d returns the point nearest `desired` among those with
// lower[k] <= x[k] <= upper[k] and coefficients[i] . x <= limits[i] for
// i < count, with the number of active-set iterations (0..20) and a status:
//   InvalidInput      count > 4, a NaN bound, command or row, or lower > upper; x = clamp(u)
//   Optimal           x is the projection as the active-set steps compute it, bit
//                     for bit: clamp(u) if it meets every row (iterations 0),
//                     else x_eq of the iterations, every lane finite; every
//                     row's value at x is a number
//   MaxIterations     20 iterations ran out; x is the last iterate
//   Infeasible        60 cyclic-projection sweeps found no feasible point; x = clamp(u)
//   NumericalFailure  singular normal equations or ones with an infinite or NaN
//                     entry (a row whose products overflow), a full working set,
//                     an x_eq with an infinite or NaN lane, or an answer (clamp(u)
//                     or x_eq) at which a row's value is NaN (products
//                     overflowing to +inf and -inf); x = clamp(u)
// Reads rows i < count only; the padding of the result is unspecified. Pure;
// allocates nothing; bounded at 60 sweeps and 20 solves of at most 8 unknowns.
[[nodiscard]] Solution4 solve_multivar_4d(const Vec4& desired, const Bounds4& bounds,
                                          const LinearConstraints4& constraints) noexcept;

}  // namespace kestrel
