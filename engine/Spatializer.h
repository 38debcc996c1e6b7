// The spatializer: a mono mixdown of interleaved input blocks, spread over
// four loudspeakers at the corners of a unit square by the gains of a point
// that moves in the square, driven by two swept rotations around the square
// path or by a breakpoint path.
#ifndef TARVIO_ENGINE_SPATIALIZER_H
#define TARVIO_ENGINE_SPATIALIZER_H

#include <memory>

#include "engine/SquarePath.h"

namespace tarvio {

constexpr int BLOCK_SIZE = 1024;  // frames per processing block
constexpr int TABLE_SIZE = 4096;  // table units in one full turn of a rotation

// State of one rotation around the square path.
struct Rotation {
    double scale;      // table units per sample per Hz
    double phase;      // position on the path, in [0, TABLE_SIZE)
    double frequency;  // Hz, used for the current block
    double sweep;      // Hz, used for the next block
    double sweepStep;  // Hz added to `sweep` after each block
};

// The numeric run parameters of the command line.
struct SpatializerParams {
    double f1_init = 0.0;
    double f1_end = 0.0;
    double f2_init = 0.0;
    double f2_end = 0.0;
    double angle1 = 0.0;
    double angle2 = 0.0;
    double norm = 1.0;
};

struct SpatialKernel;

// Mixes interleaved input blocks down to mono and spreads each sample over
// four channels with the bilinear gains of a point moving in the unit square.
// All tables and buffers are allocated by the constructor; processing a block
// allocates nothing.
class Spatializer {
  public:
    // Setup: builds the path tables and sets up both rotations, their sweeps
    // and the mixdown factor. `channels` must be at least 1. The first form
    // uses the kernel the program runs (defaultSpatialKernel()), the second
    // the given one (from spatialKernels()); all give the same output.
    Spatializer(const SpatializerParams& params, int channels, double sampleRate, int frames);
    Spatializer(const SpatializerParams& params, int channels, double sampleRate, int frames,
                const SpatialKernel& kernel);
    ~Spatializer();

    Spatializer(const Spatializer&) = delete;
    Spatializer& operator=(const Spatializer&) = delete;

    // The interleaved input block, room for channels * BLOCK_SIZE samples.
    double* inBlock();
    int inBlockCapacity() const;

    // Processes the `n` samples just placed in inBlock() and returns the
    // number of four-channel frames now in outBlock().
    int processBlock(int n);
    const double* outBlock() const;

    // Moves both rotations on to their next block frequency.
    void advanceSweeps();

    const Rotation& rotation1() const;
    const Rotation& rotation2() const;

    // Frees the working buffers and tables; called by the destructor too.
    void release();

  private:
    const SpatialKernel* kernel_;          // the block processing after the mixdown
    int channels_;                         // interleaved input channels, at least 1
    double gain_;                          // mixdown factor: norm / channels
    Rotation rot1_;                        // drives x through tableX_
    Rotation rot2_;                        // drives y through tableY_
    std::unique_ptr<double[]> inBlock_;    // channels * BLOCK_SIZE input samples
    std::unique_ptr<double[]> monoBlock_;  // BLOCK_SIZE mono samples
    // BLOCK_SIZE x- and y-coordinates, for a kernel that stores them.
    std::unique_ptr<double[]> blockX_;
    std::unique_ptr<double[]> blockY_;
    // The pair tables of the path (kPairTableSize doubles each): every path
    // point beside its neighbour.
    std::unique_ptr<double[]> tableX_;
    std::unique_ptr<double[]> tableY_;
    std::unique_ptr<double[]> outBlock_;  // 4 * BLOCK_SIZE output samples
};

}  // namespace tarvio

#endif  // TARVIO_ENGINE_SPATIALIZER_H
