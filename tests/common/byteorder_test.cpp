// SPDX-License-Identifier: MIT

#include "common/byteorder.h"

#include <gtest/gtest.h>

using namespace tarvio::bytes;

TEST(ByteOrder, ReadsBothOrdersAtTheirBounds) {
    const unsigned char b[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    EXPECT_EQ(getU16BE(b), 0x1234u);
    EXPECT_EQ(getU16LE(b), 0x3412u);
    EXPECT_EQ(getU32BE(b), 0x12345678u);
    EXPECT_EQ(getU32LE(b), 0x78563412u);
    EXPECT_EQ(getBE(b, 8), 0x123456789ABCDEF0ull);
    EXPECT_EQ(getLE(b, 8), 0xF0DEBC9A78563412ull);
    EXPECT_EQ(getBE(b, 0), 0u);

    const unsigned char ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(getU32BE(ff), 0xFFFFFFFFu);
    EXPECT_EQ(getS16BE(ff), -1);
}

TEST(ByteOrder, SignedSixteenBitBoundaries) {
    const unsigned char minBE[2] = {0x80, 0x00}, maxBE[2] = {0x7F, 0xFF};
    const unsigned char minLE[2] = {0x00, 0x80}, maxLE[2] = {0xFF, 0x7F};
    EXPECT_EQ(getS16BE(minBE), -32768);
    EXPECT_EQ(getS16BE(maxBE), 32767);
    EXPECT_EQ(getS16LE(minLE), -32768);
    EXPECT_EQ(getS16LE(maxLE), 32767);
}

TEST(ByteOrder, WritesAreTheInverseOfReads) {
    unsigned char b[8];
    putU32BE(b, 0xA1B2C3D4u);
    EXPECT_EQ(b[0], 0xA1);
    EXPECT_EQ(b[3], 0xD4);
    EXPECT_EQ(getU32BE(b), 0xA1B2C3D4u);
    putU32LE(b, 0xA1B2C3D4u);
    EXPECT_EQ(b[0], 0xD4);
    EXPECT_EQ(getU32LE(b), 0xA1B2C3D4u);
    // Only the low bytes are written: -1 in three bytes is FF FF FF.
    putBE(b, static_cast<std::uint64_t>(-1), 3);
    EXPECT_EQ(getBE(b, 3), 0xFFFFFFu);
    putLE(b, 0x0102030405060708ull, 8);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[7], 0x01);
}
