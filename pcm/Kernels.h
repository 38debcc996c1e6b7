// SPDX-License-Identifier: MIT
// The variants of pcm's kernels, for the tables in Encode.cpp, Decode.cpp,
// Peak.cpp and Reorder.cpp and the files of each instruction set
// (EncodeSse2.cpp, EncodeAvx2.cpp, ...; see common/Cpu.h), and what those
// files share. Internal to the library: callers go through pcm/Pcm.h.
#ifndef TARVIO_PCM_KERNELS_H
#define TARVIO_PCM_KERNELS_H

#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/Cpu.h"
#include "pcm/Pcm.h"

namespace tarvio::pcm {

// The bound of the float encoders: 1, or the largest finite value of F.
template <typename F>
inline double boundOf(FloatRange range) {
    switch (range) {
        case FloatRange::FullScale:
            return 1.0;
        case FloatRange::Unclipped:
            return static_cast<double>(std::numeric_limits<F>::max());
    }
    return 1.0;
}

// The depth of Bits-bit integers with halves away from zero, made once.
template <int Bits>
const Depth& depthOf() {
    static const Depth d = Depth::forBits(Bits);
    return d;
}

// ------------------------------------------------------------------ encoders
// Doubles to 16 bits, halves away from zero. Each vector variant converts
// the bulk and leaves the rest to the next narrower one.
std::uint32_t s16_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order);
#if defined(TARVIO_HAVE_SSE2)
std::uint32_t s16_from_double_sse2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order);
#endif
#if defined(TARVIO_HAVE_AVX2)
std::uint32_t s16_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order);
#endif
#if defined(TARVIO_HAVE_AVX512)
std::uint32_t s16_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order);
#endif

// The t = trunc(2y) of a 16-bit file that are not NaN and do not clip:
// [lowest, lowest + span] (see EncodeAvx2.cpp).
struct UnclippedT {
    std::int32_t lowest;  // -65536
    std::int32_t span;    // 65534 - lowest
};

inline UnclippedT unclippedT(const Depth& d) {
    const auto lowest = static_cast<std::int32_t>(2.0 * d.clip_low) + 1;    // -65536
    const auto highest = static_cast<std::int32_t>(2.0 * d.clip_high) - 1;  // 65534
    return {lowest, highest - lowest};
}

// Doubles to 24 and 32 bits, halves away from zero; to 32-bit ints with the
// value of `bits` in the top bits; to floats and to IEEE 754 bytes. The
// vector variants convert the bulk and leave the rest to the portable ones.
std::uint32_t s24_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order);
std::uint32_t s32_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order);
std::uint32_t s32_scaled_from_double_portable(const double* in, std::size_t n, int bits,
                                              std::int32_t* out);
std::uint32_t f32_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order, FloatRange range);
std::uint32_t f64_from_double_portable(const double* in, std::size_t n, unsigned char* out,
                                       ByteOrder order, FloatRange range);
std::uint32_t float_from_double_portable(const double* in, std::size_t n, float* out,
                                         FloatRange range);
#if defined(TARVIO_HAVE_AVX2)
std::uint32_t s24_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order);
std::uint32_t s32_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order);
std::uint32_t s32_scaled_from_double_avx2(const double* in, std::size_t n, int bits,
                                          std::int32_t* out);
std::uint32_t f32_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order, FloatRange range);
std::uint32_t f64_from_double_avx2(const double* in, std::size_t n, unsigned char* out,
                                   ByteOrder order, FloatRange range);
std::uint32_t float_from_double_avx2(const double* in, std::size_t n, float* out, FloatRange range);
#endif
#if defined(TARVIO_HAVE_AVX512)
std::uint32_t s24_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order);
std::uint32_t s32_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order);
std::uint32_t s32_scaled_from_double_avx512vbmi(const double* in, std::size_t n, int bits,
                                                std::int32_t* out);
std::uint32_t f32_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order, FloatRange range);
std::uint32_t f64_from_double_avx512vbmi(const double* in, std::size_t n, unsigned char* out,
                                         ByteOrder order, FloatRange range);
std::uint32_t float_from_double_avx512vbmi(const double* in, std::size_t n, float* out,
                                           FloatRange range);
#endif

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
    static std::uint32_t s24(const double* in, std::size_t n, unsigned char* out, ByteOrder order) {
        const std::size_t done = groupsOf(n);
        return Kit::s24Bulk(in, done, out, order) +
               s24_from_double_portable(in + done, n - done, out + 3 * done, order);
    }
    static std::uint32_t s32(const double* in, std::size_t n, unsigned char* out, ByteOrder order) {
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
    static std::uint32_t f32(const double* in, std::size_t n, unsigned char* out, ByteOrder order,
                             FloatRange range) {
        const std::size_t done = sixteensOf(n);
        return Kit::f32Bulk(in, done, out, order, boundOf<float>(range)) +
               f32_from_double_portable(in + done, n - done, out + 4 * done, order, range);
    }
    static std::uint32_t f64(const double* in, std::size_t n, unsigned char* out, ByteOrder order,
                             FloatRange range) {
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

// ------------------------------------------------------------------ decoders
// 16-bit integers to doubles.
void double_from_s16_portable(const unsigned char* in, std::size_t n, double* out, ByteOrder order);
#if defined(TARVIO_HAVE_AVX2)
void double_from_s16_avx2(const unsigned char* in, std::size_t n, double* out, ByteOrder order);
#endif

// ---------------------------------------------------------------------- peak
// Each vector variant leaves the samples after its last whole group to the
// next narrower one.
double peak_portable(const double* x, std::size_t n, double peak);
#if defined(TARVIO_HAVE_SSE2)
double peak_sse2(const double* x, std::size_t n, double peak);
#endif
#if defined(TARVIO_HAVE_AVX512)
double peak_avx512(const double* x, std::size_t n, double peak);
#endif

// The result of a peak that saw a NaN among its samples: +infinity.
inline double reportedPeak(double peak, bool sawNaN) {
    return sawNaN ? std::numeric_limits<double>::infinity() : peak;
}

// ------------------------------------------------------------------- reorder
void reorder4_portable(const double* in, std::size_t frames, const int order[4], double* out);
#if defined(TARVIO_HAVE_AVX2)
void reorder4_avx2(const double* in, std::size_t frames, const int order[4], double* out);
#endif

}  // namespace tarvio::pcm

#endif  // TARVIO_PCM_KERNELS_H
