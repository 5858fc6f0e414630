// The array kernels of one instruction set: the loops over arrays and column
// ranges, and the Black-Scholes-Merton formulas on the lanes of lanes.hpp.
// Included once by each isa_*.cpp, which defines GREEKMILL_FAST_ISA (the
// namespace), GREEKMILL_FAST_LANES (doubles per vector) and
// GREEKMILL_FAST_TABLE (the name of its Kernels table).
//
// A range is walked in blocks of N elements; the last, partial block is
// padded with copies of its first element and only its real lanes are
// stored.  Lanes never look at each other, so an element's result is the
// same whatever block, range or width it is computed in.
#pragma once

#include <algorithm>
#include <cstring>

#include "fast/isa.hpp"
#include "fast/bjerksund_stensland_lanes.hpp"
#include "fast/lanes.hpp"

namespace greekmill::fast::GREEKMILL_FAST_ISA {
namespace {

constexpr int kN = GREEKMILL_FAST_LANES;
using D = Lanes<kN>::D;
using I = Lanes<kN>::I;

constexpr double kDaysPerYear = 365.0;
constexpr double kPercent = 100.0;

[[gnu::always_inline]] inline D load(const double* p, std::size_t count) noexcept {
    D v;
    if (count == kN) {
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    v = splat<D>(p[0]);
    for (std::size_t j = 1; j < count; ++j) {
        v[j] = p[j];
    }
    return v;
}

[[gnu::always_inline]] inline void store(double* p, std::size_t count, D v) noexcept {
    if (count == kN) {
        std::memcpy(p, &v, sizeof v);
        return;
    }
    for (std::size_t j = 0; j < count; ++j) {
        p[j] = v[j];
    }
}

[[gnu::always_inline]] inline D load(const batch::Column& c, std::size_t i,
                                     std::size_t count) noexcept {
    return c.stride == 0 ? splat<D>(c.data[0]) : load(c.data + i, count);
}

// -1 in the lanes of puts, 0 in the lanes of calls.
[[gnu::always_inline]] inline I load_put(const batch::TypeColumn& c, std::size_t i,
                                         std::size_t count) noexcept {
    if (c.stride == 0) {
        return I{} - static_cast<std::int64_t>(c.data[0] != 0);
    }
    I m;
    if (count == kN) {  // a whole block: a loop the compiler widens
        for (int j = 0; j < kN; ++j) {
            m[j] = -static_cast<std::int64_t>(c.data[i + j] != 0);
        }
        return m;
    }
    for (int j = 0; j < kN; ++j) {
        const std::size_t at = i + std::min<std::size_t>(j, count - 1);
        m[j] = -static_cast<std::int64_t>(c.data[at] != 0);
    }
    return m;
}

template <D (*F)(D)>
void array_kernel(const double* x, double* y, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; i += kN) {
        const std::size_t count = std::min<std::size_t>(kN, n - i);
        store(y + i, count, F(load(x + i, count)));
    }
}

D exp_lanes(D x) { return exp(x); }
D log_lanes(D x) { return log(x); }
D erfc_lanes(D x) { return erfc(x); }
D cdf_lanes(D x) { return normal_cdf(x); }
D pdf_lanes(D x) { return normal_pdf(x); }

enum class Output { Price, Delta, Gamma, Theta, Vega, Rho, Greeks };

// One block of the European formulas (the grouping of every expression is
// that of core/black_scholes.cpp).  Degenerate elements, sigma sqrt(t) = 0,
// get the limits: d1 = d2 = num / 0 = +-inf by the sign of
// num = ln(s/k) + (r - q) t, or 0 when num = 0 (the money-forward).
template <Output kOut>
[[gnu::always_inline]] inline void european_block(const batch::Inputs& x, const batch::Outputs& y,
                                                  std::size_t i, std::size_t count) noexcept {
    const D s = load(x.s, i, count);
    const D k = load(x.k, i, count);
    const D t = load(x.t, i, count);
    const D r = load(x.r, i, count);
    const D sigma = load(x.sigma, i, count);
    const D q = load(x.q, i, count);
    const I put = load_put(x.type, i, count);

    const D sqrt_t = sqrt(t);
    const D v = sqrt_t * sigma;
    const D num = (sigma * sigma * 0.5 + (r - q)) * t + log(s / k);
    const D d1 = select((v == 0.0) & (num == 0.0), D{}, num / v);
    const D d2 = d1 - v;
    const D dq = exp((-q) * t);

    constexpr bool kNeedD1Cdf =
        kOut == Output::Price || kOut == Output::Delta || kOut == Output::Theta ||
        kOut == Output::Greeks;
    constexpr bool kNeedD2 = kOut == Output::Price || kOut == Output::Theta ||
                             kOut == Output::Rho || kOut == Output::Greeks;
    constexpr bool kNeedDr = kNeedD2;

    // The d1 terms: Phi(d1), Phi(-d1), phi(d1) share one Gaussian factor.
    NormalAt<D> n1{};
    if constexpr (kNeedD1Cdf) {
        n1 = normal_at(d1);
    } else {
        n1.pdf = normal_pdf(d1);
    }
    NormalAt<D> n2{};
    if constexpr (kNeedD2) {
        n2 = normal_at(d2);
    }
    D dr{};
    if constexpr (kNeedDr) {
        dr = exp((-r) * t);
    }
    const D pdf1 = n1.pdf;

    auto price = [&] {
        const D call = (s * dq) * n1.cdf - (k * dr) * n2.cdf;
        const D put_value = (k * dr) * n2.cdf_neg - (s * dq) * n1.cdf_neg;
        return select(put, put_value, call);
    };
    auto delta = [&] { return select(put, (-dq) * n1.cdf_neg, dq * n1.cdf); };
    auto gamma = [&] {
        // pdf1 = 0 off the money-forward when sigma sqrt(t) = 0: gamma is 0
        // there, not 0 / 0.
        const D g = (dq * pdf1) / ((s * sigma) * sqrt_t);
        return select(pdf1 == 0.0, D{}, g);
    };
    auto vega = [&] { return ((dq * s) * pdf1) * sqrt_t; };
    auto theta = [&] {
        const D a_formula = -((sigma * s) * dq) * pdf1 / (sqrt_t + sqrt_t);
        // The phi term's limits: -0 where phi vanishes, -inf at the
        // money-forward at expiry (also when sigma = 0 there, where the
        // formula gives 0 / 0).
        const D a = select(pdf1 == 0.0, splat<D>(-0.0),
                           select(t == 0.0, splat<D>(-k::kInf), a_formula));
        const D b = (k * r) * dr;
        const D c = (s * q) * dq;
        const D call = (a - b * n2.cdf) + c * n1.cdf;
        const D put_value = (b * n2.cdf_neg + a) - c * n1.cdf_neg;
        return select(put, put_value, call) / kDaysPerYear;
    };
    auto rho = [&] {
        const D call = n2.cdf * (dr * (k * t)) / kPercent;
        const D put_value = n2.cdf_neg * (dr * ((-k) * t)) / kPercent;
        return select(put, put_value, call);
    };

    if constexpr (kOut == Output::Price) {
        store(y.out[0] + i, count, price());
    } else if constexpr (kOut == Output::Delta) {
        store(y.out[0] + i, count, delta());
    } else if constexpr (kOut == Output::Gamma) {
        store(y.out[0] + i, count, gamma());
    } else if constexpr (kOut == Output::Theta) {
        store(y.out[0] + i, count, theta());
    } else if constexpr (kOut == Output::Vega) {
        store(y.out[0] + i, count, vega());
    } else if constexpr (kOut == Output::Rho) {
        store(y.out[0] + i, count, rho());
    } else {
        store(y.out[0] + i, count, delta());
        store(y.out[1] + i, count, gamma());
        store(y.out[2] + i, count, theta());
        store(y.out[3] + i, count, vega());
        store(y.out[4] + i, count, rho());
    }
}

template <Output kOut>
void european(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
              std::size_t end) noexcept {
    for (std::size_t i = begin; i < end; i += kN) {
        european_block<kOut>(x, y, i, std::min<std::size_t>(kN, end - i));
    }
}

// Bjerksund-Stensland: the value, one finite-difference Greek, or all five.
template <Output kOut>
void american(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
              std::size_t end) noexcept {
    for (std::size_t i = begin; i < end; i += kN) {
        const std::size_t count = std::min<std::size_t>(kN, end - i);
        const bjerksund::Bumps<D> v{load(x.s, i, count),     load(x.k, i, count),
                                    load(x.t, i, count),     load(x.r, i, count),
                                    load(x.sigma, i, count), load(x.q, i, count),
                                    load_put(x.type, i, count)};
        double* out = y.out[0] + i;
        if constexpr (kOut == Output::Price) {
            store(out, count, v.now());
        } else if constexpr (kOut == Output::Delta) {
            store(out, count, v.delta_from(v.spot_up(), v.spot_down()));
        } else if constexpr (kOut == Output::Gamma) {
            store(out, count, v.gamma_from(v.spot_up(), v.now(), v.spot_down()));
        } else if constexpr (kOut == Output::Theta) {
            store(out, count, v.theta_from(v.now(), v.later()));
        } else if constexpr (kOut == Output::Vega) {
            store(out, count, v.vega_from(v.sigma_up(), v.sigma_down()));
        } else if constexpr (kOut == Output::Rho) {
            store(out, count, v.rho_from(v.rate_up(), v.rate_down()));
        } else {
            const D up = v.spot_up();
            const D down = v.spot_down();
            const D now = v.now();
            store(y.out[0] + i, count, v.delta_from(up, down));
            store(y.out[1] + i, count, v.gamma_from(up, now, down));
            store(y.out[2] + i, count, v.theta_from(now, v.later()));
            store(y.out[3] + i, count, v.vega_from(v.sigma_up(), v.sigma_down()));
            store(y.out[4] + i, count, v.rho_from(v.rate_up(), v.rate_down()));
        }
    }
}

}  // namespace
}  // namespace greekmill::fast::GREEKMILL_FAST_ISA

#undef GM_INLINE

namespace greekmill::fast::detail {

namespace isa = GREEKMILL_FAST_ISA;

const Kernels GREEKMILL_FAST_TABLE = {
    &isa::array_kernel<&isa::exp_lanes>,
    &isa::array_kernel<&isa::log_lanes>,
    &isa::array_kernel<&isa::erfc_lanes>,
    &isa::array_kernel<&isa::cdf_lanes>,
    &isa::array_kernel<&isa::pdf_lanes>,
    &isa::european<isa::Output::Price>,
    &isa::european<isa::Output::Delta>,
    &isa::european<isa::Output::Gamma>,
    &isa::european<isa::Output::Theta>,
    &isa::european<isa::Output::Vega>,
    &isa::european<isa::Output::Rho>,
    &isa::european<isa::Output::Greeks>,
    &isa::american<isa::Output::Price>,
    &isa::american<isa::Output::Delta>,
    &isa::american<isa::Output::Gamma>,
    &isa::american<isa::Output::Theta>,
    &isa::american<isa::Output::Vega>,
    &isa::american<isa::Output::Rho>,
    &isa::american<isa::Output::Greeks>,
};

}  // namespace greekmill::fast::detail
