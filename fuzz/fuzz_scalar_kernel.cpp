// Fuzz target for kestrel_solve_active_set.
//
// Input: 44 bytes, the call's arguments as the caller lays them out:
//   0  float u_desired
//   4  ScalarBounds (lower, upper)
//  12  ScalarConstraints (32 bytes)
//
// Every input must give: result 0; iterations scalar::kIterations (1); status
// Optimal or Infeasible; no read of constraint entries 1..3 and no write to
// the padding of the result (both poisoned, so ASan stops at the access); the
// constraint record unchanged. With a consistent box and a usable constraint
// (lo <= hi, a and b not NaN), the answer also has to be right: an Optimal x
// lies in the box and meets the constraint, and is u itself whenever u
// already did; Infeasible is reported only when no point of the box meets
// it. A null record is refused with -1 and nothing touched.
#include <sanitizer/asan_interface.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "kestrel.h"
#include "solve/scalar_active_set.hpp"

namespace {

constexpr std::size_t kInputLen = 4 + sizeof(ScalarBounds) + sizeof(ScalarConstraints);
constexpr unsigned char kCanary = 0xA5;

[[noreturn]] void fail(const char* what, float u, float lo, float hi, float a, float b, float x) {
    std::fprintf(stderr, "invariant broken: %s\n  u=%a lo=%a hi=%a a=%a b=%a -> x=%a\n", what, u, lo, hi, a, b, x);
    std::abort();
}

bool same_bits(float p, float q) { return std::memcmp(&p, &q, sizeof p) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size != kInputLen) return -1;
    float u;
    ScalarBounds bounds;
    std::memcpy(&u, data, 4);
    std::memcpy(&bounds, data + 4, sizeof bounds);

    // The constraint record in an allocation of exactly its size; only
    // coefficients[0] and limits[0] may be read.
    auto* constraints = static_cast<ScalarConstraints*>(std::malloc(sizeof(ScalarConstraints)));
    std::memcpy(constraints, data + 12, sizeof *constraints);
    ASAN_POISON_MEMORY_REGION(&constraints->coefficients[1], 3 * sizeof(float));
    ASAN_POISON_MEMORY_REGION(&constraints->limits[1], 3 * sizeof(float));

    // The result record, exactly sized, canary-filled, padding poisoned
    // (bytes 4..7 after x and 20..23 after status).
    auto* out = static_cast<ScalarSolution*>(std::malloc(sizeof(ScalarSolution)));
    std::memset(out, kCanary, sizeof *out);
    auto* out_bytes = reinterpret_cast<unsigned char*>(out);
    ASAN_POISON_MEMORY_REGION(out_bytes + 4, 4);
    ASAN_POISON_MEMORY_REGION(out_bytes + 20, 4);

    // The one constraint the kernel reads: a x <= b.
    float a;
    float b;
    std::memcpy(&a, data + 12, 4);
    std::memcpy(&b, data + 12 + 16, 4);
    const float lo = bounds.lower;
    const float hi = bounds.upper;

    // Null records: -1, and the other record is left as it was.
    if (kestrel_solve_active_set(u, bounds, nullptr, out) != -1) fail("null constraints accepted", u, lo, hi, a, b, 0);
    if (kestrel_solve_active_set(u, bounds, constraints, nullptr) != -1) fail("null out accepted", u, lo, hi, a, b, 0);
    if (out->iterations != 0xA5A5A5A5A5A5A5A5u || out->status != 0xA5A5A5A5u) {
        fail("null constraints: out written", u, lo, hi, a, b, 0);
    }

    if (kestrel_solve_active_set(u, bounds, constraints, out) != 0) fail("result not 0", u, lo, hi, a, b, 0);
    const float x = out->x;

    ASAN_UNPOISON_MEMORY_REGION(out_bytes + 4, 4);
    ASAN_UNPOISON_MEMORY_REGION(out_bytes + 20, 4);
    for (int i : {4, 5, 6, 7, 20, 21, 22, 23}) {
        if (out_bytes[i] != kCanary) fail("padding written", u, lo, hi, a, b, x);
    }
    ASAN_UNPOISON_MEMORY_REGION(constraints, sizeof *constraints);
    if (std::memcmp(constraints, data + 12, sizeof *constraints) != 0) fail("constraints modified", u, lo, hi, a, b, x);

    if (out->iterations != kestrel::scalar::kIterations) fail("iterations not 1", u, lo, hi, a, b, x);
    const SolveStatus status = out->status;
    if (status != KESTREL_STATUS_OPTIMAL && status != KESTREL_STATUS_INFEASIBLE) fail("bad status", u, lo, hi, a, b, x);

    // The claims below need a box that is a set and a constraint that says
    // something; the rest only has to be safe (checked above).
    if (std::isnan(lo) || std::isnan(hi) || !(lo <= hi) || std::isnan(a) || std::isnan(b)) {
        std::free(out);
        std::free(constraints);
        return 0;
    }

    // The constraint as a condition on x, in the kernel's own single
    // precision: r = b / a is the tight point. r is NaN only for an infinite
    // a and b, which the kernel reads as no restriction.
    const float r = a == 0.0f ? 0.0f : b / a;
    auto meets = [&](float v) {
        if (a == 0.0f) return !(b < 0.0f);
        if (std::isnan(r)) return true;
        return a > 0.0f ? v <= r : v >= r;
    };
    const bool box_meets = a == 0.0f ? meets(0.0f) : (a > 0.0f ? meets(lo) : meets(hi));

    if (status == KESTREL_STATUS_INFEASIBLE) {
        if (box_meets) fail("Infeasible, yet the box holds a point that meets the constraint", u, lo, hi, a, b, x);
        // Still a point of the box (the actuator gets it), unless u is NaN.
        if (!std::isnan(u) && !(lo <= x && x <= hi)) fail("Infeasible answer outside the box", u, lo, hi, a, b, x);
    } else {
        if (!box_meets) fail("Optimal, yet no point of the box meets the constraint", u, lo, hi, a, b, x);
        if (std::isnan(u)) {
            if (!std::isnan(x)) fail("NaN command gave a number", u, lo, hi, a, b, x);
        } else {
            if (!(lo <= x && x <= hi)) fail("Optimal answer outside the box", u, lo, hi, a, b, x);
            if (!meets(x)) fail("Optimal answer breaks the constraint", u, lo, hi, a, b, x);
            // A projection: an allowed command comes back unchanged, and any
            // other lands on the boundary of the allowed interval.
            if (lo <= u && u <= hi && meets(u)) {
                if (!same_bits(x, u)) fail("allowed command changed", u, lo, hi, a, b, x);
            } else if (!(x == lo || x == hi || x == r)) {
                fail("clamped answer not on the boundary", u, lo, hi, a, b, x);
            }
        }
    }

    std::free(out);
    std::free(constraints);
    return 0;
}
