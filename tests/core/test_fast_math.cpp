#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"
#include "fast/bjerksund_stensland_fast.hpp"
#include "fast/european_fast.hpp"
#include "fast/fast_math.hpp"
#include "support.hpp"

namespace greekmill {
namespace {

using fast::Width;
using testing::SameDouble;
using testing::ulp_distance;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The widths this machine runs (valgrind hides AVX-512, so it is skipped
// there as on CPUs without it).
std::vector<Width> widths() {
    std::vector<Width> w{Width::Sse2};
    for (Width x : {Width::Avx2, Width::Avx512}) {
        if (fast::supported(x)) {
            w.push_back(x);
        }
    }
    return w;
}

struct Function {
    const char* name;
    double (*scalar)(double) noexcept;
    void (*array)(const double*, double*, std::size_t, Width) noexcept;
};

const Function kFunctions[] = {
    {"exp", fast::exp, fast::exp},
    {"log", fast::log, fast::log},
    {"erfc", fast::erfc, fast::erfc},
    {"normal_cdf", fast::normal_cdf, fast::normal_cdf},
    {"normal_pdf", fast::normal_pdf, fast::normal_pdf},
};

struct Point {
    double x;
    double expected;
};

// Reference values: mpmath 1.4.1 at 60 digits (mp.exp, mp.log, mp.erfc,
// mp.ncdf, mp.npdf) rounded to the nearest double (subnormals rounded on
// the 2^-1074 grid directly).  The points are the hard ones: subnormal
// results, the overflow edge of exp, arguments next to 1 for log, the far
// lower tail of Phi.
TEST(FastMath, HardPointsWithinTheirUlpBounds) {
    struct Table {
        double (*f)(double) noexcept;
        std::uint64_t max_ulps;
        std::vector<Point> points;
    };
    const Table tables[] = {
        {fast::exp, 2,
         {{-745.1, 5e-324},
          {-740.0, 4.2e-322},
          {-708.5, 2.006132305331306e-308},
          {-700.0, 9.85967654375977e-305},
          {-1e-10, 0.9999999999},
          {0.5, 1.6487212707001282},
          {1.0, 2.718281828459045},
          {10.0, 22026.465794806718},
          {709.78, 1.7928227943945155e+308},
          {709.782712893384, 1.7976931348622732e+308}}},
        {fast::log, 2,
         {{5e-324, -744.4400719213812},
          {1e-310, -713.8013788281542},
          {2.2250738585072014e-308, -708.3964185322641},
          {0.7, -0.35667494393873245},
          {0.9999999999999999, -1.1102230246251565e-16},
          {1.0000000000000002, 2.2204460492503128e-16},
          {2.0, 0.6931471805599453},
          {10.0, 2.302585092994046},
          {1.7976931348623157e+308, 709.782712893384}}},
        {fast::normal_cdf, 4,
         {{-38.4, 6.4e-323},
          {-37.5, 4.605353009581955e-308},
          {-30.0, 4.906713927148187e-198},
          {-20.0, 2.7536241186062337e-89},
          {-10.0, 7.619853024160525e-24},
          {-5.0, 2.866515718791939e-07},
          {-1.0, 0.15865525393145705},
          {-1e-08, 0.4999999960105772},
          {0.3, 0.6179114221889527},
          {1.0, 0.8413447460685429},
          {5.0, 0.9999997133484281},
          {8.3, 1.0}}},
        {fast::erfc, 4,
         {{-5.0, 1.9999999999984626},
          {-0.5, 1.5204998778130465},
          {0.3, 0.6713732405408726},
          {1.0, 0.15729920705028513},
          {5.0, 1.537459794428035e-12},
          {10.0, 2.088487583762545e-45},
          {26.5, 2.2109076642637343e-307},
          {27.2, 1e-323}}},
        {fast::normal_pdf, 3,
         {{0.0, 0.3989422804014327},
          {1.0, 0.24197072451914334},
          {-10.0, 7.694598626706419e-23},
          {38.0, 1.097221052e-314}}},
    };
    for (const Table& t : tables) {
        for (const Point& p : t.points) {
            EXPECT_LE(ulp_distance(t.f(p.x), p.expected), t.max_ulps)
                << "x = " << p.x << " gives " << t.f(p.x);
        }
    }
}

TEST(FastMath, SpecialValues) {
    const struct {
        double (*f)(double) noexcept;
        double x;
        double expected;
    } cases[] = {
        {fast::exp, 0.0, 1.0},          {fast::exp, -746.0, 0.0},
        {fast::exp, 709.79, kInf},      {fast::exp, kInf, kInf},
        {fast::exp, -kInf, 0.0},        {fast::exp, kNaN, kNaN},
        {fast::log, 1.0, 0.0},          {fast::log, 0.0, -kInf},
        {fast::log, -0.0, -kInf},       {fast::log, -1.0, kNaN},
        {fast::log, kInf, kInf},        {fast::log, kNaN, kNaN},
        {fast::normal_cdf, 0.0, 0.5},   {fast::normal_cdf, -0.0, 0.5},
        {fast::normal_cdf, -39.0, 0.0}, {fast::normal_cdf, -kInf, 0.0},
        {fast::normal_cdf, kInf, 1.0},  {fast::normal_cdf, kNaN, kNaN},
        {fast::erfc, 0.0, 1.0},         {fast::erfc, kInf, 0.0},
        {fast::erfc, -kInf, 2.0},       {fast::erfc, kNaN, kNaN},
        {fast::normal_pdf, kInf, 0.0},  {fast::normal_pdf, kNaN, kNaN},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(SameDouble(c.f(c.x), c.expected)) << "x = " << c.x;
    }
}

// A seeded sample against long double references (64-bit significands:
// their own error is a small fraction of a double ulp on these ranges).
TEST(FastMath, SeededSampleAgainstLongDouble) {
    volatile long double tiny = 0x1p-60L;
    if (1.0L + tiny == 1.0L) {
        GTEST_SKIP() << "long double arithmetic is not extended here (valgrind runs it in double)";
    }
    std::mt19937_64 gen(14);
    auto uniform = [&](double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(gen);
    };
    std::uint64_t worst[4] = {};
    for (int i = 0; i < 20000; ++i) {
        const double xe = uniform(-745.0, 709.7);
        const double xl = std::exp(uniform(-700.0, 700.0));
        const double xc = uniform(-6.0, 6.0);
        const long double c = std::erfc(-static_cast<long double>(xc) / std::sqrt(2.0L)) / 2;
        const std::uint64_t e[4] = {
            ulp_distance(fast::exp(xe), static_cast<double>(std::exp(static_cast<long double>(xe)))),
            ulp_distance(fast::log(xl), static_cast<double>(std::log(static_cast<long double>(xl)))),
            ulp_distance(fast::normal_cdf(xc), static_cast<double>(c)),
            ulp_distance(fast::erfc(xc), static_cast<double>(std::erfc(static_cast<long double>(xc))))};
        for (int j = 0; j < 4; ++j) {
            worst[j] = std::max(worst[j], e[j]);
        }
    }
    EXPECT_LE(worst[0], 2u) << "exp";
    EXPECT_LE(worst[1], 2u) << "log";
    EXPECT_LE(worst[2], 4u) << "normal_cdf";
    EXPECT_LE(worst[3], 4u) << "erfc";
}

// Every width gives, for every element, the bits of the scalar function,
// whatever the array length (so whatever lane an element falls in).
TEST(FastMath, SameBitsAtEveryWidthAndPosition) {
    std::mt19937_64 gen(7);
    std::vector<double> x;
    for (double v : {0.0, -0.0, 1.0, -1.0, 1e-320, -1e-320, 709.78, -745.0, 40.0, -40.0, kInf,
                     -kInf, kNaN}) {
        x.push_back(v);
    }
    while (x.size() < 203) {
        x.push_back(std::uniform_real_distribution<double>(-50.0, 50.0)(gen));
        x.push_back(std::exp(std::uniform_real_distribution<double>(-700.0, 700.0)(gen)));
    }
    for (const Function& f : kFunctions) {
        for (Width w : widths()) {
            for (std::size_t n : {x.size(), x.size() - 1, std::size_t{3}}) {
                std::vector<double> y(n);
                f.array(x.data(), y.data(), n, w);
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(SameDouble(y[i], f.scalar(x[i])))
                        << f.name << " width " << static_cast<int>(w) << " x = " << x[i];
                }
            }
        }
    }
}

TEST(FastMath, ResolveNeverPicksAnUnsupportedWidth) {
    for (Width w : {Width::Auto, Width::Sse2, Width::Avx2, Width::Avx512}) {
        const Width r = fast::resolve(w);
        EXPECT_NE(r, Width::Auto);
        EXPECT_TRUE(fast::supported(r));
    }
    EXPECT_EQ(fast::resolve(Width::Sse2), Width::Sse2);
}

// setenv is POSIX's; Windows' C runtime has _putenv_s.
void set_environment(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

// GREEKMILL_SIMD is read once per process, when Auto is first resolved, so
// each case runs in a fresh process (the "threadsafe" style re-executes the
// test binary).
TEST(FastMathDeathTest, EnvironmentVariableChoosesTheAutoWidth) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            set_environment("GREEKMILL_SIMD", "sse2");
            std::exit(fast::resolve(Width::Auto) == Width::Sse2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            set_environment("GREEKMILL_SIMD", "avx2");
            std::exit(fast::resolve(Width::Auto) == fast::resolve(Width::Avx2) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {  // an unknown name is ignored: the widest width runs
            set_environment("GREEKMILL_SIMD", "avx1024");
            std::exit(fast::resolve(Width::Auto) == fast::resolve(Width::Avx512) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------- European

using RangeKernel = void (*)(const batch::Inputs&, const batch::Outputs&, std::size_t,
                             std::size_t, Width) noexcept;
constexpr RangeKernel kSingles[] = {fast::european_price, fast::european_delta,
                                    fast::european_gamma, fast::european_theta,
                                    fast::european_vega,  fast::european_rho};

// A seeded book with the degenerate elements mixed in: t = 0, sigma = 0, at
// and off the money-forward.
struct Book {
    std::vector<double> s, k, t, r, sigma, q;
    std::vector<std::uint8_t> type;

    explicit Book(std::size_t n) {
        std::mt19937_64 gen(2026);
        auto uniform = [&](double a, double b) {
            return std::uniform_real_distribution<double>(a, b)(gen);
        };
        for (std::size_t i = 0; i < n; ++i) {
            s.push_back(uniform(20, 200));
            k.push_back(uniform(20, 200));
            t.push_back(uniform(0.01, 5));
            r.push_back(uniform(-0.02, 0.1));
            sigma.push_back(uniform(0.01, 1.5));
            q.push_back(uniform(0, 0.08));
            type.push_back(gen() & 1);
            switch (i % 11) {
                case 3:
                    t.back() = 0;
                    break;
                case 5:
                    sigma.back() = 0;
                    break;
                case 7:  // at the money-forward at expiry
                    t.back() = 0;
                    k.back() = s.back();
                    break;
                case 9:  // at the money-forward with sigma = 0: ln(s/k) = -(r - q) t
                    sigma.back() = 0;
                    k.back() = s.back();
                    r.back() = q.back();
                    break;
                default:
                    break;
            }
        }
    }
    batch::Inputs inputs() const {
        batch::Inputs x;
        x.s = {s.data(), 1};
        x.k = {k.data(), 1};
        x.t = {t.data(), 1};
        x.r = {r.data(), 1};
        x.sigma = {sigma.data(), 1};
        x.q = {q.data(), 1};
        x.type = {type.data(), 1};
        return x;
    }
};

struct Out {
    std::vector<double> v[5];
    explicit Out(std::size_t n) {
        for (auto& c : v) {
            c.assign(n, kNaN);
        }
    }
    batch::Outputs outputs() {
        batch::Outputs y;
        for (int j = 0; j < 5; ++j) {
            y.out[j] = v[j].data();
        }
        return y;
    }
};

void expect_same(const Out& a, const Out& b, int columns, const char* what) {
    for (int j = 0; j < columns; ++j) {
        for (std::size_t i = 0; i < a.v[j].size(); ++i) {
            ASSERT_TRUE(SameDouble(a.v[j][i], b.v[j][i])) << what << " column " << j << " i " << i;
        }
    }
}

// Results do not depend on the width, on how [0, n) is split, nor on
// whether the five Greeks are asked for together or one by one.
TEST(FastEuropean, SameBitsAcrossWidthsSplitsAndKernels) {
    const std::size_t n = 301;
    const Book book(n);
    const batch::Inputs x = book.inputs();
    for (RangeKernel kernel : kSingles) {
        Out whole(n);
        kernel(x, whole.outputs(), 0, n, Width::Sse2);
        for (Width w : widths()) {
            Out split(n);
            std::size_t begin = 0;
            for (std::size_t len = 1; begin < n; len = len * 3 % 37 + 1) {
                const std::size_t end = std::min(n, begin + len);
                kernel(x, split.outputs(), begin, end, w);
                begin = end;
            }
            expect_same(split, whole, 1, "split");
        }
    }
    const RangeKernel greek_singles[] = {fast::european_delta, fast::european_gamma,
                                         fast::european_theta, fast::european_vega,
                                         fast::european_rho};
    Out singles(n);
    for (int j = 0; j < 5; ++j) {
        batch::Outputs y;
        y.out[0] = singles.v[j].data();
        greek_singles[j](x, y, 0, n, Width::Sse2);
    }
    for (Width w : widths()) {
        Out all(n);
        fast::european_greeks(x, all.outputs(), 0, n, w);
        expect_same(all, singles, 5, "greeks");
    }
    // No element, degenerate ones included, gives a NaN.
    for (int j = 0; j < 5; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_FALSE(std::isnan(singles.v[j][i])) << "column " << j << " element " << i;
        }
    }
}

// Broadcast columns (stride 0) give the bits of a contiguous column holding
// the same value.
TEST(FastEuropean, BroadcastColumnsEqualRepeatedValues) {
    const std::size_t n = 37;
    Book book(n);
    const double spot = 101.5;
    const double rate = 0.03;
    const std::uint8_t put = 1;
    batch::Inputs broadcast = book.inputs();
    broadcast.s = {&spot, 0};
    broadcast.r = {&rate, 0};
    broadcast.type = {&put, 0};
    book.s.assign(n, spot);
    book.r.assign(n, rate);
    book.type.assign(n, put);
    for (Width w : widths()) {
        Out a(n);
        Out b(n);
        fast::european_greeks(broadcast, a.outputs(), 0, n, w);
        fast::european_greeks(book.inputs(), b.outputs(), 0, n, w);
        expect_same(a, b, 5, "broadcast");
    }
}

double exact_price(double s, double k, double t, double r, double sigma, double q, bool put) {
    const double v = std::sqrt(t) * sigma;
    const double d1 = ((sigma * sigma * 0.5 + (r - q)) * t + std::log(s / k)) / v;
    const double d2 = d1 - v;
    const double dq = std::exp(-q * t);
    const double dr = std::exp(-r * t);
    return put ? (k * dr) * normal_cdf(-d2) - (s * dq) * normal_cdf(-d1)
               : (s * dq) * normal_cdf(d1) - (k * dr) * normal_cdf(d2);
}

// The fast outputs against the exact path on well-conditioned options (the
// book's regular elements, values not far below the outputs' scale): within
// 1e-12 relative, or 1e-15 of the option's scale (s) absolute for values
// that cancel (price, theta).  docs/fast_math.md has the measured figures.
TEST(FastEuropean, AgreesWithTheExactPath) {
    const std::size_t n = 1000;
    const Book book(n);
    const batch::Inputs x = book.inputs();
    Out fast_greeks(n);
    Out fast_price(n);
    fast::european_greeks(x, fast_greeks.outputs(), 0, n, Width::Auto);
    fast::european_price(x, fast_price.outputs(), 0, n, Width::Auto);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 11 == 3 || i % 11 == 5 || i % 11 == 7 || i % 11 == 9) {
            continue;  // degenerate: checked below
        }
        const OptionType type = book.type[i] ? OptionType::Put : OptionType::Call;
        const Greeks g = *black_scholes::all_greeks(book.s[i], book.k[i], book.t[i], book.r[i],
                                                    book.sigma[i], book.q[i], type);
        const double exact[6] = {exact_price(book.s[i], book.k[i], book.t[i], book.r[i],
                                             book.sigma[i], book.q[i], book.type[i] != 0),
                                 g.delta, g.gamma, g.theta, g.vega, g.rho};
        const double got[6] = {fast_price.v[0][i], fast_greeks.v[0][i], fast_greeks.v[1][i],
                               fast_greeks.v[2][i], fast_greeks.v[3][i], fast_greeks.v[4][i]};
        for (int j = 0; j < 6; ++j) {
            const double tolerance = std::max(1e-12 * std::fabs(exact[j]), 1e-15 * book.s[i]);
            EXPECT_NEAR(got[j], exact[j], tolerance) << "output " << j << " element " << i;
        }
    }
}

// The limits where sigma sqrt(t) = 0.
TEST(FastEuropean, DegenerateElementsTakeTheLimits) {
    struct Case {
        double s, k, t, r, sigma, q;
        std::uint8_t put;
        double price, delta, gamma, theta, vega, rho;
    };
    const double phi0 = 0.3989422804014327;  // phi(0)
    const Case cases[] = {
        // At expiry, in the money: intrinsic value, delta 1, the rest 0.
        {110, 100, 0, 0.05, 0.2, 0, 0, 10, 1, 0, -0.05 * 100 / 365.0, 0, 0},
        // At expiry, out of the money.
        {90, 100, 0, 0.05, 0.2, 0, 1, 10, -1, 0, 0.05 * 100 / 365.0, 0, -0.0},
        // At expiry at the money: Phi = 1/2, gamma +inf, theta -inf.
        {100, 100, 0, 0.05, 0.2, 0, 0, 0, 0.5, kInf, -kInf, 0, 0},
        // sigma = 0 at the money-forward (r = q): phi term 0, vega s e^{-qt} sqrt(t) phi(0).
        {100, 100, 4, 0.02, 0, 0.02, 0, 0, 0.5 * std::exp(-0.08), kInf, 0, 0, 0},
    };
    for (Width w : widths()) {
        for (const Case& c : cases) {
            batch::Inputs x;
            x.s = {&c.s, 0};
            x.k = {&c.k, 0};
            x.t = {&c.t, 0};
            x.r = {&c.r, 0};
            x.sigma = {&c.sigma, 0};
            x.q = {&c.q, 0};
            x.type = {&c.put, 0};
            Out price(1);
            Out g(1);
            fast::european_price(x, price.outputs(), 0, 1, w);
            fast::european_greeks(x, g.outputs(), 0, 1, w);
            EXPECT_NEAR(price.v[0][0], c.price, 1e-13) << "s " << c.s << " t " << c.t;
            EXPECT_NEAR(g.v[0][0], c.delta, 1e-15) << "s " << c.s << " t " << c.t;
            EXPECT_EQ(g.v[1][0], c.gamma) << "s " << c.s << " t " << c.t;
            if (std::isinf(c.theta)) {
                EXPECT_EQ(g.v[2][0], c.theta);
            }
            const double vega = c.sigma == 0 && c.s == c.k
                                    ? (std::exp(-c.q * c.t) * c.s) * phi0 * std::sqrt(c.t)
                                    : c.vega;
            EXPECT_NEAR(g.v[3][0], vega, 1e-12) << "s " << c.s << " t " << c.t;
            EXPECT_FALSE(std::isnan(g.v[2][0]));
            EXPECT_FALSE(std::isnan(g.v[4][0]));
        }
    }
}

// ------------------------------------------------------ Bjerksund-Stensland

// The book with every branch of the value: expired (t = 0), calls without
// dividends (the European branch), deep in the money (immediate exercise),
// the twelve terms, and the puts' transformation of each.
Book american_book(std::size_t n) {
    Book book(n);
    for (std::size_t i = 0; i < n; ++i) {
        book.t[i] = std::min(book.t[i], 3.0);
        book.sigma[i] = std::max(book.sigma[i], 0.05);
        switch (i % 7) {
            case 1:
                book.t[i] = 0;
                break;
            case 2:
                book.q[i] = 0;
                book.r[i] = std::fabs(book.r[i]);
                break;
            case 3:
                book.k[i] = book.s[i] * (book.type[i] ? 3.0 : 0.3);
                break;
            default:
                break;
        }
    }
    return book;
}

TEST(FastBjerksundStensland, SameBitsAcrossWidthsAndSplits) {
    const std::size_t n = 45;
    const Book book = american_book(n);
    const batch::Inputs x = book.inputs();
    Out price(n);
    Out greeks(n);
    fast::bjerksund_stensland_price(x, price.outputs(), 0, n, Width::Sse2);
    fast::bjerksund_stensland_greeks(x, greeks.outputs(), 0, n, Width::Sse2);
    for (Width w : widths()) {
        Out p(n);
        Out g(n);
        for (std::size_t begin = 0, len = 1; begin < n; begin += len, len = len * 2 % 13 + 1) {
            const std::size_t end = std::min(n, begin + len);
            fast::bjerksund_stensland_price(x, p.outputs(), begin, end, w);
            fast::bjerksund_stensland_greeks(x, g.outputs(), begin, end, w);
        }
        expect_same(p, price, 1, "price");
        expect_same(g, greeks, 5, "greeks");
    }
    // Each Greek alone, from only the values it needs, gives the same bits.
    const RangeKernel singles[] = {fast::bjerksund_stensland_delta, fast::bjerksund_stensland_gamma,
                                   fast::bjerksund_stensland_theta, fast::bjerksund_stensland_vega,
                                   fast::bjerksund_stensland_rho};
    for (int j = 0; j < 5; ++j) {
        Out single(n);
        singles[j](x, single.outputs(), 0, n, Width::Auto);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(SameDouble(single.v[0][i], greeks.v[j][i])) << "Greek " << j << " i " << i;
        }
    }
}

// Against the exact path.  The value agrees to the few ulps of the maths
// functions (amplified by the twelve terms' cancellation); the Greeks are
// finite differences with steps of 1e-4, which amplify those ulps about
// 1e4-fold (delta, theta, vega, rho) and 1e8-fold (gamma).
TEST(FastBjerksundStensland, AgreesWithTheExactPath) {
    const std::size_t n = 140;
    const Book book = american_book(n);
    const batch::Inputs x = book.inputs();
    Out price(n);
    Out greeks(n);
    fast::bjerksund_stensland_price(x, price.outputs(), 0, n, Width::Auto);
    fast::bjerksund_stensland_greeks(x, greeks.outputs(), 0, n, Width::Auto);
    const double relative[6] = {1e-11, 1e-8, 1e-5, 1e-8, 1e-8, 1e-8};
    for (std::size_t i = 0; i < n; ++i) {
        const OptionType type = book.type[i] ? OptionType::Put : OptionType::Call;
        namespace am = bjerksund_stensland;
        const Greeks g = *am::all_greeks(book.s[i], book.k[i], book.t[i], book.r[i],
                                         book.sigma[i], book.q[i], type);
        const double exact[6] = {*am::price(book.s[i], book.k[i], book.t[i], book.r[i],
                                            book.sigma[i], book.q[i], type),
                                 g.delta, g.gamma, g.theta, g.vega, g.rho};
        const double got[6] = {price.v[0][i],  greeks.v[0][i], greeks.v[1][i],
                               greeks.v[2][i], greeks.v[3][i], greeks.v[4][i]};
        for (int j = 0; j < 6; ++j) {
            EXPECT_NEAR(got[j], exact[j], relative[j] * std::fabs(exact[j]) + 1e-12)
                << "output " << j << " element " << i;
        }
    }
}

}  // namespace
}  // namespace greekmill
