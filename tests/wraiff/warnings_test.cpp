// SPDX-License-Identifier: MIT
// The once-per-file clip condition (a warning on the writer's warning sink
// for floating-point samples, an exception for integers) and the argument
// checks of write.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

using testsupport::Bytes;
using wraifftest::thrownMessage;

namespace {

// For each integer type that can exceed 8 bits: the first clipping block of a
// file throws, after being written and counted; a later clipping block is
// written silently; the next file starts its counts afresh.
template <typename T>
void checkIntegerClipping() {
    testsupport::TempDir dir;
    const std::string path = dir.file("int.aif");
    const T fits[] = {1, 100, -3}, over[] = {-129, 5}, more[] = {300, -128};
    WRAIFF w;
    for (int file = 0; file < 2; ++file) {
        w.open(path.c_str(), 8000.0, 1, 8);
        EXPECT_EQ(thrownMessage([&] { w.write(fits, 3); }), "");
        EXPECT_EQ(thrownMessage([&] { w.write(over, 2); }), "Clipped!\n");
        EXPECT_EQ(wraifftest::frameCount(w), 5u);
        EXPECT_EQ(wraifftest::clippedCount(w), 1u);
        EXPECT_EQ(thrownMessage([&] { w.write(more, 2); }), "");
        EXPECT_EQ(wraifftest::clippedCount(w), 2u);
        w.close();
        EXPECT_EQ(wraifftest::dataOf(path), (Bytes{0x01, 0x64, 0xFD, 0x80, 0x05, 0x7F, 0x80}));
    }
}

}  // namespace

TEST(WraiffWarnings, IntegerOverloadsThrowClippedOncePerFileAfterWriting) {
    checkIntegerClipping<long>();
    checkIntegerClipping<int>();
    checkIntegerClipping<short>();
}

TEST(WraiffWarnings, FloatingOverloadsWarnOnTheSinkOncePerFile) {
    testsupport::TempDir dir;
    const std::string path = dir.file("warn.aif");
    const double clean[] = {0.5, -0.5}, loud[] = {1.5, -0.25};
    const float loudf[] = {-3.0f, 0.0f};
    std::ostringstream warnings;
    WRAIFF w;
    w.warnings_to(&warnings);
    for (int file = 0; file < 2; ++file) {
        w.open(path.c_str(), 44100.0, 2, 16);
        w.write(clean, 1);
        EXPECT_EQ(wraifftest::taken(warnings), "");
        w.write(loud, 1);
        EXPECT_EQ(wraifftest::taken(warnings), "Clipped!\n");
        w.write(loudf, 1);
        w.write(loud, 1);
        EXPECT_EQ(wraifftest::taken(warnings), "");
        EXPECT_EQ(wraifftest::clippedCount(w), 3u);
        EXPECT_EQ(wraifftest::frameCount(w), 4u);
        w.close();
    }
    // a null sink drops the warning; the count still holds it
    w.warnings_to(nullptr);
    w.open(path.c_str(), 44100.0, 2, 16);
    w.write(loud, 1);
    EXPECT_EQ(wraifftest::clippedCount(w), 1u);
    w.close();
    EXPECT_EQ(warnings.str(), "");
}

TEST(WraiffWarnings, WriteChecksItsArgumentsBeforeTheFile) {
    testsupport::TempDir dir;
    const std::string path = dir.file("args.aif");
    const double two[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8};
    const double* none = nullptr;
    WRAIFF w;
    EXPECT_EQ(thrownMessage([&] { w.write(none, 0); }), "Wrong argument(s)!\n");
    EXPECT_EQ(thrownMessage([&] { w.write(two, -1); }), "Wrong argument(s)!\n");
    EXPECT_EQ(thrownMessage([&] { w.write(two, 1); }), "No AIFF file currently open!\n");
    const short* noShorts = nullptr;
    EXPECT_EQ(thrownMessage([&] { w.write(noShorts, 5); }), "Wrong argument(s)!\n");

    std::ostringstream warnings;
    w.warnings_to(&warnings);
    w.open(path.c_str(), 44100.0, 4, 16);
    EXPECT_EQ(thrownMessage([&] { w.write(none, 3); }), "Wrong argument(s)!\n");
    EXPECT_EQ(thrownMessage([&] { w.write(two, -1); }), "Wrong argument(s)!\n");
    EXPECT_EQ(thrownMessage([&] { w.write(two, 0); }), "");
    EXPECT_EQ(warnings.str(), "");
    EXPECT_EQ(wraifftest::frameCount(w), 0u);
    w.write(two, 2);
    EXPECT_EQ(wraifftest::frameCount(w), 2u);
    w.close();
    EXPECT_EQ(testsupport::readFile(path).size(), tarvio::aiff::kHeaderBytes + 16);
}
