// SPDX-License-Identifier: MIT
// tarvio-render --binaural with the real binary and the default HRTF set:
// the ear on a loudspeaker's side is louder and hears it first, a circling
// sound moves between the ears as the trace says, and ffmpeg's sofalizer,
// given the four-channel file of the same job, agrees with it. Small sets
// made by ncgen: delays in samples, sets refused for their cause, and stop
// signals while a set loads or the input stalls, and a reader that goes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::Child;
using testsupport::CommandResult;
using testsupport::entries;
using testsupport::fileExists;
using testsupport::readFile;
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

// A SOFA set of `measurements` directions evenly around the ear-height
// circle, each response `first` followed by zeros, with the rate and
// Data.Delay as given (text, so that inf and 0 can be written).
struct SofaDescription {
    int measurements = 8;
    int length = 32;
    std::string rate = "44100";
    std::string delay = "0, 0";
    std::string first = "1";
};

// The CDL text of `s`. libmysofa reads a file's global attributes only when
// HDF5 keeps them densely, as it does past eight: SOFA's usual ones are more.
std::string sofaCdl(const SofaDescription& s) {
    std::ostringstream cdl;
    cdl << "netcdf set {\ndimensions:\n I = 1 ;\n C = 3 ;\n R = 2 ;\n E = 1 ;\n N = " << s.length
        << " ;\n M = " << s.measurements << " ;\n S = 1 ;\nvariables:\n";
    for (const char* v :
         {"ListenerPosition(I, C)", "ReceiverPosition(R, C, I)", "SourcePosition(M, C)",
          "EmitterPosition(E, C, I)", "ListenerView(I, C)"}) {
        const std::string name = std::string(v).substr(0, std::string(v).find('('));
        const bool spherical = name == "SourcePosition";
        cdl << " double " << v << " ;\n  " << name << ":Type = \""
            << (spherical ? "spherical" : "cartesian") << "\" ;\n  " << name << ":Units = \""
            << (spherical ? "degree, degree, metre" : "metre") << "\" ;\n";
    }
    cdl << " double ListenerUp(I, C) ;\n double Data.IR(M, R, N) ;\n"
           " double Data.SamplingRate(I) ;\n  Data.SamplingRate:Units = \"hertz\" ;\n"
           " double Data.Delay(I, R) ;\n";
    for (const char* a :
         {"Conventions = \"SOFA\"", "Version = \"1.0\"",
          "SOFAConventions = \"SimpleFreeFieldHRIR\"", "SOFAConventionsVersion = \"1.0\"",
          "APIName = \"tests\"", "APIVersion = \"1.0\"", "AuthorContact = \"\"",
          "Organization = \"\"", "License = \"MIT\"", "DataType = \"FIR\"",
          "RoomType = \"free field\"", "Title = \"test set\"", "DateCreated = \"2024-01-01\"",
          "DateModified = \"2024-01-01\"", "ListenerShortName = \"none\""})
        cdl << " :" << a << " ;\n";
    cdl << "data:\n ListenerPosition = 0, 0, 0 ;\n ReceiverPosition = 0, 0.09, 0, 0, -0.09, 0 ;\n"
           " EmitterPosition = 0, 0, 0 ;\n ListenerUp = 0, 0, 1 ;\n ListenerView = 1, 0, 0 ;\n"
           " SourcePosition =";
    for (int m = 0; m < s.measurements; ++m)
        cdl << (m ? ", " : " ") << 360.0 * m / s.measurements << ", 0, 1.2";
    cdl << " ;\n Data.IR =";
    for (int i = 0; i < s.measurements * 2 * s.length; ++i)
        cdl << (i ? ", " : " ") << (i % s.length == 0 ? s.first : "0");
    cdl << " ;\n Data.SamplingRate = " << s.rate << " ;\n Data.Delay = " << s.delay << " ;\n}\n";
    return cdl.str();
}

// Writes the set `s` as `dir`/`name` (through name.cdl).
void writeSofa(const TempDir& dir, const std::string& name, const SofaDescription& s) {
    const std::string cdl = sofaCdl(s);
    writeFile(dir.file(name + ".cdl"), testsupport::Bytes(cdl.begin(), cdl.end()));
    const CommandResult r = runCommand("ncgen -k nc4 -o " + shellQuote(dir.file(name)) + " " +
                                       shellQuote(dir.file(name + ".cdl")));
    ASSERT_EQ(r.status, 0) << r.err;
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
    for (const Corner& c :
         {Corner{"0 1", true}, Corner{"1 1", false}, Corner{"0 0", true}, Corner{"1 0", false}}) {
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

// ffmpeg's sofalizer on the loudspeaker WAV of the same job (no
// normalisation, no interpolation) against --binaural: after one gain per
// ear, the normalised cross-correlation of each ear reaches the case's
// bound. On quad (its loudspeakers at FL 45, FR 315, BL 135, BR 225 in its
// convention) the sound sweeps along the front edge, between the two front
// loudspeakers: the sofalizer of ffmpeg 5 keeps its own 150 degrees for the
// back pair whatever it is told (a still sound at a back corner gives 6.1
// dB there, as this program gives at 150 degrees), so the back pair would
// only compare two different directions. A pair 40 degrees up holds a
// still sound at the left one's direction.
TEST_F(Binaural, AgreesWithFfmpegsSofalizer) {
    TARVIO_REQUIRE_PROGRAM("ffmpeg");
    if (runCommand("ffmpeg -hide_banner -filters 2>/dev/null | grep -q sofalizer").status != 0)
        GTEST_SKIP() << "this ffmpeg has no sofalizer filter";
    const std::string sweep = "0 0 1\n2 1 1\n", high = "FL 30 40\nFR -30 40\n";
    writeFile(dir.file("front.txt"), testsupport::Bytes(sweep.begin(), sweep.end()));
    writeFile(dir.file("high.txt"), testsupport::Bytes(high.begin(), high.end()));
    struct Case {
        const char* job;
        const char* speakers;
        double least;
    };
    for (const Case& c :
         {Case{"--path front.txt", "FL 45|FR 315|BL 135|BR 225", 0.98},
          Case{"--layout high.txt --azimuth 30 --elevation 40", "FL 30 40|FR 330 40", 0.99}}) {
        SCOPED_TRACE(c.job);
        const std::string job = std::string("--bits float ") + c.job + " noise.wav ";
        ASSERT_EQ(render(job + "feed.wav").status, 0);
        ASSERT_EQ(render("--binaural " + job + "hp.wav").status, 0);
        const CommandResult peer =
            runCommand("cd " + shellQuote(dir.path()) +
                       " && ffmpeg -v error -y -i feed.wav -af 'sofalizer=sofa=" + kSofa +
                       ":type=freq:normalize=0:interpolate=0:speakers=" + c.speakers +
                       "' -c:a pcm_f32le peer.wav");
        ASSERT_EQ(peer.status, 0) << peer.err;
        const Stereo ours = readStereo(dir.file("hp.wav"));
        const Stereo theirs = readStereo(dir.file("peer.wav"));
        for (int ear = 0; ear < 2; ++ear) {
            const std::vector<double>& a = ear == 0 ? ours.left : ours.right;
            const std::vector<double>& b = ear == 0 ? theirs.left : theirs.right;
            const long lag = bestLag(a, b, 2048);
            const double r = dot(a, b, lag) / std::sqrt(dot(a, a, 0) * dot(b, b, 0));
            std::cout << c.job << (ear == 0 ? ": left" : ": right") << ": correlation " << r
                      << " at lag " << lag << "\n";
            EXPECT_GE(r, c.least) << (ear == 0 ? "left" : "right");
        }
    }
}

// A sound overhead reaches both ears alike: an interaural level difference
// under 1 dB on a dome's top loudspeaker. It is heard from above, not as
// the loudspeaker straight ahead, whose azimuth the top one shares. A
// layout below the set's lowest measurements is refused, naming the
// loudspeaker, before any output is written.
TEST_F(Binaural, OverheadBothEarsHearAlike) {
    const std::string job = "--binaural --bits float --layout dome:8@0,4@45,1@90 --elevation ";
    ASSERT_EQ(render(job + "0 noise.wav front.wav").status, 0);
    ASSERT_EQ(render(job + "90 noise.wav top.wav").status, 0);
    const Stereo front = readStereo(dir.file("front.wav"));
    const Stereo top = readStereo(dir.file("top.wav"));
    const double ild = 10 * std::log10(energy(top.left, 0, top.left.size()) /
                                       energy(top.right, 0, top.right.size()));
    const double similar = dot(top.left, front.left, 0) /
                           std::sqrt(dot(top.left, top.left, 0) * dot(front.left, front.left, 0));
    std::cout << "overhead: ILD " << ild << " dB; left ear against the front " << similar << "\n";
    EXPECT_LT(std::fabs(ild), 1.0);
    EXPECT_LT(similar, 0.9);
    const std::string low = "FL 30 -60\nFR -30 -60\n";
    writeFile(dir.file("low.txt"), testsupport::Bytes(low.begin(), low.end()));
    const CommandResult r = render("--binaural --layout low.txt noise.wav low.wav");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("tarvio-render: ") + kSofa +
                         ": no measurement within 15 degrees of loudspeaker FL (azimuth 30, "
                         "elevation -60): the nearest is 20 degrees away\n");
    EXPECT_FALSE(fileExists(dir.file("low.wav")));
}

// Data.Delay counts samples of the set's rate: 10 and 20 delay the ears by
// 10 and 20 frames at 44.1 kHz, and by 20 and 40 after resampling from
// 22.05 kHz, in every direction (the set's seven measurements are 51.4
// degrees apart, so the loudspeakers' responses are interpolated). The
// output is the input plus the longest response minus one.
TEST_F(Binaural, DelaysAreSamplesOfTheSetsRate) {
    TARVIO_REQUIRE_PROGRAM("ncgen");
    struct Case {
        const char* rate;
        long left, right, tail;
    };
    for (const Case& c : {Case{"44100", 10, 20, 20 + 32 - 1}, Case{"22050", 20, 40, 40 + 64 - 1}}) {
        SCOPED_TRACE(c.rate);
        SofaDescription described;
        described.measurements = 7;
        described.rate = c.rate;
        described.delay = "10, 20";
        writeSofa(dir, "delay.sofa", described);
        const CommandResult r = render("--binaural=delay.sofa --bits float noise.wav hp.wav");
        ASSERT_EQ(r.status, 0) << r.err;
        const Stereo s = readStereo(dir.file("hp.wav"));
        ASSERT_EQ(s.left.size(), static_cast<std::size_t>(2 * kRate + c.tail));
        const double power = energy(s.left, 0, s.left.size()) / s.left.size();
        EXPECT_LT(energy(s.left, 0, c.left), 1e-10 * power);
        EXPECT_LT(energy(s.right, 0, c.right), 1e-10 * power);
        EXPECT_GT(s.left[c.left] * s.left[c.left], 1e-6 * power);
        EXPECT_EQ(bestLag(s.left, s.right, 100), c.right - c.left);
    }
}

// Sets that cannot be used are refused before any work, with exit 1 and
// one line naming the file and the cause: never an allocation failure or a
// resampler's code read as errno.
TEST_F(Binaural, UnusableSetsAreRefusedNamingTheCause) {
    TARVIO_REQUIRE_PROGRAM("ncgen");
    WavSpec low;
    low.rate = 7999;
    low.samples.assign(800, 1000);
    writeWav(dir.file("low.wav"), low);
    struct Case {
        const char* name;
        std::string rate, delay, first;
        const char* cause;
    };
    const Case cases[] = {
        {"delay.sofa", "44100", "1e6, 0", "1",
         "a delay of 1000000 samples and HRIRs of 32 make responses longer than 65536 "
         "samples, the most this program takes"},
        {"slow.sofa", "1", "0, 0", "1",
         "HRIRs sampled at 1 Hz are too far from 44100 Hz to resample (a factor of 64 at "
         "most, up or down)"},
        {"zero.sofa", "0", "0, 0", "1", "Data.SamplingRate is 0 Hz, not a sample rate"},
        {"inf.sofa", "44100", "0, 0", "Infinity", "Data.IR holds inf, not a finite sample value"},
        {"back.sofa", "44100", "-3, 0", "1", "Data.Delay holds -3, not a delay in samples"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeSofa(dir, c.name, SofaDescription{8, 32, c.rate, c.delay, c.first});
        const CommandResult r = render(std::string("--binaural=") + c.name + " noise.wav hp.wav");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("tarvio-render: ") + c.name + ": " + c.cause + "\n");
        EXPECT_FALSE(fileExists(dir.file("hp.wav")));
    }
    const CommandResult r = render("--binaural low.wav hp.wav");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("tarvio-render: ") + kSofa +
                         ": libmysofa resamples HRIRs to 8000 Hz or more, not to the input's "
                         "7999 Hz\n");
}

// SIGTERM while a set loads ends the run within a second, with status 143
// and no file left behind: the default set resampled to 768 kHz, and a set
// of 16000 measurements, whose neighbours take seconds to find.
TEST_F(Binaural, AStopSignalWhileASetLoadsEndsTheRunAtOnce) {
    TARVIO_REQUIRE_PROGRAM("ncgen");
    WavSpec fast;
    fast.rate = 768000;
    fast.samples.assign(2 * 768000, 1000);
    writeWav(dir.file("fast.wav"), fast);
    writeSofa(dir, "many.sofa", SofaDescription{16000, 8, "44100", "0, 0", "1"});
    struct Case {
        std::string sofa;
        const char* input;
        int waitMs;
    };
    for (const Case& c :
         {Case{kSofa, "fast.wav", 200}, Case{dir.file("many.sofa"), "noise.wav", 500}}) {
        SCOPED_TRACE(c.sofa);
        std::set<std::string> before = entries(dir.path());
        before.insert("err");
        Child run({TARVIO_RENDER_BINARY, "-q", "--binaural=" + c.sofa, dir.file(c.input),
                   dir.file("hp.wav")},
                  dir.file("err"));
        // Counted from the moment the program handles signals, however
        // slowly its build starts.
        ASSERT_TRUE(run.waitForHandler(SIGTERM));
        ::usleep(c.waitMs * 1000);
        const auto start = std::chrono::steady_clock::now();
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait(), 143);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(entries(dir.path()), before);
    }
}

// A headphone run of one source stops cleanly while its convolving
// thread waits for work: a stop signal while the input stalls halfway ends
// the run within a second with status 130, the earlier output kept and
// nothing left behind; a reader that goes away ends it with status 0 and
// no message.
TEST_F(Binaural, ARunStopsAtOnceOnASignalOrAClosedPipe) {
    ::signal(SIGPIPE, SIG_IGN);  // the feed may outlive its reader
    const testsupport::Bytes bytes = readFile(dir.file("noise.wav"));
    const std::string fifo = dir.file("in.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const testsupport::Bytes earlier(3000, 0x5A);
    writeFile(dir.file("hp.wav"), earlier);
    std::set<std::string> before = entries(dir.path());
    before.insert("err");
    Child run(
        {TARVIO_RENDER_BINARY, "-q", "--binaural=" + std::string(kSofa), fifo, dir.file("hp.wav")},
        dir.file("err"));
    std::FILE* feed = std::fopen(fifo.c_str(), "wb");
    ASSERT_NE(feed, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size() / 2, feed);
    std::fflush(feed);
    ::usleep(300000);
    const auto start = std::chrono::steady_clock::now();
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    std::fclose(feed);
    EXPECT_EQ(readFile(dir.file("hp.wav")), earlier);
    EXPECT_EQ(entries(dir.path()), before);

    const CommandResult closed =
        runCommand("cd " + shellQuote(dir.path()) + " && { " + shellQuote(TARVIO_RENDER_BINARY) +
                   " -q --binaural noise.wav -; echo $? >status; } | head -c 100 >/dev/null;"
                   " cat status");
    EXPECT_EQ(closed.out, "0\n");
    EXPECT_EQ(closed.err, "");
}

// --loudness measures a pass before it writes one, and the dry run reports
// the output's length with the tail: the set is read once per run, and the
// dry run's frames are the written file's. (The leak checker of a
// sanitizer build cannot run under strace.)
TEST_F(Binaural, ASetIsReadOncePerRunAndTheDryRunKnowsItsTail) {
    TARVIO_REQUIRE_PROGRAM("strace");
    CommandResult r = runCommand(
        "cd " + shellQuote(dir.path()) +
        " && ASAN_OPTIONS=detect_leaks=0 strace -f -e trace=openat -o calls.txt " +
        shellQuote(TARVIO_RENDER_BINARY) + " -q --loudness -23 --binaural noise.wav hp.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream calls(dir.file("calls.txt"));
    int opened = 0;
    for (std::string line; std::getline(calls, line);)
        opened += line.find(kSofa) != std::string::npos;
    EXPECT_EQ(opened, 1);

    r = runCommand("cd " + shellQuote(dir.path()) + " && " + shellQuote(TARVIO_RENDER_BINARY) +
                   " --dry-run --binaural noise.wav dry.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    SF_INFO info{};
    SNDFILE* sf = sf_open(dir.file("hp.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    sf_close(sf);
    EXPECT_GT(info.frames, 2 * kRate);
    EXPECT_NE(r.out.find(", 2 channels, " + std::to_string(info.frames) + " frames (dry run"),
              std::string::npos)
        << r.out;
}
