// SPDX-License-Identifier: MIT
// tarvio-render used the way a careless or hostile user would: two outputs
// under one name, absurd trace steps, signals while a pipe stalls, targets
// that change during the run, samples that are not numbers, stream headers,
// pipes of every kind, "-" as the output, and the messages of the refusals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::Bytes;
using testsupport::Child;
using testsupport::CommandResult;
using testsupport::entries;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::runCommand;
using testsupport::samplePattern;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::wavBytes;
using testsupport::WavSpec;
using testsupport::writeFile;
using testsupport::writeWav;

namespace {

const Bytes kEarlier(3000, 0x5A);  // what stood at an output path before

// Runs tarvio-render through bash with `args` (already quoted where needed)
// after `prefix`, in `dir`.
CommandResult render(const TempDir& dir, const std::string& args, const std::string& prefix = "") {
    return runCommand("cd " + shellQuote(dir.path()) + " && " + prefix +
                      shellQuote(TARVIO_RENDER_BINARY) + " " + args);
}

// A 24-bit stereo WAV file (extensible, as libsndfile writes it), which the
// project's own reader leaves to libsndfile.
void write24(const std::string& path, int frames) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr);
    std::vector<double> x(static_cast<std::size_t>(frames) * 2);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = 0.5 * std::sin(0.001 * static_cast<double>(i));
    sf_writef_double(sf, x.data(), frames);
    sf_close(sf);
}

std::vector<float> readFloats(const std::string& path) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(sf, nullptr) << path;
    if (!sf)
        return {};
    std::vector<float> x(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(sf, x.data(), info.frames);
    sf_close(sf);
    return x;
}

std::set<std::string> strays(const std::string& dir) {
    std::set<std::string> found;
    for (const std::string& n : entries(dir)) {
        if (n.find(".tarvio-") != std::string::npos)
            found.insert(n);
    }
    return found;
}

struct Scene {
    TempDir dir;
    Scene() {
        WavSpec w;
        w.samples = samplePattern(50000);
        writeWav(dir.file("in.wav"), w);
    }
};

}  // namespace

// The same file under two names (a ./ prefix, a .. detour, a link to a file
// not yet written, standard input) is refused before any work, and nothing
// that stood there changes: every file the run reads (the input, the path,
// the layout, the HRTF set) and every file it writes.
TEST(RenderSafety, AFileNamedTwiceIsRefusedBeforeAnyWork) {
    Scene s;
    writeFile(s.dir.file("o.aif"), kEarlier);
    writeFile(s.dir.file("o.svg"), kEarlier);
    writeFile(s.dir.file("v.wav"), kEarlier);
    writeFile(s.dir.file("h.sofa"), kEarlier);
    writeFile(s.dir.file("m.txt"), {'0', ' ', '0', ' ', '0', '\n'});
    const Bytes layout = {'A', ' ', '0', '\n', 'B', ' ', '9', '0', '\n'};
    writeFile(s.dir.file("lay.txt"), layout);
    writeFile(s.dir.file("lay.svg"), layout);
    ::mkdir(s.dir.file("sub").c_str(), 0700);
    ASSERT_EQ(::symlink("t.csv", s.dir.file("dl.aif").c_str()), 0);
    ASSERT_EQ(::symlink("h.sofa", s.dir.file("hl.wav").c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--trace ./o.aif in.wav o.aif", "\"o.aif\" is named twice (output and --trace)"},
        {"--format aiff --plot sub/../o.svg in.wav ./o.svg",
         "\"./o.svg\" is named twice (output and --plot)"},
        {"--trace t.csv in.wav dl.aif", "\"dl.aif\" is named twice (output and --trace)"},
        {"--path m.txt --trace m.txt in.wav o.aif", "\"m.txt\" is named twice (--trace and --path)"},
        {"--format wav --path m.txt in.wav m.txt", "\"m.txt\" is named twice (output and --path)"},
        {"- v.wav < v.wav", "\"v.wav\" is named twice (output and input)"},
        {"--binaural=h.sofa --trace h.sofa in.wav o.wav",
         "\"h.sofa\" is named twice (--trace and --binaural)"},
        {"--format wav --binaural=h.sofa in.wav h.sofa",
         "\"h.sofa\" is named twice (output and --binaural)"},
        {"--binaural=h.sofa in.wav hl.wav", "\"hl.wav\" is named twice (output and --binaural)"},
        {"--layout lay.txt --trace ./lay.txt in.wav o.wav",
         "\"./lay.txt\" is named twice (--trace and --layout)"},
        {"--layout lay.svg --plot lay.svg in.wav o.wav",
         "\"lay.svg\" is named twice (--plot and --layout)"},
    };
    for (const auto& c : cases) {
        const CommandResult r = render(s.dir, "-q " + c.first);
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.err, "tarvio-render: " + c.second + "\n") << c.first;
    }
    EXPECT_EQ(readFile(s.dir.file("o.aif")), kEarlier);
    EXPECT_EQ(readFile(s.dir.file("o.svg")), kEarlier);
    EXPECT_EQ(readFile(s.dir.file("v.wav")), kEarlier);
    EXPECT_EQ(readFile(s.dir.file("m.txt")), (Bytes{'0', ' ', '0', ' ', '0', '\n'}));
    EXPECT_EQ(readFile(s.dir.file("h.sofa")), kEarlier);
    EXPECT_EQ(readFile(s.dir.file("lay.txt")), layout);
    EXPECT_EQ(readFile(s.dir.file("lay.svg")), layout);
    EXPECT_FALSE(fileExists(s.dir.file("t.csv")));
}

// Steps that are not finite, too long for the input or shorter than a sample
// are usage errors, said at once with a readable number.
TEST(RenderSafety, TraceStepsThatCouldNotEndAreRefused) {
    Scene s;
    for (const char* step : {"nan", "1e15", "1e300", "1e-9", "0"}) {
        const auto start = std::chrono::steady_clock::now();
        const CommandResult r =
            render(s.dir, std::string("-q --trace t.csv --trace-step ") + step + " in.wav o.aif",
                   "timeout 20 ");
        EXPECT_EQ(r.status, 2) << step << ": " << r.err;
        EXPECT_LT(r.err.size(), 160u) << r.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << step;
    }
    EXPECT_EQ(entries(s.dir.path()), (std::set<std::string>{"in.wav"}));
    // One row per sample is the finest trace.
    const CommandResult r = render(s.dir, "-q --trace t.csv --trace-step 0.00005 in.wav o.aif");
    EXPECT_EQ(r.status, 0) << r.err;
}

// A stop signal while the input pipe stalls ends the run within a second,
// and a second signal leaves no temporary file of any output behind. The
// input is 24-bit, which libsndfile reads.
TEST(RenderSafety, ASignalWhileThePipeStallsStopsTheRunAndCleansUp) {
    ::signal(SIGPIPE, SIG_IGN);  // the feed may outlive its reader
    for (int signals : {1, 2}) {
        SCOPED_TRACE(signals);
        TempDir dir;
        write24(dir.file("in24.wav"), 100000);
        const Bytes bytes = readFile(dir.file("in24.wav"));
        const std::string fifo = dir.file("in.fifo");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        writeFile(dir.file("o.aif"), kEarlier);
        Child run({TARVIO_RENDER_BINARY, "-q", "--trace", dir.file("t.csv"), "--plot",
                   dir.file("p.svg"), fifo, dir.file("o.aif")},
                  dir.file("err"));
        std::FILE* feed = std::fopen(fifo.c_str(), "wb");
        ASSERT_NE(feed, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size() / 2, feed);
        std::fflush(feed);
        ::usleep(300000);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < signals; ++i)
            run.signal(SIGINT);
        EXPECT_EQ(run.wait(), 130);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        std::fclose(feed);
        EXPECT_EQ(readFile(dir.file("o.aif")), kEarlier);
        EXPECT_EQ(strays(dir.path()), std::set<std::string>());
        EXPECT_FALSE(fileExists(dir.file("t.csv")));
    }
}

// When the trace's name turns into a directory during the run, the run fails
// and the audio output is left as it was.
TEST(RenderSafety, AFailedCommitLeavesEveryOutputAsItWas) {
    ::signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    const std::string fifo = dir.file("in.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeFile(dir.file("o.aif"), kEarlier);
    writeFile(dir.file("p.svg"), kEarlier);
    Child run({TARVIO_RENDER_BINARY, "-q", "--plot", dir.file("p.svg"), "--trace",
               dir.file("t.csv"), fifo, dir.file("o.aif")},
              dir.file("err"));
    WavSpec w;
    w.samples = samplePattern(40000);
    const Bytes bytes = wavBytes(w);
    std::FILE* feed = std::fopen(fifo.c_str(), "wb");
    ASSERT_NE(feed, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size() / 2, feed);
    std::fflush(feed);
    ::usleep(300000);  // the checks are done; the run waits for the rest
    ASSERT_EQ(::mkdir(dir.file("t.csv").c_str(), 0700), 0);
    std::fwrite(bytes.data() + bytes.size() / 2, 1, bytes.size() - bytes.size() / 2, feed);
    std::fclose(feed);
    EXPECT_EQ(run.wait(), 1);
    EXPECT_NE(readFile(dir.file("err")).size(), 0u);
    EXPECT_EQ(readFile(dir.file("o.aif")), kEarlier);
    EXPECT_EQ(readFile(dir.file("p.svg")), kEarlier);
    EXPECT_EQ(strays(dir.path()), std::set<std::string>());
}

// NaN and infinite input samples, and a norm that overflows, never reach a
// float output as NaN or infinity, and the summary says what happened (for
// integer output too).
TEST(RenderSafety, FloatOutputHoldsOnlyFiniteSamplesWithinFullScale) {
    TempDir dir;
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sf = sf_open(dir.file("in.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr);
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> x(4000, 0.25f);
    for (std::size_t i = 0; i < x.size(); i += 10)
        x[i] = i % 20 == 0 ? std::nanf("") : (i % 30 == 0 ? -inf : inf);
    sf_writef_float(sf, x.data(), static_cast<sf_count_t>(x.size()));
    sf_close(sf);

    for (const std::string& args : {std::string("--bits float in.wav o.wav"),
                                    std::string("--bits float --norm 1e308 in.wav o.wav"),
                                    std::string("in.wav o.wav")}) {
        const CommandResult r = render(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (float v : readFloats(dir.file("o.wav")))
            ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f) << args << ": " << v;
        EXPECT_EQ(r.out.find("clipped:  0 "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("not a number"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("samples not a number, written as 0"), std::string::npos) << r.err;
    }
    // Beyond full scale only when asked, and still finite.
    const CommandResult r = render(dir, "-q --bits float --no-clip --norm 4 in.wav o.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    float loudest = 0;
    for (float v : readFloats(dir.file("o.wav"))) {
        ASSERT_TRUE(std::isfinite(v));
        loudest = std::fmax(loudest, std::fabs(v));
    }
    EXPECT_GT(loudest, 1.0f);
}

// A header written by a stream (sizes 0xFFFFFFFF) gives the frames the file
// holds, in a file and through a pipe, and the same output as a true header.
TEST(RenderSafety, StreamingHeadersGiveTheTrueLength) {
    TempDir dir;
    WavSpec w;
    w.channels = 2;
    w.samples = samplePattern(60000);
    writeWav(dir.file("true.wav"), w);
    w.dataLength = 0xFFFFFFFFll;
    Bytes stream = wavBytes(w);
    for (int i = 4; i < 8; ++i)
        stream[static_cast<std::size_t>(i)] = 0xFF;
    writeFile(dir.file("s.wav"), stream);
    const std::string sweep = "-q --rot1 0.5:3 --rot2 1:0.25 --format w64 ";
    ASSERT_EQ(render(dir, sweep + "true.wav true.w64").status, 0);
    CommandResult r = render(dir, "--rot1 0.5:3 --rot2 1:0.25 s.wav s.aif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(", 30000 frames\n"), std::string::npos) << r.out;
    ASSERT_EQ(render(dir, sweep + "s.wav s.w64").status, 0);
    EXPECT_EQ(readFile(dir.file("s.w64")), readFile(dir.file("true.w64")));
    ASSERT_EQ(render(dir, sweep + "- p.w64", "cat s.wav | ").status, 0);
    EXPECT_EQ(readFile(dir.file("p.w64")), readFile(dir.file("true.w64")));
}

// Inputs that are not regular files are read whatever their format: a pipe
// as "-", /dev/stdin, a process substitution and a named FIFO give the same
// output as the file.
TEST(RenderSafety, EveryKindOfPipeReadsLikeTheFile) {
    TempDir dir;
    write24(dir.file("in24.wav"), 30000);
    ASSERT_EQ(render(dir, "-q in24.wav ref.wav").status, 0);
    const Bytes ref = readFile(dir.file("ref.wav"));
    ASSERT_FALSE(ref.empty());
    ASSERT_EQ(::mkfifo(dir.file("f").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"cat in24.wav | ", "-q - o.wav"},
        {"cat in24.wav | ", "-q /dev/stdin o.wav"},
        {"", "-q <(cat in24.wav) o.wav"},
        {"(cat in24.wav > f &) ; ", "-q f o.wav"},
    };
    for (const auto& c : cases) {
        const CommandResult r = runCommand("cd " + shellQuote(dir.path()) + " && bash -c " +
                                           shellQuote(c.first + shellQuote(TARVIO_RENDER_BINARY) +
                                                      " " + c.second));
        EXPECT_EQ(r.status, 0) << c.second << ": " << r.err;
        EXPECT_EQ(readFile(dir.file("o.wav")), ref) << c.second;
    }
}

// "-" as the output is standard output, which takes only the formats whose
// header can leave the length unknown; no file called "-" appears.
TEST(RenderSafety, DashAsTheOutputTakesOnlyStreamFormats) {
    Scene s;
    for (const char* format : {"flac", "aiff", "w64"}) {
        const CommandResult r =
            render(s.dir, std::string("-q --format ") + format + " in.wav - >/dev/null");
        EXPECT_EQ(r.status, 2) << format;
        EXPECT_NE(r.err.find("standard output takes WAV or AU"), std::string::npos) << r.err;
    }
    EXPECT_EQ(render(s.dir, "-q in.wav - >/dev/null").status, 0);
    EXPECT_EQ(entries(s.dir.path()), (std::set<std::string>{"in.wav"}));
}

// Each refusal names the file or the option and the cause in the
// program's own words.
TEST(RenderSafety, MessagesNameTheFileAndTheCause) {
    Scene s;
    ::mkdir(s.dir.file("d").c_str(), 0700);
    WavSpec w;
    w.rate = 0;
    w.samples = samplePattern(100);
    writeWav(s.dir.file("r0.wav"), w);
    writeFile(s.dir.file("bom.txt"), {0xEF, 0xBB, 0xBF, '0', ' ', '0', ' ', '0', '\n'});
    writeFile(s.dir.file("cr.txt"), {'0', '\r', ' ', '0', ' ', '0', '\n'});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--trace /dev/full in.wav o.aif", "/dev/full: write failed: No space left on device"},
        {"--plot /dev/full in.wav o.aif", "/dev/full: write failed: No space left on device"},
        {"--plot nodir/p.svg in.wav o.aif", "nodir/p.svg: No such file or directory"},
        {"--trace /dev/stdout in.wav o.aif", "--trace and standard output are the same file"},
        {"d o.aif", "d: Is a directory"},
        {"missing.wav o.aif", "missing.wav: No such file or directory"},
        {"r0.wav o.aif", "r0.wav: the header gives a sample rate of 0 Hz"},
        {"--path bom.txt in.wav o.aif", "bom.txt: line 1: not a number: \"\\xef\\xbb\\xbf0\""},
        {"--path cr.txt in.wav o.aif", "cr.txt: line 1: not a number: \"0\\r\""},
        {"--rot1 1e400 in.wav o.aif", "--rot1: out of range: \"1e400\" (see --help)"},
    };
    for (const auto& c : cases) {
        const CommandResult r = render(s.dir, "-q " + c.first);
        EXPECT_EQ(r.err, "tarvio-render: " + c.second + "\n") << c.first;
    }
    // Blanks around a number are taken on either side, and a number too small
    // to hold is taken as zero.
    for (const char* rot : {" 1", "1 ", "1e-400"})
        EXPECT_EQ(render(s.dir, std::string("-q --rot1 '") + rot + "' in.wav o.aif").status, 0)
            << rot;
    EXPECT_FALSE(fileExists(s.dir.file("nodir")));
}
