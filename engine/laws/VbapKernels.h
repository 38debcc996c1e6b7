// SPDX-License-Identifier: MIT
// The block kernels of vbap for layouts whose arcs are all narrower than a
// half turn (rings, 5.1, 7.1): the gains of a block of positions without an
// angle, a normalised direction or a root per loudspeaker.
//
// For the sound at (u, v) = (2x - 1, 2y - 1) the direction (v, -u) is used
// unnormalised: the pair gains ga, gb of an arc are linear in it, so their
// signs pick the arc (the first arc, in arc order, with both at least 0, as
// the per-frame law picks it) and the normalised squared gain
// ga^2 / (ga^2 + gb^2) does not depend on the length. With r = max(|u|, |v|)
// and spread = (1 - r^2) / N, the pair gets
//     g_a = sqrt(t ga^2 + spread),  g_b = sqrt(t gb^2 + spread),
//     t = r^2 / (ga^2 + gb^2),
// and every other positioned loudspeaker sqrt(spread): one division and
// three roots per frame. On the edge of the square (r = 1, where the
// rotations' points are for most of each turn) spread is 0 and this is
// g_a = |ga| / sqrt(ga^2 + gb^2), g_b likewise, the others 0: one root and
// one division. Near the middle (ga^2 + gb^2 below kTinyPair,
// hence r^2 below 2e-200, as ga^2 + gb^2 >= (u^2 + v^2) / 2) the pair's
// share is far below the last bit of spread and t is taken as 0, which also
// covers the middle itself.
//
// A frame whose position lies outside the square, or is not a number, or
// whose direction no arc takes with both gains at least 0 (rounding on the
// line of a loudspeaker) is left to the per-frame law.
//
// Every variant gives the portable kernel's bytes: each lane does the
// portable operations in the same order, with no fused multiply-add (the
// files are compiled without contraction).
#ifndef TARVIO_ENGINE_LAWS_VBAPKERNELS_H
#define TARVIO_ENGINE_LAWS_VBAPKERNELS_H

#include <optional>
#include <vector>

#include "common/Cpu.h"
#include "engine/SpeakerLayout.h"

namespace tarvio {
namespace laws {

// Below this, ga^2 + gb^2 counts as 0 (see above).
constexpr double kTinyPair = 1e-200;

// A narrow layout as the kernels read it. The arcs are sorted by azimuth:
// arc k runs from loudspeaker channel pairs[2k] (a) to pairs[2k + 1] (b),
// and rows[4k .. 4k + 3] turn a direction (c, s) into its gains,
// ga = rows[4k] c + rows[4k + 1] s and gb = rows[4k + 2] c + rows[4k + 3] s.
struct NarrowLayout {
    const double* rows;
    const int* pairs;
    const int* unplaced;  // the channels without a position (LFE): 0 times the sample
    int unplacedCount;
    int arcs;      // the positioned loudspeakers, 3 or more
    int channels;  // samples of an output frame
    double share;  // 1 / arcs
    bool spaced;   // every arc is wider than kMinHintWidth (see VbapKernelsAvx512.cpp)
};

// Arcs at least this wide (radians) let a kernel try the arc of the frames
// before first.
constexpr double kMinHintWidth = 1e-9;

// The arcs of a narrow layout, owned, as vbap works them out.
struct NarrowArcs {
    std::vector<double> rows;
    std::vector<int> pairs;
    std::vector<int> unplaced;
    int channels = 0;
    bool spaced = false;
    NarrowLayout view() const {
        return {rows.data(),
                pairs.data(),
                unplaced.data(),
                static_cast<int>(unplaced.size()),
                static_cast<int>(pairs.size() / 2),
                channels,
                1.0 / static_cast<double>(pairs.size() / 2),
                spaced};
    }
};
// The arcs of `layout` for the kernels; none for a layout vbap does not fit
// or one with an arc of a half turn or more. (In Vbap.cpp, with the law.)
std::optional<NarrowArcs> narrowArcs(const SpeakerLayout& layout);

// Spreads `frames` frames at positions (x[j], y[j]) with mono samples
// mono[j] into `out` (frame j at out + j * channels): the pair's gains and
// sqrt(spread) for every other positioned loudspeaker, times the sample.
// Returns how many frames it left to the per-frame law and writes their
// numbers, in increasing order, to left[]; their output frames hold
// nothing of use.
using NarrowSpreadFn = int (*)(const NarrowLayout& layout, const double* x, const double* y,
                               const double* mono, int frames, double* out, int* left);

// The variants, portable first (see common/Cpu.h); those of each
// instruction set are in its file, VbapKernelsAvx2.cpp and
// VbapKernelsAvx512.cpp.
cpu::VariantRows<NarrowSpreadFn> narrowSpreadVariants();
// The last row this processor runs, chosen once.
NarrowSpreadFn defaultNarrowSpread();

int narrowSpread_portable(const NarrowLayout& layout, const double* x, const double* y,
                          const double* mono, int frames, double* out, int* left);
// The frames from `first` to `frames` by the portable kernel, for a vector
// kernel that stops at its last whole group and has left `leftCount`
// frames so far: those it leaves are added to left[] by their number in
// the whole call. Returns the new count.
int spreadRest_portable(const NarrowLayout& layout, const double* x, const double* y,
                        const double* mono, int first, int frames, double* out, int* left,
                        int leftCount);
// A layout with an arc of a half turn or more (stereo, a ring of two, a
// front arc from a file), as the kernels of the wide layouts read it: for
// these the per-frame law picks the arc by the azimuth of the direction
// (an atan2), mirrors a direction in the gap front to back, and gives the
// gap's nearer loudspeaker all of a direction whose mirror falls in it too.
// The kernels take the same decisions from an azimuth within 1.2e-5
// radians of atan2's (a polynomial and one division), and leave to the
// per-frame law every frame whose azimuth, or its mirror's, lies within
// kWideMargin of an edge where a decision changes; the gains then come
// from the per-frame law's own operations in its order, so the bytes are
// the same.
struct WideLayout {
    const double* starts;           // azimuth of each arc's first loudspeaker, increasing
    const double* rows;             // as in NarrowLayout; of the half turns, the first two
    const int* pairs;               // as in NarrowLayout
    const unsigned char* halfTurn;  // per arc: a half turn, panned by the angle from a
    const double* edges;            // the starts, the middle of the gap, and 0
    int edgeCount;
    // Where the decisions of a direction or of its mirror change, as
    // azimuths of the direction: the edges, pi less each edge, 0 and 2 pi;
    // increasing, in [0, 2 pi].
    const double* bounds;
    int boundCount;
    const int* unplaced;  // the channels without a position (LFE)
    int unplacedCount;
    int arcs;        // the positioned loudspeakers, 2 or more
    int channels;    // samples of an output frame
    double share;    // 1 / arcs
    int gap;         // the arc of more than a half turn, or -1
    double gapHalf;  // half the width of that arc
};

// Radians from an edge within which a wide kernel leaves a frame: about
// eight times the error of its azimuth.
constexpr double kWideMargin = 1e-4;

// The arcs of a wide layout, owned, as vbap works them out.
struct WideArcs {
    std::vector<double> starts;
    std::vector<double> rows;
    std::vector<int> pairs;
    std::vector<unsigned char> halfTurn;
    std::vector<double> edges;
    std::vector<double> bounds;
    std::vector<int> unplaced;
    int channels = 0;
    int gap = -1;
    double gapHalf = 0.0;
    WideLayout view() const {
        return {starts.data(),
                rows.data(),
                pairs.data(),
                halfTurn.data(),
                edges.data(),
                static_cast<int>(edges.size()),
                bounds.data(),
                static_cast<int>(bounds.size()),
                unplaced.data(),
                static_cast<int>(unplaced.size()),
                static_cast<int>(starts.size()),
                channels,
                1.0 / static_cast<double>(starts.size()),
                gap,
                gapHalf};
    }
};
// The arcs of `layout` for the wide kernels; none for a layout vbap does
// not fit or a narrow one. (In Vbap.cpp, with the law.)
std::optional<WideArcs> wideArcs(const SpeakerLayout& layout);

// The decision of a group of frames inside the square whose approximate
// azimuths lie in [low, high], that of `theta` among them: the arc k of
// the direction; arcs + k for the arc k of its mirror; 2 arcs for the
// gap's first loudspeaker and 2 arcs + 1 for its second. -1 where a bound
// lies within kWideMargin of the interval: there the frames may decide
// otherwise than one another, or than atan2 would. The decision is the
// same between two neighbouring bounds: `last` keeps those around the
// last group decided and its decision, for the next group to take without
// a search when it lies between them too.
struct WideRun {
    double lower = 1.0;  // none yet: no interval lies above 1 and below 0
    double upper = 0.0;
    int code = -1;
};
int wideDecision(const WideLayout& layout, double low, double high, double theta, WideRun& last);

// As NarrowSpreadFn, for a wide layout.
using WideSpreadFn = int (*)(const WideLayout& layout, const double* x, const double* y,
                             const double* mono, int frames, double* out, int* left);
cpu::VariantRows<WideSpreadFn> wideSpreadVariants();
WideSpreadFn defaultWideSpread();
// Leaves every frame to the per-frame law.
int wideSpread_portable(const WideLayout& layout, const double* x, const double* y,
                        const double* mono, int frames, double* out, int* left);
#if defined(TARVIO_HAVE_AVX2)
// Four frames per vector; a group of four is left whole when its frames do
// not all take the same decisions.
int wideSpread_avx2(const WideLayout& layout, const double* x, const double* y,
                    const double* mono, int frames, double* out, int* left);
#endif
#if defined(TARVIO_HAVE_AVX512)
// Eight frames per vector; a group of eight is left whole when its frames
// do not all take the same decisions.
int wideSpread_avx512(const WideLayout& layout, const double* x, const double* y,
                      const double* mono, int frames, double* out, int* left);
#endif

#if defined(TARVIO_HAVE_AVX2)
// Four frames per vector.
int narrowSpread_avx2(const NarrowLayout& layout, const double* x, const double* y,
                      const double* mono, int frames, double* out, int* left);
#endif
#if defined(TARVIO_HAVE_AVX512)
// Eight frames per vector.
int narrowSpread_avx512(const NarrowLayout& layout, const double* x, const double* y,
                        const double* mono, int frames, double* out, int* left);
#endif

}  // namespace laws
}  // namespace tarvio

#endif  // TARVIO_ENGINE_LAWS_VBAPKERNELS_H
