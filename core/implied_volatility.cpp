// European implied volatility after Jaeckel, "Let's Be Rational" (Wilmott,
// 2015).  Notation of the paper: x = ln(F/K) <= 0 after the reductions,
// s = sigma sqrt(t), h = x/s, t = s/2 (here `half_s`, to keep t for time).
// With H = -h >= 0, u = H - s/2 and v = H + s/2 every price is
//   b(x, s) = phi~ (R(u) - R(v)),   phi~ = e^{-(H^2 + (s/2)^2)/2} / sqrt(2 pi),
// R the Mills ratio, and phi~ = db/ds is the normalised vega.  The form
// evaluates b without overflow and, region by region, without cancellation:
// an asymptotic series when u is large, a Taylor series in s/2 when s is
// small, the difference of two Mills ratios elsewhere.
#include "implied_volatility.hpp"

#include <cmath>
#include <limits>

#include "implied_volatility_detail.hpp"

namespace greekmill::implied_volatility {
namespace detail {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// sqrt(pi) (0x3FFC5BF891B4EF6B), 1/sqrt(2 pi) (0x3FD9884533D43651),
// sqrt(pi/2) (0x3FF40D931FF62706), ln sqrt(2 pi) (0x3FED67F1C864BEB5),
// 1/sqrt 2 (0x3FE6A09E667F3BCD), sqrt 3 (0x3FFBB67AE8584CAA) and
// 2 pi / (3 sqrt 3) (0x3FF358E1A79ED7E1), each rounded to double.
constexpr double kSqrtPi = 1.772453850905516;
constexpr double kInvSqrt2Pi = 0.3989422804014327;
constexpr double kSqrtHalfPi = 1.2533141373155003;
constexpr double kLogSqrt2Pi = 0.9189385332046728;
constexpr double kInvSqrt2 = 0.7071067811865476;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kTwoPiOver3Sqrt3 = 1.2091995761561452;

// Region boundaries of b(x, s), chosen so that the rounding error of each
// form stays below what the conditioning of sigma on the price allows
// (docs/implied_volatility.md): the asymptotic series from u = 10 on (its
// terms fall at least as fast as 1/u^2 = 0.01 until far past the last one
// needed), the Taylor series in s/2 while s/2 < 1/2 and H s/2 < 1 (where the
// difference R(u) - R(v) would cancel more than the vega allows).
constexpr double kAsymptoticU = 10.0;
constexpr double kTaylorHalfS = 0.5;
constexpr double kTaylorProduct = 1.0;

// The Householder iteration: at least two steps, more only while the last
// relative step exceeds kConvergedStep.
constexpr int kMaxIterations = 8;
constexpr double kConvergedStep = 1e-5;

// Veltkamp's split for Dekker's exact product (2^27 + 1).
constexpr double kSplitter = 134217729.0;

struct TwoDouble {
    double hi;
    double lo;
};

// a * b = hi + lo exactly (Dekker 1971), without a fused multiply-add: the
// core is built with contraction off, so every step below rounds as written.
[[nodiscard]] inline TwoDouble exact_product(double a, double b) noexcept {
    const double p = a * b;
    const double ca = kSplitter * a;
    const double a_hi = ca - (ca - a);
    const double a_lo = a - a_hi;
    const double cb = kSplitter * b;
    const double b_hi = cb - (cb - b);
    const double b_lo = b - b_hi;
    const double e = ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
    return {p, e};
}

// Phi(z) through erfc, accurate in the lower tail.
[[nodiscard]] inline double normal_cdf_of(double z) noexcept {
    return 0.5 * std::erfc(-z * kInvSqrt2);
}

// The normalised vega phi~ = e^{-(H^2 + (s/2)^2)/2} / sqrt(2 pi).
[[nodiscard]] inline double normalised_vega(double big_h, double half_s) noexcept {
    return std::exp(-0.5 * (big_h * big_h + half_s * half_s)) * kInvSqrt2Pi;
}

// R(u) - R(v) for u = H - s/2 >= 10 from the asymptotic expansion
//   R(z) ~ sum_k (-1)^k (2k-1)!! / z^{2k+1}   (Abramowitz & Stegun 26.2.12).
// Each difference of powers is formed without cancellation:
//   u^{-n} - v^{-n} = u^{-n} (1 - rho^n) = u^{-n} (2 s/2 / v) (1 + rho + ... + rho^{n-1}),
// rho = u / v, so the series is (s / (u v)) sum_k (-1)^k (2k-1)!! u^{-2k} S_{2k+1}.
[[nodiscard]] double mills_difference_asymptotic(double u, double v, double s) noexcept {
    const double rho = u / v;
    const double a = 1.0 / (u * u);
    double power = rho;  // rho^{2k+1}
    double partial = 1.0;  // S_{2k+1} = 1 + rho + ... + rho^{2k}
    double coefficient = 1.0;  // (-1)^k (2k-1)!! a^k
    double sum = 1.0;
    for (int k = 0; k < 60; ++k) {
        partial += power + power * rho;
        power *= rho * rho;
        coefficient *= -(2.0 * k + 1.0) * a;
        const double term = coefficient * partial;
        sum += term;
        if (std::fabs(term) <= 0.0625 * kEpsilon * sum) {
            break;
        }
    }
    return (s / (u * v)) * sum;
}

// R(H - s/2) - R(H + s/2) = 2 sum_k J_{2k+1}(H) (s/2)^{2k+1} / (2k+1)!, with
//   J_n(H) = (-1)^n R^{(n)}(H) = int_0^inf y^n e^{-H y - y^2/2} dy > 0,
//   J_0 = R(H), J_1 = 1 - H J_0, J_{n+1} = n J_{n-1} - H J_n.
// The forward recurrence loses about (H s/2)^{2k} / (2k+1)! relative in
// term k, which H s/2 < 1 keeps below the first term's own rounding.  The
// cancellation in J_1 = 1 - H R(H) itself is the conditioning of the
// problem: the vega is small relative to the price in the same proportion.
[[nodiscard]] double mills_difference_taylor(double big_h, double half_s) noexcept {
    const double w = half_s * half_s;
    double j_previous = mills_ratio(big_h);  // J_0
    double j = 1.0 - big_h * j_previous;     // J_1
    double weight = half_s;                  // (s/2)^{2k+1} / (2k+1)!
    double sum = j * weight;
    for (int n = 1; n < 23; n += 2) {
        // Two steps of the recurrence: J_n -> J_{n+1} -> J_{n+2}.
        const double j_even = n * j_previous - big_h * j;
        const double j_odd = (n + 1) * j - big_h * j_even;
        j_previous = j_even;
        j = j_odd;
        weight *= w / ((n + 1.0) * (n + 2.0));
        const double term = j * weight;
        sum += term;
        if (term <= 0.0625 * kEpsilon * sum) {
            break;
        }
    }
    return 2.0 * sum;
}

struct Black {
    double b;            // b(x, s)
    double vega;         // db/ds = phi~
    double vega_over_b;  // (db/ds) / b = 1 / (R(u) - R(v))
    double log_vega;     // ln phi~, finite where phi~ underflows
};

// b(x, s) with its vega and logarithmic derivative, for x <= 0, s > 0;
// b_max = e^{x/2}.
[[nodiscard]] Black evaluate(double x, double s, double b_max) noexcept {
    const double half_s = 0.5 * s;
    const double big_h = -x / s;
    const double u = big_h - half_s;
    const double v = big_h + half_s;
    const double exponent = -0.5 * (big_h * big_h + half_s * half_s);
    const double vega = std::exp(exponent) * kInvSqrt2Pi;
    const double log_vega = exponent - kLogSqrt2Pi;
    double mills;  // b / phi~
    if (u >= kAsymptoticU) {
        mills = mills_difference_asymptotic(u, v, s);
    } else if (half_s < kTaylorHalfS && big_h * half_s < kTaylorProduct) {
        mills = mills_difference_taylor(big_h, half_s);
    } else if (u >= 0.0) {
        mills = mills_ratio(u) - mills_ratio(v);
    } else {
        // Phi(-u) >= 1/2 here: the first term dominates, and e^{-x/2} Phi(-v)
        // = phi~ R(v) keeps the second from overflowing.
        const double b = b_max * normal_cdf_of(-u) - vega * mills_ratio(v);
        return {b, vega, vega / b, log_vega};
    }
    return {vega * mills, vega, 1.0 / mills, log_vega};
}

// ln b, also where b underflows: ln phi~ + ln(R(u) - R(v)).
[[nodiscard]] inline double log_of(const Black& e) noexcept {
    return e.log_vega - std::log(e.vega_over_b);
}

// b_max - b(x, s) = e^{x/2} Phi(u) + phi~ R(v) with phi~ = db/ds: two
// positive terms, so the distance to the upper bound keeps its relative
// accuracy as s grows.
struct Gap {
    double gap;
    double vega;
};

[[nodiscard]] Gap distance_to_upper_bound(double x, double s, double b_max) noexcept {
    const double half_s = 0.5 * s;
    const double big_h = -x / s;
    const double u = big_h - half_s;
    const double v = big_h + half_s;
    const double vega = normalised_vega(big_h, half_s);
    return {b_max * normal_cdf_of(u) + vega * mills_ratio(v), vega};
}

// The rational cubic of Delbourgo and Gregory (1985) through (x_l, y_l) and
// (x_r, y_r) with slopes d_l, d_r; r = 3 is the cubic Hermite interpolant,
// larger r pulls it towards the chord.
[[nodiscard]] double rational_cubic(double x, double x_l, double x_r, double y_l, double y_r,
                                    double d_l, double d_r, double r) noexcept {
    const double h = x_r - x_l;
    if (!(h > 0.0)) {
        return 0.5 * (y_l + y_r);
    }
    const double tau = (x - x_l) / h;
    const double omega = 1.0 - tau;
    const double numerator = y_r * tau * tau * tau + (r * y_r - h * d_r) * tau * tau * omega +
                             (r * y_l + h * d_l) * tau * omega * omega +
                             y_l * omega * omega * omega;
    return numerator / (1.0 + (r - 3.0) * tau * omega);
}

// The control parameter that gives the interpolant the second derivative
// y2 at its left (or right) end (Jaeckel 2015, section 5), raised where
// needed to the least value that keeps the interpolant monotone and of one
// convexity (Delbourgo and Gregory's conditions).
[[nodiscard]] double control_parameter(double h, double d_l, double d_r, double delta,
                                       double y2, bool at_left) noexcept {
    double r = at_left ? (0.5 * h * y2 + (d_r - d_l)) / (delta - d_l)
                       : (0.5 * h * y2 + (d_r - d_l)) / (d_r - delta);
    // Convexity: no inflection inside when r >= both end-point bounds.
    const double r_left = (d_r - d_l) / (delta - d_l);
    const double r_right = (d_r - d_l) / (d_r - delta);
    if (r_left > 0.0 && r_right > 0.0) {
        r = std::fmax(r, std::fmax(r_left, r_right));
    }
    // Monotonicity.
    if (delta != 0.0) {
        r = std::fmax(r, (d_l + d_r) / delta);
    }
    if (!std::isfinite(r) || r < 0.0) {
        return 3.0;
    }
    return r;
}

// The lower transformation f_l(s) = (2 pi |x| / (3 sqrt 3)) Phi(-|x| / (sqrt 3 s))^3
// has b's leading behaviour as s -> 0 (Jaeckel 2015, eq. 4.9): it is close
// to b on the lowest branch and inverts in closed form.
struct LowerMap {
    double f;
    double df;   // d f_l / ds
    double d2f;  // d^2 f_l / ds^2
};

[[nodiscard]] LowerMap lower_map(double x, double s) noexcept {
    const double ax = -x;
    const double z = -ax / (kSqrt3 * s);
    const double dz = -z / s;
    const double d2z = 2.0 * z / (s * s);
    const double p = normal_cdf_of(z);
    const double d = std::exp(-0.5 * z * z) * kInvSqrt2Pi;
    const double c = kTwoPiOver3Sqrt3 * ax;
    const double f = c * p * p * p;
    const double df = 3.0 * c * p * p * d * dz;
    const double d2f = 3.0 * c * p * (2.0 * d * d * dz * dz - z * p * d * dz * dz + p * d * d2z);
    return {f, df, d2f};
}

[[nodiscard]] double inverse_lower_map(double x, double f) noexcept {
    const double ax = -x;
    const double y = std::cbrt(f / (kTwoPiOver3Sqrt3 * ax));
    return -ax / (kSqrt3 * inverse_normal_cdf_lower(y));
}

// One step of Householder's third-order method for g(s) = 0, given the
// Newton step nu = -g/g' and the ratios h2 = g''/g', h3 = g'''/g'.
[[nodiscard]] inline double householder_step(double nu, double h2, double h3) noexcept {
    return nu * (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu / 6.0));
}

enum class Branch : std::uint8_t { Lower, MiddleLower, MiddleUpper, Upper };

}  // namespace

double scaled_erfc(double y) noexcept {
    if (y < 26.0) {
        // e^{y^2} with y^2 split exactly, so that the exponential sees no
        // rounding of its argument: e^{hi + lo} = e^{hi} (1 + lo).
        const TwoDouble y2 = exact_product(y, y);
        return std::exp(y2.hi) * std::erfc(y) * (1.0 + y2.lo);
    }
    // erfc(y) underflows; the asymptotic series of A&S 7.1.23 has converged
    // to double precision after seven terms at y = 26.
    const double w = 0.5 / (y * y);
    const double series =
        1.0 -
        w * (1.0 - 3.0 * w * (1.0 - 5.0 * w * (1.0 - 7.0 * w * (1.0 - 9.0 * w * (1.0 - 11.0 * w * (1.0 - 13.0 * w))))));
    return series / (y * kSqrtPi);
}

double mills_ratio(double z) noexcept {
    return kSqrtHalfPi * scaled_erfc(z * kInvSqrt2);
}

double normalised_black(double x, double s) noexcept {
    if (!(s > 0.0)) {
        return 0.0;
    }
    return evaluate(x, s, std::exp(0.5 * x)).b;
}

double inverse_normal_cdf_lower(double p) noexcept {
    // Abramowitz & Stegun 26.2.23 (|error| < 4.5e-4), then one Halley step
    // on Phi(z) = p, whose residual is formed relative to phi(z):
    //   (Phi(z) - p) / phi(z) = R(-z) - p sqrt(2 pi) e^{z^2/2}.
    const double w = std::sqrt(-2.0 * std::log(p));
    const double z0 = -(w - (2.515517 + w * (0.802853 + w * 0.010328)) /
                                (1.0 + w * (1.432788 + w * (0.189269 + w * 0.001308))));
    if (!(z0 < 0.0)) {
        return z0 > -1e-3 ? std::fmin(z0, 0.0) : z0;
    }
    const double e = mills_ratio(-z0) - p * std::exp(0.5 * z0 * z0) / kInvSqrt2Pi;
    return z0 - e / (1.0 + 0.5 * z0 * e);
}

double normalised_total_volatility(double beta, double x) noexcept {
    const double b_max = std::exp(0.5 * x);
    // The point of inflection s_c = sqrt(2|x|) splits b into a convex lower
    // and a concave upper part; the tangent there meets 0 at s_l and b_max at
    // s_u (Jaeckel 2015, eqs. 4.1-4.4).  At x = 0, s_c = 0 and only the upper
    // part exists.
    const double s_c = std::sqrt(-2.0 * x);
    // At s_c, u = 0 and H = s/2 = sqrt(|x|/2): phi~ = e^{x/2} / sqrt(2 pi)
    // and R(u) = R(0) = sqrt(pi/2) in closed form.
    const double vega_c = b_max * kInvSqrt2Pi;
    double b_c = 0.0;
    if (s_c > 0.0) {
        const double half_c = 0.5 * s_c;
        const double mills_c = half_c < kTaylorHalfS
                                   ? mills_difference_taylor(half_c, half_c)
                                   : kSqrtHalfPi - mills_ratio(s_c);
        b_c = vega_c * mills_c;
    }

    Branch branch;
    double s;
    if (beta <= b_c) {
        const double s_l = s_c - b_c / vega_c;
        const Black at_l = s_l > 0.0 ? evaluate(x, s_l, b_max) : Black{0.0, 0.0, kInfinity, -kInfinity};
        if (beta < at_l.b) {
            // Lowest branch: interpolate f_l in beta on [0, b_l], f_l ~ b as
            // beta -> 0, matching f_l''(beta) at b_l, then invert f_l.
            branch = Branch::Lower;
            const LowerMap m = lower_map(x, s_l);
            const double d_r = m.df / at_l.vega;
            const double b2_over_b1 = (x * x) / (s_l * s_l * s_l) - 0.25 * s_l;
            const double f2 = (m.d2f - m.df * b2_over_b1) / (at_l.vega * at_l.vega);
            const double delta = m.f / at_l.b;
            const double r = control_parameter(at_l.b, 1.0, d_r, delta, f2, false);
            const double f = rational_cubic(beta, 0.0, at_l.b, 0.0, m.f, 1.0, d_r, r);
            s = f > 0.0 ? inverse_lower_map(x, f) : 0.0;
            if (!(s > 0.0) || !(s < s_l)) {
                s = s_l * 0.5;
            }
        } else {
            // s(beta) is concave here; its second derivative vanishes at s_c.
            branch = Branch::MiddleLower;
            const double d_l = 1.0 / at_l.vega;
            const double d_r = 1.0 / vega_c;
            const double h = b_c - at_l.b;
            const double delta = (s_c - s_l) / h;
            const double r = control_parameter(h, d_l, d_r, delta, 0.0, false);
            s = at_l.vega > 0.0 ? rational_cubic(beta, at_l.b, b_c, s_l, s_c, d_l, d_r, r)
                                : s_l + (beta - at_l.b) * delta;
        }
    } else {
        const double s_u = s_c + (b_max - b_c) / vega_c;
        const Black at_u = evaluate(x, s_u, b_max);
        if (beta <= at_u.b) {
            // s(beta) is convex here; its second derivative vanishes at s_c.
            branch = Branch::MiddleUpper;
            const double d_l = 1.0 / vega_c;
            const double d_r = 1.0 / at_u.vega;
            const double h = at_u.b - b_c;
            const double delta = (s_u - s_c) / h;
            const double r = control_parameter(h, d_l, d_r, delta, 0.0, true);
            s = rational_cubic(beta, b_c, at_u.b, s_c, s_u, d_l, d_r, r);
        } else {
            // Highest branch: f_u = Phi(-s/2) ~ (b_max - b) / 2 as s grows
            // (Jaeckel 2015, eq. 4.12); interpolate it in beta on [b_u, b_max],
            // matching its second derivative at b_u, then invert.
            branch = Branch::Upper;
            const double half_u = 0.5 * s_u;
            const double phi_u = std::exp(-0.5 * half_u * half_u) * kInvSqrt2Pi;
            const double f_u = normal_cdf_of(-half_u);
            const double df = -0.5 * phi_u;
            const double d2f = 0.125 * s_u * phi_u;
            const double b2_over_b1 = (x * x) / (s_u * s_u * s_u) - 0.25 * s_u;
            const double d_l = df / at_u.vega;
            const double f2 = (d2f - df * b2_over_b1) / (at_u.vega * at_u.vega);
            const double h = b_max - at_u.b;
            const double delta = -f_u / h;
            const double r = control_parameter(h, d_l, -0.5, delta, f2, true);
            const double f = rational_cubic(beta, at_u.b, b_max, f_u, 0.0, d_l, -0.5, r);
            s = f > 0.0 && f < 0.5 ? -2.0 * inverse_normal_cdf_lower(f) : kNaN;
            if (!(s > s_u)) {
                s = s_u;
            }
        }
    }

    // Householder steps on the objective of the branch (Jaeckel 2015,
    // section 6): on the lowest 1/ln b - 1/ln beta, which is close to linear
    // in s where b falls faster than any power; on the highest
    // ln((b_max - beta) / (b_max - b)); in the middle b - beta itself.
    const double log_beta = branch == Branch::Lower ? std::log(beta) : 0.0;
    const double log_gap_beta = branch == Branch::Upper ? std::log(b_max - beta) : 0.0;
    // On the lowest branch the logarithmic objective carries the first step
    // into the neighbourhood of the root, but its own rounding (eps |ln b|
    // relative to b) exceeds what the price allows where b is not tiny: the
    // later steps are taken on b - beta.
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        const double b2 = (x * x) / (s * s * s) - 0.25 * s;                  // b''/b'
        const double b3 = b2 * b2 - 3.0 * (x * x) / (s * s * s * s) - 0.25;  // b'''/b'
        double nu;
        double h2;
        double h3;
        if (branch == Branch::Upper) {
            const Gap e = distance_to_upper_bound(x, s, b_max);
            const double w = e.vega / e.gap;
            nu = (std::log(e.gap) - log_gap_beta) / w;
            h2 = b2 + w;
            h3 = h2 * h2 + (b3 - b2 * b2) + w * b2 + w * w;
        } else if (branch == Branch::Lower && iteration == 0) {
            const Black e = evaluate(x, s, b_max);
            const double l = log_of(e);
            const double p = e.vega_over_b;
            nu = l * (log_beta - l) / (log_beta * p);
            const double m = 1.0 + 2.0 / l;
            h2 = b2 - p * m;
            h3 = h2 * h2 + (b3 - b2 * b2) - p * (b2 - p) * m + 2.0 * p * p / (l * l);
        } else {
            // (beta - b) / b' formed as (beta / b - 1) / (b' / b): b' may be
            // far below the smallest normal double where b is not.
            const Black e = evaluate(x, s, b_max);
            nu = (beta / e.b - 1.0) / e.vega_over_b;
            h2 = b2;
            h3 = b3;
        }
        double step = householder_step(nu, h2, h3);
        if (!std::isfinite(step)) {
            step = nu;
        }
        double next = s + step;
        // The transformed objectives are close to linear; a step that leaves
        // (s/4, 4s) is a breakdown of the model, not a step to take.
        if (!(next > 0.25 * s)) {
            next = 0.25 * s;
        } else if (!(next < 4.0 * s)) {
            next = 4.0 * s;
        }
        const double change = next - s;
        s = next;
        // Fourth-order convergence: after a relative step below 1e-5 the
        // error is far below an ulp.  Two steps suffice from nearly every
        // initial guess; the lowest and highest branches, whose maps
        // approach b only slowly, sometimes take a third.
        if (iteration >= 1 && std::fabs(change) <= kConvergedStep * s) {
            break;
        }
    }
    return s;
}

}  // namespace detail

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// Relative tolerance of the price against the zero-volatility value: the
// rounding of the normalisation and of the intrinsic value.
constexpr double kLowerBoundTolerance = 8.0 * kEpsilon;

// ln(s / k) to within about an ulp of the result, also where s / k is close
// to 1: the quotient's rounding error is recovered exactly (Dekker) and
// added as log(1 + e) ~ e.
[[nodiscard]] double log_moneyness(double s, double k) noexcept {
    const double quotient = s / k;
    if (!(quotient > 1e-290 && quotient < 1e290) || !(k > 1e-290 && k < 1e290)) {
        return std::log(s) - std::log(k);
    }
    const double p = quotient * k;
    constexpr double splitter = 134217729.0;
    const double cq = splitter * quotient;
    const double q_hi = cq - (cq - quotient);
    const double q_lo = quotient - q_hi;
    const double ck = splitter * k;
    const double k_hi = ck - (ck - k);
    const double k_lo = k - k_hi;
    const double e = ((q_hi * k_hi - p) + q_hi * k_lo + q_lo * k_hi) + q_lo * k_lo;
    const double remainder = (s - p) - e;  // s - quotient k, exactly up to rounding of a tiny term
    return std::log(quotient) + remainder / s;
}

}  // namespace

std::expected<double, Error> european(double price, double s, double k, double t, double r,
                                      double q, OptionType type) noexcept {
    const double theta = type == OptionType::Put ? -1.0 : 1.0;
    if (!(price >= 0.0)) {
        return std::unexpected(Error::BelowLowerBound);
    }
    if (t == 0.0) {
        const double intrinsic = std::fmax(theta * (s - k), 0.0);
        const double tolerance = kLowerBoundTolerance * std::fmax(intrinsic, price);
        if (price < intrinsic - tolerance) {
            return std::unexpected(Error::BelowLowerBound);
        }
        if (price > intrinsic + tolerance) {
            return std::unexpected(Error::AboveUpperBound);
        }
        return std::unexpected(Error::NoVolatilityInformation);
    }
    const double upper = type == OptionType::Put ? k * std::exp(-r * t) : s * std::exp(-q * t);
    if (price >= upper) {
        return std::unexpected(Error::AboveUpperBound);
    }

    // price = e^{-rt} sqrt(F K) b = sqrt(s k) e^{-(r+q)t/2} b.  sqrt(s k)
    // rounds once less than sqrt(s) sqrt(k) where s k is a normal double.
    const double sk = s * k;
    const double root_sk =
        (sk > 1e-300 && sk < 1e300) ? std::sqrt(sk) : std::sqrt(s) * std::sqrt(k);
    const double carry = (r + q) * t;
    const double normaliser = carry == 0.0 ? root_sk : root_sk * std::exp(-0.5 * carry);
    double beta = price / normaliser;
    double x = log_moneyness(s, k) + (r - q) * t;
    // A put at x is a call at -x (b is symmetric under x -> -x, call <-> put).
    x *= theta;
    if (x > 0.0) {
        // In the money: subtract the normalised intrinsic value
        // e^{x/2} - e^{-x/2} = 2 sinh(x/2) and solve for the out-of-the-money
        // option on the other side of the forward (put-call parity).
        const double intrinsic = 2.0 * std::sinh(0.5 * x);
        const double time_value = beta - intrinsic;
        if (time_value < -kLowerBoundTolerance * beta) {
            return std::unexpected(Error::BelowLowerBound);
        }
        beta = time_value;
        x = -x;
    }
    if (!(beta > 0.0)) {
        return 0.0;
    }
    if (!(beta < std::exp(0.5 * x))) {
        return std::unexpected(Error::AboveUpperBound);
    }
    const double total = detail::normalised_total_volatility(beta, x);
    const double sigma = total / std::sqrt(t);
    if (!std::isfinite(sigma)) {
        return std::unexpected(Error::NotConverged);
    }
    return sigma;
}

}  // namespace greekmill::implied_volatility
