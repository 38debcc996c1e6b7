// SPDX-License-Identifier: MIT
// The sources of a scene rendered together: each source reads its input
// (brought to the scene's rate when it differs), spatializes it with its own
// Spatializer, and the mix is the sum of the sources' frames, in the order
// of the output's channels. A source that starts in the middle of a block
// of the mix is lined up through a small buffer of its own: the frames it
// made past the end of one block of the mix wait there for the next.
//
// A scene of one source that starts at once and keeps its rate does not go
// through here: the block loop hands its frames straight to the output.
#ifndef TARVIO_RENDER_MIXER_H
#define TARVIO_RENDER_MIXER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cli/Interrupt.h"
#include "engine/Spatializer.h"
#include "render/AudioInput.h"
#include "render/Resampler.h"

namespace tarvio::render {

// How much a mixdown loses against the channels it mixes: the power of the
// channels' mean against the mean of their powers. Equal channels lose
// nothing, two unrelated channels of equal power 3 dB, channels in opposite
// phase everything.
//
// It looks at every block of the input it is given and runs on every
// multichannel input, beside the spatializer: to cost next to nothing it
// measures the first kEveryBlockUntil blocks and from then on one block in
// kOneBlockIn, counting that one kOneBlockIn times, which estimates the
// whole input's powers evenly.
class MixdownMeter {
  public:
    static constexpr int kEveryBlockUntil = 64;
    static constexpr int kOneBlockIn = 16;

    explicit MixdownMeter(int channels) : channels_(channels) {}
    // A block of `samples` interleaved samples of whole frames.
    void add(const double* x, int samples);
    void clear() {
        mix_ = all_ = frames_ = 0.0;
        blocks_ = 0;
    }
    // The loss in dB (positive: the mixdown is weaker); none for one
    // channel or channels too quiet to judge (below -120 dBFS on average);
    // +inf for a mixdown that is silent.
    std::optional<double> lossDb() const;

  private:
    void measure(const double* x, int frames, double weight);

    int channels_;
    std::int64_t blocks_ = 0;  // blocks given
    double mix_ = 0.0;         // the sum over frames of the squared sum of the channels
    double all_ = 0.0;         // the sum over frames and channels of the squares
    double frames_ = 0.0;      // the frames these stand for
};

// What a source's spatializer reads: its input, resampled to the scene's
// rate when it has another, or, for a dry run, silence of the same shape.
// The mixdown's loss is measured on the input's samples as they go by.
class SourceReader {
  public:
    // Throws std::runtime_error when the resampler cannot be set up.
    SourceReader(AudioInput& input, int sceneRate);

    int channels() const { return input_.channels(); }
    // The frames a pass reads, at the scene's rate, as the input's header
    // tells them (AudioInput::heldFrames).
    std::int64_t frames() const { return frames_; }
    // The frames the sweeps spread over, at the scene's rate (see
    // AudioInput::frames).
    std::int64_t sweepFrames() const { return sweepFrames_; }
    bool resampled() const { return resampler_ != nullptr; }
    // From now on reads give silence and the input is not read.
    void silence() { silent_ = true; }

    // As AudioInput::read, at the scene's rate. Read as it is, the input
    // ends where its reader finds its end, as tarvio's does, whatever its
    // header announced (see frames()).
    int read(double* samples, int capacity);
    bool eof() const { return silent_ || resampler_ ? left_ <= 0 : input_.eof(); }
    // Back to the start for another pass; the meter starts over.
    void rewind();
    const MixdownMeter& meter() const { return meter_; }

  private:
    int readInput(double* samples, int capacity);

    AudioInput& input_;
    std::int64_t frames_;
    std::int64_t sweepFrames_;
    std::int64_t left_;
    std::unique_ptr<Resampler> resampler_;
    MixdownMeter meter_;
    bool silent_ = false;
};

// Where a source was in the frames of the last block of the mix: frames
// [from, to) of the block have positions x[j], y[j] (the point the law
// saw), elevation[j] and distance[j]; no positions when x is null.
struct SourceView {
    const double* x = nullptr;
    const double* y = nullptr;
    const double* elevation = nullptr;
    const double* distance = nullptr;
    int from = 0;
    int to = 0;
};

// One source during a pass of the mix.
class SourceStream {
  public:
    // `start`: the scene's frame the source's first frame falls on;
    // `positions`: keep the positions of the frames (the spatializer keeps
    // them too).
    SourceStream(SourceReader& reader, std::unique_ptr<Spatializer> sp, std::int64_t start,
                 bool positions);

    // Adds the source's frames among frames [first, first + count) of the
    // scene into `mix` (count * outputChannels samples).
    void addInto(double* mix, std::int64_t first, int count);
    // The positions of the frames the last addInto added.
    const SourceView& view() const { return view_; }
    int outputChannels() const { return channels_; }

  private:
    // Spatializes the next block into the buffer; false at the end.
    bool refill();

    SourceReader& reader_;
    std::unique_ptr<Spatializer> sp_;
    std::int64_t start_;
    std::int64_t end_;
    int channels_;
    bool positions_;
    std::vector<double> held_;  // frames made and not yet mixed
    // Their positions: x, y, elevation and distance, each 2 * BLOCK_SIZE.
    std::vector<double> heldPlace_[4];
    int heldFrames_ = 0;
    int tailLeft_ = -1;  // silent frames still to give the spatializer after the input
    std::vector<double> viewPlace_[4];  // positions of the last block of the mix
    SourceView view_;
};

// An observer of the mix that looks at nothing.
struct NoMixObserver {
    void block(std::int64_t, int, const std::vector<SourceView>&) {}
};

// Runs `frames` frames of the scene of `sources` into `sink` in blocks of
// BLOCK_SIZE and returns the frames written. Observer: void
// block(std::int64_t first, int frames, const std::vector<SourceView>&),
// one view per source, after each block was written.
template <class Sink, class Observer>
std::int64_t mixBlocks(std::vector<SourceStream>& sources, std::int64_t frames, Sink& sink,
                       Observer&& observer) {
    const int channels = sources.front().outputChannels();
    std::vector<double> mix(static_cast<std::size_t>(channels) * BLOCK_SIZE);
    std::vector<SourceView> views(sources.size());
    std::int64_t done = 0;
    while (done < frames) {
        interrupt::check();
        const int n = static_cast<int>(std::min<std::int64_t>(BLOCK_SIZE, frames - done));
        std::fill(mix.begin(), mix.begin() + static_cast<std::ptrdiff_t>(n) * channels, 0.0);
        for (std::size_t s = 0; s < sources.size(); ++s) {
            sources[s].addInto(mix.data(), done, n);
            views[s] = sources[s].view();
        }
        sink.write(mix.data(), n);
        observer.block(done, n, views);
        done += n;
    }
    interrupt::check();
    return done;
}

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_MIXER_H
