// SPDX-License-Identifier: MIT
// The input of tarvio-render: any file libsndfile reads, mixed down later by
// the engine. A 16-bit PCM WAV file that the project's own WAV reader takes
// is read by that reader, so that such a file gives exactly the samples and
// the end of data that tarvio sees.
//
// An input that is not a regular file (standard input as "-", /dev/stdin, a
// pipe, a named FIFO, a process substitution) is first copied to a hidden
// temporary file, which is gone when the run ends however it ends: both
// readers can then look at its header as often as they need, the true length
// is known before the sweeps are laid out, and a stop signal is seen while
// the copy waits for data.
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
    // Opens `path` ("-" for standard input); throws
    // std::runtime_error("PATH: cause") when it cannot, and Interrupted when
    // a stop signal comes while a pipe is copied.
    explicit AudioInput(const std::string& path);
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    int channels() const { return channels_; }
    int rate() const { return rate_; }
    // The frames the input holds (what the sweeps spread over): the header's
    // count, or the frames it holds when a streaming header left the size
    // unknown.
    std::int64_t frames() const { return frames_; }
    // The frames a read through the input gives: frames(), but no more than
    // the file's size holds when its header claims more (a cut file).
    std::int64_t heldFrames() const { return heldFrames_; }
    // The container and the sample format, for the summary.
    const std::string& description() const { return description_; }
    // Whether the samples are floating-point, the only kind that can carry
    // NaN or infinities (lossy formats decode to floating point too).
    bool floatingPoint() const { return floatingPoint_; }
    // The bits of precision of an integer input (8 to 32); 0 for
    // floating-point samples.
    int precisionBits() const { return precisionBits_; }
    // Whether the input was copied from a pipe or a device first.
    bool spooled() const { return spool_.fd >= 0; }

    // Reads up to `samples` interleaved samples, full scale 1.0, and returns
    // how many it stored. Throws std::runtime_error("PATH: read error") when
    // reading fails for another reason than the end of the data.
    int read(double* buffer, int samples);
    // True once the data has been read to its end.
    bool eof() const;
    // Goes back to the first sample, for another pass over the input.
    void rewind();

  private:
    void spool(int fd);
    bool openWithWavReader();
    void openWithLibsndfile();
    void countWavFrames();

    std::string path_;      // as the user named it, for messages
    std::string readPath_;  // what the readers open
    // The copy of a pipe: open while it is read, and removed when the input
    // goes, even when the constructor fails.
    struct SpoolFile {
        int fd = -1;
        std::string name;  // where it could not lose its name at once
        int scratch = -1;
        SpoolFile() = default;
        SpoolFile(const SpoolFile&) = delete;
        SpoolFile& operator=(const SpoolFile&) = delete;
        ~SpoolFile();
    } spool_;
    std::unique_ptr<WavInFile> wav_;
    SNDFILE* sf_ = nullptr;
    bool sfEnded_ = false;
    int channels_ = 0;
    int rate_ = 0;
    std::int64_t frames_ = 0;
    std::int64_t heldFrames_ = 0;
    bool floatingPoint_ = false;
    int precisionBits_ = 16;
    std::string description_;
};

// libsndfile's message in the project's words: "System error : No such file
// or directory." reads "No such file or directory".
std::string sndfileMessage(const char* text);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_AUDIOINPUT_H
