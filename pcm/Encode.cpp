// SPDX-License-Identifier: MIT
// The encoders: the portable loops for every depth, byte order and rounding
// rule, the float encoders and the 32-bit-scaled integers, and the tables of
// their vector variants (pcm/EncodeSse2.cpp, pcm/EncodeAvx2.cpp,
// pcm/EncodeAvx512.cpp).
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/byteorder.h"
#include "pcm/Kernels.h"
#include "pcm/Pcm.h"

namespace tarvio::pcm {

Depth Depth::forBits(int bits, Rounding rounding) {
    Depth d;
    d.rounding = rounding;
    d.bytes = bits / 8;
    d.full_scale = std::ldexp(1.0, bits - 1);
    d.max_value = static_cast<std::int64_t>((std::uint64_t{1} << (bits - 1)) - 1u);
    d.min_value = -d.max_value - 1;
    d.clamp_low = static_cast<double>(d.min_value);
    d.clamp_high = static_cast<double>(d.max_value);  // only used up to 48 bits
    // A scaled value y rounds above max_value exactly when y >= max_value + 0.5
    // and below min_value exactly when y <= min_value - 0.5. Up to 48 bits both
    // limits are doubles. At 56 and 64 bits the doubles next to the bounds are
    // spaced wider than 1: max_value + 0.5 rounds to full_scale (still the
    // right limit), while the low limit is the first double below min_value.
    //
    // Truncated, y lands above max_value exactly when y >= max_value + 1, which
    // is full_scale, and below min_value exactly when y <= min_value - 1; that
    // is a double up to 48 bits, and beyond it the first double below
    // min_value is again the limit.
    const double below_min = std::nextafter(-d.full_scale, -std::numeric_limits<double>::infinity());
    switch (rounding) {
        case Rounding::HalfAwayFromZero:
            d.clip_high = d.full_scale - 0.5;
            d.clip_low = bits <= 48 ? -d.full_scale - 0.5 : below_min;
            break;
        case Rounding::TowardZero:
            d.clip_high = d.full_scale;
            d.clip_low = bits <= 48 ? -d.full_scale - 1.0 : below_min;
            break;
    }
    return d;
}

namespace {

// Rounds a finite value that lies inside the range of Int to the nearest
// integer, halves away from zero. The fractional part y - trunc(y) is exact in
// floating point, so unlike adding 0.5 before truncating this never rounds
// twice (0.49999999999999994 gives 0, 2^52 + 1 stays 2^52 + 1).
template <typename Int>
inline Int roundHalfAway(double y) {
    const Int t = static_cast<Int>(y);
    const double frac = y - static_cast<double>(t);
    return static_cast<Int>(t + static_cast<Int>(frac >= 0.5) - static_cast<Int>(frac <= -0.5));
}

// A scaled sample y at depths up to 48 bits, where the bounds and the halfway
// points beyond them are exact doubles: clamp first, then round, without
// branches. All comparisons happen on doubles before anything is turned into
// an integer, so no input (however large, or infinite) can overflow.
// Rounds a value that lies inside the range of Int by rule R.
template <Rounding R, typename Int>
inline Int roundBy(double y) {
    if constexpr (R == Rounding::HalfAwayFromZero) {
        return roundHalfAway<Int>(y);
    } else {
        static_assert(R == Rounding::TowardZero, "a rounding rule without its code");
        return static_cast<Int>(y);
    }
}

template <Rounding R, typename Int>
inline std::int64_t roundNarrow(double y, const Depth& d, std::uint32_t& clipped) {
    y = (y == y) ? y : 0.0;
    clipped +=
        static_cast<std::uint32_t>(y <= d.clip_low) + static_cast<std::uint32_t>(y >= d.clip_high);
    y = y < d.clamp_low ? d.clamp_low : y;
    y = y > d.clamp_high ? d.clamp_high : y;
    return roundBy<R, Int>(y);
}

// A scaled sample y at 56 and 64 bits, where max_value is not a double:
// decide on the clipping first and convert only values known to fit.
template <Rounding R>
inline std::int64_t roundWide(double y, const Depth& d, std::uint32_t& clipped) {
    if (y >= d.clip_high) {
        ++clipped;
        return d.max_value;
    }
    if (y <= d.clip_low) {
        ++clipped;
        return d.min_value;
    }
    if (y != y)
        return 0;
    return roundBy<R, std::int64_t>(y);
}

// Stores the low NB bytes of v in byte order O.
template <int NB, ByteOrder O>
inline void put(unsigned char* p, std::uint64_t v) {
    if constexpr (O == ByteOrder::Big) {
        bytes::putBE(p, v, NB);
    } else {
        static_assert(O == ByteOrder::Little, "a byte order without its code");
        bytes::putLE(p, v, NB);
    }
}

// The portable encoder of floating-point samples to NB-byte integers.
template <int NB, ByteOrder O, Rounding R, typename T>
std::uint32_t encodeFloat(const T* in, std::size_t n, unsigned char* out, const Depth& depth) {
    // A local copy: the compiler cannot tell that the byte stores leave
    // `depth` alone and would reload it for every sample.
    const Depth d = depth;
    // Rounding in 32 bits where the depth allows it is cheaper.
    using Int = typename std::conditional<NB <= 4, std::int32_t, std::int64_t>::type;
    std::uint32_t clipped = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double y = static_cast<double>(in[i]) * d.full_scale;
        std::int64_t v;
        if constexpr (NB <= 6)
            v = roundNarrow<R, Int>(y, d, clipped);
        else
            v = roundWide<R>(y, d, clipped);
        put<NB, O>(out + i * NB, static_cast<std::uint64_t>(v));
    }
    return clipped;
}

// Integer samples are values at the file's depth already: only clipped.
template <int NB, ByteOrder O, typename T>
std::uint32_t encodeInt(const T* in, std::size_t n, unsigned char* out, const Depth& d) {
    const std::int64_t min_value = d.min_value, max_value = d.max_value;
    std::uint32_t clipped = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t v = static_cast<std::int64_t>(in[i]);
        clipped +=
            static_cast<std::uint32_t>(v < min_value) + static_cast<std::uint32_t>(v > max_value);
        v = v < min_value ? min_value : v;
        v = v > max_value ? max_value : v;
        put<NB, O>(out + i * NB, static_cast<std::uint64_t>(v));
    }
    return clipped;
}

template <int NB, ByteOrder O, Rounding R, typename T>
constexpr Encoder<T> encoderFor() {
    if constexpr (std::is_floating_point<T>::value)
        return &encodeFloat<NB, O, R, T>;
    else
        return &encodeInt<NB, O, T>;
}

template <int NB, ByteOrder O, typename T>
Encoder<T> encoderFor(Rounding rounding) {
    switch (rounding) {
        case Rounding::HalfAwayFromZero:
            return encoderFor<NB, O, Rounding::HalfAwayFromZero, T>();
        case Rounding::TowardZero:
            return encoderFor<NB, O, Rounding::TowardZero, T>();
    }
    return nullptr;
}

template <int NB, typename T>
Encoder<T> encoderFor(ByteOrder order, Rounding rounding) {
    switch (order) {
        case ByteOrder::Little:
            return encoderFor<NB, ByteOrder::Little, T>(rounding);
        case ByteOrder::Big:
            return encoderFor<NB, ByteOrder::Big, T>(rounding);
    }
    return nullptr;
}

// Each table from the portable reference up to the widest variant, as
// cpu::pick() wants it.
constexpr cpu::Variant<S16FromDouble> kS16FromDouble[] = {
    TARVIO_VARIANT(s16_from_double, portable),
#if defined(TARVIO_HAVE_SSE2)
    TARVIO_VARIANT(s16_from_double, sse2),
#endif
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(s16_from_double, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(s16_from_double, avx512vbmi),
#endif
};
static_assert(cpu::ordered(kS16FromDouble), "portable first, then ever wider sets");

constexpr cpu::Variant<S24FromDouble> kS24FromDouble[] = {
    TARVIO_VARIANT(s24_from_double, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(s24_from_double, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(s24_from_double, avx512vbmi),
#endif
};
static_assert(cpu::ordered(kS24FromDouble), "portable first, then ever wider sets");

constexpr cpu::Variant<S32FromDouble> kS32FromDouble[] = {
    TARVIO_VARIANT(s32_from_double, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(s32_from_double, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(s32_from_double, avx512vbmi),
#endif
};
static_assert(cpu::ordered(kS32FromDouble), "portable first, then ever wider sets");

constexpr cpu::Variant<S32ScaledFromDouble> kS32ScaledFromDouble[] = {
    TARVIO_VARIANT(s32_scaled_from_double, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(s32_scaled_from_double, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(s32_scaled_from_double, avx512vbmi),
#endif
};
static_assert(cpu::ordered(kS32ScaledFromDouble), "portable first, then ever wider sets");

constexpr cpu::Variant<F32FromDouble> kF32FromDouble[] = {
    TARVIO_VARIANT(f32_from_double, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(f32_from_double, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(f32_from_double, avx512vbmi),
#endif
};
static_assert(cpu::ordered(kF32FromDouble), "portable first, then ever wider sets");

constexpr cpu::Variant<F64FromDouble> kF64FromDouble[] = {
    TARVIO_VARIANT(f64_from_double, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(f64_from_double, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(f64_from_double, avx512vbmi),
#endif
};
static_assert(cpu::ordered(kF64FromDouble), "portable first, then ever wider sets");

constexpr cpu::Variant<FloatFromDouble> kFloatFromDouble[] = {
    TARVIO_VARIANT(float_from_double, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(float_from_double, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(float_from_double, avx512vbmi),
#endif
};
static_assert(cpu::ordered(kFloatFromDouble), "portable first, then ever wider sets");

// The fastest variant of each encoder, chosen once.
S16FromDouble s16FromDouble() {
    static const S16FromDouble fn = cpu::pick(kS16FromDouble).fn;
    return fn;
}
S24FromDouble s24FromDouble() {
    static const S24FromDouble fn = cpu::pick(kS24FromDouble).fn;
    return fn;
}
S32FromDouble s32FromDouble() {
    static const S32FromDouble fn = cpu::pick(kS32FromDouble).fn;
    return fn;
}
S32ScaledFromDouble s32ScaledFromDouble() {
    static const S32ScaledFromDouble fn = cpu::pick(kS32ScaledFromDouble).fn;
    return fn;
}
F32FromDouble f32FromDouble() {
    static const F32FromDouble fn = cpu::pick(kF32FromDouble).fn;
    return fn;
}
F64FromDouble f64FromDouble() {
    static const F64FromDouble fn = cpu::pick(kF64FromDouble).fn;
    return fn;
}
FloatFromDouble floatFromDouble() {
    static const FloatFromDouble fn = cpu::pick(kFloatFromDouble).fn;
    return fn;
}

// The 16-, 24- and 32-bit encoders of doubles with the Encoder signature,
// per byte order; `depth` is that depth with halves away from zero.
template <ByteOrder O>
std::uint32_t s16FromDoubleWithDepth(const double* in, std::size_t n, unsigned char* out,
                                     const Depth&) {
    return s16FromDouble()(in, n, out, O);
}
template <ByteOrder O>
std::uint32_t s24FromDoubleWithDepth(const double* in, std::size_t n, unsigned char* out,
                                     const Depth&) {
    return s24FromDouble()(in, n, out, O);
}
template <ByteOrder O>
std::uint32_t s32FromDoubleWithDepth(const double* in, std::size_t n, unsigned char* out,
                                     const Depth&) {
    return s32FromDouble()(in, n, out, O);
}

// The one of two encoders that writes `order`.
Encoder<double> byOrder(ByteOrder order, Encoder<double> little, Encoder<double> big) {
    switch (order) {
        case ByteOrder::Little:
            return little;
        case ByteOrder::Big:
            return big;
    }
    return little;
}

}  // namespace

std::uint32_t s16_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order) {
    const Depth& d = depthOf<16>();
    switch (order) {
        case ByteOrder::Little:
            return encodeFloat<2, ByteOrder::Little, Rounding::HalfAwayFromZero>(in, n, out, d);
        case ByteOrder::Big:
            return encodeFloat<2, ByteOrder::Big, Rounding::HalfAwayFromZero>(in, n, out, d);
    }
    return 0;
}

std::uint32_t s24_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order) {
    const Depth& d = depthOf<24>();
    switch (order) {
        case ByteOrder::Little:
            return encodeFloat<3, ByteOrder::Little, Rounding::HalfAwayFromZero>(in, n, out, d);
        case ByteOrder::Big:
            return encodeFloat<3, ByteOrder::Big, Rounding::HalfAwayFromZero>(in, n, out, d);
    }
    return 0;
}

std::uint32_t s32_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order) {
    const Depth& d = depthOf<32>();
    switch (order) {
        case ByteOrder::Little:
            return encodeFloat<4, ByteOrder::Little, Rounding::HalfAwayFromZero>(in, n, out, d);
        case ByteOrder::Big:
            return encodeFloat<4, ByteOrder::Big, Rounding::HalfAwayFromZero>(in, n, out, d);
    }
    return 0;
}

Variants<S16FromDouble> s16FromDoubleVariants() {
    return cpu::rowsOf(kS16FromDouble);
}
Variants<S24FromDouble> s24FromDoubleVariants() {
    return cpu::rowsOf(kS24FromDouble);
}
Variants<S32FromDouble> s32FromDoubleVariants() {
    return cpu::rowsOf(kS32FromDouble);
}
Variants<S32ScaledFromDouble> s32ScaledFromDoubleVariants() {
    return cpu::rowsOf(kS32ScaledFromDouble);
}
Variants<F32FromDouble> f32FromDoubleVariants() {
    return cpu::rowsOf(kF32FromDouble);
}
Variants<F64FromDouble> f64FromDoubleVariants() {
    return cpu::rowsOf(kF64FromDouble);
}
Variants<FloatFromDouble> floatFromDoubleVariants() {
    return cpu::rowsOf(kFloatFromDouble);
}

template <typename T>
Encoder<T> pickEncoder(const Depth& depth, ByteOrder order) {
    if constexpr (std::is_same<T, double>::value) {
        if (depth.rounding == Rounding::HalfAwayFromZero) {
            switch (depth.bytes) {
                case 2:
                    return byOrder(order, &s16FromDoubleWithDepth<ByteOrder::Little>,
                                   &s16FromDoubleWithDepth<ByteOrder::Big>);
                case 3:
                    return byOrder(order, &s24FromDoubleWithDepth<ByteOrder::Little>,
                                   &s24FromDoubleWithDepth<ByteOrder::Big>);
                case 4:
                    return byOrder(order, &s32FromDoubleWithDepth<ByteOrder::Little>,
                                   &s32FromDoubleWithDepth<ByteOrder::Big>);
                default:
                    break;
            }
        }
    }
    switch (depth.bytes) {
        case 1:
            return encoderFor<1, T>(order, depth.rounding);
        case 2:
            return encoderFor<2, T>(order, depth.rounding);
        case 3:
            return encoderFor<3, T>(order, depth.rounding);
        case 4:
            return encoderFor<4, T>(order, depth.rounding);
        case 5:
            return encoderFor<5, T>(order, depth.rounding);
        case 6:
            return encoderFor<6, T>(order, depth.rounding);
        case 7:
            return encoderFor<7, T>(order, depth.rounding);
        default:
            return encoderFor<8, T>(order, depth.rounding);
    }
}

template Encoder<double> pickEncoder<double>(const Depth&, ByteOrder);
template Encoder<float> pickEncoder<float>(const Depth&, ByteOrder);
template Encoder<long> pickEncoder<long>(const Depth&, ByteOrder);
template Encoder<int> pickEncoder<int>(const Depth&, ByteOrder);
template Encoder<short> pickEncoder<short>(const Depth&, ByteOrder);
template Encoder<signed char> pickEncoder<signed char>(const Depth&, ByteOrder);

// ------------------------------------------------------------ named encoders

std::uint32_t s8_from_double(const double* in, std::size_t n, unsigned char* out) {
    return encodeFloat<1, ByteOrder::Big, Rounding::HalfAwayFromZero>(in, n, out, depthOf<8>());
}
std::uint32_t s16le_from_double(const double* in, std::size_t n, unsigned char* out) {
    return s16FromDouble()(in, n, out, ByteOrder::Little);
}
std::uint32_t s16be_from_double(const double* in, std::size_t n, unsigned char* out) {
    return s16FromDouble()(in, n, out, ByteOrder::Big);
}
std::uint32_t s24le_from_double(const double* in, std::size_t n, unsigned char* out) {
    return s24FromDouble()(in, n, out, ByteOrder::Little);
}
std::uint32_t s24be_from_double(const double* in, std::size_t n, unsigned char* out) {
    return s24FromDouble()(in, n, out, ByteOrder::Big);
}
std::uint32_t s32le_from_double(const double* in, std::size_t n, unsigned char* out) {
    return s32FromDouble()(in, n, out, ByteOrder::Little);
}
std::uint32_t s32be_from_double(const double* in, std::size_t n, unsigned char* out) {
    return s32FromDouble()(in, n, out, ByteOrder::Big);
}

namespace {

// One sample rounded and clipped at `bits` (at most 32), shifted to the top
// of 32 bits.
template <int Bits>
std::uint32_t scaledFromDouble(const double* in, std::size_t n, std::int32_t* out) {
    const Depth d = depthOf<Bits>();
    std::uint32_t clipped = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = roundNarrow<Rounding::HalfAwayFromZero, std::int32_t>(
            in[i] * d.full_scale, d, clipped);
        const std::uint32_t top = static_cast<std::uint32_t>(v) << (32 - Bits);
        // Two's complement back from the unsigned bits, without an
        // implementation-defined conversion.
        out[i] = top < 0x80000000u ? static_cast<std::int32_t>(top)
                                   : static_cast<std::int32_t>(top - 0x80000000u) - 0x7FFFFFFF - 1;
    }
    return clipped;
}

}  // namespace

std::uint32_t s32_scaled_from_double(const double* in, std::size_t n, int bits,
                                     std::int32_t* out) {
    return s32ScaledFromDouble()(in, n, bits, out);
}

std::uint32_t s32_scaled_from_double_portable(const double* in, std::size_t n, int bits,
                                              std::int32_t* out) {
    switch (bits) {
        case 8:
            return scaledFromDouble<8>(in, n, out);
        case 16:
            return scaledFromDouble<16>(in, n, out);
        case 24:
            return scaledFromDouble<24>(in, n, out);
        default:
            return scaledFromDouble<32>(in, n, out);
    }
}

// ------------------------------------------------------------------- floats

namespace {

// One double limited for a floating-point type F: NaN to 0; with FullScale
// everything beyond [-1, 1] to the bound, with Unclipped what F cannot hold
// (beyond its largest finite value, infinities included) to that value. The
// comparisons are on doubles, so the conversion to F that follows never sees
// a value out of F's range.
template <typename F>
inline double limited(double x, double bound, std::uint32_t& clipped) {
    x = x == x ? x : 0.0;
    clipped += static_cast<std::uint32_t>(x > bound) + static_cast<std::uint32_t>(x < -bound);
    x = x > bound ? bound : x;
    x = x < -bound ? -bound : x;
    return x;
}

// The IEEE 754 bits of f, through memcpy (the same size; no aliasing).
inline std::uint64_t bitsOf(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
inline std::uint64_t bitsOf(double f) {
    std::uint64_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

template <typename F, ByteOrder O>
std::uint32_t floatBytesFromDouble(const double* in, std::size_t n, unsigned char* out,
                                   FloatRange range) {
    const double bound = boundOf<F>(range);
    std::uint32_t clipped = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const F f = static_cast<F>(limited<F>(in[i], bound, clipped));
        put<sizeof(F), O>(out + i * sizeof(F), bitsOf(f));
    }
    return clipped;
}

}  // namespace

std::uint32_t float_from_double_portable(const double* in, std::size_t n, float* out,
                                         FloatRange range) {
    const double bound = boundOf<float>(range);
    std::uint32_t clipped = 0;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<float>(limited<float>(in[i], bound, clipped));
    return clipped;
}
std::uint32_t f32_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order, FloatRange range) {
    switch (order) {
        case ByteOrder::Little:
            return floatBytesFromDouble<float, ByteOrder::Little>(in, n, out, range);
        case ByteOrder::Big:
            return floatBytesFromDouble<float, ByteOrder::Big>(in, n, out, range);
    }
    return 0;
}
std::uint32_t f64_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order, FloatRange range) {
    switch (order) {
        case ByteOrder::Little:
            return floatBytesFromDouble<double, ByteOrder::Little>(in, n, out, range);
        case ByteOrder::Big:
            return floatBytesFromDouble<double, ByteOrder::Big>(in, n, out, range);
    }
    return 0;
}

std::uint32_t float_from_double(const double* in, std::size_t n, float* out, FloatRange range) {
    return floatFromDouble()(in, n, out, range);
}
std::uint32_t f32le_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range) {
    return f32FromDouble()(in, n, out, ByteOrder::Little, range);
}
std::uint32_t f32be_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range) {
    return f32FromDouble()(in, n, out, ByteOrder::Big, range);
}
std::uint32_t f64le_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range) {
    return f64FromDouble()(in, n, out, ByteOrder::Little, range);
}
std::uint32_t f64be_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range) {
    return f64FromDouble()(in, n, out, ByteOrder::Big, range);
}

}  // namespace tarvio::pcm
