// SPDX-License-Identifier: MIT
// A CSV trace of a render: where the sound was and the gain of each
// loudspeaker, for checking a run in a spreadsheet or a plotting tool.
#ifndef TARVIO_RENDER_TRACE_H
#define TARVIO_RENDER_TRACE_H

#include <ostream>
#include <string>
#include <vector>

namespace tarvio::render {

// Writes the header `seconds,x,y,azimuth,r,` and one column per channel,
// named by `channels` (the labels, in the file's channel order), and then
// one row per call of row(). azimuth is the direction of the point seen
// from the middle of the square (degrees, 0 front, positive to the left), r
// its distance from the middle (1 on the edge). Seconds are written with six
// decimals (to the microsecond); the rest with nine significant digits, far
// finer than a 16-bit sample step. Numbers always use a decimal point,
// whatever the locale; values that are not finite read "nan", "inf" or
// "-inf".
//
// The column names are written as they are: loudspeaker labels (see
// validLabel) need no CSV quoting and never read as a spreadsheet formula.
// Throws std::invalid_argument for a name that is not such a label, before
// anything is written.
class TraceWriter {
  public:
    TraceWriter(std::ostream& out, const std::vector<std::string>& channels);

    // Appends one row; gains holds one gain per channel, in the header's
    // order.
    void row(double seconds, double x, double y, const double* gains);

  private:
    std::ostream& out_;
    std::size_t channels_;
    std::vector<char> line_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_TRACE_H
