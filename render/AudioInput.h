// SPDX-License-Identifier: MIT
// The input of tarvio-render: any file libsndfile reads, mixed down later by
// the engine. A 16-bit PCM WAV file that the project's own WAV reader takes
// is read by that reader, so that such a file gives exactly the samples, the
// frame count and the end of data that tarvio sees.
#ifndef TARVIO_RENDER_AUDIOINPUT_H
#define TARVIO_RENDER_AUDIOINPUT_H

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>

class WavInFile;

namespace tarvio::render {

class AudioInput {
  public:
    // Opens `path`; throws std::runtime_error("PATH: cause") when it cannot.
    explicit AudioInput(const std::string& path);
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    int channels() const { return channels_; }
    int rate() const { return rate_; }
    // The frames the file's header announces (what the sweeps spread over).
    std::int64_t frames() const { return frames_; }
    // The container and the sample format, for the summary.
    const std::string& description() const { return description_; }

    // Reads up to `samples` interleaved samples, full scale 1.0, and returns
    // how many it stored. Throws std::runtime_error("PATH: read error") when
    // reading fails for another reason than the end of the data.
    int read(double* buffer, int samples);
    // True once the data has been read to its end.
    bool eof() const;

  private:
    void openWithLibsndfile();

    std::string path_;
    std::unique_ptr<WavInFile> wav_;
    SNDFILE* sf_ = nullptr;
    bool sfEnded_ = false;
    int channels_ = 0;
    int rate_ = 0;
    std::int64_t frames_ = 0;
    std::string description_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_AUDIOINPUT_H
