// Prints one line per kernel: its name, the number of values and a hash of
// their bits over a fixed sample of inputs.  Run on two machines, the lines
// must be equal wherever results are promised to be the same bits on every
// platform (scripts/cross_aarch64.sh compares x86-64 with aarch64).
//
// The inputs come from an integer generator and exact scalings, so they are
// the same bits everywhere.  NaNs are hashed as one value: IEEE-754 fixes
// which operations give a NaN, not its sign or payload, and those differ
// between x86 (negative default NaN) and aarch64 (positive).
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "american/american.hpp"
#include "batch/columns.hpp"
#include "black_scholes.hpp"
#include "fast/bjerksund_stensland_fast.hpp"
#include "fast/european_fast.hpp"
#include "fast/fast_math.hpp"
#include "grid/cash_dividends.hpp"

namespace {

using namespace greekmill;

class Generator {  // splitmix64
public:
    explicit Generator(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // In [lo, hi): a 53-bit integer times 2^-53, then one multiply and one add.
    double uniform(double lo, double hi) {
        const double u = static_cast<double>(next() >> 11) * 0x1p-53;
        return lo + (hi - lo) * u;
    }

private:
    std::uint64_t state_;
};

// With an argument, every value is printed too (to find the first that differs).
bool g_print_values = false;

class Hash {  // FNV-1a over the bit patterns
public:
    void add(double x) {
        const std::uint64_t bits =
            std::isnan(x) ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(x);
        if (g_print_values) {
            std::printf("  %zu %016llx %.17g\n", count_, static_cast<unsigned long long>(bits), x);
        }
        for (int byte = 0; byte < 8; ++byte) {
            value_ = (value_ ^ ((bits >> (8 * byte)) & 0xff)) * 0x100000001b3ULL;
        }
        ++count_;
    }
    void print(const char* name) const {
        std::printf("%-34s %7zu %016llx\n", name, count_, static_cast<unsigned long long>(value_));
    }

private:
    std::uint64_t value_ = 0xcbf29ce484222325ULL;
    std::size_t count_ = 0;
};

// Arguments of the maths functions: wide ranges, the tails and special values.
std::vector<double> maths_arguments() {
    Generator g(20);
    std::vector<double> x;
    for (int i = 0; i < 4000; ++i) {
        x.push_back(g.uniform(-40.0, 40.0));
        x.push_back(g.uniform(-745.0, 710.0));
        // Two statements: the order of evaluation of arguments differs between ABIs.
        const double mantissa = g.uniform(0.5, 1.0);
        x.push_back(std::ldexp(mantissa, static_cast<int>(g.next() % 2100) - 1074));
    }
    for (double special : {0.0, -0.0, 1.0, -1.0, 1e-310, 709.78, -745.2, -38.5, 27.0,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()}) {
        x.push_back(special);
    }
    return x;
}

struct Book {
    std::vector<double> s, k, t, r, sigma, q;
    std::vector<std::uint8_t> type;

    Book(std::uint64_t seed, int n, bool degenerate) {
        Generator g(seed);
        for (int i = 0; i < n; ++i) {
            s.push_back(g.uniform(50.0, 150.0));
            k.push_back(100.0);
            t.push_back(g.uniform(0.02, 3.0));
            r.push_back(g.uniform(-0.01, 0.10));
            sigma.push_back(g.uniform(0.05, 0.80));
            q.push_back(g.uniform(0.0, 0.08));
            type.push_back(static_cast<std::uint8_t>(g.next() & 1));
            if (degenerate && i % 11 == 0) {  // the limits at t = 0, sigma = 0, at the money
                t.back() = i % 2 == 0 ? 0.0 : t.back();
                sigma.back() = i % 2 == 0 ? sigma.back() : 0.0;
                k.back() = i % 3 == 0 ? s.back() : k.back();
            }
        }
    }
    std::size_t size() const { return s.size(); }
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

using ArrayKernel = void (*)(const double*, double*, std::size_t, fast::Width) noexcept;
using RangeKernel = void (*)(const batch::Inputs&, const batch::Outputs&, std::size_t, std::size_t,
                             fast::Width) noexcept;

void print_array_kernel(const char* name, ArrayKernel kernel, const std::vector<double>& x) {
    std::vector<double> y(x.size());
    kernel(x.data(), y.data(), x.size(), fast::Width::Auto);
    Hash h;
    for (double v : y) {
        h.add(v);
    }
    h.print(name);
}

void print_range_kernel(const char* name, RangeKernel kernel, const Book& book, int columns) {
    const std::size_t n = book.size();
    std::vector<double> out[5];
    batch::Outputs y;
    for (int j = 0; j < columns; ++j) {
        out[j].assign(n, 0.0);
        y.out[j] = out[j].data();
    }
    kernel(book.inputs(), y, 0, n, fast::Width::Auto);
    Hash h;
    for (int j = 0; j < columns; ++j) {
        for (double v : out[j]) {
            h.add(v);
        }
    }
    h.print(name);
}

// The European function's value (the platform's exp, log and erfc), which
// the American engine returns, with its Greeks, where early exercise is never
// optimal or the premium is below its resolution: those bits follow the
// platform's maths library as the exact European path does, and are left out.
[[nodiscard]] bool is_the_european_value(const Book& book, std::size_t i, OptionType type,
                                         double value) {
    namespace bs = black_scholes;
    const double s = book.s[i], k = book.k[i], t = book.t[i], r = book.r[i];
    const double sigma = book.sigma[i], q = book.q[i];
    const Result<double> european = bs::zero_total_volatility(t, sigma)
                                        ? Result<double>(bs::price_at_zero_volatility(
                                              s, k, t, r, sigma, q, type))
                                        : bs::price(s, k, t, r, sigma, q, type);
    return european && std::bit_cast<std::uint64_t>(*european) ==
                           std::bit_cast<std::uint64_t>(value);
}

bool is_the_dividend_european_value(const Book& book, std::size_t i, OptionType type,
                                    double value, const dividends::Schedule& schedule) {
    const Result<american::Valuation> european = dividends::value(
        book.s[i], book.k[i], book.t[i], book.r[i], book.sigma[i], book.q[i], type,
        dividends::Style::European, american::Accuracy::Accurate, schedule, false);
    return european &&
           std::bit_cast<std::uint64_t>(european->price) == std::bit_cast<std::uint64_t>(value);
}

// The accurate engine, or with a schedule the cash-dividend grid solver.
void print_american(const char* name, const Book& book, american::Accuracy accuracy,
                    const dividends::Schedule* schedule = nullptr) {
    Hash h;
    for (std::size_t i = 0; i < book.size(); ++i) {
        const OptionType type = book.type[i] == 0 ? OptionType::Call : OptionType::Put;
        const Result<american::Valuation> v =
            schedule == nullptr
                ? american::value_and_greeks(book.s[i], book.k[i], book.t[i], book.r[i],
                                             book.sigma[i], book.q[i], type, accuracy)
                : dividends::value(book.s[i], book.k[i], book.t[i], book.r[i], book.sigma[i],
                                   book.q[i], type, dividends::Style::American, accuracy,
                                   *schedule, true);
        if (!v) {
            h.add(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        if (schedule == nullptr && is_the_european_value(book, i, type, v->price)) {
            continue;
        }
        // With a schedule, the quadrature's values (European ones, which a
        // grid value below them and a put never exercised early take, and
        // calls with q <= 0 and r >= 0) start from the platform's exp and
        // erfc: left out alike.
        if (schedule != nullptr &&
            ((type == OptionType::Call && book.q[i] <= 0.0 && book.r[i] >= 0.0) ||
             is_the_dividend_european_value(book, i, type, v->price, *schedule))) {
            continue;
        }
        for (double x : {v->price, v->greeks.delta, v->greeks.gamma, v->greeks.theta,
                         v->greeks.vega, v->greeks.rho}) {
            h.add(x);
        }
    }
    h.print(name);
}

void print_boundary(const char* name, const Book& book) {
    Hash h;
    for (std::size_t i = 0; i < book.size(); ++i) {
        const OptionType type = book.type[i] == 0 ? OptionType::Call : OptionType::Put;
        const Result<double> b = american::exercise_boundary(
            book.t[i], book.k[i], book.r[i], book.sigma[i], book.q[i], type,
            american::Accuracy::Accurate);
        h.add(b ? *b : std::numeric_limits<double>::quiet_NaN());
    }
    h.print(name);
}

}  // namespace

int main(int argc, char**) {
    g_print_values = argc > 1;
    const std::vector<double> x = maths_arguments();
    print_array_kernel("fast.exp", fast::exp, x);
    print_array_kernel("fast.log", fast::log, x);
    print_array_kernel("fast.erfc", fast::erfc, x);
    print_array_kernel("fast.normal_cdf", fast::normal_cdf, x);
    print_array_kernel("fast.normal_pdf", fast::normal_pdf, x);

    const Book book(7, 3000, true);
    print_range_kernel("fast.european_price", fast::european_price, book, 1);
    print_range_kernel("fast.european_greeks", fast::european_greeks, book, 5);
    print_range_kernel("fast.bjerksund_stensland_price", fast::bjerksund_stensland_price, book, 1);
    print_range_kernel("fast.bjerksund_stensland_greeks", fast::bjerksund_stensland_greeks, book,
                       5);

    // The engine's solve is costly under an emulator: a smaller book.
    const Book american_book(11, 150, true);
    print_american("american.value_and_greeks.fast", american_book, american::Accuracy::Fast);
    print_american("american.value_and_greeks.accurate", american_book,
                   american::Accuracy::Accurate);
    print_boundary("american.exercise_boundary", american_book);

    // Negative rates: the double-boundary regime (put q < r <= 0, call r < q <= 0).
    Book double_boundary(13, 30, false);
    for (std::size_t i = 0; i < double_boundary.size(); ++i) {
        const bool put = double_boundary.type[i] != 0;
        const double low = -0.01 - double_boundary.q[i] / 2.0;  // in [-0.05, -0.01]
        double_boundary.r[i] = put ? low / 4.0 : low;
        double_boundary.q[i] = put ? low : low / 4.0;
    }
    print_american("american.double_boundary", double_boundary, american::Accuracy::Accurate);

    const double times[] = {0.25, 0.75};
    const double amounts[] = {1.5, 2.0};
    const dividends::Schedule schedule{times, amounts};
    print_american("dividends.american", Book(17, 30, false), american::Accuracy::Accurate,
                   &schedule);
    return 0;
}
