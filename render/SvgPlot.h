// SPDX-License-Identifier: MIT
// A picture of where the sound went: the paths of a run drawn over its
// loudspeakers, as a standalone SVG file.
#ifndef TARVIO_RENDER_SVGPLOT_H
#define TARVIO_RENDER_SVGPLOT_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarvio::render {

// The position of a sound at a moment; x and y are coordinates in the unit
// square of the loudspeakers (x to the right, y to the front). A point
// beyond the loudspeakers (distance over 1) lies outside the square.
struct PlotPoint {
    double seconds;
    double x;
    double y;
};

// The path of one source: its name ("1", the input's name, ...) and its
// points in time order.
struct PlotPath {
    std::string name;
    std::vector<PlotPoint> points;
};

// A loudspeaker as the picture shows it: its point on the square, its
// label, its channel number in the file and its azimuth.
struct PlotSpeaker {
    double x;
    double y;
    std::string label;    // "FL", "FR", ...
    std::string channel;  // "1", "2", ...; empty for a mark of direction only
    // Degrees, 0 front, positive to the left; none for a loudspeaker with
    // no direction (an LFE), which neither view draws on the rig: the
    // circle view lists it beside the circle.
    std::optional<double> azimuth;
    // Degrees above ear height: the circle view draws a loudspeaker above
    // or below the horizon hollow, at cos(elevation) of the circle's radius
    // (as seen from above).
    double elevation = 0.0;
};

// What the caption under the picture says.
struct PlotCaption {
    std::string input;       // the input's name, any bytes
    double durationSeconds;  // the length of the run; the colour ramp spans it
    std::string law;         // the name of the gain law
};

// How the picture shows the rig and the paths.
enum class PlotView {
    // The unit square with the loudspeakers at their points: the square of
    // four.
    Square,
    // The loudspeakers on a circle at their azimuths, and each point of a
    // path at its azimuth atan2(-u, v) and its distance max(|u|, |v|)
    // (u = 2x - 1, v = 2y - 1) from the middle, the loudspeakers' circle
    // being distance 1: every other rig, and Ambisonic directions.
    Circle,
};

// Writes an SVG picture of `paths` (one per source) to `out`, with the
// caption "input — duration — law: law" under it.
//
// Square view: the unit square with y pointing up, the loudspeakers at
// their points with their channel numbers (large) and labels (small), each
// path coloured from blue at 0 s to red at the end of the run with its start
// and end marked, and a legend of the colours. Coordinates further than 0.1
// outside the square are drawn at its margin.
//
// Circle view: the loudspeakers on their circle, labelled the same way; the
// picture is scaled so that the furthest point of any path fits, with faint
// numbered rings at the whole distances beyond 1. Arrowheads at regular
// intervals of time point the way each path moves. A path that turns round
// the middle several times is coloured lap by lap (a lap ends each time its
// azimuth has turned a further 360 degrees either way from where the lap
// began), each lap drawn a little inside the one before and named in the
// legend with its times; more than eight laps share their colours in eight
// runs of consecutive laps. A path of less than two laps keeps the time
// ramp of the square view.
//
// With several paths, each start and end mark carries the path's name; the
// circle view draws each path in its own dash (the first solid) and its
// legend lists each path's laps under its name.
//
// Each path is drawn from at most 4000 of its points, taken evenly over it
// with its first and last point, so a long run still makes a small file.
// Points with a coordinate that is not a finite number are left out. The
// texts may hold any bytes: they are escaped for XML and bytes that are not
// valid UTF-8 or control characters appear as U+FFFD.
void writeSvgPlot(std::ostream& out, const std::vector<PlotPath>& paths, const PlotCaption& caption,
                  const std::vector<PlotSpeaker>& speakers, PlotView view);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_SVGPLOT_H
