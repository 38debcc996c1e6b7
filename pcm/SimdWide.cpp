// SPDX-License-Identifier: MIT
// The AVX2 and AVX-512 variants of the encoders of doubles to 24- and 32-bit
// integers (halves away from zero), to 32-bit ints with a narrower depth's
// value in the top bits, to floats and to IEEE 754 bytes. Each gives the
// output and the clip count of its portable function (pcm/Encode.cpp): the
// loops here convert whole groups of samples and leave the rest to it.
#include "pcm/Kernels.h"

#include <cstdint>
#include <limits>
#include <type_traits>

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

// Every function of the AVX2 variants, the inlined helpers included (a
// helper is inlined only into callers built for the same instruction set).
#define TARVIO_AVX2 __attribute__((target("avx2")))

namespace tarvio::pcm {

namespace {

// The depths the integer encoders take, with halves away from zero.
template <int Bits>
const Depth& depthOf() {
    static const Depth d = Depth::forBits(Bits);
    return d;
}

// The number of samples of n that the group loops take.
inline std::size_t groupsOf(std::size_t n) {
    return n - n % 32;
}

// The number of samples of n that the float loops take.
inline std::size_t sixteensOf(std::size_t n) {
    return n - n % 16;
}

// A vector variant of each encoder: the bulk kernels of one instruction set
// (its Kit) over whole groups of samples, the portable function over the
// rest. Scaled integers go by the depths the portable function knows
// (anything else is taken as 32).
template <class Kit>
struct Encoders {
    static std::uint32_t s24(const double* in, std::size_t n, unsigned char* out,
                             ByteOrder order) {
        const std::size_t done = groupsOf(n);
        return Kit::s24Bulk(in, done, out, order) +
               s24_from_double_portable(in + done, n - done, out + 3 * done, order);
    }
    static std::uint32_t s32(const double* in, std::size_t n, unsigned char* out,
                             ByteOrder order) {
        const std::size_t done = groupsOf(n);
        return Kit::s32Bulk(in, done, out, order) +
               s32_from_double_portable(in + done, n - done, out + 4 * done, order);
    }
    static std::uint32_t scaled(const double* in, std::size_t n, int bits, std::int32_t* out) {
        const std::size_t done = groupsOf(n);
        std::uint32_t clipped = 0;
        switch (bits) {
            case 8:
                clipped = Kit::template scaledBulk<8>(in, done, out);
                break;
            case 16:
                clipped = Kit::template scaledBulk<16>(in, done, out);
                break;
            case 24:
                clipped = Kit::template scaledBulk<24>(in, done, out);
                break;
            default:
                clipped = Kit::template scaledBulk<32>(in, done, out);
                break;
        }
        return clipped + s32_scaled_from_double_portable(in + done, n - done, bits, out + done);
    }
    static std::uint32_t f32(const double* in, std::size_t n, unsigned char* out,
                             ByteOrder order, FloatRange range) {
        const std::size_t done = sixteensOf(n);
        return Kit::f32Bulk(in, done, out, order, boundOf<float>(range)) +
               f32_from_double_portable(in + done, n - done, out + 4 * done, order, range);
    }
    static std::uint32_t f64(const double* in, std::size_t n, unsigned char* out,
                             ByteOrder order, FloatRange range) {
        const std::size_t done = sixteensOf(n);
        return Kit::f64Bulk(in, done, out, order, boundOf<double>(range)) +
               f64_from_double_portable(in + done, n - done, out + 8 * done, order, range);
    }
    static std::uint32_t floats(const double* in, std::size_t n, float* out, FloatRange range) {
        const std::size_t done = sixteensOf(n);
        return Kit::floatBulk(in, done, out, boundOf<float>(range)) +
               float_from_double_portable(in + done, n - done, out + done, range);
    }
};

}  // namespace

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

TARVIO_AVX2 inline IntConstants intConstants(const Depth& d) {
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

// Four results of the truncating conversion as the low and high half of
// eight.
TARVIO_AVX2 inline __m256i join(__m128i low, __m128i high) {
    return _mm256_set_m128i(high, low);
}

// trunc(2c) - trunc(c) of four doubles, as doubles.
TARVIO_AVX2 inline __m256d roundHalfAway(__m256d c) {
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    return _mm256_sub_pd(_mm256_round_pd(_mm256_add_pd(c, c), kTrunc), _mm256_round_pd(c, kTrunc));
}

// The rounded values of four samples the exact way: clips counted, clamped,
// NaN made 0.
TARVIO_AVX2 inline __m128i exact4(const double* in, const IntConstants& k,
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

TARVIO_AVX2 inline __m256i exact8(const double* in, const IntConstants& k,
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
    TARVIO_AVX2 static inline __m256i round8(const double* in, const IntConstants& k,
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
    TARVIO_AVX2 static inline __m256i round8(const double* in, const IntConstants& k,
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
TARVIO_AVX2 inline void roundGroups(const double* in, std::size_t n, const IntConstants& k,
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
TARVIO_AVX2 inline __m256i orderBytes24(ByteOrder order) {
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
TARVIO_AVX2 inline __m256i orderBytes(ByteOrder order) {
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
    TARVIO_AVX2 inline void store(const Group& g, std::size_t i) const {
        const __m256i a = _mm256_shuffle_epi8(g.v[0], order_bytes);
        const __m256i b = _mm256_shuffle_epi8(g.v[1], order_bytes);
        const __m256i c = _mm256_shuffle_epi8(g.v[2], order_bytes);
        const __m256i d = _mm256_shuffle_epi8(g.v[3], order_bytes);
        // Units 0-2 and 4-6 are the bytes; 3 and 7 are padding, parked where
        // the blends below do not take them.
        const __m256i pa = _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
        const __m256i pb = _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(2, 4, 5, 6, 3, 7, 0, 1));
        const __m256i pc = _mm256_permutevar8x32_epi32(c, _mm256_setr_epi32(5, 6, 3, 7, 0, 1, 2, 4));
        const __m256i pd = _mm256_permutevar8x32_epi32(d, _mm256_setr_epi32(3, 7, 0, 1, 2, 4, 5, 6));
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
    TARVIO_AVX2 inline void store(const Group& g, std::size_t i) const {
        for (int j = 0; j < 4; ++j)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * (i + 8 * j)),
                                _mm256_shuffle_epi8(g.v[j], order_bytes));
    }
};

// 32-bit ints with the values in the top bits.
struct StoreScaled {
    std::int32_t* out;
    __m128i shift;  // 32 - bits
    TARVIO_AVX2 inline void store(const Group& g, std::size_t i) const {
        for (int j = 0; j < 4; ++j)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 8 * j),
                                _mm256_sll_epi32(g.v[j], shift));
    }
};

TARVIO_AVX2 std::uint32_t s24Bulk(const double* in, std::size_t n, unsigned char* out,
                                  ByteOrder order) {
    std::uint32_t clipped = 0;
    const Store24 store{out, orderBytes24(order)};
    roundGroups<Narrow>(in, n, intConstants(depthOf<24>()), store, clipped);
    return clipped;
}

TARVIO_AVX2 std::uint32_t s32Bulk(const double* in, std::size_t n, unsigned char* out,
                                  ByteOrder order) {
    std::uint32_t clipped = 0;
    const Store32 store{out, orderBytes<4>(order)};
    roundGroups<Wide>(in, n, intConstants(depthOf<32>()), store, clipped);
    return clipped;
}

template <int Bits>
TARVIO_AVX2 std::uint32_t scaledBulk(const double* in, std::size_t n, std::int32_t* out) {
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

TARVIO_AVX2 inline FloatConstants floatConstants(double bound) {
    return {_mm256_set1_pd(bound), _mm256_set1_pd(-bound),
            _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF))};
}

// Four doubles limited; each that clipped adds -1 to its lane of `clips`.
TARVIO_AVX2 inline __m256d limit4(const double* in, const FloatConstants& k, __m256i& clips) {
    const __m256d x = _mm256_loadu_pd(in);
    const __m256d number = _mm256_and_pd(x, _mm256_cmp_pd(x, x, _CMP_ORD_Q));
    const __m256d over = _mm256_cmp_pd(_mm256_and_pd(number, k.magnitude), k.bound, _CMP_GT_OQ);
    clips = _mm256_add_epi64(clips, _mm256_castpd_si256(over));
    return _mm256_min_pd(_mm256_max_pd(number, k.minus_bound), k.bound);
}

// Eight doubles limited and converted to float.
TARVIO_AVX2 inline __m256 floats8(const double* in, const FloatConstants& k, __m256i& clips) {
    const __m128 low = _mm256_cvtpd_ps(limit4(in, k, clips));
    const __m128 high = _mm256_cvtpd_ps(limit4(in + 4, k, clips));
    return _mm256_set_m128(high, low);
}

// The clip count of the -1 lanes.
TARVIO_AVX2 inline std::uint32_t countOf(__m256i clips) {
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), clips);
    return static_cast<std::uint32_t>(-(lanes[0] + lanes[1] + lanes[2] + lanes[3]));
}

// The bulk of each float encoder, 16 samples at a time; returns the clips.
TARVIO_AVX2 std::uint32_t f32Bulk(const double* in, std::size_t n, unsigned char* out,
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

TARVIO_AVX2 std::uint32_t floatBulk(const double* in, std::size_t n, float* out, double bound) {
    const FloatConstants k = floatConstants(bound);
    __m256i clips = _mm256_setzero_si256();
    for (std::size_t i = 0; i < n; i += 16) {
        _mm256_storeu_ps(out + i, floats8(in + i, k, clips));
        _mm256_storeu_ps(out + i + 8, floats8(in + i + 8, k, clips));
    }
    return countOf(clips);
}

TARVIO_AVX2 std::uint32_t f64Bulk(const double* in, std::size_t n, unsigned char* out,
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

#if defined(TARVIO_HAVE_AVX512)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The AVX-512 variants (F, BW and VBMI: cpu::Isa::Avx512Vbmi) take the steps
// of the AVX2 ones with eight doubles and sixteen 32-bit values to a vector
// and comparisons into masks. The 24-bit bytes are gathered with byte
// permutations, which reach across the whole vector.
#define TARVIO_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {
namespace avx512 {

struct IntConstants {
    __m512d fs, twice_fs, clamp_low, clamp_high, clip_low, clip_high;
    // The t of samples that are not NaN and do not clip are
    // [lowest_t, lowest_t + t_span] (up to 24 bits).
    __m512i lowest_t, t_span;
};

TARVIO_AVX512 inline IntConstants intConstants(const Depth& d) {
    IntConstants k;
    k.fs = _mm512_set1_pd(d.full_scale);
    k.twice_fs = _mm512_set1_pd(2.0 * d.full_scale);
    k.clamp_low = _mm512_set1_pd(d.clamp_low);
    k.clamp_high = _mm512_set1_pd(d.clamp_high);
    k.clip_low = _mm512_set1_pd(d.clip_low);
    k.clip_high = _mm512_set1_pd(d.clip_high);
    const double lowest = 2.0 * d.clip_low + 1.0;
    const double highest = 2.0 * d.clip_high - 1.0;
    const bool narrow = d.bytes <= 3;
    k.lowest_t = _mm512_set1_epi32(narrow ? static_cast<std::int32_t>(lowest) : 0);
    k.t_span = _mm512_set1_epi32(narrow ? static_cast<std::int32_t>(highest - lowest) : 0);
    return k;
}

TARVIO_AVX512 inline __m512i join(__m256i low, __m256i high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

// trunc(2c) - trunc(c) of eight doubles, as doubles.
TARVIO_AVX512 inline __m512d roundHalfAway(__m512d c) {
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    return _mm512_sub_pd(_mm512_roundscale_pd(_mm512_add_pd(c, c), kTrunc),
                         _mm512_roundscale_pd(c, kTrunc));
}

// The rounded values of eight samples the exact way: clips counted, clamped,
// NaN made 0 by the masked conversion.
TARVIO_AVX512 inline __m256i exact8(const double* in, const IntConstants& k,
                                    std::uint32_t& clipped) {
    const __m512d y = _mm512_mul_pd(_mm512_loadu_pd(in), k.fs);
    const __mmask8 below = _mm512_cmp_pd_mask(y, k.clip_low, _CMP_LE_OQ);
    const __mmask8 above = _mm512_cmp_pd_mask(y, k.clip_high, _CMP_GE_OQ);
    clipped += static_cast<std::uint32_t>(__builtin_popcount(below | above));
    const __m512d c = _mm512_min_pd(_mm512_max_pd(y, k.clamp_low), k.clamp_high);
    const __mmask8 number = _mm512_cmp_pd_mask(y, y, _CMP_ORD_Q);
    return _mm512_maskz_cvttpd_epi32(number, roundHalfAway(c));
}

TARVIO_AVX512 inline __m512i exact16(const double* in, const IntConstants& k,
                                     std::uint32_t& clipped) {
    const __m256i low = exact8(in, k, clipped);
    return join(low, exact8(in + 8, k, clipped));
}

// The short path up to 24 bits: r of sixteen samples; `odd` gets the lanes
// whose t lies outside [lowest_t, lowest_t + t_span].
struct Narrow {
    TARVIO_AVX512 static inline __m512i round16(const double* in, const IntConstants& k,
                                                __mmask16& odd) {
        const __m256i low = _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_loadu_pd(in), k.twice_fs));
        const __m256i high =
            _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_loadu_pd(in + 8), k.twice_fs));
        const __m512i t = join(low, high);
        odd |= _mm512_cmpgt_epu32_mask(_mm512_sub_epi32(t, k.lowest_t), k.t_span);
        const __mmask16 positive = _mm512_cmpgt_epi32_mask(t, _mm512_setzero_si512());
        return _mm512_srai_epi32(_mm512_mask_add_epi32(t, positive, t, _mm512_set1_epi32(1)), 1);
    }
};

// The short path at 32 bits: the rounded values of sixteen samples; `odd`
// gets the lanes that are INT32_MIN.
struct Wide {
    TARVIO_AVX512 static inline __m512i round16(const double* in, const IntConstants& k,
                                                __mmask16& odd) {
        const __m256i low =
            _mm512_cvttpd_epi32(roundHalfAway(_mm512_mul_pd(_mm512_loadu_pd(in), k.fs)));
        const __m256i high =
            _mm512_cvttpd_epi32(roundHalfAway(_mm512_mul_pd(_mm512_loadu_pd(in + 8), k.fs)));
        const __m512i r = join(low, high);
        odd |= _mm512_cmpeq_epi32_mask(
            r, _mm512_set1_epi32(std::numeric_limits<std::int32_t>::min()));
        return r;
    }
};

// 32 values, in order: v[j] holds those of samples 16j to 16j + 15.
struct Group {
    __m512i v[2];
};

template <class Path, class Emit>
TARVIO_AVX512 inline void roundGroups(const double* in, std::size_t n, const IntConstants& k,
                                      const Emit& emit, std::uint32_t& clipped) {
    for (std::size_t i = 0; i < n; i += 32) {
        Group g;
        __mmask16 odd = 0;
        g.v[0] = Path::round16(in + i, k, odd);
        g.v[1] = Path::round16(in + i + 16, k, odd);
        if (odd != 0) {
            g.v[0] = exact16(in + i, k, clipped);
            g.v[1] = exact16(in + i + 16, k, clipped);
        }
        emit.store(g, i);
    }
}

// The byte permutations of 24-bit output: byte j of the 96 comes from byte
// `byte` of value j / 3, where `byte` counts from the least significant
// for little-endian and from the most significant for big-endian. The
// first 64 take the 32 values of both vectors as one table of 128 bytes,
// the last 32 those of the second vector.
struct Index24 {
    alignas(64) unsigned char first[64];
    alignas(64) unsigned char last[64];
};

const Index24& index24(ByteOrder order) {
    const auto make = [](bool big) {
        Index24 x{};
        for (int j = 0; j < 96; ++j) {
            const int value = j / 3, within = j % 3;
            const int byte = 4 * value + (big ? 2 - within : within);
            if (j < 64)
                x.first[j] = static_cast<unsigned char>(byte);
            else
                x.last[j - 64] = static_cast<unsigned char>(byte - 64);
        }
        return x;
    };
    static const Index24 little = make(false), big = make(true);
    return order == ByteOrder::Big ? big : little;
}

struct Store24 {
    unsigned char* out;
    __m512i first, last;
    TARVIO_AVX512 inline void store(const Group& g, std::size_t i) const {
        unsigned char* p = out + 3 * i;
        _mm512_storeu_si512(p, _mm512_permutex2var_epi8(g.v[0], first, g.v[1]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 64),
                            _mm512_castsi512_si256(_mm512_permutexvar_epi8(last, g.v[1])));
    }
};

// The shuffle within each 128-bit lane that reverses the bytes of each
// Width-byte value for big-endian, or keeps them; made once.
struct Shuffle {
    alignas(64) unsigned char index[64];
};

template <int Width>
const Shuffle& shuffleOf(ByteOrder order) {
    const auto make = [](bool big) {
        Shuffle x{};
        for (int j = 0; j < 64; ++j) {
            const int within = j % 16, start = within - within % Width;
            x.index[j] =
                static_cast<unsigned char>(big ? start + Width - 1 - (within - start) : within);
        }
        return x;
    };
    static const Shuffle little = make(false), big = make(true);
    return order == ByteOrder::Big ? big : little;
}

template <int Width>
TARVIO_AVX512 inline __m512i orderBytes(ByteOrder order) {
    return _mm512_load_si512(shuffleOf<Width>(order).index);
}

struct Store32 {
    unsigned char* out;
    __m512i order_bytes;
    TARVIO_AVX512 inline void store(const Group& g, std::size_t i) const {
        _mm512_storeu_si512(out + 4 * i, _mm512_shuffle_epi8(g.v[0], order_bytes));
        _mm512_storeu_si512(out + 4 * i + 64, _mm512_shuffle_epi8(g.v[1], order_bytes));
    }
};

struct StoreScaled {
    std::int32_t* out;
    __m128i shift;  // 32 - bits
    TARVIO_AVX512 inline void store(const Group& g, std::size_t i) const {
        _mm512_storeu_si512(out + i, _mm512_sll_epi32(g.v[0], shift));
        _mm512_storeu_si512(out + i + 16, _mm512_sll_epi32(g.v[1], shift));
    }
};

TARVIO_AVX512 std::uint32_t s24Bulk(const double* in, std::size_t n, unsigned char* out,
                                    ByteOrder order) {
    std::uint32_t clipped = 0;
    const Index24& index = index24(order);
    const Store24 store{out, _mm512_load_si512(index.first), _mm512_load_si512(index.last)};
    roundGroups<Narrow>(in, n, intConstants(depthOf<24>()), store, clipped);
    return clipped;
}

TARVIO_AVX512 std::uint32_t s32Bulk(const double* in, std::size_t n, unsigned char* out,
                                    ByteOrder order) {
    std::uint32_t clipped = 0;
    const Store32 store{out, orderBytes<4>(order)};
    roundGroups<Wide>(in, n, intConstants(depthOf<32>()), store, clipped);
    return clipped;
}

template <int Bits>
TARVIO_AVX512 std::uint32_t scaledBulk(const double* in, std::size_t n, std::int32_t* out) {
    std::uint32_t clipped = 0;
    const StoreScaled store{out, _mm_cvtsi32_si128(32 - Bits)};
    using Path = typename std::conditional<Bits <= 24, Narrow, Wide>::type;
    roundGroups<Path>(in, n, intConstants(depthOf<Bits>()), store, clipped);
    return clipped;
}

// The floats: NaN made +0.0 by a masked move, the clips counted into a
// vector of lane counts.
struct FloatConstants {
    __m512d bound, minus_bound;
};

TARVIO_AVX512 inline __m512d limit8(const double* in, const FloatConstants& k, __m512i& clips) {
    const __m512d x = _mm512_loadu_pd(in);
    const __m512d number = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(x, x, _CMP_ORD_Q), x);
    const __mmask8 over = _mm512_cmp_pd_mask(_mm512_abs_pd(number), k.bound, _CMP_GT_OQ);
    clips = _mm512_mask_add_epi64(clips, over, clips, _mm512_set1_epi64(1));
    return _mm512_min_pd(_mm512_max_pd(number, k.minus_bound), k.bound);
}

// Sixteen doubles limited and converted to float, as bits.
TARVIO_AVX512 inline __m512i floats16(const double* in, const FloatConstants& k, __m512i& clips) {
    const __m256 low = _mm512_cvtpd_ps(limit8(in, k, clips));
    const __m256 high = _mm512_cvtpd_ps(limit8(in + 8, k, clips));
    return join(_mm256_castps_si256(low), _mm256_castps_si256(high));
}

TARVIO_AVX512 inline std::uint32_t countOf(__m512i clips) {
    alignas(64) std::int64_t lanes[8];
    _mm512_store_si512(lanes, clips);
    std::int64_t sum = 0;
    for (const std::int64_t lane : lanes)
        sum += lane;
    return static_cast<std::uint32_t>(sum);
}

TARVIO_AVX512 std::uint32_t f32Bulk(const double* in, std::size_t n, unsigned char* out,
                                    ByteOrder order, double bound) {
    const FloatConstants k{_mm512_set1_pd(bound), _mm512_set1_pd(-bound)};
    const __m512i swap = orderBytes<4>(order);
    __m512i clips = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 16)
        _mm512_storeu_si512(out + 4 * i, _mm512_shuffle_epi8(floats16(in + i, k, clips), swap));
    return countOf(clips);
}

TARVIO_AVX512 std::uint32_t floatBulk(const double* in, std::size_t n, float* out,
                                      double bound) {
    const FloatConstants k{_mm512_set1_pd(bound), _mm512_set1_pd(-bound)};
    __m512i clips = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 16)
        _mm512_storeu_si512(out + i, floats16(in + i, k, clips));
    return countOf(clips);
}

TARVIO_AVX512 std::uint32_t f64Bulk(const double* in, std::size_t n, unsigned char* out,
                                    ByteOrder order, double bound) {
    const FloatConstants k{_mm512_set1_pd(bound), _mm512_set1_pd(-bound)};
    const __m512i swap = orderBytes<8>(order);
    __m512i clips = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 16) {
        for (std::size_t j = 0; j < 16; j += 8) {
            const __m512i v = _mm512_castpd_si512(limit8(in + i + j, k, clips));
            _mm512_storeu_si512(out + 8 * (i + j), _mm512_shuffle_epi8(v, swap));
        }
    }
    return countOf(clips);
}

}  // namespace avx512
}  // namespace


// This instruction set's bulk kernels, for Encoders.
namespace {
namespace avx512 {
struct Kit {
    static constexpr auto s24Bulk = &avx512::s24Bulk;
    static constexpr auto s32Bulk = &avx512::s32Bulk;
    template <int Bits>
    static std::uint32_t scaledBulk(const double* in, std::size_t n, std::int32_t* out) {
        return avx512::scaledBulk<Bits>(in, n, out);
    }
    static constexpr auto f32Bulk = &avx512::f32Bulk;
    static constexpr auto f64Bulk = &avx512::f64Bulk;
    static constexpr auto floatBulk = &avx512::floatBulk;
};
}  // namespace avx512
}  // namespace

std::uint32_t s24_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                 ByteOrder order) {
    return Encoders<avx512::Kit>::s24(in, n, out, order);
}
std::uint32_t s32_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                 ByteOrder order) {
    return Encoders<avx512::Kit>::s32(in, n, out, order);
}
std::uint32_t s32_scaled_from_double_avx512(const double* in, std::size_t n, int bits,
                                        std::int32_t* out) {
    return Encoders<avx512::Kit>::scaled(in, n, bits, out);
}
std::uint32_t f32_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                 ByteOrder order, FloatRange range) {
    return Encoders<avx512::Kit>::f32(in, n, out, order, range);
}
std::uint32_t f64_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                 ByteOrder order, FloatRange range) {
    return Encoders<avx512::Kit>::f64(in, n, out, order, range);
}
std::uint32_t float_from_double_avx512(const double* in, std::size_t n, float* out,
                                   FloatRange range) {
    return Encoders<avx512::Kit>::floats(in, n, out, range);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif  // TARVIO_HAVE_AVX512

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_AVX2
