// SPDX-License-Identifier: MIT
// What tarvio-render's audio file says about itself must be true: a write
// that fails, also in an encoder's last flush, fails the run with its cause.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/ProgramFixtures.h"
#include "tests/support/TestSupport.h"

using testsupport::Bytes;
using testsupport::CommandResult;
using testsupport::entries;
using testsupport::readFile;
using testsupport::runCommand;
using testsupport::samplePattern;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::WavSpec;
using testsupport::writeFile;
using testsupport::writeWav;

namespace {

const Bytes kEarlier(3000, 0x5A);  // what stood at an output path before

// Runs tarvio-render with `args` (quoted where needed) after `prefix`, in
// `dir`.
CommandResult render(const TempDir& dir, const std::string& args, const std::string& prefix = "") {
    return runCommand("cd " + shellQuote(dir.path()) + " && " + prefix +
                      shellQuote(TARVIO_RENDER_BINARY) + " " + args);
}

// Files a run left behind besides its outputs (its hidden temporary files).
int strays(const TempDir& dir) {
    int n = 0;
    for (const std::string& name : entries(dir.path()))
        n += name.find(".tarvio-") != std::string::npos;
    return n;
}

// The prefixes that run the program with a writing thread and, where the
// process can be pinned to one processor, without.
std::vector<std::string> processorPrefixes() {
    std::vector<std::string> p = {""};
    if (std::system("taskset -c 0 true >/dev/null 2>&1") == 0)
        p.push_back("taskset -c 0 ");
    return p;
}

// `n` samples of a sine at 0.96 of full scale, which the encoders compress
// well: their last flush is a good part of the file.
std::vector<std::int16_t> sine(int n) {
    std::vector<std::int16_t> s;
    for (int i = 0; i < n; ++i)
        s.push_back(static_cast<std::int16_t>(std::lround(31457 * std::sin(0.06 * i))));
    return s;
}

}  // namespace

// A file that outgrows the size limit, also where the encoder's last flush
// inside sf_close is what passes it, fails the run with the cause, on the
// writing thread and without one; the earlier file stays and no temporary
// file is left. A full device fails the same way.
TEST(RenderOutput, AFailedWriteFailsTheRunWithItsCause) {
    TempDir dir;
    WavSpec w;
    w.rate = 48000;  // for Opus
    w.samples = sine(96000);
    writeWav(dir.file("in.wav"), w);
    for (const std::string ext : {"flac", "ogg", "opus", "mp3"}) {
        const std::string out = "out." + ext;
        // Stereo, which every encoder takes.
        const std::string args = "-q --layout stereo in.wav " + out;
        CommandResult r = render(dir, args);
        if (r.status != 0 && r.err.find("libsndfile cannot write") != std::string::npos)
            continue;  // this libsndfile has no such encoder
        ASSERT_EQ(r.status, 0) << ext << ": " << r.err;
        const std::size_t full = readFile(dir.file(out)).size();
        ASSERT_GT(full, 4096u) << ext;
        // Less than a block short of the whole file (sh counts 512 bytes a
        // block).
        const std::string limit = "ulimit -f " + std::to_string((full - 1) / 512) + "; ";
        for (const std::string& prefix : processorPrefixes()) {
            SCOPED_TRACE(ext + " " + prefix);
            writeFile(dir.file(out), kEarlier);
            r = render(dir, args, limit + prefix);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "tarvio-render: " + out + ": write failed: File too large\n");
            EXPECT_EQ(readFile(dir.file(out)), kEarlier);
            EXPECT_EQ(strays(dir), 0);
        }
    }
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    // Not Ogg Vorbis: libsndfile loses its encoder's memory when the first
    // page cannot be written, which the sanitizer build reports as a leak.
    for (const std::string format : {"wav", "flac", "opus", "mp3"}) {
        const CommandResult r =
            render(dir, "-q --layout stereo --format " + format + " in.wav /dev/full");
        if (r.err.find("libsndfile cannot write") != std::string::npos)
            continue;
        EXPECT_EQ(r.status, 1) << format;
        EXPECT_EQ(r.err, "tarvio-render: /dev/full: write failed: No space left on device\n")
            << format;
    }
}
