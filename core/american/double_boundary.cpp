#include "double_boundary.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace greekmill::american::detail {
namespace {

constexpr int kMaxSpace = 1601;

struct GridSize {
    int space;  // intervals in ln S (even)
    int time;   // time steps
};

constexpr GridSize kGrids[3] = {{500, 250}, {800, 400}, {1600, 1000}};

struct Grid {
    double x_low;
    double h;
    int anchor;      // node of ln S, or the node below it when off_node
    int size;
    bool off_node;   // ln S lies between nodes (spot within a step of the strike)
    double ln_s;
};

// Half-width of the grid in ln S: six standard deviations plus the drift.
Grid make_grid(double s, double k, double t, double r, double q, double sigma,
               int intervals) noexcept {
    const double width = 6.0 * sigma * std::sqrt(t) + std::fabs(r - q) * t + 0.1;
    const double ln_s = std::log(s);
    const double ln_k = std::log(k);
    const double low = std::fmin(ln_s, ln_k) - width;
    const double high = std::fmax(ln_s, ln_k) + width;
    Grid g{};
    g.h = (high - low) / intervals;
    // The strike on a node as well as the spot: the payoff's kink between
    // nodes would leave an error that is not smooth in h, which the
    // extrapolation below could not remove.  Even node counts between them
    // keep the strike on a node of the half-resolution grid too.
    const double gap = std::fabs(ln_k - ln_s);
    const double pairs = std::round(gap / (2.0 * g.h));
    g.size = intervals + 1;
    g.ln_s = ln_s;
    if (pairs >= 1.0 || gap == 0.0) {
        if (pairs >= 1.0) {
            g.h = gap / (2.0 * pairs);
        }
        g.anchor = static_cast<int>(std::round((ln_s - low) / g.h));
        g.x_low = ln_s - g.anchor * g.h;
        g.off_node = false;
        return g;
    }
    // Spot within a step of the strike: the strike on an even node, the
    // spot between nodes, read by interpolation (4 points).
    int strike_node = static_cast<int>(std::round((ln_k - low) / g.h));
    strike_node -= strike_node % 2;
    g.x_low = ln_k - strike_node * g.h;
    g.anchor = static_cast<int>(std::floor((ln_s - g.x_low) / g.h));
    g.off_node = true;
    return g;
}

// One theta-scheme step of -dV/dT + sigma^2/2 V_xx + (r - q - sigma^2/2) V_x - r V = 0
// with V >= K - S, solved by policy iteration on the active set.
void step(std::array<double, kMaxSpace>& v, const std::array<double, kMaxSpace>& payoff,
          int size, double dt, double theta, double lower_value, double a_low, double a_mid,
          double a_up) noexcept {
    // Operator L v_i = a_low v_{i-1} + a_mid v_i + a_up v_{i+1}.
    std::array<double, kMaxSpace> rhs{};
    const double explicit_weight = (1.0 - theta) * dt;
    for (int i = 1; i < size - 1; ++i) {
        rhs[i] = v[i] + explicit_weight * (a_low * v[i - 1] + a_mid * v[i] + a_up * v[i + 1]);
    }
    const double lo = -theta * dt * a_low;
    const double mid = 1.0 - theta * dt * a_mid;
    const double up = -theta * dt * a_up;
    std::array<unsigned char, kMaxSpace> active{};
    std::array<double, kMaxSpace> c{};
    std::array<double, kMaxSpace> d{};
    std::array<double, kMaxSpace> next{};
    next[0] = lower_value;
    next[size - 1] = 0.0;
    for (int iteration = 0; iteration < 50; ++iteration) {
        // Thomas algorithm on rows 1..size-2; active rows read v_i = payoff_i.
        c[0] = 0.0;
        d[0] = lower_value;
        for (int i = 1; i < size - 1; ++i) {
            double a_i = lo;
            double b_i = mid;
            double c_i = up;
            double r_i = rhs[i];
            if (active[i] != 0) {
                a_i = 0.0;
                b_i = 1.0;
                c_i = 0.0;
                r_i = payoff[i];
            }
            const double denom = b_i - a_i * c[i - 1];
            c[i] = c_i / denom;
            d[i] = (r_i - a_i * d[i - 1]) / denom;
        }
        next[size - 2] = d[size - 2] - c[size - 2] * next[size - 1];
        for (int i = size - 3; i >= 1; --i) {
            next[i] = d[i] - c[i] * next[i + 1];
        }
        // Howard's policy update for min(M v - rhs, v - payoff) = 0: each
        // row takes the branch with the smaller residual.
        bool changed = false;
        for (int i = 1; i < size - 1; ++i) {
            const double equation = mid * next[i] + lo * next[i - 1] + up * next[i + 1] - rhs[i];
            const double obstacle = next[i] - payoff[i];
            const unsigned char want = obstacle < equation ? 1 : 0;
            if (want != active[i]) {
                active[i] = want;
                changed = true;
            }
        }
        if (!changed) {
            break;
        }
    }
    for (int i = 0; i < size; ++i) {
        v[i] = next[i];
    }
}

struct GridValue {
    double value;
    double delta;
    double gamma;
};

GridValue solve(double s, double k, double t, double r, double q, double sigma,
                const Grid& g, int steps) noexcept {
    std::array<double, kMaxSpace> v{};
    std::array<double, kMaxSpace> payoff{};
    for (int i = 0; i < g.size; ++i) {
        const double spot = std::exp(g.x_low + i * g.h);
        payoff[i] = std::fmax(k - spot, 0.0);
        v[i] = payoff[i];
    }
    const double half_var = 0.5 * sigma * sigma;
    const double mu = r - q - half_var;
    const double a_low = half_var / (g.h * g.h) - mu / (2.0 * g.h);
    const double a_up = half_var / (g.h * g.h) + mu / (2.0 * g.h);
    const double a_mid = -2.0 * half_var / (g.h * g.h) - r;
    const double spot_low = std::exp(g.x_low);
    // Time levels tau_n = T (n / N)^2: steps cluster at short expiries,
    // where the payoff's kink and the exercise region live (the region
    // closes at a finite tau in this regime).  Rannacher start-up: the first
    // step as four implicit Euler quarter steps smooths the kink.
    const auto level = [&](int n) {
        const double x = static_cast<double>(n) / steps;
        return t * (x * x);
    };
    double tau = 0.0;
    const double first = level(1);
    for (int i = 0; i < 4; ++i) {
        tau += 0.25 * first;
        const double lower = std::fmax(k * std::exp(-r * tau) - spot_low * std::exp(-q * tau),
                                       k - spot_low);
        step(v, payoff, g.size, 0.25 * first, 1.0, lower, a_low, a_mid, a_up);
    }
    for (int n = 2; n <= steps; ++n) {
        const double dt = level(n) - level(n - 1);
        tau = level(n);
        const double lower = std::fmax(k * std::exp(-r * tau) - spot_low * std::exp(-q * tau),
                                       k - spot_low);
        step(v, payoff, g.size, dt, 0.5, lower, a_low, a_mid, a_up);
    }
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
    // The same grid with every other node: spot and strike stay on nodes.
    Grid coarse = g;
    coarse.h = 2.0 * g.h;
    coarse.size = (g.size - 1) / 2 + 1;
    if (g.off_node) {
        coarse.anchor = static_cast<int>(std::floor((g.ln_s - g.x_low) / coarse.h));
    } else {
        coarse.anchor = (g.anchor + 1) / 2;
        coarse.x_low = std::log(s) - coarse.anchor * coarse.h;
    }
    // Richardson extrapolation in the grid spacing: the error is O(h^2).
    const auto extrapolated = [&](double sig, double rate, double yield) {
        const GridValue fine = solve(s, k, t, rate, yield, sig, g, size.time);
        const GridValue rough = solve(s, k, t, rate, yield, sig, coarse, size.time);
        const GridValue slow = solve(s, k, t, rate, yield, sig, coarse, size.time / 2);
        // h^2 from fine and rough (same steps); the time error, first order
        // where the exercise boundary crosses the grid, from rough and slow.
        return GridValue{(4.0 * fine.value - rough.value) / 3.0 + (rough.value - slow.value),
                         (4.0 * fine.delta - rough.delta) / 3.0 + (rough.delta - slow.delta),
                         (4.0 * fine.gamma - rough.gamma) / 3.0 + (rough.gamma - slow.gamma)};
    };
    const GridValue base = extrapolated(sigma, r, q);
    PutResult x{};
    x.value = std::fmax(base.value, k - s);
    if (!greeks) {
        return x;
    }
    x.delta = base.delta;
    x.gamma = base.gamma;
    if (base.value <= k - s) {
        x = PutResult{};
        x.value = k - s;
        x.delta = -1.0;
        return x;
    }
    x.dtau = 0.5 * sigma * sigma * s * s * x.gamma + (r - q) * s * x.delta - r * x.value;
    // Central differences on one grid, held fixed so that its error is smooth
    // in the parameters, no finer than the accurate tier's: six solves.
    const GridSize bump_size = kGrids[std::min(static_cast<int>(accuracy), 1)];
    const Grid b = make_grid(s, k, t, r, q, sigma, bump_size.space);
    const auto bumped = [&](double sig, double rate, double yield) {
        return solve(s, k, t, rate, yield, sig, b, bump_size.time).value;
    };
    const double hs = 1e-3 * sigma;
    const double hr = 1e-4;
    x.dsigma = (bumped(sigma + hs, r, q) - bumped(sigma - hs, r, q)) / (2.0 * hs);
    x.drate = (bumped(sigma, r + hr, q) - bumped(sigma, r - hr, q)) / (2.0 * hr);
    x.dyield = (bumped(sigma, r, q + hr) - bumped(sigma, r, q - hr)) / (2.0 * hr);
    return x;
}

}  // namespace greekmill::american::detail
