// SPDX-License-Identifier: MIT

#include "render/AudioOutput.h"

#include <unistd.h>

#if defined(__SSE2__) && !defined(TARVIO_NO_SIMD)
#include <emmintrin.h>
#endif
// An AVX-512 peak where the compiler can build it for one function; the
// processor is asked before it is used.
#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(TARVIO_NO_SIMD) && !defined(TARVIO_NO_AVX512)
#define TARVIO_PEAK_AVX512 1
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes the unset operand of its own AVX-512 max for an
// uninitialised value.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "render/AudioInput.h"

namespace tarvio::render {

namespace {

// Frames converted in one piece.
constexpr int kChunkFrames = 1024;

// Converted PCM bytes are collected and handed to libsndfile in pieces of
// this size: a write call per engine block would cost far more than the
// samples themselves. (libsndfile takes raw bytes only in whole frames, so
// the pieces cannot be made to end on page boundaries of the file.)
constexpr std::size_t kBatchBytes = 512 * 1024;

// Reverses the bytes of each `width`-byte sample: big-endian to little-endian.
void swapBytes(unsigned char* p, std::size_t count, int width) {
    for (std::size_t i = 0; i < count; ++i, p += width)
        std::reverse(p, p + width);
}

// A big-endian sample of `width` bytes, as an int scaled to 32 bits the way
// libsndfile takes integers for narrower formats.
int fromBigEndian(const unsigned char* p, int width) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    v <<= 8 * (4 - width);
    return static_cast<int>(static_cast<std::int32_t>(v));
}

// The largest magnitude among `count` samples (a multiple of four) and
// `peak`: running maxima side by side, so that no chain of comparisons waits
// on itself (one chain would take longer than the conversion that follows).
double peakOf_portable(const double* x, std::size_t count, double peak) {
    double m[4] = {peak, peak, peak, peak};
    for (std::size_t i = 0; i + 4 <= count; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double a = std::fabs(x[i + k]);
            m[k] = a > m[k] ? a : m[k];
        }
    }
    return std::max(std::max(m[0], m[1]), std::max(m[2], m[3]));
}

#if defined(__SSE2__) && !defined(TARVIO_NO_SIMD)
// peakOf_portable with eight maxima, two to a vector, over four frames at a
// time; the rest (fewer than four frames) goes to peakOf_portable.
double peakOf_sse2(const double* x, std::size_t count, double peak) {
    const __m128d sign = _mm_set1_pd(-0.0);
    __m128d m[4] = {_mm_set1_pd(peak), _mm_set1_pd(peak), _mm_set1_pd(peak), _mm_set1_pd(peak)};
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        for (int k = 0; k < 4; ++k) {
            const __m128d a = _mm_andnot_pd(sign, _mm_loadu_pd(x + i + 2 * k));
            const __m128d b = _mm_andnot_pd(sign, _mm_loadu_pd(x + i + 8 + 2 * k));
            m[k] = _mm_max_pd(_mm_max_pd(a, b), m[k]);
        }
    }
    const __m128d both = _mm_max_pd(_mm_max_pd(m[0], m[1]), _mm_max_pd(m[2], m[3]));
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, both);
    return peakOf_portable(x + i, count - i, std::max(lanes[0], lanes[1]));
}
#endif

#if defined(TARVIO_PEAK_AVX512)
// peakOf_portable with four maxima of eight lanes over 32 samples at a time;
// the rest (fewer than 32) goes to peakOf_sse2.
__attribute__((target("avx512f"))) double peakOf_avx512(const double* x, std::size_t count,
                                                        double peak) {
    __m512d m[4] = {_mm512_set1_pd(peak), _mm512_set1_pd(peak), _mm512_set1_pd(peak),
                    _mm512_set1_pd(peak)};
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        for (int k = 0; k < 4; ++k)
            m[k] = _mm512_max_pd(_mm512_abs_pd(_mm512_loadu_pd(x + i + 8 * k)), m[k]);
    }
    const __m512d all = _mm512_max_pd(_mm512_max_pd(m[0], m[1]), _mm512_max_pd(m[2], m[3]));
    return peakOf_sse2(x + i, count - i, _mm512_reduce_max_pd(all));
}
#endif

using PeakFn = double (*)(const double*, std::size_t, double);

PeakFn choosePeak() {
#if defined(TARVIO_PEAK_AVX512)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return peakOf_avx512;
#endif
#if defined(__SSE2__) && !defined(TARVIO_NO_SIMD)
    return peakOf_sse2;
#else
    return peakOf_portable;
#endif
}

// How many of `count` samples are not a number.
std::uint64_t countNaN(const double* x, std::size_t count) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < count; ++i)
        n += x[i] != x[i];
    return n;
}

// The largest magnitude among `count` samples (a multiple of four) and
// `peak`, with the widest vectors this processor has.
double peakOf(const double* x, std::size_t count, double peak) {
    static const PeakFn chosen = choosePeak();
    return chosen(x, count, peak);
}

}  // namespace

AudioOutput::AudioOutput(const std::string& path, int fd, const std::string& name,
                         const OutputFormat& format, const SampleFormat& samples, int rate,
                         std::int64_t expectedFrames, bool keepOvers)
    : name_(name),
      format_(format),
      samples_(samples),
      keepOvers_(keepOvers),
      convertDepth_(aiff::Depth::forBits(samples.bits)) {
    // The descriptor is ours from here on, also when the output fails.
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0)
                ::close(fd);
        }
    } owned{fd};
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(kChannels) * samples.bytes;
    if (format.maxDataBytes != 0 && expectedFrames > 0 &&
        static_cast<std::uint64_t>(expectedFrames) > format.maxDataBytes / frameBytes)
        failTooLong();
    if (!samples.isFloat)
        convert_ = aiff::pickConverter<double>(convertDepth_);

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = kChannels;
    info.format = format.sndfileMajor | samples.sndfileSubtype;
    if (!sf_format_check(&info))
        fail("libsndfile cannot write this format at " + std::to_string(rate) + " Hz");
    // Through the descriptor when there is one: opening the empty file by
    // name would truncate it, and some file systems flush a truncated file
    // when it is closed.
    sf_ = fd >= 0 ? sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE)
                  : sf_open(path.c_str(), SFM_WRITE, &info);
    if (sf_)
        owned.fd = -1;  // libsndfile closes it
    if (!sf_)
        fail(sndfileMessage(sf_strerror(nullptr)));
    if (format.channelMask) {
        int map[kChannels] = {SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_REAR_LEFT,
                              SF_CHANNEL_MAP_REAR_RIGHT};
        sf_command(sf_, SFC_SET_CHANNEL_MAP_INFO, map, sizeof map);
    }
    ordered_.resize(kChannels * kChunkFrames);
    bytes_.resize(kBatchBytes);
    ints_.resize(kChannels * kChunkFrames);
    floats_.resize(kChannels * kChunkFrames);
}

AudioOutput::~AudioOutput() {
    if (sf_)
        sf_close(sf_);
}

void AudioOutput::fail(const std::string& cause) const {
    throw std::runtime_error(name_ + ": " + cause);
}

void AudioOutput::failTooLong() const {
    fail(std::string("the output would pass the 4 GB that ") + format_.summary +
         " files can describe; use --format w64 or --format rf64");
}

void AudioOutput::write(const double* samples, int frames) {
    while (frames > 0) {
        const int n = std::min(frames, kChunkFrames);
        writeChunk(samples, n);
        samples += kChannels * n;
        frames -= n;
    }
}

void AudioOutput::writeChunk(const double* samples, int frames) {
    const std::size_t count = static_cast<std::size_t>(kChannels) * frames;
    peak_ = peakOf(samples, count, peak_);
    if (scanNaN_)
        notANumber_ += countNaN(samples, count);
    if (format_.order == ChannelOrder::MaskOrder) {
        // Channels 1 to 4 are front right, front left, back right, back left.
        for (std::size_t i = 0; i < count; i += kChannels) {
            ordered_[i] = samples[i + 1];
            ordered_[i + 1] = samples[i];
            ordered_[i + 2] = samples[i + 3];
            ordered_[i + 3] = samples[i + 2];
        }
        samples = ordered_.data();
    }
    if (samples_.isFloat) {
        writtenAsFloats(samples, count);
        if (sf_writef_float(sf_, floats_.data(), frames) != frames)
            fail("write failed: " + sndfileMessage(sf_strerror(sf_)));
        return;
    }
    writeInteger(samples, count);
}


// Float samples are clipped at full scale like integer ones unless the user
// asked to keep what lies beyond; NaN becomes 0 either way, and a value
// beyond the largest float (an infinity included) becomes the largest float,
// since converting it would be undefined.
void AudioOutput::writtenAsFloats(const double* samples, std::size_t count) {
    const double limit = keepOvers_ ? static_cast<double>(std::numeric_limits<float>::max()) : 1.0;
    for (std::size_t i = 0; i < count; ++i) {
        double v = samples[i];
        if (v != v) {
            v = 0.0;
        } else if (v > limit || v < -limit) {
            ++clipped_;
            v = v > 0 ? limit : -limit;
        }
        floats_[i] = static_cast<float>(v);
    }
}

void AudioOutput::writeInteger(const double* samples, std::size_t count) {
    const int width = convertDepth_.bytes;
    const std::size_t bytes = count * static_cast<std::size_t>(width);
    if (format_.maxDataBytes != 0 && dataBytes_ + bytes > format_.maxDataBytes)
        failTooLong();
    if (pending_ + bytes > bytes_.size())
        flush();
    unsigned char* out = bytes_.data() + pending_;
    clipped_ += convert_(samples, count, out, convertDepth_);
    dataBytes_ += bytes;
    switch (format_.transfer) {
        case SampleTransfer::ScaledInts: {
            for (std::size_t i = 0; i < count; ++i)
                ints_[i] = fromBigEndian(out + i * width, width);
            const sf_count_t frames = static_cast<sf_count_t>(count / kChannels);
            if (sf_writef_int(sf_, ints_.data(), frames) != frames)
                fail("write failed: " + sndfileMessage(sf_strerror(sf_)));
            return;
        }
        case SampleTransfer::LittleEndianBytes:
            swapBytes(out, count, width);
            break;
        case SampleTransfer::BigEndianBytes:
            break;
    }
    pending_ += bytes;
}

void AudioOutput::flush() {
    if (pending_ == 0)
        return;
    const sf_count_t n = static_cast<sf_count_t>(pending_);
    pending_ = 0;
    if (sf_write_raw(sf_, bytes_.data(), n) != n)
        fail("write failed: " + sndfileMessage(sf_strerror(sf_)));
}

void AudioOutput::close() {
    if (!sf_)
        return;
    flush();
    const int err = sf_error(sf_);
    const int closed = sf_close(sf_);
    sf_ = nullptr;
    if (err != SF_ERR_NO_ERROR || closed != 0)
        fail("closing failed: " + sndfileMessage(sf_error_number(err != 0 ? err : closed)));
}

}  // namespace tarvio::render
