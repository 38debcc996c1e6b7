// SPDX-License-Identifier: MIT
// The rotation spatializer: mixdown, two swept rotations around the square
// path (or a breakpoint path), and the spreading over the loudspeakers: by
// one of the fused kernels of SpatialKernels.h for the square of four, or
// frame by frame with the gains of the law.
#include <algorithm>
#include <cassert>
#include <climits>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

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
    if (options.motion)
        motion_.reset(new Motion(*options.motion));
    else if (options.path)
        path_.reset(new BreakpointPath(*options.path));
    order_ = checkedOrder(options.order, panner_.layout().size());
    if (!order_.empty() && panner_.law().byPosition && !panner_.layout().hasHeight() && !motion_)
        spreadInOrder(options.lawParams);
    setUpVoices(options, params.norm);
    spread_ = options.spread;
    fused_ = !path_ && !motion_ && !staged_ && !options.keepPositions && spread_ &&
             fusedKernelsServe(panner_);
    setUp(params, sampleRate, frames);
    if (!fused_ && !order_.empty())
        spreadBlock_.reset(new double[static_cast<std::size_t>(outputChannels()) * BLOCK_SIZE]());
}

// A law whose gains follow each loudspeaker's position spreads straight
// into the output's order: the panner takes the loudspeakers in that order,
// and no pass reorders the frames. Only sounds in the plane: the triangles
// for sounds above or below a ring are not promised to follow the order.
void Spatializer::spreadInOrder(const LawParams& params) {
    const SpeakerLayout& layout = panner_.layout();
    std::vector<Speaker> speakers;
    for (const int ch : order_)
        speakers.push_back(layout[ch]);
    panner_ = Panner(panner_.law(), SpeakerLayout(layout.name(), std::move(speakers)), params);
    order_.clear();
}

// One source of sound of the stages: the mixdown, or a kept channel with
// its own signal and positions.
struct Spatializer::Voice {
    std::unique_ptr<double[]> mono;  // kept channels only: BLOCK_SIZE each
    std::unique_ptr<double[]> x;
    std::unique_ptr<double[]> y;
    std::unique_ptr<DopplerDelay> delay;
    std::unique_ptr<AirFilter> air;
};

// The stages run when a source may leave the square or its sound may
// change with its distance; a single channel kept is the mixdown.
void Spatializer::setUpVoices(const SpatializerOptions& options, double norm) {
    const bool keep = options.keepChannels && channels_ > 1;
    const double farthest = motion_ ? motion_->maxDistance() : 1.0;
    staged_ = options.doppler || options.air || keep || farthest > 1.0;
    if (!staged_)
        return;
    if (options.doppler &&
        !(options.radius > 0.0 && options.radius <= SpatializerOptions::kMaxRadius))
        throw std::invalid_argument("the radius must lie in (0, 100] metres");
    if (keep && !(options.width >= 0.0 && options.width <= 360.0))
        throw std::invalid_argument("the width must lie in [0, 360] degrees");
    distanceLaw_ = options.distanceLaw;
    radius_ = options.radius;
    width_ = options.width;
    norm_ = norm;
    distance_.reset(new double[BLOCK_SIZE]());
    metres_.reset(new double[BLOCK_SIZE]());
    voices_.resize(keep ? static_cast<std::size_t>(channels_) : 1);
    for (Voice& v : voices_) {
        if (keep) {
            v.mono.reset(new double[BLOCK_SIZE]());
            v.x.reset(new double[BLOCK_SIZE]());
            v.y.reset(new double[BLOCK_SIZE]());
        }
        if (options.doppler)
            v.delay.reset(new DopplerDelay(farthest * radius_, rate_, BLOCK_SIZE));
        if (options.air)
            v.air.reset(new AirFilter(rate_));
    }
    if (keep)
        voiceBlock_.reset(
            new double[static_cast<std::size_t>(panner_.layout().size()) * BLOCK_SIZE]());
}

// The buffers every case needs, the tables of the rotations (unless a path
// replaces them), the rotations with their sweeps.
void Spatializer::setUp(const SpatializerParams& params, double sampleRate, int frames) {
    unitNorm_ = params.norm >= 0.0 && params.norm <= 1.0;
    assert(channels_ >= 1 && channels_ <= INT_MAX / BLOCK_SIZE);
    const std::size_t inSize = static_cast<std::size_t>(channels_) * BLOCK_SIZE;
    inBlock_.reset(new double[inSize]());
    monoBlock_.reset(new double[BLOCK_SIZE]());
    blockX_.reset(new double[BLOCK_SIZE]());
    blockY_.reset(new double[BLOCK_SIZE]());
    elevation_.reset(new double[BLOCK_SIZE]());
    elevated_ = motion_ != nullptr || panner_.layout().hasHeight();
    if (!path_ && !motion_) {
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

int Spatializer::framesOf(int n) const {
    n = clampSamples(n, channels_ * BLOCK_SIZE);
    return n / channels_ + (n % channels_ != 0 ? 1 : 0);
}

int Spatializer::processBlock(int n) {
    if (!outBlock_) {
        return 0;  // released
    }
    n = clampSamples(n, channels_ * BLOCK_SIZE);
    const int frames = framesOf(n);

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

int Spatializer::processBlockS16(const unsigned char* in, int n, unsigned char* out,
                                 std::uint32_t& clipped) {
    if (!outBlock_)
        return 0;  // released
    n = clampSamples(n, channels_ * BLOCK_SIZE);
    const int frames = framesOf(n);
    if (!fused_ || !kernel_->runS16 || n != frames * channels_) {
        pcm::double_from_s16le(in, static_cast<std::size_t>(n), inBlock_.get());
        const int done = processBlock(n);
        clipped += pcm::s16be_from_double(outBlock_.get(),
                                          static_cast<std::size_t>(done) * outputChannels(), out);
        return done;
    }
    const KernelBuffers buffers{tableX_.get(), tableY_.get(), blockX_.get(), blockY_.get(),
                                order_.empty() ? nullptr : order_.data()};
    if (unitNorm_ && kernel_->runFromS16InRange &&
        kernel_->runFromS16InRange(rot1_, rot2_, buffers, in, channels_, gain_, frames, out,
                                   clipped)) {
        firstFrame_ += BLOCK_SIZE;
        return frames;
    }
    double* mono = monoBlock_.get();
    if (!kernel_->mixDownS16 || !kernel_->mixDownS16(in, channels_, frames, gain_, mono)) {
        pcm::double_from_s16le(in, static_cast<std::size_t>(n), inBlock_.get());
        kernel_->mixDown(inBlock_.get(), channels_, frames, gain_, mono);
    }
    const SpatializeS16Fn run =
        unitNorm_ && kernel_->runS16InRange ? kernel_->runS16InRange : kernel_->runS16;
    clipped += run(rot1_, rot2_, buffers, mono, frames, out);
    firstFrame_ += BLOCK_SIZE;
    return frames;
}

void Spatializer::runStages(int frames) {
    double* x = blockX_.get();
    double* y = blockY_.get();
    if (motion_) {
        motion_->fill(firstFrame_, rate_, frames, x, y, elevation_.get());
    } else if (path_) {
        path_->fill(firstFrame_, rate_, frames, x, y);
    } else {
        const KernelBuffers buffers{tableX_.get(), tableY_.get(), x, y};
        kernel_->positions(rot1_, rot2_, buffers);
    }
    double* spreadTo = order_.empty() ? outBlock_.get() : spreadBlock_.get();
    if (staged_)
        spreadVoices(frames, spreadTo);
    else if (spread_)
        spreadAt(x, y, monoBlock_.get(), frames, spreadTo);
    if (!spread_ || order_.empty())
        return;
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

// The panner's spreading of a block, with the frames' elevations where they
// may matter (see elevated_), else exactly as in the plane.
void Spatializer::spreadAt(const double* x, const double* y, const double* mono, int frames,
                           double* out) const {
    if (elevated_)
        panner_.spread(x, y, elevation_.get(), mono, frames, out);
    else
        panner_.spread(x, y, mono, frames, out);
}

// The distance of the moving point, and the points of the kept channels
// around it; the moving point is then brought onto the square's edge as the
// laws see it. Every law, dbap included, gets the point on the edge: the
// level of distance is the distance law's alone, where dbap's own fall with
// the real distances would count it a second time and make the distance
// law's choice meaningless.
void Spatializer::placeVoices(int frames) {
    double* x = blockX_.get();
    double* y = blockY_.get();
    double* d = distance_.get();
    for (int j = 0; j < frames; ++j)
        d[j] = distanceOf(x[j], y[j]);
    if (voices_.size() > 1) {
        const double n = static_cast<double>(voices_.size());
        for (int j = 0; j < frames; ++j) {
            const double azimuth = azimuthOf(x[j], y[j]) + width_ / 2.0;
            const double r = std::min(d[j], 1.0);
            for (std::size_t k = 0; k < voices_.size(); ++k)
                polarPoint(azimuth - static_cast<double>(k) * width_ / (n - 1.0), r,
                           voices_[k].x[j], voices_[k].y[j]);
        }
    }
    for (int j = 0; j < frames; ++j) {
        if (d[j] > 1.0) {
            x[j] = 0.5 + (x[j] - 0.5) / d[j];
            y[j] = 0.5 + (y[j] - 0.5) / d[j];
        }
    }
}

// A voice's signal, delayed, weakened and filtered by its distance.
void Spatializer::stageVoice(Voice& voice, double* mono, int frames) {
    const double* d = distance_.get();
    double* metres = metres_.get();
    for (int j = 0; j < frames; ++j)
        metres[j] = d[j] * radius_;
    if (voice.delay)
        voice.delay->process(mono, metres, frames, mono);
    if (distanceLaw_.kind != DistanceLaw::Kind::None) {
        double lastD = -1.0;
        double gain = 1.0;
        for (int j = 0; j < frames; ++j) {
            if (d[j] != lastD) {
                lastD = d[j];
                gain = distanceLaw_.gain(lastD);
            }
            mono[j] *= gain;
        }
    }
    if (voice.air)
        voice.air->process(mono, metres, frames);
}

// The stages of each voice, and the sum of their spreading into `out`.
void Spatializer::spreadVoices(int frames, double* out) {
    placeVoices(frames);
    if (voices_.size() == 1) {
        stageVoice(voices_[0], monoBlock_.get(), frames);
        if (spread_)
            spreadAt(blockX_.get(), blockY_.get(), monoBlock_.get(), frames, out);
        return;
    }
    const std::size_t outSamples = static_cast<std::size_t>(outputChannels()) * frames;
    const double* in = inBlock_.get();
    for (std::size_t k = 0; k < voices_.size(); ++k) {
        Voice& v = voices_[k];
        for (int j = 0; j < frames; ++j)
            v.mono[j] = in[static_cast<std::size_t>(j) * channels_ + k] * norm_;
        stageVoice(v, v.mono.get(), frames);
        spreadAt(v.x.get(), v.y.get(), v.mono.get(), frames, k == 0 ? out : voiceBlock_.get());
        if (k == 0)
            continue;
        const double* add = voiceBlock_.get();
        for (std::size_t i = 0; i < outSamples; ++i)
            out[i] += add[i];
    }
}

int Spatializer::tailFrames() const {
    return voices_.empty() || !voices_[0].delay ? 0 : voices_[0].delay->tailFrames();
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
    elevation_.reset();
    distance_.reset();
    metres_.reset();
    voices_.clear();
    voiceBlock_.reset();
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
