/* Compiled as C: proves that kestrel.h is usable from C (its static asserts
 * run under a C compiler too) and calls the exported kernels from C code. */
#include "kestrel.h"

int32_t kestrel_test_scalar_from_c(float u, float lo, float hi, float a, float b, ScalarSolution *out) {
    ScalarConstraints constraints = {{a, 0.0f, 0.0f, 0.0f}, {b, 0.0f, 0.0f, 0.0f}};
    ScalarBounds bounds = {lo, hi};
    return kestrel_solve_active_set(u, bounds, &constraints, out);
}

/* The Governor from C: makes [lo, hi], then projects u alone and as a batch
 * of one in place; returns the first error. */
KestrelError kestrel_test_governor_from_c(float lo, float hi, float u, float *single, float *batch) {
    KestrelGovernor governor;
    KestrelError error = kestrel_governor_init(&governor, lo, hi);
    if (error == KESTREL_OK) error = kestrel_governor_project(&governor, u, single);
    *batch = u;
    if (error == KESTREL_OK) error = kestrel_governor_project_batch(&governor, batch, batch, 1);
    return error;
}
