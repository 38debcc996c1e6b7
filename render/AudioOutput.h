// SPDX-License-Identifier: MIT
// The four-channel output of tarvio-render, written through libsndfile.
//
// Samples reach integer formats by the project's own rounding and clipping
// (the AIFF writer's converters: halves away from zero, clipped and counted),
// so a 16-bit AIFF output holds exactly the samples tarvio writes. AIFF keeps
// tarvio's channel order (1 front right, 2 front left, 3 back right, 4 back
// left); the WAV family and FLAC order the channels front left, front right,
// back left, back right, and WAV and RF64 declare that order in their channel
// mask.
#ifndef TARVIO_RENDER_AUDIOOUTPUT_H
#define TARVIO_RENDER_AUDIOOUTPUT_H

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

#include "aiff/SampleConvert.h"
#include "render/OutputFormat.h"

namespace tarvio::render {

class AudioOutput {
  public:
    static constexpr int kChannels = 4;

    // Creates the file at `path`, or writes through `fd` when it is not -1
    // (an empty file just created; the output owns it from then on); `name`
    // is how messages call it. Throws std::runtime_error("NAME: cause") when
    // it cannot, and when `expectedFrames` (0 when unknown) would not fit the
    // format.
    // `keepOvers` lets float output keep samples beyond full scale.
    AudioOutput(const std::string& path, int fd, const std::string& name,
                const OutputFormat& format, const SampleFormat& samples, int rate,
                std::int64_t expectedFrames, bool keepOvers = false);
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Appends `frames` interleaved frames in the engine's channel order,
    // full scale 1.0. Throws when the write fails or the file would pass
    // what its format can describe.
    void write(const double* samples, int frames);
    // Completes the header and closes the file; throws when that fails.
    void close();

    std::uint64_t clipped() const { return clipped_; }
    // Samples that were not a number (written as 0). Only floating-point
    // input can bring them: they are looked for after scanForNaN(true).
    std::uint64_t notANumber() const { return notANumber_; }
    void scanForNaN(bool scan) { scanNaN_ = scan; }
    // The largest magnitude handed to write(), before any clipping.
    double peak() const { return peak_; }

  private:
    void writeChunk(const double* samples, int frames);
    void writeInteger(const double* samples, std::size_t count);
    void writtenAsFloats(const double* samples, std::size_t count);
    // Hands the collected PCM bytes to libsndfile.
    void flush();
    [[noreturn]] void fail(const std::string& cause) const;
    [[noreturn]] void failTooLong() const;

    std::string name_;
    SNDFILE* sf_ = nullptr;
    const OutputFormat& format_;
    const SampleFormat& samples_;
    bool keepOvers_;
    bool scanNaN_ = false;
    std::uint64_t dataBytes_ = 0;
    std::uint64_t clipped_ = 0;
    std::uint64_t notANumber_ = 0;
    double peak_ = 0.0;
    aiff::Depth convertDepth_;
    aiff::Converter<double> convert_ = nullptr;
    std::vector<double> ordered_;       // one chunk in the file's channel order
    std::vector<unsigned char> bytes_;  // converted PCM samples, the first pending_ not yet written
    std::size_t pending_ = 0;
    std::vector<int> ints_;  // FLAC takes integers
    std::vector<float> floats_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_AUDIOOUTPUT_H
