/* Compiled as C: proves that kestrel.h is usable from C (its static asserts
 * run under a C compiler too) and calls the exported kernels from C code. */
#include "kestrel.h"

int32_t kestrel_test_scalar_from_c(float u, float lo, float hi, float a, float b, ScalarSolution *out) {
    ScalarConstraints constraints = {{a, 0.0f, 0.0f, 0.0f}, {b, 0.0f, 0.0f, 0.0f}};
    ScalarBounds bounds = {lo, hi};
    return kestrel_solve_active_set(u, bounds, &constraints, out);
}
