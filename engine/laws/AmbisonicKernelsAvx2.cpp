// SPDX-License-Identifier: MIT
// The AVX2 block kernel of the Ambisonic encoder: four frames per vector,
// each lane doing ambisonicSpread_portable's operations in its order; each
// channel's four samples are stored to their frames one by one.
#include "engine/laws/AmbisonicKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX2)
#include <cstddef>

#include "engine/SpeakerLayout.h"

namespace tarvio {
namespace laws {

namespace {

// The direction of four frames: (cos, sin) and r, as directionOf gives them.
struct Directions {
    __m256d cos, sin, r;
};

TARVIO_TARGET_AVX2 TARVIO_INLINE Directions directions(const double* x, const double* y) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d signBit = _mm256_set1_pd(-0.0);
    const __m256d u = _mm256_sub_pd(_mm256_mul_pd(two, _mm256_loadu_pd(x)), one);
    const __m256d v = _mm256_sub_pd(_mm256_mul_pd(two, _mm256_loadu_pd(y)), one);
    const __m256d length = _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(u, u), _mm256_mul_pd(v, v)));
    const __m256d away = _mm256_cmp_pd(length, zero, _CMP_GT_OQ);
    Directions d;
    d.cos = _mm256_blendv_pd(one, _mm256_div_pd(v, length), away);
    // -u / length, the sign of u flipped before the division.
    d.sin = _mm256_blendv_pd(zero, _mm256_div_pd(_mm256_xor_pd(u, signBit), length), away);
    // std::max(|u|, |v|) is (|u| < |v|) ? |v| : |u|, which is what the
    // instruction gives with |v| first, not-a-number included.
    d.r = _mm256_max_pd(_mm256_andnot_pd(signBit, v), _mm256_andnot_pd(signBit, u));
    return d;
}

}  // namespace

TARVIO_TARGET_AVX2 void ambisonicSpread_avx2(const AmbisonicChannels& channels, const double* x,
                                             const double* y, const double* mono, int frames,
                                             double* out) {
    const std::size_t n = static_cast<std::size_t>(channels.count);
    const int sines = channels.order + 1;
    __m256d turns[2 * (kMaxAmbisonicOrder + 1)];
    alignas(32) double lanes[4];
    int j = 0;
    for (; j + 4 <= frames; j += 4) {
        const Directions d = directions(x + j, y + j);
        turns[0] = _mm256_set1_pd(1.0);
        turns[sines] = _mm256_setzero_pd();
        for (int m = 1; m <= channels.order; ++m) {
            turns[m] = _mm256_sub_pd(_mm256_mul_pd(turns[m - 1], d.cos),
                                     _mm256_mul_pd(turns[sines + m - 1], d.sin));
            turns[sines + m] = _mm256_add_pd(_mm256_mul_pd(turns[sines + m - 1], d.cos),
                                             _mm256_mul_pd(turns[m - 1], d.sin));
        }
        const __m256d m = _mm256_loadu_pd(mono + j);
        double* o = out + static_cast<std::size_t>(j) * n;
        for (std::size_t k = 0; k < n; ++k) {
            __m256d g = _mm256_mul_pd(_mm256_set1_pd(channels.weight[k]), turns[channels.turn[k]]);
            if (channels.scaled[k])
                g = _mm256_mul_pd(g, d.r);
            _mm256_store_pd(lanes, _mm256_mul_pd(g, m));
            for (std::size_t l = 0; l < 4; ++l)
                o[l * n + k] = lanes[l];
        }
    }
    ambisonicSpread_portable(channels, x + j, y + j, mono + j, frames - j,
                             out + static_cast<std::size_t>(j) * n);
}

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX2
