// SPDX-License-Identifier: MIT
// The SSE2 variant of the 16-bit encoder of doubles (halves away from zero),
// with the bytes and the clip count of s16_from_double_portable. The byte
// order is a shift count of the final byte move, so both orders share one
// loop.
#include "common/Simd.h"
#include "pcm/Kernels.h"

#if defined(TARVIO_HAVE_SSE2)

#include <cstdint>

namespace tarvio::pcm {

// The SSE2 variant takes the steps of roundNarrow (pcm/Encode.cpp) in
// another form that gives the same integers, with fewer instructions per
// sample (the AVX2 and AVX-512 variants take fewer still):
//
// - For c = n + f, with n = trunc(c) and f in (-1, 1) of the sign of c,
//   trunc(2c) = 2n + trunc(2f), and 2c is exact. So
//   trunc(2c) - trunc(c) = n + trunc(2f) = n + 1 where f >= 0.5, n - 1 where
//   f <= -0.5 and n otherwise: rounding with halves away from zero, as
//   roundHalfAway does. A NaN converts to the integer 0x80000000 both times
//   and gives 0.
// - Rounding before clamping gives the same integer as clamping first
//   (the bounds are whole numbers), and packing to 16 bits saturates: the
//   pack clamps. This holds while 2c fits a 32-bit integer, |c| < 2^30.
// - Clipping is rare. Instead of comparing every sample with the clip
//   limits, the loop keeps the smallest and the largest scaled value (a NaN
//   is passed over: it is the first operand of min and max) and count
//   exactly, in a second pass, only when those reach a limit. Where they
//   reach 2^30 (a huge or infinite sample), the piece is converted again,
//   clamped first with max(low, y) and then min(high, y): in that operand
//   order a NaN stays NaN (these instructions return their second operand
//   when one is NaN).
namespace {

// Where a scaled value reaches this far, the piece is converted again with
// clamping: 2c no longer fits a 32-bit integer.
constexpr double kUnclampedLimit = 1073741824.0;  // 2^30

// Two doubles of a 16-bit file, rounded as described above (clamped first
// when `Clamp`); the results are 32-bit integers in the low half. `lowest`
// and `highest` follow the scaled values.
template <bool Clamp>
inline __m128i round16x2(const double* in, __m128d fs, __m128d clamp_low, __m128d clamp_high,
                         __m128d& lowest, __m128d& highest) {
    const __m128d y = _mm_mul_pd(_mm_loadu_pd(in), fs);
    lowest = _mm_min_pd(y, lowest);
    highest = _mm_max_pd(y, highest);
    const __m128d c = Clamp ? _mm_min_pd(clamp_high, _mm_max_pd(clamp_low, y)) : y;
    return _mm_sub_epi32(_mm_cvttpd_epi32(_mm_add_pd(c, c)), _mm_cvttpd_epi32(c));
}

// Converts in[0, n), n a multiple of 8, eight samples at a time.
// `swap` is the shift count of the byte move: 8 swaps the two bytes of each
// value (big-endian), 0 leaves them (little-endian: v | v is v).
template <bool Clamp>
void loop16Sse2(const double* in, std::size_t n, unsigned char* out, const Depth& d, __m128i swap,
                __m128d& lowest, __m128d& highest) {
    const __m128d fs = _mm_set1_pd(d.full_scale);
    const __m128d clamp_low = _mm_set1_pd(d.clamp_low);
    const __m128d clamp_high = _mm_set1_pd(d.clamp_high);
    for (std::size_t i = 0; i < n; i += 8) {
        const __m128i a = round16x2<Clamp>(in + i, fs, clamp_low, clamp_high, lowest, highest);
        const __m128i b = round16x2<Clamp>(in + i + 2, fs, clamp_low, clamp_high, lowest, highest);
        const __m128i c = round16x2<Clamp>(in + i + 4, fs, clamp_low, clamp_high, lowest, highest);
        const __m128i e = round16x2<Clamp>(in + i + 6, fs, clamp_low, clamp_high, lowest, highest);
        // Pack with saturation, then put the bytes of each 16-bit value in
        // the file's order.
        const __m128i v = _mm_packs_epi32(_mm_unpacklo_epi64(a, b), _mm_unpacklo_epi64(c, e));
        const __m128i ordered = _mm_or_si128(_mm_sll_epi16(v, swap), _mm_srl_epi16(v, swap));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), ordered);
    }
}

// Counts the samples of in[0, n) (n even) that clip at 16 bits: the second
// pass, for a piece whose smallest or largest value reached a limit.
std::uint32_t countClips16Sse2(const double* in, std::size_t n, const Depth& d) {
    const __m128d fs = _mm_set1_pd(d.full_scale);
    const __m128d clip_low = _mm_set1_pd(d.clip_low);
    const __m128d clip_high = _mm_set1_pd(d.clip_high);
    __m128i clips = _mm_setzero_si128();  // -1 for each clipped sample
    for (std::size_t i = 0; i < n; i += 2) {
        const __m128d y = _mm_mul_pd(_mm_loadu_pd(in + i), fs);
        clips = _mm_add_epi64(clips, _mm_castpd_si128(_mm_cmple_pd(y, clip_low)));
        clips = _mm_add_epi64(clips, _mm_castpd_si128(_mm_cmpge_pd(y, clip_high)));
    }
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), clips);
    return static_cast<std::uint32_t>(-(lanes[0] + lanes[1]));
}

// The bulk of a 16-bit conversion of doubles, eight samples at a time.
// Returns how many samples it converted (a multiple of 8; the caller does the
// rest) and adds the clipped ones to `clipped`.
std::size_t bulkDouble16Sse2(const double* in, std::size_t n, unsigned char* out, const Depth& d,
                             ByteOrder order, std::uint32_t& clipped) {
    int shift = 0;
    switch (order) {
        case ByteOrder::Big:
            shift = 8;
            break;
        case ByteOrder::Little:
            shift = 0;
            break;
    }
    const __m128i swap = _mm_cvtsi32_si128(shift);
    __m128d lowest = _mm_setzero_pd();
    __m128d highest = _mm_setzero_pd();
    const std::size_t bulk = n - n % 8;
    loop16Sse2<false>(in, bulk, out, d, swap, lowest, highest);
    const __m128d reached = _mm_or_pd(_mm_cmple_pd(lowest, _mm_set1_pd(d.clip_low)),
                                      _mm_cmpge_pd(highest, _mm_set1_pd(d.clip_high)));
    if (_mm_movemask_pd(reached) != 0) {
        const __m128d far = _mm_or_pd(_mm_cmple_pd(lowest, _mm_set1_pd(-kUnclampedLimit)),
                                      _mm_cmpge_pd(highest, _mm_set1_pd(kUnclampedLimit)));
        if (_mm_movemask_pd(far) != 0)
            loop16Sse2<true>(in, bulk, out, d, swap, lowest, highest);
        clipped += countClips16Sse2(in, bulk, d);
    }
    return bulk;
}

}  // namespace

std::uint32_t s16_from_double_sse2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order) {
    std::uint32_t clipped = 0;
    const std::size_t done = bulkDouble16Sse2(in, n, out, depthOf<16>(), order, clipped);
    return clipped + s16_from_double_portable(in + done, n - done, out + 2 * done, order);
}

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_SSE2
