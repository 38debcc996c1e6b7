// SPDX-License-Identifier: MIT

#include "wav/Pcm16Decode.h"

#include "common/byteorder.h"

// The AVX2 variant, where the compiler can build AVX2 code for one function
// and the processor is asked at run time whether it has it.
#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(TARVIO_NO_SIMD)
#define TARVIO_DECODE_AVX2 1
#include <immintrin.h>
#endif

namespace tarvio {
namespace wav {

namespace {

constexpr double kScale = 1.0 / 32768;  // a power of two: the products are exact

void decodePcm16_portable(const unsigned char* bytes, std::size_t samples, double* out) {
    for (std::size_t i = 0; i < samples; ++i)
        out[i] = static_cast<double>(tarvio::bytes::getS16LE(bytes + 2 * i)) * kScale;
}

#if defined(TARVIO_DECODE_AVX2)
// x86 is little-endian: the file's bytes, loaded as they are, are the
// samples. Eight of them widen to 32-bit integers, then to two vectors of
// four doubles; the conversion and the product are exact, as in the portable
// loop.
__attribute__((target("avx2"))) void decodePcm16_avx2(const unsigned char* bytes,
                                                      std::size_t samples, double* out) {
    const __m256d scale = _mm256_set1_pd(kScale);
    std::size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i + 16));
        const __m256i a = _mm256_cvtepi16_epi32(lo);
        const __m256i b = _mm256_cvtepi16_epi32(hi);
        _mm256_storeu_pd(out + i,
                         _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(a)), scale));
        _mm256_storeu_pd(out + i + 4,
                         _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(a, 1)), scale));
        _mm256_storeu_pd(out + i + 8,
                         _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(b)), scale));
        _mm256_storeu_pd(out + i + 12,
                         _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(b, 1)), scale));
    }
    decodePcm16_portable(bytes + 2 * i, samples - i, out + i);
}
#endif

// Decided once per process; the one question about the processor is asked
// here.
std::vector<Pcm16Variant> availablePcm16Variants() {
    std::vector<Pcm16Variant> variants = {{"portable", &decodePcm16_portable}};
#if defined(TARVIO_DECODE_AVX2)
    __builtin_cpu_init();  // in case this runs before the static constructors
    if (__builtin_cpu_supports("avx2"))
        variants.push_back({"avx2", &decodePcm16_avx2});
#endif
    return variants;
}

}  // namespace

const std::vector<Pcm16Variant>& pcm16Variants() {
    static const std::vector<Pcm16Variant> variants = availablePcm16Variants();
    return variants;
}

}  // namespace wav
}  // namespace tarvio
