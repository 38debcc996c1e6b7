// SPDX-License-Identifier: MIT
// The AVX2 variants of the encoders of doubles: to 16, 24 and 32-bit
// integers (halves away from zero), to 32-bit ints with a narrower depth's
// value in the top bits, to floats and to IEEE 754 bytes. Each gives the
// output and the clip count of its portable function (pcm/Encode.cpp): the
// loops here convert whole groups of samples and leave the rest to a
// narrower variant. The AVX-512 variants (pcm/EncodeAvx512.cpp) take the
// same steps, which are explained here.
#include "common/Simd.h"
#include "pcm/Kernels.h"

#if defined(TARVIO_HAVE_AVX2)

#include <cstdint>
#include <limits>
#include <type_traits>

namespace tarvio::pcm {

// ------------------------------------------------------------------ 16 bits
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
namespace avx2 {

// Everything the loop keeps in registers. The second conversion compares and
// clamps 2y, the product the loop takes, with the limits doubled: doubling is
// exact for the limits and the clamped values (whole numbers below 2^17) and
// keeps the outcome of every comparison, so this is the same as clamping y
// and doubling it.
struct Constants {
    __m256d twice_fs, twice_clamp_low, twice_clamp_high, twice_clip_low, twice_clip_high;
    __m256i lowest_t;     // the smallest t that does not clip, its sign bit flipped
    __m256i t_span;       // the largest that does not clip minus the smallest, sign bit flipped
    __m256i order_bytes;  // puts the two bytes of every 16-bit value in the file's order
};

TARVIO_TARGET_AVX2 inline Constants constantsFor(const Depth& d, ByteOrder order) {
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
TARVIO_TARGET_AVX2 inline __m128i twiceTrunc(const double* in, const Constants& k) {
    return _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(in), k.twice_fs));
}

// t of four samples the way roundNarrow takes them: clips counted, clamped,
// NaN made 0.
TARVIO_TARGET_AVX2 inline __m128i twiceTruncClamped(const double* in, const Constants& k,
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

// Eight 32-bit values (t, or rounded values): the four of `low` in the low
// 128-bit half, those of `high` in the high one.
TARVIO_TARGET_AVX2 inline __m256i join(__m128i low, __m128i high) {
    return _mm256_set_m128i(high, low);
}

// Sixteen 32-bit values (t, or a mask) of sixteen samples, in the order the
// pack in store16 takes them: samples 0-3 and 8-11 in `a`, 4-7 and 12-15 in
// `b`.
struct Sixteen {
    __m256i a, b;
};

TARVIO_TARGET_AVX2 inline Sixteen twiceTrunc16(const double* in, const Constants& k) {
    return {join(twiceTrunc(in, k), twiceTrunc(in + 8, k)),
            join(twiceTrunc(in + 4, k), twiceTrunc(in + 12, k))};
}

TARVIO_TARGET_AVX2 inline Sixteen twiceTruncClamped16(const double* in, const Constants& k,
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
TARVIO_TARGET_AVX2 inline __m256i outside(__m256i t, const Constants& k) {
    return _mm256_cmpgt_epi32(_mm256_sub_epi32(t, k.lowest_t), k.t_span);
}

// The outside() of sixteen t.
TARVIO_TARGET_AVX2 inline Sixteen outside16(Sixteen t, const Constants& k) {
    return {outside(t.a, k), outside(t.b, k)};
}

// -1 in each lane of eight t that is INT32_MIN or INT32_MAX: a sample that
// the pack cannot be left to clamp.
TARVIO_TARGET_AVX2 inline __m256i unpackable(__m256i t) {
    using Limits = std::numeric_limits<std::int32_t>;
    return _mm256_or_si256(_mm256_cmpeq_epi32(t, _mm256_set1_epi32(Limits::min())),
                           _mm256_cmpeq_epi32(t, _mm256_set1_epi32(Limits::max())));
}

// Whether any of the 32 lanes of two masks is set.
TARVIO_TARGET_AVX2 inline bool any(Sixteen low, Sixteen high) {
    const __m256i all =
        _mm256_or_si256(_mm256_or_si256(low.a, low.b), _mm256_or_si256(high.a, high.b));
    return !_mm256_testz_si256(all, all);
}

// r = (t + (t > 0)) >> 1: rounded with halves away from zero. The comparison
// gives -1 where t > 0.
TARVIO_TARGET_AVX2 inline __m256i halveAway(__m256i t) {
    const __m256i positive = _mm256_cmpgt_epi32(t, _mm256_setzero_si256());
    return _mm256_srai_epi32(_mm256_sub_epi32(t, positive), 1);
}

// Sixteen r as 32 bytes. The pack saturates to 16 bits, which changes only
// the r of samples that clip; it works within each 128-bit half, which puts
// the samples back in order, and the shuffle puts each value's bytes in the
// file's order.
TARVIO_TARGET_AVX2 inline void store16(Sixteen t, unsigned char* out, const Constants& k) {
    const __m256i v = _mm256_packs_epi32(halveAway(t.a), halveAway(t.b));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_shuffle_epi8(v, k.order_bytes));
}

// The bulk of a 16-bit conversion of doubles, 32 samples at a time. Returns
// how many samples it converted (a multiple of 32; the caller does the rest)
// and adds the clipped ones to `clipped`.
TARVIO_TARGET_AVX2 std::size_t bulkDouble16(const double* in, std::size_t n, unsigned char* out,
                                            const Depth& d, ByteOrder order,
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
    const std::size_t done = avx2::bulkDouble16(in, n, out, depthOf<16>(), order, clipped);
    return clipped + s16_from_double_sse2(in + done, n - done, out + 2 * done, order);
}

// ---------------------------------------------- 24 and 32 bits, and floats
// The integer encoders round a scaled sample y = x * full_scale the way
// roundNarrow (pcm/Encode.cpp) does: NaN to 0; clips counted where
// y <= clip_low or y >= clip_high; clamped to [clamp_low, clamp_high];
// rounded with halves away from zero. They do it eight samples to a vector,
// 32 to a group, and most groups take a short path that neither clamps nor
// counts:
//
// - Halves away from zero. For y = n + f with n = trunc(y) and f in (-1, 1)
//   of the sign of y, 2y is exact and trunc(2y) = 2n + trunc(2f), where
//   trunc(2f) is 1 for f >= 0.5, -1 for f <= -0.5 and 0 otherwise.
//   So trunc(2y) - trunc(y) = n + trunc(2f) is y rounded with halves away
//   from zero, as roundHalfAway gives it.
// - Up to 24 bits, t = trunc(2y) fits a 32-bit integer, and one truncating
//   conversion of x * (2 full_scale) gives it (that product is 2y exactly,
//   except where it overflows to an infinity, caught below, or is
//   subnormal, where both truncate to 0). Then r = (t + (t > 0)) >> 1 is
//   trunc(2y) - trunc(y): for t > 0, (t + 1) >> 1 is n + 1 where f >= 0.5
//   and n otherwise; for t <= 0 the arithmetic shift rounds towards minus
//   infinity and gives n - 1 where f <= -0.5 and n otherwise. The clip
//   limits are halfway points, 2 clip_low and 2 clip_high whole numbers, so
//   y clips exactly when t <= 2 clip_low or t >= 2 clip_high. A NaN, an
//   infinity and a 2y beyond the 32-bit range convert to INT32_MIN, below
//   2 clip_low. A group whose every t lies strictly between the two is
//   therefore free of NaN and of clips, clamping could move its y only
//   within (max_value, clip_high) or (clip_low, min_value), which round to
//   the same bound, and r is its value.
// - At 32 bits 2y does not fit, and the loop rounds in doubles:
//   trunc(2y) - trunc(y) is exact (whole numbers below 2^53; beyond that y
//   itself is whole and the difference is y). The truncating conversion of
//   the result to 32 bits gives INT32_MIN for a NaN and for anything outside
//   [-2^31, 2^31 - 1], exactly the rounded values that clip. So a group
//   without INT32_MIN among its values has no NaN and no clips, and the
//   values are the result (a sample that rounds to -2^31 itself, which takes
//   the exact path below, is rare enough).
// - Any other group is converted again the exact way: clips counted on y (a
//   NaN compares false), y clamped (a NaN becomes clamp_low: max and min
//   return their second operand when one is NaN), the NaN lanes masked to
//   +0.0, and the clamped value rounded in doubles as above.
namespace {
namespace avx2 {

// Everything the integer loops keep in registers, from the depth.
struct IntConstants {
    __m256d fs, twice_fs, clamp_low, clamp_high, clip_low, clip_high;
    // The t of samples that are not NaN and do not clip are
    // [lowest_t, lowest_t + t_span]; both carry their sign bit flipped for
    // outside() below.
    __m256i lowest_t, t_span;
};

TARVIO_TARGET_AVX2 inline IntConstants intConstants(const Depth& d) {
    IntConstants k;
    k.fs = _mm256_set1_pd(d.full_scale);
    k.twice_fs = _mm256_set1_pd(2.0 * d.full_scale);
    k.clamp_low = _mm256_set1_pd(d.clamp_low);
    k.clamp_high = _mm256_set1_pd(d.clamp_high);
    k.clip_low = _mm256_set1_pd(d.clip_low);
    k.clip_high = _mm256_set1_pd(d.clip_high);
    // Meaningful only up to 24 bits, where the narrow path is taken.
    const double lowest = 2.0 * d.clip_low + 1.0;
    const double highest = 2.0 * d.clip_high - 1.0;
    const bool narrow = d.bytes <= 3;
    const auto lowest_t = narrow ? static_cast<std::int32_t>(lowest) : 0;
    const auto span = narrow ? static_cast<std::int32_t>(highest - lowest) : 0;
    const __m256i sign = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::min());
    k.lowest_t = _mm256_xor_si256(_mm256_set1_epi32(lowest_t), sign);
    k.t_span = _mm256_xor_si256(_mm256_set1_epi32(span), sign);
    return k;
}

// trunc(2c) - trunc(c) of four doubles, as doubles.
TARVIO_TARGET_AVX2 inline __m256d roundHalfAway(__m256d c) {
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    return _mm256_sub_pd(_mm256_round_pd(_mm256_add_pd(c, c), kTrunc), _mm256_round_pd(c, kTrunc));
}

// The rounded values of four samples the exact way: clips counted, clamped,
// NaN made 0.
TARVIO_TARGET_AVX2 inline __m128i exact4(const double* in, const IntConstants& k,
                                         std::uint32_t& clipped) {
    const __m256d y = _mm256_mul_pd(_mm256_loadu_pd(in), k.fs);
    // No sample lies beyond both limits: one mask counts both.
    const __m256d clip = _mm256_or_pd(_mm256_cmp_pd(y, k.clip_low, _CMP_LE_OQ),
                                      _mm256_cmp_pd(y, k.clip_high, _CMP_GE_OQ));
    clipped += static_cast<std::uint32_t>(__builtin_popcount(_mm256_movemask_pd(clip)));
    const __m256d c = _mm256_min_pd(_mm256_max_pd(y, k.clamp_low), k.clamp_high);
    const __m256d number = _mm256_cmp_pd(y, y, _CMP_ORD_Q);
    return _mm256_cvttpd_epi32(roundHalfAway(_mm256_and_pd(c, number)));
}

TARVIO_TARGET_AVX2 inline __m256i exact8(const double* in, const IntConstants& k,
                                         std::uint32_t& clipped) {
    const __m128i low = exact4(in, k, clipped);
    return join(low, exact4(in + 4, k, clipped));
}

// The short path up to 24 bits: r of eight samples; `odd` gets -1 in the
// lanes whose t lies outside [lowest_t, lowest_t + t_span]. That is the
// unsigned comparison (t - lowest_t) > t_span; AVX2 compares only signed
// integers, and an unsigned comparison is the signed one of both sides with
// their sign bits flipped. Flipping the sign bit of t - lowest_t is
// subtracting lowest_t with its sign bit flipped, so the constants carry the
// flipped bits.
struct Narrow {
    TARVIO_TARGET_AVX2 static inline __m256i round8(const double* in, const IntConstants& k,
                                                    __m256i& odd) {
        const __m128i low = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(in), k.twice_fs));
        const __m128i high =
            _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_loadu_pd(in + 4), k.twice_fs));
        const __m256i t = join(low, high);
        odd = _mm256_or_si256(odd, _mm256_cmpgt_epi32(_mm256_sub_epi32(t, k.lowest_t), k.t_span));
        // -1 where t > 0: subtracting it adds 1.
        const __m256i positive = _mm256_cmpgt_epi32(t, _mm256_setzero_si256());
        return _mm256_srai_epi32(_mm256_sub_epi32(t, positive), 1);
    }
};

// The short path at 32 bits: the rounded values of eight samples; `odd` gets
// -1 in the lanes that are INT32_MIN.
struct Wide {
    TARVIO_TARGET_AVX2 static inline __m256i round8(const double* in, const IntConstants& k,
                                                    __m256i& odd) {
        const __m128i low =
            _mm256_cvttpd_epi32(roundHalfAway(_mm256_mul_pd(_mm256_loadu_pd(in), k.fs)));
        const __m128i high =
            _mm256_cvttpd_epi32(roundHalfAway(_mm256_mul_pd(_mm256_loadu_pd(in + 4), k.fs)));
        const __m256i r = join(low, high);
        const __m256i min = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::min());
        odd = _mm256_or_si256(odd, _mm256_cmpeq_epi32(r, min));
        return r;
    }
};

// 32 values, in order: v[j] holds those of samples 8j to 8j + 7.
struct Group {
    __m256i v[4];
};

// The rounded, clamped values of in[0, n), n a multiple of 32, handed to
// `emit` one group at a time with the group's first sample; the clips are
// added to `clipped`. Path is Narrow or Wide, for the depth of `k`.
template <class Path, class Emit>
TARVIO_TARGET_AVX2 inline void roundGroups(const double* in, std::size_t n, const IntConstants& k,
                                           const Emit& emit, std::uint32_t& clipped) {
    for (std::size_t i = 0; i < n; i += 32) {
        Group g;
        __m256i odd = _mm256_setzero_si256();
        for (int j = 0; j < 4; ++j)
            g.v[j] = Path::round8(in + i + 8 * j, k, odd);
        if (!_mm256_testz_si256(odd, odd)) {
            for (int j = 0; j < 4; ++j)
                g.v[j] = exact8(in + i + 8 * j, k, clipped);
        }
        emit.store(g, i);
    }
}

// The byte shuffle within each 128-bit half that puts the low three bytes of
// each 32-bit value in the file's order, packed from the start of the half;
// the last four bytes are zero (the shuffle writes 0 for a negative index).
TARVIO_TARGET_AVX2 inline __m256i orderBytes24(ByteOrder order) {
    switch (order) {
        case ByteOrder::Big:
            return _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                    2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
        case ByteOrder::Little:
            break;
    }
    return _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                            0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
}

// The byte shuffle that reverses the bytes of each Width-byte value for
// big-endian, or keeps them for little-endian.
template <int Width>
TARVIO_TARGET_AVX2 inline __m256i orderBytes(ByteOrder order) {
    static_assert(Width == 4 || Width == 8, "a width without its shuffle");
    switch (order) {
        case ByteOrder::Big:
            if constexpr (Width == 4)
                return _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,  //
                                        3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
            else
                return _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,  //
                                        7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
        case ByteOrder::Little:
            break;
    }
    return _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,  //
                            0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// 24-bit bytes. Each 128-bit half of a shuffled vector holds 12 bytes (three
// 32-bit units) and four units of padding; dword permutations gather the six
// units of each of the four vectors into three full vectors, 96 bytes.
struct Store24 {
    unsigned char* out;
    __m256i order_bytes;
    TARVIO_TARGET_AVX2 inline void store(const Group& g, std::size_t i) const {
        const __m256i a = _mm256_shuffle_epi8(g.v[0], order_bytes);
        const __m256i b = _mm256_shuffle_epi8(g.v[1], order_bytes);
        const __m256i c = _mm256_shuffle_epi8(g.v[2], order_bytes);
        const __m256i d = _mm256_shuffle_epi8(g.v[3], order_bytes);
        // Units 0-2 and 4-6 are the bytes; 3 and 7 are padding, parked where
        // the blends below do not take them.
        const __m256i pa =
            _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
        const __m256i pb =
            _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(2, 4, 5, 6, 3, 7, 0, 1));
        const __m256i pc =
            _mm256_permutevar8x32_epi32(c, _mm256_setr_epi32(5, 6, 3, 7, 0, 1, 2, 4));
        const __m256i pd =
            _mm256_permutevar8x32_epi32(d, _mm256_setr_epi32(3, 7, 0, 1, 2, 4, 5, 6));
        unsigned char* p = out + 3 * i;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_blend_epi32(pa, pb, 0xC0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 32), _mm256_blend_epi32(pb, pc, 0xF0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 64), _mm256_blend_epi32(pc, pd, 0xFC));
    }
};

// 32-bit bytes: the values with their bytes in the file's order.
struct Store32 {
    unsigned char* out;
    __m256i order_bytes;
    TARVIO_TARGET_AVX2 inline void store(const Group& g, std::size_t i) const {
        for (int j = 0; j < 4; ++j)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * (i + 8 * j)),
                                _mm256_shuffle_epi8(g.v[j], order_bytes));
    }
};

// 32-bit ints with the values in the top bits.
struct StoreScaled {
    std::int32_t* out;
    __m128i shift;  // 32 - bits
    TARVIO_TARGET_AVX2 inline void store(const Group& g, std::size_t i) const {
        for (int j = 0; j < 4; ++j)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 8 * j),
                                _mm256_sll_epi32(g.v[j], shift));
    }
};

TARVIO_TARGET_AVX2 std::uint32_t s24Bulk(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order) {
    std::uint32_t clipped = 0;
    const Store24 store{out, orderBytes24(order)};
    roundGroups<Narrow>(in, n, intConstants(depthOf<24>()), store, clipped);
    return clipped;
}

TARVIO_TARGET_AVX2 std::uint32_t s32Bulk(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order) {
    std::uint32_t clipped = 0;
    const Store32 store{out, orderBytes<4>(order)};
    roundGroups<Wide>(in, n, intConstants(depthOf<32>()), store, clipped);
    return clipped;
}

template <int Bits>
TARVIO_TARGET_AVX2 std::uint32_t scaledBulk(const double* in, std::size_t n, std::int32_t* out) {
    std::uint32_t clipped = 0;
    const StoreScaled store{out, _mm_cvtsi32_si128(32 - Bits)};
    using Path = typename std::conditional<Bits <= 24, Narrow, Wide>::type;
    roundGroups<Path>(in, n, intConstants(depthOf<Bits>()), store, clipped);
    return clipped;
}

}  // namespace avx2
}  // namespace

// The float encoders limit each double as `limited` (pcm/Encode.cpp) does:
// NaN to 0, then clips counted and clamped against the bound (1, or the
// largest finite value of the type). Masking with the ordered comparison of x
// with itself makes a NaN +0.0, so that max and min never see one; the clips
// are the lanes whose magnitude exceeds the bound, and every sample is
// clamped, which costs no more than testing whether any needs it. The
// conversion to float rounds the way a scalar one does (both follow the same
// rounding mode).
namespace {
namespace avx2 {

struct FloatConstants {
    __m256d bound, minus_bound, magnitude;  // magnitude: every bit but the sign
};

TARVIO_TARGET_AVX2 inline FloatConstants floatConstants(double bound) {
    return {_mm256_set1_pd(bound), _mm256_set1_pd(-bound),
            _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF))};
}

// Four doubles limited; each that clipped adds -1 to its lane of `clips`.
TARVIO_TARGET_AVX2 inline __m256d limit4(const double* in, const FloatConstants& k,
                                         __m256i& clips) {
    const __m256d x = _mm256_loadu_pd(in);
    const __m256d number = _mm256_and_pd(x, _mm256_cmp_pd(x, x, _CMP_ORD_Q));
    const __m256d over = _mm256_cmp_pd(_mm256_and_pd(number, k.magnitude), k.bound, _CMP_GT_OQ);
    clips = _mm256_add_epi64(clips, _mm256_castpd_si256(over));
    return _mm256_min_pd(_mm256_max_pd(number, k.minus_bound), k.bound);
}

// Eight doubles limited and converted to float.
TARVIO_TARGET_AVX2 inline __m256 floats8(const double* in, const FloatConstants& k,
                                         __m256i& clips) {
    const __m128 low = _mm256_cvtpd_ps(limit4(in, k, clips));
    const __m128 high = _mm256_cvtpd_ps(limit4(in + 4, k, clips));
    return _mm256_set_m128(high, low);
}

// The clip count of the -1 lanes.
TARVIO_TARGET_AVX2 inline std::uint32_t countOf(__m256i clips) {
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), clips);
    return static_cast<std::uint32_t>(-(lanes[0] + lanes[1] + lanes[2] + lanes[3]));
}

// The bulk of each float encoder, 16 samples at a time; returns the clips.
TARVIO_TARGET_AVX2 std::uint32_t f32Bulk(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order, double bound) {
    const FloatConstants k = floatConstants(bound);
    const __m256i swap = orderBytes<4>(order);
    __m256i clips = _mm256_setzero_si256();
    for (std::size_t i = 0; i < n; i += 16) {
        const __m256i a = _mm256_castps_si256(floats8(in + i, k, clips));
        const __m256i b = _mm256_castps_si256(floats8(in + i + 8, k, clips));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), _mm256_shuffle_epi8(a, swap));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i + 32),
                            _mm256_shuffle_epi8(b, swap));
    }
    return countOf(clips);
}

TARVIO_TARGET_AVX2 std::uint32_t floatBulk(const double* in, std::size_t n, float* out,
                                           double bound) {
    const FloatConstants k = floatConstants(bound);
    __m256i clips = _mm256_setzero_si256();
    for (std::size_t i = 0; i < n; i += 16) {
        _mm256_storeu_ps(out + i, floats8(in + i, k, clips));
        _mm256_storeu_ps(out + i + 8, floats8(in + i + 8, k, clips));
    }
    return countOf(clips);
}

TARVIO_TARGET_AVX2 std::uint32_t f64Bulk(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order, double bound) {
    const FloatConstants k = floatConstants(bound);
    const __m256i swap = orderBytes<8>(order);
    __m256i clips = _mm256_setzero_si256();
    for (std::size_t i = 0; i < n; i += 16) {
        for (std::size_t j = 0; j < 16; j += 4) {
            const __m256i v = _mm256_castpd_si256(limit4(in + i + j, k, clips));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * (i + j)),
                                _mm256_shuffle_epi8(v, swap));
        }
    }
    return countOf(clips);
}

}  // namespace avx2
}  // namespace

// This instruction set's bulk kernels, for Encoders.
namespace {
namespace avx2 {
struct Kit {
    static constexpr auto s24Bulk = &avx2::s24Bulk;
    static constexpr auto s32Bulk = &avx2::s32Bulk;
    template <int Bits>
    static std::uint32_t scaledBulk(const double* in, std::size_t n, std::int32_t* out) {
        return avx2::scaledBulk<Bits>(in, n, out);
    }
    static constexpr auto f32Bulk = &avx2::f32Bulk;
    static constexpr auto f64Bulk = &avx2::f64Bulk;
    static constexpr auto floatBulk = &avx2::floatBulk;
};
}  // namespace avx2
}  // namespace

std::uint32_t s24_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order) {
    return Encoders<avx2::Kit>::s24(in, n, out, order);
}
std::uint32_t s32_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order) {
    return Encoders<avx2::Kit>::s32(in, n, out, order);
}
std::uint32_t s32_scaled_from_double_avx2(const double* in, std::size_t n, int bits,
                                          std::int32_t* out) {
    return Encoders<avx2::Kit>::scaled(in, n, bits, out);
}
std::uint32_t f32_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order, FloatRange range) {
    return Encoders<avx2::Kit>::f32(in, n, out, order, range);
}
std::uint32_t f64_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order, FloatRange range) {
    return Encoders<avx2::Kit>::f64(in, n, out, order, range);
}
std::uint32_t float_from_double_avx2(const double* in, std::size_t n, float* out,
                                     FloatRange range) {
    return Encoders<avx2::Kit>::floats(in, n, out, range);
}

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_AVX2
