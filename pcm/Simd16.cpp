// SPDX-License-Identifier: MIT
// The vector variants of the 16-bit encoder of doubles (halves away from
// zero): SSE2, AVX2 and AVX-512 (F, BW and VBMI). Each gives the bytes and
// the clip count of s16_from_double_portable. The byte order is a constant of
// the final byte move (a shift count for SSE2, a shuffle or permutation index
// for AVX2 and AVX-512), so both orders share one loop.
#include "pcm/Kernels.h"

#include <cstdint>
#include <limits>

#if defined(TARVIO_HAVE_SSE2)
#include <emmintrin.h>
#endif
#if defined(TARVIO_HAVE_AVX2)
// GCC 12 takes the self-initialised "undefined" registers inside the AVX-512
// intrinsics for uninitialised variables when they are inlined (fixed in
// GCC 13); the warning points into the header, so it is silenced there and
// around the AVX-512 functions below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
#if defined(TARVIO_HAVE_AVX512)
// The features the AVX-512 variant is built for (cpu::Isa::Avx512Vbmi).
#define TARVIO_AVX512_TARGET "avx512f,avx512bw,avx512vbmi"
#endif

namespace tarvio::pcm {

#if defined(TARVIO_HAVE_SSE2)
namespace {

// The 16-bit depth the kernels encode to.
const Depth& depth16() {
    static const Depth d = Depth::forBits(16);
    return d;
}

}  // namespace
#endif

// The SSE2 variant takes the steps of roundNarrow (pcm/Encode.cpp) in another form that
// gives the same integers, with fewer instructions per sample (the AVX2 and
// AVX-512 variants, further down, take fewer still):
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
#if defined(TARVIO_HAVE_SSE2)
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
void loop16Sse2(const double* in, std::size_t n, unsigned char* out, const Depth& d,
                __m128i swap, __m128d& lowest, __m128d& highest) {
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
    const std::size_t done = bulkDouble16Sse2(in, n, out, depth16(), order, clipped);
    return clipped + s16_from_double_portable(in + done, n - done, out + 2 * done, order);
}
#endif

#if defined(TARVIO_HAVE_AVX2)
// The AVX2 and AVX-512 variants need one truncating conversion per sample,
// where the SSE2 one needs two, and no clamping, no NaN test and no second
// pass over the samples that do not clip. They check groups of 32 samples,
// and nothing carries over from one group to the next.
//
// - A sample x is scaled as y = x * full_scale. The loops take
//   x * (2 full_scale), which is exactly 2y: scaling by 2 commutes with
//   rounding unless the product overflows (an infinity, which is caught
//   below) or is subnormal (|y| < 2^-1021, where both truncate to 0).
// - t = trunc(2y), a 32-bit integer. For y = n + f with n = trunc(y) and f
//   in (-1, 1) of the sign of y, t = 2n + trunc(2f), where trunc(2f) is 1
//   for f >= 0.5, -1 for f <= -0.5 and 0 otherwise. So for t > 0,
//   (t + 1) >> 1 is n + 1 if f >= 0.5 and n otherwise; for t <= 0, the
//   arithmetic shift t >> 1 rounds towards minus infinity and gives n - 1 if
//   f <= -0.5 and n otherwise. Together, r = (t + (t > 0)) >> 1 rounds y to
//   the nearest integer with halves away from zero, as roundHalfAway does.
// - The clip limits are halfway points, so 2 clip_high = 65535 and
//   2 clip_low = -65537 are whole numbers, and y >= clip_high exactly when
//   t >= 65535, y <= clip_low exactly when t <= -65537. A NaN, an infinity
//   and any 2y beyond the 32-bit range convert to INT32_MIN, which lies below
//   -65537 as well. So where every t of a group of samples lies in
//   [-65536, 65534], none of them is NaN or clips, clamping could only move
//   y within (32767, 32767.5) or (-32768.5, -32768), which rounds to the same
//   bound, and r is the 16-bit value roundNarrow gives.
// - A group with a t outside that range is converted again the way
//   roundNarrow does it: count the clips on y (a NaN compares false), clamp
//   y to [clamp_low, clamp_high], so that 2c fits a 32-bit integer, round the
//   clamped value c as above, and give a NaN 0 by masking its conversion.
//   The AVX-512 variant does so for every such group, the AVX2 variant only
//   where the next point does not apply.
// - The AVX2 variant packs r to 16 bits with saturation, which spares most
//   groups that clip the second conversion. INT32_MIN stands for a NaN, an
//   infinity and any 2y beyond the 32-bit range (and for 2y in
//   (-2^31 - 1, -2^31]), and INT32_MAX is where t + 1 wraps around. Every
//   other t is trunc(2y) of a finite 2y, so the t outside
//   [-65536, 65534] are exactly the samples that clip, and for them
//   t >= 65535 gives r >= 32768 and t <= -65537 gives r <= -32769, which the
//   pack turns into 32767 and -32768: the bounds roundNarrow clamps such y
//   to. So a group with neither INT32_MIN nor INT32_MAX among its t has its
//   clips counted from t and is converted no further.

namespace {

// The t = trunc(2y) of a 16-bit file that are not NaN and do not clip:
// [lowest, lowest + span].
struct UnclippedT {
    std::int32_t lowest;  // -65536
    std::int32_t span;    // 65534 - lowest
};

inline UnclippedT unclippedT(const Depth& d) {
    const auto lowest = static_cast<std::int32_t>(2.0 * d.clip_low) + 1;    // -65536
    const auto highest = static_cast<std::int32_t>(2.0 * d.clip_high) - 1;  // 65534
    return {lowest, highest - lowest};
}

namespace avx2 {

// Everything the loop keeps in registers. The second conversion compares and
// clamps 2y, the product the loop takes, with the limits doubled: doubling is
// exact for the limits and the clamped values (whole numbers below 2^17) and
// keeps the outcome of every comparison, so this is the same as clamping y
// and doubling it.
struct Constants {
    __m256d twice_fs, twice_clamp_low, twice_clamp_high, twice_clip_low, twice_clip_high;
    __m256i lowest_t;  // the smallest t that does not clip, its sign bit flipped
    __m256i t_span;    // the largest that does not clip minus the smallest, sign bit flipped
    __m256i order_bytes;  // puts the two bytes of every 16-bit value in the file's order
};

__attribute__((target("avx2"))) inline Constants constantsFor(const Depth& d, ByteOrder order) {
    Constants k;
    k.twice_fs = _mm256_set1_pd(2.0 * d.full_scale);
    k.twice_clamp_low = _mm256_set1_pd(2.0 * d.clamp_low);
    k.twice_clamp_high = _mm256_set1_pd(2.0 * d.clamp_high);
    k.twice_clip_low = _mm256_set1_pd(2.0 * d.clip_low);
    k.twice_clip_high = _mm256_set1_pd(2.0 * d.clip_high);
    const UnclippedT range = unclippedT(d);
    const __m256i sign = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::min());
    k.lowest_t = _mm256_xor_si256(_mm256_set1_epi32(range.lowest), sign);
    k.t_span = _mm256_xor_si256(_mm256_set1_epi32(range.span), sign);
    // Big-endian swaps the two bytes of each value; little-endian keeps them.
    k.order_bytes = _mm256_setzero_si256();
    switch (order) {
        case ByteOrder::Big:
            k.order_bytes = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14,
                                             1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
            break;
        case ByteOrder::Little:
            k.order_bytes = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                             0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
            break;
    }
    return k;
}

// t = trunc(2y) of four samples, without any test.
__attribute__((target("avx2"))) inline __m128i twiceTrunc(const double* in, const Constants& k) {
    return _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(in), k.twice_fs));
}

// t of four samples the way roundNarrow takes them: clips counted, clamped,
// NaN made 0.
__attribute__((target("avx2"))) inline __m128i twiceTruncClamped(const double* in,
                                                                 const Constants& k,
                                                                 std::uint32_t& clipped) {
    const __m256d y2 = _mm256_mul_pd(_mm256_loadu_pd(in), k.twice_fs);
    // No sample lies beyond both limits: one mask counts both.
    const __m256d clip = _mm256_or_pd(_mm256_cmp_pd(y2, k.twice_clip_low, _CMP_LE_OQ),
                                      _mm256_cmp_pd(y2, k.twice_clip_high, _CMP_GE_OQ));
    clipped += static_cast<std::uint32_t>(__builtin_popcount(_mm256_movemask_pd(clip)));
    // A NaN becomes the low limit here (max and min return their second
    // operand when one is NaN); the mask makes it +0.0, which converts to 0.
    const __m256d c2 = _mm256_min_pd(_mm256_max_pd(y2, k.twice_clamp_low), k.twice_clamp_high);
    return _mm256_cvttpd_epi32(_mm256_and_pd(c2, _mm256_cmp_pd(y2, y2, _CMP_ORD_Q)));
}

// Eight t: the four of `low` in the low 128-bit half, those of `high` in the
// high one.
__attribute__((target("avx2"))) inline __m256i join(__m128i low, __m128i high) {
    return _mm256_set_m128i(high, low);
}

// Sixteen 32-bit values (t, or a mask) of sixteen samples, in the order the
// pack in store16 takes them: samples 0-3 and 8-11 in `a`, 4-7 and 12-15 in
// `b`.
struct Sixteen {
    __m256i a, b;
};

__attribute__((target("avx2"))) inline Sixteen twiceTrunc16(const double* in, const Constants& k) {
    return {join(twiceTrunc(in, k), twiceTrunc(in + 8, k)),
            join(twiceTrunc(in + 4, k), twiceTrunc(in + 12, k))};
}

__attribute__((target("avx2"))) inline Sixteen twiceTruncClamped16(const double* in,
                                                                   const Constants& k,
                                                                   std::uint32_t& clipped) {
    return {join(twiceTruncClamped(in, k, clipped), twiceTruncClamped(in + 8, k, clipped)),
            join(twiceTruncClamped(in + 4, k, clipped), twiceTruncClamped(in + 12, k, clipped))};
}

// -1 in each lane of eight t that lies outside [lowest, lowest + span]: the
// unsigned comparison (t - lowest) > span. AVX2 compares only signed
// integers, and an unsigned comparison is the signed one of both sides with
// their sign bits flipped; flipping the sign bit of t - lowest adds 2^31
// modulo 2^32, as subtracting lowest with its sign bit flipped does. So the
// constants carry the flipped bits, and it is one subtraction and one
// comparison.
__attribute__((target("avx2"))) inline __m256i outside(__m256i t, const Constants& k) {
    return _mm256_cmpgt_epi32(_mm256_sub_epi32(t, k.lowest_t), k.t_span);
}

// The outside() of sixteen t.
__attribute__((target("avx2"))) inline Sixteen outside16(Sixteen t, const Constants& k) {
    return {outside(t.a, k), outside(t.b, k)};
}

// -1 in each lane of eight t that is INT32_MIN or INT32_MAX: a sample that
// the pack cannot be left to clamp.
__attribute__((target("avx2"))) inline __m256i unpackable(__m256i t) {
    using Limits = std::numeric_limits<std::int32_t>;
    return _mm256_or_si256(_mm256_cmpeq_epi32(t, _mm256_set1_epi32(Limits::min())),
                           _mm256_cmpeq_epi32(t, _mm256_set1_epi32(Limits::max())));
}

// Whether any of the 32 lanes of two masks is set.
__attribute__((target("avx2"))) inline bool any(Sixteen low, Sixteen high) {
    const __m256i all =
        _mm256_or_si256(_mm256_or_si256(low.a, low.b), _mm256_or_si256(high.a, high.b));
    return !_mm256_testz_si256(all, all);
}

// r = (t + (t > 0)) >> 1: rounded with halves away from zero. The comparison
// gives -1 where t > 0.
__attribute__((target("avx2"))) inline __m256i halveAway(__m256i t) {
    const __m256i positive = _mm256_cmpgt_epi32(t, _mm256_setzero_si256());
    return _mm256_srai_epi32(_mm256_sub_epi32(t, positive), 1);
}

// Sixteen r as 32 bytes. The pack saturates to 16 bits, which changes only
// the r of samples that clip; it works within each 128-bit half, which puts
// the samples back in order, and the shuffle puts each value's bytes in the
// file's order.
__attribute__((target("avx2"))) inline void store16(Sixteen t, unsigned char* out,
                                                    const Constants& k) {
    const __m256i v = _mm256_packs_epi32(halveAway(t.a), halveAway(t.b));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_shuffle_epi8(v, k.order_bytes));
}

// The bulk of a 16-bit conversion of doubles, 32 samples at a time. Returns
// how many samples it converted (a multiple of 32; the caller does the rest)
// and adds the clipped ones to `clipped`.
__attribute__((target("avx2"))) std::size_t bulkDouble16(const double* in, std::size_t n,
                                                         unsigned char* out, const Depth& d,
                                                         ByteOrder order,
                                                         std::uint32_t& clipped) {
    const Constants k = constantsFor(d, order);
    __m256i clips = _mm256_setzero_si256();  // -1 for each clipped sample counted from t
    const std::size_t bulk = n - n % 32;
    for (std::size_t i = 0; i < bulk; i += 32) {
        Sixteen low = twiceTrunc16(in + i, k);
        Sixteen high = twiceTrunc16(in + i + 16, k);
        const Sixteen low_outside = outside16(low, k);
        const Sixteen high_outside = outside16(high, k);
        if (any(low_outside, high_outside)) {
            if (any({unpackable(low.a), unpackable(low.b)},
                    {unpackable(high.a), unpackable(high.b)})) {
                low = twiceTruncClamped16(in + i, k, clipped);
                high = twiceTruncClamped16(in + i + 16, k, clipped);
            } else {
                clips = _mm256_add_epi32(clips, _mm256_add_epi32(low_outside.a, low_outside.b));
                clips = _mm256_add_epi32(clips, _mm256_add_epi32(high_outside.a, high_outside.b));
            }
        }
        store16(low, out + 2 * i, k);
        store16(high, out + 2 * i + 32, k);
    }
    alignas(32) std::int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), clips);
    for (const std::int32_t lane : lanes)
        clipped -= static_cast<std::uint32_t>(lane);
    return bulk;
}

}  // namespace avx2
}  // namespace

// The rest after the 32-wide bulk (fewer than 32 samples) goes through the
// SSE2 variant.
std::uint32_t s16_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order) {
    std::uint32_t clipped = 0;
    const std::size_t done = avx2::bulkDouble16(in, n, out, depth16(), order, clipped);
    return clipped + s16_from_double_sse2(in + done, n - done, out + 2 * done, order);
}
#endif

#if defined(TARVIO_HAVE_AVX512)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The AVX-512 variant takes the steps described before the AVX2 one, with
// sixteen t to a vector and one unsigned comparison to check them. Its
// permutation of bytes does not saturate, so every group with a t outside
// the range is converted again.
namespace {
namespace avx512 {

// Everything the loop keeps in registers.
struct Constants {
    __m512d twice_fs, fs, clamp_low, clamp_high, clip_low, clip_high;
    __m512i lowest_t;  // the smallest t that does not clip
    __m512i t_span;    // the largest that does not clip, minus lowest_t
    __m512i order_bytes;  // the permutation that takes the 16-bit values in the file's order
};

__attribute__((target(TARVIO_AVX512_TARGET))) inline Constants constantsFor(const Depth& d,
                                                                          ByteOrder order) {
    Constants k;
    k.twice_fs = _mm512_set1_pd(2.0 * d.full_scale);
    k.fs = _mm512_set1_pd(d.full_scale);
    k.clamp_low = _mm512_set1_pd(d.clamp_low);
    k.clamp_high = _mm512_set1_pd(d.clamp_high);
    k.clip_low = _mm512_set1_pd(d.clip_low);
    k.clip_high = _mm512_set1_pd(d.clip_high);
    const UnclippedT range = unclippedT(d);
    k.lowest_t = _mm512_set1_epi32(range.lowest);
    k.t_span = _mm512_set1_epi32(range.span);
    // Bytes 2j and 2j + 1 of the output are bytes 0 and 1 of the j-th 32-bit
    // value of the two sources taken as one table of 128 bytes: the low 16
    // bits of each value, byte 1 first for big-endian, byte 0 first for
    // little-endian.
    int first = 0;
    switch (order) {
        case ByteOrder::Big:
            first = 1;
            break;
        case ByteOrder::Little:
            first = 0;
            break;
    }
    alignas(64) unsigned char index[64];
    for (int j = 0; j < 32; ++j) {
        index[2 * j] = static_cast<unsigned char>(4 * j + first);
        index[2 * j + 1] = static_cast<unsigned char>(4 * j + 1 - first);
    }
    k.order_bytes = _mm512_load_si512(index);
    return k;
}

// t = trunc(2y) of eight samples, without any test.
__attribute__((target(TARVIO_AVX512_TARGET))) inline __m256i twiceTrunc(const double* in,
                                                                        const Constants& k) {
    return _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_loadu_pd(in), k.twice_fs));
}

// t of eight samples the way roundNarrow takes them: clips counted, clamped,
// NaN made 0.
__attribute__((target(TARVIO_AVX512_TARGET))) inline __m256i twiceTruncClamped(
    const double* in, const Constants& k, std::uint32_t& clipped) {
    const __m512d y = _mm512_mul_pd(_mm512_loadu_pd(in), k.fs);
    const __mmask8 below = _mm512_cmp_pd_mask(y, k.clip_low, _CMP_LE_OQ);
    const __mmask8 above = _mm512_cmp_pd_mask(y, k.clip_high, _CMP_GE_OQ);
    clipped += static_cast<std::uint32_t>(__builtin_popcount(below) + __builtin_popcount(above));
    // A NaN becomes clamp_low here (max and min return their second operand
    // when one is NaN); the masked conversion below makes it 0.
    const __m512d c = _mm512_min_pd(_mm512_max_pd(y, k.clamp_low), k.clamp_high);
    const __mmask8 number = _mm512_cmp_pd_mask(y, y, _CMP_ORD_Q);
    return _mm512_maskz_cvttpd_epi32(number, _mm512_add_pd(c, c));
}

// Sixteen t, from the eight of `low` and the eight of `high`.
__attribute__((target(TARVIO_AVX512_TARGET))) inline __m512i join(__m256i low, __m256i high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

// Whether any of sixteen t lies outside [lowest_t, lowest_t + t_span]: one
// unsigned comparison of the distance from lowest_t.
__attribute__((target(TARVIO_AVX512_TARGET))) inline __mmask16 outside(__m512i t,
                                                                       const Constants& k) {
    return _mm512_cmpgt_epu32_mask(_mm512_sub_epi32(t, k.lowest_t), k.t_span);
}

// r = (t + (t > 0)) >> 1: rounded with halves away from zero.
__attribute__((target(TARVIO_AVX512_TARGET))) inline __m512i halveAway(__m512i t) {
    const __mmask16 positive = _mm512_cmpgt_epi32_mask(t, _mm512_setzero_si512());
    return _mm512_srai_epi32(_mm512_mask_add_epi32(t, positive, t, _mm512_set1_epi32(1)), 1);
}

// The bulk of a 16-bit conversion of doubles, 32 samples at a time. Returns
// how many samples it converted (a multiple of 32; the caller does the rest)
// and adds the clipped ones to `clipped`.
__attribute__((target(TARVIO_AVX512_TARGET))) std::size_t bulkDouble16(
    const double* in, std::size_t n, unsigned char* out, const Depth& d, ByteOrder order,
    std::uint32_t& clipped) {
    const Constants k = constantsFor(d, order);
    const std::size_t bulk = n - n % 32;
    for (std::size_t i = 0; i < bulk; i += 32) {
        __m512i a = join(twiceTrunc(in + i, k), twiceTrunc(in + i + 8, k));
        __m512i b = join(twiceTrunc(in + i + 16, k), twiceTrunc(in + i + 24, k));
        if ((outside(a, k) | outside(b, k)) != 0) {
            a = join(twiceTruncClamped(in + i, k, clipped),
                     twiceTruncClamped(in + i + 8, k, clipped));
            b = join(twiceTruncClamped(in + i + 16, k, clipped),
                     twiceTruncClamped(in + i + 24, k, clipped));
        }
        // Every r fits 16 bits here; their low two bytes, in the file's
        // order, are the output.
        const __m512i ordered =
            _mm512_permutex2var_epi8(halveAway(a), k.order_bytes, halveAway(b));
        _mm512_storeu_si512(out + 2 * i, ordered);
    }
    return bulk;
}

}  // namespace avx512
}  // namespace

// The rest after the 32-wide bulk (fewer than 32 samples) goes through the
// AVX2 variant.
std::uint32_t s16_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                     ByteOrder order) {
    std::uint32_t clipped = 0;
    const std::size_t done = avx512::bulkDouble16(in, n, out, depth16(), order, clipped);
    return clipped + s16_from_double_avx2(in + done, n - done, out + 2 * done, order);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace tarvio::pcm
