// SPDX-License-Identifier: MIT
// Pins the exact bytes of whole runs of the program. The checksums below were
// captured from the program before any of its speed work (block loop, sample
// conversion, buffering) was done; every later change must leave the output
// byte for byte the same, so a mismatch here means a change altered the
// result, not that the expected value needs updating.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "aiff/AiffLayout.h"
#include "app/Tarvio.h"
#include "tests/support/TestSupport.h"
#include "wav/WavFile.h"

namespace {

using testsupport::Bytes;
using testsupport::TempDir;

// FNV-1a, 64 bits.
std::uint64_t fnv1a(const Bytes& bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

// A deterministic 16-bit test signal built with integer arithmetic only, so
// the input is the same on every platform: per channel a triangle wave of
// its own period plus LCG noise, with a loud middle third in which all
// channels swing together near full scale (so a norm above 1 clips there).
std::vector<short> makeSignal(int frames, int channels) {
    std::vector<short> s(static_cast<std::size_t>(frames) * channels);
    std::uint32_t lcg = 2463534242u;
    for (int f = 0; f < frames; ++f) {
        const bool loud = f >= frames / 3 && f < 2 * (frames / 3);
        for (int c = 0; c < channels; ++c) {
            const int period = loud ? 400 : 150 + 97 * c;  // frames
            const int pos = f % period;
            const int half = period / 2;
            // Triangle from -half to +half and back.
            const int tri = pos < half ? 2 * pos - half : 3 * half - 2 * pos;
            const int amplitude = loud ? 31000 : 12000;
            lcg = lcg * 1664525u + 1013904223u;
            const int noise = static_cast<int>(lcg >> 22) - 512;  // -512..511
            int v = tri * amplitude / half + (loud ? noise / 4 : noise * 4);
            if (v > 32767)
                v = 32767;
            if (v < -32768)
                v = -32768;
            s[static_cast<std::size_t>(f) * channels + c] = static_cast<short>(v);
        }
    }
    return s;
}

struct GoldenRun {
    int frames;
    int channels;
    int rate;
    std::vector<std::string> numbers;  // f1_init ... angle2 [norm]
};

// Writes the input, runs the whole program on it and returns the output
// file's bytes.
Bytes runProgram(const GoldenRun& g, std::string& log, std::string& warnings) {
    TempDir dir;
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.aif");
    {
        const std::vector<short> signal = makeSignal(g.frames, g.channels);
        WavOutFile wav(in.c_str(), g.rate, 16, g.channels);
        wav.write(signal.data(), static_cast<int>(signal.size()));
        wav.close();
    }
    std::vector<const char*> argv = {"tarvio", in.c_str(), out.c_str()};
    for (const std::string& n : g.numbers)
        argv.push_back(n.c_str());
    std::ostringstream text;
    testing::internal::CaptureStderr();
    const int status = tarvio::run(static_cast<int>(argv.size()), argv.data(), text);
    warnings = testing::internal::GetCapturedStderr();
    log = text.str();
    EXPECT_EQ(status, 0) << log;
    return testsupport::readFile(out);
}

// 30 s of stereo at 44.1 kHz: 1291 whole blocks and a last one of 1016
// frames; both rotations sweep, the second one backwards through zero; norm
// 1.5 makes the loud third clip.
TEST(Golden, LongStereoRunWithSweepsAndClipping) {
    const GoldenRun g{44100 * 30, 2, 44100, {"0.25", "7.5", "3", "-2", "30", "200", "1.5"}};
    std::string log, warnings;
    const Bytes out = runProgram(g, log, warnings);
    ASSERT_EQ(out.size(), tarvio::aiff::kHeaderBytes + 8u * static_cast<std::size_t>(g.frames))
        << log;
    EXPECT_NE(log.find("clipped: 59205 samples!"), std::string::npos) << log;
    EXPECT_EQ(warnings, "Clipped!\n");
    EXPECT_EQ(fnv1a(out), 0x29625c2d0f4368b4ull) << std::hex << "fnv1a 0x" << fnv1a(out) << "\n"
                                                 << log;
}

// Three channels take the general mixdown path; fast equal rotations at
// 48 kHz wrap many times per block.
TEST(Golden, ThreeChannelsFastRotations) {
    const GoldenRun g{48000 * 5 + 333, 3, 48000, {"40", "40", "40", "40", "45", "45"}};
    std::string log, warnings;
    const Bytes out = runProgram(g, log, warnings);
    ASSERT_EQ(out.size(), tarvio::aiff::kHeaderBytes + 8u * static_cast<std::size_t>(g.frames))
        << log;
    EXPECT_EQ(warnings, "");
    EXPECT_EQ(fnv1a(out), 0x9d5a28c617da06b6ull) << std::hex << "fnv1a 0x" << fnv1a(out) << "\n"
                                                 << log;
}

}  // namespace
