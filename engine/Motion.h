// SPDX-License-Identifier: MIT
// Where a source is at each frame: by direction and distance (an orbit, a
// still source, a path of azimuths) or by a point of the square (a path of
// x and y). Every position becomes a point (x, y) of the square's
// coordinates, as the gain laws take it; a distance beyond 1 lies outside
// the square.
#ifndef TARVIO_ENGINE_MOTION_H
#define TARVIO_ENGINE_MOTION_H

#include <cstdint>
#include <istream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/BreakpointPath.h"

namespace tarvio {

// The largest distance a source may have (1 is on the loudspeakers): far
// enough for any fade into the distance, near enough that a Doppler delay
// line stays a few megabytes.
constexpr double kMaxDistance = 100.0;

// The point of the square at azimuth `azimuthDegrees` (0 front, +90 left)
// and `distance` (1 on the edge of the square): with u = 2x - 1, v = 2y - 1,
// the point has atan2(-u, v) = azimuth and max(|u|, |v|) = distance. The
// multiples of 90 and of 45 degrees give exact edge midpoints and corners.
void polarPoint(double azimuthDegrees, double distance, double& x, double& y);
// The distance of the point (x, y) from the middle: max(|2x - 1|, |2y - 1|).
double distanceOf(double x, double y);
// The azimuth of the point (x, y) in degrees, in (-180, 180]; 0 at the middle.
double azimuthOf(double x, double y);

// A circle at constant angular speed: `hz` turns per second at the start,
// sweeping linearly to `hzEnd` over the source's length (and keeping hzEnd
// after it); positive is counter-clockwise seen from above (azimuth
// increasing). A still source is an orbit of 0 Hz.
struct Orbit {
    double azimuth = 0.0;  // degrees at the start
    double hz = 0.0;
    double hzEnd = 0.0;
    double distance = 1.0;
    double elevation = 0.0;  // degrees at the start, -90..90
    // Degrees at the end of the source's length, swept linearly from
    // `elevation` (and kept after it); NaN: the same as `elevation`.
    double elevationEnd = std::numeric_limits<double>::quiet_NaN();
};

// One row of a polar path: where the source is at a moment.
struct PolarPoint {
    double seconds;
    double azimuth;    // degrees as written: 350 then 370 crosses the front
    double elevation;  // degrees, -90..90
    double distance;   // 0..kMaxDistance
};

// A path of directions and distances given at strictly increasing times,
// linear in between, holding the first row before it and the last after it.
class PolarPath {
  public:
    // Reads rows whose columns the header `columns` names ("seconds",
    // "azimuth", and optionally "elevation" and "distance", in that order);
    // `line` is the number of the header's line. Throws std::runtime_error
    // "NAME: line N: reason" as BreakpointPath::parse does.
    static PolarPath parse(std::istream& in, const std::string& name,
                           const std::vector<std::string>& columns, long line);
    const std::vector<PolarPoint>& points() const { return points_; }
    // Frame i at (firstFrame + i) / rate seconds, as BreakpointPath::fill.
    void fill(std::int64_t firstFrame, double rate, int n, double* x, double* y, double* elevation);

  private:
    explicit PolarPath(std::vector<PolarPoint> points) : points_(std::move(points)) {}
    std::vector<PolarPoint> points_;
    std::size_t cursor_ = 0;  // rows at or before the last time looked at
};

// Where one source is, frame by frame: an orbit, an xy path or a polar
// path. (The rotations around the square path are the spatializer's own.)
class Motion {
  public:
    // An orbit over a source of `seconds` seconds (the length its sweep
    // spreads over; 0 keeps hz). Throws std::invalid_argument for a
    // distance outside [0, kMaxDistance], an elevation outside [-90, 90] or
    // a value that is not finite.
    static Motion orbit(const Orbit& orbit, double seconds);
    static Motion points(BreakpointPath path);
    static Motion polar(PolarPath path);
    // Reads a path file: an optional first line names the columns,
    // "seconds x y" (also the meaning of a file without one) or "seconds
    // azimuth [elevation] [distance]". Throws std::runtime_error as
    // BreakpointPath::load does.
    static Motion load(const std::string& fileName);
    static Motion parse(std::istream& in, const std::string& name);

    // The positions of n frames, frame i at (firstFrame + i) / rate
    // seconds, from the frame number alone; allocates nothing.
    void fill(std::int64_t firstFrame, double rate, int n, double* x, double* y, double* elevation);
    // The largest distance the source reaches.
    double maxDistance() const { return maxDistance_; }
    // The xy path, when this is one.
    const BreakpointPath* xyPath() const { return xy_ ? &*xy_ : nullptr; }

  private:
    Motion() = default;
    Orbit orbit_;
    double seconds_ = 0.0;
    std::optional<BreakpointPath> xy_;
    std::optional<PolarPath> polar_;
    double maxDistance_ = 1.0;
};

// The gain of a source at a distance: 1 up to 1, and beyond it falling by
// 1/d (inverse), not at all (none) or by dB decibels per doubling.
struct DistanceLaw {
    enum class Kind { Inverse, None, Db };
    Kind kind = Kind::Inverse;
    double db = 0.0;  // per doubling, for Kind::Db
    // "inverse", "none" or a number of dB per doubling in [0, 60]; none for
    // anything else.
    static std::optional<DistanceLaw> parse(const std::string& text);
    double gain(double distance) const;
};

}  // namespace tarvio

#endif  // TARVIO_ENGINE_MOTION_H
