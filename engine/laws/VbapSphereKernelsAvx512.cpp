// SPDX-License-Identifier: MIT
// The AVX-512 form of sphereLanes: the eight frames in the lanes of one
// vector, each lane doing the portable kernel's operations in its order
// (the files are compiled without contraction), the branches as masks.
#include "engine/laws/VbapSphereKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX512)
#include <cfloat>
#include <cstddef>

namespace tarvio {
namespace laws {

TARVIO_AVX512_BEGIN

namespace {

struct Directions {
    __m512d p[3];
    __m512d r;  // the distance on the square
};

TARVIO_TARGET_AVX512 inline __m512d negated(__m512d v) {
    const __m512i sign = _mm512_set1_epi64(static_cast<long long>(0x8000000000000000ULL));
    return _mm512_castsi512_pd(_mm512_xor_epi64(_mm512_castpd_si512(v), sign));
}

TARVIO_TARGET_AVX512 inline __m512d magnitude(__m512d v) {
    const __m512i rest = _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFLL);
    return _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(v), rest));
}

// std::max(a, b): b where a < b, else a.
TARVIO_TARGET_AVX512 inline __m512d largerOf(__m512d a, __m512d b) {
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, b, _CMP_LT_OQ), a, b);
}

TARVIO_TARGET_AVX512 inline Directions directions(const double* x, const double* y, double cosE,
                                                  double sinE) {
    const __m512d one = _mm512_set1_pd(1.0), two = _mm512_set1_pd(2.0);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d u = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(x)), one);
    const __m512d v = _mm512_sub_pd(_mm512_mul_pd(two, _mm512_loadu_pd(y)), one);
    const __m512d length = _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(u, u), _mm512_mul_pd(v, v)));
    const __mmask8 away = _mm512_cmp_pd_mask(length, zero, _CMP_GT_OQ);
    const __m512d c = _mm512_mask_div_pd(one, away, v, length);
    const __m512d s = _mm512_mask_div_pd(zero, away, negated(u), length);
    const __m512d ce = _mm512_set1_pd(cosE);
    Directions d;
    d.r = largerOf(magnitude(u), magnitude(v));
    d.p[0] = _mm512_mul_pd(ce, c);
    d.p[1] = _mm512_mul_pd(ce, s);
    d.p[2] = _mm512_set1_pd(sinE);
    return d;
}

TARVIO_TARGET_AVX512 inline void gainsIn(const SphereTriangle& t, const Directions& d,
                                         __m512d* h) {
    for (int i = 0; i < 3; ++i) {
        const double* row = t.rows + 3 * i;
        h[i] = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(row[0]), d.p[0]),
                                           _mm512_mul_pd(_mm512_set1_pd(row[1]), d.p[1])),
                             _mm512_mul_pd(_mm512_set1_pd(row[2]), d.p[2]));
    }
}

// The lanes whose least gain is at least -kSphereInside.
TARVIO_TARGET_AVX512 inline __mmask8 held(const __m512d* h) {
    const __m512d bound = _mm512_set1_pd(-kSphereInside);
    return _mm512_cmp_pd_mask(h[0], bound, _CMP_GE_OQ) &
           _mm512_cmp_pd_mask(h[1], bound, _CMP_GE_OQ) &
           _mm512_cmp_pd_mask(h[2], bound, _CMP_GE_OQ);
}

// The lanes whose least gain is below -kSphereInside.
TARVIO_TARGET_AVX512 inline __mmask8 notHeld(const __m512d* h) {
    const __m512d bound = _mm512_set1_pd(-kSphereInside);
    return _mm512_cmp_pd_mask(h[0], bound, _CMP_LT_OQ) |
           _mm512_cmp_pd_mask(h[1], bound, _CMP_LT_OQ) |
           _mm512_cmp_pd_mask(h[2], bound, _CMP_LT_OQ);
}

// A root is only taken where some lane uses it: the roots are most of the
// kernel's time, and mostly the lanes' gains are known without one.
TARVIO_TARGET_AVX512 inline __m512d rootOfSquare(__m512d v) {
    const __m512d square = _mm512_mul_pd(v, v);
    const __mmask8 exact = _mm512_cmp_pd_mask(square, _mm512_set1_pd(DBL_MIN), _CMP_GE_OQ) |
                           _mm512_cmp_pd_mask(square, _mm512_setzero_pd(), _CMP_EQ_OQ);
    if (exact == 0xFF)
        return v;
    return _mm512_mask_blend_pd(exact, _mm512_sqrt_pd(square), v);
}

TARVIO_TARGET_AVX512 inline void addCorner(const SphereLayout& s, int point, __m512d gi,
                                           __m512d* gains) {
    const __m512d zero = _mm512_setzero_pd();
    const int ch = s.channel[static_cast<std::size_t>(point)];
    if (ch >= 0) {
        const __m512d had = gains[ch];
        const __mmask8 first = _mm512_cmp_pd_mask(had, zero, _CMP_EQ_OQ);
        const __m512d root =
            first == 0xFF
                ? zero
                : _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(had, had), _mm512_mul_pd(gi, gi)));
        gains[ch] = _mm512_mask_blend_pd(first, root, rootOfSquare(gi));
        return;
    }
    const std::vector<int>& n = s.neighbours[static_cast<std::size_t>(point)];
    const __m512d part =
        _mm512_div_pd(_mm512_mul_pd(gi, gi), _mm512_set1_pd(static_cast<double>(n.size())));
    const __m512d partRoot = _mm512_sqrt_pd(part);
    for (const int k : n) {
        __m512d& g = gains[s.channel[static_cast<std::size_t>(k)]];
        const __m512d square = _mm512_mul_pd(g, g);
        const __m512d sum = _mm512_add_pd(square, part);
        const __mmask8 grows = _mm512_cmp_pd_mask(sum, square, _CMP_NEQ_UQ) |
                               _mm512_cmp_pd_mask(square, _mm512_set1_pd(DBL_MIN), _CMP_LT_OQ);
        const __mmask8 empty = _mm512_cmp_pd_mask(g, zero, _CMP_EQ_OQ);
        const __m512d next = (grows & static_cast<__mmask8>(~empty)) == 0
                                 ? g
                                 : _mm512_mask_blend_pd(grows, g, _mm512_sqrt_pd(sum));
        g = _mm512_mask_blend_pd(empty, next, partRoot);
    }
}

TARVIO_TARGET_AVX512 inline void spreadInward(const SphereLayout& s, __m512d r, __m512d* gains) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d square = _mm512_mul_pd(r, r);
    const __m512d r2 =
        _mm512_mask_blend_pd(_mm512_cmp_pd_mask(square, one, _CMP_LT_OQ), one, square);
    const __m512d spread = _mm512_mul_pd(_mm512_sub_pd(one, r2), _mm512_set1_pd(s.share));
    const __mmask8 edge = _mm512_cmp_pd_mask(r2, one, _CMP_EQ_OQ) &
                          _mm512_cmp_pd_mask(spread, _mm512_setzero_pd(), _CMP_EQ_OQ);
    for (const int ch : s.channel) {
        if (ch < 0)
            continue;
        const __m512d g = gains[ch];
        if (edge == 0xFF) {
            gains[ch] = rootOfSquare(g);
            continue;
        }
        const __m512d full =
            _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(r2, g), g), spread));
        gains[ch] = _mm512_mask_blend_pd(edge, full, edge == 0 ? full : rootOfSquare(g));
    }
}

}  // namespace

TARVIO_TARGET_AVX512 bool sphereLanes_avx512(const SphereLayout& s, int triangle, const double* x,
                                             const double* y, double cosE, double sinE,
                                             const double* mono, int channels, double* out) {
    if (channels > kMaxSpeakers)
        return false;
    const Directions d = directions(x, y, cosE, sinE);
    const SphereTriangle& t = s.triangles[static_cast<std::size_t>(triangle)];
    __m512d h[3];
    gainsIn(t, d, h);
    if (held(h) != 0xFF)
        return false;
    for (const int rival : s.rivals[static_cast<std::size_t>(triangle)]) {
        __m512d other[3];
        gainsIn(s.triangles[static_cast<std::size_t>(rival)], d, other);
        if (notHeld(other) != 0xFF)
            return false;
    }
    const __m512d zero = _mm512_setzero_pd();
    __m512d sum = zero;
    for (__m512d& v : h) {
        v = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(zero, v, _CMP_LT_OQ), zero, v);
        sum = _mm512_add_pd(sum, _mm512_mul_pd(v, v));
    }
    const __m512d norm = _mm512_mask_div_pd(zero, _mm512_cmp_pd_mask(sum, zero, _CMP_GT_OQ),
                                            _mm512_set1_pd(1.0), _mm512_sqrt_pd(sum));
    __m512d gains[kMaxSpeakers];
    for (int ch = 0; ch < channels; ++ch)
        gains[ch] = zero;
    for (int i = 0; i < 3; ++i)
        addCorner(s, t.corner[i], _mm512_mul_pd(h[i], norm), gains);
    spreadInward(s, d.r, gains);
    const __m512d m = _mm512_loadu_pd(mono);
    const __m256i step = _mm256_mullo_epi32(_mm256_set1_epi32(channels),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    for (int ch = 0; ch < channels; ++ch)
        _mm512_i32scatter_pd(out + ch, step, _mm512_mul_pd(gains[ch], m), 8);
    return true;
}

TARVIO_AVX512_END

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
