// SPDX-License-Identifier: MIT

#include "render/PathSampler.h"

#include <climits>
#include <cmath>
#include <string>

#include "engine/Motion.h"

namespace tarvio::render {

namespace {

// Points kept for the picture of each source: enough for a smooth drawing,
// few enough that memory does not grow with the length of the input.
constexpr std::size_t kPlotPoints = 8192;

// The point of frame j at the source's own distance: the law's point on
// the edge of the square moved out along its direction.
PlotPoint farPoint(double seconds, const SourceView& view, int j) {
    const double r = distanceOf(view.x[j], view.y[j]);
    double d = view.distance ? view.distance[j] : r;
    // Seen from above, a sound above or below the horizon stands nearer the
    // middle: at its distance times the cosine of its elevation, where the
    // picture draws the loudspeakers of that elevation too.
    const double e = view.elevation ? view.elevation[j] : 0.0;
    const bool level = e == 0.0;
    if (!level)
        d *= std::cos(e * (3.14159265358979323846 / 180.0));
    if (!(r > 0.0) || (level && !(d > r)))
        return {seconds, view.x[j], view.y[j]};
    const double k = d / r;
    return {seconds, 0.5 + (view.x[j] - 0.5) * k, 0.5 + (view.y[j] - 0.5) * k};
}

}  // namespace

PathSampler::PathSampler(const Panner& panner, const std::vector<int>& fileOrder, double rate,
                         double step, bool plot, std::ostream* trace, int sources)
    : panner_(panner),
      order_(fileOrder),
      gains_(static_cast<std::size_t>(panner.layout().size())),
      fileGains_(gains_.size()),
      rate_(rate),
      step_(step),
      plot_(plot),
      paths_(static_cast<std::size_t>(sources)) {
    std::vector<std::string> names;
    for (int channel : order_)
        names.push_back(panner.layout()[channel].label);
    if (trace)
        trace_.reset(new TraceWriter(*trace, names, sources));
}

void PathSampler::block(std::int64_t first, int frames, const std::vector<SourceView>& views) {
    if (trace_)
        traceRows(first, frames, views);
    if (!plot_)
        return;
    for (std::size_t s = 0; s < views.size(); ++s)
        plotPoints(paths_[s], first, views[s]);
}

void PathSampler::traceRows(std::int64_t first, int frames, const std::vector<SourceView>& views) {
    for (; nextRow_ < first + frames; nextRow_ = rowFrame(++rows_)) {
        const int j = static_cast<int>(nextRow_ - first);
        trace_->begin(static_cast<double>(nextRow_) / rate_);
        for (const SourceView& v : views) {
            if (!v.x || j < v.from || j >= v.to) {
                trace_->absent();
                continue;
            }
            if (v.elevation)
                panner_.gains(v.x[j], v.y[j], v.elevation[j], gains_.data());
            else
                panner_.gains(v.x[j], v.y[j], gains_.data());
            for (std::size_t k = 0; k < order_.size(); ++k)
                fileGains_[k] = gains_[static_cast<std::size_t>(order_[k])];
            trace_->place(v.x[j], v.y[j], v.elevation ? v.elevation[j] : 0.0,
                          v.distance ? v.distance[j] : distanceOf(v.x[j], v.y[j]),
                          fileGains_.data());
        }
        trace_->end();
    }
}

// Takes the source's frames `next`, `next + stride`, ... counted from its
// first; when the points fill twice the room, keeps every other one and
// takes them half as often from then on.
void PathSampler::plotPoints(Thinned& path, std::int64_t first, const SourceView& view) {
    if (!view.x)
        return;
    const std::int64_t seen = path.seen + (view.to - view.from);
    for (; path.next < seen; path.next += path.stride) {
        const int j = view.from + static_cast<int>(path.next - path.seen);
        path.points.push_back(farPoint(static_cast<double>(first + j) / rate_, view, j));
        if (path.points.size() < 2 * kPlotPoints)
            continue;
        for (std::size_t i = 0; i < kPlotPoints; ++i)
            path.points[i] = path.points[2 * i];
        path.points.resize(kPlotPoints);
        // Point i stood at frame i * stride; kept, it stands at i * (2 * stride).
        path.stride *= 2;
        path.next = static_cast<std::int64_t>(kPlotPoints) * path.stride - path.stride;
    }
    path.seen = seen;
}

std::int64_t PathSampler::rowFrame(std::int64_t row) const {
    const double frame = std::round(static_cast<double>(row) * step_ * rate_);
    return frame < 9.0e18 ? static_cast<std::int64_t>(frame) : INT64_MAX;
}

}  // namespace tarvio::render
