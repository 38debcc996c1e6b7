// SPDX-License-Identifier: MIT
// What several gain laws share: the direction and distance of a point from
// the middle of the square, and the count of loudspeakers with a position.
#ifndef TARVIO_ENGINE_LAWS_LAWS_H
#define TARVIO_ENGINE_LAWS_LAWS_H

#include <algorithm>
#include <cmath>

#include "engine/GainLaw.h"

namespace tarvio {
namespace laws {

// A point of the unit square seen from its middle: u = 2x - 1 and
// v = 2y - 1; the direction (cos, sin) of its azimuth atan2(-u, v), (1, 0)
// at the middle itself; and r = max(|u|, |v|), 1 on the edge and 0 in the
// middle.
struct Direction {
    double u, v;
    double cos, sin;
    double r;
};

inline Direction directionOf(double x, double y) {
    Direction d;
    d.u = 2.0 * x - 1.0;
    d.v = 2.0 * y - 1.0;
    // u and v stay within a few units, so the plain root cannot overflow
    // (std::hypot guards against that at several times the cost).
    const double length = std::sqrt(d.u * d.u + d.v * d.v);
    d.cos = length > 0.0 ? d.v / length : 1.0;
    d.sin = length > 0.0 ? -d.u / length : 0.0;
    d.r = std::max(std::fabs(d.u), std::fabs(d.v));
    return d;
}

// The number of loudspeakers of `layout` that have a position.
inline int positioned(const SpeakerLayout& layout) {
    int n = 0;
    for (const Speaker& s : layout.speakers())
        n += s.position ? 1 : 0;
    return n;
}

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_ENGINE_LAWS_LAWS_H
