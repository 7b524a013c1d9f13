// The braking law's sums in closed form: see braking_law.hpp.
#include "limiter/braking_law.hpp"

#include <algorithm>
#include <cmath>

namespace kestrel::limiter {

Law make_law(const KestrelJointLimits& l, double dt) noexcept {
    const double j = l.max_jerk * dt * dt, s = l.max_acceleration * dt;
    Law law{j, s, 1.0 / j, 1.0 / s, 0.0};
    law.gs = gain(s, law);
    return law;
}

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

double law_step(const Law& law, double v, double alpha, double landing) noexcept {
    const double vf = v + gain(alpha, law) - alpha;
    const double touch = kTouch * law.j;
    if (vf > touch || (vf >= -touch && v >= 0.0)) {
        return std::max({alpha - law.j, -law.s, landing});
    }
    return std::min({alpha + law.j, law.s, landing});
}

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

}  // namespace kestrel::limiter
