// SPDX-License-Identifier: MIT

#include "render/Render.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "cli/RunBlocks.h"
#include "cli/SafeOutput.h"
#include "engine/Motion.h"
#include "engine/Spatializer.h"
#include "render/AudioInput.h"
#include "render/AudioOutput.h"
#include "render/Binaural.h"
#include "render/BinauralPipeline.h"
#include "render/BinauralSource.h"
#include "render/Loudness.h"
#include "render/Mixer.h"
#include "render/Options.h"
#include "render/PathSampler.h"
#include "render/Progress.h"
#include "render/Report.h"
#include "render/Scene.h"
#include "render/SvgPlot.h"
#include "render/TextFile.h"

namespace tarvio::render {

namespace {

// Room for the header chunks in the output's size estimate.
constexpr std::uint64_t kHeaderRoom = 4096;

// What messages call a source's files: "input" and "--path" on the command
// line, "source 2" and "source 2's path" in a scene.
std::string sourceRole(const Scene& scene, std::size_t i, bool path) {
    if (scene.file.empty())
        return path ? "--path" : "input";
    return "source " + std::to_string(i + 1) + (path ? "'s path" : "");
}

// With the audio on standard output, nothing the run reads may be the file
// standard output writes to (the files it writes are refused by
// SafeOutput::check).
void checkStandardOutput(const std::vector<NamedFile>& files) {
    const FileTarget out = targetOfDescriptor(STDOUT_FILENO);
    if (!out.exists || out.device)
        return;
    for (const NamedFile& f : files) {
        if (!f.path.empty() && !f.written && sameTarget(targetOf(f.path), out))
            throw std::runtime_error(f.role + " and standard output are the same file");
    }
}

// No file may be named twice where one of them is written, under whatever
// name: every file the run reads (the inputs, the paths, the layout, the
// HRTF set, the scene) and every file it writes. Standard input ("-") is
// compared by what it is open on.
void checkDistinct(const Options& o, const Scene& scene) {
    std::vector<NamedFile> files = {{o.output == "-" ? std::string() : o.output, "output", true},
                                    {o.traceFile, "--trace", true},
                                    {o.plotFile, "--plot", true},
                                    {layoutFile(o), "--layout", false},
                                    {o.binaural ? *o.binaural : std::string(), "--binaural", false},
                                    {o.sceneFile, "--scene", false}};
    for (std::size_t i = 0; i < scene.sources.size(); ++i) {
        files.push_back({scene.sources[i].place.pathFile, sourceRole(scene, i, true), false});
        files.push_back({scene.sources[i].input, sourceRole(scene, i, false), false});
    }
    checkNamedOnce(files);
    if (o.output == "-")
        checkStandardOutput(files);
}

// The files a run writes, each kept safe until the run is done; standard
// output is written as it goes and is none of them.
struct RunFiles {
    std::unique_ptr<SafeOutput> audio;
    std::unique_ptr<SafeOutput> trace;
    std::unique_ptr<SafeOutput> plot;

    explicit RunFiles(const Options& o) {
        if (o.output != "-")
            audio.reset(new SafeOutput(o.output));
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
        std::vector<SafeOutput*> files = written();
        if (audio)
            files.push_back(audio.get());
        return files;
    }
    // Moves every finished file into place, all or none.
    void commit() { SafeOutput::commitAll(all()); }
    // The files besides the audio, which a dry run does not write.
    std::vector<SafeOutput*> written() {
        std::vector<SafeOutput*> files;
        if (trace)
            files.push_back(trace.get());
        if (plot)
            files.push_back(plot.get());
        return files;
    }
};

// A trace row every step: not more often than every sample, and not less
// often than once over the scene (when the step was asked for).
void checkTraceStep(const Options& o, std::int64_t frames, int rate) {
    if (o.traceFile.empty())
        return;
    const double sample = 1.0 / rate;
    if (o.traceStep < sample)
        throw UsageError("--trace-step: " + shortNumber(o.traceStep) +
                         " s is shorter than one sample (" + shortNumber(sample) + " s at " +
                         std::to_string(rate) + " Hz)");
    const double length = static_cast<double>(frames) / rate;
    if (o.traceStepGiven && frames > 0 && o.traceStep > length)
        throw UsageError("--trace-step: " + shortNumber(o.traceStep) + " s is longer than the " +
                         (o.sceneFile.empty() ? "input" : "scene") + " (" + shortNumber(length) +
                         " s)");
}

SpatializerParams engineParams(const SourceOptions& s, double norm) {
    SpatializerParams p;
    p.f1_init = s.rot1.init;
    p.f1_end = s.rot1.end;
    p.f2_init = s.rot2.init;
    p.f2_end = s.rot2.end;
    p.angle1 = s.angle1;
    p.angle2 = s.angle2;
    p.norm = norm;
    return p;
}

// What the block loop shows besides the audio: the positions for the trace
// and the picture, and the progress bar. The loop of one source gives its
// spatializer, the mix a view of each source.
struct Observer {
    PathSampler* sampler;
    Progress* progress;
    std::int64_t total;
    std::vector<SourceView> one = std::vector<SourceView>(1);

    void block(std::int64_t first, int frames, const Spatializer& sp) {
        if (sampler && sp.positionsX()) {
            one[0] = SourceView{
                sp.positionsX(), sp.positionsY(), sp.elevations(), sp.distances(), 0, frames};
            sampler->block(first, frames, one);
        }
        if (progress)
            progress->update(first + frames, total);
    }
    void block(std::int64_t first, int frames, const std::vector<SourceView>& views) {
        if (sampler)
            sampler->block(first, frames, views);
        if (progress)
            progress->update(first + frames, total);
    }
};

// An observer of either loop that looks at nothing.
struct Unobserved {
    void block(std::int64_t, int, const Spatializer&) {}
    void block(std::int64_t, int, const std::vector<SourceView>&) {}
};

// What messages call the output.
std::string outputName(const Options& o) {
    return o.output == "-" ? "standard output" : o.output;
}
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
                                s.position->azimuth, s.position->elevation});
        else
            speakers.push_back({0, 0, s.label, std::to_string(k + 1), std::nullopt});
    }
    return speakers;
}

// The square of four is drawn as the square; every other rig as a circle.
PlotView plotView(const SpeakerLayout& layout) {
    return layout.sameSpeakers(layouts::quad()) ? PlotView::Square : PlotView::Circle;
}

// About the size of an uncompressed output (0 for a compressed one or
// standard output), for setting its room aside on the disk. For one source
// read as it is, no more than 1 byte of input a frame can stand for,
// whatever the header announces.
std::uint64_t expectedBytes(const Options& o, const std::string& input, std::int64_t frames,
                            bool oneInput, int channels) {
    if (o.format->compressed || o.output == "-" || frames <= 0)
        return 0;
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(channels) * o.samples->bytes;
    if (!oneInput)
        return kHeaderRoom + static_cast<std::uint64_t>(frames) * frameBytes;
    return SafeOutput::roomFor(input, static_cast<std::uint64_t>(frames), 1, frameBytes,
                               kHeaderRoom, 0);
}

// Fills in what the inputs decide: the sample format when --bits did not
// say, and whether to dither. `inputBits` is 0 for floating-point input.
Options settled(Options o, int inputBits) {
    if (!o.samples)
        o.samples = &chooseSamples(*o.format, inputBits);
    if (o.noClip && !o.samples->isFloat)
        throw UsageError("--no-clip: only float output can keep samples beyond full scale");
    o.dither = wantsDither(o, inputBits);
    return o;
}

// Refuses, before any work, an output of `frames` longer than the format's
// size fields can describe; a stream has no such fields.
void checkLength(const Options& o, int channels, std::int64_t frames) {
    if (o.output != "-" && !o.format->fits(*o.samples, channels, frames))
        throw std::runtime_error(outputName(o) + ": " + o.format->tooLong());
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
            rates += (i == 0                            ? ""
                      : i + 1 == o.format->rates.size() ? " and "
                                                        : ", ") +
                     std::to_string(o.format->rates[i]);
        throw std::runtime_error(outputName(o) + ": " + o.format->summary + " holds only " + rates +
                                 " Hz, not " + std::to_string(rate) + " Hz");
    }
    std::string can;
    for (const OutputFormat& f : outputFormats()) {
        if (writable(f, f.firstSamples()))
            can += (can.empty() ? "" : ", ") + std::string(f.name);
    }
    throw std::runtime_error(outputName(o) + ": libsndfile cannot write " + o.format->summary +
                             " (" + o.samples->summary + ") with " + std::to_string(channels) +
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
// than the block it measures in. `name` is the input's or the scene's.
void checkMeasurable(const Options& o, const std::string& name, const SpeakerLayout& channels,
                     int rate, std::int64_t frames) {
    if (!o.loudnessTo)
        return;
    const std::string why = LoudnessMeter::unmeasurable(channels.size(), rate);
    if (!why.empty())
        throw UsageError("--loudness: " + why);
    if (frames * 1000 < static_cast<std::int64_t>(rate) * LoudnessMeter::kBlockMilliseconds)
        throw std::runtime_error(
            name + ": the output (" + shortNumber(static_cast<double>(frames) / rate) +
            " s) is shorter than the " + std::to_string(LoudnessMeter::kBlockMilliseconds) +
            " ms block loudness is measured in; there is no loudness to "
            "bring to " +
            shortNumber(*o.loudnessTo) + " LUFS");
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

// One source heard on headphones: its mono signal is filtered once with the
// gain-weighted sum of the loudspeakers' HRTFs, so the cost does not grow
// with the loudspeakers. The feeds the spatializer hands on are not used:
// its mono block and positions are. The convolution runs on a second
// thread, batches of kBatchBlocks blocks behind the block loop.
template <class Sink>
class SourceHeadphones {
  public:
    // Few enough hand-overs between the threads that waking the other
    // costs nothing measurable, and a small share of a run's memory.
    static constexpr int kBatchBlocks = 16;

    SourceHeadphones(std::shared_ptr<const HrirSet> hrirs, const Panner& panner,
                     const Spatializer& sp, Sink& out)
        : ears_(std::move(hrirs), panner, BLOCK_SIZE, kBatchBlocks), sp_(sp), out_(out) {}
    void write(const double* /*speakers*/, int frames) {
        put(ears_.process(sp_.monoBlock(), sp_.positionsX(), sp_.positionsY(), frames,
                          sp_.elevations()));
    }
    // Writes what is left, the tail last; returns the tail's frames.
    int finish() {
        while (put(ears_.finish())) {
        }
        return ears_.source().tailFrames();
    }
    std::string note() const {
        const HrirSet& set = ears_.source().hrirs();
        std::ostringstream text;
        text << set.sofaFile() << ", gain " << std::fixed << std::setprecision(2) << set.gainDb()
             << " dB, " << ears_.source().tailFrames() << " frames of tail";
        return text.str();
    }

  private:
    bool put(BinauralPipeline::Output ready) {
        if (ready.frames > 0)
            out_.write(ready.stereo, ready.frames);
        return ready.frames > 0;
    }

    BinauralPipeline ears_;
    const Spatializer& sp_;
    Sink& out_;
};
#endif

// One source of the scene, opened: its input, its path, and the reader
// that brings it to the scene's rate.
struct SourceJob {
    SourceEntry entry;
    std::unique_ptr<AudioInput> input;
    std::unique_ptr<Motion> motion;  // null for the rotations
    std::unique_ptr<SourceReader> reader;
    std::int64_t start = 0;  // the scene's frame its first frame falls on
};

// The input's rate must lie within kMaxRateRatio of the scene's.
void checkRate(const SourceJob& s, int rate) {
    const std::int64_t in = s.input->rate();
    if (in * kMaxRateRatio < rate || in > static_cast<std::int64_t>(rate) * kMaxRateRatio)
        throw std::runtime_error(s.entry.name + ": " + std::to_string(in) + " Hz is more than " +
                                 std::to_string(kMaxRateRatio) + " times from the output's " +
                                 std::to_string(rate) + " Hz");
}

// The precision the inputs hold between them, as AudioInput::precisionBits
// gives it: 0 when any is floating-point.
int precisionOf(const std::vector<SourceJob>& sources) {
    int bits = 8;
    for (const SourceJob& s : sources) {
        if (s.input->precisionBits() == 0)
            return 0;
        bits = std::max(bits, s.input->precisionBits());
    }
    return bits;
}

// Everything a run needs, checked and opened before any output is written.
struct Job {
    Options o;
    Scene scene;
    SpeakerLayout layout;
    Panner panner;
    std::vector<SourceJob> sources;
    int rate = 0;            // of the scene and the output
    SpeakerLayout channels;  // of the file
    std::vector<int> fileOrder;
#if TARVIO_RENDER_BINAURAL
    // Loaded once, before any output is prepared; every pass shares it.
    std::shared_ptr<const HrirSet> hrirs;
#endif
    // The frames of the scene, until its last source ends; those the
    // output will hold, for headphones with the tail of the last sound.
    std::int64_t sceneFrames = 0;
    std::int64_t outputFrames = 0;

    Job(const Options& given, const Scene& s, const SpeakerLayout& l)
        : o(given),
          scene(s),
          layout(l),
          panner(pannerFor(given, l)),
          channels(fileLayout(given, l)) {
        openSources();
        o = settled(given, precisionOf(sources));
        checkTraceStep(o, sceneFrames, rate);
        checkWritable(o, channels.size(), rate);
        for (SourceJob& source : sources)
            loadMotion(source);
        fileOrder = layout.fileOrder(o.format->order);
        outputFrames = sceneFrames + loadHeadphones();
        checkLength(o, channels.size(), outputFrames);
        checkMeasurable(o, name(), channels, rate, outputFrames);
    }

    // Opens every input, settles the scene's rate and lays the sources out.
    void openSources() {
        for (const SourceEntry& entry : scene.sources) {
            sources.emplace_back();
            sources.back().entry = entry;
            sources.back().input.reset(new AudioInput(entry.input));
        }
        rate = o.rate ? *o.rate : sources.front().input->rate();
        for (SourceJob& s : sources) {
            checkRate(s, rate);
            s.reader.reset(new SourceReader(*s.input, rate));
            s.start = std::llround(s.entry.start * rate);
            sceneFrames = std::max(sceneFrames, s.start + s.reader->frames());
        }
    }

    // The motion of a source with a path file or an orbit, and the frames
    // its Doppler delay adds to the scene.
    void loadMotion(SourceJob& s) {
        const SourceOptions& place = s.entry.place;
        if (!place.pathFile.empty()) {
            interrupt::check();  // as before a layout file (see loadLayout)
            s.motion.reset(new Motion(Motion::load(place.pathFile)));
        } else if (place.orbits) {
            const Orbit orbit{place.azimuth,  place.orbit.init,     place.orbit.end,
                              place.distance, place.elevation.init, place.elevation.end};
            s.motion.reset(new Motion(
                Motion::orbit(orbit, static_cast<double>(s.reader->sweepFrames()) / rate)));
        }
        if (o.doppler) {
            const double farthest = s.motion ? s.motion->maxDistance() : 1.0;
            sceneFrames =
                std::max(sceneFrames, s.start + s.reader->frames() +
                                          DopplerDelay::tailFramesFor(farthest * o.radius, rate));
        }
    }

    // The input's name, or the scene file's.
    const std::string& name() const {
        return scene.file.empty() ? o.input : scene.file;
    }

    // Whether the scene is one source that starts at once at the scene's
    // rate, with no Doppler tail to run on for and no channels kept apart
    // (headphones of one source filter its mono block): its frames then go
    // straight from its spatializer to the output.
    bool direct() const {
        return sources.size() == 1 && sources[0].start == 0 && !sources[0].reader->resampled() &&
               !o.doppler &&
               !(sources[0].entry.place.keepChannels && sources[0].reader->channels() > 1);
    }

    // Loads the HRTF set for --binaural; returns the frames of its tail.
    int loadHeadphones() {
        if (!o.binaural)
            return 0;
#if TARVIO_RENDER_BINAURAL
        hrirs = HrirSet::load(*o.binaural, layout, rate);
        return hrirs->length() - 1;
#else
        throw UsageError("--binaural: this tarvio-render was built without libmysofa and KissFFT");
#endif
    }

    // The spatializer of source `s`, its level `scale` on top of --norm and
    // its own gain; `order`: the order of the channels in the frames it
    // gives (see SpatializerOptions::order), empty for the engine's;
    // `onlyPositions`: make the mono signal and the positions, no feeds.
    std::unique_ptr<Spatializer> spatializerFor(const SourceJob& s, double scale,
                                                std::vector<int> order,
                                                bool onlyPositions = false) const {
        SpatializerOptions so;
        so.order = std::move(order);
        so.motion = s.motion.get();
        so.distanceLaw = o.distanceLaw;
        so.doppler = o.doppler;
        so.radius = o.radius;
        so.air = o.air;
        so.keepChannels = s.entry.place.keepChannels;
        so.width = s.entry.place.width;
        so.layout = &panner.layout();
        so.law = &panner.law();
        so.lawParams = o.lawParams;
        so.keepPositions = wantsPositions();
        so.spread = !onlyPositions;
        const double norm = o.norm * scale * std::pow(10.0, s.entry.gainDb / 20.0);
        // The sweeps spread over the input's frames, held at INT_MAX like
        // tarvio's.
        const std::int64_t sweep = s.reader->sweepFrames();
        const int frames = sweep > INT_MAX ? INT_MAX : static_cast<int>(sweep);
        return makeSpatializer(engineParams(s.entry.place, norm), s.reader->channels(), rate,
                               frames, so);
    }

    bool wantsPositions() const {
        return !o.traceFile.empty() || !o.plotFile.empty();
    }

    // The scene's frames into `sink` from the start, each source's level
    // `scale` on top of its own; returns the frames given to the sink.
    template <class Sink, class Look>
    std::int64_t mix(Sink& sink, Look&& observer, double scale, const std::vector<int>& order) {
        for (SourceJob& s : sources)
            s.reader->rewind();
        if (direct()) {
            std::unique_ptr<Spatializer> sp = spatializerFor(sources[0], scale, order);
            return runBlocks(*sources[0].reader, *sp, sink, observer);
        }
        std::vector<SourceStream> streams;
        streams.reserve(sources.size());
        for (SourceJob& s : sources)
            streams.emplace_back(*s.reader, spatializerFor(s, scale, order), s.start,
                                 wantsPositions());
        return mixBlocks(streams, sceneFrames, sink, observer);
    }

    // One pass over the scene into `sink` (see mix); sets `note` to what the
    // binaural stage says of itself. The frames come in `order` (see
    // SpatializerOptions::order), which binaural output cannot take.
    template <class Sink, class Look>
    std::int64_t pass(Sink& sink, Look&& observer, double scale, std::string& note,
                      const std::vector<int>& order = {}) {
        if (!o.binaural)
            return mix(sink, observer, scale, order);
#if TARVIO_RENDER_BINAURAL
        if (direct())
            return headphonesOfOneSource(sink, observer, scale, note);
        Headphones<Sink> ears(hrirs, sink);
        const std::int64_t frames = mix(ears, observer, scale, {});
        note = ears.note();
        return frames + ears.finish();
#else
        (void)note;
        return 0;  // refused when the job was made
#endif
    }

#if TARVIO_RENDER_BINAURAL
    // A scene of one source on headphones (see direct()): its signal
    // filtered once, whatever the loudspeakers.
    template <class Sink, class Look>
    std::int64_t headphonesOfOneSource(Sink& sink, Look&& observer, double scale,
                                       std::string& note) {
        SourceJob& s = sources[0];
        s.reader->rewind();
        std::unique_ptr<Spatializer> sp = spatializerFor(s, scale, {}, true);
        SourceHeadphones<Sink> ears(hrirs, panner, *sp, sink);
        const std::int64_t frames = runBlocks(*s.reader, *sp, ears, observer);
        note = ears.note();
        return frames + ears.finish();
    }
#endif

    // The factor that --gain, --normalize and --loudness ask for; the last
    // two measure a first pass that writes nothing.
    double levelScale() {
        double scale = std::pow(10.0, o.gainDb / 20.0);
        if (!o.normalizeTo && !o.loudnessTo)
            return scale;
        // --normalize needs only the peak.
        std::unique_ptr<LoudnessMeter> loudness;
        if (o.loudnessTo)
            loudness.reset(new LoudnessMeter(channels, rate));
        Meter meter{loudness.get(), 0.0, channels.size()};
        std::string note;
        pass(meter, Unobserved{}, scale, note);
        const double level = loudness ? loudness->integrated() : 20.0 * std::log10(meter.peak);
        const double target = o.loudnessTo ? *o.loudnessTo : *o.normalizeTo;
        if (!std::isfinite(level))
            throw std::runtime_error(name() +
                                     ": the output would be silent (or not a number); "
                                     "there is no level to bring to " +
                                     shortNumber(target));
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

PathSampler samplerFor(const Job& job, TextFile* trace) {
    return PathSampler(job.panner, job.fileOrder, job.rate, job.o.traceStep,
                       !job.o.plotFile.empty(), trace ? &trace->stream() : nullptr,
                       static_cast<int>(job.sources.size()));
}

// The picture of every source's path.
void writePlot(SafeOutput& plot, const Job& job, const PathSampler& sampler) {
    TextFile file(plot.writePath(), plot.takeDescriptor(), job.o.plotFile);
    plot.opened();
    std::vector<PlotPath> paths;
    // In a scene, each path is named as the trace names its columns, with
    // its input: "s2 voice.wav".
    for (std::size_t s = 0; s < job.sources.size(); ++s) {
        const std::string number = job.scene.file.empty() ? "" : "s" + std::to_string(s + 1) + " ";
        paths.push_back({number + job.sources[s].entry.name, sampler.points(static_cast<int>(s))});
    }
    const PlotCaption caption{job.name(), static_cast<double>(job.sceneFrames) / job.rate,
                              job.panner.law().name};
    // A source beyond the loudspeakers is drawn on the circle, which grows
    // to the largest distance.
    PlotView view = plotView(job.layout);
    for (const PlotPath& path : paths)
        for (const PlotPoint& p : path.points)
            if (distanceOf(p.x, p.y) > 1.0)
                view = PlotView::Circle;
    writeSvgPlot(file.stream(), paths, caption, plotSpeakers(job.layout, job.fileOrder), view);
    file.close();
}

// Closes the trace and writes the picture.
void finishTexts(const Job& job, RunFiles& files, TextFile* trace, const PathSampler& sampler) {
    if (trace)
        trace->close();
    if (files.plot)
        writePlot(*files.plot, job, sampler);
}

// The summary's lines of the sources: "input:" for the command line's,
// "scene:" and one "source N:" each for a scene's.
void printSources(std::ostream& out, const Job& job) {
    if (job.scene.file.empty()) {
        const SourceJob& s = job.sources[0];
        out << "input:    ";
        printSource(out, job.o.input, *s.input, *s.reader, job.rate, 0.0, 0.0);
        return;
    }
    out << "scene:    " << job.scene.file << ": " << job.sources.size()
        << (job.sources.size() == 1 ? " source, " : " sources, ") << job.rate << " Hz\n";
    for (std::size_t i = 0; i < job.sources.size(); ++i) {
        const SourceJob& s = job.sources[i];
        out << "source " << i + 1 << ": ";
        printSource(out, s.entry.name, *s.input, *s.reader, job.rate, s.entry.start,
                    s.entry.gainDb);
    }
}

void printSummary(std::ostream& out, const Job& job, const AudioOutput& audio, std::int64_t frames,
                  const std::string& binaural) {
    printSources(out, job);
    printOutput(out, job.o, audio.channels(), frames);
    out << "\n";
    out << "duration: " << static_cast<double>(frames) / job.rate << " s\n";
    if (!binaural.empty())
        out << "binaural: " << binaural << "\n";
    out << "peak:     " << decibels(audio.peak());
    if (audio.notANumber() > 0)
        out << "; " << audio.notANumber() << " samples not a number, written as 0";
    out << "\n";
    out << "clipped:  " << audio.clipped() << (audio.clipped() == 1 ? " sample" : " samples")
        << std::endl;
}

// --dry-run: the positions of every frame for the trace and the picture,
// from silence in place of the inputs, and the summary of what would be
// written.
void dryRun(Job& job, RunFiles& files, std::ostream& out) {
    const Options& o = job.o;
    for (SafeOutput* f : files.written())
        f->prepare();
    std::unique_ptr<TextFile> traceFile = openTrace(files, o);
    PathSampler sampler = samplerFor(job, traceFile.get());
    for (SourceJob& s : job.sources)
        s.reader->silence();
    Meter nothing{nullptr, 0.0, job.layout.size()};
    job.mix(nothing, Observer{&sampler, nullptr, job.sceneFrames}, 1.0, {});
    finishTexts(job, files, traceFile.get(), sampler);
    SafeOutput::commitAll(files.written());
    if (o.quiet)
        return;
    printSources(out, job);
    printOutput(out, o, job.channels.size(), job.outputFrames);
    out << " (dry run: not written)" << std::endl;
}

// The audio output: a file prepared by `files`, or standard output.
std::unique_ptr<AudioOutput> openAudio(const Job& job, RunFiles& files) {
    const Options& o = job.o;
    const Encoding encoding{o.noClip, *o.dither, o.quality ? *o.quality : -1,
                            o.compression ? *o.compression : -1};
    if (!files.audio)
        return std::make_unique<AudioOutput>(STDOUT_FILENO, outputName(o), *o.format, *o.samples,
                                             job.channels, job.rate, encoding);
    files.audio->reserve(expectedBytes(o, job.sources[0].entry.input, job.sceneFrames, job.direct(),
                                       job.channels.size()));
    auto audio = std::make_unique<AudioOutput>(
        files.audio->writePath(), files.audio->takeDescriptor(), o.output, *o.format, *o.samples,
        job.channels, job.rate, job.sceneFrames, encoding);
    files.audio->opened();
    return audio;
}

// Warns of every mixdown that cancels (see warnOfMixdown); a source whose
// channels are kept apart is not mixed down.
void warnOfMixdowns(std::ostream& err, const Job& job) {
    for (const SourceJob& s : job.sources)
        if (!s.entry.place.keepChannels)
            warnOfMixdown(err, s.entry.name, s.reader->meter());
}

// The summary and the progress bar go to `out` and `err`; with the audio
// on standard output the summary goes to `err` as well.
void render(const Options& given, std::ostream& out, std::ostream& err, bool& progressShown) {
    Options options = given;
    const Scene scene = options.sceneFile.empty() ? commandLineScene(options) : loadScene(options);
    checkDistinct(options, scene);
    RunFiles files(options);
    Job job(options, scene, loadLayout(options));
    const Options& o = job.o;
    std::ostream& summary = o.output == "-" ? err : out;
    if (o.dryRun)
        return dryRun(job, files, summary);
    LevelNote level{job.levelScale(), nullptr};

    for (SafeOutput* f : files.all())
        f->prepare();
    std::unique_ptr<AudioOutput> audio = openAudio(job, files);
    std::unique_ptr<TextFile> traceFile = openTrace(files, o);
    PathSampler sampler = samplerFor(job, traceFile.get());
    std::unique_ptr<Progress> progress;
    if (progressWanted(o.quiet)) {
        progress.reset(new Progress(err));
        progressShown = true;
    }
    // The summary gives the resulting loudness where the meter can measure
    // it (--loudness was refused before any work where it cannot).
    std::unique_ptr<LoudnessMeter> loudness;
    if ((o.normalizeTo || o.loudnessTo) &&
        LoudnessMeter::unmeasurable(job.channels.size(), job.rate).empty())
        loudness.reset(new LoudnessMeter(job.channels, job.rate));
    level.loudness = loudness.get();
    MeteredOutput sink{*audio, loudness.get()};
    // Where the loudspeaker feeds go straight to the file, the spatializers
    // write them in the file's channel order, which spares a pass over
    // every block; the meter and the headphones want the engine's.
    std::vector<int> order;
    if (!o.binaural && !loudness)
        order = audio->takeOrder();
    std::string binauralNote;
    const std::int64_t frames = job.pass(sink, Observer{&sampler, progress.get(), job.sceneFrames},
                                         level.scale, binauralNote, order);
    audio->close();
    finishTexts(job, files, traceFile.get(), sampler);
    files.commit();
    if (progress)
        progress->finish();
    progressShown = false;
    if (!o.quiet) {
        printSummary(summary, job, *audio, frames, binauralNote);
        printLevel(summary, o, level);
    }
    warnOfClipping(err, *audio);
    warnOfMixdowns(err, job);
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
    } catch (const PipeClosed&) {
        // Nobody listens any more: the run ends as the listener wanted,
        // keeping none of the files it had not finished.
        if (progressShown)
            err << '\n';
        return 0;
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
