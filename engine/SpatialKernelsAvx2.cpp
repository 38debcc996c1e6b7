// SPDX-License-Identifier: MIT
// The AVX2 spatializer kernel: four frames per vector. It first takes the
// phases of the whole block for each rotation, then reads the positions of
// four frames at a time from the pair tables and spreads them. Every value
// is the one the portable kernel computes, to the last bit: the phases are
// the serial chain's (see chainPhases_avx2), and each lane then does the portable
// operations in the portable order.
#include "engine/SpatialKernels.h"

#include "common/Simd.h"

#if defined(TARVIO_HAVE_AVX2)
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvio {

namespace {

// The start of the binade of a positive normal p: the power of two lo with
// lo <= p < 2 lo.
inline double binadeStart(double p) {
    std::uint64_t bits;
    std::memcpy(&bits, &p, sizeof bits);
    bits &= 0x7FF0000000000000u;
    double lo;
    std::memcpy(&lo, &bits, sizeof lo);
    return lo;
}

// The largest K <= limit such that p + j d lies in [low, high] for every j
// from 1 to K, given that it does for j = 1: the whole part of the room left
// divided by the step. The quotient does not round up to a whole number it
// does not reach: room and step are multiples A u and c u of the spacing
// with A + c < 2^53, so a quotient N - e just below a whole number N has
// e >= 1 / c, more than half the spacing of doubles near N.
inline int runLength(double p, double d, double low, double high, int limit) {
    if (d == 0.0) {
        return limit;
    }
    const double room = d > 0.0 ? (high - p) / d : (p - low) / -d;
    return room >= limit ? limit : static_cast<int>(room);
}

// Writes p + j d for j = 1 to k to out[0, k). Each vector of four is an
// earlier one plus a multiple of d; four vectors go side by side, so that
// the additions do not wait for each other. Every sum is exact (see
// chainPhases_avx2), and so is every multiple of d up to k d, so this is p + j d
// itself.
TARVIO_TARGET_AVX2 void writeRun(double p, double d, int k, double* out) {
    const __m256d first = _mm256_add_pd(
        _mm256_set1_pd(p), _mm256_mul_pd(_mm256_set_pd(4.0, 3.0, 2.0, 1.0), _mm256_set1_pd(d)));
    int j = 0;
    if (k >= 16) {
        const __m256d step = _mm256_set1_pd(16.0 * d);
        const __m256d four = _mm256_set1_pd(4.0 * d);
        __m256d v0 = first;
        __m256d v1 = _mm256_add_pd(v0, four);
        __m256d v2 = _mm256_add_pd(v1, four);
        __m256d v3 = _mm256_add_pd(v2, four);
        for (; j + 16 <= k; j += 16) {
            _mm256_storeu_pd(out + j, v0);
            _mm256_storeu_pd(out + j + 4, v1);
            _mm256_storeu_pd(out + j + 8, v2);
            _mm256_storeu_pd(out + j + 12, v3);
            v0 = _mm256_add_pd(v0, step);
            v1 = _mm256_add_pd(v1, step);
            v2 = _mm256_add_pd(v2, step);
            v3 = _mm256_add_pd(v3, step);
        }
    }
    for (; j < k; ++j) {
        out[j] = p + (j + 1) * d;
    }
}

// The phases of the next n steps of a rotation, written to out[0, n);
// `phase` is left at the last. The result is the serial chain
//     phase += inc; wrap when it left [0, kTurn)
// exactly, but most of it is computed without the chain:
//
// Inside one binade [lo, 2 lo) the doubles are the multiples of the spacing
// u = lo 2^-52. Let p be a phase in it (p >= 1, p < kTurn) and q = p + inc
// the chain's next phase, and suppose q lies in [lo + u, 2 lo - u]. Then
// d = q - p is exact, and since q is the double nearest to p + inc, with
// neighbours q - u and q + u, |inc - d| <= u / 2: d is inc rounded to a
// multiple of u. Unless |inc - d| is exactly u / 2 (a tie, which the
// rounding breaks by the last bit of the phase, so it is left to the chain),
// the same holds from every phase p' of the binade: p' + inc lies strictly
// within u / 2 of p' + d, so it rounds to p' + d as long as that lies in
// [lo + u, 2 lo - u]. The chain then walks p + d, p + 2d, ... exactly, with
// no wrap (the binade lies inside [0, kTurn)), until it would leave that
// range. inc - d is exact too: both are multiples of the smaller of u and
// inc's own spacing, and the difference is at most u / 2.
//
// Everything else (phases below 1 and at kTurn, steps near the binade's
// ends, ties, increments that are not finite or larger than the binade)
// takes the chain one step at a time.
}  // namespace

int phaseRun(double p, double inc, int limit, double& d) {
    if (!(p >= 1.0 && p < kTurn))
        return 0;
    const double q = p + inc;
    const double lo = binadeStart(p);
    const double u = lo * 0x1p-52;
    const double low = lo + u;
    const double high = 2.0 * lo - u;
    if (!(q >= low && q <= high))
        return 0;
    d = q - p;
    const double rest = inc - d;
    if (rest == 0.5 * u || rest == -0.5 * u)
        return 0;
    return runLength(p, d, low, high, limit);
}

TARVIO_TARGET_AVX2 void chainPhases_avx2(double& phase, double inc, double* out, int n) {
    double p = phase;
    int i = 0;
    while (i < n) {
        double d = 0.0;
        const int k = phaseRun(p, inc, n - i, d);
        if (k > 0) {
            writeRun(p, d, k, out + i);
            p += k * d;
            i += k;
            continue;
        }
        p = chainStep(p, inc);
        out[i++] = p;
    }
    phase = p;
}

namespace {

// The coordinates of four frames from their phases: k = the integer part,
// frac = phase - k, a = path[k] and b = path[next(k)] from the pair table,
// value = a + frac * (b - a).
TARVIO_TARGET_AVX2 inline __m256d positions4(const double* phases, const double* pairs) {
    const __m256d ph = _mm256_loadu_pd(phases);
    // The whole parts as doubles; adding 0 turns the -0 of a phase of -0
    // into the +0 that the integer conversion gives.
    const __m256d whole = _mm256_add_pd(_mm256_round_pd(ph, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC),
                                        _mm256_setzero_pd());
    const __m256d frac = _mm256_sub_pd(ph, whole);
    const double* e0 = pairs + 2 * static_cast<long>(phases[0]);
    const double* e1 = pairs + 2 * static_cast<long>(phases[1]);
    const double* e2 = pairs + 2 * static_cast<long>(phases[2]);
    const double* e3 = pairs + 2 * static_cast<long>(phases[3]);
    // (a, b) of frames 0 and 2, and of frames 1 and 3.
    const __m256d p02 =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(e0)), _mm_loadu_pd(e2), 1);
    const __m256d p13 =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(e1)), _mm_loadu_pd(e3), 1);
    const __m256d a = _mm256_unpacklo_pd(p02, p13);
    const __m256d b = _mm256_unpackhi_pd(p02, p13);
    return _mm256_add_pd(a, _mm256_mul_pd(frac, _mm256_sub_pd(b, a)));
}

// Bilinear gains and spreading of four frames at positions (x, y) with mono
// samples s: the corners (1,1), (0,1), (1,0), (0,0) get x y s, (1 - x) y s,
// x (1 - y) s and (1 - x)(1 - y) s, each product taken left to right. The
// four channel vectors are transposed into four frames; in another order
// (see KernelBuffers::order) one permute of `halves`, the order as an index
// of the eight 32-bit halves of a frame, then puts each frame's channels in
// their places.
template <bool Ordered>
TARVIO_TARGET_AVX2 inline void spread4(__m256d x, __m256d y, const double* mono, __m256i halves,
                                       double* o) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d s = _mm256_loadu_pd(mono);
    const __m256d rx = _mm256_sub_pd(one, x);
    const __m256d ry = _mm256_sub_pd(one, y);
    const __m256d c1 = _mm256_mul_pd(_mm256_mul_pd(x, y), s);
    const __m256d c2 = _mm256_mul_pd(_mm256_mul_pd(rx, y), s);
    const __m256d c3 = _mm256_mul_pd(_mm256_mul_pd(x, ry), s);
    const __m256d c4 = _mm256_mul_pd(_mm256_mul_pd(rx, ry), s);
    const __m256d t0 = _mm256_unpacklo_pd(c1, c2);  // frames 0 and 2, channels 1 and 2
    const __m256d t1 = _mm256_unpackhi_pd(c1, c2);  // frames 1 and 3
    const __m256d t2 = _mm256_unpacklo_pd(c3, c4);  // frames 0 and 2, channels 3 and 4
    const __m256d t3 = _mm256_unpackhi_pd(c3, c4);  // frames 1 and 3
    const __m256d frames[4] = {
        _mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
        _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
    for (int f = 0; f < 4; ++f) {
        __m256d frame = frames[f];
        if (Ordered)
            frame = _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(frame), halves));
        _mm256_storeu_pd(o + 4 * f, frame);
    }
}

// One coordinate of one frame, as rotationPositions_portable reads it.
inline double positionAt(double phase, const double* pairs) {
    const int k = static_cast<int>(phase);
    const double frac = phase - k;
    const double a = pairs[2 * k];
    return a + frac * (pairs[2 * k + 1] - a);
}

// The frames of a block: positions from the phases, spreading, and the
// frames past the last whole vector one by one, in `order` when Ordered.
template <bool Ordered>
TARVIO_TARGET_AVX2 void spreadBlock(const double* phasesX, const double* phasesY,
                                    const double* pairX, const double* pairY, const double* mono,
                                    int frames, const int* order, double* out) {
    const __m256i halves =
        Ordered ? _mm256_setr_epi32(2 * order[0], 2 * order[0] + 1, 2 * order[1],
                                    2 * order[1] + 1, 2 * order[2], 2 * order[2] + 1,
                                    2 * order[3], 2 * order[3] + 1)
                : _mm256_setzero_si256();
    int i = 0;
    for (; i + 4 <= frames; i += 4) {
        const __m256d x = positions4(phasesX + i, pairX);
        const __m256d y = positions4(phasesY + i, pairY);
        spread4<Ordered>(x, y, mono + i, halves, out + kOutChannels * i);
    }
    for (; i < frames; ++i) {
        const double x = positionAt(phasesX[i], pairX);
        const double y = positionAt(phasesY[i], pairY);
        const double s = mono[i];
        const double frame[kOutChannels] = {x * y * s, (1.0 - x) * y * s, x * (1.0 - y) * s,
                                            (1.0 - x) * (1.0 - y) * s};
        double* o = out + kOutChannels * i;
        for (int k = 0; k < kOutChannels; ++k)
            o[k] = frame[channelAt(order, k)];
    }
}

}  // namespace

// Each lane adds and multiplies as mixDown_portable does: (0.0 + first)
// + second, times the gain.
TARVIO_TARGET_AVX2 void mixDown_avx2(const double* in, int channels, int frames, double gain,
                                     double* mono) {
    if (channels != 1 && channels != 2) {
        mixDown_portable(in, channels, frames, gain, mono);
        return;
    }
    const __m256d zero = _mm256_setzero_pd();
    const __m256d g = _mm256_set1_pd(gain);
    int j = 0;
    if (channels == 1) {
        for (; j + 4 <= frames; j += 4) {
            const __m256d s = _mm256_add_pd(zero, _mm256_loadu_pd(in + j));
            _mm256_storeu_pd(mono + j, _mm256_mul_pd(s, g));
        }
    } else {
        for (; j + 4 <= frames; j += 4) {
            const __m256d f01 = _mm256_loadu_pd(in + 2 * j);      // frames 0 and 1
            const __m256d f23 = _mm256_loadu_pd(in + 2 * j + 4);  // frames 2 and 3
            // The first channel of frames 0, 2, 1, 3 and the second.
            const __m256d first = _mm256_unpacklo_pd(f01, f23);
            const __m256d second = _mm256_unpackhi_pd(f01, f23);
            const __m256d sum = _mm256_add_pd(_mm256_add_pd(zero, first), second);
            _mm256_storeu_pd(mono + j, _mm256_mul_pd(_mm256_permute4x64_pd(sum, 0xD8), g));
        }
    }
    mixDown_portable(in + static_cast<std::size_t>(j) * channels, channels, frames - j, gain,
                     mono + j);
}

// The phases go into the position buffers and each group of four is
// replaced by its positions: positions4 reads its phases before the store.
TARVIO_TARGET_AVX2 void positions_avx2(Rotation& rot1, Rotation& rot2,
                                       const KernelBuffers& buffers) {
    double* x = buffers.blockX;
    double* y = buffers.blockY;
    chainPhases_avx2(rot1.phase, rot1.frequency * rot1.scale, x, BLOCK_SIZE);
    chainPhases_avx2(rot2.phase, rot2.frequency * rot2.scale, y, BLOCK_SIZE);
    static_assert(BLOCK_SIZE % 4 == 0, "whole vectors of positions");
    for (int i = 0; i < BLOCK_SIZE; i += 4) {
        _mm256_storeu_pd(x + i, positions4(x + i, buffers.pairX));
        _mm256_storeu_pd(y + i, positions4(y + i, buffers.pairY));
    }
}

TARVIO_TARGET_AVX2 void spatialize_avx2(Rotation& rot1, Rotation& rot2,
                                        const KernelBuffers& buffers, const double* mono,
                                        int frames, double* out) {
    alignas(32) double phasesX[BLOCK_SIZE];
    alignas(32) double phasesY[BLOCK_SIZE];
    chainPhases_avx2(rot1.phase, rot1.frequency * rot1.scale, phasesX, BLOCK_SIZE);
    chainPhases_avx2(rot2.phase, rot2.frequency * rot2.scale, phasesY, BLOCK_SIZE);
    // Local copies: the stores to `out` could otherwise change them, for all
    // the compiler knows.
    const double* pairX = buffers.pairX;
    const double* pairY = buffers.pairY;
    if (buffers.order)
        spreadBlock<true>(phasesX, phasesY, pairX, pairY, mono, frames, buffers.order, out);
    else
        spreadBlock<false>(phasesX, phasesY, pairX, pairY, mono, frames, nullptr, out);
}

}  // namespace tarvio

#endif  // TARVIO_HAVE_AVX2
