// SPDX-License-Identifier: MIT

#include "render/AudioOutput.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "engine/Speakers.h"
#include "render/AudioInput.h"
#include "render/StreamHeader.h"

namespace tarvio::render {

namespace {

// Frames converted in one piece.
constexpr int kChunkFrames = 1024;

// Encoded samples are collected and handed to libsndfile in batches of this
// size: a write call per engine block would cost far more than the samples
// themselves. (libsndfile takes raw bytes only in whole frames, so the
// batches cannot be made to end on page boundaries of the file.)
constexpr std::size_t kBatchBytes = 512 * 1024;
// Batches going round: one being filled, one being written, one waiting.
constexpr int kBatches = 3;

// libsndfile's name of each WAV channel-mask bit, for every bit a standard
// loudspeaker has (engine/Speakers.h).
struct MaskName {
    std::uint32_t bit;
    int sndfile;
};
constexpr MaskName kMaskNames[] = {
    {0x1, SF_CHANNEL_MAP_LEFT},
    {0x2, SF_CHANNEL_MAP_RIGHT},
    {0x4, SF_CHANNEL_MAP_CENTER},
    {0x8, SF_CHANNEL_MAP_LFE},
    {0x10, SF_CHANNEL_MAP_REAR_LEFT},
    {0x20, SF_CHANNEL_MAP_REAR_RIGHT},
    {0x40, SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER},
    {0x80, SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER},
    {0x100, SF_CHANNEL_MAP_REAR_CENTER},
    {0x200, SF_CHANNEL_MAP_SIDE_LEFT},
    {0x400, SF_CHANNEL_MAP_SIDE_RIGHT},
    {0x800, SF_CHANNEL_MAP_TOP_CENTER},
    {0x1000, SF_CHANNEL_MAP_TOP_FRONT_LEFT},
    {0x2000, SF_CHANNEL_MAP_TOP_FRONT_CENTER},
    {0x4000, SF_CHANNEL_MAP_TOP_FRONT_RIGHT},
    {0x8000, SF_CHANNEL_MAP_TOP_REAR_LEFT},
    {0x10000, SF_CHANNEL_MAP_TOP_REAR_CENTER},
    {0x20000, SF_CHANNEL_MAP_TOP_REAR_RIGHT},
};

constexpr bool namesEveryStandardBit() {
    for (const StandardSpeaker& speaker : kStandardSpeakers) {
        bool named = false;
        for (const MaskName& m : kMaskNames)
            named = named || m.bit == speaker.maskBit;
        if (!named)
            return false;
    }
    return true;
}
static_assert(namesEveryStandardBit(),
              "every standard loudspeaker's mask bit has a libsndfile channel name");

// The channel map of a file in `order`, or nothing when a loudspeaker has
// no mask bit (the file then declares none).
std::vector<int> channelMap(const SpeakerLayout& layout, const std::vector<int>& order) {
    std::vector<int> map;
    for (int channel : order) {
        const std::uint32_t bit = layout[channel].maskBit;
        const auto name = std::find_if(std::begin(kMaskNames), std::end(kMaskNames),
                                       [bit](const MaskName& m) { return m.bit == bit; });
        if (name == std::end(kMaskNames))
            return {};
        map.push_back(name->sndfile);
    }
    return map;
}

bool identity(const std::vector<int>& order) {
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] != static_cast<int>(i))
            return false;
    }
    return true;
}

// Whether libsndfile gives a float file of the `major` format a PEAK chunk
// of its own accord: WAV, AIFF and CAF files, not RF64 or W64. (Told to
// drop the chunk from a file that has none, libsndfile adds one.)
bool hasPeakChunk(int major) {
    return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_AIFF ||
           major == SF_FORMAT_CAF;
}

// How many of `count` samples are not a number.
std::uint64_t countNaN(const double* x, std::size_t count) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count; ++i)
        n += x[i] != x[i];
    return n;
}

}  // namespace

AudioOutput::AudioOutput(const std::string& path, int fd, const std::string& name,
                         const OutputFormat& format, const SampleFormat& samples,
                         const SpeakerLayout& layout, int rate, std::int64_t expectedFrames,
                         const Encoding& encoding)
    : name_(name),
      format_(format),
      samples_(samples),
      channels_(layout.size()),
      order_(layout.fileOrder(format.order)),
      floatRange_(encoding.keepOvers ? pcm::FloatRange::Unclipped : pcm::FloatRange::FullScale),
      depth_(pcm::Depth::forBits(samples.isFloat ? 32 : samples.bits)),
      dither_(encoding.dither && !samples.isFloat) {
    // The descriptor is ours from here on, also when the output fails.
    file_ = std::make_unique<VirtualFile>(fd);
    if (format.channelMask) {
        channelMap_ = channelMap(layout, order_);
        if (channelMap_.empty())
            file_->declareNoLoudspeakers();
    }
    if (!format.fits(samples, channels_, expectedFrames))
        failTooLong();
    open(path, rate);
    if (encoding.quality >= 0 && format.hasQuality) {
        double q = encoding.quality / 10.0;
        sf_command(sf_, SFC_SET_VBR_ENCODING_QUALITY, &q, sizeof q);
    }
    if (encoding.compression >= 0 && format.hasCompression) {
        double level = encoding.compression / 8.0;
        sf_command(sf_, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    setUp();
}

AudioOutput::AudioOutput(int streamFd, const std::string& name, const OutputFormat& format,
                         const SampleFormat& samples, const SpeakerLayout& layout, int rate,
                         const Encoding& encoding)
    : name_(name),
      format_(format),
      samples_(samples),
      channels_(layout.size()),
      order_(layout.fileOrder(format.order)),
      floatRange_(encoding.keepOvers ? pcm::FloatRange::Unclipped : pcm::FloatRange::FullScale),
      depth_(pcm::Depth::forBits(samples.isFloat ? 32 : samples.bits)),
      dither_(encoding.dither && !samples.isFloat),
      stream_(true) {
    if (!streamable(format) || format.transfer != SampleTransfer::Bytes)
        fail(std::string(format.summary) + " cannot be written as a stream");
    const int fd = ::fcntl(streamFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        fail(std::strerror(err));
    }
    file_ = std::make_unique<VirtualFile>(fd);
    openStream(layout, rate);
    setUp();
}

// What both kinds of output need once the file is open: the encoder, the
// buffers and the writing thread.
void AudioOutput::setUp() {
    if (identity(order_))
        order_.clear();
    if (!samples_.isFloat)
        encoder_ = pcm::pickEncoder<double>(depth_, format_.byteOrder);
    ordered_.resize(static_cast<std::size_t>(channels_) * kChunkFrames);
    encoded_.resize(ordered_.size() * static_cast<std::size_t>(samples_.bytes));
    startWriter();
    if (stream_)
        header_.reserve(header_.size() + capacity_);
}

// The header, with the loudspeakers' mask where every one has a bit.
void AudioOutput::openStream(const SpeakerLayout& layout, int rate) {
    std::uint32_t mask = 0;
    for (int channel : order_) {
        const std::uint32_t bit = layout[channel].maskBit;
        if (bit == 0) {
            mask = 0;
            break;
        }
        mask |= bit;
    }
    header_ = streamHeader(format_, samples_, channels_, rate, mask);
    headerBytes_ = header_.size();
}

// The header goes out with the first batch, in one write: a reader that
// looks at the first bytes of a pipe to tell its format (sox), and then
// goes back over them in its buffer, finds them in one read.
bool AudioOutput::writeStream(const unsigned char* bytes, std::size_t n) {
    if (header_.empty())
        return file_->append(bytes, n);
    if (n > 0)
        header_.insert(header_.end(), bytes, bytes + n);
    const bool written = file_->append(header_.data(), header_.size());
    header_.clear();
    return written;
}

// Batches big enough for a converted chunk, in the form the format's
// transfer takes; `capacity_` counts bytes or samples, as Batch::used does.
void AudioOutput::startWriter() {
    const std::size_t chunk = ordered_.size();
    const SampleTransfer transfer = format_.transfer;
    switch (transfer) {
        case SampleTransfer::Bytes:
            capacity_ = std::max(kBatchBytes, encoded_.size());
            break;
        case SampleTransfer::ScaledInts:
            capacity_ = std::max(kBatchBytes / sizeof(std::int32_t), chunk);
            break;
        case SampleTransfer::Floats:
            capacity_ = std::max(kBatchBytes / sizeof(float), chunk);
            break;
    }
    const std::size_t capacity = capacity_;
    writer_.reset(new BatchWriter(
        kBatches,
        [transfer, capacity](Batch& b) {
            if (transfer == SampleTransfer::Bytes)
                b.bytes.resize(capacity);
            else if (transfer == SampleTransfer::ScaledInts)
                b.ints.resize(capacity);
            else
                b.floats.resize(capacity);
        },
        [this](const Batch& b) { return writeBatch(b); }));
}

// Through the descriptor when there is one: opening the empty file by name
// would truncate it, and some file systems flush a truncated file when it is
// closed. libsndfile reaches the file through file_, which sees every write.
void AudioOutput::open(const std::string& path, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels_;
    info.format = format_.sndfileMajor | samples_.sndfileSubtype;
    if (!sf_format_check(&info))
        fail("libsndfile cannot write this format at " + std::to_string(rate) + " Hz with " +
             std::to_string(channels_) + " channels");
    if (!file_->open(path)) {
        const int err = errno;
        fail(std::strerror(err));
    }
    sf_ = sf_open_virtual(file_->io(), SFM_WRITE, &info, file_->user());
    if (!sf_)
        fail(file_->failure().empty() ? sndfileMessage(sf_strerror(nullptr))
                                      : "write failed: " + file_->failure());
    if (!channelMap_.empty())
        sf_command(sf_, SFC_SET_CHANNEL_MAP_INFO, channelMap_.data(),
                   static_cast<int>(channelMap_.size() * sizeof(int)));
    // The samples go past libsndfile's peak tracking, so the PEAK chunk it
    // adds to float files would claim a peak of 0 (and a time that makes two
    // runs differ): the files have none. In WAV and CAF files the header
    // written when the file was opened keeps its length, padding that
    // readers skip ("PAD ", "free") taking the chunk's place.
    if (samples_.sndfileSubtype == SF_FORMAT_FLOAT && hasPeakChunk(format_.sndfileMajor))
        sf_command(sf_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
}

AudioOutput::~AudioOutput() {
    writer_.reset();
    if (sf_)
        sf_close(sf_);
}

void AudioOutput::fail(const std::string& cause) const {
    throw std::runtime_error(name_ + ": " + cause);
}

void AudioOutput::failTooLong() const {
    fail(format_.tooLong());
}

std::vector<int> AudioOutput::takeOrder() {
    std::vector<int> order;
    order.swap(order_);
    return order;
}

void AudioOutput::write(const double* samples, int frames) {
    while (frames > 0) {
        const int n = std::min(frames, kChunkFrames);
        writeChunk(samples, n);
        samples += static_cast<std::size_t>(channels_) * n;
        frames -= n;
    }
}

void AudioOutput::writeChunk(const double* samples, int frames) {
    const std::size_t count = static_cast<std::size_t>(channels_) * frames;
    // A chunk with a sample that is not a number peaks at +inf: only such a
    // chunk is searched for them.
    const double peak = pcm::peak(samples, count);
    if (peak == std::numeric_limits<double>::infinity())
        notANumber_ += countNaN(samples, count);
    peak_ = std::max(peak_, peak);
    if (!order_.empty()) {
        reorder(samples, count);
        samples = ordered_.data();
    }
    if (dither_)
        samples = dithered(samples, count);
    encode(samples, count);
}

// The chunk in the file's channel order; four channels (the square) go
// through pcm's vector gather.
void AudioOutput::reorder(const double* samples, std::size_t count) {
    const std::size_t n = order_.size();
    if (n == 4) {
        pcm::reorder4(samples, count / 4, order_.data(), ordered_.data());
        return;
    }
    for (std::size_t i = 0; i < count; i += n) {
        for (std::size_t k = 0; k < n; ++k)
            ordered_[i + k] = samples[i + static_cast<std::size_t>(order_[k])];
    }
}

// Two uniform values of half a step each, added: a triangular density over
// plus and minus one step, which makes the rounding error independent of
// the signal. The generator (xorshift64) starts from the same state every
// run, so the same command writes the same bytes.
const double* AudioOutput::dithered(const double* samples, std::size_t count) {
    const double step = 1.0 / depth_.full_scale;
    const double scale = step / 18446744073709551616.0;  // 2^64
    std::uint64_t x = noise_;
    for (std::size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const double a = static_cast<double>(x);
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const double b = static_cast<double>(x);
        ordered_[i] = samples[i] + (a - b) * scale;
    }
    noise_ = x;
    return ordered_.data();
}

void AudioOutput::encode(const double* samples, std::size_t count) {
    const std::size_t bytes = count * static_cast<std::size_t>(samples_.bytes);
    if (!stream_ && format_.maxDataBytes != 0 && dataBytes_ + bytes > format_.maxDataBytes)
        failTooLong();
    dataBytes_ += bytes;
    const std::size_t size = format_.transfer == SampleTransfer::Bytes ? bytes : count;
    if (writer_->current().used + size > capacity_)
        handOver(writer_->submit());
    Batch& batch = writer_->current();
    switch (format_.transfer) {
        case SampleTransfer::Bytes: {
            // Encoded where the cache holds them, then handed to the batch.
            unsigned char* out = encoded_.data();
            if (encoder_)
                clipped_ += encoder_(samples, count, out, depth_);
            else if (format_.byteOrder == pcm::ByteOrder::Little)
                clipped_ += pcm::f32le_from_double(samples, count, out, floatRange_);
            else
                clipped_ += pcm::f32be_from_double(samples, count, out, floatRange_);
            writer_->append(out, bytes);
            return;
        }
        case SampleTransfer::ScaledInts:
            clipped_ += pcm::s32_scaled_from_double(samples, count, samples_.bits,
                                                    batch.ints.data() + batch.used);
            break;
        case SampleTransfer::Floats:
            clipped_ += pcm::float_from_double(samples, count, batch.floats.data() + batch.used,
                                               floatRange_);
            break;
    }
    batch.used += size;
}

void AudioOutput::handOver(const std::string& failure) const {
    if (failure.empty())
        return;
    if (stream_ && file_->pipeClosed())
        throw PipeClosed(name_ + ": the reader of the pipe has gone");
    fail("write failed: " + failure);
}

// On the writing thread: one batch to libsndfile (raw bytes are always whole
// frames, as it requires, since whole chunks go into a batch). A failed
// write is told by file_, also where an encoder keeps it from libsndfile
// (Ogg), which then has no cause to give.
std::string AudioOutput::writeBatch(const Batch& batch) {
    const sf_count_t used = static_cast<sf_count_t>(batch.used);
    const sf_count_t frames = used / channels_;
    bool written = false;
    if (stream_)
        return writeStream(batch.bytes.data(), batch.used) ? std::string() : file_->failure();
    switch (format_.transfer) {
        case SampleTransfer::Bytes:
            written = sf_write_raw(sf_, batch.bytes.data(), used) == used;
            break;
        case SampleTransfer::ScaledInts:
            written = sf_writef_int(sf_, batch.ints.data(), frames) == frames;
            break;
        case SampleTransfer::Floats:
            written = sf_writef_float(sf_, batch.floats.data(), frames) == frames;
            break;
    }
    if (!file_->failure().empty())
        return file_->failure();
    return written ? std::string() : sndfileMessage(sf_strerror(sf_));
}

// The encoders write their last frames and the header is completed inside
// sf_close, which does not report a write that failed there: file_ does.
void AudioOutput::close() {
    if (stream_)
        return closeStream();
    if (!sf_)
        return;
    handOver(writer_->finish());
    writer_.reset();
    const int err = sf_error(sf_);
    const int closed = sf_close(sf_);
    sf_ = nullptr;
    file_->close();
    handOver(file_->failure());
    if (err != SF_ERR_NO_ERROR || closed != 0)
        fail("closing failed: " + sndfileMessage(sf_error_number(err != 0 ? err : closed)));
}

}  // namespace tarvio::render

namespace tarvio::render {

// A stream that went to a regular file gets its sizes; one that went to a
// pipe keeps them unknown.
void AudioOutput::closeStream() {
    if (!writer_)
        return;
    handOver(writer_->finish());
    writer_.reset();
    if (!header_.empty() && !writeStream(nullptr, 0))
        handOver(file_->failure());
    for (const SizeField& f : streamSizes(format_, headerBytes_, dataBytes_)) {
        if (!file_->patch(f.offset, f.bytes, sizeof f.bytes))
            break;
    }
    file_->close();
    handOver(file_->failure());
}

}  // namespace tarvio::render
