// SPDX-License-Identifier: MIT

#include "engine/BreakpointPath.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "engine/TextLines.h"

namespace tarvio {

namespace {

using text::fields;
using text::lineError;
using text::number;

void checkUnit(double v, const char* axis, const std::string& field, const std::string& name,
               long line) {
    if (!(v >= 0.0 && v <= 1.0))
        throw lineError(name, line, std::string(axis) + " must lie in [0, 1], got " + field);
}

}  // namespace

BreakpointPath BreakpointPath::load(const std::string& fileName) {
    std::istringstream in(text::readFile(fileName, kMaxFileBytes, "a path file"));
    return parse(in, fileName);
}

BreakpointPath BreakpointPath::parse(std::istream& in, const std::string& name) {
    std::vector<Breakpoint> points;
    std::string text;
    std::string lastTime;  // the previous point's time as written, for messages
    long line = 0;
    bool first = true;  // no line with fields yet: it may name the columns
    errno = 0;
    while (std::getline(in, text)) {
        ++line;
        std::vector<std::string> f = fields(std::move(text));
        if (f.empty()) {
            errno = 0;
            continue;
        }
        if (std::exchange(first, false) && f == std::vector<std::string>{"seconds", "x", "y"})
            continue;
        if (f.size() != 3)
            throw lineError(
                name, line,
                "expected three numbers \"seconds x y\", got " + std::to_string(f.size()));
        Breakpoint p{number(f[0], name, line), number(f[1], name, line), number(f[2], name, line)};
        checkUnit(p.x, "x", f[1], name, line);
        checkUnit(p.y, "y", f[2], name, line);
        if (!points.empty() && !(p.seconds > points.back().seconds))
            throw lineError(name, line,
                            "times must increase (" + f[0] + " after " + lastTime + ")");
        points.push_back(p);
        lastTime = f[0];
        errno = 0;  // strtod may have left ERANGE for a tiny number
    }
    if (in.bad()) {
        std::string reason = errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
        throw std::runtime_error(name + ": cannot read" + reason);
    }
    if (points.empty())
        throw std::runtime_error(name + ": no points");
    return BreakpointPath(std::move(points));
}

std::size_t BreakpointPath::pointsUpTo(double seconds) const {
    auto it = std::upper_bound(points_.begin(), points_.end(), seconds,
                               [](double t, const Breakpoint& p) { return t < p.seconds; });
    return static_cast<std::size_t>(it - points_.begin());
}

void BreakpointPath::position(std::size_t k, double seconds, double& x, double& y) const {
    if (k == 0) {
        x = points_.front().x;
        y = points_.front().y;
        return;
    }
    if (k == points_.size()) {
        x = points_.back().x;
        y = points_.back().y;
        return;
    }
    const Breakpoint& a = points_[k - 1];
    const Breakpoint& b = points_[k];
    double f = (seconds - a.seconds) / (b.seconds - a.seconds);
    x = a.x + (b.x - a.x) * f;
    y = a.y + (b.y - a.y) * f;
}

void BreakpointPath::at(double seconds, double& x, double& y) const {
    position(pointsUpTo(seconds), seconds, x, y);
}

void BreakpointPath::fill(std::int64_t firstFrame, double rate, int n, double* x, double* y) {
    const std::size_t count = points_.size();
    for (int i = 0; i < n; ++i) {
        double t = static_cast<double>(firstFrame + i) / rate;
        // Going back in time (or a time that is not a number) costs a search;
        // going forward walks over the points passed.
        if (cursor_ > 0 && !(points_[cursor_ - 1].seconds <= t))
            cursor_ = pointsUpTo(t);
        while (cursor_ < count && points_[cursor_].seconds <= t)
            ++cursor_;
        position(cursor_, t, x[i], y[i]);
    }
}

}  // namespace tarvio
