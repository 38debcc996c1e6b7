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
// for the rotations with bilinear gains, and never store a position. Every
// kernel gives the same bytes as the portable one: each lane does its
// operations in the same order, and where the AVX2 kernel computes phases
// without the serial chain, it does so only where the result is provably
// the chain's (see SpatialKernelsAvx2.cpp).
#ifndef TARVIO_ENGINE_SPATIALKERNELS_H
#define TARVIO_ENGINE_SPATIALKERNELS_H

#include <cmath>
#include <vector>

#include "engine/GainLaw.h"
#include "engine/Spatializer.h"

// The SSE2 kernel is built where the compiler targets SSE2 (every x86-64)
// unless TARVIO_NO_SIMD asks for the portable loops only.
#if defined(__SSE2__) && !defined(TARVIO_NO_SIMD)
#define TARVIO_SPATIAL_SSE2 1
#endif
// The AVX2 kernel is built where the compiler can make AVX2 code for one
// function; it is listed only when the processor has AVX2.
#if defined(TARVIO_SPATIAL_SSE2) && defined(__x86_64__) && \
    (defined(__GNUC__) || defined(__clang__)) && !defined(TARVIO_NO_AVX2)
#define TARVIO_SPATIAL_AVX2 1
#endif

// The AVX-512 kernel is built with the AVX2 one; it is listed only when the
// processor has AVX-512 (the foundation instructions are all it uses).
#if defined(TARVIO_SPATIAL_AVX2) && !defined(TARVIO_NO_AVX512)
#define TARVIO_SPATIAL_AVX512 1
#endif

namespace tarvio {

constexpr double kTurn = TABLE_SIZE;  // one full turn of a rotation, in table units
constexpr int kOutChannels = 4;       // channels of the spread output

// Number of doubles in a pair table: for each path index k from 0 to
// TABLE_SIZE, the point and its neighbour on the path side by side, so that
// one load fetches both ends of an interpolation.
constexpr int kPairTableSize = 2 * (TABLE_SIZE + 1);

// What a kernel works with besides the rotations: the pair tables of both
// coordinates, and room for BLOCK_SIZE positions of each coordinate for the
// kernels that store them (null for the others).
struct KernelBuffers {
    const double* pairX;
    const double* pairY;
    double* blockX;
    double* blockY;
};

// One block of a kernel: moves both rotations on by a whole BLOCK_SIZE frames
// (the point keeps its pace when fewer frames arrived) and writes `frames`
// four-channel frames of the spread mono samples to `out`.
using SpatializeFn = void (*)(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                              const double* mono, int frames, double* out);

// The mixdown before a block: frame j of the `channels` interleaved channels
// of `in` becomes mono[j], the sum of its samples from 0.0 up, in channel
// order, times `gain`.
using MixDownFn = void (*)(const double* in, int channels, int frames, double gain, double* mono);

// A kernel variant, by name. The functions of a variant carry its name as a
// suffix (spatialize_portable, spatialize_sse2), with one underscore: C++
// reserves names with two.
struct SpatialKernel {
    const char* name;      // "portable", "sse2", "avx2", "avx512"
    bool storesPositions;  // reads and writes KernelBuffers::blockX and blockY
    SpatializeFn run;
    MixDownFn mixDown;
};

// The kernels this build and this processor can run, the portable one first
// and the one spatializers use by default last.
std::vector<const SpatialKernel*> spatialKernels();
// The kernel spatializers use by default: the last of spatialKernels(), chosen
// once.
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
// Bilinear gains and spreading of `frames` frames at positions (x[j], y[j]).
void spreadBilinear_portable(const double* x, const double* y, const double* mono, int frames,
                             double* out);
// Equal-power gains (see GainLaw::Power) and spreading of `frames` frames.
void spreadPower_portable(const double* x, const double* y, const double* mono, int frames,
                          double* out);

#if defined(TARVIO_SPATIAL_SSE2)
// Both rotations in the two lanes of a vector, with bilinear gains and
// spreading fused in; stores no positions.
void spatialize_sse2(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                     const double* mono, int frames, double* out);
#endif

#if defined(TARVIO_SPATIAL_AVX2)
// Four frames per vector: the phases of each rotation for the whole block
// first (runs of equal steps computed without the serial chain where that
// gives the chain's values), then positions and spreading, bilinear gains;
// stores no positions. Runs only on a processor with AVX2.
void spatialize_avx2(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                     const double* mono, int frames, double* out);
// The mixdown of one and two channels four frames at a time; more channels
// go to the portable one.
void mixDown_avx2(const double* in, int channels, int frames, double gain, double* mono);
// The phases of the next n steps of a rotation (phase += inc, wrapped into
// [0, kTurn]) written to out[0, n), `phase` left at the last: the serial
// chain's values, most of them computed without the chain.
void chainPhases_avx2(double& phase, double inc, double* out, int n);
#endif

#if defined(TARVIO_SPATIAL_AVX512)
// Eight frames per vector, bilinear gains; the positions on the square are
// computed from the phases (equal, bit for bit, to reading the pair tables);
// stores no positions. Runs only on a processor with AVX-512.
void spatialize_avx512(Rotation& rot1, Rotation& rot2, const KernelBuffers& buffers,
                       const double* mono, int frames, double* out);
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

}  // namespace tarvio

#endif  // TARVIO_ENGINE_SPATIALKERNELS_H
