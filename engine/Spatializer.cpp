// SPDX-License-Identifier: MIT
// The rotation spatializer: mixdown, two swept rotations around the square
// path (or a breakpoint path), and the spreading over the loudspeakers: by
// one of the fused kernels of SpatialKernels.h for the square of four, or
// frame by frame with the gains of the law.
#include <cassert>
#include <climits>
#include <cmath>
#include <string>
#include <new>
#include <cstddef>
#include <stdexcept>

#include "engine/SpatialKernels.h"
#include "engine/Spatializer.h"
#include "pcm/Pcm.h"

namespace tarvio {

namespace {

constexpr double kDefaultRate = 44100.0;  // used when the input's rate is unusable

// Starting phase of a rotation: angles from 0 to 360 degrees map onto one
// turn; anything else (including not-a-number) starts at 0, unreduced.
double startPhase(double angle) {
    const double u = angle / 360.0;
    if (u >= 0.0 && u <= 1.0) {
        return u * kTurn;
    }
    return 0.0;
}

Rotation makeRotation(double scale, double angle, double fInit, double fEnd, int blocks) {
    Rotation r;
    r.scale = scale;
    r.phase = startPhase(angle);
    // A header whose frame count gives no whole block has no length to sweep
    // over: the rotation keeps its initial frequency. (A short file is done
    // in a single block anyway; a mismatched block alignment can give a
    // count of 0 over a long file, which must not freeze the point.)
    r.sweepStep = blocks > 0 ? (fEnd - fInit) / static_cast<double>(blocks) : 0.0;
    r.frequency = fInit;
    r.sweep = fInit;
    return r;
}

// The frequency changes only between blocks: the next block runs at the
// value prepared by the previous call.
void advanceSweep(Rotation& rot) {
    rot.frequency = rot.sweep;
    rot.sweep += rot.sweepStep;
}

// Builds the pair table of each coordinate of the square path; the path's
// points themselves are needed only for this.
void buildTables(double* tableX, double* tableY) {
    std::unique_ptr<double[]> pathX(new double[TABLE_SIZE + 1]);
    std::unique_ptr<double[]> pathY(new double[TABLE_SIZE + 1]);
    drawPath(SQUARE, pathX.get(), pathY.get(), TABLE_SIZE);
    buildPairTable(pathX.get(), tableX);
    buildPairTable(pathY.get(), tableY);
}

// Whether the fused kernels compute this law and layout: they write the
// bilinear gains of layouts::quad().
bool fusedKernelsServe(const Panner& panner) {
    return panner.law().gains == findPanLaw("bilinear")->gains &&
           panner.layout().sameSpeakers(layouts::quad());
}

// The order of output frames asked for, checked against the number of
// channels; empty when it is the engine's own.
std::vector<int> checkedOrder(const std::vector<int>& order, int channels) {
    if (order.empty())
        return order;
    std::vector<bool> seen(static_cast<std::size_t>(channels), false);
    bool identity = true;
    if (order.size() != seen.size())
        throw std::invalid_argument("the output order must name every channel once");
    for (std::size_t k = 0; k < order.size(); ++k) {
        const int c = order[k];
        if (c < 0 || c >= channels || seen[static_cast<std::size_t>(c)])
            throw std::invalid_argument("the output order must name every channel once");
        seen[static_cast<std::size_t>(c)] = true;
        identity = identity && c == static_cast<int>(k);
    }
    return identity ? std::vector<int>() : order;
}

// Number of samples of a block to take, n brought into [0, capacity].
int clampSamples(int n, int capacity) {
    return n < 0 ? 0 : (n > capacity ? capacity : n);
}

}  // namespace

Spatializer::Spatializer(const SpatializerParams& params, int channels, double sampleRate,
                         int frames)
    : Spatializer(params, channels, sampleRate, frames, defaultSpatialKernel()) {}

Spatializer::Spatializer(const SpatializerParams& params, int channels, double sampleRate,
                         int frames, const SpatialKernel& kernel)
    : kernel_(new SpatialKernel(kernel)),
      fused_(true),
      channels_(channels),
      gain_((1.0 / channels) * params.norm),
      panner_(*findPanLaw("bilinear"), layouts::quad()),
      rate_(sampleRate) {
    setUp(params, sampleRate, frames);
}

// The law asked for, or the layout's own: bilinear for the square of four.
const PanLaw& lawFor(const SpatializerOptions& options) {
    if (options.law)
        return *options.law;
    const PanLaw* law = defaultPanLaw(options.layout ? *options.layout : layouts::quad());
    if (!law)
        throw std::invalid_argument("no gain law fits the layout");
    return *law;
}

Spatializer::Spatializer(const SpatializerParams& params, int channels, double sampleRate,
                         int frames, const SpatializerOptions& options)
    : kernel_(new SpatialKernel(defaultSpatialKernel())),
      fused_(false),
      channels_(channels),
      gain_((1.0 / channels) * params.norm),
      panner_(lawFor(options), options.layout ? *options.layout : layouts::quad(),
              options.lawParams),
      rate_(sampleRate > 0.0 ? sampleRate : kDefaultRate) {
    if (options.path)
        path_.reset(new BreakpointPath(*options.path));
    order_ = checkedOrder(options.order, panner_.layout().size());
    spread_ = options.spread;
    fused_ = !path_ && !options.keepPositions && spread_ && fusedKernelsServe(panner_);
    setUp(params, sampleRate, frames);
    if (!fused_ && !order_.empty())
        spreadBlock_.reset(new double[static_cast<std::size_t>(outputChannels()) * BLOCK_SIZE]());
}

// The buffers every case needs, the tables of the rotations (unless a path
// replaces them), the rotations with their sweeps.
void Spatializer::setUp(const SpatializerParams& params, double sampleRate, int frames) {
    assert(channels_ >= 1 && channels_ <= INT_MAX / BLOCK_SIZE);
    const std::size_t inSize = static_cast<std::size_t>(channels_) * BLOCK_SIZE;
    inBlock_.reset(new double[inSize]());
    monoBlock_.reset(new double[BLOCK_SIZE]());
    blockX_.reset(new double[BLOCK_SIZE]());
    blockY_.reset(new double[BLOCK_SIZE]());
    if (!path_) {
        tableX_.reset(new double[kPairTableSize]);
        tableY_.reset(new double[kPairTableSize]);
        buildTables(tableX_.get(), tableY_.get());
    }
    outBlock_.reset(new double[static_cast<std::size_t>(outputChannels()) * BLOCK_SIZE]());

    const double rate = sampleRate > 2.0 ? sampleRate : kDefaultRate;
    const double scale = kTurn / rate;
    const int blocks = frames / BLOCK_SIZE;
    rot1_ = makeRotation(scale, params.angle1, params.f1_init, params.f1_end, blocks);
    rot2_ = makeRotation(scale, params.angle2, params.f2_init, params.f2_end, blocks);
}

Spatializer::~Spatializer() {
    release();
}

double* Spatializer::inBlock() {
    return inBlock_.get();
}

int Spatializer::inBlockCapacity() const {
    return inBlock_ ? channels_ * BLOCK_SIZE : 0;
}

int Spatializer::processBlock(int n) {
    if (!outBlock_) {
        return 0;  // released
    }
    n = clampSamples(n, channels_ * BLOCK_SIZE);
    const int frames = static_cast<int>(std::ceil(static_cast<double>(n) / channels_));

    // A last frame cut short counts its missing samples as silence; the
    // rest of the buffer still holds the previous block.
    double* in = inBlock_.get();
    for (int i = n; i < frames * channels_; ++i) {
        in[i] = 0.0;
    }
    kernel_->mixDown(in, channels_, frames, gain_, monoBlock_.get());

    if (fused_) {
        const KernelBuffers buffers{tableX_.get(), tableY_.get(), blockX_.get(), blockY_.get(),
                                    order_.empty() ? nullptr : order_.data()};
        kernel_->run(rot1_, rot2_, buffers, monoBlock_.get(), frames, outBlock_.get());
    } else {
        runStages(frames);
    }
    // The point moves on by a whole block, however many frames arrived.
    firstFrame_ += BLOCK_SIZE;
    return frames;
}

void Spatializer::runStages(int frames) {
    double* x = blockX_.get();
    double* y = blockY_.get();
    if (path_) {
        path_->fill(firstFrame_, rate_, frames, x, y);
    } else {
        const KernelBuffers buffers{tableX_.get(), tableY_.get(), x, y};
        kernel_->positions(rot1_, rot2_, buffers);
    }
    if (!spread_)
        return;
    if (order_.empty()) {
        panner_.spread(x, y, monoBlock_.get(), frames, outBlock_.get());
        return;
    }
    panner_.spread(x, y, monoBlock_.get(), frames, spreadBlock_.get());
    const std::size_t n = order_.size();
    const double* from = spreadBlock_.get();
    double* to = outBlock_.get();
    if (n == 4) {
        pcm::reorder4(from, static_cast<std::size_t>(frames), order_.data(), to);
        return;
    }
    for (int j = 0; j < frames; ++j, from += n, to += n) {
        for (std::size_t k = 0; k < n; ++k)
            to[k] = from[order_[k]];
    }
}

const SpeakerLayout& Spatializer::layout() const {
    return panner_.layout();
}

int Spatializer::outputChannels() const {
    return panner_.layout().size();
}

const double* Spatializer::positionsX() const {
    return blockX_.get();
}

const double* Spatializer::positionsY() const {
    return blockY_.get();
}

const double* Spatializer::outBlock() const {
    return outBlock_.get();
}

void Spatializer::advanceSweeps() {
    advanceSweep(rot1_);
    advanceSweep(rot2_);
}

const Rotation& Spatializer::rotation1() const {
    return rot1_;
}
const Rotation& Spatializer::rotation2() const {
    return rot2_;
}

void Spatializer::release() {
    inBlock_.reset();
    monoBlock_.reset();
    blockX_.reset();
    blockY_.reset();
    tableX_.reset();
    tableY_.reset();
    outBlock_.reset();
    spreadBlock_.reset();
}

std::unique_ptr<Spatializer> makeSpatializer(const SpatializerParams& params, int channels,
                                             double sampleRate, int frames,
                                             const SpatializerOptions& options) {
    try {
        return std::make_unique<Spatializer>(params, channels, sampleRate, frames, options);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("not enough memory for the working buffers of " +
                                 std::to_string(channels) + " channels");
    }
}

}  // namespace tarvio
