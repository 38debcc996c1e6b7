// SPDX-License-Identifier: MIT
// WavOutFile: the canonical header, sample encodings, refusals and the guard
// that keeps the data within the header's 32-bit lengths.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/support/WavFixtures.h"
#include "wav/WavFile.h"

using namespace wavfix;
using testsupport::TempDir;

namespace {

struct WavWriter : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("out.wav");
    Bytes bytes() const { return testsupport::readFile(path); }
    std::vector<int> samples16() const {
        const Bytes b = bytes();
        std::vector<int> v;
        for (std::size_t i = 44; i + 1 < b.size(); i += 2)
            v.push_back(static_cast<std::int16_t>(b[i] | b[i + 1] << 8));
        return v;
    }
};

std::string whatOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

}  // namespace

TEST_F(WavWriter, EmptyFileHasTheCanonicalHeader) {
    WavOutFile(path.c_str(), 44100, 16, 2).close();
    Format f;
    f.channels = 2;
    f.rate = 44100;
    Bytes expected = canonical(f, {});
    expected[4] = 36;  // riff_length
    EXPECT_EQ(bytes(), expected);
    EXPECT_EQ(le32(expected, 28), 176400u);
}

TEST_F(WavWriter, BlockAlignIsTruncated) {
    WavOutFile(path.c_str(), 8000, 12, 1).close();
    const Bytes b = bytes();
    EXPECT_EQ(b[32], 1);
    EXPECT_EQ(le32(b, 28), 8000u);
}

TEST_F(WavWriter, LengthsFollowTheDataAcrossFinishHeader) {
    WavOutFile out(path.c_str(), 44100, 16, 2);
    std::vector<short> s(2000, 3);
    out.write(s.data(), 2000);
    out.finishHeader();
    EXPECT_EQ(le32(bytes(), 40), 4000u);
    out.write(s.data(), 0);
    out.write(static_cast<const double*>(nullptr), 0);
    out.write(s.data(), 10);
    out.close();
    out.close();
    const Bytes b = bytes();
    EXPECT_EQ(b.size(), 4064u);
    EXPECT_EQ(le32(b, 4), 4056u);
    EXPECT_EQ(le32(b, 40), 4020u);
}

TEST_F(WavWriter, FloatingPointConversionTruncatesAndLimits) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> d = {
        1.0,          1.5, 0.99999, -1.0,  -1.000030517578125, 0.5, 1 / 65536.0, -0.00002,
        std::nan(""), inf, -inf,    1e300, -0.75 / 32768};
    const std::vector<int> want = {32767, 32767, 32767, -32768, -32768, 16384, 0,
                                   0,     0,     32767, -32768, 32767,  0};
    {
        WavOutFile out(path.c_str(), 8000, 16, 1);
        out.write(d.data(), static_cast<int>(d.size()));
    }
    EXPECT_EQ(samples16(), want);
    {
        std::vector<float> f(d.begin(), d.end());
        WavOutFile out(path.c_str(), 8000, 16, 1);
        out.write(f.data(), static_cast<int>(f.size()));
    }
    EXPECT_EQ(samples16(), want);
}

TEST_F(WavWriter, EightBitNarrowsToTheHighByte) {
    {
        WavOutFile out(path.c_str(), 8000, 8, 1);
        const short s[] = {0, -32768, 32767, -1, 256};
        out.write(s, 5);
        const double d[] = {1.0, -1.0};
        out.write(d, 2);
        const char c[] = {'\x05'};
        out.write(c, 1);
    }
    const Bytes b = bytes();
    EXPECT_EQ(Bytes(b.begin() + 44, b.end()), (Bytes{128, 0, 255, 127, 129, 255, 0, 5}));
    EXPECT_EQ(le32(b, 40), 8u);
}

TEST_F(WavWriter, Refusals) {
    WavOutFile out(path.c_str(), 8000, 16, 1);
    const char c[1] = {0};
    EXPECT_EQ(whatOf([&] { out.write(c, 0); }),
              "WavOutFile::write (const char*, int) accepts only 8bit samples");
    out.close();
    EXPECT_EQ(bytes().size(), 44u);

    WavOutFile wide(path.c_str(), 8000, 24, 1);
    const short s[1] = {1};
    EXPECT_EQ(whatOf([&] { wide.write(s, 1); }),
              "WavOutFile::write works only with 8bit or 16bit samples");
    wide.close();
    EXPECT_EQ(bytes().size(), 44u);

    const std::string bad = dir.file("no/such/dir.wav");
    EXPECT_EQ(whatOf([&] { WavOutFile(bad.c_str(), 8000, 16, 1); }),
              "unable to open file \"" + bad + "\" for writing");
}

TEST_F(WavWriter, FailedWriteIsReported) {
    WavOutFile out("/dev/full", 8000, 16, 1);
    std::vector<short> s(100000);
    EXPECT_EQ(whatOf([&] { out.write(s.data(), 100000); }), "cannot write to a wav file");
}

// Samples still in the stream's buffer when the file is closed: the header
// cannot be rewritten, and close says so instead of leaving a file that
// looks finished.
TEST_F(WavWriter, FailedFinishIsReportedByClose) {
    if (!testsupport::fileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    WavOutFile out("/dev/full", 8000, 16, 1);
    const short s[3] = {1, 2, 3};
    out.write(s, 3);
    EXPECT_EQ(whatOf([&] { out.close(); }),
              "WavOutFile: cannot seek to the header of the wav file");
    EXPECT_EQ(whatOf([&] { out.close(); }), "(no exception)");  // closed all the same
}

// The data may grow to 4294967259 bytes. A 4 GiB read-only mapping that is
// never touched serves as a caller buffer large enough for the crossing
// writes, so nothing of that size is ever written.
TEST_F(WavWriter, DataBeyondTheRiffLimitIsRefusedWhole) {
    const std::size_t mapBytes = std::size_t{1} << 32;
    void* map =
        mmap(nullptr, mapBytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED)
        GTEST_SKIP() << "no 4 GiB address space";
    const short* huge = static_cast<const short*>(map);
    const std::string tooLong =
        "WavOutFile::write: the data would exceed the 4294967259 bytes a wav file can hold";
    const short three[3] = {1, 2, 3};

    // On /dev/full a write the guard lets through fails at once with the
    // write error, so both sides of the bound are seen without 4 GiB of I/O.
    {
        WavOutFile full("/dev/full", 8000, 16, 1);
        full.write(three, 3);  // 6 bytes, held in the stream's buffer
        EXPECT_EQ(whatOf([&] { full.write(huge, 2147483627); }), tooLong);  // 4294967260 in all
        EXPECT_EQ(whatOf([&] { full.write(huge, 2147483626); }), "cannot write to a wav file");
    }
    ASSERT_FALSE(HasFailure()) << "guard misplaced; not trying it on a real file";

    {
        WavOutFile out(path.c_str(), 8000, 16, 1);
        out.write(three, 3);
        EXPECT_EQ(whatOf([&] { out.write(huge, 2147483627); }), tooLong);
        out.write(three, 3);
    }
    munmap(map, mapBytes);
    EXPECT_EQ(le32(bytes(), 40), 12u);
    EXPECT_EQ(samples16(), (std::vector<int>{1, 2, 3, 1, 2, 3}));
}
