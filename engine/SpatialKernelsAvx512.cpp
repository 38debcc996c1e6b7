// SPDX-License-Identifier: MIT
// The AVX-512 spatializer kernel: eight frames per vector. The phases of the
// block are the AVX2 kernel's (chainPhases_avx2, or its values eight at a
// time where the 16-bit blocks use them, see PhaseStream); the positions are
// computed from the phases instead of read from the pair tables, and the
// four channel vectors are interleaved into frames with two-source permutes.
// Every value is the one the portable kernel computes, to the last bit.
//
// The positions. The square path has TABLE_SIZE = 4 q points with q = 1024,
// and every point is a multiple of 1/q: on each side one coordinate is 0 or
// 1 and the other k / q or (m - k) / q, all exact. Between points k and k + 1
// the portable kernel takes a + frac (b - a), where frac = phase - k is
// exact. On a side where the coordinate stands still, b - a = 0 and the
// result is a. On a side where it moves, b - a = +-1/q exactly, frac / q is
// exact, and the true value a + frac (b - a) equals phase / q or
// (m - phase) / q, which is a double (m - phase is exact for phase in
// [m / 2, m], and dividing by q only changes the exponent), so the rounded
// sum is that value. Over a whole turn, for phases in [0, TABLE_SIZE]:
//     x = max(0, min(1, min(phase, 3 q - phase) / q))
//     y = max(0, min(1, min(phase - q, 4 q - phase) / q))
// The closing point (phase = TABLE_SIZE) gives 0 and 0 like the table. The
// phases are never outside [0, TABLE_SIZE] (the chain wraps them), but one
// can be -0 (a start angle of -0 with a step of -0): the max with +0 as its
// second operand returns +0 for it, as the portable kernel's 0 + frac (b - a)
// does.
#include "engine/SpatialKernels.h"

#include "common/Simd.h"
#include "pcm/Pcm.h"

#if defined(TARVIO_HAVE_AVX512)
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tarvio {

TARVIO_AVX512_BEGIN

namespace {

static_assert(TABLE_SIZE == 4096, "the positions below are those of a 4096-point square");
constexpr double kSide = TABLE_SIZE / 4;  // table units along one side of the square
constexpr double kPerSide = 1.0 / kSide;  // exact: a power of two

// The x coordinates of eight frames from their phases.
TARVIO_TARGET_AVX512 inline __m512d squareX(__m512d ph) {
    const __m512d along = _mm512_min_pd(ph, _mm512_sub_pd(_mm512_set1_pd(3 * kSide), ph));
    const __m512d x =
        _mm512_min_pd(_mm512_mul_pd(along, _mm512_set1_pd(kPerSide)), _mm512_set1_pd(1.0));
    return _mm512_max_pd(x, _mm512_setzero_pd());
}

// The y coordinates of eight frames from their phases.
TARVIO_TARGET_AVX512 inline __m512d squareY(__m512d ph) {
    const __m512d along = _mm512_min_pd(_mm512_sub_pd(ph, _mm512_set1_pd(kSide)),
                                        _mm512_sub_pd(_mm512_set1_pd(4 * kSide), ph));
    const __m512d y =
        _mm512_min_pd(_mm512_mul_pd(along, _mm512_set1_pd(kPerSide)), _mm512_set1_pd(1.0));
    return _mm512_max_pd(y, _mm512_setzero_pd());
}

// The index vectors of the second interleaving step below, for the frames
// in `order` (see KernelBuffers::order). After the first step, channel c of
// frame f (0 to 3) of a group of four is element 2f + c of the pairs (1, 2)
// for c = 0 or 1, and element 8 + 2f + (c - 2) of the pairs (3, 4): any
// order is just other indices, chosen once per block.
struct Interleave {
    __m512i low;   // frames 0 and 1 of the four
    __m512i high;  // frames 2 and 3
};

TARVIO_TARGET_AVX512 inline Interleave interleaveFor(const int* order) {
    alignas(64) std::int64_t index[2][8];
    for (int f = 0; f < 4; ++f) {
        for (int k = 0; k < kOutChannels; ++k) {
            const int c = channelAt(order, k);
            index[f / 2][4 * (f % 2) + k] = c < 2 ? 2 * f + c : 8 + 2 * f + (c - 2);
        }
    }
    return {_mm512_load_si512(index[0]), _mm512_load_si512(index[1])};
}

// The four channel vectors of eight frames.
struct Corners {
    __m512d c1, c2, c3, c4;
};

// The products of bilinear gains and mono samples s of eight frames at
// positions (x, y), in the portable order: channels 1 to 4 get x y s,
// (1 - x) y s, x (1 - y) s and (1 - x)(1 - y) s.
TARVIO_TARGET_AVX512 inline Corners corners8(__m512d x, __m512d y, __m512d s) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d rx = _mm512_sub_pd(one, x);
    const __m512d ry = _mm512_sub_pd(one, y);
    return {_mm512_mul_pd(_mm512_mul_pd(x, y), s), _mm512_mul_pd(_mm512_mul_pd(rx, y), s),
            _mm512_mul_pd(_mm512_mul_pd(x, ry), s), _mm512_mul_pd(_mm512_mul_pd(rx, ry), s)};
}

// Bilinear gains and spreading of eight frames at positions (x, y) with mono
// samples s (see corners8). The four channel vectors become eight frames in
// two steps of two-source permutes: first the pairs (1, 2) and (3, 4) of
// each frame, then the frames, each in the order that `frames` gives.
TARVIO_TARGET_AVX512 inline void spread8(__m512d x, __m512d y, __m512d s, const Interleave& frames,
                                         double* o) {
    const Corners k = corners8(x, y, s);
    const __m512d c1 = k.c1, c2 = k.c2, c3 = k.c3, c4 = k.c4;
    // Element i of the first source is index i, of the second 8 + i.
    const __m512i pairsLow = _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11);
    const __m512i pairsHigh = _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15);
    const __m512d a03 = _mm512_permutex2var_pd(c1, pairsLow, c2);  // (1, 2) of frames 0-3
    const __m512d a47 = _mm512_permutex2var_pd(c1, pairsHigh, c2);
    const __m512d b03 = _mm512_permutex2var_pd(c3, pairsLow, c4);  // (3, 4) of frames 0-3
    const __m512d b47 = _mm512_permutex2var_pd(c3, pairsHigh, c4);
    _mm512_storeu_pd(o, _mm512_permutex2var_pd(a03, frames.low, b03));  // frames 0 and 1
    _mm512_storeu_pd(o + 8, _mm512_permutex2var_pd(a03, frames.high, b03));
    _mm512_storeu_pd(o + 16, _mm512_permutex2var_pd(a47, frames.low, b47));
    _mm512_storeu_pd(o + 24, _mm512_permutex2var_pd(a47, frames.high, b47));
}

}  // namespace

// Each lane adds and multiplies as mixDown_portable does: (0.0 + first)
// + second, times the gain.
TARVIO_TARGET_AVX512 void mixDown_avx512(const double* in, int channels, int frames, double gain,
                                         double* mono) {
    if (channels != 1 && channels != 2) {
        mixDown_portable(in, channels, frames, gain, mono);
        return;
    }
    const __m512d zero = _mm512_setzero_pd();
    const __m512d g = _mm512_set1_pd(gain);
    int j = 0;
    if (channels == 1) {
        for (; j + 8 <= frames; j += 8) {
            const __m512d s = _mm512_add_pd(zero, _mm512_loadu_pd(in + j));
            _mm512_storeu_pd(mono + j, _mm512_mul_pd(s, g));
        }
    } else {
        const __m512i firsts = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
        const __m512i seconds = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
        for (; j + 8 <= frames; j += 8) {
            const __m512d f03 = _mm512_loadu_pd(in + 2 * j);      // frames 0 to 3
            const __m512d f47 = _mm512_loadu_pd(in + 2 * j + 8);  // frames 4 to 7
            const __m512d first = _mm512_permutex2var_pd(f03, firsts, f47);
            const __m512d second = _mm512_permutex2var_pd(f03, seconds, f47);
            const __m512d sum = _mm512_add_pd(_mm512_add_pd(zero, first), second);
            _mm512_storeu_pd(mono + j, _mm512_mul_pd(sum, g));
        }
    }
    mixDown_portable(in + static_cast<std::size_t>(j) * channels, channels, frames - j, gain,
                     mono + j);
}

TARVIO_TARGET_AVX512 void positions_avx512(Rotation& rot1, Rotation& rot2,
                                           const KernelBuffers& buffers) {
    double* x = buffers.blockX;
    double* y = buffers.blockY;
    chainPhases_avx2(rot1.phase, rot1.frequency * rot1.scale, x, BLOCK_SIZE);
    chainPhases_avx2(rot2.phase, rot2.frequency * rot2.scale, y, BLOCK_SIZE);
    static_assert(BLOCK_SIZE % 8 == 0, "whole vectors of positions");
    for (int i = 0; i < BLOCK_SIZE; i += 8) {
        _mm512_storeu_pd(x + i, squareX(_mm512_loadu_pd(x + i)));
        _mm512_storeu_pd(y + i, squareY(_mm512_loadu_pd(y + i)));
    }
}

TARVIO_TARGET_AVX512 void spatialize_avx512(Rotation& rot1, Rotation& rot2,
                                            const KernelBuffers& buffers, const double* mono,
                                            int frames, double* out) {
    alignas(64) double phasesX[BLOCK_SIZE];
    alignas(64) double phasesY[BLOCK_SIZE];
    chainPhases_avx2(rot1.phase, rot1.frequency * rot1.scale, phasesX, BLOCK_SIZE);
    chainPhases_avx2(rot2.phase, rot2.frequency * rot2.scale, phasesY, BLOCK_SIZE);
    const Interleave interleave = interleaveFor(buffers.order);
    int i = 0;
    for (; i + 8 <= frames; i += 8) {
        const __m512d x = squareX(_mm512_load_pd(phasesX + i));
        const __m512d y = squareY(_mm512_load_pd(phasesY + i));
        spread8(x, y, _mm512_loadu_pd(mono + i), interleave, out + kOutChannels * i);
    }
    // The last frames of a short block: the same steps on a vector whose
    // lanes past the end are masked off.
    if (i < frames) {
        const __mmask8 live = static_cast<__mmask8>((1u << (frames - i)) - 1u);
        const __m512d x = squareX(_mm512_maskz_load_pd(live, phasesX + i));
        const __m512d y = squareY(_mm512_maskz_load_pd(live, phasesY + i));
        alignas(64) double tail[8 * kOutChannels];
        spread8(x, y, _mm512_maskz_loadu_pd(live, mono + i), interleave, tail);
        for (int k = 0; k < (frames - i) * kOutChannels; ++k) {
            out[kOutChannels * i + k] = tail[k];
        }
    }
}

// ------------------------------------------- straight to 16-bit samples
// The kernels of the blocks that come from and go to 16-bit samples. On the
// way out each product y is turned into its 16-bit sample as pcm's 16-bit
// encoder does (pcm/EncodeAvx512.cpp): t = trunc(2 y 32768), the sample
// (t + (t > 0)) >> 1 rounds halves away from zero; when any t of eight
// frames lies outside the t of samples that neither clip nor are NaN, the
// eight frames are taken again the slow way, clipped, counted and NaN made
// 0, exactly as the encoder takes them. On the way in each sample is
// value / 32768, exact, as pcm's decoder gives it.
namespace {

constexpr double kFullScale = 32768.0;
// The scaled values at or beyond which a 16-bit sample clips (see
// pcm::Depth: half a step beyond the extremes), and the extremes.
constexpr double kClipLow = -32768.5;
constexpr double kClipHigh = 32767.5;
constexpr double kClampLow = -32768.0;
constexpr double kClampHigh = 32767.0;
// The t that neither clip nor are NaN: [kLowestT, kLowestT + kTSpan].
constexpr std::int32_t kLowestT = -65536;
constexpr std::int32_t kTSpan = 65534 - kLowestT;

struct S16Out {
    __m512i bytes;  // the byte permutation of eight frames, see s16OutFor
};

// Output byte 8 f + 2 k + b (frame f, place k, b = 0 for the high byte) is
// byte 1 - b of the 32-bit value of frame f of the channel at place k: of
// value 8 c + f of the two sources, channels 1 and 2 in the first, 3 and 4
// in the second.
TARVIO_TARGET_AVX512VBMI inline S16Out s16OutFor(const int* order) {
    alignas(64) unsigned char index[64];
    for (int f = 0; f < 8; ++f) {
        for (int k = 0; k < kOutChannels; ++k) {
            const int value = 8 * channelAt(order, k) + f;
            index[8 * f + 2 * k] = static_cast<unsigned char>(4 * value + 1);
            index[8 * f + 2 * k + 1] = static_cast<unsigned char>(4 * value);
        }
    }
    return {_mm512_load_si512(index)};
}

// t of eight products, without any test.
TARVIO_TARGET_AVX512VBMI inline __m256i twiceTrunc(__m512d v) {
    return _mm512_cvttpd_epi32(_mm512_mul_pd(v, _mm512_set1_pd(2.0 * kFullScale)));
}

// t of eight products clipped and counted, clamped, NaN made 0.
TARVIO_TARGET_AVX512VBMI inline __m256i twiceTruncClamped(__m512d v, std::uint32_t& clipped) {
    const __m512d y = _mm512_mul_pd(v, _mm512_set1_pd(kFullScale));
    const __mmask8 below = _mm512_cmp_pd_mask(y, _mm512_set1_pd(kClipLow), _CMP_LE_OQ);
    const __mmask8 above = _mm512_cmp_pd_mask(y, _mm512_set1_pd(kClipHigh), _CMP_GE_OQ);
    clipped += static_cast<std::uint32_t>(__builtin_popcount(below) + __builtin_popcount(above));
    const __m512d c =
        _mm512_min_pd(_mm512_max_pd(y, _mm512_set1_pd(kClampLow)), _mm512_set1_pd(kClampHigh));
    const __mmask8 number = _mm512_cmp_pd_mask(y, y, _CMP_ORD_Q);
    return _mm512_maskz_cvttpd_epi32(number, _mm512_add_pd(c, c));
}

TARVIO_TARGET_AVX512VBMI inline __m512i join(__m256i low, __m256i high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

TARVIO_TARGET_AVX512VBMI inline __mmask16 outside(__m512i t) {
    return _mm512_cmpgt_epu32_mask(_mm512_sub_epi32(t, _mm512_set1_epi32(kLowestT)),
                                   _mm512_set1_epi32(kTSpan));
}

TARVIO_TARGET_AVX512VBMI inline __m512i halveAway(__m512i t) {
    const __mmask16 positive = _mm512_cmpgt_epi32_mask(t, _mm512_setzero_si512());
    return _mm512_srai_epi32(_mm512_mask_add_epi32(t, positive, t, _mm512_set1_epi32(1)), 1);
}

// The 64 bytes of eight four-channel frames of 16-bit big-endian samples.
TARVIO_TARGET_AVX512VBMI inline void encode8(const Corners& k, const S16Out& out,
                                             std::uint32_t& clipped, unsigned char* o) {
    __m512i a = join(twiceTrunc(k.c1), twiceTrunc(k.c2));
    __m512i b = join(twiceTrunc(k.c3), twiceTrunc(k.c4));
    if ((outside(a) | outside(b)) != 0) {
        a = join(twiceTruncClamped(k.c1, clipped), twiceTruncClamped(k.c2, clipped));
        b = join(twiceTruncClamped(k.c3, clipped), twiceTruncClamped(k.c4, clipped));
    }
    _mm512_storeu_si512(o, _mm512_permutex2var_epi8(halveAway(a), out.bytes, halveAway(b)));
}

// The 64 bytes of eight frames whose products, already times 2 x 32768
// (exact: see spatializeS16InRange_avx512vbmi), none can clip.
TARVIO_TARGET_AVX512VBMI inline void encode8InRange(const Corners& k, const S16Out& out,
                                                    unsigned char* o) {
    const __m512i a = join(_mm512_cvttpd_epi32(k.c1), _mm512_cvttpd_epi32(k.c2));
    const __m512i b = join(_mm512_cvttpd_epi32(k.c3), _mm512_cvttpd_epi32(k.c4));
    _mm512_storeu_si512(o, _mm512_permutex2var_epi8(halveAway(a), out.bytes, halveAway(b)));
}

// The mixdown of frames j to j + 7 of one or two channels of 16-bit
// little-endian samples: each value / 32768, then the sums of
// mixDown_portable, (0.0 + first) + second, times the gain. A stereo frame
// is one 32-bit word, the first sample in its low half.
template <int Channels>
TARVIO_TARGET_AVX512 inline __m512d mono8(const unsigned char* in, int j, __m512d gain) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d scale = _mm512_set1_pd(1.0 / kFullScale);
    if (Channels == 1) {
        const __m256i v =
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * j)));
        return _mm512_mul_pd(_mm512_add_pd(zero, _mm512_mul_pd(_mm512_cvtepi32_pd(v), scale)),
                             gain);
    }
    const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * j));
    const __m256i first = _mm256_srai_epi32(_mm256_slli_epi32(w, 16), 16);
    const __m256i second = _mm256_srai_epi32(w, 16);
    const __m512d a = _mm512_mul_pd(_mm512_cvtepi32_pd(first), scale);
    const __m512d b = _mm512_mul_pd(_mm512_cvtepi32_pd(second), scale);
    return _mm512_mul_pd(_mm512_add_pd(_mm512_add_pd(zero, a), b), gain);
}

// The mono samples of frames j to j + 7 of one or two channels of 16-bit
// samples, times 2 x 32768, in fewer steps than mono8 and the product: the
// whole sum S of a frame (exact in 32 bits) times twice the gain g. The
// values are mono8's times 65536 to the bit. mono8's sum is S / 32768
// exactly (S has at most 17 significant bits; a zero sum is +0 both ways),
// and scaling by a power of two commutes with rounding while the results
// stay normal, so round(S / 32768 g) 65536 = round(S 2 g). Where they do
// not, both are far below 1 / 65536, and so is every product: t is 0 either
// way (see spatializeS16InRange_avx512vbmi).
template <int Channels>
TARVIO_TARGET_AVX512 inline __m512d scaled8(const unsigned char* in, int j, __m512d twiceGain) {
    __m256i sum;
    if (Channels == 1) {
        sum = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * j)));
    } else {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * j));
        sum = _mm256_madd_epi16(w, _mm256_set1_epi16(1));  // first + second of each frame
    }
    return _mm512_mul_pd(_mm512_cvtepi32_pd(sum), twiceGain);
}

// The phases of a rotation over one block, eight at a time: the values of
// chainPhases_avx2, without a pass over memory. Within a run of equal steps
// (phaseRun) a vector is the last phase plus 1 to 8 steps, each of them and
// each sum exact, so it is the chain's; elsewhere the chain takes its steps
// one by one.
struct PhaseStream {
    double phase;       // the last phase given
    double inc;         // the chain's increment
    double step = 0.0;  // the step of the current run
    int run = 0;        // phases of the current run still to come
    __m512d steps{};    // 1 to 8 steps of the current run
};

// Starts the run that the chain takes from the last phase, if it takes one
// (s.run stays 0 otherwise); at most `left` phases, those left of the block.
TARVIO_TARGET_AVX512 void startRun(PhaseStream& s, int left) {
    s.run = phaseRun(s.phase, s.inc, left, s.step);
    if (s.run > 0)
        s.steps = _mm512_mul_pd(_mm512_setr_pd(1, 2, 3, 4, 5, 6, 7, 8), _mm512_set1_pd(s.step));
}

// The next eight phases when the run does not hold them all; `left` phases
// of the block remain, these eight included.
TARVIO_TARGET_AVX512 __m512d nextPhasesByChain(PhaseStream& s, int left) {
    alignas(64) double v[8];
    for (int k = 0; k < 8; ++k) {
        if (s.run == 0)
            startRun(s, left - k);
        if (s.run > 0) {
            s.phase += s.step;
            --s.run;
        } else {
            s.phase = chainStep(s.phase, s.inc);
        }
        v[k] = s.phase;
    }
    return _mm512_load_pd(v);
}

// The next eight phases; `left` phases of the block remain, these eight
// included.
TARVIO_TARGET_AVX512 inline __m512d nextPhases(PhaseStream& s, int left) {
    if (s.run < 8)
        return nextPhasesByChain(s, left);
    const __m512d v = _mm512_add_pd(_mm512_set1_pd(s.phase), s.steps);
    s.phase += 8.0 * s.step;
    s.run -= 8;
    return v;
}

// The last `count` (1 to 7) frames of a short block, from frame i, at
// positions (x, y): spread as spatialize_avx512 spreads them, then encoded
// by pcm; returns the samples clipped. The mono samples come from `mono`
// when `Channels` is 0, else mixed down from `in` (mono is null then: no
// offset may be taken from it).
template <int Channels>
TARVIO_TARGET_AVX512 std::uint32_t spreadTail(__m512d x, __m512d y, const double* mono,
                                              const unsigned char* in, double gain, int count,
                                              int i, const KernelBuffers& buffers,
                                              unsigned char* out) {
    const __mmask8 live = static_cast<__mmask8>((1u << count) - 1u);
    alignas(64) double tailMono[8];
    const double* m = tailMono;
    if (Channels == 0)
        m = mono + i;
    else
        mixDownS16_portable(in + 2 * static_cast<std::size_t>(i) * Channels, Channels, count, gain,
                            tailMono);
    alignas(64) double tail[8 * kOutChannels];
    spread8(_mm512_maskz_mov_pd(live, x), _mm512_maskz_mov_pd(live, y),
            _mm512_maskz_loadu_pd(live, m), interleaveFor(buffers.order), tail);
    return pcm::s16be_from_double(tail, static_cast<std::size_t>(count) * kOutChannels,
                                  out + 2 * kOutChannels * i);
}

// Where the frames of a 16-bit block come from and go to.
struct S16Io {
    const double* mono;       // Channels 0: the mono samples
    const unsigned char* in;  // Channels 1 or 2: the 16-bit samples
    unsigned char* out;
    S16Out bytes;
    __m512d twiceGain;  // 2 x the mixdown's gain, for scaled8
};

// Frames i to i + 7 of a block at positions (x, y), spread and encoded.
// InRange: the mono samples lie in [-1, 32767 / 32768]. Channels 0: they are
// read from io.mono; 1 or 2 (InRange only): mixed down from io.in on the
// way, by scaled8, and never stored.
template <bool InRange, int Channels>
TARVIO_TARGET_AVX512VBMI TARVIO_INLINE void group8(__m512d x, __m512d y, int i, const S16Io& io,
                                                   std::uint32_t& clipped) {
    unsigned char* o = io.out + 2 * kOutChannels * i;
    if (Channels != 0) {
        encode8InRange(corners8(x, y, scaled8<Channels>(io.in, i, io.twiceGain)), io.bytes, o);
        return;
    }
    const __m512d s = _mm512_loadu_pd(io.mono + i);
    if (InRange)
        encode8InRange(corners8(x, y, _mm512_mul_pd(s, _mm512_set1_pd(2.0 * kFullScale))), io.bytes,
                       o);
    else
        encode8(corners8(x, y, s), io.bytes, clipped, o);
}

// `groups` groups of eight frames from frame i that both runs hold whole:
// each vector of phases is the one before plus eight steps, exact. The
// streams move on past them.
template <bool InRange, int Channels>
TARVIO_TARGET_AVX512VBMI void groupsInRuns(PhaseStream& px, PhaseStream& py, int i, int groups,
                                           const S16Io& io, std::uint32_t& clipped) {
    __m512d vx = _mm512_add_pd(_mm512_set1_pd(px.phase), px.steps);
    __m512d vy = _mm512_add_pd(_mm512_set1_pd(py.phase), py.steps);
    const __m512d eightX = _mm512_set1_pd(8.0 * px.step);
    const __m512d eightY = _mm512_set1_pd(8.0 * py.step);
    std::uint32_t c = 0;
    for (int g = 0; g < groups; ++g, i += 8) {
        group8<InRange, Channels>(squareX(vx), squareY(vy), i, io, c);
        vx = _mm512_add_pd(vx, eightX);
        vy = _mm512_add_pd(vy, eightY);
    }
    clipped += c;
    const double taken = 8.0 * groups;
    px.phase += taken * px.step;
    py.phase += taken * py.step;
    px.run -= 8 * groups;
    py.run -= 8 * groups;
}

// The block of the kernels below (see group8 for InRange and Channels).
// Every phase of the block is taken: the point moves on by a whole block
// however many frames arrived.
template <bool InRange, int Channels>
TARVIO_TARGET_AVX512VBMI std::uint32_t spatializeS16Block(Rotation& rot1, Rotation& rot2,
                                                          const KernelBuffers& buffers,
                                                          const double* mono,
                                                          const unsigned char* in, double gain,
                                                          int frames, unsigned char* out) {
    PhaseStream phasesX{rot1.phase, rot1.frequency * rot1.scale};
    PhaseStream phasesY{rot2.phase, rot2.frequency * rot2.scale};
    startRun(phasesX, BLOCK_SIZE);
    startRun(phasesY, BLOCK_SIZE);
    const S16Io io{mono, in, out, s16OutFor(buffers.order), _mm512_set1_pd(2.0 * gain)};
    std::uint32_t clipped = 0;
    static_assert(BLOCK_SIZE % 8 == 0, "whole vectors of phases");
    int i = 0;
    while (i < BLOCK_SIZE) {
        const int whole = i < frames ? (frames - i) / 8 : 0;
        const int groups = std::min(whole, std::min(phasesX.run, phasesY.run) / 8);
        if (groups > 0) {
            groupsInRuns<InRange, Channels>(phasesX, phasesY, i, groups, io, clipped);
            i += 8 * groups;
            continue;
        }
        const __m512d x = squareX(nextPhases(phasesX, BLOCK_SIZE - i));
        const __m512d y = squareY(nextPhases(phasesY, BLOCK_SIZE - i));
        if (i + 8 <= frames)
            group8<InRange, Channels>(x, y, i, io, clipped);
        else if (i < frames)
            clipped += spreadTail<Channels>(x, y, mono, in, gain, frames - i, i, buffers, out);
        i += 8;
    }
    rot1.phase = phasesX.phase;
    rot2.phase = phasesY.phase;
    return clipped;
}

}  // namespace

TARVIO_TARGET_AVX512VBMI std::uint32_t spatializeS16_avx512vbmi(Rotation& rot1, Rotation& rot2,
                                                                const KernelBuffers& buffers,
                                                                const double* mono, int frames,
                                                                unsigned char* out) {
    return spatializeS16Block<false, 0>(rot1, rot2, buffers, mono, nullptr, 0.0, frames, out);
}

// With every mono sample s in [-1, 32767 / 32768], every product c = g s
// (g = x y and the like, in [0, 1]) lies there too, so t = trunc(65536 c)
// lies in [-65536, 65534]: nothing clips, the check is left out. And s is
// taken times 65536 before the products, which is exact: 65536 s is, and
// g (65536 s) rounds to 65536 (g s) wherever g s is a normal double; where
// it is not, both are far below 1 / 65536 and t is 0 either way.
TARVIO_TARGET_AVX512VBMI std::uint32_t spatializeS16InRange_avx512vbmi(
    Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers, const double* mono, int frames,
    unsigned char* out) {
    return spatializeS16Block<true, 0>(rot1, rot2, buffers, mono, nullptr, 0.0, frames, out);
}

TARVIO_TARGET_AVX512VBMI bool spatializeFromS16InRange_avx512vbmi(
    Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers, const unsigned char* in,
    int channels, double gain, int frames, unsigned char* out, std::uint32_t& clipped) {
    if (channels == 1)
        clipped += spatializeS16Block<true, 1>(rot1, rot2, buffers, nullptr, in, gain, frames, out);
    else if (channels == 2)
        clipped += spatializeS16Block<true, 2>(rot1, rot2, buffers, nullptr, in, gain, frames, out);
    else
        return false;
    return true;
}

// One and two channels, eight frames at a time (see mono8).
TARVIO_TARGET_AVX512 bool mixDownS16_avx512(const unsigned char* in, int channels, int frames,
                                            double gain, double* mono) {
    if (channels != 1 && channels != 2)
        return false;
    const __m512d g = _mm512_set1_pd(gain);
    int j = 0;
    for (; j + 8 <= frames; j += 8)
        _mm512_storeu_pd(mono + j, channels == 1 ? mono8<1>(in, j, g) : mono8<2>(in, j, g));
    mixDownS16_portable(in + 2 * static_cast<std::size_t>(j) * channels, channels, frames - j, gain,
                        mono + j);
    return true;
}

TARVIO_AVX512_END

}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
