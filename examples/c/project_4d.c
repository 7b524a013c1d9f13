/*
 * project_4d.c - project one four-axis command with the Kestrel C library.
 *
 * Every axis may move within [-1, 1], and axes 0 and 1 together may not exceed
 * 1 (x0 + x1 <= 1). The requested command (2, 2, 0.25, -3) breaks both rules;
 * the nearest allowed command is (0.5, 0.5, 0.25, -1). The program prints the
 * result and its status and exits non-zero unless both are what they must be.
 */
#include <stdio.h>

#include <kestrel.h>

int main(void) {
    const float desired[4] = {2.0f, 2.0f, 0.25f, -3.0f};
    const Bounds4 bounds = {{-1.0f, -1.0f, -1.0f, -1.0f}, {1.0f, 1.0f, 1.0f, 1.0f}};
    const LinearConstraints4 constraints = {
        1,                          /* one row in use */
        {{1.0f, 1.0f, 0.0f, 0.0f}}, /* x0 + x1 */
        {1.0f},                     /* <= 1 */
    };
    const float expected[4] = {0.5f, 0.5f, 0.25f, -1.0f};

    Solution4 solution;
    if (kestrel_solve_multivar_4d(desired, &bounds, &constraints, &solution) != 0) {
        fputs("kestrel_solve_multivar_4d refused its arguments\n", stderr);
        return 1;
    }
    printf("x = (%g, %g, %g, %g), status %u, %llu iterations\n", solution.x[0], solution.x[1], solution.x[2],
           solution.x[3], (unsigned)solution.status, (unsigned long long)solution.iterations);

    int ok = solution.status == KESTREL_STATUS_OPTIMAL;
    for (int k = 0; k < 4; ++k) {
        /* The solver works in single precision: allow a few rounding steps.
         * No fabsf: the program needs no libm of its own, so its static build
         * shows that the library brings every library it needs. */
        const float error = solution.x[k] - expected[k];
        ok = ok && error <= 1e-6f && error >= -1e-6f;
    }
    if (!ok) {
        fputs("unexpected projection\n", stderr);
        return 1;
    }
    return 0;
}
