// SPDX-License-Identifier: MIT
// The AVX-512 variants of the encoders of doubles (F, BW and VBMI:
// cpu::Isa::Avx512Vbmi), with the output and the clip count of their
// portable functions (pcm/Encode.cpp). They take the steps of the AVX2
// variants (pcm/EncodeAvx2.cpp, where they are explained) on wider vectors.
#include "common/Simd.h"
#include "pcm/Kernels.h"

#if defined(TARVIO_HAVE_AVX512)

#include <cstdint>
#include <limits>
#include <type_traits>

namespace tarvio::pcm {

TARVIO_AVX512_BEGIN

// ------------------------------------------------------------------ 16 bits
// The AVX-512 variant takes the steps of the AVX2 one (see
// pcm/EncodeAvx2.cpp), with sixteen t to a vector and one unsigned
// comparison to check them. Its permutation of bytes does not saturate, so
// every group with a t outside the range is converted again.
namespace {
namespace avx512 {

// Everything the loop keeps in registers.
struct Constants {
    __m512d twice_fs, fs, clamp_low, clamp_high, clip_low, clip_high;
    __m512i lowest_t;     // the smallest t that does not clip
    __m512i t_span;       // the largest that does not clip, minus lowest_t
    __m512i order_bytes;  // the permutation that takes the 16-bit values in the file's order
};

TARVIO_TARGET_AVX512VBMI inline Constants constantsFor(const Depth& d, ByteOrder order) {
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
TARVIO_TARGET_AVX512VBMI inline __m256i twiceTrunc(const double* in, const Constants& k) {
    return _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_loadu_pd(in), k.twice_fs));
}

// t of eight samples the way roundNarrow takes them: clips counted, clamped,
// NaN made 0.
TARVIO_TARGET_AVX512VBMI inline __m256i twiceTruncClamped(const double* in, const Constants& k,
                                                          std::uint32_t& clipped) {
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

// Sixteen 32-bit values (t, or rounded values), from the eight of `low` and
// the eight of `high`.
TARVIO_TARGET_AVX512VBMI inline __m512i join(__m256i low, __m256i high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

// Whether any of sixteen t lies outside [lowest_t, lowest_t + t_span]: one
// unsigned comparison of the distance from lowest_t.
TARVIO_TARGET_AVX512VBMI inline __mmask16 outside(__m512i t, const Constants& k) {
    return _mm512_cmpgt_epu32_mask(_mm512_sub_epi32(t, k.lowest_t), k.t_span);
}

// r = (t + (t > 0)) >> 1: rounded with halves away from zero.
TARVIO_TARGET_AVX512VBMI inline __m512i halveAway(__m512i t) {
    const __mmask16 positive = _mm512_cmpgt_epi32_mask(t, _mm512_setzero_si512());
    return _mm512_srai_epi32(_mm512_mask_add_epi32(t, positive, t, _mm512_set1_epi32(1)), 1);
}

// The bulk of a 16-bit conversion of doubles, 32 samples at a time. Returns
// how many samples it converted (a multiple of 32; the caller does the rest)
// and adds the clipped ones to `clipped`.
TARVIO_TARGET_AVX512VBMI std::size_t bulkDouble16(const double* in, std::size_t n,
                                                  unsigned char* out, const Depth& d,
                                                  ByteOrder order, std::uint32_t& clipped) {
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
        const __m512i ordered = _mm512_permutex2var_epi8(halveAway(a), k.order_bytes, halveAway(b));
        _mm512_storeu_si512(out + 2 * i, ordered);
    }
    return bulk;
}

}  // namespace avx512
}  // namespace

// The rest after the 32-wide bulk (fewer than 32 samples) goes through the
// AVX2 variant.
std::uint32_t s16_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order) {
    std::uint32_t clipped = 0;
    const std::size_t done = avx512::bulkDouble16(in, n, out, depthOf<16>(), order, clipped);
    return clipped + s16_from_double_avx2(in + done, n - done, out + 2 * done, order);
}

// ---------------------------------------------- 24 and 32 bits, and floats
// The AVX-512 variants (F, BW and VBMI: cpu::Isa::Avx512Vbmi) take the steps
// of the AVX2 ones with eight doubles and sixteen 32-bit values to a vector
// and comparisons into masks. The 24-bit bytes are gathered with byte
// permutations, which reach across the whole vector.
namespace {
namespace avx512 {

struct IntConstants {
    __m512d fs, twice_fs, clamp_low, clamp_high, clip_low, clip_high;
    // The t of samples that are not NaN and do not clip are
    // [lowest_t, lowest_t + t_span] (up to 24 bits).
    __m512i lowest_t, t_span;
};

TARVIO_TARGET_AVX512VBMI inline IntConstants intConstants(const Depth& d) {
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

// trunc(2c) - trunc(c) of eight doubles, as doubles.
TARVIO_TARGET_AVX512VBMI inline __m512d roundHalfAway(__m512d c) {
    constexpr int kTrunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    return _mm512_sub_pd(_mm512_roundscale_pd(_mm512_add_pd(c, c), kTrunc),
                         _mm512_roundscale_pd(c, kTrunc));
}

// The rounded values of eight samples the exact way: clips counted, clamped,
// NaN made 0 by the masked conversion.
TARVIO_TARGET_AVX512VBMI inline __m256i exact8(const double* in, const IntConstants& k,
                                               std::uint32_t& clipped) {
    const __m512d y = _mm512_mul_pd(_mm512_loadu_pd(in), k.fs);
    const __mmask8 below = _mm512_cmp_pd_mask(y, k.clip_low, _CMP_LE_OQ);
    const __mmask8 above = _mm512_cmp_pd_mask(y, k.clip_high, _CMP_GE_OQ);
    clipped += static_cast<std::uint32_t>(__builtin_popcount(below | above));
    const __m512d c = _mm512_min_pd(_mm512_max_pd(y, k.clamp_low), k.clamp_high);
    const __mmask8 number = _mm512_cmp_pd_mask(y, y, _CMP_ORD_Q);
    return _mm512_maskz_cvttpd_epi32(number, roundHalfAway(c));
}

TARVIO_TARGET_AVX512VBMI inline __m512i exact16(const double* in, const IntConstants& k,
                                                std::uint32_t& clipped) {
    const __m256i low = exact8(in, k, clipped);
    return join(low, exact8(in + 8, k, clipped));
}

// The short path up to 24 bits: r of sixteen samples; `odd` gets the lanes
// whose t lies outside [lowest_t, lowest_t + t_span].
struct Narrow {
    TARVIO_TARGET_AVX512VBMI static inline __m512i round16(const double* in, const IntConstants& k,
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
    TARVIO_TARGET_AVX512VBMI static inline __m512i round16(const double* in, const IntConstants& k,
                                                           __mmask16& odd) {
        const __m256i low =
            _mm512_cvttpd_epi32(roundHalfAway(_mm512_mul_pd(_mm512_loadu_pd(in), k.fs)));
        const __m256i high =
            _mm512_cvttpd_epi32(roundHalfAway(_mm512_mul_pd(_mm512_loadu_pd(in + 8), k.fs)));
        const __m512i r = join(low, high);
        odd |=
            _mm512_cmpeq_epi32_mask(r, _mm512_set1_epi32(std::numeric_limits<std::int32_t>::min()));
        return r;
    }
};

// 32 values, in order: v[j] holds those of samples 16j to 16j + 15.
struct Group {
    __m512i v[2];
};

template <class Path, class Emit>
TARVIO_TARGET_AVX512VBMI inline void roundGroups(const double* in, std::size_t n,
                                                 const IntConstants& k, const Emit& emit,
                                                 std::uint32_t& clipped) {
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
    TARVIO_TARGET_AVX512VBMI inline void store(const Group& g, std::size_t i) const {
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
TARVIO_TARGET_AVX512VBMI inline __m512i orderBytes(ByteOrder order) {
    return _mm512_load_si512(shuffleOf<Width>(order).index);
}

struct Store32 {
    unsigned char* out;
    __m512i order_bytes;
    TARVIO_TARGET_AVX512VBMI inline void store(const Group& g, std::size_t i) const {
        _mm512_storeu_si512(out + 4 * i, _mm512_shuffle_epi8(g.v[0], order_bytes));
        _mm512_storeu_si512(out + 4 * i + 64, _mm512_shuffle_epi8(g.v[1], order_bytes));
    }
};

struct StoreScaled {
    std::int32_t* out;
    __m128i shift;  // 32 - bits
    TARVIO_TARGET_AVX512VBMI inline void store(const Group& g, std::size_t i) const {
        _mm512_storeu_si512(out + i, _mm512_sll_epi32(g.v[0], shift));
        _mm512_storeu_si512(out + i + 16, _mm512_sll_epi32(g.v[1], shift));
    }
};

TARVIO_TARGET_AVX512VBMI std::uint32_t s24Bulk(const double* in, std::size_t n, unsigned char* out,
                                               ByteOrder order) {
    std::uint32_t clipped = 0;
    const Index24& index = index24(order);
    const Store24 store{out, _mm512_load_si512(index.first), _mm512_load_si512(index.last)};
    roundGroups<Narrow>(in, n, intConstants(depthOf<24>()), store, clipped);
    return clipped;
}

TARVIO_TARGET_AVX512VBMI std::uint32_t s32Bulk(const double* in, std::size_t n, unsigned char* out,
                                               ByteOrder order) {
    std::uint32_t clipped = 0;
    const Store32 store{out, orderBytes<4>(order)};
    roundGroups<Wide>(in, n, intConstants(depthOf<32>()), store, clipped);
    return clipped;
}

template <int Bits>
TARVIO_TARGET_AVX512VBMI std::uint32_t scaledBulk(const double* in, std::size_t n,
                                                  std::int32_t* out) {
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

TARVIO_TARGET_AVX512VBMI inline __m512d limit8(const double* in, const FloatConstants& k,
                                               __m512i& clips) {
    const __m512d x = _mm512_loadu_pd(in);
    const __m512d number = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(x, x, _CMP_ORD_Q), x);
    const __mmask8 over = _mm512_cmp_pd_mask(_mm512_abs_pd(number), k.bound, _CMP_GT_OQ);
    clips = _mm512_mask_add_epi64(clips, over, clips, _mm512_set1_epi64(1));
    return _mm512_min_pd(_mm512_max_pd(number, k.minus_bound), k.bound);
}

// Sixteen doubles limited and converted to float, as bits.
TARVIO_TARGET_AVX512VBMI inline __m512i floats16(const double* in, const FloatConstants& k,
                                                 __m512i& clips) {
    const __m256 low = _mm512_cvtpd_ps(limit8(in, k, clips));
    const __m256 high = _mm512_cvtpd_ps(limit8(in + 8, k, clips));
    return join(_mm256_castps_si256(low), _mm256_castps_si256(high));
}

TARVIO_TARGET_AVX512VBMI inline std::uint32_t countOf(__m512i clips) {
    alignas(64) std::int64_t lanes[8];
    _mm512_store_si512(lanes, clips);
    std::int64_t sum = 0;
    for (const std::int64_t lane : lanes)
        sum += lane;
    return static_cast<std::uint32_t>(sum);
}

TARVIO_TARGET_AVX512VBMI std::uint32_t f32Bulk(const double* in, std::size_t n, unsigned char* out,
                                               ByteOrder order, double bound) {
    const FloatConstants k{_mm512_set1_pd(bound), _mm512_set1_pd(-bound)};
    const __m512i swap = orderBytes<4>(order);
    __m512i clips = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 16)
        _mm512_storeu_si512(out + 4 * i, _mm512_shuffle_epi8(floats16(in + i, k, clips), swap));
    return countOf(clips);
}

TARVIO_TARGET_AVX512VBMI std::uint32_t floatBulk(const double* in, std::size_t n, float* out,
                                                 double bound) {
    const FloatConstants k{_mm512_set1_pd(bound), _mm512_set1_pd(-bound)};
    __m512i clips = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 16)
        _mm512_storeu_si512(out + i, floats16(in + i, k, clips));
    return countOf(clips);
}

TARVIO_TARGET_AVX512VBMI std::uint32_t f64Bulk(const double* in, std::size_t n, unsigned char* out,
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

std::uint32_t s24_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order) {
    return Encoders<avx512::Kit>::s24(in, n, out, order);
}
std::uint32_t s32_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order) {
    return Encoders<avx512::Kit>::s32(in, n, out, order);
}
std::uint32_t s32_scaled_from_double_avx512vbmi(const double* in, std::size_t n, int bits,
                                                std::int32_t* out) {
    return Encoders<avx512::Kit>::scaled(in, n, bits, out);
}
std::uint32_t f32_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order, FloatRange range) {
    return Encoders<avx512::Kit>::f32(in, n, out, order, range);
}
std::uint32_t f64_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order, FloatRange range) {
    return Encoders<avx512::Kit>::f64(in, n, out, order, range);
}
std::uint32_t float_from_double_avx512vbmi(const double* in, std::size_t n, float* out,
                                           FloatRange range) {
    return Encoders<avx512::Kit>::floats(in, n, out, range);
}

TARVIO_AVX512_END

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_AVX512
