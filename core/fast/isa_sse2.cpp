// The fast kernels for sse2: baseline x86-64 (SSE2), no extra flags.
// Only called after the dispatcher checked that the CPU runs them.
#define GREEKMILL_FAST_ISA sse2
#define GREEKMILL_FAST_LANES 2
#define GREEKMILL_FAST_TABLE kSse2
#include "fast/isa_kernels.hpp"

// The scalar entry points: lane 0 of the SSE2 code.
namespace greekmill::fast {
namespace {
using D2 = sse2::Lanes<2>::D;
}  // namespace

double exp(double x) noexcept { return sse2::exp(D2{x, x})[0]; }
double log(double x) noexcept { return sse2::log(D2{x, x})[0]; }
double erfc(double x) noexcept { return sse2::erfc(D2{x, x})[0]; }
double normal_cdf(double x) noexcept { return sse2::normal_cdf(D2{x, x})[0]; }
double normal_pdf(double x) noexcept { return sse2::normal_pdf(D2{x, x})[0]; }

}  // namespace greekmill::fast
