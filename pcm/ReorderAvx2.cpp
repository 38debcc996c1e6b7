// SPDX-License-Identifier: MIT
// The AVX2 variant of the four-channel gather (see pcm/Reorder.cpp).
#include "common/Simd.h"
#include "pcm/Kernels.h"

#if defined(TARVIO_HAVE_AVX2)

namespace tarvio::pcm {

// A frame is one vector of four doubles; the order becomes an index of the
// eight 32-bit halves of those doubles, so one permute moves a frame
// whatever the order (the immediate of a double permute would fix it when
// compiling).
TARVIO_TARGET_AVX2 void reorder4_avx2(const double* in, std::size_t frames, const int order[4],
                                      double* out) {
    const __m256i halves =
        _mm256_setr_epi32(2 * order[0], 2 * order[0] + 1, 2 * order[1], 2 * order[1] + 1,
                          2 * order[2], 2 * order[2] + 1, 2 * order[3], 2 * order[3] + 1);
    for (std::size_t f = 0; f < frames; ++f) {
        const __m256 frame = _mm256_castpd_ps(_mm256_loadu_pd(in + 4 * f));
        _mm256_storeu_pd(out + 4 * f, _mm256_castps_pd(_mm256_permutevar8x32_ps(frame, halves)));
    }
}

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_AVX2
