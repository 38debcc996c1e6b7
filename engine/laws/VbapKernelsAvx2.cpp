// SPDX-License-Identifier: MIT
// The AVX2 block kernel of vbap on narrow layouts: the gains of four frames
// per vector, each lane doing narrowSpread_portable's operations in its
// order, then each frame written with vector stores. The arc search runs
// over every arc from the last to the first, each arc whose two gains are at
// least 0 overwriting the lane: the first such arc in arc order is left, as
// the portable loop finds it. Like the AVX-512 kernel (see there why that
// gives the same arc) it first tries the arc of the frames before, and puts
// frames of at most eight channels together in registers.
#include "engine/laws/VbapKernels.h"

#if defined(TARVIO_HAVE_AVX2)
#include <immintrin.h>

#include <cstddef>

#define TARVIO_TARGET_AVX2 __attribute__((target("avx2")))

namespace tarvio {
namespace laws {

namespace {

// The gains of four frames, times their samples; arc -1 for a frame left to
// the per-frame law.
struct Gains4 {
    alignas(32) double first[4];
    alignas(32) double second[4];
    alignas(32) double apart[4];
    alignas(32) double zero[4];  // 0 times the sample, for the channels without a position
    alignas(16) int arc[4];
};

// The gains of arc k for the directions (v, s), and the lanes where both are
// at least 0.
struct ArcGains {
    __m256d a, b, hit;
};

TARVIO_TARGET_AVX2 inline ArcGains arcGains(const NarrowLayout& layout, int k, __m256d v,
                                            __m256d s) {
    const double* row = layout.rows + 4 * k;
    const __m256d zero = _mm256_setzero_pd();
    ArcGains g;
    g.a = _mm256_add_pd(_mm256_mul_pd(_mm256_broadcast_sd(row), v),
                        _mm256_mul_pd(_mm256_broadcast_sd(row + 1), s));
    g.b = _mm256_add_pd(_mm256_mul_pd(_mm256_broadcast_sd(row + 2), v),
                        _mm256_mul_pd(_mm256_broadcast_sd(row + 3), s));
    g.hit = _mm256_and_pd(_mm256_cmp_pd(g.a, zero, _CMP_GE_OQ), _mm256_cmp_pd(g.b, zero, _CMP_GE_OQ));
    return g;
}

// The four frames' gains; `hint` is an arc to try first, or -1.
TARVIO_TARGET_AVX2 inline void gains4(const NarrowLayout& layout, const double* x,
                                      const double* y, const double* mono, int hint, Gains4& g) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d signBit = _mm256_set1_pd(-0.0);
    const __m256d u = _mm256_sub_pd(_mm256_mul_pd(two, _mm256_loadu_pd(x)), one);
    const __m256d v = _mm256_sub_pd(_mm256_mul_pd(two, _mm256_loadu_pd(y)), one);
    const __m256d s = _mm256_xor_pd(u, signBit);
    __m256d arc = _mm256_set1_pd(-1.0);
    __m256d ga = zero;
    __m256d gb = zero;
    bool found = false;
    if (hint >= 0) {
        const ArcGains h = arcGains(layout, hint, v, s);
        if (_mm256_movemask_pd(h.hit) == 0xF) {
            int before = hint > 0 ? _mm256_movemask_pd(arcGains(layout, hint - 1, v, s).hit) : 0;
            if (hint == layout.arcs - 1)
                before |= _mm256_movemask_pd(arcGains(layout, 0, v, s).hit);
            if (before == 0) {
                found = true;
                arc = _mm256_set1_pd(static_cast<double>(hint));
                ga = h.a;
                gb = h.b;
            }
        }
    }
    for (int k = found ? -1 : layout.arcs - 1; k >= 0; --k) {
        const ArcGains g = arcGains(layout, k, v, s);
        ga = _mm256_blendv_pd(ga, g.a, g.hit);
        gb = _mm256_blendv_pd(gb, g.b, g.hit);
        arc = _mm256_blendv_pd(arc, _mm256_set1_pd(static_cast<double>(k)), g.hit);
    }
    // std::max(|u|, |v|) is (|u| < |v|) ? |v| : |u|, which is what the
    // instruction gives with |v| first, not-a-number included.
    const __m256d r = _mm256_max_pd(_mm256_andnot_pd(signBit, v), _mm256_andnot_pd(signBit, u));
    arc = _mm256_blendv_pd(_mm256_set1_pd(-1.0), arc, _mm256_cmp_pd(r, one, _CMP_LE_OQ));
    const __m256d ga2 = _mm256_mul_pd(ga, ga);
    const __m256d gb2 = _mm256_mul_pd(gb, gb);
    const __m256d pair = _mm256_add_pd(ga2, gb2);
    const __m256d m = _mm256_loadu_pd(mono);
    _mm_store_si128(reinterpret_cast<__m128i*>(g.arc), _mm256_cvttpd_epi32(arc));
    _mm256_store_pd(g.zero, _mm256_mul_pd(zero, m));
    // The lanes on the edge, and the others; a group seldom holds both.
    const __m256d edge = _mm256_cmp_pd(r, one, _CMP_EQ_OQ);
    const int edgeLanes = _mm256_movemask_pd(edge);
    __m256d first = zero, second = zero, apart = zero;
    if (edgeLanes) {
        const __m256d q = _mm256_div_pd(one, _mm256_sqrt_pd(pair));
        first = _mm256_mul_pd(_mm256_mul_pd(_mm256_andnot_pd(signBit, ga), q), m);
        second = _mm256_mul_pd(_mm256_mul_pd(_mm256_andnot_pd(signBit, gb), q), m);
        apart = _mm256_mul_pd(zero, m);
    }
    if (edgeLanes != 0xF) {
        const __m256d r2 = _mm256_mul_pd(r, r);
        const __m256d spread = _mm256_mul_pd(_mm256_sub_pd(one, r2), _mm256_set1_pd(layout.share));
        const __m256d t = _mm256_and_pd(_mm256_cmp_pd(pair, _mm256_set1_pd(kTinyPair), _CMP_GE_OQ),
                                        _mm256_div_pd(r2, pair));
        first = _mm256_blendv_pd(
            _mm256_mul_pd(_mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(t, ga2), spread)), m), first,
            edge);
        second = _mm256_blendv_pd(
            _mm256_mul_pd(_mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(t, gb2), spread)), m), second,
            edge);
        apart = _mm256_blendv_pd(_mm256_mul_pd(_mm256_sqrt_pd(spread), m), apart, edge);
    }
    _mm256_store_pd(g.first, first);
    _mm256_store_pd(g.second, second);
    _mm256_store_pd(g.apart, apart);
}

}  // namespace

TARVIO_TARGET_AVX2 int narrowSpread_avx2(const NarrowLayout& layout, const double* x,
                                         const double* y, const double* mono, int frames,
                                         double* out, int* left) {
    const int n = layout.channels;
    const int* pairs = layout.pairs;
    const int* unplaced = layout.unplaced;
    const int unplacedCount = layout.unplacedCount;
    // The channels 0-3 and 4-7 of a frame, and those without a position.
    const __m256d lowChannels = _mm256_setr_pd(0, 1, 2, 3);
    const __m256d highChannels = _mm256_setr_pd(4, 5, 6, 7);
    __m256d unplacedLow = _mm256_setzero_pd(), unplacedHigh = _mm256_setzero_pd();
    for (int k = 0; k < unplacedCount; ++k) {
        const __m256d at = _mm256_set1_pd(static_cast<double>(unplaced[k]));
        unplacedLow = _mm256_or_pd(unplacedLow, _mm256_cmp_pd(lowChannels, at, _CMP_EQ_OQ));
        unplacedHigh = _mm256_or_pd(unplacedHigh, _mm256_cmp_pd(highChannels, at, _CMP_EQ_OQ));
    }
    int leftCount = 0;
    int hint = -1;
    int j = 0;
    Gains4 g;
    for (; j + 4 <= frames; j += 4) {
        gains4(layout, x + j, y + j, mono + j, layout.spaced ? hint : -1, g);
        hint = g.arc[3];
        // Mostly all four frames lie in one arc: frames of four or eight
        // channels are put together in registers with the masks of its
        // channels.
        if ((n == 4 || n == 8) && g.arc[0] >= 0 && g.arc[1] == g.arc[0] &&
            g.arc[2] == g.arc[0] && g.arc[3] == g.arc[0]) {
            const __m256d a = _mm256_set1_pd(static_cast<double>(pairs[2 * g.arc[0]]));
            const __m256d b = _mm256_set1_pd(static_cast<double>(pairs[2 * g.arc[0] + 1]));
            const __m256d aLow = _mm256_cmp_pd(lowChannels, a, _CMP_EQ_OQ);
            const __m256d bLow = _mm256_cmp_pd(lowChannels, b, _CMP_EQ_OQ);
            const __m256d aHigh = _mm256_cmp_pd(highChannels, a, _CMP_EQ_OQ);
            const __m256d bHigh = _mm256_cmp_pd(highChannels, b, _CMP_EQ_OQ);
            double* o = out + static_cast<std::size_t>(j) * n;
            for (int i = 0; i < 4; ++i, o += n) {
                const __m256d apart = _mm256_broadcast_sd(g.apart + i);
                const __m256d zero = _mm256_broadcast_sd(g.zero + i);
                const __m256d first = _mm256_broadcast_sd(g.first + i);
                const __m256d second = _mm256_broadcast_sd(g.second + i);
                __m256d low = _mm256_blendv_pd(apart, zero, unplacedLow);
                low = _mm256_blendv_pd(_mm256_blendv_pd(low, first, aLow), second, bLow);
                _mm256_storeu_pd(o, low);
                if (n == 8) {
                    __m256d high = _mm256_blendv_pd(apart, zero, unplacedHigh);
                    high = _mm256_blendv_pd(_mm256_blendv_pd(high, first, aHigh), second, bHigh);
                    _mm256_storeu_pd(o + 4, high);
                }
            }
            continue;
        }
        for (int i = 0; i < 4; ++i) {
            const int arc = g.arc[i];
            if (arc < 0) {
                left[leftCount++] = j + i;
                continue;
            }
            double* o = out + static_cast<std::size_t>(j + i) * n;
            const __m256d apart = _mm256_broadcast_sd(g.apart + i);
            int ch = 0;
            for (; ch + 4 <= n; ch += 4)
                _mm256_storeu_pd(o + ch, apart);
            for (; ch < n; ++ch)
                o[ch] = g.apart[i];
            for (int k = 0; k < unplacedCount; ++k)
                o[unplaced[k]] = g.zero[i];
            o[pairs[2 * arc]] = g.first[i];
            o[pairs[2 * arc + 1]] = g.second[i];
        }
    }
    if (j < frames) {
        const int more = narrowSpread_portable(layout, x + j, y + j, mono + j, frames - j,
                                               out + static_cast<std::size_t>(j) * n,
                                               left + leftCount);
        for (int k = 0; k < more; ++k)
            left[leftCount++] += j;
    }
    return leftCount;
}

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX2
