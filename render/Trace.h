// SPDX-License-Identifier: MIT
// A CSV trace of a render: where each source was and the gain of each
// loudspeaker, for checking a run in a spreadsheet or a plotting tool.
#ifndef TARVIO_RENDER_TRACE_H
#define TARVIO_RENDER_TRACE_H

#include <ostream>
#include <string>
#include <vector>

namespace tarvio::render {

// Writes a header and then one row per moment: the seconds, and for each
// source its columns `x,y,azimuth,r,elevation,distance,` and one per
// channel, named by `channels` (the labels, in the file's channel order).
// With one source the columns bear these names; with several, each
// source's bear its number in front:
// `seconds,s1.x,s1.y,s1.azimuth,s1.r,s1.elevation,s1.distance,s1.FL,...,s2.x,...`. A
// source that is not sounding at a moment (before its start, after its end)
// leaves its fields of that row empty.
//
// x and y are the point the gain law placed (on the square's edge for a
// source beyond it), azimuth its direction seen from the middle of the
// square (degrees, 0 front, positive to the left), r its distance from the
// middle (1 on the edge); elevation is the source's (degrees) and distance
// its own distance from the middle, which goes beyond 1 where r stops. Seconds are written with six
// decimals (to the microsecond); the rest with nine significant digits, far finer than a 16-bit
// sample step. Numbers always use a decimal point, whatever the locale; values that are not finite
// read "nan", "inf" or "-inf".
//
// The column names are written as they are: loudspeaker labels (see
// validLabel) need no CSV quoting and never read as a spreadsheet formula.
// Throws std::invalid_argument for a name that is not such a label, before
// anything is written.
class TraceWriter {
  public:
    TraceWriter(std::ostream& out, const std::vector<std::string>& channels, int sources = 1);

    // A row: begin(), then place() or absent() for each source in turn,
    // then end(). `gains` holds one gain per channel, in the header's order.
    void begin(double seconds);
    void place(double x, double y, double elevation, double distance, const double* gains);
    void absent();
    void end();

  private:
    std::ostream& out_;
    std::size_t channels_;
    std::vector<char> line_;
    char* at_ = nullptr;  // where the row goes on
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_TRACE_H
