// SPDX-License-Identifier: MIT
// A progress bar for standard error, redrawn in place while a file renders.
#ifndef TARVIO_RENDER_PROGRESS_H
#define TARVIO_RENDER_PROGRESS_H

#include <cstdint>
#include <functional>
#include <ostream>

namespace tarvio::render {

// True when a progress bar makes sense: standard error is a terminal and
// the user did not ask for quiet.
bool progressWanted(bool quiet);

// Draws a line such as
//   [###############---------------]  50%  elapsed 0:04  left 0:04
// and redraws it over itself with a carriage return, at most ten times a
// second. Times over an hour read h:mm:ss. With an unknown total (0) the
// bar stays empty, and the percentage and the time left read "?".
class Progress {
  public:
    // Seconds on some steady clock; only differences count.
    using Clock = std::function<double()>;
    static double steadySeconds();

    // The time of construction is the start of the run.
    explicit Progress(std::ostream& out, Clock clock = &Progress::steadySeconds);

    // `done` of `total` units are finished. Cheap enough to call for every
    // block: it reads the clock and draws only when a tenth of a second has
    // passed since the last drawing (the first call always draws).
    void update(std::int64_t done, std::int64_t total);
    // Draws the last state given to update() once more, whatever the time,
    // and ends the line. Later calls do nothing.
    void finish();

  private:
    void draw(double now);

    std::ostream& out_;
    Clock clock_;
    double start_;
    double nextDraw_;
    std::int64_t done_ = 0;
    std::int64_t total_ = 0;
    int lastLength_ = 0;
    bool finished_ = false;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_PROGRESS_H
