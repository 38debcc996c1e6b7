// SPDX-License-Identifier: MIT
// What a run tells: the summary's lines, and the warnings that go to
// standard error even with --quiet.
#ifndef TARVIO_RENDER_REPORT_H
#define TARVIO_RENDER_REPORT_H

#include <cstdint>
#include <ostream>
#include <string>

#include "render/AudioInput.h"
#include "render/AudioOutput.h"
#include "render/Loudness.h"
#include "render/Mixer.h"
#include "render/Options.h"

namespace tarvio::render {

// "-3.2 dBFS", "-inf dBFS", "+inf dBFS".
std::string decibels(double peak);

// Clipped samples and samples that are not a number.
void warnOfClipping(std::ostream& err, const AudioOutput& audio);

// How much the mixdown of input `name` loses, when it loses more than this
// many dB against its channels.
constexpr double kMixdownLossDb = 6.0;
void warnOfMixdown(std::ostream& err, const std::string& name, const MixdownMeter& meter);

// A source's line without its key: "in.wav: WAV ..., 2 channels, 48000 Hz,
// N frames[, resampled to R Hz: M frames][, from S s][, gain G dB]".
void printSource(std::ostream& out, const std::string& name, const AudioInput& input,
                 const SourceReader& reader, int rate, double start, double gainDb);

// The output's line without its end: "output:   o.wav: WAV, 16-bit, 4
// channels, N frames".
void printOutput(std::ostream& out, const Options& o, int channels, std::int64_t frames);

// What the summary says about the level besides the peak.
struct LevelNote {
    double scale = 1.0;
    LoudnessMeter* loudness = nullptr;
};
void printLevel(std::ostream& out, const Options& o, const LevelNote& level);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_REPORT_H
