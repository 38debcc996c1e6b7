// SPDX-License-Identifier: MIT
// tarvio-render next to sox and ffmpeg: the output keeps the input's depth,
// dithers when it must, says when it clips, sets levels in decibels, peaks
// and loudness, refuses names that contradict the format, shows the path
// without rendering, forgives typing, and survives being run in parallel.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::CommandResult;
using testsupport::entries;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A stereo tone of `seconds` at `dbfs`, written by libsndfile in `subtype`.
void writeTone(const std::string& path, int subtype, double dbfs, double seconds = 2,
               int rate = 44100) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | subtype;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr);
    const double a = std::pow(10.0, dbfs / 20.0);
    const int frames = static_cast<int>(seconds * rate);
    std::vector<double> x(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i)
        x[2 * i] = x[2 * i + 1] = a * std::sin(2 * kPi * 1000.0 * i / rate);
    sf_writef_double(sf, x.data(), frames);
    sf_close(sf);
}

std::vector<double> channel(const std::string& path, int c, int* channels = nullptr) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(sf, nullptr) << path;
    if (!sf)
        return {};
    std::vector<double> all(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_double(sf, all.data(), info.frames);
    sf_close(sf);
    if (channels)
        *channels = info.channels;
    std::vector<double> one;
    for (std::size_t i = static_cast<std::size_t>(c); i < all.size(); i += info.channels)
        one.push_back(all[i]);
    return one;
}

// The level in dB of frequency `hz` in `x` (a Hann-windowed DFT bin).
double level(const std::vector<double>& x, double hz, int rate = 44100) {
    double re = 0, im = 0;
    const std::size_t n = x.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * kPi * i / (n - 1));
        re += w * x[i] * std::cos(2 * kPi * hz * i / rate);
        im += w * x[i] * std::sin(2 * kPi * hz * i / rate);
    }
    return 10 * std::log10(re * re + im * im + 1e-300);
}

double peakOf(const std::vector<double>& x) {
    double p = 0;
    for (double v : x)
        p = std::max(p, std::fabs(v));
    return p;
}

class Conventions : public ::testing::Test {
  protected:
    CommandResult render(const std::string& args, const std::string& prefix = "") {
        return runCommand("cd " + shellQuote(dir.path()) + " && " + prefix +
                          shellQuote(TARVIO_RENDER_BINARY) + " " + args);
    }
    std::string summaryLine(const CommandResult& r, const std::string& key) {
        const std::size_t at = r.out.find(key);
        return at == std::string::npos ? "" : r.out.substr(at, r.out.find('\n', at) - at);
    }
    TempDir dir;
};

}  // namespace

// Without --bits the output keeps the input's precision where the format
// holds it, and the summary says which.
TEST_F(Conventions, DepthFollowsTheInput) {
    writeTone(dir.file("s16.wav"), SF_FORMAT_PCM_16, -6);
    writeTone(dir.file("s24.wav"), SF_FORMAT_PCM_24, -6);
    writeTone(dir.file("f32.wav"), SF_FORMAT_FLOAT, -6);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"s16.wav o.wav", "WAV, 16-bit, 4"},
        {"s24.wav o.wav", "WAV, 24-bit, 4"},
        {"f32.wav o.wav", "WAV, 32-bit float, 4"},
        {"f32.wav o.flac", "FLAC, 24-bit (TPDF dither), 4"},
        {"s24.wav o.aif", "AIFF, 24-bit, 4"},
    };
    for (const auto& c : cases) {
        const CommandResult r = render(c.first);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(summaryLine(r, "output:").find(c.second), std::string::npos) << r.out;
    }
}

// A tone at -80 dBFS reduced from 24 to 16 bits: with the default dither its
// harmonics stay 50 dB below it (without, the rounding error shows them far
// higher), and the same command gives the same bytes.
TEST_F(Conventions, DitherKeepsQuietTonesCleanAndIsReproducible) {
    writeTone(dir.file("quiet.wav"), SF_FORMAT_PCM_24, -80);
    // The point held at the back-left corner: channel 3 of a WAV carries the
    // mono tone.
    const std::string still = "--rot1=0 --rot2=0 --bits 16 quiet.wav ";
    ASSERT_EQ(render("-q " + still + "d.wav").status, 0);
    ASSERT_EQ(render("-q " + still + "d2.wav").status, 0);
    ASSERT_EQ(render("-q --dither none " + still + "n.wav").status, 0);
    EXPECT_EQ(readFile(dir.file("d.wav")), readFile(dir.file("d2.wav")));
    for (const auto& f : {std::make_pair("d.wav", true), std::make_pair("n.wav", false)}) {
        const std::vector<double> x = channel(dir.file(f.first), 2);
        const double tone = level(x, 1000);
        const double harmonics = std::max(level(x, 3000), level(x, 5000));
        std::cout << f.first << ": harmonics " << tone - harmonics << " dB below the tone\n";
        if (f.second)
            EXPECT_GT(tone - harmonics, 50.0);
        else
            EXPECT_LT(tone - harmonics, 40.0);
    }
}

// Clipping is said on standard error, even with -q.
TEST_F(Conventions, ClippingIsSaidEvenWhenQuiet) {
    writeTone(dir.file("loud.wav"), SF_FORMAT_PCM_16, -1);
    const CommandResult r = render("-q --norm 3 loud.wav o.wav");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex("tarvio-render: warning: [0-9]+ samples clipped \\(peak \\+[0-9.]+ "
                          "dBFS\\); lower --norm or use --normalize\n")))
        << r.err;
    EXPECT_EQ(render("-q loud.wav o.wav").err, "");
}

// Levels: --gain in decibels, --normalize to a peak, --loudness to an
// integrated loudness that ffmpeg's ebur128 filter agrees with.
TEST_F(Conventions, LevelsInDecibelsPeaksAndLoudness) {
    writeTone(dir.file("t.wav"), SF_FORMAT_FLOAT, -12, 3);
    const std::string job = "-q --rot1 0.3 --rot2 0.2 --bits float t.wav ";
    ASSERT_EQ(render(job + "plain.wav").status, 0);
    ASSERT_EQ(render("--gain -6 " + job + "quiet.wav").status, 0);
    const std::vector<double> plain = channel(dir.file("plain.wav"), 0);
    const std::vector<double> quiet = channel(dir.file("quiet.wav"), 0);
    EXPECT_NEAR(peakOf(quiet) / peakOf(plain), std::pow(10.0, -6.0 / 20), 1e-6);

    CommandResult r = render("--normalize=-3 " + job + "n.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    double peak = 0;
    for (int c = 0; c < 4; ++c)
        peak = std::max(peak, peakOf(channel(dir.file("n.wav"), c)));
    EXPECT_NEAR(20 * std::log10(peak), -3.0, 0.01);

    TARVIO_REQUIRE_PROGRAM("ffmpeg");
    r = render("--loudness -23 --rot1 0.3 --rot2 0.2 t.wav l.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("loudness: -23.0 LUFS"), std::string::npos) << r.out;
    const CommandResult meter = runCommand("ffmpeg -nostats -i " + shellQuote(dir.file("l.wav")) +
                                           " -af ebur128 -f null - 2>&1");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(meter.out, m, std::regex("I:\\s+(-?[0-9.]+) LUFS\\s+Threshold")))
        << meter.out;
    EXPECT_NEAR(std::stod(m[1]), -23.0, 0.5);
}

// Names that contradict the format, and formats the library cannot write,
// are refused before any work.
TEST_F(Conventions, FormatsAndNamesThatDoNotFitAreRefused) {
    writeTone(dir.file("t.wav"), SF_FORMAT_PCM_16, -6, 0.2);
    CommandResult r = render("-q --format wav t.wav out.flac");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("names a FLAC file, not WAV"), std::string::npos) << r.err;
    r = render("-q --plot pic.png t.wav out.wav");
    EXPECT_EQ(r.status, 2);
    r = render("-q t.wav out.mp3");  // MP3 holds two channels at the most
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("it can write aiff"), std::string::npos) << r.err;
    EXPECT_EQ(render("-q --bits 24 t.wav out.ogg").status, 2);
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"t.wav"}));
}

// --dry-run writes the trace and the picture and says what would be
// written, but writes no audio.
TEST_F(Conventions, DryRunShowsThePathWithoutRendering) {
    writeTone(dir.file("t.wav"), SF_FORMAT_PCM_24, -6, 1);
    const CommandResult r =
        render("--dry-run --rot1 0.5 --trace t.csv --plot p.svg t.wav never.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fileExists(dir.file("never.wav")));
    EXPECT_TRUE(fileExists(dir.file("p.svg")));
    const testsupport::Bytes trace = readFile(dir.file("t.csv"));
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 101);  // a header, a row every 0.01 s
    EXPECT_NE(r.out.find("never.wav: WAV, 24-bit, 4 channels, 44100 frames (dry run: not "
                         "written)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"t.wav", "t.csv", "p.svg"}));
}

// A dry run refuses exactly what the real run refuses before writing, with
// the same status and message, and neither leaves a file: formats that do
// not hold the job, a layout headphones cannot hear, law parameters where the
// law is not defined, loudness the meter cannot measure.
TEST_F(Conventions, TheDryRunRefusesWhatTheRunRefuses) {
    writeTone(dir.file("t.wav"), SF_FORMAT_PCM_16, -6, 0.5);
    writeTone(dir.file("short.wav"), SF_FORMAT_PCM_16, -6, 0.3);
    writeTone(dir.file("r16.wav"), SF_FORMAT_PCM_16, -6, 10, 16);
    // 1.1 GB of mono silence, on no disk space: four 16-bit channels of it
    // would pass 4 GB.
    testsupport::WavSpec big;
    big.dataLength = 1100000000;
    const std::string bigWav = dir.file("big.wav");
    writeFile(bigWav, testsupport::wavBytes(big));
    ASSERT_EQ(::truncate(bigWav.c_str(), 44 + big.dataLength), 0);
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"big.wav o.wav", 1,
         "o.wav: the output would pass the 4 GB that WAV files can describe; use --format w64 "
         "or --format rf64"},
        {"--format opus t.wav o.opus", 1,
         "o.opus: Ogg Opus holds only 8000, 12000, 16000, 24000 and 48000 Hz, not 44100 Hz"},
        {"--layout ring:64 t.wav o.flac", 1, "libsndfile cannot write FLAC (16-bit) with 64"},
        {"--layout ambisonics:2 --binaural t.wav o.wav", 2,
         "--binaural: renders loudspeakers, not Ambisonic channels (ambisonics:2)"},
        {"--binaural=missing.sofa t.wav o.wav", 1, "missing.sofa: No such file or directory"},
        {"--law dbap --blur 1e155 t.wav o.wav", 2, "--blur: must lie in [0, 10]: \"1e155\""},
        {"--law dbap --rolloff 2000 t.wav o.wav", 2,
         "--rolloff: must lie in [0, 60] dB: \"2000\""},
        {"--loudness -23 r16.wav o.wav", 2,
         "--loudness: loudness is measured at 8000 Hz or more (the K-weighting filter's shelf "
         "lies at 1.7 kHz), not at 16 Hz"},
        {"--loudness -23 short.wav o.wav", 1,
         "short.wav: the output (0.3 s) is shorter than the 400 ms block loudness is measured "
         "in"},
    };
    for (const auto& c : cases) {
        for (const std::string dry : {"", "--dry-run "}) {
            const CommandResult r = render("-q " + dry + std::get<0>(c));
            EXPECT_EQ(r.status, std::get<1>(c)) << dry << std::get<0>(c) << ": " << r.err;
            EXPECT_NE(r.err.find(std::get<2>(c)), std::string::npos) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    EXPECT_EQ(entries(dir.path()),
              (std::set<std::string>{"t.wav", "short.wav", "r16.wav", "big.wav"}));
}

// The peak of a 17 Hz input is measured without the loudness meter, which
// cannot take such a rate: --normalize works there.
TEST_F(Conventions, NormalizingNeedsOnlyThePeak) {
    writeTone(dir.file("r17.wav"), SF_FORMAT_PCM_16, -6, 10, 17);
    const CommandResult r = render("--normalize r17.wav o.w64");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("peak:     -1.0 dBFS"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("loudness:"), std::string::npos) << r.out;
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"r17.wav", "o.w64"}));
}

// A typo names the nearest options; -v and -V print the version; an angle
// below 0 is the same turn as 360 degrees more.
TEST_F(Conventions, AForgivingCommandLine) {
    writeTone(dir.file("t.wav"), SF_FORMAT_PCM_16, -6, 0.2);
    CommandResult r = render("--rot 1 t.wav o.wav");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "tarvio-render: unknown option --rot; did you mean --rot1 or --rot2? (see --help)\n");
    EXPECT_EQ(render("-v").out, render("-V").out);
    EXPECT_EQ(render("-v").out, render("--version").out);
    ASSERT_EQ(render("-q --rot1 1 --angle1 -90 t.wav a.wav").status, 0);
    ASSERT_EQ(render("-q --rot1 1 --angle1 270 t.wav b.wav").status, 0);
    EXPECT_EQ(readFile(dir.file("a.wav")), readFile(dir.file("b.wav")));
}

// Four runs at once, on four outputs and on one: each output is whole, the
// shared one is exactly one run's result, and no hidden file is left.
TEST_F(Conventions, RunsInParallelNeverTearAnOutput) {
    writeTone(dir.file("t.wav"), SF_FORMAT_PCM_16, -6, 4);
    std::vector<testsupport::Bytes> alone;
    for (int k = 0; k < 4; ++k) {
        const std::string out = "alone" + std::to_string(k) + ".wav";
        ASSERT_EQ(render("-q --rot1 " + std::to_string(k + 1) + " t.wav " + out).status, 0);
        alone.push_back(readFile(dir.file(out)));
    }
    for (const std::string& target : {std::string("each"), std::string("same")}) {
        std::string batch;
        for (int k = 0; k < 4; ++k)
            batch += shellQuote(TARVIO_RENDER_BINARY) + " -q --rot1 " + std::to_string(k + 1) +
                     " t.wav " + (target == "each" ? "each" + std::to_string(k) : "same") +
                     ".wav & ";
        ASSERT_EQ(runCommand("cd " + shellQuote(dir.path()) + " && { " + batch + "wait; }").status,
                  0);
        if (target == "each") {
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(readFile(dir.file("each" + std::to_string(k) + ".wav")), alone[k]) << k;
        } else {
            const testsupport::Bytes same = readFile(dir.file("same.wav"));
            EXPECT_TRUE(same == alone[0] || same == alone[1] || same == alone[2] ||
                        same == alone[3]);
        }
    }
    for (const std::string& name : entries(dir.path()))
        EXPECT_EQ(name.find(".tarvio-"), std::string::npos) << name;
}
