// SPDX-License-Identifier: MIT
// What a run does to the output path when it does not end normally: signals,
// a closed or full standard output, a file-size limit, a failing input device,
// outputs that cannot work, and odd headers that used to spoil the result.
// Each test runs the built binary and checks that an earlier output is left
// byte for byte as it was, and that no stray file remains.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::Bytes;
using testsupport::Child;
using testsupport::CommandResult;
using testsupport::endsWith;
using testsupport::entries;
using testsupport::fileExists;
using testsupport::programArgs;
using testsupport::readFile;
using testsupport::readOutputFile;
using testsupport::runCommand;
using testsupport::runTarvio;
using testsupport::samplePattern;
using testsupport::shellQuote;
using testsupport::tarvioCommand;
using testsupport::TempDir;
using testsupport::wavBytes;
using testsupport::WavSpec;
using testsupport::writeFile;

namespace {

const Bytes kEarlier(4000, 0x5A);  // what stood at the output path before


// A directory with an input and an earlier output, and the bytes of the
// output that a normal run gives.
struct Scene {
    TempDir dir;
    std::string in = dir.file("in.wav");
    std::string out = dir.file("out.aif");
    Bytes normal;

    explicit Scene(int frames = 60000) {
        WavSpec w;
        w.channels = 2;
        w.samples = samplePattern(2 * frames);
        writeFile(in, wavBytes(w));
        EXPECT_EQ(runTarvio(programArgs(in, out)).status, 0);
        normal = readFile(out);
        writeFile(out, kEarlier);
    }
    void expectUntouched() const {
        EXPECT_EQ(readFile(out), kEarlier) << "the earlier output changed";
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.wav", "out.aif"}))
            << "stray files in the directory";
    }
};

}  // namespace

// The input is a pipe that the test fills, so the signal arrives while the run
// waits for more data, with its temporary file in the directory.
TEST(SafeOutput, StopSignalsLeaveTheEarlierOutputAndNoStrayFiles) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        const std::string in = dir.file("in.wav");
        const std::string out = dir.file("out.aif");
        ASSERT_EQ(::mkfifo(in.c_str(), 0600), 0);
        writeFile(out, kEarlier);

        std::vector<std::string> argv = programArgs(in, out);
        argv.insert(argv.begin(), TARVIO_BINARY);
        Child run(argv, dir.file("stderr"));
        WavSpec w;
        w.samples = samplePattern(200000);
        const Bytes bytes = wavBytes(w);
        std::FILE* feed = std::fopen(in.c_str(), "wb");  // waits for the reader
        ASSERT_NE(feed, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size() / 2, feed);
        std::fflush(feed);
        ASSERT_TRUE(run.waitForOutput("spatializing...")) << run.output();
        bool tempSeen = false;
        for (const std::string& name : entries(dir.path()))
            tempSeen = tempSeen || name.rfind(".out.aif.", 0) == 0;
        EXPECT_TRUE(tempSeen) << "the run writes a temporary file next to the output";

        run.signal(sig);
        const int status = run.wait();
        std::fclose(feed);
        EXPECT_EQ(status, 128 + sig) << "killed by " << run.killedBy();
        EXPECT_TRUE(endsWith(run.output(), "\n\nspatializing...")) << run.output();
        EXPECT_EQ(readFile(out), kEarlier);
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.wav", "out.aif", "stderr"}));
    }
}

// A report nobody reads is no reason to fail: a closed pipe (as after
// `| head -n 1`) and a full device as standard output.
TEST(SafeOutput, AnUnwritableReportStillGivesTheWholeOutput) {
    Scene s;
    std::vector<std::string> argv = programArgs(s.in, s.out);
    argv.insert(argv.begin(), TARVIO_BINARY);
    Child closed(argv, s.dir.file("err"), Child::Stdout::ClosedPipe);
    EXPECT_EQ(closed.wait(), 0) << "killed by " << closed.killedBy();
    EXPECT_EQ(readFile(s.out), s.normal);

    writeFile(s.out, kEarlier);
    CommandResult r = runCommand(tarvioCommand(programArgs(s.in, s.out)) + " >/dev/full");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(s.out), s.normal);

    writeFile(s.out, kEarlier);
    r = runCommand("{ " + tarvioCommand(programArgs(s.in, s.out)) + "; echo $? >" +
                   shellQuote(s.dir.file("status")) + "; } | head -n 1");
    EXPECT_EQ(r.out, "[Tarvio, ver. 1.00]\n");
    EXPECT_EQ(readFile(s.dir.file("status")), Bytes({'0', '\n'}));
    EXPECT_EQ(readFile(s.out), s.normal);
}

// The program itself ignores SIGXFSZ: the limit shows as a failed write.
TEST(SafeOutput, AFileSizeLimitFailsTheRunAndKeepsTheEarlierOutput) {
    Scene s;
    CommandResult r = runTarvio(programArgs(s.in, s.out), "ulimit -f 200; ");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\n\nspatializing...Error: AIFF file gone bad!\n\n")) << r.out;
    s.expectUntouched();
}

// A device error while reading is not the end of the input. strace makes
// the third read of the input fail with EIO.
TEST(SafeOutput, AReadErrorFailsTheRun) {
    TARVIO_REQUIRE_PROGRAM("strace");
    if (runCommand("strace -o /dev/null true").status != 0)
        GTEST_SKIP() << "strace cannot trace here (ptrace is not permitted)";
    Scene s(300000);
    // LeakSanitizer cannot run under a tracer; in the sanitizer build it is
    // switched off for this one run.
    CommandResult r =
        runCommand("ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -P " + shellQuote(s.in) +
                   " -e trace=read -e inject=read:error=EIO:when=3+ " +
                   tarvioCommand(programArgs(s.in, s.out)));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(endsWith(r.out, "spatializing...Error: read error in file \"" + s.in + "\"\n"))
        << r.out;
    s.expectUntouched();
}

TEST(SafeOutput, OutputsThatCannotWorkAreRefusedBeforeAnyWork) {
    Scene s(2000);
    const std::string report = s.dir.file("report.txt");
    CommandResult r =
        runCommand(tarvioCommand(programArgs(s.in, "/dev/stdout")) + " >" + shellQuote(report));
    EXPECT_EQ(r.status, 1);
    const Bytes text = readFile(report);
    EXPECT_TRUE(endsWith(std::string(text.begin(), text.end()),
                         "\n\nError: output and standard output are the same file\n"));

    const std::string fifo = s.dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = runTarvio(programArgs(s.in, fifo), "timeout 20 ");  // opening it would wait for a reader
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        endsWith(r.out, "\n\nError: output \"" + fifo + "\" cannot be rewound; write to a file\n"))
        << r.out;
    EXPECT_EQ(r.out.find("sampling rate"), std::string::npos) << "refused after the report";
    ::unlink(fifo.c_str());
    ::unlink(report.c_str());
    s.expectUntouched();
}

// A finished run replaces the output under its name, keeps its permission
// bits, leaves a symbolic link a link, and reports the name as given.
TEST(SafeOutput, AFinishedRunReplacesTheOutputInPlaceOfTheOldOne) {
    Scene s(3000);
    ASSERT_EQ(::chmod(s.out.c_str(), 0640), 0);
    CommandResult r = runTarvio(programArgs(s.in, s.out));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("   AIFF file: " + s.out + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(s.out), s.normal);
    struct stat st;
    ASSERT_EQ(::stat(s.out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const std::string link = s.dir.file("link.aif");
    ASSERT_EQ(::symlink("out.aif", link.c_str()), 0);
    writeFile(s.out, kEarlier);
    EXPECT_EQ(runTarvio(programArgs(s.in, link)).status, 0);
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(s.out), s.normal);
    EXPECT_EQ(entries(s.dir.path()), (std::set<std::string>{"in.wav", "out.aif", "link.aif"}));
}

// A directory that takes no new file, with the output itself writable: the
// run writes in place. When such a run fails, the file cannot be removed, and
// the program says which file was left behind.
TEST(SafeOutput, ADirectoryWithoutRoomForATemporaryFileIsWrittenInPlace) {
    Scene s(30000);
    // Run as root, the test drops to an unprivileged user, who may not be
    // able to enter the build directory (a clone in /root): that user runs a
    // copy of the program from the test's own directory.
    std::string prefix;
    std::string program = TARVIO_BINARY;
    if (::geteuid() == 0) {
        TARVIO_REQUIRE_PROGRAM("setpriv");
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        program = s.dir.file("tarvio");
        writeFile(program, readFile(TARVIO_BINARY));
        ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    }
    const std::string locked = s.dir.file("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
    const std::string out = locked + "/out.aif";
    writeFile(out, kEarlier);
    ASSERT_EQ(::chmod(out.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(s.dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(s.in.c_str(), 0644), 0);
    struct stat before;
    ASSERT_EQ(::stat(out.c_str(), &before), 0);

    CommandResult r = runCommand(prefix + tarvioCommand(programArgs(s.in, out), program));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(out), s.normal);
    struct stat after;
    ASSERT_EQ(::stat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "written in place";

    r = runCommand(prefix + "sh -c 'ulimit -f 20; exec \"$0\" \"$@\"' " +
                   tarvioCommand(programArgs(s.in, out), program));
    EXPECT_TRUE(endsWith(r.out, "spatializing...Error: AIFF file gone bad!\n\n")) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "AIFF file gone bad. No header-rewrite!\n"
              "could not remove the unfinished output \"" +
                  out + "\": Permission denied\n");
    EXPECT_EQ(entries(locked), (std::set<std::string>{"out.aif"}));
    ::chmod(locked.c_str(), 0755);
}

// A block alignment of 0 gives a frame count of 0 over a long file. The
// rotations keep their initial frequency (1 Hz: one table unit a sample at
// 4096 Hz) and the sound passes through all four corners.
TEST(SafeOutput, ABlockAlignmentOfZeroStillMovesTheSound) {
    TempDir dir;
    WavSpec w;
    w.rate = 4096;
    w.blockAlign = 0;
    w.samples.assign(5000, 16384);
    writeFile(dir.file("in.wav"), wavBytes(w));
    CommandResult r =
        runTarvio({dir.file("in.wav"), dir.file("out.aif"), "1", "5", "1", "5", "0", "0"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("natural frequency    = inf Hz\n"), std::string::npos) << r.out;
    testsupport::OutputFile a = readOutputFile(dir.file("out.aif"));
    ASSERT_TRUE(a.ok()) << a.fault;
    ASSERT_EQ(a.frames, 5000u);
    // Frames 1023, 2047, 3071 and 4095 sit on the corners of channels 3, 1,
    // 2 and 4.
    const int corner[4][2] = {{1023, 2}, {2047, 0}, {3071, 1}, {4095, 3}};
    for (const auto& c : corner) {
        for (int ch = 0; ch < 4; ++ch)
            EXPECT_EQ(a.samples[4 * c[0] + ch], ch == c[1] ? 16384 : 0)
                << "frame " << c[0] << " channel " << ch + 1;
    }
}

// After an odd-sized block, a pad byte that is not zero (a space, 0xFF) is
// skipped when the bytes after it form the next block id.
TEST(SafeOutput, ANonZeroPadByteIsSkipped) {
    TempDir dir;
    WavSpec plain;
    plain.samples = samplePattern(3000);
    writeFile(dir.file("plain.wav"), wavBytes(plain));
    ASSERT_EQ(runTarvio(programArgs(dir.file("plain.wav"), dir.file("plain.aif"))).status, 0);
    const Bytes expected = readFile(dir.file("plain.aif"));

    for (unsigned char pad : {0x20, 0xFF, 0x00}) {
        SCOPED_TRACE(static_cast<int>(pad));
        WavSpec w = plain;
        testsupport::appendTag(w.before, "LIST");
        testsupport::appendLE(w.before, 5, 4);
        w.before.insert(w.before.end(), {'I', 'N', 'F', 'O', 'x', pad});
        writeFile(dir.file("in.wav"), wavBytes(w));
        CommandResult r = runTarvio(programArgs(dir.file("in.wav"), dir.file("out.aif")));
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(readFile(dir.file("out.aif")), expected);
    }
}

// The run sets room aside on the disk for as much output as the input's size
// could give; an input padded with a large unknown block gives less, and the
// finished file keeps no more blocks than its bytes need.
TEST(SafeOutput, TheFinishedFileKeepsNoRoomItDidNotUse) {
    TempDir dir;
    WavSpec w;
    w.samples = samplePattern(3000);
    testsupport::appendTag(w.before, "junk");
    testsupport::appendLE(w.before, 4u << 20, 4);
    w.before.resize(w.before.size() + (4u << 20), 0);
    writeFile(dir.file("in.wav"), wavBytes(w));
    ASSERT_EQ(runTarvio(programArgs(dir.file("in.wav"), dir.file("out.aif"))).status, 0);
    struct stat st;
    ASSERT_EQ(::stat(dir.file("out.aif").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 54 + 3000 * 8);
    EXPECT_LT(static_cast<long long>(st.st_blocks) * 512, st.st_size + (64 << 10));
}
