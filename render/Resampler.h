// SPDX-License-Identifier: MIT
// An input brought to the scene's sample rate: libsoxr's streaming
// resampler at its very high quality (SOXR_VHQ: 28-bit precision, flat
// within 0.01 dB up to 91.3 % of the lower Nyquist frequency, linear phase),
// in double precision, with the filter's delay taken out so that the first
// frame out stands for the first frame in.
//
// The length is fixed beforehand, so that the sweeps, the output's size and
// the other sources can be laid out before any sample is read: a read gives
// outputFrames() frames in all, the resampler's last frames cut or followed
// by silence to make exactly that many. The buffers are allocated when it is
// made; reading allocates nothing after libsoxr's first block.
#ifndef TARVIO_RENDER_RESAMPLER_H
#define TARVIO_RENDER_RESAMPLER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct soxr;

namespace tarvio::render {

class Resampler {
  public:
    // Reads up to `capacity` interleaved samples of whole frames into
    // `samples`; returns how many it stored, 0 once the input has ended.
    using Pull = std::function<int(double* samples, int capacity)>;

    // `frames` frames of `channels` channels at `inRate`, to `outRate`.
    // Throws std::runtime_error when libsoxr cannot be set up.
    Resampler(int channels, int inRate, int outRate, std::int64_t frames, Pull pull);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // The frames `frames` input frames become: frames * outRate / inRate,
    // rounded up.
    static std::int64_t outputFrames(std::int64_t frames, int inRate, int outRate);
    std::int64_t frames() const { return frames_; }

    // The input's next samples at the output's rate, as AudioInput::read.
    int read(double* samples, int capacity);
    bool eof() const { return left_ <= 0; }
    // Starts over; the caller rewinds the input the pull reads.
    void restart();

  private:
    // Fills `out` with up to `frames` frames; returns how many.
    std::size_t produce(double* out, std::size_t frames);

    int channels_;
    std::int64_t frames_;
    std::int64_t left_;
    Pull pull_;
    std::unique_ptr<soxr, void (*)(soxr*)> soxr_;
    std::vector<double> in_;  // input frames read and not yet taken
    std::size_t inAt_ = 0;    // the first frame not yet taken
    std::size_t inHeld_ = 0;  // frames from inAt_ on
    bool inputEnded_ = false;
    bool drained_ = false;  // libsoxr has given its last frame
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_RESAMPLER_H
