/*
 * kestrel_solve.h - the two projection kernels and their records.
 *
 * The two kernels:
 *
 *   kestrel_solve_active_set   - one command, a box and one linear inequality
 *   kestrel_solve_multivar_4d  - four axes, a box and up to four inequalities
 *
 * Both are pure, allocation-free and thread-safe. Unlike the rest of the
 * library they return -1 when a pointer argument is null (nothing is read or
 * written) and 0 otherwise, with the outcome as a SolveStatus inside the
 * output record. Their records also go by Kestrel-prefixed names
 * (KestrelBounds4 for Bounds4, ...).
 *
 * The records below are part of the binary interface: their sizes and byte
 * offsets are fixed (little-endian, natural alignment, on every target this builds for) and checked at
 * compile time at the end of this header.
 */
#ifndef KESTREL_SOLVE_H
#define KESTREL_SOLVE_H

#include "kestrel_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome of a solve, written into the output record. */
typedef uint32_t SolveStatus;
enum {
    KESTREL_STATUS_INVALID_INPUT = 0,    /* input rejected; x is the box clamp of the request */
    KESTREL_STATUS_OPTIMAL = 1,          /* solved */
    KESTREL_STATUS_MAX_ITERATIONS = 2,   /* iteration limit reached; x is the last iterate */
    KESTREL_STATUS_INFEASIBLE = 3,       /* the constraints cannot be met together */
    KESTREL_STATUS_NUMERICAL_FAILURE = 4 /* the linear algebra or the working set gave out */
};

/* ---- Scalar kernel ----------------------------------------------------- */

/* Constraint i reads coefficients[i] * x <= limits[i]. The kernel reads only
 * constraint 0; entries 1..3 are carried for the caller's bookkeeping. */
typedef struct ScalarConstraints {
    float coefficients[4];
    float limits[4];
} ScalarConstraints;

/* The box [lower, upper] of the command; passed by value. */
typedef struct ScalarBounds {
    float lower;
    float upper;
} ScalarBounds;

/* Written by the kernel: x, iterations and status only. The padding after x
 * and after status is never written. */
typedef struct ScalarSolution {
    float x;             /* the projected command */
    uint64_t iterations; /* always 1 */
    SolveStatus status;  /* KESTREL_STATUS_OPTIMAL or KESTREL_STATUS_INFEASIBLE */
} ScalarSolution;

/* Projects u_desired onto {x : lower <= x <= upper, coefficients[0]*x <= limits[0]}.
 * Returns -1 if constraints or out is null, else 0 with out filled. */
KESTREL_API int32_t kestrel_solve_active_set(float u_desired, ScalarBounds bounds, const ScalarConstraints *constraints,
                                             ScalarSolution *out);

/* ---- Four-axis solver -------------------------------------------------- */

/* Per-axis box: lower[k] <= x[k] <= upper[k]. */
typedef struct Bounds4 {
    float lower[4];
    float upper[4];
} Bounds4;

/* Rows 0..count-1 read coefficients[i] . x <= limits[i]; count is 0..4 and
 * rows at index count or above are never read. */
typedef struct LinearConstraints4 {
    uint64_t count;
    float coefficients[4][4];
    float limits[4];
} LinearConstraints4;

/* Written by the solver: x, iterations and status (28 bytes); the trailing
 * padding is never written. */
typedef struct Solution4 {
    float x[4];          /* the result command */
    uint64_t iterations; /* active-set iterations performed, 0..20 */
    SolveStatus status;  /* any SolveStatus value */
} Solution4;

/* Projects the four-axis command desired[0..3] (may be unaligned) onto the box
 * cut by the linear rows. Returns -1 if any pointer is null, else 0 with out
 * filled on every path. */
KESTREL_API int32_t kestrel_solve_multivar_4d(const float *desired, const Bounds4 *bounds,
                                              const LinearConstraints4 *constraints, Solution4 *out);

/* The same records under the library's prefix. */
typedef SolveStatus KestrelSolveStatus;
typedef ScalarConstraints KestrelScalarConstraints;
typedef ScalarBounds KestrelScalarBounds;
typedef ScalarSolution KestrelScalarSolution;
typedef Bounds4 KestrelBounds4;
typedef LinearConstraints4 KestrelLinearConstraints4;
typedef Solution4 KestrelSolution4;

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(float) == 4, "32-bit IEEE float required");

KESTREL_LAYOUT_ASSERT(sizeof(ScalarConstraints) == 32, "ScalarConstraints is 32 bytes");
KESTREL_LAYOUT_ASSERT(offsetof(ScalarConstraints, coefficients) == 0, "coefficients at 0");
KESTREL_LAYOUT_ASSERT(offsetof(ScalarConstraints, limits) == 16, "limits at 16");

KESTREL_LAYOUT_ASSERT(sizeof(ScalarBounds) == 8, "ScalarBounds is 8 bytes");
KESTREL_LAYOUT_ASSERT(offsetof(ScalarBounds, lower) == 0, "lower at 0");
KESTREL_LAYOUT_ASSERT(offsetof(ScalarBounds, upper) == 4, "upper at 4");

KESTREL_LAYOUT_ASSERT(sizeof(ScalarSolution) == 24, "ScalarSolution is 24 bytes");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(ScalarSolution) == 8, "ScalarSolution is 8-aligned");
KESTREL_LAYOUT_ASSERT(offsetof(ScalarSolution, x) == 0, "x at 0");
KESTREL_LAYOUT_ASSERT(offsetof(ScalarSolution, iterations) == 8, "iterations at 8");
KESTREL_LAYOUT_ASSERT(offsetof(ScalarSolution, status) == 16, "status at 16");

KESTREL_LAYOUT_ASSERT(sizeof(Bounds4) == 32, "Bounds4 is 32 bytes");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(Bounds4) == 4, "Bounds4 is 4-aligned");
KESTREL_LAYOUT_ASSERT(offsetof(Bounds4, lower) == 0, "lower at 0");
KESTREL_LAYOUT_ASSERT(offsetof(Bounds4, upper) == 16, "upper at 16");

KESTREL_LAYOUT_ASSERT(sizeof(LinearConstraints4) == 88, "LinearConstraints4 is 88 bytes");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(LinearConstraints4) == 8, "LinearConstraints4 is 8-aligned");
KESTREL_LAYOUT_ASSERT(offsetof(LinearConstraints4, count) == 0, "count at 0");
KESTREL_LAYOUT_ASSERT(offsetof(LinearConstraints4, coefficients) == 8, "coefficients at 8");
KESTREL_LAYOUT_ASSERT(offsetof(LinearConstraints4, limits) == 72, "limits at 72");

KESTREL_LAYOUT_ASSERT(sizeof(Solution4) == 32, "Solution4 is 32 bytes with trailing padding");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(Solution4) == 8, "Solution4 is 8-aligned");
KESTREL_LAYOUT_ASSERT(offsetof(Solution4, x) == 0, "x at 0");
KESTREL_LAYOUT_ASSERT(offsetof(Solution4, iterations) == 16, "iterations at 16");
KESTREL_LAYOUT_ASSERT(offsetof(Solution4, status) == 24, "status at 24");

#endif /* KESTREL_SOLVE_H */
