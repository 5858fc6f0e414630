// Measures the error of the fast maths functions in ulps against a quad
// precision (113-bit, libquadmath) reference, on millions of seeded random
// points per region, and prints one markdown table row per region: the
// largest and the mean error, where the largest occurs, and the same for
// glibc's double functions (the exact path's Phi is erfc(-x / sqrt 2) / 2 in
// double, core/option.hpp).
//
//   bench/fast_math/run.sh accuracy [points per region, default 4000000]
//
// The error of y against the reference R is |y - R| / ulp(R), ulp(R) the
// spacing of doubles at R (2^-1074 for subnormal R).  The quad reference's
// own error (a few quad ulps, and for Phi the rounding of -x/sqrt 2 in quad,
// amplified by at most 2 (x/sqrt 2)^2 < 1500) stays below 1e-13 double ulps.
#include <quadmath.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fast/fast_math.hpp"
#include "option.hpp"

namespace {

using Quad = __float128;

double ulp_error(double y, Quad ref) {
    if (std::isnan(y) || std::isinf(y)) {
        return (static_cast<Quad>(y) == ref) ? 0.0 : INFINITY;
    }
    const Quad a = ref < 0 ? -ref : ref;
    if (a == 0) {
        return y == 0 ? 0.0 : std::fabs(y) / 0x1p-1074;
    }
    int e = 0;
    frexpq(a, &e);  // a = f 2^e, f in [0.5, 1)
    const int exponent = std::max(e - 1, -1022);
    const Quad ulp = ldexpq(1.0Q, exponent - 52);
    const Quad d = static_cast<Quad>(y) - ref;
    return static_cast<double>((d < 0 ? -d : d) / ulp);
}

struct Stats {
    double max = 0;
    double sum = 0;
    double at = 0;
    std::size_t n = 0;
    void add(double err, double x) {
        if (err > max) {
            max = err;
            at = x;
        }
        sum += err;
        ++n;
    }
};

using Fast = void (*)(const double*, double*, std::size_t, greekmill::fast::Width);
using Ref = Quad (*)(double);
using Libm = double (*)(double);

void region(const char* fname, const char* label, Fast fast, Libm libm, Ref ref, double lo,
            double hi, bool log_uniform, std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::vector<double> x(n);
    std::vector<double> y(n);
    if (log_uniform) {  // |x| log-uniform in [lo, hi], lo > 0
        std::uniform_real_distribution<double> u(std::log(lo), std::log(hi));
        for (double& v : x) {
            v = std::exp(u(gen));
        }
    } else {
        std::uniform_real_distribution<double> u(lo, hi);
        for (double& v : x) {
            v = u(gen);
        }
    }
    fast(x.data(), y.data(), n, greekmill::fast::Width::Auto);
    Stats f;
    Stats g;
    for (std::size_t i = 0; i < n; ++i) {
        const Quad r = ref(x[i]);
        f.add(ulp_error(y[i], r), x[i]);
        g.add(ulp_error(libm(x[i]), r), x[i]);
    }
    std::printf("| %s | %s | %zu | %.3f | %.4f | %.17g | %.3f | %.17g |\n", fname, label, n, f.max,
                f.sum / static_cast<double>(f.n), f.at, g.max, g.at);
    std::fflush(stdout);
}

Quad ref_exp(double x) { return expq(x); }
Quad ref_log(double x) { return logq(x); }
Quad ref_erfc(double x) { return erfcq(x); }
Quad ref_cdf(double x) { return erfcq(-static_cast<Quad>(x) / sqrtq(2.0Q)) / 2; }
Quad ref_pdf(double x) {
    const Quad q = x;
    return expq(-q * q / 2) / sqrtq(2 * M_PIq);
}
double libm_exp(double x) { return std::exp(x); }
double libm_log(double x) { return std::log(x); }
double libm_erfc(double x) { return std::erfc(x); }
double libm_cdf(double x) { return greekmill::normal_cdf(x); }
double libm_pdf(double x) { return greekmill::normal_pdf(x); }

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4000000;
    namespace f = greekmill::fast;
    std::printf("| function | region | points | max ulp | mean ulp | worst x | glibc max ulp | glibc worst x |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    region("exp", "[-745.1, 709.78]", f::exp, libm_exp, ref_exp, -745.1, 709.78, false, n, 1);
    region("exp", "[-1, 1]", f::exp, libm_exp, ref_exp, -1, 1, false, n, 2);
    region("exp", "subnormal results [-745.1, -708.4]", f::exp, libm_exp, ref_exp, -745.1, -708.4,
           false, n, 3);
    region("exp", "overflow edge [709, 709.7827]", f::exp, libm_exp, ref_exp, 709, 709.782712893384,
           false, n, 4);
    region("log", "[1e-307, 1.8e308] log-uniform", f::log, libm_log, ref_log, 1e-307, 1.79e308, true, n,
           5);
    region("log", "subnormal [4.9e-324, 2.2e-308]", f::log, libm_log, ref_log, 4.95e-324, 2.2e-308,
           true, n, 6);
    region("log", "[0.5, 2]", f::log, libm_log, ref_log, 0.5, 2, false, n, 7);
    region("normal_cdf", "[-38.5, 8.3]", f::normal_cdf, libm_cdf, ref_cdf, -38.5, 8.3, false, n, 8);
    region("normal_cdf", "[-5, 5]", f::normal_cdf, libm_cdf, ref_cdf, -5, 5, false, n, 9);
    region("normal_cdf", "subnormal results [-38.5, -37.5]", f::normal_cdf, libm_cdf, ref_cdf, -38.5,
           -37.5, false, n, 10);
    region("erfc", "[-6, 27.2]", f::erfc, libm_erfc, ref_erfc, -6, 27.2, false, n, 11);
    region("erfc", "[-1, 1]", f::erfc, libm_erfc, ref_erfc, -1, 1, false, n, 12);
    region("erfc", "subnormal results [26.55, 27.2]", f::erfc, libm_erfc, ref_erfc, 26.55, 27.2,
           false, n, 14);
    region("normal_pdf", "[-38.5, 38.5]", f::normal_pdf, libm_pdf, ref_pdf, -38.5, 38.5, false, n,
           13);
    return 0;
}
