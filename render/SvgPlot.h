// SPDX-License-Identifier: MIT
// A picture of where the sound went: the path of a run drawn over the
// square of loudspeakers, as a standalone SVG file.
#ifndef TARVIO_RENDER_SVGPLOT_H
#define TARVIO_RENDER_SVGPLOT_H

#include <ostream>
#include <string>
#include <vector>

namespace tarvio::render {

// The position of the sound at a moment; x and y are coordinates in the
// unit square of the loudspeakers (x to the right, y to the front).
struct PlotPoint {
    double seconds;
    double x;
    double y;
};

// A loudspeaker as the picture shows it: its point on the square, its
// label and its channel number in the file.
struct PlotSpeaker {
    double x;
    double y;
    std::string label;    // "FL", "FR", ...
    std::string channel;  // "1", "2", ...
};

// What the caption under the picture says.
struct PlotCaption {
    std::string input;       // the input's name, any bytes
    double durationSeconds;  // the length of the run; the colour ramp spans it
    std::string law;         // the name of the gain law
};

// Writes an SVG picture of `path` to `out`: the unit square with y pointing
// up, the loudspeakers at their points with their channel numbers (large)
// and labels (small),
// the path coloured from blue at 0 s to red at the end of the run, its start
// and end marked, a legend of the colours and the caption
// "input — duration — law: law".
//
// Points are drawn in time order; at most 4000 of them, taken evenly over
// the path with its first and last point, so a long run still makes a small
// file. Points with a coordinate that is not a finite number are left out,
// and coordinates further than 0.1 outside the square are drawn at its
// margin. The caption's texts may hold any bytes: they are escaped for XML
// and bytes that are not valid UTF-8 or control characters appear as U+FFFD.
void writeSvgPlot(std::ostream& out, const std::vector<PlotPoint>& path,
                  const PlotCaption& caption, const std::vector<PlotSpeaker>& speakers);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_SVGPLOT_H
