// SPDX-License-Identifier: MIT

#include "engine/Motion.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "engine/TextLines.h"

namespace tarvio {

namespace {

constexpr double kPi = 3.14159265358979323846;

// sin and cos of x for |x| <= pi/4, by their Taylor series to x^15 and
// x^16: the first term left out is below 5e-17, within rounding of a
// double, and the series costs a fraction of the library's calls.
void sinCosQuarter(double x, double& s, double& c) {
    // The coefficients from the highest power down, in powers of x^2.
    constexpr double kSin[] = {
        -1.0 / 1307674368000.0, 1.0 / 6227020800.0, -1.0 / 39916800.0, 1.0 / 362880.0,
        -1.0 / 5040.0,          1.0 / 120.0,        -1.0 / 6.0,        1.0};
    constexpr double kCos[] = {1.0 / 20922789888000.0,
                               -1.0 / 87178291200.0,
                               1.0 / 479001600.0,
                               -1.0 / 3628800.0,
                               1.0 / 40320.0,
                               -1.0 / 720.0,
                               1.0 / 24.0,
                               -1.0 / 2.0,
                               1.0};
    const double x2 = x * x;
    double ps = 0.0;
    for (double k : kSin)
        ps = ps * x2 + k;
    double pc = 0.0;
    for (double k : kCos)
        pc = pc * x2 + k;
    s = x * ps;
    c = pc;
}

// sin and cos of an angle in degrees, reduced to within 45 degrees of a
// multiple of 90 first, so that the multiples of 90 give exact 0 and 1.
// The nearest quarter is found by conversion to an integer, which costs
// less than the library's rounding where the processor has no instruction
// for it.
void sinCosDegrees(double degrees, double& s, double& c) {
    const double quarters = degrees / 90.0;
    if (!(std::fabs(quarters) < 1e15)) {
        s = 0.0;  // no angle to speak of: the front
        c = 1.0;
        return;
    }
    const std::int64_t k = static_cast<std::int64_t>(quarters + (quarters < 0.0 ? -0.5 : 0.5));
    const double part = quarters - static_cast<double>(k);  // in [-0.5, 0.5]
    double rs = 0.0;
    double rc = 1.0;
    // Halfway between two quarters sine and cosine are equal, exactly: the
    // point is a corner.
    if (std::fabs(part) == 0.5) {
        rc = std::sqrt(0.5);
        rs = std::copysign(rc, part);
    } else {
        sinCosQuarter(part * (kPi / 2.0), rs, rc);
    }
    switch (k & 3) {
        case 0:
            s = rs;
            c = rc;
            break;
        case 1:
            s = rc;
            c = -rs;
            break;
        case 2:
            s = -rs;
            c = -rc;
            break;
        default:
            s = -rc;
            c = rs;
            break;
    }
}

std::runtime_error columnsError(const std::string& name, long line) {
    return text::lineError(name, line,
                           "unknown columns; expected \"seconds x y\" or \"seconds azimuth "
                           "[elevation] [distance]\"");
}

// The places of elevation and distance in a polar row (-1: absent), from
// the header's names.
void polarColumns(const std::vector<std::string>& columns, const std::string& name, long line,
                  int& elevation, int& distance) {
    elevation = distance = -1;
    std::size_t k = 2;
    if (k < columns.size() && columns[k] == "elevation")
        elevation = static_cast<int>(k++);
    if (k < columns.size() && columns[k] == "distance")
        distance = static_cast<int>(k++);
    if (k != columns.size())
        throw columnsError(name, line);
}

void checkRange(double v, double lo, double hi, const char* what, const std::string& field,
                const std::string& name, long line) {
    if (!(v >= lo && v <= hi)) {
        std::ostringstream range;
        range << what << " must lie in [" << lo << ", " << hi << "], got " << field;
        throw text::lineError(name, line, range.str());
    }
}

}  // namespace

void polarPoint(double azimuthDegrees, double distance, double& x, double& y) {
    double s = 0.0;
    double c = 1.0;
    sinCosDegrees(azimuthDegrees, s, c);
    const double scale = distance / std::max(std::fabs(s), std::fabs(c));
    x = 0.5 * (1.0 - s * scale);
    y = 0.5 * (1.0 + c * scale);
}

double distanceOf(double x, double y) {
    return std::max(std::fabs(2.0 * x - 1.0), std::fabs(2.0 * y - 1.0));
}

double azimuthOf(double x, double y) {
    const double u = 2.0 * x - 1.0;
    const double v = 2.0 * y - 1.0;
    if (u == 0.0 && v == 0.0)
        return 0.0;
    return std::atan2(-u, v) * (180.0 / kPi);
}

PolarPath PolarPath::parse(std::istream& in, const std::string& name,
                           const std::vector<std::string>& columns, long line) {
    int elevationAt = -1;
    int distanceAt = -1;
    polarColumns(columns, name, line, elevationAt, distanceAt);
    std::vector<PolarPoint> points;
    std::string textLine;
    std::string lastTime;
    errno = 0;
    while (std::getline(in, textLine)) {
        ++line;
        const std::vector<std::string> f = text::fields(std::move(textLine));
        if (f.empty())
            continue;
        if (f.size() != columns.size())
            throw text::lineError(name, line,
                                  "expected " + std::to_string(columns.size()) + " numbers, got " +
                                      std::to_string(f.size()));
        PolarPoint p{text::number(f[0], name, line), text::number(f[1], name, line), 0.0, 1.0};
        if (elevationAt > 0) {
            p.elevation = text::number(f[elevationAt], name, line);
            checkRange(p.elevation, -90.0, 90.0, "elevation", f[elevationAt], name, line);
        }
        if (distanceAt > 0) {
            p.distance = text::number(f[distanceAt], name, line);
            checkRange(p.distance, 0.0, kMaxDistance, "distance", f[distanceAt], name, line);
        }
        if (!points.empty() && !(p.seconds > points.back().seconds))
            throw text::lineError(name, line,
                                  "times must increase (" + f[0] + " after " + lastTime + ")");
        points.push_back(p);
        lastTime = f[0];
        errno = 0;
    }
    if (in.bad())
        throw std::runtime_error(name + ": cannot read");
    if (points.empty())
        throw std::runtime_error(name + ": no points");
    return PolarPath(std::move(points));
}

void PolarPath::fill(std::int64_t firstFrame, double rate, int n, double* x, double* y,
                     double* elevation) {
    const std::size_t count = points_.size();
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(firstFrame + i) / rate;
        if (cursor_ > 0 && !(points_[cursor_ - 1].seconds <= t))
            cursor_ = 0;
        while (cursor_ < count && points_[cursor_].seconds <= t)
            ++cursor_;
        const PolarPoint& a = points_[cursor_ == 0 ? 0 : cursor_ - 1];
        const PolarPoint& b = points_[cursor_ == count ? count - 1 : cursor_];
        const double f =
            cursor_ == 0 || cursor_ == count ? 0.0 : (t - a.seconds) / (b.seconds - a.seconds);
        polarPoint(a.azimuth + (b.azimuth - a.azimuth) * f,
                   a.distance + (b.distance - a.distance) * f, x[i], y[i]);
        elevation[i] = a.elevation + (b.elevation - a.elevation) * f;
    }
}

Motion Motion::orbit(const Orbit& orbit, double seconds) {
    const double values[] = {orbit.azimuth,  orbit.hz,        orbit.hzEnd,
                             orbit.distance, orbit.elevation, seconds};
    for (double v : values)
        if (!std::isfinite(v))
            throw std::invalid_argument("an orbit needs finite values");
    if (!(orbit.distance >= 0.0 && orbit.distance <= kMaxDistance))
        throw std::invalid_argument("the distance must lie in [0, 100]");
    if (!(orbit.elevation >= -90.0 && orbit.elevation <= 90.0))
        throw std::invalid_argument("the elevation must lie in [-90, 90]");
    if (!std::isnan(orbit.elevationEnd) &&
        !(orbit.elevationEnd >= -90.0 && orbit.elevationEnd <= 90.0))
        throw std::invalid_argument("the elevation must lie in [-90, 90]");
    Motion m;
    m.orbit_ = orbit;
    if (std::isnan(m.orbit_.elevationEnd))
        m.orbit_.elevationEnd = orbit.elevation;
    m.seconds_ = std::max(seconds, 0.0);
    m.maxDistance_ = orbit.distance;
    return m;
}

Motion Motion::points(BreakpointPath path) {
    Motion m;
    m.xy_.emplace(std::move(path));
    return m;
}

Motion Motion::polar(PolarPath path) {
    Motion m;
    m.maxDistance_ = 0.0;
    for (const PolarPoint& p : path.points())
        m.maxDistance_ = std::max(m.maxDistance_, p.distance);
    m.polar_.emplace(std::move(path));
    return m;
}

Motion Motion::load(const std::string& fileName) {
    std::istringstream in(text::readFile(fileName, BreakpointPath::kMaxFileBytes, "a path file"));
    return parse(in, fileName);
}

Motion Motion::parse(std::istream& in, const std::string& name) {
    // The first line with fields decides: a header of names, or a point.
    std::string textLine;
    long line = 0;
    std::vector<std::string> first;
    std::streampos start = in.tellg();
    while (first.empty() && std::getline(in, textLine)) {
        ++line;
        first = text::fields(std::move(textLine));
    }
    if (!first.empty() && first[0] == "seconds" && first.size() >= 2 && first[1] == "azimuth")
        return polar(PolarPath::parse(in, name, first, line));
    if (!first.empty() && first[0] == "seconds" &&
        first != std::vector<std::string>{"seconds", "x", "y"})
        throw columnsError(name, line);
    in.clear();
    in.seekg(start);
    return points(BreakpointPath::parse(in, name));
}

void Motion::fill(std::int64_t firstFrame, double rate, int n, double* x, double* y,
                  double* elevation) {
    if (xy_) {
        xy_->fill(firstFrame, rate, n, x, y);
        std::fill(elevation, elevation + n, 0.0);
        return;
    }
    if (polar_) {
        polar_->fill(firstFrame, rate, n, x, y, elevation);
        return;
    }
    // a(t) = a0 + 360 (hz0 t + (hz1 - hz0) t^2 / (2 T)) up to T, then on at
    // hz1; the whole turns are dropped before the degrees are formed. (Past
    // 9e18 turns, far beyond any file, the conversion would not hold.)
    const double hz0 = orbit_.hz;
    const double hz1 = orbit_.hzEnd;
    const double T = seconds_;
    const double turnsAtEnd = T > 0.0 ? (hz0 + hz1) * T / 2.0 : 0.0;
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(firstFrame + i) / rate;
        double turns = 0.0;
        if (T <= 0.0)
            turns = hz0 * t;
        else if (t <= T)
            turns = hz0 * t + (hz1 - hz0) * t * t / (2.0 * T);
        else
            turns = turnsAtEnd + hz1 * (t - T);
        turns -= static_cast<double>(static_cast<std::int64_t>(turns));  // |turns| < 1
        polarPoint(orbit_.azimuth + 360.0 * turns, orbit_.distance, x[i], y[i]);
        const double along = T > 0.0 ? std::min(t / T, 1.0) : 1.0;
        elevation[i] = orbit_.elevation + (orbit_.elevationEnd - orbit_.elevation) * along;
    }
}

std::optional<DistanceLaw> DistanceLaw::parse(const std::string& text) {
    DistanceLaw law;
    if (text == "inverse")
        return law;
    if (text == "none") {
        law.kind = Kind::None;
        return law;
    }
    const std::optional<double> db = text::finiteNumber(text);
    if (!db || *db < 0.0 || *db > 60.0)
        return std::nullopt;
    law.kind = Kind::Db;
    law.db = *db;
    return law;
}

double DistanceLaw::gain(double distance) const {
    if (!(distance > 1.0) || kind == Kind::None)
        return 1.0;
    if (kind == Kind::Inverse)
        return 1.0 / distance;
    return std::pow(10.0, -db * std::log2(distance) / 20.0);
}

}  // namespace tarvio
