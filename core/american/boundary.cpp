#include "boundary.hpp"

#include <cmath>
#include <numbers>

#include "option.hpp"
#include "qd_plus.hpp"

namespace greekmill::american::detail {
namespace {

// 1 / sqrt(2 pi) rounded to double.
constexpr double kInvSqrt2Pi = 0.3989422804014327;

// Quantities of the FP-B map at node i that do not change between iterations.
struct NodeGrid {
    std::array<double, kMaxN + 1> tau;
    std::array<double, kMaxN + 1> sigma_sqrt_tau;
    // Per node i and point j: sigma sqrt(tau_i - u_j), exp(-q (tau_i - u_j)),
    // and the weights of int f du / sqrt(tau - u) and of int f du.
    // Reciprocals are kept so that the inner loop multiplies (the kernel is
    // evaluated n l times per Newton step).
    std::array<std::array<double, kMaxL>, kMaxN + 1> sv;
    std::array<std::array<double, kMaxL>, kMaxN + 1> inv_sv;
    std::array<std::array<double, kMaxL>, kMaxN + 1> v;
    std::array<std::array<double, kMaxL>, kMaxN + 1> discount_q;
    std::array<std::array<double, kMaxL>, kMaxN + 1> weight_n;  // already divided by sigma
    std::array<std::array<double, kMaxL>, kMaxN + 1> weight_d;
};

void build_grid(const Boundary& b, NodeGrid& grid) noexcept {
    const Tables& tab = *b.tables;
    const GaussRule& rule = tab.boundary_rule;
    for (int i = 1; i <= tab.tier.n; ++i) {
        const double tau = b.t * tab.node[i] * tab.node[i];
        const double sqrt_tau = std::sqrt(b.t) * tab.node[i];
        grid.tau[i] = tau;
        grid.sigma_sqrt_tau[i] = b.sigma * sqrt_tau;
        for (int j = 0; j < tab.tier.l; ++j) {
            // u = tau sin^2(theta), tau - u = tau cos^2(theta):
            // du = 2 tau sin cos d theta, du / sqrt(tau - u) = 2 sqrt(tau) sin d theta.
            const double v = tau * rule.cos[j] * rule.cos[j];
            grid.sv[i][j] = b.sigma * sqrt_tau * rule.cos[j];
            grid.inv_sv[i][j] = 1.0 / grid.sv[i][j];
            grid.v[i][j] = v;
            grid.discount_q[i][j] = std::exp(-b.q * v);
            grid.weight_n[i][j] = rule.weight[j] * 2.0 * sqrt_tau * rule.sin[j] / b.sigma;
            grid.weight_d[i][j] = rule.weight[j] * 2.0 * tau * rule.sin[j] * rule.cos[j];
        }
    }
}

// G(u_j) at the quadrature points of node i.
void point_g(const Boundary& b, int i, double* g_u) noexcept {
    const Tables& tab = *b.tables;
    for (int j = 0; j < tab.tier.l; ++j) {
        g_u[j] = interpolated_g(b, tab.lagrange[i][j].data());
    }
}

// Partial derivatives of F_i = ln N(tau_i) - ln D(tau_i) at node i.
struct NodeDerivatives {
    double own;                      // dF_i / d ln B(tau_i), the B(u) held fixed
    std::array<double, 3> parameter; // dF_i / d(sigma, r, q), every B held fixed
    std::array<double, kMaxL> point; // dF_i / d ln B(u_j)
};

// The FP-B map (ALO eq. 3.7-3.9), written with the identity
// e^{-r v} phi(d-(v, z)) = z e^{-q v} phi(d+(v, z)) so that one exponential
// and one normal distribution per point suffice, and multiplied through by
// e^{-r tau} (numerator) and e^{-q tau} (denominator):
//   B(tau) = K N(tau) / D(tau),
//   N = z0 psi(tau, z0) / (sigma sqrt tau)
//       + r int_0^tau z psi(tau - u, z) / (sigma sqrt(tau - u)) du,
//   D = psi(tau, z0) / (sigma sqrt tau) + Psi(tau, z0)
//       + q int_0^tau [psi(tau - u, z) / (sigma sqrt(tau - u)) + Psi(tau - u, z)] du,
// with z0 = B(tau) / K, z = B(tau) / B(u), psi(v, z) = e^{-q v} phi(d+(v, z)),
// Psi(v, z) = e^{-q v} Phi(d+(v, z)).  Returns F = ln(N / D) (K = 1).
template <bool kDerivatives>
double fp_map(const Boundary& b, const NodeGrid& grid, int i, const double* g_u,
              NodeDerivatives* out) noexcept {
    const Tables& tab = *b.tables;
    const double r = b.r;
    const double q = b.q;
    const double sigma = b.sigma;
    const double drift = r - q;
    const double inv_sigma = 1.0 / sigma;
    const double tau = grid.tau[i];
    const double st = grid.sigma_sqrt_tau[i];
    const double ln_b = b.ln_b[i];

    const double d_plus_0 = (ln_b + drift * tau) / st + 0.5 * st;
    const double psi_0 = std::exp(-q * tau - 0.5 * d_plus_0 * d_plus_0) * kInvSqrt2Pi;
    const double cap_psi_0 = std::exp(-q * tau) * normal_cdf(d_plus_0);
    const double z_0 = std::exp(ln_b);
    const double n_0 = z_0 * psi_0 / st;
    const double d1_0 = psi_0 / st;
    const double d_0 = d1_0 + cap_psi_0;

    double sum_n = 0.0;
    double sum_d = 0.0;
    // Derivative accumulators: [0] d/d ln z, then sigma, r, q.
    std::array<double, 4> dn{};
    std::array<double, 4> dd{};
    std::array<double, 4> dn_0{};
    std::array<double, 4> dd_0{};
    std::array<double, kMaxL> point_n{};
    std::array<double, kMaxL> point_d{};
    if constexpr (kDerivatives) {
        const double d_minus_0 = d_plus_0 - st;
        const double root_v = st / sigma;  // sqrt(tau)
        const double rv_s = root_v / sigma;
        dn_0 = {-n_0 * d_minus_0 / st, n_0 * (d_plus_0 * d_minus_0 - 1.0) / sigma,
                -n_0 * d_plus_0 * rv_s, n_0 * (d_plus_0 * rv_s - tau)};
        dd_0 = {-d1_0 * d_plus_0 / st + psi_0 / st,
                d1_0 * (d_plus_0 * d_minus_0 - 1.0) / sigma - psi_0 * d_minus_0 / sigma,
                -d1_0 * d_plus_0 * rv_s + psi_0 * rv_s,
                d1_0 * (d_plus_0 * rv_s - tau) - psi_0 * rv_s - tau * cap_psi_0};
    }
    for (int j = 0; j < tab.tier.l; ++j) {
        const double ell = ln_b - (b.ln_x - g_u[j]);
        const double sv = grid.sv[i][j];
        const double inv_sv = grid.inv_sv[i][j];
        const double v = grid.v[i][j];
        const double d_plus = (ell + drift * v) * inv_sv + 0.5 * sv;
        const double eq = grid.discount_q[i][j];
        const double psi = eq * std::exp(-0.5 * d_plus * d_plus) * kInvSqrt2Pi;
        const double cap_psi = eq * normal_cdf(d_plus);
        const double wd = grid.weight_d[i][j];
        const double t_d1 = grid.weight_n[i][j] * psi;
        const double t_n = t_d1 * std::exp(ell);
        const double t_d2 = wd * cap_psi;
        sum_n += t_n;
        sum_d += t_d1 + t_d2;
        if constexpr (kDerivatives) {
            const double d_minus = d_plus - sv;
            const double rv_s = v * inv_sv;  // sqrt(v) / sigma
            const double wd_psi = wd * psi;
            const double ln_n = -t_n * d_minus * inv_sv;
            const double ln_d = (wd_psi - t_d1 * d_plus) * inv_sv;
            const double product = d_plus * d_minus - 1.0;
            point_n[j] = ln_n;
            point_d[j] = ln_d;
            dn[0] += ln_n;
            dd[0] += ln_d;
            dn[1] += t_n * product * inv_sigma;
            dd[1] += (t_d1 * product - wd_psi * d_minus) * inv_sigma;
            dn[2] += -t_n * d_plus * rv_s;
            dd[2] += (wd_psi - t_d1 * d_plus) * rv_s;
            dn[3] += t_n * (d_plus * rv_s - v);
            dd[3] += t_d1 * (d_plus * rv_s - v) - wd_psi * rv_s - wd * v * cap_psi;
        }
    }
    const double numerator = n_0 + r * sum_n;
    const double denominator = d_0 + q * sum_d;
    if constexpr (kDerivatives) {
        const double inv_n = 1.0 / numerator;
        const double inv_d = 1.0 / denominator;
        out->own = (dn_0[0] + r * dn[0]) * inv_n - (dd_0[0] + q * dd[0]) * inv_d;
        out->parameter[kSigma] = (dn_0[1] + r * dn[1]) * inv_n - (dd_0[1] + q * dd[1]) * inv_d;
        out->parameter[kRate] =
            (dn_0[2] + sum_n + r * dn[2]) * inv_n - (dd_0[2] + q * dd[2]) * inv_d;
        out->parameter[kYield] =
            (dn_0[3] + r * dn[3]) * inv_n - (dd_0[3] + sum_d + q * dd[3]) * inv_d;
        for (int j = 0; j < tab.tier.l; ++j) {
            // ln z_j = ln B(tau_i) - ln B(u_j).
            out->point[j] = -(r * point_n[j] * inv_n - q * point_d[j] * inv_d);
        }
    }
    return std::log(numerator / denominator);
}

void set_node(Boundary& b, int i, double ln_b) noexcept {
    b.ln_b[i] = ln_b > b.ln_x ? b.ln_x : ln_b;
    b.g[i] = b.ln_x - b.ln_b[i];
}

// The discrete system at the current nodes: the residual F(ln B) - ln B, the
// Newton matrix I - dF/d ln B and the right-hand sides dF/dp (+ the part that
// moves with X).  Rows and columns 1..n are stored from 0.
struct System {
    std::array<std::array<double, kMaxN>, kMaxN> matrix;
    std::array<std::array<double, 4>, kMaxN> rhs;  // [residual, sigma, r, q]
    std::array<int, kMaxN> pivot;
};

void assemble(const Boundary& b, const NodeGrid& grid, const std::array<double, 3>& dln_x,
              System& sys) noexcept {
    const Tables& tab = *b.tables;
    const int n = tab.tier.n;
    const int l = tab.tier.l;
    std::array<double, kMaxL> g_u{};
    for (int i = 1; i <= n; ++i) {
        point_g(b, i, g_u.data());
        NodeDerivatives d{};
        const double f = fp_map<true>(b, grid, i, g_u.data(), &d);
        auto& row = sys.matrix[i - 1];
        row.fill(0.0);
        row[i - 1] = 1.0 - d.own;
        // d ln B(u) = sum_k M_k d ln B_k + (1 - sum_k M_k) d ln X with
        // M_k = L_k G_k / G(u), from G(u)^2 = sum_k L_k G_k^2 (eq. 4.3).
        double x_coefficient = 0.0;
        for (int j = 0; j < l; ++j) {
            const double c = d.point[j];
            x_coefficient += c;
            if (!(g_u[j] > 1e-300)) {
                continue;  // ln B(u) = ln X there: it moves with X alone
            }
            const double scale = c / g_u[j];
            const auto& weights = tab.lagrange[i][j];
            for (int k = 1; k <= n; ++k) {
                const double m = weights[k] * b.g[k] * scale;
                row[k - 1] -= m;
                x_coefficient -= m;
            }
        }
        sys.rhs[i - 1][0] = f - b.ln_b[i];
        for (int p = 0; p < 3; ++p) {
            sys.rhs[i - 1][p + 1] = d.parameter[p] + x_coefficient * dln_x[p];
        }
        bool finite = std::isfinite(f) && std::isfinite(x_coefficient);
        for (int k = 0; k < n; ++k) {
            finite = finite && std::isfinite(row[k]);
        }
        if (!finite) {
            // An underflowed kernel (a start far from the boundary at a
            // short expiry): hold this node for the step rather than let a
            // non-finite row spoil every other node's step.
            row.fill(0.0);
            row[i - 1] = 1.0;
            sys.rhs[i - 1] = {0.0, 0.0, 0.0, 0.0};
        }
    }
}

// LU factorisation with partial pivoting, in place (L's multipliers below the
// diagonal), so that later chord steps reuse it.
void factor(System& sys, int n) noexcept {
    auto& a = sys.matrix;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int row = col + 1; row < n; ++row) {
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) {
                pivot = row;
            }
        }
        sys.pivot[col] = pivot;
        std::swap(a[col], a[pivot]);
        const double inv = 1.0 / a[col][col];
        for (int row = col + 1; row < n; ++row) {
            const double factor = a[row][col] * inv;
            a[row][col] = factor;
            if (factor == 0.0) {
                continue;
            }
            for (int k = col + 1; k < n; ++k) {
                a[row][k] -= factor * a[col][k];
            }
        }
    }
}

// Solves with the factors for columns [first, last) of rhs.
void solve_factored(System& sys, int n, int first, int last) noexcept {
    const auto& a = sys.matrix;
    auto& rhs = sys.rhs;
    for (int col = 0; col < n; ++col) {
        for (int p = first; p < last; ++p) {
            std::swap(rhs[col][p], rhs[sys.pivot[col]][p]);
        }
        for (int row = col + 1; row < n; ++row) {
            for (int p = first; p < last; ++p) {
                rhs[row][p] -= a[row][col] * rhs[col][p];
            }
        }
    }
    for (int row = n - 1; row >= 0; --row) {
        for (int p = first; p < last; ++p) {
            double sum = rhs[row][p];
            for (int k = row + 1; k < n; ++k) {
                sum -= a[row][k] * rhs[k][p];
            }
            rhs[row][p] = sum / a[row][row];
        }
    }
}

}  // namespace

double interpolated_g(const Boundary& b, const double* weights) noexcept {
    const int n = b.tables->tier.n;
    double h = 0.0;
    for (int k = 1; k <= n; ++k) {
        h += weights[k] * (b.g[k] * b.g[k]);
    }
    // The interpolant of H >= 0 may dip below zero between nodes near tau = 0.
    return h > 0.0 ? std::sqrt(h) : 0.0;
}

double boundary_ln_at(const Boundary& b, double tau) noexcept {
    const Tables& tab = *b.tables;
    const int n = tab.tier.n;
    const double y = tau >= b.t ? 1.0 : std::sqrt(tau / b.t);
    std::array<double, kMaxN + 1> w{};
    double sum = 0.0;
    for (int k = 0; k <= n; ++k) {
        if (y == tab.node[k]) {
            return b.ln_b[k];
        }
        const double sign = (k % 2 == 0) ? 1.0 : -1.0;
        const double half = (k == 0 || k == n) ? 0.5 : 1.0;
        w[k] = sign * half / (y - tab.node[k]);
        sum += w[k];
    }
    for (int k = 0; k <= n; ++k) {
        w[k] /= sum;
    }
    return b.ln_x - interpolated_g(b, w.data());
}

void solve_boundary(const Tables& tables, double t, double r, double q, double sigma,
                    Boundary& out, BoundarySensitivity* sensitivity) noexcept {
    const int n = tables.tier.n;
    out.tables = &tables;
    out.t = t;
    out.r = r;
    out.q = q;
    out.sigma = sigma;
    // B(0+) = K min(1, r / q) (ALO eq. 2.4).
    out.ln_x = q > r ? std::log(r / q) : 0.0;
    const double x_limit = std::exp(out.ln_x);
    out.ln_b[0] = out.ln_x;
    out.g[0] = 0.0;
    // QD+ at the first nodes and every other node beyond (its root search is
    // the costliest part of the start); the nodes between are interpolated
    // linearly in sqrt(tau), well within QD+'s own error of a few 1e-3.
    for (int i = 1; i <= n; ++i) {
        if (i > 4 && i % 2 == 1 && i < n) {
            continue;
        }
        const double tau = t * tables.node[i] * tables.node[i];
        // The root search starts from the previous roots, extrapolated
        // linearly in sqrt(tau).
        const int p1 = (i > 4 && i % 2 == 0) ? i - 2 : i - 1;
        const int p2 = (i > 6) ? p1 - 2 : p1 - 1;
        double guess = out.ln_b[p1];
        if (p2 >= 1) {
            const double slope = (out.ln_b[p1] - out.ln_b[p2]) / (tables.node[p1] - tables.node[p2]);
            guess += slope * (tables.node[i] - tables.node[p1]);
        }
        set_node(out, i, std::log(qd_plus_boundary(tau, r, q, sigma, x_limit, std::exp(guess))));
    }
    for (int i = 5; i < n; i += 2) {
        const double w = (tables.node[i] - tables.node[i - 1]) / (tables.node[i + 1] - tables.node[i - 1]);
        set_node(out, i, out.ln_b[i - 1] + w * (out.ln_b[i + 1] - out.ln_b[i - 1]));
    }
    // d ln X / d(sigma, r, q): X = r / q when q > r.
    std::array<double, 3> dln_x{0.0, 0.0, 0.0};
    if (q > r) {
        dln_x = {0.0, 1.0 / r, -1.0 / q};
    }

    NodeGrid grid;
    build_grid(out, grid);
    System sys;
    out.iterations = 0;
    double last_change = 1.0;
    for (int iteration = 0; iteration < tables.tier.m; ++iteration) {
        // Newton's method on the discrete FP-B system: from the QD+ start
        // (error ~1e-3 in ln B) each step squares the error.  Once a step
        // was below 1e-4 the next one is a chord step with the same
        // factors: its contraction factor is that small step, and it needs
        // no derivatives.  (Chord steps from the start gain only a factor ~10
        // per step, because the Jacobian at the short-expiry nodes moves
        // with the boundary.)  With sensitivities wanted every step is a
        // Newton step, so that they come from the Jacobian at the last
        // iterate but one, not at an early one.
        if (last_change < 1e-4 && sensitivity == nullptr) {
            std::array<double, kMaxL> g_u{};
            for (int i = 1; i <= n; ++i) {
                point_g(out, i, g_u.data());
                sys.rhs[i - 1][0] = fp_map<false>(out, grid, i, g_u.data(), nullptr) - out.ln_b[i];
            }
            solve_factored(sys, n, 0, 1);
        } else {
            assemble(out, grid, dln_x, sys);
            factor(sys, n);
            solve_factored(sys, n, 0, sensitivity != nullptr ? 4 : 1);
        }
        double change = 0.0;
        for (int i = 1; i <= n; ++i) {
            double step = sys.rhs[i - 1][0];
            if (!std::isfinite(step)) {
                step = 0.0;  // an underflowed kernel: keep the node
            }
            // Far from the fixed point a full step can overshoot: no node
            // moves by more than a quarter in ln B at once.
            step = std::fmax(-0.25, std::fmin(0.25, step));
            set_node(out, i, out.ln_b[i] + step);
            change = std::fmax(change, std::fabs(step));
        }
        ++out.iterations;
        last_change = change;
        if (change < tables.tier.tolerance) {
            break;
        }
    }
    if (sensitivity != nullptr) {
        // The implicit-function derivative of the discrete fixed point,
        // (I - dF/d ln B) d ln B / dp = dF/dp, with the matrix of the last
        // Newton step (one step old: its error is the size of that step).
        for (int p = 0; p < 3; ++p) {
            sensitivity->ln_x[p] = dln_x[p];
            sensitivity->ln_b[p][0] = dln_x[p];
            for (int i = 1; i <= n; ++i) {
                sensitivity->ln_b[p][i] = sys.rhs[i - 1][p + 1];
            }
        }
    }
}

}  // namespace greekmill::american::detail
