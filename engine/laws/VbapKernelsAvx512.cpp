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
// Frames of up to eight channels are put together in registers straight
// from the gains of their group and stored at once; while the groups stay in
// one arc, the permutes that build them are worked out once. The rows are
// written as each group's gains come, not in a pass of their own: their
// permutes and stores then run beside the next groups' arithmetic.
#include "engine/laws/VbapKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX512)
#include <cstddef>
#include <cstdint>

namespace tarvio {
namespace laws {

TARVIO_AVX512_BEGIN

namespace {

// The gains of arc k for the directions (v, s), and the lanes where both are
// at least 0.
struct ArcGains {
    __m512d a, b;
    __mmask8 hit;
};

// row[0] v + row[1] s.
TARVIO_TARGET_AVX512 inline __m512d gainOf(const double* row, __m512d v, __m512d s) {
    return _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(row[0]), v),
                         _mm512_mul_pd(_mm512_set1_pd(row[1]), s));
}

TARVIO_TARGET_AVX512 inline ArcGains arcGains(const NarrowLayout& layout, int k, __m512d v,
                                              __m512d s) {
    const double* row = layout.rows + 4 * k;
    ArcGains g;
    g.a = gainOf(row, v, s);
    g.b = gainOf(row + 2, v, s);
    const __m512d zero = _mm512_setzero_pd();
    g.hit = _mm512_cmp_pd_mask(g.a, zero, _CMP_GE_OQ) & _mm512_cmp_pd_mask(g.b, zero, _CMP_GE_OQ);
    return g;
}

// The gains of eight frames, times their samples, and their arc: that of
// all eight, or -1 with the arc of each lane in `lanes` (-1 for a frame left
// to the per-frame law).
struct Gains8 {
    __m512d first, second, apart;
    __m512d zero;  // 0 times the sample, for the channels without a position
    int arc;
    alignas(32) int lanes[8];
};

// The directions of eight frames at x, y: (v, s) = (2y - 1, -(2x - 1)), the
// distance r = max(|u|, |v|) from the middle with u = 2x - 1, and the lanes
// inside the square (r at most 1, not a NaN).
struct Directions {
    __m512d v, s, r;
    __mmask8 placed;
};

TARVIO_TARGET_AVX512 TARVIO_INLINE Directions directions(const double* x, const double* y) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d two = _mm512_set1_pd(2.0);
    Directions d;
    const __m512d u = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(x)), one);
    d.v = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(y)), one);
    d.s = _mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(u), _mm512_set1_epi64(INT64_MIN)));  // -u
    // std::max(|u|, |v|) is (|u| < |v|) ? |v| : |u|, which is what the
    // instruction gives with |v| first, not-a-number included.
    d.r = _mm512_max_pd(_mm512_abs_pd(d.v), _mm512_abs_pd(u));
    d.placed = _mm512_cmp_pd_mask(d.r, one, _CMP_LE_OQ);
    return d;
}

// Whether arc `hint` (at least 0) is the arc of all eight frames, with its
// gains then in ga and gb: they are all placed, both its gains are at least
// 0 in every lane, and no arc before it in arc order takes a lane.
//
// An arc before it takes no lane if one of its gains is below 0 in every
// lane: that of the loudspeaker it does not share with arc `hint` (a of the
// arc before, b of arc 0), which only rounding next to the shared one brings
// to 0. Otherwise the full search decides.
TARVIO_TARGET_AVX512 TARVIO_INLINE bool hintHolds(const NarrowLayout& layout, int hint,
                                                  const Directions& d, __m512d& ga, __m512d& gb) {
    const ArcGains h = arcGains(layout, hint, d.v, d.s);
    if ((h.hit & d.placed) != 0xFF)
        return false;
    const __m512d zero = _mm512_setzero_pd();
    __mmask8 before = 0;
    if (hint > 0)
        before =
            _mm512_cmp_pd_mask(gainOf(layout.rows + 4 * (hint - 1), d.v, d.s), zero, _CMP_GE_OQ);
    if (hint == layout.arcs - 1)
        before |= _mm512_cmp_pd_mask(gainOf(layout.rows + 2, d.v, d.s), zero, _CMP_GE_OQ);
    if (before != 0)
        return false;
    ga = h.a;
    gb = h.b;
    return true;
}

// The arc of each of eight frames, written to lanes[0, 8) (-1 for a frame
// left to the per-frame law), with its gains in ga and gb; returns the arc
// of all eight, or -1. The first arc in arc order whose gains are both at
// least 0 wins: the search runs from the last arc, each hit overwriting its
// lanes.
TARVIO_TARGET_AVX512 TARVIO_INLINE int searchArc(const NarrowLayout& layout, const Directions& d,
                                                 __m512d& ga, __m512d& gb, int* lanes) {
    __m512d arc = _mm512_set1_pd(-1.0);
    ga = gb = _mm512_setzero_pd();
    for (int k = layout.arcs - 1; k >= 0; --k) {
        const ArcGains a = arcGains(layout, k, d.v, d.s);
        ga = _mm512_mask_mov_pd(ga, a.hit, a.a);
        gb = _mm512_mask_mov_pd(gb, a.hit, a.b);
        arc = _mm512_mask_mov_pd(arc, a.hit, _mm512_set1_pd(static_cast<double>(k)));
    }
    const __m256i arcs =
        _mm512_cvttpd_epi32(_mm512_mask_mov_pd(_mm512_set1_pd(-1.0), d.placed, arc));
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), arcs);
    const bool same =
        _mm256_movemask_epi8(_mm256_cmpeq_epi32(arcs, _mm256_set1_epi32(lanes[0]))) == -1;
    return same ? lanes[0] : -1;
}

// The gains of eight frames whose pair has the gains ga, gb, at distance r,
// times their samples at mono, into g.
TARVIO_TARGET_AVX512 TARVIO_INLINE void timesSamples(const NarrowLayout& layout, __m512d ga,
                                                     __m512d gb, __m512d r, const double* mono,
                                                     Gains8& g) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
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
}

// The gains of the eight frames at x, y, mono. `hint` is the arc of the
// frame before, or -1, and becomes that of the last frame.
//
// Nothing carries a value from one group to the next, so the roots and
// divisions of successive groups overlap: while the hint holds, the arc
// stays an integer and only a branch depends on the vectors, whereas taking
// it back out of the lanes (a conversion, a move to an integer register and
// a compare, some thirty cycles) would chain every group to the one before.
TARVIO_TARGET_AVX512 inline void gains8(const NarrowLayout& layout, const double* x,
                                        const double* y, const double* mono, int& hint, Gains8& g) {
    const Directions d = directions(x, y);
    __m512d ga, gb;
    g.arc = -1;
    if (hint >= 0 && hintHolds(layout, hint, d, ga, gb))
        g.arc = hint;
    if (g.arc < 0) {
        g.arc = searchArc(layout, d, ga, gb, g.lanes);
        hint = layout.spaced ? g.lanes[7] : -1;
    }
    timesSamples(layout, ga, gb, d.r, mono, g);
}

// The permute indices of the rows of frames in arc `arc` (see rowsInArc),
// in the order the portable kernel writes them. On an octophonic layout
// without unplaced channels lane c of the row of frame i takes apart (i),
// first (4 + i) or second (8 + i) of its half, or (frames 4-7) second
// (8 + i) of all eight; otherwise apart, first, second or zero (12 + i) of
// its half, the same index for frames i and i + 4.
template <bool kEight>
TARVIO_TARGET_AVX512 inline void arcIndices(const NarrowLayout& layout, int arc,
                                            __mmask8 unplacedLanes, __m512i* index) {
    const __mmask8 a = static_cast<__mmask8>(1u << layout.pairs[2 * arc]);
    const __mmask8 b = static_cast<__mmask8>(1u << layout.pairs[2 * arc + 1]);
    __m512i base = _mm512_setzero_si512();
    base = _mm512_mask_set1_epi64(base, unplacedLanes, 12);
    base = _mm512_mask_set1_epi64(base, a, 4);
    base = _mm512_mask_set1_epi64(base, b, 8);
    for (int i = 0; i < 4; ++i)
        index[i] = _mm512_add_epi64(base, _mm512_set1_epi64(i));
    if (kEight) {
        for (int i = 4; i < 8; ++i)
            index[i] = _mm512_mask_set1_epi64(index[i - 4], b, 8 + i);
    }
}

// The rows of a group of eight frames in one arc, on a layout of at most
// eight channels (frameLanes: its channels), straight from the registers.
// lo holds apart and first of frames 0-3, hi those of frames 4-7; the
// second table holds second of all eight frames (kEight) or second and
// zero of the same four, so that one two-table permute makes a row.
template <bool kEight>
TARVIO_TARGET_AVX512 inline void rowsInArc(const Gains8& g, const __m512i* index, int n,
                                           __mmask8 frameLanes, double* o) {
    const __m512d lo = _mm512_insertf64x4(g.apart, _mm512_castpd512_pd256(g.first), 1);
    const __m512d hi = _mm512_shuffle_f64x2(g.apart, g.first, 0xEE);
    if (kEight) {
        for (int i = 0; i < 4; ++i) {
            _mm512_storeu_pd(o + 8 * i, _mm512_permutex2var_pd(lo, index[i], g.second));
            _mm512_storeu_pd(o + 8 * (i + 4), _mm512_permutex2var_pd(hi, index[i + 4], g.second));
        }
        return;
    }
    const __m512d lo2 = _mm512_insertf64x4(g.second, _mm512_castpd512_pd256(g.zero), 1);
    const __m512d hi2 = _mm512_shuffle_f64x2(g.second, g.zero, 0xEE);
    for (int i = 0; i < 4; ++i) {
        const __m512d low = _mm512_permutex2var_pd(lo, index[i], lo2);
        const __m512d high = _mm512_permutex2var_pd(hi, index[i], hi2);
        _mm512_mask_storeu_pd(o + n * i, frameLanes, low);
        _mm512_mask_storeu_pd(o + n * (i + 4), frameLanes, high);
    }
}

// What the rows of a layout need, in locals: the stores to the rows and to
// left[] could otherwise change them, for all the compiler knows.
struct RowLayout {
    const int* pairs;
    const int* unplaced;
    int unplacedCount;
    int channels;
    __mmask8 unplacedLanes;  // the channels without a position among the first eight
    __mmask8 frameLanes;     // the channels of a row of at most eight
    __mmask8 tail;           // the channels after the last eight of a longer row
};

// kEight for a layout of eight channels, all with a position.
template <bool kEight>
TARVIO_TARGET_AVX512 TARVIO_INLINE RowLayout rowLayout(const NarrowLayout& layout) {
    RowLayout rows;
    rows.pairs = layout.pairs;
    rows.unplaced = layout.unplaced;
    rows.unplacedCount = kEight ? 0 : layout.unplacedCount;
    rows.channels = kEight ? 8 : layout.channels;
    unsigned unplacedBits = 0;
    for (int k = 0; k < rows.unplacedCount; ++k)
        unplacedBits |= rows.unplaced[k] < 8 ? 1u << rows.unplaced[k] : 0u;
    const int n = rows.channels;
    rows.unplacedLanes = static_cast<__mmask8>(unplacedBits);
    rows.frameLanes = static_cast<__mmask8>(n >= 8 ? 0xFFu : (1u << n) - 1u);
    rows.tail = static_cast<__mmask8>((1u << (n % 8)) - 1u);
    return rows;
}

// The rows of a group of eight frames, the first of them frame j, one by
// one, each in its own arc (that of the group where it has one); a frame
// without an arc goes to left[]. Returns the new count of left[].
TARVIO_TARGET_AVX512 TARVIO_INLINE int rowsByFrame(const Gains8& g, const RowLayout& rows, int j,
                                                   double* o, int* left, int leftCount) {
    const int n = rows.channels;
    alignas(64) double first[8], second[8], apart[8], zero[8];
    _mm512_store_pd(first, g.first);
    _mm512_store_pd(second, g.second);
    _mm512_store_pd(apart, g.apart);
    _mm512_store_pd(zero, g.zero);
    for (int i = 0; i < 8; ++i, o += n) {
        const int arc = g.arc >= 0 ? g.arc : g.lanes[i];
        if (arc < 0) {
            left[leftCount++] = j + i;
            continue;
        }
        const int a = rows.pairs[2 * arc];
        const int b = rows.pairs[2 * arc + 1];
        __m512d row = _mm512_set1_pd(apart[i]);
        if (n <= 8) {
            row = _mm512_mask_mov_pd(row, rows.unplacedLanes, _mm512_set1_pd(zero[i]));
            row = _mm512_mask_mov_pd(row, static_cast<__mmask8>(1u << a), _mm512_set1_pd(first[i]));
            row =
                _mm512_mask_mov_pd(row, static_cast<__mmask8>(1u << b), _mm512_set1_pd(second[i]));
            _mm512_mask_storeu_pd(o, rows.frameLanes, row);
            continue;
        }
        int ch = 0;
        for (; ch + 8 <= n; ch += 8)
            _mm512_storeu_pd(o + ch, row);
        _mm512_mask_storeu_pd(o + ch, rows.tail, row);
        for (int k = 0; k < rows.unplacedCount; ++k)
            o[rows.unplaced[k]] = zero[i];
        o[a] = first[i];
        o[b] = second[i];
    }
    return leftCount;
}

// The kernel; kEight for a layout of eight channels, all with a position,
// where the rows need no masks.
template <bool kEight>
TARVIO_TARGET_AVX512 int spread(const NarrowLayout& layout, const double* x, const double* y,
                                const double* mono, int frames, double* out, int* left) {
    const RowLayout rows = rowLayout<kEight>(layout);
    const int n = rows.channels;
    int leftCount = 0;
    int hint = -1;
    // The indices of the rows of arc indexArc, kept while the frames stay
    // in it.
    __m512i index[8];
    int indexArc = -1;
    Gains8 g;
    int j = 0;
    for (; j + 8 <= frames; j += 8) {
        gains8(layout, x + j, y + j, mono + j, hint, g);
        double* o = out + static_cast<std::size_t>(j) * n;
        if (n <= 8 && g.arc >= 0) {
            if (g.arc != indexArc) {
                arcIndices<kEight>(layout, g.arc, rows.unplacedLanes, index);
                indexArc = g.arc;
            }
            rowsInArc<kEight>(g, index, n, rows.frameLanes, o);
            continue;
        }
        leftCount = rowsByFrame(g, rows, j, o, left, leftCount);
    }
    return spreadRest_portable(layout, x, y, mono, j, frames, out, left, leftCount);
}

}  // namespace

TARVIO_TARGET_AVX512 int narrowSpread_avx512(const NarrowLayout& layout, const double* x,
                                             const double* y, const double* mono, int frames,
                                             double* out, int* left) {
    if (layout.channels == 8 && layout.unplacedCount == 0)
        return spread<true>(layout, x, y, mono, frames, out, left);
    return spread<false>(layout, x, y, mono, frames, out, left);
}

TARVIO_AVX512_END

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
