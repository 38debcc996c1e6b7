// SPDX-License-Identifier: MIT
// The 54-byte header the writer leaves at the start of a file, provisional
// and final, and the 80-bit extended encoding of the sample rate. The
// expected bytes are literals; offsets and sizes come from the layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

using testsupport::Bytes;
namespace layout = tarvio::aiff;
using layout::kHeaderBytes;

namespace {

const Bytes kFinished4ch16bit1000 = {
    0x46, 0x4F, 0x52, 0x4D, 0x00, 0x00, 0x1F, 0x6E, 0x41, 0x49, 0x46, 0x46, 0x43, 0x4F,
    0x4D, 0x4D, 0x00, 0x00, 0x00, 0x12, 0x00, 0x04, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x10,
    0x40, 0x0E, 0xAC, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x53, 0x53, 0x4E, 0x44,
    0x00, 0x00, 0x1F, 0x48, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes encoded(double r) {
    Bytes out(10);
    encode_extended(r, out.data());
    return out;
}

}  // namespace

TEST(WraiffHeader, FinishedFourChannelFileHasTheKnownHeaderAndItsData) {
    testsupport::TempDir dir;
    const std::string path = dir.file("out.aif");
    std::vector<short> samples(4000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<short>(i * 7 - 9000);
    {
        WRAIFF w(path.c_str(), 44100.0, 4, 16);
        w.write(samples.data(), 1000);
        w.close();
    }
    const Bytes file = testsupport::readFile(path);
    ASSERT_EQ(file.size(), kHeaderBytes + 8000u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + kHeaderBytes), kFinished4ch16bit1000);
    Bytes expected;
    for (short s : samples)
        testsupport::appendBE(expected, static_cast<std::uint16_t>(s), 2);
    EXPECT_EQ(wraifftest::dataOf(path), expected);
}

TEST(WraiffHeader, OpenFileCarriesTheProvisionalHeader) {
    testsupport::TempDir dir;
    const std::string path = dir.file("out.aif");
    WRAIFF w(path.c_str(), 44100.0, 4, 16);
    // Far more data than any stream buffer holds, so the header is on disk.
    std::vector<double> block(4 * 100000, 0.25);
    w.write(block.data(), 100000);
    const Bytes file = testsupport::readFile(path);
    ASSERT_GE(file.size(), kHeaderBytes);
    Bytes expected = kFinished4ch16bit1000;
    const Bytes form = {0x97, 0x67, 0xC4, 0x2E}, frames = {0x12, 0xEC, 0xF8, 0x80},
                ssnd = {0x97, 0x67, 0xC4, 0x08};
    std::copy(form.begin(), form.end(), expected.begin() + layout::kFormSizeAt);
    std::copy(frames.begin(), frames.end(), expected.begin() + layout::kFramesAt);
    std::copy(ssnd.begin(), ssnd.end(), expected.begin() + layout::kSsndSizeAt);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + kHeaderBytes), expected);
    w.close();
    EXPECT_EQ(testsupport::readFile(path).size(), kHeaderBytes + 800000u);
}

TEST(WraiffHeader, EmptyAndOddSizedFilesHaveExactSizes) {
    testsupport::TempDir dir;
    const std::string empty = dir.file("empty.aif"), odd = dir.file("odd.aif");
    {
        WRAIFF w(empty.c_str(), 44100.0, 4, 16);
        w.close();
    }
    Bytes b = testsupport::readFile(empty);
    ASSERT_EQ(b.size(), kHeaderBytes);
    EXPECT_EQ(tarvio::bytes::getU32BE(&b[layout::kFormSizeAt]), 46u);
    EXPECT_EQ(tarvio::bytes::getU32BE(&b[layout::kFramesAt]), 0u);
    EXPECT_EQ(tarvio::bytes::getU32BE(&b[layout::kSsndSizeAt]), 8u);

    const signed char three[] = {5, -6, 7};
    {
        WRAIFF w(odd.c_str(), 8000.0, 1, 8);
        w.write(three, 3);
        w.close();
    }
    b = testsupport::readFile(odd);
    ASSERT_EQ(b.size(), kHeaderBytes + 3);  // no pad byte
    EXPECT_EQ(tarvio::bytes::getU32BE(&b[layout::kFormSizeAt]), 49u);
    EXPECT_EQ(tarvio::bytes::getU32BE(&b[layout::kFramesAt]), 3u);
    EXPECT_EQ(tarvio::bytes::getU16BE(&b[layout::kBitsAt]), 8u);
    EXPECT_EQ(tarvio::bytes::getU32BE(&b[layout::kSsndSizeAt]), 11u);
    EXPECT_EQ(Bytes(b.begin() + kHeaderBytes, b.end()), (Bytes{0x05, 0xFA, 0x07}));
}

// The same table read the other way: decoding gives the rate back, except
// that NaN, like infinity, comes back as infinity.
TEST(WraiffHeader, CommonSampleRatesEncodeToKnownBytesAndDecodeBack) {
    const struct {
        double rate;
        Bytes bytes;
    } table[] = {
        {1, {0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {8000, {0x40, 0x0B, 0xFA, 0, 0, 0, 0, 0, 0, 0}},
        {11025, {0x40, 0x0C, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {22050, {0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {44100, {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {44100.5, {0x40, 0x0E, 0xAC, 0x44, 0x80, 0, 0, 0, 0, 0}},
        {48000, {0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
        {96000, {0x40, 0x0F, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
        {128000, {0x40, 0x0F, 0xFA, 0, 0, 0, 0, 0, 0, 0}},
        {0, Bytes(10, 0)},
        {-44100, {0xC0, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {std::numeric_limits<double>::infinity(), {0x7F, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}},
        {-std::numeric_limits<double>::infinity(), {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}},
        {std::numeric_limits<double>::quiet_NaN(), {0x7F, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& t : table) {
        EXPECT_EQ(encoded(t.rate), t.bytes) << "rate " << t.rate;
        const double back = layout::decode_extended(t.bytes.data());
        if (std::isnan(t.rate))
            EXPECT_EQ(back, std::numeric_limits<double>::infinity());
        else
            EXPECT_EQ(back, t.rate);
    }
}

// Decoding the ten bytes must give back the double exactly: the 64-bit
// mantissa holds all 53 bits.
TEST(WraiffHeader, ExtendedEncodingIsExactForArbitraryDoubles) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> mant(0.5, 1.0);
    std::uniform_int_distribution<int> expo(-1060, 1020);
    std::vector<double> values = {1.0 / 3,
                                  44100.1,
                                  127999.99999,
                                  5e-324,
                                  2.2250738585072014e-308,
                                  std::numeric_limits<double>::max()};
    for (int i = 0; i < 2000; ++i)
        values.push_back(std::ldexp(mant(rng), expo(rng)));
    for (double r : values) {
        for (double v : {r, -r}) {
            const Bytes b = encoded(v);
            ASSERT_TRUE(b[2] & 0x80) << v;  // explicit integer bit
            ASSERT_EQ(layout::decode_extended(b.data()), v);
        }
    }
}
