#include "fast/fast_math.hpp"

#include <cstdlib>
#include <string_view>

// How this compiler asks the CPU what it has (see cpu_has below).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_MSC_VER)
#define GREEKMILL_CPU_MODEL_BUILTIN 1
#elif defined(_M_X64)
#define GREEKMILL_CPU_MODEL_CPUID 1
#include <intrin.h>
#endif

#include "fast/isa.hpp"

namespace greekmill::fast {
namespace {

// AVX-512 here means AVX-512F (all the kernels use).  Either way of asking
// also checks that the OS saves the wider registers: __builtin_cpu_supports
// (GCC and clang, with their runtime's CPU model) does it itself; the cpuid
// path (compilers with Microsoft's runtime, clang-cl) reads XCR0.
#if defined(GREEKMILL_CPU_MODEL_BUILTIN)
bool cpu_has(Width w) noexcept {
    __builtin_cpu_init();
    switch (w) {
        case Width::Avx512:
            return __builtin_cpu_supports("avx512f");
        case Width::Avx2:
            return __builtin_cpu_supports("avx2");
        default:
            return true;
    }
}
#elif defined(GREEKMILL_CPU_MODEL_CPUID)
bool cpu_has(Width w) noexcept {
    if (w != Width::Avx512 && w != Width::Avx2) {
        return true;
    }
    int leaf1[4];
    __cpuid(leaf1, 1);
    constexpr int kOsxsave = 1 << 27;
    constexpr int kAvx = 1 << 28;
    if ((leaf1[2] & kOsxsave) == 0 || (leaf1[2] & kAvx) == 0) {
        return false;
    }
    int leaf0[4];
    __cpuid(leaf0, 0);
    if (leaf0[0] < 7) {
        return false;
    }
    int leaf7[4];
    __cpuidex(leaf7, 7, 0);
    const unsigned long long xcr0 = _xgetbv(0);
    // XCR0: SSE and AVX state (bits 1, 2); opmask and the upper ZMM (5 to 7).
    constexpr unsigned long long kYmmState = 0x06;
    constexpr unsigned long long kZmmState = 0xe6;
    constexpr int kAvx2 = 1 << 5;         // cpuid 7.0, EBX
    constexpr int kAvx512f = 1 << 16;     // cpuid 7.0, EBX
    if (w == Width::Avx2) {
        return (xcr0 & kYmmState) == kYmmState && (leaf7[1] & kAvx2) != 0;
    }
    return (xcr0 & kZmmState) == kZmmState && (leaf7[1] & kAvx512f) != 0;
}
#else
// Only the two-lane kernels are built off x86-64 (CMakeLists.txt).
bool cpu_has(Width w) noexcept { return w != Width::Avx512 && w != Width::Avx2; }
#endif

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
