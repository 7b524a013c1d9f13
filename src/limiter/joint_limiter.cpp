// The joint limiter: per-joint position, velocity, acceleration and jerk
// limits at a fixed period, kept from every state the limiter produces, with
// optional coupling of joints 0..3 through the four-axis solver. The contract
// is in kestrel_joint_limiter.h; this file holds the braking law behind it.
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
//
// One joint, one call, in alpha' = v' - v:
//   box   = [alpha - j, alpha + j] ∩ [-s, s]               (jerk, acceleration)
//   safe  = {alpha' : |v'| <= V, and from (p', v', alpha') the law keeps
//            the position limits and |v| <= V}               (an interval)
//   alpha' = the point of box ∩ safe nearest the target
// The target is the desired velocity change, or by default the largest step
// that still lands on the desired velocity without overshoot, g^-1(v_d - v).
// From a state outside the set (a reset) box ∩ safe may be empty: then jerk
// gives way (safe ∩ [-s, s], nearest the jerk box), then acceleration too
// (the states from which the law started at alpha = 0 would be safe, nearest
// the acceleration box).
#include "kestrel_joint_limiter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace {

constexpr std::uint32_t kMaxJoints = KESTREL_JOINT_LIMITER_MAX_JOINTS;
constexpr std::uint32_t kCoupledJoints = 4;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Marks storage that init has set up ("KJL2"); anything else is refused.
constexpr std::uint32_t kMagic = 0x324C4A4Bu;

// Period counts up to which n(n+1)/2 and the sums built on it are exact
// integers in a double; above it the continuous forms are used.
constexpr double kExactCount = 67108864.0;  // 2^26

// The braking law places a joint at most this fraction of its position scale
// (|limit| + |p|) inside a position limit it brakes for, so that the rounding
// of p + v' dt over the periods of a stop (half an ulp each, 2^-53) cannot
// carry the stop past the limit itself: 2^-44 is 512 such roundings.
constexpr double kPositionMargin = 5.684341886080802e-14;  // 2^-44

// A jerk or acceleration miss no wider than this fraction of the limit's own
// step (j or s) is rounding (of v + alpha' near a velocity limit), not the
// limit giving way.
constexpr double kTouch = 1.52587890625e-05;  // 2^-16

// The root search for a braking bound stops when its bracket is this
// fraction of the searched width (or a few ulps) wide, or after kMaxSearch
// evaluations; the bound kept is the bracket's safe end.
constexpr double kSearchWidth = 9.094947017729282e-13;  // 2^-40
constexpr int kMaxSearch = 48;
constexpr int kWideProbes = 12;

struct Interval {
    double lo;
    double hi;
};

// The private layout behind KestrelJointLimiter.
struct LimiterState {
    std::uint32_t magic;
    std::uint32_t count;                       // joints in use, 1..kMaxJoints
    double period;                             // dt, seconds, in (0, 1]
    KestrelJointLimits limits[kMaxJoints];
    double position[kMaxJoints];               // p, always finite and inside its limits
    double velocity[kMaxJoints];               // v, always finite
    double step[kMaxJoints];                   // alpha = a dt: v - v_before up to the rounding of v, finite
    std::uint32_t binding[kMaxJoints];         // KESTREL_LIMIT_* of the last call (or reset)
    LinearConstraints4 coupling;               // count 0: no coupling
    Solution4 last_solve;                      // the solver's output of the last call
    std::uint32_t pure_tracking;               // 1: the request is tracked as given
};
static_assert(sizeof(LimiterState) <= sizeof(KestrelJointLimiter), "the published size holds the state");
static_assert(alignof(LimiterState) <= alignof(KestrelJointLimiter), "the published alignment suffices");
static_assert(std::is_trivially_destructible_v<LimiterState>, "storage is reused without destruction");

LimiterState* state_of(KestrelJointLimiter* storage) noexcept {
    return std::launder(reinterpret_cast<LimiterState*>(storage->opaque));
}
const LimiterState* state_of(const KestrelJointLimiter* storage) noexcept {
    return std::launder(reinterpret_cast<const LimiterState*>(storage->opaque));
}

// True when storage may hold a limiter: not null and aligned as published.
bool placeable(const KestrelJointLimiter* storage) noexcept {
    return storage != nullptr && reinterpret_cast<std::uintptr_t>(storage) % alignof(KestrelJointLimiter) == 0;
}

// True when placeable storage was set up by init: the magic and the joint
// count are read bytewise, so storage that is not a state is only inspected,
// and a count that init could not have written (copied or damaged storage)
// never becomes a loop bound.
bool initialised(const KestrelJointLimiter* storage) noexcept {
    if (!placeable(storage)) return false;
    std::uint32_t magic;
    std::uint32_t count;
    const auto* bytes = reinterpret_cast<const unsigned char*>(storage->opaque);
    std::memcpy(&magic, bytes + offsetof(LimiterState, magic), sizeof magic);
    std::memcpy(&count, bytes + offsetof(LimiterState, count), sizeof count);
    return magic == kMagic && count >= 1 && count <= kMaxJoints;
}

// The refusals of init for one joint's limits (see the header): written so
// that a NaN fails every test.
bool limits_valid(const KestrelJointLimits& l, double dt) noexcept {
    if (!(l.min_position < l.max_position && l.max_velocity > 0.0 && l.max_acceleration > 0.0 &&
          l.max_jerk > 0.0)) {
        return false;
    }
    // A finite position range must be finite as a difference.
    if (std::isfinite(l.min_position) && std::isfinite(l.max_position) &&
        !std::isfinite(l.max_position - l.min_position)) {
        return false;
    }
    // The steps per period must be normal numbers: v dt, A dt, J dt^2.
    const double steps[3] = {l.max_velocity * dt, l.max_acceleration * dt, l.max_jerk * dt * dt};
    for (double x : steps) {
        if (!(x >= DBL_MIN)) return false;
    }
    return true;
}

bool position_valid(const KestrelJointLimits& l, double p) noexcept {
    return std::isfinite(p) && l.min_position <= p && p <= l.max_position;
}

// ---- The braking law, in periods ------------------------------------------

double triangle(double n) noexcept { return n * (n + 1.0) / 2.0; }              // 1 + ... + n
double tetrahedron(double n) noexcept { return n * (n + 1.0) * (n + 2.0) / 6.0; } // T(1) + ... + T(n)

struct Law {
    double j;      // jerk step, > 0 (inf: none)
    double s;      // acceleration step, > 0 (inf: none)
    double inv_j;  // 1 / j (0 without a jerk limit)
    double inv_s;  // 1 / s
    double gs;     // g(s): the speed shed while a hold at -s ramps back to 0
};
double gain(double alpha, const Law& law) noexcept;
Law make_law(const KestrelJointLimits& l, double dt) noexcept {
    const double j = l.max_jerk * dt * dt, s = l.max_acceleration * dt;
    Law law{j, s, 1.0 / j, 1.0 / s, 0.0};
    law.gs = gain(s, law);
    return law;
}

// g(alpha): the velocity change of a period at alpha followed by the ramp of
// alpha back to 0 by j per period. With |alpha| = (q + r) j, q whole and
// r in [0, 1): |g| = j T(q) + (q+1) r j = (q+1)(|alpha| - q j / 2). Odd and
// increasing; g(alpha) = alpha without a jerk limit.
double gain(double alpha, const Law& law) noexcept {
    const double j = law.j;
    if (!(j < kInf)) return alpha;
    const double m = std::fabs(alpha);
    const double x = m * law.inv_j;
    double g;
    if (!(x <= kExactCount)) {
        g = (x * 0.5 + 0.5) * m;  // q -> x: m^2 / (2j) + m / 2 (and inf beyond the range)
    } else {
        const double q = std::floor(x);
        g = (q + 1.0) * (m - q * j * 0.5);
    }
    return std::copysign(g, alpha);
}

// g^-1(w): the alpha with g(alpha) = w. For w >= 0, with y = w / j, q is the
// largest whole number with T(q) <= y and alpha = (w + j T(q)) / (q + 1).
double gain_inverse(double w, const Law& law) noexcept {
    const double j = law.j;
    const double m = std::fabs(w);
    if (!(j < kInf)) return w;
    const double y = m * law.inv_j;
    double alpha;
    if (!(y <= kExactCount * kExactCount)) {
        // g ~ alpha^2 / (2j) + alpha / 2: alpha = sqrt(2 j w + j^2/4) - j/2.
        alpha = std::sqrt(2.0 * m) * std::sqrt(j);
    } else {
        double q = std::floor((std::sqrt(8.0 * y + 1.0) - 1.0) / 2.0);
        if (triangle(q) > y) {
            q -= 1.0;
        } else if (triangle(q + 1.0) <= y) {
            q += 1.0;
        }
        alpha = (m + j * triangle(q)) / (q + 1.0);  // exactly w when q = 0
    }
    return std::copysign(alpha, w);
}


// The braking law's step from (v, alpha): see the top of the file.
// Within a rounding allowance of the landing curve (v_f = 0) the law lands
// in the direction of v, so that the last period of a stop is v' = 0 exactly.
// `landing` is g^-1(-v), the step onto the landing curve.
double law_step(const Law& law, double v, double alpha, double landing) noexcept {
    const double vf = v + gain(alpha, law) - alpha;
    const double touch = kTouch * law.j;
    if (vf > touch || (vf >= -touch && v >= 0.0)) {
        return std::max({alpha - law.j, -law.s, landing});
    }
    return std::min({alpha + law.j, law.s, landing});
}

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
double down_distance(const Law& law, double v, double alpha) noexcept {
    const double j = law.j, s = law.s;
    if (!(j < kInf)) {
        // No jerk limit: v - s, v - 2s, ..., then 0.
        if (!(s < kInf) || !(v > 0.0)) return 0.0;
        const double n = std::floor(v / s);
        if (!(n <= kExactCount)) return v * (v / s) * 0.5;  // the continuous distance, a bound from above
        return n * v - s * triangle(n);
    }
    const double w = alpha * law.inv_j;
    const double c = std::ceil(w);
    const double rho = c - w;
    const double b = v * law.inv_j + c * (c - 1.0) * 0.5 - rho * c;
    double k;
    if (!(b + rho * rho >= 0.0)) {
        k = std::max(c - 1.0, 0.0);
    } else {
        double u = std::floor(std::sqrt(rho * rho + b) - rho);
        if (u * (u + 2.0 * rho) > b) {
            u -= 1.0;
        } else if ((u + 1.0) * (u + 1.0 + 2.0 * rho) <= b) {
            u += 1.0;
        }
        k = std::max({c + u, c - 1.0, 0.0});
    }
    bool hold = false;
    if (s < kInf) {
        const double ks = std::floor((alpha + s) * law.inv_j);
        if (k >= ks) {
            k = std::max(ks, 0.0);
            hold = true;
        }
    }
    if (!(k <= kExactCount)) return kInf;  // beyond the exact range: not admissible
    double distance = k * v + triangle(k) * alpha - j * tetrahedron(k);
    double ve = v + k * alpha - j * triangle(k);
    if (hold) {
        const double gs = law.gs;
        if (ve >= gs) {
            const double n = std::floor((ve - gs) * law.inv_s) + 1.0;
            if (!(n <= kExactCount)) return kInf;
            distance += n * ve - s * triangle(n);
            ve -= n * s;
        }
    }
    const double mt = gain_inverse(std::max(ve, 0.0), law);
    const double vt = ve - mt;
    const double x = mt * law.inv_j;
    const double q = std::floor(x);
    const double r = x - q;
    distance += vt + j * (q * (q - 1.0) * ((q - 2.0) / 6.0 + r * 0.5));
    return distance;
}

// The distance in periods that the upward law covers while v > 0, from
// (v > 0, alpha < 0) with v + g(alpha) - alpha < 0: alpha climbs by j, and
// v_k = v + k alpha + j T(k) stays positive for k <= K, all while alpha_k <= 0
// (after that v_k would be positive again only by rounding).
double rise(const Law& law, double v, double alpha) noexcept {
    const double j = law.j;
    const double w = alpha * law.inv_j;
    const double h = w + 0.5;
    const double disc = std::max(h * h - 2.0 * (v * law.inv_j), 0.0);
    double k = std::floor(-h - std::sqrt(disc));
    const auto vk = [&](double n) { return v + n * alpha + j * triangle(n); };
    k = std::max(k, 0.0);
    if (!(k <= kExactCount)) return kInf;
    if (k >= 1.0 && !(vk(k) > 0.0)) {
        k -= 1.0;
    } else if (vk(k + 1.0) > 0.0) {
        k += 1.0;
    }
    k = std::min(k, std::floor(-w));  // the ramp ends where alpha reaches 0
    return k * v + triangle(k) * alpha + j * tetrahedron(k);
}

// How far above its position the law from (v, alpha) takes a joint, in
// periods (>= 0): the whole downward stop, or the rise before an upward one.
double reach_up(const Law& law, double v, double alpha) noexcept {
    if (v <= 0.0 && alpha <= 0.0) return 0.0;  // moving down and slowing no further up: no rise
    if (!(law.j < kInf)) return std::max(down_distance(law, v, alpha), 0.0);
    const double vf = v + gain(alpha, law) - alpha;
    if (vf >= 0.0) {
        const double d = down_distance(law, v, alpha);
        return d > 0.0 ? d : (d == d ? 0.0 : kInf);
    }
    return v > 0.0 && alpha < 0.0 ? rise(law, v, alpha) : 0.0;
}

// ---- One joint, one period ------------------------------------------------

// What one joint is asked and allowed in one call.
struct JointInput {
    Law law;
    double dt;
    double p, v, alpha;   // the state
    double min_p, max_p;  // position limits for this call (a position command narrows them)
    double max_v;         // velocity limit, finite (see velocity_ceiling)
    double target;        // the desired velocity change alpha'
    double raw_target;    // before the arrival shaping
    bool exact;           // the allowed interval is wanted whole (coupling), not just the result
    double landing;       // g^-1(-v): the step onto the landing curve
    bool inside;          // the state is the limiter's own (not flagged RECOVERING)
    bool soft;            // margins no wider than half the room (the fall-backs)
};

// One side of the safe set, seen from above: the upper bound in alpha' with
// the flag of the limit that set it. The lower side is the upper side of the
// mirrored joint (v, alpha, positions negated).
struct Side {
    double p, v, alpha;
    double limit;       // the position limit on this side (+inf: none)
    double max_v;
    const Law* law;
    double dt;
    double margin;      // how far inside the limit the law places the joint
    bool from_rest;     // the law starts from (v + alpha', 0) rather than (v + alpha', alpha')
    // Position reached from the candidate alpha' minus the allowed position
    // (<= 0: safe); NaN counts as unsafe.
    double excess(double a, double allowance) const noexcept {
        const double vn = v + a;
        return (vn + reach_up(*law, vn, from_rest ? 0.0 : a)) * dt - ((limit - p) - allowance);
    }
    // excess(a, allowance) <= 0, decided first by a bound on the reach where
    // the limit is far: the peak speed vp <= max(v', 0) + a^2 / (2j), then at
    // most (a+ + 2s) / j + 3 periods of ramps at vp and a hold of
    // vp^2 / (2s) + vp / 2.
    bool quickly_safe(double a, double allowance) const noexcept {
        const double vn = v + a;
        const Law& l = *law;
        if (!(l.s < kInf && l.j < kInf)) return false;
        const double ap = from_rest ? 0.0 : std::max(a, 0.0);
        const double vp = std::max(vn, 0.0) + ap * ap * 0.5 * l.inv_j;
        const double bound = vp * ((ap + 2.0 * l.s) * l.inv_j + 3.0) + vp * (vp * 0.5 * l.inv_s + 0.5);
        return (vn + bound) * dt <= (limit - p) - allowance;
    }
    bool safe(double a, double allowance) const noexcept {
        return quickly_safe(a, allowance) || excess(a, allowance) <= 0.0;
    }
};

struct Bound {
    double value;         // the largest safe alpha' of the searched range (-inf: none)
    std::uint32_t flag;   // the KESTREL_LIMIT_* bit of the limit that set it
};

// The largest alpha' in [lo, hi] on the safe side of `side`, from the closed
// forms (velocity, its approach, the position after one period) and a
// bracketing search (regula falsi, Illinois) on the braking reach; or, when
// `want` is safe and below the closed forms, those (the search is skipped).
// A NaN `want` asks for the bound itself.
Bound upper_bound(const Side& side, double lo, double hi, std::uint32_t hi_flag, double want, double hint) noexcept {
    Bound b{hi, hi_flag};
    const auto cap = [&](double value, std::uint32_t flag) {
        if (value < b.value) b = {value, flag};
    };
    cap(side.max_v - side.v, KESTREL_LIMIT_VELOCITY);
    // The approach to max_v, v + g(alpha') <= max_v; g(m) <= m (m / j + 1)
    // tells cheaply when it cannot bind.
    if (!side.from_rest && b.value > 0.0 && side.v + b.value * (b.value * side.law->inv_j + 1.0) > side.max_v) {
        cap(gain_inverse(side.max_v - side.v, *side.law), KESTREL_LIMIT_VELOCITY);
    }
    if (!(side.limit < kInf)) return b;
    cap(((side.limit - side.margin) - side.p) / side.dt - side.v, KESTREL_LIMIT_POSITION);
    if (b.value < lo) return {-kInf, b.flag};
    const bool braking = side.law->j < kInf || side.law->s < kInf;
    if (!braking) return b;
    // A safe target below the caps is not cut by this side: the bound is
    // then left at the caps, unsearched.
    if (want >= lo && want < b.value && side.safe(want, side.margin)) return b;
    if (side.quickly_safe(b.value, side.margin)) return b;
    double fb = side.excess(b.value, side.margin);
    if (fb <= 0.0) return b;
    // The stop the law plans ends at the limit; a joint already there (within
    // its margin) is held by the position limit as much as by braking.
    const std::uint32_t braking_flag =
        KESTREL_LIMIT_BRAKING | (side.limit - side.p <= 2.0 * side.margin ? std::uint32_t{KESTREL_LIMIT_POSITION} : 0u);
    // The bracket: [lo, b] narrowed by the hint (the law's step), which is
    // the bound itself while a stop runs.
    double a = lo, x_hi = b.value;
    double fa = std::numeric_limits<double>::quiet_NaN();
    // A range far wider than the joint's own scale (a fall-back over the
    // whole velocity range) is first narrowed from its unsafe end, by probes
    // 4, 32, 256, ... times that scale below it (at most kWideProbes).
    const double scale = std::fabs(x_hi) + std::fabs(side.v) + std::min(side.law->j, side.law->s);
    double d = 4.0 * scale;
    for (int i = 0; i < kWideProbes && !(hint == hint) && x_hi - a > 2.0 * d; ++i, d *= 8.0) {
        const double x = x_hi - d;
        const double fx = side.excess(x, side.margin);
        if (fx <= 0.0) {
            a = x;
            fa = fx;
            break;
        }
        x_hi = x;
        fb = fx;
    }
    const double width = kSearchWidth * (x_hi - a) + 4.0 * DBL_EPSILON * std::max(std::fabs(a), std::fabs(x_hi));
    if (hint > lo && hint < x_hi) {
        const double fh = side.excess(hint, side.margin);
        if (fh <= 0.0) {
            // Riding the bound, the hint is the bound: one probe tells.
            const double probe = std::min(hint + width, x_hi);
            const double fp = side.excess(probe, side.margin);
            if (!(fp <= 0.0)) return {hint, braking_flag};
            a = probe;
            fa = fp;
        } else {
            x_hi = hint;
            fb = fh;
            fa = side.excess(a, side.margin);
        }
    } else if (!(fa == fa)) {  // not yet bracketed by the probes
        fa = side.excess(a, side.margin);
    }
    if (!(fa <= 0.0)) return {-kInf, braking_flag};
    if (fa == 0.0) return {a, braking_flag};  // on the bound exactly
    if (!(fb < DBL_MAX)) fb = DBL_MAX;
    const double step = std::min(side.law->j, side.law->s);  // finite: the side brakes
    int last = 0;  // which end moved last: -1 the safe one, +1 the other
    for (int i = 0; i < kMaxSearch && x_hi - a > width; ++i) {
        // A secant point within half the width of an end moves to that
        // distance: when the root sits at an end, the next probe ends it.
        // A bracket wider than a few steps of the joint, or an overflowing
        // end, is bisected: the reach grows too fast for a secant there.
        const bool wide = !(x_hi - a <= 8.0 * step) || !(fb < DBL_MAX);
        double x = wide ? a + 0.5 * (x_hi - a) : x_hi - fb * ((x_hi - a) / (fb - fa));
        const double guard = 0.5 * width;
        if (!(x >= a + guard)) x = a + guard;
        if (!(x <= x_hi - guard)) x = x_hi - guard;
        double fx = side.excess(x, side.margin);
        if (fx == 0.0) return {x, braking_flag};  // on the bound exactly
        if (fx < 0.0) {
            a = x;
            fa = fx;
            if (last == -1) fb *= 0.5;
            last = -1;
        } else {
            if (!(fx < DBL_MAX)) fx = DBL_MAX;
            x_hi = x;
            fb = fx;
            if (last == 1) fa *= 0.5;
            last = 1;
        }
    }
    return {a, braking_flag};
}

// True when alpha' keeps the state inside the set up to `allowance` inside
// the position limit (rather than the whole margin): the test that lets the
// law's own step stand when rounding puts a computed bound an ulp below it.
bool safe_loosely(const Side& side, double a, double allowance) noexcept {
    const double vn = side.v + a;
    if (!(vn <= side.max_v) || !(side.v + gain(a, *side.law) <= side.max_v * (1.0 + 4.0 * DBL_EPSILON))) {
        return false;
    }
    if (!(side.limit < kInf)) return true;
    return side.safe(a, allowance);
}

// The margin on one side: kPositionMargin of the position scale. When the
// state is outside the set (`soft`), never more than half the room left, so
// that the fall-backs do not ask a joint already close to its limit to jump
// away from it; inside, the law's own step covers that case.
double margin(const Law& law, double limit, double p, bool soft) noexcept {
    const bool braking = law.j < kInf || law.s < kInf;
    if (!braking || !(limit < kInf)) return 0.0;
    const double m = kPositionMargin * (std::fabs(limit) + std::fabs(p));
    return soft ? std::min(m, 0.5 * std::max(limit - p, 0.0)) : m;
}
Side upper_side(const JointInput& in, const Law& law) noexcept {
    return {in.p, in.v, in.alpha, in.max_p, in.max_v, &law, in.dt, margin(law, in.max_p, in.p, in.soft), false};
}
Side lower_side(const JointInput& in, const Law& law) noexcept {
    return {-in.p, -in.v, -in.alpha, -in.min_p, in.max_v, &law, in.dt, margin(law, -in.min_p, -in.p, in.soft), false};
}

struct Safe {
    Interval range;             // safe alpha' within the searched range (lo > hi: none)
    std::uint32_t lo_flag, hi_flag;
};

// The safe alpha' within [lo, hi], with the law's own step `keep` (when
// inside [lo, hi]) added where the rounding of the bounds left it out.
Safe safe_within(const JointInput& in, double lo, double hi, std::uint32_t lo_flag, std::uint32_t hi_flag,
                 double keep, double want) noexcept {
    const Side up = upper_side(in, in.law);
    const Side down = lower_side(in, in.law);
    const Bound u = upper_bound(up, lo, hi, hi_flag, want, keep);
    const Bound d = upper_bound(down, -hi, -lo, lo_flag, -want, -keep);
    Safe r{{-d.value, u.value}, d.flag, u.flag};
    // The law's step, and the step onto the landing curve (v_f = 0, where
    // the end of every stop runs), are exact where the search is not.
    // The law's step may use the margin (it is the rounding of the bound
    // that left it out); the landing step only half of it, so that a stop
    // that lands keeps half the margin for the roundings of its periods.
    for (int i = 0; i < 2 && keep == keep; ++i) {  // no lifts without the law's step (giving way)
        const double x = i == 0 ? keep : in.landing;
        const double share = i == 0 ? 0.0 : 0.5;
        if (x >= lo && x <= hi) {
            // From a state the limiter produced, the law's step needs no test:
            // it is inside the set by construction, whatever the rounding.
            const bool given = i == 0 && in.inside;
            if (x > r.range.hi && (given || safe_loosely(up, x, share * up.margin))) r.range.hi = x;
            if (x < r.range.lo && (given || safe_loosely(down, -x, share * down.margin))) r.range.lo = x;
        }
    }
    return r;
}

// The velocities v' from which the law, started at alpha = 0, keeps the
// position limits (with the margin): the set that stands when acceleration
// gives way. It holds 0, which is safe as p lies inside its limits.
Interval safe_from_rest(const JointInput& in) noexcept {
    Side up = upper_side(in, in.law), down = lower_side(in, in.law);
    for (Side* side : {&up, &down}) {
        side->v = 0.0;
        side->alpha = 0.0;
        side->from_rest = true;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Bound u = upper_bound(up, 0.0, in.max_v, KESTREL_LIMIT_BRAKING, nan, nan);
    const Bound d = upper_bound(down, 0.0, in.max_v, KESTREL_LIMIT_BRAKING, nan, nan);
    return {-std::max(d.value, 0.0), std::max(u.value, 0.0)};
}

// The point of [lo, hi] nearest x, and the distance from x to [lo, hi].
double nearest(Interval i, double x) noexcept { return std::min(std::max(x, i.lo), i.hi); }
double distance(Interval i, double x) noexcept { return std::max({i.lo - x, x - i.hi, 0.0}); }

// The point of `a` nearest the interval `b` (nearest `x` where they meet).
double nearest_to(Interval a, Interval b, double x) noexcept {
    if (b.lo > a.hi) return a.hi;
    if (b.hi < a.lo) return a.lo;
    return nearest({std::max(a.lo, b.lo), std::min(a.hi, b.hi)}, x);
}

struct JointResult {
    double alpha;          // alpha' = v' - v
    Interval allowed;      // the alpha' the result was taken from
    std::uint32_t binding; // KESTREL_LIMIT_* flags
    bool fell_back;        // the state was outside the set: jerk (and acceleration) could give way
};

JointResult limit_joint(const JointInput& given) noexcept {
    JointInput in = given;
    in.soft = false;
    const Law& law = in.law;
    std::uint32_t binding = 0;
    const double keep = law_step(law, in.v, in.alpha, in.landing);
    Interval box{std::max(in.alpha - law.j, -law.s), std::min(in.alpha + law.j, law.s)};
    // The law's step or the target an ulp outside the box (alpha - j
    // rounded, v + alpha rounded) touches it.
    for (double x : {keep, in.target}) {
        if (distance(box, x) <= kTouch * std::min(law.j, law.s)) {
            box = {std::max(std::min(box.lo, x), -law.s), std::min(std::max(box.hi, x), law.s)};
        }
    }
    const std::uint32_t lo_box = box.lo == -law.s ? KESTREL_LIMIT_ACCELERATION : KESTREL_LIMIT_JERK;
    const std::uint32_t hi_box = box.hi == law.s ? KESTREL_LIMIT_ACCELERATION : KESTREL_LIMIT_JERK;
    Safe safe{{1.0, 0.0}, 0, 0};
    if (box.lo <= box.hi) {
        safe = safe_within(in, box.lo, box.hi, lo_box, hi_box, nearest(box, keep),
                           in.exact ? std::numeric_limits<double>::quiet_NaN() : in.target);
    }
    Interval allowed = safe.range;
    std::uint32_t weak = 0;  // the limit that holds a point result away from the request
    if (!(allowed.lo <= allowed.hi)) {
        // Outside the set: jerk gives way to the safe set within the
        // acceleration limit, at its point nearest the jerk box ...
        in.soft = true;
        const Interval jerk{in.alpha - law.j, in.alpha + law.j};
        const double vlo = std::max(-law.s, -in.max_v - in.v);
        const double vhi = std::min(law.s, in.max_v - in.v);
        Safe wide{{1.0, 0.0}, 0, 0};
        if (vlo <= vhi) {
            const double nan = std::numeric_limits<double>::quiet_NaN();
            wide = safe_within(in, vlo, vhi, KESTREL_LIMIT_ACCELERATION, KESTREL_LIMIT_ACCELERATION, nan, nan);
        }
        double point;
        if (wide.range.lo <= wide.range.hi) {
            point = nearest_to(wide.range, jerk, in.target);
            safe = wide;
        } else {
            // ... and then acceleration too: the velocities from which the
            // law, started at rest in acceleration, keeps the limits, at
            // the point nearest the acceleration box.
            const Interval rest = safe_from_rest(in);
            const double v_new = nearest_to(rest, {in.v - law.s, in.v + law.s}, in.v + in.alpha);
            point = v_new - in.v;
            if (distance({-law.s, law.s}, point) > 0.0) binding |= KESTREL_LIMIT_ACCELERATION_YIELDED;
            safe = {rest, KESTREL_LIMIT_BRAKING, KESTREL_LIMIT_BRAKING};
            safe.range = {rest.lo - in.v, rest.hi - in.v};
        }
        // A miss of a rounding error's width is touching, not giving way.
        if (distance(jerk, point) > kTouch * law.j) binding |= KESTREL_LIMIT_JERK_YIELDED;
        weak = (binding & KESTREL_LIMIT_ACCELERATION_YIELDED) != 0 ? 0u
               : (binding & KESTREL_LIMIT_JERK_YIELDED) != 0      ? std::uint32_t{KESTREL_LIMIT_ACCELERATION}
                                                                  : std::uint32_t{KESTREL_LIMIT_JERK};
        allowed = {point, point};
    }

    // A limit bounded the result when the result sits at its end on the
    // side the request was cut from.
    double out = in.target;
    if (in.target > allowed.hi) {
        out = allowed.hi;
        binding |= out == safe.range.hi ? safe.hi_flag : weak;
    } else if (in.target < allowed.lo) {
        out = allowed.lo;
        binding |= out == safe.range.lo ? safe.lo_flag : weak;
    }
    if (out != in.raw_target && out == in.target) binding |= KESTREL_LIMIT_ARRIVAL;
    return {out, allowed, binding, in.soft};
}

// The largest speed the limiter lets a joint reach: the velocity limit, but
// no more than keeps v dt, the acceleration (v' - v) / dt and the sums of the
// braking law finite.
double velocity_ceiling(const KestrelJointLimits& l, double dt) noexcept {
    return std::min(l.max_velocity, DBL_MAX / 8.0 * dt);
}

// Whether the state (p, v, alpha) is outside the set: the law from it leaves
// a limit. Used after a reset and after acceleration gave way.
bool outside(const KestrelJointLimits& l, double dt, double p, double v, double alpha) noexcept {
    const Law law = make_law(l, dt);
    const double max_v = velocity_ceiling(l, dt);
    if (!(std::fabs(v) <= max_v) || !(std::fabs(alpha) <= law.s)) return true;
    if (!(v + gain(alpha, law) - alpha <= max_v) || !(v + gain(alpha, law) - alpha >= -max_v)) return true;
    if (l.max_position < kInf && !(p + reach_up(law, v, alpha) * dt <= l.max_position)) return true;
    if (l.min_position > -kInf && !(p - reach_up(law, -v, -alpha) * dt >= l.min_position)) return true;
    return false;
}

// Largest float <= x, and smallest float >= x (infinities stay infinite, a
// double beyond the float range becomes +-FLT_MAX on the inner side).
float float_below(double x) noexcept {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) {
        f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    }
    return f;
}
float float_above(double x) noexcept {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) {
        f = std::nextafter(f, std::numeric_limits<float>::infinity());
    }
    return f;
}

// The rows' tolerance (README, "Notes on behaviour"): the four-axis solver
// meets a row within 1e-5 plus 1.2e-5 of the command's magnitude times the
// row's norm.
constexpr double kRowTolerance = 1e-5;
constexpr double kRowRelative = 1.2e-5;

// Projects joints 0..3 onto the coupling rows (see the header). `allowed`
// holds each joint's interval of velocities, `limited` the per-joint
// results, updated in place only when the solver's answer, clamped back into
// the intervals, meets every row; joints at or beyond `count` are held at 0.
void couple(LimiterState& s, const Interval* allowed, double* limited, std::uint32_t* binding) noexcept {
    float desired[kCoupledJoints];
    Bounds4 box;
    double magnitude = 0.0;
    for (std::uint32_t k = 0; k < kCoupledJoints; ++k) {
        if (k >= s.count) {
            desired[k] = 0.0f;
            box.lower[k] = 0.0f;
            box.upper[k] = 0.0f;
            continue;
        }
        desired[k] = static_cast<float>(limited[k]);
        magnitude += limited[k] * limited[k];
        box.lower[k] = float_above(allowed[k].lo);
        box.upper[k] = float_below(allowed[k].hi);
        if (box.lower[k] > box.upper[k]) {
            // The interval is narrower than a float's spacing: pin the lane
            // at its (rounded) result; the clamp below restores the interval.
            box.lower[k] = box.upper[k] = desired[k];
        }
    }
    magnitude = std::sqrt(magnitude);
    kestrel_solve_multivar_4d(desired, &box, &s.coupling, &s.last_solve);
    const SolveStatus status = s.last_solve.status;
    double x[kCoupledJoints] = {0.0, 0.0, 0.0, 0.0};
    bool usable = status == KESTREL_STATUS_OPTIMAL || status == KESTREL_STATUS_MAX_ITERATIONS;
    for (std::uint32_t k = 0; k < kCoupledJoints && k < s.count && usable; ++k) {
        const float xk = s.last_solve.x[k];
        if (!std::isfinite(xk)) {
            usable = false;
        } else {
            // Unmoved lanes keep their double value.
            x[k] = xk == desired[k] ? limited[k] : std::clamp(static_cast<double>(xk), allowed[k].lo, allowed[k].hi);
        }
    }
    // Every row, in double, at the values that would be commanded.
    for (std::uint64_t i = 0; i < s.coupling.count && usable; ++i) {
        double dot = 0.0, norm = 0.0;
        for (std::uint32_t k = 0; k < kCoupledJoints; ++k) {
            const double c = s.coupling.coefficients[i][k];
            if (c != 0.0) dot += c * x[k];
            norm += c * c;
        }
        const double limit = s.coupling.limits[i];
        if (!(dot <= limit + kRowTolerance + kRowRelative * magnitude * std::sqrt(norm)) && !(limit == kInf)) {
            usable = false;
        }
    }
    const std::uint32_t n = std::min(s.count, kCoupledJoints);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (!usable) {
            binding[k] |= KESTREL_LIMIT_COUPLING_UNMET;
        } else if (x[k] != limited[k]) {
            limited[k] = x[k];
            binding[k] |= KESTREL_LIMIT_COUPLING;
        }
    }
}

double finite_or_max(double x) noexcept { return std::clamp(x, -DBL_MAX, DBL_MAX); }

// A call of limit (positions null) or limit_position: one step of every joint.
KestrelError step_all(KestrelJointLimiter* limiter, const double* desired, const double* positions,
                             double* out_velocities, double* out_positions, std::uint32_t* binding) noexcept {
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LimiterState& s = *state_of(limiter);
    const double dt = s.period;
    Interval allowed[kCoupledJoints];        // velocities, for the solver
    Interval allowed_steps[kCoupledJoints];  // the same as alpha'

    // Every result is formed before anything is written, so inputs may alias outputs.
    double out[kMaxJoints];
    double steps[kMaxJoints];  // alpha' as chosen: v + alpha' is rounded, alpha' is kept exact
    for (std::uint32_t j = 0; j < s.count; ++j) {
        const KestrelJointLimits& l = s.limits[j];
        JointInput in;
        in.law = make_law(l, dt);
        in.dt = dt;
        in.p = s.position[j];
        in.v = s.velocity[j];
        in.alpha = s.step[j];
        in.min_p = l.min_position;
        in.max_p = l.max_position;
        in.max_v = velocity_ceiling(l, dt);
        std::uint32_t stop = 0;
        double vd;
        if (positions != nullptr) {
            // A position command: the target narrows the limit on its side
            // and the joint is asked for full speed towards it.
            const double target = positions[j];
            if (target != target) {
                vd = 0.0;
                stop = KESTREL_LIMIT_STOP_REQUEST;
            } else if (target >= in.p) {
                // Narrowed only while the joint can still stop at the
                // target; otherwise it brakes through it and comes back.
                if (in.p + reach_up(in.law, in.v, in.alpha) * dt <= target) {
                    in.max_p = std::min(in.max_p, target);
                    vd = target > in.p ? in.max_v : 0.0;
                } else {
                    vd = -in.max_v;
                }
            } else {
                if (in.p - reach_up(in.law, -in.v, -in.alpha) * dt >= target) {
                    in.min_p = std::max(in.min_p, target);
                    vd = -in.max_v;
                } else {
                    vd = in.max_v;
                }
            }
        } else {
            vd = desired[j];
            if (!std::isfinite(vd)) {
                vd = 0.0;
                stop = KESTREL_LIMIT_STOP_REQUEST;
            }
        }
        vd = std::clamp(vd, -2.0 * in.max_v, 2.0 * in.max_v);
        in.raw_target = vd - in.v;
        in.target = s.pure_tracking != 0 || positions != nullptr ? in.raw_target
                                                                 : gain_inverse(in.raw_target, in.law);
        if (positions != nullptr) in.raw_target = in.target;
        in.exact = j < kCoupledJoints && s.coupling.count > 0;
        in.landing = gain_inverse(-in.v, in.law);
        in.inside = (s.binding[j] & KESTREL_LIMIT_RECOVERING) == 0;
        const JointResult r = limit_joint(in);
        // An uncut request is returned as given (v + (v_d - v) may round).
        out[j] = r.alpha == in.raw_target && positions == nullptr ? vd
                                                                  : std::clamp(in.v + r.alpha, -in.max_v, in.max_v);
        // alpha' stays in its interval even where v + alpha' rounds (or the
        // velocity clamp moves v' by an ulp): the law runs on alpha.
        steps[j] = out[j] == in.v + r.alpha ? r.alpha : std::clamp(out[j] - in.v, r.allowed.lo, r.allowed.hi);
        s.binding[j] = r.binding | stop | (r.fell_back ? std::uint32_t{KESTREL_LIMIT_RECOVERING} : 0u);
        if (j < kCoupledJoints) {
            // Clamped like the result (monotone, so lo <= hi stays).
            allowed_steps[j] = r.allowed;
            allowed[j] = {std::clamp(in.v + r.allowed.lo, -in.max_v, in.max_v),
                          std::clamp(in.v + r.allowed.hi, -in.max_v, in.max_v)};
        }
    }
    if (s.coupling.count > 0) {
        couple(s, allowed, out, s.binding);
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        const KestrelJointLimits& l = s.limits[j];
        // p + v' dt can round an ulp past a limit (or overflow when a limit is
        // absent): keep p inside its limits and finite.
        const double p = s.position[j] + out[j] * dt;
        s.position[j] = std::clamp(finite_or_max(p), std::max(l.min_position, -DBL_MAX),
                                   std::min(l.max_position, DBL_MAX));
        // The law's sums run on alpha; keeping the chosen alpha' rather than
        // the rounded v' - v keeps a ramp at max jerk exact period after
        // period (the rounding of v' alone moves a stop far less).
        // A coupled result keeps alpha' inside its interval: v' - v may round
        // past it where v' is large beside the step.
        if (j < kCoupledJoints && out[j] != s.velocity[j] + steps[j]) {
            steps[j] = std::clamp(out[j] - s.velocity[j], allowed_steps[j].lo, allowed_steps[j].hi);
        }
        s.step[j] = steps[j];
        s.velocity[j] = out[j];
        // After a fall-back the state may still be outside: so it says.
        if ((s.binding[j] & KESTREL_LIMIT_RECOVERING) && !outside(l, dt, s.position[j], s.velocity[j], s.step[j])) {
            s.binding[j] &= ~std::uint32_t{KESTREL_LIMIT_RECOVERING};
        }
        if (out_velocities != nullptr) out_velocities[j] = out[j];
        if (out_positions != nullptr) out_positions[j] = s.position[j];
        if (binding != nullptr) binding[j] = s.binding[j];
    }
    return KESTREL_OK;
}

}  // namespace

extern "C" {

size_t kestrel_joint_limiter_size(void) { return sizeof(KestrelJointLimiter); }

KestrelError kestrel_joint_limiter_init(KestrelJointLimiter* limiter, std::uint32_t count,
                                               const KestrelJointLimits* limits, double period,
                                               const double* positions) {
    if (!placeable(limiter) || limits == nullptr || positions == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (count == 0 || count > kMaxJoints) {
        return KESTREL_ERROR_BAD_JOINT_COUNT;
    }
    if (!(period > 0.0 && period <= 1.0)) {
        return KESTREL_ERROR_BAD_PERIOD;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!limits_valid(limits[j], period)) {
            return KESTREL_ERROR_BAD_LIMITS;
        }
    }
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!position_valid(limits[j], positions[j])) {
            return KESTREL_ERROR_BAD_POSITION;
        }
    }
    LimiterState* s = new (limiter->opaque) LimiterState{};
    s->count = count;
    s->period = period;
    for (std::uint32_t j = 0; j < count; ++j) {
        s->limits[j] = limits[j];
        s->position[j] = positions[j];
    }
    s->last_solve.status = KESTREL_STATUS_OPTIMAL;
    s->magic = kMagic;
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_limit(KestrelJointLimiter* limiter, const double* desired,
                                                double* limited, std::uint32_t* binding) {
    if (limiter == nullptr || desired == nullptr || limited == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    return step_all(limiter, desired, nullptr, limited, nullptr, binding);
}

KestrelError kestrel_joint_limiter_limit_position(KestrelJointLimiter* limiter,
                                                         const double* desired_positions,
                                                         double* limited_positions, std::uint32_t* binding) {
    if (limiter == nullptr || desired_positions == nullptr || limited_positions == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    return step_all(limiter, nullptr, desired_positions, nullptr, limited_positions, binding);
}

KestrelError kestrel_joint_limiter_reset(KestrelJointLimiter* limiter, const double* positions,
                                                const double* velocities) {
    if (limiter == nullptr || positions == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LimiterState& s = *state_of(limiter);
    for (std::uint32_t j = 0; j < s.count; ++j) {
        if (!position_valid(s.limits[j], positions[j])) {
            return KESTREL_ERROR_BAD_POSITION;
        }
        if (velocities != nullptr && !std::isfinite(velocities[j])) {
            return KESTREL_ERROR_BAD_VELOCITY;
        }
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        s.position[j] = positions[j];
        s.velocity[j] = velocities != nullptr ? velocities[j] : 0.0;
        s.step[j] = 0.0;
        s.binding[j] = outside(s.limits[j], s.period, s.position[j], s.velocity[j], 0.0) ? KESTREL_LIMIT_RECOVERING : 0;
    }
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_state(const KestrelJointLimiter* limiter, std::uint32_t* count,
                                                double* positions, double* velocities, double* accelerations,
                                                std::uint32_t* binding) {
    if (limiter == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    const LimiterState& s = *state_of(limiter);
    if (count != nullptr) {
        *count = s.count;
    }
    for (std::uint32_t j = 0; j < s.count; ++j) {
        if (positions != nullptr) positions[j] = s.position[j];
        if (velocities != nullptr) velocities[j] = s.velocity[j];
        if (accelerations != nullptr) accelerations[j] = finite_or_max(s.step[j] / s.period);
        if (binding != nullptr) binding[j] = s.binding[j];
    }
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_set_pure_tracking(KestrelJointLimiter* limiter, uint32_t on) {
    if (limiter == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    state_of(limiter)->pure_tracking = on != 0 ? 1u : 0u;
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_set_coupling(KestrelJointLimiter* limiter,
                                                       const LinearConstraints4* rows) {
    if (limiter == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    LinearConstraints4 copy{};
    if (rows != nullptr) {
        copy = *rows;
        if (copy.count > kCoupledJoints) {
            return KESTREL_ERROR_BAD_COUPLING;
        }
        for (std::uint64_t i = 0; i < copy.count; ++i) {
            for (float c : copy.coefficients[i]) {
                if (std::isnan(c)) return KESTREL_ERROR_BAD_COUPLING;
            }
            if (std::isnan(copy.limits[i])) return KESTREL_ERROR_BAD_COUPLING;
        }
    }
    LimiterState& s = *state_of(limiter);
    s.coupling = copy;
    s.last_solve = Solution4{};
    s.last_solve.status = KESTREL_STATUS_OPTIMAL;
    return KESTREL_OK;
}

KestrelError kestrel_joint_limiter_coupling_result(const KestrelJointLimiter* limiter, Solution4* last) {
    if (limiter == nullptr || last == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    if (!initialised(limiter)) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    const LimiterState& s = *state_of(limiter);
    if (s.coupling.count == 0) {
        return KESTREL_ERROR_NOT_COUPLED;
    }
    *last = s.last_solve;
    return KESTREL_OK;
}

}  // extern "C"
