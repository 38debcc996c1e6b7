// SPDX-License-Identifier: MIT
// Sample encoding and decoding: floating-point and integer samples to and from
// the bytes of integer PCM (8 to 64 bits), of 32- and 64-bit float, in either
// byte order; and the peak magnitude of a block of samples. The WAV and AIFF
// readers and writers and tarvio-render's output all convert through here.
//
// Floating-point samples have full scale 1.0. Encoding to integers scales
// them by 2^(bits-1), rounds them by the Depth's rule, clips them to the
// depth and returns how many clipped; NaN becomes 0 and is not counted.
// Integer samples are values at the file's depth already and are only
// clipped. Decoding gives floating-point destinations value / 2^(bits-1),
// exact for every width the type holds, and integer destinations the value.
//
// Bytes are assembled and split by shifting (common/byteorder.h), so nothing
// depends on the host's byte order. Kernels with vector variants list them in
// tables of common/Cpu.h; the plain functions take the fastest variant the
// processor runs, and the tests compare every row with the portable one.
#ifndef TARVIO_PCM_PCM_H
#define TARVIO_PCM_PCM_H

#include <cstddef>
#include <cstdint>

#include "common/Cpu.h"

namespace tarvio::pcm {

enum class ByteOrder {
    Little,  // least significant byte first (WAV, W64, RF64)
    Big,     // most significant byte first (AIFF)
};

// How a scaled floating-point sample becomes an integer.
enum class Rounding {
    HalfAwayFromZero,  // to the nearest, halves away from zero (AIFF writer, tarvio-render)
    TowardZero,        // the fraction dropped (WAV writer)
};

// The constants of one depth and rounding rule, computed once and handed to
// the encoders.
struct Depth {
    int bytes;          // bytes per sample, 1 to 8
    double full_scale;  // 2^(bits-1)
    double clamp_low;   // min_value as a double (exact)
    double clamp_high;  // max_value as a double (exact for depths up to 48 bits)
    double clip_low;    // scaled values at or below this round below min_value
    double clip_high;   // scaled values at or above this round above max_value
    std::int64_t min_value;
    std::int64_t max_value;
    Rounding rounding;

    // The depth of `bits`-bit samples (a multiple of 8 from 8 to 64).
    static Depth forBits(int bits, Rounding rounding = Rounding::HalfAwayFromZero);
};

// Encodes `n` samples from `in` as `n * depth.bytes` bytes at `out` and
// returns how many clipped.
template <typename T>
using Encoder = std::uint32_t (*)(const T* in, std::size_t n, unsigned char* out,
                                  const Depth& depth);

// The encoder of samples of type T (double, float, long, int, short or signed
// char) to `depth` in `order`. Doubles to 16, 24 and 32 bits with halves
// away from zero get the fastest variant this processor runs.
template <typename T>
Encoder<T> pickEncoder(const Depth& depth, ByteOrder order);

// Decodes `n` samples of the width the decoder was picked for.
template <typename T>
using Decoder = void (*)(const unsigned char* in, std::size_t n, T* out);

// The decoder of `bytes`-byte (1 to 8) signed integers in `order` into T
// (double, float, long long, long, int, short or signed char). The caller
// makes sure T holds the values: float is exact up to 3 bytes, double up to 6.
template <typename T>
Decoder<T> pickDecoder(int bytes, ByteOrder order);

// ------------------------------------------------------------ named encoders
// Doubles to signed integers, halves away from zero; each returns the number
// of samples clipped. `out` takes n * bytes bytes.
std::uint32_t s8_from_double(const double* in, std::size_t n, unsigned char* out);
std::uint32_t s16le_from_double(const double* in, std::size_t n, unsigned char* out);
std::uint32_t s16be_from_double(const double* in, std::size_t n, unsigned char* out);
std::uint32_t s24le_from_double(const double* in, std::size_t n, unsigned char* out);
std::uint32_t s24be_from_double(const double* in, std::size_t n, unsigned char* out);
std::uint32_t s32le_from_double(const double* in, std::size_t n, unsigned char* out);
std::uint32_t s32be_from_double(const double* in, std::size_t n, unsigned char* out);

// Doubles rounded, clipped and counted at `bits` (8, 16, 24 or 32) as above,
// each value then shifted to the top of a 32-bit int: the form libsndfile's
// sf_writef_int takes for narrower formats (FLAC).
std::uint32_t s32_scaled_from_double(const double* in, std::size_t n, int bits, std::int32_t* out);

// What the float encoders do with samples beyond full scale.
enum class FloatRange {
    FullScale,  // clipped to [-1, 1] and counted
    Unclipped,  // kept; only what the type cannot hold (an infinity, and for
                // float a double beyond FLT_MAX) is clipped to the largest
                // finite value and counted
};

// Doubles to float, NaN to 0 (not counted); returns the number clipped.
std::uint32_t float_from_double(const double* in, std::size_t n, float* out,
                                FloatRange range = FloatRange::FullScale);
// The same as IEEE 754 bytes: 4 per sample for f32, 8 for f64.
std::uint32_t f32le_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range = FloatRange::FullScale);
std::uint32_t f32be_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range = FloatRange::FullScale);
std::uint32_t f64le_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range = FloatRange::FullScale);
std::uint32_t f64be_from_double(const double* in, std::size_t n, unsigned char* out,
                                FloatRange range = FloatRange::FullScale);

// ------------------------------------------------------------ named decoders
// Signed integers to doubles, value / 2^(bits-1).
void double_from_s8(const unsigned char* in, std::size_t n, double* out);
void double_from_s16le(const unsigned char* in, std::size_t n, double* out);
void double_from_s16be(const unsigned char* in, std::size_t n, double* out);
void double_from_s24le(const unsigned char* in, std::size_t n, double* out);
void double_from_s24be(const unsigned char* in, std::size_t n, double* out);
void double_from_s32le(const unsigned char* in, std::size_t n, double* out);
void double_from_s32be(const unsigned char* in, std::size_t n, double* out);
// IEEE 754 bytes to doubles, as they are.
void double_from_f32le(const unsigned char* in, std::size_t n, double* out);
void double_from_f32be(const unsigned char* in, std::size_t n, double* out);
void double_from_f64le(const unsigned char* in, std::size_t n, double* out);
void double_from_f64be(const unsigned char* in, std::size_t n, double* out);

// 8-bit WAV samples are unsigned with 128 for zero; these map them to and
// from the high byte of a 16-bit sample.
inline std::int16_t s16_from_u8(unsigned char u) {
    return static_cast<std::int16_t>((u - 128) * 256);
}
inline unsigned char u8_from_s16(std::int16_t v) {
    return static_cast<unsigned char>((v + 32768) >> 8);
}

// ---------------------------------------------------------------------- peak
// The largest magnitude among `n` samples and `peak`. A NaN sample makes the
// result +infinity: a peak that is not finite means the samples held an
// infinity or a NaN, and every comparison with a limit takes it as too loud.
double peak(const double* x, std::size_t n, double peak = 0.0);

// ------------------------------------------------------------------ variants
// The rows of a variant table, portable first; a row may name an instruction
// set this processor lacks (cpu::supported tells).
template <class Fn>
using Variants = cpu::VariantRows<Fn>;

// Doubles to 16-bit integers, halves away from zero: s16le/s16be_from_double.
using S16FromDouble = std::uint32_t (*)(const double* in, std::size_t n, unsigned char* out,
                                        ByteOrder order);
Variants<S16FromDouble> s16FromDoubleVariants();

// Doubles to 24- and 32-bit integers, halves away from zero:
// s24le/s24be_from_double and s32le/s32be_from_double, and pickEncoder's
// encoders of doubles to those depths.
using S24FromDouble = std::uint32_t (*)(const double* in, std::size_t n, unsigned char* out,
                                        ByteOrder order);
Variants<S24FromDouble> s24FromDoubleVariants();
using S32FromDouble = std::uint32_t (*)(const double* in, std::size_t n, unsigned char* out,
                                        ByteOrder order);
Variants<S32FromDouble> s32FromDoubleVariants();

// Doubles rounded and clipped at `bits`, in the top bits of 32:
// s32_scaled_from_double.
using S32ScaledFromDouble = std::uint32_t (*)(const double* in, std::size_t n, int bits,
                                              std::int32_t* out);
Variants<S32ScaledFromDouble> s32ScaledFromDoubleVariants();

// Doubles to IEEE 754 bytes: f32le/f32be_from_double and
// f64le/f64be_from_double.
using F32FromDouble = std::uint32_t (*)(const double* in, std::size_t n, unsigned char* out,
                                        ByteOrder order, FloatRange range);
Variants<F32FromDouble> f32FromDoubleVariants();
using F64FromDouble = std::uint32_t (*)(const double* in, std::size_t n, unsigned char* out,
                                        ByteOrder order, FloatRange range);
Variants<F64FromDouble> f64FromDoubleVariants();

// Doubles to floats: float_from_double.
using FloatFromDouble = std::uint32_t (*)(const double* in, std::size_t n, float* out,
                                          FloatRange range);
Variants<FloatFromDouble> floatFromDoubleVariants();

// 16-bit integers to doubles: double_from_s16le/s16be.
using DoubleFromS16 = void (*)(const unsigned char* in, std::size_t n, double* out,
                               ByteOrder order);
Variants<DoubleFromS16> doubleFromS16Variants();

// The peak.
using Peak = double (*)(const double* x, std::size_t n, double peak);
Variants<Peak> peakVariants();

// Gathers `frames` frames of four channels into another order:
// out[4f + k] = in[4f + order[k]], each order[k] from 0 to 3. `in` and `out`
// do not overlap.
void reorder4(const double* in, std::size_t frames, const int order[4], double* out);
using Reorder4 = void (*)(const double* in, std::size_t frames, const int order[4], double* out);
Variants<Reorder4> reorder4Variants();

}  // namespace tarvio::pcm

#endif  // TARVIO_PCM_PCM_H
