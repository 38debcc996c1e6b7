// SPDX-License-Identifier: MIT
// The gain laws. Both weight the four corners of the square: each axis
// gives a weight to the side at 1 and one to the side at 0, and a corner's
// gain is the product of its two sides' weights, x weight first. The fused
// spatializer kernels compute the bilinear law the same way, operation for
// operation, so that both give the same bytes.
#include "engine/GainLaw.h"

#include <cmath>

namespace tarvio {

namespace {

// The weights of one axis: `one` for the side at coordinate 1, `zero` for
// the side at 0.
struct AxisGains {
    double one;
    double zero;
};

// The four gains add up to 1; the level drops by 3 dB at the middle of an
// edge and by 6 dB at the centre.
AxisGains bilinearAxis(double p) {
    return {p, 1.0 - p};
}

// A quarter turn of sine and cosine: sin^2 + cos^2 = 1 on each axis, so the
// four squared gains add up to 1 and the power stays the same everywhere.
AxisGains powerAxis(double p) {
    constexpr double kQuarterTurn = 1.57079632679489661923;  // pi / 2
    return {std::sin(kQuarterTurn * p), std::cos(kQuarterTurn * p)};
}

// A layout the corner laws serve: its positioned loudspeakers stand one at
// each corner of the square, in any order; others (LFE) may join them.
bool isSquare(const SpeakerLayout& layout) {
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
void cornerLaw(double x, double y, const SpeakerLayout& layout, double* gains) {
    const AxisGains gx = Axis(x);
    const AxisGains gy = Axis(y);
    for (int ch = 0; ch < layout.size(); ++ch) {
        const auto& at = layout[ch].position;
        gains[ch] = at ? (at->x == 1.0 ? gx.one : gx.zero) * (at->y == 1.0 ? gy.one : gy.zero)
                       : 0.0;
    }
}

}  // namespace

const std::vector<PanLaw>& panLaws() {
    static const std::vector<PanLaw> laws{
        {"bilinear", "gains x and 1 - x per axis: they add up to 1, -6 dB at the centre",
         cornerLaw<bilinearAxis>, isSquare},
        {"power", "gains sin and cos of a quarter turn per axis: constant power",
         cornerLaw<powerAxis>, isSquare},
    };
    return laws;
}

const PanLaw* findPanLaw(std::string_view name) {
    for (const PanLaw& law : panLaws()) {
        if (name == law.name)
            return &law;
    }
    return nullptr;
}

std::vector<std::string> panLawNames() {
    std::vector<std::string> names;
    for (const PanLaw& law : panLaws())
        names.emplace_back(law.name);
    return names;
}

const PanLaw& panLawOf(GainLaw law) {
    return *findPanLaw(law == GainLaw::Power ? "power" : "bilinear");
}

void cornerGains(GainLaw law, double x, double y, double gains[4]) {
    panLawOf(law).gains(x, y, layouts::quad(), gains);
}

}  // namespace tarvio
