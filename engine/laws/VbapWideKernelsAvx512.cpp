// SPDX-License-Identifier: MIT
// The AVX-512 block kernel of vbap on wide layouts (see WideLayout in
// VbapKernels.h): eight frames per vector. Each lane finds the decisions of
// the per-frame law (the arc of the direction, its mirror's where it falls
// in the gap, the gap's nearer loudspeaker) from an approximate azimuth
// away from every edge, then works out the gains with the per-frame law's
// operations in its order. The direction moves slowly, so the eight frames
// of a group nearly always take the same decisions; a group whose frames do
// not, or with a frame near an edge or off the square, is left whole to the
// per-frame law.
#include "engine/laws/VbapKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX512)
#include <cstddef>
#include <cstdint>

namespace tarvio {
namespace laws {

TARVIO_AVX512_BEGIN

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTurn = 2.0 * kPi;

// The direction of eight frames as directionOf gives it, the lanes inside
// the square, and the azimuth of the direction and of its mirror front to
// back, approximately, in [0, 2 pi).
struct Directions {
    __m512d cos, sin, r, azimuth, mirror;
    __mmask8 placed;
};

// atan2(s, c) within 1.2e-5 radians, in [0, 2 pi), for a unit (c, s): the
// arctangent of the smaller over the larger of |c| and |s| by the
// polynomial of Abramowitz and Stegun (4.4.49), folded into its octant.
TARVIO_TARGET_AVX512 TARVIO_INLINE __m512d azimuthOf(__m512d c, __m512d s) {
    const __m512d ac = _mm512_abs_pd(c);
    const __m512d as = _mm512_abs_pd(s);
    const __m512d z = _mm512_div_pd(_mm512_min_pd(ac, as), _mm512_max_pd(ac, as));
    const __m512d z2 = _mm512_mul_pd(z, z);
    __m512d p = _mm512_set1_pd(0.0208351);
    p = _mm512_add_pd(_mm512_mul_pd(p, z2), _mm512_set1_pd(-0.0851330));
    p = _mm512_add_pd(_mm512_mul_pd(p, z2), _mm512_set1_pd(0.1801410));
    p = _mm512_add_pd(_mm512_mul_pd(p, z2), _mm512_set1_pd(-0.3302995));
    p = _mm512_add_pd(_mm512_mul_pd(p, z2), _mm512_set1_pd(0.9998660));
    p = _mm512_mul_pd(p, z);
    const __m512d zero = _mm512_setzero_pd();
    p = _mm512_mask_sub_pd(p, _mm512_cmp_pd_mask(as, ac, _CMP_GT_OQ), _mm512_set1_pd(kPi / 2), p);
    p = _mm512_mask_sub_pd(p, _mm512_cmp_pd_mask(c, zero, _CMP_LT_OQ), _mm512_set1_pd(kPi), p);
    p = _mm512_mask_sub_pd(p, _mm512_cmp_pd_mask(s, zero, _CMP_LT_OQ), zero, p);
    return _mm512_mask_add_pd(p, _mm512_cmp_pd_mask(p, zero, _CMP_LT_OQ), p,
                              _mm512_set1_pd(kTurn));
}

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
    // std::max(|u|, |v|), as in the narrow kernels.
    d.r = _mm512_max_pd(_mm512_abs_pd(v), _mm512_abs_pd(u));
    d.placed = _mm512_cmp_pd_mask(d.r, one, _CMP_LE_OQ);
    d.azimuth = azimuthOf(d.cos, d.sin);
    // atan2(s, -c) is pi less the azimuth, in [0, 2 pi).
    const __m512d mirror = _mm512_sub_pd(_mm512_set1_pd(kPi), d.azimuth);
    d.mirror = _mm512_mask_add_pd(mirror, _mm512_cmp_pd_mask(mirror, zero, _CMP_LT_OQ), mirror,
                                  _mm512_set1_pd(kTurn));
    return d;
}

// The lanes whose azimuth lies within kWideMargin of an edge, around the
// turn.
TARVIO_TARGET_AVX512 TARVIO_INLINE __mmask8 nearEdge(const WideLayout& layout, __m512d azimuth) {
    const __m512d margin = _mm512_set1_pd(kWideMargin);
    const __m512d far = _mm512_set1_pd(kTurn - kWideMargin);
    __mmask8 near = 0;
    for (int e = 0; e < layout.edgeCount; ++e) {
        const __m512d apart =
            _mm512_abs_pd(_mm512_sub_pd(azimuth, _mm512_set1_pd(layout.edges[e])));
        near |= _mm512_cmp_pd_mask(apart, margin, _CMP_LT_OQ) |
                _mm512_cmp_pd_mask(apart, far, _CMP_GT_OQ);
    }
    return near;
}

// The arc of each lane's azimuth as the per-frame law's search finds it:
// the last arc that starts at or before it, the last arc for one before
// every start.
TARVIO_TARGET_AVX512 TARVIO_INLINE __m512i arcOf(const WideLayout& layout, __m512d azimuth) {
    __m512i count = _mm512_set1_epi64(-1);
    const __m512i one = _mm512_set1_epi64(1);
    for (int k = 0; k < layout.arcs; ++k) {
        const __mmask8 past =
            _mm512_cmp_pd_mask(azimuth, _mm512_set1_pd(layout.starts[k]), _CMP_GE_OQ);
        count = _mm512_mask_add_epi64(count, past, count, one);
    }
    const __mmask8 before = _mm512_cmpeq_epi64_mask(count, _mm512_set1_epi64(-1));
    return _mm512_mask_mov_epi64(count, before, _mm512_set1_epi64(layout.arcs - 1));
}

// The decision of each lane, or -1 where it is left: the arc k of the
// direction; arcs + k for the arc k of its mirror; 2 arcs for the gap's
// first loudspeaker and 2 arcs + 1 for its second.
TARVIO_TARGET_AVX512 TARVIO_INLINE __m512i decide(const WideLayout& layout, const Directions& d) {
    const __mmask8 clear =
        d.placed & static_cast<__mmask8>(~(nearEdge(layout, d.azimuth) | nearEdge(layout, d.mirror)));
    __m512i code = arcOf(layout, d.azimuth);
    if (layout.gap >= 0) {
        const __m512i gap = _mm512_set1_epi64(layout.gap);
        const __mmask8 inGap = _mm512_cmpeq_epi64_mask(code, gap);
        const __m512i mirrorArc = arcOf(layout, d.mirror);
        const __mmask8 bothInGap = inGap & _mm512_cmpeq_epi64_mask(mirrorArc, gap);
        code = _mm512_mask_add_epi64(code, inGap, mirrorArc, _mm512_set1_epi64(layout.arcs));
        __m512d into = _mm512_sub_pd(d.mirror, _mm512_set1_pd(layout.starts[layout.gap]));
        into = _mm512_mask_add_pd(into, _mm512_cmp_pd_mask(into, _mm512_setzero_pd(), _CMP_LT_OQ),
                                  into, _mm512_set1_pd(kTurn));
        const __mmask8 second = _mm512_cmp_pd_mask(into, _mm512_set1_pd(layout.gapHalf), _CMP_GT_OQ);
        code = _mm512_mask_mov_epi64(code, bothInGap, _mm512_set1_epi64(2 * layout.arcs));
        code = _mm512_mask_mov_epi64(code, bothInGap & second,
                                     _mm512_set1_epi64(2 * layout.arcs + 1));
    }
    return _mm512_mask_mov_epi64(_mm512_set1_epi64(-1), clear, code);
}

// The pair gains of eight frames that all take decision `code`, as
// pairGains gives them.
struct PairGains {
    __m512d first, second;
    int arc;
};

TARVIO_TARGET_AVX512 TARVIO_INLINE PairGains pairGains(const WideLayout& layout, int code,
                                                       const Directions& d) {
    const int arcs = layout.arcs;
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    PairGains g;
    if (code >= 2 * arcs) {
        g.arc = layout.gap;
        g.first = code == 2 * arcs ? one : zero;
        g.second = code == 2 * arcs ? zero : one;
        return g;
    }
    g.arc = code >= arcs ? code - arcs : code;
    const __m512d c = code >= arcs ? _mm512_castsi512_pd(_mm512_xor_si512(
                                         _mm512_castpd_si512(d.cos), _mm512_set1_epi64(INT64_MIN)))
                                   : d.cos;
    const double* row = layout.rows + 4 * g.arc;
    const __m512d fromA = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(row[0]), c),
                                        _mm512_mul_pd(_mm512_set1_pd(row[1]), d.sin));
    if (layout.halfTurn[g.arc]) {
        const __m512d two = _mm512_set1_pd(2.0);
        // std::clamp to [-1, 1]; the values are never a NaN here.
        const __m512d f = _mm512_min_pd(_mm512_max_pd(fromA, _mm512_set1_pd(-1.0)), one);
        g.first = _mm512_sqrt_pd(_mm512_div_pd(_mm512_add_pd(one, f), two));
        g.second = _mm512_sqrt_pd(_mm512_div_pd(_mm512_sub_pd(one, f), two));
        return g;
    }
    const __m512d fromB = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(row[2]), c),
                                        _mm512_mul_pd(_mm512_set1_pd(row[3]), d.sin));
    // std::max(0.0, g) is (0 < g) ? g : 0, as the instruction gives it with
    // g first.
    const __m512d ga = _mm512_max_pd(fromA, zero);
    const __m512d gb = _mm512_max_pd(fromB, zero);
    const __m512d norm = _mm512_div_pd(
        one, _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(ga, ga), _mm512_mul_pd(gb, gb))));
    g.first = _mm512_mul_pd(ga, norm);
    g.second = _mm512_mul_pd(gb, norm);
    return g;
}

// A pair gain g spread towards the middle, as the per-frame law's last
// loop: sqrt(spread) where it is 0, else sqrt(r^2 g g + spread).
TARVIO_TARGET_AVX512 TARVIO_INLINE __m512d spreadOut(__m512d g, __m512d r2, __m512d spread,
                                                     __m512d apart) {
    const __m512d near = _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(r2, g), g), spread));
    return _mm512_mask_mov_pd(near, _mm512_cmp_pd_mask(g, _mm512_setzero_pd(), _CMP_EQ_OQ), apart);
}

// The rows of eight frames that all take decision `code`.
TARVIO_TARGET_AVX512 TARVIO_INLINE void groupRows(const WideLayout& layout, int code,
                                                  const Directions& d, const double* mono,
                                                  double* out) {
    const PairGains g = pairGains(layout, code, d);
    const __m512d r2 = _mm512_mul_pd(d.r, d.r);
    const __m512d spread =
        _mm512_mul_pd(_mm512_sub_pd(_mm512_set1_pd(1.0), r2), _mm512_set1_pd(layout.share));
    const __m512d apart = _mm512_sqrt_pd(spread);
    const __m512d m = _mm512_loadu_pd(mono);
    alignas(64) double first[8], second[8], others[8], zero[8];
    _mm512_store_pd(first, _mm512_mul_pd(spreadOut(g.first, r2, spread, apart), m));
    _mm512_store_pd(second, _mm512_mul_pd(spreadOut(g.second, r2, spread, apart), m));
    _mm512_store_pd(others, _mm512_mul_pd(apart, m));
    _mm512_store_pd(zero, _mm512_mul_pd(_mm512_setzero_pd(), m));
    const int n = layout.channels;
    const int a = layout.pairs[2 * g.arc];
    const int b = layout.pairs[2 * g.arc + 1];
    for (int l = 0; l < 8; ++l, out += n) {
        for (int ch = 0; ch < n; ++ch)
            out[ch] = others[l];
        for (int k = 0; k < layout.unplacedCount; ++k)
            out[layout.unplaced[k]] = zero[l];
        out[a] = first[l];
        out[b] = second[l];
    }
}

}  // namespace

TARVIO_TARGET_AVX512 int wideSpread_avx512(const WideLayout& layout, const double* x,
                                           const double* y, const double* mono, int frames,
                                           double* out, int* left) {
    const std::size_t n = static_cast<std::size_t>(layout.channels);
    int leftCount = 0;
    int j = 0;
    for (; j + 8 <= frames; j += 8) {
        const Directions d = directions(x + j, y + j);
        const __m512i code = decide(layout, d);
        const std::int64_t first = _mm512_cvtsi512_si32(code);
        const __mmask8 same = _mm512_cmpeq_epi64_mask(code, _mm512_set1_epi64(first));
        if (first >= 0 && same == 0xFF) {
            groupRows(layout, static_cast<int>(first), d, mono + j,
                      out + static_cast<std::size_t>(j) * n);
            continue;
        }
        for (int l = 0; l < 8; ++l)
            left[leftCount++] = j + l;
    }
    for (; j < frames; ++j)
        left[leftCount++] = j;
    return leftCount;
}

TARVIO_AVX512_END

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
