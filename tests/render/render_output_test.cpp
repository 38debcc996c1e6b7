// SPDX-License-Identifier: MIT
// What tarvio-render's audio file says about itself must be true: a write
// that fails, also in an encoder's last flush, fails the run with its cause;
// the channel mask names loudspeakers only where the layout has standard
// ones; float files carry no peak that contradicts their samples and two
// runs write the same bytes; samples that are not a number are counted
// whatever the input.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
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

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

// The channel mask of a WAV or RF64 file's extensible format chunk; -1 when
// the file has no such chunk.
long long channelMask(const Bytes& b) {
    std::size_t at = 12;
    while (b.size() >= 8 && at <= b.size() - 8) {
        const std::string id(b.begin() + at, b.begin() + at + 4);
        const std::size_t size = le32(b, at + 4);
        if (id == "fmt ") {
            if (size < 24 || at + 8 + 24 > b.size() || (b[at + 8] | b[at + 9] << 8) != 0xFFFE)
                return -1;
            return le32(b, at + 8 + 20);
        }
        if (id == "data")
            return -1;
        at += 8 + size + (size & 1);
    }
    return -1;
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

// WAV and RF64 files declare loudspeakers in their channel mask only when
// every loudspeaker of the layout is a standard one; otherwise the mask is 0
// (no positions), whatever libsndfile would assume for the channel count.
TEST(RenderOutput, TheChannelMaskNamesOnlyStandardLoudspeakers) {
    TempDir dir;
    WavSpec w;
    w.samples = samplePattern(4000);
    writeWav(dir.file("in.wav"), w);
    const std::string rig = "A 0\nB 180\n";
    writeFile(dir.file("rig.txt"), Bytes(rig.begin(), rig.end()));
    // Every standard loudspeaker, the upper layer too: each mask bit has its
    // name for libsndfile.
    const std::string all =
        "FL 30\nFR -30\nFC 0\nLFE\nBL 135\nBR -135\nFLC 15\nFRC -15\nBC 180\nSL 90\n"
        "SR -90\nTC 5\nTFL 45\nTFC -5\nTFR -45\nTBL 140\nTBC 175\nTBR -140\n";
    writeFile(dir.file("all.txt"), Bytes(all.begin(), all.end()));
    const struct {
        const char* args;
        long long mask;
    } cases[] = {
        {"--layout ring:2", 0},      {"--layout ring:4", 0},        {"--layout ring:6", 0},
        {"--layout ring:8:22.5", 0}, {"--ambisonics 1", 0},         {"--layout rig.txt", 0},
        {"--layout quad", 0x33},     {"--layout stereo", 0x3},      {"--layout 5.1", 0x3F},
        {"--layout 7.1", 0x63F},     {"--layout all.txt", 0x3FFFF},
    };
    for (const auto& c : cases) {
        for (const std::string ext : {"wav", "rf64"}) {
            const CommandResult r = render(dir, std::string("-q ") + c.args + " in.wav o." + ext);
            ASSERT_EQ(r.status, 0) << c.args << ": " << r.err;
            EXPECT_EQ(channelMask(readFile(dir.file("o." + ext))), c.mask) << c.args << " " << ext;
        }
    }
}

// Float WAV, CAF and AIFF-C files: a peak the file declares (libsndfile reads
// it from a PEAK chunk) is the peak of its samples, and two runs of one
// command, a second apart, write the same bytes.
TEST(RenderOutput, FloatFilesDeclareNoFalsePeakAndRepeatThemselves) {
    TempDir dir;
    WavSpec w;
    w.samples = sine(20000);
    writeWav(dir.file("in.wav"), w);
    const std::vector<std::string> outputs = {"o.wav", "o.caf", "o.aifc"};
    std::vector<Bytes> first;
    for (const std::string& o : outputs) {
        ASSERT_EQ(render(dir, "-q --bits float in.wav " + o).status, 0) << o;
        first.push_back(readFile(dir.file(o)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const std::string& o = outputs[k];
        ASSERT_EQ(render(dir, "-q --bits float in.wav " + o).status, 0) << o;
        EXPECT_EQ(readFile(dir.file(o)), first[k]) << o;

        SF_INFO info{};
        SNDFILE* sf = sf_open(dir.file(o).c_str(), SFM_READ, &info);
        ASSERT_NE(sf, nullptr) << o;
        std::vector<float> x(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_float(sf, x.data(), info.frames);
        double peak = 0;
        for (float v : x)
            peak = std::fmax(peak, std::fabs(v));
        double declared = 0;
        if (sf_command(sf, SFC_GET_SIGNAL_MAX, &declared, sizeof declared) == SF_TRUE) {
            EXPECT_NEAR(declared, peak, 1e-6) << o;
        }
        sf_close(sf);
        EXPECT_GT(peak, 0.9) << o;
    }
}

// Integer input can bring samples that are not a number too: a gain that
// overflows to infinity times a silent loudspeaker's gain of 0. The summary
// counts them.
TEST(RenderOutput, NotANumberIsCountedForIntegerInput) {
    TempDir dir;
    WavSpec w;
    w.samples = samplePattern(4000);
    writeWav(dir.file("in.wav"), w);
    const CommandResult r = render(dir, "--norm 1e308 --gain 60 in.wav o.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" samples not a number, written as 0\n"), std::string::npos) << r.out;
}
