// SPDX-License-Identifier: MIT
#include "render/BinauralSource.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "render/RealFft.h"

namespace tarvio::render {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The most frames between two points where the gains are taken, and so the
// largest partition: a source circling at 3 Hz passes a loudspeaker of a
// ring of 16 in about 20 ms, and gains taken every 5 ms at 48 kHz follow it
// closely enough that the ears' signals correlate above 0.999 with the
// convolution of the loudspeaker feeds. Smaller partitions mean more of
// them to multiply and more filters to sum per frame.
constexpr int kKnotFrames = 256;

// Four bins of a spectrum, the real and the imaginary parts apart, so that
// the loops over filters and products below are four-wide vector
// operations the compiler finds by itself. A spectrum of `bins` bins takes
// quadsFor(bins) of them, the bins past its end zero.
struct Quad {
    float r[4];
    float i[4];
};

std::size_t quadsFor(int bins) {
    return (static_cast<std::size_t>(bins) + 3) / 4;
}

void split(const kiss_fft_cpx* in, int bins, Quad* out) {
    for (std::size_t q = 0; q < quadsFor(bins); ++q) {
        for (int j = 0; j < 4; ++j) {
            const int b = static_cast<int>(4 * q) + j;
            out[q].r[j] = b < bins ? in[b].r : 0.0f;
            out[q].i[j] = b < bins ? in[b].i : 0.0f;
        }
    }
}

void join(const Quad* in, int bins, kiss_fft_cpx* out) {
    const std::size_t whole = static_cast<std::size_t>(bins) / 4;
    for (std::size_t q = 0; q < whole; ++q) {
        for (int j = 0; j < 4; ++j) {
            out[4 * q + j] = {in[q].r[j], in[q].i[j]};
        }
    }
    for (int b = static_cast<int>(4 * whole); b < bins; ++b) {
        out[b] = {in[b / 4].r[b % 4], in[b / 4].i[b % 4]};
    }
}

// f = the sum over terms t of g[t] * h[t], `count` quads each, in one pass
// over f.
void weightedSum(const Quad* const* h, const float* g, int terms, Quad* __restrict f,
                 std::size_t count) {
    for (std::size_t q = 0; q < count; ++q) {
        Quad sum{};
        for (int t = 0; t < terms; ++t) {
            for (int j = 0; j < 4; ++j) {
                sum.r[j] += g[t] * h[t][q].r[j];
                sum.i[j] += g[t] * h[t][q].i[j];
            }
        }
        f[q] = sum;
    }
}

// acc += x * f for `count` quads.
void multiplyAdd(const Quad* __restrict x, const Quad* __restrict f, Quad* __restrict acc,
                 std::size_t count) {
    for (std::size_t q = 0; q < count; ++q) {
        for (int j = 0; j < 4; ++j) {
            acc[q].r[j] += x[q].r[j] * f[q].r[j] - x[q].i[j] * f[q].i[j];
            acc[q].i[j] += x[q].r[j] * f[q].i[j] + x[q].i[j] * f[q].r[j];
        }
    }
}

// acc += x * f + y * g for `count` quads.
void multiplyAdd(const Quad* __restrict x, const Quad* __restrict f, const Quad* __restrict y,
                 const Quad* __restrict g, Quad* __restrict acc, std::size_t count) {
    for (std::size_t q = 0; q < count; ++q) {
        for (int j = 0; j < 4; ++j) {
            acc[q].r[j] += x[q].r[j] * f[q].r[j] - x[q].i[j] * f[q].i[j] + y[q].r[j] * g[q].r[j] -
                           y[q].i[j] * g[q].i[j];
            acc[q].i[j] += x[q].r[j] * f[q].i[j] + x[q].i[j] * f[q].r[j] + y[q].r[j] * g[q].i[j] +
                           y[q].i[j] * g[q].r[j];
        }
    }
}

// x -= y for `count` quads.
void subtract(const Quad* __restrict y, Quad* __restrict x, std::size_t count) {
    for (std::size_t q = 0; q < count; ++q) {
        for (int j = 0; j < 4; ++j) {
            x[q].r[j] -= y[q].r[j];
            x[q].i[j] -= y[q].i[j];
        }
    }
}

// The spectrum x of a signal of at most B frames with zeros after it in
// N = 2B points, split into those of w x and (1 - w) x for
// w(m) = sin^2(pi (m + 1) / N). As w = 1/2 - (e^(i t (m+1)) + e^(-i t (m+1))) / 4
// with t = 2 pi / N,
//   WX[k] = X[k] / 2 - (e X[k-1] + conj(e) X[k+1]) / 4,   e = e^(i t),
// where the bins past both ends are the conjugates of those inside (the
// spectrum of a real signal): X[-1] = conj(X[1]), X[B+1] = conj(X[B-1]).
void splitRaisedCosine(const kiss_fft_cpx* x, int bins, kiss_fft_cpx e, Quad* rest, Quad* wx) {
    const float c = 0.25f * e.r, s = 0.25f * e.i;
    const int last = bins - 1;
    for (int k = 0; k <= last; ++k) {
        const kiss_fft_cpx below = k > 0 ? x[k - 1] : kiss_fft_cpx{x[1].r, -x[1].i};
        const kiss_fft_cpx above = k < last ? x[k + 1] : kiss_fft_cpx{x[k - 1].r, -x[k - 1].i};
        const float r = 0.5f * x[k].r - c * (below.r + above.r) - s * (above.i - below.i);
        const float i = 0.5f * x[k].i - c * (below.i + above.i) - s * (below.r - above.r);
        wx[k / 4].r[k % 4] = r;
        wx[k / 4].i[k % 4] = i;
        rest[k / 4].r[k % 4] = x[k].r - r;
        rest[k / 4].i[k % 4] = x[k].i - i;
    }
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

// The partition, and so the spacing of the gains: blocks of up to
// maxBlockFrames cut into equal parts of at most kKnotFrames, so that a
// call of a whole block fills whole partitions.
int knotSpacing(int maxBlockFrames) {
    const int parts = (maxBlockFrames + kKnotFrames - 1) / kKnotFrames;
    return fft::partitionFor((maxBlockFrames + parts - 1) / parts);
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

}  // namespace

struct BinauralSource::State {
    int block;       // B
    int bins;        // B + 1
    int partitions;  // P
    int filterLength;
    std::vector<int> channel;  // the engine channel of each directed loudspeaker
    std::size_t quads;         // of one spectrum of B + 1 bins
    std::size_t filterSize;    // quads of one filter: 2 P quads
    int fill = 0;              // frames of the current partition so far
    int current = 0;           // slot of `sums` of the current output block
    bool primed = false;       // whether `gains` and `from` hold a call's gains
    std::size_t fftBytes = 0;
    fft::Fftr forward;
    fft::Fftr inverse;
    kiss_fft_cpx turn;  // e^(i 2 pi / 2B)
    // [speaker][ear][partition][quad], scaled by 1 / 2B, and last their sum.
    std::vector<Quad> spectra;
    // Two filters [ear][partition][quad]: of the gains at the end of the
    // last piece, and at the end of this one.
    std::vector<Quad> filterStore;
    Quad* from;
    Quad* target;
    std::vector<double> gains;             // [speaker]: the gains of `from`
    std::vector<double> knot;              // [channel]: the panner's gains at a piece's end
    std::vector<const Quad*> termSpectra;  // the terms of buildFilter(): spectra
    std::vector<float> termGains;          // and their factors
    std::vector<Quad> sums;                // [slot][ear][quad]: the next P output blocks' spectra
    std::vector<Quad> plain;               // [quad]: the piece, or (1 - w) times it
    std::vector<Quad> ramp;                // [quad]: w times the piece
    std::vector<kiss_fft_cpx> spectrum;    // [bin]: what KissFFT takes and gives
    std::vector<float> segment;            // [2B]: the piece in its place, zeros around it
    std::vector<float> time;               // [2B]: an output block and the start of the next
    std::vector<float> tail;  // [ear][B]: the start of the current block, from the last

    State(const HrirSet& hrirs, std::vector<int> speakers, int blockFrames);
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    int speakers() const { return static_cast<int>(channel.size()); }
    Quad* spectrumOf(int speaker) { return spectra.data() + speaker * filterSize; }
    const Quad* part(const Quad* filter, int ear, int partition) const {
        return filter + (static_cast<std::size_t>(ear) * partitions + partition) * quads;
    }
    Quad* sumOf(int slot, int ear) {
        return sums.data() + (static_cast<std::size_t>(slot) * 2 + ear) * quads;
    }

    void setSpectra(const HrirSet& hrirs);
    bool moved(const double* g) const;
    double commonGain() const;
    void buildFilter(const double* g, Quad* filter);
    void transform(const double* mono, int frames, bool ramped);
    void addProducts(const Quad* after, bool ramped);
    void writeOutputs(int frames, double* stereo);
    void piece(const double* mono, int frames, const Quad* after, double* stereo);
    void reset();
};

BinauralSource::State::State(const HrirSet& hrirs, std::vector<int> speakers, int blockFrames)
    : block(blockFrames),
      bins(blockFrames + 1),
      partitions(std::max(1, (hrirs.length() + blockFrames - 1) / blockFrames)),
      filterLength(hrirs.length()),
      channel(std::move(speakers)),
      quads(quadsFor(bins)),
      filterSize(2 * static_cast<std::size_t>(partitions) * quads),
      forward(fft::makeFftr(2 * blockFrames, false, fftBytes)),
      inverse(fft::makeFftr(2 * blockFrames, true, fftBytes)),
      turn{static_cast<float>(std::cos(kPi / blockFrames)),
           static_cast<float>(std::sin(kPi / blockFrames))},
      spectra((channel.size() + 1) * filterSize),
      filterStore(2 * filterSize),
      from(filterStore.data()),
      target(from + filterSize),
      gains(channel.size()),
      knot(static_cast<std::size_t>(hrirs.channels())),
      termSpectra(channel.size() + 1),
      termGains(channel.size() + 1),
      sums(static_cast<std::size_t>(partitions) * 2 * quads),
      plain(quads),
      ramp(quads),
      spectrum(bins),
      segment(2 * static_cast<std::size_t>(block)),
      time(2 * static_cast<std::size_t>(block)),
      tail(2 * static_cast<std::size_t>(block)) {
    setSpectra(hrirs);
}

// Partition p of a response holds h[pB, (p+1)B) in the first half of 2B
// points, the second half zero, so its product with a piece of at most B
// frames (zeros around it) is their linear convolution. The inverse FFT's
// factor 2B is taken out here once.
void BinauralSource::State::setSpectra(const HrirSet& hrirs) {
    const double factor = 1.0 / (2.0 * block);
    for (int s = 0; s < speakers(); ++s) {
        for (int ear = 0; ear < 2; ++ear) {
            const std::vector<double>& h = hrirs.impulseResponse(channel[s], ear);
            for (int p = 0; p < partitions; ++p) {
                std::fill(time.begin(), time.end(), 0.0f);
                for (int n = 0; n < block; ++n) {
                    const std::size_t at = static_cast<std::size_t>(p) * block + n;
                    if (at < h.size()) {
                        time[n] = static_cast<float>(h[at] * factor);
                    }
                }
                kiss_fftr(forward.get(), time.data(), spectrum.data());
                split(spectrum.data(), bins,
                      spectrumOf(s) + (static_cast<std::size_t>(ear) * partitions + p) * quads);
            }
        }
        for (std::size_t q = 0; q < filterSize; ++q) {
            for (int j = 0; j < 4; ++j) {
                spectrumOf(speakers())[q].r[j] += spectrumOf(s)[q].r[j];
                spectrumOf(speakers())[q].i[j] += spectrumOf(s)[q].i[j];
            }
        }
    }
}

bool BinauralSource::State::moved(const double* g) const {
    for (std::size_t s = 0; s < channel.size(); ++s) {
        if (g[channel[s]] != gains[s]) {
            return true;
        }
    }
    return false;
}

// The gain that more than half the loudspeakers share where that saves
// work, else 0: a law that spreads the sound over all of them (vbap off the
// edge) gives all but a pair the same gain. The candidate is found by a
// majority vote, then counted.
double BinauralSource::State::commonGain() const {
    double candidate = 0.0;
    int votes = 0;
    for (double g : gains) {
        if (votes == 0) {
            candidate = g;
        }
        votes += g == candidate ? 1 : -1;
    }
    const auto count = [&](double value) {
        return static_cast<std::size_t>(std::count(gains.begin(), gains.end(), value));
    };
    return candidate != 0.0 && count(candidate) > count(0.0) + 1 ? candidate : 0.0;
}

// filter = the sum over loudspeakers of gain times spectra, written as the
// common gain times the spectra's sum plus each loudspeaker's difference
// from it, those with none skipped; remembers the gains.
void BinauralSource::State::buildFilter(const double* g, Quad* filter) {
    for (std::size_t s = 0; s < channel.size(); ++s) {
        gains[s] = g[channel[s]];
    }
    const double common = commonGain();
    int terms = 0;
    if (common != 0.0) {
        termSpectra[terms] = spectrumOf(speakers());
        termGains[terms++] = static_cast<float>(common);
    }
    for (int s = 0; s < speakers(); ++s) {
        if (gains[s] != common) {
            termSpectra[terms] = spectrumOf(s);
            termGains[terms++] = static_cast<float>(gains[s] - common);
        }
    }
    weightedSum(termSpectra.data(), termGains.data(), terms, filter, filterSize);
}

// plain = the spectrum of the piece in its place in the partition; where
// the gains move, ramp = that of the piece times the raised cosine over its
// frames (from the three taps where the piece is a whole partition, else
// transformed) and plain the rest.
void BinauralSource::State::transform(const double* mono, int frames, bool ramped) {
    std::fill(segment.begin(), segment.end(), 0.0f);
    for (int f = 0; f < frames; ++f) {
        segment[static_cast<std::size_t>(fill + f)] = static_cast<float>(mono[f]);
    }
    kiss_fftr(forward.get(), segment.data(), spectrum.data());
    if (ramped && frames == block) {
        splitRaisedCosine(spectrum.data(), bins, turn, plain.data(), ramp.data());
        return;
    }
    split(spectrum.data(), bins, plain.data());
    if (!ramped) {
        return;
    }
    for (int f = 0; f < frames; ++f) {
        const double w = std::sin(kPi * (f + 1) / (2.0 * frames));
        segment[static_cast<std::size_t>(fill + f)] = static_cast<float>(w * w * mono[f]);
    }
    kiss_fftr(forward.get(), segment.data(), spectrum.data());
    split(spectrum.data(), bins, ramp.data());
    subtract(ramp.data(), plain.data(), quads);
}

// The piece through every partition of its filters (`from`, and `after`
// for the ramp), added to the spectra of the output blocks each reaches:
// partition p to the block p on.
void BinauralSource::State::addProducts(const Quad* after, bool ramped) {
    for (int p = 0; p < partitions; ++p) {
        const int slot = (current + p) % partitions;
        for (int ear = 0; ear < 2; ++ear) {
            if (ramped) {
                multiplyAdd(plain.data(), part(from, ear, p), ramp.data(), part(after, ear, p),
                            sumOf(slot, ear), quads);
            } else {
                multiplyAdd(plain.data(), part(from, ear, p), sumOf(slot, ear), quads);
            }
        }
    }
}

// The current block's frames [fill, fill + frames): the first half of its
// spectrum transformed back plus what the last block left over; when the
// block is complete, its second half is left over for the next.
void BinauralSource::State::writeOutputs(int frames, double* stereo) {
    for (int ear = 0; ear < 2; ++ear) {
        join(sumOf(current, ear), bins, spectrum.data());
        kiss_fftri(inverse.get(), spectrum.data(), time.data());
        const float* left = tail.data() + static_cast<std::size_t>(ear) * block + fill;
        for (int f = 0; f < frames; ++f) {
            stereo[2 * static_cast<std::size_t>(f) + ear] += time[fill + f] + left[f];
        }
        if (fill + frames == block) {
            std::copy_n(time.data() + block, block,
                        tail.data() + static_cast<std::size_t>(ear) * block);
        }
    }
}

// `frames` frames within the current partition, the gains moving from those
// of `from` to those of `after` (the same filter for gains that hold); a
// null `mono` is silence.
void BinauralSource::State::piece(const double* mono, int frames, const Quad* after,
                                  double* stereo) {
    if (mono != nullptr) {
        const bool ramped = after != from;
        transform(mono, frames, ramped);
        addProducts(after, ramped);
    }
    writeOutputs(frames, stereo);
    fill += frames;
    if (fill == block) {
        std::fill_n(sumOf(current, 0), 2 * quads, Quad{});
        current = (current + 1) % partitions;
        fill = 0;
    }
}

void BinauralSource::State::reset() {
    std::fill(sums.begin(), sums.end(), Quad{});
    std::fill(tail.begin(), tail.end(), 0.0f);
    fill = 0;
    current = 0;
    primed = false;
}

BinauralSource::BinauralSource(std::shared_ptr<const HrirSet> hrirs, const Panner& panner,
                               int maxBlockFrames)
    : hrirs_(usableSet(std::move(hrirs), panner, maxBlockFrames)),
      panner_(panner),
      state_(std::make_unique<State>(*hrirs_, speakersOf(*hrirs_), knotSpacing(maxBlockFrames))) {}

BinauralSource::~BinauralSource() = default;

// Each piece ends at a partition's end or at the call's; the gains there are
// the panner's for that frame's position.
void BinauralSource::process(const double* mono, const double* x, const double* y, int frames,
                             double* stereo) {
    State& s = *state_;
    if (frames <= 0) {
        return;
    }
    if (!s.primed) {
        panner_.gains(x[0], y[0], s.knot.data());
        s.buildFilter(s.knot.data(), s.from);
        s.primed = true;
    }
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, s.block - s.fill);
        const int last = done + n - 1;
        panner_.gains(x[last], y[last], s.knot.data());
        double* out = stereo + 2 * static_cast<std::size_t>(done);
        if (s.moved(s.knot.data())) {
            s.buildFilter(s.knot.data(), s.target);
            s.piece(mono + done, n, s.target, out);
            std::swap(s.from, s.target);
        } else {
            s.piece(mono + done, n, s.from, out);
        }
        done += n;
    }
}

int BinauralSource::tailFrames() const {
    return state_->filterLength - 1;
}

void BinauralSource::finish(double* stereo) {
    State& s = *state_;
    for (int left = tailFrames(); left > 0;) {
        const int n = std::min(left, s.block - s.fill);
        s.piece(nullptr, n, s.from, stereo);
        stereo += 2 * static_cast<std::size_t>(n);
        left -= n;
    }
    s.reset();
}

int BinauralSource::partitionFrames() const {
    return state_->block;
}

std::size_t BinauralSource::heldBytes() const {
    const State& s = *state_;
    return sizeof(State) + s.fftBytes + s.channel.size() * sizeof(int) +
           (s.gains.size() + s.knot.size()) * sizeof(double) +
           s.termSpectra.size() * sizeof(const Quad*) + s.termGains.size() * sizeof(float) +
           (s.spectra.size() + s.filterStore.size() + s.sums.size() + s.plain.size() +
            s.ramp.size()) *
               sizeof(Quad) +
           s.spectrum.size() * sizeof(kiss_fft_cpx) +
           (s.segment.size() + s.time.size() + s.tail.size()) * sizeof(float);
}

}  // namespace tarvio::render
