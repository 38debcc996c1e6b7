// SPDX-License-Identifier: MIT
// The AVX2 block kernel of vbap on narrow layouts: the gains of four frames
// per vector, each lane doing narrowSpread_portable's operations in its
// order, then each frame written with vector stores. Like the AVX-512
// kernel (see there why that gives the same arc) it first tries the arc of
// the frames before, works out the gains of a pass before the rows, and
// puts frames of four or eight channels in one arc together in registers.
#include "engine/laws/VbapKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX2)
#include <cstddef>

namespace tarvio {
namespace laws {

namespace {

// The gains of arc k for the directions (v, s), and the lanes where both are
// at least 0.
struct ArcGains {
    __m256d a, b, hit;
};

TARVIO_TARGET_AVX2 inline __m256d gainOf(const double* row, __m256d v, __m256d s) {
    return _mm256_add_pd(_mm256_mul_pd(_mm256_broadcast_sd(row), v),
                         _mm256_mul_pd(_mm256_broadcast_sd(row + 1), s));
}

TARVIO_TARGET_AVX2 inline ArcGains arcGains(const NarrowLayout& layout, int k, __m256d v,
                                            __m256d s) {
    const double* row = layout.rows + 4 * k;
    const __m256d zero = _mm256_setzero_pd();
    ArcGains g;
    g.a = gainOf(row, v, s);
    g.b = gainOf(row + 2, v, s);
    g.hit =
        _mm256_and_pd(_mm256_cmp_pd(g.a, zero, _CMP_GE_OQ), _mm256_cmp_pd(g.b, zero, _CMP_GE_OQ));
    return g;
}

// Frames whose gains the first pass works out before the second writes
// their rows.
constexpr int kPass = 256;

// The gains of up to kPass frames, times their samples, four to a group.
struct PassGains {
    alignas(32) double first[kPass];
    alignas(32) double second[kPass];
    alignas(32) double apart[kPass];
    alignas(32) double zero[kPass];  // 0 times the sample, for the channels without a position
    alignas(32) int arc[kPass];      // kept only for a group not all in one arc
    int groupArc[kPass / 4];         // the arc of all four frames of a group, or -1
};

// What the first pass keeps in registers.
struct PassConstants {
    __m256d zero, one, two, signBit, tiny, share;
    int last;  // the last arc
};

// The directions of four frames at x, y: (v, s) = (2y - 1, -(2x - 1)), the
// distance r = max(|u|, |v|) from the middle with u = 2x - 1, and the lanes
// inside the square (r at most 1, not a NaN).
struct Directions {
    __m256d v, s, r, placed;
};

TARVIO_TARGET_AVX2 TARVIO_INLINE Directions directions(const double* x, const double* y,
                                                       const PassConstants& c) {
    Directions d;
    const __m256d u = _mm256_sub_pd(_mm256_mul_pd(c.two, _mm256_loadu_pd(x)), c.one);
    d.v = _mm256_sub_pd(_mm256_mul_pd(c.two, _mm256_loadu_pd(y)), c.one);
    d.s = _mm256_xor_pd(u, c.signBit);
    // std::max(|u|, |v|) is (|u| < |v|) ? |v| : |u|, which is what the
    // instruction gives with |v| first, not-a-number included.
    d.r = _mm256_max_pd(_mm256_andnot_pd(c.signBit, d.v), _mm256_andnot_pd(c.signBit, u));
    d.placed = _mm256_cmp_pd(d.r, c.one, _CMP_LE_OQ);
    return d;
}

// Whether arc `hint` (at least 0) is the arc of all four frames, with its
// gains then in ga and gb: they are all placed, both its gains are at least
// 0 in every lane, and the arcs before it in arc order are ruled out by the
// gain of the loudspeaker they do not share with it (see the AVX-512
// kernel).
TARVIO_TARGET_AVX2 TARVIO_INLINE bool hintHolds(const NarrowLayout& layout, const PassConstants& c,
                                                int hint, const Directions& d, __m256d& ga,
                                                __m256d& gb) {
    const ArcGains h = arcGains(layout, hint, d.v, d.s);
    if (_mm256_movemask_pd(_mm256_and_pd(h.hit, d.placed)) != 0xF)
        return false;
    __m256d before = c.zero;
    if (hint > 0)
        before = _mm256_cmp_pd(gainOf(layout.rows + 4 * (hint - 1), d.v, d.s), c.zero, _CMP_GE_OQ);
    if (hint == c.last)
        before = _mm256_or_pd(before,
                              _mm256_cmp_pd(gainOf(layout.rows + 2, d.v, d.s), c.zero, _CMP_GE_OQ));
    if (_mm256_movemask_pd(before) != 0)
        return false;
    ga = h.a;
    gb = h.b;
    return true;
}

// The arc of each of four frames, written to lanes[0, 4) (-1 for a frame
// left to the per-frame law), with its gains in ga and gb; returns the arc
// of all four, or -1. The search runs over every arc from the last to the
// first, each arc whose two gains are at least 0 overwriting the lane: the
// first such arc in arc order is left, as the portable loop finds it.
TARVIO_TARGET_AVX2 TARVIO_INLINE int searchArc(const NarrowLayout& layout, const PassConstants& c,
                                               const Directions& d, __m256d& ga, __m256d& gb,
                                               int* lanes) {
    __m256d arc = _mm256_set1_pd(-1.0);
    ga = gb = c.zero;
    for (int k = c.last; k >= 0; --k) {
        const ArcGains a = arcGains(layout, k, d.v, d.s);
        ga = _mm256_blendv_pd(ga, a.a, a.hit);
        gb = _mm256_blendv_pd(gb, a.b, a.hit);
        arc = _mm256_blendv_pd(arc, _mm256_set1_pd(static_cast<double>(k)), a.hit);
    }
    arc = _mm256_blendv_pd(_mm256_set1_pd(-1.0), arc, d.placed);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm256_cvttpd_epi32(arc));
    const bool same = lanes[1] == lanes[0] && lanes[2] == lanes[0] && lanes[3] == lanes[0];
    return same ? lanes[0] : -1;
}

// The gains of four frames whose pair has the gains ga, gb, at distance r,
// times their samples at mono, stored at frame j of the pass.
TARVIO_TARGET_AVX2 TARVIO_INLINE void storeGains(const PassConstants& c, __m256d ga, __m256d gb,
                                                 __m256d r, const double* mono, PassGains& p,
                                                 int j) {
    const __m256d ga2 = _mm256_mul_pd(ga, ga);
    const __m256d gb2 = _mm256_mul_pd(gb, gb);
    const __m256d pair = _mm256_add_pd(ga2, gb2);
    const __m256d m = _mm256_loadu_pd(mono);
    const __m256d zeroTimes = _mm256_mul_pd(c.zero, m);
    _mm256_store_pd(p.zero + j, zeroTimes);
    // The lanes on the edge, and the others; a group seldom holds both.
    const __m256d edge = _mm256_cmp_pd(r, c.one, _CMP_EQ_OQ);
    const int edgeLanes = _mm256_movemask_pd(edge);
    __m256d first = c.zero, second = c.zero, apart = c.zero;
    if (edgeLanes) {
        const __m256d q = _mm256_div_pd(c.one, _mm256_sqrt_pd(pair));
        first = _mm256_mul_pd(_mm256_mul_pd(_mm256_andnot_pd(c.signBit, ga), q), m);
        second = _mm256_mul_pd(_mm256_mul_pd(_mm256_andnot_pd(c.signBit, gb), q), m);
        apart = zeroTimes;
    }
    if (edgeLanes != 0xF) {
        const __m256d r2 = _mm256_mul_pd(r, r);
        const __m256d spread = _mm256_mul_pd(_mm256_sub_pd(c.one, r2), c.share);
        const __m256d t =
            _mm256_and_pd(_mm256_cmp_pd(pair, c.tiny, _CMP_GE_OQ), _mm256_div_pd(r2, pair));
        first = _mm256_blendv_pd(
            _mm256_mul_pd(_mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(t, ga2), spread)), m), first,
            edge);
        second = _mm256_blendv_pd(
            _mm256_mul_pd(_mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(t, gb2), spread)), m), second,
            edge);
        apart = _mm256_blendv_pd(_mm256_mul_pd(_mm256_sqrt_pd(spread), m), apart, edge);
    }
    _mm256_store_pd(p.first + j, first);
    _mm256_store_pd(p.second + j, second);
    _mm256_store_pd(p.apart + j, apart);
}

// The first pass: the gains of `groups` groups of four frames. `hint` is
// the arc of the frame before, or -1, and becomes that of the last frame.
// As in the AVX-512 kernel, a hinted group keeps its arc an integer, so
// that no value chains a group to the one before and their roots overlap.
TARVIO_TARGET_AVX2 void passGains(const NarrowLayout& layout, const double* x, const double* y,
                                  const double* mono, int groups, int& hintInOut, PassGains& p) {
    const PassConstants c{
        _mm256_setzero_pd(),  _mm256_set1_pd(1.0),       _mm256_set1_pd(2.0),
        _mm256_set1_pd(-0.0), _mm256_set1_pd(kTinyPair), _mm256_set1_pd(layout.share),
        layout.arcs - 1};
    int hint = layout.spaced ? hintInOut : -1;
    for (int g = 0, j = 0; g < groups; ++g, j += 4) {
        const Directions d = directions(x + j, y + j, c);
        __m256d ga, gb;
        int groupArc = -1;
        if (hint >= 0 && hintHolds(layout, c, hint, d, ga, gb))
            groupArc = hint;
        if (groupArc < 0) {
            groupArc = searchArc(layout, c, d, ga, gb, p.arc + j);
            hint = layout.spaced ? p.arc[j + 3] : -1;
        }
        p.groupArc[g] = groupArc;
        storeGains(c, ga, gb, d.r, mono + j, p, j);
    }
    hintInOut = hint;
}

// The masks that put a frame of at most eight channels in arc `arc`
// together: channels 0-3 (low) and 4-7 (high) of the pair's loudspeakers
// and of those without a position.
struct ArcMasks {
    __m256d aLow, bLow, aHigh, bHigh, unplacedLow, unplacedHigh;
};

TARVIO_TARGET_AVX2 inline void maskArc(const NarrowLayout& layout, int arc, ArcMasks& k) {
    const __m256d lowChannels = _mm256_setr_pd(0, 1, 2, 3);
    const __m256d highChannels = _mm256_setr_pd(4, 5, 6, 7);
    const __m256d a = _mm256_set1_pd(static_cast<double>(layout.pairs[2 * arc]));
    const __m256d b = _mm256_set1_pd(static_cast<double>(layout.pairs[2 * arc + 1]));
    k.aLow = _mm256_cmp_pd(lowChannels, a, _CMP_EQ_OQ);
    k.bLow = _mm256_cmp_pd(lowChannels, b, _CMP_EQ_OQ);
    k.aHigh = _mm256_cmp_pd(highChannels, a, _CMP_EQ_OQ);
    k.bHigh = _mm256_cmp_pd(highChannels, b, _CMP_EQ_OQ);
}

// The row of frame i of a pass in the arc of `k`: channels 0-3, and 4-7
// when kHigh.
template <bool kHigh, bool kUnplaced>
TARVIO_TARGET_AVX2 inline void rowInArc(const PassGains& p, int i, const ArcMasks& k, double* o) {
    const __m256d apart = _mm256_broadcast_sd(p.apart + i);
    const __m256d first = _mm256_broadcast_sd(p.first + i);
    const __m256d second = _mm256_broadcast_sd(p.second + i);
    __m256d low = apart;
    if (kUnplaced)
        low = _mm256_blendv_pd(low, _mm256_broadcast_sd(p.zero + i), k.unplacedLow);
    low = _mm256_blendv_pd(_mm256_blendv_pd(low, first, k.aLow), second, k.bLow);
    _mm256_storeu_pd(o, low);
    if (kHigh) {
        __m256d high = apart;
        if (kUnplaced)
            high = _mm256_blendv_pd(high, _mm256_broadcast_sd(p.zero + i), k.unplacedHigh);
        high = _mm256_blendv_pd(_mm256_blendv_pd(high, first, k.aHigh), second, k.bHigh);
        _mm256_storeu_pd(o + 4, high);
    }
}

// What the second pass reads of the layout, in locals: the stores to the
// rows and to left[] could otherwise change them, for all the compiler
// knows.
struct RowLayout {
    const int* pairs;
    const int* unplaced;
    int unplacedCount;
    int channels;
};

// The masks of the channels without a position; the pair's masks are 0
// until maskArc sets them.
TARVIO_TARGET_AVX2 TARVIO_INLINE ArcMasks unplacedMasks(const RowLayout& rows) {
    ArcMasks masks;
    masks.aLow = masks.bLow = masks.aHigh = masks.bHigh = _mm256_setzero_pd();
    masks.unplacedLow = masks.unplacedHigh = _mm256_setzero_pd();
    const __m256d lowChannels = _mm256_setr_pd(0, 1, 2, 3);
    const __m256d highChannels = _mm256_setr_pd(4, 5, 6, 7);
    for (int k = 0; k < rows.unplacedCount; ++k) {
        const __m256d at = _mm256_set1_pd(static_cast<double>(rows.unplaced[k]));
        masks.unplacedLow =
            _mm256_or_pd(masks.unplacedLow, _mm256_cmp_pd(lowChannels, at, _CMP_EQ_OQ));
        masks.unplacedHigh =
            _mm256_or_pd(masks.unplacedHigh, _mm256_cmp_pd(highChannels, at, _CMP_EQ_OQ));
    }
    return masks;
}

// The rows of the four frames of a pass from frame j on, all in the arc of
// `masks`, on a layout of four or eight channels: put together in
// registers.
TARVIO_TARGET_AVX2 TARVIO_INLINE void groupInArc(const PassGains& p, int j, const ArcMasks& masks,
                                                 const RowLayout& rows, double* o) {
    const int n = rows.channels;
    for (int i = j; i < j + 4; ++i, o += n) {
        if (n == 8) {
            if (rows.unplacedCount)
                rowInArc<true, true>(p, i, masks, o);
            else
                rowInArc<true, false>(p, i, masks, o);
        } else {
            if (rows.unplacedCount)
                rowInArc<false, true>(p, i, masks, o);
            else
                rowInArc<false, false>(p, i, masks, o);
        }
    }
}

// The rows of the four frames of a pass from frame j on, one by one, each
// in its own arc (that of the group, `groupArc`, where it has one); a frame
// without an arc goes to left[] as frame `first` + its number of the pass.
// Returns the new count of left[].
TARVIO_TARGET_AVX2 TARVIO_INLINE int groupByFrame(const PassGains& p, int j, int groupArc,
                                                  const RowLayout& rows, double* o, int first,
                                                  int* left, int leftCount) {
    const int n = rows.channels;
    for (int i = j; i < j + 4; ++i, o += n) {
        const int arc = groupArc >= 0 ? groupArc : p.arc[i];
        if (arc < 0) {
            left[leftCount++] = first + i;
            continue;
        }
        const __m256d apart = _mm256_broadcast_sd(p.apart + i);
        int ch = 0;
        for (; ch + 4 <= n; ch += 4)
            _mm256_storeu_pd(o + ch, apart);
        for (; ch < n; ++ch)
            o[ch] = p.apart[i];
        for (int k = 0; k < rows.unplacedCount; ++k)
            o[rows.unplaced[k]] = p.zero[i];
        o[rows.pairs[2 * arc]] = p.first[i];
        o[rows.pairs[2 * arc + 1]] = p.second[i];
    }
    return leftCount;
}

}  // namespace

TARVIO_TARGET_AVX2 int narrowSpread_avx2(const NarrowLayout& layout, const double* x,
                                         const double* y, const double* mono, int frames,
                                         double* out, int* left) {
    const RowLayout rows{layout.pairs, layout.unplaced, layout.unplacedCount, layout.channels};
    const int n = rows.channels;
    // The masks of the arc of the frames, worked out again when it changes.
    ArcMasks masks = unplacedMasks(rows);
    int maskedArc = -1;
    // Frames of four or eight channels in one arc are put together in
    // registers.
    const bool together = n == 4 || n == 8;
    int leftCount = 0;
    int hint = -1;
    PassGains p;
    int j0 = 0;
    for (; j0 + 4 <= frames; j0 += kPass) {
        const int groups = (frames - j0 < kPass ? frames - j0 : kPass) / 4;
        passGains(layout, x + j0, y + j0, mono + j0, groups, hint, p);
        for (int g = 0; g < groups; ++g) {
            const int j = 4 * g;
            double* o = out + static_cast<std::size_t>(j0 + j) * n;
            const int groupArc = p.groupArc[g];
            if (together && groupArc >= 0) {
                if (groupArc != maskedArc) {
                    maskArc(layout, groupArc, masks);
                    maskedArc = groupArc;
                }
                groupInArc(p, j, masks, rows, o);
                continue;
            }
            leftCount = groupByFrame(p, j, groupArc, rows, o, j0, left, leftCount);
        }
    }
    return spreadRest_portable(layout, x, y, mono, frames - frames % 4, frames, out, left,
                               leftCount);
}

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX2
