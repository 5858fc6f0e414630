// Vectorised maths of our own: exp, log, erfc and the normal distribution,
// with the same bits on every x86-64 machine.
//
// Every function is one branch-free sequence of IEEE-754 operations written
// once over a vector of independent lanes (lanes.hpp) and compiled for SSE2,
// AVX2 and AVX-512.  A lane computes exactly what the scalar function
// computes, so results do not depend on the vector width, on the position of
// an element in its array, nor on how an array is split between threads.
// The width is picked at run time: the widest the CPU supports, unless the
// environment variable GREEKMILL_SIMD (sse2, avx2 or avx512, read once)
// or an explicit Width asks for another.
//
// Accuracy, measured against quad precision on 4 million points per region
// (docs/fast_math.md): exp 0.91 ulp, log 1.22 ulps, normal_cdf 3.11 ulps
// relative over the whole line (the lower tail down to the last subnormal
// included), normal_pdf 2.07 ulps, erfc 3.50 ulps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace greekmill::fast {

enum class Width : std::uint8_t { Auto, Sse2, Avx2, Avx512 };

// Whether this machine runs the width (Auto and Sse2 always).
[[nodiscard]] bool supported(Width w) noexcept;

// The width a request runs at.  Auto: GREEKMILL_SIMD when it names a
// supported width, else the widest supported.  A forced width this machine
// lacks falls back to the widest supported one below it.  Never Auto.
[[nodiscard]] Width resolve(Width w) noexcept;

// Scalar entry points: one lane of the same code.
[[nodiscard]] double exp(double x) noexcept;
[[nodiscard]] double log(double x) noexcept;
[[nodiscard]] double erfc(double x) noexcept;
[[nodiscard]] double normal_cdf(double x) noexcept;  // Phi(x) = erfc(-x / sqrt 2) / 2
[[nodiscard]] double normal_pdf(double x) noexcept;  // phi(x) = exp(-x^2 / 2) / sqrt(2 pi)

// Arrays: y[i] = f(x[i]) for i < n (x and y may be the same array).
void exp(const double* x, double* y, std::size_t n, Width w = Width::Auto) noexcept;
void log(const double* x, double* y, std::size_t n, Width w = Width::Auto) noexcept;
void erfc(const double* x, double* y, std::size_t n, Width w = Width::Auto) noexcept;
void normal_cdf(const double* x, double* y, std::size_t n, Width w = Width::Auto) noexcept;
void normal_pdf(const double* x, double* y, std::size_t n, Width w = Width::Auto) noexcept;

}  // namespace greekmill::fast
