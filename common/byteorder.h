// SPDX-License-Identifier: MIT
// Byte-order helpers shared by the WAV (little-endian) and AIFF (big-endian)
// code. Every multi-byte number that crosses a file boundary goes through
// these functions: values are assembled and split by shifting bytes, so the
// result never depends on the host's byte order or on struct layout.
#ifndef TARVIO_COMMON_BYTEORDER_H
#define TARVIO_COMMON_BYTEORDER_H

#include <cstdint>

namespace tarvio {
namespace bytes {

// Reads an unsigned big-endian number of `n` bytes (0 to 8) from `p`.
inline std::uint64_t getBE(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Reads an unsigned little-endian number of `n` bytes (0 to 8) from `p`.
inline std::uint64_t getLE(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Writes the low `n` bytes (0 to 8) of `v` to `p`, most significant first.
inline void putBE(unsigned char* p, std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
        p[i] = static_cast<unsigned char>(v & 0xFFu);
        v >>= 8;
    }
}

// Writes the low `n` bytes (0 to 8) of `v` to `p`, least significant first.
inline void putLE(unsigned char* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
        p[i] = static_cast<unsigned char>(v & 0xFFu);
        v >>= 8;
    }
}

inline std::uint16_t getU16BE(const unsigned char* p) {
    return static_cast<std::uint16_t>(getBE(p, 2));
}
inline std::uint32_t getU32BE(const unsigned char* p) {
    return static_cast<std::uint32_t>(getBE(p, 4));
}
inline std::uint16_t getU16LE(const unsigned char* p) {
    return static_cast<std::uint16_t>(getLE(p, 2));
}
inline std::uint32_t getU32LE(const unsigned char* p) {
    return static_cast<std::uint32_t>(getLE(p, 4));
}

// Two's-complement reinterpretation without implementation-defined casts.
inline std::int16_t toSigned16(std::uint16_t u) {
    return u < 0x8000u ? static_cast<std::int16_t>(u)
                       : static_cast<std::int16_t>(static_cast<int>(u) - 0x10000);
}
inline std::int16_t getS16BE(const unsigned char* p) {
    return toSigned16(getU16BE(p));
}
inline std::int16_t getS16LE(const unsigned char* p) {
    return toSigned16(getU16LE(p));
}

inline void putU16BE(unsigned char* p, std::uint16_t v) {
    putBE(p, v, 2);
}
inline void putU32BE(unsigned char* p, std::uint32_t v) {
    putBE(p, v, 4);
}
inline void putU16LE(unsigned char* p, std::uint16_t v) {
    putLE(p, v, 2);
}
inline void putU32LE(unsigned char* p, std::uint32_t v) {
    putLE(p, v, 4);
}

}  // namespace bytes
}  // namespace tarvio

#endif  // TARVIO_COMMON_BYTEORDER_H
