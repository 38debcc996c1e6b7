// SPDX-License-Identifier: MIT
// Sample conversion for the AIFF writer: caller samples to big-endian integers
// of the file's depth, clipped and counted. The writer asks pickConverter for
// the converter of its depth and sample type once per call of write and
// applies it to the caller's samples piece by piece.
//
// Floating-point samples have full scale 1.0: they are scaled by 2^(bits-1),
// rounded to the nearest integer with halves away from zero, and clipped to
// the depth; NaN becomes 0 and is not counted as clipped. Integer samples are
// values at the file's depth already and are only clipped.
#ifndef TARVIO_AIFF_SAMPLECONVERT_H
#define TARVIO_AIFF_SAMPLECONVERT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvio {
namespace aiff {

// What a converter needs to know about the file's depth.
struct Depth {
    int bytes;          // bytes per sample, 1 to 8
    double full_scale;  // 2^(bits-1)
    double clamp_low;   // min_value as a double (exact)
    double clamp_high;  // max_value as a double (exact for depths up to 48 bits)
    double clip_low;    // scaled values at or below this round below min_value
    double clip_high;   // scaled values at or above this round above max_value
    std::int64_t min_value;
    std::int64_t max_value;

    // The depth of `bits`-bit samples (a multiple of 8 from 8 to 64).
    static Depth forBits(int bits);
};

// Converts `n` samples from `in` to `n * depth.bytes` bytes at `out` and
// returns how many of them were clipped.
template <typename T>
using Converter = std::uint32_t (*)(const T* in, std::size_t n, unsigned char* out,
                                    const Depth& depth);

// The converter for samples of type T (double, float, long, int, short or
// signed char) into a file of `depth.bytes` bytes per sample. Doubles into
// 16 bits get the fastest variant this build has and this CPU runs.
template <typename T>
Converter<T> pickConverter(const Depth& depth);

// The variants of the double to 16-bit converter, which give the same bytes
// and counts: `_portable` is plain C++ and always built; `_sse2`, `_avx2` and
// `_avx512` (AVX-512 F, BW and VBMI) convert the bulk of the samples 8, 32 and
// 32 at a time and leave the rest to the narrower ones. Only the variants this
// build and this CPU can run are listed, portable first, the fastest last;
// pickConverter takes the last.
struct Double16Variant {
    const char* name;  // "portable", "sse2", "avx2" or "avx512"
    Converter<double> convert;
};
const std::vector<Double16Variant>& double16Variants();

}  // namespace aiff
}  // namespace tarvio

#endif  // TARVIO_AIFF_SAMPLECONVERT_H
