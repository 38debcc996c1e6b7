// The rotation spatializer: mixdown, two swept rotations around the square
// path, and bilinear spreading over the four corner channels.
#include <cassert>
#include <climits>
#include <cmath>
#include <cstddef>

#include "app/Tarvio.h"

// The vector path needs SSE2 (every x86-64 has it); TARVIO_NO_SIMD builds
// the plain loops instead, which give the same results.
#if defined(__SSE2__) && !defined(TARVIO_NO_SIMD)
#define TARVIO_SPATIALIZER_SSE2 1
#include <emmintrin.h>
#endif

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
    // A header whose frame count gives no whole block has no length to sweep
    // over: the rotation keeps its initial frequency. (A short file is done
    // in a single block anyway; a mismatched block alignment can give a
    // count of 0 over a long file, which must not freeze the point.)
    r.sweepStep = blocks > 0 ? (fEnd - fInit) / static_cast<double>(blocks) : 0.0;
    r.frequency = fInit;
    r.sweep = fInit;
    return r;
}

// The neighbour of path index k in the interpolation: index TABLE_SIZE - 1 is
// followed by index 0, and the closing point TABLE_SIZE by index 1.
inline int nextIndex(int k) {
    return (k + 1) & (TABLE_SIZE - 1);
}

#if !defined(TARVIO_SPATIALIZER_SSE2)
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
        out[i] = a + frac * (table[nextIndex(k)] - a);
    }
    rot.phase = phase;
}
#endif

// Fills pairs[2k] and pairs[2k + 1] with table[k] and table[nextIndex(k)],
// for k = 0 to TABLE_SIZE.
void buildPairs(const double* table, double* pairs) {
    for (int k = 0; k <= TABLE_SIZE; ++k) {
        pairs[2 * k] = table[k];
        pairs[2 * k + 1] = table[nextIndex(k)];
    }
}

// Mixes interleaved frames down to one sample each: the sum of a frame's
// samples, starting from 0.0, times the gain. Stereo, the usual case, has a
// loop of its own that the compiler can vectorise; the sums are the same.
void mixDown(const double* in, int channels, int frames, double gain, double* mono) {
    if (channels == 2) {
        for (int j = 0; j < frames; ++j) {
            mono[j] = ((0.0 + in[2 * j]) + in[2 * j + 1]) * gain;
        }
        return;
    }
    for (int j = 0; j < frames; ++j) {
        const double* frame = in + static_cast<std::size_t>(j) * channels;
        double sum = 0.0;
        for (int ch = 0; ch < channels; ++ch) {
            sum += frame[ch];
        }
        mono[j] = sum * gain;
    }
}

#if defined(TARVIO_SPATIALIZER_SSE2)
// Brings each lane of a phase pair that left [0, kTurn) back, as wrapPhase
// does for one phase.
__m128d wrapLanes(__m128d phase) {
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, phase);
    for (double& p : lanes) {
        if (!(p >= 0.0 && p < kTurn)) {
            p = wrapPhase(p);
        }
    }
    return _mm_load_pd(lanes);
}

// True when both lanes lie in [0, kTurn).
inline bool bothInside(__m128d phase, __m128d zero, __m128d turn) {
    const __m128d inside = _mm_and_pd(_mm_cmpge_pd(phase, zero), _mm_cmplt_pd(phase, turn));
    return _mm_movemask_pd(inside) == 3;
}

// One sample of both rotations: advance, then wrap a lane that left the turn.
inline __m128d stepPhases(__m128d phase, __m128d inc, __m128d zero, __m128d turn) {
    phase = _mm_add_pd(phase, inc);
    if (!bothInside(phase, zero, turn)) {
        phase = wrapLanes(phase);
    }
    return phase;
}

// Interpolates both coordinates of one frame from its phase pair and spreads
// the mono sample s over the four corners of output frame o.
inline void spreadFrame(__m128d phase, const double* pairX, const double* pairY, double s,
                        double* o) {
    // k = the integer part, frac = phase - k; a = table[k],
    // b = table[nextIndex(k)]; value = a + frac * (b - a).
    const __m128i k = _mm_cvttpd_epi32(phase);
    const __m128d frac = _mm_sub_pd(phase, _mm_cvtepi32_pd(k));
    const __m128i at = _mm_add_epi32(k, k);  // index of the pair, 0 to 2 * TABLE_SIZE
    const unsigned atX = static_cast<unsigned>(_mm_cvtsi128_si32(at));
    const unsigned atY = static_cast<unsigned>(_mm_cvtsi128_si32(_mm_shuffle_epi32(at, 1)));
    const __m128d px = _mm_loadu_pd(pairX + atX);
    const __m128d py = _mm_loadu_pd(pairY + atY);
    const __m128d a = _mm_unpacklo_pd(px, py);
    const __m128d b = _mm_unpackhi_pd(px, py);
    const __m128d xy = _mm_add_pd(a, _mm_mul_pd(frac, _mm_sub_pd(b, a)));  // (x, y)

    // (x, 1 - x) times (y, y) and times (1 - y, 1 - y), then times s:
    // the gains of the corners (1,1), (0,1) and (1,0), (0,0).
    const __m128d rest = _mm_sub_pd(_mm_set1_pd(1.0), xy);  // (1 - x, 1 - y)
    const __m128d xs = _mm_unpacklo_pd(xy, rest);           // (x, 1 - x)
    const __m128d yy = _mm_unpackhi_pd(xy, xy);             // (y, y)
    const __m128d restY = _mm_unpackhi_pd(rest, rest);      // (1 - y, 1 - y)
    const __m128d sv = _mm_set1_pd(s);
    _mm_storeu_pd(o, _mm_mul_pd(_mm_mul_pd(xs, yy), sv));
    _mm_storeu_pd(o + 2, _mm_mul_pd(_mm_mul_pd(xs, restY), sv));
}

// Both rotations and the spreading for one block, with rotation 1 in the low
// lane and rotation 2 in the high lane of each vector. Every lane does
// exactly the operations of runRotation and of the spreading loop in
// Spatializer::processBlock, in the same order, so the results are the same
// to the last bit; the two rotations just share their instructions, and the
// coordinates go from registers straight into the spreading (blockX and
// blockY are not needed on this path).
//
// The wrap test is made once per batch of frames: with a constant increment
// each lane moves in one direction only (rounding is monotonic), so when the
// last phase of a batch lies inside the turn, every phase before it did too,
// and no wrap was due. Otherwise the batch is done again, step by step, from
// the phases it started with.
void rotateAndSpread(Rotation& rot1, Rotation& rot2, const double* pairX, const double* pairY,
                     const double* mono, int frames, double* out) {
    const __m128d inc = _mm_set_pd(rot2.frequency * rot2.scale, rot1.frequency * rot1.scale);
    const __m128d zero = _mm_setzero_pd();
    const __m128d turn = _mm_set1_pd(kTurn);
    __m128d phase = _mm_set_pd(rot2.phase, rot1.phase);
    constexpr int kBatch = 8;
    int i = 0;
    for (; i + kBatch <= frames; i += kBatch) {
        __m128d phases[kBatch];
        __m128d p = phase;
        for (int m = 0; m < kBatch; ++m) {
            p = _mm_add_pd(p, inc);
            phases[m] = p;
        }
        if (!bothInside(p, zero, turn)) {
            p = phase;
            for (int m = 0; m < kBatch; ++m) {
                p = stepPhases(p, inc, zero, turn);
                phases[m] = p;
            }
        }
        phase = p;
        for (int m = 0; m < kBatch; ++m) {
            spreadFrame(phases[m], pairX, pairY, mono[i + m], out + kOutChannels * (i + m));
        }
    }
    for (; i < frames; ++i) {
        phase = stepPhases(phase, inc, zero, turn);
        spreadFrame(phase, pairX, pairY, mono[i], out + kOutChannels * i);
    }
    // The rotations always run a whole block.
    for (; i < BLOCK_SIZE; ++i) {
        phase = stepPhases(phase, inc, zero, turn);
    }
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, phase);
    rot1.phase = lanes[0];
    rot2.phase = lanes[1];
}
#endif

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
    pairX_.reset(new double[2 * (kPathSegments + 1)]);
    pairY_.reset(new double[2 * (kPathSegments + 1)]);
    buildPairs(pathX_.get(), pairX_.get());
    buildPairs(pathY_.get(), pairY_.get());

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
    mixDown(in, channels_, frames, gain_, mono);

#if defined(TARVIO_SPATIALIZER_SSE2)
    rotateAndSpread(rot1_, rot2_, pairX_.get(), pairY_.get(), mono, frames, outBlock_.get());
#else
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
#endif
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
    pairX_.reset();
    pairY_.reset();
}

}  // namespace tarvio
