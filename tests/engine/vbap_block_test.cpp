// SPDX-License-Identifier: MIT
// vbap's block form on narrow layouts: every kernel variant against the
// portable one, bit for bit, and the block form against the per-frame law.
// The positions walk round the square the way the rotations do (so the
// vector kernels reuse the arc of the frames before), stop on every
// loudspeaker's direction and a hair either side of it (where two arcs meet
// and rounding picks one or none), and visit the middle, points next to it,
// points off the square and positions that are not numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"
#include "engine/laws/VbapKernels.h"

namespace {

using tarvio::SpeakerLayout;

constexpr double kPi = 3.14159265358979323846;

struct Positions {
    std::vector<double> x, y, mono;
    void add(double px, double py) {
        x.push_back(px);
        y.push_back(py);
        mono.push_back(std::sin(0.37 * static_cast<double>(mono.size()) + 0.1) * 0.9);
    }
    // The point at `radius` (1 on the edge) in the direction `degrees`.
    void toward(double degrees, double radius) {
        const double a = degrees * kPi / 180.0;
        const double u = -std::sin(a), v = std::cos(a);
        const double m = std::max(std::fabs(u), std::fabs(v));
        add((radius * u / m + 1) / 2, (radius * v / m + 1) / 2);
    }
};

Positions positionsFor(const SpeakerLayout& layout) {
    Positions p;
    // Slow turns on the edge and inside, as the rotations move.
    for (double radius : {1.0, 0.8, 0.25})
        for (int i = 0; i < 720; ++i)
            p.toward(0.5 * i + 0.1, radius);
    // Each loudspeaker's direction, exactly and a hair off, eight frames in a
    // row (a whole vector), on the edge and inside.
    for (int ch = 0; ch < layout.size(); ++ch) {
        if (!layout[ch].position)
            continue;
        const double az = layout[ch].position->azimuth;
        for (double off : {-1e-9, 0.0, 1e-13, 1e-9})
            for (double radius : {1.0, 0.6})
                for (int k = 0; k < 8; ++k)
                    p.toward(az + off, radius);
        for (int k = 0; k < 8; ++k)
            p.add(layout[ch].position->x, layout[ch].position->y);
    }
    // The middle and around it, off the square, not numbers.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double d : {0.0, 1e-300, 1e-160, 1e-100, 1e-9})
        for (int k = 0; k < 3; ++k)
            p.add(0.5 + d * k, 0.5 - d);
    p.add(1.5, 0.2);
    p.add(-0.1, 0.5);
    p.add(nan, 0.3);
    p.add(0.3, nan);
    p.add(0.4, std::numeric_limits<double>::infinity());
    // Points anywhere, on the edges as often as not.
    std::uint32_t lcg = 7;
    const auto next = [&] {
        lcg = lcg * 1664525u + 1013904223u;
        return (lcg >> 8) / 16777216.0;
    };
    for (int i = 0; i < 500; ++i) {
        double x = next(), y = next();
        if (i % 3 == 0)
            x = x < 0.5 ? 0.0 : 1.0;
        else if (i % 3 == 1)
            y = y < 0.5 ? 0.0 : 1.0;
        p.add(x, y);
    }
    return p;
}

// The narrow layouts: rings, 5.1 and 7.1 with their LFE, one of more than
// eight channels, and one with arcs of every width from a sliver (`sliver`
// degrees: below a nanoradian the vector kernels do not guess the arc) to
// nearly a half turn.
std::vector<SpeakerLayout> narrowLayouts(double sliver) {
    std::vector<SpeakerLayout> layouts;
    for (const char* name : {"ring:3", "quad", "ring:8", "ring:8:22.5", "5.1", "7.1", "ring:12"})
        layouts.push_back(*tarvio::findLayout(name));
    layouts.push_back(SpeakerLayout("uneven", {{"A", tarvio::pointAt(10.0), 0},
                                               {"B", tarvio::pointAt(10.0 + sliver), 0},
                                               {"LFE", std::nullopt, 0},
                                               {"C", tarvio::pointAt(100.0), 0},
                                               {"D", tarvio::pointAt(-170.0), 0},
                                               {"E", tarvio::pointAt(-60.0), 0}}));
    return layouts;
}

struct KernelRun {
    std::vector<double> out;
    std::vector<int> left;
};

KernelRun runKernel(tarvio::laws::NarrowSpreadFn fn, const tarvio::laws::NarrowLayout& layout,
              const Positions& p, int frames) {
    KernelRun r;
    r.out.assign(static_cast<std::size_t>(frames) * layout.channels, -7.0);
    r.left.assign(frames, -1);
    r.left.resize(fn(layout, p.x.data(), p.y.data(), p.mono.data(), frames, r.out.data(),
                     r.left.data()));
    return r;
}

TEST(VbapBlock, EveryKernelEqualsThePortableOneBitForBit) {
    for (const SpeakerLayout& layout : narrowLayouts(1e-12)) {
        const auto arcs = tarvio::laws::narrowArcs(layout);
        ASSERT_TRUE(arcs) << layout.name();
        const tarvio::laws::NarrowLayout view = arcs->view();
        const Positions p = positionsFor(layout);
        const int all = static_cast<int>(p.x.size());
        for (int frames : {all, all - 3, 5}) {
            const KernelRun want = runKernel(tarvio::laws::narrowSpread_portable, view, p, frames);
            for (const auto& row : tarvio::laws::narrowSpreadVariants()) {
                if (!tarvio::cpu::supported(row.isa))
                    continue;
                SCOPED_TRACE(testing::Message() << layout.name() << ", " << row.name << ", "
                                                << frames << " frames");
                const KernelRun got = runKernel(row.fn, view, p, frames);
                ASSERT_EQ(got.left, want.left);
                std::size_t next = 0;
                for (int j = 0; j < frames; ++j) {
                    if (next < want.left.size() && want.left[next] == j) {
                        ++next;
                        continue;  // the frame holds nothing of use
                    }
                    const std::size_t at = static_cast<std::size_t>(j) * view.channels;
                    ASSERT_EQ(std::memcmp(got.out.data() + at, want.out.data() + at,
                                          sizeof(double) * view.channels),
                              0)
                        << "frame " << j << " at (" << p.x[j] << ", " << p.y[j] << ")";
                }
            }
        }
    }
}

// The block form rearranges the law's arithmetic (see VbapKernels.h); its
// gains differ from the per-frame ones by a few units of the last place
// times the conditioning of the pair (one over the sine of the arc's width),
// well within 1e-12 for gains and samples of at most 1 and arcs of half a
// degree and more. (Both ways lose about 1e-16 over the sine of the width
// to rounding, so on a sliver of an arc neither is that close.) The frames
// it leaves get the per-frame law's products exactly; so does a layout that
// is not narrow (stereo, a ring of two).
TEST(VbapBlock, TheBlockFormGivesThePerFrameGainsTimesTheSample) {
    std::vector<SpeakerLayout> layouts = narrowLayouts(0.5);
    layouts.push_back(*tarvio::findLayout("stereo"));
    layouts.push_back(*tarvio::findLayout("ring:2"));
    for (const SpeakerLayout& layout : layouts) {
        SCOPED_TRACE(layout.name());
        const tarvio::Panner vbap(*tarvio::findPanLaw("vbap"), layout);
        const Positions p = positionsFor(layout);
        const int frames = static_cast<int>(p.x.size());
        const std::size_t n = static_cast<std::size_t>(layout.size());
        std::vector<double> out(frames * n), g(n);
        vbap.spread(p.x.data(), p.y.data(), p.mono.data(), frames, out.data());
        std::vector<int> left(frames);
        const auto arcs = tarvio::laws::narrowArcs(layout);
        if (arcs) {
            left.resize(tarvio::laws::narrowSpread_portable(arcs->view(), p.x.data(), p.y.data(),
                                                            p.mono.data(), frames,
                                                            std::vector<double>(frames * n).data(),
                                                            left.data()));
            EXPECT_LT(left.size(), 40u);  // the block form does nearly all of it
        } else {
            for (int j = 0; j < frames; ++j)
                left[j] = j;
        }
        std::size_t next = 0;
        for (int j = 0; j < frames; ++j) {
            vbap.gains(p.x[j], p.y[j], g.data());
            const bool exact = next < left.size() && left[next] == j;
            next += exact ? 1 : 0;
            for (std::size_t ch = 0; ch < n; ++ch) {
                const double want = g[ch] * p.mono[j];
                const double got = out[j * n + ch];
                if (exact)
                    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << j << " " << ch;
                else
                    ASSERT_NEAR(got, want, 1e-12) << "frame " << j << " channel " << ch << " at ("
                                                  << p.x[j] << ", " << p.y[j] << ")";
            }
        }
    }
}

}  // namespace
