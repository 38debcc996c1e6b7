// SPDX-License-Identifier: MIT
// The positions of the sources as the frames go by: a trace row every
// --trace-step seconds, and for the picture an evenly thinned set of points
// of each source, whose number does not grow with the length of the run.
#ifndef TARVIO_RENDER_PATHSAMPLER_H
#define TARVIO_RENDER_PATHSAMPLER_H

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "engine/GainLaw.h"
#include "render/Mixer.h"
#include "render/SvgPlot.h"
#include "render/Trace.h"

namespace tarvio::render {

class PathSampler {
  public:
    // `fileOrder` is the engine channel at each place of the output file;
    // the trace lists the gains in that order, named by the loudspeakers.
    // `step`: seconds between trace rows; `plot`: keep points for the
    // picture; `trace`: where the trace goes, or null.
    PathSampler(const Panner& panner, const std::vector<int>& fileOrder, double rate, double step,
                bool plot, std::ostream* trace, int sources);

    // The frames [first, first + frames) of the scene, one view per source.
    void block(std::int64_t first, int frames, const std::vector<SourceView>& views);

    // The points kept of source `source`, in time order.
    const std::vector<PlotPoint>& points(int source) const { return paths_[source].points; }

  private:
    struct Thinned {
        std::vector<PlotPoint> points;
        std::int64_t seen = 0;    // the source's frames looked at
        std::int64_t stride = 1;  // of its frames between points
        std::int64_t next = 0;    // its frame of the next point
    };
    void traceRows(std::int64_t first, int frames, const std::vector<SourceView>& views);
    void plotPoints(Thinned& path, std::int64_t first, const SourceView& view);
    // The frame of trace row `row`; past the largest frame a file can have,
    // the largest value, so that no row comes after it.
    std::int64_t rowFrame(std::int64_t row) const;

    const Panner& panner_;
    std::vector<int> order_;
    std::vector<double> gains_;      // engine order
    std::vector<double> fileGains_;  // the file's order
    double rate_;
    double step_;
    bool plot_;
    std::unique_ptr<TraceWriter> trace_;
    std::int64_t rows_ = 0;
    std::int64_t nextRow_ = 0;
    std::vector<Thinned> paths_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_PATHSAMPLER_H
