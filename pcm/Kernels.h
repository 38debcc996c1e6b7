// SPDX-License-Identifier: MIT
// The variants of pcm's vector kernels, for the tables in Encode.cpp,
// Decode.cpp and Peak.cpp. Internal to the library: callers go through
// pcm/Pcm.h.
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
std::uint32_t s16_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                     ByteOrder order);
#endif

// Doubles to 24 and 32 bits, halves away from zero; to 32-bit ints with the
// value of `bits` in the top bits; to floats and to IEEE 754 bytes. The
// vector variants (pcm/SimdWide.cpp) convert the bulk and leave the rest to
// the portable ones.
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
std::uint32_t float_from_double_avx2(const double* in, std::size_t n, float* out,
                                     FloatRange range);
#endif
#if defined(TARVIO_HAVE_AVX512)
std::uint32_t s24_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                     ByteOrder order);
std::uint32_t s32_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                     ByteOrder order);
std::uint32_t s32_scaled_from_double_avx512(const double* in, std::size_t n, int bits,
                                            std::int32_t* out);
std::uint32_t f32_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                     ByteOrder order, FloatRange range);
std::uint32_t f64_from_double_avx512(const double* in, std::size_t n, unsigned char* out,
                                     ByteOrder order, FloatRange range);
std::uint32_t float_from_double_avx512(const double* in, std::size_t n, float* out,
                                       FloatRange range);
#endif

}  // namespace tarvio::pcm

#endif  // TARVIO_PCM_KERNELS_H
