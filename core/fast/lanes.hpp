// The fast maths, written once over a vector of N independent double lanes
// (GCC vector extensions).  Every operation is a lane-wise IEEE-754 operation
// (+ - * / sqrt, comparisons, selects, integer bit manipulation), evaluated in
// the order written: the core is compiled with -ffp-contract=off and without
// fast-math, so nothing is fused or reassociated.  A lane therefore computes
// the same bits whatever N is and whatever its neighbours hold, and the SSE2,
// AVX2 and AVX-512 builds of this file agree bit for bit.  Off x86-64 only
// the two-lane build exists and GCC lowers the vectors to the target's own
// (NEON on aarch64): the same operations, so the same bits.
//
// This header is included by one translation unit per instruction set, each
// compiled with its own target flags, inside a namespace of its own
// (GREEKMILL_FAST_ISA): no inline function of it is ever shared between two
// instruction sets, so the linker can never pick an AVX-512 copy for an
// SSE2 caller.
#pragma once

#ifndef GREEKMILL_FAST_ISA
#error "include lanes.hpp only from a per-instruction-set translation unit"
#endif

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <limits>

#include "fast/normal_tables.hpp"

namespace greekmill::fast::GREEKMILL_FAST_ISA {

// Vectors of N doubles and of N 64-bit integers (masks, bit patterns).
// Spelled out per N: GCC does not apply vector_size to a dependent alias.
typedef double D2 __attribute__((vector_size(16)));
typedef double D4 __attribute__((vector_size(32)));
typedef double D8 __attribute__((vector_size(64)));
typedef std::int64_t I2 __attribute__((vector_size(16)));
typedef std::int64_t I4 __attribute__((vector_size(32)));
typedef std::int64_t I8 __attribute__((vector_size(64)));

template <int N>
struct Lanes;
template <>
struct Lanes<2> {
    using D = D2;
    using I = I2;
};
template <>
struct Lanes<4> {
    using D = D4;
    using I = I4;
};
template <>
struct Lanes<8> {
    using D = D8;
    using I = I8;
};

template <class D>
using IntOf = typename Lanes<sizeof(D) / 8>::I;
template <class I>
using DoubleOf = typename Lanes<sizeof(I) / 8>::D;

#define GM_INLINE [[gnu::always_inline]] inline

namespace k {
constexpr double kInf = std::numeric_limits<double>::infinity();
// 1.5 * 2^52 (0x4338000000000000): adding it to |x| < 2^51 rounds x to an
// integer (to nearest, ties to even) held in the low bits of the sum.
constexpr double kShifter = 0x1.8p52;
constexpr std::int64_t kShifterBits = 0x4338000000000000;
// log2(e) rounded; ln 2 split into a head of 33 significant bits (so that
// n * kLn2Hi is exact for |n| < 2^20) and the rounded rest.
constexpr double kLog2e = 0x1.71547652b82fep0;
constexpr double kLn2Hi = 0x1.62e42fefp-1;
constexpr double kLn2Lo = 0x1.473de6af278edp-34;
// sqrt(2) rounded (0x3FF6A09E667F3BCD); 1 / sqrt(2 pi) rounded (0x3FD9884533D43651).
constexpr double kSqrt2 = 0x1.6a09e667f3bcdp0;
constexpr double kInvSqrt2Pi = 0x1.9884533d43651p-2;
// Taylor coefficients 1/k! of exp, k = 2 .. 13, rounded.  On |r| <= ln2/2
// the first term left out, r^14/14!, is below 4.2e-18.
constexpr double kExp[12] = {
    0x1p-1,                 0x1.5555555555555p-3,  0x1.5555555555555p-5,
    0x1.1111111111111p-7,   0x1.6c16c16c16c17p-10, 0x1.a01a01a01a01ap-13,
    0x1.a01a01a01a01ap-16,  0x1.71de3a556c734p-19, 0x1.27e4fb7789f5cp-22,
    0x1.ae64567f544e4p-26,  0x1.1eed8eff8d898p-29, 0x1.6124613a86d09p-33,
};
// log(m) = 2 atanh(s), s = (m - 1)/(m + 1): coefficients 2/(2k+1) of
// R(z) = sum_{k>=1} 2 z^k / (2k+1), z = s^2 <= 0.0295, k = 1 .. 10.  The
// first term left out contributes below 1e-18 relative.
constexpr double kLog[10] = {
    0x1.5555555555555p-1, 0x1.999999999999ap-2, 0x1.2492492492492p-2, 0x1.c71c71c71c71cp-3,
    0x1.745d1745d1746p-3, 0x1.3b13b13b13b14p-3, 0x1.1111111111111p-3, 0x1.e1e1e1e1e1e1ep-4,
    0x1.af286bca1af28p-4, 0x1.8618618618618p-4,
};
}  // namespace k

template <class D>
GM_INLINE D splat(double x) {
    return D{} + x;
}

template <class D>
GM_INLINE IntOf<D> as_int(D x) {
    return (IntOf<D>)x;
}

template <class I>
GM_INLINE DoubleOf<I> as_double(I x) {
    return (DoubleOf<I>)x;
}

template <class D>
GM_INLINE D select(IntOf<D> mask, D a, D b) {
    return mask ? a : b;
}

template <class D>
GM_INLINE D sqrt(D x) {
    constexpr int n = sizeof(D) / 8;
#if !defined(__x86_64__)
    // Lane by lane: the square root is correctly rounded on every IEEE-754
    // target, so this gives the bits of the x86 instructions below.
    D root;
    for (int j = 0; j < n; ++j) {
        root[j] = __builtin_sqrt(x[j]);
    }
    return root;
#else
    if constexpr (n == 2) {
        return (D)_mm_sqrt_pd((__m128d)x);
    } else if constexpr (n == 4) {
        return (D)_mm256_sqrt_pd((__m256d)x);
    } else {
        static_assert(n == 8);
        return (D)_mm512_sqrt_pd((__m512d)x);
    }
#endif
}

// row[index[lane]] for each lane, index in [0, 16), row 64-byte aligned.
// Exact loads whatever the instruction: AVX-512 picks from two registers by
// a permute (hardware gathers are several times slower here); SSE2 and AVX2
// load lane by lane (as fast here as AVX2's gathers or four permutes and
// three blends).
template <class D>
struct Picker;

template <>
struct Picker<D2> {
    I2 index;
    explicit Picker(I2 i) : index(i) {}
    GM_INLINE D2 operator()(const double* row) const { return D2{row[index[0]], row[index[1]]}; }
};

#if defined(__AVX2__)
template <>
struct Picker<D4> {
    std::int64_t i0, i1, i2, i3;
    explicit Picker(I4 i) : i0(i[0]), i1(i[1]), i2(i[2]), i3(i[3]) {}
    GM_INLINE D4 operator()(const double* row) const {
        return D4{row[i0], row[i1], row[i2], row[i3]};
    }
};
#endif

#if defined(__AVX512F__)
template <>
struct Picker<D8> {
    __m512i index;
    explicit Picker(I8 i) : index((__m512i)i) {}
    GM_INLINE D8 operator()(const double* row) const {
        return (D8)_mm512_permutex2var_pd(_mm512_load_pd(row), index, _mm512_load_pd(row + 8));
    }
};
#endif

// Whether any lane of a mask is set.  Only ever used to skip work whose
// result no lane keeps, so it never changes a value.
template <class I>
GM_INLINE bool any_lane(I mask) {
    bool any = false;
    for (int j = 0; j < static_cast<int>(sizeof(I) / 8); ++j) {
        any = any || mask[j] != 0;
    }
    return any;
}

// c[0] + c[1] x + ... + c[n-1] x^n-1 as E(x^2) + x O(x^2), each half by
// Horner's rule: two independent chains of half the length, which keeps the
// long kernels from waiting on one multiply-add chain.  coef(j) gives c[j].
template <int kCount, class D, class Coef>
GM_INLINE D even_odd(D x, Coef coef) {
    const D x2 = x * x;
    constexpr int kLastEven = (kCount - 1) / 2 * 2;
    constexpr int kLastOdd = (kCount - 2) / 2 * 2 + 1;
    D even = coef(kLastEven);
    D odd = coef(kLastOdd);
    for (int j = kLastEven - 2; j >= 0; j -= 2) {
        even = even * x2 + coef(j);
    }
    for (int j = kLastOdd - 2; j >= 1; j -= 2) {
        odd = odd * x2 + coef(j);
    }
    return even + x * odd;
}

// The same polynomial with its last kHorner steps by Horner's rule: the
// low-order terms, which decide the rounding, keep Horner's accuracy; the
// high-order rest goes through even_odd.
template <int kCount, int kHorner, class D, class Coef>
GM_INLINE D horner_tail(D x, Coef coef) {
    D p = even_odd<kCount - kHorner>(x, [&](int j) { return coef(j + kHorner); });
    for (int j = kHorner - 1; j >= 0; --j) {
        p = p * x + coef(j);
    }
    return p;
}

// 2^n for integral n in [-1022, 1023] given as a double.
template <class D>
GM_INLINE D pow2(D n) {
    return as_double((as_int(n + k::kShifter) - (k::kShifterBits - 1023)) << 52);
}

// exp(hi + lo), |lo| <= 2^-10 or so: the low part lets callers pass an
// exponent carried in two doubles (the tail of Phi needs x^2/2 exactly).
// Cody-Waite reduction hi + lo = n ln2 + r, |r| <= ln2/2, the Taylor
// polynomial of degree 13 for exp(r) (1 + r + r^2 (even + r odd)), and the scaling by 2^n done in two
// exact halves so that a subnormal result is rounded once.
template <class D>
GM_INLINE D exp_hl(D hi, D lo) {
    // Beyond these every result is 0 or +inf; clamping keeps n in range.  A
    // NaN compares false and becomes the clamp, so callers restore NaNs.
    hi = select(hi > -746.0, hi, splat<D>(-746.0));
    hi = select(hi < 710.0, hi, splat<D>(710.0));
    const D n = (hi * k::kLog2e + k::kShifter) - k::kShifter;
    const D r_head = hi - n * k::kLn2Hi;  // exact
    const D r_tail = lo - n * k::kLn2Lo;
    const D r = r_head + r_tail;
    const D p = even_odd<12>(r, [](int j) { return splat<D>(k::kExp[j]); });
    const D e = 1.0 + (r_head + (r_tail + (r * r) * p));
    const D n1 = (n * 0.5 + k::kShifter) - k::kShifter;
    const D n2 = n - n1;
    return (e * pow2(n1)) * pow2(n2);
}

template <class D>
GM_INLINE D exp(D x) {
    const D y = exp_hl(x, D{});
    return select(x == x, y, x);
}

// log(x) = e ln2 + log(m), x = 2^e m, m in [sqrt(1/2), sqrt 2];
// log(m) = 2 atanh(s) = f - (f^2/2 - s (f^2/2 + R(s^2))), f = m - 1,
// s = f / (2 + f), which keeps f exact and the rounded part small.
template <class D>
GM_INLINE D log(D x) {
    using I = IntOf<D>;
    const I tiny = x < 0x1p-1022;
    const D xs = select(tiny, x * 0x1p54, x);
    const I b = as_int(xs);
    const D mant = as_double((b & 0x000FFFFFFFFFFFFF) | 0x3FF0000000000000);
    const I big = mant > k::kSqrt2;
    const D m = select(big, mant * 0.5, mant);
    // The biased exponent, as a double through the shifter.
    // big and tiny are masks (-1 or 0): m was halved, x was scaled by 2^54.
    const I e = (((b >> 52) & 0x7FF) - 1023) - big - (tiny & 54);
    const D ed = as_double(e + k::kShifterBits) - k::kShifter;
    const D f = m - 1.0;
    const D s = f / (2.0 + f);
    const D z = s * s;
    const D R = even_odd<10>(z, [](int j) { return splat<D>(k::kLog[j]); }) * z;
    const D hfsq = (0.5 * f) * f;
    const D log_m = f - (hfsq - s * (hfsq + R));
    D y = ed * k::kLn2Hi + (log_m + ed * k::kLn2Lo);
    y = select(x == k::kInf, x, y);
    y = select(x == 0.0, splat<D>(-k::kInf), y);
    return select(x >= 0.0, y, splat<D>(std::numeric_limits<double>::quiet_NaN()));
}

// a * b = p + e exactly (Dekker's product, with Veltkamp's splitting into
// 26-bit halves: no FMA is needed, or wanted).  |a|, |b| < 2^995.
template <class D>
GM_INLINE D split_high(D a) {
    const D t = a * 134217729.0;  // 2^27 + 1
    return t - (t - a);
}

template <class D>
struct Pair {
    D hi;
    D lo;
};

template <class D>
GM_INLINE Pair<D> two_product(D a, D b) {
    const D p = a * b;
    const D ah = split_high(a);
    const D al = a - ah;
    const D bh = split_high(b);
    const D bl = b - bh;
    return {p, (((ah * bh - p) + ah * bl) + al * bh) + al * bl};
}

// log(x) as hi + lo to about 2^-60 relative, x > 0 finite: the reduction of
// log() with s = f / (2 + f) carried in two parts, so that
// log(m) = 2 s_h + (2 s_l + s_h R(s_h^2) + ...) loses nothing in its
// rounded part.
template <class D>
GM_INLINE Pair<D> log_hl(D x) {
    using I = IntOf<D>;
    const I tiny = x < 0x1p-1022;
    const D xs = select(tiny, x * 0x1p54, x);
    const I b = as_int(xs);
    const D mant = as_double((b & 0x000FFFFFFFFFFFFF) | 0x3FF0000000000000);
    const I big = mant > k::kSqrt2;
    const D m = select(big, mant * 0.5, mant);
    const I e = (((b >> 52) & 0x7FF) - 1023) - big - (tiny & 54);
    const D ed = as_double(e + k::kShifterBits) - k::kShifter;
    const D f = m - 1.0;
    const D den = 2.0 + f;
    const D den_lo = (2.0 - den) + f;  // exact: 2 + f = den + den_lo
    const D s_h = f / den;
    const Pair<D> sd = two_product(s_h, den);
    const D s_l = (((f - sd.hi) - sd.lo) - s_h * den_lo) / den;
    const D z = s_h * s_h;
    const D R = horner_tail<10, 3>(z, [](int j) { return splat<D>(k::kLog[j]); }) * z;
    // s R(s^2) = 2 atanh(s) - 2 s at s_h + s_l: its slope 2 s^2 / (1 - s^2)
    // times s_l.
    const D slope_term = s_l * ((z + z) * (1.0 + z));
    const D head_a = ed * k::kLn2Hi;  // exact
    const D head_b = s_h + s_h;
    const D sum = head_a + head_b;  // two-sum of the heads
    const D bv = sum - head_a;
    const D sum_err = (head_a - (sum - bv)) + (head_b - bv);
    const D lo = sum_err + (ed * k::kLn2Lo + ((s_l + s_l) + (s_h * R + slope_term)));
    const D hi = sum + lo;
    return {hi, lo - (hi - sum)};
}

// x^y = exp(y log x) with y log x carried in two parts, so that the error
// does not grow with |y log x| (a plain exp(y * log(x)) loses |y log x|
// ulps).  x > 0 finite; other x, and products beyond the range of exp, go
// through the plain form, which gives the IEEE limits.  x^0 = 1^y = 1.
template <class D>
GM_INLINE D pow(D x, D y) {
    const Pair<D> l = log_hl(x);
    const Pair<D> p = two_product(y, l.hi);
    const D lo = p.lo + y * l.lo;
    const D fine = exp_hl(p.hi, lo);
    const D plain = exp(y * log(x));
    const auto regular = (x > 0.0) & (x < k::kInf) & (p.hi > -800.0) & (p.hi < 800.0);
    D r = select(regular, fine, plain);
    r = select((y == 0.0) | (x == 1.0), splat<D>(1.0), r);
    return r;
}

// The Gaussian factor exp(-y^2/2), y >= 0 finite, with y^2 carried exactly:
// y = yh + yl with yh of 26 significant bits, y^2 = yh^2 + yl (y + yh), and
// yh^2 / 2 exact.  (Rounding y^2 would cost up to 2^-53 y^2 / 2 relative,
// hundreds of ulps at y = 38.)
template <class D>
GM_INLINE D gaussian(D y) {
    const D yh = as_double(as_int(y) & ~std::int64_t{0x7FFFFFF});
    const D yl = y - yh;
    const D hi = (-0.5 * yh) * yh;
    const D lo = (-0.5 * yl) * (y + yh);
    return exp_hl(hi, lo);
}

// H(y) = Phi(-y) exp(y^2/2) for y >= 0 (finite): the pieces of
// normal_tables.hpp.  Piece i < last: polynomial in u = y - i for
// |u| <= 1/2; last piece: M(1/y^2) / y.
template <class D>
GM_INLINE D tail_factor(D y) {
    using I = IntOf<D>;
    const I asymptotic = y >= detail::kTailAsymptotic;
    const D centre = (y + k::kShifter) - k::kShifter;
    const D piece = select(asymptotic, splat<D>(detail::kTailPieces - 1.0), centre);
    const I index = as_int(piece + k::kShifter) - k::kShifterBits;
    static_assert(detail::kTailPieces == 16);
    const Picker<D> pick(index);
    const D u = select(asymptotic, 1.0 / (y * y), y - centre);
    const D p = horner_tail<detail::kTailDegree + 1, 4>(
        u, [&](int j) { return pick(detail::kNormalTail[j]); });
    return p / select(asymptotic, y, splat<D>(1.0));
}

// Phi(x) = exp(-x^2/2) H(|x|) for x <= 0, 1 - Phi(-x) above.  |x| is capped
// at 40, where exp(-800) is already 0 (and a NaN takes the cap, then is
// restored).
template <class D>
GM_INLINE D normal_cdf(D x) {
    D y = select(x < 0.0, -x, x);
    y = select(y < 40.0, y, splat<D>(40.0));
    const D lower = gaussian(y) * tail_factor(y);
    const D phi = select(x > 0.0, 1.0 - lower, lower);
    return select(x == x, phi, x);
}

// Phi(-x), Phi(x) and phi(x) together, sharing the Gaussian factor.
template <class D>
struct NormalAt {
    D cdf;       // Phi(x)
    D cdf_neg;   // Phi(-x)
    D pdf;       // phi(x)
};

template <class D>
GM_INLINE NormalAt<D> normal_at(D x) {
    D y = select(x < 0.0, -x, x);
    y = select(y < 40.0, y, splat<D>(40.0));
    const D g = gaussian(y);
    const D lower = g * tail_factor(y);
    const D upper = 1.0 - lower;
    const auto pos = x > 0.0;
    const auto nan = x != x;
    return {select(nan, x, select(pos, upper, lower)), select(nan, x, select(pos, lower, upper)),
            select(nan, x, g * k::kInvSqrt2Pi)};
}

template <class D>
GM_INLINE D normal_pdf(D x) {
    D y = select(x < 0.0, -x, x);
    y = select(y < 40.0, y, splat<D>(40.0));
    return select(x == x, gaussian(y) * k::kInvSqrt2Pi, x);
}

// erfc(a) = 2 Phi(-a sqrt 2) = 2 exp(-a^2) H(a sqrt 2) for a >= 0.  The
// Gaussian factor takes a^2 carried exactly from a itself (going through
// a sqrt 2 would round the exponent); H varies slowly (|y H'(y) / H(y)| < 1),
// so rounding its argument costs well under an ulp.  2 - erfc(-a) below 0.
template <class D>
GM_INLINE D erfc(D x) {
    D a = select(x < 0.0, -x, x);
    a = select(a < 28.0, a, splat<D>(28.0));
    const D ah = as_double(as_int(a) & ~std::int64_t{0x7FFFFFF});
    const D al = a - ah;
    const D g = exp_hl(-(ah * ah), -(al * (a + ah)));
    const D upper = (g * tail_factor(a * k::kSqrt2)) * 2.0;
    const D r = select(x < 0.0, 2.0 - upper, upper);
    return select(x == x, r, x);
}

}  // namespace greekmill::fast::GREEKMILL_FAST_ISA
