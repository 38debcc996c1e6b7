// SPDX-License-Identifier: MIT
// The AVX-512 spatializer kernel: eight frames per vector. The phases of the
// block come from the AVX2 kernel's chainPhases_avx2; the positions are
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

#if defined(TARVIO_HAVE_AVX512)
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

// Bilinear gains and spreading of eight frames at positions (x, y) with mono
// samples s, the products in the portable order: channels 1 to 4 get x y s,
// (1 - x) y s, x (1 - y) s and (1 - x)(1 - y) s. The four channel vectors
// become eight frames in two steps of two-source permutes: first the pairs
// (1, 2) and (3, 4) of each frame, then the frames, each in the order that
// `frames` gives.
TARVIO_TARGET_AVX512 inline void spread8(__m512d x, __m512d y, __m512d s, const Interleave& frames,
                                         double* o) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d rx = _mm512_sub_pd(one, x);
    const __m512d ry = _mm512_sub_pd(one, y);
    const __m512d c1 = _mm512_mul_pd(_mm512_mul_pd(x, y), s);
    const __m512d c2 = _mm512_mul_pd(_mm512_mul_pd(rx, y), s);
    const __m512d c3 = _mm512_mul_pd(_mm512_mul_pd(x, ry), s);
    const __m512d c4 = _mm512_mul_pd(_mm512_mul_pd(rx, ry), s);
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

TARVIO_AVX512_END

}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX512
