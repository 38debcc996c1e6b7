// SPDX-License-Identifier: MIT
// The output of tarvio-render, written through libsndfile: the channels of
// a loudspeaker layout, in the order its format's row asks for (the
// engine's order, or sorted by WAV channel-mask bit), with the mask declared
// where the format has one: the loudspeakers' bits, or 0 when a loudspeaker
// is not one of the standard WAV ones. Float files carry no PEAK chunk:
// libsndfile fills it only from samples it converts itself, and these it
// takes ready-made.
//
// Samples are encoded by the project's own pcm converters (integers rounded
// halves away from zero, clipped and counted), so a 16-bit AIFF output of
// the square holds exactly the samples tarvio writes.
#ifndef TARVIO_RENDER_AUDIOOUTPUT_H
#define TARVIO_RENDER_AUDIOOUTPUT_H

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/SpeakerLayout.h"
#include "pcm/Pcm.h"
#include "render/BatchWriter.h"
#include "render/OutputFormat.h"
#include "render/VirtualFile.h"

namespace tarvio::render {

// How samples are encoded, besides the format.
struct Encoding {
    bool keepOvers = false;  // float output keeps samples beyond full scale
    bool dither = false;     // TPDF dither of one step before integer rounding
    double quality = -1;     // 0..10 for a lossy encoder; below 0: its default
    double compression = -1;  // 0..8 for FLAC; below 0: the library's default
};

// The reader of the stream went away (EPIPE): nobody listens any more.
struct PipeClosed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class AudioOutput {
  public:
    // Creates the file at `path`, or writes through `fd` when it is not -1
    // (an empty file just created; the output owns it from then on); `name`
    // is how messages call it. Throws std::runtime_error("NAME: cause") when
    // it cannot, and when `expectedFrames` (0 when unknown) would not fit the
    // format.
    AudioOutput(const std::string& path, int fd, const std::string& name,
                const OutputFormat& format, const SampleFormat& samples,
                const SpeakerLayout& layout, int rate, std::int64_t expectedFrames,
                const Encoding& encoding = {});
    // Writes a stream to `streamFd` (standard output), which is left open:
    // a header whose sizes read unknown (see StreamHeader.h), then the
    // samples as they come, with no limit on the length. When the stream
    // turns out to be a regular file written from its start, close() fills
    // in the sizes. Only formats that streamable() takes: WAV and AU. A
    // write the reader of a pipe did not wait for throws PipeClosed.
    AudioOutput(int streamFd, const std::string& name, const OutputFormat& format,
                const SampleFormat& samples, const SpeakerLayout& layout, int rate,
                const Encoding& encoding = {});
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    int channels() const { return channels_; }

    // Leaves the gathering of frames into the file's channel order to the
    // caller (a spatializer that writes them so): returns that order, place
    // k holding engine channel order[k] (empty when it is the engine's), and
    // from then on write() takes frames already in it.
    std::vector<int> takeOrder();

    // Appends `frames` interleaved frames in the engine's channel order
    // (the file's after takeOrder()), full scale 1.0. Throws when the write
    // fails or the file would pass what its format can describe.
    void write(const double* samples, int frames);
    // Completes the header and closes the file; throws when that fails or
    // when any write failed, also one in the encoder's last flush.
    void close();

    std::uint64_t clipped() const { return clipped_; }
    // The largest magnitude handed to write(), before any clipping; +inf
    // once a sample was not a number.
    double peak() const { return peak_; }
    // Samples that were not a number (written as 0).
    std::uint64_t notANumber() const { return notANumber_; }

  private:
    void setUp();
    void open(const std::string& path, int rate);
    void openStream(const SpeakerLayout& layout, int rate);
    void closeStream();
    bool writeStream(const unsigned char* bytes, std::size_t n);
    void writeChunk(const double* samples, int frames);
    void encode(const double* samples, std::size_t count);
    void reorder(const double* samples, std::size_t count);
    // Adds TPDF dither to `count` samples, into the reordering buffer.
    const double* dithered(const double* samples, std::size_t count);
    void startWriter();
    // Fails with what the writing thread reported, if anything.
    void handOver(const std::string& failure) const;
    // Gives one batch to libsndfile; returns why it failed, or nothing.
    std::string writeBatch(const Batch& batch);
    [[noreturn]] void fail(const std::string& cause) const;
    [[noreturn]] void failTooLong() const;

    std::string name_;
    // The file behind libsndfile: it keeps the cause of a failed write,
    // which libsndfile loses.
    std::unique_ptr<VirtualFile> file_;
    SNDFILE* sf_ = nullptr;
    const OutputFormat& format_;
    const SampleFormat& samples_;
    int channels_;
    std::vector<int> order_;  // engine channel at each place of a file frame; empty: as is
    std::vector<int> channelMap_;  // libsndfile's names of the channels; empty: none
    pcm::FloatRange floatRange_;
    pcm::Depth depth_;
    pcm::Encoder<double> encoder_ = nullptr;
    std::uint64_t dataBytes_ = 0;
    std::uint64_t clipped_ = 0;
    std::uint64_t notANumber_ = 0;
    double peak_ = 0.0;
    std::vector<double> ordered_;       // one chunk in the file's channel order
    std::vector<unsigned char> encoded_;  // one chunk's file bytes
    // Converted samples on their way to libsndfile, written on a second
    // thread: file bytes, integers scaled to 32 bits (FLAC) or floats (the
    // lossy encoders), as the format's transfer says.
    std::unique_ptr<BatchWriter> writer_;
    std::size_t capacity_ = 0;  // of a batch, in bytes or samples as Batch::used
    bool dither_;
    bool stream_ = false;         // written by the program itself, past libsndfile
    std::size_t headerBytes_ = 0;  // of a stream
    std::vector<unsigned char> header_;  // a stream's, until it goes out with the first batch
    std::uint64_t noise_ = 0x9E3779B97F4A7C15ull;  // the dither's generator state, fixed at start
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_AUDIOOUTPUT_H
