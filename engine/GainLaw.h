// SPDX-License-Identifier: MIT
// How the position of the sound becomes the gains of the four loudspeakers.
#ifndef TARVIO_ENGINE_GAINLAW_H
#define TARVIO_ENGINE_GAINLAW_H

namespace tarvio {

// Both laws weight the corners of the unit square by the position (x, y):
// channel 1 at (1, 1), 2 at (0, 1), 3 at (1, 0), 4 at (0, 0).
enum class GainLaw {
    // Each axis weight is w and 1 - w: the four gains add up to 1, and the
    // level drops by 3 dB at the middle of an edge and by 6 dB at the centre.
    Bilinear,
    // Each axis weight w and 1 - w becomes sin(pi w / 2) and cos(pi w / 2):
    // the squared gains add up to 1, so the power stays the same everywhere.
    Power,
};

// The gains of channels 1 to 4 for a point at (x, y) under `law`: the
// factors by which the spatializer multiplies the mono sample.
void cornerGains(GainLaw law, double x, double y, double gains[4]);

}  // namespace tarvio

#endif  // TARVIO_ENGINE_GAINLAW_H
