// SPDX-License-Identifier: MIT
// The portable block kernel of vbap on the sphere and the table of its
// variants (VbapSphereKernelsAvx512.cpp). Every step is the per-frame law's
// (VbapSphere.cpp) in its order, done lane by lane on arrays of eight; the
// per-frame law's branches become selects between values computed the same
// way.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "engine/laws/VbapSphereKernels.h"

namespace tarvio {
namespace laws {

namespace {

constexpr cpu::Variant<SphereLanesFn> kSphereLanesTable[] = {
    TARVIO_VARIANT(sphereLanes, portable),
#if defined(TARVIO_HAVE_AVX512)
    TARVIO_VARIANT(sphereLanes, avx512),
#endif
};
static_assert(cpu::ordered(kSphereLanesTable), "portable first, then ever wider sets");

constexpr int kLanes = kSphereLanes;
using Lanes = double[kLanes];

// The gains of the lanes' directions p in triangle t, and whether every
// lane's least gain is at least -kSphereInside (`inside`) or every lane's is
// below it (!inside).
bool allOnOneSide(const SphereTriangle& t, const Lanes* p, Lanes* h, bool inside) {
    bool all = true;
    for (int l = 0; l < kLanes; ++l) {
        double least = 0.0;
        for (int i = 0; i < 3; ++i) {
            h[i][l] = t.rows[3 * i] * p[0][l] + t.rows[3 * i + 1] * p[1][l] +
                      t.rows[3 * i + 2] * p[2][l];
            least = i == 0 ? h[i][l] : std::min(least, h[i][l]);
        }
        all = all && ((least >= -kSphereInside) == inside);
    }
    return all;
}

// The directions of the lanes' points on the square and their distances.
void directions(const double* x, const double* y, double cosE, double sinE, Lanes* p, Lanes& r) {
    for (int l = 0; l < kLanes; ++l) {
        const double u = 2.0 * x[l] - 1.0;
        const double v = 2.0 * y[l] - 1.0;
        const double length = std::sqrt(u * u + v * v);
        const double c = length > 0.0 ? v / length : 1.0;
        const double s = length > 0.0 ? -u / length : 0.0;
        r[l] = std::max(std::fabs(u), std::fabs(v));
        p[0][l] = cosE * c;
        p[1][l] = cosE * s;
        p[2][l] = sinE;
    }
}

// The gains of corner `point` of the triangle, `gi` each lane, into `gains`
// ([channel][lane]): its own channel, or an imaginary loudspeaker's power
// shared among its neighbours.
void addCorner(const SphereLayout& s, int point, const Lanes& gi, Lanes* gains) {
    const int ch = s.channel[point];
    if (ch >= 0) {
        for (int l = 0; l < kLanes; ++l) {
            const double had = gains[ch][l];
            const double root = std::sqrt(had * had + gi[l] * gi[l]);
            gains[ch][l] = had == 0.0 ? rootOfSquare(gi[l]) : root;
        }
        return;
    }
    const std::vector<int>& n = s.neighbours[point];
    const double count = static_cast<double>(n.size());
    Lanes part, partRoot;
    for (int l = 0; l < kLanes; ++l) {
        part[l] = gi[l] * gi[l] / count;
        partRoot[l] = std::sqrt(part[l]);
    }
    for (const int k : n) {
        double* g = gains[s.channel[k]];
        for (int l = 0; l < kLanes; ++l) {
            const double square = g[l] * g[l];
            const double root = std::sqrt(square + part[l]);
            const bool grows =
                square + part[l] != square || square < std::numeric_limits<double>::min();
            g[l] = g[l] == 0.0 ? partRoot[l] : grows ? root : g[l];
        }
    }
}

// Towards the middle (r < 1) every loudspeaker takes a share.
void spreadInward(const SphereLayout& s, const Lanes& r, Lanes* gains) {
    Lanes r2, spread;
    for (int l = 0; l < kLanes; ++l) {
        r2[l] = std::min(1.0, r[l] * r[l]);
        spread[l] = (1.0 - r2[l]) * s.share;
    }
    for (const int ch : s.channel) {
        if (ch < 0)
            continue;
        for (int l = 0; l < kLanes; ++l) {
            const double g = gains[ch][l];
            const double full = std::sqrt(r2[l] * g * g + spread[l]);
            gains[ch][l] = r2[l] == 1.0 && spread[l] == 0.0 ? rootOfSquare(g) : full;
        }
    }
}

}  // namespace

bool sphereLanes_portable(const SphereLayout& s, int triangle, const double* x, const double* y,
                          double cosE, double sinE, const double* mono, int channels,
                          double* out) {
    if (channels > kMaxSpeakers)
        return false;
    Lanes p[3], r, h[3], other[3];
    directions(x, y, cosE, sinE, p, r);
    const SphereTriangle& t = s.triangles[static_cast<std::size_t>(triangle)];
    if (!allOnOneSide(t, p, h, true))
        return false;
    for (const int rival : s.rivals[static_cast<std::size_t>(triangle)]) {
        if (!allOnOneSide(s.triangles[static_cast<std::size_t>(rival)], p, other, false))
            return false;
    }
    Lanes norm;
    for (int l = 0; l < kLanes; ++l) {
        double sum = 0.0;
        for (int i = 0; i < 3; ++i) {
            h[i][l] = std::max(0.0, h[i][l]);
            sum += h[i][l] * h[i][l];
        }
        norm[l] = sum > 0.0 ? 1.0 / std::sqrt(sum) : 0.0;
    }
    double gains[kMaxSpeakers][kLanes];
    for (int ch = 0; ch < channels; ++ch)
        std::fill(gains[ch], gains[ch] + kLanes, 0.0);
    for (int i = 0; i < 3; ++i) {
        Lanes gi;
        for (int l = 0; l < kLanes; ++l)
            gi[l] = h[i][l] * norm[l];
        addCorner(s, t.corner[i], gi, gains);
    }
    spreadInward(s, r, gains);
    for (int l = 0; l < kLanes; ++l) {
        double* o = out + static_cast<std::size_t>(l) * static_cast<std::size_t>(channels);
        for (int ch = 0; ch < channels; ++ch)
            o[ch] = gains[ch][l] * mono[l];
    }
    return true;
}

cpu::VariantRows<SphereLanesFn> sphereLanesVariants() {
    return cpu::rowsOf(kSphereLanesTable);
}

SphereLanesFn defaultSphereLanes() {
    static const SphereLanesFn chosen = cpu::pick(kSphereLanesTable).fn;
    return chosen;
}

}  // namespace laws
}  // namespace tarvio
