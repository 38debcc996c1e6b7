// SPDX-License-Identifier: MIT
// A drawn trajectory: the position of the sound in the unit square given at
// a few moments, read from a text file, with straight lines in between.
#ifndef TARVIO_ENGINE_BREAKPOINTPATH_H
#define TARVIO_ENGINE_BREAKPOINTPATH_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace tarvio {

// One point of a path: where the sound is at a moment.
struct Breakpoint {
    double seconds;
    double x;  // 0 left, 1 right
    double y;  // 0 back, 1 front
};

// A path through the unit square given by points at strictly increasing
// times. Between two points the position moves linearly; before the first
// point it stays at the first, after the last at the last. A single point
// is a fixed position.
//
// The text form has one point per line, `seconds x y`, with x and y in
// [0, 1]. Fields are separated by spaces or tabs, `#` starts a comment that
// runs to the end of the line, blank lines are ignored and a carriage return
// before the line end is accepted. The first line may name the columns,
// `seconds x y`.
class BreakpointPath {
  public:
    // Reads a path from the file `fileName`. Throws std::runtime_error with
    // a message of the form "FILE: line N: reason" for a malformed line,
    // "FILE: no points" for a file without points and "FILE: cannot open:
    // reason" or "FILE: cannot read: reason" when the file cannot be read.
    static BreakpointPath load(const std::string& fileName);
    // The largest path file load() reads (an hour of points every 10 ms
    // takes about a third of it); a larger one, or an endless pipe, is
    // refused.
    static constexpr std::size_t kMaxFileBytes = 16 << 20;
    // Reads a path from `in`; `name` stands for the file in messages.
    static BreakpointPath parse(std::istream& in, const std::string& name);

    // The points in time order; never empty.
    const std::vector<Breakpoint>& points() const { return points_; }

    // The position at a time in seconds. A time that is not a number gives
    // the last position.
    void at(double seconds, double& x, double& y) const;

    // The positions of n consecutive frames into x[0..n) and y[0..n), frame
    // i at (firstFrame + i) / rate seconds; exactly the values at() gives
    // for these times. Keeps its place in the path between calls, so that
    // calling it block after block with increasing frames costs O(n + points
    // passed) and allocates nothing; any other order is allowed too.
    void fill(std::int64_t firstFrame, double rate, int n, double* x, double* y);

  private:
    explicit BreakpointPath(std::vector<Breakpoint> points) : points_(std::move(points)) {}

    // The number of points at or before `seconds`.
    std::size_t pointsUpTo(double seconds) const;
    // The position at `seconds`, given k = pointsUpTo(seconds).
    void position(std::size_t k, double seconds, double& x, double& y) const;

    std::vector<Breakpoint> points_;
    std::size_t cursor_ = 0;  // pointsUpTo() of the last time fill() looked at
};

}  // namespace tarvio

#endif  // TARVIO_ENGINE_BREAKPOINTPATH_H
