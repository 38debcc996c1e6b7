// SPDX-License-Identifier: MIT
// Every vector variant of pcm's kernels, called through its table, against
// the portable reference, in both byte orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/Cpu.h"
#include "pcm/Pcm.h"
#include "tests/support/Bytes.h"

namespace pcm = tarvio::pcm;
namespace cpu = tarvio::cpu;
using testsupport::Bytes;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const pcm::ByteOrder kOrders[] = {pcm::ByteOrder::Little, pcm::ByteOrder::Big};

const char* nameOf(pcm::ByteOrder order) {
    switch (order) {
        case pcm::ByteOrder::Little:
            return "little-endian";
        case pcm::ByteOrder::Big:
            return "big-endian";
    }
    return "?";
}

// The rows after the portable one that this processor runs; the first row
// must be the portable reference.
template <class Fn>
std::vector<cpu::Variant<Fn>> vectorRows(pcm::Variants<Fn> table) {
    EXPECT_STREQ(table.rows[0].name, "portable");
    std::vector<cpu::Variant<Fn>> rows;
    for (const auto& row : table) {
        if (row.isa != cpu::Isa::Portable && cpu::supported(row.isa))
            rows.push_back(row);
    }
    return rows;
}

}  // namespace

// Special values at every lane position of the widest loop among random ones,
// from several starting points and with lengths that end inside and right
// after each loop width.
TEST(PcmVariants, EveryS16FromDoubleVariantMatchesThePortableOne) {
    const auto table = pcm::s16FromDoubleVariants();
    const auto rows = vectorRows(table);
    if (rows.empty())
        GTEST_SKIP() << "this build or processor has only the portable variant";
    const double u = 1.0 / 32768;
    // NaN, infinities, zeros, full scale, huge and tiny values; the halves and
    // the clip limits, and the values just inside them.
    std::vector<double> specials = {kNaN, -kNaN, kInf,  -kInf,  0.0,   -0.0,
                                    1.0,  -1.0,  1e300, -1e300, 1e-310};
    for (double h : {0.5, -0.5, 2.5, -2.5, 32767.5, -32768.5}) {
        specials.push_back(h * u);
        specials.push_back(std::nextafter(h * u, 0.0));
    }
    // Scaled values around 2^30 and 2^31, where twice the value stops
    // fitting a 32-bit integer.
    for (double big : {32768.0, -32768.0, 65536.0, -65536.0}) {
        specials.push_back(big);
        specials.push_back(std::nextafter(big, 0.0));
    }
    // Among loud random values, which clip often, and among quiet ones, where
    // the special value alone decides whether anything clipped. The widest
    // loops (avx2 and avx512) check 32 samples at a time; each special value
    // takes each position of such a group.
    constexpr int kWidest = 32;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> loud(-1.5, 1.5);
    std::uniform_real_distribution<double> quiet(-0.5, 0.5);
    std::vector<double> in;
    for (auto* dist : {&loud, &quiet}) {
        for (double s : specials) {
            for (int at = 0; at < kWidest; ++at) {
                for (int k = 0; k < kWidest; ++k)
                    in.push_back(k == at ? s : (*dist)(rng));
            }
        }
    }
    const auto convert = [&](pcm::S16FromDouble fn, pcm::ByteOrder order, std::size_t from,
                             std::size_t n, std::uint32_t& clips) {
        Bytes out(2 * n + 2, 0xA5);  // the bytes past the end must stay untouched
        clips = fn(in.data() + from, n, out.data(), order);
        return out;
    };
    const pcm::S16FromDouble portable = table.rows[0].fn;
    for (const auto& v : rows) {
        for (const pcm::ByteOrder order : kOrders) {
            SCOPED_TRACE(testing::Message() << v.name << ", " << nameOf(order));
            for (std::size_t from : {0, 1, 7}) {
                for (std::size_t n :
                     {std::size_t{0}, std::size_t{3}, std::size_t{8}, std::size_t{15},
                      std::size_t{16}, std::size_t{17}, std::size_t{31}, std::size_t{32},
                      std::size_t{33}, std::size_t{40}, std::size_t{63}, std::size_t{65},
                      in.size() - from}) {
                    std::uint32_t clips = 0, portableClips = 0;
                    ASSERT_EQ(convert(v.fn, order, from, n, clips),
                              convert(portable, order, from, n, portableClips))
                        << "from " << from << ", " << n << " samples";
                    ASSERT_EQ(clips, portableClips) << "from " << from << ", " << n << " samples";
                }
            }
            // Each widest loop's worth of the quiet half on its own.
            for (std::size_t from = in.size() / 2; from + kWidest <= in.size(); from += kWidest) {
                std::uint32_t clips = 0, portableClips = 0;
                ASSERT_EQ(convert(v.fn, order, from, kWidest, clips),
                          convert(portable, order, from, kWidest, portableClips))
                    << "from " << from;
                ASSERT_EQ(clips, portableClips) << "from " << from;
            }
        }
    }
}

// Every variant of the 16-bit decoder, the portable one included, against
// v / 32768 for every 16-bit value, from starting points and with lengths on
// both sides of the widest loop's width.
TEST(PcmVariants, EveryDoubleFromS16VariantGivesEveryValueExactly) {
    for (const pcm::ByteOrder order : kOrders) {
        Bytes bytes;
        std::vector<double> expected;
        for (unsigned k = 0; k < 65536; ++k) {
            const int v = static_cast<int>((k * 40503u) % 65536u) - 32768;  // each value once
            const auto u = static_cast<std::uint64_t>(v & 0xFFFF);
            if (order == pcm::ByteOrder::Little)
                testsupport::appendLE(bytes, u, 2);
            else
                testsupport::appendBE(bytes, u, 2);
            expected.push_back(v / 32768.0);
        }
        for (const auto& variant : pcm::doubleFromS16Variants()) {
            if (!cpu::supported(variant.isa))
                continue;
            SCOPED_TRACE(testing::Message() << variant.name << ", " << nameOf(order));
            for (std::size_t from : {0, 1, 5}) {
                for (std::size_t n :
                     {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{16},
                      std::size_t{17}, std::size_t{47}, expected.size() - from}) {
                    std::vector<double> out(n + 1, -7.0);  // the value past the end stays
                    variant.fn(bytes.data() + 2 * from, n, out.data(), order);
                    for (std::size_t i = 0; i < n; ++i)
                        ASSERT_EQ(out[i], expected[from + i])
                            << "from " << from << ", sample " << i;
                    ASSERT_EQ(out[n], -7.0) << "from " << from << ", " << n << " samples";
                }
            }
        }
    }
}

// The peak of every variant against the portable one, with the largest
// magnitude and a NaN at every position of the widest loop and in the rest
// after it; the portable one against the plain maximum.
TEST(PcmVariants, EveryPeakVariantMatchesThePortableOneAndSeesNaN) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> dist(-0.9, 0.9);
    constexpr std::size_t kLength = 32 * 3 + 13;
    const auto table = pcm::peakVariants();
    const pcm::Peak portable = table.rows[0].fn;
    for (const double special : {-0.95, 0.97, kNaN, -kInf}) {
        for (std::size_t at = 0; at < kLength; ++at) {
            std::vector<double> x(kLength);
            for (double& v : x)
                v = dist(rng);
            x[at] = special;
            double plain = 0.0;
            for (double v : x)
                plain = std::fabs(v) > plain ? std::fabs(v) : plain;
            const double expected = std::isnan(special) ? kInf : plain;
            ASSERT_EQ(portable(x.data(), x.size(), 0.0), expected) << special << " at " << at;
            for (const auto& v : table) {
                if (!cpu::supported(v.isa))
                    continue;
                for (std::size_t n : {at + 1, x.size()}) {
                    ASSERT_EQ(v.fn(x.data(), n, 0.0), portable(x.data(), n, 0.0))
                        << v.name << ": " << special << " at " << at << ", " << n << " samples";
                }
                // The running peak carries over from the call before.
                ASSERT_EQ(v.fn(x.data(), 0, 2.0), 2.0) << v.name;
                ASSERT_EQ(v.fn(x.data(), x.size(), 2.0), std::isfinite(special) ? 2.0 : kInf)
                    << v.name;
            }
        }
    }
}

// Every four-channel gather equals the portable one for every order of the
// channels, bit for bit (NaN payloads included), over lengths around a
// vector.
TEST(PcmVariants, EveryReorderEqualsThePortableOne) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-1.5, 1.5);
    std::vector<double> in(4 * 9);
    for (double& v : in)
        v = dist(rng);
    in[5] = std::nan("7");
    int order[4] = {0, 1, 2, 3};
    const auto table = pcm::reorder4Variants();
    do {
        for (std::size_t frames = 0; frames <= 9; ++frames) {
            std::vector<double> want(4 * frames, 9.0);
            table.rows[0].fn(in.data(), frames, order, want.data());
            for (std::size_t i = 0; i < want.size(); ++i)
                ASSERT_EQ(std::memcmp(&want[i], &in[i - i % 4 + static_cast<std::size_t>(order[i % 4])],
                                      sizeof(double)),
                          0);
            for (const auto& v : table) {
                if (!cpu::supported(v.isa))
                    continue;
                std::vector<double> got(4 * frames, 9.0);
                v.fn(in.data(), frames, order, got.data());
                for (std::size_t i = 0; i < want.size(); ++i)
                    ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof(double)), 0)
                        << v.name << ", " << frames << " frames, sample " << i;
            }
        }
    } while (std::next_permutation(order, order + 4));
}
