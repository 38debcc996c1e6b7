// SPDX-License-Identifier: MIT
// Sample decoding into the seven destination types, the fit tests, the
// argument checks, short data and the report.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "aiff/AiffLayout.h"
#include "tests/support/AiffFixtures.h"
#include "tests/support/TestSupport.h"

using namespace fixture;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

struct ReadTest : ::testing::Test {
    TempDir dir;
    std::string put(const Bytes& b) {
        const std::string p = dir.file("t.aif");
        writeFile(p, b);
        return p;
    }
    // Reads every sample of a file into T.
    template <typename T>
    std::vector<T> all(const Bytes& file) {
        RDAIFF in(put(file).c_str());
        std::vector<T> v(static_cast<std::size_t>(in.frames() * in.channels()));
        in.read(v.data(), static_cast<long>(in.frames()));
        return v;
    }
};

// Which destinations take which byte widths.
template <typename T>
bool fits(ReadTest& t, int bytes) {
    const std::string p = t.put(simple(1, 8 * bytes, Bytes(static_cast<std::size_t>(bytes), 0)));
    RDAIFF in(p.c_str());
    T v;
    return thrown([&] { in.read(&v, 1); }).empty();
}

}  // namespace

TEST_F(ReadTest, SixteenBitBoundaries) {
    const Bytes file = simple(1, 16, {0x80, 0x00, 0x7F, 0xFF, 0x00, 0x01});
    EXPECT_EQ(all<short>(file), (std::vector<short>{-32768, 32767, 1}));
    EXPECT_EQ(all<int>(file), (std::vector<int>{-32768, 32767, 1}));
    EXPECT_EQ(all<long>(file), (std::vector<long>{-32768, 32767, 1}));
    EXPECT_EQ(all<long long>(file), (std::vector<long long>{-32768, 32767, 1}));
    EXPECT_EQ(all<double>(file), (std::vector<double>{-1.0, 0.999969482421875, 0.000030517578125}));
    EXPECT_EQ(all<float>(file),
              (std::vector<float>{-1.0f, 0.999969482421875f, 0.000030517578125f}));
}

TEST_F(ReadTest, OtherWidths) {
    EXPECT_EQ(all<signed char>(simple(1, 8, {0xFF, 0x80, 0x7F})),
              (std::vector<signed char>{-1, -128, 127}));
    EXPECT_EQ(all<float>(simple(1, 8, {0xFF})), std::vector<float>{-0.0078125f});
    const Bytes b24 = simple(1, 24, {0x80, 0, 0, 0x7F, 0xFF, 0xFF});
    EXPECT_EQ(all<int>(b24), (std::vector<int>{-8388608, 8388607}));
    EXPECT_EQ(all<float>(b24), (std::vector<float>{-1.0f, 8388607.0f / 8388608.0f}));
    // A 12-bit sample is read on the scale of its two bytes.
    EXPECT_EQ(all<short>(simple(1, 12, {0x7F, 0xF0})), std::vector<short>{32752});
    EXPECT_EQ(all<double>(simple(1, 12, {0x7F, 0xF0})), std::vector<double>{0.99951171875});
    const Bytes b48 = simple(1, 48, {0x80, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(all<double>(b48), (std::vector<double>{-1.0, 1.0 - 1.0 / 140737488355328.0}));
    const Bytes b56 =
        simple(1, 56, {0x80, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE});
    EXPECT_EQ(all<long long>(b56), (std::vector<long long>{-(1LL << 55), 0x123456789ABCDELL}));
}

TEST_F(ReadTest, FitTests) {
    for (int bytes = 1; bytes <= 7; ++bytes) {
        EXPECT_EQ(fits<float>(*this, bytes), bytes <= 3) << bytes;
        EXPECT_EQ(fits<double>(*this, bytes), bytes <= 6) << bytes;
        EXPECT_EQ(fits<signed char>(*this, bytes), bytes <= 1) << bytes;
        EXPECT_EQ(fits<short>(*this, bytes), bytes <= 2) << bytes;
        EXPECT_EQ(fits<int>(*this, bytes), bytes <= 4) << bytes;
        EXPECT_EQ(fits<long>(*this, bytes), bytes <= 4) << bytes;
        EXPECT_TRUE(fits<long long>(*this, bytes)) << bytes;
    }
    RDAIFF in(put(simple(1, 24, {1, 2, 3})).c_str());
    short s = 7;
    EXPECT_EQ(thrown([&] { in.read(&s, 1); }),
              "RDAIFF: AIFF-data does not fit requested destination datatype!");
    EXPECT_EQ(s, 7);
    EXPECT_EQ(in.frames_togo(), 1);
}

TEST_F(ReadTest, ArgumentChecksInOrder) {
    RDAIFF in(put(simple(2, 32, Bytes(24, 1))).c_str());  // 3 stereo frames
    int v[8] = {};
    EXPECT_EQ(thrown([&] { in.read(static_cast<int*>(nullptr), 0); }),
              "RDAIFF: NULL pointer supplied to read()!");
    EXPECT_EQ(thrown([&] { in.read(v, -1); }), "RDAIFF: Cannot read negative amount of frames!");
    EXPECT_EQ(thrown([&] { in.read(v, 4); }),
              "RDAIFF: Requested to read more frames than available!");
    EXPECT_EQ(v[0], 0);
    in.read(v, 0);
    in.read(v, 3);
    EXPECT_EQ(in.frames_togo(), 0);
    EXPECT_EQ(v[5], 0x01010101);
    in.read(v, 0);
    EXPECT_EQ(thrown([&] { in.read(v, 1); }),
              "RDAIFF: Requested to read more frames than available!");
    in.close();
    // A closed reader still applies the fit test of its last file first.
    float f;
    long long ll;
    EXPECT_EQ(thrown([&] { in.read(&f, 1); }),
              "RDAIFF: AIFF-data does not fit requested destination datatype!");
    EXPECT_EQ(thrown([&] { in.read(&ll, 1); }), "RDAIFF: Cannot read from a closed file!");
    RDAIFF never;
    EXPECT_EQ(thrown([&] { never.read(&f, 1); }), "RDAIFF: Cannot read from a closed file!");
}

TEST_F(ReadTest, InterleavingRewindAndLargeReads) {
    // 40000 stereo frames of 16 bits, more than one piece of the internal
    // buffer; left counts up, right counts down.
    const int n = 40000;
    Bytes data;
    for (int i = 0; i < n; ++i) {
        appendBE(data, static_cast<std::uint16_t>(i), 2);
        appendBE(data, static_cast<std::uint16_t>(-i), 2);
    }
    RDAIFF in(put(simple(2, 16, data)).c_str());
    std::vector<int> v(2 * n);
    in.read(v.data(), 3);
    EXPECT_EQ(std::vector<int>(v.begin(), v.begin() + 6), (std::vector<int>{0, 0, 1, -1, 2, -2}));
    EXPECT_EQ(in.frames_togo(), n - 3);
    in.rewind();
    EXPECT_EQ(in.frames_togo(), n);
    in.read(v.data(), n);
    bool ok = true;
    for (int i = 0; i < n; ++i)
        ok = ok && v[2 * i] == static_cast<short>(i) && v[2 * i + 1] == static_cast<short>(-i);
    EXPECT_TRUE(ok);
}

TEST_F(ReadTest, ShortDataKeepsWhatWasRead) {
    // COMM announces 40000 stereo frames; the data stops in the right
    // sample of frame 30000, half-way through its second byte. A large read spans
    // several buffer pieces before it fails.
    Bytes data;
    for (int i = 0; i < 30000; ++i) {
        appendBE(data, static_cast<std::uint16_t>(i), 2);
        appendBE(data, 7, 2);
    }
    data.insert(data.end(), {0x12, 0x34, 0x56});
    Bytes c;
    chunk(c, "COMM", comm(2, 40000, 16));
    chunk(c, "SSND", ssnd(data), false);
    RDAIFF in(put(form(c, 0x7FFFFFFF)).c_str());
    std::vector<short> v(80000, -1);
    EXPECT_EQ(thrown([&] { in.read(v.data(), 40000); }), "RDAIFF: Error reading audiosample!");
    EXPECT_EQ(in.frames_togo(), 10000);
    EXPECT_EQ(v[2 * 29999], 29999);
    EXPECT_EQ(v[2 * 29999 + 1], 7);
    EXPECT_EQ(v[60000], 0x1234);  // the left sample of the incomplete frame
    EXPECT_EQ(v[60001], -1);
    // The failed stream stays failed until close and open.
    EXPECT_EQ(thrown([&] { in.read(v.data(), 1); }), "RDAIFF: Error reading audiosample!");
    EXPECT_EQ(thrown([&] { in.rewind(); }), "RDAIFF: Failed to rewind!");
    in.close();
    in.open(dir.file("t.aif").c_str());
    in.read(v.data(), 1);
    EXPECT_EQ(v[0], 0);
}

TEST_F(ReadTest, ProvisionalHeaderFromTheWriter) {
    // Four channels of 16 bits, headed as the writer heads a file it has not
    // finished: 317520000 frames, sizes to match, but only two frames of data.
    const std::uint32_t frames = 317520000u;
    const std::uint32_t d = frames * 8u;
    Bytes c;
    chunk(c, "COMM", comm(4, frames, 16));
    appendTag(c, "SSND");
    appendBE(c, 8u + d, 4);
    appendBE(c, 0, 8);
    for (int i = 0; i < 8; ++i)
        appendBE(c, static_cast<std::uint16_t>(i - 4), 2);
    RDAIFF in(put(form(c, tarvio::aiff::kFormOverhead + d)).c_str());
    EXPECT_EQ(in.frames(), 317520000);
    short v[12];
    in.read(v, 2);
    EXPECT_EQ(v[0], -4);
    EXPECT_EQ(v[7], 3);
    EXPECT_EQ(thrown([&] { in.read(v, 1); }), "RDAIFF: Error reading audiosample!");
}

TEST_F(ReadTest, Report) {
    auto report = [&](int channels, std::uint32_t frames, std::uint64_t hz) {
        Bytes c;
        chunk(c, "COMM", comm(channels, frames, 16, rate(hz)));
        chunk(c, "SSND", ssnd({}));
        RDAIFF in(put(form(c, 0x7FFFFFFF)).c_str());
        std::ostringstream os;
        in.info(os);
        return os.str();
    };
    const std::string line(41, '-');
    const std::string one = report(2, 44100, 44100);
    EXPECT_EQ(one, line + "\n    AIFF file: " + dir.file("t.aif") +
                       "\n     channels: 2\n       frames: 44100\n bits/channel: 16\n"
                       "    framerate: 44100/second\n  bytes/frame: 4\n"
                       "     filesize: >176446 bytes\n     duration: 1 seconds\n" +
                       line + "\n");
    EXPECT_NE(report(1, 22050, 44100).find("duration: 500 milliseconds\n"), std::string::npos);
    EXPECT_NE(report(1, 5400, 1).find("duration: 1.5 hours\n"), std::string::npos);
    EXPECT_NE(report(1, 90, 1).find("duration: 1.5 minutes\n"), std::string::npos);
    EXPECT_NE(report(1, 3600, 1).find("duration: 1 hours\n"), std::string::npos);
    RDAIFF closed;
    std::ostringstream os;
    EXPECT_EQ(thrown([&] { closed.info(os); }), "RDAIFF: No file currently open!");
    EXPECT_TRUE(os.str().empty());
}
