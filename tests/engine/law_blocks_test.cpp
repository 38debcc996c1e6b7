// SPDX-License-Identifier: MIT
// The block forms that must give their law's per-frame bytes exactly: vbap
// on wide layouts (an arc of a half turn or more), the Ambisonic encoder
// (every variant this processor runs) and dbap, on slow turns (as the
// rotations move), on every loudspeaker's direction, its mirror front to
// back and the middle of the gap (where the decisions of vbap change) and a
// hair either side, at the middle of the square, off it, and anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"
#include "engine/Speakers.h"
#include "engine/laws/AmbisonicKernels.h"
#include "engine/laws/VbapKernels.h"
#include "engine/laws/VbapSphereKernels.h"

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
    // Eight frames (a whole vector) at `radius` (1 on the edge) in the
    // direction `degrees`.
    void toward(double degrees, double radius) {
        const double a = degrees * kPi / 180.0;
        const double u = -std::sin(a), v = std::cos(a);
        const double m = std::max(std::fabs(u), std::fabs(v));
        for (int k = 0; k < 8; ++k)
            add((radius * u / m + 1) / 2, (radius * v / m + 1) / 2);
    }
    int frames() const { return static_cast<int>(x.size()); }
};

// The first frames of positionsFor(): slow turns on the edge and inside.
constexpr int kTurnFrames = 3 * 720;

Positions positionsFor(const SpeakerLayout& layout) {
    Positions p;
    for (double radius : {1.0, 0.8, 0.25}) {
        for (int i = 0; i < 720; ++i) {
            const double a = (0.5 * i + 0.1) * kPi / 180.0;
            const double u = -std::sin(a), v = std::cos(a);
            const double m = std::max(std::fabs(u), std::fabs(v));
            p.add((radius * u / m + 1) / 2, (radius * v / m + 1) / 2);
        }
    }
    for (int ch = 0; ch < layout.size(); ++ch) {
        if (!layout[ch].position)
            continue;
        const double az = layout[ch].position->azimuth;
        for (double at : {az, 180.0 - az, az + 180.0, az + 90.0, az - 90.0})
            for (double off : {-1e-9, 0.0, 1e-13, 1e-9, 2e-4})
                for (double radius : {1.0, 0.6})
                    p.toward(at + off, radius);
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double d : {0.0, 1e-300, 1e-160, 1e-9})
        for (int k = 0; k < 8; ++k)
            p.add(0.5 + d * k, 0.5 - d);
    for (const auto& [x, y] : {std::pair{1.5, 0.2}, {-0.1, 0.5}, {nan, 0.3}, {0.3, nan}})
        p.add(x, y);
    std::uint32_t lcg = 7;
    const auto next = [&] {
        lcg = lcg * 1664525u + 1013904223u;
        return (lcg >> 8) / 16777216.0;
    };
    for (int i = 0; i < 800; ++i)
        p.add(next(), next());
    return p;
}

// Whether frame j of `out` holds the per-frame gains of the law times the
// sample, to the last bit.
::testing::AssertionResult perFrameBytes(const tarvio::Panner& law, const Positions& p, int j,
                                         const double* out) {
    const std::size_t n = static_cast<std::size_t>(law.layout().size());
    std::vector<double> g(n);
    law.gains(p.x[j], p.y[j], g.data());
    for (std::size_t ch = 0; ch < n; ++ch) {
        const double want = g[ch] * p.mono[j];
        if (std::memcmp(&want, out + j * n + ch, sizeof want) != 0)
            return ::testing::AssertionFailure()
                   << "frame " << j << " at (" << p.x[j] << ", " << p.y[j] << ") channel " << ch
                   << ": " << out[j * n + ch] << " for " << want;
    }
    return ::testing::AssertionSuccess();
}

TEST(LawBlocks, WideVbapKernelsGiveThePerFrameBytes) {
    using tarvio::pointAt;
    const SpeakerLayout layouts[] = {
        *tarvio::findLayout("stereo"),
        *tarvio::findLayout("ring:2"),
        *tarvio::findLayout("ring:2:90"),
        SpeakerLayout("front",
                      {{"L", pointAt(30), 0}, {"LFE", std::nullopt, 0}, {"C", pointAt(0), 0},
                       {"R", pointAt(-30), 0}}),
        SpeakerLayout("nearly opposite", {{"A", pointAt(10), 0}, {"B", pointAt(-170.001), 0}}),
        SpeakerLayout("half and gap", {{"A", pointAt(0), 0}, {"B", pointAt(180), 0},
                                       {"C", pointAt(120), 0}}),
    };
    for (const SpeakerLayout& layout : layouts) {
        const tarvio::Panner vbap(*tarvio::findPanLaw("vbap"), layout);
        const auto arcs = tarvio::laws::wideArcs(layout);
        ASSERT_TRUE(arcs) << layout.name();
        const Positions p = positionsFor(layout);
        std::vector<double> out(p.x.size() * layout.size());
        std::vector<int> left(p.x.size());
        for (const auto& row : tarvio::laws::wideSpreadVariants()) {
            if (!tarvio::cpu::supported(row.isa))
                continue;
            SCOPED_TRACE(::testing::Message() << layout.name() << ", " << row.name);
            left.resize(p.x.size());
            left.resize(row.fn(arcs->view(), p.x.data(), p.y.data(), p.mono.data(), p.frames(),
                               out.data(), left.data()));
            if (row.isa != tarvio::cpu::Isa::Portable) {
                // The kernel does most of the slow turns (the first frames).
                const auto turning = std::count_if(left.begin(), left.end(),
                                                   [](int j) { return j < kTurnFrames; });
                EXPECT_LT(turning, kTurnFrames / 4);
            }
            std::size_t next = 0;
            for (int j = 0; j < p.frames(); ++j) {
                if (next < left.size() && left[next] == j) {
                    ++next;
                    continue;  // the frame holds nothing of use
                }
                ASSERT_TRUE(perFrameBytes(vbap, p, j, out.data()));
            }
        }
        vbap.spread(p.x.data(), p.y.data(), p.mono.data(), p.frames(), out.data());
        for (int j = 0; j < p.frames(); ++j)
            ASSERT_TRUE(perFrameBytes(vbap, p, j, out.data())) << layout.name() << ", spread";
    }
}

TEST(LawBlocks, AmbisonicKernelsGiveThePerFrameBytes) {
    for (int order = tarvio::kMinAmbisonicOrder; order <= tarvio::kMaxAmbisonicOrder; ++order) {
        const SpeakerLayout layout = *tarvio::findLayout("ambisonics:" + std::to_string(order));
        const tarvio::Panner encoder(*tarvio::findPanLaw("ambisonic"), layout);
        const Positions p = positionsFor(*tarvio::findLayout("ring:5"));
        std::vector<double> out(p.x.size() * layout.size());
        encoder.spread(p.x.data(), p.y.data(), p.mono.data(), p.frames(), out.data());
        for (int j = 0; j < p.frames(); ++j)
            ASSERT_TRUE(perFrameBytes(encoder, p, j, out.data())) << "order " << order;
        const tarvio::laws::AmbisonicTable table = tarvio::laws::ambisonicTable(order);
        for (const auto& row : tarvio::laws::ambisonicSpreadVariants()) {
            if (!tarvio::cpu::supported(row.isa))
                continue;
            for (int frames : {p.frames(), p.frames() - 3, 5}) {
                std::fill(out.begin(), out.end(), -7.0);
                row.fn(table.view(), p.x.data(), p.y.data(), p.mono.data(), frames, out.data());
                for (int j = 0; j < frames; ++j)
                    ASSERT_TRUE(perFrameBytes(encoder, p, j, out.data()))
                        << "order " << order << ", " << row.name << ", " << frames << " frames";
            }
        }
    }
}

// dbap's block form keeps the gains of a position for the frames that stay
// on it; the slow turns along the edges keep x or y alone.
TEST(LawBlocks, DbapBlockFormGivesThePerFrameBytes) {
    tarvio::LawParams sharp;
    sharp.blur = 0.0;  // a sound on a loudspeaker: that one alone
    tarvio::LawParams flat;
    flat.rolloff = 0.0;
    flat.blur = 3.0;
    for (const tarvio::LawParams& params : {tarvio::LawParams(), sharp, flat}) {
        for (const char* name : {"ring:16", "5.1", "stereo"}) {
            const SpeakerLayout layout = *tarvio::findLayout(name);
            const tarvio::Panner dbap(*tarvio::findPanLaw("dbap"), layout, params);
            const Positions p = positionsFor(layout);
            std::vector<double> out(p.x.size() * layout.size());
            dbap.spread(p.x.data(), p.y.data(), p.mono.data(), p.frames(), out.data());
            for (int j = 0; j < p.frames(); ++j)
                ASSERT_TRUE(perFrameBytes(dbap, p, j, out.data()))
                    << name << ", blur " << params.blur << ", rolloff " << params.rolloff;
        }
    }
}

// vbap on the sphere: the block form of the panner, and every variant of
// its kernel given any triangle for eight frames, against the per-frame
// law. A kernel may only take frames in the triangle the per-frame law
// finds: on the slow turns at ear height (on the edges between the
// triangles above and below), on each loudspeaker's direction and beside
// it, at constant, stepping and sweeping elevations.
TEST(LawBlocks, SphereVbapKernelsGiveThePerFrameBytes) {
    for (const char* name : {"5.1.4", "9.1.6", "dome:6@-30,8@0,4@45,1@90", "dome:5@20,3@60"}) {
        const SpeakerLayout layout = *tarvio::findLayout(name);
        const tarvio::Panner vbap(*tarvio::findPanLaw("vbap"), layout);
        const auto sphere = tarvio::laws::sphereLayout(layout);
        ASSERT_TRUE(sphere) << name;
        const Positions p = positionsFor(layout);
        std::vector<double> out(p.x.size() * layout.size()), want(layout.size());
        const std::size_t n = static_cast<std::size_t>(layout.size());
        std::vector<double> elevation(p.x.size());
        for (int kind = 0; kind < 4; ++kind) {
            for (std::size_t j = 0; j < elevation.size(); ++j) {
                const double sweep = -80.0 + 160.0 * static_cast<double>(j) / elevation.size();
                const double stairs[] = {0.0, 30.0, 45.0, -30.0};
                elevation[j] = kind == 0 ? 0.0 : kind == 1 ? 45.0 : kind == 2 ? sweep : stairs[j / 64 % 4];
            }
            SCOPED_TRACE(::testing::Message() << name << ", elevations " << kind);
            const auto sameAsPerFrame = [&](int j, const double* frame) {
                vbap.gains(p.x[j], p.y[j], elevation[j], want.data());
                for (std::size_t ch = 0; ch < n; ++ch) {
                    const double w = want[ch] * p.mono[j];
                    if (std::memcmp(&w, frame + ch, sizeof w) != 0)
                        return ::testing::AssertionFailure() << "frame " << j << " channel " << ch;
                }
                return ::testing::AssertionSuccess();
            };
            vbap.spread(p.x.data(), p.y.data(), elevation.data(), p.mono.data(), p.frames(),
                        out.data());
            for (int j = 0; j < p.frames(); ++j)
                ASSERT_TRUE(sameAsPerFrame(j, out.data() + j * n)) << "spread";
            const int lanes = tarvio::laws::kSphereLanes;
            for (const auto& row : tarvio::laws::sphereLanesVariants()) {
                if (!tarvio::cpu::supported(row.isa))
                    continue;
                int taken = 0, groups = 0;
                for (int j = 0; j + lanes <= kTurnFrames; j += lanes) {
                    if (!std::all_of(&elevation[j], &elevation[j] + lanes,
                                     [&](double e) { return e == elevation[j]; }))
                        continue;
                    ++groups;
                    const double e = elevation[j] * kPi / 180.0;
                    for (int t = 0; t < static_cast<int>(sphere->triangles.size()); ++t) {
                        if (!row.fn(*sphere, t, &p.x[j], &p.y[j], std::cos(e), std::sin(e),
                                    &p.mono[j], layout.size(), out.data()))
                            continue;
                        ++taken;
                        for (int k = 0; k < lanes; ++k)
                            ASSERT_TRUE(sameAsPerFrame(j + k, out.data() + k * n))
                                << row.name << ", triangle " << t;
                    }
                }
                if (groups > 0) {
                    EXPECT_GT(taken, groups / 2) << row.name;
                }
                EXPECT_LE(taken, groups) << row.name;
            }
        }
    }
}

}  // namespace
