// SPDX-License-Identifier: MIT
// How each overload turns a sample into the file's bytes: rounding, clipping
// and counting at every depth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

using testsupport::Bytes;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Written {
    Bytes bytes;
    unsigned long long clipped;
    std::string thrown;
    std::string warned;
};

// Writes the single sample `x` to a fresh one-channel file of `bits` bits.
template <typename T>
Written writeOne(const std::string& path, short bits, T x) {
    Written r;
    std::ostringstream warnings;
    {
        WRAIFF w(path.c_str(), 8000.0, 1, bits);
        w.warnings_to(&warnings);
        r.thrown = wraifftest::thrownMessage([&] { w.write(&x, 1); });
        r.warned = warnings.str();
        r.clipped = wraifftest::clippedCount(w);
        w.close();
    }
    r.bytes = wraifftest::dataOf(path);
    return r;
}

template <typename T>
struct Case {
    short bits;
    T x;
    Bytes bytes;
    bool counted;
};

template <typename T>
void checkTable(const std::vector<Case<T>>& table, bool integer) {
    testsupport::TempDir dir;
    for (const auto& c : table) {
        const Written r = writeOne(dir.file("one.aif"), c.bits, c.x);
        SCOPED_TRACE(testing::Message() << c.bits << " bits, x = " << +c.x);
        EXPECT_EQ(r.bytes, c.bytes);
        EXPECT_EQ(r.clipped, c.counted ? 1u : 0u);
        EXPECT_EQ(r.thrown, integer && c.counted ? "Clipped!\n" : "");
        EXPECT_EQ(r.warned, !integer && c.counted ? "Clipped!\n" : "");
    }
}

const Bytes FF8(8, 0xFF);

}  // namespace

TEST(WraiffConversion, DoublesAt16Bits) {
    const double u = 1.0 / 32768;
    checkTable<double>({{16, 1.0, {0x7F, 0xFF}, true},
                        {16, 0.99999, {0x7F, 0xFF}, true},
                        {16, 0.5, {0x40, 0x00}, false},
                        {16, 1.0 / 65536, {0x00, 0x01}, false},
                        {16, 0.0, {0x00, 0x00}, false},
                        {16, -0.0, {0x00, 0x00}, false},
                        {16, -1.0 / 65536, {0xFF, 0xFF}, false},
                        {16, -0.5, {0xC0, 0x00}, false},
                        {16, -1.0, {0x80, 0x00}, false},
                        {16, -1.00001, {0x80, 0x00}, false},
                        {16, 2.0, {0x7F, 0xFF}, true},
                        {16, -2.0, {0x80, 0x00}, true},
                        {16, 100000.0, {0x7F, 0xFF}, true},
                        // halves go away from zero, never to even; just below a half goes down
                        {16, 2.5 * u, {0x00, 0x03}, false},
                        {16, -2.5 * u, {0xFF, 0xFD}, false},
                        {16, 0.49999999999999994 * u, {0x00, 0x00}, false},
                        // the limits of clipping are the halfway points beyond the bounds
                        {16, 32767.5 * u, {0x7F, 0xFF}, true},
                        {16, 32767.499 * u, {0x7F, 0xFF}, false},
                        {16, -32768.5 * u, {0x80, 0x00}, true},
                        {16, -32768.499 * u, {0x80, 0x00}, false},
                        // however large, nothing wraps around
                        {16, 1e300, {0x7F, 0xFF}, true},
                        {16, -1e300, {0x80, 0x00}, true},
                        {16, kInf, {0x7F, 0xFF}, true},
                        {16, -kInf, {0x80, 0x00}, true},
                        {16, kNaN, {0x00, 0x00}, false}},
                       false);
}

TEST(WraiffConversion, FloatsAreWidenedAndConvertedLikeDoubles) {
    checkTable<float>({{16, 0.5f, {0x40, 0x00}, false},
                       {16, -1.0f, {0x80, 0x00}, false},
                       {16, 2.0f, {0x7F, 0xFF}, true},
                       {24, 1e30f, {0x7F, 0xFF, 0xFF}, true},
                       {16, -std::numeric_limits<float>::infinity(), {0x80, 0x00}, true},
                       {8, std::numeric_limits<float>::quiet_NaN(), {0x00}, false}},
                      false);
}

TEST(WraiffConversion, DoublesAtOtherDepths) {
    const double below = std::nextafter(-1.0, -2.0);
    checkTable<double>(
        {{8, 1.0, {0x7F}, true},
         {8, -1.0, {0x80}, false},
         {8, 0.5, {0x40}, false},
         {24, 0.5, {0x40, 0x00, 0x00}, false},
         {24, -1.0, {0x80, 0x00, 0x00}, false},
         {32, 1.0, {0x7F, 0xFF, 0xFF, 0xFF}, true},
         {32, -1.0, {0x80, 0x00, 0x00, 0x00}, false},
         {32, -1e300, {0x80, 0x00, 0x00, 0x00}, true},
         {40, -(1.0 + std::ldexp(1.0, -40)), {0x80, 0, 0, 0, 0}, true},  // -2^39 - 0.5
         {48, std::ldexp(3.0, -48), {0, 0, 0, 0, 0, 0x02}, false},       // 1.5 rounds to 2
         {56, 1.0, {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},
         {56, std::nextafter(1.0, 0.0), {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, false},
         {56, -1.0, {0x80, 0, 0, 0, 0, 0, 0}, false},
         {56, below, {0x80, 0, 0, 0, 0, 0, 0}, true},
         {64, 0.5, {0x40, 0, 0, 0, 0, 0, 0, 0}, false},
         {64, 1.0, {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},
         {64, std::nextafter(1.0, 0.0), {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC, 0x00}, false},
         {64, -1.0, {0x80, 0, 0, 0, 0, 0, 0, 0}, false},
         {64, below, {0x80, 0, 0, 0, 0, 0, 0, 0}, true},
         // 2^52 + 1 is an integer already; adding 0.5 first would make it 2^52 + 2
         {64, std::ldexp(std::ldexp(1.0, 52) + 1, -63), {0, 0x10, 0, 0, 0, 0, 0, 0x01}, false},
         {64, kInf, {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},
         {64, -1e300, {0x80, 0, 0, 0, 0, 0, 0, 0}, true},
         {64, kNaN, Bytes(8, 0), false}},
        false);
}

TEST(WraiffConversion, IntegersAreTakenAsValuesAtTheFileDepth) {
    checkTable<long>({{16, 70000L, {0x7F, 0xFF}, true},
                      {64, std::numeric_limits<long>::min(), {0x80, 0, 0, 0, 0, 0, 0, 0}, false},
                      {32, std::numeric_limits<long>::max(), {0x7F, 0xFF, 0xFF, 0xFF}, true}},
                     true);
    checkTable<int>({{24, 1000, {0x00, 0x03, 0xE8}, false},
                     {16, -32769, {0x80, 0x00}, true},
                     {8, 127, {0x7F}, false}},
                    true);
    checkTable<short>(
        {{8, -300, {0x80}, true}, {8, 300, {0x7F}, true}, {16, 32767, {0x7F, 0xFF}, false}}, true);
    checkTable<signed char>({{24, -1, {0xFF, 0xFF, 0xFF}, false}, {64, -1, FF8, false}}, true);
}

// Long multi-channel blocks against a reference built on std::round. The
// blocks are larger than the writer's scratch space, and with three channels
// of 24 bits its pieces end in the middle of a frame.
TEST(WraiffConversion, LongBlocksMatchAReferenceRounding) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> dist(-1.3, 1.3);
    for (short bits : {16, 24}) {
        const short channels = bits == 16 ? 4 : 3;
        const long frames = 60001;
        const double fs = std::ldexp(1.0, bits - 1);
        std::vector<double> in(static_cast<std::size_t>(frames * channels));
        for (std::size_t i = 0; i < in.size(); ++i) {
            // every fourth value lies exactly on a half
            in[i] = i % 4 == 0 ? (std::floor(dist(rng) * fs) + 0.5) / fs : dist(rng);
        }
        unsigned long long clips = 0;
        const Bytes expected = wraifftest::referenceBytes(in, bits, clips);
        testsupport::TempDir dir;
        const std::string path = dir.file("long.aif");
        {
            WRAIFF w(path.c_str(), 48000.0, channels, bits);
            w.warnings_to(nullptr);
            w.write(in.data(), frames);
            EXPECT_EQ(wraifftest::clippedCount(w), clips);
            EXPECT_EQ(wraifftest::frameCount(w), static_cast<unsigned long long>(frames));
            w.close();
        }
        EXPECT_EQ(wraifftest::dataOf(path), expected) << bits << " bits";
    }
}
