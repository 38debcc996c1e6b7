// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <vector>

#include "engine/Spatializer.h"

namespace {

constexpr double kGuard = 7.25;  // a value no path point can take
constexpr int kSlack = 4;        // guard cells after the last point

struct Path {
    std::vector<double> x, y;
    explicit Path(int points) : x(points + kSlack, kGuard), y(points + kSlack, kGuard) {}
};

// Checks that exactly the first `written` cells were touched.
void expectGuardsFrom(const Path& p, int written) {
    for (std::size_t i = written; i < p.x.size(); ++i) {
        EXPECT_EQ(p.x[i], kGuard) << "x[" << i << "]";
        EXPECT_EQ(p.y[i], kGuard) << "y[" << i << "]";
    }
}

}  // namespace

TEST(DrawPath, EightSegmentsGoRoundTheSquare) {
    Path p(9);
    drawPath(SQUARE, p.x.data(), p.y.data(), 8);
    const double ex[] = {0, 0.5, 1, 1, 1, 0.5, 0, 0, 0};
    const double ey[] = {0, 0, 0, 0.5, 1, 1, 1, 0.5, 0};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(p.x[i], ex[i]) << i;
        EXPECT_EQ(p.y[i], ey[i]) << i;
    }
    expectGuardsFrom(p, 9);
}

TEST(DrawPath, NineSegmentsRunPastTheStartCorner) {
    Path p(10);
    drawPath(SQUARE, p.x.data(), p.y.data(), 9);
    const double ex[] = {0, 0.5, 1, 1, 1, 0.5, 0, 0, 0, 0};
    const double ey[] = {0, 0, 0, 0.5, 1, 1, 1, 0.5, 0, -0.5};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(p.x[i], ex[i]) << i;
        EXPECT_EQ(p.y[i], ey[i]) << i;
    }
    expectGuardsFrom(p, 10);
}

TEST(DrawPath, TableOfTheSpatializer) {
    Path p(4097);
    drawPath(SQUARE, p.x.data(), p.y.data(), 4096);
    // Corners are exact, and every point is one step of 1/1024 along one
    // axis from its predecessor while the other coordinate stays 0 or 1.
    const int corners[] = {0, 1024, 2048, 3072, 4096};
    const double cx[] = {0, 1, 1, 0, 0}, cy[] = {0, 0, 1, 1, 0};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(p.x[corners[c]], cx[c]) << corners[c];
        EXPECT_EQ(p.y[corners[c]], cy[c]) << corners[c];
    }
    for (int i = 1; i <= 4096; ++i) {
        const int edge = (i - 1) / 1024;  // 0 bottom, 1 right, 2 top, 3 left
        const double dx = p.x[i] - p.x[i - 1], dy = p.y[i] - p.y[i - 1];
        const double wantDx[] = {1, 0, -1, 0}, wantDy[] = {0, 1, 0, -1};
        ASSERT_NEAR(dx, wantDx[edge] / 1024.0, 1e-15) << i;
        ASSERT_NEAR(dy, wantDy[edge] / 1024.0, 1e-15) << i;
    }
    EXPECT_EQ(p.x[1], 1.0 / 1024);
    EXPECT_EQ(p.y[1500], 476.0 / 1024);
    EXPECT_EQ(p.x[2500], 1.0 - 452.0 / 1024);
    EXPECT_EQ(p.y[4000], 1.0 - 928.0 / 1024);
    expectGuardsFrom(p, 4097);
}

TEST(DrawPath, DegenerateCountsStayFiniteOrWriteNothing) {
    for (int n = 0; n <= 3; ++n) {
        Path p(n + 1);
        drawPath(SQUARE, p.x.data(), p.y.data(), n);
        for (int i = 0; i <= n; ++i) {
            EXPECT_EQ(p.x[i], 0.0) << "n=" << n << " i=" << i;
            EXPECT_EQ(p.y[i], 0.0) << "n=" << n << " i=" << i;
        }
        expectGuardsFrom(p, n + 1);
    }
    for (int n : {-1, -4096}) {
        Path p(0);
        drawPath(SQUARE, p.x.data(), p.y.data(), n);
        expectGuardsFrom(p, 0);
    }
}

TEST(DrawPath, OtherTypesWriteNothing) {
    for (int type : {1, 2, -1}) {
        for (int n : {0, 8, 4096}) {
            Path p(0);
            p.x.resize(4097 + kSlack, kGuard);
            p.y.resize(4097 + kSlack, kGuard);
            drawPath(static_cast<ptype>(type), p.x.data(), p.y.data(), n);
            expectGuardsFrom(p, 0);
        }
    }
}
