// One joint's step: the safe set's bounds by closed forms and a bracketing
// search on the braking reach, and the fall-backs from a state outside it.
#include "limiter/joint_step.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "limiter/limiter_state.hpp"

namespace kestrel::limiter {

namespace {

// The braking law places a joint at most this fraction of its position scale
// (|limit| + |p|) inside a position limit it brakes for, so that the rounding
// of p + v' dt over the periods of a stop (half an ulp each, 2^-53) cannot
// carry the stop past the limit itself: 2^-44 is 512 such roundings.
constexpr double kPositionMargin = 5.684341886080802e-14;  // 2^-44

// The root search for a braking bound stops when its bracket is this
// fraction of the searched width (or a few ulps) wide, or after kMaxSearch
// evaluations; the bound kept is the bracket's safe end.
constexpr double kSearchWidth = 9.094947017729282e-13;  // 2^-40
constexpr int kMaxSearch = 48;
constexpr int kWideProbes = 12;

// One side of the safe set, seen from above: the upper bound in alpha' with
// the flag of the limit that set it. The lower side is the upper side of the
// mirrored joint (v, alpha, positions negated).
struct Side {
    double p, v, alpha;
    double limit;  // the position limit on this side (+inf: none)
    double max_v;
    const Law* law;
    double dt;
    double margin;   // how far inside the limit the law places the joint
    bool from_rest;  // the law starts from (v + alpha', 0) rather than (v + alpha', alpha')
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
    double value;        // the largest safe alpha' of the searched range (-inf: none)
    std::uint32_t flag;  // the KESTREL_LIMIT_* bit of the limit that set it
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
    int last = 0;                                            // which end moved last: -1 the safe one, +1 the other
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
    Interval range;  // safe alpha' within the searched range (lo > hi: none)
    std::uint32_t lo_flag, hi_flag;
};

// The safe alpha' within [lo, hi], with the law's own step `keep` (when
// inside [lo, hi]) added where the rounding of the bounds left it out.
Safe safe_within(const JointInput& in, double lo, double hi, std::uint32_t lo_flag, std::uint32_t hi_flag, double keep,
                 double want) noexcept {
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

}  // namespace

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
               : (binding & KESTREL_LIMIT_JERK_YIELDED) != 0       ? std::uint32_t{KESTREL_LIMIT_ACCELERATION}
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

double velocity_ceiling(const KestrelJointLimits& l, double dt) noexcept {
    return std::min(l.max_velocity, largest_speed(dt));
}

bool outside(const KestrelJointLimits& l, double dt, double p, double v, double alpha) noexcept {
    const Law law = make_law(l, dt);
    const double max_v = velocity_ceiling(l, dt);
    if (!(std::fabs(v) <= max_v) || !(std::fabs(alpha) <= law.s)) return true;
    if (!(v + gain(alpha, law) - alpha <= max_v) || !(v + gain(alpha, law) - alpha >= -max_v)) return true;
    if (l.max_position < kInf && !(p + reach_up(law, v, alpha) * dt <= l.max_position)) return true;
    if (l.min_position > -kInf && !(p - reach_up(law, -v, -alpha) * dt >= l.min_position)) return true;
    return false;
}

}  // namespace kestrel::limiter
