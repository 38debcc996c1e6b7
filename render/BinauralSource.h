// SPDX-License-Identifier: MIT
// One sound source on headphones through all the virtual loudspeakers of a
// layout at once. The loudspeakers' feeds of one source are its signal times
// their gains, so the two ears hear the signal convolved with the weighted
// sum of the loudspeakers' HRIRs: one forward FFT of the signal per
// partition and one inverse FFT per ear, whatever the number of
// loudspeakers. Only the weighted sum of their filter spectra grows with
// them, and only with those whose gain differs from the one most of them
// share (0, or the spread of vbap off the edge).
//
// The gains are the panner's, taken at the end of every partition of B
// frames (at most 256), at the end of every call, and in the middle of a
// whole partition. From one end to the next they move along a raised
// cosine, and through the middle's gains with a bump that is still at both
// ends:
//   g(t) = g0 + (g1 - g0) sin^2(pi t / 2) + (gm - (g0 + g1) / 2) sin^2(pi t),
// t running from 0 at the last end to 1 at the next; they apply to the
// signal before the HRIRs, as the loudspeaker feeds' gains do. So no feed
// steps, and a still source gives the convolution of its feeds. With the
// filters of those three sets of gains the ears hear
//   y = F0 * ((1 - w1) x) + F1 * (w1 x) + Fd * (w2 x),
// and all three parts come from one forward FFT where a piece fills a whole
// partition: on the 2B points of a partition's transform w1 and w2 are
// cosines of one and two periods, so each product with x is three taps of
// its spectrum. A shorter piece glides without the middle, w1 x
// transformed apart.
//
// The convolution is uniformly partitioned overlap-add: every piece of
// input (a partition's frames, or the part of one a call brings) is
// transformed with zeros around it, and its products with every partition
// of its own filters are added at once to the spectra of the output blocks
// they reach. So each piece keeps the filters of its own time, however long
// the HRIRs, and a call gets its output at once, with no delay.
#ifndef TARVIO_RENDER_BINAURALSOURCE_H
#define TARVIO_RENDER_BINAURALSOURCE_H

#include <cstddef>
#include <memory>

#include "engine/GainLaw.h"
#include "render/Binaural.h"

namespace tarvio::render {

// Not to be shared between threads while it runs, but for the two halves
// of process() (see stage()); separate objects are independent. Several
// sources are several objects adding into one buffer.
class BinauralSource {
  public:
    // Convolves with `hrirs`, which it shares, the gains from `panner`
    // (copied), whose layout is the set's. maxBlockFrames is the largest
    // number of frames one call of process() will bring, which the
    // partitions divide (larger calls still work). Throws
    // std::invalid_argument for no set, a panner of another number of
    // loudspeakers or a block size below 1.
    BinauralSource(std::shared_ptr<const HrirSet> hrirs, const Panner& panner, int maxBlockFrames);
    ~BinauralSource();
    BinauralSource(const BinauralSource&) = delete;
    BinauralSource& operator=(const BinauralSource&) = delete;

    // `mono`: `frames` samples of the source; `x`, `y` and `elevation`: its
    // position at each of them (as Panner::gains takes them; no elevation:
    // in the plane). Adds `frames` interleaved
    // stereo frames (left, right) to `stereo`, with no delay. Loudspeakers
    // without a direction are left out. Allocates nothing.
    void process(const double* mono, const double* x, const double* y, int frames, double* stereo,
                 const double* elevation = nullptr);

    // The frames of output the last input frame still reaches: the longest
    // response minus one.
    int tailFrames() const;
    // Adds the tailFrames() frames that follow the input given so far when
    // silence follows to `stereo`, and starts over: the next process()
    // begins a new signal. Allocates nothing.
    void finish(double* stereo);

    // process() in two halves, for a pipeline: stage() takes the gains of
    // a call, their filters and the forward transforms into a batch,
    // convolve() turns a batch into output. Batches are convolved in the
    // order they were staged, each after its staging is done. The two
    // halves keep separate state, so one thread may stage a batch while
    // another convolves those before it; each half on its own is not to be
    // shared.
    struct Batch;
    struct BatchDelete {
        void operator()(Batch* batch) const;
    };
    using BatchPtr = std::unique_ptr<Batch, BatchDelete>;
    // A batch with room for `calls` calls of up to maxBlockFrames frames.
    BatchPtr makeBatch(int calls) const;
    // Stages a call as process() takes it (frames at most maxBlockFrames,
    // the batch not full); returns whether the batch has room for another.
    bool stage(Batch& batch, const double* mono, const double* x, const double* y, int frames,
               const double* elevation = nullptr);
    // Adds the output of the batch's calls, one after the other, to
    // `stereo`, and empties the batch. Allocates nothing.
    void convolve(Batch& batch, double* stereo);
    // The frames of the calls the batch holds.
    static int framesOf(const Batch& batch);

    const HrirSet& hrirs() const { return *hrirs_; }
    int partitionFrames() const;
    // The bytes it holds (filter spectra, output spectra, work space); fixed
    // at construction. A batch's bytes are the batch's own.
    std::size_t heldBytes() const;
    static std::size_t heldBytes(const Batch& batch);

  private:
    struct Front;
    struct Back;
    std::shared_ptr<const HrirSet> hrirs_;
    Panner panner_;
    int maxBlockFrames_;
    std::unique_ptr<Front> front_;
    std::unique_ptr<Back> back_;
    BatchPtr own_;  // process()'s batch of one call
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_BINAURALSOURCE_H
