// SPDX-License-Identifier: MIT

#include "engine/BreakpointPath.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace tarvio {

namespace {

// A value of the "C" locale, so that numbers read the same whatever locale
// the program runs in (a decimal point, never a comma).
locale_t cLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

std::runtime_error lineError(const std::string& name, long line, const std::string& reason) {
    return std::runtime_error(name + ": line " + std::to_string(line) + ": " + reason);
}

// A field as the message shows it, in quotes: bytes that would not show
// (a byte-order mark, a carriage return, any control or non-ASCII byte) are
// written as escapes such as \xef\xbb\xbf and \r.
std::string quoted(const std::string& field) {
    static const char* const hex = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : field) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\' || c == '"')
            out += std::string("\\") + ch;
        else if (c < 0x20 || c >= 0x7f)
            out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
        else
            out += ch;
    }
    return out + "\"";
}

// Splits a line into its fields after removing a trailing carriage return
// and a comment.
std::vector<std::string> fields(std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::size_t hash = line.find('#');
    if (hash != std::string::npos)
        line.erase(hash);
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

// Reads a whole field as a finite number.
double number(const std::string& field, const std::string& name, long line) {
    char* end = nullptr;
    double v = strtod_l(field.c_str(), &end, cLocale());
    if (end == field.c_str() || *end != '\0')
        throw lineError(name, line, "not a number: " + quoted(field));
    if (!std::isfinite(v))
        throw lineError(name, line, "not a finite number: " + quoted(field));
    return v;
}

void checkUnit(double v, const char* axis, const std::string& field, const std::string& name,
               long line) {
    if (!(v >= 0.0 && v <= 1.0))
        throw lineError(name, line, std::string(axis) + " must lie in [0, 1], got " + field);
}

}  // namespace

BreakpointPath BreakpointPath::load(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        throw std::runtime_error(fileName + ": cannot open: " + std::strerror(errno));
    return parse(in, fileName);
}

BreakpointPath BreakpointPath::parse(std::istream& in, const std::string& name) {
    std::vector<Breakpoint> points;
    std::string text;
    std::string lastTime;  // the previous point's time as written, for messages
    long line = 0;
    errno = 0;
    while (std::getline(in, text)) {
        ++line;
        std::vector<std::string> f = fields(std::move(text));
        if (f.empty()) {
            errno = 0;
            continue;
        }
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
