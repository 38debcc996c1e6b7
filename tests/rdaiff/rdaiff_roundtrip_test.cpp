// SPDX-License-Identifier: MIT
// Files written by our AIFF writer read back through the reader in every
// destination type that holds their samples.
#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "aiff/wraiff.h"
#include "tests/support/AiffFixtures.h"
#include "tests/support/TestSupport.h"

using fixture::thrown;
using testsupport::TempDir;

namespace {

// Reads all frames of `in` into T and compares them with `expected`, scaled
// by 1 / 2^(bits - 1) for floating-point types.
template <typename T>
void expectAs(RDAIFF& in, int bits, const std::vector<long>& expected, bool fits) {
    std::vector<T> got(expected.size());
    const long frames = static_cast<long>(in.frames());
    in.rewind();
    if (!fits) {
        EXPECT_EQ(thrown([&] { in.read(got.data(), frames); }),
                  "RDAIFF: AIFF-data does not fit requested destination datatype!");
        return;
    }
    in.read(got.data(), frames);
    const double scale = std::is_floating_point<T>::value ? double(1LL << (bits - 1)) : 1.0;
    bool same = true;
    for (std::size_t i = 0; i < expected.size(); ++i)
        same = same && static_cast<double>(got[i]) * scale == static_cast<double>(expected[i]);
    EXPECT_TRUE(same) << "destination of " << sizeof(T) << " bytes";
}

}  // namespace

TEST(RoundTrip, EveryDepthInEveryFittingType) {
    TempDir dir;
    const std::string path = dir.file("rt.aif");
    for (int bits = 8; bits <= 56; bits += 8) {
        if (bits > 8 * static_cast<int>(sizeof(long)))
            continue;  // the samples are handed over as long
        SCOPED_TRACE(testing::Message() << bits << " bits");
        const long half = 1L << (bits - 1);
        std::vector<long> samples = {-half,    half - 1,      0,           -1, 1,
                                     half / 3, -half / 3 - 7, 12345 % half};
        {
            WRAIFF out(path.c_str(), 44100.5, 2, static_cast<short>(bits));
            out.write(samples.data(), static_cast<long>(samples.size() / 2));
            out.close();
        }
        RDAIFF in(path.c_str());
        EXPECT_EQ(in.channels(), 2);
        EXPECT_EQ(in.bits(), bits);
        EXPECT_EQ(in.frames(), 4);
        EXPECT_EQ(in.samplerate(), 44100.5);
        expectAs<float>(in, bits, samples, bits <= 24);
        expectAs<double>(in, bits, samples, bits <= 48);
        expectAs<signed char>(in, bits, samples, bits <= 8);
        expectAs<short>(in, bits, samples, bits <= 16);
        expectAs<int>(in, bits, samples, bits <= 32);
        expectAs<long>(in, bits, samples, bits <= 32);
        expectAs<long long>(in, bits, samples, true);
    }
}

TEST(RoundTrip, UnfinishedFileReadsWhatWasWritten) {
    // Until close the writer leaves its provisional header in place; the
    // reader still finds the frames written so far. Far more is written than
    // the file stream buffers, so the frames read are on disk.
    TempDir dir;
    const std::string path = dir.file("open.aif");
    WRAIFF out(path.c_str(), 48000, 4, 16);
    std::vector<short> block(4 * 20000);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<short>(i * 7919);
    out.write(block.data(), 20000);
    RDAIFF in(path.c_str());
    EXPECT_EQ(in.frames(), 317520000);
    std::vector<short> got(4 * 1000);
    in.read(got.data(), 1000);
    EXPECT_EQ(got, std::vector<short>(block.begin(), block.begin() + 4000));
}
