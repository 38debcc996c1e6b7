// SPDX-License-Identifier: MIT
// The chunk reader shared by the WAV and the AIFF reader: the pad-byte rule,
// positions that account for the bytes read ahead, and skips past the end
// and beyond 4 GiB.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/ChunkReader.h"
#include "tests/support/TestSupport.h"

using namespace tarvio::chunk;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

struct ChunkReaderTest : ::testing::Test {
    TempDir dir;
    Reader in;
    void load(const Bytes& b) {
        const std::string path = dir.file("c.bin");
        testsupport::writeFile(path, b);
        ASSERT_TRUE(in.open(path.c_str()));
        ASSERT_TRUE(in.measureSize());
    }
};

}  // namespace

TEST_F(ChunkReaderTest, PadByteRuleInBothByteOrders) {
    // A chunk with the one-byte body "x", then `after` and four zero bytes.
    struct Case {
        Bytes after;
        const char* next;  // the id read next; "" when there is none
        bool pad;          // the byte after "x" is taken as the pad
    };
    const std::vector<Case> cases = {
        {{0, 'd', 'a', 't', 'a'}, "data", true},
        {{' ', 'd', 'a', 't', 'a'}, "data", true},
        {{0xFF, 'S', 'S', 'N', 'D'}, "SSND", true},
        {{'d', 'a', 't', 'a'}, "data", false},        // no pad: the next id at once
        {{'L', 'I', 'S', 'T', 's'}, "LIST", false},   // an id, and an id after it
        {{' ', 'a', 'b', 'c', 0x01}, " abc", false},  // no id after it
        {{0}, "", true},                              // the file ends after the pad
    };
    for (ByteOrder order : {ByteOrder::little, ByteOrder::big}) {
        for (const Case& c : cases) {
            Bytes b = {'o', 'd', 'd', ' '};
            testsupport::appendBE(b, order == ByteOrder::big ? 1 : 0x01000000, 4);
            b.push_back('x');
            b.insert(b.end(), c.after.begin(), c.after.end());
            b.insert(b.end(), 4, 0);
            if (*c.next == '\0')
                b.resize(b.size() - 4);
            load(b);
            Header h;
            ASSERT_EQ(in.readHead(order, h), HeadRead::ok);
            ASSERT_EQ(h.size, 1u);
            ASSERT_TRUE(h.pad);
            ASSERT_EQ(in.skipRest(h.size, h.pad), Skip::done);
            SCOPED_TRACE(c.next);
            EXPECT_EQ(in.tell(), c.pad ? 10 : 9);  // the bytes read ahead are not yet read
            if (*c.next == '\0') {
                EXPECT_EQ(in.readHead(order, h), HeadRead::noId);
                continue;
            }
            ASSERT_EQ(in.readHead(order, h), HeadRead::ok);
            EXPECT_EQ(std::string(h.id, 4), c.next);
        }
    }
}

TEST_F(ChunkReaderTest, SkipsPastTheEndAndBeyondFourGigabytes) {
    load(Bytes(100, 7));
    EXPECT_EQ(in.skip(100), Skip::done);
    EXPECT_EQ(in.skip(1), Skip::pastEnd);
    EXPECT_EQ(in.tell(), 101);
    unsigned char b[4];
    EXPECT_EQ(in.read(b, 1), 0u);
    EXPECT_FALSE(in.readError());

    // A sparse file with four bytes just beyond 4 GiB + 2^32 - 1.
    const std::string path = dir.file("sparse.bin");
    const std::int64_t at = 0xFFFFFFFFll + 0x100000003ll;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, static_cast<off_t>(at), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite("tail", 1, 4, f), 4u);
    ASSERT_EQ(std::fclose(f), 0);
    Reader big;
    ASSERT_TRUE(big.open(path.c_str()));
    ASSERT_TRUE(big.measureSize());
    ASSERT_EQ(big.skip(0xFFFFFFFFu), Skip::done);
    ASSERT_EQ(big.skip(0x100000003ull), Skip::done);
    EXPECT_EQ(big.tell(), at);
    ASSERT_EQ(big.read(b, 4), 4u);
    EXPECT_EQ(std::string(b, b + 4), "tail");
    EXPECT_EQ(big.skip(1), Skip::pastEnd);
    ASSERT_TRUE(big.seek(at + 1));
    ASSERT_EQ(big.read(b, 3), 3u);
    EXPECT_EQ(std::string(b, b + 3), "ail");
}
