#include "fast/fast_math.hpp"

#include <cstdlib>
#include <string_view>

#include "fast/isa.hpp"

namespace greekmill::fast {
namespace {

// AVX-512 here means AVX-512F (all the kernels use).  __builtin_cpu_supports
// also checks that the OS saves the wider registers.
bool cpu_has(Width w) noexcept {
#if !defined(__x86_64__)
    // Only the two-lane kernels are built off x86-64 (CMakeLists.txt).
    return w != Width::Avx512 && w != Width::Avx2;
#else
    __builtin_cpu_init();
    switch (w) {
        case Width::Avx512:
            return __builtin_cpu_supports("avx512f");
        case Width::Avx2:
            return __builtin_cpu_supports("avx2");
        default:
            return true;
    }
#endif
}

Width widest_up_to(Width w) noexcept {
    if (w == Width::Avx512 && cpu_has(Width::Avx512)) {
        return Width::Avx512;
    }
    if ((w == Width::Avx512 || w == Width::Avx2) && cpu_has(Width::Avx2)) {
        return Width::Avx2;
    }
    return Width::Sse2;
}

// The width Auto means for this process: decided once, on first use, from
// GREEKMILL_SIMD and the CPU; never changed afterwards.
Width auto_width() noexcept {
    static const Width decided = [] {
        const char* env = std::getenv("GREEKMILL_SIMD");
        const std::string_view name = env != nullptr ? env : "";
        if (name == "sse2") {
            return Width::Sse2;
        }
        if (name == "avx2") {
            return widest_up_to(Width::Avx2);
        }
        return widest_up_to(Width::Avx512);
    }();
    return decided;
}

}  // namespace

bool supported(Width w) noexcept { return w == Width::Auto || cpu_has(w); }

Width resolve(Width w) noexcept {
    return w == Width::Auto ? auto_width() : widest_up_to(w);
}

namespace detail {

const Kernels& kernels(Width w) noexcept {
    switch (resolve(w)) {
#if defined(__x86_64__)
        case Width::Avx512:
            return kAvx512;
        case Width::Avx2:
            return kAvx2;
#endif
        default:
            return kSse2;
    }
}

}  // namespace detail

void exp(const double* x, double* y, std::size_t n, Width w) noexcept {
    detail::kernels(w).exp(x, y, n);
}
void log(const double* x, double* y, std::size_t n, Width w) noexcept {
    detail::kernels(w).log(x, y, n);
}
void erfc(const double* x, double* y, std::size_t n, Width w) noexcept {
    detail::kernels(w).erfc(x, y, n);
}
void normal_cdf(const double* x, double* y, std::size_t n, Width w) noexcept {
    detail::kernels(w).normal_cdf(x, y, n);
}
void normal_pdf(const double* x, double* y, std::size_t n, Width w) noexcept {
    detail::kernels(w).normal_pdf(x, y, n);
}

}  // namespace greekmill::fast
