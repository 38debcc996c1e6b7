// SPDX-License-Identifier: MIT
// The square path generator: the closed path in the unit square that the
// rotations of the spatializer follow.
#ifndef TARVIO_ENGINE_SQUAREPATH_H
#define TARVIO_ENGINE_SQUAREPATH_H

// Path types that drawPath can produce. The underlying type is fixed so that
// any int converts to a valid ptype; values other than SQUARE draw nothing.
enum ptype : int { SQUARE = 0 };

// Writes the n + 1 points of a closed path in the unit square into x[0..n]
// and y[0..n]. Only SQUARE produces points; n < 0 writes nothing.
void drawPath(ptype type, double* x, double* y, int n);

#endif  // TARVIO_ENGINE_SQUAREPATH_H
