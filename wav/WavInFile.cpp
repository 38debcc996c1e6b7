// SPDX-License-Identifier: MIT
// The WAV reader. Every header field is decoded byte by byte (little-endian)
// through common/byteorder.h, and the samples by pcm, so the code works the
// same on any host and never depends on the layout of the structs.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/ChunkReader.h"
#include "common/byteorder.h"
#include "pcm/Pcm.h"
#include "wav/WavFile.h"
#include "wav/WavLayout.h"
#include "wav/WavShared.h"

namespace bytes = tarvio::bytes;
namespace pcm = tarvio::pcm;
using namespace tarvio::wav;

namespace {

// The messages of WavInFile.
namespace inText {
constexpr NamingText kCannotOpen = {"unable to open file ", " for reading"};
constexpr NamingText kCorrupt = {"File ", " is corrupt or not a WAV file"};
constexpr NamingText kUnsupported = {"File ", " uses unsupported encoding"};
constexpr char kByteReadWidth[] = "WavInFile::read (char*, int) works only with 8bit samples";
constexpr char kReadWidth[] = "WavInFile::read works only with 8bit or 16bit samples";
constexpr char kRawWidth[] = "WavInFile::readRaw16 works only with 16bit samples";
constexpr char kRewindClosed[] = "WavInFile::rewind: the file is closed";
constexpr char kRewindSeek[] = "WavInFile::rewind: cannot seek to the start of the file";
constexpr char kRewindChanged[] =
    "WavInFile::rewind: the header of the file no longer parses; the file has changed";
}  // namespace inText

}  // namespace

// ---------------------------------------------------------------- WavInFile

WavInFile::WavInFile(const char* fileName) : header(), dataBytesRead(0), readFailed(false) {
    if (!input.open(fileName))
        throw std::runtime_error(naming(inText::kCannotOpen, fileName));
    if (readWavHeaders() != 0) {
        close();
        throw std::runtime_error(naming(inText::kCorrupt, fileName));
    }
    if (header.format.format_tag != kFormatPcm) {
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
    unsigned char b[kRiffHeaderBytes] = {};  // a short read leaves zeros, which fail the check
    const std::size_t got = input.read(b, sizeof b);
    (void)got;
    std::memcpy(header.riff.riff_id, b + kRiffIdAt, 4);
    header.riff.riff_length = bytes::getU32LE(b + kRiffLengthAt);
    std::memcpy(header.riff.form_type, b + kFormTypeAt, 4);
    return sameTag(header.riff.riff_id, kRiffTag) && sameTag(header.riff.form_type, kWaveTag) ? 0
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
    if (sameTag(head.id, kFormatTag))
        return readFormatBody(head.size) ? 0 : -1;
    if (sameTag(head.id, kDataTag)) {
        std::memcpy(header.data.data_id, kDataTag, 4);
        header.data.data_length = head.size;
        return 1;
    }
    return input.skipRest(head.size, head.pad) == chunk::Skip::done ? 0 : -1;
}

bool WavInFile::readFormatBody(std::uint32_t length) {
    std::memcpy(header.format.format_id, kFormatTag, 4);
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
    return sameTag(header.format.format_id, kFormatTag) && sameTag(header.data.data_id, kDataTag)
               ? 0
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
    static const pcm::Decoder<short> decodeShort =
        pcm::pickDecoder<short>(2, pcm::ByteOrder::Little);
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
                buffer[i] = pcm::s16_from_u8(raw[i]);
        } else {
            decodeShort(raw, samples, buffer);
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
        static const pcm::Decoder<T> decode = pcm::pickDecoder<T>(2, pcm::ByteOrder::Little);
        // The usual case decodes the file's bytes straight into the caller's
        // buffer, in one pass, without the 16-bit array in between.
        while (stored < maxElems) {
            const int wantedSamples = std::min(maxElems - stored, kChunkSamples);
            const std::size_t wanted = 2 * static_cast<std::size_t>(wantedSamples);
            unsigned char* raw = bytesFor(wanted);
            const std::size_t got = readDataBytes(raw, wanted);
            const int samples = static_cast<int>(got / 2);  // an odd last byte yields none
            decode(raw, static_cast<std::size_t>(samples), buffer + stored);
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

int WavInFile::readRaw16(const unsigned char*& bytes, int maxElems) {
    if (header.format.bits_per_sample != 16)
        throw std::runtime_error(inText::kRawWidth);
    const std::size_t wanted = 2 * static_cast<std::size_t>(std::max(maxElems, 0));
    unsigned char* raw = bytesFor(wanted);
    bytes = raw;
    return static_cast<int>(readDataBytes(raw, wanted) / 2);  // an odd last byte yields none
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
