// SPDX-License-Identifier: MIT

#include "render/Options.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "engine/SpeakerLayout.h"
#include "render/Binaural.h"

namespace tarvio::render {

namespace {

const char* const kVersion = "tarvio-render 1.0.0";

// The text after the options: the loudspeakers of `layout` and their
// channels.
std::string footer(const SpeakerLayout& layout) {
    return "Loudspeakers of " + layout.name() +
           " (x runs from left (0) to right (1), y from back (0) to front (1)):\n" +
           speakerTable(layout) +
           R"(AIFF keeps the channel order of tarvio. WAV and RF64 declare the
loudspeakers in their channel mask and order the channels by it; W64 and
FLAC use the same order. A WAV or AIFF file cannot pass 4 GB: use
--format w64 or rf64 for longer outputs.

Exit status: 0 done, 1 the run failed (the earlier output is left as it was),
2 usage error, 128 + N stopped by signal N.)";
}

std::string shortNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// A number as a whole word, blanks around it allowed: no other text, and
// finite. A value too small to hold (1e-400) is taken as the nearest one the
// program can hold; one too large is refused as out of range.
double parseNumber(const std::string& text, const std::string& what) {
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    const std::string word = first == std::string::npos ? std::string()
                                                        : text.substr(first, last - first + 1);
    const char* begin = word.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin || *end != '\0')
        throw CLI::ValidationError(what, "not a number: \"" + text + "\"");
    if (std::isnan(v))
        throw CLI::ValidationError(what, "not a finite number: \"" + text + "\"");
    if (std::isinf(v) || (errno == ERANGE && std::fabs(v) > 1.0))
        throw CLI::ValidationError(what, "out of range: \"" + text + "\"");
    return v;
}

// A number that must lie in [low, high]: "--blur: must lie in [0, 10]".
double parseInRange(const std::string& text, const std::string& what, double low, double high,
                    const std::string& unit) {
    const double v = parseNumber(text, what);
    if (!(v >= low && v <= high))
        throw CLI::ValidationError(what, "must lie in [" + shortNumber(low) + ", " +
                                             shortNumber(high) + "]" + unit + ": \"" + text +
                                             "\"");
    return v;
}

// An angle as a turn of the circle: -90 is 270 and 450 is 90. Angles from 0
// to 360 stay as they are, which is where tarvio takes them too.
double wrapAngle(double degrees) {
    if (degrees >= 0 && degrees <= 360)
        return degrees;
    const double turn = std::fmod(degrees, 360.0);
    return turn < 0 ? turn + 360.0 : turn;
}

// "F" or "F:F_END".
Sweep parseSweep(const std::string& text, const std::string& what) {
    const std::size_t colon = text.find(':');
    Sweep s;
    s.init = parseNumber(text.substr(0, colon), what);
    s.end = colon == std::string::npos ? s.init : parseNumber(text.substr(colon + 1), what);
    return s;
}

// The picture is SVG: a name that says otherwise (pic.png) is refused.
void checkPlotName(const std::string& name) {
    const std::string ext = extensionOf(name);
    if (!ext.empty() && ext != "svg")
        throw CLI::ValidationError("--plot", "the picture is an SVG file; \"" + name +
                                                 "\" names another kind");
}

// The checks that need several options at once.
void checkCombinations(const Options& o, bool haveRotations) {
    if (!o.pathFile.empty() && haveRotations)
        throw CLI::ValidationError("--path",
                                   "a breakpoint path replaces the rotations; leave out --rot1, "
                                   "--rot2, --angle1 and --angle2");
    if (o.samples && o.format->firstSamples().lossy)
        throw CLI::ValidationError("--bits", std::string(o.format->summary) +
                                                 " is encoded by its codec; leave out --bits "
                                                 "(--quality sets the quality)");
    if (o.samples && !o.format->holds(*o.samples)) {
        std::string held;
        for (const std::string& name : o.format->samples)
            held += (held.empty() ? "" : ", ") + name;
        throw CLI::ValidationError("--bits", std::string(o.format->summary) + " holds " + held);
    }
    if (o.quality && !o.format->hasQuality)
        throw CLI::ValidationError("--quality", std::string(o.format->summary) +
                                                    " has no quality setting");
    if (o.compression && !o.format->hasCompression)
        throw CLI::ValidationError("--compression", std::string(o.format->summary) +
                                                        " has no compression level");
    if (o.noClip && o.samples && !o.samples->isFloat)
        throw CLI::ValidationError("--no-clip", "only float output (--bits float) can keep samples "
                                                "beyond full scale");
}

}  // namespace

namespace {

// The options as the command line gives them, before they are checked and
// turned into Options.
struct Texts {
    std::string rot1, rot2, angle1, angle2, norm, traceStep, law, format, bits, dither, quality,
        layout, ambisonics, rolloff, blur, binaural, gain, normalize, loudness, compression;
};

// The path of the sound: rotations or a drawn path.
void addMotionOptions(CLI::App& app, Options& options, Texts& t) {
    app.add_option("--rot1", t.rot1, "rotation 1 (x) in Hz, sweeping to F_END over the file")
        ->type_name("F[:F_END]");
    app.add_option("--rot2", t.rot2, "rotation 2 (y) in Hz, sweeping to F_END over the file")
        ->type_name("F[:F_END]");
    app.add_option("--angle1", t.angle1, "starting angle of rotation 1 in degrees")
        ->type_name("DEG");
    app.add_option("--angle2", t.angle2, "starting angle of rotation 2 in degrees")
        ->type_name("DEG");
    app.add_option("--path", options.pathFile,
                   "breakpoint path instead of the rotations: lines 'seconds x y'")
        ->type_name("FILE");
}

// The levels: the mixdown's factor, a gain, a peak or a loudness to reach.
void addLevelOptions(CLI::App& app, Texts& t) {
    app.add_option("--norm", t.norm, "amplitude factor of the mixdown (default 1)")
        ->type_name("X");
    app.add_option("--gain", t.gain, "output level in dB, on top of --norm (default 0)")
        ->type_name("DB");
    app.add_option("--normalize", t.normalize,
                   "scale the output so that its peak is at DBFS (default -1)")
        ->type_name("[=DBFS]");
    app.add_option("--loudness", t.loudness,
                   "scale the output so that its integrated loudness (EBU R128) is LUFS")
        ->type_name("LUFS");
}

// The rig: loudspeakers or Ambisonic channels, the law, headphones.
void addRigOptions(CLI::App& app, Texts& t) {
    std::string layouts;
    for (const std::string& name : layoutNames())
        layouts += (layouts.empty() ? "" : "|") + name;
    app.add_option("--layout", t.layout, "the loudspeakers: " + layouts + "|FILE (default quad)")
        ->type_name("NAME|FILE");
    app.add_option("--ambisonics", t.ambisonics,
                   "instead of loudspeakers, Ambisonic channels (AmbiX: ACN, SN3D) of ORDER 1 to 3")
        ->type_name("ORDER");
    app.add_option("--law", t.law, "gain law (default bilinear for quad, vbap for other layouts)")
        ->check(CLI::IsMember(panLawNames()));
    app.add_option("--rolloff", t.rolloff, "dbap: dB per doubling of distance, 0 to 60 (default 6)")
        ->type_name("DB");
    app.add_option("--blur", t.blur,
                   "dbap: spatial blur, 0 to 10 half widths of the square (default 0.2)")
        ->type_name("B");
    app.add_option("--binaural", t.binaural,
                   "for headphones: the loudspeakers heard through the HRTFs of a SOFA file "
                   "(default " + std::string(kDefaultSofaFile) + "); two channels")
        ->type_name("[=SOFA]");
}

// The audio file: its format, samples, dither and quality.
void addFileOptions(CLI::App& app, Options& options, Texts& t) {
    std::vector<std::string> formats;
    for (const OutputFormat& f : outputFormats())
        formats.push_back(f.name);
    std::vector<std::string> bits;
    for (const SampleFormat& b : sampleFormats()) {
        if (!b.lossy)
            bits.push_back(b.name);
    }
    app.add_option("--format", t.format, "output format (default: from OUTPUT's extension)")
        ->check(CLI::IsMember(formats));
    app.add_option("--bits", t.bits,
                   "output sample format (default: the input's, where the format holds it)")
        ->check(CLI::IsMember(bits));
    app.add_option("--dither", t.dither,
                   "tpdf or none (default: tpdf when the output keeps fewer bits than the input)")
        ->check(CLI::IsMember({"tpdf", "none"}));
    app.add_option("--quality", t.quality, "lossy formats: encoder quality, 0 (least) to 10")
        ->type_name("Q");
    app.add_option("--compression", t.compression,
                   "FLAC: compression level, 0 (fastest) to 8 (smallest); default 5")
        ->type_name("0..8");
    app.add_flag("--no-clip", options.noClip,
                 "float output only: keep samples beyond full scale (NaN still becomes 0, "
                 "infinities the largest float)");
}

// What else the run writes or shows.
void addReportOptions(CLI::App& app, Options& options, Texts& t) {
    app.add_option("--trace", options.traceFile,
                   "write seconds,x,y,azimuth,r and each channel's gain (named by its "
                   "loudspeaker, in the file's order) every --trace-step seconds")
        ->type_name("FILE.csv");
    app.add_option("--trace-step", t.traceStep,
                   "seconds between trace rows (default 0.01; at least one sample)")
        ->type_name("S");
    app.add_option("--plot", options.plotFile, "write a picture of the path")
        ->type_name("FILE.svg");
    app.add_flag("--dry-run", options.dryRun,
                 "read the input's header, write the trace and the picture, print the summary; "
                 "write no audio");
    app.add_flag("-q,--quiet", options.quiet, "no progress bar and no summary");
}

// The layout a command line asks for, for --help: the value of the last
// --layout or --ambisonics among `words`; the square when there is none or
// it names no layout that can be read.
SpeakerLayout helpLayout(const std::vector<std::string>& words) {
    std::string name = "quad";
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (const std::string option : {"--layout", "--ambisonics"}) {
            std::string value;
            if (words[i] == option && i + 1 < words.size())
                value = words[i + 1];
            else if (words[i].compare(0, option.size() + 1, option + "=") == 0)
                value = words[i].substr(option.size() + 1);
            if (!value.empty())
                name = option == "--layout" ? value : "ambisonics:" + value;
        }
    }
    try {
        if (std::optional<SpeakerLayout> named = findLayout(name))
            return *named;
        return loadLayoutFile(name);
    } catch (const std::exception&) {
        return layouts::quad();
    }
}

void addOptions(CLI::App& app, Options& options, Texts& t, const SpeakerLayout& shown) {
    app.footer(footer(shown));
    app.set_version_flag("-v,-V,--version", kVersion);
    addMotionOptions(app, options, t);
    addLevelOptions(app, t);
    addRigOptions(app, t);
    addFileOptions(app, options, t);
    addReportOptions(app, options, t);
    app.add_option("INPUT", options.input, "the audio file to spatialize")->required();
    app.add_option("OUTPUT", options.output, "the file to write")->required();
}

// The numbers of the motion and the levels.
void interpretNumbers(const Texts& t, Options& options) {
    if (!t.rot1.empty())
        options.rot1 = parseSweep(t.rot1, "--rot1");
    if (!t.rot2.empty())
        options.rot2 = parseSweep(t.rot2, "--rot2");
    if (!t.angle1.empty())
        options.angle1 = wrapAngle(parseNumber(t.angle1, "--angle1"));
    if (!t.angle2.empty())
        options.angle2 = wrapAngle(parseNumber(t.angle2, "--angle2"));
    if (!t.norm.empty())
        options.norm = parseNumber(t.norm, "--norm");
    if (!t.traceStep.empty()) {
        options.traceStep = parseNumber(t.traceStep, "--trace-step");
        options.traceStepGiven = true;
        if (!(options.traceStep > 0))
            throw CLI::ValidationError("--trace-step", "must be positive: \"" + t.traceStep + "\"");
    }
    if (!t.gain.empty())
        options.gainDb = parseNumber(t.gain, "--gain");
    if (!t.normalize.empty())
        options.normalizeTo = parseNumber(t.normalize, "--normalize");
    if (!t.loudness.empty())
        options.loudnessTo = parseNumber(t.loudness, "--loudness");
    if (options.normalizeTo && options.loudnessTo)
        throw CLI::ValidationError("--normalize", "and --loudness each set the level; give one");
}

void interpretRig(const CLI::App& app, const Texts& t, Options& options) {
    if (!t.law.empty())
        options.law = findPanLaw(t.law);
    if (!t.layout.empty())
        options.layout = t.layout;
    if (!t.ambisonics.empty()) {
        if (!t.layout.empty())
            throw CLI::ValidationError("--ambisonics", "replaces --layout; give one of them");
        options.layout = "ambisonics:" + t.ambisonics;
    }
    if (app.count("--binaural") > 0) {
        if (!t.ambisonics.empty())
            throw CLI::ValidationError("--binaural", "renders loudspeakers, not Ambisonic channels");
        options.binaural = t.binaural;
    }
    if (!t.rolloff.empty())
        options.lawParams.rolloff =
            parseInRange(t.rolloff, "--rolloff", 0.0, LawParams::kMaxRolloff, " dB");
    if (!t.blur.empty())
        options.lawParams.blur = parseInRange(t.blur, "--blur", 0.0, LawParams::kMaxBlur, "");
}

void interpretFile(const Texts& t, Options& options) {
    if (options.output == "-")
        throw CLI::ValidationError("OUTPUT", "\"-\": tarvio-render cannot write to standard "
                                             "output (the header is finished last); name a file");
    options.format = t.format.empty() ? formatForFileName(options.output)
                                      : findOutputFormat(t.format);
    if (!options.format)
        throw CLI::ValidationError(
            "OUTPUT", "cannot tell the format from \"" + options.output + "\"; give --format");
    const OutputFormat* named = formatForFileName(options.output);
    if (named && named != options.format)
        throw CLI::ValidationError("OUTPUT", "\"" + options.output + "\" names a " +
                                                 named->summary + " file, not " +
                                                 options.format->summary);
    if (!t.bits.empty())
        options.samples = findSampleFormat(t.bits);
    if (!t.dither.empty())
        options.dither = t.dither == "tpdf";
    if (!t.quality.empty())
        options.quality = parseInRange(t.quality, "--quality", 0, 10, "");
    if (!t.compression.empty())
        options.compression = parseInRange(t.compression, "--compression", 0, 8, "");
    checkPlotName(options.plotFile);
}

// Checks the parsed texts and fills in the rest of `options`; throws
// CLI::ValidationError.
void interpret(const CLI::App& app, const Texts& t, Options& options) {
    interpretNumbers(t, options);
    interpretRig(app, t, options);
    interpretFile(t, options);
    const bool haveRotations =
        app.count("--rot1") + app.count("--rot2") + app.count("--angle1") + app.count("--angle2") >
        0;
    checkCombinations(options, haveRotations);
}

// The first word left over that looks like an option ("--rot", "-x"), or "".
std::string firstUnknownOption(const CLI::App& app) {
    for (const std::string& word : app.remaining()) {
        if (word.size() > 1 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1])) &&
            word[1] != '.')
            return word.substr(0, word.find('='));
    }
    return std::string();
}

// The edit distance between two words (insertions, deletions, changes).
std::size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "; did you mean --rot1 or --rot2?": the long options that begin with the
// word, or else those at the smallest edit distance of at most 2.
std::string suggestion(const CLI::App& app, const std::string& word) {
    std::vector<std::string> starts, near;
    std::size_t best = 3;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            const std::string full = "--" + name;
            if (full.compare(0, word.size(), word) == 0)
                starts.push_back(full);
            const std::size_t d = distance(word, full);
            if (d < best) {
                best = d;
                near.clear();
            }
            if (d == best)
                near.push_back(full);
        }
    }
    const std::vector<std::string>& names = starts.empty() ? near : starts;
    if (names.empty())
        return std::string();
    std::string text = "; did you mean ";
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return text + "?";
}

}  // namespace

int parseOptions(int argc, const char* const* argv, Options& options, std::ostream& out,
                 std::ostream& err) {
    CLI::App app{
        "Moves the sound of INPUT around a loudspeaker rig (the square of four, stereo, "
        "5.1, 7.1, rings, a layout file), through Ambisonic channels or onto headphones, "
        "and writes it to OUTPUT.",
        "tarvio-render"};
    std::vector<std::string> words(argv + 1, argv + argc);
    Texts texts;
    const bool help = std::find_if(words.begin(), words.end(), [](const std::string& w) {
                          return w == "--help" || w == "-h";
                      }) != words.end();
    addOptions(app, options, texts, help ? helpLayout(words) : layouts::quad());
    // A bare --binaural takes the default set and a bare --normalize -1
    // dBFS; their values only ever follow '=', so that INPUT is never taken
    // for one.
    for (std::string& word : words) {
        if (word == "--binaural")
            word += "=" + std::string(kDefaultSofaFile);
        if (word == "--normalize")
            word += "=-1";
    }
    std::reverse(words.begin(), words.end());
    try {
        app.parse(words);
        interpret(app, texts, options);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            // --help and --version
            app.exit(e, out, err);
            return 0;
        }
        const std::string unknown = firstUnknownOption(app);
        if (!unknown.empty())
            err << "tarvio-render: unknown option " << unknown << suggestion(app, unknown)
                << " (see --help)" << std::endl;
        else
            err << "tarvio-render: " << e.what() << " (see --help)" << std::endl;
        return 2;
    }
    return -1;
}

const SampleFormat& chooseSamples(const OutputFormat& format, int inputBits) {
    const SampleFormat& first = format.firstSamples();
    if (first.lossy)
        return first;
    // The held formats are listed from the fewest bits to float.
    const SampleFormat* best = nullptr;
    for (const std::string& name : format.samples) {
        const SampleFormat* s = findSampleFormat(name);
        const bool fits = inputBits == 0 ? s->isFloat : !s->isFloat && s->bits >= inputBits;
        if (fits)
            return *s;
        if (!s->isFloat)
            best = s;  // the widest integer format so far
    }
    return best ? *best : first;
}

bool wantsDither(const Options& o, int inputBits) {
    if (o.dither)
        return *o.dither;
    if (o.samples->isFloat)
        return false;
    return inputBits == 0 || o.samples->bits < inputBits;
}

std::string layoutFile(const Options& o) {
    try {
        if (findLayout(o.layout))
            return std::string();
    } catch (const std::invalid_argument&) {
        return std::string();  // a ring or an order, malformed: not a file
    }
    return o.layout;
}

SpeakerLayout loadLayout(const Options& o) {
    std::optional<SpeakerLayout> named;
    try {
        named = findLayout(o.layout);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--layout: ") + e.what());
    }
    if (named)
        return *named;
    struct stat st;
    if (::stat(o.layout.c_str(), &st) != 0) {
        std::string names;
        for (const std::string& name : layoutNames())
            names += (names.empty() ? "" : ", ") + name;
        throw UsageError("--layout: \"" + o.layout + "\" is neither a layout (" + names +
                         ") nor a file");
    }
    return loadLayoutFile(o.layout);
}

Panner pannerFor(const Options& o, const SpeakerLayout& layout) {
    const PanLaw* law = o.law ? o.law : defaultPanLaw(layout);
    if (!law)
        throw UsageError("--layout: no gain law fits the layout \"" + layout.name() + "\"");
    try {
        return Panner(*law, layout, o.lawParams);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--law: ") + e.what());
    }
}

}  // namespace tarvio::render
