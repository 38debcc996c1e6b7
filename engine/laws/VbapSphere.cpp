// SPDX-License-Identifier: MIT
// Vector-base amplitude panning on the sphere; see VbapSphere.h.
#include "engine/laws/VbapSphere.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libqhull_r/qhull_ra.h>
}

#include "engine/laws/Laws.h"

namespace tarvio {
namespace laws {

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;
// How far below 0 a gain of the triangle that holds a direction may fall by
// rounding, on an edge or a corner.
constexpr double kInside = 1e-9;
// A triangle whose plane passes closer than this to the listener does not
// enclose the listener: its matrix is near singular.
constexpr double kMinOffset = 1e-6;

using Vec = std::array<double, 3>;

Vec unitVector(double azimuth, double elevation) {
    const double a = azimuth * kDegree, e = elevation * kDegree;
    return {std::cos(e) * std::cos(a), std::cos(e) * std::sin(a), std::sin(e)};
}

Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double dot(const Vec& a, const Vec& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The rows of the inverse of the matrix with columns a, b, c; false for a
// matrix too near singular to invert.
bool inverseRows(const Vec& a, const Vec& b, const Vec& c, double* rows) {
    const Vec bc = cross(b, c), ca = cross(c, a), ab = cross(a, b);
    const double det = dot(a, bc);
    if (std::fabs(det) < 1e-9)
        return false;
    for (int i = 0; i < 3; ++i) {
        rows[i] = bc[i] / det;
        rows[3 + i] = ca[i] / det;
        rows[6 + i] = ab[i] / det;
    }
    return true;
}

// The triangles of the convex hull of `points` as point indices; empty when
// Qhull finds no hull (fewer than four points, all in one plane) or the hull
// leaves the listener outside or on a face.
std::vector<std::array<int, 3>> hullTriangles(const std::vector<Vec>& points) {
    std::vector<std::array<int, 3>> out;
    if (points.size() < 4)
        return out;
    std::vector<coordT> coords;
    for (const Vec& p : points)
        coords.insert(coords.end(), p.begin(), p.end());
    qhT context;
    qhT* qh = &context;
    FILE* quiet = std::fopen("/dev/null", "w");
    qh_zero(qh, quiet);
    char command[] = "qhull Qt";
    const int failed = qh_new_qhull(qh, 3, static_cast<int>(points.size()), coords.data(), False,
                                    command, nullptr, quiet);
    bool enclosed = !failed;
    facetT* facet;
    vertexT *vertex, **vertexp;
    if (enclosed) {
        FORALLfacets {
            std::array<int, 3> t{-1, -1, -1};
            int k = 0;
            FOREACHvertex_(facet->vertices) {
                if (k < 3)
                    t[k] = qh_pointid(qh, vertex->point);
                ++k;
            }
            enclosed = enclosed && k == 3 && facet->offset < -kMinOffset;
            out.push_back(t);
        }
    }
    int curlong = 0, totlong = 0;
    qh_freeqhull(qh, !qh_ALL);
    qh_memfreeshort(qh, &curlong, &totlong);
    if (quiet)
        std::fclose(quiet);
    if (!enclosed)
        out.clear();
    return out;
}

}  // namespace

std::shared_ptr<const SphereLayout> sphereLayout(const SpeakerLayout& layout) {
    auto state = std::make_shared<SphereLayout>();
    std::vector<Vec> points;
    bool above = false, below = false;
    for (int ch = 0; ch < layout.size(); ++ch) {
        if (!layout[ch].position)
            continue;
        const SpeakerPosition& p = *layout[ch].position;
        points.push_back(unitVector(p.azimuth, p.elevation));
        state->channel.push_back(ch);
        above = above || p.elevation > 0.0;
        below = below || p.elevation < 0.0;
    }
    if (points.empty())
        return nullptr;
    state->share = 1.0 / static_cast<double>(points.size());
    for (const double pole : {-90.0, 90.0}) {
        if ((pole < 0.0 && !below) || (pole > 0.0 && !above)) {
            points.push_back(unitVector(0.0, pole));
            state->channel.push_back(-1);
        }
    }
    const std::vector<std::array<int, 3>> triangles = hullTriangles(points);
    state->neighbours.resize(points.size());
    for (const std::array<int, 3>& t : triangles) {
        // A triangle of no area (which Qhull's triangulation may leave
        // between points of one plane) holds no direction of its own.
        SphereTriangle tri{{t[0], t[1], t[2]}, {}};
        if (!inverseRows(points[t[0]], points[t[1]], points[t[2]], tri.rows))
            continue;
        state->triangles.push_back(tri);
        for (int i = 0; i < 3; ++i) {
            for (int k = 0; k < 3; ++k) {
                std::vector<int>& n = state->neighbours[t[i]];
                if (k != i && state->channel[t[k]] >= 0 &&
                    std::find(n.begin(), n.end(), t[k]) == n.end())
                    n.push_back(t[k]);
            }
        }
    }
    if (state->triangles.empty())
        return nullptr;
    return state;
}

namespace {

// The triangle that holds direction p and its three gains: the first whose
// gains are all at least -kInside, else (rounding on an edge that no
// triangle takes) the one whose least gain is greatest.
const SphereTriangle& holding(const SphereLayout& s, const Vec& p, double* g) {
    const SphereTriangle* best = nullptr;
    double bestLeast = -1e300;
    for (const SphereTriangle& t : s.triangles) {
        double h[3];
        for (int i = 0; i < 3; ++i)
            h[i] = t.rows[3 * i] * p[0] + t.rows[3 * i + 1] * p[1] + t.rows[3 * i + 2] * p[2];
        const double least = std::min({h[0], h[1], h[2]});
        if (least > bestLeast) {
            bestLeast = least;
            best = &t;
            std::copy(h, h + 3, g);
        }
        if (least >= -kInside)
            break;
    }
    return *best;
}

}  // namespace

void sphereGains(double x, double y, double elevation, const SpeakerLayout& layout,
                 const LawState* state, double* gains) {
    const SphereLayout& s = static_cast<const SphereLayout&>(*state);
    const Direction d = directionOf(x, y);
    const double e = elevation * kDegree;
    const Vec p{std::cos(e) * d.cos, std::cos(e) * d.sin, std::sin(e)};
    double g[3] = {0.0, 0.0, 0.0};
    const SphereTriangle& t = holding(s, p, g);
    double sum = 0.0;
    for (double& v : g) {
        v = std::max(0.0, v);
        sum += v * v;
    }
    const double norm = sum > 0.0 ? 1.0 / std::sqrt(sum) : 0.0;
    std::fill(gains, gains + layout.size(), 0.0);
    for (int i = 0; i < 3; ++i) {
        const int point = t.corner[i];
        const double gi = g[i] * norm;
        const int ch = s.channel[point];
        if (ch >= 0) {
            gains[ch] = std::sqrt(gains[ch] * gains[ch] + gi * gi);
            continue;
        }
        // An imaginary loudspeaker's power goes to its real neighbours.
        const std::vector<int>& n = s.neighbours[point];
        const double part = gi * gi / static_cast<double>(n.size());
        for (const int k : n) {
            const int nch = s.channel[k];
            gains[nch] = std::sqrt(gains[nch] * gains[nch] + part);
        }
    }
    const double r2 = std::min(1.0, d.r * d.r);
    const double spread = (1.0 - r2) * s.share;
    for (const int ch : s.channel) {
        if (ch >= 0)
            gains[ch] = std::sqrt(r2 * gains[ch] * gains[ch] + spread);
    }
}

}  // namespace laws
}  // namespace tarvio
