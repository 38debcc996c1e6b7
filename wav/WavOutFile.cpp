// SPDX-License-Identifier: MIT
// The WAV writer: the canonical 44-byte header (wav/WavLayout.h), written at
// open with both lengths 0 and again with the real ones when the file is
// closed, followed by the samples, encoded by pcm as little-endian integers.
// Floating-point samples are truncated toward zero (x * 32768 with the
// fraction dropped) and limited to the depth; NaN becomes 0.

// Large-file offsets for fseeko/ftello also on 32-bit hosts; must come before
// the first system header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "common/byteorder.h"
#include "pcm/Pcm.h"
#include "wav/WavFile.h"
#include "wav/WavLayout.h"
#include "wav/WavShared.h"

namespace bytes = tarvio::bytes;
namespace pcm = tarvio::pcm;
using namespace tarvio::wav;

namespace {

// The messages of WavOutFile.
namespace outText {
constexpr NamingText kCannotOpen = {"unable to open file ", " for writing"};
constexpr char kByteWriteWidth[] = "WavOutFile::write (const char*, int) accepts only 8bit samples";
constexpr char kWriteWidth[] = "WavOutFile::write works only with 8bit or 16bit samples";
constexpr char kWriteError[] = "cannot write to a wav file";
constexpr char kTooLong[] =
    "WavOutFile::write: the data would exceed the 4294967259 bytes a wav file can hold";
constexpr char kHeaderSeek[] = "WavOutFile: cannot seek to the header of the wav file";
constexpr char kHeaderWrite[] = "WavOutFile: cannot write the header of the wav file";
constexpr char kEndSeek[] = "WavOutFile: cannot seek to the end of the wav file";
constexpr char kCloseError[] = "WavOutFile: failure while closing the wav file";
}  // namespace outText

// The encoder of the caller's samples to 16-bit little-endian: short values
// are taken as they are, floating-point ones scaled and truncated toward zero.
template <typename T>
pcm::Encoder<T> encoder16() {
    static const pcm::Encoder<T> encode = pcm::pickEncoder<T>(
        pcm::Depth::forBits(16, pcm::Rounding::TowardZero), pcm::ByteOrder::Little);
    return encode;
}

const pcm::Depth& depth16() {
    static const pcm::Depth d = pcm::Depth::forBits(16, pcm::Rounding::TowardZero);
    return d;
}

}  // namespace

WavOutFile::WavOutFile(const char* fileName, int sampleRate, int bits, int channels)
    : fileHandle(nullptr), header(), dataBytesWritten(0) {
    fileHandle = std::fopen(fileName, "wb");
    if (!fileHandle)
        throw std::runtime_error(naming(outText::kCannotOpen, fileName));
    fillInHeader(static_cast<unsigned>(sampleRate), static_cast<unsigned>(bits),
                 static_cast<unsigned>(channels));
    // The new file's first bytes: no seek needed, and a device that takes no
    // data fails the first write of samples or the close, as with the AIFF
    // writer.
    unsigned char b[kHeaderBytes];
    encodeHeader(header, b);
    if (std::fwrite(b, 1, sizeof b, fileHandle) != sizeof b) {
        std::fclose(fileHandle);
        fileHandle = nullptr;
        throw std::runtime_error(outText::kHeaderWrite);
    }
}

// A failure to finish the file cannot leave a destructor: it is reported on
// standard error, as the AIFF writer reports the failure of its finish.
WavOutFile::~WavOutFile() {
    try {
        close();
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
    } catch (...) {
    }
}

void WavOutFile::fillInHeader(unsigned sampleRate, unsigned bits, unsigned channels) {
    std::memcpy(header.riff.riff_id, kRiffTag, 4);
    header.riff.riff_length = 0;
    std::memcpy(header.riff.form_type, kWaveTag, 4);

    std::memcpy(header.format.format_id, kFormatTag, 4);
    header.format.format_length = kFormatBodyBytes;
    header.format.format_tag = kFormatPcm;
    header.format.channel_count = bytes::toSigned16(static_cast<std::uint16_t>(channels & 0xFFFFu));
    header.format.bits_per_sample = bytes::toSigned16(static_cast<std::uint16_t>(bits & 0xFFFFu));
    header.format.samples_per_sec = sampleRate;
    const std::uint32_t frameBits = static_cast<std::uint32_t>(bits) * channels;
    header.format.block_align =
        bytes::toSigned16(static_cast<std::uint16_t>((frameBits >> 3) & 0xFFFFu));
    header.format.avg_bytes_per_sec =
        static_cast<std::uint32_t>(static_cast<std::int32_t>(header.format.block_align)) *
        sampleRate;

    std::memcpy(header.data.data_id, kDataTag, 4);
    header.data.data_length = 0;
}

void WavOutFile::writeHeader() {
    if (!fileHandle)
        return;
    unsigned char b[kHeaderBytes];
    encodeHeader(header, b);
    if (fseeko(fileHandle, 0, SEEK_SET) != 0)
        throw std::runtime_error(outText::kHeaderSeek);
    if (std::fwrite(b, 1, sizeof b, fileHandle) != sizeof b)
        throw std::runtime_error(outText::kHeaderWrite);
    if (fseeko(fileHandle, 0, SEEK_END) != 0)
        throw std::runtime_error(outText::kEndSeek);
}

void WavOutFile::finishHeader() {
    header.riff.riff_length = dataBytesWritten + kRiffOverhead;
    header.data.data_length = dataBytesWritten;
    writeHeader();
}

// The file is closed whichever step fails; the first failure is thrown.
void WavOutFile::close() {
    if (!fileHandle)
        return;
    std::FILE* f = fileHandle;
    try {
        finishHeader();
    } catch (...) {
        fileHandle = nullptr;
        std::fclose(f);
        throw;
    }
    fileHandle = nullptr;
    // fclose writes what the stream still holds: a full device fails here.
    if (std::fclose(f) != 0)
        throw std::runtime_error(outText::kCloseError);
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

    // Every sample is first encoded to 16 bits; 8-bit files then keep the
    // high byte, narrowed in place.
    const std::size_t chunkSamples = kChunkBytes / 2;
    const std::size_t bufferBytes = std::min<std::size_t>(count, chunkSamples) * 2;
    if (byteBuffer.size() < bufferBytes)
        byteBuffer.resize(bufferBytes);
    unsigned char* out = byteBuffer.data();
    const pcm::Encoder<T> encode = encoder16<T>();
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(count - done, chunkSamples);
        encode(buffer + done, n, out, depth16());
        if (width == 1) {
            for (std::size_t i = 0; i < n; ++i)
                out[i] = pcm::u8_from_s16(bytes::getS16LE(out + 2 * i));
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
