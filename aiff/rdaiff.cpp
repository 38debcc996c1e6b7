// AIFF reader. The header is walked chunk by chunk until one COMM and one
// SSND chunk have been seen (in either order); everything else is skipped.
// Samples are read in pieces into a buffer that the reader keeps and decoded
// from big-endian two's complement into the caller's type.
#include "aiff/rdaiff.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "common/byteorder.h"

static_assert(sizeof(std::streamoff) >= 8, "stream positions must reach beyond 4 GiB");

class RDAIFF_impl {
  public:
    std::ifstream stream;         // the open file, binary
    std::int64_t data_pos = 0;    // position of the first sample frame
    std::string filename;         // name given to the most recent open
    std::uint32_t n_frames = 0;   // sample frames in the file
    std::int16_t n_channels = 0;  // 1 to 1000 once open
    std::int16_t n_bits = 0;      // 1 to 56 once open
    std::int16_t n_bytes = 0;     // bytes per sample in the file, 1 to 7
    double rate = 0.0;            // frames per second
    std::int64_t half_range = 0;  // 2^(8 * n_bytes - 1)
    std::int64_t full_range = 0;  // 2^(8 * n_bytes)
    std::uint32_t remaining = 0;  // frames not yet read

    // Raw sample bytes of the current read call. Grown on demand and kept,
    // so repeated reads allocate nothing; its size is bounded by
    // kReadPieceBytes or by one frame, whichever is larger.
    std::vector<unsigned char> buffer;

    void open(const char* name);
    void info(std::ostream& os);
};

namespace {

// Upper bound on the bytes fetched from the stream in one piece while
// reading samples.
constexpr std::size_t kReadPieceBytes = 64 * 1024;

// The FORM size of a file holding only an 18-byte COMM and an SSND chunk
// with no data offset, without its sample bytes.
constexpr std::int64_t kMinimalFormSize = 46;

constexpr std::int64_t kLargestComparedSize = 2147483647;

// Reads `n` bytes; a read counts as failed when it leaves the stream bad,
// failed or at end of file.
bool readBytes(std::ifstream& s, unsigned char* p, std::size_t n) {
    s.read(reinterpret_cast<char*>(p), static_cast<std::streamsize>(n));
    return s.good();
}

bool readU32(std::ifstream& s, std::uint32_t& v) {
    unsigned char b[4];
    if (!readBytes(s, b, 4))
        return false;
    v = tarvio::bytes::getU32BE(b);
    return true;
}

bool readS16(std::ifstream& s, std::int16_t& v) {
    unsigned char b[2];
    if (!readBytes(s, b, 2))
        return false;
    v = tarvio::bytes::getS16BE(b);
    return true;
}

// Moves `n` bytes forward from the current position; false when the stream
// is then bad or failed. Moving beyond the end of the file is not a failure.
bool skipForward(std::ifstream& s, std::uint64_t n) {
    s.seekg(static_cast<std::streamoff>(n), std::ios::cur);
    return !s.fail();
}

// After a chunk body of odd length IFF stores one zero pad byte. Files
// written without it keep working: a non-zero byte is left in place as the
// start of the next chunk id. (At the end of the file the peek leaves the
// stream at its end, so the next chunk-id read fails as it would anyway.)
void skipPadByte(std::ifstream& s, std::uint64_t bodyLength) {
    if (bodyLength % 2 == 0)
        return;
    if (s.peek() == 0)
        s.ignore(1);
}

bool isTag(const unsigned char* p, const char* tag) {
    return std::memcmp(p, tag, 4) == 0;
}

// Decodes the 80-bit IEEE 754 extended number of AIFF's COMM chunk.
double decodeExtended(const unsigned char* b) {
    const bool negative = (b[0] & 0x80u) != 0;
    const int exponent = ((b[0] & 0x7F) << 8) | b[1];
    const std::uint32_t hi = tarvio::bytes::getU32BE(b + 2);
    const std::uint32_t lo = tarvio::bytes::getU32BE(b + 6);
    double value;
    if (exponent == 0 && hi == 0 && lo == 0) {
        value = 0.0;
    } else if (exponent == 0x7FFF) {
        value = HUGE_VAL;
    } else {
        value = std::ldexp(static_cast<double>(hi), exponent - 16414) +
                std::ldexp(static_cast<double>(lo), exponent - 16446);
    }
    return negative ? -value : value;
}

}  // namespace

void RDAIFF_impl::open(const char* name) {
    if (name == nullptr)
        throw "RDAIFF: No filename (NULL pointer)!";
    try {
        filename = name;
    } catch (...) {
        throw "RDAIFF: Not enough memory to hold a copy of the filename!";
    }
    if (*name == '\0')
        throw "RDAIFF: Empty filename!";
    if (stream.is_open())
        throw "RDAIFF: File already open!";

    stream.open(name, std::ios::in | std::ios::binary);
    if (stream.is_open())
        stream.clear();
    if (!stream.is_open() || !stream.good())
        throw "RDAIFF: Could not open file!";

    // The header walk; it returns once COMM and SSND have both been seen.
    auto readHeader = [this] {
        unsigned char tag[4];
        if (!readBytes(stream, tag, 4))
            throw "RDAIFF: Failed to read FORM chunk!";
        if (!isTag(tag, "FORM"))
            throw "RDAIFF: Header doesn't start with magic word FORM!";
        std::uint32_t formSize;
        if (!readU32(stream, formSize))
            throw "RDAIFF: Failed to read FORM size!";
        if (!readBytes(stream, tag, 4))
            throw "RDAIFF: Failed to read AIFF type!";
        if (!isTag(tag, "AIFF"))
            throw "RDAIFF: Header doesn't specify AIFF type!";

        bool commSeen = false;
        bool ssndSeen = false;
        for (;;) {
            std::uint32_t chunkSize;
            if (!readBytes(stream, tag, 4))
                throw "RDAIFF: Failed to read chunkID!";
            if (!readU32(stream, chunkSize))
                throw "RDAIFF: Failed to read chunksize!";

            if (isTag(tag, "COMM")) {
                if (commSeen)
                    throw "RDAIFF: Multiple COMM chunks!";
                if (chunkSize < 18)
                    throw "RDAIFF: COMM chunk has bad size (too small)!";

                if (!readS16(stream, n_channels))
                    throw "RDAIFF: Failed to read number of channels!";
                if (n_channels < 1 || n_channels > 1000)
                    throw "RDAIFF: Invalid number of channels!";
                if (!readU32(stream, n_frames))
                    throw "RDAIFF: Failed to read number of sampleframes in COMM chunk!";
                remaining = n_frames;
                if (!readS16(stream, n_bits))
                    throw "RDAIFF: Failed to read number of bits resolution in COMM chunk!";
                if (n_bits < 1 || n_bits > 56)
                    throw "RDAIFF: Invalid number of resolution bits!";
                n_bytes = static_cast<std::int16_t>((n_bits + 7) / 8);
                full_range = std::int64_t{1} << (8 * n_bytes);
                half_range = full_range / 2;

                // At most 1000 * (2^32 - 1) * 7, well inside 64 bits.
                const std::int64_t required =
                    kMinimalFormSize + std::int64_t{n_channels} * n_frames * n_bytes;
                if (required <= kLargestComparedSize && required > std::int64_t{formSize})
                    throw "RDAIFF: Suspicious size in FORM chunk!";

                unsigned char extended[10];
                if (!readBytes(stream, extended, 10))
                    throw "RDAIFF: Error reading samplerate!";
                rate = decodeExtended(extended);
                if (!(rate > 0.0 && rate <= 1000000.0))
                    throw "RDAIFF: Samplerate out of range!";

                if (ssndSeen) {
                    stream.seekg(static_cast<std::streamoff>(data_pos));
                    if (stream.fail())
                        throw "RDAIFF: Failed to rewind!";
                    return;
                }
                if (chunkSize != 18) {
                    if (!skipForward(stream, chunkSize - 18u))
                        throw "RDAIFF: Error while skipping extension-bytes in COMM chunk!";
                    skipPadByte(stream, chunkSize);
                }
                commSeen = true;
            } else if (isTag(tag, "SSND")) {
                if (ssndSeen)
                    throw "RDAIFF: Multiple SSND chunks!";
                // A file that ends inside these two fields must never yield
                // samples, so their read is checked like the offset skip.
                std::uint32_t offset;
                std::uint32_t blockSize;
                if (!readU32(stream, offset) || !readU32(stream, blockSize))
                    throw "RDAIFF: Error while skipping offset in SSND chunk!";
                const std::int64_t bodyPos = static_cast<std::streamoff>(stream.tellg());
                if (offset != 0 && !skipForward(stream, offset))
                    throw "RDAIFF: Error while skipping offset in SSND chunk!";
                data_pos = static_cast<std::streamoff>(stream.tellg());
                if (commSeen)
                    return;

                // Move past the sample data to the next chunk. The chunk size
                // counts the offset and block-size fields, the offset bytes and
                // the samples, so the data ends chunkSize - 8 bytes after the
                // block-size field. With a block size the end is rounded up to a
                // whole number of blocks. A size below 8 wraps, in unsigned 32
                // bits, to a move of nearly 4 GiB forward. The sum is formed in
                // 64 bits: no size and block size can wrap it around, and the
                // walk never moves backwards, even when the data offset points
                // past the chunk's end.
                const std::uint64_t dataBytes = static_cast<std::uint32_t>(chunkSize - 8u);
                std::uint64_t fill = 0;
                if (blockSize != 0 && dataBytes % blockSize != 0)
                    fill = blockSize - dataBytes % blockSize;
                std::int64_t next = bodyPos + static_cast<std::int64_t>(dataBytes + fill);
                if (next < data_pos)
                    next = data_pos;
                stream.seekg(static_cast<std::streamoff>(next));
                skipPadByte(stream, dataBytes + fill);
                ssndSeen = true;
            } else {
                if (!skipForward(stream, chunkSize))
                    throw "RDAIFF: Error during skipping unknown chunk!";
                skipPadByte(stream, chunkSize);
            }
        }
    };
    try {
        readHeader();
    } catch (...) {
        // The file stays open, but a header that failed validation never
        // yields samples: reads and rewind find the stream failed.
        stream.setstate(std::ios::failbit);
        throw;
    }
}

void RDAIFF_impl::info(std::ostream& os) {
    static const char* const line = "-----------------------------------------\n";
    if (!stream.is_open())
        throw "RDAIFF: No file currently open!";
    const std::uint32_t fileSize = static_cast<std::uint32_t>(
        kMinimalFormSize + std::int64_t{n_bytes} * n_channels * n_frames);
    os << line;
    os << "    AIFF file: " << filename << '\n';
    os << "     channels: " << n_channels << '\n';
    os << "       frames: " << n_frames << '\n';
    os << " bits/channel: " << n_bits << '\n';
    os << "    framerate: " << rate << "/second\n";
    os << "  bytes/frame: " << n_bytes * n_channels << '\n';
    os << "     filesize: >" << fileSize << " bytes\n";
    const double seconds = n_frames / rate;
    os << "     duration: ";
    if (seconds >= 3600.0) {
        os << seconds / 3600.0 << " hours";
    } else if (seconds >= 60.0) {
        os << seconds / 60.0 << " minutes";
    } else if (seconds >= 1.0) {
        os << seconds << " seconds";
    } else {
        os << seconds * 1000.0 << " milliseconds";
    }
    os << std::endl;
    os << line;
}

namespace {

// Stores one decoded sample into the caller's element type. Floating-point
// types get value / half_range, an exact division by a power of two for
// every width the fit test lets through.
template <typename T>
void store(T& dst, std::int64_t value, std::int64_t half) {
    if constexpr (std::is_floating_point<T>::value) {
        dst = static_cast<T>(static_cast<double>(value) / static_cast<double>(half));
    } else {
        dst = static_cast<T>(value);
    }
}

// The common body of the seven read overloads. `maxBits` is the widest
// sample (8 * bytes per sample) the destination holds exactly, 0 for none.
template <typename T>
void readFrames(RDAIFF_impl& s, T* dst, long frames, int maxBits) {
    if (maxBits != 0 && 8 * s.n_bytes > maxBits)
        throw "RDAIFF: AIFF-data does not fit requested destination datatype!";
    if (!s.stream.is_open())
        throw "RDAIFF: Cannot read from a closed file!";
    if (dst == nullptr)
        throw "RDAIFF: NULL pointer supplied to read()!";
    if (frames < 0)
        throw "RDAIFF: Cannot read negative amount of frames!";
    if (static_cast<unsigned long>(frames) > s.remaining)
        throw "RDAIFF: Requested to read more frames than available!";
    if (frames == 0)
        return;
    // A stream that failed before (a short file, or a header that failed
    // validation) fails again at the first sample.
    if (!s.stream.good()) {
        s.stream.setstate(std::ios::failbit);
        throw "RDAIFF: Error reading audiosample!";
    }

    const std::size_t sampleBytes = static_cast<std::size_t>(s.n_bytes);
    const std::size_t channels = static_cast<std::size_t>(s.n_channels);
    const std::size_t frameBytes = sampleBytes * channels;
    // Whole frames per piece; at least one, however wide a frame is.
    std::size_t pieceFrames = kReadPieceBytes / frameBytes;
    if (pieceFrames == 0)
        pieceFrames = 1;
    std::size_t framesLeft = static_cast<std::size_t>(frames);
    if (pieceFrames > framesLeft)
        pieceFrames = framesLeft;
    if (s.buffer.size() < pieceFrames * frameBytes)
        s.buffer.resize(pieceFrames * frameBytes);

    const std::int64_t half = s.half_range;
    const std::int64_t full = s.full_range;
    std::size_t sampleInFrame = 0;
    while (framesLeft > 0) {
        const std::size_t n = framesLeft < pieceFrames ? framesLeft : pieceFrames;
        const std::size_t wanted = n * frameBytes;
        s.stream.read(reinterpret_cast<char*>(s.buffer.data()),
                      static_cast<std::streamsize>(wanted));
        const bool ok = s.stream.good();
        std::size_t samples = static_cast<std::size_t>(s.stream.gcount()) / sampleBytes;
        // A sample whose read left the stream failed is not stored, even
        // when all of its bytes arrived.
        if (!ok && samples == n * channels)
            --samples;

        const unsigned char* p = s.buffer.data();
        for (std::size_t i = 0; i < samples; ++i, p += sampleBytes) {
            const std::uint64_t u = tarvio::bytes::getBE(p, s.n_bytes);
            const std::int64_t value = u >= static_cast<std::uint64_t>(half)
                                           ? static_cast<std::int64_t>(u) - full
                                           : static_cast<std::int64_t>(u);
            store(*dst++, value, half);
            if (++sampleInFrame == channels) {
                sampleInFrame = 0;
                --s.remaining;
            }
        }
        if (!ok)
            throw "RDAIFF: Error reading audiosample!";
        framesLeft -= n;
    }
}

// The destination limits: the widest sample each type holds exactly.
constexpr int kFloatBits = 25;
constexpr int kDoubleBits = 54;
constexpr int kNoLimit = 0;

}  // namespace

RDAIFF::RDAIFF() : impl(new RDAIFF_impl) {}

RDAIFF::RDAIFF(const char* name) : impl(new RDAIFF_impl) {
    try {
        impl->open(name);
    } catch (...) {
        delete impl;
        throw;
    }
}

RDAIFF::~RDAIFF() {
    if (impl->stream.is_open())
        impl->stream.close();
    delete impl;
}

void RDAIFF::open(const char* name) {
    impl->open(name);
}

bool RDAIFF::is_open() {
    return impl->stream.is_open();
}

void RDAIFF::info(std::ostream& os) {
    impl->info(os);
}

double RDAIFF::samplerate() {
    if (!impl->stream.is_open())
        throw "RDAIFF: No samplerate, file closed!";
    return impl->rate;
}

short RDAIFF::channels() {
    if (!impl->stream.is_open())
        throw "RDAIFF: No number of channels, file closed!";
    return impl->n_channels;
}

short RDAIFF::bits() {
    if (!impl->stream.is_open())
        throw "RDAIFF: No number of bits, file closed!";
    return impl->n_bits;
}

long long RDAIFF::frames() {
    if (!impl->stream.is_open())
        throw "RDAIFF: No number of frames, file closed!";
    return static_cast<long long>(impl->n_frames);
}

long long RDAIFF::frames_togo() {
    if (!impl->stream.is_open())
        throw "RDAIFF: No number of frames to go, file closed!";
    return static_cast<long long>(impl->remaining);
}

const char* RDAIFF::name() {
    return impl->filename.c_str();
}

void RDAIFF::read(float* dst, long frames) {
    readFrames(*impl, dst, frames, kFloatBits);
}
void RDAIFF::read(double* dst, long frames) {
    readFrames(*impl, dst, frames, kDoubleBits);
}
void RDAIFF::read(signed char* dst, long frames) {
    readFrames(*impl, dst, frames, 8);
}
void RDAIFF::read(short* dst, long frames) {
    readFrames(*impl, dst, frames, 16);
}
void RDAIFF::read(int* dst, long frames) {
    readFrames(*impl, dst, frames, 32);
}
// The same limit as int, whatever the width of long.
void RDAIFF::read(long* dst, long frames) {
    readFrames(*impl, dst, frames, 32);
}
void RDAIFF::read(long long* dst, long frames) {
    readFrames(*impl, dst, frames, kNoLimit);
}

void RDAIFF::rewind() {
    if (!impl->stream.is_open())
        throw "RDAIFF: Cannot rewind a closed file!";
    // A stream that failed earlier refuses the seek and stays failed.
    impl->stream.seekg(static_cast<std::streamoff>(impl->data_pos));
    if (impl->stream.fail())
        throw "RDAIFF: Failed to rewind!";
    impl->remaining = impl->n_frames;
}

void RDAIFF::close() {
    if (!impl->stream.is_open())
        throw "RDAIFF: File already closed or never opened!";
    impl->stream.close();
}
