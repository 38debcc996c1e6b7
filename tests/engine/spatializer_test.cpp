// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "engine/SpatialKernels.h"
#include "engine/Spatializer.h"

using tarvio::BLOCK_SIZE;
using tarvio::Spatializer;
using tarvio::SpatializerParams;

// Counts every allocation of the test program, to show that block processing
// allocates nothing.
static long gAllocations = 0;
void* operator new(std::size_t n) {
    ++gAllocations;
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

SpatializerParams params(double f1, double f2, double a1 = 0, double a2 = 0, double norm = 1) {
    SpatializerParams p;
    p.f1_init = p.f1_end = f1;
    p.f2_init = p.f2_end = f2;
    p.angle1 = a1;
    p.angle2 = a2;
    p.norm = norm;
    return p;
}

// A repeatable test signal in (-1, 1).
double signal(int i) {
    return std::sin(0.37 * i + 0.1) * 0.9;
}

// Feeds `frames` mono frames of signal() block by block, as the driver does,
// and returns every output sample.
std::vector<double> runMono(Spatializer& sp, int frames) {
    std::vector<double> out;
    for (int done = 0; done < frames;) {
        const int n = std::min(BLOCK_SIZE, frames - done);
        for (int j = 0; j < n; ++j) {
            sp.inBlock()[j] = signal(done + j);
        }
        const int got = sp.processBlock(n);
        EXPECT_EQ(got, n);
        out.insert(out.end(), sp.outBlock(), sp.outBlock() + sp.outputChannels() * got);
        sp.advanceSweeps();
        done += n;
    }
    return out;
}

// The point of the square path at a position p in table units, 1024 per
// edge, counter-clockwise from (0,0).
void squarePoint(double p, double& x, double& y) {
    const double t = p / 1024.0, e = std::floor(t), f = t - e;
    const double xs[] = {f, 1, 1 - f, 0}, ys[] = {0, f, 1, 1 - f};
    x = xs[static_cast<int>(e) & 3];
    y = ys[static_cast<int>(e) & 3];
}

// Expected frame: each channel weighs the signal by its closeness to its
// corner, (1,1), (0,1), (1,0) and (0,0) for channels 1 to 4.
void expectFrame(const double* o, double x, double y, double s, const char* what, int j) {
    const double cx[] = {1, 0, 1, 0}, cy[] = {1, 1, 0, 0};
    for (int c = 0; c < 4; ++c) {
        const double w = (1 - std::fabs(x - cx[c])) * (1 - std::fabs(y - cy[c]));
        ASSERT_NEAR(o[c], w * s, 1e-12) << what << " frame " << j << " channel " << c + 1;
    }
}

// Expects frame j to carry signal(j) on channel `loud` (1 to 4) alone.
void expectCorner(const std::vector<double>& o, int j, int loud) {
    for (int ch = 1; ch <= 4; ++ch) {
        ASSERT_EQ(o[4 * j + ch - 1], ch == loud ? signal(j) : 0.0)
            << "frame " << j << " channel " << ch;
    }
}

// Expects the four channels of every frame to add up to signal(j), each no
// louder than it.
void expectShares(const std::vector<double>& o) {
    for (std::size_t j = 0; j < o.size() / 4; ++j) {
        const double s = signal(static_cast<int>(j));
        double sum = 0;
        for (int ch = 0; ch < 4; ++ch) {
            ASSERT_LE(std::fabs(o[4 * j + ch]), std::fabs(s) + 1e-15) << j;
            sum += o[4 * j + ch];
        }
        ASSERT_NEAR(sum, s, 1e-12) << j;
    }
}

}  // namespace

TEST(Spatializer, WorkedExampleCirclesTheCornersInOrder) {
    // 4096 Hz and 1 Hz: one table unit per sample, one corner every 1024.
    Spatializer sp(params(1, 1), 1, 4096.0, 4 * BLOCK_SIZE);
    const std::vector<double> o = runMono(sp, 4 * BLOCK_SIZE);
    EXPECT_EQ(o[0], 0.0);
    EXPECT_EQ(o[1], 0.0);
    EXPECT_DOUBLE_EQ(o[2], signal(0) / 1024);
    EXPECT_DOUBLE_EQ(o[3], 1023 * signal(0) / 1024);
    const int corners[] = {3, 1, 2, 4};
    for (int k = 0; k < 4; ++k) {
        expectCorner(o, 1023 + 1024 * k, corners[k]);
    }

    // Backwards the corners come as 2, 1, 3, 4.
    Spatializer back(params(-1, -1), 1, 4096.0, 4 * BLOCK_SIZE);
    const std::vector<double> b = runMono(back, 4 * BLOCK_SIZE);
    const int backCorners[] = {2, 1, 3, 4};
    for (int k = 0; k < 4; ++k) {
        expectCorner(b, 1023 + 1024 * k, backCorners[k]);
    }
}

TEST(Spatializer, StartingAnglesAndStillPoint) {
    // At 0 Hz the point stays at the starting corner for the whole file.
    // Angles outside 0..360 (and not-a-number) start at 0, unreduced.
    const struct {
        double angle;
        int loud;
    } cases[] = {{0, 4},   {90, 3},  {180, 1},  {270, 2}, {360, 4},
                 {-90, 4}, {450, 4}, {kNaN, 4}, {-0.0, 4}};
    for (const auto& c : cases) {
        Spatializer sp(params(0, 0, c.angle, c.angle), 1, 44100.0, 3000);
        const std::vector<double> o = runMono(sp, 3000);
        for (int j = 0; j < 3000; ++j) {
            expectCorner(o, j, c.loud);
        }
    }
}

TEST(Spatializer, FollowsTheSquareFrameByFrame) {
    // Increments in eighths of a table unit keep every phase exact, so the
    // expected position is plain integer arithmetic. Half- and eighth-unit
    // steps land between table points, also across the wrap 4095 -> 0.
    const struct {
        int inc1, inc2;       // eighths of a table unit per sample
        double a1, a2;        // degrees
        long start1, start2;  // eighths
    } cases[] = {{4, -19, 90, 315, 1024 * 8, 3584 * 8},
                 {25, 63, 0, 180, 0, 2048 * 8},
                 {-3, 32768 * 3 + 5, 45, 270, 512 * 8, 3072 * 8}};
    for (const auto& c : cases) {
        Spatializer sp(params(c.inc1 / 8.0, c.inc2 / 8.0, c.a1, c.a2), 1, 4096.0, 9000);
        const std::vector<double> o = runMono(sp, 9000);
        for (int j = 0; j < 9000; ++j) {
            const long turn = 4096 * 8;
            const long p1 = (((c.start1 + (j + 1L) * c.inc1) % turn) + turn) % turn;
            const long p2 = (((c.start2 + (j + 1L) * c.inc2) % turn) + turn) % turn;
            double x, y, unused;
            squarePoint(p1 / 8.0, x, unused);
            squarePoint(p2 / 8.0, unused, y);
            expectFrame(&o[4 * j], x, y, signal(j), "case", j);
        }
    }
}

TEST(Spatializer, GainsShareTheMonoSampleWithoutExceedingIt) {
    SpatializerParams p;
    p.f1_init = 3, p.f1_end = -7, p.f2_init = 0.37, p.f2_end = 5;
    p.angle1 = 33, p.angle2 = 211;
    Spatializer sp(p, 1, 44100.0, 5000);
    expectShares(runMono(sp, 5000));
}

TEST(Spatializer, MixesAllChannelsDownEqually) {
    // Stereo (0.5, -0.5) cancels to silence on every channel.
    Spatializer stereo(params(1.3, 0.7, 20, 200), 2, 44100.0, 100);
    for (int j = 0; j < 100; ++j) {
        stereo.inBlock()[2 * j] = 0.5;
        stereo.inBlock()[2 * j + 1] = -0.5;
    }
    ASSERT_EQ(stereo.processBlock(200), 100);
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(stereo.outBlock()[i], 0.0) << i;
    }
    // Three channels with norm 2: each frame carries 2 * mean.
    Spatializer three(params(1.3, 0.7, 20, 200, 2.0), 3, 44100.0, 50);
    for (int i = 0; i < 150; ++i) {
        three.inBlock()[i] = signal(i) / 4;
    }
    ASSERT_EQ(three.processBlock(150), 50);
    for (int j = 0; j < 50; ++j) {
        const double* f = three.outBlock() + 4 * j;
        const double want = 2 * (signal(3 * j) + signal(3 * j + 1) + signal(3 * j + 2)) / 12;
        ASSERT_NEAR(f[0] + f[1] + f[2] + f[3], want, 1e-12) << j;
    }
}

TEST(Spatializer, PartialLastFrameCountsMissingSamplesAsSilence) {
    // The buffer still holds an earlier block; only 5 samples of 3-channel
    // frames arrive, so frame 1 lacks its last channel.
    Spatializer sp(params(0, 0), 3, 44100.0, 2);
    for (int i = 0; i < sp.inBlockCapacity(); ++i) {
        sp.inBlock()[i] = 0.9;
    }
    const double in[] = {0.3, 0.6, -0.3, 0.15, 0.3};
    for (int i = 0; i < 5; ++i) {
        sp.inBlock()[i] = in[i];
    }
    ASSERT_EQ(sp.processBlock(5), 2);
    // At angle 0 and 0 Hz everything goes to channel 4.
    EXPECT_NEAR(sp.outBlock()[3], 0.2, 1e-15);
    EXPECT_NEAR(sp.outBlock()[7], 0.15, 1e-15);  // 0.45 if the stale 0.9 counted
}

TEST(Spatializer, SweepsChangeFrequencyBetweenBlocks) {
    // 2500 frames: blocks of 1024, 1024 and 452; B = 2, so block 2 runs at
    // f_init + (f_end - f_init) / 2. At 4096 Hz one Hz is one unit per sample.
    SpatializerParams p;
    p.f1_init = 0.5, p.f1_end = 1.5, p.f2_init = 0.25, p.f2_end = 2.25;
    Spatializer sp(p, 1, 4096.0, 2500);
    const int wantFrames[] = {1024, 1024, 452};
    const double wantF1[] = {0.5, 0.5, 1.0}, wantF2[] = {0.25, 0.25, 1.25};
    const double end1[] = {512, 1024, 2048}, end2[] = {256, 512, 1792};
    int total = 0;
    for (int b = 0; b < 3; ++b) {
        EXPECT_EQ(sp.rotation1().frequency, wantF1[b]) << b;
        EXPECT_EQ(sp.rotation2().frequency, wantF2[b]) << b;
        const int n = std::min(BLOCK_SIZE, 2500 - total);
        for (int j = 0; j < n; ++j) {
            sp.inBlock()[j] = signal(total + j);
        }
        ASSERT_EQ(sp.processBlock(n), wantFrames[b]);
        EXPECT_EQ(sp.rotation1().phase, end1[b]) << b;
        EXPECT_EQ(sp.rotation2().phase, end2[b]) << b;
        if (b == 2) {
            for (int j = 0; j < n; ++j) {
                double x, y, unused;
                squarePoint(1024 + (j + 1) * 1.0, x, unused);
                squarePoint(512 + (j + 1) * 1.25, unused, y);
                expectFrame(sp.outBlock() + 4 * j, x, y, signal(total + j), "block 2", j);
            }
        }
        total += n;
        sp.advanceSweeps();
    }
    EXPECT_EQ(total, 2500);
}

TEST(Spatializer, SweepOfTenBlocksStopsShortOfTheEnd) {
    // 10240 frames, B = 10; at 32768 Hz a block at f Hz moves 128 * f units.
    SpatializerParams p;
    p.f1_init = 1, p.f1_end = 11, p.f2_init = 20, p.f2_end = 10;
    Spatializer sp(p, 1, 32768.0, 10 * BLOCK_SIZE);
    const double want1[] = {1, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    double before = sp.rotation1().phase;
    for (int b = 0; b < 10; ++b) {
        EXPECT_EQ(sp.rotation1().frequency, want1[b]) << b;
        EXPECT_EQ(sp.rotation2().frequency, b == 0 ? 20 : 20 - (b - 1)) << b;
        ASSERT_EQ(sp.processBlock(BLOCK_SIZE), BLOCK_SIZE);
        const double moved = std::fmod(sp.rotation1().phase - before + 4096, 4096);
        EXPECT_EQ(moved, 128 * want1[b]) << b;
        before = sp.rotation1().phase;
        sp.advanceSweeps();
    }
}

TEST(Spatializer, ShortFileAndEmptyReads) {
    // Fewer frames than one block: there is nothing to sweep over, so the
    // frequencies hold, however many blocks follow.
    Spatializer sp(params(2, 3), 1, 4096.0, 1000);
    EXPECT_EQ(sp.rotation1().sweepStep, 0.0);
    EXPECT_EQ(sp.rotation2().sweepStep, 0.0);
    const std::vector<double> o = runMono(sp, 1000);
    EXPECT_EQ(o.size(), 4000u);
    EXPECT_EQ(sp.rotation1().phase, 2048);  // 1024 samples at 2 units
    EXPECT_EQ(sp.rotation2().phase, 3072);

    // A read that returned nothing writes nothing, but time moves on.
    EXPECT_EQ(sp.processBlock(0), 0);
    EXPECT_EQ(sp.rotation1().phase, 0);
    EXPECT_EQ(sp.rotation2().phase, 2048);
}

TEST(Spatializer, RateOfTwoHertzOrLessFallsBackTo44100) {
    EXPECT_EQ(Spatializer(params(1, 1), 1, 2.0, 0).rotation1().scale, 4096 / 44100.0);
    EXPECT_EQ(Spatializer(params(1, 1), 1, 0.0, 0).rotation2().scale, 4096 / 44100.0);
    EXPECT_EQ(Spatializer(params(1, 1), 1, 2.5, 0).rotation1().scale, 4096 / 2.5);
}

TEST(Spatializer, ExtremeFrequenciesStayOnThePath) {
    // Many turns per sample reduce to the same place as turn-by-turn.
    // 12388.25 = 3 turns + 100.25; -8292.25 = -2 turns - 100.25.
    Spatializer big(params(12388.25, -8292.25), 1, 4096.0, 2048);
    const std::vector<double> o = runMono(big, 1024);
    expectFrame(&o[0], 100.25 / 1024, 100.25 / 1024, signal(0), "first", 0);
    EXPECT_EQ(big.rotation1().phase, 256);   // 1024 * 100.25 mod 4096
    EXPECT_EQ(big.rotation2().phase, 3840);  // -1024 * 100.25 mod 4096

    // Far beyond where subtracting a turn still changes the value.
    Spatializer huge(params(1e300, -3e299, 10, 20), 1, 44100.0, 3000);
    expectShares(runMono(huge, 3000));
    for (const auto* r : {&huge.rotation1(), &huge.rotation2()}) {
        EXPECT_GE(r->phase, 0.0);
        EXPECT_LT(r->phase, 4096.0);
    }

    // No position at all (infinite, not-a-number, or an increment that
    // overflows): the point sits at the start, channel 4.
    const struct {
        double f1, f2, rate;
    } none[] = {{kInf, kNaN, 44100}, {-kInf, kInf, 44100}, {1e308, -1e308, 3}};
    for (const auto& c : none) {
        Spatializer sp(params(c.f1, c.f2, 90, 180), 1, c.rate, 2048);
        const std::vector<double> n = runMono(sp, 2048);
        for (int j = 0; j < 2048; ++j) {
            expectCorner(n, j, 4);
        }
        EXPECT_EQ(sp.rotation1().phase, 0);
        EXPECT_EQ(sp.rotation2().phase, 0);
    }
}

TEST(Spatializer, WrapThatRoundsUpReadsTheClosingPoint) {
    // A tiny backward step from 0 wraps to -1e-300 + 4096, which rounds to
    // exactly 4096: the closing point (0,0) is read, then 4096 wraps to 0.
    Spatializer sp(params(-1e-300, -1e-300), 1, 4096.0, 2048);
    const std::vector<double> o = runMono(sp, 2048);
    for (int j = 0; j < 2048; ++j) {
        expectCorner(o, j, 4);
    }
    EXPECT_GE(sp.rotation1().phase, 0.0);
    EXPECT_LE(sp.rotation1().phase, 4096.0);
}

TEST(Spatializer, BlocksAllocateNothingAndReleaseIsIdempotent) {
    SpatializerParams p;
    p.f1_init = 1, p.f1_end = 9, p.f2_init = -2, p.f2_end = 2;
    for (const auto& row : tarvio::spatializeVariants()) {
        if (!tarvio::cpu::supported(row.isa))
            continue;
        SCOPED_TRACE(row.name);
        Spatializer sp(p, 2, 48000.0, 8 * BLOCK_SIZE, {row.fn, tarvio::mixDown_portable});
        const long before = gAllocations;
        for (int b = 0; b < 8; ++b) {
            sp.processBlock(sp.inBlockCapacity() - (b == 7 ? 3 : 0));
            sp.advanceSweeps();
        }
        EXPECT_EQ(gAllocations, before);

        sp.release();
        EXPECT_EQ(sp.inBlock(), nullptr);
        EXPECT_EQ(sp.outBlock(), nullptr);
        EXPECT_EQ(sp.inBlockCapacity(), 0);
        EXPECT_EQ(sp.processBlock(100), 0);
        sp.release();  // and once more from the destructor
    }
}

// With the positions kept, the stages run instead of the fused kernel: on
// the square they give the fused kernel's bytes under the bilinear law, and
// under the power law the products of each axis's quarter-turn sine and
// cosine, x first.
TEST(Spatializer, StagesOnTheSquareMatchTheFusedKernelAndThePowerLaw) {
    const int frames = 6 * BLOCK_SIZE - 100;  // the last block short
    tarvio::SpatializerOptions keep;
    keep.keepPositions = true;
    Spatializer fused(params(0.37, -1.3, 10, 200), 1, 44100.0, frames);
    Spatializer stages(params(0.37, -1.3, 10, 200), 1, 44100.0, frames, keep);
    const std::vector<double> a = runMono(fused, frames), b = runMono(stages, frames);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(double) * a.size()), 0);

    tarvio::SpatializerOptions powerLaw = keep;
    powerLaw.law = tarvio::findPanLaw("power");
    Spatializer power(params(0.37, -1.3, 10, 200), 1, 44100.0, 2 * BLOCK_SIZE, powerLaw);
    const double q = 1.57079632679489661923;
    for (int block = 0; block < 2; ++block) {
        for (int j = 0; j < BLOCK_SIZE; ++j)
            power.inBlock()[j] = signal(j);
        ASSERT_EQ(power.processBlock(BLOCK_SIZE), BLOCK_SIZE);
        for (int j = 0; j < BLOCK_SIZE; ++j) {
            const double x = power.positionsX()[j], y = power.positionsY()[j], s = signal(j);
            const double want[] = {
                std::sin(q * x) * std::sin(q * y) * s, std::cos(q * x) * std::sin(q * y) * s,
                std::sin(q * x) * std::cos(q * y) * s, std::cos(q * x) * std::cos(q * y) * s};
            ASSERT_EQ(std::memcmp(power.outBlock() + 4 * j, want, sizeof want), 0) << j;
        }
        power.advanceSweeps();
    }
}

namespace {

// A law of the test's own that serves any layout: each positioned
// loudspeaker weighted by its inverse squared distance from the point, the
// weights scaled to add up to 1.
void nearness(double x, double y, const tarvio::SpeakerLayout& layout, const tarvio::LawState*,
              double* gains) {
    double total = 0;
    for (int ch = 0; ch < layout.size(); ++ch) {
        const auto& at = layout[ch].position;
        const double dx = at ? x - at->x : 0, dy = at ? y - at->y : 0;
        gains[ch] = at ? 1.0 / (dx * dx + dy * dy + 1e-9) : 0.0;
        total += gains[ch];
    }
    for (int ch = 0; ch < layout.size(); ++ch)
        gains[ch] /= total;
}

bool anyLayout(const tarvio::SpeakerLayout&) {
    return true;
}

}  // namespace

// Three loudspeakers and an LFE, built as data: the output has their four
// channels, the law's gains, nothing on the LFE, and allocates nothing per
// block. A law that cannot serve the layout is refused.
TEST(Spatializer, AnyLayoutTakesItsChannelsFromTheLayoutAndItsGainsFromTheLaw) {
    const tarvio::SpeakerLayout triangle("triangle", {{"C", tarvio::pointAt(0.0), 0x4},
                                                      {"LFE", std::nullopt, 0x8},
                                                      {"BL", tarvio::pointAt(120.0), 0x10},
                                                      {"BR", tarvio::pointAt(-120.0), 0x20}});
    const tarvio::PanLaw law{"nearness", "inverse squared distance", nearness, anyLayout, nullptr};
    tarvio::SpatializerOptions o;
    o.layout = &triangle;
    o.law = &law;
    o.keepPositions = true;
    Spatializer sp(params(0.7, 1.9, 30, 0), 1, 44100.0, 3 * BLOCK_SIZE, o);
    ASSERT_EQ(sp.outputChannels(), 4);
    EXPECT_EQ(sp.layout().labels()[1], "LFE");
    const long before = gAllocations;
    for (int block = 0; block < 3; ++block) {
        for (int j = 0; j < BLOCK_SIZE; ++j)
            sp.inBlock()[j] = signal(j);
        ASSERT_EQ(sp.processBlock(BLOCK_SIZE), BLOCK_SIZE);
        for (int j = 0; j < BLOCK_SIZE; ++j) {
            const double* f = sp.outBlock() + 4 * j;
            double g[4];
            nearness(sp.positionsX()[j], sp.positionsY()[j], triangle, nullptr, g);
            for (int ch = 0; ch < 4; ++ch)
                ASSERT_EQ(f[ch], g[ch] * signal(j)) << j;
            EXPECT_EQ(f[1], 0.0);
            EXPECT_NEAR(f[0] + f[2] + f[3], signal(j), 1e-15) << j;
        }
        sp.advanceSweeps();
    }
    EXPECT_EQ(gAllocations, before);

    o.law = tarvio::findPanLaw("bilinear");
    EXPECT_THROW(Spatializer(params(1, 1), 1, 44100.0, BLOCK_SIZE, o), std::invalid_argument);
}

// The laws that work out a state for their layout (vbap, dbap, Ambisonics)
// do it once: per block the spatializer allocates nothing and each frame
// gets the panner's gains, the law's parameters included: exactly, or within
// 1e-12 for a law whose block form rearranges the arithmetic (vbap's gains
// differ from its per-frame ones by a few units of the last place).
TEST(Spatializer, PreparedLawsGiveThePannersGainsWithoutAllocating) {
    tarvio::LawParams steep;
    steep.rolloff = 12;
    steep.blur = 0.05;
    const struct {
        const char* layout;
        const char* law;
        tarvio::LawParams params;
    } cases[] = {
        {"7.1", "vbap", {}}, {"ring:8:22.5", "dbap", steep}, {"ambisonics:3", "ambisonic", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.law);
        const tarvio::SpeakerLayout layout = *tarvio::findLayout(c.layout);
        tarvio::SpatializerOptions o;
        o.layout = &layout;
        o.law = tarvio::findPanLaw(c.law);
        o.lawParams = c.params;
        o.keepPositions = true;
        const tarvio::Panner panner(*o.law, layout, c.params);
        Spatializer sp(params(0.7, 1.9, 30, 0), 1, 44100.0, 2 * BLOCK_SIZE, o);
        const int n = sp.outputChannels();
        ASSERT_EQ(n, layout.size());
        std::vector<double> g(n);
        const long before = gAllocations;
        for (int block = 0; block < 2; ++block) {
            for (int j = 0; j < BLOCK_SIZE; ++j)
                sp.inBlock()[j] = signal(j);
            ASSERT_EQ(sp.processBlock(BLOCK_SIZE), BLOCK_SIZE);
            EXPECT_EQ(gAllocations, before);
            for (int j = 0; j < BLOCK_SIZE; j += 37) {
                panner.gains(sp.positionsX()[j], sp.positionsY()[j], g.data());
                for (int ch = 0; ch < n; ++ch) {
                    if (o.law->spread)
                        ASSERT_NEAR(sp.outBlock()[n * j + ch], g[ch] * signal(j), 1e-12)
                            << j << " " << ch;
                    else
                        ASSERT_EQ(sp.outBlock()[n * j + ch], g[ch] * signal(j)) << j << " " << ch;
                }
            }
            sp.advanceSweeps();
        }
    }
}
