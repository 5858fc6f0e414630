#include "premium.hpp"

#include <array>
#include <cmath>
#include <numbers>

#include "option.hpp"

namespace greekmill::american::detail {
namespace {

constexpr double kInvSqrt2Pi = 0.3989422804014327;

// The premium integral (ALO eq. 2.5), u = t sin^2(theta), v = t - u:
//   int_0^t [r K e^{-r v} Phi(-d-(v, S/B(u))) - q S e^{-q v} Phi(-d+(v, S/B(u)))] du.
// One quadrature point of the premium integral (ALO eq. 2.5) and of its
// derivatives, at u = t sin^2(theta), v = t cos^2(theta), with d theta
// weight `weight` and the interpolation weights of the boundary at
// y = sin(theta).
struct Accumulator {
    double premium = 0.0;
    double delta = 0.0;
    double gamma = 0.0;
    double dsigma = 0.0;
    double drate = 0.0;
    double dyield = 0.0;
};

template <bool kGreeks>
void add_point(const Boundary& b, const BoundarySensitivity* sensitivity, double s, double k,
               double ln_s, double sin_theta, double cos_theta, double weight,
               const double* lagrange, Accumulator& acc) noexcept {
    const Tables& tab = *b.tables;
    const double r = b.r;
    const double q = b.q;
    const double sigma = b.sigma;
    const double sqrt_t = std::sqrt(b.t);
    const double g_u = interpolated_g(b, lagrange);
    const double ln_b = b.ln_x - g_u;  // ln(B(u) / K)
    const double ell = ln_s - ln_b;     // ln(S / B(u))
    const double root_v = sqrt_t * cos_theta;
    const double v = root_v * root_v;
    const double sv = sigma * root_v;
    const double d_plus = (ell + (r - q) * v) / sv + 0.5 * sv;
    const double d_minus = d_plus - sv;
    const double dr = std::exp(-r * v);
    const double dq = std::exp(-q * v);
    const double n_minus = normal_cdf(-d_minus);
    const double n_plus = normal_cdf(-d_plus);
    const double w = weight * 2.0 * b.t * sin_theta * cos_theta;  // du
    acc.premium += w * (r * k * dr * n_minus - q * s * dq * n_plus);
    if constexpr (kGreeks) {
        // du / sqrt(v), finite as v -> 0.
        const double wn = weight * 2.0 * sqrt_t * sin_theta;
        const double psi = dq * std::exp(-0.5 * d_plus * d_plus) * kInvSqrt2Pi;
        const double ratio = r / std::exp(ln_b);  // r K / B(u)
        const double pull = q - ratio;            // q - r K / B(u)
        acc.delta += wn * psi * pull / sigma - w * q * dq * n_plus;
        acc.gamma += (wn * psi / (s * sigma)) * (q - d_plus * pull / sv);
        acc.dsigma += w * s * psi * (ratio * d_plus - q * d_minus) / sigma;
        acc.drate += w * (k * dr * n_minus * (1.0 - r * v) + s * psi * (root_v / sigma) * pull);
        acc.dyield += w * (-s * dq * n_plus * (1.0 - q * v) - s * psi * (root_v / sigma) * pull);
        // d g / d ln B(u) = S psi (r K / B - q) / (sigma sqrt v), times the
        // boundary's sensitivity at u.
        const double boundary_term = -wn * s * psi * pull / sigma;
        double m_sum = 0.0;
        std::array<double, 3> dln_b{0.0, 0.0, 0.0};
        if (g_u > 1e-300) {
            for (int kk = 1; kk <= tab.tier.n; ++kk) {
                const double m = lagrange[kk] * b.g[kk] / g_u;
                m_sum += m;
                for (int p = 0; p < 3; ++p) {
                    dln_b[p] += m * sensitivity->ln_b[p][kk];
                }
            }
        }
        for (int p = 0; p < 3; ++p) {
            dln_b[p] += (1.0 - m_sum) * sensitivity->ln_x[p];
        }
        acc.dsigma += boundary_term * dln_b[kSigma];
        acc.drate += boundary_term * dln_b[kRate];
        acc.dyield += boundary_term * dln_b[kYield];
    }
}

// The premium integral over theta in [0, pi/2].  Close to the boundary the
// integrand changes over sqrt(v) ~ ln(S / B(t)) / sigma next to v = 0, a
// layer the fixed rule cannot resolve once it is thinner than about
// sqrt(t) / 6.7: then the integral is split where sqrt(v) is six layer
// widths, with a Gauss-Legendre rule on each piece.  (Measured on the
// benchmark grids: splitting only below sqrt(t) / 12 doubles the worst
// gamma and long-dated value errors; four widths trade a better delta and
// vega for a twice worse gamma.)
template <bool kGreeks>
PutResult integrate(const Boundary& b, const BoundarySensitivity* sensitivity, double s,
                    double k) noexcept {
    const Tables& tab = *b.tables;
    const GaussRule& rule = tab.premium_rule;
    const double ln_s = std::log(s / k);
    Accumulator acc;
    const double layer = (ln_s - b.ln_b[tab.tier.n]) / b.sigma;  // in sqrt(v)
    const double split = 6.0 * layer;
    const double sqrt_t = std::sqrt(b.t);
    if (!(split < 0.9 * sqrt_t)) {
        for (int j = 0; j < tab.tier.p; ++j) {
            add_point<kGreeks>(b, sensitivity, s, k, ln_s, rule.sin[j], rule.cos[j],
                               rule.weight[j], tab.premium_lagrange[j].data(), acc);
        }
    } else {
        // cos(theta_split) = split / sqrt(t).
        const double theta_split = std::acos(split / sqrt_t);
        std::array<double, kMaxN + 1> lagrange{};
        const double pieces[2][2] = {{0.0, theta_split}, {theta_split, 0.5 * std::numbers::pi}};
        for (const auto& piece : pieces) {
            const double half = 0.5 * (piece[1] - piece[0]);
            for (int j = 0; j < tab.tier.p; ++j) {
                const double theta = piece[0] + half * (1.0 + rule.x[j]);
                const double sin_theta = std::sin(theta);
                lagrange_weights(tab, sin_theta, lagrange.data());
                add_point<kGreeks>(b, sensitivity, s, k, ln_s, sin_theta, std::cos(theta),
                                   half * rule.w[j], lagrange.data(), acc);
            }
        }
    }
    PutResult x = european_put(s, k, b.t, b.r, b.q, b.sigma);
    x.value += acc.premium;
    if constexpr (kGreeks) {
        x.delta += acc.delta;
        x.gamma += acc.gamma;
        x.dsigma += acc.dsigma;
        x.drate += acc.drate;
        x.dyield += acc.dyield;
        x.dtau = 0.5 * b.sigma * b.sigma * s * s * x.gamma + (b.r - b.q) * s * x.delta -
                 b.r * x.value;
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
