// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/BreakpointPath.h"
#include "tests/support/TestSupport.h"

using tarvio::BreakpointPath;

namespace {

// The message parse() throws for `text`, or "" when it accepts it.
std::string parseError(const std::string& text) {
    std::istringstream in(text);
    try {
        BreakpointPath::parse(in, "moves.txt");
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

BreakpointPath parsed(const std::string& text) {
    std::istringstream in(text);
    return BreakpointPath::parse(in, "moves.txt");
}

}  // namespace

TEST(BreakpointPath, RefusesMalformedFilesNamingLineAndReason) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"0 0 0\n4 1 1\n2.5 0 0\n", "moves.txt: line 3: times must increase (2.5 after 4)"},
        {"1 0 0\n1 1 1\n", "moves.txt: line 2: times must increase (1 after 1)"},
        {"# x y\n\n0 0 0\n\t\n1 1 1 # corner 1\n2 0.5 0.5\n3 1.2 0\n",
         "moves.txt: line 7: x must lie in [0, 1], got 1.2"},
        {"0 0.5 -0.1\n", "moves.txt: line 1: y must lie in [0, 1], got -0.1"},
        {"0 0 0\n1 1\n", "moves.txt: line 2: expected three numbers \"seconds x y\", got 2"},
        {"0 0 # 0\n", "moves.txt: line 1: expected three numbers \"seconds x y\", got 2"},
        {"0 0 0 0\n", "moves.txt: line 1: expected three numbers \"seconds x y\", got 4"},
        {"0 0 0\n1 1 1\n2 0 0\n3 abc 1\n", "moves.txt: line 4: not a number: \"abc\""},
        {"1.5x 0 0\n", "moves.txt: line 1: not a number: \"1.5x\""},
        {"0 0,5 0\n", "moves.txt: line 1: not a number: \"0,5\""},
        {"nan 0 0\n", "moves.txt: line 1: not a finite number: \"nan\""},
        {"0 0 0\n1e999 0 0\n", "moves.txt: line 2: not a finite number: \"1e999\""},
        {"0 0 0\r\n1 2 0\r\n", "moves.txt: line 2: x must lie in [0, 1], got 2"},
        {"# nothing but a comment\n\n  \n", "moves.txt: no points"},
        {"", "moves.txt: no points"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseError(c.text), c.message) << "input: " << c.text;

    testsupport::TempDir dir;
    const std::string missing = dir.file("missing.txt");
    try {
        BreakpointPath::load(missing);
        ADD_FAILURE() << "a missing file was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), missing + ": cannot open: No such file or directory");
    }
}

TEST(BreakpointPath, InterpolatesHoldsAndFillsBlocksExactlyAsAt) {
    // Tabs, a comment after the numbers, a blank line and Windows line ends.
    // The values are such that a + (b - a) is not b in floating point, so
    // reaching a point from the segment before it gives a different value.
    BreakpointPath path =
        parsed("# a path\r\n1\t0.2 0.3\r\n2 0.9 0.9 # front\r\n\r\n4 0.1 0.45\r\n4.5 0.5 0.05\n");
    ASSERT_EQ(path.points().size(), 4u);

    struct Expect {
        double t, x, y;
    };
    const Expect expected[] = {
        {-3, 0.2, 0.3},  {0, 0.2, 0.3},  {1, 0.2, 0.3},     {1.5, 0.55, 0.6}, {2, 0.9, 0.9},
        {3, 0.5, 0.675}, {4, 0.1, 0.45}, {4.25, 0.3, 0.25}, {4.5, 0.5, 0.05}, {1000, 0.5, 0.05}};
    for (const Expect& e : expected) {
        double x = -1, y = -1;
        path.at(e.t, x, y);
        EXPECT_DOUBLE_EQ(x, e.x) << "t = " << e.t;
        EXPECT_DOUBLE_EQ(y, e.y) << "t = " << e.t;
    }
    // At a point's own time the position is exactly that point.
    for (const tarvio::Breakpoint& p : path.points()) {
        double x, y;
        path.at(p.seconds, x, y);
        EXPECT_EQ(x, p.x) << "t = " << p.seconds;
        EXPECT_EQ(y, p.y) << "t = " << p.seconds;
    }

    // Block after block, as the engine calls it: at 4 frames a second a
    // block of 7 frames can pass two points; at 44.1 kHz the times are not
    // exact in binary. The last round starts over at frame 0.
    struct Run {
        double rate;
        int block;
        std::int64_t frames;
    };
    const Run runs[] = {{4, 7, 24}, {44100, 1024, 5 * 44100}, {4, 5, 30}};
    std::vector<double> x, y;
    for (const Run& r : runs) {
        long mismatches = 0;
        for (std::int64_t first = 0; first < r.frames; first += r.block) {
            x.assign(r.block, -1);
            y.assign(r.block, -1);
            path.fill(first, r.rate, r.block, x.data(), y.data());
            for (int i = 0; i < r.block; ++i) {
                double ax, ay;
                path.at(static_cast<double>(first + i) / r.rate, ax, ay);
                if (x[i] != ax || y[i] != ay)
                    ++mismatches;
            }
        }
        EXPECT_EQ(mismatches, 0) << "rate " << r.rate << ", blocks of " << r.block;
    }

    // A single point is a fixed position.
    BreakpointPath fixed = parsed("2 0.3 0.7\n");
    double fx[3], fy[3];
    fixed.fill(0, 1, 3, fx, fy);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fx[i], 0.3);
        EXPECT_EQ(fy[i], 0.7);
    }
}
