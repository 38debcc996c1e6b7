// SPDX-License-Identifier: MIT
// The power law: a quarter turn of sine and cosine on each axis,
// sin^2 + cos^2 = 1, so the four squared gains add up to 1 and the power
// stays the same everywhere.
#include <cmath>

#include "engine/laws/CornerLaw.h"

namespace tarvio {
namespace laws {

namespace {

AxisGains powerAxis(double p) {
    constexpr double kQuarterTurn = 1.57079632679489661923;  // pi / 2
    return {std::sin(kQuarterTurn * p), std::cos(kQuarterTurn * p)};
}

}  // namespace

PanLaw power() {
    return {"power", "gains sin and cos of a quarter turn per axis: constant power",
            cornerLaw<powerAxis>, isSquare, nullptr};
}

}  // namespace laws
}  // namespace tarvio
