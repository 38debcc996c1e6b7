// SPDX-License-Identifier: MIT
// Every vector variant of the spatializer's kernels against the portable
// one, bit for bit. The block kernels over many blocks: sweeps, wraps in both
// directions, increments of a whole turn and more, non-finite frequencies,
// phases that round up to a full turn, short and empty blocks. The mixdowns
// over every width of their loops.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "engine/SpatialKernels.h"
#include "engine/Spatializer.h"
#include "engine/SquarePath.h"
#include "pcm/Pcm.h"

namespace {

using tarvio::BLOCK_SIZE;

// The rows of a variant table after the portable reference that this build
// and processor run.
template <class Fn>
std::vector<const tarvio::cpu::Variant<Fn>*> vectorRows(tarvio::VariantRows<Fn> table) {
    EXPECT_STREQ(table.first->name, "portable");
    std::vector<const tarvio::cpu::Variant<Fn>*> rows;
    for (const auto& row : table) {
        if (&row != table.first && tarvio::cpu::supported(row.isa))
            rows.push_back(&row);
    }
    return rows;
}

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

TEST(KernelVariants, EveryKernelEqualsThePortableOneBitForBit) {
    const auto rows = vectorRows(tarvio::spatializeVariants());
    if (rows.empty()) {
        GTEST_SKIP() << "this build and processor have the portable kernel only";
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
    const tarvio::SpatialKernel portable{tarvio::spatialize_portable, tarvio::mixDown_portable};
    for (const auto* row : rows) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << row->name << ": f1 " << c.f1i << ".." << c.f1e << ", f2 "
                         << c.f2i << ".." << c.f2e << ", channels " << c.channels);
            expectSameAsPortable(c, {row->fn, tarvio::mixDown_portable}, portable);
        }
    }
}

// The pair tables of the square's path, as the kernels read them.
struct PairTables {
    std::vector<double> x, y;
};

PairTables squarePairTables() {
    std::vector<double> pathX(tarvio::TABLE_SIZE + 1), pathY(tarvio::TABLE_SIZE + 1);
    drawPath(SQUARE, pathX.data(), pathY.data(), tarvio::TABLE_SIZE);
    PairTables pairs{std::vector<double>(tarvio::kPairTableSize),
                     std::vector<double>(tarvio::kPairTableSize)};
    tarvio::buildPairTable(pathX.data(), pairs.x.data());
    tarvio::buildPairTable(pathY.data(), pairs.y.data());
    return pairs;
}

// `n` samples of LCG noise in [-1, 1) from `seed`, on the 16-bit grid.
std::vector<double> noise(std::size_t n, std::uint32_t seed) {
    std::vector<double> samples(n);
    for (double& s : samples) {
        seed = seed * 1664525u + 1013904223u;
        s = (static_cast<int>(seed >> 16) - 32768) / 32768.0;
    }
    return samples;
}

// Phases and increments at the edges of the vector kernels' runs of equal
// steps (see below).
struct EdgeStarts {
    std::vector<double> phases;
    std::vector<double> incs;
};

EdgeStarts edgeStarts() {
    std::vector<double> phases = {0.0, -0.0, 1e-300, 0.5, 1.0, tarvio::kTurn};
    std::vector<double> incs = {0.0,
                                1e-310,
                                0.0232,
                                0.28,
                                0.1234567,
                                1.0,
                                7.3,
                                4096.0,
                                5000.5,
                                1e300,
                                std::numeric_limits<double>::infinity(),
                                std::nan("")};
    for (int m = 0; m <= 11; ++m) {
        const double lo = std::ldexp(1.0, m);
        const double u = std::ldexp(1.0, m - 52);
        for (double p :
             {lo, lo + u, lo + 2 * u, lo - u / 2, 2 * lo - u, 2 * lo - 2 * u, lo + 0.37 * lo})
            phases.push_back(p);
        for (double c : {0.0, 1.0, 12345.0})
            incs.push_back((c + 0.5) * u);           // ties in this binade
        incs.push_back(1.0 + u / 2);                 // a step of 1 that ties here
        incs.push_back(std::nextafter(u / 2, 0.0));  // just below half a spacing
        incs.push_back(3 * u);                       // a few spacings
        // Steps that round by more than a quarter spacing, down and up: past
        // the lower end of a binade the spacing halves.
        incs.push_back(1.3 * u);
        incs.push_back(1.7 * u);
    }
    const std::size_t count = incs.size();
    for (std::size_t i = 0; i < count; ++i)
        incs.push_back(-incs[i]);
    return {phases, incs};
}

// The edge starts with the square's tables and a block of positions, as
// the tests of the runs of phases take them.
struct EdgeSetup {
    EdgeStarts starts = edgeStarts();
    PairTables square = squarePairTables();
    std::vector<double> blockX = std::vector<double>(BLOCK_SIZE);
    std::vector<double> blockY = std::vector<double>(BLOCK_SIZE);
    tarvio::KernelBuffers buffers() {
        return {square.x.data(), square.y.data(), blockX.data(), blockY.data()};
    }
    // The rotation from phase a at increment b, and the second one's: it
    // takes another pair, so that both lanes see every case.
    tarvio::Rotation rotation(std::size_t a, std::size_t b) const {
        return {1.0, starts.phases[a], starts.incs[b], starts.incs[b], 0.0};
    }
    tarvio::Rotation secondRotation(std::size_t a, std::size_t b) const {
        return rotation((a + 7) % starts.phases.size(), (b + 13) % starts.incs.size());
    }
};

// The vector kernels take runs of phases without the serial chain where the
// chain's steps are provably all equal. Here each kernel starts from phases
// and increments at the edges of that proof: the ends of every binade and
// the phases just beyond them, ties (an increment exactly half a spacing off
// a multiple of it, in the binade where the phase starts or in one it walks
// into), increments below half a spacing, subnormal, huge and not finite
// increments, both directions, the wrap, and the full turn. Two blocks from
// each start, the second one short, bit for bit against the portable kernel.
TEST(KernelVariants, EveryKernelFollowsTheSerialPhasesAtTheEdgesOfItsRuns) {
    const auto rows = vectorRows(tarvio::spatializeVariants());
    if (rows.empty()) {
        GTEST_SKIP() << "this build and processor have the portable kernel only";
    }
    EdgeSetup setup;
    const std::vector<double>& phases = setup.starts.phases;
    const std::vector<double>& incs = setup.starts.incs;
    const tarvio::KernelBuffers buffers = setup.buffers();
    const std::vector<double> mono = noise(BLOCK_SIZE, 5);
    std::vector<double> expected(4 * BLOCK_SIZE), got(4 * BLOCK_SIZE);

    for (const auto* row : rows) {
        for (std::size_t a = 0; a < phases.size(); ++a) {
            for (std::size_t b = 0; b < incs.size(); ++b) {
                tarvio::Rotation plain1 = setup.rotation(a, b);
                tarvio::Rotation plain2 = setup.secondRotation(a, b);
                tarvio::Rotation fast1 = plain1, fast2 = plain2;
                for (int frames : {BLOCK_SIZE, BLOCK_SIZE - 3}) {
                    tarvio::spatialize_portable(plain1, plain2, buffers, mono.data(), frames,
                                                expected.data());
                    row->fn(fast1, fast2, buffers, mono.data(), frames, got.data());
                    ASSERT_EQ(std::memcmp(got.data(), expected.data(), sizeof(double) * 4 * frames),
                              0)
                        << row->name << ": phase " << phases[a] << ", increment " << incs[b]
                        << ", " << frames << " frames";
                    const double end[2] = {fast1.phase, fast2.phase};
                    const double want[2] = {plain1.phase, plain2.phase};
                    ASSERT_EQ(std::memcmp(end, want, sizeof end), 0)
                        << row->name << ": phase " << phases[a] << ", increment " << incs[b];
                }
            }
        }
    }
}

// The kernels straight to 16-bit samples take the same runs of equal steps
// eight phases at a time: from the same edge starts, two blocks each (the
// second one short), the bytes of the portable kernel encoded by pcm, and
// its phases. Both the kernel that reads mono samples and the one that mixes
// a stereo block down on the way.
TEST(KernelVariants, SixteenBitKernelsFollowTheSerialPhasesAtTheEdgesOfTheirRuns) {
    const tarvio::SpatialKernel& kernel = tarvio::defaultSpatialKernel();
    if (!kernel.runS16 || !kernel.runFromS16InRange) {
        GTEST_SKIP() << "this build and processor have no 16-bit kernels";
    }
    EdgeSetup setup;
    const std::vector<double>& phases = setup.starts.phases;
    const std::vector<double>& incs = setup.starts.incs;
    const tarvio::KernelBuffers buffers = setup.buffers();
    std::vector<unsigned char> in(4 * BLOCK_SIZE);
    std::uint32_t lcg = 11;
    for (unsigned char& b : in) {
        lcg = lcg * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(lcg >> 24);
    }
    std::vector<double> decoded(2 * BLOCK_SIZE), mono(BLOCK_SIZE), spread(4 * BLOCK_SIZE);
    tarvio::pcm::double_from_s16le(in.data(), decoded.size(), decoded.data());
    const double gain = 0.5;
    tarvio::mixDown_portable(decoded.data(), 2, BLOCK_SIZE, gain, mono.data());
    std::vector<unsigned char> expected(8 * BLOCK_SIZE), fromMono(8 * BLOCK_SIZE),
        fromStereo(8 * BLOCK_SIZE);

    for (std::size_t a = 0; a < phases.size(); ++a) {
        for (std::size_t b = 0; b < incs.size(); ++b) {
            tarvio::Rotation plain1 = setup.rotation(a, b);
            tarvio::Rotation plain2 = setup.secondRotation(a, b);
            tarvio::Rotation mono1 = plain1, mono2 = plain2, stereo1 = plain1, stereo2 = plain2;
            for (int frames : {BLOCK_SIZE, BLOCK_SIZE - 13}) {
                const std::size_t bytes = 8 * static_cast<std::size_t>(frames);
                tarvio::spatialize_portable(plain1, plain2, buffers, mono.data(), frames,
                                            spread.data());
                const std::uint32_t clips =
                    tarvio::pcm::s16be_from_double(spread.data(), 4 * frames, expected.data());
                EXPECT_EQ(
                    kernel.runS16(mono1, mono2, buffers, mono.data(), frames, fromMono.data()),
                    clips);
                std::uint32_t stereoClips = 0;
                ASSERT_TRUE(kernel.runFromS16InRange(stereo1, stereo2, buffers, in.data(), 2, gain,
                                                     frames, fromStereo.data(), stereoClips));
                EXPECT_EQ(stereoClips, clips);
                const double end[4] = {mono1.phase, mono2.phase, stereo1.phase, stereo2.phase};
                const double want[4] = {plain1.phase, plain2.phase, plain1.phase, plain2.phase};
                ASSERT_TRUE(std::memcmp(fromMono.data(), expected.data(), bytes) == 0 &&
                            std::memcmp(fromStereo.data(), expected.data(), bytes) == 0 &&
                            std::memcmp(end, want, sizeof end) == 0)
                    << "phase " << phases[a] << ", increment " << incs[b] << ", " << frames
                    << " frames";
            }
        }
    }
}

// The positions stage of the spatializer's stages, every variant from the
// same edge starts over two blocks, bit for bit: positions and phases.
TEST(KernelVariants, EveryPositionsStageEqualsThePortableOne) {
    const auto rows = vectorRows(tarvio::positionsVariants());
    if (rows.empty()) {
        GTEST_SKIP() << "this build and processor have the portable positions only";
    }
    const EdgeStarts starts = edgeStarts();
    const PairTables square = squarePairTables();
    const std::vector<double>& pairX = square.x;
    const std::vector<double>& pairY = square.y;
    std::vector<double> wantX(BLOCK_SIZE), wantY(BLOCK_SIZE), gotX(BLOCK_SIZE), gotY(BLOCK_SIZE);
    const tarvio::KernelBuffers want{pairX.data(), pairY.data(), wantX.data(), wantY.data()};
    const tarvio::KernelBuffers got{pairX.data(), pairY.data(), gotX.data(), gotY.data()};
    const std::size_t np = starts.phases.size(), ni = starts.incs.size();
    for (const auto* row : rows) {
        for (std::size_t a = 0; a < np; ++a) {
            for (std::size_t b = 0; b < ni; ++b) {
                const auto rotation = [](double phase, double inc) {
                    return tarvio::Rotation{1.0, phase, inc, inc, 0.0};
                };
                tarvio::Rotation plain1 = rotation(starts.phases[a], starts.incs[b]);
                tarvio::Rotation plain2 =
                    rotation(starts.phases[(a + 7) % np], starts.incs[(b + 13) % ni]);
                tarvio::Rotation fast1 = plain1, fast2 = plain2;
                for (int block = 0; block < 2; ++block) {
                    tarvio::positions_portable(plain1, plain2, want);
                    row->fn(fast1, fast2, got);
                    ASSERT_EQ(std::memcmp(gotX.data(), wantX.data(), sizeof(double) * BLOCK_SIZE), 0)
                        << row->name << ": phase " << starts.phases[a] << ", increment "
                        << starts.incs[b];
                    ASSERT_EQ(std::memcmp(gotY.data(), wantY.data(), sizeof(double) * BLOCK_SIZE), 0)
                        << row->name << ": phase " << starts.phases[(a + 7) % np];
                    const double end[2] = {fast1.phase, fast2.phase};
                    const double expected[2] = {plain1.phase, plain2.phase};
                    ASSERT_EQ(std::memcmp(end, expected, sizeof end), 0) << row->name;
                }
            }
        }
    }
}

// Each mixdown over one to five channels and every frame count around its
// vector widths, with signed zeros and infinities among the samples.
TEST(KernelVariants, EveryMixDownEqualsThePortableOneBitForBit) {
    const auto rows = vectorRows(tarvio::mixDownVariants());
    if (rows.empty()) {
        GTEST_SKIP() << "this build and processor have the portable mixdown only";
    }
    std::vector<double> in = noise(5 * BLOCK_SIZE, 17);
    in[3] = -0.0, in[4] = -0.0, in[40] = std::numeric_limits<double>::infinity();
    std::vector<double> expected(BLOCK_SIZE), got(BLOCK_SIZE);
    for (const auto* row : rows) {
        for (int channels = 1; channels <= 5; ++channels) {
            for (int frames : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, BLOCK_SIZE - 1, BLOCK_SIZE}) {
                const double gain = 0.7 / channels;
                tarvio::mixDown_portable(in.data(), channels, frames, gain, expected.data());
                row->fn(in.data(), channels, frames, gain, got.data());
                ASSERT_EQ(std::memcmp(got.data(), expected.data(), sizeof(double) * frames), 0)
                    << row->name << ": " << channels << " channels, " << frames << " frames";
            }
        }
    }
}

}  // namespace

// A kernel asked for another channel order writes the products it writes in
// the engine's order, each moved to its place: every kernel, in orders a
// file may want, on a full and a short block.
TEST(KernelVariants, EveryKernelWritesAnotherOrderAsItsOwnFramesGathered) {
    const PairTables square = squarePairTables();
    const std::vector<double>& pairX = square.x;
    const std::vector<double>& pairY = square.y;
    std::vector<double> blockX(BLOCK_SIZE), blockY(BLOCK_SIZE);
    const std::vector<double> mono = noise(BLOCK_SIZE, 11);
    const int orders[][4] = {{1, 0, 3, 2}, {3, 2, 1, 0}, {2, 0, 3, 1}};
    std::vector<double> own(4 * BLOCK_SIZE), placed(4 * BLOCK_SIZE);
    for (const auto& row : tarvio::spatializeVariants()) {
        if (!tarvio::cpu::supported(row.isa))
            continue;
        for (const auto& order : orders) {
            for (int frames : {BLOCK_SIZE, BLOCK_SIZE - 5}) {
                tarvio::Rotation a1{tarvio::kTurn / 44100, 10.0, 0.7, 0.7, 0.0};
                tarvio::Rotation a2{tarvio::kTurn / 44100, 900.0, 2.9, 2.9, 0.0};
                tarvio::Rotation b1 = a1, b2 = a2;
                const tarvio::KernelBuffers engine{pairX.data(), pairY.data(), blockX.data(),
                                                   blockY.data(), nullptr};
                const tarvio::KernelBuffers file{pairX.data(), pairY.data(), blockX.data(),
                                                 blockY.data(), order};
                row.fn(a1, a2, engine, mono.data(), frames, own.data());
                row.fn(b1, b2, file, mono.data(), frames, placed.data());
                for (int j = 0; j < frames; ++j) {
                    for (int k = 0; k < 4; ++k) {
                        ASSERT_EQ(std::memcmp(&placed[4 * j + k], &own[4 * j + order[k]],
                                              sizeof(double)),
                                  0)
                            << row.name << ": frame " << j << ", place " << k;
                    }
                }
            }
        }
    }
}

// The stages of any other layout give another order as their own frames
// gathered: dbap's by a pass that reorders them, vbap's spread straight
// into it.
TEST(KernelVariants, TheStagesWriteAnotherOrderAsTheirOwnFramesGathered) {
    const std::vector<double> mono = noise(BLOCK_SIZE, 11);
    const tarvio::SpatializerParams params = paramsOf({0.25, 3, 0.5, 1.75, 0, 90, 1, 2, 44100});
    tarvio::SpatializerOptions options;
    const auto layout = tarvio::findLayout("5.1");
    options.layout = &*layout;
    for (const char* law : {"dbap", "vbap"}) {
        options.law = tarvio::findPanLaw(law);
        options.order.clear();
        tarvio::Spatializer plain(params, 2, 44100, 8 * BLOCK_SIZE, options);
        options.order = {5, 0, 3, 1, 4, 2};
        tarvio::Spatializer ordered(params, 2, 44100, 8 * BLOCK_SIZE, options);
        for (int b = 0; b < 8; ++b) {
            for (int i = 0; i < plain.inBlockCapacity(); ++i)
                plain.inBlock()[i] = ordered.inBlock()[i] = mono[(i + 3 * b) % BLOCK_SIZE];
            const int frames = plain.processBlock(plain.inBlockCapacity());
            ASSERT_EQ(ordered.processBlock(ordered.inBlockCapacity()), frames);
            for (int j = 0; j < frames; ++j) {
                for (int k = 0; k < 6; ++k)
                    ASSERT_EQ(ordered.outBlock()[6 * j + k],
                              plain.outBlock()[6 * j + options.order[static_cast<std::size_t>(k)]])
                        << law << ", frame " << j << ", place " << k;
            }
            plain.advanceSweeps();
            ordered.advanceSweeps();
        }
    }
    options.order = {0, 1, 2, 3, 4, 4};
    EXPECT_THROW(tarvio::Spatializer(params, 2, 44100, BLOCK_SIZE, options), std::invalid_argument);
}

// A block from and to 16-bit samples gives the bytes and the clip count of
// its three steps one by one: decoding into inBlock(), processBlock and pcm's
// encoding of outBlock(). Over blocks of LCG noise with full-scale frames in
// both directions, short blocks of every kind, norms inside
// [0, 1] (where no product can clip), beyond it either way and not finite,
// a huge norm at a point next to a corner, and another channel order.
TEST(KernelVariants, SixteenBitBlocksGiveTheBytesOfTheStepsOneByOne) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {0.25, 3, 0.5, 1.75, 0, 90, 1, 2, 44100},      {0.25, 3, 0.5, 1.75, 0, 90, 1, 1, 44100},
        {-5, 7000, 3, -2000, 45, 359, 0.37, 2, 44100}, {1, 1, 1, 1, 0, 0, 0, 3, 4096},
        {0.25, 3, 0.5, 1.75, 0, 90, -0.0, 2, 44100},   {0.25, 3, 0.5, 1.75, 0, 90, 2.5, 6, 48000},
        {0.25, 3, 0.5, 1.75, 0, 90, -1, 2, 44100},     {0.25, 3, 0.5, 1.75, 0, 90, nan, 2, 44100},
        {0.25, 3, 0.5, 1.75, 0, 90, inf, 1, 44100},    {0, 0, 0, 0, 1e-300, 90, 1e305, 2, 44100},
    };
    const int blocks = 40;
    for (const Case& c : cases) {
        for (bool reordered : {false, true}) {
            SCOPED_TRACE(testing::Message() << "norm " << c.norm << ", channels " << c.channels
                                            << (reordered ? ", reordered" : ""));
            tarvio::SpatializerOptions options;
            if (reordered)
                options.order = {3, 2, 1, 0};
            tarvio::Spatializer fused(paramsOf(c), c.channels, c.rate, blocks * BLOCK_SIZE,
                                      options);
            tarvio::Spatializer steps(paramsOf(c), c.channels, c.rate, blocks * BLOCK_SIZE,
                                      options);
            std::vector<unsigned char> in(2 * static_cast<std::size_t>(fused.inBlockCapacity()));
            std::vector<unsigned char> got(8 * BLOCK_SIZE), expected(8 * BLOCK_SIZE);
            std::uint32_t lcg = 5;
            for (int b = 0; b < blocks; ++b) {
                for (std::size_t i = 0; i < in.size(); i += 2) {
                    lcg = lcg * 1664525u + 1013904223u;
                    // Whole frames at full scale now and then, both ways.
                    const std::size_t frame = i / 2 / static_cast<std::size_t>(c.channels);
                    const unsigned v = frame % 97 == 5   ? 0x8000u
                                       : frame % 89 == 7 ? 0x7FFFu
                                                         : lcg >> 16;
                    in[i] = static_cast<unsigned char>(v & 0xFF);
                    in[i + 1] = static_cast<unsigned char>(v >> 8);
                }
                // Short blocks: whole frames past the last group of eight, a
                // few frames only, and any count (a last frame cut short).
                int n = fused.inBlockCapacity();
                if (b % 9 == 2)
                    n = c.channels * 517;
                else if (b % 9 == 4)
                    n = c.channels * 3;
                else if (b % 9 == 6)
                    n = static_cast<int>(lcg % static_cast<std::uint32_t>(n));
                std::uint32_t clipped = 0;
                const int frames = fused.processBlockS16(in.data(), n, got.data(), clipped);
                tarvio::pcm::double_from_s16le(in.data(), static_cast<std::size_t>(n),
                                               steps.inBlock());
                ASSERT_EQ(frames, steps.processBlock(n)) << "block " << b;
                const std::uint32_t expectedClipped = tarvio::pcm::s16be_from_double(
                    steps.outBlock(), 4 * static_cast<std::size_t>(frames), expected.data());
                ASSERT_EQ(
                    std::memcmp(got.data(), expected.data(), 8 * static_cast<std::size_t>(frames)),
                    0)
                    << "block " << b;
                ASSERT_EQ(clipped, expectedClipped) << "block " << b;
                fused.advanceSweeps();
                steps.advanceSweeps();
            }
        }
    }
}
