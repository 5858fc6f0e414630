#include "double_boundary.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "fast/fast_math.hpp"

namespace greekmill::american::detail {
namespace {

struct GridSize {
    int space;  // intervals in ln S over the grid's nominal span (even)
    int time;   // time steps
};

constexpr GridSize kGrids[3] = {{500, 250}, {800, 400}, {1600, 1000}};

// A uniform grid in ln S, x_i = x_low + i h, i = 0 .. size - 1, with size - 1
// even so that every other node is the grid of step 2h that the Richardson
// extrapolation needs.  The strike is always on an even node; the spot is on
// an even node (on_node) or, within two steps of the strike, between nodes
// anchor and anchor + 1 and read by cubic interpolation.  Either way the grid
// reaches at least `width` beyond both the spot and the strike, whatever the
// rounding of the step did.
struct Grid {
    double x_low;
    double h;
    int anchor;
    int size;
    bool off_node;
    double ln_s;
};

[[nodiscard]] int even_at_least(double nodes) noexcept {
    const int n = static_cast<int>(std::ceil(nodes));
    return n + (n % 2);
}

// Half-width of the span in ln S: six standard deviations plus the drift.
Grid make_grid(double s, double k, double t, double r, double q, double sigma,
               int intervals) noexcept {
    const double width = 6.0 * sigma * std::sqrt(t) + std::fabs(r - q) * t + 0.1;
    const double ln_s = fast::log(s);
    const double ln_k = fast::log(k);
    const double low = std::fmin(ln_s, ln_k) - width;
    const double high = std::fmax(ln_s, ln_k) + width;
    const double nominal_h = (high - low) / intervals;
    const double gap = std::fabs(ln_k - ln_s);
    Grid g{};
    g.ln_s = ln_s;
    // The strike on a node as well as the spot: the payoff's kink between
    // nodes would leave an error that is not smooth in h, which the
    // extrapolation could not remove.  An even number of steps between them
    // keeps both on the grid of step 2h; the step moves by at most a factor
    // 0.75 .. 1.5 from the nominal one to make that so.
    if (gap == 0.0 || gap >= 2.0 * nominal_h) {
        const double pairs = std::round(gap / (2.0 * nominal_h));
        g.h = gap == 0.0 ? nominal_h : gap / (2.0 * pairs);
        g.anchor = even_at_least((ln_s - low) / g.h);
        g.x_low = ln_s - g.anchor * g.h;
        g.size = g.anchor + even_at_least((high - ln_s) / g.h) + 1;
        g.off_node = false;
        return g;
    }
    // Spot within two steps of the strike: the strike on an even node, the
    // spot between nodes anchor and anchor + 1 (at least `width` from either
    // end, so the four interpolation nodes anchor - 1 .. anchor + 2 exist on
    // this grid and on the one of step 2h).
    g.h = nominal_h;
    const int strike_node = even_at_least((ln_k - low) / g.h);
    g.x_low = ln_k - strike_node * g.h;
    g.size = strike_node + even_at_least((high - ln_k) / g.h) + 1;
    g.anchor = static_cast<int>(std::floor((ln_s - g.x_low) / g.h));
    g.off_node = true;
    return g;
}

// The same nodes with every other one left out.
Grid coarsened(const Grid& g) noexcept {
    Grid c = g;
    c.h = 2.0 * g.h;
    c.size = (g.size - 1) / 2 + 1;
    c.anchor = g.off_node ? static_cast<int>(std::floor((g.ln_s - g.x_low) / c.h)) : g.anchor / 2;
    return c;
}

// Work arrays of one solve, sized once for the finest grid of a valuation and
// kept off the thread stack (threads may have stacks of 64 KiB).
struct Workspace {
    explicit Workspace(int size)
        : v(size), payoff(size), rhs(size), c(size), d(size), next(size), active(size) {}
    std::vector<double> v;
    std::vector<double> payoff;
    std::vector<double> rhs;
    std::vector<double> c;
    std::vector<double> d;
    std::vector<double> next;
    std::vector<unsigned char> active;  // rows held at the exercise value
};

// One theta-scheme step of -dV/dT + sigma^2/2 V_xx + (r - q - sigma^2/2) V_x - r V = 0
// with V >= K - S, solved by policy iteration on the active set, which starts
// from the previous step's (the exercise region moves little per step).
void step(Workspace& w, int size, double dt, double theta, double lower_value, double a_low,
          double a_mid, double a_up) noexcept {
    // Operator L v_i = a_low v_{i-1} + a_mid v_i + a_up v_{i+1}.
    const std::vector<double>& v = w.v;
    const double explicit_weight = (1.0 - theta) * dt;
    for (int i = 1; i < size - 1; ++i) {
        w.rhs[i] = v[i] + explicit_weight * (a_low * v[i - 1] + a_mid * v[i] + a_up * v[i + 1]);
    }
    const double lo = -theta * dt * a_low;
    const double mid = 1.0 - theta * dt * a_mid;
    const double up = -theta * dt * a_up;
    std::vector<double>& c = w.c;
    std::vector<double>& d = w.d;
    std::vector<double>& next = w.next;
    next[0] = lower_value;
    next[size - 1] = 0.0;
    // Howard's policy iteration ends in at most size steps on this M-matrix
    // problem, in two or three in practice.
    for (int iteration = 0; iteration < 50; ++iteration) {
        // Thomas algorithm on rows 1..size-2; active rows read v_i = payoff_i.
        c[0] = 0.0;
        d[0] = lower_value;
        for (int i = 1; i < size - 1; ++i) {
            double a_i = lo;
            double b_i = mid;
            double c_i = up;
            double r_i = w.rhs[i];
            if (w.active[i] != 0) {
                a_i = 0.0;
                b_i = 1.0;
                c_i = 0.0;
                r_i = w.payoff[i];
            }
            const double denom = b_i - a_i * c[i - 1];
            c[i] = c_i / denom;
            d[i] = (r_i - a_i * d[i - 1]) / denom;
        }
        next[size - 2] = d[size - 2] - c[size - 2] * next[size - 1];
        for (int i = size - 3; i >= 1; --i) {
            next[i] = d[i] - c[i] * next[i + 1];
        }
        // Policy update for min(M v - rhs, v - payoff) = 0: each row takes
        // the branch with the smaller residual.
        bool changed = false;
        for (int i = 1; i < size - 1; ++i) {
            const double equation = mid * next[i] + lo * next[i - 1] + up * next[i + 1] - w.rhs[i];
            const double obstacle = next[i] - w.payoff[i];
            const unsigned char want = obstacle < equation ? 1 : 0;
            if (want != w.active[i]) {
                w.active[i] = want;
                changed = true;
            }
        }
        if (!changed) {
            break;
        }
    }
    std::copy(next.begin(), next.begin() + size, w.v.begin());
}

struct GridValue {
    double value;
    double delta;
    double gamma;
};

GridValue solve(double s, double k, double t, double r, double q, double sigma, const Grid& g, int steps,
                Workspace& w) noexcept {
    for (int i = 0; i < g.size; ++i) {
        const double spot = fast::exp(g.x_low + i * g.h);
        w.payoff[i] = std::fmax(k - spot, 0.0);
        w.v[i] = w.payoff[i];
        w.active[i] = 0;
    }
    const double half_var = 0.5 * sigma * sigma;
    const double mu = r - q - half_var;
    const double a_low = half_var / (g.h * g.h) - mu / (2.0 * g.h);
    const double a_up = half_var / (g.h * g.h) + mu / (2.0 * g.h);
    const double a_mid = -2.0 * half_var / (g.h * g.h) - r;
    const double spot_low = fast::exp(g.x_low);
    // Time levels tau_n = T (n / N)^2: steps cluster at short expiries,
    // where the payoff's kink and the exercise region live (the region
    // closes at a finite tau in this regime).  Rannacher start-up: the first
    // step as four implicit Euler quarter steps smooths the kink.
    const auto level = [&](int n) {
        const double x = static_cast<double>(n) / steps;
        return t * (x * x);
    };
    const auto lower_value = [&](double tau) {
        return std::fmax(k * fast::exp(-r * tau) - spot_low * fast::exp(-q * tau), k - spot_low);
    };
    double tau = 0.0;
    const double first = level(1);
    for (int i = 0; i < 4; ++i) {
        tau += 0.25 * first;
        step(w, g.size, 0.25 * first, 1.0, lower_value(tau), a_low, a_mid, a_up);
    }
    for (int n = 2; n <= steps; ++n) {
        const double dt = level(n) - level(n - 1);
        step(w, g.size, dt, 0.5, lower_value(level(n)), a_low, a_mid, a_up);
    }
    const std::vector<double>& v = w.v;
    const int i = g.anchor;
    if (!g.off_node) {
        const double vx = (v[i + 1] - v[i - 1]) / (2.0 * g.h);
        const double vxx = (v[i + 1] - 2.0 * v[i] + v[i - 1]) / (g.h * g.h);
        return {v[i], vx / s, (vxx - vx) / (s * s)};
    }
    // Cubic Lagrange interpolation on nodes i-1..i+2, u = (ln S - x_i) / h.
    const double u = (g.ln_s - (g.x_low + i * g.h)) / g.h;
    const double a = v[i - 1];
    const double b = v[i];
    const double c = v[i + 1];
    const double d = v[i + 2];
    const double value = -a * u * (u - 1.0) * (u - 2.0) / 6.0 + b * (u + 1.0) * (u - 1.0) * (u - 2.0) / 2.0 -
                         c * (u + 1.0) * u * (u - 2.0) / 2.0 + d * (u + 1.0) * u * (u - 1.0) / 6.0;
    const double du = (-a * (3.0 * u * u - 6.0 * u + 2.0) / 6.0 + b * (3.0 * u * u - 4.0 * u - 1.0) / 2.0 -
                       c * (3.0 * u * u - 2.0 * u - 2.0) / 2.0 + d * (3.0 * u * u - 1.0) / 6.0);
    const double duu = (-a * (6.0 * u - 6.0) / 6.0 + b * (6.0 * u - 4.0) / 2.0 -
                        c * (6.0 * u - 2.0) / 2.0 + d * (6.0 * u) / 6.0);
    const double vx = du / g.h;
    const double vxx = duu / (g.h * g.h);
    return {value, vx / s, (vxx - vx) / (s * s)};
}

}  // namespace

PutResult double_boundary_put(double s, double k, double t, double r, double q, double sigma,
                              Accuracy accuracy, bool greeks) noexcept {
    const GridSize size = kGrids[static_cast<int>(accuracy)];
    const Grid g = make_grid(s, k, t, r, q, sigma, size.space);
    const Grid coarse = coarsened(g);
    Workspace w(g.size);
    // Richardson extrapolation in the grid spacing: the error is O(h^2).
    const auto extrapolated = [&](double sig, double rate, double yield) {
        const GridValue fine = solve(s, k, t, rate, yield, sig, g, size.time, w);
        const GridValue rough = solve(s, k, t, rate, yield, sig, coarse, size.time, w);
        const GridValue slow = solve(s, k, t, rate, yield, sig, coarse, size.time / 2, w);
        // h^2 from fine and rough (same steps); the time error, first order
        // where the exercise boundary crosses the grid, from rough and slow.
        return GridValue{(4.0 * fine.value - rough.value) / 3.0 + (rough.value - slow.value),
                         (4.0 * fine.delta - rough.delta) / 3.0 + (rough.delta - slow.delta),
                         (4.0 * fine.gamma - rough.gamma) / 3.0 + (rough.gamma - slow.gamma)};
    };
    const GridValue base = extrapolated(sigma, r, q);
    // The value lies above both the exercise value and the European value.
    // Where the grid's value falls below either, the early-exercise premium
    // over it is below the grid's own error: return the bound and its Greeks.
    const PutResult european = european_put(s, k, t, r, q, sigma);
    if (base.value <= k - s && european.value <= k - s) {
        PutResult x{};
        x.value = k - s;
        x.delta = -1.0;
        return x;
    }
    if (base.value < european.value) {
        return european;
    }
    PutResult x{};
    x.value = base.value;
    if (!greeks) {
        return x;
    }
    x.delta = base.delta;
    x.gamma = base.gamma;
    x.dtau = 0.5 * sigma * sigma * s * s * x.gamma + (r - q) * s * x.delta - r * x.value;
    // Central differences on one grid, held fixed so that its error is smooth
    // in the parameters, no finer than the accurate tier's: six solves.
    const GridSize bump_size = kGrids[std::min(static_cast<int>(accuracy), 1)];
    const Grid b = make_grid(s, k, t, r, q, sigma, bump_size.space);
    Workspace bump_workspace(b.size);
    const auto bumped = [&](double sig, double rate, double yield) {
        return solve(s, k, t, rate, yield, sig, b, bump_size.time, bump_workspace).value;
    };
    const double hs = 1e-3 * sigma;
    const double hr = 1e-4;
    x.dsigma = (bumped(sigma + hs, r, q) - bumped(sigma - hs, r, q)) / (2.0 * hs);
    x.drate = (bumped(sigma, r + hr, q) - bumped(sigma, r - hr, q)) / (2.0 * hr);
    x.dyield = (bumped(sigma, r, q + hr) - bumped(sigma, r, q - hr)) / (2.0 * hr);
    return x;
}

}  // namespace greekmill::american::detail
