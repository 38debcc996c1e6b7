// SPDX-License-Identifier: MIT
// The AIFF writer's fast paths (a vector loop for 16-bit doubles, bytes
// collected over several calls before they reach the stream) against a plain
// reference: every special value at every position of the vector loop, and
// many calls of uneven sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "aiff/wraiff.h"
#include "pcm/Pcm.h"
#include "tests/support/TestSupport.h"
#include "tests/wraiff/WriterTestUtil.h"

namespace {

using testsupport::Bytes;

// Writes `in` as `channels`-channel frames in calls of the given sizes (in
// frames, repeated until everything is written) and returns the data bytes.
// `direct`: each call encodes its frames with pcm into the writer's room and
// commits them, in calls no larger than the room may be.
Bytes writeInCalls(const std::string& path, const std::vector<double>& in, short channels,
                   short bits, const std::vector<long>& calls, unsigned long long& clips,
                   bool direct = false) {
    {
        WRAIFF w(path.c_str(), 44100.0, channels, bits);
        w.warnings_to(nullptr);
        const tarvio::pcm::Depth depth = tarvio::pcm::Depth::forBits(bits);
        const auto encode = tarvio::pcm::pickEncoder<double>(depth, tarvio::pcm::ByteOrder::Big);
        const long largest = static_cast<long>(WRAIFF::max_direct_bytes) / (channels * bits / 8);
        const long frames = static_cast<long>(in.size()) / channels;
        long done = 0;
        for (std::size_t c = 0; done < frames; ++c) {
            long n = calls[c % calls.size()];
            if (direct && n > largest)
                n = largest;
            if (n > frames - done)
                n = frames - done;
            const double* samples = in.data() + done * channels;
            if (direct) {
                unsigned char* room = w.room(n);
                w.commit(n, encode(samples, static_cast<std::size_t>(n * channels), room, depth));
            } else {
                w.write(samples, n);
            }
            done += n;
        }
        clips = wraifftest::clippedCount(w);
        w.close();
    }
    return wraifftest::dataOf(path);
}

TEST(WriterBlocks, SpecialValuesAtEveryPositionOfTheVectorLoop) {
    const double u = 1.0 / 32768;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> specials = {0.0,
                                          -0.0,
                                          1.0,
                                          -1.0,
                                          0.5,
                                          -0.5,
                                          2.5 * u,
                                          -2.5 * u,
                                          0.49999999999999994 * u,
                                          -0.49999999999999994 * u,
                                          32767.5 * u,
                                          32767.499 * u,
                                          -32768.5 * u,
                                          -32768.499 * u,
                                          1e300,
                                          -1e300,
                                          inf,
                                          -inf,
                                          nan,
                                          -nan,
                                          1e-310,
                                          -1e-310};
    // Each special value in groups of 16 samples, once at each position of
    // the group, so that it meets every lane of the vector loops (8 or 16
    // samples wide) and, in the calls of a few frames, the samples left over
    // after them.
    std::vector<double> in;
    for (double s : specials) {
        for (int at = 0; at < 16; ++at) {
            for (int k = 0; k < 16; ++k)
                in.push_back(k == at ? s : (k - 8) * 0.1234);
        }
    }
    while (in.size() % 4 != 0)
        in.push_back(0.25);
    unsigned long long expectedClips = 0;
    const Bytes expected = wraifftest::referenceBytes(in, 16, expectedClips);

    testsupport::TempDir dir;
    for (const std::vector<long>& calls :
         {std::vector<long>{100000}, std::vector<long>{1}, std::vector<long>{3, 5, 2}}) {
        unsigned long long clips = 0;
        EXPECT_EQ(writeInCalls(dir.file("s.aif"), in, 4, 16, calls, clips), expected);
        EXPECT_EQ(clips, expectedClips);
    }
}

// Bytes collected over many calls of uneven sizes come out in order and
// complete, also when the scratch space fills in the middle of a frame or
// of a sample (three channels of 24 bits), written or encoded by the caller
// into the writer's room (which then runs past the end of a piece).
TEST(WriterBlocks, ManyUnevenCallsGiveTheBytesOfOneCall) {
    std::vector<double> in(3 * 4 * 50001);
    std::uint32_t lcg = 1;
    for (double& x : in) {
        lcg = lcg * 1664525u + 1013904223u;
        x = (static_cast<double>(lcg >> 8) / 16777216.0 - 0.5) * 2.3;  // some clip
    }
    const std::vector<long> calls = {1024, 1, 777, 3, 8191, 1024, 16384, 5};
    testsupport::TempDir dir;
    for (short bits : {16, 24}) {
        for (short channels : {3, 4}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            std::vector<double> frames(in.begin(), in.begin() + (in.size() / channels) * channels);
            unsigned long long expectedClips = 0;
            const Bytes expected = wraifftest::referenceBytes(frames, bits, expectedClips);
            for (bool direct : {false, true}) {
                unsigned long long clips = 0;
                EXPECT_EQ(
                    writeInCalls(dir.file("u.aif"), frames, channels, bits, calls, clips, direct),
                    expected)
                    << (direct ? "room and commit" : "write");
                EXPECT_EQ(clips, expectedClips);
            }
        }
    }
}

// A commit takes no more than the room given last, and only once: the
// writer's buffer is never overrun by a caller's mistake.
TEST(WriterBlocks, CommitTakesNoMoreThanTheRoomGiven) {
    testsupport::TempDir dir;
    WRAIFF w(dir.file("c.aif").c_str(), 44100.0, 4, 16);
    EXPECT_EQ(wraifftest::thrownMessage([&] { w.commit(1, 0); }), "Wrong argument(s)!\n");
    unsigned char* room = w.room(10);
    for (int i = 0; i < 80; ++i)
        room[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(wraifftest::thrownMessage([&] { w.commit(11, 0); }), "Wrong argument(s)!\n");
    EXPECT_EQ(wraifftest::thrownMessage([&] { w.commit(-1, 0); }), "Wrong argument(s)!\n");
    w.commit(10, 0);
    EXPECT_EQ(wraifftest::thrownMessage([&] { w.commit(10, 0); }), "Wrong argument(s)!\n");
    EXPECT_EQ(wraifftest::frameCount(w), 10u);
    w.close();
    EXPECT_EQ(wraifftest::dataOf(dir.file("c.aif")).size(), 80u);
}

}  // namespace
