// Builders for hand-made WAV files: the RIFF part, blocks with or without the
// pad byte, and format bodies of any length.
#ifndef TARVIO_TESTS_WAV_WAVFIXTURES_H
#define TARVIO_TESTS_WAV_WAVFIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

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

inline std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

}  // namespace wavfix

#endif  // TARVIO_TESTS_WAV_WAVFIXTURES_H
