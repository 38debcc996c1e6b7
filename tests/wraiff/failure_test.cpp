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
    WRAIFF w(kFull, 44100.0, 4, 16);
    testing::internal::CaptureStderr();
    EXPECT_EQ(thrownMessage([&] { w.write(block.data(), 10000); }), "AIFF file gone bad!\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
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

TEST(WraiffFailure, DestructorReportsOnStandardErrorInsteadOfThrowing) {
    if (!testsupport::fileExists(kFull))
        GTEST_SKIP() << "no /dev/full";
    std::vector<short> block(4 * 10000, 7);
    testing::internal::CaptureStderr();
    {
        WRAIFF w(kFull, 44100.0, 4, 16);
        w.write(block.data(), 1);
    }
    {
        WRAIFF w(kFull, 44100.0, 4, 16);
        EXPECT_EQ(thrownMessage([&] { w.write(block.data(), 10000); }), "AIFF file gone bad!\n");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to rewind AIFF file!\nAIFF file gone bad. No header-rewrite!\n");
    // the writer is usable again after a failed close
    testsupport::TempDir dir;
    WRAIFF w(kFull, 44100.0, 4, 16);
    w.write(block.data(), 1);
    EXPECT_ANY_THROW(w.close());
    w.open(dir.file("after.aif").c_str(), 44100.0, 4, 16);
    w.write(block.data(), 3);
    w.close();
    EXPECT_EQ(testsupport::readFile(dir.file("after.aif")).size(), 54u + 24u);
}
