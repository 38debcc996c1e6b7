// SPDX-License-Identifier: MIT
// The variants of pcm's vector kernels, for the tables in Encode.cpp,
// Decode.cpp and Peak.cpp. Internal to the library: callers go through
// pcm/Pcm.h.
#ifndef TARVIO_PCM_KERNELS_H
#define TARVIO_PCM_KERNELS_H

#include <cstddef>
#include <cstdint>

#include "common/Cpu.h"
#include "pcm/Pcm.h"

namespace tarvio::pcm {

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

}  // namespace tarvio::pcm

#endif  // TARVIO_PCM_KERNELS_H
