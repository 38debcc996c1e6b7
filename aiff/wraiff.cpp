// SPDX-License-Identifier: MIT
// AIFF writer. The file is laid out as in aiff/AiffLayout.h: the 54-byte
// header followed directly by the interleaved big-endian sample data. The
// header is written once at open with a provisional frame count and rewritten
// in place with the real one when the file is closed. Samples are encoded by
// pcm (big-endian, halves away from zero).
#include "aiff/wraiff.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <type_traits>

#include "aiff/AiffLayout.h"
#include "pcm/Pcm.h"

namespace {

using tarvio::pcm::Depth;
using tarvio::pcm::Encoder;

// Every text the writer throws or reports.
namespace text {
constexpr char kNoFilename[] = "No filename!\n";
constexpr char kEmptyFilename[] = "Empty filename!\n";
constexpr char kRateOutOfRange[] = "Samplerate out of range!\n";
constexpr char kBadChannels[] = "Too many or too less channels!\n";
constexpr char kBadBits[] = "Wrong number of bits!\n";
constexpr char kAlreadyOpen[] = "An AIFF file is already open!\n";
constexpr char kNoMemoryForName[] = "Not enough memory (to hold a copy of the filename)!\n";
constexpr char kCannotOpen[] = "Could not open AIFF file!\n";
constexpr char kHeaderFailed[] = "Failed to write AIFF header!\n";
constexpr char kBadArguments[] = "Wrong argument(s)!\n";
constexpr char kNotOpen[] = "No AIFF file currently open!\n";
constexpr char kTooLarge[] = "AIFF file too large!\n";
constexpr char kGoneBad[] = "AIFF file gone bad!\n";
constexpr char kClipped[] = "Clipped!\n";
constexpr char kGrowingHuge[] = "AIFF file growing huge!\n";
constexpr char kFailedStream[] = "NULL argument!\n";
constexpr char kNoHeaderRewrite[] = "AIFF file gone bad. No header-rewrite!\n";
constexpr char kRewindFailed[] = "Failed to rewind AIFF file!\n";
constexpr char kRewriteFailed[] = "Failed to rewrite AIFF header!\n";
constexpr char kCloseFailed[] = "Failure during closing AIFF file!\n";
constexpr char kReportRule[] = "--------------------------------------\n";
}  // namespace text

// Samples are converted into this many bytes of scratch space, which collects
// the bytes of several calls and is handed to the stream in one piece when it
// is full (and before the header is rewritten). The stream writes a piece this
// large straight to the file: one system call per 512 KiB instead of one per
// call of write, in a buffer that stays within a typical second-level cache.
constexpr std::size_t kScratchBytes = 512 * 1024;
// The first MiB of the file goes out in pieces of 64 KiB, so that a device or
// a size limit that takes little makes a write fail during the run, as it
// did with the smaller pieces, rather than the close.
constexpr std::size_t kEarlyPieceBytes = 64 * 1024;
constexpr std::uint64_t kEarlyBytes = 1024 * 1024;
// Pieces end where the file's offset is a multiple of the piece size (after
// the first, which goes at once): the kernel takes writes that start and end
// on page boundaries with less work (see docs/performance.md).

}  // namespace

// The pointer a caller compares a thrown message with: the table's text.
const char* const wraiff_too_large = text::kTooLarge;

class WRAIFF_impl {
  public:
    void open(const char* name, double samplerate, short channels, short bits,
              bool truncate = true);
    template <typename T>
    void write(const T* buffer, long nframes);
    unsigned char* room(long nframes);
    void commit(long nframes, std::uint32_t clipped_now);
    bool is_open() const { return stream.is_open(); }
    bool at_size_limit() const { return size_limit_reached; }
    void info(std::ostream& os);
    void report_as(const char* name) { filename = name ? name : ""; }
    void close();
    bool finish() noexcept;
    void warnings_to(std::ostream* sink) { warnings = sink; }

  private:
    static void check_format(const char* name, double samplerate, short channels, short bits);
    void create(const char* name, bool truncate);
    void start(double samplerate, short channels, short bits);
    void write_header(std::uint32_t frames);
    void check_write(bool have_buffer, long nframes);
    template <typename T>
    void convert_into_scratch(const T* buffer, std::size_t samples);
    void flush_scratch();
    void flush_pieces();
    template <typename T>
    void count_frames(long nframes, std::uint32_t clipped_before);
    std::size_t piece_room(std::size_t sample_bytes) const;
    void send_first_data();
    template <typename T>
    void warn(bool first_clip, bool grew_huge);
    void report(const char* message);
    void complete();
    void print_duration(std::ostream& os) const;

    std::ofstream stream;
    std::string filename;
    std::ostream* warnings = &std::cerr;
    std::uint32_t n_frames = 0;
    std::int16_t n_channels = 0;
    std::int16_t n_bits = 0;
    double rate = 0.0;
    Depth depth{};
    std::uint32_t clipped = 0;
    bool size_limit_reached = false;  // a write was refused at the size limit

    // Conversion space for write; lives as long as the writer. The first
    // `pending` bytes are converted samples not yet handed to the stream.
    // Frames a caller encodes itself (room, commit) may run past the piece
    // being collected, into the spill space behind it.
    unsigned char scratch[kScratchBytes + WRAIFF::max_direct_bytes];
    std::size_t pending = 0;
    std::size_t room_bytes = 0;  // the room given by room(), until commit takes it
    std::uint64_t sent = 0;  // sample bytes handed to the stream
    bool data_sent = false;  // sample bytes have gone to the stream
};

void WRAIFF_impl::open(const char* name, double samplerate, short channels, short bits,
                       bool truncate) {
    check_format(name, samplerate, channels, bits);
    if (is_open())
        throw text::kAlreadyOpen;
    try {
        filename = name;
    } catch (const std::bad_alloc&) {
        throw text::kNoMemoryForName;
    }
    create(name, truncate);
    start(samplerate, channels, bits);
}

// The argument checks of open, in the order their messages take precedence.
void WRAIFF_impl::check_format(const char* name, double samplerate, short channels, short bits) {
    if (name == nullptr)
        throw text::kNoFilename;
    if (name[0] == '\0')
        throw text::kEmptyFilename;
    // Written so that a NaN rate is refused as well.
    if (!(samplerate >= 1.0 && samplerate <= 128000.0))
        throw text::kRateOutOfRange;
    if (channels < 1 || channels > 128)
        throw text::kBadChannels;
    if (bits % 8 != 0 || bits < 8 || bits > 64)
        throw text::kBadBits;
}

// Creates (or truncates) the file, or opens an existing one as it is;
// leaves the stream closed on failure.
void WRAIFF_impl::create(const char* name, bool truncate) {
    stream.open(name,
                std::ios::out | std::ios::binary | (truncate ? std::ios::trunc : std::ios::in));
    if (stream.is_open())
        stream.clear();
    if (!stream.is_open() || !stream.good()) {
        if (stream.is_open())
            stream.close();
        throw text::kCannotOpen;
    }
}

// Sets the writer up for a new file and writes its provisional header.
void WRAIFF_impl::start(double samplerate, short channels, short bits) {
    rate = samplerate;
    n_channels = channels;
    n_bits = bits;
    depth = Depth::forBits(bits);
    clipped = 0;
    size_limit_reached = false;
    pending = 0;
    room_bytes = 0;
    sent = 0;
    data_sent = false;
    n_frames = 0;
    write_header(huge_frames);
    if (!stream.good()) {
        stream.close();
        throw text::kHeaderFailed;
    }
}

void WRAIFF_impl::write_header(std::uint32_t frames) {
    unsigned char h[tarvio::aiff::kHeaderBytes];
    tarvio::aiff::composeHeader(h, static_cast<unsigned>(n_channels), frames,
                                static_cast<unsigned>(n_bits), rate);
    stream.write(reinterpret_cast<const char*>(h), static_cast<std::streamsize>(sizeof h));
}

template <typename T>
void WRAIFF_impl::write(const T* buffer, long nframes) {
    check_write(buffer != nullptr, nframes);
    const std::uint32_t clipped_before = clipped;
    convert_into_scratch(buffer,
                         static_cast<std::size_t>(nframes) * static_cast<std::size_t>(n_channels));
    send_first_data();
    count_frames<T>(nframes, clipped_before);
}

// After the frames of a call are in the scratch space: counts them, even
// when the stream failed (they were handed over), and reports what a write
// of T reports.
template <typename T>
void WRAIFF_impl::count_frames(long nframes, std::uint32_t clipped_before) {
    const std::uint32_t frames_before = n_frames;
    n_frames += static_cast<std::uint32_t>(nframes);
    if (stream.bad())
        throw text::kGoneBad;
    warn<T>(clipped_before == 0 && clipped != 0,
            frames_before <= huge_frames && n_frames > huge_frames);
}

// The room follows the bytes collected so far; a piece already full goes to
// the stream first, as the next write would send it.
unsigned char* WRAIFF_impl::room(long nframes) {
    check_write(true, nframes);
    const std::size_t sample_bytes = static_cast<std::size_t>(depth.bytes);
    if (static_cast<std::uint64_t>(nframes) * static_cast<std::uint64_t>(n_channels) *
            sample_bytes >
        WRAIFF::max_direct_bytes)
        throw text::kBadArguments;
    if (pending >= piece_room(sample_bytes))
        flush_scratch();
    room_bytes =
        static_cast<std::size_t>(nframes) * static_cast<std::size_t>(n_channels) * sample_bytes;
    return scratch + pending;
}

// Takes no more than the room given last: anything else is refused before
// it is counted.
void WRAIFF_impl::commit(long nframes, std::uint32_t clipped_now) {
    const std::size_t bytes = static_cast<std::size_t>(nframes < 0 ? 0 : nframes) *
                              static_cast<std::size_t>(n_channels) *
                              static_cast<std::size_t>(depth.bytes);
    if (nframes < 0 || bytes > room_bytes || !is_open())
        throw text::kBadArguments;
    room_bytes = 0;
    const std::uint32_t clipped_before = clipped;
    clipped += clipped_now;
    pending += bytes;
    flush_pieces();
    send_first_data();
    count_frames<double>(nframes, clipped_before);
}

// Refuses a call with wrong arguments, without a file, or whose frames would
// take the data past what the header's 32-bit sizes can describe (a header
// with wrapped sizes would describe a shorter file and hide the rest).
void WRAIFF_impl::check_write(bool have_buffer, long nframes) {
    if (!have_buffer || nframes < 0)
        throw text::kBadArguments;
    if (!is_open())
        throw text::kNotOpen;
    const std::uint64_t frame_bytes =
        static_cast<std::uint64_t>(n_channels) * static_cast<std::uint64_t>(depth.bytes);
    const std::uint64_t max_frames = tarvio::aiff::kMaxDataBytes / frame_bytes;
    if (n_frames > max_frames || static_cast<std::uint64_t>(nframes) > max_frames - n_frames) {
        size_limit_reached = true;
        throw wraiff_too_large;
    }
}

// Converts the samples into the scratch space, handing a piece to the stream
// whenever one is full; counts the clipped samples.
template <typename T>
void WRAIFF_impl::convert_into_scratch(const T* buffer, std::size_t samples) {
    const Encoder<T> convert = tarvio::pcm::pickEncoder<T>(depth, tarvio::pcm::ByteOrder::Big);
    const std::size_t sample_bytes = static_cast<std::size_t>(depth.bytes);
    while (samples > 0) {
        std::size_t room = (piece_room(sample_bytes) - pending) / sample_bytes;
        if (room == 0) {
            flush_scratch();
            room = piece_room(sample_bytes) / sample_bytes;
        }
        const std::size_t n = samples < room ? samples : room;
        clipped += convert(buffer, n, scratch + pending, depth);
        pending += n * sample_bytes;
        buffer += n;
        samples -= n;
    }
}

// The bytes of the piece that the scratch space is collecting: from the
// file's offset at its start up to the next multiple of the piece size, or a
// whole piece when that leaves no room for a sample (as with 3-byte samples,
// whose pieces then do not all end on a boundary). Never more than
// kScratchBytes; it changes only when a piece is handed over.
std::size_t WRAIFF_impl::piece_room(std::size_t sample_bytes) const {
    const std::uint64_t start = tarvio::aiff::kHeaderBytes + sent;
    const std::uint64_t piece = start < kEarlyBytes ? kEarlyPieceBytes : kScratchBytes;
    const std::uint64_t room = piece - start % piece;
    return static_cast<std::size_t>(room < sample_bytes ? piece : room);
}

// Hands the collected sample bytes to the stream; a failure shows in the
// stream's state.
void WRAIFF_impl::flush_scratch() {
    if (pending > 0)
        stream.write(reinterpret_cast<const char*>(scratch), static_cast<std::streamsize>(pending));
    sent += pending;
    pending = 0;
}

// Hands every piece the scratch space has filled to the stream, each ending
// where a piece of convert_into_scratch ends; the bytes past the last move
// to the front. A full piece stays, as convert_into_scratch leaves it.
void WRAIFF_impl::flush_pieces() {
    const std::size_t sample_bytes = static_cast<std::size_t>(depth.bytes);
    for (std::size_t piece = piece_room(sample_bytes); pending > piece;
         piece = piece_room(sample_bytes)) {
        stream.write(reinterpret_cast<const char*>(scratch), static_cast<std::streamsize>(piece));
        sent += piece;
        pending -= piece;
        std::memmove(scratch, scratch + piece, pending);
    }
}

// The first samples of a file go to the stream at once, so that an output
// that takes no data at all (a full device) fails the first write that has
// any, not only the close.
void WRAIFF_impl::send_first_data() {
    if (!data_sent && pending > 0) {
        flush_scratch();
        data_sent = true;
    }
}

// The once-per-file conditions of a write: the floating-point writes report
// them on the warning sink, the integer writes throw them.
template <typename T>
void WRAIFF_impl::warn(bool first_clip, bool grew_huge) {
    if constexpr (std::is_floating_point<T>::value) {
        if (first_clip)
            report(text::kClipped);
        if (grew_huge)
            report(text::kGrowingHuge);
    } else {
        if (first_clip)
            throw text::kClipped;
        if (grew_huge)
            throw text::kGrowingHuge;
    }
}

void WRAIFF_impl::report(const char* message) {
    if (warnings != nullptr)
        *warnings << message << std::flush;
}

void WRAIFF_impl::info(std::ostream& os) {
    if (os.fail())
        throw text::kFailedStream;
    if (!is_open())
        throw text::kNotOpen;

    const int frame_bytes = n_channels * depth.bytes;
    // 64-bit: the largest file allowed is a few bytes above 2^32 - 1.
    const std::uint64_t file_bytes =
        static_cast<std::uint64_t>(frame_bytes) * n_frames + tarvio::aiff::kHeaderBytes;
    os << text::kReportRule;
    os << "   AIFF file: " << filename << "\n";
    os << "    channels: " << static_cast<unsigned>(n_channels) << "\n";
    os << "      frames: " << n_frames << "\n";
    os << "        bits: " << static_cast<unsigned>(n_bits) << "\n";
    os << "  samplerate: " << rate << " Hz\n";
    os << " bytes/frame: " << frame_bytes << "\n";
    os << "    filesize: " << file_bytes << " bytes\n";
    print_duration(os);
    if (clipped > 0) {
        os << "     clipped: " << clipped << " sample";
        if (clipped > 1)
            os << "s";
        os << "!\n";
    }
    os << text::kReportRule;
}

void WRAIFF_impl::print_duration(std::ostream& os) const {
    os << "    duration: ";
    const double seconds = n_frames / rate;
    if (seconds >= 3600)
        os << seconds / 3600 << " hours\n";
    else if (seconds >= 60)
        os << seconds / 60 << " minutes\n";
    else
        os << seconds << " seconds\n";
}

void WRAIFF_impl::close() {
    if (!is_open())
        throw text::kNotOpen;
    complete();
}

// Rewrites the header with the final counts and closes the file; the stream is
// closed whichever step fails.
void WRAIFF_impl::complete() {
    flush_scratch();
    if (!stream.good()) {
        stream.close();
        throw text::kNoHeaderRewrite;
    }
    stream.seekp(0);
    if (stream.fail()) {
        stream.close();
        throw text::kRewindFailed;
    }
    write_header(n_frames);
    if (!stream.good()) {
        stream.close();
        throw text::kRewriteFailed;
    }
    stream.close();
    if (stream.fail())
        throw text::kCloseFailed;
}

bool WRAIFF_impl::finish() noexcept {
    if (!is_open())
        return false;
    try {
        complete();
        return true;
    } catch (const char* message) {
        try {
            report(message);
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
    return false;
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
    impl->finish();
    delete impl;
}

void WRAIFF::open(const char* name, double samplerate, short channels, short bits) {
    impl->open(name, samplerate, channels, bits);
}

void WRAIFF::open_created(const char* name, double samplerate, short channels, short bits) {
    impl->open(name, samplerate, channels, bits, false);
}

unsigned char* WRAIFF::room(long nframes) {
    return impl->room(nframes);
}

void WRAIFF::commit(long nframes, std::uint32_t clipped) {
    impl->commit(nframes, clipped);
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

bool WRAIFF::at_size_limit() const {
    return impl->at_size_limit();
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

bool WRAIFF::finish() noexcept {
    return impl->finish();
}

void WRAIFF::warnings_to(std::ostream* sink) {
    impl->warnings_to(sink);
}
