// SPDX-License-Identifier: MIT
// The kernels of the spatializer: the mixdown of a block and the work after
// it. A block goes through three stages after the mixdown,
//   positions: where the sound is in each frame (x from rotation 1, y from
//              rotation 2, each read from the pair table of its coordinate);
//   gains:     per axis, the weights of the sides of the square at 1 and
//              at 0 (bilinear: x and 1 - x);
//   spread:    each corner channel gets the mono sample times the weights of
//              its two axes.
// The portable kernel runs the stages one after another through two blocks
// of positions. Vector kernels may fuse them; the SSE2 and AVX2 kernels do,
// for the rotations with bilinear gains, and never store a position. All of
// them write the four channels of layouts::quad(). Every
// kernel gives the same bytes as the portable one: each lane does its
// operations in the same order, and where the AVX2 kernel computes phases
// without the serial chain, it does so only where the result is provably
// the chain's (see SpatialKernelsAvx2.cpp).
#ifndef TARVIO_ENGINE_SPATIALKERNELS_H
#define TARVIO_ENGINE_SPATIALKERNELS_H

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/Cpu.h"
#include "engine/Spatializer.h"

namespace tarvio {

constexpr double kTurn = TABLE_SIZE;  // one full turn of a rotation, in table units
constexpr int kOutChannels = 4;       // channels of the fused kernels' output: layouts::quad()

// Number of doubles in a pair table: for each path index k from 0 to
// TABLE_SIZE, the point and its neighbour on the path side by side, so that
// one load fetches both ends of an interpolation.
constexpr int kPairTableSize = 2 * (TABLE_SIZE + 1);

// What a kernel works with besides the rotations: the pair tables of both
// coordinates, and room for BLOCK_SIZE positions of each coordinate, which
// the portable kernel and the positions stage fill and the fused vector
// kernels leave alone. A fused kernel writes the four channels of a frame in
// `order` (place k holds channel order[k] of layouts::quad(), as a file
// whose order differs from the engine's wants them), or in the engine's
// order when it is null: each place gets that channel's product, computed
// the same way, so the bytes only move.
struct KernelBuffers {
    const double* pairX;
    const double* pairY;
    double* blockX;
    double* blockY;
    const int* order = nullptr;
};
// The channel at place k of a frame in `order` (null: the engine's order).
inline int channelAt(const int* order, int k) {
    return order ? order[k] : k;
}

// One block of a kernel: moves both rotations on by a whole BLOCK_SIZE frames
// (the point keeps its pace when fewer frames arrived) and writes `frames`
// four-channel frames of the spread mono samples to `out`.
using SpatializeFn = void (*)(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                              const double* mono, int frames, double* out);

// The positions stage of the spatializer's stages: moves both rotations on
// by BLOCK_SIZE frames and writes the x-coordinate of each frame (rotation 1
// read from buffers.pairX) to buffers.blockX, the y-coordinate (rotation 2,
// pairY) to blockY.
using PositionsFn = void (*)(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers);
void positions_portable(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers);

// The mixdown before a block: frame j of the `channels` interleaved channels
// of `in` becomes mono[j], the sum of its samples from 0.0 up, in channel
// order, times `gain`.
using MixDownFn = void (*)(const double* in, int channels, int frames, double gain, double* mono);

// The blocks that come from and go to 16-bit samples (tarvio's WAV input and
// AIFF output) may skip the doubles in between:
// A block as SpatializeFn runs it, each product written at once as a 16-bit
// big-endian sample, 2 * kOutChannels bytes a frame at `out`, rounded,
// clipped and counted as pcm::s16be_from_double takes it; returns the
// number clipped.
using SpatializeS16Fn = std::uint32_t (*)(Rotation& rot1, Rotation& rot2,
                                          const KernelBuffers& buffers, const double* mono,
                                          int frames, unsigned char* out);
// The mixdown of `frames` frames of `channels` interleaved 16-bit
// little-endian samples (as a WAV file holds them), each value / 32768 as
// pcm's decoder gives it, then summed and scaled as MixDownFn does; false
// (and nothing written) for a channel count it does not take.
using MixDownS16Fn = bool (*)(const unsigned char* in, int channels, int frames, double gain,
                              double* mono);
// Both at once, for mono samples in [-1, 32767 / 32768]: the mixdown of
// `channels` channels of 16-bit samples `in` with `gain`, spread and written
// as SpatializeS16Fn writes it; the mono samples are never stored. Adds the
// samples clipped to `clipped`; false, and nothing done, for a channel
// count or a gain it does not take.
using SpatializeFromS16Fn = bool (*)(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                                     const unsigned char* in, int channels, double gain, int frames,
                                     unsigned char* out, std::uint32_t& clipped);
// The portable one, for any channel count.
bool mixDownS16_portable(const unsigned char* in, int channels, int frames, double gain,
                         double* mono);
#if defined(TARVIO_HAVE_AVX512)
// AVX-512 (F, BW and VBMI): spatialize_avx512 with pcm's 16-bit encoding of
// eight frames fused in.
std::uint32_t spatializeS16_avx512vbmi(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                                       const double* mono, int frames, unsigned char* out);
// The same for mono samples in [-1, 32767 / 32768], which no product can
// take beyond a 16-bit sample: without the test for clipping.
std::uint32_t spatializeS16InRange_avx512vbmi(Rotation& rot1, Rotation& rot2,
                                              const KernelBuffers& buffers, const double* mono,
                                              int frames, unsigned char* out);
// The in-range kernel with the mixdown of one or two channels of 16-bit
// samples (as MixDownS16Fn takes it, with `gain`) fused in: the mono samples
// are never stored. Adds the samples clipped to `clipped`; false, and
// nothing done, for other channel counts and for a gain that is not 0 and
// lies outside [2^-1000, 1] in size.
bool spatializeFromS16InRange_avx512vbmi(Rotation& rot1, Rotation& rot2,
                                         const KernelBuffers& buffers, const unsigned char* in,
                                         int channels, double gain, int frames, unsigned char* out,
                                         std::uint32_t& clipped);
// One and two channels eight frames at a time.
bool mixDownS16_avx512(const unsigned char* in, int channels, int frames, double gain,
                       double* mono);
#endif

// The variants of each kernel, one table each (see common/Cpu.h): the
// portable reference first, then the vector variants this build contains,
// narrowest first, each function named after its instruction set
// (spatialize_portable, spatialize_sse2). The variants of an instruction set
// are in its file (SpatialKernelsSse2.cpp, SpatialKernelsAvx2.cpp,
// SpatialKernelsAvx512.cpp), declared below, with one row each in the
// tables of SpatialKernels.cpp.
using cpu::VariantRows;
VariantRows<SpatializeFn> spatializeVariants();
VariantRows<MixDownFn> mixDownVariants();
VariantRows<PositionsFn> positionsVariants();

// The kernels of a spatializer: the mixdown and the block processing after
// it, fused, or its positions stage where the stages run one by one.
// The 16-bit ones are null where no kernel of this processor fuses them:
// the spatializer then decodes into doubles, runs the others and encodes.
struct SpatialKernel {
    SpatializeFn run;
    MixDownFn mixDown;
    PositionsFn positions = positions_portable;
    SpatializeS16Fn runS16 = nullptr;
    // runS16 for mono samples in [-1, 32767 / 32768] (the mixdown of 16-bit
    // samples with a norm in [0, 1]); null: runS16.
    SpatializeS16Fn runS16InRange = nullptr;
    MixDownS16Fn mixDownS16 = nullptr;
    SpatializeFromS16Fn runFromS16InRange = nullptr;
};
// The variants spatializers use by default: of each table, the last row this
// processor runs, chosen once.
const SpatialKernel& defaultSpatialKernel();

// The portable mixdown (the SSE2 kernel uses it too: the compiler
// vectorises its stereo loop).
void mixDown_portable(const double* in, int channels, int frames, double gain, double* mono);

// The portable kernel and its stages.
void spatialize_portable(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                         const double* mono, int frames, double* out);
// Positions of a rotation: moves `rot` on by BLOCK_SIZE frames and writes the
// coordinate of each frame, read from the pair table `pairs`, to pos.
void rotationPositions_portable(Rotation& rot, const double* pairs, double* pos);
// Bilinear gains and spreading of `frames` frames at positions (x[j], y[j]),
// the channels of each frame in `order` (see KernelBuffers).
void spreadBilinear_portable(const double* x, const double* y, const double* mono, int frames,
                             double* out, const int* order = nullptr);
#if defined(TARVIO_HAVE_SSE2)
// Both rotations in the two lanes of a vector, with bilinear gains and
// spreading fused in; stores no positions.
void spatialize_sse2(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                     const double* mono, int frames, double* out);
#endif

#if defined(TARVIO_HAVE_AVX2)
// Four frames per vector: the phases of each rotation for the whole block
// first (runs of equal steps computed without the serial chain where that
// gives the chain's values), then positions and spreading, bilinear gains;
// stores no positions. Runs only on a processor with AVX2.
void spatialize_avx2(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                     const double* mono, int frames, double* out);
// The positions stage from the phases of chainPhases_avx2, four frames at a
// time read from the pair tables as spatialize_avx2 reads them.
void positions_avx2(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers);
// The mixdown of one and two channels four frames at a time; more channels
// go to the portable one.
void mixDown_avx2(const double* in, int channels, int frames, double gain, double* mono);
// The phases of the next n steps of a rotation (phase += inc, wrapped into
// [0, kTurn]) written to out[0, n), `phase` left at the last: the serial
// chain's values, most of them computed without the chain.
void chainPhases_avx2(double& phase, double inc, double* out, int n);
// The run of equal steps that the chain takes from phase p with increment
// inc (see chainPhases_avx2): the number k, at most limit, of its next
// phases that are p + j d for j = 1 to k, every one exact, and the step d;
// 0 (d left alone) where the next step must be the chain's own.
int phaseRun(double p, double inc, int limit, double& d);
#endif

#if defined(TARVIO_HAVE_AVX512)
// Eight frames per vector, bilinear gains; the positions on the square are
// computed from the phases (equal, bit for bit, to reading the pair tables);
// stores no positions. Runs only on a processor with AVX-512.
void spatialize_avx512(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                       const double* mono, int frames, double* out);
// The positions stage eight frames at a time, computed from the phases as
// spatialize_avx512 computes them: for the pair tables of the square path
// only.
void positions_avx512(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers);
// The mixdown of one and two channels eight frames at a time; more channels
// go to the portable one.
void mixDown_avx512(const double* in, int channels, int frames, double gain, double* mono);
#endif

// Fills `pairs` (kPairTableSize doubles) from the TABLE_SIZE + 1 points of a
// closed path.
void buildPairTable(const double* path, double* pairs);

// Brings a phase that left [0, kTurn) back by whole turns. fmod is exact, so
// this equals repeated subtraction or addition of kTurn however far out the
// phase is, but always ends. Adding a turn to a tiny negative remainder can
// round up to exactly kTurn; the reader takes the table's closing point
// then. A phase that is not finite has no position and restarts at 0.
inline double wrapPhase(double phase) {
    if (!std::isfinite(phase)) {
        return 0.0;
    }
    double r = std::fmod(phase, kTurn);
    if (r < 0.0) {
        r += kTurn;
    } else if (r == 0.0) {
        r = 0.0;  // no negative zero
    }
    return r;
}

// One step of the serial chain: phase + inc, wrapped into [0, kTurn].
inline double chainStep(double phase, double inc) {
    const double p = phase + inc;
    return p >= 0.0 && p < kTurn ? p : wrapPhase(p);
}

}  // namespace tarvio

#endif  // TARVIO_ENGINE_SPATIALKERNELS_H
