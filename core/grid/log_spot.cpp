#include "log_spot.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "fast/fast_math.hpp"

namespace greekmill::grid {
namespace {

// The hyperbolic functions of the mesh from the package's own exp, so that
// the nodes have the same bits whatever the platform's maths library; the
// absolute error, about an ulp of e^|x|, is all a node position needs.
double mesh_sinh(double x) noexcept {
    const double e = fast::exp(x);
    return 0.5 * (e - 1.0 / e);
}

double mesh_cosh(double x) noexcept {
    const double e = fast::exp(x);
    return 0.5 * (e + 1.0 / e);
}

// Half-width of the mesh beyond the spot and the strike, in standard
// deviations of ln S at expiry: the value six deviations out is the
// boundary value to far below 1e-8 of the strike.
constexpr double kSpanDeviations = 6.0;
// lambda, the width of the nearly uniform core of the mesh around the
// strike, in standard deviations: beyond it the spacing grows like cosh.
constexpr double kCoreDeviations = 0.6;
// The steps of each stretch grow over its first 1/kGradedFraction.
constexpr int kGradedFraction = 4;
// The stretch from the earliest ex-date to today is solved on a local mesh
// of its own when its deviation sigma sqrt(t_1) is below kLocalCells cells
// of the coarsest mesh at the spot: there the main mesh cannot carry the
// kinks that ex-date leaves (S = D, the exercise just before it) over so
// short a diffusion, and would read them smeared over a cell (an American
// put on a spot of 140 with a dividend of 140 going ex within the minute,
// 0.19 low).  The local mesh spans kLocalDeviations of that deviation on
// each side in half the finest mesh's intervals (at least
// kMinLocalIntervals) and half as many steps, the same at every level of
// the extrapolation: its own error falls with the tier.
constexpr double kLocalCells = 2.0;
constexpr double kLocalDeviations = 10.0;
constexpr int kMinLocalIntervals = 128;
// A stretch between ex-dates takes at least this many steps of the coarsest
// solve: a short one (an ex-date the day before expiry or a few days from
// today) on one or two steps carries the kink it starts from with a time
// error that is not smooth in the step, and the extrapolation amplifies it
// (gamma off by 4.9e-4 at "high" on a call with an ex-date five days away;
// 1.7e-5 with eight steps).
constexpr int kMinStretchSteps = 8;
// Today's stretch, when an ex-date starts it, takes at least one coarsest
// step per kTodayCellsPerStep intervals of the coarsest mesh: the Greeks are
// read at its end, and the Crank-Nicolson steps after the Rannacher start
// carry the ex-date's kinks (the exercise just before it, S = D) as an
// oscillation that a time step large against the cells leaves undamped.
// "fast" and "accurate" (64 coarsest intervals) keep their eight steps;
// "high" (256) takes 32: a call with a yield and the spot at the boundary of
// the exercise just before an ex-date two days away read gamma 0.0592 there
// for 0.0760 (and theta 22 % low) on eight.
constexpr int kTodayCellsPerStep = 8;
// The latest ex-date's jump carries the strike's kink, smoothed only over
// the stretch to expiry, to S = K + D: where that stretch's deviation is
// below kNarrowCells cells of the coarsest mesh there, the kink is narrower
// than the cells it lands on, and point values of it make an error that is
// not smooth in h (a put on a spot of 200 with a dividend of 200 a day
// before expiry, 7.3e-3 low at "accurate", 128 intervals off by 8 times the
// O(h^2) trend).  There each node takes the average of the carried value
// over its cell instead (Pooley, Vetzal and Forsyth 2003), which the
// extrapolation removes with the scheme's error (6.6e-4 then; "high" 4.8e-5
// -> 3e-7).  Averaging more costs the validation set: every jump's nodes,
// its book at "accurate" 4.4e-4 -> 2.1e-3; the latest jump's up to four
// cells, spot_can_reach_zero 1.4e-4 -> 2.9e-4 (though the put above, with
// its ex-date one to four months before expiry, would gain: 2.3e-2 off at
// "fast" and 9e-4 at "accurate" without, 3e-4 and 1e-4 with).
constexpr double kNarrowCells = 1.0;
// The widest cell (in ln S) of the coarsest mesh at which an American
// value's kink at S = D is averaged.
constexpr double kMaxRuinCell = 0.2;

// x_j = x_K + lambda sinh(delta (j - j_K)), j = 0..intervals.  A coarser
// mesh (half the intervals, j_K / 2, 2 delta) is every other node of the
// finer one, bit for bit: (2 delta) m and delta (2 m) round alike.
struct Mesh {
    int intervals;
    int strike_node;
    double x_strike;
    double lambda;
    double delta;

    [[nodiscard]] double x(int j) const noexcept {
        return x_strike + lambda * mesh_sinh(delta * static_cast<double>(j - strike_node));
    }
    // The position of ln S in node units.
    [[nodiscard]] double node_of(double ln_s) const noexcept {
        return static_cast<double>(strike_node) + std::asinh((ln_s - x_strike) / lambda) / delta;
    }
};

// The mesh covers [min(ln K, ln(S - sum D)) - w, max(ln K, ln S) + w] whatever
// the rounding of j_K: delta is the larger of the two sides' needs, so each
// side reaches at least as far as it must.
[[nodiscard]] Mesh make_mesh(const Problem& p, int intervals) noexcept {
    double paid = 0.0;
    for (const Jump& jump : p.jumps) {
        paid += jump.amount;
    }
    const double spread = p.sigma * std::sqrt(p.t);
    const double drift = (std::fabs(p.r - p.q) + 0.5 * p.sigma * p.sigma) * p.t;
    const double width = kSpanDeviations * spread + drift;
    const double x_strike = fast::log(p.k);
    const double ln_s = fast::log(p.s);
    const double ln_s_paid = fast::log(std::fmax(p.s - paid, 1e-3 * p.s));
    const double low = std::fmin(x_strike, ln_s_paid) - width;
    const double high = std::fmax(x_strike, ln_s) + width;
    Mesh m{};
    m.intervals = intervals;
    m.x_strike = x_strike;
    m.lambda = kCoreDeviations * spread;
    const double a = std::asinh((x_strike - low) / m.lambda);
    const double b = std::asinh((high - x_strike) / m.lambda);
    // j_K a multiple of 4: the strike is a node of the two coarser meshes too.
    const int quarter = intervals / 4;
    int fours = static_cast<int>(std::lround(static_cast<double>(quarter) * a / (a + b)));
    fours = std::clamp(fours, 1, quarter - 1);
    m.strike_node = 4 * fours;
    m.delta = std::fmax(a / m.strike_node, b / (intervals - m.strike_node));
    return m;
}

[[nodiscard]] Mesh coarser(const Mesh& m) noexcept {
    return {m.intervals / 2, m.strike_node / 2, m.x_strike, m.lambda, 2.0 * m.delta};
}

// Lagrange weights on the nodes first..first+count-1 at position u, with
// their first and second derivatives in u.
struct Stencil {
    int first;
    int count;
    double w[6];
    double d1[6];
    double d2[6];
};

[[nodiscard]] Stencil lagrange(double u, int count, int intervals, bool derivatives) noexcept {
    Stencil st{};
    st.count = count;
    st.first = std::clamp(static_cast<int>(std::floor(u)) - (count / 2 - 1), 0,
                          intervals - (count - 1));
    double t[6];
    for (int a = 0; a < count; ++a) {
        t[a] = u - static_cast<double>(st.first + a);
    }
    for (int a = 0; a < count; ++a) {
        double denominator = 1.0;
        double value = 1.0;
        for (int b = 0; b < count; ++b) {
            if (b != a) {
                denominator *= static_cast<double>(a - b);
                value *= t[b];
            }
        }
        st.w[a] = value / denominator;
        if (!derivatives) {
            continue;
        }
        double first = 0.0;
        double second = 0.0;
        for (int b = 0; b < count; ++b) {
            if (b == a) {
                continue;
            }
            double without_b = 1.0;
            for (int c = 0; c < count; ++c) {
                if (c != a && c != b) {
                    without_b *= t[c];
                }
            }
            first += without_b;
            for (int c = 0; c < count; ++c) {
                if (c == a || c == b) {
                    continue;
                }
                double without_bc = 1.0;
                for (int d = 0; d < count; ++d) {
                    if (d != a && d != b && d != c) {
                        without_bc *= t[d];
                    }
                }
                second += without_bc;
            }
        }
        st.d1[a] = first / denominator;
        st.d2[a] = second / denominator;
    }
    return st;
}

// The work arrays of one solve, on the heap, sized for the finer mesh.
struct Arrays {
    std::unique_ptr<double[]> block;
    std::unique_ptr<unsigned char[]> flags;
    // The jump's interpolation stencils, node by node, kept while the next
    // jump has the same amount on the same mesh (a schedule of equal
    // dividends computes them once per mesh): six weights and the first
    // node, -1 where the new spot lies below the mesh.
    std::unique_ptr<double[]> stencil_weights;
    std::unique_ptr<int[]> stencil_first;
    double stencil_amount;
    double* spot;      // S_j
    double* payoff;    // exercise value at S_j
    double* op_lo;     // L v at j = lo v_{j-1} + mid v_j + up v_{j+1}
    double* op_mid;
    double* op_up;
    double* dx_lo;     // first-derivative weights of the non-uniform stencil
    double* dx_mid;
    double* dx_up;
    double* dxx_lo;    // second-derivative weights
    double* dxx_mid;
    double* dxx_up;
    double* v;
    double* v_old;     // the level before (the spare buffer of a step)
    double* g;
    double* e;         // elimination factors of (I - theta dt L)
    double* inverse;   // reciprocal pivots
    double* coupling;  // the off-diagonal the elimination carries along
    double* u_sigma;
    double* u_rate;
    double* u_yield;
    double* g_sigma;
    double* g_rate;
    double* g_yield;
    double* moved;     // scratch of the jump
    double* moved_sigma;
    double* moved_rate;
    double* moved_yield;
    double* carried;   // the final stretch's start on its local mesh (carry_to_local)
    double* carried_sigma;
    double* carried_rate;
    double* carried_yield;
    unsigned char* held;  // 1 where a row sits on the exercise value
    // The dividends already jumped over (time to expiry below the current
    // level), as their present value at time to expiry paid_tau: one update
    // per jump keeps the far values linear in the number of dividends.
    double paid_value;
    double paid_tau;
    // Whether the kink at S = D is averaged (average_ruin_kink).
    bool ruin_kinks;
    // Whether the latest ex-date's jump takes cell averages (kNarrowCells),
    // and whether the jump being applied is that one.
    bool average_latest = false;
    bool averaging = false;
};

constexpr int kArrayCount = 31;

[[nodiscard]] bool allocate(Arrays& a, int nodes) noexcept {
    const auto n = static_cast<std::size_t>(nodes);
    a.block.reset(new (std::nothrow) double[n * kArrayCount]);
    a.flags.reset(new (std::nothrow) unsigned char[n]);
    a.stencil_weights.reset(new (std::nothrow) double[6 * n]);
    a.stencil_first.reset(new (std::nothrow) int[n]);
    if (!a.block || !a.flags || !a.stencil_weights || !a.stencil_first) {
        return false;
    }
    double** targets[kArrayCount] = {
        &a.spot,    &a.payoff,  &a.op_lo,   &a.op_mid,      &a.op_up,      &a.dx_lo,
        &a.dx_mid,  &a.dx_up,   &a.dxx_lo,  &a.dxx_mid,     &a.dxx_up,     &a.v,
        &a.v_old,   &a.g,       &a.e,           &a.inverse,    &a.coupling,
        &a.u_sigma, &a.u_rate,  &a.u_yield, &a.g_sigma,     &a.g_rate,     &a.g_yield,
        &a.moved,   &a.moved_sigma, &a.moved_rate, &a.moved_yield, &a.carried,
        &a.carried_sigma, &a.carried_rate, &a.carried_yield};
    for (int i = 0; i < kArrayCount; ++i) {
        *targets[i] = a.block.get() + static_cast<std::size_t>(i) * n;
    }
    a.held = a.flags.get();
    return true;
}

// Where the exercise region lies.  With r > 0 a put's is a half-line below a
// boundary and a call's one above (cash dividends only add exercise just
// before an ex-date, above a boundary for a call), so one elimination
// towards the exercise side and a substitution back from it that takes
// max(value, payoff) solve the complementarity problem exactly (Brennan and
// Schwartz 1977).  With r <= 0 the region may be an interval (a put with
// q < r <= 0 is exercised between two boundaries): policy iteration, which
// assumes no shape.
enum class Side { Below, Above };

struct Context {
    const Problem& p;
    const Mesh& mesh;
    Arrays& a;
    Side side;
    bool sensitivities;
    int last;   // index of the upper edge node
    // The elimination runs over rows 1..last-1 from `first` in steps of
    // `step`, towards the exercise side; the substitution back from `back`.
    int first;
    int step;
    int back;
    bool policy;  // an exercise region of any shape: policy iteration
    // The mesh is a window inside the solution (the final stretch's local
    // mesh): its edge values stay those it started with, not the far values.
    bool fixed_edges = false;
    // The least spot after a drop at which average_ruin_kink checks the
    // linear model of the value near 0 (0: the node beyond the kink).
    double ruin_check_spread = 0.0;
};

[[nodiscard]] Context make_context(const Problem& p, const Mesh& mesh, Arrays& a,
                                   bool sensitivities) noexcept {
    const int last = mesh.intervals;
    const bool policy = p.american && !(p.r > 0.0);
    if (p.type == OptionType::Call) {
        return {p, mesh, a, Side::Above, sensitivities, last, 1, 1, last - 1, policy};
    }
    return {p, mesh, a, Side::Below, sensitivities, last, last - 1, -1, 1, policy};
}

// Present value at time to expiry tau (past every jump counted so far) of
// the cash still to be paid: sum of D e^{-r (tau - tau_i) - q tau_i}.
[[nodiscard]] double dividends_to_pay(const Problem& p, const Arrays& a, double tau) noexcept {
    return a.paid_value == 0.0 ? 0.0 : a.paid_value * fast::exp(-p.r * (tau - a.paid_tau));
}

// Counts one more jump into dividends_to_pay.
void count_jump(const Problem& p, Arrays& a, const Jump& jump) noexcept {
    a.paid_value = a.paid_value * fast::exp(-p.r * (jump.tau - a.paid_tau)) +
                   jump.amount * fast::exp(-p.q * jump.tau);
    a.paid_tau = jump.tau;
}

// The value far in the money: the forward intrinsic value, and for an
// American option at least the exercise value.  Far out of the money: 0.  A
// stock cannot pay out more than it is worth (the spot stops at 0), so the
// stock's part of the forward is never negative.
[[nodiscard]] double far_value(const Problem& p, const Arrays& a, double spot,
                               double tau) noexcept {
    const double stock =
        std::fmax(spot * fast::exp(-p.q * tau) - dividends_to_pay(p, a, tau), 0.0);
    const double forward = stock - p.k * fast::exp(-p.r * tau);
    const double european = std::fmax(p.type == OptionType::Call ? forward : -forward, 0.0);
    if (!p.american) {
        return european;
    }
    const double exercise = p.type == OptionType::Call ? spot - p.k : p.k - spot;
    return std::fmax(european, exercise);
}

// The far value's derivatives in r and q (it does not depend on sigma), by
// central differences of that closed form: the tangents of a spot that
// falls below the mesh, or to 0.
void far_slopes(const Problem& p, const Arrays& a, double spot, double tau, double& dr,
                double& dq) noexcept {
    constexpr double h = 1e-6;
    Problem moved = p;
    moved.r = p.r + h;
    const double r_up = far_value(moved, a, spot, tau);
    moved.r = p.r - h;
    const double r_down = far_value(moved, a, spot, tau);
    moved.r = p.r;
    moved.q = p.q + h;
    const double q_up = far_value(moved, a, spot, tau);
    moved.q = p.q - h;
    const double q_down = far_value(moved, a, spot, tau);
    dr = (r_up - r_down) / (2.0 * h);
    dq = (q_up - q_down) / (2.0 * h);
}

void set_up(const Context& c) noexcept {
    Arrays& a = c.a;
    const Problem& p = c.p;
    const double half_var = 0.5 * p.sigma * p.sigma;
    const double mu = p.r - p.q - half_var;
    for (int j = 0; j <= c.last; ++j) {
        a.spot[j] = fast::exp(c.mesh.x(j));
        a.payoff[j] = p.type == OptionType::Call ? a.spot[j] - p.k : p.k - a.spot[j];
        a.v[j] = std::fmax(a.payoff[j], 0.0);
        a.u_sigma[j] = 0.0;
        a.u_rate[j] = 0.0;
        a.u_yield[j] = 0.0;
        a.held[j] = 0;
    }
    for (int j = 1; j < c.last; ++j) {
        const double hm = c.mesh.x(j) - c.mesh.x(j - 1);
        const double hp = c.mesh.x(j + 1) - c.mesh.x(j);
        const double sum = hm + hp;
        a.dx_lo[j] = -hp / (hm * sum);
        a.dx_mid[j] = (hp - hm) / (hm * hp);
        a.dx_up[j] = hm / (hp * sum);
        a.dxx_lo[j] = 2.0 / (hm * sum);
        a.dxx_mid[j] = -2.0 / (hm * hp);
        a.dxx_up[j] = 2.0 / (hp * sum);
        a.op_lo[j] = half_var * a.dxx_lo[j] + mu * a.dx_lo[j];
        a.op_mid[j] = half_var * a.dxx_mid[j] + mu * a.dx_mid[j] - p.r;
        a.op_up[j] = half_var * a.dxx_up[j] + mu * a.dx_up[j];
    }
}

// Factors I - w L, w = theta dt, eliminating towards the exercise side.
void factor(const Context& c, double w) noexcept {
    if (c.policy) {
        return;  // policy iteration eliminates each policy's matrix itself
    }
    Arrays& a = c.a;
    // v_j = g_j - e_j v_{j - step}: eliminated rows couple to the row before
    // them in the order of elimination (`outer` the off-diagonal towards it).
    const double* outer = c.side == Side::Below ? a.op_up : a.op_lo;
    const double* inner = c.side == Side::Below ? a.op_lo : a.op_up;
    double e_before = 0.0;
    for (int n = 0, j = c.first; n < c.last - 1; ++n, j += c.step) {
        const double coupling = -w * outer[j];
        const double pivot = (1.0 - w * a.op_mid[j]) - coupling * e_before;
        a.inverse[j] = 1.0 / pivot;
        a.coupling[j] = coupling * a.inverse[j];
        a.e[j] = (-w * inner[j]) * a.inverse[j];
        e_before = a.e[j];
    }
}

// Solves (I - w L) next = (I + explicit_weight L) v with the edge values of
// `next` set, under the constraint next >= payoff for an American option;
// marks the rows held.
void substitute(const Context& c, double explicit_weight, double* next) noexcept {
    Arrays& a = c.a;
    const bool american = c.p.american;
    const double* v = a.v;
    // The explicit half of the step, row by row inside the elimination (which
    // waits on its own chain anyway).
    double g = next[c.first - c.step];
    for (int n = 0, j = c.first; n < c.last - 1; ++n, j += c.step) {
        const double rhs =
            v[j] + explicit_weight * (a.op_lo[j] * v[j - 1] + a.op_mid[j] * v[j] +
                                      a.op_up[j] * v[j + 1]);
        g = rhs * a.inverse[j] - a.coupling[j] * g;
        a.g[j] = g;
    }
    // Back from the exercise side, which the constraint reaches first.
    double before = next[c.back + c.step];
    for (int n = 0, j = c.back; n < c.last - 1; ++n, j -= c.step) {
        double value = a.g[j] - a.e[j] * before;
        const unsigned char held = american && value < a.payoff[j] ? 1 : 0;
        if (held != 0) {
            value = a.payoff[j];
        }
        a.held[j] = held;
        next[j] = value;
        before = value;
    }
}

// The tangent schemes: the derivative of one step in sigma, r and q, with
// the same factorisation and the held rows fixed at 0 (the payoff depends on
// none of them).  L_sigma v = sigma (v_xx - v_x), L_r v = v_x - v,
// L_q v = -v_x.
void substitute_tangents(const Context& c, double dt, double theta) noexcept {
    Arrays& a = c.a;
    const double sigma = c.p.sigma;
    const double explicit_weight = (1.0 - theta) * dt;
    const double implicit_source = theta * dt;
    const double explicit_source = (1.0 - theta) * dt;
    // Both sources act on dt (theta v_new + (1 - theta) v_old), one blend, and
    // share its first derivative; each row's right-hand side is formed inside
    // the elimination.
    const double* us = a.u_sigma;
    const double* ur = a.u_rate;
    const double* uq = a.u_yield;
    double gs = 0.0;
    double gr = 0.0;
    double gq = 0.0;
    for (int n = 0, j = c.first; n < c.last - 1; ++n, j += c.step) {
        const double lo = implicit_source * a.v[j - 1] + explicit_source * a.v_old[j - 1];
        const double mid = implicit_source * a.v[j] + explicit_source * a.v_old[j];
        const double up = implicit_source * a.v[j + 1] + explicit_source * a.v_old[j + 1];
        const double first = a.dx_lo[j] * lo + a.dx_mid[j] * mid + a.dx_up[j] * up;
        const double second = a.dxx_lo[j] * lo + a.dxx_mid[j] * mid + a.dxx_up[j] * up;
        const double rhs_sigma = us[j] +
                                 explicit_weight * (a.op_lo[j] * us[j - 1] + a.op_mid[j] * us[j] +
                                                    a.op_up[j] * us[j + 1]) +
                                 sigma * (second - first);
        const double rhs_rate = ur[j] +
                                explicit_weight * (a.op_lo[j] * ur[j - 1] + a.op_mid[j] * ur[j] +
                                                   a.op_up[j] * ur[j + 1]) +
                                (first - mid);
        const double rhs_yield = uq[j] +
                                 explicit_weight * (a.op_lo[j] * uq[j - 1] + a.op_mid[j] * uq[j] +
                                                    a.op_up[j] * uq[j + 1]) -
                                 first;
        gs = rhs_sigma * a.inverse[j] - a.coupling[j] * gs;
        gr = rhs_rate * a.inverse[j] - a.coupling[j] * gr;
        gq = rhs_yield * a.inverse[j] - a.coupling[j] * gq;
        a.g_sigma[j] = gs;
        a.g_rate[j] = gr;
        a.g_yield[j] = gq;
    }
    a.u_sigma[0] = a.u_sigma[c.last] = 0.0;
    a.u_rate[0] = a.u_rate[c.last] = 0.0;
    a.u_yield[0] = a.u_yield[c.last] = 0.0;
    double bs = 0.0;
    double br = 0.0;
    double bq = 0.0;
    for (int n = 0, j = c.back; n < c.last - 1; ++n, j -= c.step) {
        bs = a.held[j] != 0 ? 0.0 : a.g_sigma[j] - a.e[j] * bs;
        br = a.held[j] != 0 ? 0.0 : a.g_rate[j] - a.e[j] * br;
        bq = a.held[j] != 0 ? 0.0 : a.g_yield[j] - a.e[j] * bq;
        a.u_sigma[j] = bs;
        a.u_rate[j] = br;
        a.u_yield[j] = bq;
    }
}

// Policy iteration (Howard's algorithm) for min((I - w L) x - rhs, x - payoff)
// = 0: each row takes the branch with the smaller residual, the rows held on
// the payoff solved as identities, until no row changes branch; it starts
// from the previous step's held rows.  The rows are eliminated from the
// bottom up with the held rows in the matrix (a.e: elimination factors,
// a.inverse: reciprocal pivots), which the tangents then reuse.  The
// right-hand side is in a.coupling (unused by this path).
void solve_policy(const Context& c, double w, double explicit_weight, double* next) noexcept {
    Arrays& a = c.a;
    const double* v = a.v;
    double* rhs = a.coupling;
    for (int j = 1; j < c.last; ++j) {
        rhs[j] = v[j] + explicit_weight *
                            (a.op_lo[j] * v[j - 1] + a.op_mid[j] * v[j] + a.op_up[j] * v[j + 1]);
    }
    constexpr int kMaxPolicies = 100;
    for (int policy = 0; policy < kMaxPolicies; ++policy) {
        double e_before = 0.0;
        double g = next[0];
        for (int j = 1; j < c.last; ++j) {
            const bool held = a.held[j] != 0;
            const double lo = held ? 0.0 : -w * a.op_lo[j];
            const double mid = held ? 1.0 : 1.0 - w * a.op_mid[j];
            const double up = held ? 0.0 : -w * a.op_up[j];
            const double right = held ? a.payoff[j] : rhs[j];
            a.inverse[j] = 1.0 / (mid - lo * e_before);
            a.e[j] = up * a.inverse[j];
            g = (right - lo * g) * a.inverse[j];
            a.g[j] = g;
            e_before = a.e[j];
        }
        for (int j = c.last - 1; j >= 1; --j) {
            next[j] = a.g[j] - a.e[j] * next[j + 1];
        }
        bool changed = false;
        for (int j = 1; j < c.last; ++j) {
            const double equation = (1.0 - w * a.op_mid[j]) * next[j] -
                                    w * (a.op_lo[j] * next[j - 1] + a.op_up[j] * next[j + 1]) -
                                    rhs[j];
            const unsigned char held = next[j] - a.payoff[j] < equation ? 1 : 0;
            changed |= held != a.held[j];
            a.held[j] = held;
        }
        if (!changed) {
            break;
        }
    }
}

// The tangents of a policy step: the same sources as substitute_tangents,
// solved with the final policy's elimination (held rows: 0).
void solve_policy_tangents(const Context& c, double w, double dt, double theta) noexcept {
    Arrays& a = c.a;
    const double explicit_weight = (1.0 - theta) * dt;
    const double implicit_source = theta * dt;
    const double explicit_source = (1.0 - theta) * dt;
    double gs = 0.0;
    double gr = 0.0;
    double gq = 0.0;
    for (int j = 1; j < c.last; ++j) {
        const double lo = implicit_source * a.v[j - 1] + explicit_source * a.v_old[j - 1];
        const double mid = implicit_source * a.v[j] + explicit_source * a.v_old[j];
        const double up = implicit_source * a.v[j + 1] + explicit_source * a.v_old[j + 1];
        const double first = a.dx_lo[j] * lo + a.dx_mid[j] * mid + a.dx_up[j] * up;
        const double second = a.dxx_lo[j] * lo + a.dxx_mid[j] * mid + a.dxx_up[j] * up;
        const double* us = a.u_sigma;
        const double* ur = a.u_rate;
        const double* uq = a.u_yield;
        const bool held = a.held[j] != 0;
        const double rhs_sigma =
            held ? 0.0
                 : us[j] + explicit_weight * (a.op_lo[j] * us[j - 1] + a.op_mid[j] * us[j] +
                                              a.op_up[j] * us[j + 1]) +
                       c.p.sigma * (second - first);
        const double rhs_rate =
            held ? 0.0
                 : ur[j] + explicit_weight * (a.op_lo[j] * ur[j - 1] + a.op_mid[j] * ur[j] +
                                              a.op_up[j] * ur[j + 1]) +
                       (first - mid);
        const double rhs_yield =
            held ? 0.0
                 : uq[j] + explicit_weight * (a.op_lo[j] * uq[j - 1] + a.op_mid[j] * uq[j] +
                                              a.op_up[j] * uq[j + 1]) -
                       first;
        const double row_lo = held ? 0.0 : -w * a.op_lo[j];
        gs = (rhs_sigma - row_lo * gs) * a.inverse[j];
        gr = (rhs_rate - row_lo * gr) * a.inverse[j];
        gq = (rhs_yield - row_lo * gq) * a.inverse[j];
        a.g_sigma[j] = gs;
        a.g_rate[j] = gr;
        a.g_yield[j] = gq;
    }
    a.u_sigma[0] = a.u_sigma[c.last] = 0.0;
    a.u_rate[0] = a.u_rate[c.last] = 0.0;
    a.u_yield[0] = a.u_yield[c.last] = 0.0;
    for (int j = c.last - 1; j >= 1; --j) {
        a.u_sigma[j] = a.g_sigma[j] - a.e[j] * a.u_sigma[j + 1];
        a.u_rate[j] = a.g_rate[j] - a.e[j] * a.u_rate[j + 1];
        a.u_yield[j] = a.g_yield[j] - a.e[j] * a.u_yield[j + 1];
    }
}

// One theta-scheme step of length dt ending at time to expiry tau.
void step(const Context& c, double dt, double theta, double tau) noexcept {
    Arrays& a = c.a;
    // The new level goes into the spare buffer, which then becomes a.v: the
    // old level stays in a.v_old for the tangents.
    double* next = a.v_old;
    next[0] = c.fixed_edges ? a.v[0] : far_value(c.p, a, a.spot[0], tau);
    next[c.last] = c.fixed_edges ? a.v[c.last] : far_value(c.p, a, a.spot[c.last], tau);
    if (c.policy) {
        solve_policy(c, theta * dt, (1.0 - theta) * dt, next);
        std::swap(a.v, a.v_old);
        if (c.sensitivities) {
            solve_policy_tangents(c, theta * dt, dt, theta);
        }
        return;
    }
    substitute(c, (1.0 - theta) * dt, next);
    std::swap(a.v, a.v_old);
    if (c.sensitivities) {
        substitute_tangents(c, dt, theta);
    }
}

// Integral of max(f, 0) over an interval of length `length` where f runs
// linearly from a to b.
[[nodiscard]] double positive_part(double a, double b, double length) noexcept {
    if (a >= 0.0 && b >= 0.0) {
        return 0.5 * length * (a + b);
    }
    if (a <= 0.0 && b <= 0.0) {
        return 0.0;
    }
    const double top = std::fmax(a, b);
    return 0.5 * length * top * top / (std::fabs(a) + std::fabs(b));
}

// The exercise just before an ex-date leaves V = max(payoff, continuation)
// with a kink where they cross, between nodes: its nodal values carry an
// error that is not smooth in h, which neither the Rannacher steps nor the
// extrapolation remove.  The two nodes beside each crossing take instead
// the average of max(margin, 0) over their cells (the margin piecewise
// linear between nodes), as nonsmooth initial data are averaged (Pooley,
// Vetzal and Forsyth 2003).  The margin is in a.g.
void average_kinks(const Context& c) noexcept {
    Arrays& a = c.a;
    const double* d = a.g;
    const auto cell_average = [&](int j) {
        const double xm = c.mesh.x(j - 1);
        const double x0 = c.mesh.x(j);
        const double xp = c.mesh.x(j + 1);
        const double left = 0.5 * (x0 - xm);
        const double right = 0.5 * (xp - x0);
        const double integral = positive_part(0.5 * (d[j - 1] + d[j]), d[j], left) +
                                positive_part(d[j], 0.5 * (d[j] + d[j + 1]), right);
        return a.payoff[j] + integral / (left + right);
    };
    for (int j = 1; j + 2 <= c.last; ++j) {
        if ((d[j] > 0.0) != (d[j + 1] > 0.0)) {
            a.moved[j] = std::fmax(cell_average(j), a.payoff[j]);
            a.moved[j + 1] = std::fmax(cell_average(j + 1), a.payoff[j + 1]);
        }
    }
}

// A spot at or below the dividend falls to 0 and stays there: V(S, t-) =
// V(0, t+) below S = D and V(S - D, t+) above it, a kink at x_D = ln D between
// nodes (a put's slope in x jumps from 0 to -D).  Its two nodes take the
// cell average of the kink's part (Pooley, Vetzal and Forsyth 2003): with
// F the values and R the branch above x_D continued below it, F - R =
// s (x - x_D) below x_D and 0 above, s = -D dV/dS(0+, t+); the node's value
// becomes R(x_j) plus the average of that over its cell.  dV/dS at 0+ is the
// far value's: exact for a European option (the forward intrinsic value);
// for an American one only while the far value keeps that slope across the
// cell (an American put near 0 may be exercised or held for the spot to
// fall to 0, and the value bends where the two meet: a put at S = D + 0.7
// read 1.7e-2 low with the slope at 0+ alone).
void average_ruin_kink(const Context& c, double amount, double tau) noexcept {
    Arrays& a = c.a;
    if (a.averaging || !a.ruin_kinks || !(amount > a.spot[1]) || !(amount < a.spot[c.last - 1])) {
        return;
    }
    int j = 1;
    while (a.spot[j + 1] <= amount) {
        ++j;
    }
    const double h = 1e-7 * amount;
    const double slope = (far_value(c.p, a, h, tau) - far_value(c.p, a, 0.0, tau)) / h;
    // The linear model must hold across the cell: the far value's slope the
    // same at the spot the node beyond the kink falls to (on a local mesh,
    // across the spread of today's stretch, which its cells are far below).
    const double beyond = std::fmax(a.spot[j + 1] - amount, c.ruin_check_spread);
    const double slope_beyond =
        (far_value(c.p, a, beyond + h, tau) - far_value(c.p, a, beyond, tau)) / h;
    if (!(std::fabs(slope_beyond - slope) <= 1e-6 * std::fabs(slope))) {
        return;
    }
    const double s = -amount * slope;
    if (s == 0.0) {
        return;
    }
    const double xd = fast::log(amount);
    const auto kink_average = [&](int node) {
        const double lo = 0.5 * (c.mesh.x(node - 1) + c.mesh.x(node));
        const double hi = 0.5 * (c.mesh.x(node) + c.mesh.x(node + 1));
        const double top = std::fmin(hi, xd);
        if (!(top > lo)) {
            return 0.0;
        }
        const double integral = 0.5 * ((top - xd) * (top - xd) - (lo - xd) * (lo - xd));
        return s * integral / (hi - lo);
    };
    const double xj = c.mesh.x(j);
    a.moved[j] += -s * (xj - xd) + kink_average(j);
    a.moved[j + 1] += kink_average(j + 1);
}

void settle_jump(const Context& c, double amount, double tau) noexcept;

// The level on the mesh at a spot `paid` after the drop, with its tangents
// (value, d/dsigma, d/dr, d/dq): quintic interpolation in node units, or the
// far value below the mesh (or at a spot of 0).
void carried_at(const Context& c, double paid, double tau, double out[4]) noexcept {
    const Arrays& a = c.a;
    out[0] = out[1] = out[2] = out[3] = 0.0;
    if (!(paid > a.spot[0])) {
        out[0] = far_value(c.p, a, std::fmax(paid, 0.0), tau);
        if (c.sensitivities) {
            far_slopes(c.p, a, std::fmax(paid, 0.0), tau, out[2], out[3]);
        }
        return;
    }
    const Stencil st = lagrange(c.mesh.node_of(fast::log(paid)), 6, c.last, false);
    for (int i = 0; i < 6; ++i) {
        const int j = st.first + i;
        out[0] += st.w[i] * a.v[j];
        out[1] += st.w[i] * a.u_sigma[j];
        out[2] += st.w[i] * a.u_rate[j];
        out[3] += st.w[i] * a.u_yield[j];
    }
}

// Each inner node's cell, [x_{j-1/2}, x_{j+1/2}], averages the carried
// value (and its tangents) by four-point Gauss-Legendre on each half, split
// at ln D where the spot falls to 0 (the kink there is then averaged too,
// and average_ruin_kink is left out).  Into a.moved and its tangents.
void average_cells(const Context& c, double amount, double tau) noexcept {
    constexpr double kNodes[4] = {-0.8611363115940526, -0.3399810435848563,
                                  0.3399810435848563, 0.8611363115940526};
    constexpr double kWeights[4] = {0.3478548451374538, 0.6521451548625461,
                                    0.6521451548625461, 0.3478548451374538};
    Arrays& a = c.a;
    const double xd = fast::log(amount);
    for (int j = 1; j < c.last; ++j) {
        double cuts[4] = {0.5 * (c.mesh.x(j - 1) + c.mesh.x(j)), c.mesh.x(j),
                          0.5 * (c.mesh.x(j) + c.mesh.x(j + 1)), 0.0};
        int pieces = 2;
        if (xd > cuts[0] && xd < cuts[2] && xd != cuts[1]) {
            const int at = xd < cuts[1] ? 1 : 2;
            for (int i = 3; i > at; --i) {
                cuts[i] = cuts[i - 1];
            }
            cuts[at] = xd;
            pieces = 3;
        }
        double sum[4] = {0.0, 0.0, 0.0, 0.0};
        for (int piece = 0; piece < pieces; ++piece) {
            const double mid = 0.5 * (cuts[piece] + cuts[piece + 1]);
            const double half = 0.5 * (cuts[piece + 1] - cuts[piece]);
            for (int g = 0; g < 4; ++g) {
                double point[4];
                carried_at(c, fast::exp(mid + half * kNodes[g]) - amount, tau, point);
                for (int f = 0; f < 4; ++f) {
                    sum[f] += half * kWeights[g] * point[f];
                }
            }
        }
        const double width = cuts[pieces] - cuts[0];
        a.moved[j] = sum[0] / width;
        a.moved_sigma[j] = sum[1] / width;
        a.moved_rate[j] = sum[2] / width;
        a.moved_yield[j] = sum[3] / width;
    }
}

// V(S, t-) = V(max(S - D, 0), t+), by quintic interpolation in node units (its
// error, unlike the scheme's, is not smooth in h and would survive the
// extrapolation, so it must be far below it); below
// the mesh the far value.  An American holder may exercise just before.
void jump(const Context& c, double amount, double tau) noexcept {
    Arrays& a = c.a;
    const double spot_low = a.spot[0];
    if (amount != a.stencil_amount) {
        for (int j = 0; j <= c.last; ++j) {
            const double paid = a.spot[j] - amount;
            if (!(paid > spot_low)) {
                a.stencil_first[j] = -1;
                continue;
            }
            const Stencil st = lagrange(c.mesh.node_of(fast::log(paid)), 6, c.last, false);
            a.stencil_first[j] = st.first;
            std::copy(st.w, st.w + 6, a.stencil_weights.get() + 6 * j);
        }
        a.stencil_amount = amount;
    }
    for (int j = 0; j <= c.last; ++j) {
        double value;
        double ds = 0.0;
        double dr = 0.0;
        double dq = 0.0;
        const int first = a.stencil_first[j];
        if (first < 0) {
            const double left = std::fmax(a.spot[j] - amount, 0.0);
            value = far_value(c.p, a, left, tau);
            if (c.sensitivities) {
                far_slopes(c.p, a, left, tau, dr, dq);
            }
        } else {
            const double* w = a.stencil_weights.get() + 6 * j;
            value = 0.0;
            for (int i = 0; i < 6; ++i) {
                value += w[i] * a.v[first + i];
                ds += w[i] * a.u_sigma[first + i];
                dr += w[i] * a.u_rate[first + i];
                dq += w[i] * a.u_yield[first + i];
            }
        }
        a.moved[j] = value;
        a.moved_sigma[j] = ds;
        a.moved_rate[j] = dr;
        a.moved_yield[j] = dq;
    }
    if (a.averaging) {
        // Reads a.v, writes a.moved: the edges keep their point values.
        average_cells(c, amount, tau);
    }
    settle_jump(c, amount, tau);
}

// The carried values (in a.moved and its tangents) become the level just
// before the ex-date: the kink at S = D averaged, the holder's exercise
// taken, its kinks averaged.
void settle_jump(const Context& c, double amount, double tau) noexcept {
    Arrays& a = c.a;
    average_ruin_kink(c, amount, tau);
    for (int j = 0; j <= c.last; ++j) {
        a.g[j] = a.moved[j] - a.payoff[j];  // the continuation's margin over exercise
        if (c.p.american && a.moved[j] < a.payoff[j]) {
            a.moved[j] = a.payoff[j];
            a.moved_sigma[j] = 0.0;
            a.moved_rate[j] = 0.0;
            a.moved_yield[j] = 0.0;
        }
    }
    if (c.p.american) {
        average_kinks(c);
    }
    std::copy(a.moved, a.moved + c.last + 1, a.v);
    std::copy(a.moved_sigma, a.moved_sigma + c.last + 1, a.u_sigma);
    std::copy(a.moved_rate, a.moved_rate + c.last + 1, a.u_rate);
    std::copy(a.moved_yield, a.moved_yield + c.last + 1, a.u_yield);
}

// Steps of the coarsest solve in each stretch between jumps: proportional to
// its length, at least `least`; the finer solves take two and four times as
// many.
[[nodiscard]] int coarse_steps(double length, double t, int coarse_total,
                               int least) noexcept {
    return std::max(least, static_cast<int>(std::ceil(coarse_total * (length / t) - 1e-9)));
}

// One stretch [start, end) of time to expiry in `steps` steps (the
// coarsest solve's count times `refine`), graded over its start.
void march_stretch(const Context& c, double start, double end, int coarsest,
                   int refine) noexcept {
    const int steps = refine * coarsest;
    // Steps grow linearly over the first quarter of the stretch and are
    // uniform after it (levels quadratic, then linear with the same
    // slope): the exercise boundary moves like sqrt(tau) after the
    // start of every stretch, where uniform steps would leave a
    // first-order error in time, and the uniform part needs one
    // factorisation only.
    // Counted on the coarsest solve and refined with it, so that every
    // solve's time levels contain the coarser ones: the extrapolation
    // needs the same grading at every level.
    const int graded = refine * std::max(1, coarsest / kGradedFraction);
    const double length = end - start;
    const double scale = length / (static_cast<double>(graded) * (2 * steps - graded));
    const auto level = [&](int n) {
        if (n == steps) {
            return end;
        }
        const double at = n <= graded ? static_cast<double>(n) * n
                                      : static_cast<double>(graded) * (2 * n - graded);
        return start + scale * at;
    };
    // Rannacher start: the first step as two implicit Euler half steps
    // (the matrix I - (dt/2) L of a Crank-Nicolson step of dt) damps the
    // non-smooth start of every stretch.
    const double first = level(1) - start;
    factor(c, 0.5 * first);
    step(c, 0.5 * first, 1.0, start + 0.5 * first);
    step(c, 0.5 * first, 1.0, level(1));
    for (int n = 2; n <= steps; ++n) {
        const double dt = level(n) - level(n - 1);
        if (n <= graded + 1) {
            factor(c, 0.5 * dt);
        }
        step(c, dt, 0.5, level(n));
    }
}

// The final stretch's local mesh: nearly uniform (a sinh of arguments
// below 1e-3), centred on the spot, kLocalDeviations of the stretch's own
// deviation beside its drift on each side.
[[nodiscard]] Mesh local_mesh(const Problem& p, double length, int intervals) noexcept {
    const double spread = p.sigma * std::sqrt(length);
    const double half_width =
        kLocalDeviations * spread + std::fabs(p.r - p.q - 0.5 * p.sigma * p.sigma) * length;
    Mesh m{};
    m.intervals = intervals;
    m.strike_node = intervals / 2;
    m.x_strike = fast::log(p.s);
    m.delta = 2e-3 / intervals;
    m.lambda = half_width / mesh_sinh(m.delta * m.strike_node);
    return m;
}

// The main mesh's level just after the earliest ex-date (context `c`),
// carried to the nodes of the local mesh `local` less the dividend: quintic
// interpolation, or the far value below the main mesh.
void carry_to_local(const Context& c, const Mesh& local, double amount, double tau) noexcept {
    Arrays& a = c.a;
    for (int l = 0; l <= local.intervals; ++l) {
        double point[4];
        carried_at(c, fast::exp(local.x(l)) - amount, tau, point);
        a.carried[l] = point[0];
        a.carried_sigma[l] = point[1];
        a.carried_rate[l] = point[2];
        a.carried_yield[l] = point[3];
    }
}

// Today's stretch on a local mesh whose nodes are every `stride`-th of the
// carried ones: the jump settled there, `steps` steps, the spot read.
[[nodiscard]] Solution solve_local(const Problem& p, const Mesh& local, int stride, Arrays& a,
                                   bool sensitivities, double amount, double tau,
                                   int steps) noexcept;

// Reads the value at the spot from the current level on `mesh`.
[[nodiscard]] Solution read(const Problem& p, const Mesh& mesh, const Arrays& a,
                            bool sensitivities) noexcept {
    // Six-point Lagrange interpolation in node units, mapped to ln S
    // through x(u) = x_K + lambda sinh(delta (u - j_K)).
    const double u = mesh.node_of(fast::log(p.s));
    const int below = std::clamp(static_cast<int>(std::floor(u)), 0, mesh.intervals - 1);
    if (p.american && a.held[below] != 0 && a.held[below + 1] != 0) {
        // The spot lies in the discrete exercise region: the exercise value
        // and the payoff's derivatives.  The stencil would reach across the
        // region's edge, where the second derivative jumps, and read a value
        // just above the payoff with a gamma of the wrong sign (-5e-4 next to
        // a boundary of the double-boundary regime at a 24-day expiry).
        Solution x{};
        x.value = p.type == OptionType::Call ? p.s - p.k : p.k - p.s;
        x.delta = p.type == OptionType::Call ? 1.0 : -1.0;
        x.exercised = true;
        return x;
    }
    const Stencil st = lagrange(u, 6, mesh.intervals, true);
    Solution s{};
    double v_u = 0.0;
    double v_uu = 0.0;
    for (int i = 0; i < 6; ++i) {
        const int j = st.first + i;
        s.value += st.w[i] * a.v[j];
        v_u += st.d1[i] * a.v[j];
        v_uu += st.d2[i] * a.v[j];
        if (sensitivities) {
            s.dsigma += st.w[i] * a.u_sigma[j];
            s.drate += st.w[i] * a.u_rate[j];
            s.dyield += st.w[i] * a.u_yield[j];
        }
    }
    const double arg = mesh.delta * (u - mesh.strike_node);
    const double x_u = mesh.lambda * mesh.delta * mesh_cosh(arg);
    const double x_uu = mesh.lambda * mesh.delta * mesh.delta * mesh_sinh(arg);
    const double v_x = v_u / x_u;
    const double v_xx = (v_uu - v_x * x_uu) / (x_u * x_u);
    s.delta = v_x / p.s;
    s.gamma = (v_xx - v_x) / (p.s * p.s);
    return s;
}

Solution solve_local(const Problem& p, const Mesh& local, int stride, Arrays& a,
                     bool sensitivities, double amount, double tau, int steps) noexcept {
    Context lc = make_context(p, local, a, sensitivities);
    lc.fixed_edges = true;
    // The kink at S = D averaged as on the main mesh, but only where the
    // value after the drop is linear near 0 across today's spread, not just
    // across a local cell: an American put near 0 bends where exercising
    // meets holding for a later ruin (a put on 30.73 with dividends of 30
    // and 40 read 5.6e-3 low with the check across a cell), while without
    // the average a put on 200 with a dividend of 220 read 1.9e-2 high.
    lc.ruin_check_spread = amount * p.sigma * std::sqrt(p.t - tau);
    for (int l = 0; l <= local.intervals; ++l) {
        a.moved[l] = a.carried[stride * l];
        a.moved_sigma[l] = a.carried_sigma[stride * l];
        a.moved_rate[l] = a.carried_rate[stride * l];
        a.moved_yield[l] = a.carried_yield[stride * l];
    }
    set_up(lc);
    settle_jump(lc, amount, tau);
    march_stretch(lc, tau, p.t, steps, 1);
    return read(p, local, a, sensitivities);
}

// `local_intervals` > 0: the stretch from the earliest ex-date to today is
// solved on its own local mesh of that many intervals (see solve).
Solution march(const Problem& p, const Mesh& mesh, Arrays& a, int coarse_total, int refine,
               bool sensitivities, int local_intervals) noexcept {
    const Context c = make_context(p, mesh, a, sensitivities);
    set_up(c);
    a.paid_value = 0.0;
    a.paid_tau = 0.0;
    a.stencil_amount = -1.0;  // no stencil for this mesh yet
    double start = 0.0;
    std::size_t next_jump = 0;
    // The least steps a stretch takes: kMinStretchSteps, as long as they add
    // no more than the steps in all, and never fewer than two (a stretch on
    // one step is all Rannacher start, first order in time: a put over ten
    // years with monthly dividends read 2.4e-3 high at "accurate", 1.3e-5
    // with two).  A schedule of 1e5 ex-dates costs two steps a stretch.
    const int stretches = static_cast<int>(std::min<std::size_t>(p.jumps.size(), 1u << 20)) + 1;
    const int least = std::clamp(coarse_total / stretches, 2, kMinStretchSteps);
    const int today_cells = mesh.intervals / refine / kTodayCellsPerStep;
    const int least_today = today_cells > kMinStretchSteps ? today_cells : least;
    while (true) {
        // Stretch [start, end): up to the next jump or to the expiry.
        const double end = next_jump < p.jumps.size() ? p.jumps[next_jump].tau : p.t;
        if (end > start) {
            const int steps = coarse_steps(end - start, p.t, coarse_total, least);
            march_stretch(c, start, end,
                          next_jump >= p.jumps.size() && !p.jumps.empty()
                              ? std::max(steps, least_today)
                              : steps,
                          refine);
        }
        if (next_jump >= p.jumps.size()) {
            break;
        }
        // Every jump at this time to expiry; the cash still to pay beyond
        // them counts them once all are applied.
        const std::size_t first_here = next_jump;
        std::size_t after = next_jump;
        double amount = 0.0;
        while (after < p.jumps.size() && p.jumps[after].tau == end) {
            amount += p.jumps[after].amount;
            ++after;
        }
        if (local_intervals > 0 && after == p.jumps.size() && end < p.t) {
            // The earliest ex-date: its dividends paid together (a spot
            // below their sum falls to 0 either way), then today's stretch
            // on the local mesh, read there.
            // The local solve and one on every other node with half the
            // steps, extrapolated: its own error is the same at every level
            // of the main extrapolation, which cannot remove it.
            const Mesh local = local_mesh(p, p.t - end, local_intervals);
            const int local_steps = local_intervals / 2;
            carry_to_local(c, local, amount, end);
            const Solution f =
                solve_local(p, local, 1, a, sensitivities, amount, end, local_steps);
            if (f.exercised) {
                return f;
            }
            const bool tangents = sensitivities && !p.american;
            const Solution g =
                solve_local(p, coarser(local), 2, a, tangents, amount, end, local_steps / 2);
            const auto extrapolate = [](double finer, double coarser_value) {
                return (4.0 * finer - coarser_value) / 3.0;
            };
            Solution s = f;
            s.value = extrapolate(f.value, g.value);
            s.delta = extrapolate(f.delta, g.delta);
            s.gamma = extrapolate(f.gamma, g.gamma);
            if (tangents) {
                s.dsigma = extrapolate(f.dsigma, g.dsigma);
                s.drate = extrapolate(f.drate, g.drate);
                s.dyield = extrapolate(f.dyield, g.dyield);
            }
            return s;
        }
        for (; next_jump < after; ++next_jump) {
            // The latest ex-date alone (two dividends on it: point values).
            a.averaging = a.average_latest && after == 1;
            jump(c, p.jumps[next_jump].amount, end);
        }
        a.averaging = false;
        for (std::size_t i = first_here; i < next_jump; ++i) {
            count_jump(p, a, p.jumps[i]);
        }
        if (p.cancel != nullptr && p.cancel->load(std::memory_order_relaxed)) {
            Solution cancelled{};
            cancelled.value = std::numeric_limits<double>::quiet_NaN();
            return cancelled;
        }
        start = end;
        if (end >= p.t) {
            break;
        }
    }
    return read(p, mesh, a, sensitivities);
}

}  // namespace

Result<Solution> solve(const Problem& p, Resolution resolution, bool sensitivities) noexcept {
    const Mesh fine = make_mesh(p, resolution.space);
    Arrays a;
    if (!allocate(a, fine.intervals + 1)) {
        return std::unexpected(OptionError::invalid_parameters("out of memory for the grid"));
    }
    const Mesh middle = coarser(fine);
    const Mesh coarsest = resolution.levels == 1   ? fine
                          : resolution.levels == 2 ? middle
                                                   : coarser(middle);
    // Decided once for every level, so that all extrapolate alike.
    int local_intervals = 0;
    if (!p.jumps.empty() && fine.intervals >= kMinLocalIntervals) {
        const double first = p.t - p.jumps.back().tau;  // today to the earliest ex-date
        const double u = coarsest.node_of(fast::log(p.s));
        const double cell = coarsest.lambda * coarsest.delta *
                            mesh_cosh(coarsest.delta * (u - coarsest.strike_node));
        if (p.sigma * std::sqrt(first) < kLocalCells * cell) {
            local_intervals = std::max(kMinLocalIntervals, fine.intervals / 8 * 4);
        }
    }
    // Whether the latest jump averages its cells: decided once for every
    // level, like the local mesh, so that all extrapolate alike.
    // Not for an American call: its holder may exercise just before the
    // drop, and the kink that leaves (averaged by average_kinks on point
    // values) lies where the cell averages would blur it twice (a call on
    // 200 with a dividend of 2 three days before expiry read 5.2e-2 low at
    // "fast").
    if (!p.jumps.empty() && !(p.american && p.type == OptionType::Call)) {
        const Jump& latest = p.jumps.front();
        const double u = coarsest.node_of(fast::log(p.k + latest.amount));
        const double cell = coarsest.lambda * coarsest.delta *
                            mesh_cosh(coarsest.delta * (u - coarsest.strike_node));
        a.average_latest = p.sigma * std::sqrt(latest.tau) < kNarrowCells * cell;
    }
    // The kink at S = D is averaged for a European value on every mesh (its
    // slope at S = 0+ is the forward's, exact there); for an American one
    // only where the coarsest mesh resolves it (cells below kMaxRuinCell in
    // ln S at every dividend): on a coarser cell the average moves the value
    // by more than it corrects, and the extrapolation needs the same
    // treatment at every level.
    {
        a.ruin_kinks = true;
        for (const Jump& jump : p.jumps) {
            const double u = coarsest.node_of(fast::log(jump.amount));
            if (p.american && u > 0.0 && u < coarsest.intervals) {
                const double cell = coarsest.lambda * coarsest.delta *
                                    mesh_cosh(coarsest.delta * (u - coarsest.strike_node));
                a.ruin_kinks = a.ruin_kinks && cell <= kMaxRuinCell;
            }
        }
    }
    // The tangents of an American scheme carry an O(h) error that changes
    // sign each time the discrete boundary crosses a node: no extrapolation
    // removes it, and the weights of one would amplify it.  There vega and rho
    // come from the finest mesh alone and the coarser solves skip the
    // tangents; a European scheme's tangents are extrapolated like the value.
    const bool coarse_tangents = sensitivities && !p.american;
    const double exercise = p.type == OptionType::Call ? p.s - p.k : p.k - p.s;
    // Where the finest mesh has the spot in its exercise region the option
    // is exercised: no extrapolation mixes it with a coarser mesh's
    // continuation value.
    const auto exercised = [](const Solution& finest) { return finest.exercised; };
    Solution s{};
    if (resolution.levels == 1) {
        // The finest solve alone.
        s = march(p, fine, a, resolution.time, 1, sensitivities, local_intervals);
        if (exercised(s)) {
            return s;
        }
    } else if (resolution.levels == 2) {
        // Richardson in (h, dt) halved together: the error is O(h^2).
        const int coarse_total = resolution.time / 2;
        const Solution f = march(p, fine, a, coarse_total, 2, sensitivities, local_intervals);
        if (exercised(f)) {
            return f;
        }
        const Solution g = march(p, middle, a, coarse_total, 1, coarse_tangents, local_intervals);
        const auto extrapolate = [](double finer, double coarser_value) {
            return (4.0 * finer - coarser_value) / 3.0;
        };
        s.value = extrapolate(f.value, g.value);
        s.delta = extrapolate(f.delta, g.delta);
        s.gamma = extrapolate(f.gamma, g.gamma);
        s.dsigma = coarse_tangents ? extrapolate(f.dsigma, g.dsigma) : f.dsigma;
        s.drate = coarse_tangents ? extrapolate(f.drate, g.drate) : f.drate;
        s.dyield = coarse_tangents ? extrapolate(f.dyield, g.dyield) : f.dyield;
        s.exercised = f.exercised;
    } else {
        // Romberg over h, 2h, 4h: the error of the scheme is c2 h^2 + c4 h^4
        // + ..., and the coarsest solve costs a sixteenth of the finest.
        const int coarsest_total = resolution.time / 4;
        const Solution f = march(p, fine, a, coarsest_total, 4, sensitivities, local_intervals);
        if (exercised(f)) {
            return f;
        }
        const Solution g = march(p, middle, a, coarsest_total, 2, coarse_tangents, local_intervals);
        const Solution h = march(p, coarsest, a, coarsest_total, 1, coarse_tangents, local_intervals);
        const auto extrapolate = [](double finest, double middle_value, double coarsest) {
            return (64.0 * finest - 20.0 * middle_value + coarsest) / 45.0;
        };
        s.value = extrapolate(f.value, g.value, h.value);
        s.delta = extrapolate(f.delta, g.delta, h.delta);
        s.gamma = extrapolate(f.gamma, g.gamma, h.gamma);
        s.dsigma = coarse_tangents ? extrapolate(f.dsigma, g.dsigma, h.dsigma) : f.dsigma;
        s.drate = coarse_tangents ? extrapolate(f.drate, g.drate, h.drate) : f.drate;
        s.dyield = coarse_tangents ? extrapolate(f.dyield, g.dyield, h.dyield) : f.dyield;
        s.exercised = f.exercised;
    }
    if (p.cancel != nullptr && p.cancel->load(std::memory_order_relaxed)) {
        return std::unexpected(OptionError::invalid_parameters("cancelled"));
    }
    // A NaN is a failure, never clamped into a value.
    if (!std::isfinite(s.value)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the grid solver could not value these inputs"));
    }
    // Far out of the money the extrapolation may leave a value of -1e-12:
    // no option is worth less than nothing.
    s.value = std::fmax(s.value, 0.0);
    if (p.american && s.value <= exercise) {
        Solution held{};
        held.value = exercise;
        held.delta = p.type == OptionType::Call ? 1.0 : -1.0;
        return held;
    }
    // Between ex-dates the Black-Scholes equation holds at the spot.
    s.dtau = 0.5 * p.sigma * p.sigma * p.s * p.s * s.gamma + (p.r - p.q) * p.s * s.delta -
             p.r * s.value;
    if (!std::isfinite(s.value)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the grid solver could not value these inputs"));
    }
    return s;
}

}  // namespace greekmill::grid
