// SPDX-License-Identifier: MIT
// The portable block kernels of vbap, and the tables of the variants: of the
// narrow layouts' kernel (VbapKernelsAvx2.cpp, VbapKernelsAvx512.cpp) and of
// the wide layouts' (VbapWideKernelsAvx2.cpp, VbapWideKernelsAvx512.cpp).
#include "engine/laws/VbapKernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tarvio {
namespace laws {

namespace {

constexpr cpu::Variant<NarrowSpreadFn> kNarrowSpread[] = {
    TARVIO_VARIANT(narrowSpread, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(narrowSpread, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(narrowSpread, avx512),
#endif
};
static_assert(cpu::ordered(kNarrowSpread), "portable first, then ever wider sets");

constexpr cpu::Variant<WideSpreadFn> kWideSpread[] = {
    TARVIO_VARIANT(wideSpread, portable),
#if defined(TARVIO_HAVE_AVX2)
    TARVIO_VARIANT(wideSpread, avx2),
#endif
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(wideSpread, avx512),
#endif
};
static_assert(cpu::ordered(kWideSpread), "portable first, then ever wider sets");

constexpr double kPi = 3.14159265358979323846;
constexpr double kTurn = 2.0 * kPi;

// The arc of azimuth `theta` as the per-frame law's search finds it: the
// last arc that starts at or before it, the last arc for one before every
// start.
int arcOf(const WideLayout& layout, double theta) {
    const double* after = std::upper_bound(layout.starts, layout.starts + layout.arcs, theta);
    return after == layout.starts ? layout.arcs - 1 : static_cast<int>(after - layout.starts) - 1;
}

}  // namespace

// The operations of each frame, in the order every variant follows.
int narrowSpread_portable(const NarrowLayout& layout, const double* x, const double* y,
                          const double* mono, int frames, double* out, int* left) {
    const std::size_t n = static_cast<std::size_t>(layout.channels);
    int leftCount = 0;
    for (int j = 0; j < frames; ++j) {
        const double u = 2.0 * x[j] - 1.0;
        const double v = 2.0 * y[j] - 1.0;
        const double s = -u;
        int arc = -1;
        double ga = 0.0;
        double gb = 0.0;
        for (int k = 0; k < layout.arcs; ++k) {
            const double* row = layout.rows + 4 * k;
            const double a = row[0] * v + row[1] * s;
            const double b = row[2] * v + row[3] * s;
            if (a >= 0.0 && b >= 0.0) {
                arc = k;
                ga = a;
                gb = b;
                break;
            }
        }
        const double r = std::max(std::fabs(u), std::fabs(v));
        if (arc < 0 || !(r <= 1.0)) {
            left[leftCount++] = j;
            continue;
        }
        const double ga2 = ga * ga;
        const double gb2 = gb * gb;
        const double pair = ga2 + gb2;
        const double m = mono[j];
        double first, second, apart;
        if (r == 1.0) {
            const double q = 1.0 / std::sqrt(pair);
            first = std::fabs(ga) * q * m;
            second = std::fabs(gb) * q * m;
            apart = 0.0 * m;
        } else {
            const double r2 = r * r;
            const double spread = (1.0 - r2) * layout.share;
            const double t = pair >= kTinyPair ? r2 / pair : 0.0;
            first = std::sqrt(t * ga2 + spread) * m;
            second = std::sqrt(t * gb2 + spread) * m;
            apart = std::sqrt(spread) * m;
        }
        double* o = out + static_cast<std::size_t>(j) * n;
        for (std::size_t ch = 0; ch < n; ++ch)
            o[ch] = apart;
        for (int i = 0; i < layout.unplacedCount; ++i)
            o[layout.unplaced[i]] = 0.0 * m;
        o[layout.pairs[2 * arc]] = first;
        o[layout.pairs[2 * arc + 1]] = second;
    }
    return leftCount;
}

int spreadRest_portable(const NarrowLayout& layout, const double* x, const double* y,
                        const double* mono, int first, int frames, double* out, int* left,
                        int leftCount) {
    if (first >= frames)
        return leftCount;
    const std::size_t skipped = static_cast<std::size_t>(first);
    double* rest = out + skipped * static_cast<std::size_t>(layout.channels);
    const int more = narrowSpread_portable(layout, x + first, y + first, mono + first,
                                           frames - first, rest, left + leftCount);
    for (int k = 0; k < more; ++k)
        left[leftCount++] += first;
    return leftCount;
}

namespace {

// The decision of azimuth `theta` away from every bound.
int pairDecision(const WideLayout& layout, double theta) {
    const int arc = arcOf(layout, theta);
    if (arc != layout.gap)
        return arc;
    double mirror = kPi - theta;
    mirror = mirror < 0.0 ? mirror + kTurn : mirror;
    const int mirrorArc = arcOf(layout, mirror);
    if (mirrorArc != layout.gap)
        return layout.arcs + mirrorArc;
    double into = mirror - layout.starts[layout.gap];
    into = into < 0.0 ? into + kTurn : into;
    return 2 * layout.arcs + (into > layout.gapHalf ? 1 : 0);
}

}  // namespace

// Away from 0 and 2 pi, both bounds, the distance along the line is that
// around the turn, and the mirror's distance from an edge is the
// direction's from the mirrored edge.
int wideDecision(const WideLayout& layout, double low, double high, double theta, WideRun& last) {
    const double from = low - kWideMargin;
    const double to = high + kWideMargin;
    if (from > last.lower && to <= last.upper)
        return last.code;
    const double* end = layout.bounds + layout.boundCount;
    const double* bound = std::lower_bound(layout.bounds, end, from);
    if (bound != end && *bound < to)
        return -1;
    // The bounds are 0 and 2 pi at the ends, so a clear interval has one
    // either side.
    last.lower = bound == layout.bounds ? from : bound[-1];
    last.upper = bound == end ? to : *bound;
    last.code = pairDecision(layout, theta);
    return last.code;
}

int wideSpread_portable(const WideLayout&, const double*, const double*, const double*,
                        int frames, double*, int* left) {
    for (int j = 0; j < frames; ++j)
        left[j] = j;
    return frames;
}

cpu::VariantRows<WideSpreadFn> wideSpreadVariants() {
    return cpu::rowsOf(kWideSpread);
}

WideSpreadFn defaultWideSpread() {
    static const WideSpreadFn chosen = cpu::pick(kWideSpread).fn;
    return chosen;
}

cpu::VariantRows<NarrowSpreadFn> narrowSpreadVariants() {
    return cpu::rowsOf(kNarrowSpread);
}

NarrowSpreadFn defaultNarrowSpread() {
    static const NarrowSpreadFn chosen = cpu::pick(kNarrowSpread).fn;
    return chosen;
}

}  // namespace laws
}  // namespace tarvio
