// SPDX-License-Identifier: MIT
// The AVX-512 block kernel of vbap on wide layouts (see WideLayout in
// VbapKernels.h): eight frames per vector. The direction moves slowly, so
// the approximate azimuths of a group of eight frames span a narrow
// interval; where no bound of the decisions of the per-frame law (the arc
// of the direction, its mirror's where it falls in the gap, the gap's
// nearer loudspeaker) lies within kWideMargin of it, every frame of the
// group takes the decisions of any one of them, worked out once. The gains
// then come from the per-frame law's operations in its order, eight frames
// at a time. A group near a bound, or with a frame off the square, is left
// whole to the per-frame law. A first pass works out the points and
// decisions of a run of groups, a second their directions (where the gains
// need them), gains and rows.
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

// Eight frames' points (u, v) on the square, seen from its middle; r =
// max(|u|, |v|) as directionOf gives it; the lanes inside the square but
// not at its middle; and the azimuth of the direction, approximately, in
// [0, 2 pi).
struct Points {
    __m512d u, v, r, azimuth;
    __mmask8 placed;
};

// The direction of eight frames as directionOf gives it.
struct Directions {
    __m512d cos, sin, r;
};

// atan2(s, c) within 1.2e-5 radians, in [0, 2 pi), for (c, s) not (0, 0): the
// arctangent of the smaller over the larger of |c| and |s| by the
// polynomial of Abramowitz and Stegun (4.4.49), folded into its octant.
// The quotient comes from the approximate reciprocal (within 2^-14) and a
// step of Newton's (within about 2^-28), not the divider, which the gains
// keep busy.
TARVIO_TARGET_AVX512 TARVIO_INLINE __m512d azimuthOf(__m512d c, __m512d s) {
    const __m512d ac = _mm512_abs_pd(c);
    const __m512d as = _mm512_abs_pd(s);
    const __m512d larger = _mm512_max_pd(ac, as);
    const __m512d guess = _mm512_rcp14_pd(larger);
    const __m512d inverse = _mm512_mul_pd(
        guess, _mm512_sub_pd(_mm512_set1_pd(2.0), _mm512_mul_pd(larger, guess)));
    const __m512d z = _mm512_mul_pd(_mm512_min_pd(ac, as), inverse);
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

TARVIO_TARGET_AVX512 inline __m512d negated(__m512d a) {
    return _mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MIN)));
}

// The azimuth of (cos, sin) = (v, -u) / length is that of (v, -u): the
// direction itself is worked out only for the groups whose gains need it.
TARVIO_TARGET_AVX512 TARVIO_INLINE Points points(const double* x, const double* y) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d two = _mm512_set1_pd(2.0);
    Points p;
    p.u = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(x)), one);
    p.v = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(y)), one);
    // std::max(|u|, |v|), as in the narrow kernels.
    p.r = _mm512_max_pd(_mm512_abs_pd(p.v), _mm512_abs_pd(p.u));
    p.placed = _mm512_cmp_pd_mask(p.r, one, _CMP_LE_OQ) &
               _mm512_cmp_pd_mask(p.r, _mm512_setzero_pd(), _CMP_GT_OQ);
    p.azimuth = azimuthOf(p.v, negated(p.u));
    return p;
}

// The direction of the points (u, v), by directionOf's operations.
TARVIO_TARGET_AVX512 TARVIO_INLINE Directions directions(__m512d u, __m512d v, __m512d r) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d length = _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(u, u), _mm512_mul_pd(v, v)));
    const __mmask8 away = _mm512_cmp_pd_mask(length, zero, _CMP_GT_OQ);
    Directions d;
    d.cos = _mm512_mask_div_pd(one, away, v, length);
    // -u / length, the sign of u flipped before the division.
    d.sin = _mm512_mask_div_pd(zero, away, negated(u), length);
    d.r = r;
    return d;
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
    const __m512d c = code >= arcs ? negated(d.cos) : d.cos;
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

// The channel `ch` of eight rows whose pair is (a, b): the pair's gains,
// 0 times the sample for a channel without a position, else the share of
// the loudspeakers outside the pair.
TARVIO_TARGET_AVX512 TARVIO_INLINE __m512d channelOf(const WideLayout& layout, int ch, int a,
                                                     int b, const __m512d (&gains)[4]) {
    if (ch == a)
        return gains[0];
    if (ch == b)
        return gains[1];
    for (int k = 0; k < layout.unplacedCount; ++k) {
        if (layout.unplaced[k] == ch)
            return gains[3];
    }
    return gains[2];
}

// The rows of eight frames that all take decision `code`: two channels
// interleaved in registers, more scattered channel by channel.
TARVIO_TARGET_AVX512 TARVIO_INLINE void groupRows(const WideLayout& layout, int code,
                                                  const Directions& d, const double* mono,
                                                  double* out) {
    const PairGains g = pairGains(layout, code, d);
    const __m512d m = _mm512_loadu_pd(mono);
    const __m512d zero = _mm512_setzero_pd();
    // The pair's first and second loudspeaker, the others, those without a
    // position.
    __m512d gains[4];
    if (_mm512_cmp_pd_mask(d.r, _mm512_set1_pd(1.0), _CMP_EQ_OQ) == 0xFF) {
        // On the edge the spread is 0, so is sqrt(spread), and
        // sqrt(1 g g + 0) is g: the root of a double's rounded square is
        // the double, for any square that does not underflow (a gain above
        // 1e-154; those of a direction kWideMargin from every edge are above
        // 1e-5).
        gains[0] = _mm512_mul_pd(g.first, m);
        gains[1] = _mm512_mul_pd(g.second, m);
        gains[2] = gains[3] = _mm512_mul_pd(zero, m);
    } else {
        const __m512d r2 = _mm512_mul_pd(d.r, d.r);
        const __m512d spread =
            _mm512_mul_pd(_mm512_sub_pd(_mm512_set1_pd(1.0), r2), _mm512_set1_pd(layout.share));
        const __m512d apart = _mm512_sqrt_pd(spread);
        gains[0] = _mm512_mul_pd(spreadOut(g.first, r2, spread, apart), m);
        gains[1] = _mm512_mul_pd(spreadOut(g.second, r2, spread, apart), m);
        gains[2] = _mm512_mul_pd(apart, m);
        gains[3] = _mm512_mul_pd(zero, m);
    }
    const int n = layout.channels;
    const int a = layout.pairs[2 * g.arc];
    const int b = layout.pairs[2 * g.arc + 1];
    if (n == 2) {
        const __m512d left = a == 0 ? gains[0] : gains[1];
        const __m512d right = a == 0 ? gains[1] : gains[0];
        const __m512i low = _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11);
        const __m512i high = _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15);
        _mm512_storeu_pd(out, _mm512_permutex2var_pd(left, low, right));
        _mm512_storeu_pd(out + 8, _mm512_permutex2var_pd(left, high, right));
        return;
    }
    const __m512i rows = _mm512_setr_epi64(0, n, 2 * n, 3 * n, 4 * n, 5 * n, 6 * n, 7 * n);
    for (int ch = 0; ch < n; ++ch)
        _mm512_i64scatter_pd(out + ch, rows, channelOf(layout, ch, a, b, gains), 8);
}

// Frames whose decisions the first pass works out before the second
// writes their rows: with no branch between its groups, the first pass
// overlaps the long chain of each group's operations with the next ones'.
constexpr int kPass = 256;

// What the first pass keeps of each frame, its point, and of each group,
// its decision (-1: left to the per-frame law).
struct Pass {
    alignas(64) double u[kPass];
    alignas(64) double v[kPass];
    alignas(64) double r[kPass];
    int code[kPass / 8];
};

TARVIO_TARGET_AVX512 void passDecisions(const WideLayout& layout, const double* x,
                                        const double* y, int groups, Pass& p) {
    WideRun last;
    for (int g = 0, j = 0; g < groups; ++g, j += 8) {
        const Points at = points(x + j, y + j);
        _mm512_store_pd(p.u + j, at.u);
        _mm512_store_pd(p.v + j, at.v);
        _mm512_store_pd(p.r + j, at.r);
        p.code[g] = at.placed == 0xFF
                        ? wideDecision(layout, _mm512_reduce_min_pd(at.azimuth),
                                       _mm512_reduce_max_pd(at.azimuth),
                                       _mm_cvtsd_f64(_mm512_castpd512_pd128(at.azimuth)), last)
                        : -1;
    }
}

}  // namespace

TARVIO_TARGET_AVX512 int wideSpread_avx512(const WideLayout& layout, const double* x,
                                           const double* y, const double* mono, int frames,
                                           double* out, int* left) {
    const std::size_t n = static_cast<std::size_t>(layout.channels);
    int leftCount = 0;
    Pass p;
    int j0 = 0;
    for (; j0 + 8 <= frames; j0 += kPass) {
        const int groups = (frames - j0 < kPass ? frames - j0 : kPass) / 8;
        passDecisions(layout, x + j0, y + j0, groups, p);
        for (int g = 0, j = 0; g < groups; ++g, j += 8) {
            const int code = p.code[g];
            if (code >= 0) {
                const __m512d r = _mm512_load_pd(p.r + j);
                // The gap's nearer loudspeaker takes the sound whatever its
                // direction.
                const Directions d =
                    code < 2 * layout.arcs
                        ? directions(_mm512_load_pd(p.u + j), _mm512_load_pd(p.v + j), r)
                        : Directions{_mm512_setzero_pd(), _mm512_setzero_pd(), r};
                groupRows(layout, code, d, mono + j0 + j,
                          out + static_cast<std::size_t>(j0 + j) * n);
                continue;
            }
            for (int l = 0; l < 8; ++l)
                left[leftCount++] = j0 + j + l;
        }
    }
    for (int j = frames - frames % 8; j < frames; ++j)
        left[leftCount++] = j;
    return leftCount;
}

TARVIO_AVX512_END

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
