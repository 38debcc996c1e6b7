// SPDX-License-Identifier: MIT
// The AVX2 block kernel of vbap on wide layouts: the AVX-512 kernel's
// steps (see VbapWideKernelsAvx512.cpp) on four frames per vector, in one
// pass.
#include "engine/laws/VbapKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX2)
#include <algorithm>
#include <cstddef>

namespace tarvio {
namespace laws {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTurn = 2.0 * kPi;

// Four frames' points (u, v), r, the lanes inside the square but not at
// its middle, and the azimuth, approximately, in [0, 2 pi), as in the
// AVX-512 kernel.
struct Points {
    __m256d u, v, r, azimuth, placed;
};

// The direction of four frames as directionOf gives it.
struct Directions {
    __m256d cos, sin, r;
};

TARVIO_TARGET_AVX2 inline __m256d absOf(__m256d a) {
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a);
}

// a where `mask` is false, b where it is true.
TARVIO_TARGET_AVX2 inline __m256d where(__m256d mask, __m256d b, __m256d a) {
    return _mm256_blendv_pd(a, b, mask);
}

// atan2(s, c) within 1.2e-5 radians, in [0, 2 pi), for (c, s) not (0, 0),
// as in the AVX-512 kernel.
TARVIO_TARGET_AVX2 TARVIO_INLINE __m256d azimuthOf(__m256d c, __m256d s) {
    const __m256d ac = absOf(c);
    const __m256d as = absOf(s);
    const __m256d z = _mm256_div_pd(_mm256_min_pd(ac, as), _mm256_max_pd(ac, as));
    const __m256d z2 = _mm256_mul_pd(z, z);
    __m256d p = _mm256_set1_pd(0.0208351);
    p = _mm256_add_pd(_mm256_mul_pd(p, z2), _mm256_set1_pd(-0.0851330));
    p = _mm256_add_pd(_mm256_mul_pd(p, z2), _mm256_set1_pd(0.1801410));
    p = _mm256_add_pd(_mm256_mul_pd(p, z2), _mm256_set1_pd(-0.3302995));
    p = _mm256_add_pd(_mm256_mul_pd(p, z2), _mm256_set1_pd(0.9998660));
    p = _mm256_mul_pd(p, z);
    const __m256d zero = _mm256_setzero_pd();
    p = where(_mm256_cmp_pd(as, ac, _CMP_GT_OQ), _mm256_sub_pd(_mm256_set1_pd(kPi / 2), p), p);
    p = where(_mm256_cmp_pd(c, zero, _CMP_LT_OQ), _mm256_sub_pd(_mm256_set1_pd(kPi), p), p);
    p = where(_mm256_cmp_pd(s, zero, _CMP_LT_OQ), _mm256_sub_pd(zero, p), p);
    return where(_mm256_cmp_pd(p, zero, _CMP_LT_OQ), _mm256_add_pd(p, _mm256_set1_pd(kTurn)), p);
}

TARVIO_TARGET_AVX2 TARVIO_INLINE Points points(const double* x, const double* y) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    Points p;
    p.u = _mm256_sub_pd(_mm256_mul_pd(two, _mm256_loadu_pd(x)), one);
    p.v = _mm256_sub_pd(_mm256_mul_pd(two, _mm256_loadu_pd(y)), one);
    p.r = _mm256_max_pd(absOf(p.v), absOf(p.u));
    p.placed = _mm256_and_pd(_mm256_cmp_pd(p.r, one, _CMP_LE_OQ),
                             _mm256_cmp_pd(p.r, _mm256_setzero_pd(), _CMP_GT_OQ));
    p.azimuth = azimuthOf(p.v, _mm256_xor_pd(p.u, _mm256_set1_pd(-0.0)));
    return p;
}

// The direction of the points, by directionOf's operations.
TARVIO_TARGET_AVX2 TARVIO_INLINE Directions directions(const Points& p) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d length =
        _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(p.u, p.u), _mm256_mul_pd(p.v, p.v)));
    const __m256d away = _mm256_cmp_pd(length, zero, _CMP_GT_OQ);
    Directions d;
    d.cos = where(away, _mm256_div_pd(p.v, length), one);
    // -u / length, the sign of u flipped before the division.
    d.sin = where(away, _mm256_div_pd(_mm256_xor_pd(p.u, _mm256_set1_pd(-0.0)), length), zero);
    d.r = p.r;
    return d;
}

struct PairGains {
    __m256d first, second;
    int arc;
};

TARVIO_TARGET_AVX2 TARVIO_INLINE PairGains pairGains(const WideLayout& layout, int code,
                                                     const Directions& d) {
    const int arcs = layout.arcs;
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    PairGains g;
    if (code >= 2 * arcs) {
        g.arc = layout.gap;
        g.first = code == 2 * arcs ? one : zero;
        g.second = code == 2 * arcs ? zero : one;
        return g;
    }
    g.arc = code >= arcs ? code - arcs : code;
    const __m256d c = code >= arcs ? _mm256_xor_pd(d.cos, _mm256_set1_pd(-0.0)) : d.cos;
    const double* row = layout.rows + 4 * g.arc;
    const __m256d fromA = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(row[0]), c),
                                        _mm256_mul_pd(_mm256_set1_pd(row[1]), d.sin));
    if (layout.halfTurn[g.arc]) {
        const __m256d two = _mm256_set1_pd(2.0);
        const __m256d f = _mm256_min_pd(_mm256_max_pd(fromA, _mm256_set1_pd(-1.0)), one);
        g.first = _mm256_sqrt_pd(_mm256_div_pd(_mm256_add_pd(one, f), two));
        g.second = _mm256_sqrt_pd(_mm256_div_pd(_mm256_sub_pd(one, f), two));
        return g;
    }
    const __m256d fromB = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(row[2]), c),
                                        _mm256_mul_pd(_mm256_set1_pd(row[3]), d.sin));
    const __m256d ga = _mm256_max_pd(fromA, zero);
    const __m256d gb = _mm256_max_pd(fromB, zero);
    const __m256d norm = _mm256_div_pd(
        one, _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(ga, ga), _mm256_mul_pd(gb, gb))));
    g.first = _mm256_mul_pd(ga, norm);
    g.second = _mm256_mul_pd(gb, norm);
    return g;
}

TARVIO_TARGET_AVX2 TARVIO_INLINE __m256d spreadOut(__m256d g, __m256d r2, __m256d spread,
                                                   __m256d apart) {
    const __m256d near =
        _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(r2, g), g), spread));
    return where(_mm256_cmp_pd(g, _mm256_setzero_pd(), _CMP_EQ_OQ), apart, near);
}

// The rows of four frames that all take decision `code`.
TARVIO_TARGET_AVX2 TARVIO_INLINE void groupRows(const WideLayout& layout, int code,
                                                const Directions& d, const double* mono,
                                                double* out) {
    const PairGains g = pairGains(layout, code, d);
    const __m256d r2 = _mm256_mul_pd(d.r, d.r);
    const __m256d spread =
        _mm256_mul_pd(_mm256_sub_pd(_mm256_set1_pd(1.0), r2), _mm256_set1_pd(layout.share));
    const __m256d apart = _mm256_sqrt_pd(spread);
    const __m256d m = _mm256_loadu_pd(mono);
    const __m256d fa = _mm256_mul_pd(spreadOut(g.first, r2, spread, apart), m);
    const __m256d fb = _mm256_mul_pd(spreadOut(g.second, r2, spread, apart), m);
    const int n = layout.channels;
    const int a = layout.pairs[2 * g.arc];
    const int b = layout.pairs[2 * g.arc + 1];
    if (n == 2) {  // the two channels interleaved in registers
        const __m256d left = a == 0 ? fa : fb;
        const __m256d right = a == 0 ? fb : fa;
        const __m256d even = _mm256_unpacklo_pd(left, right);  // frames 0 and 2
        const __m256d odd = _mm256_unpackhi_pd(left, right);   // frames 1 and 3
        _mm256_storeu_pd(out, _mm256_permute2f128_pd(even, odd, 0x20));
        _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(even, odd, 0x31));
        return;
    }
    alignas(32) double first[4], second[4], others[4], zero[4];
    _mm256_store_pd(first, fa);
    _mm256_store_pd(second, fb);
    _mm256_store_pd(others, _mm256_mul_pd(apart, m));
    _mm256_store_pd(zero, _mm256_mul_pd(_mm256_setzero_pd(), m));
    for (int l = 0; l < 4; ++l, out += n) {
        for (int ch = 0; ch < n; ++ch)
            out[ch] = others[l];
        for (int k = 0; k < layout.unplacedCount; ++k)
            out[layout.unplaced[k]] = zero[l];
        out[a] = first[l];
        out[b] = second[l];
    }
}

}  // namespace

TARVIO_TARGET_AVX2 int wideSpread_avx2(const WideLayout& layout, const double* x, const double* y,
                                       const double* mono, int frames, double* out, int* left) {
    const std::size_t n = static_cast<std::size_t>(layout.channels);
    int leftCount = 0;
    int j = 0;
    alignas(32) double azimuths[4];
    WideRun last;
    for (; j + 4 <= frames; j += 4) {
        const Points at = points(x + j, y + j);
        int code = -1;
        if (_mm256_movemask_pd(at.placed) == 0xF) {
            _mm256_store_pd(azimuths, at.azimuth);
            const double low = std::min(std::min(azimuths[0], azimuths[1]),
                                        std::min(azimuths[2], azimuths[3]));
            const double high = std::max(std::max(azimuths[0], azimuths[1]),
                                         std::max(azimuths[2], azimuths[3]));
            code = wideDecision(layout, low, high, azimuths[0], last);
        }
        if (code >= 0) {
            // The gap's nearer loudspeaker takes the sound whatever its
            // direction.
            const Directions d =
                code < 2 * layout.arcs
                    ? directions(at)
                    : Directions{_mm256_setzero_pd(), _mm256_setzero_pd(), at.r};
            groupRows(layout, code, d, mono + j, out + static_cast<std::size_t>(j) * n);
            continue;
        }
        for (int l = 0; l < 4; ++l)
            left[leftCount++] = j + l;
    }
    for (; j < frames; ++j)
        left[leftCount++] = j;
    return leftCount;
}

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX2
