// SPDX-License-Identifier: MIT
// Facts about the chunks (blocks) of RIFF and IFF files that the WAV and the
// AIFF reader share. A chunk is a four-byte id, a 32-bit body size and the
// body; a body of odd size is followed by one pad byte. RIFF (WAV) stores the
// size little-endian, IFF (AIFF) big-endian.
#ifndef TARVIO_COMMON_CHUNK_H
#define TARVIO_COMMON_CHUNK_H

#include <cstdint>

namespace tarvio {
namespace chunk {

enum class ByteOrder { little, big };

// A chunk's head as it stands in the file.
struct Header {
    char id[4];
    std::uint32_t size;  // bytes of the body, without the pad byte
    bool pad;            // the body's size is odd: a pad byte may follow it
};

// True when the four bytes at `p` form a proper chunk id: printable ASCII
// (0x20 to 0x7E), the first not a space. Used to tell a pad byte after an
// odd-sized chunk from the first byte of the next id.
inline bool isChunkId(const unsigned char* p) {
    if (p[0] <= 0x20 || p[0] > 0x7E)
        return false;
    for (int i = 1; i < 4; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    }
    return true;
}

}  // namespace chunk
}  // namespace tarvio

#endif  // TARVIO_COMMON_CHUNK_H
