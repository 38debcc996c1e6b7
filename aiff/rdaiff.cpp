// SPDX-License-Identifier: MIT
// AIFF reader. The header is walked chunk by chunk until one COMM and one
// SSND chunk have been seen (in either order); everything else is skipped.
// Samples are read in pieces into a buffer that the reader keeps and decoded
// from big-endian two's complement into the caller's type by pcm.
#include "aiff/rdaiff.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "aiff/AiffLayout.h"
#include "common/ChunkReader.h"
#include "common/byteorder.h"
#include "pcm/Pcm.h"

namespace chunk = tarvio::chunk;

namespace {

// The messages of RDAIFF, thrown as they are (`const char*`).
namespace text {
constexpr char kNoName[] = "RDAIFF: No filename (NULL pointer)!";
constexpr char kNameMemory[] = "RDAIFF: Not enough memory to hold a copy of the filename!";
constexpr char kEmptyName[] = "RDAIFF: Empty filename!";
constexpr char kAlreadyOpen[] = "RDAIFF: File already open!";
constexpr char kCannotOpen[] = "RDAIFF: Could not open file!";
constexpr char kNoForm[] = "RDAIFF: Failed to read FORM chunk!";
constexpr char kNotForm[] = "RDAIFF: Header doesn't start with magic word FORM!";
constexpr char kNoFormSize[] = "RDAIFF: Failed to read FORM size!";
constexpr char kNoType[] = "RDAIFF: Failed to read AIFF type!";
constexpr char kNotAiff[] = "RDAIFF: Header doesn't specify AIFF type!";
constexpr char kNoChunkId[] = "RDAIFF: Failed to read chunkID!";
constexpr char kNoChunkSize[] = "RDAIFF: Failed to read chunksize!";
constexpr char kMultipleComm[] = "RDAIFF: Multiple COMM chunks!";
constexpr char kCommTooSmall[] = "RDAIFF: COMM chunk has bad size (too small)!";
constexpr char kNoChannels[] = "RDAIFF: Failed to read number of channels!";
constexpr char kBadChannels[] = "RDAIFF: Invalid number of channels!";
constexpr char kNoFrames[] = "RDAIFF: Failed to read number of sampleframes in COMM chunk!";
constexpr char kNoBits[] = "RDAIFF: Failed to read number of bits resolution in COMM chunk!";
constexpr char kBadBits[] = "RDAIFF: Invalid number of resolution bits!";
constexpr char kSuspiciousForm[] = "RDAIFF: Suspicious size in FORM chunk!";
constexpr char kNoRate[] = "RDAIFF: Error reading samplerate!";
constexpr char kBadRate[] = "RDAIFF: Samplerate out of range!";
constexpr char kCommExtension[] = "RDAIFF: Error while skipping extension-bytes in COMM chunk!";
constexpr char kMultipleSsnd[] = "RDAIFF: Multiple SSND chunks!";
constexpr char kSsndOffset[] = "RDAIFF: Error while skipping offset in SSND chunk!";
constexpr char kSkipUnknown[] = "RDAIFF: Error during skipping unknown chunk!";
constexpr char kRewindFailed[] = "RDAIFF: Failed to rewind!";
constexpr char kNotOpen[] = "RDAIFF: No file currently open!";
constexpr char kDoesNotFit[] = "RDAIFF: AIFF-data does not fit requested destination datatype!";
constexpr char kReadClosed[] = "RDAIFF: Cannot read from a closed file!";
constexpr char kNullDestination[] = "RDAIFF: NULL pointer supplied to read()!";
constexpr char kNegativeFrames[] = "RDAIFF: Cannot read negative amount of frames!";
constexpr char kTooManyFrames[] = "RDAIFF: Requested to read more frames than available!";
constexpr char kReadFailed[] = "RDAIFF: Error reading audiosample!";
constexpr char kNoRateClosed[] = "RDAIFF: No samplerate, file closed!";
constexpr char kNoChannelsClosed[] = "RDAIFF: No number of channels, file closed!";
constexpr char kNoBitsClosed[] = "RDAIFF: No number of bits, file closed!";
constexpr char kNoFramesClosed[] = "RDAIFF: No number of frames, file closed!";
constexpr char kNoFramesToGoClosed[] = "RDAIFF: No number of frames to go, file closed!";
constexpr char kRewindClosed[] = "RDAIFF: Cannot rewind a closed file!";
constexpr char kCloseClosed[] = "RDAIFF: File already closed or never opened!";
}  // namespace text

}  // namespace

class RDAIFF_impl {
  public:
    chunk::Reader file;           // the open file
    std::int64_t data_pos = 0;    // position of the first sample frame
    std::string filename;         // name given to the most recent open
    std::uint32_t n_frames = 0;   // sample frames in the file
    std::int16_t n_channels = 0;  // 1 to 1000 once open
    std::int16_t n_bits = 0;      // 1 to 56 once open
    std::int16_t n_bytes = 0;     // bytes per sample in the file, 1 to 7
    double rate = 0.0;            // frames per second
    std::uint32_t remaining = 0;  // frames not yet read
    // Set by a read that came up short, a failed move, or a header that
    // failed validation; every later read and rewind of the file then fails,
    // until it is closed and opened again.
    bool failed = false;

    // Raw sample bytes of the current read call. Grown on demand and kept,
    // so repeated reads allocate nothing; its size is bounded by
    // kReadPieceBytes or by one frame, whichever is larger.
    std::vector<unsigned char> buffer;

    void open(const char* name);
    void info(std::ostream& os);
    // Moves to the first sample frame.
    void seekSamples();

  private:
    void openFile(const char* name);
    // The walk: the FORM header, then chunk after chunk until COMM and SSND
    // have both been seen, leaving the file at the first sample frame.
    void readHeader();
    std::uint32_t readFormHeader();
    chunk::Header readChunkHead();
    void readComm(std::uint32_t chunkSize, std::uint32_t formSize);
    // The two fields at the start of the SSND body.
    struct SsndFields {
        std::uint32_t offset;     // bytes between the fields and the first frame
        std::uint32_t blockSize;  // 0, or the size the data is aligned to
    };
    // Reads the SSND fields and moves to the first sample frame.
    SsndFields readSsnd();
    // Moves from the first sample frame past the data to the next chunk.
    void skipSamples(std::uint32_t chunkSize, SsndFields fields);

    // The reads of the header. A read counts as failed when it comes up
    // short; after a failure nothing more is read.
    bool readBytes(unsigned char* p, std::size_t n);
    bool readU32(std::uint32_t& v);
    bool readS16(std::int16_t& v);
};

namespace {

// Upper bound on the bytes fetched from the file in one piece while reading
// samples.
constexpr std::size_t kReadPieceBytes = 64 * 1024;

// The FORM size of a file holding only an 18-byte COMM and an SSND chunk
// with no data offset, without its sample bytes.
constexpr std::int64_t kMinimalFormSize = tarvio::aiff::kFormOverhead;

// The FORM size is checked only against required sizes up to this.
constexpr std::int64_t kLargestComparedSize = 2147483647;

// The size of a COMM body without extension bytes.
constexpr std::uint32_t kCommBytes = tarvio::aiff::kCommBodyBytes;

bool isTag(const void* p, const char* tag) {
    return std::memcmp(p, tag, 4) == 0;
}

}  // namespace

void RDAIFF_impl::open(const char* name) {
    if (name == nullptr)
        throw text::kNoName;
    try {
        filename = name;
    } catch (...) {
        throw text::kNameMemory;
    }
    if (*name == '\0')
        throw text::kEmptyName;
    if (file.isOpen())
        throw text::kAlreadyOpen;
    openFile(name);
    try {
        readHeader();
    } catch (...) {
        // The file stays open, but a header that failed validation never
        // yields samples.
        failed = true;
        throw;
    }
}

void RDAIFF_impl::openFile(const char* name) {
    bool opened = false;
    try {
        opened = file.open(name);
    } catch (const std::bad_alloc&) {
        // No memory for the stream's buffer: the file was not opened.
    }
    if (!opened)
        throw text::kCannotOpen;
    failed = false;
    // Known, the size lets skips seek; should the stream fail to return to
    // the start, the first read fails.
    (void)file.measureSize();
}

void RDAIFF_impl::readHeader() {
    const std::uint32_t formSize = readFormHeader();
    bool commSeen = false;
    bool ssndSeen = false;
    for (;;) {
        const chunk::Header head = readChunkHead();
        if (isTag(head.id, "COMM")) {
            if (commSeen)
                throw text::kMultipleComm;
            readComm(head.size, formSize);
            if (ssndSeen) {
                seekSamples();
                return;
            }
            if (file.skipRest(head.size - kCommBytes, head.pad) == chunk::Skip::failed)
                throw text::kCommExtension;
            commSeen = true;
        } else if (isTag(head.id, "SSND")) {
            if (ssndSeen)
                throw text::kMultipleSsnd;
            const SsndFields fields = readSsnd();
            if (commSeen)
                return;
            skipSamples(head.size, fields);
            ssndSeen = true;
        } else if (file.skipRest(head.size, head.pad) == chunk::Skip::failed) {
            throw text::kSkipUnknown;
        }
    }
}

std::uint32_t RDAIFF_impl::readFormHeader() {
    unsigned char tag[4];
    if (!readBytes(tag, 4))
        throw text::kNoForm;
    if (!isTag(tag, "FORM"))
        throw text::kNotForm;
    std::uint32_t formSize;
    if (!readU32(formSize))
        throw text::kNoFormSize;
    if (!readBytes(tag, 4))
        throw text::kNoType;
    if (!isTag(tag, "AIFF"))
        throw text::kNotAiff;
    return formSize;
}

chunk::Header RDAIFF_impl::readChunkHead() {
    chunk::Header head;
    const chunk::HeadRead r =
        failed ? chunk::HeadRead::noId : file.readHead(chunk::ByteOrder::big, head);
    if (r == chunk::HeadRead::ok)
        return head;
    failed = true;
    throw r == chunk::HeadRead::noId ? text::kNoChunkId : text::kNoChunkSize;
}

void RDAIFF_impl::readComm(std::uint32_t chunkSize, std::uint32_t formSize) {
    if (chunkSize < kCommBytes)
        throw text::kCommTooSmall;
    if (!readS16(n_channels))
        throw text::kNoChannels;
    if (n_channels < 1 || n_channels > 1000)
        throw text::kBadChannels;
    if (!readU32(n_frames))
        throw text::kNoFrames;
    remaining = n_frames;
    if (!readS16(n_bits))
        throw text::kNoBits;
    if (n_bits < 1 || n_bits > 56)
        throw text::kBadBits;
    n_bytes = static_cast<std::int16_t>((n_bits + 7) / 8);

    // At most 1000 * (2^32 - 1) * 7, well inside 64 bits.
    const std::int64_t required = kMinimalFormSize + std::int64_t{n_channels} * n_frames * n_bytes;
    if (required <= kLargestComparedSize && required > std::int64_t{formSize})
        throw text::kSuspiciousForm;

    unsigned char extended[10];
    if (!readBytes(extended, 10))
        throw text::kNoRate;
    rate = tarvio::aiff::decode_extended(extended);
    if (!(rate > 0.0 && rate <= 1000000.0))
        throw text::kBadRate;
}

RDAIFF_impl::SsndFields RDAIFF_impl::readSsnd() {
    // A file that ends inside these two fields must never yield samples, so
    // their read is checked like the offset skip.
    SsndFields f;
    if (!readU32(f.offset) || !readU32(f.blockSize))
        throw text::kSsndOffset;
    if (file.skip(f.offset) == chunk::Skip::failed)
        throw text::kSsndOffset;
    data_pos = file.tell();
    return f;
}

// The chunk size counts the offset and block-size fields, the offset bytes
// and the samples, so the data ends chunkSize - 8 bytes after the block-size
// field. With a block size the end is rounded up to a whole number of blocks.
// A size below 8 wraps, in unsigned 32 bits, to a move of nearly 4 GiB
// forward. The end is formed in 64 bits: no size and block size can wrap it
// around, and the walk never moves backwards, even when the data offset
// points past the chunk's end.
void RDAIFF_impl::skipSamples(std::uint32_t chunkSize, SsndFields fields) {
    const std::uint64_t dataBytes = static_cast<std::uint32_t>(chunkSize - 8u);
    std::uint64_t fill = 0;
    if (fields.blockSize != 0 && dataBytes % fields.blockSize != 0)
        fill = fields.blockSize - dataBytes % fields.blockSize;
    const std::uint64_t end = dataBytes + fill;
    const std::uint64_t count = end > fields.offset ? end - fields.offset : 0;
    // A failed move is noticed at the next chunk id, which cannot be read.
    if (file.skipRest(count, end % 2 != 0) == chunk::Skip::failed)
        failed = true;
}

void RDAIFF_impl::seekSamples() {
    // A reader that failed earlier refuses the move and stays failed.
    if (failed || !file.seek(data_pos)) {
        failed = true;
        throw text::kRewindFailed;
    }
}

bool RDAIFF_impl::readBytes(unsigned char* p, std::size_t n) {
    if (!failed && file.read(p, n) == n)
        return true;
    failed = true;
    return false;
}

bool RDAIFF_impl::readU32(std::uint32_t& v) {
    unsigned char b[4];
    if (!readBytes(b, 4))
        return false;
    v = tarvio::bytes::getU32BE(b);
    return true;
}

bool RDAIFF_impl::readS16(std::int16_t& v) {
    unsigned char b[2];
    if (!readBytes(b, 2))
        return false;
    v = tarvio::bytes::getS16BE(b);
    return true;
}

void RDAIFF_impl::info(std::ostream& os) {
    static const char* const line = "-----------------------------------------\n";
    if (!file.isOpen())
        throw text::kNotOpen;
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

// The checks of a read's arguments, in the order of their messages.
// `maxBits` is the widest sample (8 * bytes per sample) the destination
// holds exactly, 0 for none.
void checkRead(const RDAIFF_impl& s, const void* dst, long frames, int maxBits) {
    if (maxBits != 0 && 8 * s.n_bytes > maxBits)
        throw text::kDoesNotFit;
    if (!s.file.isOpen())
        throw text::kReadClosed;
    if (dst == nullptr)
        throw text::kNullDestination;
    if (frames < 0)
        throw text::kNegativeFrames;
    if (static_cast<unsigned long>(frames) > s.remaining)
        throw text::kTooManyFrames;
}

// The common body of the seven read overloads: whole frames are read in
// pieces of at most kReadPieceBytes (at least one frame, however wide).
template <typename T>
void readFrames(RDAIFF_impl& s, T* dst, long frames, int maxBits) {
    checkRead(s, dst, frames, maxBits);
    if (frames == 0)
        return;
    // A reader that failed before (a short file, or a header that failed
    // validation) fails again at the first sample.
    if (s.failed)
        throw text::kReadFailed;

    const std::size_t sampleBytes = static_cast<std::size_t>(s.n_bytes);
    const std::size_t channels = static_cast<std::size_t>(s.n_channels);
    const std::size_t frameBytes = sampleBytes * channels;
    std::size_t framesLeft = static_cast<std::size_t>(frames);
    const std::size_t pieceFrames =
        std::min(framesLeft, std::max<std::size_t>(kReadPieceBytes / frameBytes, 1));
    if (s.buffer.size() < pieceFrames * frameBytes)
        s.buffer.resize(pieceFrames * frameBytes);
    // Floating-point destinations get value / 2^(8 * bytes - 1), exact for
    // every width the fit test lets through.
    const tarvio::pcm::Decoder<T> decode =
        tarvio::pcm::pickDecoder<T>(s.n_bytes, tarvio::pcm::ByteOrder::Big);

    while (framesLeft > 0) {
        const std::size_t n = std::min(framesLeft, pieceFrames);
        const std::size_t wanted = n * frameBytes;
        const std::size_t got = s.file.read(s.buffer.data(), wanted);
        // What arrived is stored, an incomplete last frame too; only whole
        // frames count as read.
        const std::size_t samples = got / sampleBytes;
        decode(s.buffer.data(), samples, dst);
        dst += samples;
        s.remaining -= static_cast<std::uint32_t>(samples / channels);
        if (got != wanted) {
            s.failed = true;
            throw text::kReadFailed;
        }
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
    delete impl;  // closes an open file
}

void RDAIFF::open(const char* name) {
    impl->open(name);
}

bool RDAIFF::is_open() {
    return impl->file.isOpen();
}

void RDAIFF::info(std::ostream& os) {
    impl->info(os);
}

double RDAIFF::samplerate() {
    if (!impl->file.isOpen())
        throw text::kNoRateClosed;
    return impl->rate;
}

short RDAIFF::channels() {
    if (!impl->file.isOpen())
        throw text::kNoChannelsClosed;
    return impl->n_channels;
}

short RDAIFF::bits() {
    if (!impl->file.isOpen())
        throw text::kNoBitsClosed;
    return impl->n_bits;
}

long long RDAIFF::frames() {
    if (!impl->file.isOpen())
        throw text::kNoFramesClosed;
    return static_cast<long long>(impl->n_frames);
}

long long RDAIFF::frames_togo() {
    if (!impl->file.isOpen())
        throw text::kNoFramesToGoClosed;
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
    if (!impl->file.isOpen())
        throw text::kRewindClosed;
    impl->seekSamples();
    impl->remaining = impl->n_frames;
}

void RDAIFF::close() {
    if (!impl->file.isOpen())
        throw text::kCloseClosed;
    impl->file.close();
}
