// Fuzz target for kestrel_solve_multivar_4d.
//
// Input: 136 bytes, the three input records as a caller lays them out:
//   0  desired command, four floats
//  16  Bounds4 (32 bytes)
//  48  LinearConstraints4 (88 bytes; count is the raw u64, so most mutations
//      of it give InvalidInput, as they would for a careless caller)
//
// Every input must give: result 0 (and -1 with nothing written for each null
// pointer); a status 0..4 with iterations 0..kMaxIterations; no read outside
// the input records or of rows at index count and above, and no write to the
// result's padding (all poisoned or exactly allocated, so ASan stops at the
// access); the inputs unchanged; the same answer from an unaligned command.
// An InvalidInput, Infeasible or NumericalFailure answer is the box clamp of u
// with iterations 0, MaxIterations has iterations kMaxIterations. An Optimal
// answer with iterations 0 is the box clamp and meets every row within kTol;
// one from the iterations has every lane finite.
//
// That is all the steps promise for an answer of the iterations: x_eq is
// tested against the constraints outside the working set and holds those in
// it only to the rounding of u - N^T lambda and of the unscaled elimination.
// On random problems of even scale that stays within 1e-4 of the command's
// magnitude (the property test checks it), but within seconds this target
// finds a row of norm 1e5 beside unit rows that leaves an Optimal answer to a
// unit command far off a working-set constraint; so no distance is checked.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrel.h"
#include "solve/multivar_4d.hpp"

namespace {

constexpr std::size_t kInputLen = 16 + sizeof(Bounds4) + sizeof(LinearConstraints4);
constexpr unsigned char kCanary = 0xA5;
using kestrel::multivar::kMaxIterations;
using kestrel::multivar::kTol;

const std::uint8_t* g_input = nullptr;  // for the diagnostic

[[noreturn]] void fail(const char* what, const Solution4& s) {
    std::fprintf(stderr, "invariant broken: %s\n  status=%u iterations=%llu x=(%a, %a, %a, %a)\n  input:", what,
                 s.status, static_cast<unsigned long long>(s.iterations), s.x[0], s.x[1], s.x[2], s.x[3]);
    for (std::size_t i = 0; i < kInputLen; ++i) std::fprintf(stderr, "%s%02x", i % 4 ? "" : " ", g_input[i]);
    std::fprintf(stderr, "\n");
    std::abort();
}

// ((p0 + p1) + p2) + p3, in float, as the solver sums.
float dot(const float (&row)[4], const float (&x)[4]) {
    const float p0 = row[0] * x[0];
    const float p1 = row[1] * x[1];
    const float p2 = row[2] * x[2];
    const float p3 = row[3] * x[3];
    return ((p0 + p1) + p2) + p3;
}

// The box clamp: lower if v < lower, else upper if upper < v, else v.
float clamp_lane(float v, float lower, float upper) { return v < lower ? lower : (upper < v ? upper : v); }

bool same_bits(const void* p, const void* q, std::size_t n) { return std::memcmp(p, q, n) == 0; }

// A copy of `len` bytes in an allocation of exactly that size (offset 0) or
// one byte longer with the copy at offset 1 (unaligned, still ending at the
// allocation's end).
std::uint8_t* exact_copy(const std::uint8_t* src, std::size_t len, std::size_t offset, std::uint8_t** block) {
    *block = static_cast<std::uint8_t*>(std::malloc(len + offset));
    std::memcpy(*block + offset, src, len);
    return *block + offset;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size != kInputLen) return -1;
    g_input = data;

    std::uint8_t *u_block, *u_unaligned_block, *bounds_block, *constraints_block;
    const auto* u = reinterpret_cast<const float*>(exact_copy(data, 16, 0, &u_block));
    const auto* u_unaligned = reinterpret_cast<const float*>(exact_copy(data, 16, 1, &u_unaligned_block));
    const auto* bounds = reinterpret_cast<const Bounds4*>(exact_copy(data + 16, sizeof(Bounds4), 0, &bounds_block));
    auto* constraints =
        reinterpret_cast<LinearConstraints4*>(exact_copy(data + 48, sizeof(LinearConstraints4), 0, &constraints_block));

    // Rows at index count and above must never be read.
    const std::size_t used = static_cast<std::size_t>(std::min<std::uint64_t>(constraints->count, 4));
    ASAN_POISON_MEMORY_REGION(&constraints->coefficients[used], (4 - used) * sizeof(constraints->coefficients[0]));
    ASAN_POISON_MEMORY_REGION(&constraints->limits[used], (4 - used) * sizeof(float));

    // Two result records, canary-filled, trailing padding (28..31) poisoned.
    Solution4* out[2];
    for (auto*& o : out) {
        o = static_cast<Solution4*>(std::malloc(sizeof(Solution4)));
        std::memset(o, kCanary, sizeof *o);
        ASAN_POISON_MEMORY_REGION(reinterpret_cast<std::uint8_t*>(o) + 28, 4);
    }
    Solution4 untouched;
    std::memset(&untouched, kCanary, sizeof untouched);

    if (kestrel_solve_multivar_4d(nullptr, bounds, constraints, out[0]) != -1 ||
        kestrel_solve_multivar_4d(u, nullptr, constraints, out[0]) != -1 ||
        kestrel_solve_multivar_4d(u, bounds, nullptr, out[0]) != -1 ||
        kestrel_solve_multivar_4d(u, bounds, constraints, nullptr) != -1) {
        fail("a null pointer was not refused", untouched);
    }
    if (!same_bits(out[0], &untouched, 28)) fail("a refused call wrote its result", *out[0]);

    if (kestrel_solve_multivar_4d(u, bounds, constraints, out[0]) != 0) fail("result not 0", *out[0]);
    if (kestrel_solve_multivar_4d(u_unaligned, bounds, constraints, out[1]) != 0) fail("result not 0", *out[1]);

    for (auto* o : out) ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<std::uint8_t*>(o) + 28, 4);
    ASAN_UNPOISON_MEMORY_REGION(constraints, sizeof *constraints);
    const Solution4 s = *out[0];
    for (auto* o : out) {
        if (!same_bits(reinterpret_cast<std::uint8_t*>(o) + 28, reinterpret_cast<std::uint8_t*>(&untouched) + 28, 4)) {
            fail("padding written", s);
        }
    }
    if (!same_bits(out[0], out[1], 28)) fail("unaligned command gave another answer", *out[1]);
    if (!same_bits(u, data, 16) || !same_bits(bounds, data + 16, sizeof(Bounds4)) ||
        !same_bits(constraints, data + 48, sizeof(LinearConstraints4))) {
        fail("inputs modified", s);
    }

    if (s.status > KESTREL_STATUS_NUMERICAL_FAILURE) fail("status out of range", s);
    if (s.iterations > kMaxIterations) fail("iterations out of range", s);

    switch (s.status) {
        case KESTREL_STATUS_INVALID_INPUT:
        case KESTREL_STATUS_INFEASIBLE:
        case KESTREL_STATUS_NUMERICAL_FAILURE:
            // The safe answer: the box clamp of the command.
            if (s.iterations != 0) fail("fallback answer with iterations", s);
            for (int k = 0; k < 4; ++k) {
                const float q = clamp_lane(u[k], bounds->lower[k], bounds->upper[k]);
                if (!same_bits(&s.x[k], &q, sizeof q)) fail("fallback answer is not the box clamp", s);
            }
            break;
        case KESTREL_STATUS_MAX_ITERATIONS:
            if (s.iterations != kMaxIterations) fail("MaxIterations before the last iteration", s);
            break;
        case KESTREL_STATUS_OPTIMAL:
            if (s.iterations == 0) {
                // Quick acceptance: the box clamp, meeting every row by the
                // solver's own test !(dot > limit + kTol), so a NaN dot (an
                // infinite lane times a zero coefficient) is no violation.
                for (int k = 0; k < 4; ++k) {
                    const float q = clamp_lane(u[k], bounds->lower[k], bounds->upper[k]);
                    if (!same_bits(&s.x[k], &q, sizeof q)) fail("quick acceptance is not the box clamp", s);
                }
                for (std::size_t i = 0; i < used; ++i) {
                    if (dot(constraints->coefficients[i], s.x) > constraints->limits[i] + kTol) {
                        fail("Optimal answer breaks a row", s);
                    }
                }
            } else {
                // From the iterations: x_eq exactly as the steps give it, which
                // the solver refuses only when a lane is infinite or NaN.
                for (int k = 0; k < 4; ++k) {
                    if (!std::isfinite(s.x[k])) fail("Optimal answer not finite", s);
                }
            }
            break;
    }

    for (auto* o : out) std::free(o);
    std::free(constraints_block);
    std::free(bounds_block);
    std::free(u_unaligned_block);
    std::free(u_block);
    return 0;
}
