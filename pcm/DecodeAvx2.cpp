// SPDX-License-Identifier: MIT
// The AVX2 variant of the 16-bit decoder (see pcm/Decode.cpp).
#include "common/Simd.h"
#include "pcm/Kernels.h"

#if defined(TARVIO_HAVE_AVX2)

namespace tarvio::pcm {

// Sixteen samples at a time: the bytes are put in the host's (little-endian)
// order by one byte shuffle, whose constant is the only thing the byte order
// changes, then eight of them widen to 32-bit integers and to two vectors of
// four doubles; the conversion and the product are exact, as in the portable
// loop.
TARVIO_TARGET_AVX2 void double_from_s16_avx2(const unsigned char* in, std::size_t n, double* out,
                                             ByteOrder order) {
    __m128i host = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    switch (order) {
        case ByteOrder::Little:
            break;
        case ByteOrder::Big:
            host = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
            break;
    }
    const __m256d scale = _mm256_set1_pd(1.0 / 32768);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i lo =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i)), host);
        const __m128i hi = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i + 16)), host);
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
    double_from_s16_portable(in + 2 * i, n - i, out + i, order);
}

}  // namespace tarvio::pcm

#endif  // TARVIO_HAVE_AVX2
