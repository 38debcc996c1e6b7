// SPDX-License-Identifier: MIT
#include "render/BinauralSource.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/Simd.h"
#include "render/RealFft.h"

namespace tarvio::render {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The largest partition, and so the most frames between two ends where the
// gains are taken (and a middle between them): a source circling at 3 Hz
// passes a loudspeaker of a ring of 16 in about 20 ms, and gains taken
// every 2.7 ms at 48 kHz follow it closely enough that the ears' signals
// correlate above 0.999 with the convolution of the loudspeaker feeds.
// Smaller partitions mean more of them to multiply and more filters to sum
// per frame.
constexpr int kKnotFrames = 256;

// kWidth bins of a spectrum, the real and the imaginary parts apart, so
// that the loops over filters and products below are vector operations
// the compiler finds by itself (two of SSE, one of AVX). A spectrum of
// `bins` bins takes groupsFor(bins) of them, the bins past its end zero.
constexpr int kWidth = 8;

struct Group {
    float r[kWidth];
    float i[kWidth];
};

std::size_t groupsFor(int bins) {
    return (static_cast<std::size_t>(bins) + kWidth - 1) / kWidth;
}

void split(const kiss_fft_cpx* in, int bins, Group* out) {
    for (std::size_t q = 0; q < groupsFor(bins); ++q) {
        for (int j = 0; j < kWidth; ++j) {
            const int b = static_cast<int>(kWidth * q) + j;
            out[q].r[j] = b < bins ? in[b].r : 0.0f;
            out[q].i[j] = b < bins ? in[b].i : 0.0f;
        }
    }
}

void join(const Group* in, int bins, kiss_fft_cpx* out) {
    const std::size_t whole = static_cast<std::size_t>(bins) / kWidth;
#if defined(TARVIO_HAVE_SSE2)
    // Four bins at a time: their real and imaginary parts interleaved.
    static_assert(sizeof(kiss_fft_cpx) == 2 * sizeof(float) && kWidth % 4 == 0);
    float* to = &out[0].r;
    for (std::size_t q = 0; q < whole; ++q) {
        for (int j = 0; j < kWidth; j += 4) {
            const __m128 r = _mm_loadu_ps(in[q].r + j);
            const __m128 i = _mm_loadu_ps(in[q].i + j);
            _mm_storeu_ps(to, _mm_unpacklo_ps(r, i));
            _mm_storeu_ps(to + 4, _mm_unpackhi_ps(r, i));
            to += 8;
        }
    }
#else
    for (std::size_t q = 0; q < whole; ++q) {
        for (int j = 0; j < kWidth; ++j) {
            out[kWidth * q + j] = {in[q].r[j], in[q].i[j]};
        }
    }
#endif
    for (int b = static_cast<int>(kWidth * whole); b < bins; ++b) {
        out[b] = {in[b / kWidth].r[b % kWidth], in[b / kWidth].i[b % kWidth]};
    }
}

// stereo[2f] += left[f] + leftBefore[f], stereo[2f + 1] += right[f] +
// rightBefore[f] for `frames` frames.
void addStereo(const float* left, const float* leftBefore, const float* right,
               const float* rightBefore, int frames, double* stereo) {
    int f = 0;
#if defined(TARVIO_HAVE_SSE2)
    // Four frames at a time: the sums in single precision, then each pair
    // widened and interleaved.
    const auto add = [](double* at, __m128d l, __m128d r) {
        _mm_storeu_pd(at, _mm_add_pd(_mm_loadu_pd(at), _mm_unpacklo_pd(l, r)));
        _mm_storeu_pd(at + 2, _mm_add_pd(_mm_loadu_pd(at + 2), _mm_unpackhi_pd(l, r)));
    };
    for (; f + 4 <= frames; f += 4) {
        const __m128 l = _mm_add_ps(_mm_loadu_ps(left + f), _mm_loadu_ps(leftBefore + f));
        const __m128 r = _mm_add_ps(_mm_loadu_ps(right + f), _mm_loadu_ps(rightBefore + f));
        double* at = stereo + 2 * static_cast<std::size_t>(f);
        add(at, _mm_cvtps_pd(l), _mm_cvtps_pd(r));
        add(at + 4, _mm_cvtps_pd(_mm_movehl_ps(l, l)), _mm_cvtps_pd(_mm_movehl_ps(r, r)));
    }
#endif
    for (; f < frames; ++f) {
        stereo[2 * static_cast<std::size_t>(f)] += left[f] + leftBefore[f];
        stereo[2 * static_cast<std::size_t>(f) + 1] += right[f] + rightBefore[f];
    }
}

// The loops that take the most time, built for AVX2 as well where the
// processor has it (chosen when the program starts). No FMA: the output is
// the same, sample for sample, whichever runs. ThreadSanitizer cannot run
// the choosing code, which runs before it starts.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVIO_THREAD_SANITIZER 1
#endif
#endif
#if defined(TARVIO_HAVE_AVX2) && !defined(__SANITIZE_THREAD__) && !defined(TARVIO_THREAD_SANITIZER)
#define TARVIO_AVX2_TOO __attribute__((target_clones("avx2", "default")))
#else
#define TARVIO_AVX2_TOO
#endif

// f = the sum over terms t of g[t] * h[t], `count` groups each, the terms
// added one after the other.
TARVIO_AVX2_TOO void weightedSum(const Group* const* h, const float* g, int terms,
                                 Group* __restrict f, std::size_t count) {
    if (terms == 0) {
        std::fill_n(f, count, Group{});
        return;
    }
    for (std::size_t q = 0; q < count; ++q) {
        for (int j = 0; j < kWidth; ++j) {
            f[q].r[j] = g[0] * h[0][q].r[j];
            f[q].i[j] = g[0] * h[0][q].i[j];
        }
    }
    for (int t = 1; t < terms; ++t) {
        const Group* __restrict ht = h[t];
        const float gt = g[t];
        for (std::size_t q = 0; q < count; ++q) {
            for (int j = 0; j < kWidth; ++j) {
                f[q].r[j] += gt * ht[q].r[j];
                f[q].i[j] += gt * ht[q].i[j];
            }
        }
    }
}

// acc += the sum over terms t of x[t] * f[t], `count` groups each, the
// terms added one after the other.
TARVIO_AVX2_TOO void multiplyAdd(const Group* const* x, const Group* const* f, int terms,
                                 Group* __restrict acc, std::size_t count) {
    for (int t = 0; t < terms; ++t) {
        const Group* __restrict a = x[t];
        const Group* __restrict b = f[t];
        for (std::size_t q = 0; q < count; ++q) {
            for (int j = 0; j < kWidth; ++j) {
                acc[q].r[j] += a[q].r[j] * b[q].r[j] - a[q].i[j] * b[q].i[j];
                acc[q].i[j] += a[q].r[j] * b[q].i[j] + a[q].i[j] * b[q].r[j];
            }
        }
    }
}

// x -= y for `count` groups.
void subtract(const Group* __restrict y, Group* __restrict x, std::size_t count) {
    for (std::size_t q = 0; q < count; ++q) {
        for (int j = 0; j < kWidth; ++j) {
            x[q].r[j] -= y[q].r[j];
            x[q].i[j] -= y[q].i[j];
        }
    }
}

// The bins an unpacked spectrum has on each side of its own: at least the
// largest shift of cosineShape(), and a whole group.
constexpr int kMargin = kWidth;

std::size_t unpackedSize(int bins) {
    return kWidth * groupsFor(bins) + 2 * kMargin;
}

// A spectrum of a real signal of N = 2B points, its bins 0 to B (`bins`)
// with the real and the imaginary parts apart in r and i, bin k at
// kMargin + k, unpackedSize(bins) floats each. Around them the bins past
// both ends, the conjugates of those inside: X[-j] = conj(X[j]),
// X[B+j] = conj(X[B-j]).
void unpack(const kiss_fft_cpx* x, int bins, float* r, float* i) {
    const int last = bins - 1;
    const int end = static_cast<int>(unpackedSize(bins)) - kMargin;
    for (int k = 0; k < bins; ++k) {
        r[kMargin + k] = x[k].r;
        i[kMargin + k] = x[k].i;
    }
    for (int j = 1; j <= kMargin; ++j) {
        r[kMargin - j] = x[j].r;
        i[kMargin - j] = -x[j].i;
    }
    for (int k = bins; k < end; ++k) {
        r[kMargin + k] = x[2 * last - k].r;
        i[kMargin + k] = -x[2 * last - k].i;
    }
}

// The bins of the last group past the spectrum's end made zero.
void clearPast(int bins, Group* out) {
    for (std::size_t b = static_cast<std::size_t>(bins); b < kWidth * groupsFor(bins); ++b) {
        out[b / kWidth].r[b % kWidth] = 0.0f;
        out[b / kWidth].i[b % kWidth] = 0.0f;
    }
}

// The unpacked spectrum in groups.
TARVIO_AVX2_TOO void pack(const float* r, const float* i, int bins, Group* out) {
    for (std::size_t q = 0; q < groupsFor(bins); ++q) {
        for (int j = 0; j < kWidth; ++j) {
            out[q].r[j] = r[kMargin + kWidth * q + j];
            out[q].i[j] = i[kMargin + kWidth * q + j];
        }
    }
    clearPast(bins, out);
}

// The spectrum of w x from that of x (unpacked), for a signal x of at most
// B frames with zeros after it in N = 2B points and
// w(m) = sin^2(pi h (m + 1) / N). As
// w = 1/2 - (e^(i t (m+1)) + e^(-i t (m+1))) / 4 with t = 2 pi h / N,
//   WX[k] = X[k] / 2 - (e X[k-h] + conj(e) X[k+h]) / 4,   e = e^(i t).
TARVIO_AVX2_TOO void cosineShape(const float* r, const float* i, int bins, int h, kiss_fft_cpx e,
                                 Group* wx) {
    const float c = 0.25f * e.r, s = 0.25f * e.i;
    for (std::size_t q = 0; q < groupsFor(bins); ++q) {
        for (int j = 0; j < kWidth; ++j) {
            const std::size_t k = kMargin + kWidth * q + j;
            const float belowR = r[k - h], belowI = i[k - h];
            const float aboveR = r[k + h], aboveI = i[k + h];
            wx[q].r[j] = 0.5f * r[k] - c * (belowR + aboveR) - s * (aboveI - belowI);
            wx[q].i[j] = 0.5f * i[k] - c * (belowI + aboveI) - s * (belowR - aboveR);
        }
    }
    clearPast(bins, wx);
}

std::shared_ptr<const HrirSet> usableSet(std::shared_ptr<const HrirSet> hrirs, const Panner& panner,
                                         int maxBlockFrames) {
    if (!hrirs) {
        throw std::invalid_argument("binaural output needs a set of HRIRs");
    }
    if (panner.layout().size() != hrirs->channels()) {
        throw std::invalid_argument(
            "the panner's layout has " + std::to_string(panner.layout().size()) +
            " loudspeakers, the HRIR set " + std::to_string(hrirs->channels()));
    }
    if (maxBlockFrames < 1) {
        throw std::invalid_argument("binaural output needs blocks of at least one frame");
    }
    return hrirs;
}

// The partition: blocks of up to maxBlockFrames cut into equal parts of at
// most kKnotFrames, so that a call of a whole block fills whole partitions.
int partitionFrames(int maxBlockFrames) {
    const long long frames = maxBlockFrames;
    const long long parts = (frames + kKnotFrames - 1) / kKnotFrames;
    return fft::partitionFor(static_cast<int>((frames + parts - 1) / parts));
}

// The engine channels with a direction: those with responses.
std::vector<int> speakersOf(const HrirSet& hrirs) {
    std::vector<int> channels;
    for (int c = 0; c < hrirs.channels(); ++c) {
        if (!hrirs.impulseResponse(c, 0).empty()) {
            channels.push_back(c);
        }
    }
    return channels;
}

// A piece of input as stage() leaves it for convolve(): its frames within
// the current partition, how its gains move (0: they hold, 1: they glide
// from g0 to g1, 2: through the middle's difference gd as well), and the
// batch's filters it needs: that of g0 where it starts a signal, of g1
// where the gains move, of gd where they go through the middle (-1: none).
// Its spectra (see Front::transform) are the batch's too.
struct Piece {
    int frames;
    int moves;
    int from;
    int to;
    int bump;
};

// A batch keeps the filters of its pieces in at most this many bytes, or
// those of one call where they take more.
constexpr std::size_t kBatchFilterBytes = std::size_t{2} << 20;

}  // namespace

struct BinauralSource::Batch {
    std::size_t spectrum;    // floats of one unpacked spectrum: real parts, imaginary parts
    std::size_t filterSize;  // groups of one filter
    int room;                // calls it takes
    int perCall;             // filters a call may need
    int calls = 0;
    int frames = 0;
    std::size_t count = 0;  // pieces
    int filtersUsed = 0;
    std::vector<Piece> pieces;   // [piece]
    std::vector<float> spectra;  // [piece][2][spectrum]
    std::vector<Group> filters;  // [filter][ear][partition][group]

    // A call of up to `callFrames` frames makes at most callFrames / B + 2
    // pieces (whole partitions, and the ends of two), each with two
    // filters, and the first maybe with a third.
    Batch(std::size_t spectrumFloats, std::size_t filterGroups, int callCount, int callFrames,
          int block)
        : spectrum(spectrumFloats),
          filterSize(filterGroups),
          room(callCount),
          perCall(2 * (callFrames / block + 2) + 1),
          pieces(static_cast<std::size_t>(callCount) * (callFrames / block + 2)),
          spectra(pieces.size() * 2 * spectrum),
          filters(filterSize * static_cast<std::size_t>(filterRoom(callCount))) {}

    int filterRoom(int callCount) const {
        const std::size_t bytes = filterSize * sizeof(Group);
        const std::size_t most = std::max<std::size_t>(kBatchFilterBytes / bytes, perCall);
        return static_cast<int>(std::min(
            most, static_cast<std::size_t>(callCount) * static_cast<std::size_t>(perCall)));
    }
    bool full() const {
        return calls == room ||
               static_cast<std::size_t>(filtersUsed + perCall) * filterSize > filters.size();
    }
    float* spectraOf(std::size_t piece) { return spectra.data() + piece * 2 * spectrum; }
    Group* filter(int index) {
        return filters.data() + static_cast<std::size_t>(index) * filterSize;
    }
    void clear() {
        calls = 0;
        frames = 0;
        count = 0;
        filtersUsed = 0;
    }
};

void BinauralSource::BatchDelete::operator()(Batch* batch) const {
    delete batch;
}

// The caller's half: the panner's gains at the pieces' ends and middles,
// their filters, and the forward transforms of the input.
struct BinauralSource::Front {
    int block;                 // B
    int bins;                  // B + 1
    std::vector<int> channel;  // the engine channel of each directed loudspeaker
    std::size_t groups;        // of one spectrum of B + 1 bins
    int fill = 0;              // frames of the current partition so far
    bool primed = false;       // whether `g0` holds a call's gains
    std::size_t fftBytes = 0;
    fft::Fftr forward;
    // Gains per directed loudspeaker: g0, g1, gm, and the middle's
    // difference.
    std::vector<double> g0, g1, gm, gd;
    std::vector<double> knot;            // [channel]: the panner's gains at one frame
    std::vector<kiss_fft_cpx> spectrum;  // [bin]: what KissFFT takes and gives
    std::vector<float> segment;          // [2B]: the piece in its place, zeros around it
    std::vector<float> unpacked;         // the spectrum unpacked: real parts, imaginary parts
    int partitions;                      // P
    std::size_t filterSize;              // groups of one filter: 2 P groups
    // [speaker][ear][partition][group], scaled by 1 / 2B, and last their sum.
    std::vector<Group> spectra;
    std::vector<const Group*> termSpectra;  // the terms of buildFilter(): spectra
    std::vector<float> termGains;           // and their factors

    Front(const HrirSet& hrirs, std::vector<int> speakers, int blockFrames);
    Front(const Front&) = delete;
    Front& operator=(const Front&) = delete;

    int speakers() const { return static_cast<int>(channel.size()); }
    Group* spectrumOf(int speaker) { return spectra.data() + speaker * filterSize; }
    void setSpectra(const HrirSet& hrirs);
    double commonGain(const double* g) const;
    int buildFilter(Batch& batch, const double* g);
    void gather(const Panner& panner, double x, double y, const double* elevation,
                std::vector<double>& g);
    int movesOf(const Panner& panner, const double* x, const double* y, const double* elevation,
                int end, int frames);
    void transform(const double* mono, int frames, int moves, float* spectra);
    void stage(Batch& batch, const Panner& panner, const double* mono, const double* x,
               const double* y, int frames, const double* elevation);
    std::size_t heldBytes() const;
};

// The convolution's half: the shapes of the pieces' spectra, their
// products with the filters, and the output.
struct BinauralSource::Back {
    int block;       // B
    int bins;        // B + 1
    int partitions;  // P
    int filterLength;
    std::size_t groups;      // of one spectrum of B + 1 bins
    std::size_t filterSize;  // groups of one filter: 2 P groups
    int fill = 0;            // frames of the current partition so far
    int current = 0;         // slot of `sums` of the current output block
    std::size_t fftBytes = 0;
    fft::Fftr inverse;
    // The filter of g0: the last piece's, in the batch or, after a batch,
    // kept in `held`.
    const Group* from = nullptr;
    std::vector<Group> held;
    std::vector<Group> sums;             // [slot][ear][group]: the next P output blocks' spectra
    kiss_fft_cpx turn[2];                // e^(i 2 pi h / 2B) for h = 1, 2
    std::vector<Group> shapes;           // [shape][group]: those of the piece convolved
    std::vector<kiss_fft_cpx> spectrum;  // [bin]: what KissFFT takes and gives
    std::vector<float> time;             // [ear][2B]: an output block and the start of the next
    std::vector<float> tail;             // [ear][B]: the start of the current block, from the last

    Back(const HrirSet& hrirs, const Front& front);
    Back(const Back&) = delete;
    Back& operator=(const Back&) = delete;

    const Group* part(const Group* filter, int ear, int partition) const {
        return filter + (static_cast<std::size_t>(ear) * partitions + partition) * groups;
    }
    Group* sumOf(int slot, int ear) {
        return sums.data() + (static_cast<std::size_t>(slot) * 2 + ear) * groups;
    }

    void shape(const Piece& piece, const float* spectra);
    void addProducts(const Group* const* filters, int moves);
    void writeOutputs(int frames, double* stereo);
    void advance(int frames, double* stereo);
    void convolve(Batch& batch, double* stereo);
    void reset();
    std::size_t heldBytes() const;
};

BinauralSource::Front::Front(const HrirSet& hrirs, std::vector<int> speakers, int blockFrames)
    : block(blockFrames),
      bins(blockFrames + 1),
      channel(std::move(speakers)),
      groups(groupsFor(bins)),
      forward(fft::makeFftr(2 * blockFrames, false, fftBytes)),
      g0(channel.size()),
      g1(channel.size()),
      gm(channel.size()),
      gd(channel.size()),
      knot(static_cast<std::size_t>(hrirs.channels())),
      spectrum(bins),
      segment(2 * static_cast<std::size_t>(block)),
      unpacked(2 * unpackedSize(bins)),
      partitions(std::max(1, (hrirs.length() + block - 1) / block)),
      filterSize(2 * static_cast<std::size_t>(partitions) * groups),
      spectra((channel.size() + 1) * filterSize),
      termSpectra(channel.size() + 1),
      termGains(channel.size() + 1) {
    setSpectra(hrirs);
}

BinauralSource::Back::Back(const HrirSet& hrirs, const Front& front)
    : block(front.block),
      bins(front.bins),
      partitions(front.partitions),
      filterLength(hrirs.length()),
      groups(front.groups),
      filterSize(front.filterSize),
      inverse(fft::makeFftr(2 * block, true, fftBytes)),
      held(filterSize),
      sums(static_cast<std::size_t>(partitions) * 2 * groups),
      turn{{static_cast<float>(std::cos(kPi / block)), static_cast<float>(std::sin(kPi / block))},
           {static_cast<float>(std::cos(2 * kPi / block)),
            static_cast<float>(std::sin(2 * kPi / block))}},
      shapes(3 * groups),
      spectrum(bins),
      time(4 * static_cast<std::size_t>(block)),
      tail(2 * static_cast<std::size_t>(block)) {}

// Partition p of a response holds h[pB, (p+1)B) in the first half of 2B
// points, the second half zero, so its product with a piece of at most B
// frames (zeros around it) is their linear convolution. The inverse FFT's
// factor 2B is taken out here once.
void BinauralSource::Front::setSpectra(const HrirSet& hrirs) {
    const double factor = 1.0 / (2.0 * block);
    Group* sum = spectrumOf(speakers());
    for (int s = 0; s < speakers(); ++s) {
        for (int ear = 0; ear < 2; ++ear) {
            const std::vector<double>& h = hrirs.impulseResponse(channel[s], ear);
            for (int p = 0; p < partitions; ++p) {
                std::fill(segment.begin(), segment.end(), 0.0f);
                for (int n = 0; n < block; ++n) {
                    const std::size_t at = static_cast<std::size_t>(p) * block + n;
                    if (at < h.size()) {
                        segment[n] = static_cast<float>(h[at] * factor);
                    }
                }
                kiss_fftr(forward.get(), segment.data(), spectrum.data());
                split(spectrum.data(), bins,
                      spectrumOf(s) + (static_cast<std::size_t>(ear) * partitions + p) * groups);
            }
        }
        const Group* one = spectrumOf(s);
        for (std::size_t q = 0; q < filterSize; ++q) {
            for (int j = 0; j < kWidth; ++j) {
                sum[q].r[j] += one[q].r[j];
                sum[q].i[j] += one[q].i[j];
            }
        }
    }
}

// g = the panner's gains at (x, y) and *elevation (none: in the plane) of
// the directed loudspeakers.
void BinauralSource::Front::gather(const Panner& panner, double x, double y,
                                   const double* elevation, std::vector<double>& g) {
    if (elevation)
        panner.gains(x, y, *elevation, knot.data());
    else
        panner.gains(x, y, knot.data());
    for (std::size_t s = 0; s < channel.size(); ++s) {
        g[s] = knot[channel[s]];
    }
}

// The gain that more than half the loudspeakers share where that saves
// work, else 0: a law that spreads the sound over all of them (vbap off the
// edge) gives all but a pair the same gain. The candidate is found by a
// majority vote, then counted.
double BinauralSource::Front::commonGain(const double* g) const {
    const int count = speakers();
    double candidate = 0.0;
    int votes = 0;
    for (int s = 0; s < count; ++s) {
        if (votes == 0) {
            candidate = g[s];
        }
        votes += g[s] == candidate ? 1 : -1;
    }
    const auto times = [&](double value) { return std::count(g, g + count, value); };
    return candidate != 0.0 && times(candidate) > times(0.0) + 1 ? candidate : 0.0;
}

// A new filter of the batch: the sum over loudspeakers of g times their
// spectra, written as the common gain times the spectra's sum plus each
// loudspeaker's difference from it, those with none skipped. Returns its
// index.
int BinauralSource::Front::buildFilter(Batch& batch, const double* g) {
    const double common = commonGain(g);
    int terms = 0;
    if (common != 0.0) {
        termSpectra[terms] = spectrumOf(speakers());
        termGains[terms++] = static_cast<float>(common);
    }
    for (int s = 0; s < speakers(); ++s) {
        if (g[s] != common) {
            termSpectra[terms] = spectrumOf(s);
            termGains[terms++] = static_cast<float>(g[s] - common);
        }
    }
    const int index = batch.filtersUsed++;
    weightedSum(termSpectra.data(), termGains.data(), terms, batch.filter(index), filterSize);
    return index;
}

// The spectra of the piece in its place in the partition that its `moves`
// need (see Back::shape): its own, unpacked, and for a shorter piece whose
// gains move, that of w1 x, which Back::shape cannot make of it.
void BinauralSource::Front::transform(const double* mono, int frames, int moves, float* spectra) {
    const std::size_t size = unpackedSize(bins);
    std::fill(segment.begin(), segment.end(), 0.0f);
    for (int f = 0; f < frames; ++f) {
        segment[static_cast<std::size_t>(fill + f)] = static_cast<float>(mono[f]);
    }
    kiss_fftr(forward.get(), segment.data(), spectrum.data());
    unpack(spectrum.data(), bins, spectra, spectra + size);
    if (moves == 0 || frames == block) {
        return;
    }
    for (int f = 0; f < frames; ++f) {
        const double w = std::sin(kPi * (f + 1) / (2.0 * frames));
        segment[static_cast<std::size_t>(fill + f)] = static_cast<float>(w * w * mono[f]);
    }
    kiss_fftr(forward.get(), segment.data(), spectrum.data());
    unpack(spectrum.data(), bins, spectra + 2 * size, spectra + 3 * size);
}

// How the gains move over the piece of `frames` frames that ends before
// `end` (see Piece), with g1 the gains at its end and, where it fills a
// whole partition of even B, gm those of its middle and gd their
// difference from the glide's.
int BinauralSource::Front::movesOf(const Panner& panner, const double* x, const double* y,
                                   const double* elevation, int end, int frames) {
    const auto at = [elevation](int j) { return elevation ? elevation + j : nullptr; };
    gather(panner, x[end - 1], y[end - 1], at(end - 1), g1);
    const int moves = g1 != g0 ? 1 : 0;
    if (frames != block || frames % 2 != 0) {
        return moves;
    }
    const int middle = end - frames / 2 - 1;
    gather(panner, x[middle], y[middle], at(middle), gm);
    bool bump = false;
    for (std::size_t k = 0; k < gd.size(); ++k) {
        gd[k] = gm[k] - 0.5 * (g0[k] + g1[k]);
        bump = bump || gd[k] != 0.0;
    }
    if (gm == g0 && moves == 0) {
        return 0;
    }
    return bump ? 2 : 1;
}

// Each piece ends at a partition's end or at the call's; the gains there,
// and in the middle of a whole partition, are the panner's for those
// frames' positions.
void BinauralSource::Front::stage(Batch& batch, const Panner& panner, const double* mono,
                                  const double* x, const double* y, int frames,
                                  const double* elevation) {
    bool prime = false;
    if (frames > 0 && !primed) {
        gather(panner, x[0], y[0], elevation, g0);
        primed = prime = true;
    }
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, block - fill);
        const int moves = movesOf(panner, x, y, elevation, done + n, n);
        const std::size_t i = batch.count++;
        Piece& piece = batch.pieces[i];
        piece = Piece{n, moves, -1, -1, -1};
        if (prime) {
            piece.from = buildFilter(batch, g0.data());
            prime = false;
        }
        if (moves > 0) {
            piece.to = buildFilter(batch, g1.data());
            std::swap(g0, g1);
        }
        if (moves == 2) {
            piece.bump = buildFilter(batch, gd.data());
        }
        transform(mono + done, n, moves, batch.spectraOf(i));
        fill = (fill + n) % block;
        done += n;
    }
    batch.frames += frames;
    ++batch.calls;
}

// The shapes of a piece's spectrum that its `moves` need, in `shapes`:
// shape 0 the piece (times 1 - w1 where it moves), 1 times w1, 2 times w2.
// Those of a whole partition are taps of its spectrum; a shorter piece
// brings that of w1 x.
void BinauralSource::Back::shape(const Piece& piece, const float* spectra) {
    Group* const out[3] = {shapes.data(), shapes.data() + groups, shapes.data() + 2 * groups};
    const std::size_t size = unpackedSize(bins);
    const float* r = spectra;
    const float* i = spectra + size;
    pack(r, i, bins, out[0]);
    if (piece.moves == 0) {
        return;
    }
    if (piece.frames == block) {
        cosineShape(r, i, bins, 1, turn[0], out[1]);
        if (piece.moves == 2) {
            cosineShape(r, i, bins, 2, turn[1], out[2]);
        }
    } else {
        pack(spectra + 2 * size, spectra + 3 * size, bins, out[1]);
    }
    subtract(out[1], out[0], groups);
}

// The shapes through every partition of their filters, added to the
// spectra of the output blocks each reaches: partition p to the block p
// on.
void BinauralSource::Back::addProducts(const Group* const* filters, int moves) {
    const Group* inputs[3] = {shapes.data(), shapes.data() + groups, shapes.data() + 2 * groups};
    for (int p = 0; p < partitions; ++p) {
        const int slot = (current + p) % partitions;
        for (int ear = 0; ear < 2; ++ear) {
            const Group* parts[3] = {};
            for (int t = 0; t <= moves; ++t) {
                parts[t] = part(filters[t], ear, p);
            }
            multiplyAdd(inputs, parts, moves + 1, sumOf(slot, ear), groups);
        }
    }
}

// The current block's frames [fill, fill + frames): the first half of its
// spectrum transformed back plus what the last block left over; when the
// block is complete, its second half is left over for the next.
void BinauralSource::Back::writeOutputs(int frames, double* stereo) {
    const std::size_t points = 2 * static_cast<std::size_t>(block);
    for (int ear = 0; ear < 2; ++ear) {
        join(sumOf(current, ear), bins, spectrum.data());
        kiss_fftri(inverse.get(), spectrum.data(), time.data() + ear * points);
    }
    const float* left = time.data() + fill;
    const float* right = left + points;
    const float* leftBefore = tail.data() + fill;
    const float* rightBefore = leftBefore + block;
    addStereo(left, leftBefore, right, rightBefore, frames, stereo);
    if (fill + frames == block) {
        std::copy_n(time.data() + block, block, tail.data());
        std::copy_n(time.data() + points + block, block, tail.data() + block);
    }
}

// `frames` frames of output within the current partition, whose input is
// in; a complete partition moves on to the next output block.
void BinauralSource::Back::advance(int frames, double* stereo) {
    writeOutputs(frames, stereo);
    fill += frames;
    if (fill == block) {
        std::fill_n(sumOf(current, 0), 2 * groups, Group{});
        current = (current + 1) % partitions;
        fill = 0;
    }
}

// The pieces with the batch's filters; the last filter is kept for the
// next batch, which the caller may stage over this one.
void BinauralSource::Back::convolve(Batch& batch, double* stereo) {
    for (std::size_t i = 0; i < batch.count; ++i) {
        const Piece& piece = batch.pieces[i];
        if (piece.from >= 0) {
            from = batch.filter(piece.from);
        }
        const Group* filters[3] = {from, piece.to >= 0 ? batch.filter(piece.to) : nullptr,
                                   piece.bump >= 0 ? batch.filter(piece.bump) : nullptr};
        shape(piece, batch.spectraOf(i));
        addProducts(filters, piece.moves);
        advance(piece.frames, stereo);
        if (piece.to >= 0) {
            from = filters[1];
        }
        stereo += 2 * static_cast<std::size_t>(piece.frames);
    }
    if (from != nullptr && from != held.data()) {
        std::copy_n(from, filterSize, held.data());
        from = held.data();
    }
    batch.clear();
}

void BinauralSource::Back::reset() {
    from = nullptr;
    std::fill(sums.begin(), sums.end(), Group{});
    std::fill(tail.begin(), tail.end(), 0.0f);
    fill = 0;
    current = 0;
}

std::size_t BinauralSource::Front::heldBytes() const {
    return sizeof(Front) + fftBytes + channel.size() * sizeof(int) +
           (4 * g0.size() + knot.size()) * sizeof(double) + spectrum.size() * sizeof(kiss_fft_cpx) +
           (segment.size() + unpacked.size()) * sizeof(float) + spectra.size() * sizeof(Group) +
           termSpectra.size() * sizeof(const Group*) + termGains.size() * sizeof(float);
}

std::size_t BinauralSource::Back::heldBytes() const {
    return sizeof(Back) + fftBytes + (held.size() + sums.size() + shapes.size()) * sizeof(Group) +
           spectrum.size() * sizeof(kiss_fft_cpx) + (time.size() + tail.size()) * sizeof(float);
}

BinauralSource::BinauralSource(std::shared_ptr<const HrirSet> hrirs, const Panner& panner,
                               int maxBlockFrames)
    : hrirs_(usableSet(std::move(hrirs), panner, maxBlockFrames)),
      panner_(panner),
      maxBlockFrames_(maxBlockFrames),
      front_(std::make_unique<Front>(*hrirs_, speakersOf(*hrirs_),
                                     render::partitionFrames(maxBlockFrames))),
      back_(std::make_unique<Back>(*hrirs_, *front_)),
      own_(makeBatch(1)) {}

BinauralSource::~BinauralSource() = default;

BinauralSource::BatchPtr BinauralSource::makeBatch(int calls) const {
    return BatchPtr(new Batch(2 * unpackedSize(front_->bins), front_->filterSize,
                              std::max(1, calls), maxBlockFrames_, front_->block));
}

bool BinauralSource::stage(Batch& batch, const double* mono, const double* x, const double* y,
                           int frames, const double* elevation) {
    if (frames > maxBlockFrames_ || batch.full()) {
        throw std::logic_error("a call staged beyond the batch's room");
    }
    front_->stage(batch, panner_, mono, x, y, frames, elevation);
    return !batch.full();
}

void BinauralSource::convolve(Batch& batch, double* stereo) {
    back_->convolve(batch, stereo);
}

int BinauralSource::framesOf(const Batch& batch) {
    return batch.frames;
}

// Calls longer than maxBlockFrames go through in parts of that size.
void BinauralSource::process(const double* mono, const double* x, const double* y, int frames,
                             double* stereo, const double* elevation) {
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, maxBlockFrames_);
        stage(*own_, mono + done, x + done, y + done, n, elevation ? elevation + done : nullptr);
        convolve(*own_, stereo + 2 * static_cast<std::size_t>(done));
        done += n;
    }
}

int BinauralSource::tailFrames() const {
    return back_->filterLength - 1;
}

void BinauralSource::finish(double* stereo) {
    Back& b = *back_;
    for (int left = tailFrames(); left > 0;) {
        const int n = std::min(left, b.block - b.fill);
        b.advance(n, stereo);
        stereo += 2 * static_cast<std::size_t>(n);
        left -= n;
    }
    b.reset();
    front_->fill = 0;
    front_->primed = false;
}

int BinauralSource::partitionFrames() const {
    return front_->block;
}

std::size_t BinauralSource::heldBytes() const {
    return sizeof(BinauralSource) + front_->heldBytes() + back_->heldBytes() + heldBytes(*own_);
}

std::size_t BinauralSource::heldBytes(const Batch& batch) {
    return sizeof(Batch) + batch.pieces.size() * sizeof(Piece) +
           batch.spectra.size() * sizeof(float) + batch.filters.size() * sizeof(Group);
}

}  // namespace tarvio::render
