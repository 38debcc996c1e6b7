// SPDX-License-Identifier: MIT
// Checks shared by the tests on files from independent AIFF writers.
#ifndef TARVIO_TESTS_RDAIFF_PEERCHECK_H
#define TARVIO_TESTS_RDAIFF_PEERCHECK_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "aiff/rdaiff.h"

namespace peer {

// Deterministic samples of `bits` bits that include both extremes.
inline std::vector<long long> makeSamples(int bits, std::size_t n) {
    const long long half = 1LL << (bits - 1);
    std::vector<long long> v(n);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<long long>(x % static_cast<std::uint64_t>(2 * half)) - half;
    }
    v[0] = -half;
    v[n - 1] = half - 1;
    return v;
}

// Reads the whole file into long long and into double, checking the
// parameters on the way.
inline void expectReadsBack(const std::string& path, int channels, int bits, double rate,
                            const std::vector<long long>& expected) {
    RDAIFF in(path.c_str());
    const long frames = static_cast<long>(expected.size()) / channels;
    ASSERT_EQ(in.channels(), channels);
    ASSERT_EQ(in.bits(), bits);
    ASSERT_EQ(in.frames(), frames);
    ASSERT_EQ(in.samplerate(), rate);
    std::vector<long long> all(expected.size());
    in.read(all.data(), frames);
    EXPECT_EQ(all, expected);
    in.rewind();
    std::vector<double> d(expected.size());
    in.read(d.data(), frames);
    bool same = true;
    for (std::size_t i = 0; i < d.size(); ++i)
        same = same && d[i] * static_cast<double>(1LL << (bits - 1)) == expected[i];
    EXPECT_TRUE(same);
}

}  // namespace peer

#endif  // TARVIO_TESTS_RDAIFF_PEERCHECK_H
