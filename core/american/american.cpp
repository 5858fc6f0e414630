// Dispatch of the American engine over the regimes of (r, q, sigma, t), put-call
// symmetry and greekmill's units.  Every solver below works on a put.
#include "american.hpp"

#include <cmath>
#include <limits>

#include "black_scholes.hpp"
#include "collocation.hpp"
#include "fast/fast_math.hpp"
#include "grid/log_spot.hpp"
#include "put_result.hpp"
#include "quadrature.hpp"
#include "engine.hpp"

namespace greekmill::american {
namespace {

using detail::PutResult;
using detail::exercised_put;

constexpr double kDaysPerYear = 365.0;
constexpr double kPercent = 100.0;

// Where early exercise can pay for a put.  Holding the exercised position
// K - S for dt earns (r K - q S) dt, so exercise needs r K > q S somewhere
// below the strike:
//   r > 0                  one boundary, starting at K min(1, r/q) (single)
//   r = 0 > q              one boundary starting at K: the lower one of the
//                          regime below sits at 0 (single; a call with
//                          q = 0 > r, the common case of a negative rate)
//   r <= 0 and q >= r      never: for 0 < S < K, r K - q S <= 0 when q >= 0,
//                          and r K - q S < (r - q) K <= 0 when q < 0
//                          (European value)
//   q < r < 0              exercise only between two boundaries, starting at
//                          K r/q and K (double).
// A call with (r, q) is the put with (q, r) (McDonald and Schroder 1998).
enum class Regime { NoEarlyExercise, SingleBoundary, DoubleBoundary };

[[nodiscard]] Regime put_regime(double r, double q) noexcept {
    if (r > 0.0 || (r == 0.0 && q < 0.0)) {
        return Regime::SingleBoundary;
    }
    if (q >= r) {
        return Regime::NoEarlyExercise;
    }
    return Regime::DoubleBoundary;
}

[[nodiscard]] bool valid(double s, double k, double t, double r, double sigma,
                         double q) noexcept {
    return std::isfinite(s) && std::isfinite(k) && std::isfinite(t) && std::isfinite(r) &&
           std::isfinite(sigma) && std::isfinite(q) && s > 0.0 && k > 0.0 && t >= 0.0 &&
           sigma >= 0.0;
}

// sigma = 0: the path is deterministic, S(t) = S e^{(r - q) t}, and the put
// is worth max(0, max over t in [0, T] of K e^{-r t} - S e^{-q t}).  The
// stationary point solves q S e^{-q t} = r K e^{-r t}.
[[nodiscard]] PutResult deterministic_put(double s, double k, double t, double r,
                                          double q) noexcept {
    const auto payoff = [&](double u) { return k * fast::exp(-r * u) - s * fast::exp(-q * u); };
    double best_time = 0.0;
    double best = payoff(0.0);
    if (payoff(t) > best) {
        best = payoff(t);
        best_time = t;
    }
    if (q != r && q * s / (r * k) > 0.0) {
        const double u = fast::log(q * s / (r * k)) / (q - r);
        if (u > 0.0 && u < t && payoff(u) > best) {
            best = payoff(u);
            best_time = u;
        }
    }
    PutResult x{};
    if (!(best > 0.0)) {
        return x;
    }
    x.value = best;
    x.delta = -fast::exp(-q * best_time);
    x.drate = -best_time * k * fast::exp(-r * best_time);
    x.dyield = best_time * s * fast::exp(-q * best_time);
    if (best_time == t) {
        x.dtau = -r * k * fast::exp(-r * t) + q * s * fast::exp(-q * t);
    }
    return x;
}

// The double-boundary regime, q < r < 0: early exercise is optimal only
// between a lower boundary Y(tau) and an upper one B(tau), starting at
// Y(0+) = K r/q and B(0+) = K, which meet at a finite tau beyond which the
// option is European (Battauz, De Donno and Sbuelz 2015).  The spectral
// engine's single-boundary equations do not hold here; the log-spot grid
// solver's policy iteration assumes no shape for the exercise region.
// Mesh intervals, time steps and extrapolation levels per tier, chosen by
// measurement against an extrapolated binomial tree (docs/american_engine.md).
constexpr grid::Resolution kDoubleBoundaryGrids[3] = {{384, 192, 2}, {640, 320, 3}, {1536, 768, 3}};

[[nodiscard]] Result<PutResult> double_boundary_put(double s, double k, double t, double r,
                                                    double q, double sigma, Accuracy accuracy,
                                                    bool greeks) noexcept {
    const grid::Problem problem{s, k, t, r, q, sigma, OptionType::Put, true, {}};
    const Result<grid::Solution> x =
        grid::solve(problem, kDoubleBoundaryGrids[static_cast<int>(accuracy)], greeks);
    if (!x) {
        return std::unexpected(x.error());
    }
    // The value lies above the European value (and the grid never returns
    // less than the exercise value).  Where the grid's falls below it, the
    // early-exercise premium over it is below the grid's own error: return the
    // European value with its Greeks.
    const PutResult european = detail::european_put(s, k, t, r, q, sigma);
    if (x->value < european.value) {
        return european;
    }
    PutResult y{};
    y.value = x->value;
    if (greeks) {
        y.delta = x->delta;
        y.gamma = x->gamma;
        y.dtau = x->dtau;
        y.dsigma = x->dsigma;
        y.drate = x->drate;
        y.dyield = x->dyield;
    }
    return y;
}

[[nodiscard]] PutResult intrinsic_put(double s, double k) noexcept {
    PutResult x{};
    if (s < k) {
        x = exercised_put(s, k);
    }
    return x;
}

// The call at (s, k, r, q) from the put at (k, s, q, r).
[[nodiscard]] PutResult call_from_put(const PutResult& p, double s, double k) noexcept {
    PutResult c{};
    c.value = p.value;
    c.delta = (p.value - k * p.delta) / s;
    c.gamma = (k / s) * (k / s) * p.gamma;
    c.dtau = p.dtau;
    c.dsigma = p.dsigma;
    c.drate = p.dyield;
    c.dyield = p.drate;
    return c;
}

[[nodiscard]] Result<PutResult> put(double s, double k, double t, double r, double sigma,
                                    double q, Accuracy accuracy, bool greeks) noexcept {
    if (t == 0.0) {
        return intrinsic_put(s, k);
    }
    if (sigma == 0.0) {
        return deterministic_put(s, k, t, r, q);
    }
    switch (put_regime(r, q)) {
        case Regime::NoEarlyExercise:
            return detail::european_put(s, k, t, r, q, sigma);
        case Regime::DoubleBoundary:
            return double_boundary_put(s, k, t, r, q, sigma, accuracy, greeks);
        case Regime::SingleBoundary:
            break;
    }
    const detail::Tables& tables = detail::tables(accuracy, sigma * std::sqrt(t));
    return detail::spectral_put(tables, s, k, t, r, sigma, q, greeks);
}

// Put-call symmetry: C(S, K, T, r, q, sigma) = P(K, S, T, q, r, sigma).  The
// put is a homogeneous function of (spot, strike) of degree one, so the
// call's delta is the put's strike derivative (P - K dP/dK...) and its gamma
// K^2 / S^2 times the put's gamma.
[[nodiscard]] Result<PutResult> solve(double s, double k, double t, double r, double sigma,
                                      double q, OptionType type, Accuracy accuracy,
                                      bool greeks) noexcept {
    if (!valid(s, k, t, r, sigma, q)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the American engine needs finite inputs with s > 0, k > 0, t >= 0, sigma >= 0"));
    }
    if (type == OptionType::Put) {
        return put(s, k, t, r, sigma, q, accuracy, greeks);
    }
    if (type != OptionType::Call) {
        return std::unexpected(OptionError::invalid_option_type());
    }
    Result<PutResult> mirrored = put(k, s, t, q, sigma, r, accuracy, greeks);
    if (!mirrored) {
        return mirrored;
    }
    return call_from_put(*mirrored, s, k);
}

}  // namespace

namespace detail {

const SpectralEngine& spectral_engine() noexcept {
    switch (fast::resolve(fast::Width::Auto)) {
#if defined(__x86_64__)  // the wider engines are built on x86-64 only (CMakeLists.txt)
        case fast::Width::Avx512:
            return kSpectralAvx512;
        case fast::Width::Avx2:
            return kSpectralAvx2;
#endif
        default:
            return kSpectralSse2;
    }
}

Result<PutResult> spectral_put(const Tables& tables, double s, double k, double t, double r,
                               double sigma, double q, bool greeks) noexcept {
    return spectral_engine().put(tables, s, k, t, r, sigma, q, greeks);
}

Result<PutResult> spectral_solve(const Tables& tables, double s, double k, double t, double r,
                                 double sigma, double q, OptionType type, bool greeks) noexcept {
    if (type == OptionType::Put) {
        return spectral_put(tables, s, k, t, r, sigma, q, greeks);
    }
    Result<PutResult> p = spectral_put(tables, k, s, t, q, sigma, r, greeks);
    if (!p) {
        return p;
    }
    return call_from_put(*p, s, k);
}

}  // namespace detail

namespace {

// The European value and Greeks with the bits of the package's European
// functions (core/black_scholes.*, their limits at zero total volatility).
[[nodiscard]] Result<Valuation> european(double s, double k, double t, double r, double sigma,
                                         double q, OptionType type) noexcept {
    namespace bs = black_scholes;
    if (bs::zero_total_volatility(t, sigma)) {
        return Valuation{bs::price_at_zero_volatility(s, k, t, r, sigma, q, type),
                         bs::greeks_at_zero_volatility(s, k, t, r, sigma, q, type)};
    }
    const Result<bs::Valuation> v = bs::valuation(s, k, t, r, sigma, q, type);
    if (!v) {
        return std::unexpected(v.error());
    }
    return Valuation{v->price, v->greeks};
}

[[nodiscard]] bool never_exercised(double r, double q, OptionType type) noexcept {
    return type == OptionType::Call ? put_regime(q, r) == Regime::NoEarlyExercise
                                    : put_regime(r, q) == Regime::NoEarlyExercise;
}

// Every value the engine returns: where early exercise is never optimal the
// European value and Greeks themselves, so that the two functions agree to
// the bit there; elsewhere the engine's, never below the European value.
// The engines form the European part of a value with their own kernels
// (and the grid its own discretisation), a few ulps from the European
// function's, and both terms of a far out-of-the-money value are
// subnormal: without the floor an American value could sit an ulp below
// the European one, or below 0.  Where the floor acts the premium is below
// the engine's resolution and the European Greeks are the American ones.
[[nodiscard]] Result<Valuation> valuation(double s, double k, double t, double r, double sigma,
                                          double q, OptionType type, Accuracy accuracy,
                                          bool greeks) noexcept {
    if (!valid(s, k, t, r, sigma, q)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the American engine needs finite inputs with s > 0, k > 0, t >= 0, sigma >= 0"));
    }
    if (type != OptionType::Put && type != OptionType::Call) {
        return std::unexpected(OptionError::invalid_option_type());
    }
    const Result<Valuation> floor = european(s, k, t, r, sigma, q, type);
    if (!floor || never_exercised(r, q, type)) {
        return floor;
    }
    const Result<PutResult> x = solve(s, k, t, r, sigma, q, type, accuracy, greeks);
    if (!x) {
        return std::unexpected(x.error());
    }
    if (!(x->value >= floor->price)) {
        return floor;
    }
    Valuation v{};
    v.price = x->value;
    v.greeks.delta = x->delta;
    v.greeks.gamma = x->gamma;
    // Calendar time runs against time to expiry.
    v.greeks.theta = -x->dtau / kDaysPerYear;
    v.greeks.vega = x->dsigma;
    v.greeks.rho = x->drate / kPercent;
    return v;
}

}  // namespace

Result<double> price(double s, double k, double t, double r, double sigma, double q,
                     OptionType type, Accuracy accuracy) noexcept {
    const Result<Valuation> v = valuation(s, k, t, r, sigma, q, type, accuracy, false);
    if (!v) {
        return std::unexpected(v.error());
    }
    return v->price;
}

Result<Valuation> value_and_greeks(double s, double k, double t, double r, double sigma,
                                   double q, OptionType type, Accuracy accuracy) noexcept {
    return valuation(s, k, t, r, sigma, q, type, accuracy, true);
}

Result<double> exercise_boundary(double tau, double k, double r, double sigma, double q,
                                 OptionType type, Accuracy accuracy) noexcept {
    if (!valid(1.0, k, tau, r, sigma, q)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the exercise boundary needs finite inputs with k > 0, tau >= 0, sigma >= 0"));
    }
    if (type != OptionType::Put && type != OptionType::Call) {
        return std::unexpected(OptionError::invalid_option_type());
    }
    const bool call = type == OptionType::Call;
    const double rp = call ? q : r;
    const double qp = call ? r : q;
    const double never = call ? std::numeric_limits<double>::infinity() : 0.0;
    const Regime regime = put_regime(rp, qp);
    if (regime == Regime::NoEarlyExercise) {
        return never;
    }
    if (regime == Regime::DoubleBoundary) {
        return std::unexpected(OptionError::invalid_parameters(
            "with q < r < 0 (put) or r < q < 0 (call) early exercise happens between two "
            "boundaries; use exercise_boundaries"));
    }
    // The put's boundary with strike 1, at tau; B(0+) = min(1, r/q).
    double b = qp > rp ? rp / qp : 1.0;
    if (tau > 0.0 && sigma > 0.0) {
        const detail::Tables& tables = detail::tables(accuracy, sigma * std::sqrt(tau));
        b = fast::exp(detail::spectral_engine().ln_boundary(tables, tau, rp, qp, sigma));
    }
    // Put with spot K and strike S exercised when K <= S b: S >= K / b.
    return call ? k / b : k * b;
}

}  // namespace greekmill::american
