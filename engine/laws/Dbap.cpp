// SPDX-License-Identifier: MIT
// Distance-based amplitude panning (Lossius, Baltazar and de la Hogue
// 2009): each loudspeaker's gain falls with its distance from the sound,
// g_i = k / d_i^a, with d_i = sqrt(|p - s_i|^2 + b^2) for the sound at p and
// the loudspeaker at s_i (both as (u, v) on the square, half widths), the
// blur b keeping the gain finite at a loudspeaker. a = R / (20 log10 2)
// makes the level fall by R dB per doubling of distance; k makes the
// squared gains add up to 1.
//
// A power per loudspeaker per frame is nearly all the law costs. The sound
// stays put for long runs of frames (the rotations rest in the corners of
// the square for about a quarter of the time), so the block form works out
// the gains of a frame only where its position differs from the frame
// before, and otherwise scales the same gains by the new sample: the
// per-frame law's bytes.
//
// Height adds a third coordinate: a loudspeaker at elevation e stands at
// (u cos e, v cos e, sin e) for the (u, v) of its azimuth on the square's
// edge, and a sound at elevation e at (u cos e, v cos e, r sin e) for its
// (u, v) and r = max(|u|, |v|), so that it rises from the middle of the
// square as far as it stands from it. In the plane the third coordinate is
// 0 and adds exactly nothing to the distances.
#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/laws/Laws.h"

namespace tarvio {
namespace laws {

namespace {

struct Place {
    int channel;
    double u, v;  // where the loudspeaker stands on the square
    double z;     // and how high
};

constexpr double kDegree = 3.14159265358979323846 / 180.0;

struct DbapState : LawState {
    std::vector<Place> places;  // the positioned loudspeakers
    double halfExponent;        // a / 2: d^-a is (d^2)^(-a/2)
    double blur2;               // b^2
};

std::shared_ptr<const LawState> prepare(const SpeakerLayout& layout, const LawParams& params) {
    if (!(params.rolloff >= 0.0 && params.rolloff <= LawParams::kMaxRolloff))
        throw std::invalid_argument("dbap: the rolloff must lie in [0, 60] dB per doubling");
    if (!(params.blur >= 0.0 && params.blur <= LawParams::kMaxBlur))
        throw std::invalid_argument("dbap: the blur must lie in [0, 10] half widths of the square");
    auto state = std::make_shared<DbapState>();
    for (int ch = 0; ch < layout.size(); ++ch) {
        const auto& at = layout[ch].position;
        if (!at)
            continue;
        Place p{ch, 2.0 * at->x - 1.0, 2.0 * at->y - 1.0, 0.0};
        if (at->elevation != 0.0) {
            const double e = at->elevation * kDegree;
            p.u *= std::cos(e);
            p.v *= std::cos(e);
            p.z = std::sin(e);
        }
        state->places.push_back(p);
    }
    state->halfExponent = params.rolloff / (20.0 * std::log10(2.0)) / 2.0;
    state->blur2 = params.blur * params.blur;
    return state;
}

// The gains of the sound at (u, v, z).
void gainsAt(double u, double v, double z, const SpeakerLayout& layout, const DbapState& s,
             double* g) {
    std::fill(g, g + layout.size(), 0.0);
    double sum = 0.0;
    int at = -1;  // a loudspeaker the sound stands on, without blur
    for (const Place& p : s.places) {
        const double d2 =
            (u - p.u) * (u - p.u) + (v - p.v) * (v - p.v) + (z - p.z) * (z - p.z) + s.blur2;
        if (d2 == 0.0)
            at = p.channel;
        g[p.channel] = std::pow(d2, -s.halfExponent);
        sum += g[p.channel] * g[p.channel];
    }
    if (at >= 0) {
        std::fill(g, g + layout.size(), 0.0);
        g[at] = 1.0;
        return;
    }
    const double k = 1.0 / std::sqrt(sum);
    for (const Place& p : s.places)
        g[p.channel] *= k;
}

void gains(double x, double y, const SpeakerLayout& layout, const LawState* state, double* g) {
    gainsAt(2.0 * x - 1.0, 2.0 * y - 1.0, 0.0, layout, static_cast<const DbapState&>(*state), g);
}

void gains3(double x, double y, double elevation, const SpeakerLayout& layout,
            const LawState* state, double* g) {
    const double u = 2.0 * x - 1.0, v = 2.0 * y - 1.0;
    const double e = elevation * kDegree;
    const double r = std::max(std::fabs(u), std::fabs(v));
    gainsAt(u * std::cos(e), v * std::cos(e), r * std::sin(e), layout,
            static_cast<const DbapState&>(*state), g);
}

// The per-frame law's spreading, keeping the gains of a position for the
// frames after it that stand on it too.
void spread(const double* x, const double* y, const double* mono, int frames,
            const SpeakerLayout& layout, const LawState* state, double* out) {
    const std::size_t n = static_cast<std::size_t>(layout.size());
    double g[kMaxSpeakers];
    for (int j = 0; j < frames; ++j) {
        if (j == 0 || x[j] != x[j - 1] || y[j] != y[j - 1])
            gains(x[j], y[j], layout, state, g);
        double* o = out + static_cast<std::size_t>(j) * n;
        for (std::size_t ch = 0; ch < n; ++ch)
            o[ch] = g[ch] * mono[j];
    }
}

bool supports(const SpeakerLayout& layout) {
    return positioned(layout) >= 2;
}

}  // namespace

PanLaw dbap() {
    return {"dbap",
            "distance-based amplitude panning: every loudspeaker, the nearer the louder "
            "(rolloff, blur)",
            gains,
            supports,
            prepare,
            spread,
            gains3};
}

}  // namespace laws
}  // namespace tarvio
