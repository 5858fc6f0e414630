#include "premium.hpp"

#include <cmath>

#include "option.hpp"

namespace greekmill::american::detail {
namespace {

constexpr double kInvSqrt2Pi = 0.3989422804014327;

// The premium integral (ALO eq. 2.5), u = t sin^2(theta), v = t - u:
//   int_0^t [r K e^{-r v} Phi(-d-(v, S/B(u))) - q S e^{-q v} Phi(-d+(v, S/B(u)))] du.
template <bool kGreeks>
PutResult integrate(const Boundary& b, const BoundarySensitivity* sensitivity, double s,
                    double k) noexcept {
    const Tables& tab = *b.tables;
    const GaussRule& rule = tab.premium_rule;
    const double r = b.r;
    const double q = b.q;
    const double sigma = b.sigma;
    const double drift = r - q;
    const double sqrt_t = std::sqrt(b.t);
    const double ln_s = std::log(s / k);

    PutResult x = european_put(s, k, b.t, r, q, sigma);
    double premium = 0.0;
    double delta = 0.0;
    double gamma = 0.0;
    double dsigma = 0.0;
    double drate = 0.0;
    double dyield = 0.0;
    for (int j = 0; j < tab.tier.p; ++j) {
        const double* weights = tab.premium_lagrange[j].data();
        const double g_u = interpolated_g(b, weights);
        const double ln_b = b.ln_x - g_u;  // ln(B(u) / K)
        const double ell = ln_s - ln_b;     // ln(S / B(u))
        const double root_v = sqrt_t * rule.cos[j];
        const double v = root_v * root_v;
        const double sv = sigma * root_v;
        const double d_plus = (ell + drift * v) / sv + 0.5 * sv;
        const double d_minus = d_plus - sv;
        const double dr = std::exp(-r * v);
        const double dq = std::exp(-q * v);
        const double n_minus = normal_cdf(-d_minus);
        const double n_plus = normal_cdf(-d_plus);
        const double w = rule.weight[j] * 2.0 * b.t * rule.sin[j] * rule.cos[j];  // du
        premium += w * (r * k * dr * n_minus - q * s * dq * n_plus);
        if constexpr (kGreeks) {
            // du / sqrt(v), finite as v -> 0.
            const double wn = rule.weight[j] * 2.0 * sqrt_t * rule.sin[j];
            const double psi = dq * std::exp(-0.5 * d_plus * d_plus) * kInvSqrt2Pi;
            const double ratio = r * k / (k * std::exp(ln_b));  // r K / B(u)
            const double pull = q - ratio;                     // q - r K / B(u)
            delta += wn * psi * pull / sigma - w * q * dq * n_plus;
            gamma += (wn * psi / (s * sigma)) * (q - d_plus * pull / sv);
            dsigma += w * s * psi * (ratio * d_plus - q * d_minus) / sigma;
            drate += w * (k * dr * n_minus * (1.0 - r * v) + s * psi * (root_v / sigma) * pull);
            dyield += w * (-s * dq * n_plus * (1.0 - q * v) - s * psi * (root_v / sigma) * pull);
            // d g / d ln B(u) = S psi (r K / B - q) / (sigma sqrt v), times the
            // boundary's sensitivity at u.
            const double boundary_term = -wn * s * psi * pull / sigma;
            double m_sum = 0.0;
            std::array<double, 3> dln_b{0.0, 0.0, 0.0};
            if (g_u > 1e-300) {
                for (int kk = 1; kk <= tab.tier.n; ++kk) {
                    const double m = weights[kk] * b.g[kk] / g_u;
                    m_sum += m;
                    for (int p = 0; p < 3; ++p) {
                        dln_b[p] += m * sensitivity->ln_b[p][kk];
                    }
                }
            }
            for (int p = 0; p < 3; ++p) {
                dln_b[p] += (1.0 - m_sum) * sensitivity->ln_x[p];
            }
            dsigma += boundary_term * dln_b[kSigma];
            drate += boundary_term * dln_b[kRate];
            dyield += boundary_term * dln_b[kYield];
        }
    }
    x.value += premium;
    if constexpr (kGreeks) {
        x.delta += delta;
        x.gamma += gamma;
        x.dsigma += dsigma;
        x.drate += drate;
        x.dyield += dyield;
        x.dtau = 0.5 * sigma * sigma * s * s * x.gamma + drift * s * x.delta - r * x.value;
    }
    return x;
}

}  // namespace

double premium_value(const Boundary& b, double s, double k) noexcept {
    return integrate<false>(b, nullptr, s, k).value;
}

PutResult premium_value_and_greeks(const Boundary& b, const BoundarySensitivity& sensitivity,
                                   double s, double k) noexcept {
    return integrate<true>(b, &sensitivity, s, k);
}

}  // namespace greekmill::american::detail
