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

// Absolute tolerance on feasibility and on "touching" a constraint, in the
// units of the command. Above float rounding for commands of order 1..100,
// below anything an actuator resolves.
inline constexpr float kTol = 1e-5f;
// Smallest squared row norm, step direction component or step length that is
// treated as nonzero.
inline constexpr float kEps = 1e-9f;
// A step at least this long counts as reaching x_eq: nothing joins the working set.
inline constexpr float kFullStep = 0.99999f;
static_assert(std::bit_cast<std::uint32_t>(kFullStep) == 0x3F7FFF58u);
// Absolute threshold on a pivot of the Gram matrix. Rows of unit scale give
// pivots of order 1; a dependent set leaves a pivot of order float rounding.
inline constexpr float kPivotMin = 1e-6f;

inline constexpr int kFeasibilitySweeps = 60;
inline constexpr std::uint64_t kMaxIterations = 20;
// Four bounds plus four rows: the most the initial working set can hold.
inline constexpr std::size_t kMaxWorkingSet = 8;
inline constexpr std::size_t kMaxRows = 4;

}  // namespace multivar

// solve_normal_equations solves (N N^T) lambda = rhs for the first m rows of
// `rows` (m <= 8) by Gaussian elimination with partial pivoting on the Gram
// matrix, in single precision. Every dot product sums ((p0 + p1) + p2) + p3.
// Returns false when a pivot magnitude falls below kPivotMin or an elimination
// factor or a solution component is infinite or NaN; out[0..m-1] may then be
// partly overwritten. On true, out[0..m-1] holds lambda. out[m..7] is never
// touched, and m = 0 returns true at once. Pure; allocates nothing.
[[nodiscard]] bool solve_normal_equations(std::size_t m, const std::array<Vec4, 8>& rows,
                                          const std::array<float, 8>& rhs,
                                          std::array<float, 8>& out) noexcept;

// solve_multivar_4d returns the point nearest `desired` among those with
// lower[k] <= x[k] <= upper[k] and coefficients[i] . x <= limits[i] for
// i < count, with the number of active-set iterations (0..20) and a status:
//   InvalidInput      count > 4, a NaN bound, command or row, or lower > upper; x = clamp(u)
//   Optimal           x is the projection (within kTol)
//   MaxIterations     20 iterations ran out; x is the last iterate
//   Infeasible        60 cyclic-projection sweeps found no feasible point; x = clamp(u)
//   NumericalFailure  singular normal equations or a full working set; x = clamp(u)
// Reads rows i < count only; the padding of the result is unspecified. Pure;
// allocates nothing; bounded at 60 sweeps and 20 solves of at most 8 unknowns.
[[nodiscard]] Solution4 solve_multivar_4d(const Vec4& desired, const Bounds4& bounds,
                                          const LinearConstraints4& constraints) noexcept;

}  // namespace kestrel
