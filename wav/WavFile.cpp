// SPDX-License-Identifier: MIT
// WAV reading and writing. Every header field and every sample is encoded and
// decoded byte by byte (little-endian) through common/byteorder.h, so the code
// works the same on any host and never depends on the layout of the structs.
// (The AVX2 decoder of 16-bit samples in wav/Pcm16Decode.cpp, built for x86
// only, loads the little-endian samples as they are.)

// Large-file offsets for fseeko/ftello also on 32-bit hosts; must come before
// the first system header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "wav/WavFile.h"

#include <sys/types.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "common/ChunkReader.h"
#include "common/byteorder.h"
#include "wav/Pcm16Decode.h"

namespace bytes = tarvio::bytes;

// The four tags of the format, each four characters and a terminating zero.
static const char riffStr[] = "RIFF";
static const char waveStr[] = "WAVE";
static const char fmtStr[] = "fmt ";
static const char dataStr[] = "data";

namespace {

// Size of the canonical header and of the part of the format body we keep.
constexpr std::size_t kHeaderBytes = 44;
constexpr std::size_t kFormatBodyBytes = 16;

// Sample bytes are moved through the objects' byte buffers in pieces of at
// most this size, so a huge count never makes a huge allocation. Even, so a
// piece never splits a 16-bit sample.
constexpr std::size_t kChunkBytes = std::size_t{1} << 16;
constexpr int kChunkSamples = static_cast<int>(kChunkBytes / 2);

// The decoder of 16-bit samples to doubles: the last variant, chosen once.
void decodeDouble(const unsigned char* bytes, std::size_t samples, double* out) {
    static const tarvio::wav::Pcm16Decoder decode = tarvio::wav::pcm16Variants().back().decode;
    decode(bytes, samples, out);
}

// The 32-bit RIFF length counts the 36 header bytes after it plus the data.
constexpr std::uint32_t kMaxDataBytes = 0xFFFFFFFFu - 36u;

// A message that names a file: `before`, the name in double quotes, `after`.
struct NamingText {
    const char* before;
    const char* after;
};

std::string naming(NamingText text, const char* name) {
    return std::string(text.before) + '"' + name + '"' + text.after;
}

// The messages of WavInFile.
namespace inText {
constexpr NamingText kCannotOpen = {"unable to open file ", " for reading"};
constexpr NamingText kCorrupt = {"File ", " is corrupt or not a WAV file"};
constexpr NamingText kUnsupported = {"File ", " uses unsupported encoding"};
constexpr char kByteReadWidth[] = "WavInFile::read (char*, int) works only with 8bit samples";
constexpr char kReadWidth[] = "WavInFile::read works only with 8bit or 16bit samples";
constexpr char kRewindClosed[] = "WavInFile::rewind: the file is closed";
constexpr char kRewindSeek[] = "WavInFile::rewind: cannot seek to the start of the file";
constexpr char kRewindChanged[] =
    "WavInFile::rewind: the header of the file no longer parses; the file has changed";
}  // namespace inText

// The messages of WavOutFile.
namespace outText {
constexpr NamingText kCannotOpen = {"unable to open file ", " for writing"};
constexpr char kByteWriteWidth[] = "WavOutFile::write (const char*, int) accepts only 8bit samples";
constexpr char kWriteWidth[] = "WavOutFile::write works only with 8bit or 16bit samples";
constexpr char kWriteError[] = "cannot write to a wav file";
constexpr char kTooLong[] =
    "WavOutFile::write: the data would exceed the 4294967259 bytes a wav file can hold";
}  // namespace outText

bool sameTag(const char* a, const char* b) {
    return std::memcmp(a, b, 4) == 0;
}

// The first 16 bytes of a format block's body, in file order.
void encodeFormatBody(const WavFormat& f, unsigned char* b) {
    bytes::putU16LE(b, f.format_tag);
    bytes::putU16LE(b + 2, static_cast<std::uint16_t>(f.channel_count));
    bytes::putU32LE(b + 4, f.samples_per_sec);
    bytes::putU32LE(b + 8, f.avg_bytes_per_sec);
    bytes::putU16LE(b + 12, static_cast<std::uint16_t>(f.block_align));
    bytes::putU16LE(b + 14, static_cast<std::uint16_t>(f.bits_per_sample));
}

void decodeFormatBody(const unsigned char* b, WavFormat& f) {
    f.format_tag = bytes::getU16LE(b);
    f.channel_count = bytes::getS16LE(b + 2);
    f.samples_per_sec = bytes::getU32LE(b + 4);
    f.avg_bytes_per_sec = bytes::getU32LE(b + 8);
    f.block_align = bytes::getS16LE(b + 12);
    f.bits_per_sample = bytes::getS16LE(b + 14);
}

void encodeHeader(const WavFileHeader& h, unsigned char* b) {
    std::memcpy(b, h.riff.riff_id, 4);
    bytes::putU32LE(b + 4, h.riff.riff_length);
    std::memcpy(b + 8, h.riff.form_type, 4);
    std::memcpy(b + 12, h.format.format_id, 4);
    bytes::putU32LE(b + 16, h.format.format_length);
    encodeFormatBody(h.format, b + 20);
    std::memcpy(b + 36, h.data.data_id, 4);
    bytes::putU32LE(b + 40, h.data.data_length);
}

// Floating-point sample to 16 bits: x * 32768 truncated toward zero, limited
// to -32768..32767; NaN has no sensible value and becomes silence.
short toSample(short v) {
    return v;
}
short toSample(double x) {
    if (std::isnan(x))
        return 0;
    const double p = x * 32768.0;
    if (p >= 32767.0)
        return 32767;
    if (p <= -32768.0)
        return -32768;
    return static_cast<short>(p);
}
short toSample(float x) {
    return toSample(static_cast<double>(x));
}

}  // namespace

// ---------------------------------------------------------------- WavInFile

WavInFile::WavInFile(const char* fileName) : header(), dataBytesRead(0), readFailed(false) {
    if (!input.open(fileName))
        throw std::runtime_error(naming(inText::kCannotOpen, fileName));
    if (readWavHeaders() != 0) {
        close();
        throw std::runtime_error(naming(inText::kCorrupt, fileName));
    }
    if (header.format.format_tag != 1) {
        close();
        throw std::runtime_error(naming(inText::kUnsupported, fileName));
    }
    dataBytesRead = 0;
}

WavInFile::~WavInFile() {
    close();
}

// Parses the header from the start of the file: 0 when it is valid, 1 when
// the RIFF part or the block scan fails, -1 when a tag is missing (the data
// block came before any format block). Leaves the stream at the first sample.
int WavInFile::readWavHeaders() {
    header = WavFileHeader();
    // The size of the file bounds every skip; a stream that cannot seek is
    // skipped by reading instead.
    if (!input.measureSize())
        return 1;
    if (readRIFFBlock() != 0)
        return 1;
    for (;;) {
        const int r = readHeaderBlock();
        if (r < 0)
            return 1;
        if (r == 1)
            break;
    }
    return checkCharTags();
}

int WavInFile::readRIFFBlock() {
    unsigned char b[12] = {};  // a short read leaves zeros, which fail the check
    const std::size_t got = input.read(b, sizeof b);
    (void)got;
    std::memcpy(header.riff.riff_id, b, 4);
    header.riff.riff_length = bytes::getU32LE(b + 4);
    std::memcpy(header.riff.form_type, b + 8, 4);
    return sameTag(header.riff.riff_id, riffStr) && sameTag(header.riff.form_type, waveStr) ? 0
                                                                                            : -1;
}

// Consumes one block: 1 when the data block's head was read (the stream then
// stands at its first sample), 0 when the scan goes on, -1 on failure.
int WavInFile::readHeaderBlock() {
    namespace chunk = tarvio::chunk;
    chunk::Header head;
    if (input.readHead(chunk::ByteOrder::little, head) != chunk::HeadRead::ok)
        return -1;
    // Ids are printable up to 'z'; a zero byte ends the check.
    for (int i = 0; i < 4 && head.id[i] != 0; ++i) {
        const unsigned char c = static_cast<unsigned char>(head.id[i]);
        if (c < 0x20 || c > 0x7A)
            return -1;
    }
    if (sameTag(head.id, fmtStr))
        return readFormatBody(head.size) ? 0 : -1;
    if (sameTag(head.id, dataStr)) {
        std::memcpy(header.data.data_id, dataStr, 4);
        header.data.data_length = head.size;
        return 1;
    }
    return input.skipRest(head.size, head.pad) == chunk::Skip::done ? 0 : -1;
}

bool WavInFile::readFormatBody(std::uint32_t length) {
    std::memcpy(header.format.format_id, fmtStr, 4);
    header.format.format_length = length;
    // A body shorter than 16 bytes overwrites only the bytes it has, so start
    // from the fields as they stand (zero unless an earlier format block set
    // them).
    unsigned char body[kFormatBodyBytes];
    encodeFormatBody(header.format, body);
    const std::size_t take = std::min<std::size_t>(length, kFormatBodyBytes);
    if (input.read(body, take) != take)
        return false;
    decodeFormatBody(body, header.format);
    const std::uint64_t rest = length - take;
    return input.skipRest(rest, (length & 1u) != 0) == tarvio::chunk::Skip::done;
}

int WavInFile::checkCharTags() const {
    return sameTag(header.format.format_id, fmtStr) && sameTag(header.data.data_id, dataStr) ? 0
                                                                                             : -1;
}

std::size_t WavInFile::readDataBytes(unsigned char* dst, std::size_t wanted) {
    const std::uint32_t left = header.data.data_length - dataBytesRead;
    if (wanted > left)
        wanted = left;
    if (wanted == 0 || !input.isOpen())
        return 0;
    const std::size_t got = input.read(dst, wanted);
    dataBytesRead += static_cast<std::uint32_t>(got);
    if (got < wanted && input.readError())
        readFailed = true;
    return got;
}

unsigned char* WavInFile::bytesFor(std::size_t size) {
    if (byteBuffer.size() < size)
        byteBuffer.resize(size);
    return byteBuffer.data();
}

int WavInFile::read(char* buffer, int maxElems) {
    if (header.format.bits_per_sample != 8)
        throw std::runtime_error(inText::kByteReadWidth);
    if (maxElems <= 0)
        return 0;
    return static_cast<int>(readDataBytes(reinterpret_cast<unsigned char*>(buffer),
                                          static_cast<std::size_t>(maxElems)));
}

int WavInFile::read(short* buffer, int maxElems) {
    if (maxElems <= 0)
        return 0;
    const int bits = header.format.bits_per_sample;
    if (bits != 8 && bits != 16)
        throw std::runtime_error(inText::kReadWidth);
    const std::size_t width = static_cast<std::size_t>(bits / 8);

    std::size_t samplesLeft = static_cast<std::size_t>(maxElems);
    int stored = 0;
    while (samplesLeft > 0) {
        const std::size_t wanted = std::min(samplesLeft * width, kChunkBytes);
        unsigned char* raw = bytesFor(wanted);
        const std::size_t got = readDataBytes(raw, wanted);
        const std::size_t samples = got / width;
        if (width == 1) {
            for (std::size_t i = 0; i < samples; ++i)
                buffer[i] = static_cast<short>((raw[i] - 128) * 256);
        } else {
            for (std::size_t i = 0; i < samples; ++i)
                buffer[i] = bytes::getS16LE(raw + 2 * i);
        }
        buffer += samples;
        stored += static_cast<int>(samples);
        samplesLeft -= samples;
        if (got < wanted)
            break;
    }
    return stored;
}

template <typename T>
int WavInFile::readScaled(T* buffer, int maxElems) {
    if (maxElems <= 0)
        return 0;
    const T scale = T(1) / T(32768);  // a power of two: the products are exact
    int stored = 0;
    if (header.format.bits_per_sample == 16) {
        // The usual case decodes the file's bytes straight into the caller's
        // buffer, in one pass, without the 16-bit array in between.
        while (stored < maxElems) {
            const int wantedSamples = std::min(maxElems - stored, kChunkSamples);
            const std::size_t wanted = 2 * static_cast<std::size_t>(wantedSamples);
            unsigned char* raw = bytesFor(wanted);
            const std::size_t got = readDataBytes(raw, wanted);
            const int samples = static_cast<int>(got / 2);  // an odd last byte yields none
            T* out = buffer + stored;
            if constexpr (std::is_same<T, double>::value) {
                decodeDouble(raw, static_cast<std::size_t>(samples), out);
            } else {
                for (int i = 0; i < samples; ++i)
                    out[i] = static_cast<T>(bytes::getS16LE(raw + 2 * i)) * scale;
            }
            stored += samples;
            if (got < wanted)
                break;
        }
        return stored;
    }
    while (stored < maxElems) {
        const int wanted = std::min(maxElems - stored, kChunkSamples);
        if (convertBuffer.size() < static_cast<std::size_t>(wanted))
            convertBuffer.resize(wanted);
        const int got = read(convertBuffer.data(), wanted);
        for (int i = 0; i < got; ++i)
            buffer[stored + i] = static_cast<T>(convertBuffer[i]) * scale;
        stored += got;
        if (got < wanted)
            break;
    }
    return stored;
}

int WavInFile::read(float* buffer, int maxElems) {
    return readScaled(buffer, maxElems);
}
int WavInFile::read(double* buffer, int maxElems) {
    return readScaled(buffer, maxElems);
}

// A read error other than the end of the file also ends the data: nothing
// more will come, and a caller looping until eof() must stop.
int WavInFile::eof() const {
    if (dataBytesRead == header.data.data_length)
        return 1;
    if (!input.isOpen() || readFailed)
        return 1;
    return input.atEnd() ? 1 : 0;
}

bool WavInFile::hasReadError() const {
    return readFailed;
}

void WavInFile::rewind() {
    if (!input.isOpen())
        throw std::runtime_error(inText::kRewindClosed);
    dataBytesRead = 0;
    readFailed = false;
    // The seek drops what the stream has buffered: the header is read from
    // the file as it is now.
    if (!input.seek(0)) {
        header.data.data_length = 0;  // nothing more can be read
        throw std::runtime_error(inText::kRewindSeek);
    }
    if (readWavHeaders() != 0) {
        header.data.data_length = 0;
        throw std::runtime_error(inText::kRewindChanged);
    }
}

void WavInFile::close() {
    input.close();
}

int WavInFile::getNumChannels() const {
    return header.format.channel_count;
}

int WavInFile::getNumBits() const {
    return header.format.bits_per_sample;
}

unsigned WavInFile::getBytesPerSample() const {
    return static_cast<unsigned>(header.format.bits_per_sample * header.format.channel_count / 8);
}

unsigned WavInFile::getSampleRate() const {
    return header.format.samples_per_sec;
}

unsigned WavInFile::getDataSizeInBytes() const {
    return header.data.data_length;
}

// The frame size is stored in 16 bits without a sign in the file: frames of
// 32768 bytes or more (16-bit audio with more than 16383 channels) come out
// negative in the signed field and are taken back as what the file says.
unsigned WavInFile::getNumSamples() const {
    const std::uint32_t frameBytes = static_cast<std::uint16_t>(header.format.block_align);
    if (frameBytes == 0)
        return 0;  // no frame size, no frames
    return header.data.data_length / frameBytes;
}

unsigned WavInFile::getLengthMS() const {
    if (header.format.samples_per_sec == 0)
        return 0;
    const std::uint64_t ms = std::uint64_t{getNumSamples()} * 1000u / header.format.samples_per_sec;
    return static_cast<unsigned>(std::min<std::uint64_t>(ms, 0xFFFFFFFFu));
}

// --------------------------------------------------------------- WavOutFile

WavOutFile::WavOutFile(const char* fileName, int sampleRate, int bits, int channels)
    : fileHandle(nullptr), header(), dataBytesWritten(0) {
    fileHandle = std::fopen(fileName, "wb");
    if (!fileHandle)
        throw std::runtime_error(naming(outText::kCannotOpen, fileName));
    fillInHeader(static_cast<unsigned>(sampleRate), static_cast<unsigned>(bits),
                 static_cast<unsigned>(channels));
    writeHeader();
}

WavOutFile::~WavOutFile() {
    close();
}

void WavOutFile::fillInHeader(unsigned sampleRate, unsigned bits, unsigned channels) {
    std::memcpy(header.riff.riff_id, riffStr, 4);
    header.riff.riff_length = 0;
    std::memcpy(header.riff.form_type, waveStr, 4);

    std::memcpy(header.format.format_id, fmtStr, 4);
    header.format.format_length = 16;
    header.format.format_tag = 1;
    header.format.channel_count = bytes::toSigned16(static_cast<std::uint16_t>(channels & 0xFFFFu));
    header.format.bits_per_sample = bytes::toSigned16(static_cast<std::uint16_t>(bits & 0xFFFFu));
    header.format.samples_per_sec = sampleRate;
    const std::uint32_t frameBits = static_cast<std::uint32_t>(bits) * channels;
    header.format.block_align =
        bytes::toSigned16(static_cast<std::uint16_t>((frameBits >> 3) & 0xFFFFu));
    header.format.avg_bytes_per_sec =
        static_cast<std::uint32_t>(static_cast<std::int32_t>(header.format.block_align)) *
        sampleRate;

    std::memcpy(header.data.data_id, dataStr, 4);
    header.data.data_length = 0;
}

void WavOutFile::writeHeader() {
    if (!fileHandle)
        return;
    unsigned char b[kHeaderBytes];
    encodeHeader(header, b);
    fseeko(fileHandle, 0, SEEK_SET);
    const std::size_t written = std::fwrite(b, 1, sizeof b, fileHandle);
    (void)written;
    fseeko(fileHandle, 0, SEEK_END);
}

void WavOutFile::finishHeader() {
    header.riff.riff_length = dataBytesWritten + 36u;
    header.data.data_length = dataBytesWritten;
    writeHeader();
}

void WavOutFile::close() {
    if (fileHandle) {
        finishHeader();
        std::fclose(fileHandle);
        fileHandle = nullptr;
    }
}

void WavOutFile::write(const char* buffer, int numElems) {
    if (header.format.bits_per_sample != 8)
        throw std::runtime_error(outText::kByteWriteWidth);
    if (numElems <= 0)
        return;
    const std::size_t count = static_cast<std::size_t>(numElems);
    if (count > kMaxDataBytes - dataBytesWritten)
        throw std::runtime_error(outText::kTooLong);
    if (!fileHandle || std::fwrite(buffer, 1, count, fileHandle) != count)
        throw std::runtime_error(outText::kWriteError);
    dataBytesWritten += static_cast<std::uint32_t>(count);
}

template <typename T>
void WavOutFile::writeSamples(const T* buffer, int numElems) {
    if (numElems <= 0)
        return;
    const int bits = header.format.bits_per_sample;
    if (bits != 8 && bits != 16)
        throw std::runtime_error(outText::kWriteWidth);
    const std::size_t width = static_cast<std::size_t>(bits / 8);
    const std::size_t count = static_cast<std::size_t>(numElems);
    const std::uint64_t total = std::uint64_t{count} * width;
    // Refused whole, before anything is written: the lengths must fit the
    // header's 32-bit fields.
    if (total > kMaxDataBytes - dataBytesWritten)
        throw std::runtime_error(outText::kTooLong);
    if (!fileHandle)
        throw std::runtime_error(outText::kWriteError);

    const std::size_t chunkSamples = kChunkBytes / width;
    if (byteBuffer.size() < std::min<std::size_t>(count, chunkSamples) * width)
        byteBuffer.resize(std::min<std::size_t>(count, chunkSamples) * width);
    unsigned char* out = byteBuffer.data();
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(count - done, chunkSamples);
        const T* in = buffer + done;
        if (width == 1) {
            // The high byte, offset to the unsigned 8-bit encoding.
            for (std::size_t i = 0; i < n; ++i)
                out[i] = static_cast<unsigned char>((toSample(in[i]) + 32768) >> 8);
        } else {
            for (std::size_t i = 0; i < n; ++i)
                bytes::putU16LE(out + 2 * i, static_cast<std::uint16_t>(toSample(in[i])));
        }
        if (std::fwrite(out, 1, n * width, fileHandle) != n * width)
            throw std::runtime_error(outText::kWriteError);
        done += n;
    }
    dataBytesWritten += static_cast<std::uint32_t>(total);
}

void WavOutFile::write(const short* buffer, int numElems) {
    writeSamples(buffer, numElems);
}
void WavOutFile::write(const float* buffer, int numElems) {
    writeSamples(buffer, numElems);
}
void WavOutFile::write(const double* buffer, int numElems) {
    writeSamples(buffer, numElems);
}
