// SPDX-License-Identifier: MIT
// The peak magnitude of a block of samples: running maxima side by side, so
// that no chain of comparisons waits on itself (one chain would take longer
// than the conversion that follows it). Every variant also notes whether a
// sample was NaN, which a maximum alone passes over, and then reports +inf.
#include <cmath>
#include <limits>

#include "pcm/Kernels.h"
#include "pcm/Pcm.h"

#if defined(TARVIO_HAVE_SSE2)
#include <emmintrin.h>
#endif
#if defined(TARVIO_HAVE_AVX512)
// GCC 12 takes the unset operand of its own AVX-512 max for an
// uninitialised value; silenced for the header and the AVX-512 function.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace tarvio::pcm {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The result of a peak that saw a NaN among its samples.
inline double reported(double peak, bool sawNaN) {
    return sawNaN ? kInf : peak;
}

double peak_portable(const double* x, std::size_t n, double peak) {
    double m[4] = {peak, peak, peak, peak};
    bool nan = peak != peak;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double a = std::fabs(x[i + k]);
            m[k] = a > m[k] ? a : m[k];
            nan |= a != a;
        }
    }
    for (; i < n; ++i) {
        const double a = std::fabs(x[i]);
        m[0] = a > m[0] ? a : m[0];
        nan |= a != a;
    }
    const double a = m[0] > m[1] ? m[0] : m[1];
    const double b = m[2] > m[3] ? m[2] : m[3];
    return reported(a > b ? a : b, nan);
}

#if defined(TARVIO_HAVE_SSE2)
// Eight maxima, two to a vector, over sixteen samples at a time; the rest
// goes to peak_portable. One unordered comparison per pair of vectors finds
// the NaNs.
double peak_sse2(const double* x, std::size_t n, double peak) {
    const __m128d sign = _mm_set1_pd(-0.0);
    __m128d m[4] = {_mm_set1_pd(peak), _mm_set1_pd(peak), _mm_set1_pd(peak), _mm_set1_pd(peak)};
    __m128d nan = _mm_setzero_pd();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        for (int k = 0; k < 4; ++k) {
            const __m128d a = _mm_andnot_pd(sign, _mm_loadu_pd(x + i + 2 * k));
            const __m128d b = _mm_andnot_pd(sign, _mm_loadu_pd(x + i + 8 + 2 * k));
            nan = _mm_or_pd(nan, _mm_cmpunord_pd(a, b));
            m[k] = _mm_max_pd(_mm_max_pd(a, b), m[k]);
        }
    }
    const __m128d both = _mm_max_pd(_mm_max_pd(m[0], m[1]), _mm_max_pd(m[2], m[3]));
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, both);
    const double rest = peak_portable(x + i, n - i, lanes[0] > lanes[1] ? lanes[0] : lanes[1]);
    return reported(rest, _mm_movemask_pd(nan) != 0);
}
#endif

#if defined(TARVIO_HAVE_AVX512)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
// Four maxima of eight lanes over 32 samples at a time; the rest goes to
// peak_sse2.
__attribute__((target("avx512f"))) double peak_avx512(const double* x, std::size_t n,
                                                      double peak) {
    __m512d m[4] = {_mm512_set1_pd(peak), _mm512_set1_pd(peak), _mm512_set1_pd(peak),
                    _mm512_set1_pd(peak)};
    __mmask8 nan = 0;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (int k = 0; k < 4; k += 2) {
            const __m512d a = _mm512_abs_pd(_mm512_loadu_pd(x + i + 8 * k));
            const __m512d b = _mm512_abs_pd(_mm512_loadu_pd(x + i + 8 * k + 8));
            nan = static_cast<__mmask8>(nan | _mm512_cmp_pd_mask(a, b, _CMP_UNORD_Q));
            m[k] = _mm512_max_pd(a, m[k]);
            m[k + 1] = _mm512_max_pd(b, m[k + 1]);
        }
    }
    const __m512d all = _mm512_max_pd(_mm512_max_pd(m[0], m[1]), _mm512_max_pd(m[2], m[3]));
    return reported(peak_sse2(x + i, n - i, _mm512_reduce_max_pd(all)), nan != 0);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

const cpu::Variant<Peak> kPeak[] = {
    {"portable", cpu::Isa::Portable, &peak_portable},
#if defined(TARVIO_HAVE_SSE2)
    {"sse2", cpu::Isa::Sse2, &peak_sse2},
#endif
#if defined(TARVIO_HAVE_AVX512)
    {"avx512", cpu::Isa::Avx512, &peak_avx512},
#endif
};

}  // namespace

Variants<Peak> peakVariants() {
    return cpu::rowsOf(kPeak);
}

double peak(const double* x, std::size_t n, double peak) {
    static const Peak fn = cpu::pick(kPeak).fn;
    return fn(x, n, peak);
}

}  // namespace tarvio::pcm
