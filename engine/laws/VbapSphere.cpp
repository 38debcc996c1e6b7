// SPDX-License-Identifier: MIT
// Vector-base amplitude panning on the sphere; see VbapSphere.h.
#include "engine/laws/VbapSphere.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

extern "C" {
#include <libqhull_r/qhull_ra.h>
}

#include "engine/laws/Laws.h"
#include "engine/laws/VbapSphereKernels.h"

namespace tarvio {
namespace laws {

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;
constexpr double kInside = kSphereInside;
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

// The largest length of a row of the inverse: how fast a gain can change
// with the direction.
double steepest(const SphereTriangle& t) {
    double most = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double* row = t.rows + 3 * i;
        most = std::max(most, std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]));
    }
    return most;
}

// Whether one gain of triangle t is below -margin at every corner of u.
bool cutOff(const SphereTriangle& t, const SphereTriangle& u, const std::vector<Vec>& points,
            double margin) {
    for (int i = 0; i < 3; ++i) {
        const double* row = t.rows + 3 * i;
        bool below = true;
        for (int k = 0; k < 3 && below; ++k)
            below = dot({row[0], row[1], row[2]}, points[u.corner[k]]) < -margin;
        if (below)
            return true;
    }
    return false;
}

// SphereLayout::rivals. A direction p that triangle c holds has gains
// h >= -kInside there, so p = sum of h_k times c's corners, with a sum of
// the positive h_k of at least 1 - 3 kInside. Where gain i of triangle j
// is below -M at every corner of c, it is below -M (1 - 3 kInside) +
// 3 kInside R at p (R: the length of the steepest row of any inverse),
// and below -kInside for the margin M below, rounding included: j cannot
// hold p. The same holds with c and j swapped. Any other earlier triangle
// is a rival.
void setRivals(SphereLayout& s, const std::vector<Vec>& points) {
    constexpr double kRounding = 1e-14;
    double most = 0.0;
    for (const SphereTriangle& t : s.triangles)
        most = std::max(most, steepest(t));
    const double slack = kInside + kRounding * most;
    const double margin =
        3.0 * slack < 0.5 ? 2.0 * (slack + 3.0 * slack * most + kRounding * most) / (1.0 - 3.0 * slack)
                          : std::numeric_limits<double>::infinity();
    s.rivals.assign(s.triangles.size(), {});
    for (std::size_t c = 0; c < s.triangles.size(); ++c) {
        for (std::size_t j = 0; j < c; ++j) {
            const SphereTriangle &tc = s.triangles[c], &tj = s.triangles[j];
            if (!cutOff(tj, tc, points, margin) && !cutOff(tc, tj, points, margin))
                s.rivals[c].push_back(static_cast<int>(j));
        }
    }
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
    setRivals(*state, points);
    return state;
}

namespace {

// The gains of direction p in triangle t.
void gainsIn(const SphereTriangle& t, const Vec& p, double* h) {
    for (int i = 0; i < 3; ++i)
        h[i] = t.rows[3 * i] * p[0] + t.rows[3 * i + 1] * p[1] + t.rows[3 * i + 2] * p[2];
}

double least(const double* h) {
    return std::min({h[0], h[1], h[2]});
}

// The index of the triangle that holds direction p and its three gains:
// the first whose gains are all at least -kInside, else (rounding on an
// edge that no triangle takes) the one whose least gain is greatest.
int holding(const SphereLayout& s, const Vec& p, double* g) {
    int best = 0;
    double bestLeast = -1e300;
    for (std::size_t t = 0; t < s.triangles.size(); ++t) {
        double h[3];
        gainsIn(s.triangles[t], p, h);
        const double l = least(h);
        if (l > bestLeast) {
            bestLeast = l;
            best = static_cast<int>(t);
            std::copy(h, h + 3, g);
        }
        if (l >= -kInside)
            break;
    }
    return best;
}

// holding(), trying triangle `last` (-1: none) first: where it holds p and
// none of its rivals does, it is the triangle the search would find, with
// the same gains.
int holdingNear(const SphereLayout& s, int last, const Vec& p, double* g) {
    if (last >= 0) {
        gainsIn(s.triangles[last], p, g);
        bool alone = least(g) >= -kInside;
        for (std::size_t k = 0; alone && k < s.rivals[last].size(); ++k) {
            double h[3];
            gainsIn(s.triangles[s.rivals[last][k]], p, h);
            alone = least(h) < -kInside;
        }
        if (alone)
            return last;
    }
    return holding(s, p, g);
}

// The direction of (x, y) on the square at the elevation whose cosine and
// sine are given.
Vec directionAt(double x, double y, double cosE, double sinE, double* r) {
    const Direction d = directionOf(x, y);
    *r = d.r;
    return {cosE * d.cos, cosE * d.sin, sinE};
}

// The layout's gains from the gains g of p in triangle t, for a sound at
// distance r on the square.
void placeGains(const SphereLayout& s, const SphereTriangle& t, double* g, double r, int size,
                double* gains) {
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        g[i] = std::max(0.0, g[i]);
        sum += g[i] * g[i];
    }
    const double norm = sum > 0.0 ? 1.0 / std::sqrt(sum) : 0.0;
    std::fill(gains, gains + size, 0.0);
    for (int i = 0; i < 3; ++i) {
        const int point = t.corner[i];
        const double gi = g[i] * norm;
        const int ch = s.channel[point];
        if (ch >= 0) {
            gains[ch] = gains[ch] == 0.0 ? rootOfSquare(gi)
                                         : std::sqrt(gains[ch] * gains[ch] + gi * gi);
            continue;
        }
        // An imaginary loudspeaker's power goes to its real neighbours.
        // A part too small to change a square leaves its root as it was;
        // the loudspeakers that had nothing all get the part's root.
        const std::vector<int>& n = s.neighbours[point];
        const double part = gi * gi / static_cast<double>(n.size());
        const double partRoot = std::sqrt(part);
        for (const int k : n) {
            const int nch = s.channel[k];
            const double square = gains[nch] * gains[nch];
            if (gains[nch] == 0.0)
                gains[nch] = partRoot;
            else if (square + part != square || square < std::numeric_limits<double>::min())
                gains[nch] = std::sqrt(square + part);
        }
    }
    const double r2 = std::min(1.0, r * r);
    const double spread = (1.0 - r2) * s.share;
    if (r2 == 1.0 && spread == 0.0) {  // on the edge: each gain the root of its square
        for (const int ch : s.channel) {
            if (ch >= 0)
                gains[ch] = rootOfSquare(gains[ch]);
        }
        return;
    }
    for (const int ch : s.channel) {
        if (ch >= 0)
            gains[ch] = std::sqrt(r2 * gains[ch] * gains[ch] + spread);
    }
}

}  // namespace

void sphereGains(double x, double y, double elevation, const SpeakerLayout& layout,
                 const LawState* state, double* gains) {
    const SphereLayout& s = static_cast<const SphereLayout&>(*state);
    const double e = elevation * kDegree;
    double r = 0.0;
    const Vec p = directionAt(x, y, std::cos(e), std::sin(e), &r);
    double g[3] = {0.0, 0.0, 0.0};
    const int t = holding(s, p, g);
    placeGains(s, s.triangles[t], g, r, layout.size(), gains);
}

namespace {

// Whether the next kSphereLanes elevations (null: all 0) are all `e`, to
// the bit.
bool sameElevation(const double* elevation, double e) {
    for (int k = 0; k < kSphereLanes; ++k) {
        const double v = elevation ? elevation[k] : 0.0;
        if (v != e || std::signbit(v) != std::signbit(e))
            return false;
    }
    return true;
}

}  // namespace

void sphereSpread(const double* x, const double* y, const double* elevation, const double* mono,
                  int frames, const SpeakerLayout& layout, const LawState* state, double* out) {
    const SphereLayout& s = static_cast<const SphereLayout&>(*state);
    const std::size_t n = static_cast<std::size_t>(layout.size());
    const SphereLanesFn lanes = defaultSphereLanes();
    int last = -1;
    // The cosine and sine of the last elevation, worked out again only when
    // it changes.
    double lastElevation = 0.0, cosE = std::cos(0.0), sinE = std::sin(0.0);
    for (int j = 0; j < frames; ++j) {
        if (last >= 0 && frames - j >= kSphereLanes &&
            sameElevation(elevation ? elevation + j : nullptr, lastElevation) &&
            lanes(s, last, x + j, y + j, cosE, sinE, mono + j, static_cast<int>(n),
                        out + static_cast<std::size_t>(j) * n)) {
            j += kSphereLanes - 1;
            continue;
        }
        const double elev = elevation ? elevation[j] : 0.0;
        if (elev != lastElevation || std::signbit(elev) != std::signbit(lastElevation)) {
            const double e = elev * kDegree;
            cosE = std::cos(e);
            sinE = std::sin(e);
            lastElevation = elev;
        }
        double r = 0.0;
        const Vec p = directionAt(x[j], y[j], cosE, sinE, &r);
        double g[3];
        last = holdingNear(s, last, p, g);
        double* o = out + static_cast<std::size_t>(j) * n;
        placeGains(s, s.triangles[last], g, r, layout.size(), o);
        for (std::size_t ch = 0; ch < n; ++ch)
            o[ch] *= mono[j];
    }
}

}  // namespace laws
}  // namespace tarvio
