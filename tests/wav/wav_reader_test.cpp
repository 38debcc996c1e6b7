// SPDX-License-Identifier: MIT
// WavInFile once opened: sample conversions, counts, eof(), rewind() and the
// derived getters.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/support/WavFixtures.h"
#include "wav/WavFile.h"

using namespace wavfix;
using testsupport::TempDir;

namespace {

struct WavReader : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("in.wav");
    void make(const Bytes& bytes) { testsupport::writeFile(path, bytes); }
};

std::vector<int> ramp(int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i)
        v.push_back((i * 7919) % 65536 - 32768);
    return v;
}

}  // namespace

TEST_F(WavReader, SixteenBitBoundaryValuesInEveryType) {
    make(canonical({}, pcm16({-32768, 32767, 0, 1, -1})));
    WavInFile in(path.c_str());
    short s[5];
    ASSERT_EQ(in.read(s, 5), 5);
    EXPECT_EQ(std::vector<short>(s, s + 5), (std::vector<short>{-32768, 32767, 0, 1, -1}));
    in.rewind();
    double d[5];
    ASSERT_EQ(in.read(d, 5), 5);
    EXPECT_EQ(d[0], -1.0);
    EXPECT_EQ(d[1], 0.999969482421875);
    EXPECT_EQ(d[3], 1.0 / 32768);
    EXPECT_EQ(d[4], -1.0 / 32768);
    in.rewind();
    float f[5];
    ASSERT_EQ(in.read(f, 5), 5);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.999969482421875f);
    char c[1];
    try {
        in.read(c, 1);
        FAIL() << "byte read of a 16-bit file was not refused";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "WavInFile::read (char*, int) works only with 8bit samples");
    }
}

TEST_F(WavReader, EightBitSamples) {
    Format f;
    f.bits = 8;
    make(canonical(f, Bytes{0, 128, 255, 1}));
    WavInFile in(path.c_str());
    char c[4];
    ASSERT_EQ(in.read(c, 4), 4);
    EXPECT_EQ(static_cast<unsigned char>(c[2]), 255);
    in.rewind();
    short s[4];
    ASSERT_EQ(in.read(s, 4), 4);
    EXPECT_EQ(std::vector<short>(s, s + 4), (std::vector<short>{-32768, 0, 32512, -32512}));
    in.rewind();
    double d[4];
    ASSERT_EQ(in.read(d, 4), 4);
    EXPECT_EQ(d[0], -1.0);
    EXPECT_EQ(d[1], 0.0);
    EXPECT_EQ(d[2], 127.0 / 128);
}

TEST_F(WavReader, StereoCountsAndSplitReads) {
    const std::vector<int> v = ramp(2000);
    Format f;
    f.channels = 2;
    f.rate = 44100;
    make(canonical(f, pcm16(v)));
    WavInFile in(path.c_str());
    EXPECT_EQ(in.getNumSamples(), 1000u);
    EXPECT_EQ(in.getDataSizeInBytes(), 4000u);
    EXPECT_EQ(in.getBytesPerSample(), 4u);
    EXPECT_EQ(in.getNumChannels(), 2);
    std::vector<double> d(1500);
    EXPECT_EQ(in.read(d.data(), 1500), 1500);
    EXPECT_EQ(in.eof(), 0);
    EXPECT_EQ(in.read(d.data(), 1500), 500);
    EXPECT_EQ(d[499], v[1999] / 32768.0);
    EXPECT_EQ(in.eof(), 1);
    EXPECT_EQ(in.read(d.data(), 1500), 0);

    // Three at a time splits frames across calls; order stays as stored.
    in.rewind();
    EXPECT_EQ(in.eof(), 0);
    std::vector<int> got;
    short s[3];
    for (int n; (n = in.read(s, 3)) > 0;)
        got.insert(got.end(), s, s + n);
    EXPECT_EQ(got, v);
}

TEST_F(WavReader, OddDataLengthConsumesTheLastByte) {
    Bytes data = pcm16({10, 20, 30});
    data.push_back(0x7F);
    make(canonical({}, data));
    WavInFile in(path.c_str());
    short s[8];
    EXPECT_EQ(in.read(s, 8), 3);
    EXPECT_EQ(s[2], 30);
    EXPECT_EQ(in.eof(), 1);
}

TEST_F(WavReader, DataLengthBeyondTheFileEndsTheLoop) {
    Bytes b = riffPart();
    addBlock(b, "fmt ", formatBody({}));
    addBlock(b, "data", pcm16({1, 2, 3}), false, 1000000);
    make(b);
    WavInFile in(path.c_str());
    std::vector<int> got;
    short s[2];
    for (int guard = 0; !in.eof() && guard < 100; ++guard) {
        const int n = in.read(s, 2);
        got.insert(got.end(), s, s + n);
    }
    EXPECT_EQ(in.eof(), 1);
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3}));
}

TEST_F(WavReader, EmptyDataBlock) {
    make(canonical({}, {}));
    WavInFile in(path.c_str());
    EXPECT_EQ(in.eof(), 1);
    double d[4];
    EXPECT_EQ(in.read(d, 4), 0);
    in.rewind();
    EXPECT_EQ(in.eof(), 1);
}

TEST_F(WavReader, OtherWidthsAreRefused) {
    Format f;
    f.bits = 24;
    make(canonical(f, Bytes(9, 0)));
    WavInFile in(path.c_str());
    EXPECT_EQ(in.getNumBits(), 24);
    double d[3];
    EXPECT_THROW(in.read(d, 3), std::runtime_error);
    float fl[3];
    EXPECT_THROW(in.read(fl, 3), std::runtime_error);
}

TEST_F(WavReader, LengthAndFrameCountNeverDivideByZero) {
    Format f;
    f.rate = 0;
    make(canonical(f, pcm16({1, 2})));
    EXPECT_EQ(WavInFile(path.c_str()).getLengthMS(), 0u);
    f.rate = 8000;
    f.blockAlign = 0;
    make(canonical(f, pcm16({1, 2})));
    WavInFile in(path.c_str());
    EXPECT_EQ(in.getNumSamples(), 0u);
    EXPECT_EQ(in.getLengthMS(), 0u);
}

TEST_F(WavReader, LengthInMillisecondsIsComputedWide) {
    // Only the header matters; the data block may claim more than exists.
    auto lengthMs = [&](std::uint32_t rate, std::uint32_t dataLength, int align) {
        Format f;
        f.rate = rate;
        f.blockAlign = align;
        Bytes b = riffPart();
        addBlock(b, "fmt ", formatBody(f));
        addBlock(b, "data", {}, false, dataLength);
        make(b);
        return WavInFile(path.c_str()).getLengthMS();
    };
    EXPECT_EQ(lengthMs(44100, 44100 * 2, 2), 1000u);
    EXPECT_EQ(lengthMs(8000, 5000000 * 2, 2), 625000u);  // 5e9 overflows 32 bits
    EXPECT_EQ(lengthMs(1, 4000000000u, 1), 4294967295u);
}

TEST_F(WavReader, RewindOnAChangedFileThrowsAndEndsTheData) {
    make(canonical({}, pcm16(ramp(100))));
    WavInFile in(path.c_str());
    short s[10];
    ASSERT_EQ(in.read(s, 10), 10);
    make(Bytes(60, 'z'));  // same file, rewritten in place
    try {
        in.rewind();
        FAIL() << "rewind on a broken header did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("no longer parses"), std::string::npos) << e.what();
    }
    EXPECT_EQ(in.eof(), 1);
}

// Puts the directory `dirPath` under this process's descriptor of the file
// `path`: further reads through it fail with an error that is not the end
// of the file.
::testing::AssertionResult putDirectoryUnder(const std::string& path, const std::string& dirPath) {
    int fd = -1;
    char target[4096];
    for (int cand = 3; cand < 1024 && fd < 0; ++cand) {
        const std::string link = "/proc/self/fd/" + std::to_string(cand);
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, n) == path)
            fd = cand;
    }
    if (fd < 0)
        return ::testing::AssertionFailure() << "cannot find the reader's descriptor";
    const int dirFd = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd < 0 || dup2(dirFd, fd) != fd)
        return ::testing::AssertionFailure() << "cannot put " << dirPath << " under it";
    ::close(dirFd);
    return ::testing::AssertionSuccess();
}

TEST_F(WavReader, ReadErrorEndsTheData) {
    // 64 KiB of samples: more than the stream's buffer holds after opening.
    make(canonical({}, pcm16(ramp(32768))));
    WavInFile in(path.c_str());
    ASSERT_TRUE(putDirectoryUnder(path, dir.path()));
    short s[1024];
    int total = 0, calls = 0;
    while (!in.eof() && calls++ < 1000)
        total += in.read(s, 1024);
    EXPECT_EQ(in.eof(), 1);
    EXPECT_LT(calls, 1000);
    EXPECT_LT(total, 32768);
}

// Undecoded reads of any size mixed with the others give the samples in
// order, larger ones than the chunks of the others too, again after a
// rewind.
TEST_F(WavReader, RawReadsMixWithTheOthersInOrder) {
    std::vector<int> v(400003);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<int>((i * 7919) % 65536) - 32768;
    make(canonical({}, pcm16(v)));
    WavInFile in(path.c_str());
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "first pass" : "after rewind");
        std::vector<int> got;
        std::vector<short> s(70000);
        std::vector<double> d(3000);
        for (int call = 0; !in.eof() && call < 10000; ++call) {
            int n = 0;
            if (call % 4 == 1) {
                n = in.read(s.data(), call % 8 == 1 ? 777 : 70000);
                got.insert(got.end(), s.begin(), s.begin() + n);
            } else if (call % 4 == 3) {
                n = in.read(d.data(), 3000);
                for (int i = 0; i < n; ++i)
                    got.push_back(static_cast<int>(d[static_cast<std::size_t>(i)] * 32768.0));
            } else {
                const unsigned char* raw = nullptr;
                n = in.readRaw16(raw, call % 3 == 0 ? 2048 : call % 5 == 0 ? 100000 : 5);
                for (int i = 0; i < n; ++i)
                    got.push_back(static_cast<std::int16_t>(raw[2 * i] | raw[2 * i + 1] << 8));
            }
        }
        EXPECT_EQ(in.eof(), 1);
        EXPECT_FALSE(in.hasReadError());
        ASSERT_EQ(got.size(), v.size());
        EXPECT_TRUE(got == v);
        in.rewind();
    }
}

// A read error during undecoded reads ends the loop with the error, never as
// if the file had ended.
TEST_F(WavReader, RawReadsReportAReadError) {
    make(canonical({}, pcm16(ramp(32768))));
    WavInFile in(path.c_str());
    ASSERT_TRUE(putDirectoryUnder(path, dir.path()));
    int total = 0, calls = 0;
    while (!in.eof() && calls++ < 1000) {
        const unsigned char* raw = nullptr;
        total += in.readRaw16(raw, 1024);
        if (in.hasReadError())
            break;
    }
    EXPECT_TRUE(in.hasReadError());
    EXPECT_EQ(in.eof(), 1);
    EXPECT_LT(total, 32768);
}

// Undecoded reads larger than the stream's buffer go straight to the file:
// a data block that claims more than the file holds still ends the loop
// with every sample and no error, and a read error still ends it with the
// error and without all the samples.
TEST_F(WavReader, LargeRawReadsEndAtTheFileOrWithAReadError) {
    const int kLarge = 100000;  // samples: 200000 bytes a read
    for (const bool broken : {false, true}) {
        SCOPED_TRACE(broken ? "read error" : "data block beyond the file");
        const std::vector<int> v = ramp(150000);
        Bytes b = riffPart();
        addBlock(b, "fmt ", formatBody({}));
        addBlock(b, "data", pcm16(v), false, 1000000);
        make(b);
        WavInFile in(path.c_str());
        std::vector<int> got;
        for (int calls = 0; !in.eof() && calls < 100; ++calls) {
            // Broken after the first read, which has emptied the stream's
            // buffer: the next one fails in the file's own read.
            if (broken && calls == 1) {
                ASSERT_TRUE(putDirectoryUnder(path, dir.path()));
            }
            const unsigned char* raw = nullptr;
            const int n = in.readRaw16(raw, kLarge);
            for (int i = 0; i < n; ++i)
                got.push_back(static_cast<std::int16_t>(raw[2 * i] | raw[2 * i + 1] << 8));
        }
        EXPECT_EQ(in.eof(), 1);
        EXPECT_EQ(in.hasReadError(), broken);
        if (broken) {
            EXPECT_LT(got.size(), v.size());
        } else {
            EXPECT_TRUE(got == v);
        }
    }
}

TEST_F(WavReader, CloseTwiceIsHarmless) {
    make(canonical({}, pcm16({5})));
    WavInFile in(path.c_str());
    in.close();
    in.close();
    EXPECT_EQ(in.eof(), 1);
}

// A pipe cannot seek: blocks are skipped by reading, and a block that runs
// past the end is still caught.
TEST_F(WavReader, NonSeekableStream) {
    const std::string fifo = dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto feed = [&](const Bytes& bytes) {
        return std::thread([&fifo, bytes] {
            if (std::FILE* w = std::fopen(fifo.c_str(), "wb")) {
                std::fwrite(bytes.data(), 1, bytes.size(), w);
                std::fclose(w);
            }
        });
    };
    Bytes good = riffPart();
    addBlock(good, "fmt ", formatBody({}));
    addBlock(good, "LIST", Bytes(9999, 'x'), true);
    addBlock(good, "data", pcm16({4, -4}));
    std::thread writer = feed(good);
    {
        WavInFile in(fifo.c_str());
        short s[4];
        EXPECT_EQ(in.read(s, 4), 2);
        EXPECT_EQ(s[1], -4);
        EXPECT_THROW(in.rewind(), std::runtime_error);
    }
    writer.join();

    Bytes cut = riffPart();
    addBlock(cut, "fmt ", formatBody({}));
    addBlock(cut, "LIST", Bytes(10, 'x'), false, 5000);
    writer = feed(cut);
    EXPECT_THROW(WavInFile(fifo.c_str()), std::runtime_error);
    writer.join();
}
