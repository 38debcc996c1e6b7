// SPDX-License-Identifier: MIT
// Integrated loudness (EBU R128, ITU-R BS.1770) of what a run writes,
// measured with libebur128. Each channel is weighted by where its
// loudspeaker stands: within 60 degrees of the front as a front channel,
// further round as a surround channel (+1.5 dB), an LFE not at all, as a
// loudness meter reading the file's channel layout does.
#ifndef TARVIO_RENDER_LOUDNESS_H
#define TARVIO_RENDER_LOUDNESS_H

#include <string>

#include "engine/SpeakerLayout.h"

namespace tarvio::render {

class LoudnessMeter {
  public:
    // Measures frames of the channels of `layout` (engine order) at `rate`.
    // Ambisonic channels are measured by their omnidirectional one alone.
    // Throws std::runtime_error where unmeasurable() says why.
    LoudnessMeter(const SpeakerLayout& layout, int rate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // Why the meter cannot measure `channels` channels at `rate`, or "" when
    // it can. Its K-weighting filter has a shelf at 1.7 kHz, which only
    // rates well above twice that hold; libebur128 itself takes at most 64
    // channels and 2822400 Hz.
    static std::string unmeasurable(int channels, int rate);
    // The gating block of the integrated loudness: a shorter output has none.
    static constexpr int kBlockMilliseconds = 400;

    void add(const double* frames, int count);
    // LUFS; -inf for silence.
    double integrated() const;

  private:
    struct State;  // libebur128's, whose type cannot be named ahead
    State* state_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_LOUDNESS_H
