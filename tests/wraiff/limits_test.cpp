// SPDX-License-Identifier: MIT
// The two size limits of a file: the warning when it grows past huge_frames,
// and the refusal of data that a 32-bit header could not describe. The frames
// go to /dev/null: the counts are all that matter here, and gigabytes of real
// writes would make the test slow.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

using wraifftest::thrownMessage;

namespace {

const char* kNull = "/dev/null";

// Appends `frames` frames of one-channel zero samples in large blocks; passing
// huge_frames on the way is expected.
void fill(WRAIFF& w, unsigned long frames) {
    static const std::vector<signed char> zeros(1 << 20, 0);
    const unsigned long block = zeros.size();
    while (frames > 0) {
        const unsigned long n = frames < block ? frames : block;
        const std::string thrown =
            thrownMessage([&] { w.write(zeros.data(), static_cast<long>(n)); });
        ASSERT_TRUE(thrown.empty() || thrown == "AIFF file growing huge!\n") << thrown;
        frames -= n;
    }
}

}  // namespace

TEST(WraiffLimits, GrowingHugeIsReportedOnceWhenTheCountPassesTheLimit) {
    if (!testsupport::fileExists(kNull))
        GTEST_SKIP() << "no /dev/null";
    const double quiet[] = {0.0}, loud[] = {2.0};
    const short zero[] = {0}, over[] = {300};
    {
        // floating point: a warning, after the clip warning of the same call
        std::ostringstream warnings;
        WRAIFF w(kNull, 44100.0, 1, 8);
        w.warnings_to(&warnings);
        fill(w, huge_frames - 1);
        w.write(quiet, 1);  // reaches the limit without passing it
        EXPECT_EQ(wraifftest::taken(warnings), "");
        w.write(loud, 1);
        EXPECT_EQ(wraifftest::taken(warnings), "Clipped!\nAIFF file growing huge!\n");
        w.write(loud, 1);
        EXPECT_EQ(wraifftest::taken(warnings), "");
        EXPECT_EQ(wraifftest::frameCount(w), huge_frames + 2ull);
    }
    {
        // integers: thrown after the block was counted, once
        WRAIFF w(kNull, 44100.0, 1, 8);
        fill(w, huge_frames);
        EXPECT_EQ(thrownMessage([&] { w.write(zero, 1); }), "AIFF file growing huge!\n");
        EXPECT_EQ(wraifftest::frameCount(w), huge_frames + 1ull);
        EXPECT_EQ(thrownMessage([&] { w.write(zero, 1); }), "");
    }
    {
        // a clip exception in the same call takes precedence for good
        WRAIFF w(kNull, 44100.0, 1, 8);
        fill(w, huge_frames);
        EXPECT_EQ(thrownMessage([&] { w.write(over, 1); }), "Clipped!\n");
        EXPECT_EQ(thrownMessage([&] { w.write(over, 1); }), "");
        EXPECT_EQ(wraifftest::clippedCount(w), 2u);
    }
}

// One channel of 64 bits: the largest data size a header can describe,
// 4294967249 bytes, holds 536870906 frames (4294967248 bytes).
TEST(WraiffLimits, DataBeyondWhatTheHeaderCanDescribeIsRefused) {
    if (!testsupport::fileExists(kNull))
        GTEST_SKIP() << "no /dev/null";
    const unsigned long most = 536870906;
    WRAIFF w(kNull, 44100.0, 1, 64);
    fill(w, most - 2);
    const signed char two[] = {1, 2, 3};
    EXPECT_FALSE(w.at_size_limit());
    EXPECT_EQ(thrownMessage([&] { w.write(two, 3); }), "AIFF file too large!\n");
    EXPECT_TRUE(w.at_size_limit());
    EXPECT_EQ(wraifftest::frameCount(w), most - 2);
    w.write(two, 2);
    EXPECT_EQ(thrownMessage([&] { w.write(two, 1); }), "AIFF file too large!\n");
    EXPECT_EQ(thrownMessage([&] { w.write(two, std::numeric_limits<long>::max()); }),
              "AIFF file too large!\n");
    w.write(two, 0);
    EXPECT_EQ(wraifftest::frameCount(w), most);
    // the report's file size goes past 2^32 - 1 without wrapping
    EXPECT_EQ(wraifftest::reportValue(w, "filesize: "), 4294967248ull + tarvio::aiff::kHeaderBytes);
    EXPECT_TRUE(w.is_open());
    w.close();
}

// A refused block is not even read: the caller's array here is far shorter
// than the frame count claims, and the file stays empty.
TEST(WraiffLimits, RefusalHappensBeforeAnyFrameIsWritten) {
    testsupport::TempDir dir;
    const std::string path = dir.file("refused.aif");
    const double tiny[] = {0.5};
    WRAIFF w(path.c_str(), 44100.0, 128, 64);
    EXPECT_EQ(thrownMessage([&] { w.write(tiny, 4194304); }), "AIFF file too large!\n");
    EXPECT_EQ(thrownMessage([&] { w.write(tiny, std::numeric_limits<long>::max()); }),
              "AIFF file too large!\n");
    EXPECT_EQ(wraifftest::frameCount(w), 0u);
    w.close();
    const testsupport::Bytes b = testsupport::readFile(path);
    ASSERT_EQ(b.size(), tarvio::aiff::kHeaderBytes);
    EXPECT_EQ(tarvio::bytes::getU32BE(&b[tarvio::aiff::kFormSizeAt]), 46u);
}
