// SPDX-License-Identifier: MIT
// One source on headphones (BinauralSource) with its convolution on a
// second thread, batches of calls behind the caller: the caller takes the
// gains of each call, their filters and the forward transforms (stage),
// the thread the shapes of the transforms, their products with the
// filters and the inverse transforms (convolve). While
// the thread convolves the batches handed to it (two at most), the caller
// reads, spatializes and stages the next and writes the output of the one
// before them, so the output comes two or three batches late, and all of
// it by the end of finish(); a batch that takes one thread longer than
// the other does not hold up the other at once. The output is that of
// BinauralSource::process() on the same calls, sample for sample.
//
// The thread only ever runs BinauralSource::convolve, which allocates
// nothing and does not throw; the object stops it and waits for it when
// it goes, at the end of a run or on an error or a stop signal. Where no
// thread can be started, the batches are convolved on the caller's.
#ifndef TARVIO_RENDER_BINAURALPIPELINE_H
#define TARVIO_RENDER_BINAURALPIPELINE_H

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "render/BinauralSource.h"

namespace tarvio::render {

class BinauralPipeline {
  public:
    // Frames of stereo output ready to be written, valid until the next
    // call of process() or finish().
    struct Output {
        const double* stereo = nullptr;
        int frames = 0;
    };

    // A BinauralSource of these arguments (see its constructor) whose
    // batches hold `batchCalls` calls; `threaded` false convolves on the
    // caller's thread.
    BinauralPipeline(std::shared_ptr<const HrirSet> hrirs, const Panner& panner, int maxBlockFrames,
                     int batchCalls, bool threaded = true);
    ~BinauralPipeline();
    BinauralPipeline(const BinauralPipeline&) = delete;
    BinauralPipeline& operator=(const BinauralPipeline&) = delete;

    // Takes a call as BinauralSource::process() does (at most
    // maxBlockFrames frames); returns the output of an earlier batch when
    // this call filled one, else no frames.
    Output process(const double* mono, const double* x, const double* y, int frames,
                   const double* elevation = nullptr);
    // After the last call: the output not given yet, the response's tail
    // last, in parts; call it until it gives no frames. Then the next
    // process() begins a new signal.
    Output finish();

    const BinauralSource& source() const { return source_; }
    // The bytes the source, the batches and the output hold.
    std::size_t heldBytes() const;

  private:
    // Batches are numbered in the order they are staged; batch n takes
    // slot n % kSlots.
    static constexpr int kSlots = 3;

    void handOver();
    Output returnOldest();
    void waitFor(long long convolved);
    void convolve(long long n);
    void run();

    BinauralSource source_;
    BinauralSource::BatchPtr batches_[kSlots];
    std::vector<double> outputs_[kSlots];  // [slot][frame][ear]
    int outputFrames_[kSlots] = {};
    std::vector<double> tail_;
    long long staged_ = 0;    // the batch being staged
    long long returned_ = 0;  // the batches whose output was returned
    bool tailed_ = false;     // whether finish() gave the tail

    std::mutex mutex_;
    std::condition_variable wake_;  // the thread: a batch to convolve, or stop
    std::condition_variable done_;  // the caller: a batch is convolved
    long long handed_ = 0;          // the batches handed over
    long long convolved_ = 0;       // the batches the thread convolved
    bool stop_ = false;
    std::thread thread_;  // last: started when the rest is ready
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_BINAURALPIPELINE_H
