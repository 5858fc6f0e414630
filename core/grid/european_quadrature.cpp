#include "european_quadrature.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>

#include "black_scholes.hpp"
#include "golden_section.hpp"
#include "fast/fast_math.hpp"

namespace greekmill::grid {
namespace {

// 1 / sqrt(2 pi), 0x3FD9884533D43651.
constexpr double kInvSqrtTwoPi = 0.3989422804014327;

// Gauss-Legendre on [-1, 1] with sixteen nodes, the positive half (the
// rule is symmetric): exact for polynomials of degree 31.
constexpr int kHalf = 8;
constexpr int kNodesPerPanel = 2 * kHalf;
constexpr double kAbscissae[kHalf] = {0.09501250983763744, 0.2816035507792589,
                                      0.45801677765722737, 0.6178762444026438,
                                      0.755404408355003,   0.8656312023878318,
                                      0.9445750230732326,  0.9894009349916499};
constexpr double kWeights[kHalf] = {0.18945061045506864, 0.18260341504492364,
                                    0.16915651939500265, 0.1495959888165767,
                                    0.12462897125553407, 0.0951585116824926,
                                    0.062253523938647456, 0.027152459411754176};

// Every Gaussian is cut at kTail deviations (a mass of 1.9e-17 beyond each
// side; the upper side of a call's integrand grows like e^{s z}, so that cut
// moves up by s), and each mesh spans the spot's range at its ex-date to
// kTail deviations of the whole path from today: the union of those cuts
// over 1e5 ex-dates leaves a mass below 4e-12.
constexpr double kTail = 8.5;
// Panel widths in ln S: at most kPanelPerDeviation standard deviations of
// the stretch the panel's nodes are integrated over, and kPanelPerWidth
// widths of a sharp place near it, growing away from one by kGrading of the
// distance.  Measured on the validation set against meshes four times finer
// with a cut at 10.5 deviations: within 3.5e-11 of a strike of 100 (eight
// nodes on two deviations, the same cost, within 2.5e-10; sixteen on six,
// or a grading of 1, lose 4e-9 and 6e-5).
constexpr double kPanelPerDeviation = 5.0;
constexpr double kPanelPerWidth = 5.0;
constexpr double kGrading = 0.5;
// Nor wider than kWidestPanel in ln S, whatever the stretch: a long, volatile
// stretch's first panel would otherwise span the spot from 0 (at ln D) to
// past the strike, and lose 7e-10 (sigma 0.8 over a year, D = 25 on a spot
// of 30).
constexpr double kWidestPanel = 2.0;
// Where the value after a drop is no longer flat near a spot of 0, and the
// narrowest panel in ln S at the floor (the geometric grading's start).
// Graded so, one dividend agrees with scipy's adaptive integral within
// 1e-12 up to sigma sqrt(t) = 6; without, it lost 5.7e-9 at 3 and 2.2e-7
// at 5, and graded only from a deviation of 1, 1.1e-7 at 0.87 (a put on a
// spot of 80 with a dividend of 96 halfway through 2.3 years, sigma 0.8).
constexpr double kRuinDeviation = 0.5;
constexpr double kRuinWidth = 1e-4;
// Sharp places tracked at once: beyond this, the widest gives way.  A place
// wider than kDropWidth of the widest panel of any mesh is smooth to
// every mesh and is forgotten.
constexpr int kMaxFeatures = 48;
constexpr double kDropWidth = 2.0;
// A mesh of more panels than this (stretches far shorter than the spread
// of the whole path, as with daily ex-dates over years) is left to the grid.
constexpr int kMaxPanels = 1024;
constexpr std::size_t kMaxNodes = static_cast<std::size_t>(kMaxPanels) * kNodesPerPanel;
// The product of nodes and window over all ex-dates above which the
// schedule is left to the grid (one to three seconds on one core).
constexpr double kMaxWork = 1e9;

// A place where the value bends sharply: a spot and a width, both in units
// of spot.
struct Feature {
    double at;
    double width;
};

struct Features {
    Feature items[kMaxFeatures];
    int size = 0;

    void add(Feature f) noexcept {
        if (size < kMaxFeatures) {
            items[size++] = f;
            return;
        }
        int widest = 0;
        for (int i = 1; i < size; ++i) {
            if (items[i].width / items[i].at > items[widest].width / items[widest].at) {
                widest = i;
            }
        }
        if (f.width / f.at < items[widest].width / items[widest].at) {
            items[widest] = f;
        }
    }
};

// The dividends of one ex-date: jumps at the same tau are paid together.
struct ExDate {
    double tau;
    double amount;
};

// The ex-dates in increasing tau, equal taus merged.
struct ExDates {
    std::span<const Jump> jumps;

    // The ex-date starting at jump i; `next` is the first jump after it.
    [[nodiscard]] ExDate at(std::size_t i, std::size_t& next) const noexcept {
        ExDate e{jumps[i].tau, jumps[i].amount};
        next = i + 1;
        while (next < jumps.size() && jumps[next].tau == e.tau) {
            e.amount += jumps[next].amount;
            ++next;
        }
        return e;
    }
};

// One ex-date's mesh in y = ln S - origin (S the spot just before the
// drop): nodes ascending, each with its Gauss-Legendre weight times W(y).
// The earliest ex-date's mesh, which today's integral runs over, is laid
// out around origin = ln S today: its nodes then sit at exact offsets from
// the spot, and z = (y - mu) / s of a first stretch of seconds (s down to
// 1e-8) keeps its digits, where nodes at ln S itself would carry its
// rounding, 1e-15, into z and the weights (a put with an ex-date 1e-12 of
// a year away 1e-9 off, its gamma by 0.3 with one a millisecond away).
struct Mesh {
    double* y;
    double origin = 0.0;
    double* weighted;
    std::size_t size;
    bool floor;          // the mesh starts at ln D, below which W is `ruined`
    double floor_log;    // ln D
    double ruined;       // W below ln D: the value on a spot of 0
    double ruined_dr;    // its derivative in r
    // With tangents: the weight times dW/dsigma, dW/dr, dW/dq at each node.
    double* tangent[3];
};

// Panels from lo to hi no wider than `base`, nor than the grading allows
// near each sharp place; their nodes written to y.  The node count, or 0
// past `max_panels`.  The last panel ends on hi, never a sliver beyond it:
// it takes up to 1.5 widths, where the Gaussians' tails are all that reach
// the mesh's ends; at an inner edge (`inner`, the exercise boundary) the
// Gaussians are whole, and a remainder over one width is split in two.
[[nodiscard]] std::size_t build_mesh(double lo, double hi, double base, const Feature* places,
                                     int count, int max_panels, bool inner, double* y) noexcept {
    std::size_t n = 0;
    double a = lo;
    int panels = 0;
    while (a < hi) {
        double h = base;
        for (int i = 0; i < count; ++i) {
            const double local =
                std::fmax(kPanelPerWidth * places[i].width, kGrading * std::fabs(a - places[i].at));
            h = std::fmin(h, local);
        }
        const double rest = hi - a;
        const double b = inner ? (rest <= h ? hi : rest <= 2.0 * h ? a + 0.5 * rest : a + h)
                               : (rest <= 1.5 * h ? hi : a + h);
        if (++panels > max_panels) {
            return 0;
        }
        const double mid = 0.5 * (a + b);
        const double half = 0.5 * (b - a);
        for (int i = kHalf - 1; i >= 0; --i) {
            y[n++] = mid - half * kAbscissae[i];
        }
        for (int i = 0; i < kHalf; ++i) {
            y[n++] = mid + half * kAbscissae[i];
        }
        a = b;
    }
    return n;
}

// The panel weights of the nodes build_mesh wrote (the same walk, weights
// only), for the product with W.
void mesh_weights(const double* y, std::size_t n, double* w) noexcept {
    for (std::size_t p = 0; p < n; p += kNodesPerPanel) {
        // The panel's half width from its outermost nodes.
        const double half = (y[p + kNodesPerPanel - 1] - y[p]) / (2.0 * kAbscissae[kHalf - 1]);
        for (int i = 0; i < kHalf; ++i) {
            w[p + kHalf - 1 - i] = half * kWeights[i];
            w[p + kHalf + i] = half * kWeights[i];
        }
    }
}

struct Stretch {
    double s;         // sigma sqrt(dt)
    double mu;        // (r - q - sigma^2/2) dt
    double discount;  // e^{-r dt}
    double dt;
};

// E[W(c + s Z)], undiscounted: the integral of W against the normal
// density of mean c and deviation s over the nodes [lo, hi) of the mesh,
// with `floor_share` the ruined spot's share below ln D, and with `slopes`
// the first two derivatives in c.
struct Moments {
    double value;
    double first;
    double second;
};

// `scratch` holds hi - lo doubles: the exponents, then the densities, in
// one call of the vector exp (the same bits at every width).
[[nodiscard]] Moments expectation(const Mesh& m, double c, double s, std::size_t lo,
                                  std::size_t hi, bool slopes, bool floor_share,
                                  double* scratch) noexcept {
    const double inv_s = 1.0 / s;
    const std::size_t n = hi - lo;
    for (std::size_t k = 0; k < n; ++k) {
        const double z = (m.y[lo + k] - c) * inv_s;
        scratch[k] = -0.5 * z * z;
    }
    fast::exp(scratch, scratch, n);
    double v = 0.0;
    double d1 = 0.0;
    double d2 = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double g = m.weighted[lo + k] * scratch[k];
        v += g;
        if (slopes) {
            const double z = (m.y[lo + k] - c) * inv_s;
            d1 += g * z;
            d2 += g * (z * z - 1.0);
        }
    }
    Moments out{v * kInvSqrtTwoPi * inv_s, d1 * kInvSqrtTwoPi * inv_s * inv_s,
                d2 * kInvSqrtTwoPi * inv_s * inv_s * inv_s};
    if (floor_share && m.floor && m.ruined != 0.0) {
        // W = ruined below ln D: ruined Phi((ln D - c) / s), and its slopes.
        const double zd = (m.floor_log - c) * inv_s;
        const double density = fast::normal_pdf(zd);
        out.value += m.ruined * fast::normal_cdf(zd);
        out.first -= m.ruined * density * inv_s;
        out.second -= m.ruined * zd * density * inv_s * inv_s;
    }
    return out;
}

// The first node at or above y among [from, n).
[[nodiscard]] std::size_t first_at_or_above(const double* y, std::size_t from, std::size_t n,
                                            double bound) noexcept {
    while (from < n && y[from] < bound) {
        ++from;
    }
    return from;
}

// The exercise boundary of a call at an ex-date's eve: the y = ln S in
// [a, b] where e^y - K = V_after(max(e^y - D, 0)), the continuation value
// `after` of the spot after the drop.  That difference is nondecreasing in
// y (a call's delta is at most 1), so the root is bracketed: a when the
// exercise value already wins there, NaN when it wins nowhere below b.
// Regula falsi with the Illinois halving of the stale end's value
// (Dowell and Jarratt 1971), a bisection whenever a step shrinks the
// bracket by less than half, to 1e-14 in y (that relative in the spot).
// With q < 0 (`rising_value`) the value after the drop may rise faster than
// the spot (its delta reaches e^{-q tau} > 1): the difference rises and then
// falls (the value is convex in the spot), and the exercise region may be a
// bounded interval of spots, which one panel edge cannot carry: +infinity
// says so (the caller leaves the option to the grid).  A region that reaches
// b is a half-line within the mesh, as with q = 0.
template <class After>
[[nodiscard]] double exercise_boundary(double a, double b, double k, double amount,
                                       bool rising_value, const After& after) noexcept {
    const auto gain = [&](double y) {
        const double spot = fast::exp(y);
        return spot - k - after(std::fmax(spot - amount, 0.0));
    };
    constexpr double kInterval = std::numeric_limits<double>::infinity();
    double ga = gain(a);
    double gb = gain(b);
    if (rising_value && !(gb > 0.0)) {
        if (ga >= 0.0) {
            return kInterval;
        }
        // The difference's largest value, by golden section (it has one
        // peak): above 0 there, exercise wins on an interval inside [a, b].
        const GoldenSection peak = golden_section([&](double y) { return -gain(y); }, a, b, 80,
                                                  1e-12, [](double, double v) { return v < 0.0; });
        return peak.accepted ? kInterval : std::numeric_limits<double>::quiet_NaN();
    }
    if (ga >= 0.0) {
        return a;
    }
    if (!(gb > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    constexpr double kBoundaryTolerance = 1e-14;
    for (int iteration = 0; iteration < 200 && b - a > kBoundaryTolerance; ++iteration) {
        const double width = b - a;
        double y = a - ga * width / (gb - ga);
        if (!(y > a && y < b)) {
            y = 0.5 * (a + b);
        }
        const double g = gain(y);
        if (g == 0.0) {
            return y;
        }
        int stale = 0;  // which end stayed: -1 a, +1 b
        if (g < 0.0) {
            a = y;
            ga = g;
            stale = 1;
        } else {
            b = y;
            gb = g;
            stale = -1;
        }
        if (b - a > 0.5 * width) {
            // Too slow: halve the bracket outright.
            const double mid = 0.5 * (a + b);
            const double gm = gain(mid);
            if (gm < 0.0) {
                a = mid;
                ga = gm;
            } else {
                b = mid;
                gb = gm;
            }
        } else if (stale > 0) {
            gb *= 0.5;
        } else {
            ga *= 0.5;
        }
    }
    return b;
}

struct Buffers {
    std::unique_ptr<double[]> memory;
    double* y[2];
    double* weighted[2];
    double* weights;
    double* scratch;
    double* floor_z;
    double* tangent[2][3];
};

[[nodiscard]] bool allocate(Buffers& b, bool tangents) noexcept {
    b.memory.reset(new (std::nothrow) double[(tangents ? 13 : 7) * kMaxNodes]);
    if (!b.memory) {
        return false;
    }
    double* at = b.memory.get();
    for (int i = 0; i < 2; ++i) {
        b.y[i] = at;
        at += kMaxNodes;
        b.weighted[i] = at;
        at += kMaxNodes;
    }
    b.weights = at;
    b.scratch = at + kMaxNodes;
    b.floor_z = at + 2 * kMaxNodes;
    at += 3 * kMaxNodes;
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 3; ++j) {
            b.tangent[i][j] = tangents ? at : nullptr;
            at += tangents ? kMaxNodes : 0;
        }
    }
    return true;
}

// The derivatives of e^{-r dt} E[W(c + s Z)] (with the ruined share) in
// sigma, r and q at a fixed point: the tangents of W on the same nodes, and
// the moves of the Gaussian itself (its mean c = x + mu and deviation s) and
// of the discount and the ruined value.  `m` are the moments at c, the
// densities e^{-z^2/2} of nodes [lo, hi) in `density`.
void tangents_at(const Mesh& mesh, const Stretch& st, double sigma, double c, std::size_t lo,
                 std::size_t hi, const Moments& m, const double* density,
                 double out[3]) noexcept {
    const double inv_s = 1.0 / st.s;
    double carried[3] = {0.0, 0.0, 0.0};
    for (int j = 0; j < 3; ++j) {
        const double* t = mesh.tangent[j];
        double sum = 0.0;
        for (std::size_t k = lo; k < hi; ++k) {
            sum += t[k] * density[k - lo];
        }
        carried[j] = sum * kInvSqrtTwoPi * inv_s;
    }
    // d mu / d(sigma, r, q), d s / d(sigma, r, q).
    const double dmu[3] = {-sigma * st.dt, st.dt, -st.dt};
    const double ds[3] = {st.s / sigma, 0.0, 0.0};
    const bool floor_share = mesh.floor && mesh.ruined != 0.0;
    const double share = floor_share ? fast::normal_cdf((mesh.floor_log - c) * inv_s) : 0.0;
    for (int j = 0; j < 3; ++j) {
        // m.first and m.second are d/dc and d2/dc2 of the integral, the
        // ruined share's included; a move of s changes it by ds s d2/dc2
        // (the heat equation in s^2 / 2).
        double d = carried[j] + dmu[j] * m.first + ds[j] * st.s * m.second;
        if (j == 1) {
            d += mesh.ruined_dr * share;
            d = st.discount * d - st.dt * st.discount * m.value;
        } else {
            d = st.discount * d;
        }
        out[j] = d;
    }
}

enum class Outcome { Done, Cancelled, TooFine };

struct Value {
    double value;
    double delta;
    double gamma;
    double dsigma;
    double drate;
    double dyield;
};

// The mesh of one ex-date from the range of the spot just before it and
// the sharp places of W, with the floor at ln D.
struct Range {
    double lo;
    double hi;
    bool floor;
};

// One valuation.  The value just after each ex-date at the nodes of the
// next earlier ex-date's mesh, from the latest ex-date back to today.
// `exercise`: a call whose holder may exercise just before each ex-date
// (at the spot before the drop): the value there is max(e^y - K, V_after).
[[nodiscard]] Outcome recurse(const Problem& p, Buffers& b, bool slopes, bool tangents,
                              bool exercise, Value& out) noexcept {
    const ExDates dates{p.jumps};
    const double sigma = p.sigma;
    const double drift = p.r - p.q - 0.5 * sigma * sigma;
    const bool put = p.type == OptionType::Put;
    const double x0 = fast::log(p.s);

    // Forward pass: the largest stretch deviation (which sharp places are
    // smooth to every mesh) and sum D_i e^{-M_i + Z v_i}, M_i the drift of
    // ln S from today to ex-date i and v_i its deviation, for the lower end
    // of each mesh.
    double largest = 0.0;
    double discounted_total = 0.0;
    for (std::size_t i = 0, next = 0; i < p.jumps.size(); i = next) {
        const ExDate e = dates.at(i, next);
        const double earlier = next < p.jumps.size() ? p.jumps[next].tau : p.t;
        largest = std::fmax(largest, sigma * std::sqrt(earlier - e.tau));
        discounted_total += e.amount * fast::exp(-drift * (p.t - e.tau) +
                                                 kTail * sigma * std::sqrt(p.t - e.tau));
    }
    const double drop_width = kDropWidth * std::fmax(kPanelPerDeviation * largest, 1e-300);

    // The spot just before ex-date e (u = its time from today) is
    // S_e = e^{A_e} (S - sum_{earlier i} D_i e^{-A_i}) while it has not
    // reached 0, A the log-moves from today.  With every A_i within Z v_i of
    // M_i (all but a mass of 2 Phi(-kTail) per ex-date):
    //   e^{M - Z v} (S - sum_{earlier i} D_i e^{-M_i + Z v_i}) <= S_e <= S e^{M + Z v},
    // v = sigma sqrt u; the upper end is raised by v^2 for a call's
    // integrand, which grows like the spot.
    double paid_before = 0.0;  // sum over the ex-dates later than e of D e^{-M + Z v}
    const auto range_of = [&](const ExDate& e) {
        const double u = p.t - e.tau;
        const double v = sigma * std::sqrt(u);
        const double m = drift * u;
        const double own = e.amount * fast::exp(-m + kTail * v);
        const double earlier = std::fmax(discounted_total - paid_before - own, 0.0) +
                               4.0 * std::numeric_limits<double>::epsilon() * discounted_total;
        const double low = fast::exp(m - kTail * v) * (p.s - earlier);
        Range r{};
        r.hi = x0 + m + (kTail + v) * v;
        r.floor = !(low > e.amount);
        r.lo = r.floor ? fast::log(e.amount) : fast::log(low);
        if (!put) {
            // A call after the drop is worth less than the same call without
            // dividends (they only lower the spot), whose d1 is below
            // -(kTail + 1) under this spot: its value there is below 1e-19 of
            // the strike, and the mesh starts above it.
            const double remaining = sigma * std::sqrt(e.tau);
            const double worthless =
                p.k * fast::exp(-(p.r - p.q + 0.5 * sigma * sigma) * e.tau -
                                (kTail + 1.0) * remaining) + e.amount;
            if (exercise) {
                // Exercised, W is e^y - K above ln K whatever the value
                // after the drop: the mesh reaches down to the strike (or
                // the path's low end), below which W is that value alone.
                r.lo = fast::log(std::fmax(low, std::fmin(worthless, p.k)));
                r.floor = false;
            } else if (worthless > fast::exp(r.lo)) {
                r.lo = fast::log(worthless);
                r.floor = false;
            }
        }
        return r;
    };

    Features places;
    // Just after the latest ex-date: the formula, sharp at the strike while
    // its time to expiry is short.
    std::size_t next = 0;
    ExDate e = dates.at(0, next);
    places.add({p.k, p.k * sigma * std::sqrt(e.tau)});

    Feature in_y[kMaxFeatures];
    // `kink`: the exercise boundary of the ex-date's eve when `exercise`
    // (NaN for none), made a panel edge: the mesh is built in two pieces.
    // `origin`: x0 for the earliest ex-date, 0 for the others.
    const auto mesh_for = [&](const ExDate& date, double stretch_s, int slot, Mesh& m,
                              const Range& r, double kink, double origin) {
        int count = 0;
        for (int i = 0; i < places.size; ++i) {
            const double at = places.items[i].at + date.amount;
            in_y[count++] = {fast::log(at) - origin, places.items[i].width / at};
        }
        m.y = b.y[slot];
        m.origin = origin;
        m.weighted = b.weighted[slot];
        m.floor = r.floor;
        m.floor_log = fast::log(date.amount) - origin;
        m.ruined = put ? p.k * fast::exp(-p.r * date.tau) : 0.0;
        m.ruined_dr = -date.tau * m.ruined;
        for (int j = 0; j < 3; ++j) {
            m.tangent[j] = b.tangent[slot][j];
        }
        // Near a spot of 0 the value after the drop bends like
        // Phi((ln S - a) / (sigma sqrt tau)): flat while that deviation is
        // small, but beyond kRuinDeviation it is smooth only in ln S, and
        // ln(e^y - D) is singular at y = ln D.  Panels then grade down to
        // ln D geometrically, from kRuinWidth (the hp-refinement of a
        // singular endpoint).
        if (sigma * std::sqrt(date.tau) > kRuinDeviation && count < kMaxFeatures) {
            in_y[count++] = {m.floor_log, kRuinWidth};
        }
        m.size = 0;
        const double lo = r.lo - origin;
        const double hi = r.hi - origin;
        kink -= origin;
        if (hi > lo) {
            const double base = std::fmin(kPanelPerDeviation * stretch_s, kWidestPanel);
            // A boundary within a hair of either end leaves a sliver, not a
            // kink worth a panel edge.
            const double hair = 1e-9 * base;
            if (kink > lo + hair && kink < hi - hair) {
                const std::size_t below =
                    build_mesh(lo, kink, base, in_y, count, kMaxPanels, true, m.y);
                const int used = static_cast<int>(below / kNodesPerPanel);
                const std::size_t above =
                    below == 0 ? 0
                               : build_mesh(kink, hi, base, in_y, count, kMaxPanels - used,
                                            false, m.y + below);
                m.size = above == 0 ? 0 : below + above;
            } else {
                m.size = build_mesh(lo, hi, base, in_y, count, kMaxPanels, false, m.y);
            }
            if (m.size == 0) {
                return false;
            }
        }
        mesh_weights(m.y, m.size, b.weights);
        return true;
    };

    const auto stretch_before = [&](std::size_t following, double tau) {
        const double earlier = following < p.jumps.size() ? p.jumps[following].tau : p.t;
        const double dt = earlier - tau;
        return Stretch{sigma * std::sqrt(dt), drift * dt, fast::exp(-p.r * dt), dt};
    };

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double strike_log = fast::log(p.k);
    // The exercise boundary at the eve of an ex-date whose mesh spans
    // `range`, against the value just after it; NaN without exercise.
    const auto boundary_of = [&](const Range& range, double amount, const auto& after) {
        const double from = std::fmax(strike_log, range.lo);
        return exercise && from < range.hi
                   ? exercise_boundary(from, range.hi, p.k, amount, p.q < 0.0, after)
                   : nan;
    };
    // The formula just after the latest ex-date, as the nodes read it.
    const auto formula = [&](double spot) {
        if (tangents) {
            const Result<black_scholes::Valuation> v =
                black_scholes::valuation(spot, p.k, e.tau, p.r, sigma, p.q, p.type);
            return v ? v->price : 0.0;
        }
        const Result<double> v = black_scholes::price(spot, p.k, e.tau, p.r, sigma, p.q, p.type);
        return v ? *v : 0.0;
    };

    int slot = 0;
    Mesh mesh{};
    Stretch stretch = stretch_before(next, e.tau);
    const Range latest = range_of(e);
    // The exercise boundary of the current ex-date e.
    double kink = boundary_of(latest, e.amount, formula);
    if (std::isinf(kink)) {
        return Outcome::TooFine;
    }
    if (!mesh_for(e, stretch.s, slot, mesh, latest, kink, next >= p.jumps.size() ? x0 : 0.0)) {
        return Outcome::TooFine;
    }
    for (std::size_t k = 0; k < mesh.size; ++k) {
        const double before = fast::exp(mesh.origin + mesh.y[k]);
        const double spot = std::fmax(before - e.amount, 0.0);
        // Exercised just before the drop: e^y - K, which moves with none
        // of sigma, r and q.
        const double exercised = exercise ? before - p.k : 0.0;
        if (!tangents) {
            const Result<double> v =
                black_scholes::price(spot, p.k, e.tau, p.r, sigma, p.q, p.type);
            const double held = v ? *v : 0.0;
            mesh.weighted[k] = (exercise ? std::fmax(held, exercised) : held) * b.weights[k];
            continue;
        }
        // The formula's vega, rho (per percentage point there) and
        // dV/dq = -tau S delta.
        const Result<black_scholes::Valuation> v =
            black_scholes::valuation(spot, p.k, e.tau, p.r, sigma, p.q, p.type);
        const black_scholes::Valuation x = v ? *v : black_scholes::Valuation{};
        if (exercise && exercised > x.price) {
            mesh.weighted[k] = exercised * b.weights[k];
            for (int j = 0; j < 3; ++j) {
                mesh.tangent[j][k] = 0.0;
            }
            continue;
        }
        mesh.weighted[k] = x.price * b.weights[k];
        mesh.tangent[0][k] = x.greeks.vega * b.weights[k];
        mesh.tangent[1][k] = 100.0 * x.greeks.rho * b.weights[k];
        mesh.tangent[2][k] = -e.tau * spot * x.greeks.delta * b.weights[k];
    }
    // From here `places` are the sharp places of the value after ex-date e.
    while (true) {
        const double below = -kTail * stretch.s;
        const double above = (kTail + stretch.s) * stretch.s;
        if (next >= p.jumps.size()) {
            // Today: one point, the spot, with its slopes in ln S (the mesh
            // laid out around it: c is the drift alone).
            const double c = stretch.mu;
            const std::size_t lo = first_at_or_above(mesh.y, 0, mesh.size, c + below);
            const std::size_t hi = first_at_or_above(mesh.y, lo, mesh.size, c + above);
            const Moments m = expectation(mesh, c, stretch.s, lo, hi, slopes || tangents, true,
                                          b.scratch);
            out.value = stretch.discount * m.value;
            if (tangents) {
                double d[3];
                tangents_at(mesh, stretch, sigma, c, lo, hi, m, b.scratch, d);
                out.dsigma = d[0];
                out.drate = d[1];
                out.dyield = d[2];
            }
            // d/dS = (1/S) d/dx; d2/dS2 = (d2/dx2 - d/dx) / S^2.
            out.delta = stretch.discount * m.first / p.s;
            out.gamma = stretch.discount * (m.second - m.first) / (p.s * p.s);
            return Outcome::Done;
        }
        if (p.cancel != nullptr && p.cancel->load(std::memory_order_relaxed)) {
            return Outcome::Cancelled;
        }
        paid_before += e.amount * fast::exp(-drift * (p.t - e.tau) +
                                            kTail * sigma * std::sqrt(p.t - e.tau));
        // The sharp places of the value after the next earlier ex-date: each
        // carried back over the stretch (to the spot that drifts onto it) and
        // widened by it, and the floor of ex-date e among them.
        const double back = fast::exp(-stretch.mu);
        Features carried;
        for (int i = 0; i < places.size; ++i) {
            const double at = (places.items[i].at + e.amount) * back;
            const double width = std::hypot(places.items[i].width * back, at * stretch.s);
            if (width / at < drop_width) {
                carried.add({at, width});
            }
        }
        carried.add({e.amount * back, e.amount * back * stretch.s});
        if (!std::isnan(kink)) {
            // The exercise boundary's kink, smoothed like the floor's.
            const double at = fast::exp(kink) * back;
            carried.add({at, at * stretch.s});
        }
        places = carried;

        std::size_t after_next = 0;
        const ExDate earlier_date = dates.at(next, after_next);
        const Stretch earlier_stretch = stretch_before(after_next, earlier_date.tau);
        Mesh target{};
        const Range range = range_of(earlier_date);
        // The value after earlier_date at a spot, as the nodes below read it.
        const auto continuation = [&](double spot) {
            const double c = fast::log(std::fmax(spot, std::numeric_limits<double>::min())) +
                             stretch.mu - mesh.origin;
            const std::size_t from = first_at_or_above(mesh.y, 0, mesh.size, c + below);
            const std::size_t to = first_at_or_above(mesh.y, from, mesh.size, c + above);
            return stretch.discount *
                   expectation(mesh, c, stretch.s, from, to, false, false, b.scratch).value;
        };
        const double earlier_kink = boundary_of(range, earlier_date.amount, continuation);
        if (std::isinf(earlier_kink)) {
            return Outcome::TooFine;
        }
        if (!mesh_for(earlier_date, earlier_stretch.s, 1 - slot, target, range, earlier_kink,
                      after_next >= p.jumps.size() ? x0 : 0.0)) {
            return Outcome::TooFine;
        }
        // The value after earlier_date at each node's spot, by the stretch
        // from there to ex-date e: first the mean of ln S at ex-date e from
        // each node (in `centre`), then each node's Gaussian sum, then the
        // ruined spot's share, ruined Phi((ln D - c) / s), in one vector call.
        double* centre = target.weighted;
        const std::size_t n = target.size;
        for (std::size_t k = 0; k < n; ++k) {
            centre[k] = target.origin + target.y[k];
        }
        fast::exp(centre, centre, n);
        for (std::size_t k = 0; k < n; ++k) {
            // Nodes lie inside their panels, above ln D: the spot is positive
            // but for rounding at a panel of width 1e-13.
            centre[k] = std::fmax(centre[k] - earlier_date.amount,
                                  std::numeric_limits<double>::min());
        }
        fast::log(centre, centre, n);
        const bool floor_share = mesh.floor && mesh.ruined != 0.0;
        std::size_t lo = 0;
        std::size_t hi = 0;
        if (tangents) {
            // One node at a time, the ruined share and the tangents with it.
            for (std::size_t k = 0; k < n; ++k) {
                const double c = centre[k] + stretch.mu - mesh.origin;
                lo = first_at_or_above(mesh.y, lo, mesh.size, c + below);
                hi = first_at_or_above(mesh.y, std::max(lo, hi), mesh.size, c + above);
                const Moments m = expectation(mesh, c, stretch.s, lo, hi, true, true, b.scratch);
                double d[3];
                tangents_at(mesh, stretch, sigma, c, lo, hi, m, b.scratch, d);
                const double held = stretch.discount * m.value;
                const double exercised =
                    exercise ? fast::exp(target.origin + target.y[k]) - p.k : 0.0;
                const bool exercises = exercise && exercised > held;
                for (int j = 0; j < 3; ++j) {
                    target.tangent[j][k] = exercises ? 0.0 : d[j] * b.weights[k];
                }
                target.weighted[k] = (exercises ? exercised : held) * b.weights[k];
            }
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                const double c = centre[k] + stretch.mu - mesh.origin;
                lo = first_at_or_above(mesh.y, lo, mesh.size, c + below);
                hi = first_at_or_above(mesh.y, std::max(lo, hi), mesh.size, c + above);
                const double sum =
                    expectation(mesh, c, stretch.s, lo, hi, false, false, b.scratch).value;
                if (floor_share) {
                    b.floor_z[k] = (mesh.floor_log - c) / stretch.s;
                }
                centre[k] = sum;
            }
            if (floor_share) {
                fast::normal_cdf(b.floor_z, b.floor_z, n);
                for (std::size_t k = 0; k < n; ++k) {
                    centre[k] += mesh.ruined * b.floor_z[k];
                }
            }
            if (exercise) {
                // A call has no ruined share: floor_z is free for e^y.
                for (std::size_t k = 0; k < n; ++k) {
                    b.floor_z[k] = target.origin + target.y[k];
                }
                fast::exp(b.floor_z, b.floor_z, n);
                for (std::size_t k = 0; k < n; ++k) {
                    const double held = stretch.discount * centre[k];
                    target.weighted[k] = std::fmax(held, b.floor_z[k] - p.k) * b.weights[k];
                }
            } else {
                for (std::size_t k = 0; k < n; ++k) {
                    target.weighted[k] = stretch.discount * centre[k] * b.weights[k];
                }
            }
        }
        kink = earlier_kink;
        mesh = target;
        slot = 1 - slot;
        e = earlier_date;
        next = after_next;
        stretch = earlier_stretch;
    }
}

[[nodiscard]] Result<Solution> failure(Outcome o) {
    return std::unexpected(OptionError::invalid_parameters(
        o == Outcome::Cancelled ? "cancelled"
                                : "the quadrature could not value these inputs"));
}

}  // namespace

bool european_resolves(const Problem& p) noexcept {
    // A mesh of about range / (kPanelPerDeviation s) panels, and a window of
    // about 2 kTail / kPanelPerDeviation panels per node: the work of one
    // ex-date is their product times the nodes per panel, squared.  The
    // graded panels near sharp places come on top, which build_mesh's
    // capacity catches.
    // Each mesh's range as recurse lays it out: from the low end of the
    // spot's range at the ex-date, or ln D where the spot may be ruined
    // there, to its high end.  (A range from ln D whatever the spot took a
    // dividend of 1e-9 under a spot of 1000 for 28 of ln S and sent a
    // European call at sigma 0.02 to the grid, 5e-4 off.)
    const ExDates dates{p.jumps};
    const double drift = p.r - p.q - 0.5 * p.sigma * p.sigma;
    const double x0 = fast::log(p.s);
    double total = 0.0;
    for (std::size_t i = 0, next = 0; i < p.jumps.size(); i = next) {
        const ExDate e = dates.at(i, next);
        const double u = p.t - e.tau;
        total += e.amount * fast::exp(-drift * u + kTail * p.sigma * std::sqrt(u));
    }
    double later = 0.0;
    double work = 0.0;
    for (std::size_t i = 0, next = 0; i < p.jumps.size(); i = next) {
        const ExDate e = dates.at(i, next);
        const double earlier = next < p.jumps.size() ? p.jumps[next].tau : p.t;
        const double s = p.sigma * std::sqrt(earlier - e.tau);
        const double u = p.t - e.tau;
        const double v = p.sigma * std::sqrt(u);
        const double m = drift * u;
        const double own = e.amount * fast::exp(-m + kTail * v);
        const double low = fast::exp(m - kTail * v) * (p.s - std::fmax(total - later - own, 0.0));
        later += own;
        const double lo = low > e.amount ? fast::log(low) : fast::log(e.amount);
        const double range = x0 + m + (kTail + v) * v - lo;
        const double panels = range / (kPanelPerDeviation * s);
        if (panels > 0.5 * kMaxPanels) {
            return false;
        }
        work += panels * kNodesPerPanel * (2.0 * kTail / kPanelPerDeviation) * kNodesPerPanel;
    }
    return work <= kMaxWork;
}

namespace {

// Today's value and Greeks from the recursion; with `exercise` (a call
// exercised at the ex-dates' eves) the value is also held against S - K.
[[nodiscard]] Result<Solution> value_by_quadrature(const Problem& p, bool sensitivities,
                                                   bool exercise) noexcept {
    Buffers b;
    if (!allocate(b, sensitivities)) {
        return std::unexpected(OptionError::invalid_parameters("out of memory for the quadrature"));
    }
    Value v{};
    if (const Outcome o = recurse(p, b, true, sensitivities, exercise, v); o != Outcome::Done) {
        return failure(o);
    }
    Solution s{};
    // Far out of the money the sum may round to -1e-18: nothing is worth
    // less than nothing.
    s.value = std::fmax(v.value, 0.0);
    s.delta = v.delta;
    s.gamma = v.gamma;
    if (!std::isfinite(s.value) || !std::isfinite(s.delta) || !std::isfinite(s.gamma)) {
        return failure(Outcome::TooFine);
    }
    if (exercise && p.s - p.k >= s.value) {
        // Exercised today: S - K; the caller returns it with delta 1 and
        // the other Greeks 0.
        s.value = p.s - p.k;
        s.exercised = true;
    }
    if (!sensitivities) {
        return s;
    }
    // The pricing equation at the spot, where the option is held (the
    // first ex-date lies after today).
    s.dtau = 0.5 * p.sigma * p.sigma * p.s * p.s * s.gamma + (p.r - p.q) * p.s * s.delta -
             p.r * s.value;
    s.dsigma = v.dsigma;
    s.drate = v.drate;
    s.dyield = v.dyield;
    if (!std::isfinite(s.dsigma) || !std::isfinite(s.drate) || !std::isfinite(s.dyield)) {
        return failure(Outcome::TooFine);
    }
    return s;
}

}  // namespace

Result<Solution> european(const Problem& p, bool sensitivities) noexcept {
    return value_by_quadrature(p, sensitivities, false);
}

bool exercises_only_at_ex_dates(const Problem& p) noexcept {
    return p.american && p.type == OptionType::Call && p.q <= 0.0 && p.r >= 0.0;
}

Result<Solution> american_call(const Problem& p, bool sensitivities) noexcept {
    if (!exercises_only_at_ex_dates(p)) {
        return std::unexpected(OptionError::invalid_parameters(
            "the quadrature values American calls only with q <= 0 and r >= 0"));
    }
    return value_by_quadrature(p, sensitivities, true);
}

}  // namespace greekmill::grid
