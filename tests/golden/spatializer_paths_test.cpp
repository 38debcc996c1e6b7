// SPDX-License-Identifier: MIT
// Every vector kernel of the spatializer against the portable one, bit for
// bit, over many blocks: sweeps, wraps in both directions, increments of a
// whole turn and more, non-finite frequencies, phases that round up to a full
// turn, short and empty blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/SpatialKernels.h"
#include "engine/Spatializer.h"

namespace {

using tarvio::BLOCK_SIZE;

struct Case {
    double f1i, f1e, f2i, f2e, a1, a2, norm;
    int channels;
    double rate;
};

tarvio::SpatializerParams paramsOf(const Case& c) {
    tarvio::SpatializerParams p;
    p.f1_init = c.f1i;
    p.f1_end = c.f1e;
    p.f2_init = c.f2i;
    p.f2_end = c.f2e;
    p.angle1 = c.a1;
    p.angle2 = c.a2;
    p.norm = c.norm;
    return p;
}

// Runs `kernel` and the portable kernel side by side over 300 blocks of LCG
// noise, every seventh block short, and expects the same output bytes and
// the same phases after every block.
void expectSameAsPortable(const Case& c, const tarvio::SpatialKernel& kernel,
                          const tarvio::SpatialKernel& portable) {
    const int blocks = 300;
    tarvio::Spatializer fast(paramsOf(c), c.channels, c.rate, blocks * BLOCK_SIZE, kernel);
    tarvio::Spatializer plain(paramsOf(c), c.channels, c.rate, blocks * BLOCK_SIZE, portable);
    std::uint32_t lcg = 99;
    for (int b = 0; b < blocks; ++b) {
        int n = fast.inBlockCapacity();
        for (int i = 0; i < n; ++i) {
            lcg = lcg * 1664525u + 1013904223u;
            fast.inBlock()[i] = (static_cast<int>(lcg >> 16) - 32768) / 32768.0;
        }
        std::memcpy(plain.inBlock(), fast.inBlock(), sizeof(double) * n);
        if (b % 7 == 3)
            n = static_cast<int>(lcg % static_cast<std::uint32_t>(n));  // a short block
        const int frames = fast.processBlock(n);
        ASSERT_EQ(frames, plain.processBlock(n)) << "block " << b;
        ASSERT_EQ(std::memcmp(fast.outBlock(), plain.outBlock(), sizeof(double) * 4 * frames), 0)
            << "block " << b;
        fast.advanceSweeps();
        plain.advanceSweeps();
        const double phases[2] = {fast.rotation1().phase, fast.rotation2().phase};
        const double expected[2] = {plain.rotation1().phase, plain.rotation2().phase};
        ASSERT_EQ(std::memcmp(phases, expected, sizeof phases), 0) << "block " << b;
    }
}

TEST(SpatializerPaths, EveryKernelEqualsThePortableOneBitForBit) {
    const std::vector<const tarvio::SpatialKernel*> kernels = tarvio::spatialKernels();
    ASSERT_STREQ(kernels.front()->name, "portable");
    if (kernels.size() == 1) {
        GTEST_SKIP() << "this build has the portable kernel only";
    }
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {0.25, 3, 0.5, 1.75, 0, 90, 1, 2, 44100},          // the usual sweeps
        {-5, 7000, 3, -2000, 45, 359, 1.5, 2, 44100},      // fast, both directions
        {1, 1, 1, 1, 0, 0, 1, 1, 4096},                    // one table unit per sample
        {100000, -3e7, 1e-9, 2, 360, -90, 0.7, 3, 48000},  // several turns per sample
        {inf, 1, nan, 2, 10, 20, 1, 2, 44100},             // not finite
        {-1e-13, -1e-13, 1e-13, -3e-13, 0, 360, 1, 2, 2},  // wraps that round up to a turn
        {0, 0, 0, 0, 360, 360, 1, 5, 22050},               // standing at a full turn
    };
    for (std::size_t v = 1; v < kernels.size(); ++v) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << kernels[v]->name << ": f1 " << c.f1i << ".." << c.f1e << ", f2 "
                         << c.f2i << ".." << c.f2e << ", channels " << c.channels);
            expectSameAsPortable(c, *kernels[v], *kernels.front());
        }
    }
}

}  // namespace
