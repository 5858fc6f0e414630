// The spectral engine of the single-boundary regime (put: r > 0; call by
// symmetry: q > 0), compiled once per instruction set like core/fast/ and
// picked at run time.  Every transcendental function it evaluates is a lane
// kernel of core/fast/lanes.hpp; every sum runs in one fixed order in scalar
// code; nothing calls the platform's maths library.  So an option's value,
// Greeks and boundary have the same bits whatever the vector width, the
// thread, the position of the option in an array, and the machine.
#pragma once

#include "put_result.hpp"
#include "quadrature.hpp"

namespace greekmill::american::detail {

struct SpectralEngine {
    // The put (strike k) on the tables' setting: t > 0, sigma > 0, r > 0.
    Result<PutResult> (*put)(const Tables& tables, double s, double k, double t, double r,
                             double sigma, double q, bool greeks) noexcept;
    // ln(B(tau) / K) of the put: tau > 0, sigma > 0, r > 0.
    double (*ln_boundary)(const Tables& tables, double tau, double r, double q,
                          double sigma) noexcept;
};

extern const SpectralEngine kSpectralSse2;    // engine_sse2.cpp
extern const SpectralEngine kSpectralAvx2;    // engine_avx2.cpp, -mavx2
extern const SpectralEngine kSpectralAvx512;  // engine_avx512.cpp, -mavx512f

// The build for the width the fast kernels run at (GREEKMILL_SIMD, else the
// widest the CPU has): they all give the same bits.
[[nodiscard]] const SpectralEngine& spectral_engine() noexcept;

}  // namespace greekmill::american::detail
