// The rotation spatializer: mixdown, two swept rotations around the square
// path, and bilinear spreading over the four corner channels.
#include <cassert>
#include <climits>
#include <cmath>
#include <cstddef>

#include "app/Tarvio.h"

namespace tarvio {

namespace {

constexpr double kTurn = TABLE_SIZE;       // one full turn, in table units
constexpr double kDefaultRate = 44100.0;   // used when the input's rate is unusable
constexpr int kPathSegments = TABLE_SIZE;  // segments of the square path table
constexpr int kOutChannels = 4;

// Brings a phase that left [0, kTurn) back by whole turns. fmod is exact, so
// this equals repeated subtraction or addition of kTurn however far out the
// phase is, but always ends. Adding a turn to a tiny negative remainder can
// round up to exactly kTurn; the caller reads the table's closing point then.
// A phase that is not finite has no position and restarts at 0.
double wrapPhase(double phase) {
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
    // With fewer than one whole block the step is not finite; it is never
    // used because such a file is done in a single block.
    r.sweepStep = (fEnd - fInit) / static_cast<double>(blocks);
    r.frequency = fInit;
    r.sweep = fInit;
    return r;
}

// Runs one rotation for a whole block: advance, wrap, interpolate between
// neighbouring path points. Index TABLE_SIZE - 1 is followed by index 0; the
// closing point at index TABLE_SIZE (equal to point 0) is read only when the
// wrap rounded up to a full turn, and its neighbour is index 1.
void runRotation(Rotation& rot, const double* table, double* out) {
    const double inc = rot.frequency * rot.scale;
    double phase = rot.phase;
    for (int i = 0; i < BLOCK_SIZE; ++i) {
        phase += inc;
        if (!(phase >= 0.0 && phase < kTurn)) {
            phase = wrapPhase(phase);
        }
        const int k = static_cast<int>(phase);
        const double frac = phase - k;
        const double a = table[k];
        out[i] = a + frac * (table[(k + 1) & (TABLE_SIZE - 1)] - a);
    }
    rot.phase = phase;
}

// The frequency changes only between blocks: the next block runs at the
// value prepared by the previous call.
void advanceSweep(Rotation& rot) {
    rot.frequency = rot.sweep;
    rot.sweep += rot.sweepStep;
}

}  // namespace

Spatializer::Spatializer(const SpatializerParams& params, int channels, double sampleRate,
                         int frames)
    : channels_(channels), gain_((1.0 / channels) * params.norm) {
    assert(channels >= 1 && channels <= INT_MAX / BLOCK_SIZE);

    const std::size_t inSize = static_cast<std::size_t>(channels) * BLOCK_SIZE;
    inBlock_.reset(new double[inSize]());
    monoBlock_.reset(new double[BLOCK_SIZE]());
    blockX_.reset(new double[BLOCK_SIZE]());
    blockY_.reset(new double[BLOCK_SIZE]());
    pathX_.reset(new double[kPathSegments + 1]);
    pathY_.reset(new double[kPathSegments + 1]);
    outBlock_.reset(new double[kOutChannels * BLOCK_SIZE]());

    drawPath(SQUARE, pathX_.get(), pathY_.get(), kPathSegments);

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
    const int capacity = channels_ * BLOCK_SIZE;
    if (n < 0) {
        n = 0;
    } else if (n > capacity) {
        n = capacity;
    }
    const int frames = static_cast<int>(std::ceil(static_cast<double>(n) / channels_));

    // A last frame cut short counts its missing samples as silence; the
    // rest of the buffer still holds the previous block.
    double* in = inBlock_.get();
    for (int i = n; i < frames * channels_; ++i) {
        in[i] = 0.0;
    }

    double* mono = monoBlock_.get();
    for (int j = 0; j < frames; ++j) {
        const double* frame = in + static_cast<std::size_t>(j) * channels_;
        double sum = 0.0;
        for (int ch = 0; ch < channels_; ++ch) {
            sum += frame[ch];
        }
        mono[j] = sum * gain_;
    }

    // The rotations always run a whole block, so the point moves on at the
    // same pace even when fewer frames arrived.
    runRotation(rot1_, pathX_.get(), blockX_.get());
    runRotation(rot2_, pathY_.get(), blockY_.get());

    const double* bx = blockX_.get();
    const double* by = blockY_.get();
    double* out = outBlock_.get();
    for (int j = 0; j < frames; ++j) {
        const double s = mono[j];
        const double x = bx[j];
        const double y = by[j];
        double* o = out + kOutChannels * j;
        o[0] = x * y * s;                  // corner (1,1)
        o[1] = (1.0 - x) * y * s;          // corner (0,1)
        o[2] = x * (1.0 - y) * s;          // corner (1,0)
        o[3] = (1.0 - x) * (1.0 - y) * s;  // corner (0,0)
    }
    return frames;
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
    pathX_.reset();
    pathY_.reset();
    outBlock_.reset();
}

}  // namespace tarvio
