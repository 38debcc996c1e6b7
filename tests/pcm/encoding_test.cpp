// SPDX-License-Identifier: MIT
// What the encoders and decoders do with particular values: byte orders and
// widths, the two rounding rules, the float encoders' limits and the
// 32-bit-scaled integers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "pcm/Pcm.h"
#include "tests/support/Bytes.h"

namespace pcm = tarvio::pcm;
using testsupport::Bytes;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

using Encode = std::uint32_t (*)(const double*, std::size_t, unsigned char*);
using Decode = void (*)(const unsigned char*, std::size_t, double*);

}  // namespace

// Each width in both orders: the same value, its bytes mirrored, and the
// decoder of each order takes them back.
TEST(PcmEncoding, WidthsAndByteOrders) {
    const double x[] = {-0.5, 0.25 + 1.0 / 8388608, -1.0, 1.0};
    struct Width {
        int bytes;
        Encode le, be;
        Decode fromLe, fromBe;
        Bytes leBytes;  // of x[0] and x[1]
    };
    const std::vector<Width> widths = {
        {2, pcm::s16le_from_double, pcm::s16be_from_double, pcm::double_from_s16le,
         pcm::double_from_s16be, {0x00, 0xC0, 0x00, 0x20}},
        {3, pcm::s24le_from_double, pcm::s24be_from_double, pcm::double_from_s24le,
         pcm::double_from_s24be, {0x00, 0x00, 0xC0, 0x01, 0x00, 0x20}},
        {4, pcm::s32le_from_double, pcm::s32be_from_double, pcm::double_from_s32le,
         pcm::double_from_s32be, {0x00, 0x00, 0x00, 0xC0, 0x00, 0x01, 0x00, 0x20}},
    };
    for (const Width& w : widths) {
        SCOPED_TRACE(testing::Message() << w.bytes << " bytes");
        const std::size_t nb = static_cast<std::size_t>(w.bytes);
        Bytes le(4 * nb), be(4 * nb);
        EXPECT_EQ(w.le(x, 4, le.data()), 1u);  // 1.0 clips
        EXPECT_EQ(w.be(x, 4, be.data()), 1u);
        EXPECT_EQ(Bytes(le.begin(), le.begin() + 2 * nb), w.leBytes);
        for (std::size_t s = 0; s < 4; ++s) {
            for (std::size_t i = 0; i < nb; ++i)
                EXPECT_EQ(le[s * nb + i], be[s * nb + nb - 1 - i]) << "sample " << s;
        }
        double back[4], backBe[4];
        w.fromLe(le.data(), 4, back);
        w.fromBe(be.data(), 4, backBe);
        const double top = 1.0 - std::ldexp(1.0, 1 - 8 * w.bytes);  // 1.0 clipped
        const double expected[] = {-0.5, w.bytes == 2 ? 0.25 : x[1], -1.0, top};
        for (int s = 0; s < 4; ++s) {
            EXPECT_EQ(back[s], expected[s]) << "sample " << s;
            EXPECT_EQ(backBe[s], expected[s]) << "sample " << s;
        }
    }
}

// The WAV writer's rule drops the fraction, the AIFF writer's rounds halves
// away from zero; each clips where its own result leaves the depth.
TEST(PcmEncoding, TheTwoRoundingRules) {
    const double u = 1.0 / 32768;
    const std::vector<double> x = {2.5 * u,    -2.5 * u,  2.4 * u,     -0.75 * u,
                                   32767.4 * u, 32767.6 * u, -32768.4 * u, -32768.6 * u,
                                   -32769.0 * u, kNaN};
    struct Rule {
        pcm::Rounding rounding;
        std::vector<int> values;
        std::uint32_t clipped;
    };
    const Rule rules[] = {
        {pcm::Rounding::HalfAwayFromZero,
         {3, -3, 2, -1, 32767, 32767, -32768, -32768, -32768, 0},
         3},  // 32767.6, -32768.6, -32769
        {pcm::Rounding::TowardZero,
         {2, -2, 2, 0, 32767, 32767, -32768, -32768, -32768, 0},
         1},  // -32769 only
    };
    for (const Rule& r : rules) {
        const pcm::Depth d = pcm::Depth::forBits(16, r.rounding);
        const auto encode = pcm::pickEncoder<double>(d, pcm::ByteOrder::Little);
        Bytes out(2 * x.size());
        EXPECT_EQ(encode(x.data(), x.size(), out.data(), d), r.clipped);
        std::vector<int> values;
        for (std::size_t i = 0; i < x.size(); ++i)
            values.push_back(static_cast<std::int16_t>(out[2 * i] | out[2 * i + 1] << 8));
        EXPECT_EQ(values, r.values);
    }
}

// NaN gives 0 uncounted; beyond full scale is clipped and counted; unclipped,
// only what a float cannot hold is, and nothing converts out of range.
TEST(PcmEncoding, FloatEncodersClipCountAndNeverOverflow) {
    const double x[] = {0.5, 1.0, 1.5, -2.0, kNaN, kInf, -kInf, 1e300, -1e-300};
    float out[9];
    EXPECT_EQ(pcm::float_from_double(x, 9, out), 5u);
    EXPECT_EQ(std::vector<float>(out, out + 9),
              (std::vector<float>{0.5f, 1.0f, 1.0f, -1.0f, 0.0f, 1.0f, -1.0f, 1.0f, -0.0f}));
    EXPECT_EQ(pcm::float_from_double(x, 9, out, pcm::FloatRange::Unclipped), 3u);
    EXPECT_EQ(std::vector<float>(out, out + 9),
              (std::vector<float>{0.5f, 1.0f, 1.5f, -2.0f, 0.0f, FLT_MAX, -FLT_MAX, FLT_MAX,
                                  -0.0f}));

    Bytes le(4), be(4), le64(8);
    EXPECT_EQ(pcm::f32le_from_double(x + 2, 1, le.data()), 1u);
    EXPECT_EQ(le, (Bytes{0x00, 0x00, 0x80, 0x3F}));  // 1.0f
    EXPECT_EQ(pcm::f32be_from_double(x, 1, be.data()), 0u);
    EXPECT_EQ(be, (Bytes{0x3F, 0x00, 0x00, 0x00}));  // 0.5f
    EXPECT_EQ(pcm::f64le_from_double(x + 5, 1, le64.data(), pcm::FloatRange::Unclipped), 1u);
    double back = 0;
    pcm::double_from_f64le(le64.data(), 1, &back);
    EXPECT_EQ(back, DBL_MAX);
    pcm::double_from_f32be(be.data(), 1, &back);
    EXPECT_EQ(back, 0.5);
}

// The ints for sf_writef_int: the value at the depth, rounded and clipped as
// the byte encoders do it, in the top bits.
TEST(PcmEncoding, ScaledIntsCarryTheDepthsValueInTheTopBits) {
    const double x[] = {0.5, -1.0, 1.0, 2.5 / 32768, kNaN};
    std::int32_t out[5];
    EXPECT_EQ(pcm::s32_scaled_from_double(x, 5, 16, out), 1u);
    EXPECT_EQ(std::vector<std::int32_t>(out, out + 5),
              (std::vector<std::int32_t>{0x40000000, INT32_MIN, 0x7FFF0000, 3 << 16, 0}));
    EXPECT_EQ(pcm::s32_scaled_from_double(x, 3, 24, out), 1u);
    EXPECT_EQ(std::vector<std::int32_t>(out, out + 3),
              (std::vector<std::int32_t>{0x40000000, INT32_MIN, 0x7FFFFF00}));
}
