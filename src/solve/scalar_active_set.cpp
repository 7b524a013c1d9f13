// Exported C entry point of the scalar kernel: the null check around
// solve_active_set and the store into the caller's record.
#include "solve/scalar_active_set.hpp"

extern "C" KESTREL_API int32_t kestrel_solve_active_set(float u_desired, ScalarBounds bounds,
                                                        const ScalarConstraints* constraints, ScalarSolution* out) {
    if (constraints == nullptr || out == nullptr) return -1;
    const ScalarSolution solution = kestrel::solve_active_set(*constraints, u_desired, bounds);
    // Field by field, so the record's padding keeps whatever the caller had there.
    out->x = solution.x;
    out->iterations = solution.iterations;
    out->status = solution.status;
    return 0;
}
