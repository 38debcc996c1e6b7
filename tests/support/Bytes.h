// SPDX-License-Identifier: MIT
// Byte vectors for hand-made file fixtures: tags and numbers appended in
// either byte order. Header-only, so that the fuzz targets' seed maker can
// use the fixtures too.
#ifndef TARVIO_TESTS_SUPPORT_BYTES_H
#define TARVIO_TESTS_SUPPORT_BYTES_H

#include <cstdint>
#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

inline void appendTag(Bytes& b, const char tag[4]) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<unsigned char>(tag[i]));
}

inline void appendLE(Bytes& b, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

inline void appendBE(Bytes& b, std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        b.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

}  // namespace testsupport

#endif  // TARVIO_TESTS_SUPPORT_BYTES_H
