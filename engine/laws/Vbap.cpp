// SPDX-License-Identifier: MIT
// Vector-base amplitude panning in the plane (Pulkki 1997); a layout with
// height, or a sound above or below a layout in the plane, goes by the
// triangles of VbapSphere.h. The direction
// of the sound falls between two neighbouring loudspeakers a and b (sorted
// by azimuth); the gains solve p = g_a l_a + g_b l_b for the unit vectors
// p of the sound and l of the loudspeakers, scaled so that
// g_a^2 + g_b^2 = 1; every other loudspeaker gets 0.
//
// A gap of more than 180 degrees between neighbours (behind a stereo pair)
// has no such pair: a direction in it is mirrored front to back, and if the
// mirror falls in the gap too, the nearer loudspeaker of the gap takes it.
// Two loudspeakers facing each other (a ring of two) have no pair either:
// over each half turn between them the gains are cos and sin of half the
// angle from the first, a constant-power pan.
//
// Off the edge the sound spreads over all N positioned loudspeakers:
// g_i = sqrt(r^2 g_vbap,i^2 + (1 - r^2) / N), so the squared gains add up
// to 1 everywhere and the middle of the square feeds every loudspeaker
// alike.
//
// A block of frames on a layout whose arcs are all narrower than a half turn
// goes through the block kernels of VbapKernels.h, which give these gains
// within a few units of the last place times the pair's conditioning (one
// over the sine of the arc's width; 1e-12 and less for arcs of half a degree
// and more): the same pair, the same formulas rearranged to need fewer
// roots. A block on any other layout goes through the kernels of the wide
// layouts, which give this law's very bytes. The frames a kernel leaves (a
// direction on a loudspeaker's line that no arc takes after rounding, or
// near an edge of a wide layout's decisions) take the per-frame law.
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "engine/laws/Laws.h"
#include "engine/laws/VbapKernels.h"
#include "engine/laws/VbapSphere.h"

namespace tarvio {
namespace laws {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTurn = 2.0 * kPi;

// The arc from one loudspeaker to the next by azimuth.
struct Arc {
    int a, b;       // engine channels at its start and its end
    double start;   // azimuth of a, radians in [0, 2 pi)
    double width;   // radians to b, in (0, 2 pi]
    bool gap;       // more than a half turn: no pair to pan between
    bool halfTurn;  // a half turn: panned by the angle from a
    // The rows that turn a direction (cos, sin) into the gains of a and b:
    // the inverse of the matrix [l_a l_b]; for a half turn, the direction of
    // a alone, giving the cosine of the angle from a.
    double rows[4];
};

struct VbapState : LawState {
    std::vector<double> starts;  // Arc::start of each arc, increasing
    std::vector<Arc> arcs;
    double share;  // 1 / N, the squared gain of each loudspeaker at the middle
    bool narrow;   // every arc is less than a half turn
    NarrowArcs block;        // the arcs as the block kernels read them, when narrow
    NarrowLayout blockView;  // block.view(): points into `block` (a state is never copied)
    WideArcs wide;           // the arcs as the wide kernels read them, when not narrow
    WideLayout wideView;     // wide.view()
    // The triangles on the sphere: all a layout with height has (its other
    // members then stay empty); for a layout in the plane, the ring closed
    // by imaginary loudspeakers at both poles, for sounds above or below it.
    // Null where they do not go round the listener: the arcs by azimuth
    // then serve every sound.
    std::shared_ptr<const SphereLayout> sphere;
};

double radians(double degrees) {
    const double a = degrees * (kPi / 180.0);
    return a < 0.0 ? a + kTurn : a;
}

Arc arcBetween(int a, double start, int b, double end) {
    Arc arc{a, b, start, end - start, false, false, {0, 0, 0, 0}};
    if (arc.width <= 0.0)
        arc.width += kTurn;
    arc.gap = arc.width > kPi + 1e-9;
    arc.halfTurn = !arc.gap && arc.width >= kPi - 1e-9;
    if (arc.halfTurn) {
        arc.rows[0] = std::cos(start);
        arc.rows[1] = std::sin(start);
    } else if (!arc.gap) {
        const double det = std::sin(arc.width);  // cos a sin b - sin a cos b
        arc.rows[0] = std::sin(end) / det;
        arc.rows[1] = -std::cos(end) / det;
        arc.rows[2] = -std::sin(start) / det;
        arc.rows[3] = std::cos(start) / det;
    }
    return arc;
}

// The arcs of a layout that is not narrow as the wide kernels read them.
void wideBlock(VbapState& state, const SpeakerLayout& layout) {
    WideArcs& wide = state.wide;
    wide.starts = state.starts;
    wide.edges = state.starts;
    wide.edges.push_back(0.0);
    for (std::size_t k = 0; k < state.arcs.size(); ++k) {
        const Arc& arc = state.arcs[k];
        wide.rows.insert(wide.rows.end(), arc.rows, arc.rows + 4);
        wide.pairs.insert(wide.pairs.end(), {arc.a, arc.b});
        wide.halfTurn.push_back(arc.halfTurn ? 1 : 0);
        if (arc.gap) {
            wide.gap = static_cast<int>(k);
            wide.gapHalf = arc.width / 2.0;
            const double middle = arc.start + wide.gapHalf;
            wide.edges.push_back(middle < kTurn ? middle : middle - kTurn);
        }
    }
    wide.bounds = {0.0, kTurn};
    for (const double edge : wide.edges) {
        const double mirror = kPi - edge;
        wide.bounds.insert(wide.bounds.end(), {edge, mirror < 0.0 ? mirror + kTurn : mirror});
    }
    std::sort(wide.bounds.begin(), wide.bounds.end());
    for (int ch = 0; ch < layout.size(); ++ch) {
        if (!layout[ch].position)
            wide.unplaced.push_back(ch);
    }
    wide.channels = layout.size();
    state.wideView = wide.view();
}

// The arcs of the loudspeakers by azimuth alone, and their block forms.
std::shared_ptr<VbapState> preparePlane(const SpeakerLayout& layout) {
    std::vector<std::pair<double, int>> sorted;  // azimuth in radians, channel
    for (int ch = 0; ch < layout.size(); ++ch) {
        if (layout[ch].position)
            sorted.emplace_back(radians(normalAzimuth(layout[ch].position->azimuth)), ch);
    }
    std::sort(sorted.begin(), sorted.end());
    auto state = std::make_shared<VbapState>();
    const std::size_t n = sorted.size();
    for (std::size_t k = 0; k < n; ++k) {
        const auto& next = sorted[(k + 1) % n];
        state->arcs.push_back(
            arcBetween(sorted[k].second, sorted[k].first, next.second, next.first));
        state->starts.push_back(sorted[k].first);
    }
    state->share = 1.0 / static_cast<double>(n);
    state->narrow = std::none_of(state->arcs.begin(), state->arcs.end(),
                                 [](const Arc& a) { return a.gap || a.halfTurn; });
    if (state->narrow) {
        NarrowArcs& block = state->block;
        for (const Arc& arc : state->arcs) {
            block.rows.insert(block.rows.end(), arc.rows, arc.rows + 4);
            block.pairs.insert(block.pairs.end(), {arc.a, arc.b});
        }
        for (int ch = 0; ch < layout.size(); ++ch) {
            if (!layout[ch].position)
                block.unplaced.push_back(ch);
        }
        block.channels = layout.size();
        block.spaced = std::all_of(state->arcs.begin(), state->arcs.end(),
                                   [](const Arc& a) { return a.width > kMinHintWidth; });
        state->blockView = block.view();
    } else {
        wideBlock(*state, layout);
    }
    return state;
}

// A layout with height whose triangles go round the listener has only
// them. One whose triangles do not (two loudspeakers raised alike, all on
// one great circle) pans by azimuth, as if in the plane.
std::shared_ptr<const LawState> prepare(const SpeakerLayout& layout, const LawParams&) {
    std::shared_ptr<const SphereLayout> sphere = sphereLayout(layout);
    if (sphere && layout.hasHeight()) {
        auto state = std::make_shared<VbapState>();
        state->sphere = std::move(sphere);
        return state;
    }
    std::shared_ptr<VbapState> state = preparePlane(layout);
    state->sphere = std::move(sphere);
    return state;
}

// The arc that holds azimuth `theta` (radians in [0, 2 pi)).
const Arc& arcOf(const VbapState& s, double theta) {
    const auto after = std::upper_bound(s.starts.begin(), s.starts.end(), theta);
    const std::size_t k = after == s.starts.begin()
                              ? s.starts.size() - 1
                              : static_cast<std::size_t>(after - s.starts.begin()) - 1;
    return s.arcs[k];
}

double azimuthOf(double c, double s) {
    const double theta = std::atan2(s, c);
    return theta < 0.0 ? theta + kTurn : theta;
}

// The pair gains of direction (c, s) where every arc is narrower than a half
// turn: the arc that holds the direction is the one whose two gains are both
// at least 0, so no angle needs computing.
bool narrowPairGains(const VbapState& state, double c, double s, double* gains) {
    for (const Arc& arc : state.arcs) {
        const double ga = arc.rows[0] * c + arc.rows[1] * s;
        const double gb = arc.rows[2] * c + arc.rows[3] * s;
        if (ga >= 0.0 && gb >= 0.0) {
            const double norm = 1.0 / std::sqrt(ga * ga + gb * gb);
            gains[arc.a] = ga * norm;
            gains[arc.b] = gb * norm;
            return true;
        }
    }
    return false;  // rounding at a boundary: the general way decides
}

// The pair gains of direction (c, s), written to gains[a] and gains[b] of
// the arc that takes it.
void pairGains(const VbapState& state, double c, double s, double* gains) {
    if (state.narrow && narrowPairGains(state, c, s, gains))
        return;
    const Arc* arc = &arcOf(state, azimuthOf(c, s));
    if (arc->gap) {
        c = -c;  // mirrored front to back
        arc = &arcOf(state, azimuthOf(c, s));
    }
    if (arc->gap) {
        double into = azimuthOf(c, s) - arc->start;
        if (into < 0.0)
            into += kTurn;
        gains[into <= arc->width - into ? arc->a : arc->b] = 1.0;
        return;
    }
    if (arc->halfTurn) {
        const double fromA = std::clamp(arc->rows[0] * c + arc->rows[1] * s, -1.0, 1.0);
        gains[arc->a] = std::sqrt((1.0 + fromA) / 2.0);  // cos of half the angle
        gains[arc->b] = std::sqrt((1.0 - fromA) / 2.0);
        return;
    }
    const double ga = std::max(0.0, arc->rows[0] * c + arc->rows[1] * s);
    const double gb = std::max(0.0, arc->rows[2] * c + arc->rows[3] * s);
    const double norm = 1.0 / std::sqrt(ga * ga + gb * gb);
    gains[arc->a] = ga * norm;
    gains[arc->b] = gb * norm;
}

void gains(double x, double y, const SpeakerLayout& layout, const LawState* state, double* g) {
    const VbapState& s = static_cast<const VbapState&>(*state);
    if (s.arcs.empty()) {  // a layout with height: its triangles, at ear height
        sphereGains(x, y, 0.0, layout, s.sphere.get(), g);
        return;
    }
    const Direction d = directionOf(x, y);
    std::fill(g, g + layout.size(), 0.0);
    pairGains(s, d.cos, d.sin, g);
    const double r2 = d.r * d.r;
    const double spread = (1.0 - r2) * s.share;
    const double apart = std::sqrt(spread);  // the gain of a loudspeaker outside the pair
    for (const Arc& arc : s.arcs)
        g[arc.a] = g[arc.a] == 0.0 ? apart : std::sqrt(r2 * g[arc.a] * g[arc.a] + spread);
}

// A sound at ear height on a layout in the plane keeps the plane's gains;
// any other goes by the triangles where the layout has them, else by its
// azimuth alone.
void gains3(double x, double y, double elevation, const SpeakerLayout& layout,
            const LawState* state, double* g) {
    const VbapState& s = static_cast<const VbapState&>(*state);
    if (s.sphere && (elevation != 0.0 || s.arcs.empty()))
        sphereGains(x, y, elevation, layout, s.sphere.get(), g);
    else
        gains(x, y, layout, state, g);
}

// The block form of gains3: the triangles' where the layout has height,
// else frame by frame.
void spread3(const double* x, const double* y, const double* elevation, const double* mono,
             int frames, const SpeakerLayout& layout, const LawState* state, double* out) {
    const VbapState& s = static_cast<const VbapState&>(*state);
    if (s.sphere && s.arcs.empty()) {
        sphereSpread(x, y, elevation, mono, frames, layout, s.sphere.get(), out);
        return;
    }
    const std::size_t n = static_cast<std::size_t>(layout.size());
    for (int j = 0; j < frames; ++j) {
        double* o = out + static_cast<std::size_t>(j) * n;
        gains3(x[j], y[j], elevation ? elevation[j] : 0.0, layout, state, o);
        for (std::size_t ch = 0; ch < n; ++ch)
            o[ch] *= mono[j];
    }
}

// Frames a block kernel is given at a time (a whole block of the
// spatializer): the frames it leaves are numbered on the stack. Each call
// searches every arc for its first frames, so fewer, longer calls do less.
constexpr int kChunk = 1024;

// The block form: the kernel of a narrow or a wide layout, then the
// per-frame law for the frames it left.
void spread(const double* x, const double* y, const double* mono, int frames,
            const SpeakerLayout& layout, const LawState* state, double* out) {
    const VbapState& s = static_cast<const VbapState&>(*state);
    if (s.arcs.empty()) {  // a layout with height has no arcs for the kernels
        spreadByFrame(gains, x, y, mono, frames, layout, state, out);
        return;
    }
    const NarrowSpreadFn narrowKernel = s.narrow ? defaultNarrowSpread() : nullptr;
    const WideSpreadFn wideKernel = s.narrow ? nullptr : defaultWideSpread();
    const std::size_t n = static_cast<std::size_t>(layout.size());
    int left[kChunk];
    for (int done = 0; done < frames; done += kChunk) {
        const int chunk = std::min(kChunk, frames - done);
        const int count =
            narrowKernel
                ? narrowKernel(s.blockView, x + done, y + done, mono + done, chunk, out + done * n,
                               left)
                : wideKernel(s.wideView, x + done, y + done, mono + done, chunk, out + done * n,
                             left);
        for (int i = 0; i < count; ++i) {
            const int j = done + left[i];
            spreadByFrame(gains, x + j, y + j, mono + j, 1, layout, state, out + j * n);
        }
    }
}

// Loudspeakers with height whose triangles go round the listener; or at
// least two loudspeakers with a position, no two at the same azimuth.
bool supports(const SpeakerLayout& layout) {
    if (layout.hasHeight() && sphereLayout(layout))
        return true;
    std::vector<double> azimuths;
    for (const Speaker& s : layout.speakers()) {
        if (s.position)
            azimuths.push_back(radians(normalAzimuth(s.position->azimuth)));
    }
    std::sort(azimuths.begin(), azimuths.end());
    return azimuths.size() >= 2 &&
           std::adjacent_find(azimuths.begin(), azimuths.end()) == azimuths.end();
}

}  // namespace

std::optional<NarrowArcs> narrowArcs(const SpeakerLayout& layout) {
    if (layout.hasHeight() || !supports(layout))
        return std::nullopt;
    const auto state = std::static_pointer_cast<const VbapState>(prepare(layout, LawParams()));
    if (!state->narrow)
        return std::nullopt;
    return state->block;
}

std::optional<WideArcs> wideArcs(const SpeakerLayout& layout) {
    if (layout.hasHeight() || !supports(layout))
        return std::nullopt;
    const auto state = std::static_pointer_cast<const VbapState>(prepare(layout, LawParams()));
    if (state->narrow)
        return std::nullopt;
    return state->wide;
}

PanLaw vbap() {
    return {"vbap",
            "vector-base amplitude panning between the two loudspeakers around the "
            "direction (three, on a rig with height); spread over all towards the centre",
            gains,
            supports,
            prepare,
            spread,
            gains3,
            spread3,
            true};
}

}  // namespace laws
}  // namespace tarvio
