// SPDX-License-Identifier: MIT
// The command line of tarvio-render: what a run is asked to do (Options) and
// the table of options that fills it in. The table is the only place the
// options are written down: the command line is parsed by it, and --help,
// the manual page's OPTIONS section and the bash completion are made from it
// (see OptionTable.h for what a row holds). An option is a field here, a row
// below and the code that uses the field.
#ifndef TARVIO_RENDER_OPTIONS_H
#define TARVIO_RENDER_OPTIONS_H

#include <cmath>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/GainLaw.h"
#include "engine/Motion.h"
#include "engine/Spatializer.h"
#include "engine/SpeakerLayout.h"
#include "render/Binaural.h"
#include "render/OptionTable.h"
#include "render/OutputFormat.h"

namespace tarvio::render {

// Where one source goes: the rotations, a path file, or an orbit (a still
// source is an orbit of 0 Hz), and whether its channels are mixed down. The
// command line describes one source; a scene file one per [[source]]
// table, through the same rows (those of the Motion group but --scene).
struct SourceOptions {
    Sweep rot1;  // drives x
    Sweep rot2;  // drives y
    double angle1 = 0.0;
    double angle2 = 0.0;
    std::string pathFile;  // a path file instead of the rotations
    // --orbit, --azimuth, --elevation or --distance given: an orbit
    // instead of the rotations.
    bool orbits = false;
    Sweep orbit;  // turns per second
    double azimuth = 0.0;
    double distance = 1.0;
    Sweep elevation;            // degrees, -90..90, from start to end
    bool keepChannels = false;  // --channels keep
    double width = 60.0;        // degrees the kept channels spread over
};

struct Options {
    std::string input;
    std::string output;  // "-": standard output
    // --scene: the sources and the settings of a scene file; INPUT is then
    // left out.
    std::string sceneFile;
    SourceOptions source;  // the command line's one source
    // --rate: the output's sample rate; unset, the (first) input's.
    std::optional<int> rate;
    double norm = 1.0;
    // The loudspeakers: --layout's name or file, or --ambisonics ORDER as
    // "ambisonics:ORDER"; read when the run starts (see loadLayout).
    std::string layout = "quad";
    const PanLaw* law = nullptr;  // a row of panLaws(); null: the layout's default
    LawParams lawParams;          // --rolloff and --blur
    DistanceLaw distanceLaw;      // --rolloff-distance
    bool doppler = false;
    double radius = 2.0;  // metres from the middle to the loudspeakers
    bool air = false;
    // --binaural: the SOFA file whose HRTFs turn the loudspeakers into two
    // ears; unset for loudspeaker output.
    std::optional<std::string> binaural;
    const OutputFormat* format = nullptr;  // a row of outputFormats()
    // A row of sampleFormats(); null until the input's precision decides
    // (see chooseSamples).
    const SampleFormat* samples = nullptr;
    // TPDF dither on or off as asked; unset: on when the output keeps fewer
    // bits than the input has.
    std::optional<bool> dither;
    std::optional<double> quality;      // 0..10, for the lossy formats
    std::optional<double> compression;  // 0..8, for FLAC
    std::string traceFile;
    double traceStep = 0.01;
    bool traceStepGiven = false;  // --trace-step was on the command line
    std::string plotFile;
    bool noClip = false;  // float output keeps samples beyond full scale
    double gainDb = 0.0;  // --gain, on top of --norm
    // --normalize: the output's peak at this many dBFS; --loudness: its
    // integrated loudness at this many LUFS. Each takes a first pass that
    // renders without writing.
    std::optional<double> normalizeTo;
    std::optional<double> loudnessTo;
    bool dryRun = false;  // the trace, the picture and the summary; no audio
    bool quiet = false;
    // The long names of the rows that were set, by the command line or by
    // the scene's global keys: "--layout", ...
    std::set<std::string> given;
};

// The sample rates --rate takes, and how far an input's rate may lie from
// the output's.
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 2822400;
constexpr int kMaxRateRatio = 256;

namespace option_rows {
using G = OptionGroup;

// The options, in the order --help and the manual page show them. Checks
// that need several options at once are in Options.cpp (checkCombinations).
// The rows hold texts and function pointers only: making them calls nothing
// that needs other tables to be ready.
inline const std::vector<OptionRow> kRows = {
    // The sources and the path of the sound.
    option("--scene", "FILE.toml", G::Motion,
           "several sources, their motion and the settings, from a scene file; no INPUT",
           "Renders the scene of a TOML file (see SCENES below): one or more sources, each "
           "with its input, its motion, its gain and its start, and the settings of the "
           "options of the Levels, Rig and Audio file groups and *--trace-step* as keys of "
           "the same names. OUTPUT is then the only word besides the options: "
           "*tarvio-render --scene piece.toml piece.wav*. An option on the command line "
           "wins over the scene's key; the options that move the sound (*--rot1* to "
           "*--width*) belong to the scene's sources and are refused beside *--scene*.",
           Offer::files("toml"), [](Options& o, const Arg& a) { o.sceneFile = a.text(); }),
    option("--rot1", "F[:F_END]", G::Motion,
           "rotation 1 (x) in Hz, sweeping to F_END over the file",
           "Rotation 1 (x) in Hz (turns per second), sweeping linearly to F_END over the "
           "file; default 0. Negative values may stand as words of their own: "
           "*--rot1 -1:2*.",
           Offer::nothing(), [](Options& o, const Arg& a) { o.source.rot1 = a.sweep(); }),
    option("--rot2", "F[:F_END]", G::Motion,
           "rotation 2 (y) in Hz, sweeping to F_END over the file",
           "Rotation 2 (y), as *--rot1*.", Offer::nothing(),
           [](Options& o, const Arg& a) { o.source.rot2 = a.sweep(); }),
    option("--angle1", "DEG", G::Motion, "starting angle of rotation 1 in degrees",
           "The starting angle of rotation 1 in degrees (default 0): 0, 90, 180 and 270 are "
           "the corners (0, 0), (1, 0), (1, 1) and (0, 1); other angles are taken modulo 360 "
           "(-90 is 270).",
           Offer::nothing(), [](Options& o, const Arg& a) { o.source.angle1 = a.angle(); }),
    option("--angle2", "DEG", G::Motion, "starting angle of rotation 2 in degrees",
           "The starting angle of rotation 2, as *--angle1*.", Offer::nothing(),
           [](Options& o, const Arg& a) { o.source.angle2 = a.angle(); }),
    option("--path", "FILE", G::Motion,
           "path file instead of the rotations: lines 'seconds x y' or 'seconds azimuth "
           "[elevation] [distance]'",
           "A path file instead of the rotations: one point per line at increasing times, "
           "*#* starting a comment. An optional first line names the columns: "
           "<seconds x y> (also the meaning of a file without one; x and y in [0, 1]) or "
           "<seconds azimuth [elevation] [distance]> (degrees, 0 in front, positive to the "
           "left; elevation from -90 to 90, default 0; distance "
           "from 0 to 100, default 1, 1 on the loudspeakers). The sound moves in straight "
           "lines between the points, azimuths as written (350 then 370 crosses the "
           "front), and stays at the first point before it and at the last after it. A "
           "malformed file is refused with its line number and the reason.\n\n"
           "A path file holds at most 16 MiB. A pipe may be named as the file; one that "
           "stalls does not keep a stop signal from ending the run.",
           Offer::files(), [](Options& o, const Arg& a) { o.source.pathFile = a.text(); }),
    option("--orbit", "HZ[:HZ_END]", G::Motion,
           "circle the listener at HZ turns per second (positive: counter-clockwise), "
           "sweeping to HZ_END over the file",
           "The sound circles the middle at constant angular speed, HZ turns per second, "
           "sweeping linearly to HZ_END over the file: positive counter-clockwise seen from "
           "above (azimuth increasing, from the front to the left), negative clockwise. It "
           "starts at *--azimuth* at *--distance*. Not with the rotations or *--path*.",
           Offer::nothing(), [](Options& o, const Arg& a) {
               o.source.orbit = a.sweep();
               o.source.orbits = true;
           }),
    option("--azimuth", "DEG", G::Motion,
           "direction in degrees (0 front, 90 left); the start of --orbit, else a still source",
           "The sound's direction in degrees (default 0): 0 in front, 90 to the left, -90 to "
           "the right. With *--orbit*, where the orbit starts; without it, a still source.",
           Offer::nothing(), [](Options& o, const Arg& a) {
               o.source.azimuth = a.number();
               o.source.orbits = true;
           }),
    option("--distance", "D", G::Motion,
           fill("distance from the middle, 0 to {}: 1 on the loudspeakers (default 1)",
                kMaxDistance),
           fill("The sound's distance from the middle, 0 to {}: 1 on the loudspeakers (the "
                "square's edge), 0 in the middle (default 1). Beyond 1 the sound comes "
                "from the loudspeakers of its direction and fades with *--rolloff-distance*.",
                kMaxDistance),
           Offer::nothing(), [](Options& o, const Arg& a) {
               o.source.distance = a.numberIn(0.0, kMaxDistance);
               o.source.orbits = true;
           }),
    option("--elevation", "DEG[:DEG_END]", G::Motion,
           "height in degrees (-90 below, 90 overhead), sweeping to DEG_END over the file; "
           "default 0",
           "The sound's elevation in degrees above ear height, -90 (below) to 90 "
           "(overhead), default 0, sweeping linearly to DEG_END over the file: "
           "*--elevation 0:60* rises from the horizon to 60 degrees. Like *--azimuth*, it "
           "places a still or circling source. A layout without loudspeakers above or below "
           "the horizon renders the sound at its direction's azimuth.",
           Offer::nothing(), [](Options& o, const Arg& a) {
               o.source.elevation = a.sweepIn(-90.0, 90.0, " degrees");
               o.source.orbits = true;
           }),
    option("--channels", "CHANNELS", G::Motion,
           "mix: the input's channels mixed down (default); keep: each its own source",
           "What becomes of a multichannel input: *mix* (the default) spatializes the "
           "mean of its channels; *keep* makes each channel a source of its own that moves "
           "with the others, spread over *--width* degrees around the moving point: "
           "channel k of n at its azimuth + W/2 - k W/(n-1), at its distance (a stereo "
           "pair at W/2 to the left and to the right).",
           Offer::oneOf([] {
               return std::vector<Choice>{{"mix", "the channels' mean, one source"},
                                          {"keep", "each channel a source of its own"}};
           }),
           [](Options& o, const Arg& a) { o.source.keepChannels = a.text() == "keep"; }),
    option("--width", "DEG", G::Motion,
           "--channels keep: degrees the channels spread over (default 60)",
           "With *--channels keep*: the degrees the channels spread over, 0 to 360 "
           "(default 60). A mixdown has nothing to spread and leaves it unused.",
           Offer::nothing(),
           [](Options& o, const Arg& a) { o.source.width = a.numberIn(0.0, 360.0, " degrees"); }),

    // The levels.
    option("--norm", "X", G::Levels, "amplitude factor of the mixdown (default 1)",
           "Amplitude factor of the mixdown (default 1).", Offer::nothing(),
           [](Options& o, const Arg& a) { o.norm = a.number(); }),
    option("--gain", "DB", G::Levels, "output level in dB, on top of --norm (default 0)",
           "Output level in decibels, on top of *--norm* (default 0).", Offer::nothing(),
           [](Options& o, const Arg& a) { o.gainDb = a.number(); }),
    optionalValue(
        "--normalize", "DBFS", "-1", G::Levels,
        "scale the output so that its peak is at DBFS (default -1)",
        "Scales the output so that its peak is at DBFS (default -1), measured in a first "
        "pass that writes nothing. The value only follows '=' "
        "(*--normalize=-3*): a bare *--normalize* never takes INPUT for its value. It needs "
        "only the peak and works at any sample rate. Not with *--loudness*.",
        Offer::nothing(), [](Options& o, const Arg& a) { o.normalizeTo = a.number(); }),
    option("--loudness", "LUFS", G::Levels,
           "scale the output so that its integrated loudness (EBU R128) is LUFS",
           "Scales the output so that its integrated loudness (EBU R128, measured with "
           "libebur128; loudspeakers more than 60 degrees from the front count as surround "
           "channels, an LFE not at all) is at LUFS, measured in a first pass that writes "
           "nothing. The loudness of Ambisonic output is measured on W (ACN0) alone. The "
           "summary gives the gain applied and the resulting loudness.\n\n"
           "Loudness is measured at 8000 Hz or more (the K-weighting filter's shelf lies at "
           "1.7 kHz), at most 2822400 Hz and on at most 64 channels: other outputs are "
           "refused as a usage error (*--loudness: loudness is measured at 8000 Hz or more "
           "(the K-weighting filter's shelf lies at 1.7 kHz), not at 16 Hz*). An output "
           "shorter than the 400 ms block loudness is measured in is refused as well.",
           Offer::nothing(), [](Options& o, const Arg& a) { o.loudnessTo = a.number(); }),

    // The rig.
    option("--layout", "FILE", G::Rig, "the loudspeakers (default quad)",
           "The loudspeakers (default *quad*): a layout of the list below (azimuths in "
           "degrees, 0 in front, positive to the left), or a layout file. Each loudspeaker "
           "stands on the square's edge in its direction.\n\n"
           "*ring:*<N>[*:*<FIRST>] is N loudspeakers (2 to 64) labelled 1 to N, the first at "
           "FIRST degrees (default 0; any finite number, taken modulo 360), each next one "
           "360/N degrees clockwise seen from above. *ambisonics:*<ORDER> is the same as "
           "*--ambisonics* ORDER.\n\n"
           "A layout file has lines <LABEL AZIMUTH>, one loudspeaker per line in channel "
           "order, *#* starting a comment; a loudspeaker labelled LFE (no azimuth) gets no "
           "signal. It holds at most 64 loudspeakers and 65536 bytes; loudspeakers stand at "
           "least 1 degree apart; labels are made of letters, digits, '-', '_' and '.', and "
           "begin with a letter or a digit. A pipe may be named as the file; one that stalls "
           "does not keep a stop signal from ending the run.\n\n"
           "WAV and RF64 files declare the loudspeakers in their channel mask when every "
           "label is a standard WAV loudspeaker; a layout that holds others (rings, "
           "Ambisonic channels, files with other labels) is declared with channel mask 0, "
           "no positions.",
           Offer::wordsOrFiles(layoutChoices),
           [](Options& o, const Arg& a) { o.layout = a.text(); }),
    option("--ambisonics", "ORDER", G::Rig,
           fill("instead of loudspeakers, Ambisonic channels (AmbiX: ACN, SN3D) of ORDER {} "
                "to {}",
                kMinAmbisonicOrder, kMaxAmbisonicOrder),
           fill("Instead of loudspeakers, (ORDER+1) squared Ambisonic channels of ORDER {} to "
                "{} in ACN order with SN3D normalisation (AmbiX), declared with channel mask "
                "0. Not with *--layout* or *--binaural*.",
                kMinAmbisonicOrder, kMaxAmbisonicOrder),
           Offer::words([] { return wholeNumbers(kMinAmbisonicOrder, kMaxAmbisonicOrder); }),
           [](Options& o, const Arg& a) { o.layout = "ambisonics:" + a.text(); }),
    option("--law", "LAW", G::Rig,
           "gain law (default: the first of these that fits the layout)",
           "The gain law: how the sound's position becomes the gains of the loudspeakers. "
           "Without *--law* the first law of the list below that fits the layout is taken; a "
           "law that does not fit the layout is refused, naming those that do.\n\n"
           "Bilinear weights each axis by w and 1 - w: the gains add up to 1, and the level "
           "drops by 3 dB at the middle of an edge and 6 dB at the centre. Power uses "
           "sin(pi w/2) and cos(pi w/2): the squared gains add up to 1. Vbap pans between "
           "the two loudspeakers either side of the sound's direction with constant power "
           "and spreads the sound over all of them towards the middle of the square; a "
           "direction inside an arc wider than 180 degrees between neighbouring loudspeakers "
           "(behind a stereo pair) is mirrored front to back, and if the mirror falls in the "
           "gap too, the nearer loudspeaker of the gap takes it. Dbap weights every "
           "loudspeaker by its distance from the sound (*--rolloff*, *--blur*).",
           Offer::oneOf(lawChoices),
           [](Options& o, const Arg& a) { o.law = findPanLaw(a.text()); }),
    option("--rolloff", "DB", G::Rig,
           fill("dbap: dB per doubling of distance, 0 to {} (default {})",
                LawParams::kMaxRolloff, LawParams().rolloff),
           fill("Dbap's loss per doubling of distance, 0 to {} dB (default {}).",
                LawParams::kMaxRolloff, LawParams().rolloff),
           Offer::nothing(),
           [](Options& o, const Arg& a) {
               o.lawParams.rolloff = a.numberIn(0.0, LawParams::kMaxRolloff, " dB");
           }),
    option("--blur", "B", G::Rig,
           fill("dbap: spatial blur, 0 to {} half widths of the square (default {})",
                LawParams::kMaxBlur, LawParams().blur),
           fill("Dbap's spatial blur, in half widths of the square (which runs from -1 to "
                "1), 0 to {} (default {}).",
                LawParams::kMaxBlur, LawParams().blur),
           Offer::nothing(),
           [](Options& o, const Arg& a) {
               o.lawParams.blur = a.numberIn(0.0, LawParams::kMaxBlur);
           }),
    option("--rolloff-distance", "LAW", G::Rig,
           "level beyond distance 1: inverse (1/distance, default), none, or dB per doubling",
           "How the level falls for a sound beyond distance 1 (inside it the sound keeps its "
           "level): *inverse* (the default) as 1/distance, *none* not at all, or a number "
           "of dB per doubling of distance from 0 to 60 (*6* is *inverse*).",
           Offer::words([] {
               return std::vector<Choice>{{"inverse", "1/distance"}, {"none", "no change"}};
           }),
           [](Options& o, const Arg& a) {
               const std::optional<DistanceLaw> law = DistanceLaw::parse(a.text());
               if (!law)
                   a.refuse("expected inverse, none or dB per doubling from 0 to 60, got \"" +
                            a.text() + "\"");
               o.distanceLaw = *law;
           }),
    flag("--doppler", G::Rig,
         "delay each source by its distance: its pitch shifts as it moves (see --radius)",
         "Delays each source by the time its sound takes to the middle at 343 m/s over "
         "distance times *--radius* metres, so that its pitch shifts as it comes and goes "
         "(a source receding at v m/s sounds at f 343/(343+v)). The delayed sound is read "
         "with band-limited (windowed-sinc) interpolation. The output grows by the longest "
         "delay, so that the last sound is not cut.",
         [](Options& o, const Arg&) { o.doppler = true; }),
    option("--radius", "METRES", G::Rig,
           fill("--doppler and --air: metres from the middle to the loudspeakers (default "
                "{}, at most {})",
                2, SpatializerOptions::kMaxRadius),
           fill("The metres from the middle to the loudspeakers, distance 1, for "
                "*--doppler* and *--air* (default 2, above 0, at most {}).",
                SpatializerOptions::kMaxRadius),
           Offer::nothing(),
           [](Options& o, const Arg& a) {
               o.radius = a.numberIn(0.01, SpatializerOptions::kMaxRadius, " m");
           }),
    flag("--air", G::Rig,
         "the air takes high frequencies away with distance (ISO 9613-1, 20 C, 50 % humidity)",
         "The air's absorption over the way of each source: a first-order low-pass whose "
         "-3 dB point is the frequency that air at 20 degrees C, 50 % relative humidity "
         "and 101.325 kPa weakens by 3 dB over distance times *--radius* metres (ISO "
         "9613-1); it follows the distance block by block. In the middle (distance 0) "
         "nothing is filtered.",
         [](Options& o, const Arg&) { o.air = true; }),
    optionalValue(
        "--binaural", "SOFA", kDefaultSofaFile, G::Rig,
        fill("for headphones: the loudspeakers heard through the HRTFs of a SOFA file "
             "(default {}); two channels",
             kDefaultSofaFile),
        fill("Two channels for headphones: each loudspeaker's feed is convolved with the "
             "head-related impulse responses of its direction from the SOFA file (default "
             "<{}>, the MIT KEMAR set of Debian's libmysofa1) and the ears' sums are "
             "written. A loudspeaker on the horizon takes the responses interpolated between "
             "the set's nearest measured direction and its neighbours; one above or below it "
             "takes the nearest measured direction, which must lie within {} degrees, else "
             "the set is refused naming the loudspeaker. The value only follows '='. The output is longer than the input by "
             "the impulse responses' length minus one. One gain for the whole set keeps a "
             "loudspeaker straight ahead at the input's level. Not with Ambisonic channels "
             "(*--ambisonics*, *--layout ambisonics:*<ORDER>): a usage error.\n\n"
             "The set is loaded once per run, before any output is written; a stop signal "
             "while it loads ends the run at once. Its Data.Delay is counted in samples of "
             "the set's rate. The set is checked before it is resampled to the input's "
             "rate, and refused with the cause when it holds more than {} measurements, "
             "responses or delays that are not finite numbers, a negative delay or a "
             "sampling rate of 0; when a response with its delay is longer than {} "
             "samples; when its rate is more than a factor of {} from the input's; or when "
             "it must be resampled for an input below {} Hz.",
             kDefaultSofaFile, kMaxHrirAngle, kMaxSofaMeasurements, kMaxHrirFrames,
             kMaxSofaRateRatio,
             kMinResampledRate),
        Offer::files("sofa"), [](Options& o, const Arg& a) { o.binaural = a.text(); }),

    // The audio file.
    option("--format", "FORMAT", G::File, "output format (default: from OUTPUT's extension)",
           "The output format; by default the one OUTPUT's extension names (below). An "
           "extension that names another format than *--format* is refused. A format the "
           "installed libsndfile cannot write, or cannot write with the job's channels, rate "
           "or length, is refused before any work, naming the cause.\n\n"
           "An output that would pass what its format's size fields describe is refused "
           "before any work when the input's length tells it, else when it reaches the "
           "limit. Float WAV, CAF and AIFF-C outputs carry no PEAK chunk: two runs of one "
           "command write the same bytes.",
           Offer::oneOf(formatChoices),
           [](Options& o, const Arg& a) { o.format = findOutputFormat(a.text()); }),
    option("--bits", "BITS", G::File,
           "output sample format (default: the input's, where the format holds it)",
           "The output sample format. By default the input's precision where the format "
           "holds it: 16-bit in, 16-bit out; 24 to 24; 32 to 32; floating point to float; "
           "8-bit to 16; else the nearest the format holds. The lossy formats take no "
           "*--bits*.\n\n"
           "Integer samples are rounded to the nearest step (halves away from zero) and "
           "clipped; clipped samples are counted. Float samples are clipped at full scale "
           "too, unless *--no-clip* is given. Samples that are not a number become 0 in "
           "every format; they are counted in the summary and, even with *-q*, on standard "
           "error: *tarvio-render: warning: *<N>* samples not a number, written as 0*.",
           Offer::oneOf(sampleChoices),
           [](Options& o, const Arg& a) { o.samples = findSampleFormat(a.text()); }),
    option("--dither", "DITHER", G::File,
           "dither before integer samples are rounded (default: tpdf when the output keeps "
           "fewer bits than the input)",
           "Triangular dither of one step, added before integer samples are rounded; by "
           "default on when the output keeps fewer bits than the input (24-bit or "
           "floating-point input to 16-bit output), off otherwise, so that 16-bit input to "
           "16-bit output stays exact. The noise comes from a generator with a fixed start: "
           "the same command writes the same bytes. The summary says when it dithered.",
           Offer::oneOf([] {
               return std::vector<Choice>{{"tpdf", "triangular dither of one step"},
                                          {"none", "no dither"}};
           }),
           [](Options& o, const Arg& a) { o.dither = a.text() == "tpdf"; }),
    option("--rate", "HZ", G::File,
           fill("the output's sample rate, {} to {} Hz (default: the input's, or the first "
                "source's); other rates are resampled",
                kMinRate, kMaxRate),
           fill("The output's sample rate, a whole number of hertz from {} to {} (default: "
                "the input's; in a scene, the first source's). An input at another rate is "
                "resampled to it with libsoxr at its very high quality (a passband flat to "
                "within 0.01 dB up to 91 % of the lower Nyquist frequency, 175 dB of "
                "stopband rejection, linear phase); the summary says so. An input more than "
                "{} times faster or slower than the output is refused.",
                kMinRate, kMaxRate, kMaxRateRatio),
           Offer::nothing(),
           [](Options& o, const Arg& a) {
               const double hz = a.numberIn(kMinRate, kMaxRate, " Hz");
               if (hz != std::floor(hz))
                   a.refuse("not a whole number of hertz: \"" + a.text() + "\"");
               o.rate = static_cast<int>(hz);
           }),
    option("--quality", "Q", G::File, "lossy formats: encoder quality, 0 (least) to 10",
           "The lossy formats: the encoder's quality from 0 (smallest) to 10.",
           Offer::nothing(), [](Options& o, const Arg& a) { o.quality = a.numberIn(0, 10); }),
    option("--compression", "LEVEL", G::File,
           "FLAC: compression level, 0 (fastest) to 8 (smallest); default 5",
           "FLAC: the compression level from 0 (fastest) to 8 (smallest); the default is "
           "libsndfile's, 5.",
           Offer::words([] { return wholeNumbers(0, 8); }),
           [](Options& o, const Arg& a) { o.compression = a.numberIn(0, 8); }),
    flag("--no-clip", G::File,
         "float output only: keep samples beyond full scale (NaN still becomes 0, "
         "infinities the largest float)",
         "Float output only: keeps samples beyond full scale. Samples that are not a number "
         "still become 0, infinities the largest float.",
         [](Options& o, const Arg&) { o.noClip = true; }),

    // What else the run writes or shows.
    option("--trace", "FILE.csv", G::Report,
           "write seconds,x,y,azimuth,r,elevation,distance and each channel's gain (named by "
           "its loudspeaker, in the file's order) every --trace-step seconds; in a scene, per "
           "source",
           "Writes <seconds,x,y,azimuth,r,elevation,distance> and one gain per channel, "
           "named by its loudspeaker in the file's channel order (FR,FL,BR,BL for quad in "
           "AIFF, FL,FR,BL,BR in WAV, ACN0... for Ambisonics), every *--trace-step* seconds. "
           "x and y are the point the gain law places the sound at, azimuth its direction "
           "seen from the middle of the square, r its distance from the middle (1 on the "
           "edge); elevation is the source's, and distance its own distance, which goes on "
           "beyond 1 where r and the point stop at the edge. The gains are the law's, "
           "before the level of distance (*--rolloff-distance*).\n\n"
           "A scene of several sources gives each source these columns after the seconds, "
           "named with its number in front: <seconds,s1.x,s1.y,s1.azimuth,s1.r,"
           "s1.elevation,s1.distance,s1.FL,...,s2.x,...>. A source that is not sounding at a row's time (before its start, "
           "after its end) leaves its fields of that row empty.",
           Offer::files(), [](Options& o, const Arg& a) { o.traceFile = a.text(); }),
    option("--trace-step", "S", G::Report,
           "seconds between trace rows (default 0.01; at least one sample)",
           "Seconds between trace rows (default 0.01): a finite number of seconds, at least "
           "one sample period and, when given, at most the input's length.",
           Offer::nothing(),
           [](Options& o, const Arg& a) {
               o.traceStep = a.positive();
               o.traceStepGiven = true;
           }),
    option("--plot", "FILE.svg", G::Report, "write a picture of the path (of every source's)",
           "Draws the path: the square with the loudspeakers labelled by channel (a circle "
           "for other loudspeakers, or when a source goes beyond them, grown to its largest "
           "distance; loudspeakers above or below the horizon hollow, inside it as seen from "
           "above), the path "
           "coloured from start to end, and a caption with the input, the duration and the "
           "law; in a scene, every source's path, each named by its number and its input "
           "(*s2 voice.wav*). The picture is "
           "SVG; a name with another extension is refused.",
           Offer::files(),
           [](Options& o, const Arg& a) {
               const std::string ext = extensionOf(a.text());
               if (!ext.empty() && ext != "svg")
                   a.refuse("the picture is an SVG file; \"" + a.text() +
                            "\" names another kind");
               o.plotFile = a.text();
           }),
    flag("--dry-run", G::Report,
         "read the input's header, write the trace and the picture, print the summary; "
         "write no audio",
         "Reads the input's header, writes the trace and the picture, prints the summary of "
         "what would be written, and writes no audio. It refuses exactly what the run "
         "refuses before writing, with the same message and status: formats that do not "
         "hold the job (FLAC's channels, Opus's rates, the 4 GB of WAV and AIFF), a missing "
         "or unusable SOFA set, Ambisonic channels for headphones. The length it reports is "
         "the output's, the headphones' tail included.",
         [](Options& o, const Arg&) { o.dryRun = true; }),
    flag("-q,--quiet", G::Report, "no progress bar and no summary",
         "No progress bar and no summary. Warnings still go to standard error.",
         [](Options& o, const Arg&) { o.quiet = true; }),

    helpFlag("-h,--help", "print this help and exit",
             "Prints what the program does, the options and the loudspeaker table of the "
             "layout asked for (*--layout 5.1 --help*; the square by default), and exits."),
    versionFlag("-v,-V,--version", "print the version and exit",
                "Prints the version and exits."),
};

}  // namespace option_rows

inline const std::vector<OptionRow>& optionTable() {
    return option_rows::kRows;
}

// A usage error found after the command line was read (one that needs the
// input's header): the program ends with status 2, like for a bad option.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads the command line into `options`. Returns -1 when the run should go
// on; otherwise the exit status the program ends with, after printing what
// it had to: 0 for --help (on `out`) and --version, 2 for a usage error (one
// line on `err`).
int parseOptions(int argc, const char* const* argv, Options& options, std::ostream& out,
                 std::ostream& err);

// The rest of the command line once the options are set (by the command
// line and, with --scene, by the scene's keys): the output format settled
// and the options checked together. Throws CLI::ValidationError.
void settleOptions(Options& o);

// The row whose long name is `longName` ("--gain"), or null.
const OptionRow* findOptionRow(const std::string& longName);

// Whether a row describes where one source goes (the Motion group but
// --scene): a scene sets these per source.
bool placesASource(const OptionRow& row);

// Refuses, with CLI::ValidationError, motions that exclude each other among
// the rows `given` (long names) for one source; `nameOf` turns a long name
// into the word the user wrote ("--rot1", or "rot1" in a scene).
void checkSource(const std::set<std::string>& given,
                 const std::function<std::string(const std::string&)>& nameOf);

// The names of `names` that begin with `word`, or else those at the
// smallest edit distance from it, of at most 2: what a mistyped word may
// have meant.
std::vector<std::string> nearestNames(const std::string& word,
                                      const std::vector<std::string>& names);

// The output's sample format when --bits did not say: the input's precision
// where the format holds it (16-bit in, 16-bit out; 24 to 24; floating
// point to float), else the nearest the format holds (FLAC at most 24).
// `inputBits` is 0 for floating-point input.
const SampleFormat& chooseSamples(const OutputFormat& format, int inputBits);

// The loudspeakers `o.layout` names: a built-in layout, a ring, Ambisonic
// channels or a layout file. Throws UsageError for a name that is neither a
// layout nor a readable file, and std::runtime_error("FILE: line N: reason")
// for a malformed file.
SpeakerLayout loadLayout(const Options& o);

// The layout file `o.layout` names, or "" when it names a built-in layout,
// a ring or Ambisonic channels: the file the run reads for its loudspeakers.
std::string layoutFile(const Options& o);

// The law and the layout as one: throws UsageError when the law does not fit
// the layout (naming those that do) or its parameters are out of range.
Panner pannerFor(const Options& o, const SpeakerLayout& layout);

// Whether to dither: as asked, else when the output is integer and keeps
// fewer bits than the input (floating-point input counts as more than 24).
bool wantsDither(const Options& o, int inputBits);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_OPTIONS_H
