// SPDX-License-Identifier: MIT
// Builders for hand-made WAV files: the RIFF part, blocks with or without the
// pad byte, format bodies of any length, and whole PCM files whose fields a
// test may falsify. Shared by the tests and the fuzz targets' seed maker.
#ifndef TARVIO_TESTS_SUPPORT_WAVFIXTURES_H
#define TARVIO_TESTS_SUPPORT_WAVFIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Bytes.h"

namespace wavfix {

using testsupport::Bytes;

struct Format {
    std::uint16_t tag = 1;
    int channels = 1;
    std::uint32_t rate = 8000;
    int bits = 16;
    int blockAlign = -1;  // -1: bits * channels / 8
};

// The 16 standard bytes of a format body, cut or zero-extended to `length`.
inline Bytes formatBody(const Format& f, std::size_t length = 16) {
    const int align = f.blockAlign >= 0 ? f.blockAlign : f.bits * f.channels / 8;
    Bytes b;
    testsupport::appendLE(b, f.tag, 2);
    testsupport::appendLE(b, static_cast<std::uint16_t>(f.channels), 2);
    testsupport::appendLE(b, f.rate, 4);
    testsupport::appendLE(b, static_cast<std::uint32_t>(align) * f.rate, 4);
    testsupport::appendLE(b, static_cast<std::uint16_t>(align), 2);
    testsupport::appendLE(b, static_cast<std::uint16_t>(f.bits), 2);
    b.resize(length, 0);
    return b;
}

// "RIFF", a length (never checked by the reader) and "WAVE".
inline Bytes riffPart() {
    Bytes b;
    testsupport::appendTag(b, "RIFF");
    testsupport::appendLE(b, 0, 4);
    testsupport::appendTag(b, "WAVE");
    return b;
}

// Appends a block; `declared` overrides the length field, `pad` adds the
// zero byte RIFF puts after a body of odd length.
inline void addBlock(Bytes& b, const char id[4], const Bytes& body, bool pad = false,
                     std::int64_t declared = -1) {
    testsupport::appendTag(b, id);
    testsupport::appendLE(b, declared >= 0 ? std::uint64_t(declared) : body.size(), 4);
    b.insert(b.end(), body.begin(), body.end());
    if (pad && body.size() % 2 == 1)
        b.push_back(0);
}

// 16-bit little-endian samples as bytes.
inline Bytes pcm16(const std::vector<int>& samples) {
    Bytes b;
    for (int s : samples)
        testsupport::appendLE(b, static_cast<std::uint16_t>(s), 2);
    return b;
}

// A canonical file: RIFF part, a 16-byte format block, the data block.
inline Bytes canonical(const Format& f, const Bytes& data) {
    Bytes b = riffPart();
    addBlock(b, "fmt ", formatBody(f));
    addBlock(b, "data", data);
    return b;
}

// A PCM WAV file built byte by byte; a test overrides the fields it falsifies,
// everything else follows the sample format.
struct WavSpec {
    int channels = 1;
    std::uint32_t rate = 44100;
    int bits = 16;
    std::vector<std::int16_t> samples;  // 16-bit samples, interleaved
    long blockAlign = -1;               // -1: bits * channels / 8
    long long dataLength = -1;          // -1: the bytes of `samples`
    Bytes before;                       // blocks between "WAVE" and "fmt "
};

// The file of `w`, with a RIFF length that counts what is really there.
inline Bytes wavBytes(const WavSpec& w) {
    Format f;
    f.channels = w.channels;
    f.rate = w.rate;
    f.bits = w.bits;
    f.blockAlign = static_cast<int>(w.blockAlign);
    Bytes data;
    for (std::int16_t s : w.samples)
        testsupport::appendLE(data, static_cast<std::uint16_t>(s), 2);
    Bytes b = riffPart();
    b.insert(b.end(), w.before.begin(), w.before.end());
    addBlock(b, "fmt ", formatBody(f));
    addBlock(b, "data", data, false, w.dataLength);
    const std::uint64_t riffLength = 36 + w.before.size() + data.size();
    for (int i = 0; i < 4; ++i)
        b[4 + i] = static_cast<unsigned char>((riffLength >> (8 * i)) & 0xFF);
    return b;
}

inline std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

}  // namespace wavfix

#endif  // TARVIO_TESTS_SUPPORT_WAVFIXTURES_H
