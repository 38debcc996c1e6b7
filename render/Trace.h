// SPDX-License-Identifier: MIT
// A CSV trace of a render: where the sound was and the gain of each
// loudspeaker, for checking a run in a spreadsheet or a plotting tool.
#ifndef TARVIO_RENDER_TRACE_H
#define TARVIO_RENDER_TRACE_H

#include <ostream>

namespace tarvio::render {

// Writes the header `seconds,x,y,g1,g2,g3,g4` and then one row per call of
// row(). Seconds are written with six decimals (to the microsecond); x, y
// and the gains with nine significant digits, far finer than a 16-bit
// sample step. Numbers always use a decimal point, whatever the locale;
// values that are not finite read "nan", "inf" or "-inf".
class TraceWriter {
  public:
    explicit TraceWriter(std::ostream& out);

    // Appends one row; gains holds the gains of channels 1 to 4.
    void row(double seconds, double x, double y, const double gains[4]);

    // Hands the rows written so far on to their destination and returns
    // ok(). Call it at the end: a failed write may show only then.
    bool flush();
    // False once a write or a flush has failed.
    bool ok() const { return !out_.fail(); }

  private:
    std::ostream& out_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_TRACE_H
