// The Bjerksund-Stensland (2002) American value and its finite-difference
// Greeks on the lanes of lanes.hpp: the formulas, grouping and branch order
// of core/bjerksund_stensland*.  Every lane evaluates every branch (expired,
// European, trigger below the strike, immediate exercise, the twelve terms)
// and keeps the one the scalar code would take, so lanes stay independent.
// Included by isa_kernels.hpp only.
#pragma once

#include "fast/lanes.hpp"

namespace greekmill::fast::GREEKMILL_FAST_ISA::bjerksund {

// (sqrt(5) - 1) / 2 rounded (0x3FE3C6EF372FE950), the split of the life.
constexpr double kSplit = 0.6180339887498949;
constexpr double kSpotStep = 0.0001;
constexpr double kSigmaStep = 0.0001;
constexpr double kRateStep = 0.0001;
constexpr double kTwoSteps = 0.0002;
constexpr double kPercent = 100.0;
constexpr double kOneDay = 0.0027397260273972603;  // 1/365 rounded
constexpr double kTimeFloor = 0.0001;

template <class D>
GM_INLINE D max_of(D a, D b) {  // a > b ? a : b, as the scalar code writes it
    return select(a > b, a, b);
}

template <class D>
GM_INLINE D european_call(D S, D K, D T, D r, D b, D sigma, D v, D sqrt_T, D ln_s_k) {
    const D d1 = (ln_s_k + (0.5 * v + b) * T) / (sqrt_T * sigma);
    const D d2 = d1 - sqrt_T * sigma;
    return (exp((b - r) * T) * S) * normal_cdf(d1) - (exp((-r) * T) * K) * normal_cdf(d2);
}

template <class D>
struct Shape {
    D v, beta, b_inf, b0;
};

template <class D>
GM_INLINE D trigger_exponent(const Shape<D>& sh, D tau, D sqrt_tau, D b, D sigma) {
    return (-(sqrt_tau * (sigma + sigma) + tau * b) * sh.b0) / (sh.b_inf - sh.b0);
}

template <class D>
GM_INLINE D trigger(const Shape<D>& sh, D h) {
    return (1.0 - exp(h)) * (sh.b_inf - sh.b0) + sh.b0;
}

template <class D>
struct Horizon {
    D tau, sigma_tau, z, p_beta, p_one, p_zero;
};

// The twelve-term sum (left to right, signs as the scalar code).
template <class D>
GM_INLINE D twelve_terms(D S, D K, D T, D r, D b, D sigma, const Shape<D>& sh, D sqrt_T, D i2,
                         D ln_s_k) {
    const D v = sh.v;
    const D beta = sh.beta;
    const D t1 = kSplit * T;
    const D sqrt_t1 = sqrt(t1);
    const D i1 = trigger(sh, trigger_exponent(sh, t1, sqrt_t1, b, sigma));
    const D alpha1 = pow(i1, -beta) * (i1 - K);
    const D alpha2 = pow(i2, -beta) * (i2 - K);
    const D s_pow_beta = pow(S, beta);
    const D m_beta = (beta - 0.5) * v + b;
    const D m_one = b + 0.5 * v;
    const D m_zero = b - 0.5 * v;
    const D w = (b + b) / v;
    const D ratio = i1 / S;
    const D reflect_beta = pow(ratio, ((beta + beta) - 1.0) + w);
    const D reflect_one = pow(ratio, 1.0 + w);
    const D reflect_zero = pow(ratio, w - 1.0);
    const D ln_i1_s = log(i1 / S);
    const D ln_s_i1 = log(S / i1);
    const D ln_s_i2 = log(S / i2);

    const auto horizon = [&](D tau, D sqrt_tau) {
        const D sigma_tau = sqrt_tau * sigma;
        return Horizon<D>{
            tau,
            sigma_tau,
            (ln_i1_s + ln_i1_s) / sigma_tau,
            exp(tau * (((beta * 0.5) * (beta - 1.0)) * v) + (tau * (b * beta) - tau * r)) *
                s_pow_beta,
            exp(tau * b - tau * r) * S,
            exp(-(tau * r)),
        };
    };
    const auto g = [](const Horizon<D>& hz, D p, D m, D reflect, D ln_s_h) {
        const D d = -(hz.tau * m + ln_s_h) / hz.sigma_tau;
        return p * (normal_cdf(d) - reflect * normal_cdf(d - hz.z));
    };
    const Horizon<D> a = horizon(t1, sqrt_t1);
    const Horizon<D> z = horizon(T, sqrt_T);
    D sum = alpha1 * g(a, a.p_beta, m_beta, reflect_beta, ln_s_i1);
    sum += -(alpha1 * g(a, a.p_beta, m_beta, reflect_beta, ln_s_i2));
    sum += g(a, a.p_one, m_one, reflect_one, ln_s_i2);
    sum += -g(a, a.p_one, m_one, reflect_one, ln_s_k);
    sum += -(g(a, a.p_zero, m_zero, reflect_zero, ln_s_i2) * K);
    sum += g(a, a.p_zero, m_zero, reflect_zero, ln_s_k) * K;
    sum += alpha2 * g(z, z.p_beta, m_beta, reflect_beta, ln_s_i2);
    sum += -(alpha2 * g(z, z.p_beta, m_beta, reflect_beta, ln_s_i1));
    sum += g(z, z.p_one, m_one, reflect_one, ln_s_i1);
    sum += -g(z, z.p_one, m_one, reflect_one, ln_s_i2);
    sum += -(g(z, z.p_zero, m_zero, reflect_zero, ln_s_i1) * K);
    sum += g(z, z.p_zero, m_zero, reflect_zero, ln_s_i2) * K;
    return sum;
}

// The American call in cost-of-carry form; the branches of call_price,
// applied last to first so that the first that holds wins.
template <class D>
GM_INLINE D call_price(D S, D K, D T, D r, D b, D sigma) {
    const D exercise = S - K;
    const D v = sigma * sigma;
    const D sqrt_T = sqrt(T);
    const D ln_s_k = log(S / K);
    const D european = european_call(S, K, T, r, b, sigma, v, sqrt_T, ln_s_k);

    const D u = b / v;
    const D beta = sqrt((r + r) / v + (u - 0.5) * (u - 0.5)) + (0.5 - u);
    const D b_inf = (beta / (beta - 1.0)) * K;
    const D lower = (r / (r - b)) * K;
    D b0 = select(lower > K, lower, K);
    b0 = select(lower != lower, K, select(K != K, lower, b0));
    const Shape<D> sh{v, beta, b_inf, b0};
    const D i2 = trigger(sh, trigger_exponent(sh, T, sqrt_T, b, sigma));
    // The lanes that reach the twelve terms (NaN comparisons as the scalar
    // branches make them).  When a whole vector takes other branches the
    // sum is skipped: no lane would keep it, so no result changes.
    const auto twelve = ~((T <= 0.0) | (b >= r) | (i2 < K) | (S >= i2));
    const D a = any_lane(twelve) ? twelve_terms(S, K, T, r, b, sigma, sh, sqrt_T, i2, ln_s_k) : european;

    D c = select(a != a, european, max_of(european, a));
    c = select(S >= i2, max_of(european, exercise), c);
    c = select(i2 < K, european, c);
    c = select(b >= r, european, c);
    return select(T <= 0.0, max_of(exercise, D{}), c);
}

// The American value V through the put-call transformation, floored at the
// intrinsic value (a NaN call value falls to the floor).
template <class D>
[[gnu::noinline]] D value(D s, D k, D t, D r, D sigma, D q, IntOf<D> put) {
    const D b = r - q;
    const D c = call_price(select(put, k, s), select(put, s, k), t, select(put, r - b, r),
                           select(put, -b, b), sigma);
    const D exercise = select(put, k - s, s - k);
    const D intrinsic = max_of(exercise, D{});
    return max_of(c, intrinsic);
}

// The finite differences of all_greeks, each Greek from the values it needs
// (a Greek asked alone evaluates only those, with the same bits).
template <class D>
struct Bumps {
    D s, k, t, r, sigma, q;
    IntOf<D> put;
    D h = kSpotStep * s;

    D spot_up() const { return value(s + h, k, t, r, sigma, q, put); }
    D spot_down() const { return value(s - h, k, t, r, sigma, q, put); }
    D now() const { return value(s, k, t, r, sigma, q, put); }
    D later() const {
        const D back = t - kOneDay;
        return value(s, k, max_of(back, splat<D>(kTimeFloor)), r, sigma, q, put);
    }
    D sigma_up() const { return value(s, k, t, r, sigma + kSigmaStep, q, put); }
    D sigma_down() const { return value(s, k, t, r, sigma - kSigmaStep, q, put); }
    D rate_up() const { return value(s, k, t, r + kRateStep, sigma, q, put); }
    D rate_down() const { return value(s, k, t, r - kRateStep, sigma, q, put); }

    D delta_from(D up, D down) const { return (up - down) / (h + h); }
    D gamma_from(D up, D mid, D down) const { return ((up - (mid + mid)) + down) / (h * h); }
    static D theta_from(D now, D later) { return later - now; }
    static D vega_from(D up, D down) { return (up - down) / kTwoSteps; }
    static D rho_from(D up, D down) { return ((up - down) / kTwoSteps) / kPercent; }
};

}  // namespace greekmill::fast::GREEKMILL_FAST_ISA::bjerksund
