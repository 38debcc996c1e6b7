// SPDX-License-Identifier: MIT

#include "render/Render.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/FileTarget.h"
#include "cli/Interrupt.h"
#include "cli/SafeOutput.h"
#include "engine/BreakpointPath.h"
#include "cli/RunBlocks.h"
#include "engine/Spatializer.h"
#include "render/AudioInput.h"
#include "render/AudioOutput.h"
#include "render/Binaural.h"
#include "render/Loudness.h"
#include "render/Options.h"
#include "render/Progress.h"
#include "render/SvgPlot.h"
#include "render/TextFile.h"
#include "render/Trace.h"

namespace tarvio::render {

namespace {

// Points kept for the picture: enough for a smooth drawing, few enough that
// memory does not grow with the length of the input.
constexpr std::size_t kPlotPoints = 8192;

// Room for the header chunks in the output's size estimate.
constexpr std::uint64_t kHeaderRoom = 4096;

// No file may be named twice where one of them is written, under whatever
// name: every file the run reads (the input, the path, the layout, the HRTF
// set) and every file it writes. Standard input ("-") is compared by what it
// is open on.
void checkDistinct(const Options& o) {
    checkNamedOnce({{o.output, "output", true},
                    {o.traceFile, "--trace", true},
                    {o.plotFile, "--plot", true},
                    {o.pathFile, "--path", false},
                    {layoutFile(o), "--layout", false},
                    {o.binaural ? *o.binaural : std::string(), "--binaural", false},
                    {o.input, "input", false}});
}

// The files a run writes, each kept safe until the run is done.
struct RunFiles {
    SafeOutput audio;
    std::unique_ptr<SafeOutput> trace;
    std::unique_ptr<SafeOutput> plot;

    explicit RunFiles(const Options& o) : audio(o.output) {
        if (!o.traceFile.empty()) {
            trace.reset(new SafeOutput(o.traceFile));
            trace->setRole("--trace");
        }
        if (!o.plotFile.empty()) {
            plot.reset(new SafeOutput(o.plotFile));
            plot->setRole("--plot");
        }
        for (SafeOutput* f : all()) {
            f->check();
            f->checkDirectory();
        }
    }
    // The audio last: it is moved into place last.
    std::vector<SafeOutput*> all() {
        std::vector<SafeOutput*> files;
        if (trace)
            files.push_back(trace.get());
        if (plot)
            files.push_back(plot.get());
        files.push_back(&audio);
        return files;
    }
    // Moves every finished file into place, all or none.
    void commit() { SafeOutput::commitAll(all()); }
    // The files besides the audio, which a dry run does not write.
    std::vector<SafeOutput*> written() {
        std::vector<SafeOutput*> files = all();
        files.pop_back();
        return files;
    }
};

// Silence of the input's shape and length, in place of its samples: all a
// dry run needs to lay out the positions.
class SilentInput {
  public:
    SilentInput(int channels, std::int64_t frames) : channels_(channels), left_(frames) {}
    int read(double* samples, int capacity) {
        const std::int64_t frames = std::min<std::int64_t>(left_, capacity / channels_);
        std::fill(samples, samples + frames * channels_, 0.0);
        left_ -= frames;
        return static_cast<int>(frames * channels_);
    }
    bool eof() const { return left_ <= 0; }

  private:
    int channels_;
    std::int64_t left_;
};

std::string shortNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// A trace row every step: not more often than every sample, and not less
// often than once over the input (when the step was asked for).
void checkTraceStep(const Options& o, const AudioInput& input) {
    if (o.traceFile.empty())
        return;
    const double sample = 1.0 / input.rate();
    if (o.traceStep < sample)
        throw UsageError("--trace-step: " + shortNumber(o.traceStep) +
                         " s is shorter than one sample (" + shortNumber(sample) + " s at " +
                         std::to_string(input.rate()) + " Hz)");
    const double length = static_cast<double>(input.heldFrames()) / input.rate();
    if (o.traceStepGiven && input.heldFrames() > 0 && o.traceStep > length)
        throw UsageError("--trace-step: " + shortNumber(o.traceStep) +
                         " s is longer than the input (" + shortNumber(length) + " s)");
}

SpatializerParams engineParams(const Options& o) {
    SpatializerParams p;
    p.f1_init = o.rot1.init;
    p.f1_end = o.rot1.end;
    p.f2_init = o.rot2.init;
    p.f2_end = o.rot2.end;
    p.angle1 = o.angle1;
    p.angle2 = o.angle2;
    p.norm = o.norm;
    return p;
}

// `order`: the order of the channels in the frames it gives (see
// SpatializerOptions::order), empty for the engine's.
std::unique_ptr<Spatializer> spatializerFor(const Options& o, const AudioInput& input,
                                            const Panner& panner, const BreakpointPath* path,
                                            std::vector<int> order = {}) {
    SpatializerOptions so;
    so.order = std::move(order);
    so.path = path;
    so.layout = &panner.layout();
    so.law = &panner.law();
    so.lawParams = o.lawParams;
    so.keepPositions = !o.traceFile.empty() || !o.plotFile.empty();
    // The sweeps spread over the input's frames, held at INT_MAX like
    // tarvio's.
    const int frames = input.frames() > INT_MAX ? INT_MAX : static_cast<int>(input.frames());
    return makeSpatializer(engineParams(o), input.channels(), input.rate(), frames, so);
}

// Samples the positions of the frames as they go by: a trace row every
// `step` seconds, and an evenly thinned set of points for the picture.
class PathSampler {
  public:
    // `fileOrder` is the engine channel at each place of the output file;
    // the trace lists the gains in that order, named by the loudspeakers.
    PathSampler(const Options& o, const Panner& panner, const std::vector<int>& fileOrder,
                double rate, std::ostream* traceStream)
        : panner_(panner),
          order_(fileOrder),
          gains_(static_cast<std::size_t>(panner.layout().size())),
          fileGains_(gains_.size()),
          rate_(rate),
          step_(o.traceStep),
          wantPlot_(!o.plotFile.empty()) {
        std::vector<std::string> names;
        for (int channel : order_)
            names.push_back(panner.layout()[channel].label);
        if (traceStream)
            trace_.reset(new TraceWriter(*traceStream, names));
    }

    // The frames of one block, the first being frame `first` of the file.
    void block(std::int64_t first, int frames, const double* x, const double* y) {
        if (!x)
            return;
        for (; trace_ && nextRow_ < first + frames; nextRow_ = rowFrame(++rows_)) {
            const int j = static_cast<int>(nextRow_ - first);
            panner_.gains(x[j], y[j], gains_.data());
            for (std::size_t k = 0; k < order_.size(); ++k)
                fileGains_[k] = gains_[static_cast<std::size_t>(order_[k])];
            trace_->row(static_cast<double>(nextRow_) / rate_, x[j], y[j], fileGains_.data());
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
    // The frame of trace row `row`; past the largest frame a file can have,
    // the largest value, so that no row comes after it.
    std::int64_t rowFrame(std::int64_t row) const {
        const double frame = std::round(static_cast<double>(row) * step_ * rate_);
        return frame < 9.0e18 ? static_cast<std::int64_t>(frame) : INT64_MAX;
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

    const Panner& panner_;
    std::vector<int> order_;
    std::vector<double> gains_;      // engine order
    std::vector<double> fileGains_;  // the file's order
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

// What the block loop shows besides the audio: the positions for the trace
// and the picture, and the progress bar.
struct Observer {
    PathSampler& sampler;
    Progress* progress;
    std::int64_t total;

    void block(std::int64_t first, int frames, const Spatializer& sp) {
        sampler.block(first, frames, sp.positionsX(), sp.positionsY());
        if (progress)
            progress->update(first + frames, total);
    }
};

// The loudspeakers numbered by their channel in the file, those without a
// direction (an LFE) included; for Ambisonic channels, which stand for no
// loudspeaker, a circle of directions.
std::vector<PlotSpeaker> plotSpeakers(const SpeakerLayout& layout,
                                      const std::vector<int>& fileOrder) {
    std::vector<PlotSpeaker> speakers;
    if (layout.ambisonicOrder() > 0) {
        for (int azimuth = -135; azimuth <= 180; azimuth += 45) {
            const double a = azimuth * 3.14159265358979323846 / 180.0;
            speakers.push_back({0.5 - 0.45 * std::sin(a), 0.5 + 0.45 * std::cos(a),
                                std::to_string(azimuth) + "\xC2\xB0", "", azimuth});
        }
        return speakers;
    }
    for (std::size_t k = 0; k < fileOrder.size(); ++k) {
        const Speaker& s = layout[fileOrder[k]];
        if (s.position)
            speakers.push_back({s.position->x, s.position->y, s.label, std::to_string(k + 1),
                                s.position->azimuth});
        else
            speakers.push_back({0, 0, s.label, std::to_string(k + 1), std::nullopt});
    }
    return speakers;
}

// The square of four is drawn as the square; every other rig as a circle.
PlotView plotView(const SpeakerLayout& layout) {
    return layout.sameSpeakers(layouts::quad()) ? PlotView::Square : PlotView::Circle;
}

void writePlot(SafeOutput& plot, const Options& o, const PathSampler& sampler, double seconds,
               const std::vector<PlotSpeaker>& speakers, const std::string& law, PlotView view) {
    TextFile file(plot.writePath(), plot.takeDescriptor(), o.plotFile);
    plot.opened();
    PlotCaption caption{o.input, seconds, law};
    writeSvgPlot(file.stream(), {PlotPath{o.input, sampler.points()}}, caption, speakers, view);
    file.close();
}

std::string decibels(double peak) {
    if (!(peak > 0))
        return "-inf dBFS";
    if (std::isinf(peak))
        return "+inf dBFS";
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << 20.0 * std::log10(peak) << " dBFS";
    return s.str();
}

// Said on standard error even with --quiet, as sox does: clipping and
// samples that are not a number change the sound, and a summary nobody
// reads would hide them.
void warnOfClipping(std::ostream& err, const AudioOutput& audio) {
    if (audio.notANumber() > 0)
        err << "tarvio-render: warning: " << audio.notANumber()
            << (audio.notANumber() == 1 ? " sample" : " samples")
            << " not a number, written as 0" << std::endl;
    if (audio.clipped() == 0)
        return;
    std::string peak = decibels(audio.peak());
    if (audio.peak() >= 1.0 && peak[0] != '+')
        peak = "+" + peak;
    err << "tarvio-render: warning: " << audio.clipped()
        << (audio.clipped() == 1 ? " sample" : " samples") << " clipped (peak " << peak
        << "); lower --norm or use --normalize" << std::endl;
}

// The summary's input line and its output line, without the end of the
// latter.
void printFiles(std::ostream& out, const Options& o, const AudioInput& input, int channels,
                std::int64_t frames) {
    out << "input:    " << o.input << ": " << input.description() << ", " << input.channels()
        << (input.channels() == 1 ? " channel, " : " channels, ") << input.rate() << " Hz, "
        << input.frames() << " frames\n";
    out << "output:   " << o.output << ": " << o.format->summary << ", " << o.samples->summary
        << (*o.dither ? " (TPDF dither)" : "") << ", " << channels << " channels, " << frames
        << " frames";
}

void printSummary(std::ostream& out, const Options& o, const AudioInput& input,
                  const AudioOutput& audio, std::int64_t frames, const std::string& binaural) {
    printFiles(out, o, input, audio.channels(), frames);
    out << "\n";
    out << "duration: " << static_cast<double>(frames) / input.rate() << " s\n";
    if (!binaural.empty())
        out << "binaural: " << binaural << "\n";
    out << "peak:     " << decibels(audio.peak());
    if (audio.notANumber() > 0)
        out << "; " << audio.notANumber() << " samples not a number, written as 0";
    out << "\n";
    out << "clipped:  " << audio.clipped() << (audio.clipped() == 1 ? " sample" : " samples")
        << std::endl;
}

// About the size of an uncompressed output (0 for a compressed one), for
// setting its room aside on the disk: no more than 1 byte of input a frame
// can stand for, whatever the header announces.
std::uint64_t expectedBytes(const Options& o, const AudioInput& input, int channels) {
    if (o.format->compressed || input.heldFrames() <= 0)
        return 0;
    return SafeOutput::roomFor(o.input, static_cast<std::uint64_t>(input.heldFrames()), 1,
                               static_cast<std::uint64_t>(channels) * o.samples->bytes,
                               kHeaderRoom, 0);
}

// Fills in what the input decides: the sample format when --bits did not
// say, and whether to dither.
Options settled(Options o, const AudioInput& input) {
    if (!o.samples)
        o.samples = &chooseSamples(*o.format, input.precisionBits());
    if (o.noClip && !o.samples->isFloat)
        throw UsageError("--no-clip: only float output can keep samples beyond full scale");
    o.dither = wantsDither(o, input.precisionBits());
    return o;
}

// Refuses, before any work, an output of `frames` longer than the format's
// size fields can describe.
void checkLength(const Options& o, int channels, std::int64_t frames) {
    if (!o.format->fits(*o.samples, channels, frames))
        throw std::runtime_error(o.output + ": " + o.format->tooLong());
}

// Refuses, before any work, a format the installed libsndfile cannot write
// with these channels at this rate, naming those it can.
void checkWritable(const Options& o, int channels, int rate) {
    const auto writable = [&](const OutputFormat& f, const SampleFormat& s) {
        if (!f.holdsRate(rate))
            return false;
        SF_INFO info{};
        info.channels = channels;
        info.samplerate = rate;
        info.format = f.sndfileMajor | s.sndfileSubtype;
        return sf_format_check(&info) != 0;
    };
    if (writable(*o.format, *o.samples))
        return;
    if (!o.format->holdsRate(rate)) {
        std::string rates;
        for (std::size_t i = 0; i < o.format->rates.size(); ++i)
            rates += (i == 0 ? "" : i + 1 == o.format->rates.size() ? " and " : ", ") +
                     std::to_string(o.format->rates[i]);
        throw std::runtime_error(o.output + ": " + o.format->summary + " holds only " + rates +
                                 " Hz, not " + std::to_string(rate) + " Hz");
    }
    std::string can;
    for (const OutputFormat& f : outputFormats()) {
        if (writable(f, f.firstSamples()))
            can += (can.empty() ? "" : ", ") + std::string(f.name);
    }
    throw std::runtime_error(o.output + ": libsndfile cannot write " + o.format->summary + " (" +
                             o.samples->summary + ") with " + std::to_string(channels) +
                             " channels at " + std::to_string(rate) + " Hz; it can write " +
                             (can.empty() ? "none of tarvio-render's formats" : can));
}

// The channels the file holds: the layout's loudspeakers, or the two ears
// that hear them through HRTFs.
SpeakerLayout fileLayout(const Options& o, const SpeakerLayout& layout) {
    if (o.binaural && layout.ambisonicOrder() > 0)
        throw UsageError("--binaural: renders loudspeakers, not Ambisonic channels (" +
                         layout.name() + ")");
    return o.binaural ? *findLayout("stereo") : layout;
}

// Refuses --loudness where the meter cannot measure the output: a rate or
// a number of channels it does not take, or an output of `frames` shorter
// than the block it measures in.
void checkMeasurable(const Options& o, const SpeakerLayout& channels, int rate,
                     std::int64_t frames) {
    if (!o.loudnessTo)
        return;
    const std::string why = LoudnessMeter::unmeasurable(channels.size(), rate);
    if (!why.empty())
        throw UsageError("--loudness: " + why);
    if (frames * 1000 < static_cast<std::int64_t>(rate) * LoudnessMeter::kBlockMilliseconds)
        throw std::runtime_error(o.input + ": the output (" +
                                 shortNumber(static_cast<double>(frames) / rate) +
                                 " s) is shorter than the " +
                                 std::to_string(LoudnessMeter::kBlockMilliseconds) +
                                 " ms block loudness is measured in; there is no loudness to "
                                 "bring to " + shortNumber(*o.loudnessTo) + " LUFS");
}

// Where frames go when nothing is written: a measuring pass's peak and
// loudness, and nothing at all for a dry run.
struct Meter {
    LoudnessMeter* loudness = nullptr;
    double peak = 0.0;
    void write(const double* frames, int count) {
        peak = pcm::peak(frames, static_cast<std::size_t>(count) * channels, peak);
        if (loudness)
            loudness->add(frames, count);
    }
    int channels = 1;
};

// The writing pass's output, measured on the way when the summary is to
// give the resulting loudness.
struct MeteredOutput {
    AudioOutput& audio;
    LoudnessMeter* loudness;
    void write(const double* frames, int count) {
        if (loudness)
            loudness->add(frames, count);
        audio.write(frames, count);
    }
};

#if TARVIO_RENDER_BINAURAL
// The loudspeakers heard on headphones: each block of loudspeaker feeds goes
// through the HRTFs into `Sink`, and the response's tail follows the last
// block.
template <class Sink>
class Headphones {
  public:
    Headphones(std::shared_ptr<const HrirSet> hrirs, Sink& out)
        : binaural_(std::move(hrirs), BLOCK_SIZE),
          out_(out),
          stereo_(2 * static_cast<std::size_t>(std::max(BLOCK_SIZE, binaural_.tailFrames()))) {}
    void write(const double* speakers, int frames) {
        binaural_.process(speakers, frames, stereo_.data());
        out_.write(stereo_.data(), frames);
    }
    // Writes the tail; returns its frames.
    int finish() {
        binaural_.finish(stereo_.data());
        out_.write(stereo_.data(), binaural_.tailFrames());
        return binaural_.tailFrames();
    }
    std::string note() const {
        std::ostringstream text;
        text << binaural_.sofaFile() << ", gain " << std::fixed << std::setprecision(2)
             << binaural_.gainDb() << " dB, " << binaural_.tailFrames() << " frames of tail";
        return text.str();
    }

  private:
    Binaural binaural_;
    Sink& out_;
    std::vector<double> stereo_;
};
#endif

// Everything a run needs, checked and opened before any output is written.
struct Job {
    Options o;
    SpeakerLayout layout;
    Panner panner;
    std::unique_ptr<AudioInput> input;
    std::unique_ptr<BreakpointPath> path;
    SpeakerLayout channels;  // of the file
    std::vector<int> fileOrder;
#if TARVIO_RENDER_BINAURAL
    // Loaded once, before any output is prepared; every pass shares it.
    std::shared_ptr<const HrirSet> hrirs;
#endif
    // The frames the output will hold: the input's, and for headphones the
    // tail of the last sound.
    std::int64_t outputFrames = 0;

    Job(const Options& given, const SpeakerLayout& l)
        : o(given), layout(l), panner(pannerFor(given, l)), channels(fileLayout(given, l)) {
        input.reset(new AudioInput(given.input));
        o = settled(given, *input);
        checkTraceStep(o, *input);
        checkWritable(o, channels.size(), input->rate());
        if (!o.pathFile.empty())
            path.reset(new BreakpointPath(BreakpointPath::load(o.pathFile)));
        fileOrder = layout.fileOrder(o.format->order);
        outputFrames = input->heldFrames() + loadHeadphones();
        checkLength(o, channels.size(), outputFrames);
        checkMeasurable(o, channels, input->rate(), outputFrames);
    }

    // Loads the HRTF set for --binaural; returns the frames of its tail.
    int loadHeadphones() {
        if (!o.binaural)
            return 0;
#if TARVIO_RENDER_BINAURAL
        hrirs = HrirSet::load(*o.binaural, layout, input->rate());
        return hrirs->length() - 1;
#else
        throw UsageError("--binaural: this tarvio-render was built without libmysofa and KissFFT");
#endif
    }

    // One pass over the input from its start into `sink`, the mixdown scaled
    // by `scale` on top of --norm; returns the frames given to the sink and
    // sets `note` to what the binaural stage says of itself. The frames come
    // in `order` (see SpatializerOptions::order), which binaural output
    // cannot take.
    template <class Sink, class Observer>
    std::int64_t pass(Sink& sink, Observer&& observer, double scale, std::string& note,
                      std::vector<int> order = {}) {
        input->rewind();
        Options scaled = o;
        scaled.norm *= scale;
        std::unique_ptr<Spatializer> sp =
            spatializerFor(scaled, *input, panner, path.get(), std::move(order));
        if (!o.binaural)
            return runBlocks(*input, *sp, sink, observer);
#if TARVIO_RENDER_BINAURAL
        Headphones<Sink> ears(hrirs, sink);
        const std::int64_t frames = runBlocks(*input, *sp, ears, observer);
        note = ears.note();
        return frames + ears.finish();
#else
        (void)note;
        return 0;  // refused when the job was made
#endif
    }

    // The factor that --gain, --normalize and --loudness ask for; the last
    // two measure a first pass that writes nothing.
    double levelScale() {
        double scale = std::pow(10.0, o.gainDb / 20.0);
        if (!o.normalizeTo && !o.loudnessTo)
            return scale;
        // --normalize needs only the peak.
        std::unique_ptr<LoudnessMeter> loudness;
        if (o.loudnessTo)
            loudness.reset(new LoudnessMeter(channels, input->rate()));
        Meter meter{loudness.get(), 0.0, channels.size()};
        std::string note;
        pass(meter, NoObserver{}, scale, note);
        const double level = loudness ? loudness->integrated() : 20.0 * std::log10(meter.peak);
        const double target = o.loudnessTo ? *o.loudnessTo : *o.normalizeTo;
        if (!std::isfinite(level))
            throw std::runtime_error(o.input + ": the output would be silent (or not a number); "
                                     "there is no level to bring to " + shortNumber(target));
        return scale * std::pow(10.0, (target - level) / 20.0);
    }
};

// The trace file of a run whose files were prepared, when one was asked for.
std::unique_ptr<TextFile> openTrace(RunFiles& files, const Options& o) {
    if (!files.trace)
        return nullptr;
    std::unique_ptr<TextFile> trace(
        new TextFile(files.trace->writePath(), files.trace->takeDescriptor(), o.traceFile));
    files.trace->opened();
    return trace;
}

// Closes the trace and writes the picture.
void finishTexts(const Job& job, RunFiles& files, TextFile* trace, const PathSampler& sampler) {
    if (trace)
        trace->close();
    if (files.plot)
        writePlot(*files.plot, job.o, sampler,
                  static_cast<double>(job.input->heldFrames()) / job.input->rate(),
                  plotSpeakers(job.layout, job.fileOrder), job.panner.law().name,
                  plotView(job.layout));
}

// What the summary says about the level besides the peak.
struct LevelNote {
    double scale = 1.0;
    LoudnessMeter* loudness = nullptr;
};

void printLevel(std::ostream& out, const Options& o, const LevelNote& level) {
    if (o.gainDb == 0.0 && !o.normalizeTo && !o.loudnessTo)
        return;
    out << "gain:     " << std::showpos << std::fixed << std::setprecision(2)
        << 20.0 * std::log10(level.scale) << std::noshowpos << " dB";
    if (o.normalizeTo)
        out << " (peak to " << shortNumber(*o.normalizeTo) << " dBFS)";
    if (o.loudnessTo)
        out << " (loudness to " << shortNumber(*o.loudnessTo) << " LUFS)";
    out << "\n";
    if (level.loudness)
        out << "loudness: " << std::fixed << std::setprecision(1) << level.loudness->integrated()
            << " LUFS\n";
    out.unsetf(std::ios::floatfield);
}

// --dry-run: the positions of every frame for the trace and the picture,
// from silence in place of the input, and the summary of what would be
// written.
void dryRun(Job& job, RunFiles& files, std::ostream& out) {
    const Options& o = job.o;
    for (SafeOutput* f : files.written())
        f->prepare();
    std::unique_ptr<TextFile> traceFile = openTrace(files, o);
    PathSampler sampler(o, job.panner, job.fileOrder, job.input->rate(),
                        traceFile ? &traceFile->stream() : nullptr);
    SilentInput silence(job.input->channels(), job.input->heldFrames());
    Meter nothing{nullptr, 0.0, job.layout.size()};
    std::unique_ptr<Spatializer> sp = spatializerFor(o, *job.input, job.panner, job.path.get());
    runBlocks(silence, *sp, nothing, Observer{sampler, nullptr, job.input->heldFrames()});
    finishTexts(job, files, traceFile.get(), sampler);
    SafeOutput::commitAll(files.written());
    if (o.quiet)
        return;
    printFiles(out, o, *job.input, job.channels.size(), job.outputFrames);
    out << " (dry run: not written)" << std::endl;
}

void render(const Options& given, std::ostream& out, std::ostream& err, bool& progressShown) {
    checkDistinct(given);
    RunFiles files(given);
    Job job(given, loadLayout(given));
    const Options& o = job.o;
    if (o.dryRun)
        return dryRun(job, files, out);
    LevelNote level{job.levelScale(), nullptr};

    for (SafeOutput* f : files.all())
        f->prepare();
    files.audio.reserve(expectedBytes(o, *job.input, job.channels.size()));
    AudioOutput audio(files.audio.writePath(), files.audio.takeDescriptor(), o.output, *o.format,
                      *o.samples, job.channels, job.input->rate(), job.input->heldFrames(),
                      Encoding{o.noClip, *o.dither, o.quality ? *o.quality : -1,
                               o.compression ? *o.compression : -1});
    files.audio.opened();
    std::unique_ptr<TextFile> traceFile = openTrace(files, o);
    PathSampler sampler(o, job.panner, job.fileOrder, job.input->rate(),
                        traceFile ? &traceFile->stream() : nullptr);
    std::unique_ptr<Progress> progress;
    if (progressWanted(o.quiet)) {
        progress.reset(new Progress(err));
        progressShown = true;
    }
    // The summary gives the resulting loudness where the meter can measure
    // it (--loudness was refused before any work where it cannot).
    std::unique_ptr<LoudnessMeter> loudness;
    if ((o.normalizeTo || o.loudnessTo) &&
        LoudnessMeter::unmeasurable(job.channels.size(), job.input->rate()).empty())
        loudness.reset(new LoudnessMeter(job.channels, job.input->rate()));
    level.loudness = loudness.get();
    MeteredOutput sink{audio, loudness.get()};
    // Where the loudspeaker feeds go straight to the file, the spatializer
    // writes them in the file's channel order, which spares a pass over
    // every block; the meter and the headphones want the engine's.
    std::vector<int> order;
    if (!o.binaural && !loudness)
        order = audio.takeOrder();
    std::string binauralNote;
    const std::int64_t frames =
        job.pass(sink, Observer{sampler, progress.get(), job.input->heldFrames()}, level.scale,
                 binauralNote, std::move(order));
    audio.close();
    finishTexts(job, files, traceFile.get(), sampler);
    files.commit();
    if (progress)
        progress->finish();
    progressShown = false;
    if (!o.quiet) {
        printSummary(out, o, *job.input, audio, frames, binauralNote);
        printLevel(out, o, level);
    }
    warnOfClipping(err, audio);
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
    } catch (const UsageError& e) {
        err << "tarvio-render: " << e.what() << " (see --help)" << std::endl;
        return 2;
    } catch (const std::exception& e) {
        if (const int status = interrupt::exitStatus())
            return status;
        if (progressShown)
            err << '\n';
        // An allocation that failed anywhere says only "std::bad_alloc".
        const bool memory = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
        err << "tarvio-render: " << (memory ? "out of memory" : e.what()) << std::endl;
    }
    return 1;
}

}  // namespace tarvio::render
