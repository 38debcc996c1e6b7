// SPDX-License-Identifier: MIT
// What the two corner laws (bilinear, power) share. Both weight the four
// corners of the square: each axis gives a weight to the side at 1 and one
// to the side at 0, and a corner's gain is the product of its two sides'
// weights, x weight first. The fused spatializer kernels compute the
// bilinear law the same way, operation for operation, so that both give the
// same bytes.
#ifndef TARVIO_ENGINE_LAWS_CORNERLAW_H
#define TARVIO_ENGINE_LAWS_CORNERLAW_H

#include "engine/GainLaw.h"

namespace tarvio {
namespace laws {

// The weights of one axis: `one` for the side at coordinate 1, `zero` for
// the side at 0.
struct AxisGains {
    double one;
    double zero;
};

// A layout the corner laws serve: its positioned loudspeakers stand one at
// each corner of the square at ear height, in any order; others (LFE) may
// join them.
inline bool isSquare(const SpeakerLayout& layout) {
    if (layout.hasHeight())
        return false;
    unsigned corners = 0;
    for (const Speaker& s : layout.speakers()) {
        if (!s.position)
            continue;
        const double x = s.position->x, y = s.position->y;
        if ((x != 0.0 && x != 1.0) || (y != 0.0 && y != 1.0))
            return false;
        const unsigned corner = 1u << (2 * (y == 1.0) + (x == 1.0));
        if (corners & corner)
            return false;
        corners |= corner;
    }
    return corners == 0xF;
}

template <AxisGains (*Axis)(double)>
void cornerLaw(double x, double y, const SpeakerLayout& layout, const LawState*, double* gains) {
    const AxisGains gx = Axis(x);
    const AxisGains gy = Axis(y);
    for (int ch = 0; ch < layout.size(); ++ch) {
        const auto& at = layout[ch].position;
        gains[ch] =
            at ? (at->x == 1.0 ? gx.one : gx.zero) * (at->y == 1.0 ? gy.one : gy.zero) : 0.0;
    }
}

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_ENGINE_LAWS_CORNERLAW_H
