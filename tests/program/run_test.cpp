// SPDX-License-Identifier: MIT
// End-to-end tests of the tarvio program: each test writes its own WAV input,
// runs the built binary (or tarvio::run in-process) and checks the text on
// standard output, the exit status and the AIFF file it leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "aiff/AiffLayout.h"
#include "app/Tarvio.h"
#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

#ifdef TARVIO_HAVE_SNDFILE
#include <sndfile.h>
#endif

using testsupport::Bytes;
using testsupport::CommandResult;
using testsupport::fileExists;
using testsupport::programArgs;
using testsupport::readFile;
using testsupport::readOutputFile;
using testsupport::runTarvio;
using testsupport::TempDir;
using testsupport::WavSpec;
using testsupport::writeFile;
using testsupport::writeWav;
using Aiff = testsupport::OutputFile;

namespace {

const std::string kUsageError =
    "Error: syntax is 'tarvio in.wav out.aif f1_init f1_end f2_init f2_end angle1 angle2 "
    "[norm]\n\n";

// Checks the banner at the start of `out` and returns what follows it.
std::string afterBanner(const std::string& out) {
    const std::string head = "[Tarvio, ver. 1.00]\n\nminimalistic four-channel spatializer\n";
    EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
    // Two credit lines of text, then an empty line.
    std::size_t pos = head.size();
    for (int i = 0; i < 2; ++i) {
        std::size_t nl = out.find('\n', pos);
        EXPECT_NE(nl, std::string::npos) << out;
        if (nl == std::string::npos)
            return "";
        EXPECT_GT(nl, pos) << "credit line " << i + 1 << " is empty";
        pos = nl + 1;
    }
    EXPECT_EQ(out.compare(pos, 1, "\n"), 0) << out;
    return out.substr(pos + 1);
}

// The four channel samples that a mono sample v at path position p (table
// units, 0 to 4095, one edge per 1024) must give, rounded as the writer
// rounds. The corners (0,0), (1,0), (1,1), (0,1) sit at 0, 1024, 2048, 3072.
std::vector<int> expectedFrame(int p, int v) {
    double x;
    double y;
    if (p <= 1024) {
        x = p / 1024.0, y = 0;
    } else if (p <= 2048) {
        x = 1, y = (p - 1024) / 1024.0;
    } else if (p <= 3072) {
        x = (3072 - p) / 1024.0, y = 1;
    } else {
        x = 0, y = (4096 - p) / 1024.0;
    }
    const double gains[4] = {x * y, (1 - x) * y, x * (1 - y), (1 - x) * (1 - y)};
    std::vector<int> f;
    for (double g : gains)
        f.push_back(static_cast<int>(std::round(g * v)));
    return f;
}

std::vector<int> frameOf(const Aiff& a, std::size_t frame) {
    std::vector<int> f;
    for (std::size_t c = 0; c < 4; ++c)
        f.push_back(a.samples.at(4 * frame + c));
    return f;
}

// A mono ramp through the whole 16-bit range, -32768 included.
std::vector<std::int16_t> rampSamples(int frames) {
    std::vector<std::int16_t> s;
    for (int j = 0; j < frames; ++j)
        s.push_back(static_cast<std::int16_t>((j * 7919L) % 65536 - 32768));
    return s;
}

TEST(Driver, ReportsTheParametersOfATwoChannelRun) {
    TempDir dir;
    WavSpec w;
    w.channels = 2;
    w.samples.assign(2 * 441000, 0);
    writeWav(dir.file("in.wav"), w);

    CommandResult r = runTarvio(programArgs(dir.file("in.wav"), dir.file("out.aif")));
    EXPECT_EQ(r.status, 0);
    const std::string rest = afterBanner(r.out);
    const std::string expected =
        "sampling rate        = 44100\n"
        "original channels    = 2\n"
        "natural frequency    = 0.1 Hz\n"
        "rotation frequencies = 1 Hz -> 2 and 0.5 Hz -> 0.25 Hz\n"
        "starting angles      = 0 deg, 90 deg\n"
        "amp. normalization   = 1\n"
        "\n"
        "spatializing...done\n"
        "\n";
    EXPECT_EQ(rest.substr(0, expected.size()), expected);
    // The writer's report follows, describing the finished file.
    const std::string report = rest.substr(std::min(expected.size(), rest.size()));
    EXPECT_EQ(report.compare(0, 39, std::string(38, '-') + "\n"), 0) << report;
    EXPECT_NE(report.find("      frames: 441000\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("clipped"), std::string::npos) << report;

    Aiff a = readOutputFile(dir.file("out.aif"));
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a.channels, 4);
    EXPECT_EQ(a.bits, 16);
    EXPECT_EQ(a.frames, 441000u);
}

TEST(Driver, WrongArgumentCountsGiveTheUsageError) {
    TempDir dir;
    WavSpec w;
    w.samples.assign(100, 1000);
    writeWav(dir.file("in.wav"), w);
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");

    const std::vector<std::vector<std::string>> cases = {
        {},
        {in, out, "1", "1", "1", "1", "0"},
        {in, out, "1", "1", "1", "1", "0", "0", "1", "extra"},
    };
    for (const auto& args : cases) {
        CommandResult r = runTarvio(args);
        EXPECT_EQ(r.status, 1) << args.size() << " arguments";
        EXPECT_EQ(afterBanner(r.out), kUsageError) << args.size() << " arguments";
        EXPECT_FALSE(fileExists(out)) << args.size() << " arguments";
    }
}

TEST(Driver, RefusedInputsCreateNoOutput) {
    TempDir dir;
    const std::string out = dir.file("out.aif");
    struct Case {
        std::string name;
        WavSpec wav;
        std::string error;
    };
    std::vector<Case> cases(3);
    // An 8-bit file; its body holds two one-byte samples per 16-bit entry.
    cases[0].name = "eight-bit";
    cases[0].wav.bits = 8;
    cases[0].wav.samples.assign(50, 0x7f80);
    cases[0].error = "Error: invalid format: only 16 bit files allowed\n";
    for (int i : {1, 2}) {
        cases[i].name = "channels" + std::to_string(1 - i);  // 0 and -1
        cases[i].wav.channels = 1 - i;
        cases[i].wav.blockAlign = 2;
        cases[i].wav.samples.assign(64, 100);
        cases[i].error = "Error: invalid format: channel count must be at least 1\n";
    }
    for (const Case& c : cases) {
        const std::string in = dir.file(c.name + ".wav");
        writeWav(in, c.wav);
        CommandResult r = runTarvio(programArgs(in, out));
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(afterBanner(r.out), c.error) << c.name;
        EXPECT_FALSE(fileExists(out)) << c.name;
    }

    const std::string missing = dir.file("missing.wav");
    CommandResult r = runTarvio(programArgs(missing, out));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(afterBanner(r.out), "Error: unable to open file \"" + missing + "\" for reading\n");
    EXPECT_FALSE(fileExists(out));
}

TEST(Driver, OutputInAMissingDirectoryReportsTheWriterError) {
    TempDir dir;
    WavSpec w;
    w.samples.assign(100, 1000);
    writeWav(dir.file("in.wav"), w);
    CommandResult r = runTarvio(programArgs(dir.file("in.wav"), dir.file("nowhere/out.aif")));
    EXPECT_EQ(r.status, 1);
    // The writer's message brings its own newline, so an empty line follows.
    EXPECT_EQ(afterBanner(r.out), "Error: Could not open AIFF file!\n\n");
}

TEST(Driver, NumbersAreConvertedLikeAtof) {
    TempDir dir;
    WavSpec w;
    w.samples.assign(3000, 0);
    writeWav(dir.file("in.wav"), w);
    CommandResult r = runTarvio({dir.file("in.wav"), dir.file("out.aif"), "fast", "  3.5Hz", "-1e1",
                                 "x", "ninety", "+45", "0.5 loud"});
    EXPECT_EQ(r.status, 0);
    const std::string rest = afterBanner(r.out);
    EXPECT_NE(rest.find("rotation frequencies = 0 Hz -> 3.5 and -10 Hz -> 0 Hz\n"
                        "starting angles      = 0 deg, 45 deg\n"
                        "amp. normalization   = 0.5\n"),
              std::string::npos)
        << rest;
}

TEST(Driver, EmptyDataBlockWritesAnAiffWithoutFrames) {
    TempDir dir;
    WavSpec w;
    w.channels = 2;
    writeWav(dir.file("in.wav"), w);
    CommandResult r = runTarvio(programArgs(dir.file("in.wav"), dir.file("out.aif")));
    EXPECT_EQ(r.status, 0);
    const std::string rest = afterBanner(r.out);
    EXPECT_NE(rest.find("natural frequency    = inf Hz\n"), std::string::npos) << rest;
    EXPECT_NE(rest.find("\n\nspatializing...done\n\n"), std::string::npos) << rest;
    EXPECT_NE(rest.find("      frames: 0\n"), std::string::npos) << rest;

    EXPECT_EQ(readFile(dir.file("out.aif")).size(), tarvio::aiff::kHeaderBytes);
    Aiff a = readOutputFile(dir.file("out.aif"));
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a.frames, 0u);
    EXPECT_EQ(a.channels, 4);
}

TEST(Driver, NormTwoClipsAndSaysSo) {
    TempDir dir;
    WavSpec w;
    w.rate = 4096;
    for (int j = 0; j < 2000; ++j)
        w.samples.push_back(j % 2 ? 32767 : -32768);
    writeWav(dir.file("in.wav"), w);
    std::vector<std::string> args = {
        dir.file("in.wav"), dir.file("out.aif"), "0", "0", "0", "0", "0", "0", "2"};
    CommandResult r = runTarvio(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Clipped!\n");
    const std::string rest = afterBanner(r.out);
    EXPECT_NE(rest.find("amp. normalization   = 2\n"), std::string::npos) << rest;
    EXPECT_NE(rest.find("     clipped: 2000 samples!\n"), std::string::npos) << rest;

    // Frequency 0 and angle 0 hold the sound in the corner of channel 4.
    Aiff a = readOutputFile(dir.file("out.aif"));
    ASSERT_TRUE(a.ok());
    ASSERT_EQ(a.frames, 2000u);
    EXPECT_EQ(frameOf(a, 0), (std::vector<int>{0, 0, 0, -32768}));
    EXPECT_EQ(frameOf(a, 1), (std::vector<int>{0, 0, 0, 32767}));
}

TEST(Driver, RefusesToWriteOverItsInput) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    const std::string in = dir.file("sub/in.wav");
    WavSpec w;
    w.samples = rampSamples(1500);
    writeWav(in, w);
    const Bytes original = readFile(in);
    ASSERT_EQ(::link(in.c_str(), dir.file("hard.wav").c_str()), 0);
    ASSERT_EQ(::symlink(in.c_str(), dir.file("soft.aif").c_str()), 0);

    for (const std::string& out :
         {in, dir.file("sub/../sub/in.wav"), dir.file("hard.wav"), dir.file("soft.aif")}) {
        CommandResult r = runTarvio(programArgs(in, out));
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(afterBanner(r.out), "Error: input and output are the same file\n") << out;
        EXPECT_EQ(readFile(in), original) << out;
    }
    // Relative spellings, run from inside the directory.
    CommandResult r = testsupport::runCommand("cd " + testsupport::shellQuote(dir.path()) + " && " +
                                              testsupport::shellQuote(TARVIO_BINARY) +
                                              " sub/in.wav ./sub/../sub/in.wav 1 1 1 1 0 0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(afterBanner(r.out), "Error: input and output are the same file\n");
    EXPECT_EQ(readFile(in), original);

    // A different, existing file is simply replaced.
    writeFile(dir.file("other.aif"), Bytes(10, 0));
    r = runTarvio(programArgs(in, dir.file("other.aif")));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readOutputFile(dir.file("other.aif")).frames, 1500u);
}

// At 4096 Hz and 1 Hz a rotation moves exactly one table unit per sample,
// so every output sample can be computed exactly from the input sample.
TEST(Driver, MonoRunAt4096HzFollowsTheSquareSampleBySample) {
    TempDir dir;
    WavSpec w;
    w.rate = 4096;
    w.samples = rampSamples(5000);  // four full blocks and a short one; wraps once
    writeWav(dir.file("in.wav"), w);
    CommandResult r =
        runTarvio({dir.file("in.wav"), dir.file("out.aif"), "1", "1", "1", "1", "0", "0"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;

    Aiff a = readOutputFile(dir.file("out.aif"));
    ASSERT_TRUE(a.ok());
    ASSERT_EQ(a.frames, 5000u);
    ASSERT_EQ(a.samples.size(), 4u * 5000u);
    // The corners: bottom right, top right, top left, and back at the start.
    const int v1023 = w.samples[1023], v2047 = w.samples[2047], v3071 = w.samples[3071];
    EXPECT_EQ(frameOf(a, 1023), (std::vector<int>{0, 0, v1023, 0}));
    EXPECT_EQ(frameOf(a, 2047), (std::vector<int>{v2047, 0, 0, 0}));
    EXPECT_EQ(frameOf(a, 3071), (std::vector<int>{0, v3071, 0, 0}));
    EXPECT_EQ(frameOf(a, 4095), (std::vector<int>{0, 0, 0, int{w.samples[4095]}}));
    int mismatches = 0;
    for (int j = 0; j < 5000 && mismatches < 5; ++j) {
        // The phase is advanced before its first use.
        const std::vector<int> want = expectedFrame((j + 1) % 4096, w.samples[j]);
        if (frameOf(a, j) != want) {
            ++mismatches;
            ADD_FAILURE() << "frame " << j;
        }
    }
}

// A header whose block alignment does not fit its format can claim more
// frames than an int holds. The count must not turn negative: the report
// stays positive and the sweep still runs forwards.
TEST(Driver, HugeFrameCountsKeepTheSweepDirection) {
    TempDir dir;
    WavSpec w;
    w.rate = 4096;
    w.samples.assign(3000, 16384);
    w.blockAlign = 1;
    w.dataLength = 2147485696LL;  // 2^31 + 2048 "frames", far more than the file holds
    writeWav(dir.file("in.wav"), w);
    // B is held at INT_MAX / 1024 = 2097151 blocks, so the step is 1 Hz.
    CommandResult r = runTarvio(
        {dir.file("in.wav"), dir.file("out.aif"), "0", "2097151", "0", "2097151", "0", "0"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("natural frequency    = 1.90735e-06 Hz\n"), std::string::npos) << r.out;

    Aiff a = readOutputFile(dir.file("out.aif"));
    ASSERT_TRUE(a.ok());
    ASSERT_EQ(a.frames, 3000u);
    // Blocks 0 and 1 stand still at the start; block 2 moves forwards at 1 Hz.
    EXPECT_EQ(frameOf(a, 2047), (std::vector<int>{0, 0, 0, 16384}));
    EXPECT_EQ(frameOf(a, 2048 + 511), expectedFrame(512, 16384));
    EXPECT_EQ(frameOf(a, 2999), expectedFrame(952, 16384));
}

// The error line follows the progress text on its line, as "done" would.
TEST(Driver, AnErrorDuringTheLoopFollowsTheProgressText) {
    if (!fileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    WavSpec w;
    w.samples.assign(20 * 1024, 1000);
    writeWav(dir.file("in.wav"), w);
    CommandResult r = runTarvio(programArgs(dir.file("in.wav"), "/dev/full"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("done"), std::string::npos) << r.out;
    // The last line is the error line (the writer's text adds an empty line).
    const std::string tail = "\n\nspatializing...Error: AIFF file gone bad!\n\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
}

TEST(Driver, RunWritesToTheStreamItIsGiven) {
    TempDir dir;
    WavSpec w;
    w.samples.assign(2500, -1200);
    writeWav(dir.file("in.wav"), w);
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    const char* argv[] = {"tarvio", in.c_str(), out.c_str(), "1", "1", "1", "1", "0", "0"};

    std::ostringstream text;
    EXPECT_EQ(tarvio::run(9, argv, text), 0);
    EXPECT_NE(text.str().find("spatializing...done\n"), std::string::npos) << text.str();
    EXPECT_EQ(readOutputFile(out).frames, 2500u);

    std::ostringstream error;
    EXPECT_EQ(tarvio::run(1, argv, error), 1);
    EXPECT_EQ(afterBanner(error.str()), kUsageError);
}

TEST(Driver, OutputReadsBackThroughLibsndfile) {
#ifndef TARVIO_HAVE_SNDFILE
    if (testsupport::peersRequired())
        FAIL() << "libsndfile missing";
    GTEST_SKIP() << "libsndfile not found";
#else
    TempDir dir;
    WavSpec w;
    w.rate = 4096;
    w.samples = rampSamples(3000);
    writeWav(dir.file("in.wav"), w);
    CommandResult r =
        runTarvio({dir.file("in.wav"), dir.file("out.aif"), "1", "1", "1", "1", "0", "0"});
    ASSERT_EQ(r.status, 0) << r.out;

    SF_INFO info{};
    SNDFILE* sf = sf_open(dir.file("out.aif").c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.channels, 4);
    EXPECT_EQ(info.frames, 3000);
    EXPECT_EQ(info.samplerate, 4096);
    EXPECT_EQ(info.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    std::vector<short> samples(4 * 3000 + 4);
    EXPECT_EQ(sf_readf_short(sf, samples.data(), 3001), 3000);
    sf_close(sf);
    for (int j = 0; j < 3000; ++j) {
        const std::vector<int> want = expectedFrame((j + 1) % 4096, w.samples[j]);
        for (int c = 0; c < 4; ++c)
            ASSERT_EQ(samples[4 * j + c], want[c]) << "frame " << j;
    }
#endif
}

}  // namespace
