// SPDX-License-Identifier: MIT
// The AVX-512 block kernel of the Ambisonic encoder: eight frames per
// vector, each lane doing ambisonicSpread_portable's operations in its
// order. The four channels of order 1 are put into rows in registers; more
// are scattered channel by channel.
#include "engine/laws/AmbisonicKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX512)
#include <cstddef>
#include <cstdint>

#include "engine/SpeakerLayout.h"

namespace tarvio {
namespace laws {

TARVIO_AVX512_BEGIN

namespace {

// The direction of eight frames: (cos, sin) and r, as directionOf gives
// them.
struct Directions {
    __m512d cos, sin, r;
};

TARVIO_TARGET_AVX512 TARVIO_INLINE Directions directions(const double* x, const double* y) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d two = _mm512_set1_pd(2.0);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d u = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(x)), one);
    const __m512d v = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(y)), one);
    const __m512d length = _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(u, u), _mm512_mul_pd(v, v)));
    const __mmask8 away = _mm512_cmp_pd_mask(length, zero, _CMP_GT_OQ);
    Directions d;
    d.cos = _mm512_mask_div_pd(one, away, v, length);
    // -u / length, the sign of u flipped before the division.
    const __m512d minusU = _mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(u), _mm512_set1_epi64(INT64_MIN)));
    d.sin = _mm512_mask_div_pd(zero, away, minusU, length);
    // std::max(|u|, |v|) is (|u| < |v|) ? |v| : |u|, which is what the
    // instruction gives with |v| first, not-a-number included.
    d.r = _mm512_max_pd(_mm512_abs_pd(v), _mm512_abs_pd(u));
    return d;
}

// Four channels of eight frames, one vector per channel, stored as the
// eight rows of four they make: the pairs of channels 0, 1 and 2, 3
// interleaved, then the halves of two rows put together.
TARVIO_TARGET_AVX512 TARVIO_INLINE void storeRowsOfFour(const __m512d (&channel)[4], double* o) {
    const __m512i firstFour = _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11);
    const __m512i lastFour = _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15);
    const __m512i evenRows = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i oddRows = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    for (int half = 0; half < 2; ++half) {
        const __m512i frames = half == 0 ? firstFour : lastFour;
        const __m512d front = _mm512_permutex2var_pd(channel[0], frames, channel[1]);
        const __m512d back = _mm512_permutex2var_pd(channel[2], frames, channel[3]);
        _mm512_storeu_pd(o + 16 * half, _mm512_permutex2var_pd(front, evenRows, back));
        _mm512_storeu_pd(o + 16 * half + 8, _mm512_permutex2var_pd(front, oddRows, back));
    }
}

// Order 1, the four channels W, Y, Z, X, with their weights, turns and
// scales in registers: the turns are 1, cos, 0 and sin (turn indices 0, 1,
// 2 and 3), and each channel takes the generic loop's operations.
TARVIO_TARGET_AVX512 int spreadFirstOrder(const AmbisonicChannels& channels, const double* x,
                                          const double* y, const double* mono, int frames,
                                          double* out) {
    __m512d weight[4];
    int turn[4];
    bool scaled[4];
    for (int k = 0; k < 4; ++k) {
        weight[k] = _mm512_set1_pd(channels.weight[k]);
        turn[k] = channels.turn[k];
        scaled[k] = channels.scaled[k] != 0;
    }
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d zero = _mm512_setzero_pd();
    int j = 0;
    for (; j + 8 <= frames; j += 8) {
        const Directions d = directions(x + j, y + j);
        // The turn recurrence's one step, as the generic loop takes it.
        const __m512d turns[4] = {
            one, _mm512_sub_pd(_mm512_mul_pd(one, d.cos), _mm512_mul_pd(zero, d.sin)), zero,
            _mm512_add_pd(_mm512_mul_pd(zero, d.cos), _mm512_mul_pd(one, d.sin))};
        const __m512d m = _mm512_loadu_pd(mono + j);
        __m512d four[4];
        for (int k = 0; k < 4; ++k) {
            __m512d g = _mm512_mul_pd(weight[k], turns[turn[k]]);
            if (scaled[k])
                g = _mm512_mul_pd(g, d.r);
            four[k] = _mm512_mul_pd(g, m);
        }
        storeRowsOfFour(four, out + static_cast<std::size_t>(j) * 4);
    }
    return j;
}

}  // namespace

TARVIO_TARGET_AVX512 void ambisonicSpread_avx512(const AmbisonicChannels& channels,
                                                 const double* x, const double* y,
                                                 const double* mono, int frames, double* out) {
    const int n = channels.count;
    const int sines = channels.order + 1;
    // Frame l of a group starts l * n samples on.
    const __m512i rows = _mm512_setr_epi64(0, n, 2 * n, 3 * n, 4 * n, 5 * n, 6 * n, 7 * n);
    __m512d turns[2 * (kMaxAmbisonicOrder + 1)];
    int j = channels.order == 1 ? spreadFirstOrder(channels, x, y, mono, frames, out) : 0;
    for (; j + 8 <= frames; j += 8) {
        const Directions d = directions(x + j, y + j);
        turns[0] = _mm512_set1_pd(1.0);
        turns[sines] = _mm512_setzero_pd();
        for (int m = 1; m <= channels.order; ++m) {
            turns[m] = _mm512_sub_pd(_mm512_mul_pd(turns[m - 1], d.cos),
                                     _mm512_mul_pd(turns[sines + m - 1], d.sin));
            turns[sines + m] = _mm512_add_pd(_mm512_mul_pd(turns[sines + m - 1], d.cos),
                                             _mm512_mul_pd(turns[m - 1], d.sin));
        }
        const __m512d m = _mm512_loadu_pd(mono + j);
        double* o = out + static_cast<std::size_t>(j) * static_cast<std::size_t>(n);
        __m512d four[4];
        for (int k = 0; k < n; ++k) {
            __m512d g = _mm512_mul_pd(_mm512_set1_pd(channels.weight[k]), turns[channels.turn[k]]);
            if (channels.scaled[k])
                g = _mm512_mul_pd(g, d.r);
            if (n == 4)
                four[k] = _mm512_mul_pd(g, m);
            else
                _mm512_i64scatter_pd(o + k, rows, _mm512_mul_pd(g, m), 8);
        }
        if (n == 4)
            storeRowsOfFour(four, o);
    }
    ambisonicSpread_portable(channels, x + j, y + j, mono + j, frames - j,
                             out + static_cast<std::size_t>(j) * static_cast<std::size_t>(n));
}

TARVIO_AVX512_END

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
