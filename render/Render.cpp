// SPDX-License-Identifier: MIT

#include "render/Render.h"

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Interrupt.h"
#include "common/SafeOutput.h"
#include "engine/BreakpointPath.h"
#include "engine/Spatializer.h"
#include "render/AudioInput.h"
#include "render/AudioOutput.h"
#include "render/Options.h"
#include "render/Progress.h"
#include "render/SvgPlot.h"
#include "render/Trace.h"

namespace tarvio::render {

namespace {

// Points kept for the picture: enough for a smooth drawing, few enough that
// memory does not grow with the length of the input.
constexpr std::size_t kPlotPoints = 8192;

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa;
    struct stat sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// No output may be the input or another output, under whatever name.
void checkDistinct(const Options& o) {
    const std::vector<std::string> outputs = {o.output, o.traceFile, o.plotFile};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i].empty())
            continue;
        if (outputs[i] == o.input || sameFile(o.input, outputs[i]))
            throw std::runtime_error(outputs[i] + ": is the input file");
        for (std::size_t k = 0; k < i; ++k) {
            if (outputs[i] == outputs[k] || sameFile(outputs[i], outputs[k]))
                throw std::runtime_error(outputs[i] + ": named twice as an output");
        }
    }
}

// The files a run writes, each kept safe until the run is done.
struct RunFiles {
    SafeOutput audio;
    std::unique_ptr<SafeOutput> trace;
    std::unique_ptr<SafeOutput> plot;

    explicit RunFiles(const Options& o) : audio(o.output) {
        if (!o.traceFile.empty())
            trace.reset(new SafeOutput(o.traceFile));
        if (!o.plotFile.empty())
            plot.reset(new SafeOutput(o.plotFile));
        for (SafeOutput* f : all())
            f->check();
    }
    std::vector<SafeOutput*> all() {
        std::vector<SafeOutput*> files{&audio};
        if (trace)
            files.push_back(trace.get());
        if (plot)
            files.push_back(plot.get());
        return files;
    }
    // Moves every finished file into place, all or (on a signal) none.
    void commit() {
        interrupt::Hold hold;
        interrupt::check();
        for (SafeOutput* f : all())
            f->commit();
    }
};

SpatializerParams engineParams(const Options& o) {
    SpatializerParams p;
    p.f1_init = o.rot1.init;
    p.f1_end = o.rot1.end;
    p.f2_init = o.rot2.init;
    p.f2_end = o.rot2.end;
    p.angle1 = o.angle1;
    p.angle2 = o.angle2;
    p.norm = o.norm;
    p.law = o.law;
    return p;
}

std::unique_ptr<Spatializer> makeSpatializer(const Options& o, const AudioInput& input,
                                             const BreakpointPath* path) {
    SpatializerOptions so;
    so.path = path;
    so.keepPositions = !o.traceFile.empty() || !o.plotFile.empty();
    // The sweeps spread over the frames the header announces, held at
    // INT_MAX like tarvio's.
    const int frames = input.frames() > INT_MAX ? INT_MAX : static_cast<int>(input.frames());
    try {
        return std::make_unique<Spatializer>(engineParams(o), input.channels(), input.rate(),
                                             frames, so);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("not enough memory for the working buffers of " +
                                 std::to_string(input.channels()) + " channels");
    }
}

// Samples the positions of the frames as they go by: a trace row every
// `step` seconds, and an evenly thinned set of points for the picture.
class PathSampler {
  public:
    PathSampler(const Options& o, double rate, std::ostream* traceStream)
        : law_(o.law), rate_(rate), step_(o.traceStep), wantPlot_(!o.plotFile.empty()) {
        if (traceStream)
            trace_.reset(new TraceWriter(*traceStream));
    }

    // The frames of one block, the first being frame `first` of the file.
    void block(std::int64_t first, int frames, const double* x, const double* y) {
        if (!x)
            return;
        for (; trace_ && nextRow_ < first + frames; nextRow_ = rowFrame(++rows_)) {
            const int j = static_cast<int>(nextRow_ - first);
            double gains[4];
            cornerGains(law_, x[j], y[j], gains);
            trace_->row(static_cast<double>(nextRow_) / rate_, x[j], y[j], gains);
        }
        for (; wantPlot_ && nextPoint_ < first + frames; nextPoint_ += stride_) {
            const int j = static_cast<int>(nextPoint_ - first);
            points_.push_back({static_cast<double>(nextPoint_) / rate_, x[j], y[j]});
            if (points_.size() == 2 * kPlotPoints)
                thin();
        }
    }
    TraceWriter* trace() { return trace_.get(); }
    const std::vector<PlotPoint>& points() const { return points_; }

  private:
    std::int64_t rowFrame(std::int64_t row) const {
        return static_cast<std::int64_t>(std::llround(static_cast<double>(row) * step_ * rate_));
    }
    // Keeps every other point and takes points half as often from now on.
    void thin() {
        for (std::size_t i = 0; i < kPlotPoints; ++i)
            points_[i] = points_[2 * i];
        points_.resize(kPlotPoints);
        // Point i stood at frame i * stride; kept, it stands at i * (2 * stride).
        stride_ *= 2;
        nextPoint_ = static_cast<std::int64_t>(kPlotPoints) * stride_;
    }

    GainLaw law_;
    double rate_;
    double step_;
    bool wantPlot_;
    std::unique_ptr<TraceWriter> trace_;
    std::int64_t rows_ = 0;
    std::int64_t nextRow_ = 0;
    std::vector<PlotPoint> points_;
    std::int64_t stride_ = 1;
    std::int64_t nextPoint_ = 0;
};

struct Totals {
    std::int64_t frames = 0;  // written
};

// The block loop: read, spatialize, write, sample, show progress.
Totals process(AudioInput& input, Spatializer& sp, AudioOutput& audio, PathSampler& sampler,
               Progress* progress) {
    Totals t;
    std::int64_t first = 0;
    while (!input.eof()) {
        interrupt::check();
        const int n = input.read(sp.inBlock(), sp.inBlockCapacity());
        const int frames = sp.processBlock(n);
        audio.write(sp.outBlock(), frames);
        sampler.block(first, frames, sp.positionsX(), sp.positionsY());
        sp.advanceSweeps();
        first += BLOCK_SIZE;
        t.frames += frames;
        if (progress)
            progress->update(t.frames, input.frames());
    }
    interrupt::check();
    return t;
}

void writePlot(const std::string& path, const Options& o, const PathSampler& sampler,
               double seconds) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    PlotCaption caption{o.input, seconds, o.law == GainLaw::Power ? "power" : "bilinear"};
    writeSvgPlot(file, sampler.points(), caption);
    file.close();
    if (!file)
        throw std::runtime_error(o.plotFile + ": write failed");
}

std::string decibels(double peak) {
    if (!(peak > 0))
        return "-inf dBFS";
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << 20.0 * std::log10(peak) << " dBFS";
    return s.str();
}

void printSummary(std::ostream& out, const Options& o, const AudioInput& input,
                  const AudioOutput& audio, const Totals& t) {
    out << "input:    " << o.input << ": " << input.description() << ", " << input.channels()
        << (input.channels() == 1 ? " channel, " : " channels, ") << input.rate() << " Hz, "
        << input.frames() << " frames\n";
    out << "output:   " << o.output << ": " << formatName(o.format) << ", " << depthName(o.depth)
        << ", 4 channels, " << t.frames << " frames\n";
    out << "duration: " << static_cast<double>(t.frames) / input.rate() << " s\n";
    out << "peak:     " << decibels(audio.peak()) << "\n";
    out << "clipped:  " << audio.clipped() << (audio.clipped() == 1 ? " sample" : " samples")
        << std::endl;
}

// About the size of an uncompressed output of the input's announced length
// (0 for FLAC, whose size is not known beforehand), for setting its room
// aside on the disk. A header that announces far more than its file holds
// is not believed: no uncompressed output is more than 16 times its input
// (8-bit mono in, 32-bit four channels out), so the room is held to that.
std::uint64_t expectedBytes(const Options& o, const AudioInput& input) {
    if (o.format == Format::Flac || input.frames() <= 0)
        return 0;
    const std::uint64_t sampleBytes = o.depth == Depth::Pcm16 ? 2 : o.depth == Depth::Pcm24 ? 3 : 4;
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(input.frames()) * AudioOutput::kChannels * sampleBytes + 4096;
    struct stat st;
    if (::stat(o.input.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    const std::uint64_t cap = 16 * static_cast<std::uint64_t>(st.st_size);
    return bytes < cap ? bytes : cap;
}

void render(const Options& o, std::ostream& out, std::ostream& err, bool& progressShown) {
    AudioInput input(o.input);
    checkDistinct(o);
    RunFiles files(o);
    std::unique_ptr<BreakpointPath> path;
    if (!o.pathFile.empty())
        path.reset(new BreakpointPath(BreakpointPath::load(o.pathFile)));
    std::unique_ptr<Spatializer> sp = makeSpatializer(o, input, path.get());

    for (SafeOutput* f : files.all())
        f->prepare();
    files.audio.reserve(expectedBytes(o, input));
    AudioOutput audio(files.audio.writePath(), files.audio.takeDescriptor(), o.output, o.format,
                      o.depth, input.rate(), input.frames());
    files.audio.opened();
    std::ofstream traceFile;
    if (files.trace) {
        traceFile.open(files.trace->writePath(), std::ios::binary | std::ios::trunc);
        if (!traceFile)
            throw std::runtime_error(o.traceFile + ": cannot create");
        files.trace->opened();
    }
    PathSampler sampler(o, input.rate(), files.trace ? &traceFile : nullptr);

    std::unique_ptr<Progress> progress;
    if (progressWanted(o.quiet)) {
        progress.reset(new Progress(err));
        progressShown = true;
    }
    const Totals totals = process(input, *sp, audio, sampler, progress.get());
    audio.close();
    if (sampler.trace() && !sampler.trace()->flush())
        throw std::runtime_error(o.traceFile + ": write failed");
    if (files.plot)
        writePlot(files.plot->writePath(), o, sampler,
                  static_cast<double>(totals.frames) / input.rate());
    files.commit();
    if (progress)
        progress->finish();
    progressShown = false;
    if (!o.quiet)
        printSummary(out, o, input, audio, totals);
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    Options options;
    const int status = parseOptions(argc, argv, options, out, err);
    if (status >= 0)
        return status;
    bool progressShown = false;
    try {
        render(options, out, err, progressShown);
        return 0;
    } catch (const Interrupted& stop) {
        return 128 + stop.signal;
    } catch (const std::exception& e) {
        if (const int sig = interrupt::pending())
            return 128 + sig;
        if (progressShown)
            err << '\n';
        err << "tarvio-render: " << e.what() << std::endl;
    }
    return 1;
}

}  // namespace tarvio::render
