// SPDX-License-Identifier: MIT
// The AVX-512 variant of the peak (see pcm/Peak.cpp).
#include "common/Simd.h"
#include "pcm/Kernels.h"

#if defined(TARVIO_HAVE_AVX512)

namespace tarvio::pcm {

TARVIO_AVX512_BEGIN

// Four maxima of eight lanes over 32 samples at a time; the rest goes to
// peak_sse2.
TARVIO_TARGET_AVX512 double peak_avx512(const double* x, std::size_t n, double peak) {
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
    return reportedPeak(peak_sse2(x + i, n - i, _mm512_reduce_max_pd(all)), nan != 0);
}

TARVIO_AVX512_END

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_AVX512
