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
// The kernel works in two passes over up to kPass frames: the gains of every
// group first, then the output rows. Frames of up to eight channels are put
// together in a register and stored at once; while the groups stay in one
// arc, the permutes that build them are worked out once.
#include "engine/laws/VbapKernels.h"

#if defined(TARVIO_HAVE_AVX512)
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define TARVIO_TARGET_AVX512 __attribute__((target("avx2,avx512f")))

namespace tarvio {
namespace laws {

namespace {

// GCC 12 takes the unset first operand that its own AVX-512 intrinsics pass
// to the masked instructions (all lanes selected) for a use of an
// uninitialised value; the warning is silenced for this file's functions.
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

// Frames whose gains the first pass works out before the second writes
// their rows.
constexpr int kPass = 256;

// The gains of up to kPass frames, times their samples, eight to a group.
struct PassGains {
    alignas(64) double first[kPass];
    alignas(64) double second[kPass];
    alignas(64) double apart[kPass];
    alignas(64) double zero[kPass];  // kept only for a layout with unplaced channels
    alignas(64) int arc[kPass];      // kept only for a group not all in one arc
    int groupArc[kPass / 8];         // the arc of all eight frames of a group, or -1
};

// The first pass: the gains of `groups` groups of eight frames. `hint` is
// the arc of the frame before, or -1, and becomes that of the last frame.
//
// The groups do not depend on each other, so the roots and divisions of one
// overlap those of the next, as long as nothing carries a value from group
// to group: while the hint holds, the arc stays an integer and only a branch
// depends on the vectors, whereas taking it back out of the lanes (a
// conversion, a move to an integer register and a compare, some thirty
// cycles) would chain every group to the one before.
TARVIO_TARGET_AVX512 void passGains(const NarrowLayout& layout, const double* x, const double* y,
                                    const double* mono, int groups, int& hintInOut,
                                    PassGains& p) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d two = _mm512_set1_pd(2.0);
    const __m512d tiny = _mm512_set1_pd(kTinyPair);
    const __m512d share = _mm512_set1_pd(layout.share);
    const bool keepZero = layout.unplacedCount > 0;
    const int last = layout.arcs - 1;
    int hint = layout.spaced ? hintInOut : -1;
    for (int g = 0, j = 0; g < groups; ++g, j += 8) {
        const __m512d u = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(x + j)), one);
        const __m512d v = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(y + j)), one);
        const __m512d s = _mm512_castsi512_pd(
            _mm512_xor_si512(_mm512_castpd_si512(u), _mm512_set1_epi64(INT64_MIN)));  // -u
        // std::max(|u|, |v|) is (|u| < |v|) ? |v| : |u|, which is what the
        // instruction gives with |v| first, not-a-number included.
        const __m512d r = _mm512_max_pd(_mm512_abs_pd(v), _mm512_abs_pd(u));
        const __mmask8 placed = _mm512_cmp_pd_mask(r, one, _CMP_LE_OQ);
        __m512d ga, gb;
        int groupArc = -1;
        if (hint >= 0) {
            const ArcGains h = arcGains(layout, hint, v, s);
            if ((h.hit & placed) == 0xFF) {
                // An arc before it in arc order takes no lane if one of its
                // gains is below 0 in every lane: that of the loudspeaker
                // it does not share with arc `hint` (a of the arc before,
                // b of arc 0), which only rounding next to the shared one
                // brings to 0. Otherwise the full search decides.
                __mmask8 before = 0;
                if (hint > 0) {
                    const double* row = layout.rows + 4 * (hint - 1);
                    before = _mm512_cmp_pd_mask(
                        _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(row[0]), v),
                                      _mm512_mul_pd(_mm512_set1_pd(row[1]), s)),
                        zero, _CMP_GE_OQ);
                }
                if (hint == last)
                    before |= _mm512_cmp_pd_mask(
                        _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(layout.rows[2]), v),
                                      _mm512_mul_pd(_mm512_set1_pd(layout.rows[3]), s)),
                        zero, _CMP_GE_OQ);
                if (before == 0) {
                    groupArc = hint;
                    ga = h.a;
                    gb = h.b;
                }
            }
        }
        if (groupArc < 0) {
            // The first arc in arc order whose gains are both at least 0
            // wins: the search runs from the last arc, each hit overwriting
            // its lanes.
            __m512d arc = _mm512_set1_pd(-1.0);
            ga = gb = zero;
            for (int k = last; k >= 0; --k) {
                const ArcGains a = arcGains(layout, k, v, s);
                ga = _mm512_mask_mov_pd(ga, a.hit, a.a);
                gb = _mm512_mask_mov_pd(gb, a.hit, a.b);
                arc = _mm512_mask_mov_pd(arc, a.hit, _mm512_set1_pd(static_cast<double>(k)));
            }
            const __m256i lanes =
                _mm512_cvttpd_epi32(_mm512_mask_mov_pd(_mm512_set1_pd(-1.0), placed, arc));
            _mm256_store_si256(reinterpret_cast<__m256i*>(p.arc + j), lanes);
            const int arc0 = p.arc[j];
            const bool same =
                _mm256_movemask_epi8(_mm256_cmpeq_epi32(lanes, _mm256_set1_epi32(arc0))) == -1;
            groupArc = same ? arc0 : -1;
            hint = layout.spaced ? p.arc[j + 7] : -1;
        }
        p.groupArc[g] = groupArc;
        const __m512d ga2 = _mm512_mul_pd(ga, ga);
        const __m512d gb2 = _mm512_mul_pd(gb, gb);
        const __m512d pair = _mm512_add_pd(ga2, gb2);
        const __m512d m = _mm512_loadu_pd(mono + j);
        const __m512d zeroTimes = _mm512_mul_pd(zero, m);
        if (keepZero)
            _mm512_store_pd(p.zero + j, zeroTimes);
        // The lanes on the edge, and the others; a group seldom holds both.
        const __mmask8 edge = _mm512_cmp_pd_mask(r, one, _CMP_EQ_OQ);
        __m512d first = zero, second = zero, apart = zero;
        if (edge) {
            const __m512d q = _mm512_div_pd(one, _mm512_sqrt_pd(pair));
            first = _mm512_mul_pd(_mm512_mul_pd(_mm512_abs_pd(ga), q), m);
            second = _mm512_mul_pd(_mm512_mul_pd(_mm512_abs_pd(gb), q), m);
            apart = zeroTimes;
        }
        if (edge != 0xFF) {
            const __m512d r2 = _mm512_mul_pd(r, r);
            const __m512d spread = _mm512_mul_pd(_mm512_sub_pd(one, r2), share);
            const __m512d t =
                _mm512_maskz_div_pd(_mm512_cmp_pd_mask(pair, tiny, _CMP_GE_OQ), r2, pair);
            const __mmask8 inner = static_cast<__mmask8>(~edge);
            first = _mm512_mask_mov_pd(
                first, inner,
                _mm512_mul_pd(_mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(t, ga2), spread)), m));
            second = _mm512_mask_mov_pd(
                second, inner,
                _mm512_mul_pd(_mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(t, gb2), spread)), m));
            apart = _mm512_mask_mov_pd(apart, inner, _mm512_mul_pd(_mm512_sqrt_pd(spread), m));
        }
        _mm512_store_pd(p.first + j, first);
        _mm512_store_pd(p.second + j, second);
        _mm512_store_pd(p.apart + j, apart);
    }
    hintInOut = hint;
}

// The permute indices of the rows of frames in arc `arc` (see rowsInArc):
// lane c of row i takes apart (i), first (4 + i), second (8 + i) or zero
// (12 + i), in the order the portable kernel writes them.
TARVIO_TARGET_AVX512 inline void arcIndices(const NarrowLayout& layout, int arc,
                                            __mmask8 unplacedLanes, __m512i* index) {
    __m512i base = _mm512_setzero_si512();
    base = _mm512_mask_set1_epi64(base, unplacedLanes, 12);
    base = _mm512_mask_set1_epi64(base, static_cast<__mmask8>(1u << layout.pairs[2 * arc]), 4);
    base = _mm512_mask_set1_epi64(base, static_cast<__mmask8>(1u << layout.pairs[2 * arc + 1]), 8);
    for (int i = 0; i < 4; ++i)
        index[i] = _mm512_add_epi64(base, _mm512_set1_epi64(i));
}

// The rows of a group of eight frames in one arc, on a layout of at most
// eight channels (kFull: exactly eight). lo holds apart and first of frames
// 0-3, lo2 their second and zero, hi and hi2 those of frames 4-7: one
// two-table permute makes a row, with the same index for frames i and i + 4.
template <bool kFull>
TARVIO_TARGET_AVX512 inline void rowsInArc(const PassGains& p, int j, bool hasZero,
                                           const __m512i* index, __mmask8 frameLanes, int n,
                                           double* o) {
    const __m512d apart = _mm512_load_pd(p.apart + j);
    const __m512d first = _mm512_load_pd(p.first + j);
    const __m512d second = _mm512_load_pd(p.second + j);
    const __m512d zero = hasZero ? _mm512_load_pd(p.zero + j) : second;
    const __m512d lo = _mm512_insertf64x4(apart, _mm512_castpd512_pd256(first), 1);
    const __m512d hi = _mm512_shuffle_f64x2(apart, first, 0xEE);
    const __m512d lo2 = _mm512_insertf64x4(second, _mm512_castpd512_pd256(zero), 1);
    const __m512d hi2 = _mm512_shuffle_f64x2(second, zero, 0xEE);
    for (int i = 0; i < 4; ++i) {
        const __m512d low = _mm512_permutex2var_pd(lo, index[i], lo2);
        const __m512d high = _mm512_permutex2var_pd(hi, index[i], hi2);
        if (kFull) {
            _mm512_storeu_pd(o + 8 * i, low);
            _mm512_storeu_pd(o + 8 * (i + 4), high);
        } else {
            _mm512_mask_storeu_pd(o + n * i, frameLanes, low);
            _mm512_mask_storeu_pd(o + n * (i + 4), frameLanes, high);
        }
    }
}

}  // namespace

TARVIO_TARGET_AVX512 int narrowSpread_avx512(const NarrowLayout& layout, const double* x,
                                             const double* y, const double* mono, int frames,
                                             double* out, int* left) {
    const int n = layout.channels;
    const int* pairs = layout.pairs;
    const int* unplaced = layout.unplaced;
    const int unplacedCount = layout.unplacedCount;
    const bool hasZero = unplacedCount > 0;
    unsigned unplacedBits = 0;
    for (int k = 0; k < unplacedCount; ++k)
        unplacedBits |= unplaced[k] < 8 ? 1u << unplaced[k] : 0u;
    const __mmask8 unplacedLanes = static_cast<__mmask8>(unplacedBits);
    const __mmask8 frameLanes = static_cast<__mmask8>(n >= 8 ? 0xFFu : (1u << n) - 1u);
    const __mmask8 tail = static_cast<__mmask8>((1u << (n % 8)) - 1u);
    int leftCount = 0;
    int hint = -1;
    PassGains p;
    // The indices of the rows of arc indexArc, kept while the frames stay
    // in it.
    __m512i index[4];
    int indexArc = -1;
    int j0 = 0;
    for (; j0 + 8 <= frames; j0 += kPass) {
        const int groups = (frames - j0 < kPass ? frames - j0 : kPass) / 8;
        passGains(layout, x + j0, y + j0, mono + j0, groups, hint, p);
        for (int g = 0; g < groups; ++g) {
            const int j = 8 * g;
            double* o = out + static_cast<std::size_t>(j0 + j) * n;
            const int groupArc = p.groupArc[g];
            if (n <= 8 && groupArc >= 0) {
                if (groupArc != indexArc) {
                    arcIndices(layout, groupArc, unplacedLanes, index);
                    indexArc = groupArc;
                }
                if (n == 8)
                    rowsInArc<true>(p, j, hasZero, index, frameLanes, n, o);
                else
                    rowsInArc<false>(p, j, hasZero, index, frameLanes, n, o);
                continue;
            }
            for (int i = j; i < j + 8; ++i, o += n) {
                const int arc = groupArc >= 0 ? groupArc : p.arc[i];
                if (arc < 0) {
                    left[leftCount++] = j0 + i;
                    continue;
                }
                const int a = pairs[2 * arc];
                const int b = pairs[2 * arc + 1];
                __m512d row = _mm512_set1_pd(p.apart[i]);
                if (n <= 8) {
                    if (hasZero)
                        row = _mm512_mask_mov_pd(row, unplacedLanes, _mm512_set1_pd(p.zero[i]));
                    row = _mm512_mask_mov_pd(row, static_cast<__mmask8>(1u << a),
                                             _mm512_set1_pd(p.first[i]));
                    row = _mm512_mask_mov_pd(row, static_cast<__mmask8>(1u << b),
                                             _mm512_set1_pd(p.second[i]));
                    _mm512_mask_storeu_pd(o, frameLanes, row);
                    continue;
                }
                int ch = 0;
                for (; ch + 8 <= n; ch += 8)
                    _mm512_storeu_pd(o + ch, row);
                _mm512_mask_storeu_pd(o + ch, tail, row);
                for (int k = 0; k < unplacedCount; ++k)
                    o[unplaced[k]] = p.zero[i];
                o[a] = p.first[i];
                o[b] = p.second[i];
            }
        }
    }
    const int j = frames - frames % 8;
    if (j < frames) {
        const int more = narrowSpread_portable(layout, x + j, y + j, mono + j, frames - j,
                                               out + static_cast<std::size_t>(j) * n,
                                               left + leftCount);
        for (int k = 0; k < more; ++k)
            left[leftCount++] += j;
    }
    return leftCount;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
