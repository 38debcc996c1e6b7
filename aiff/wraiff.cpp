// AIFF writer. The file is laid out as in aiff/AiffLayout.h: the 54-byte
// header followed directly by the interleaved big-endian sample data. The
// header is written once at open with a provisional frame count and rewritten
// in place with the real one when the file is closed.
#include "aiff/wraiff.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <type_traits>

#include "aiff/AiffLayout.h"
#include "aiff/SampleConvert.h"

namespace {

// Samples are converted into this many bytes of scratch space, which collects
// the bytes of several calls and is handed to the stream in one piece when it
// is full (and before the header is rewritten). The stream writes a piece this
// large straight to the file: one system call per 64 KiB instead of one per
// call of write.
constexpr std::size_t kScratchBytes = 64 * 1024;

// A write that would take the data past the largest size the header can
// describe is refused: a header with wrapped sizes would describe a shorter
// file and hide the rest of the data.
using tarvio::aiff::kHeaderBytes;
using tarvio::aiff::kMaxDataBytes;

using tarvio::aiff::Converter;
using tarvio::aiff::Depth;

}  // namespace

const char* const wraiff_too_large = "AIFF file too large!\n";

class WRAIFF_impl {
  public:
    void open(const char* name, double samplerate, short channels, short bits);
    template <typename T>
    void write(const T* buffer, long nframes);
    bool is_open() const { return stream.is_open(); }
    void info(std::ostream& os);
    void report_as(const char* name) { filename = name ? name : ""; }
    void close();
    // The destructor's close: finishes an open file, reporting a failure on
    // standard error instead of throwing it.
    void finish_quietly() noexcept;

  private:
    void write_header();
    void flush_scratch();
    void finish();

    std::ofstream stream;
    std::string filename;
    std::uint32_t n_frames = 0;
    std::int16_t n_channels = 0;
    std::int16_t n_bits = 0;
    std::int16_t n_bytes = 0;
    double rate = 0.0;
    Depth depth{};
    std::uint32_t clipped = 0;

    // Conversion space for write; lives as long as the writer. The first
    // `pending` bytes are converted samples not yet handed to the stream.
    unsigned char scratch[kScratchBytes];
    std::size_t pending = 0;
    bool data_sent = false;  // sample bytes have gone to the stream
};

void WRAIFF_impl::open(const char* name, double samplerate, short channels, short bits) {
    if (name == nullptr)
        throw "No filename!\n";
    if (name[0] == '\0')
        throw "Empty filename!\n";
    // Written so that a NaN rate is refused as well.
    if (!(samplerate >= 1.0 && samplerate <= 128000.0))
        throw "Samplerate out of range!\n";
    if (channels < 1 || channels > 128)
        throw "Too many or too less channels!\n";
    if (bits % 8 != 0 || bits < 8 || bits > 64)
        throw "Wrong number of bits!\n";
    if (is_open())
        throw "An AIFF file is already open!\n";

    try {
        filename = name;
    } catch (const std::bad_alloc&) {
        throw "Not enough memory (to hold a copy of the filename)!\n";
    }

    stream.open(name, std::ios::out | std::ios::binary | std::ios::trunc);
    if (stream.is_open())
        stream.clear();
    if (!stream.is_open() || !stream.good()) {
        if (stream.is_open())
            stream.close();
        throw "Could not open AIFF file!\n";
    }

    rate = samplerate;
    n_channels = channels;
    n_bits = bits;
    n_bytes = static_cast<std::int16_t>(bits / 8);
    depth = Depth::forBits(bits);
    clipped = 0;
    pending = 0;
    data_sent = false;
    n_frames = huge_frames;
    write_header();
    n_frames = 0;
    if (!stream.good()) {
        stream.close();
        throw "Failed to write AIFF header!\n";
    }
}

void WRAIFF_impl::write_header() {
    unsigned char h[kHeaderBytes];
    tarvio::aiff::composeHeader(h, static_cast<unsigned>(n_channels), n_frames,
                                static_cast<unsigned>(n_bits), rate);
    stream.write(reinterpret_cast<const char*>(h), static_cast<std::streamsize>(kHeaderBytes));
}

template <typename T>
void WRAIFF_impl::write(const T* buffer, long nframes) {
    if (buffer == nullptr || nframes < 0)
        throw "Wrong argument(s)!\n";
    if (!is_open())
        throw "No AIFF file currently open!\n";

    const std::uint64_t frame_bytes =
        static_cast<std::uint64_t>(n_channels) * static_cast<std::uint64_t>(n_bytes);
    const std::uint64_t max_frames = kMaxDataBytes / frame_bytes;
    if (n_frames > max_frames || static_cast<std::uint64_t>(nframes) > max_frames - n_frames)
        throw wraiff_too_large;

    const std::uint32_t clipped_before = clipped;
    const std::uint32_t frames_before = n_frames;

    const Converter<T> convert = tarvio::aiff::pickConverter<T>(depth);
    const std::size_t sample_bytes = static_cast<std::size_t>(n_bytes);
    std::size_t remaining =
        static_cast<std::size_t>(nframes) * static_cast<std::size_t>(n_channels);
    while (remaining > 0) {
        std::size_t room = (kScratchBytes - pending) / sample_bytes;
        if (room == 0) {
            flush_scratch();
            room = kScratchBytes / sample_bytes;
        }
        const std::size_t n = remaining < room ? remaining : room;
        clipped += convert(buffer, n, scratch + pending, depth);
        pending += n * sample_bytes;
        buffer += n;
        remaining -= n;
    }
    // The first samples of a file go to the stream at once, so that an output
    // that takes no data at all (a full device) fails the first write that
    // has any, not only the close.
    if (!data_sent && pending > 0) {
        flush_scratch();
        data_sent = true;
    }
    // Counted even when the stream failed: the frames were handed over.
    n_frames += static_cast<std::uint32_t>(nframes);
    if (stream.bad())
        throw "AIFF file gone bad!\n";

    const bool first_clip = clipped_before == 0 && clipped != 0;
    const bool grew_huge = frames_before <= huge_frames && n_frames > huge_frames;
    if constexpr (std::is_floating_point<T>::value) {
        if (first_clip)
            std::cerr << "Clipped!\n";
        if (grew_huge)
            std::cerr << "AIFF file growing huge!\n";
    } else {
        if (first_clip)
            throw "Clipped!\n";
        if (grew_huge)
            throw "AIFF file growing huge!\n";
    }
}

void WRAIFF_impl::info(std::ostream& os) {
    static const char line[] = "--------------------------------------\n";
    if (os.fail())
        throw "NULL argument!\n";
    if (!is_open())
        throw "No AIFF file currently open!\n";

    const int frame_bytes = n_channels * n_bytes;
    // 64-bit: the largest file allowed is a few bytes above 2^32 - 1.
    const std::uint64_t file_bytes =
        static_cast<std::uint64_t>(frame_bytes) * n_frames + kHeaderBytes;
    os << line;
    os << "   AIFF file: " << filename << "\n";
    os << "    channels: " << static_cast<unsigned>(n_channels) << "\n";
    os << "      frames: " << n_frames << "\n";
    os << "        bits: " << static_cast<unsigned>(n_bits) << "\n";
    os << "  samplerate: " << rate << " Hz\n";
    os << " bytes/frame: " << frame_bytes << "\n";
    os << "    filesize: " << file_bytes << " bytes\n";
    os << "    duration: ";
    const double seconds = n_frames / rate;
    if (seconds >= 3600)
        os << seconds / 3600 << " hours\n";
    else if (seconds >= 60)
        os << seconds / 60 << " minutes\n";
    else
        os << seconds << " seconds\n";
    if (clipped > 0) {
        os << "     clipped: " << clipped << " sample";
        if (clipped > 1)
            os << "s";
        os << "!\n";
    }
    os << line;
}

void WRAIFF_impl::close() {
    if (!is_open())
        throw "No AIFF file currently open!\n";
    finish();
}

// Hands the collected sample bytes to the stream; a failure shows in the
// stream's state.
void WRAIFF_impl::flush_scratch() {
    if (pending > 0)
        stream.write(reinterpret_cast<const char*>(scratch), static_cast<std::streamsize>(pending));
    pending = 0;
}

// Rewrites the header with the final counts and closes the file; the stream is
// closed whichever step fails.
void WRAIFF_impl::finish() {
    flush_scratch();
    if (!stream.good()) {
        stream.close();
        throw "AIFF file gone bad. No header-rewrite!\n";
    }
    stream.seekp(0);
    if (stream.fail()) {
        stream.close();
        throw "Failed to rewind AIFF file!\n";
    }
    write_header();
    if (!stream.good()) {
        stream.close();
        throw "Failed to rewrite AIFF header!\n";
    }
    stream.close();
    if (stream.fail())
        throw "Failure during closing AIFF file!\n";
}

void WRAIFF_impl::finish_quietly() noexcept {
    if (!is_open())
        return;
    try {
        finish();
    } catch (const char* message) {
        try {
            std::cerr << message;
        } catch (...) {
        }
    } catch (...) {
    }
    if (stream.is_open()) {
        try {
            stream.close();
        } catch (...) {
        }
    }
}

WRAIFF::WRAIFF() : impl(new WRAIFF_impl) {}

WRAIFF::WRAIFF(const char* name, double samplerate, short channels, short bits)
    : impl(new WRAIFF_impl) {
    try {
        impl->open(name, samplerate, channels, bits);
    } catch (...) {
        delete impl;
        throw;
    }
}

WRAIFF::~WRAIFF() {
    impl->finish_quietly();
    delete impl;
}

void WRAIFF::open(const char* name, double samplerate, short channels, short bits) {
    impl->open(name, samplerate, channels, bits);
}

void WRAIFF::write(const double* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const float* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const long* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const int* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const short* buffer, long nframes) {
    impl->write(buffer, nframes);
}
void WRAIFF::write(const signed char* buffer, long nframes) {
    impl->write(buffer, nframes);
}

bool WRAIFF::is_open() {
    return impl->is_open();
}

void WRAIFF::info(std::ostream& os) {
    impl->info(os);
}

void WRAIFF::report_as(const char* name) {
    impl->report_as(name);
}

void WRAIFF::close() {
    impl->close();
}
