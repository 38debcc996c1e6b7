// SPDX-License-Identifier: MIT
// The path generator: closed paths in the unit square that the rotations of
// the spatializer follow.
#include "engine/SquarePath.h"

void drawPath(ptype type, double* x, double* y, int n) {
    if (type != SQUARE || n < 0) {
        return;
    }
    const int q = n / 4;
    if (q == 0) {
        // Fewer than four segments leave no room for an edge: every point
        // sits at the start corner, so no caller ever reads a value that is
        // not finite.
        for (int i = 0; i <= n; ++i) {
            x[i] = 0.0;
            y[i] = 0.0;
        }
        return;
    }

    // Counter-clockwise from (0,0): bottom, right, top, left edge, q steps of
    // 1/q each. The moving coordinate is computed from the index rather than
    // accumulated, so every corner is exactly 0 or 1. A remainder of n modulo
    // 4 runs on along the left edge, past (0,0).
    const double dq = q;
    const long long q2 = 2LL * q;
    const long long q3 = 3LL * q;
    for (long long i = 0; i <= n; ++i) {
        const double di = static_cast<double>(i);
        if (i <= q) {
            x[i] = di / dq;
            y[i] = 0.0;
        } else if (i <= q2) {
            x[i] = 1.0;
            y[i] = (di - dq) / dq;
        } else if (i <= q3) {
            x[i] = 1.0 - static_cast<double>(i - q2) / dq;
            y[i] = 1.0;
        } else {
            x[i] = 0.0;
            y[i] = 1.0 - static_cast<double>(i - q3) / dq;
        }
    }
}
