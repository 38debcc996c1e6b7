// SPDX-License-Identifier: MIT
// The block scan of WavInFile on hand-made files: what opens, what is corrupt,
// what is an unsupported encoding, and the exact messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "tests/support/TestSupport.h"
#include "tests/support/WavFixtures.h"
#include "wav/WavFile.h"

using namespace wavfix;
using testsupport::TempDir;

namespace {

const std::vector<int> kSamples = {1, -2, 32767, -32768, 0x1234};

// Opens `path`; returns "" on success (after checking that the samples come
// out as kSamples) or the what() text of the exception, with the quoted path
// replaced by "NAME".
std::string openPath(const std::string& path) {
    try {
        WavInFile in(path.c_str());
        short got[16] = {};
        const int n = in.read(got, 16);
        EXPECT_EQ(n, static_cast<int>(kSamples.size()));
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(got[i], kSamples[i]) << "sample " << i;
        return "";
    } catch (const std::runtime_error& e) {
        std::string msg = e.what();
        const std::string quotedPath = "\"" + path + "\"";
        const auto at = msg.find(quotedPath);
        if (at != std::string::npos)
            msg.replace(at, quotedPath.size(), "\"NAME\"");
        return msg;
    }
}

std::string openResult(const Bytes& bytes, const std::string& name = "x.wav") {
    TempDir dir;
    const std::string path = dir.file(name);
    testsupport::writeFile(path, bytes);
    return openPath(path);
}

const std::string kCorrupt = "File \"NAME\" is corrupt or not a WAV file";
const std::string kUnsupported = "File \"NAME\" uses unsupported encoding";

Bytes withBlocks(std::initializer_list<std::pair<const char*, Bytes>> blocks) {
    Bytes b = riffPart();
    for (const auto& blk : blocks)
        addBlock(b, blk.first, blk.second);
    return b;
}

}  // namespace

TEST(WavScan, AcceptsUnknownBlocksAndLongerFormatBodies) {
    const Bytes data = pcm16(kSamples);
    EXPECT_EQ(openResult(canonical({}, data)), "");
    EXPECT_EQ(openResult(withBlocks({{"LIST", Bytes(6, 'x')},
                                     {"fmt ", formatBody({})},
                                     {"junk", {}},
                                     {"fact", Bytes(4, 0)},
                                     {"data", data}})),
              "");
    // A block id may start with a zero byte; "fmt" without its space is just
    // an unknown block.
    EXPECT_EQ(openResult(withBlocks({{"fmt\0", Bytes(2, 0xFF)},
                                     {"fmt ", formatBody({})},
                                     {"\0\0\0\0", {}},
                                     {"data", data}})),
              "");
    EXPECT_EQ(openResult(withBlocks({{"fmt ", formatBody({}, 18)}, {"data", data}})), "");
    EXPECT_EQ(openResult(withBlocks({{"fmt ", formatBody({}, 40)}, {"data", data}})), "");
    // A later format block replaces an earlier one.
    Format eight;
    eight.bits = 8;
    EXPECT_EQ(openResult(withBlocks(
                  {{"fmt ", formatBody(eight)}, {"fmt ", formatBody({})}, {"data", data}})),
              "");
}

TEST(WavScan, BlocksAfterTheDataBlockNeverComeOutAsSamples) {
    Bytes b = canonical({}, pcm16(kSamples));
    addBlock(b, "LIST", pcm16({7, 7, 7, 7}));
    EXPECT_EQ(openResult(b), "");  // openResult reads up to 16 and expects exactly 5
}

TEST(WavScan, OddBlocksWithAndWithoutPadByte) {
    const Bytes data = pcm16(kSamples);
    for (bool pad : {true, false}) {
        SCOPED_TRACE(pad ? "padded" : "unpadded");
        Bytes b = riffPart();
        addBlock(b, "fmt ", formatBody({}, 17), pad);
        addBlock(b, "odd ", Bytes{'a', 'b', 'c'}, pad);
        addBlock(b, "data", data);
        EXPECT_EQ(openResult(b), "");
    }
}

TEST(WavScan, CorruptFiles) {
    const Bytes data = pcm16(kSamples);
    EXPECT_EQ(openResult(Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, "text.wav"), kCorrupt);
    EXPECT_EQ(openResult(Bytes{'R', 'I', 'F', 'F', 0, 0}), kCorrupt);
    Bytes rifx = canonical({}, data);
    rifx[3] = 'X';
    EXPECT_EQ(openResult(rifx), kCorrupt);
    EXPECT_EQ(openResult(withBlocks({{"data", data}, {"fmt ", formatBody({})}})), kCorrupt);
    EXPECT_EQ(openResult(withBlocks({{"fmt ", formatBody({})}})), kCorrupt);
    EXPECT_EQ(openResult(withBlocks({{"fmt ", formatBody({})}, {"{bad", {}}, {"data", data}})),
              kCorrupt);
    EXPECT_EQ(openResult(withBlocks({{"fmt ", formatBody({})}, {"ab\x1f ", {}}, {"data", data}})),
              kCorrupt);
    EXPECT_EQ(openResult(withBlocks({{"fmt ", formatBody({})}, {"ab\x80 ", {}}, {"data", data}})),
              kCorrupt);
    // A skipped block, or a format body, that runs past the end of the file.
    Bytes longSkip = withBlocks({{"fmt ", formatBody({})}});
    addBlock(longSkip, "LIST", Bytes(10, 0), false, 11);
    EXPECT_EQ(openResult(longSkip), kCorrupt);
    Bytes longFmt = riffPart();
    addBlock(longFmt, "fmt ", formatBody({}), false, 0xFFFFFFFF);
    addBlock(longFmt, "data", data);
    EXPECT_EQ(openResult(longFmt), kCorrupt);
    // File ending inside the data block's length field.
    Bytes cut = withBlocks({{"fmt ", formatBody({})}});
    testsupport::appendTag(cut, "data");
    cut.push_back(4);
    EXPECT_EQ(openResult(cut), kCorrupt);
    // Broken structure wins over a non-PCM tag.
    Format flt;
    flt.tag = 3;
    EXPECT_EQ(openResult(withBlocks({{"data", data}, {"fmt ", formatBody(flt)}})), kCorrupt);
}

TEST(WavScan, UnsupportedEncodings) {
    const Bytes data = pcm16(kSamples);
    Format f;
    f.tag = 3;
    f.bits = 32;
    EXPECT_EQ(openResult(canonical(f, data)), kUnsupported);
    f.tag = 0xFFFE;  // extensible, even with 16-bit integer samples
    f.bits = 16;
    EXPECT_EQ(openResult(withBlocks({{"fmt ", formatBody(f, 40)}, {"data", data}})), kUnsupported);
    // A format body too short to hold the tag leaves it 0.
    EXPECT_EQ(openResult(withBlocks({{"fmt ", {}}, {"data", data}})), kUnsupported);
}

TEST(WavScan, ShortFormatBodyLeavesLaterFieldsZero) {
    TempDir dir;
    const std::string path = dir.file("short.wav");
    testsupport::writeFile(path, withBlocks({{"fmt ", formatBody({}, 14)}, {"data", pcm16({1})}}));
    WavInFile in(path.c_str());
    EXPECT_EQ(in.getNumBits(), 0);
    EXPECT_EQ(in.getNumChannels(), 1);
    EXPECT_EQ(in.getSampleRate(), 8000u);
    short s[1];
    try {
        in.read(s, 1);
        FAIL() << "read of a 0-bit file was not refused";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "WavInFile::read works only with 8bit or 16bit samples");
    }
}

TEST(WavScan, OpenErrorNamesTheFile) {
    TempDir dir;
    const std::string path = dir.file("missing.wav");
    try {
        WavInFile in(path.c_str());
        FAIL() << "opened a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "unable to open file \"" + path + "\" for reading");
    }
}

// Blocks may push the samples past 2 GiB. A sparse file keeps this cheap: the
// 3 GiB block in front is a hole.
TEST(WavScan, SkipsBlocksBeyondTwoGigabytes) {
    TempDir dir;
    const std::string path = dir.file("big.wav");
    const std::uint64_t hole = 0xC0000000u;
    Bytes head = riffPart();
    testsupport::appendTag(head, "LIST");
    testsupport::appendLE(head, hole, 4);
    Bytes tail;
    addBlock(tail, "fmt ", formatBody({}));
    addBlock(tail, "data", pcm16(kSamples));
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(head.data(), 1, head.size(), f), head.size());
    ASSERT_EQ(fseeko(f, static_cast<off_t>(head.size() + hole), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(tail.data(), 1, tail.size(), f), tail.size());
    ASSERT_EQ(std::fclose(f), 0);
    EXPECT_EQ(openPath(path), "");
    // The same block claiming one byte more than the file holds.
    f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, 16, SEEK_SET), 0);
    const std::uint64_t tooLong = hole + tail.size() + 1;
    const unsigned char len[4] = {
        static_cast<unsigned char>(tooLong), static_cast<unsigned char>(tooLong >> 8),
        static_cast<unsigned char>(tooLong >> 16), static_cast<unsigned char>(tooLong >> 24)};
    ASSERT_EQ(std::fwrite(len, 1, 4, f), 4u);
    ASSERT_EQ(std::fclose(f), 0);
    EXPECT_EQ(openPath(path), kCorrupt);
}
