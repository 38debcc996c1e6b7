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
// The largest partition, and so the most frames between two ends where the
// gains are taken (and a middle between them): a source circling at 3 Hz
// passes a loudspeaker of a ring of 16 in about 20 ms, and gains taken
// every 2.7 ms at 48 kHz follow it closely enough that the ears' signals
// correlate above 0.999 with the convolution of the loudspeaker feeds.
// Smaller partitions mean more of them to multiply and more filters to sum
// per frame.
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

// acc += the sum over terms t of x[t] * f[t], `count` quads each.
void multiplyAdd(const Quad* const* x, const Quad* const* f, int terms, Quad* __restrict acc,
                 std::size_t count) {
    for (std::size_t q = 0; q < count; ++q) {
        Quad sum = acc[q];
        for (int t = 0; t < terms; ++t) {
            const Quad& a = x[t][q];
            const Quad& b = f[t][q];
            for (int j = 0; j < 4; ++j) {
                sum.r[j] += a.r[j] * b.r[j] - a.i[j] * b.i[j];
                sum.i[j] += a.r[j] * b.i[j] + a.i[j] * b.r[j];
            }
        }
        acc[q] = sum;
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

// The spectrum of w x from that of x, for a signal x of at most B frames
// with zeros after it in N = 2B points and w(m) = sin^2(pi h (m + 1) / N).
// As w = 1/2 - (e^(i t (m+1)) + e^(-i t (m+1))) / 4 with t = 2 pi h / N,
//   WX[k] = X[k] / 2 - (e X[k-h] + conj(e) X[k+h]) / 4,   e = e^(i t),
// where the bins past both ends are the conjugates of those inside (the
// spectrum of a real signal): X[-j] = conj(X[j]), X[B+j] = conj(X[B-j]).
void cosineShape(const kiss_fft_cpx* x, int bins, int h, kiss_fft_cpx e, Quad* wx) {
    const float c = 0.25f * e.r, s = 0.25f * e.i;
    const int last = bins - 1;
    auto tap = [&](int k, kiss_fft_cpx below, kiss_fft_cpx above) {
        wx[k / 4].r[k % 4] = 0.5f * x[k].r - c * (below.r + above.r) - s * (above.i - below.i);
        wx[k / 4].i[k % 4] = 0.5f * x[k].i - c * (below.i + above.i) - s * (below.r - above.r);
    };
    auto at = [&](int k) {
        if (k < 0) {
            return kiss_fft_cpx{x[-k].r, -x[-k].i};
        }
        if (k > last) {
            return kiss_fft_cpx{x[2 * last - k].r, -x[2 * last - k].i};
        }
        return x[k];
    };
    for (int k = 0; k < h; ++k) {
        tap(k, at(k - h), at(k + h));
        tap(last - k, at(last - k - h), at(last - k + h));
    }
    for (int k = h; k <= last - h; ++k) {
        tap(k, x[k - h], x[k + h]);
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

}  // namespace

// A piece of input moves from the gains g0 (filter `from`) to g1 (`to`),
// and through the middle's difference gd (`bump`) where it is a whole
// partition of even B: see the header.
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
    bool primed = false;       // whether `g0` and `from` hold a call's gains
    std::size_t fftBytes = 0;
    fft::Fftr forward;
    fft::Fftr inverse;
    kiss_fft_cpx turn[2];  // e^(i 2 pi h / 2B) for h = 1, 2
    // [speaker][ear][partition][quad], scaled by 1 / 2B, and last their sum.
    std::vector<Quad> spectra;
    // Three filters [ear][partition][quad]: of g0, of g1, of the middle's
    // difference.
    std::vector<Quad> filterStore;
    Quad* from;
    Quad* to;
    Quad* bump;
    // Gains per directed loudspeaker: g0, g1, gm, and the middle's
    // difference.
    std::vector<double> g0, g1, gm, gd;
    std::vector<double> knot;              // [channel]: the panner's gains at one frame
    std::vector<const Quad*> termSpectra;  // the terms of buildFilter(): spectra
    std::vector<float> termGains;          // and their factors
    std::vector<Quad> sums;                // [slot][ear][quad]: the next P output blocks' spectra
    // [shape][quad]: the piece times 1 - w1, w1 and w2.
    std::vector<Quad> shapes;
    std::vector<kiss_fft_cpx> spectrum;  // [bin]: what KissFFT takes and gives
    std::vector<float> segment;          // [2B]: the piece in its place, zeros around it
    std::vector<float> time;             // [2B]: an output block and the start of the next
    std::vector<float> tail;             // [ear][B]: the start of the current block, from the last

    State(const HrirSet& hrirs, std::vector<int> speakers, int blockFrames);
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    int speakers() const { return static_cast<int>(channel.size()); }
    Quad* spectrumOf(int speaker) { return spectra.data() + speaker * filterSize; }
    Quad* shape(int s) { return shapes.data() + s * quads; }
    const Quad* part(const Quad* filter, int ear, int partition) const {
        return filter + (static_cast<std::size_t>(ear) * partitions + partition) * quads;
    }
    Quad* sumOf(int slot, int ear) {
        return sums.data() + (static_cast<std::size_t>(slot) * 2 + ear) * quads;
    }

    void setSpectra(const HrirSet& hrirs);
    void gather(const Panner& panner, double x, double y, const double* elevation,
                std::vector<double>& g);
    double commonGain(const std::vector<double>& g) const;
    bool buildFilter(const std::vector<double>& g, Quad* filter);
    void transform(const double* mono, int frames, int moves);
    void addProducts(int moves);
    void writeOutputs(int frames, double* stereo);
    void piece(const double* mono, int frames, int moves, double* stereo);
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
      turn{{static_cast<float>(std::cos(kPi / blockFrames)),
            static_cast<float>(std::sin(kPi / blockFrames))},
           {static_cast<float>(std::cos(2 * kPi / blockFrames)),
            static_cast<float>(std::sin(2 * kPi / blockFrames))}},
      spectra((channel.size() + 1) * filterSize),
      filterStore(3 * filterSize),
      from(filterStore.data()),
      to(from + filterSize),
      bump(to + filterSize),
      g0(channel.size()),
      g1(channel.size()),
      gm(channel.size()),
      gd(channel.size()),
      knot(static_cast<std::size_t>(hrirs.channels())),
      termSpectra(channel.size() + 1),
      termGains(channel.size() + 1),
      sums(static_cast<std::size_t>(partitions) * 2 * quads),
      shapes(3 * quads),
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
    Quad* sum = spectrumOf(speakers());
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
        const Quad* one = spectrumOf(s);
        for (std::size_t q = 0; q < filterSize; ++q) {
            for (int j = 0; j < 4; ++j) {
                sum[q].r[j] += one[q].r[j];
                sum[q].i[j] += one[q].i[j];
            }
        }
    }
}

// g = the panner's gains at (x, y) and *elevation (none: in the plane) of
// the directed loudspeakers.
void BinauralSource::State::gather(const Panner& panner, double x, double y,
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
double BinauralSource::State::commonGain(const std::vector<double>& g) const {
    double candidate = 0.0;
    int votes = 0;
    for (double v : g) {
        if (votes == 0) {
            candidate = v;
        }
        votes += v == candidate ? 1 : -1;
    }
    const auto count = [&](double value) {
        return static_cast<std::size_t>(std::count(g.begin(), g.end(), value));
    };
    return candidate != 0.0 && count(candidate) > count(0.0) + 1 ? candidate : 0.0;
}

// filter = the sum over loudspeakers of g times their spectra, written as
// the common gain times the spectra's sum plus each loudspeaker's
// difference from it, those with none skipped. Returns whether any gain
// is not zero.
bool BinauralSource::State::buildFilter(const std::vector<double>& g, Quad* filter) {
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
    weightedSum(termSpectra.data(), termGains.data(), terms, filter, filterSize);
    return terms > 0;
}

// The piece's spectra in its place in the partition, the shapes its `moves`
// (0: the gains hold, 1: they glide to g1, 2: through gm as well) need:
// shape 0 the piece (times 1 - w1 where it moves), 1 times w1, 2 times w2.
// A shorter piece transforms w1 x apart.
void BinauralSource::State::transform(const double* mono, int frames, int moves) {
    std::fill(segment.begin(), segment.end(), 0.0f);
    for (int f = 0; f < frames; ++f) {
        segment[static_cast<std::size_t>(fill + f)] = static_cast<float>(mono[f]);
    }
    kiss_fftr(forward.get(), segment.data(), spectrum.data());
    split(spectrum.data(), bins, shape(0));
    if (moves == 0) {
        return;
    }
    if (frames == block) {
        cosineShape(spectrum.data(), bins, 1, turn[0], shape(1));
        if (moves == 2) {
            cosineShape(spectrum.data(), bins, 2, turn[1], shape(2));
        }
    } else {
        for (int f = 0; f < frames; ++f) {
            const double w = std::sin(kPi * (f + 1) / (2.0 * frames));
            segment[static_cast<std::size_t>(fill + f)] = static_cast<float>(w * w * mono[f]);
        }
        kiss_fftr(forward.get(), segment.data(), spectrum.data());
        split(spectrum.data(), bins, shape(1));
    }
    subtract(shape(1), shape(0), quads);
}

// The piece's shapes through every partition of their filters, added to
// the spectra of the output blocks each reaches: partition p to the block p
// on.
void BinauralSource::State::addProducts(int moves) {
    const Quad* inputs[3] = {shape(0), shape(1), shape(2)};
    for (int p = 0; p < partitions; ++p) {
        const int slot = (current + p) % partitions;
        for (int ear = 0; ear < 2; ++ear) {
            const Quad* filters[3] = {part(from, ear, p), part(to, ear, p), part(bump, ear, p)};
            multiplyAdd(inputs, filters, moves + 1, sumOf(slot, ear), quads);
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

// `frames` frames within the current partition, with the filters `moves`
// asks for (see transform()); a null `mono` is silence.
void BinauralSource::State::piece(const double* mono, int frames, int moves, double* stereo) {
    if (mono != nullptr) {
        transform(mono, frames, moves);
        addProducts(moves);
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
      state_(std::make_unique<State>(*hrirs_, speakersOf(*hrirs_),
                                     render::partitionFrames(maxBlockFrames))) {}

BinauralSource::~BinauralSource() = default;

// Each piece ends at a partition's end or at the call's; the gains there,
// and in the middle of a whole partition, are the panner's for those
// frames' positions.
void BinauralSource::process(const double* mono, const double* x, const double* y, int frames,
                             double* stereo, const double* elevation) {
    State& s = *state_;
    const auto at = [elevation](int j) { return elevation ? elevation + j : nullptr; };
    if (frames > 0 && !s.primed) {
        s.gather(panner_, x[0], y[0], at(0), s.g0);
        s.buildFilter(s.g0, s.from);
        s.primed = true;
    }
    for (int done = 0; done < frames;) {
        const int n = std::min(frames - done, s.block - s.fill);
        const bool whole = n == s.block && n % 2 == 0;
        s.gather(panner_, x[done + n - 1], y[done + n - 1], at(done + n - 1), s.g1);
        int moves = s.g1 != s.g0 ? 1 : 0;
        if (whole) {
            s.gather(panner_, x[done + n / 2 - 1], y[done + n / 2 - 1], at(done + n / 2 - 1), s.gm);
            for (std::size_t k = 0; k < s.gd.size(); ++k) {
                s.gd[k] = s.gm[k] - 0.5 * (s.g0[k] + s.g1[k]);
            }
            moves = s.gm != s.g0 || moves == 1 ? 2 : 0;
        }
        if (moves > 0) {
            s.buildFilter(s.g1, s.to);
            if (moves == 2 && !s.buildFilter(s.gd, s.bump)) {
                moves = 1;
            }
        }
        s.piece(mono + done, n, moves, stereo + 2 * static_cast<std::size_t>(done));
        if (moves > 0) {
            std::swap(s.from, s.to);
            std::swap(s.g0, s.g1);
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
        s.piece(nullptr, n, 0, stereo);
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
           (4 * s.g0.size() + s.knot.size()) * sizeof(double) +
           s.termSpectra.size() * sizeof(const Quad*) + s.termGains.size() * sizeof(float) +
           (s.spectra.size() + s.filterStore.size() + s.sums.size() + s.shapes.size()) *
               sizeof(Quad) +
           s.spectrum.size() * sizeof(kiss_fft_cpx) +
           (s.segment.size() + s.time.size() + s.tail.size()) * sizeof(float);
}

}  // namespace tarvio::render
