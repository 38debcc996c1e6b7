// SPDX-License-Identifier: MIT
// A stream that fails underneath the writer: writing to /dev/full, which
// accepts the open and refuses every byte.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

using wraifftest::thrownMessage;

namespace {
const char* kFull = "/dev/full";
}

TEST(WraiffFailure, FullDeviceMakesWriteFailAndCloseRefuseTheRewrite) {
    if (!testsupport::fileExists(kFull))
        GTEST_SKIP() << "no /dev/full";
    std::vector<double> block(4 * 10000, 2.0);  // clips, but the failure comes first
    std::ostringstream warnings;
    WRAIFF w(kFull, 44100.0, 4, 16);
    w.warnings_to(&warnings);
    EXPECT_EQ(thrownMessage([&] { w.write(block.data(), 10000); }), "AIFF file gone bad!\n");
    EXPECT_EQ(warnings.str(), "");
    EXPECT_TRUE(w.is_open());
    // the frames were handed over and are counted; so are the clipped samples
    EXPECT_EQ(wraifftest::frameCount(w), 10000u);
    EXPECT_EQ(wraifftest::clippedCount(w), 40000u);
    EXPECT_EQ(thrownMessage([&] { w.write(block.data(), 1); }), "AIFF file gone bad!\n");
    EXPECT_EQ(wraifftest::frameCount(w), 10001u);
    EXPECT_EQ(thrownMessage([&] { w.close(); }), "AIFF file gone bad. No header-rewrite!\n");
    EXPECT_FALSE(w.is_open());
    EXPECT_EQ(thrownMessage([&] { w.close(); }), "No AIFF file currently open!\n");
}

TEST(WraiffFailure, BufferedBytesThatCannotBeFlushedStopTheRewind) {
    if (!testsupport::fileExists(kFull))
        GTEST_SKIP() << "no /dev/full";
    const short frame[] = {1, 2, 3, 4};
    WRAIFF w(kFull, 44100.0, 4, 16);
    w.write(frame, 1);  // still in the stream's buffer
    EXPECT_EQ(thrownMessage([&] { w.close(); }), "Failed to rewind AIFF file!\n");
    EXPECT_FALSE(w.is_open());
}

TEST(WraiffFailure, DestructorAndFinishReportOnTheWarningSinkInsteadOfThrowing) {
    if (!testsupport::fileExists(kFull))
        GTEST_SKIP() << "no /dev/full";
    std::vector<short> block(4 * 10000, 7);
    std::ostringstream warnings;
    {
        WRAIFF w(kFull, 44100.0, 4, 16);
        w.warnings_to(&warnings);
        w.write(block.data(), 1);
    }
    {
        WRAIFF w(kFull, 44100.0, 4, 16);
        w.warnings_to(&warnings);
        EXPECT_EQ(thrownMessage([&] { w.write(block.data(), 10000); }), "AIFF file gone bad!\n");
    }
    EXPECT_EQ(wraifftest::taken(warnings),
              "Failed to rewind AIFF file!\nAIFF file gone bad. No header-rewrite!\n");
    {
        // finish says whether the file was completed; only a failure is reported
        testsupport::TempDir dir;
        WRAIFF w(kFull, 44100.0, 4, 16);
        w.warnings_to(&warnings);
        w.write(block.data(), 1);
        EXPECT_FALSE(w.finish());
        EXPECT_EQ(wraifftest::taken(warnings), "Failed to rewind AIFF file!\n");
        EXPECT_FALSE(w.is_open());
        EXPECT_FALSE(w.finish());
        w.open(dir.file("done.aif").c_str(), 44100.0, 4, 16);
        w.write(block.data(), 2);
        EXPECT_TRUE(w.finish());
        EXPECT_FALSE(w.is_open());
        EXPECT_EQ(warnings.str(), "");
        const testsupport::Bytes done = testsupport::readFile(dir.file("done.aif"));
        ASSERT_EQ(done.size(), tarvio::aiff::kHeaderBytes + 16);
        EXPECT_EQ(tarvio::bytes::getU32BE(&done[tarvio::aiff::kFramesAt]), 2u);
    }
    // the writer is usable again after a failed close
    testsupport::TempDir dir;
    WRAIFF w(kFull, 44100.0, 4, 16);
    w.write(block.data(), 1);
    EXPECT_ANY_THROW(w.close());
    w.open(dir.file("after.aif").c_str(), 44100.0, 4, 16);
    w.write(block.data(), 3);
    w.close();
    EXPECT_EQ(testsupport::readFile(dir.file("after.aif")).size(), tarvio::aiff::kHeaderBytes + 24);
}
