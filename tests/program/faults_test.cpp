// SPDX-License-Identifier: MIT
// Fault tests of the tarvio program. Each test feeds the built binary a
// hostile input, output path or argument and checks three things: the message
// and the exit status, that the input file is unchanged, and that any output
// file left behind is a complete AIFF file whose header agrees with its size.
//
// Cases that run_test.cpp already runs are not repeated here:
// the usage error, an 8-bit input, channel counts 0 and -1, a missing input,
// an output in a directory that does not exist, words as numbers, an empty
// data block, and the progress line cut short by /dev/full.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"
#include "wav/WavFile.h"

using testsupport::appendLE;
using testsupport::appendTag;
using testsupport::Bytes;
using testsupport::CommandResult;
using testsupport::endsWith;
using testsupport::fileExists;
using testsupport::programArgs;
using testsupport::readFile;
using testsupport::readOutputFile;
using testsupport::runTarvio;
using testsupport::sampleBytes;
using testsupport::samplePattern;
using testsupport::TempDir;
using testsupport::wavBytes;
using testsupport::writeFile;
using Wav = testsupport::WavSpec;
using Aiff = testsupport::OutputFile;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The checks every failing run must pass.
void expectFailure(const CommandResult& r, const std::string& errorTail, const std::string& input,
                   const Bytes& original, const std::string& output) {
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(endsWith(r.out, errorTail)) << "expected the output to end in:\n"
                                            << errorTail << "got:\n"
                                            << r.out;
    EXPECT_EQ(readFile(input), original) << "the input changed";
    // An output may remain only when the writer could finish it.
    if (fileExists(output)) {
        EXPECT_EQ(readOutputFile(output).fault, "")
            << "a failed run left an inconsistent " << output;
    }
}

// The checks every successful run must pass; returns the output.
Aiff expectSuccess(const CommandResult& r, const std::string& output) {
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("spatializing...done\n"), std::string::npos) << r.out;
    Aiff a = readOutputFile(output);
    EXPECT_EQ(a.fault, "") << output;
    return a;
}

// ----------------------------------------------------------------- output side

TEST(OutputFaults, FullDeviceFailsTheFirstWriteAndLeavesTheInputAlone) {
    if (!fileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    Wav w;
    w.samples = samplePattern(3000);
    const std::string in = dir.file("in.wav");
    writeFile(in, wavBytes(w));
    const Bytes original = readFile(in);

    CommandResult r = runTarvio(programArgs(in, "/dev/full"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\n\nspatializing...Error: AIFF file gone bad!\n\n")) << r.out;
    // The destructor cannot finish the file either and says so.
    EXPECT_EQ(r.err, "AIFF file gone bad. No header-rewrite!\n");
    EXPECT_EQ(readFile(in), original);
    EXPECT_TRUE(fileExists("/dev/full")) << "the device must never be removed";

    // With no frames to write, the failure comes at the header rewrite, after
    // the report; the run still fails.
    w.samples.clear();
    writeFile(in, wavBytes(w));
    r = runTarvio(programArgs(in, "/dev/full"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("spatializing...done\n"), std::string::npos) << r.out;
    const std::size_t error = r.out.rfind("\nError: ");
    ASSERT_NE(error, std::string::npos) << r.out;
    EXPECT_TRUE(endsWith(r.out, "!\n\n")) << r.out;
}

// A file size limit stops the output half-way, like a disk that fills up
// during the run. The file then holds part of the data under the provisional
// header, which claims 317520000 frames: the run must not leave it behind.
TEST(OutputFaults, AWriteFailingHalfWayLeavesNoOutput) {
    TempDir dir;
    Wav w;
    w.samples = samplePattern(100000);  // 800 kB of output
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    writeFile(in, wavBytes(w));
    const Bytes original = readFile(in);

    // 200 blocks of 512 bytes; the shell's ignored SIGXFSZ stays ignored in
    // the program, so the write fails with EFBIG instead of killing it.
    CommandResult r = runTarvio(programArgs(in, out), "trap '' XFSZ; ulimit -f 200; ");
    expectFailure(r, "\nspatializing...Error: AIFF file gone bad!\n\n", in, original, out);
    EXPECT_EQ(r.err, "AIFF file gone bad. No header-rewrite!\n");
    EXPECT_FALSE(fileExists(out)) << "a file with a provisional header was left behind";

    // Written through a symbolic link, the file it points to goes.
    const std::string target = dir.file("target.aif");
    ASSERT_EQ(::symlink(target.c_str(), dir.file("link.aif").c_str()), 0);
    r = runTarvio(programArgs(in, dir.file("link.aif")), "trap '' XFSZ; ulimit -f 200; ");
    expectFailure(r, "\nspatializing...Error: AIFF file gone bad!\n\n", in, original, target);
    EXPECT_FALSE(fileExists(target));

    // The same run without the limit succeeds: the limit was the cause.
    r = runTarvio(programArgs(in, out));
    EXPECT_EQ(expectSuccess(r, out).frames, 100000u);
}

TEST(OutputFaults, PathsThatCannotBeCreated) {
    TempDir dir;
    Wav w;
    w.samples = samplePattern(500);
    const std::string in = dir.file("in.wav");
    writeFile(in, wavBytes(w));
    const Bytes original = readFile(in);

    // Below a regular file (the input itself), and an existing directory.
    // Root may write anywhere, so only the path itself can stop the writer.
    for (const std::string& out : {in + "/out.aif", dir.file("in.wav/sub/out.aif"), dir.path()}) {
        CommandResult r = runTarvio(programArgs(in, out));
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_TRUE(endsWith(r.out, "\n\nError: Could not open AIFF file!\n\n")) << out << r.out;
        EXPECT_EQ(readFile(in), original) << out;
    }
    EXPECT_TRUE(fileExists(dir.path()));

    // An empty name is refused by the writer before it touches the disk.
    CommandResult r = runTarvio(programArgs(in, ""));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\n\nError: Empty filename!\n\n")) << r.out;
    EXPECT_EQ(readFile(in), original);
}

// ------------------------------------------------------------------ input side

TEST(InputFaults, HeaderCutShortIsCorrupt) {
    TempDir dir;
    Wav w;
    w.samples = samplePattern(100);
    const Bytes full = wavBytes(w);
    const std::string out = dir.file("out.aif");
    // Nothing, inside "RIFF", inside the format block's id, length and body,
    // inside the data block's id, and inside its length.
    for (std::size_t cut : {0, 3, 11, 14, 19, 27, 35, 38, 43}) {
        const std::string in = dir.file("cut" + std::to_string(cut) + ".wav");
        const Bytes original(full.begin(), full.begin() + static_cast<long>(cut));
        writeFile(in, original);
        CommandResult r = runTarvio(programArgs(in, out));
        SCOPED_TRACE("cut at " + std::to_string(cut));
        expectFailure(r, "\n\nError: File \"" + in + "\" is corrupt or not a WAV file\n", in,
                      original, out);
    }
}

// A data block cut short gives the frames that are there: the output is the
// start of the output of the whole file, and its header counts only them.
TEST(InputFaults, DataCutShortGivesTheFramesThatArePresent) {
    TempDir dir;
    Wav w;
    w.channels = 2;
    for (std::int16_t s : samplePattern(6000))
        w.samples.push_back(s);  // 3000 stereo frames
    const Bytes full = wavBytes(w);
    const std::string whole = dir.file("whole.wav");
    writeFile(whole, full);
    ASSERT_EQ(
        expectSuccess(runTarvio(programArgs(whole, dir.file("whole.aif"))), dir.file("whole.aif"))
            .frames,
        3000u);
    const Bytes wholeData = sampleBytes(dir.file("whole.aif"));

    struct Cut {
        std::size_t dataBytes;
        std::uint32_t frames;
    };
    // Inside a sample, inside a frame (its second channel counts as 0), right
    // after the header, and a block boundary.
    for (Cut c : {Cut{4001, 1000}, Cut{4002, 1001}, Cut{0, 0}, Cut{4096, 1024}}) {
        SCOPED_TRACE("data bytes " + std::to_string(c.dataBytes));
        const std::string in = dir.file("cut.wav");
        const std::string out = dir.file("cut.aif");
        const Bytes original(full.begin(), full.begin() + 44 + static_cast<long>(c.dataBytes));
        writeFile(in, original);
        CommandResult r = runTarvio(programArgs(in, out));
        Aiff a = expectSuccess(r, out);
        EXPECT_EQ(a.frames, c.frames);
        // The header still says 3000 frames, and the report says so.
        EXPECT_NE(r.out.find("natural frequency    = 14.7 Hz\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("      frames: " + std::to_string(c.frames) + "\n"), std::string::npos)
            << r.out;
        const std::size_t complete = 8u * (c.dataBytes / 4);  // frames with both channels
        const Bytes data = sampleBytes(out);
        ASSERT_GE(data.size(), complete);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<long>(complete),
                               wholeData.begin()));
        EXPECT_EQ(readFile(in), original);
    }
}

// Streaming writers leave 0xFFFFFFFF as the data length; other headers claim
// about 4 GB over a small file. The program reads to the end of the file and
// writes what it found; a block that claims 4 GB before the data cannot be
// skipped and makes the file corrupt.
TEST(InputFaults, DataLengthsClaimingFourGigabytes) {
    TempDir dir;
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    struct Case {
        std::uint16_t channels;
        long long dataLength;
        const char* natural;
    };
    for (Case c : {Case{1, 0xFFFFFFFFLL, "2.05357e-05"}, Case{2, 0xFFFFFFFFLL, "4.10713e-05"},
                   Case{2, 4000000000LL, "4.41e-05"}, Case{1, 0xFFFFFFFELL, "2.05357e-05"}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.dataLength));
        Wav w;
        w.channels = c.channels;
        w.samples = samplePattern(3000);
        w.dataLength = c.dataLength;
        writeFile(in, wavBytes(w));
        const Bytes original = readFile(in);
        CommandResult r = runTarvio(programArgs(in, out));
        EXPECT_EQ(expectSuccess(r, out).frames, 3000u / c.channels);
        EXPECT_NE(r.out.find("natural frequency    = " + std::string(c.natural) + " Hz\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(readFile(in), original);
    }

    std::remove(out.c_str());
    for (std::uint32_t claim : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u}) {
        Wav w;
        w.samples = samplePattern(100);
        appendTag(w.before, "LIST");
        appendLE(w.before, claim, 4);
        w.before.resize(w.before.size() + 10, 'x');
        writeFile(in, wavBytes(w));
        const Bytes original = readFile(in);
        SCOPED_TRACE(claim);
        expectFailure(runTarvio(programArgs(in, out)),
                      "\n\nError: File \"" + in + "\" is corrupt or not a WAV file\n", in, original,
                      out);
    }
}

// 32767 channels, the most a WAV header can declare: frames of 65534 bytes,
// whose size no longer fits the signed 16-bit field that holds it. The run
// needs 268 MB of working buffers and must count its frames right.
TEST(InputFaults, ThirtyTwoThousandChannels) {
    TempDir dir;
    Wav w;
    w.channels = 32767;
    w.rate = 44100;
    for (int frame = 0; frame < 3; ++frame)
        w.samples.insert(w.samples.end(), 32767, static_cast<std::int16_t>(8192 * (frame + 1)));
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    writeFile(in, wavBytes(w));

    CommandResult r = runTarvio(programArgs(in, out, {"0", "0", "0", "0", "0", "0"}));
    Aiff a = expectSuccess(r, out);
    EXPECT_NE(r.out.find("original channels    = 32767\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("natural frequency    = 14700 Hz\n"), std::string::npos) << r.out;
    ASSERT_EQ(a.frames, 3u);
    // Every channel carries the same value, so the mixdown is that value; at
    // frequency 0 and angle 0 it all goes to channel 4.
    for (int frame = 0; frame < 3; ++frame) {
        EXPECT_EQ(a.samples[4 * frame + 3], 8192 * (frame + 1)) << frame;
        EXPECT_EQ(a.samples[4 * frame], 0) << frame;
    }

    WavInFile reader(in.c_str());
    EXPECT_EQ(reader.getNumSamples(), 3u);
    EXPECT_EQ(reader.getBytesPerSample(), 65534u);
}

// When the working buffers do not fit in memory, the run says so in words,
// before it creates anything: an earlier output stays as it was.
TEST(InputFaults, ThirtyTwoThousandChannelsWithoutTheMemory) {
    if (kSanitized)
        GTEST_SKIP() << "the sanitizers' shadow memory does not run under a small address space";
    TempDir dir;
    Wav w;
    w.channels = 32767;
    w.samples.assign(32767, 1000);
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    writeFile(in, wavBytes(w));
    const Bytes original = readFile(in);
    const Bytes earlier(100, 7);
    writeFile(out, earlier);
    // 120 MB of address space: enough for the program, not for 268 MB.
    CommandResult r = runTarvio(programArgs(in, out), "ulimit -v 120000; ");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        endsWith(r.out, "\n\nError: not enough memory for the working buffers of 32767 channels\n"))
        << r.out;
    EXPECT_EQ(readFile(in), original);
    EXPECT_EQ(readFile(out), earlier);
}

// Rate 0 and rates above 128000 Hz cannot be written to the output and are
// refused before any file is created. Rates 1 and 2 are written as they are;
// the rotations then run at the pace of 44100 Hz, so their samples are those
// of a 44100 Hz input.
TEST(InputFaults, SampleRates) {
    TempDir dir;
    const std::string out = dir.file("out.aif");
    Wav w;
    w.samples = samplePattern(2500);

    w.rate = 44100;
    writeFile(dir.file("ref.wav"), wavBytes(w));
    ASSERT_EQ(expectSuccess(runTarvio(programArgs(dir.file("ref.wav"), dir.file("ref.aif"))),
                            dir.file("ref.aif"))
                  .frames,
              2500u);
    const Bytes reference = sampleBytes(dir.file("ref.aif"));

    for (std::uint32_t rate : {0u, 128001u, 4294967295u}) {
        SCOPED_TRACE(rate);
        w.rate = rate;
        const std::string in = dir.file("in.wav");
        writeFile(in, wavBytes(w));
        const Bytes original = readFile(in);
        CommandResult r = runTarvio(programArgs(in, out));
        expectFailure(r, "\n\nError: Samplerate out of range!\n\n", in, original, out);
        EXPECT_EQ(r.out.find("sampling rate"), std::string::npos) << r.out;
    }
    for (std::uint32_t rate : {1u, 2u, 128000u}) {
        SCOPED_TRACE(rate);
        w.rate = rate;
        const std::string in = dir.file("in.wav");
        writeFile(in, wavBytes(w));
        CommandResult r = runTarvio(programArgs(in, out));
        Aiff a = expectSuccess(r, out);
        EXPECT_EQ(a.frames, 2500u);
        EXPECT_EQ(a.rate, static_cast<double>(rate));
        EXPECT_NE(r.out.find("sampling rate        = " + std::to_string(rate) + "\n"),
                  std::string::npos);
        if (rate <= 2) {
            EXPECT_EQ(sampleBytes(out), reference);
        } else {
            EXPECT_NE(sampleBytes(out), reference);
        }
    }
}

// ------------------------------------------------------------------- arguments

// A mono input at frequency 0 and angle 0 stays in the corner of channel 4;
// infinite and not-a-number frequencies hold the point at the start of the
// path as well. So every output frame is (0, 0, 0, the sample times norm),
// clipped by the writer, with a not-a-number sample written as 0.
TEST(ArgumentFaults, InfiniteAndNotANumberValues) {
    TempDir dir;
    Wav w;
    w.samples = samplePattern(3000);
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    writeFile(in, wavBytes(w));
    const Bytes original = readFile(in);

    struct Case {
        std::vector<std::string> numbers;
        const char* reported;  // the report's lines for the numbers
        int norm;              // 0: not a number; 2: infinite; 1: norm 1
    };
    const std::vector<Case> cases = {
        {{"inf", "1e999", "-inf", "nan", "nan", "-infinity"},
         "rotation frequencies = inf Hz -> inf and -inf Hz -> nan Hz\n"
         "starting angles      = nan deg, -inf deg\n"
         "amp. normalization   = 1\n",
         1},
        {{"0", "0", "0", "0", "0", "0", "inf"},
         "rotation frequencies = 0 Hz -> 0 and 0 Hz -> 0 Hz\n"
         "starting angles      = 0 deg, 0 deg\n"
         "amp. normalization   = inf\n",
         2},
        {{"0", "0", "0", "0", "0", "0", "NAN"},
         "rotation frequencies = 0 Hz -> 0 and 0 Hz -> 0 Hz\n"
         "starting angles      = 0 deg, 0 deg\n"
         "amp. normalization   = nan\n",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        CommandResult r = runTarvio(programArgs(in, out, c.numbers));
        Aiff a = expectSuccess(r, out);
        EXPECT_NE(r.out.find(c.reported), std::string::npos) << r.out;
        ASSERT_EQ(a.frames, 3000u);
        int wrong = 0;
        for (std::size_t j = 0; j < 3000 && wrong < 5; ++j) {
            const int s = w.samples[j];
            int want = s;
            if (c.norm == 0)
                want = 0;
            else if (c.norm == 2)
                want = s > 0 ? 32767 : s < 0 ? -32768 : 0;
            const std::vector<int> got = {a.samples[4 * j], a.samples[4 * j + 1],
                                          a.samples[4 * j + 2], a.samples[4 * j + 3]};
            if (got != std::vector<int>{0, 0, 0, want}) {
                ++wrong;
                ADD_FAILURE() << "frame " << j << ": " << got[0] << " " << got[1] << " " << got[2]
                              << " " << got[3] << ", want channel 4 " << want;
            }
        }
        EXPECT_EQ(r.err, c.norm == 2 ? "Clipped!\n" : "");
        EXPECT_EQ(readFile(in), original);
    }
}

// Huge finite frequencies move the point by whole turns and odd fractions per
// sample; tiny ones underflow; texts that are not numbers count as 0, and a
// number thousands of digits long is infinite. Every run ends with a complete
// file whose samples stay within the input's magnitude.
TEST(ArgumentFaults, HugeTinyAndMalformedValues) {
    TempDir dir;
    Wav w;
    w.samples = samplePattern(5000);
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    writeFile(in, wavBytes(w));
    const Bytes original = readFile(in);
    const std::string manyDigits(5000, '9');

    const std::vector<std::vector<std::string>> cases = {
        {"1e308", "-1e308", "1.7976931348623157e308", "1e300", "1e308", "-1e308"},
        {"4.9e-324", "-1e-320", "1e-400", "0", "1e-300", "360.0000000001"},
        {"", " ", "--5", "0x", ".", "e5", "+-1"},
        {manyDigits, "-" + manyDigits, "1", "1", manyDigits, "0." + manyDigits, manyDigits},
        {"12345678901234567890", "-98765432109876543210", "3", "4", "-720", "7200", "1e-310"},
    };
    int maxInput = 0;
    for (std::int16_t s : w.samples)
        maxInput = std::max(maxInput, std::abs(static_cast<int>(s)));
    for (const auto& numbers : cases) {
        SCOPED_TRACE(numbers[0].substr(0, 30));
        CommandResult r = runTarvio(programArgs(in, out, numbers));
        Aiff a = expectSuccess(r, out);
        EXPECT_EQ(a.frames, 5000u);
        // norm is at most 1 in these runs (or infinite, which moves to the
        // corner and clips), so no sample grows past the input's magnitude
        // except by clipping.
        if (numbers.size() < 7 || numbers[6] != manyDigits) {
            for (std::int16_t s : a.samples)
                ASSERT_LE(std::abs(static_cast<int>(s)), maxInput + 1);
        }
    }
    EXPECT_EQ(readFile(in), original);
}

}  // namespace
