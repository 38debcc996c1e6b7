// SPDX-License-Identifier: MIT
// The SSE2 variant of the peak (see pcm/Peak.cpp).
#include "common/Simd.h"
#include "pcm/Kernels.h"

#if defined(TARVIO_HAVE_SSE2)

namespace tarvio::pcm {

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
    return reportedPeak(rest, _mm_movemask_pd(nan) != 0);
}

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_SSE2
