// SPDX-License-Identifier: MIT
// Hand-made AIFF files for the reader tests and the fuzz seeds.
#ifndef TARVIO_TESTS_SUPPORT_AIFFFIXTURES_H
#define TARVIO_TESTS_SUPPORT_AIFFFIXTURES_H

#include <cstdint>
#include <string>

#include "aiff/AiffLayout.h"
#include "aiff/rdaiff.h"
#include "tests/support/Bytes.h"

namespace fixture {

using testsupport::appendBE;
using testsupport::appendTag;
using testsupport::Bytes;

// The 80-bit extended encoding of a rate, as the writer makes it.
inline Bytes rate(double hz) {
    unsigned char b[tarvio::aiff::kExtendedBytes];
    tarvio::aiff::encode_extended(hz, b);
    return Bytes(b, b + sizeof b);
}

inline Bytes comm(int channels, std::uint32_t frames, int bits, Bytes rateBytes = rate(44100)) {
    Bytes b;
    appendBE(b, static_cast<std::uint16_t>(channels), 2);
    appendBE(b, frames, 4);
    appendBE(b, static_cast<std::uint16_t>(bits), 2);
    b.insert(b.end(), rateBytes.begin(), rateBytes.end());
    return b;
}

// SSND body: data offset, block size, `offset` filler bytes, then `data`.
inline Bytes ssnd(const Bytes& data, std::uint32_t offset = 0, std::uint32_t block = 0) {
    Bytes b;
    appendBE(b, offset, 4);
    appendBE(b, block, 4);
    b.insert(b.end(), offset, 0xEE);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// Appends a chunk; an odd-sized body gets its zero pad byte if `pad`.
inline void chunk(Bytes& out, const char* id, const Bytes& body, bool pad = true) {
    appendTag(out, id);
    appendBE(out, body.size(), 4);
    out.insert(out.end(), body.begin(), body.end());
    if (pad && body.size() % 2 != 0)
        out.push_back(0);
}

// FORM/AIFF around `chunks`, with the correct FORM size unless given one.
inline Bytes form(const Bytes& chunks, std::int64_t formSize = -1) {
    Bytes b;
    appendTag(b, "FORM");
    appendBE(b, formSize < 0 ? chunks.size() + 4 : static_cast<std::uint64_t>(formSize), 4);
    appendTag(b, "AIFF");
    b.insert(b.end(), chunks.begin(), chunks.end());
    return b;
}

// The plain layout: COMM then SSND, nothing else.
inline Bytes simple(int channels, int bits, const Bytes& data, Bytes rateBytes = rate(44100)) {
    const std::size_t frameBytes = static_cast<std::size_t>(channels * ((bits + 7) / 8));
    const std::size_t frames = frameBytes == 0 ? 0 : data.size() / frameBytes;
    Bytes c;
    chunk(c, "COMM", comm(channels, static_cast<std::uint32_t>(frames), bits, rateBytes));
    chunk(c, "SSND", ssnd(data));
    return form(c);
}

// The message `open` throws for the file, or "" when it opens.
inline std::string openError(const std::string& path) {
    RDAIFF in;
    try {
        in.open(path.c_str());
    } catch (const char* msg) {
        return msg;
    }
    return "";
}

// Runs `f` and returns the message it throws, or "" when it throws nothing.
template <typename F>
std::string thrown(F f) {
    try {
        f();
    } catch (const char* msg) {
        return msg;
    }
    return "";
}

}  // namespace fixture

#endif  // TARVIO_TESTS_SUPPORT_AIFFFIXTURES_H
