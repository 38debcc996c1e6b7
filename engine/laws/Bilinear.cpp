// SPDX-License-Identifier: MIT
// The bilinear law: the four gains add up to 1; the level drops by 3 dB at
// the middle of an edge and by 6 dB at the centre.
#include "engine/laws/CornerLaw.h"

namespace tarvio {
namespace laws {

namespace {

AxisGains bilinearAxis(double p) {
    return {p, 1.0 - p};
}

}  // namespace

PanLaw bilinear() {
    return {"bilinear", "gains x and 1 - x per axis: they add up to 1, -6 dB at the centre",
            cornerLaw<bilinearAxis>, isSquare, nullptr};
}

}  // namespace laws
}  // namespace tarvio
