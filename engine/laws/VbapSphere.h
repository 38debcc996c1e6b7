// SPDX-License-Identifier: MIT
// Vector-base amplitude panning on the sphere (Pulkki 1997), for layouts
// with loudspeakers above or below ear height. The loudspeakers' unit
// vectors are triangulated once (their convex hull, by Qhull); the sound's
// direction p lies in the triangle (i, j, k) whose inverse matrix gives
// gains g = L^-1 p that are all at least 0, and the gains are scaled so that
// their squares add up to 1.
//
// A layout with nothing below ear height (5.1.4, most domes) gets an
// imaginary loudspeaker at the nadir, and one with nothing above gets one at
// the zenith, so that the hull closes round the listener. The gain of an
// imaginary loudspeaker is shared among the real loudspeakers next to it on
// the hull (those that share a triangle with it) by power: each of the k
// neighbours gets g^2 / k added to its squared gain, so the squares still
// add up to 1. A sound below a ring at ear height thus sinks into the whole
// ring rather than jumping to its nearest edge.
//
// Inside the sphere (r < 1 on the square) the sound spreads over all N
// positioned loudspeakers as in the plane: g_i = sqrt(r^2 g_i^2 +
// (1 - r^2) / N).
#ifndef TARVIO_ENGINE_LAWS_VBAPSPHERE_H
#define TARVIO_ENGINE_LAWS_VBAPSPHERE_H

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "engine/GainLaw.h"

namespace tarvio {
namespace laws {

struct SphereTriangle {
    int corner[3];   // indices into SphereLayout::channel (-1 .. imaginary)
    double rows[9];  // the inverse of the matrix whose columns are the corners
};

struct SphereLayout : LawState {
    std::vector<SphereTriangle> triangles;
    // The engine channel of each point of the hull; -1 for an imaginary one.
    std::vector<int> channel;
    // For each point, the real points it shares a triangle with (only used
    // for imaginary points).
    std::vector<std::vector<int>> neighbours;
    // For each triangle, the earlier triangles that may hold a direction it
    // holds (those beside it): when none of them does, it is the one the
    // search in order finds.
    std::vector<std::vector<int>> rivals;
    double share = 0.0;  // 1 / N for the N positioned loudspeakers
};

// How far below 0 a gain of the triangle that holds a direction may fall by
// rounding, on an edge or a corner.
inline constexpr double kSphereInside = 1e-9;

// sqrt(v * v) for a gain v >= 0. The root of a correctly rounded square
// rounds back to v exactly, unless the square falls below the normal
// numbers; so the root is only taken there.
inline double rootOfSquare(double v) {
    const double square = v * v;
    return square >= std::numeric_limits<double>::min() || square == 0.0 ? v : std::sqrt(square);
}

// The frames sphereLanes() takes at a time.
inline constexpr int kSphereLanes = 8;

// The triangulated hull of a layout's loudspeakers, or null when they do not
// enclose the listener even with the imaginary poles (all on one side, or
// all on one great circle).
std::shared_ptr<const SphereLayout> sphereLayout(const SpeakerLayout& layout);

// The gains of the sound at (x, y) on the square (direction and distance)
// and `elevation` degrees up; see GainsFn3.
void sphereGains(double x, double y, double elevation, const SpeakerLayout& layout,
                 const LawState* state, double* gains);

// The block form: frame j of `out` (layout.size() samples) is mono[j] times
// sphereGains(x[j], y[j], elevation[j]) (elevation null: 0), exactly. Consecutive
// frames mostly lie in one triangle, which is tried first.
void sphereSpread(const double* x, const double* y, const double* elevation, const double* mono,
                  int frames, const SpeakerLayout& layout, const LawState* state, double* out);

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_ENGINE_LAWS_VBAPSPHERE_H
