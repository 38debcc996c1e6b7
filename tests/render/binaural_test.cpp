// SPDX-License-Identifier: MIT
// Headphone output: the partitioned convolution against the plain sum, the
// direction of a side source, the level of a front one, one loaded set for
// several convolvers, and the errors of a SOFA file that cannot be used.
// One source through the weighted HRIRs (BinauralSource) against the
// convolution of its loudspeaker feeds: the same for a still source, close
// and without clicks for a moving one. The pipeline that convolves on a
// second thread against BinauralSource itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/BreakpointPath.h"
#include "engine/GainLaw.h"
#include "engine/Spatializer.h"
#include "engine/SpeakerLayout.h"
#include "render/Binaural.h"
#include "render/BinauralPipeline.h"
#include "render/BinauralSource.h"
#include "tests/support/TestSupport.h"

using tarvio::SpeakerLayout;
using tarvio::render::Binaural;
using tarvio::render::BinauralPipeline;
using tarvio::render::BinauralSource;
using tarvio::render::HrirSet;

namespace {

// Integer LCG noise in [-0.5, 0.5), the same on every run.
std::vector<double> noise(std::size_t count, std::uint32_t seed) {
    std::vector<double> v(count);
    for (double& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<double>(seed >> 8) / 16777216.0 - 0.5;
    }
    return v;
}

bool haveDefaultSet() {
    if (std::ifstream(tarvio::render::kDefaultSofaFile)) {
        return true;
    }
    // With the peers required a missing file fails the test below.
    return TARVIO_REQUIRE_PEERS;
}

#define REQUIRE_DEFAULT_SET()                                                              \
    if (!haveDefaultSet()) {                                                               \
        GTEST_SKIP() << tarvio::render::kDefaultSofaFile << " is missing (Debian package " \
                     << "libmysofa1)";                                                     \
    }

// The whole output, tail included, of `input` (frames of layout.size()
// channels) given in calls of the sizes in `calls`, round and round.
std::vector<double> render(Binaural& b, const std::vector<double>& input, int channels,
                           const std::vector<int>& calls) {
    const int frames = static_cast<int>(input.size()) / channels;
    std::vector<double> out(2 * static_cast<std::size_t>(frames + b.tailFrames()));
    int done = 0;
    for (std::size_t k = 0; done < frames; ++k) {
        const int n = std::min(calls[k % calls.size()], frames - done);
        b.process(input.data() + static_cast<std::size_t>(done) * channels, n,
                  out.data() + 2 * static_cast<std::size_t>(done));
        done += n;
    }
    b.finish(out.data() + 2 * static_cast<std::size_t>(frames));
    return out;
}

// Per ear: the sum over channels of the input convolved with the HRIRs.
std::vector<double> directConvolution(const Binaural& b, const std::vector<double>& input,
                                      int channels) {
    const std::size_t frames = input.size() / channels;
    std::vector<double> out(2 * (frames + b.tailFrames()));
    for (int c = 0; c < channels; ++c) {
        for (int ear = 0; ear < 2; ++ear) {
            const std::vector<double>& h = b.impulseResponse(c, ear);
            for (std::size_t f = 0; f < frames; ++f) {
                for (std::size_t t = 0; t < h.size(); ++t) {
                    out[2 * (f + t) + ear] += input[f * channels + c] * h[t];
                }
            }
        }
    }
    return out;
}

double energy(const std::vector<double>& stereo, int ear) {
    double sum = 0;
    for (std::size_t i = ear; i < stereo.size(); i += 2) {
        sum += stereo[i] * stereo[i];
    }
    return sum;
}

double db(double ratio) {
    return 10 * std::log10(ratio);
}

// The lag, in frames, by which the right ear's signal follows the left's:
// the peak of their cross-correlation within +-maxLag.
int rightEarLag(const std::vector<double>& stereo, int maxLag) {
    const long frames = static_cast<long>(stereo.size() / 2);
    int best = 0;
    double bestSum = -1e300;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double sum = 0;
        for (long f = std::max(0L, -static_cast<long>(lag)); f + lag < frames && f < frames; ++f) {
            sum += stereo[2 * f] * stereo[2 * (f + lag) + 1];
        }
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best;
}

// Blocks of the partition's size and others, crossing partition edges in
// every way, with one, three and a single partition of the HRIRs; the same
// signal again after finish() gives the same output.
TEST(Binaural, PartitionedConvolutionEqualsDirectSum) {
    REQUIRE_DEFAULT_SET();
    const SpeakerLayout& quad = tarvio::layouts::quad();
    struct Case {
        int rate, maxBlock;
        std::vector<int> calls;
    };
    for (const Case& c : {Case{48000, 256, {256, 1, 100, 256, 37, 255, 300}},
                          Case{44100, 1000, {1000, 999, 7, 1000}}}) {
        SCOPED_TRACE("rate " + std::to_string(c.rate) + ", blocks of " +
                     std::to_string(c.maxBlock));
        Binaural b(tarvio::render::kDefaultSofaFile, quad, c.rate, c.maxBlock);
        const std::vector<double> input = noise(3100 * 4, 7);
        const std::vector<double> expected = directConvolution(b, input, 4);
        const std::vector<double> got = render(b, input, 4, c.calls);
        double peak = 0, worst = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            peak = std::max(peak, std::abs(expected[i]));
            worst = std::max(worst, std::abs(got[i] - expected[i]));
        }
        // KissFFT computes in float.
        EXPECT_LT(worst, 2e-6 * peak);
        EXPECT_EQ(render(b, input, 4, c.calls), got);
    }
}

// Front left (+45 degrees): louder and earlier in the left ear, by the
// head's width.
TEST(Binaural, LeftSourceIsLouderAndEarlierOnTheLeft) {
    REQUIRE_DEFAULT_SET();
    const SpeakerLayout& quad = tarvio::layouts::quad();
    const int rate = 48000, frames = rate / 2;
    int fl = 0;
    while (quad[fl].label != "FL") {
        ++fl;
    }
    const std::vector<double> source = noise(frames, 11);
    std::vector<double> input(4 * static_cast<std::size_t>(frames), 0.0);
    for (int f = 0; f < frames; ++f) {
        input[4 * static_cast<std::size_t>(f) + fl] = source[f];
    }
    Binaural b(tarvio::render::kDefaultSofaFile, quad, rate, 1024);
    const std::vector<double> out = render(b, input, 4, {1024});
    EXPECT_GE(db(energy(out, 0) / energy(out, 1)), 4.0);
    const double lagMs = 1000.0 * rightEarLag(out, rate / 500) / rate;
    EXPECT_GE(lagMs, 0.2);
    EXPECT_LE(lagMs, 1.0);
}

// A source straight ahead keeps the level of white noise in each ear.
TEST(Binaural, FrontSourceKeepsItsLevel) {
    REQUIRE_DEFAULT_SET();
    const SpeakerLayout front("front", {{"FC", tarvio::pointAt(0), 0x4}});
    const int rate = 48000, frames = rate;
    const std::vector<double> input = noise(frames, 3);
    Binaural b(tarvio::render::kDefaultSofaFile, front, rate, 512);
    const std::vector<double> out = render(b, input, 1, {512});
    double in = 0;
    for (double x : input) {
        in += x * x;
    }
    EXPECT_NEAR(db(energy(out, 0) / in), 0.0, 1.0);
    EXPECT_NEAR(db(energy(out, 1) / in), 0.0, 1.0);
}

// A set loaded once serves two convolvers without the file (a measuring and
// a writing pass), and they give what a convolver that loads its own gives.
TEST(Binaural, OneLoadedSetServesTwoConvolvers) {
    REQUIRE_DEFAULT_SET();
    testsupport::TempDir dir;
    const std::string copy = dir.file("set.sofa");
    {
        std::ifstream in(tarvio::render::kDefaultSofaFile, std::ios::binary);
        std::ofstream(copy, std::ios::binary) << in.rdbuf();
    }
    const SpeakerLayout& quad = tarvio::layouts::quad();
    const std::shared_ptr<const HrirSet> set = HrirSet::load(copy, quad, 48000);
    ASSERT_EQ(std::remove(copy.c_str()), 0);
    const std::vector<double> input = noise(5000 * 4, 5);
    Binaural own(tarvio::render::kDefaultSofaFile, quad, 48000, 512);
    const std::vector<double> expected = render(own, input, 4, {512});
    for (int pass = 0; pass < 2; ++pass) {
        Binaural shared(set, 512);
        EXPECT_EQ(render(shared, input, 4, {512}), expected) << "pass " << pass;
        EXPECT_EQ(shared.sofaFile(), copy);
    }
}

// The message names the file and says what is wrong with it.
TEST(Binaural, UnusableSofaFileIsNamedWithCause) {
    testsupport::TempDir dir;
    const std::string missing = dir.file("missing.sofa");
    const std::string text = dir.file("text.sofa");
    std::ofstream(text) << "not a SOFA file\n";
    const std::pair<std::string, std::string> cases[] = {
        {missing, missing + ": No such file or directory"},
        {text, text + ": not a SOFA file (no HDF5 data)"},
        {dir.path(), dir.path() + ": Is a directory"}};
    for (const auto& [file, message] : cases) {
        try {
            Binaural(file, tarvio::layouts::quad(), 48000, 1024);
            ADD_FAILURE() << file << " was taken";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

// A mono signal rendered both ways, with the positions of the spatializer
// (its rotations, or `path` where given; one input channel, so that its
// mixdown is the signal itself): its loudspeaker feeds through Binaural,
// and the signal and positions through BinauralSource in calls of the
// sizes in `calls`, round and round within each block. Both outputs include
// the tail.
struct BothWays {
    std::vector<double> feeds, source;
};

BothWays renderBothWays(const std::string& layoutName, const tarvio::SpatializerParams& params,
                        const tarvio::BreakpointPath* path, const std::vector<double>& mono,
                        int rate, const std::vector<int>& calls) {
    const SpeakerLayout layout = *tarvio::findLayout(layoutName);
    const int frames = static_cast<int>(mono.size());
    tarvio::SpatializerOptions options;
    options.layout = &layout;
    options.keepPositions = true;
    options.path = path;
    tarvio::Spatializer sp(params, 1, rate, frames, options);
    const tarvio::Panner panner(*tarvio::defaultPanLaw(layout), layout);
    const std::shared_ptr<const HrirSet> set =
        HrirSet::load(tarvio::render::kDefaultSofaFile, layout, rate);
    Binaural feeds(set, tarvio::BLOCK_SIZE);
    BinauralSource source(set, panner, tarvio::BLOCK_SIZE);
    EXPECT_EQ(source.tailFrames(), feeds.tailFrames());
    const std::size_t length = 2 * static_cast<std::size_t>(frames + feeds.tailFrames());
    BothWays out{std::vector<double>(length), std::vector<double>(length, 0.0)};
    std::size_t call = 0;
    for (int done = 0; done < frames;) {
        const int n = std::min(tarvio::BLOCK_SIZE, frames - done);
        std::copy_n(mono.data() + done, n, sp.inBlock());
        sp.processBlock(n);
        feeds.process(sp.outBlock(), n, out.feeds.data() + 2 * static_cast<std::size_t>(done));
        for (int k = 0; k < n; ++call) {
            const int m = std::min(calls[call % calls.size()], n - k);
            source.process(mono.data() + done + k, sp.positionsX() + k, sp.positionsY() + k, m,
                           out.source.data() + 2 * static_cast<std::size_t>(done + k));
            k += m;
        }
        sp.advanceSweeps();
        done += n;
    }
    feeds.finish(out.feeds.data() + 2 * static_cast<std::size_t>(frames));
    source.finish(out.source.data() + 2 * static_cast<std::size_t>(frames));
    return out;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b, int ear) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = ear; i < a.size(); i += 2) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

// The largest step from one sample to the next in either ear.
double largestJump(const std::vector<double>& stereo) {
    double jump = 0;
    for (std::size_t i = 2; i < stereo.size(); ++i) {
        jump = std::max(jump, std::abs(stereo[i] - stereo[i - 2]));
    }
    return jump;
}

std::vector<double> tone(int frames, int rate) {
    std::vector<double> v(static_cast<std::size_t>(frames));
    for (int f = 0; f < frames; ++f) {
        v[f] = 0.5 * std::sin(2 * 3.14159265358979323846 * 330.0 * f / rate);
    }
    return v;
}

// A still source, where the gains of every loudspeaker hold: vbap on a ring
// gives all but a pair the same gain off the edge, 5.1 has a loudspeaker
// without a direction; calls that cross the partitions in every way.
TEST(BinauralSource, StillSourceEqualsTheLoudspeakerFeedsConvolved) {
    REQUIRE_DEFAULT_SET();
    std::istringstream point("0 0.3 0.6\n");
    const tarvio::BreakpointPath still = tarvio::BreakpointPath::parse(point, "still");
    const std::vector<double> mono = noise(7000, 9);
    for (const char* layout : {"quad", "5.1", "ring:16"}) {
        for (const std::vector<int>& calls : {std::vector<int>{1024}, {100, 1, 300, 623, 37}}) {
            SCOPED_TRACE(std::string(layout) + ", calls of " + std::to_string(calls[0]));
            const BothWays out = renderBothWays(layout, {}, &still, mono, 48000, calls);
            double peak = 0, worst = 0;
            for (std::size_t i = 0; i < out.feeds.size(); ++i) {
                peak = std::max(peak, std::abs(out.feeds[i]));
                worst = std::max(worst, std::abs(out.source[i] - out.feeds[i]));
            }
            // Both compute their FFTs in float.
            EXPECT_LT(worst, 2e-6 * peak);
        }
    }
}

// A source that circles ever faster (to 3 Hz) through the loudspeakers: its
// ears' signals follow the feeds' convolution within 0.05% of correlation,
// and where the gains change from one partition to the next they glide: a
// tone steps from one sample to the next by no more than it does through
// the feeds.
TEST(BinauralSource, MovingSourceFollowsTheFeedsWithoutClicks) {
    REQUIRE_DEFAULT_SET();
    tarvio::SpatializerParams moving;
    moving.f1_init = 0.25;
    moving.f1_end = 3;
    moving.f2_init = 0.5;
    moving.f2_end = 1.75;
    moving.angle2 = 90;
    const int rate = 48000;
    const std::vector<double> mono = tone(4 * rate, rate);
    for (const char* layout : {"quad", "5.1", "ring:16", "ring:64"}) {
        for (const std::vector<int>& calls : {std::vector<int>{1024}, {100, 37, 500, 387}}) {
            SCOPED_TRACE(std::string(layout) + ", calls of " + std::to_string(calls[0]));
            const BothWays out = renderBothWays(layout, moving, nullptr, mono, rate, calls);
            EXPECT_GE(correlation(out.feeds, out.source, 0), 0.9995);
            EXPECT_GE(correlation(out.feeds, out.source, 1), 0.9995);
            EXPECT_LE(largestJump(out.source), 1.01 * largestJump(out.feeds));
        }
    }
}

// A source circling twice a second, two signals one after the other
// (finish() between them) given in calls of the sizes in `calls`, round and
// round: the whole output of BinauralSource::process() and finish().
std::vector<double> renderSource(BinauralSource& source, const std::vector<double>& mono,
                                 const std::vector<double>& x, const std::vector<double>& y,
                                 const std::vector<int>& calls) {
    std::vector<double> out;
    for (int signal = 0; signal < 2; ++signal) {
        const int frames = static_cast<int>(mono.size());
        std::vector<double> stereo(2 * static_cast<std::size_t>(frames + source.tailFrames()));
        std::size_t call = 0;
        for (int done = 0; done < frames; ++call) {
            const int n = std::min(calls[call % calls.size()], frames - done);
            source.process(mono.data() + done, x.data() + done, y.data() + done, n,
                           stereo.data() + 2 * static_cast<std::size_t>(done));
            done += n;
        }
        source.finish(stereo.data() + 2 * static_cast<std::size_t>(frames));
        out.insert(out.end(), stereo.begin(), stereo.end());
    }
    return out;
}

// The same through a pipeline: its output as it comes, in parts.
std::vector<double> renderPipeline(BinauralPipeline& pipeline, const std::vector<double>& mono,
                                   const std::vector<double>& x, const std::vector<double>& y,
                                   const std::vector<int>& calls) {
    std::vector<double> out;
    const auto keep = [&out](BinauralPipeline::Output ready) {
        out.insert(out.end(), ready.stereo,
                   ready.stereo + 2 * static_cast<std::size_t>(ready.frames));
        return ready.frames > 0;
    };
    for (int signal = 0; signal < 2; ++signal) {
        const int frames = static_cast<int>(mono.size());
        std::size_t call = 0;
        for (int done = 0; done < frames; ++call) {
            const int n = std::min(calls[call % calls.size()], frames - done);
            keep(pipeline.process(mono.data() + done, x.data() + done, y.data() + done, n));
            done += n;
        }
        while (keep(pipeline.finish())) {
        }
    }
    return out;
}

// The pipeline's output is BinauralSource's, sample for sample, on a
// second thread or on the caller's: batches of three calls hand over
// mid-path and carry their last filter to the next, short calls break the
// partitions, and finish() gives every batch before the tail; dbap gives
// every loudspeaker a gain, and the sums the most terms.
TEST(BinauralPipeline, GivesWhatTheSourceGivesSampleForSample) {
    REQUIRE_DEFAULT_SET();
    const int rate = 48000;
    const std::vector<double> mono = noise(static_cast<std::size_t>(rate), 21);
    std::vector<double> x(mono.size()), y(mono.size());
    for (std::size_t f = 0; f < x.size(); ++f) {
        const double turn = 2 * 3.14159265358979323846 * 2.0 * static_cast<double>(f) / rate;
        x[f] = 0.5 + 0.45 * std::sin(turn);
        y[f] = 0.5 + 0.45 * std::cos(turn);
    }
    const std::vector<int> calls{1024, 1024, 700, 1024, 1, 1024, 300};
    struct Case {
        const char* layout;
        const char* law;  // null: the layout's own
    };
    for (const Case& c : {Case{"quad", nullptr}, Case{"ring:16", "dbap"}}) {
        const SpeakerLayout layout = *tarvio::findLayout(c.layout);
        const tarvio::Panner panner(
            c.law ? *tarvio::findPanLaw(c.law) : *tarvio::defaultPanLaw(layout), layout);
        const std::shared_ptr<const HrirSet> set =
            HrirSet::load(tarvio::render::kDefaultSofaFile, layout, rate);
        BinauralSource source(set, panner, tarvio::BLOCK_SIZE);
        const std::vector<double> expected = renderSource(source, mono, x, y, calls);
        for (bool threaded : {true, false}) {
            SCOPED_TRACE(std::string(c.layout) + (threaded ? ", on a thread" : ", in place"));
            BinauralPipeline pipeline(set, panner, tarvio::BLOCK_SIZE, 3, threaded);
            EXPECT_EQ(renderPipeline(pipeline, mono, x, y, calls), expected);
        }
    }
}

}  // namespace
