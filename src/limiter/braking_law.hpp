// The braking law of the joint limiter, in periods.
//
// Units. Inside, a joint is seen one period at a time: velocities v as they
// are, and an acceleration as the velocity change of one period,
// alpha = a dt. The limits become
//   j = J dt^2   the largest change of alpha per period (jerk step)
//   s = A dt     the largest |alpha| (acceleration step)
// and positions advance by p' = p + v' dt. A distance "in periods" is a sum of
// velocities; times dt it is a distance.
//
// The braking law. From (v, alpha) with v_f = v + g(alpha) - alpha >= 0 (see
// gain) the joint brakes downwards:
//   alpha' = max(alpha - j, -s, -g^-1(v))
// that is, alpha ramps towards -s by j per period, holds, and is raised onto
// the landing curve v' + g(alpha') = 0, on which it then climbs by j per period
// so that v and alpha reach 0 together (v first, alpha one period later).
// With v_f < 0 it brakes upwards, the mirror image. The law's next step from
// a state is the law's own continuation, so a state from which the law keeps
// every limit has a successor (the law's step, within the jerk and
// acceleration limits) from which it does too: the admissible set is never
// left by the limiter, and is never empty from a state inside it.
#pragma once

#include <limits>

#include "kestrel_joint_limiter.h"

namespace kestrel::limiter {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Period counts up to which n(n+1)/2 and the sums built on it are exact
// integers in a double; above it the continuous forms are used.
constexpr double kExactCount = 67108864.0;  // 2^26

// A jerk or acceleration miss no wider than this fraction of the limit's own
// step (j or s) is rounding (of v + alpha' near a velocity limit), not the
// limit giving way.
constexpr double kTouch = 1.52587890625e-05;  // 2^-16

inline double triangle(double n) noexcept { return n * (n + 1.0) / 2.0; }                 // 1 + ... + n
inline double tetrahedron(double n) noexcept { return n * (n + 1.0) * (n + 2.0) / 6.0; }  // T(1) + ... + T(n)

struct Law {
    double j;      // jerk step, > 0 (inf: none)
    double s;      // acceleration step, > 0 (inf: none)
    double inv_j;  // 1 / j (0 without a jerk limit)
    double inv_s;  // 1 / s
    double gs;     // g(s): the speed shed while a hold at -s ramps back to 0
};
Law make_law(const KestrelJointLimits& l, double dt) noexcept;

// g(alpha): the velocity change of a period at alpha followed by the ramp of
// alpha back to 0 by j per period. With |alpha| = (q + r) j, q whole and
// r in [0, 1): |g| = j T(q) + (q+1) r j = (q+1)(|alpha| - q j / 2). Odd and
// increasing; g(alpha) = alpha without a jerk limit.
double gain(double alpha, const Law& law) noexcept;

// g^-1(w): the alpha with g(alpha) = w. For w >= 0, with y = w / j, q is the
// largest whole number with T(q) <= y and alpha = (w + j T(q)) / (q + 1).
double gain_inverse(double w, const Law& law) noexcept;

// The braking law's step from (v, alpha): see the top of the file.
// Within a rounding allowance of the landing curve (v_f = 0) the law lands
// in the direction of v, so that the last period of a stop is v' = 0 exactly.
// `landing` is g^-1(-v), the step onto the landing curve.
double law_step(const Law& law, double v, double alpha, double landing) noexcept;

// The distance in periods (sum of the velocities after each step) that the
// downward law covers from (v, alpha) to rest, for v + g(alpha) - alpha >= 0
// and |alpha| <= s. Closed form by phases:
//  1. ramp, k = 1..K: alpha_k = alpha - k j, v_k = v + k alpha - j T(k),
//     while alpha_k >= -s and the landing holds, which for k = c + u
//     (c = ceil(alpha / j), rho = c - alpha / j) reads u (u + 2 rho) <= B,
//     B = v / j + T(c - 1) - rho c;
//  2. hold at -s while v >= g(s), n periods;
//  3. the one period onto the landing curve, alpha_t = -g^-1(v);
//  4. the landing ramp from |alpha_t| = (q + r) j: j (C(q,3) + r C(q,2)).
double down_distance(const Law& law, double v, double alpha) noexcept;

// The distance in periods that the upward law covers while v > 0, from
// (v > 0, alpha < 0) with v + g(alpha) - alpha < 0: alpha climbs by j, and
// v_k = v + k alpha + j T(k) stays positive for k <= K, all while alpha_k <= 0
// (after that v_k would be positive again only by rounding).
double rise(const Law& law, double v, double alpha) noexcept;

// How far above its position the law from (v, alpha) takes a joint, in
// periods (>= 0): the whole downward stop, or the rise before an upward one.
double reach_up(const Law& law, double v, double alpha) noexcept;

}  // namespace kestrel::limiter
