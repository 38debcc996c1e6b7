// SPDX-License-Identifier: MIT
// Every vector variant of pcm's kernels, called through its table, against
// the portable reference, in both byte orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
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
    EXPECT_STREQ(table.begin()->name, "portable");
    std::vector<cpu::Variant<Fn>> rows;
    for (const auto& row : table) {
        if (row.isa != cpu::Isa::Portable && cpu::supported(row.isa))
            rows.push_back(row);
    }
    return rows;
}


// The widest loops (the integer encoders' avx2 and avx512vbmi variants) check
// 32 samples at a time.
constexpr std::size_t kWidest = 32;

// Values that take the encoders' rare paths: NaN, infinities, zeros, full
// scale, huge and tiny values; at each integer depth the halves (mid-range
// and at the clip limits), the bounds themselves and the values next to them,
// and the scaled values around 2^30 and 2^31, where twice the value stops
// fitting a 32-bit integer; the float limits and the values next to them.
std::vector<double> specialValues() {
    std::vector<double> specials = {kNaN, -kNaN, kInf,  -kInf,  0.0,     -0.0,    1.0,
                                    -1.0, 1e300, -1e300, 1e-310, -1e-310, DBL_MAX, -DBL_MAX};
    const auto withNeighbours = [&](double v) {
        specials.push_back(v);
        specials.push_back(std::nextafter(v, 0.0));
        specials.push_back(std::nextafter(v, v > 0 ? kInf : -kInf));
    };
    for (int bits : {8, 16, 24, 32}) {
        const double full = std::ldexp(1.0, bits - 1);
        const double u = 1.0 / full;
        for (double h : {0.5, -0.5, 2.5, -2.5, 12345.5, -12345.5})
            withNeighbours(h * u);
        for (double edge : {full - 1.0, full - 0.5, full - 0.25, -full, -full - 0.25, -full - 0.5})
            withNeighbours(edge * u);
        for (double big : {0x1p30, -0x1p30, 0x1p31, -0x1p31})
            withNeighbours(big * u);
    }
    for (double f : {1.0, -1.0, static_cast<double>(FLT_MAX), -static_cast<double>(FLT_MAX), 1e39,
                     static_cast<double>(FLT_MIN), 1e-45})
        withNeighbours(f);
    return specials;
}

// Each special value at each position of a widest loop's group, among loud
// random values, which clip often, and among quiet ones, where the special
// value alone decides whether anything clipped: the loud half first, the
// quiet one after it, each group on a multiple of kWidest.
const std::vector<double>& trickyInput() {
    static const std::vector<double> in = [] {
        std::mt19937 rng(11);
        std::uniform_real_distribution<double> loud(-1.5, 1.5);
        std::uniform_real_distribution<double> quiet(-0.5, 0.5);
        std::vector<double> x;
        for (auto* dist : {&loud, &quiet}) {
            for (double s : specialValues()) {
                for (std::size_t at = 0; at < kWidest; ++at) {
                    for (std::size_t k = 0; k < kWidest; ++k)
                        x.push_back(k == at ? s : (*dist)(rng));
                }
            }
        }
        return x;
    }();
    return in;
}

// Whether the table has only the portable row, or rows this processor
// lacks.
template <class Fn>
bool onlyPortable(pcm::Variants<Fn> table) {
    return vectorRows(table).empty();
}

// Every vector row of `table` against the portable one on trickyInput(),
// from several starting points and with lengths that end inside and right
// after each loop width, and on each group of the quiet half alone.
// `convert(fn, in, n, clips)` calls fn and returns its output as bytes, with
// a few bytes past the end that must stay untouched.
template <class Fn, class Convert>
void expectEveryRowMatchesThePortableOne(pcm::Variants<Fn> table, Convert convert) {
    const std::vector<double>& in = trickyInput();
    const Fn portable = table.begin()->fn;
    const auto same = [&](Fn fn, std::size_t from, std::size_t n) {
        std::uint32_t clips = 0, portableClips = 0;
        ASSERT_EQ(convert(fn, in.data() + from, n, clips),
                  convert(portable, in.data() + from, n, portableClips))
            << "from " << from << ", " << n << " samples";
        ASSERT_EQ(clips, portableClips) << "from " << from << ", " << n << " samples";
    };
    for (const auto& v : vectorRows(table)) {
        SCOPED_TRACE(v.name);
        for (std::size_t from : {0, 1, 7}) {
            for (std::size_t n : {std::size_t{0}, std::size_t{3}, std::size_t{8}, std::size_t{15},
                                  std::size_t{16}, std::size_t{17}, std::size_t{31},
                                  std::size_t{32}, std::size_t{33}, std::size_t{40},
                                  std::size_t{63}, std::size_t{65}, in.size() - from}) {
                same(v.fn, from, n);
                if (testing::Test::HasFatalFailure())
                    return;
            }
        }
        for (std::size_t from = in.size() / 2; from + kWidest <= in.size(); from += kWidest) {
            same(v.fn, from, kWidest);
            if (testing::Test::HasFatalFailure())
                return;
        }
    }
}

// The calls of the byte encoders, each into a buffer that ends in a few
// marked bytes.
template <class Fn>
auto bytesOf(int width, pcm::ByteOrder order) {
    return [width, order](Fn fn, const double* in, std::size_t n, std::uint32_t& clips) {
        Bytes out(static_cast<std::size_t>(width) * n + 3, 0xA5);
        clips = fn(in, n, out.data(), order);
        return out;
    };
}
template <class Fn>
auto floatBytesOf(int width, pcm::ByteOrder order, pcm::FloatRange range) {
    return [width, order, range](Fn fn, const double* in, std::size_t n, std::uint32_t& clips) {
        Bytes out(static_cast<std::size_t>(width) * n + 3, 0xA5);
        clips = fn(in, n, out.data(), order, range);
        return out;
    };
}

// The bytes of a vector of values, the marker after the output included.
template <typename T>
Bytes asBytes(const std::vector<T>& v) {
    Bytes b(v.size() * sizeof(T));
    if (!b.empty())
        std::memcpy(b.data(), v.data(), b.size());
    return b;
}

const pcm::FloatRange kRanges[] = {pcm::FloatRange::FullScale, pcm::FloatRange::Unclipped};

const char* nameOf(pcm::FloatRange range) {
    switch (range) {
        case pcm::FloatRange::FullScale:
            return "full scale";
        case pcm::FloatRange::Unclipped:
            return "unclipped";
    }
    return "?";
}

}  // namespace

TEST(PcmVariants, EveryS16FromDoubleVariantMatchesThePortableOne) {
    const auto table = pcm::s16FromDoubleVariants();
    if (onlyPortable(table))
        GTEST_SKIP() << "this build or processor has only the portable variant";
    for (const pcm::ByteOrder order : kOrders) {
        SCOPED_TRACE(nameOf(order));
        expectEveryRowMatchesThePortableOne(table, bytesOf<pcm::S16FromDouble>(2, order));
    }
}

TEST(PcmVariants, EveryS24AndS32FromDoubleVariantMatchesThePortableOne) {
    const auto s24 = pcm::s24FromDoubleVariants();
    const auto s32 = pcm::s32FromDoubleVariants();
    if (onlyPortable(s24) && onlyPortable(s32))
        GTEST_SKIP() << "this build or processor has only the portable variants";
    for (const pcm::ByteOrder order : kOrders) {
        SCOPED_TRACE(nameOf(order));
        expectEveryRowMatchesThePortableOne(s24, bytesOf<pcm::S24FromDouble>(3, order));
        expectEveryRowMatchesThePortableOne(s32, bytesOf<pcm::S32FromDouble>(4, order));
    }
}

TEST(PcmVariants, EveryS32ScaledFromDoubleVariantMatchesThePortableOne) {
    const auto table = pcm::s32ScaledFromDoubleVariants();
    if (onlyPortable(table))
        GTEST_SKIP() << "this build or processor has only the portable variant";
    for (const int bits : {8, 16, 24, 32}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        expectEveryRowMatchesThePortableOne(
            table, [bits](pcm::S32ScaledFromDouble fn, const double* in, std::size_t n,
                          std::uint32_t& clips) {
                std::vector<std::int32_t> out(n + 1, 0x5A5A5A5A);
                clips = fn(in, n, bits, out.data());
                return asBytes(out);
            });
    }
}

TEST(PcmVariants, EveryFloatEncoderVariantMatchesThePortableOne) {
    const auto f32 = pcm::f32FromDoubleVariants();
    const auto f64 = pcm::f64FromDoubleVariants();
    const auto floats = pcm::floatFromDoubleVariants();
    if (onlyPortable(f32) && onlyPortable(f64) && onlyPortable(floats))
        GTEST_SKIP() << "this build or processor has only the portable variants";
    for (const pcm::FloatRange range : kRanges) {
        SCOPED_TRACE(nameOf(range));
        for (const pcm::ByteOrder order : kOrders) {
            SCOPED_TRACE(nameOf(order));
            expectEveryRowMatchesThePortableOne(f32,
                                                floatBytesOf<pcm::F32FromDouble>(4, order, range));
            expectEveryRowMatchesThePortableOne(f64,
                                                floatBytesOf<pcm::F64FromDouble>(8, order, range));
        }
        expectEveryRowMatchesThePortableOne(
            floats, [range](pcm::FloatFromDouble fn, const double* in, std::size_t n,
                            std::uint32_t& clips) {
                std::vector<float> out(n + 1, 7.0f);
                clips = fn(in, n, out.data(), range);
                return asBytes(out);
            });
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
    const pcm::Peak portable = table.begin()->fn;
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
            table.begin()->fn(in.data(), frames, order, want.data());
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

// The check each variant table passes when it is compiled: pick() takes the
// last row the processor runs, so a table whose portable row is not first,
// or whose sets do not widen row by row, would hand out a narrower variant
// than the processor runs, or none at all.
TEST(PcmVariants, OrderedTablesStartPortableAndWidenRowByRow) {
    using cpu::Isa;
    constexpr pcm::Peak f = nullptr;
    constexpr cpu::Variant<pcm::Peak> good[] = {
        {"portable", Isa::Portable, f}, {"sse2", Isa::Sse2, f}, {"avx512", Isa::Avx512, f}};
    constexpr cpu::Variant<pcm::Peak> portableOnly[] = {{"portable", Isa::Portable, f}};
    constexpr cpu::Variant<pcm::Peak> portableLast[] = {{"sse2", Isa::Sse2, f},
                                                        {"portable", Isa::Portable, f}};
    constexpr cpu::Variant<pcm::Peak> noPortable[] = {{"avx2", Isa::Avx2, f}};
    constexpr cpu::Variant<pcm::Peak> narrowerLast[] = {
        {"portable", Isa::Portable, f}, {"avx512", Isa::Avx512, f}, {"avx2", Isa::Avx2, f}};
    constexpr cpu::Variant<pcm::Peak> twice[] = {
        {"portable", Isa::Portable, f}, {"avx2", Isa::Avx2, f}, {"avx2", Isa::Avx2, f}};
    EXPECT_TRUE(cpu::ordered(good));
    EXPECT_TRUE(cpu::ordered(portableOnly));
    EXPECT_FALSE(cpu::ordered(portableLast));
    EXPECT_FALSE(cpu::ordered(noPortable));
    EXPECT_FALSE(cpu::ordered(narrowerLast));
    EXPECT_FALSE(cpu::ordered(twice));
    // Every row of a real table is named after its set.
    for (const auto& v : pcm::s16FromDoubleVariants())
        EXPECT_STREQ(v.name, cpu::name(v.isa));
}
