// SPDX-License-Identifier: MIT
// What the WAV reader and writer share: the tags, the byte-wise encoding of
// the format body and the header, the piece size of sample transfers and the
// messages that name a file. Internal to the library.
#ifndef TARVIO_WAV_WAVSHARED_H
#define TARVIO_WAV_WAVSHARED_H

#include <cstddef>
#include <cstring>
#include <string>

#include "common/byteorder.h"
#include "wav/WavFile.h"
#include "wav/WavLayout.h"

namespace tarvio {
namespace wav {

// The four tags of the format, each four characters and a terminating zero.
inline constexpr char kRiffTag[] = "RIFF";
inline constexpr char kWaveTag[] = "WAVE";
inline constexpr char kFormatTag[] = "fmt ";
inline constexpr char kDataTag[] = "data";

inline bool sameTag(const char* a, const char* b) {
    return std::memcmp(a, b, 4) == 0;
}

// Sample bytes are moved through the objects' byte buffers in pieces of at
// most this size, so a huge count never makes a huge allocation. Even, so a
// piece never splits a 16-bit sample.
constexpr std::size_t kChunkBytes = std::size_t{1} << 16;
constexpr int kChunkSamples = static_cast<int>(kChunkBytes / 2);

// A message that names a file: `before`, the name in double quotes, `after`.
struct NamingText {
    const char* before;
    const char* after;
};

inline std::string naming(NamingText text, const char* name) {
    return std::string(text.before) + '"' + name + '"' + text.after;
}

// The first kFormatBodyBytes bytes of a format block's body, in file order.
inline void encodeFormatBody(const WavFormat& f, unsigned char* b) {
    bytes::putU16LE(b + kFormatTagAt, f.format_tag);
    bytes::putU16LE(b + kChannelsAt, static_cast<std::uint16_t>(f.channel_count));
    bytes::putU32LE(b + kSampleRateAt, f.samples_per_sec);
    bytes::putU32LE(b + kBytesPerSecondAt, f.avg_bytes_per_sec);
    bytes::putU16LE(b + kBlockAlignAt, static_cast<std::uint16_t>(f.block_align));
    bytes::putU16LE(b + kBitsAt, static_cast<std::uint16_t>(f.bits_per_sample));
}

inline void decodeFormatBody(const unsigned char* b, WavFormat& f) {
    f.format_tag = bytes::getU16LE(b + kFormatTagAt);
    f.channel_count = bytes::getS16LE(b + kChannelsAt);
    f.samples_per_sec = bytes::getU32LE(b + kSampleRateAt);
    f.avg_bytes_per_sec = bytes::getU32LE(b + kBytesPerSecondAt);
    f.block_align = bytes::getS16LE(b + kBlockAlignAt);
    f.bits_per_sample = bytes::getS16LE(b + kBitsAt);
}

// The canonical header of `h`, kHeaderBytes bytes.
inline void encodeHeader(const WavFileHeader& h, unsigned char* b) {
    std::memcpy(b + kRiffIdAt, h.riff.riff_id, 4);
    bytes::putU32LE(b + kRiffLengthAt, h.riff.riff_length);
    std::memcpy(b + kFormTypeAt, h.riff.form_type, 4);
    std::memcpy(b + kFormatIdAt, h.format.format_id, 4);
    bytes::putU32LE(b + kFormatLengthAt, h.format.format_length);
    encodeFormatBody(h.format, b + kFormatBodyAt);
    std::memcpy(b + kDataIdAt, h.data.data_id, 4);
    bytes::putU32LE(b + kDataLengthAt, h.data.data_length);
}

}  // namespace wav
}  // namespace tarvio

#endif  // TARVIO_WAV_WAVSHARED_H
