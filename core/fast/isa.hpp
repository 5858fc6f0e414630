// The kernels of one instruction set, as a table the dispatcher picks from.
// Internal to core/fast.
#pragma once

#include <cstddef>

#include "batch/columns.hpp"
#include "fast/fast_math.hpp"

namespace greekmill::fast::detail {

using ArrayKernel = void (*)(const double* x, double* y, std::size_t n) noexcept;
using RangeKernel = void (*)(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                             std::size_t end) noexcept;

struct Kernels {
    ArrayKernel exp, log, erfc, normal_cdf, normal_pdf;
    RangeKernel price, delta, gamma, theta, vega, rho, greeks;
    RangeKernel bjerksund_stensland_price, bjerksund_stensland_delta, bjerksund_stensland_gamma,
        bjerksund_stensland_theta, bjerksund_stensland_vega, bjerksund_stensland_rho,
        bjerksund_stensland_greeks;
};

extern const Kernels kSse2;    // isa_sse2.cpp, baseline x86-64
extern const Kernels kAvx2;    // isa_avx2.cpp, -mavx2
extern const Kernels kAvx512;  // isa_avx512.cpp, -mavx512f

// The table of resolve(w).
[[nodiscard]] const Kernels& kernels(Width w) noexcept;

}  // namespace greekmill::fast::detail
