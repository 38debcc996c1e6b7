// SPDX-License-Identifier: MIT
// The spatializer: a mono mixdown of interleaved input blocks, spread over
// the loudspeakers of a layout (by default four at the corners of a unit
// square) by the gains of a point that moves in the square, driven by two
// swept rotations around the square path or by a breakpoint path.
#ifndef TARVIO_ENGINE_SPATIALIZER_H
#define TARVIO_ENGINE_SPATIALIZER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/BreakpointPath.h"
#include "engine/DistanceStages.h"
#include "engine/GainLaw.h"
#include "engine/Motion.h"
#include "engine/SpeakerLayout.h"
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

// What the spatializer may do besides the classic rotations: follow a
// breakpoint path instead, keep each block's positions for the caller, feed
// another layout, under a law of the table.
struct SpatializerOptions {
    // Positions from this path (copied) instead of from the rotations; frame
    // i of the file is at i / sample rate seconds.
    const BreakpointPath* path = nullptr;
    // Keep the positions of each block for positionsX() and positionsY().
    bool keepPositions = false;
    // Spread the mono block over the loudspeakers into outBlock(). Without
    // it only the mono block and the positions are made (they are then kept
    // whatever keepPositions says), for a caller that places the sound
    // itself, as headphones do; outBlock() is left as it was.
    bool spread = true;
    // The loudspeakers of the output (copied); null for layouts::quad().
    const SpeakerLayout* layout = nullptr;
    // The gain law (copied), a row of panLaws() or a law of the caller's;
    // null for the layout's default law (defaultPanLaw: bilinear for the
    // square of four). It must support the layout.
    const PanLaw* law = nullptr;
    // The settings of laws that take any (dbap).
    LawParams lawParams;
    // The order of the channels in an output frame: place k holds the
    // layout's channel order[k], as a file that orders them otherwise wants
    // them; each channel once. Empty: the layout's own order.
    std::vector<int> order;

    // Positions from this motion (copied) instead of from the rotations or
    // `path`.
    const Motion* motion = nullptr;
    // The level of a source beyond distance 1.
    DistanceLaw distanceLaw;
    // The delay of the way to the listener, whose change shifts the pitch;
    // `radius`: the metres from the middle to the loudspeakers (distance 1),
    // in (0, kMaxRadius].
    bool doppler = false;
    double radius = 2.0;
    static constexpr double kMaxRadius = 100.0;
    // The air's absorption of high frequencies over the way.
    bool air = false;
    // Each input channel a source of its own instead of the mixdown: channel
    // k of n at the moving point's azimuth + width / 2 - k * width / (n - 1)
    // degrees, at its distance (one channel at the point itself).
    bool keepChannels = false;
    double width = 60.0;
};

struct SpatialKernel;  // see SpatialKernels.h

// Mixes interleaved input blocks down to mono and spreads each sample over
// the channels of a loudspeaker layout with the gains of a point moving in
// the unit square. All tables and buffers are allocated by the constructor;
// processing a block allocates nothing.
//
// The classic case (the two rotations, bilinear gains, layouts::quad(), no
// positions kept) runs the fastest fused kernel; every other case runs the
// stages one by one: positions (rotations or path), the law's gains of each
// loudspeaker, spreading. Both give the same bytes where they overlap.
class Spatializer {
  public:
    // Setup: builds the path tables and sets up both rotations, their sweeps
    // and the mixdown factor. `channels` must be at least 1. The first form
    // uses the default kernels (defaultSpatialKernel()), the second the
    // given ones (from the variant tables of SpatialKernels.h); all give the
    // same output; both feed layouts::quad() with bilinear gains. The third
    // adds the options above; it throws std::invalid_argument when the law
    // does not support the layout or its parameters are out of range.
    Spatializer(const SpatializerParams& params, int channels, double sampleRate, int frames);
    Spatializer(const SpatializerParams& params, int channels, double sampleRate, int frames,
                const SpatialKernel& kernel);
    Spatializer(const SpatializerParams& params, int channels, double sampleRate, int frames,
                const SpatializerOptions& options);
    ~Spatializer();

    Spatializer(const Spatializer&) = delete;
    Spatializer& operator=(const Spatializer&) = delete;

    // The interleaved input block, room for channels * BLOCK_SIZE samples.
    double* inBlock();
    int inBlockCapacity() const;

    // Processes the `n` samples just placed in inBlock() and returns the
    // number of frames now in outBlock(), each of outputChannels() samples
    // in the layout's engine order, or in the order of the options.
    int processBlock(int n);
    const double* outBlock() const;
    // processBlock from and to 16-bit samples: the `n` samples at `in`, 16-bit
    // little-endian as a WAV file holds them, take the place of inBlock(),
    // and the frames go to `out` as 16-bit big-endian samples, 2 *
    // outputChannels() bytes a frame, as pcm::s16be_from_double writes
    // outBlock(). Adds the samples clipped to `clipped` and returns the
    // frames. The bytes are those of the three steps one by one; the classic
    // case takes them without the doubles in between where this processor
    // has the kernels (see SpatialKernel). outBlock() is left as it was then.
    int processBlockS16(const unsigned char* in, int n, unsigned char* out, std::uint32_t& clipped);
    // The frames that a block of `n` samples gives (n brought into
    // [0, inBlockCapacity()]; a last frame cut short counts).
    int framesOf(int n) const;
    // The mono signal the gains spread in the last block: the input's mean
    // times norm, and, for a source beyond distance 1 or with Doppler or
    // air, after its distance gain, delay and filter.
    const double* monoBlock() const { return monoBlock_.get(); }
    // The frames of sound a source still gives after its last input frame
    // (the longest Doppler delay): the caller runs on that many frames of
    // silent input so that nothing is cut.
    int tailFrames() const;

    // The loudspeakers fed, and their number: the channels of an output frame.
    // The layout is the panner's, whose loudspeakers may stand in the order
    // of the options rather than the engine's (see spreadInOrder).
    const SpeakerLayout& layout() const;
    int outputChannels() const;

    // The positions of the frames of the last block, when kept (see
    // SpatializerOptions), else null.
    // A point beyond distance 1 is given as the law saw it: on the edge of
    // the square in its direction.
    const double* positionsX() const;
    const double* positionsY() const;
    // With the positions kept: the elevation (degrees) of the frames of the
    // last block; and their distance where it may differ from the point's
    // distanceOf(), else null.
    const double* elevations() const { return elevation_.get(); }
    const double* distances() const { return staged_ ? distance_.get() : nullptr; }

    // Moves both rotations on to their next block frequency.
    void advanceSweeps();

    const Rotation& rotation1() const;
    const Rotation& rotation2() const;

    // Frees the working buffers and tables; called by the destructor too.
    void release();

  private:
    void setUp(const SpatializerParams& params, double sampleRate, int frames);
    void runStages(int frames);
    void spreadAt(const double* x, const double* y, const double* mono, int frames,
                  double* out) const;
    struct Voice;
    // The panner on the loudspeakers in the output's order (see order_).
    void spreadInOrder(const LawParams& params);
    void setUpVoices(const SpatializerOptions& options, double norm);
    void placeVoices(int frames);
    void stageVoice(Voice& voice, double* mono, int frames);
    void spreadVoices(int frames, double* out);

    std::unique_ptr<const SpatialKernel> kernel_;  // the mixdown and the fused block processing
    bool fused_;                                   // runs kernel_->run, not the stages
    bool spread_ = true;                           // see SpatializerOptions::spread
    int channels_;                                 // interleaved input channels, at least 1
    double gain_;                                  // mixdown factor: norm / channels
    Panner panner_;                                // the law on the output's loudspeakers
    std::unique_ptr<BreakpointPath> path_;         // positions instead of the rotations
    double rate_;                                  // frames per second of the path's time
    std::int64_t firstFrame_ = 0;                  // of the next block, for the path
    Rotation rot1_;                                // drives x through tableX_
    Rotation rot2_;                                // drives y through tableY_
    std::unique_ptr<double[]> inBlock_;            // channels * BLOCK_SIZE input samples
    std::unique_ptr<double[]> monoBlock_;          // BLOCK_SIZE mono samples
    // BLOCK_SIZE x- and y-coordinates: the positions of the stages, and room
    // for a kernel that stores them.
    std::unique_ptr<double[]> blockX_;
    std::unique_ptr<double[]> blockY_;
    // The pair tables of the path (kPairTableSize doubles each): every path
    // point beside its neighbour.
    std::unique_ptr<double[]> tableX_;
    std::unique_ptr<double[]> tableY_;
    std::unique_ptr<double[]> outBlock_;  // outputChannels() * BLOCK_SIZE output samples
    // The output frames' order (empty: the engine's or one the panner
    // spreads in already), and for the stages the block in the engine's
    // order before it is put in that one.
    std::vector<int> order_;
    std::unique_ptr<double[]> spreadBlock_;
    // The norm lies in [0, 1]: the mixdown of 16-bit samples then lies in
    // [-1, 32767 / 32768] (the sum of each frame is exact, and gain_ is at
    // most 1 / channels_ by half a unit in the last place).
    bool unitNorm_ = false;

    // The stages of distance, Doppler, air and kept channels, when any may
    // change the sound: every other case spreads the mixdown as it is.
    std::unique_ptr<Motion> motion_;
    bool staged_ = false;
    // The panner is given the frames' elevations: a motion places the sound
    // above or below, or the layout has height.
    bool elevated_ = false;
    DistanceLaw distanceLaw_;
    double radius_ = 2.0;
    double width_ = 0.0;
    double norm_ = 1.0;
    std::unique_ptr<double[]> elevation_;   // BLOCK_SIZE degrees
    std::unique_ptr<double[]> distance_;    // BLOCK_SIZE distances of the moving point
    std::unique_ptr<double[]> metres_;      // BLOCK_SIZE distances times the radius
    std::vector<Voice> voices_;             // one for the mixdown, else one per channel
    std::unique_ptr<double[]> voiceBlock_;  // a kept channel's spreading
};

// Builds a spatializer as the constructor with options does, but reports a
// shortage of memory for the working buffers (they grow with the input's
// channel count: 268 MB for the 32767 channels a WAV header can declare) as
// std::runtime_error("not enough memory for the working buffers of N
// channels"), the words both programs print.
std::unique_ptr<Spatializer> makeSpatializer(const SpatializerParams& params, int channels,
                                             double sampleRate, int frames,
                                             const SpatializerOptions& options = {});

}  // namespace tarvio

#endif  // TARVIO_ENGINE_SPATIALIZER_H
