// SPDX-License-Identifier: MIT
// Opening: header checks, the chunk walk, the sample rate and the reader's
// lifecycle, on hand-made files.
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "tests/support/AiffFixtures.h"
#include "tests/support/TestSupport.h"

using namespace fixture;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const Bytes kStereo = {0x00, 0x01, 0xFF, 0xFE, 0x7F, 0xFF, 0x80, 0x00};  // 2 frames, 16 bits

struct OpenTest : ::testing::Test {
    TempDir dir;
    std::string put(const Bytes& b) {
        const std::string p = dir.file("t.aif");
        writeFile(p, b);
        return p;
    }
    // Opens the file and returns the 16-bit samples it holds.
    std::vector<short> samples(const Bytes& b) {
        RDAIFF in(put(b).c_str());
        std::vector<short> s(static_cast<std::size_t>(in.frames() * in.channels()));
        in.read(s.data(), static_cast<long>(in.frames()));
        return s;
    }
};

const std::vector<short> kStereoValues = {1, -2, 32767, -32768};

}  // namespace

TEST_F(OpenTest, WriterLayoutOpensAtFirstSample) {
    RDAIFF in(put(simple(2, 16, kStereo)).c_str());
    EXPECT_TRUE(in.is_open());
    EXPECT_EQ(in.channels(), 2);
    EXPECT_EQ(in.bits(), 16);
    EXPECT_EQ(in.frames(), 2);
    EXPECT_EQ(in.frames_togo(), 2);
    EXPECT_EQ(in.samplerate(), 44100.0);
    short s[4];
    in.read(s, 2);
    EXPECT_EQ(std::vector<short>(s, s + 4), kStereoValues);
}

TEST_F(OpenTest, HeaderRefusals) {
    Bytes notForm = {'R', 'I', 'F', 'F', 0, 0, 0, 4, 'W', 'A', 'V', 'E'};
    Bytes aifc = simple(1, 8, {1});
    aifc[11] = 'C';
    Bytes shortSize = {'F', 'O', 'R', 'M', 0, 0};
    Bytes noType = {'F', 'O', 'R', 'M', 0, 0, 0, 4, 'A', 'I'};
    EXPECT_EQ(openError(put({})), "RDAIFF: Failed to read FORM chunk!");
    EXPECT_EQ(openError(put(notForm)), "RDAIFF: Header doesn't start with magic word FORM!");
    EXPECT_EQ(openError(put(shortSize)), "RDAIFF: Failed to read FORM size!");
    EXPECT_EQ(openError(put(noType)), "RDAIFF: Failed to read AIFF type!");
    EXPECT_EQ(openError(put(aifc)), "RDAIFF: Header doesn't specify AIFF type!");
    EXPECT_EQ(openError(dir.file("missing.aif")), "RDAIFF: Could not open file!");
}

TEST_F(OpenTest, TruncatedComm) {
    // Cut the file inside each COMM field in turn.
    const Bytes whole = simple(1, 16, {0, 1});
    const std::vector<std::pair<std::size_t, const char*>> cuts = {
        {14, "RDAIFF: Failed to read chunkID!"},
        {18, "RDAIFF: Failed to read chunksize!"},
        {21, "RDAIFF: Failed to read number of channels!"},
        {25, "RDAIFF: Failed to read number of sampleframes in COMM chunk!"},
        {27, "RDAIFF: Failed to read number of bits resolution in COMM chunk!"},
        {37, "RDAIFF: Error reading samplerate!"},
        {44, "RDAIFF: Failed to read chunksize!"},
    };
    for (const auto& c : cuts) {
        EXPECT_EQ(openError(put(Bytes(whole.begin(), whole.begin() + c.first))), c.second)
            << "cut at " << c.first;
    }
}

TEST_F(OpenTest, ChannelAndBitLimits) {
    EXPECT_EQ(openError(put(simple(1000, 8, Bytes(1000, 0)))), "");
    EXPECT_EQ(openError(put(simple(0, 8, {}))), "RDAIFF: Invalid number of channels!");
    EXPECT_EQ(openError(put(simple(1001, 8, {}))), "RDAIFF: Invalid number of channels!");
    EXPECT_EQ(openError(put(simple(1, 0, {}))), "RDAIFF: Invalid number of resolution bits!");
    EXPECT_EQ(openError(put(simple(1, 57, {}))), "RDAIFF: Invalid number of resolution bits!");
    EXPECT_EQ(openError(put(simple(1, 64, Bytes(8, 0)))),
              "RDAIFF: Invalid number of resolution bits!");
    // Every accepted bit count reads its most negative sample on the scale
    // of its whole byte width.
    for (int bits = 1; bits <= 56; ++bits) {
        const int bytes = (bits + 7) / 8;
        Bytes data(static_cast<std::size_t>(bytes), 0);
        data[0] = 0x80;
        RDAIFF in(put(simple(1, bits, data)).c_str());
        long long v = 0;
        in.read(&v, 1);
        EXPECT_EQ(v, -(1LL << (8 * bytes - 1))) << bits << " bits";
    }
}

TEST_F(OpenTest, SampleRateRange) {
    Bytes half = {0x40, 0x0E, 0xAC, 0x44, 0x80, 0, 0, 0, 0, 0};
    Bytes negative = rate(44100);
    negative[0] |= 0x80;
    Bytes infinite = {0x7F, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
    {
        RDAIFF in(put(simple(1, 8, {0}, half)).c_str());
        EXPECT_EQ(in.samplerate(), 44100.5);
    }
    {
        RDAIFF in(put(simple(1, 8, {0}, rate(1000000))).c_str());
        EXPECT_EQ(in.samplerate(), 1000000.0);
    }
    for (const Bytes& r : {rate(1000001), Bytes(10, 0), negative, infinite}) {
        EXPECT_EQ(openError(put(simple(1, 8, {0}, r))), "RDAIFF: Samplerate out of range!");
    }
}

TEST_F(OpenTest, CommSizes) {
    auto withComm = [](const Bytes& body, bool pad) {
        Bytes c;
        chunk(c, "COMM", body, pad);
        chunk(c, "SSND", ssnd(kStereo));
        return form(c);
    };
    Bytes body = comm(2, 2, 16);
    EXPECT_EQ(openError(put(withComm(Bytes(body.begin(), body.end() - 1), true))),
              "RDAIFF: COMM chunk has bad size (too small)!");
    Bytes ext = body;
    ext.insert(ext.end(), {'a', 'b', 'c', 'd'});
    EXPECT_EQ(samples(withComm(ext, true)), kStereoValues);
    // One extension byte: with and without the IFF pad byte.
    ext.resize(19);
    EXPECT_EQ(samples(withComm(ext, true)), kStereoValues);
    EXPECT_EQ(samples(withComm(ext, false)), kStereoValues);
}

TEST_F(OpenTest, OddUnknownChunkWithAndWithoutPad) {
    for (bool pad : {true, false}) {
        Bytes c;
        chunk(c, "NAME", {'a', 'b', 'c'}, pad);
        chunk(c, "COMM", comm(2, 2, 16));
        chunk(c, "ANNO", {'x'}, pad);
        chunk(c, "SSND", ssnd(kStereo));
        EXPECT_EQ(samples(form(c)), kStereoValues) << "pad " << pad;
    }
}

TEST_F(OpenTest, SpaceAsPadByte) {
    // Some writers fill the pad byte after an odd-sized chunk with a space;
    // here after an unknown chunk and after the samples (a data offset of 1).
    Bytes c;
    chunk(c, "NAME", {'a', 'b', 'c'}, false);
    c.push_back(' ');
    chunk(c, "SSND", ssnd(kStereo, 1), false);
    c.push_back(' ');
    chunk(c, "COMM", comm(2, 2, 16));
    EXPECT_EQ(samples(form(c)), kStereoValues);
}

TEST_F(OpenTest, SsndBeforeComm) {
    // Plain, with a data offset, with an odd data size and its pad byte, and
    // with a block size that rounds the data up to whole blocks.
    struct Case {
        Bytes data;
        std::uint32_t offset, block;
        int channels, bits;
    };
    const std::vector<Case> cases = {
        {kStereo, 0, 0, 2, 16},
        {kStereo, 5, 0, 2, 16},
        {{1, 2, 3}, 0, 0, 1, 8},
        {{1, 2, 3, 4}, 0, 6, 1, 8},
    };
    for (const Case& k : cases) {
        Bytes c;
        chunk(c, "SSND", ssnd(k.data, k.offset, k.block));
        if (k.block != 0)
            c.insert(c.end(), {0xAA, 0xBB});  // the rest of the block
        chunk(c, "COMM", comm(k.channels, 2, k.bits));
        chunk(c, "COMM", {});  // after the pair: never read
        RDAIFF in(put(form(c)).c_str());
        long long v[4] = {};
        in.read(v, 2);
        EXPECT_EQ(v[0], 1);
        EXPECT_EQ(v[1], k.bits == 8 ? 2 : -2);
        in.rewind();
        EXPECT_EQ(in.frames_togo(), 2);
    }
}

TEST_F(OpenTest, DuplicateAndMissingChunks) {
    Bytes twoComm, twoSsnd, noSsnd, noComm;
    chunk(twoComm, "COMM", comm(2, 2, 16));
    chunk(twoComm, "COMM", comm(2, 2, 16));
    chunk(twoSsnd, "SSND", ssnd(kStereo));
    chunk(twoSsnd, "SSND", ssnd(kStereo));
    chunk(noSsnd, "COMM", comm(2, 2, 16));
    chunk(noSsnd, "APPL", {1, 2});
    chunk(noComm, "SSND", ssnd(kStereo));
    EXPECT_EQ(openError(put(form(twoComm))), "RDAIFF: Multiple COMM chunks!");
    EXPECT_EQ(openError(put(form(twoSsnd))), "RDAIFF: Multiple SSND chunks!");
    EXPECT_EQ(openError(put(form(noSsnd, 0x7FFFFFFF))), "RDAIFF: Failed to read chunkID!");
    EXPECT_EQ(openError(put(form(noComm, 0x7FFFFFFF))), "RDAIFF: Failed to read chunkID!");
}

TEST_F(OpenTest, SuspiciousFormSize) {
    const Bytes exact = simple(2, 16, kStereo);  // FORM size 46 + 8: the required size
    Bytes low = exact;
    low[7] -= 1;
    EXPECT_EQ(openError(put(exact)), "");
    EXPECT_EQ(openError(put(low)), "RDAIFF: Suspicious size in FORM chunk!");
    EXPECT_EQ(openError(put(simple(1, 8, {}))), "");  // no frames at all
}

TEST_F(OpenTest, TruncatedSsndFieldsAreRefused) {
    Bytes c;
    chunk(c, "COMM", comm(1, 0, 16));
    appendTag(c, "SSND");
    appendBE(c, 8, 4);
    appendBE(c, 0, 4);
    appendBE(c, 0, 2);  // the block size is cut short
    EXPECT_EQ(openError(put(form(c, 0x7FFFFFFF))),
              "RDAIFF: Error while skipping offset in SSND chunk!");
}

TEST_F(OpenTest, HugeSizesOnlyMoveForward) {
    // An unknown chunk claiming 4 GiB skips past the end of the file.
    Bytes junk;
    appendTag(junk, "JUNK");
    appendBE(junk, 0xFFFFFFFFu, 4);
    chunk(junk, "COMM", comm(2, 2, 16));
    chunk(junk, "SSND", ssnd(kStereo));
    EXPECT_EQ(openError(put(form(junk))), "RDAIFF: Failed to read chunkID!");

    // SSND first with size 0xFFFFFFFF and block size 16: in 32 bits the
    // move past its data would wrap around to the data itself, which here
    // looks like a COMM chunk. The move must go forward, past the file end.
    Bytes fakeComm;
    chunk(fakeComm, "COMM", comm(1, 1, 16));
    Bytes c;
    appendTag(c, "SSND");
    appendBE(c, 0xFFFFFFFFu, 4);
    appendBE(c, 0, 4);
    appendBE(c, 16, 4);
    c.insert(c.end(), fakeComm.begin(), fakeComm.end());
    c.insert(c.end(), {0, 0});
    EXPECT_EQ(openError(put(form(c, 0x7FFFFFFF))), "RDAIFF: Failed to read chunkID!");
}

TEST_F(OpenTest, DataBeyondTwoGigabytes) {
    // A sparse file: a 2.25 GiB unknown chunk, then SSND and COMM. After
    // COMM the reader returns to data that lies beyond 2 GiB.
    const std::uint32_t big = 0x90000000u;
    Bytes head;
    appendTag(head, "FORM");
    appendBE(head, 0xFFFFFFF0u, 4);
    appendTag(head, "AIFF");
    appendTag(head, "JUNK");
    appendBE(head, big, 4);
    Bytes tail;
    chunk(tail, "SSND", ssnd(kStereo));
    chunk(tail, "COMM", comm(2, 2, 16));
    const std::string p = dir.file("big.aif");
    {
        std::ofstream f(p, std::ios::binary);
        f.write(reinterpret_cast<const char*>(head.data()), static_cast<long>(head.size()));
        f.seekp(static_cast<std::streamoff>(head.size()) + big);
        f.write(reinterpret_cast<const char*>(tail.data()), static_cast<long>(tail.size()));
        ASSERT_TRUE(f.good());
    }
    RDAIFF in(p.c_str());
    short s[4];
    in.read(s, 2);
    EXPECT_EQ(std::vector<short>(s, s + 4), kStereoValues);
}

TEST_F(OpenTest, Lifecycle) {
    const std::string a = put(simple(2, 16, kStereo));
    RDAIFF in;
    EXPECT_STREQ(in.name(), "");
    EXPECT_EQ(thrown([&] { in.close(); }), "RDAIFF: File already closed or never opened!");
    EXPECT_EQ(thrown([&] { in.open(""); }), "RDAIFF: Empty filename!");
    in.open(a.c_str());
    EXPECT_EQ(thrown([&] { in.open(nullptr); }), "RDAIFF: No filename (NULL pointer)!");
    EXPECT_EQ(in.name(), a);
    // A second open refuses but takes the name; the first file stays usable.
    EXPECT_EQ(thrown([&] { in.open("other.aif"); }), "RDAIFF: File already open!");
    EXPECT_STREQ(in.name(), "other.aif");
    short s[4];
    in.read(s, 2);
    EXPECT_EQ(s[3], -32768);
    in.close();
    EXPECT_FALSE(in.is_open());
    EXPECT_STREQ(in.name(), "other.aif");
    EXPECT_EQ(thrown([&] { in.close(); }), "RDAIFF: File already closed or never opened!");
    EXPECT_EQ(thrown([&] { in.samplerate(); }), "RDAIFF: No samplerate, file closed!");
    EXPECT_EQ(thrown([&] { in.channels(); }), "RDAIFF: No number of channels, file closed!");
    EXPECT_EQ(thrown([&] { in.bits(); }), "RDAIFF: No number of bits, file closed!");
    EXPECT_EQ(thrown([&] { in.frames(); }), "RDAIFF: No number of frames, file closed!");
    EXPECT_EQ(thrown([&] { in.frames_togo(); }), "RDAIFF: No number of frames to go, file closed!");
    EXPECT_EQ(thrown([&] { in.rewind(); }), "RDAIFF: Cannot rewind a closed file!");
    // Reopening after close starts clean.
    in.open(a.c_str());
    EXPECT_EQ(in.frames_togo(), 2);
}

TEST_F(OpenTest, FailedOpenYieldsNoSamples) {
    // Each open fails after the file was opened: the reader stays open with
    // what the header left in its members, but hands out nothing.
    Bytes c;
    chunk(c, "COMM", comm(1, 5, 0));  // frame count read, bit count refused
    chunk(c, "SSND", ssnd(Bytes(10, 1)));
    const std::vector<std::pair<Bytes, const char*>> files = {
        {form(c, 0x7FFFFFFF), "RDAIFF: Invalid number of resolution bits!"},
        {simple(-3, 16, {}), "RDAIFF: Invalid number of channels!"},
        {simple(1, 8, {1, 2}, rate(2000000)), "RDAIFF: Samplerate out of range!"},
    };
    RDAIFF in;
    long long v[4];
    for (const auto& f : files) {
        EXPECT_EQ(thrown([&] { in.open(put(f.first).c_str()); }), f.second);
        ASSERT_TRUE(in.is_open());
        EXPECT_EQ(thrown([&] { in.open("x"); }), "RDAIFF: File already open!");
        if (in.frames_togo() > 0) {
            EXPECT_EQ(thrown([&] { in.read(v, 1); }), "RDAIFF: Error reading audiosample!");
        }
        EXPECT_EQ(thrown([&] { in.rewind(); }), "RDAIFF: Failed to rewind!");
        EXPECT_EQ(in.samplerate(), f.first == files[2].first ? 2000000.0 : 0.0);
        in.close();
    }
}
