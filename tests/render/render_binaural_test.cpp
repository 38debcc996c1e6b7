// SPDX-License-Identifier: MIT
// tarvio-render --binaural with the real binary and the default HRTF set:
// the ear on a loudspeaker's side is louder and hears it first, a circling
// sound moves between the ears as the trace says, and ffmpeg's sofalizer,
// given the four-channel file of the same job, agrees with it.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::CommandResult;
using testsupport::fileExists;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::WavSpec;
using testsupport::writeFile;
using testsupport::writeWav;

namespace {

constexpr int kRate = 44100;
const char* const kSofa = "/usr/share/libmysofa/default.sofa";

struct Stereo {
    std::vector<double> left, right;
};

Stereo readStereo(const std::string& path) {
    Stereo s;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(sf, nullptr) << path;
    if (!sf)
        return s;
    EXPECT_EQ(info.channels, 2);
    std::vector<double> x(static_cast<std::size_t>(info.frames) * 2);
    sf_readf_double(sf, x.data(), info.frames);
    sf_close(sf);
    for (std::size_t i = 0; i + 1 < x.size(); i += 2) {
        s.left.push_back(x[i]);
        s.right.push_back(x[i + 1]);
    }
    return s;
}

double energy(const std::vector<double>& x, std::size_t from, std::size_t to) {
    double e = 0;
    for (std::size_t i = from; i < to && i < x.size(); ++i)
        e += x[i] * x[i];
    return e;
}

// Σ a[i] b[i + lag] over the overlap.
double dot(const std::vector<double>& a, const std::vector<double>& b, long lag) {
    double d = 0;
    for (long i = 0; i < static_cast<long>(a.size()); ++i) {
        const long j = i + lag;
        if (j >= 0 && j < static_cast<long>(b.size()))
            d += a[static_cast<std::size_t>(i)] * b[static_cast<std::size_t>(j)];
    }
    return d;
}

// The lag (in samples, within ±maxLag) at which b best matches a.
long bestLag(const std::vector<double>& a, const std::vector<double>& b, long maxLag) {
    long best = 0;
    double bestDot = -1e300;
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        const double d = dot(a, b, lag);
        if (d > bestDot) {
            bestDot = d;
            best = lag;
        }
    }
    return best;
}

class Binaural : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fileExists(kSofa)) {
            if (testsupport::peersRequired())
                FAIL() << kSofa << " missing (Debian package libmysofa1)";
            GTEST_SKIP() << kSofa << " missing";
        }
        WavSpec w;
        w.rate = kRate;
        std::uint32_t lcg = 12345;
        for (int i = 0; i < kRate * 2; ++i) {
            lcg = lcg * 1664525u + 1013904223u;
            w.samples.push_back(static_cast<std::int16_t>(static_cast<int>(lcg >> 16) / 8 - 4096));
        }
        writeWav(dir.file("noise.wav"), w);
    }
    CommandResult render(const std::string& args) {
        return runCommand("cd " + shellQuote(dir.path()) + " && " +
                          shellQuote(TARVIO_RENDER_BINARY) + " -q " + args);
    }
    TempDir dir;
};

}  // namespace

// A sound held at each corner of the square: the ear on its side is at least
// 4 dB louder over the whole file, and hears it 0.2 to 1.0 ms earlier.
TEST_F(Binaural, TheNearEarIsLouderAndFirst) {
    struct Corner {
        const char* point;
        bool left;
    };
    for (const Corner& c : {Corner{"0 1", true}, Corner{"1 1", false}, Corner{"0 0", true},
                            Corner{"1 0", false}}) {
        SCOPED_TRACE(c.point);
        const std::string line = std::string("0 ") + c.point + "\n";
        writeFile(dir.file("still.txt"), testsupport::Bytes(line.begin(), line.end()));
        ASSERT_EQ(render("--binaural --bits float --path still.txt noise.wav hp.wav").status, 0);
        const Stereo s = readStereo(dir.file("hp.wav"));
        const double el = energy(s.left, 0, s.left.size()), er = energy(s.right, 0, s.right.size());
        const double ild = 10 * std::log10(c.left ? el / er : er / el);
        EXPECT_GE(ild, 4.0);
        // The far ear's signal lags the near one's by `lag` samples.
        const std::vector<double>& nearEar = c.left ? s.left : s.right;
        const std::vector<double>& farEar = c.left ? s.right : s.left;
        const double lagMs = 1000.0 * bestLag(nearEar, farEar, kRate / 500) / kRate;
        EXPECT_GE(lagMs, 0.2);
        EXPECT_LE(lagMs, 1.0);
        std::cout << c.point << ": ILD " << ild << " dB, ITD " << lagMs << " ms\n";
    }
}

// A circling sound: over windows of 0.1 s, the louder ear is the one on the
// side of the trace's azimuth (left where it is positive).
TEST_F(Binaural, ACirclingSoundMovesBetweenTheEars) {
    ASSERT_EQ(render("--binaural --rot1 0.5 --rot2 0.5 --angle2 90 --trace t.csv --trace-step 0.1 "
                     "noise.wav hp.wav")
                  .status,
              0);
    const Stereo s = readStereo(dir.file("hp.wav"));
    std::ifstream trace(dir.file("t.csv"));
    std::string line;
    std::getline(trace, line);
    int judged = 0, agreed = 0;
    for (int row = 0; std::getline(trace, line); ++row) {
        std::stringstream fields(line);
        std::string seconds, x, y, azimuth;
        std::getline(fields, seconds, ',');
        std::getline(fields, x, ',');
        std::getline(fields, y, ',');
        std::getline(fields, azimuth, ',');
        const double a = std::stod(azimuth);
        if (std::fabs(a) < 30 || std::fabs(a) > 150)
            continue;  // near the middle line the ears are close
        const std::size_t from = static_cast<std::size_t>(std::stod(seconds) * kRate);
        const std::size_t to = from + kRate / 10;
        const bool leftLouder = energy(s.left, from, to) > energy(s.right, from, to);
        ++judged;
        agreed += leftLouder == (a > 0);
    }
    EXPECT_GE(judged, 8);
    EXPECT_GE(agreed, judged - 1);
}

// ffmpeg's sofalizer on the quad WAV of the same job (its loudspeakers at
// FL 45, FR 315, BL 135, BR 225 in its convention, no normalisation, no
// interpolation) against --binaural: after one gain per ear, the normalised
// cross-correlation of each ear is at least 0.98. The sound sweeps along the
// front edge, between the two front loudspeakers: the sofalizer of ffmpeg 5
// keeps its own 150 degrees for the back pair whatever it is told (a still
// sound at a back corner gives 6.1 dB there, as this program gives at 150
// degrees), so the back pair would only compare two different directions.
TEST_F(Binaural, AgreesWithFfmpegsSofalizer) {
    TARVIO_REQUIRE_PROGRAM("ffmpeg");
    if (runCommand("ffmpeg -hide_banner -filters 2>/dev/null | grep -q sofalizer").status != 0)
        GTEST_SKIP() << "this ffmpeg has no sofalizer filter";
    const std::string sweep = "0 0 1\n2 1 1\n";
    writeFile(dir.file("front.txt"), testsupport::Bytes(sweep.begin(), sweep.end()));
    const std::string job = "--bits float --path front.txt noise.wav ";
    ASSERT_EQ(render(job + "quad.wav").status, 0);
    ASSERT_EQ(render("--binaural " + job + "hp.wav").status, 0);
    const CommandResult peer = runCommand(
        "cd " + shellQuote(dir.path()) +
        " && ffmpeg -v error -y -i quad.wav -af 'sofalizer=sofa=" + kSofa +
        ":type=freq:normalize=0:interpolate=0:speakers=FL 45|FR 315|BL 135|BR 225' "
        "-c:a pcm_f32le peer.wav");
    ASSERT_EQ(peer.status, 0) << peer.err;
    const Stereo ours = readStereo(dir.file("hp.wav"));
    const Stereo theirs = readStereo(dir.file("peer.wav"));
    for (int ear = 0; ear < 2; ++ear) {
        const std::vector<double>& a = ear == 0 ? ours.left : ours.right;
        const std::vector<double>& b = ear == 0 ? theirs.left : theirs.right;
        const long lag = bestLag(a, b, 2048);
        const double r = dot(a, b, lag) / std::sqrt(dot(a, a, 0) * dot(b, b, 0));
        std::cout << (ear == 0 ? "left" : "right") << ": correlation " << r << " at lag " << lag
                  << "\n";
        EXPECT_GE(r, 0.98) << (ear == 0 ? "left" : "right");
    }
}
