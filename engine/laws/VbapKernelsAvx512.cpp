// SPDX-License-Identifier: MIT
// The AVX-512 block kernel of vbap on narrow layouts: the AVX2 kernel's
// steps on eight frames per vector, with masks for the arc search. Each lane
// does narrowSpread_portable's operations in its order.
//
// The direction moves slowly, so the eight frames of a group mostly lie in
// the arc of the group before. On a layout whose arcs are all wider than
// kMinHintWidth (NarrowLayout::spaced) that arc is tried first: where both
// its gains are at least 0 in every lane and no lane has that of the arc
// before it in arc order (the one before h, and arc 0 for the last arc, the
// arcs sharing a loudspeaker with it), it is the first such arc in every
// lane, as the full search would find. No other arc can have both gains at
// least 0 there: rounding moves the gains of an arc by about 1e-15 of the
// direction's length over the sine of its width, so two arcs can both have
// them only where the direction lies within about 1e-15 radians of both,
// which for arcs that do not meet takes an arc between them of about that
// width.
//
// Frames of up to eight channels are put together in a register and stored
// at once.
#include "engine/laws/VbapKernels.h"

#if defined(TARVIO_HAVE_AVX512)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define TARVIO_TARGET_AVX512 __attribute__((target("avx2,avx512f")))

namespace tarvio {
namespace laws {

namespace {

// The gains of eight frames, times their samples, and the arc of each lane,
// -1 for a frame left to the per-frame law.
struct Lanes8 {
    __m512d first, second, apart;
    __m512d zero;  // 0 times the sample, for the channels without a position
    __m256i arc;
};

// GCC 12 takes the unset first operand that its own AVX-512 intrinsics pass
// to the masked instructions (all lanes selected) for a use of an
// uninitialised value; the warning is silenced for these functions only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

// The gains of arc k for the directions (v, s), and the lanes where both are
// at least 0.
struct ArcGains {
    __m512d a, b;
    __mmask8 hit;
};

TARVIO_TARGET_AVX512 inline ArcGains arcGains(const NarrowLayout& layout, int k, __m512d v,
                                              __m512d s) {
    const double* row = layout.rows + 4 * k;
    ArcGains g;
    g.a = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(row[0]), v),
                        _mm512_mul_pd(_mm512_set1_pd(row[1]), s));
    g.b = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(row[2]), v),
                        _mm512_mul_pd(_mm512_set1_pd(row[3]), s));
    const __m512d zero = _mm512_setzero_pd();
    g.hit = _mm512_cmp_pd_mask(g.a, zero, _CMP_GE_OQ) & _mm512_cmp_pd_mask(g.b, zero, _CMP_GE_OQ);
    return g;
}

// The eight frames' gains; `hint` is an arc to try first, or -1.
TARVIO_TARGET_AVX512 inline Lanes8 gains8(const NarrowLayout& layout, const double* x,
                                          const double* y, const double* mono, int hint) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d two = _mm512_set1_pd(2.0);
    const __m512d u = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(x)), one);
    const __m512d v = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(y)), one);
    const __m512d s = _mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(u), _mm512_set1_epi64(INT64_MIN)));  // -u
    __m512d arc = _mm512_set1_pd(-1.0);
    __m512d ga = zero;
    __m512d gb = zero;
    bool found = false;
    if (hint >= 0) {
        const ArcGains h = arcGains(layout, hint, v, s);
        if (h.hit == 0xFF) {
            __mmask8 before = hint > 0 ? arcGains(layout, hint - 1, v, s).hit : 0;
            if (hint == layout.arcs - 1)
                before |= arcGains(layout, 0, v, s).hit;
            if (before == 0) {
                found = true;
                arc = _mm512_set1_pd(static_cast<double>(hint));
                ga = h.a;
                gb = h.b;
            }
        }
    }
    // The first arc in arc order whose gains are both at least 0 wins: the
    // search runs from the last arc, each hit overwriting its lanes.
    for (int k = found ? -1 : layout.arcs - 1; k >= 0; --k) {
        const ArcGains g = arcGains(layout, k, v, s);
        ga = _mm512_mask_mov_pd(ga, g.hit, g.a);
        gb = _mm512_mask_mov_pd(gb, g.hit, g.b);
        arc = _mm512_mask_mov_pd(arc, g.hit, _mm512_set1_pd(static_cast<double>(k)));
    }
    // std::max(|u|, |v|) is (|u| < |v|) ? |v| : |u|, which is what the
    // instruction gives with |v| first, not-a-number included.
    const __m512d r = _mm512_max_pd(_mm512_abs_pd(v), _mm512_abs_pd(u));
    Lanes8 g;
    g.arc = _mm512_cvttpd_epi32(
        _mm512_mask_mov_pd(_mm512_set1_pd(-1.0), _mm512_cmp_pd_mask(r, one, _CMP_LE_OQ), arc));
    const __m512d ga2 = _mm512_mul_pd(ga, ga);
    const __m512d gb2 = _mm512_mul_pd(gb, gb);
    const __m512d pair = _mm512_add_pd(ga2, gb2);
    const __m512d m = _mm512_loadu_pd(mono);
    g.zero = _mm512_mul_pd(zero, m);
    // The lanes on the edge, and the others; a group seldom holds both.
    const __mmask8 edge = _mm512_cmp_pd_mask(r, one, _CMP_EQ_OQ);
    g.first = g.second = g.apart = zero;
    if (edge) {
        const __m512d q = _mm512_div_pd(one, _mm512_sqrt_pd(pair));
        g.first = _mm512_mul_pd(_mm512_mul_pd(_mm512_abs_pd(ga), q), m);
        g.second = _mm512_mul_pd(_mm512_mul_pd(_mm512_abs_pd(gb), q), m);
        g.apart = g.zero;
    }
    if (edge != 0xFF) {
        const __m512d r2 = _mm512_mul_pd(r, r);
        const __m512d spread = _mm512_mul_pd(_mm512_sub_pd(one, r2), _mm512_set1_pd(layout.share));
        const __m512d t = _mm512_maskz_div_pd(
            _mm512_cmp_pd_mask(pair, _mm512_set1_pd(kTinyPair), _CMP_GE_OQ), r2, pair);
        const __mmask8 inner = static_cast<__mmask8>(~edge);
        g.first = _mm512_mask_mov_pd(
            g.first, inner,
            _mm512_mul_pd(_mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(t, ga2), spread)), m));
        g.second = _mm512_mask_mov_pd(
            g.second, inner,
            _mm512_mul_pd(_mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(t, gb2), spread)), m));
        g.apart = _mm512_mask_mov_pd(g.apart, inner, _mm512_mul_pd(_mm512_sqrt_pd(spread), m));
    }
    return g;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace

TARVIO_TARGET_AVX512 int narrowSpread_avx512(const NarrowLayout& layout, const double* x,
                                             const double* y, const double* mono, int frames,
                                             double* out, int* left) {
    const int n = layout.channels;
    const int* pairs = layout.pairs;
    const int* unplaced = layout.unplaced;
    const int unplacedCount = layout.unplacedCount;
    unsigned unplacedBits = 0;
    for (int k = 0; k < unplacedCount; ++k)
        unplacedBits |= unplaced[k] < 8 ? 1u << unplaced[k] : 0u;
    const __mmask8 unplacedLanes = static_cast<__mmask8>(unplacedBits);
    const __mmask8 frameLanes = static_cast<__mmask8>(n >= 8 ? 0xFFu : (1u << n) - 1u);
    const __mmask8 tail = static_cast<__mmask8>((1u << (n % 8)) - 1u);
    int leftCount = 0;
    int hint = -1;
    int j = 0;
    for (; j + 8 <= frames; j += 8) {
        const Lanes8 g = gains8(layout, x + j, y + j, mono + j, layout.spaced ? hint : -1);
        alignas(64) double first[8], second[8], apart[8], zero[8];
        alignas(32) int arc[8];
        _mm512_store_pd(first, g.first);
        _mm512_store_pd(second, g.second);
        _mm512_store_pd(apart, g.apart);
        _mm512_store_pd(zero, g.zero);
        _mm256_store_si256(reinterpret_cast<__m256i*>(arc), g.arc);
        hint = arc[7];
        double* o = out + static_cast<std::size_t>(j) * n;
        // Mostly all eight frames lie in one arc: the masks of its channels
        // serve the whole group.
        if (n <= 8 && arc[0] >= 0 &&
            _mm256_movemask_epi8(_mm256_cmpeq_epi32(g.arc, _mm256_set1_epi32(arc[0]))) == -1) {
            const __mmask8 ka = static_cast<__mmask8>(1u << pairs[2 * arc[0]]);
            const __mmask8 kb = static_cast<__mmask8>(1u << pairs[2 * arc[0] + 1]);
            for (int i = 0; i < 8; ++i, o += n) {
                __m512d row = _mm512_set1_pd(apart[i]);
                row = _mm512_mask_mov_pd(row, unplacedLanes, _mm512_set1_pd(zero[i]));
                row = _mm512_mask_mov_pd(row, ka, _mm512_set1_pd(first[i]));
                row = _mm512_mask_mov_pd(row, kb, _mm512_set1_pd(second[i]));
                if (n == 8)
                    _mm512_storeu_pd(o, row);
                else
                    _mm512_mask_storeu_pd(o, frameLanes, row);
            }
            continue;
        }
        for (int i = 0; i < 8; ++i, o += n) {
            if (arc[i] < 0) {
                left[leftCount++] = j + i;
                continue;
            }
            const int a = pairs[2 * arc[i]];
            const int b = pairs[2 * arc[i] + 1];
            __m512d row = _mm512_set1_pd(apart[i]);
            if (n <= 8) {
                row = _mm512_mask_mov_pd(row, unplacedLanes, _mm512_set1_pd(zero[i]));
                row = _mm512_mask_mov_pd(row, static_cast<__mmask8>(1u << a),
                                         _mm512_set1_pd(first[i]));
                row = _mm512_mask_mov_pd(row, static_cast<__mmask8>(1u << b),
                                         _mm512_set1_pd(second[i]));
                if (n == 8)
                    _mm512_storeu_pd(o, row);
                else
                    _mm512_mask_storeu_pd(o, frameLanes, row);
                continue;
            }
            int ch = 0;
            for (; ch + 8 <= n; ch += 8)
                _mm512_storeu_pd(o + ch, row);
            _mm512_mask_storeu_pd(o + ch, tail, row);
            for (int k = 0; k < unplacedCount; ++k)
                o[unplaced[k]] = zero[i];
            o[a] = first[i];
            o[b] = second[i];
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

#endif  // TARVIO_HAVE_AVX512
