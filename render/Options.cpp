// SPDX-License-Identifier: MIT
// The command line as the option table (Options.h) describes it: CLI11 set
// up from the rows, --help with the loudspeakers of the layout asked for,
// the rows' texts turned into Options, and the checks that need several
// options at once.

#include "render/Options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <functional>
#include <stdexcept>

#include "cli/Interrupt.h"
#include "engine/SpeakerLayout.h"
#include "render/StreamHeader.h"

namespace tarvio::render {

namespace {

const char* const kVersion = "tarvio-render " TARVIO_VERSION;

// `text` broken into lines of at most `width` characters, at blanks.
std::string wrapped(const std::string& text, std::size_t width) {
    std::string out, line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line + "\n";
}

// What the program does, for the top of --help: the built-in layouts are
// those layoutChoices() gives loudspeakers for.
std::string description() {
    std::vector<std::string> builtIn;
    for (const Choice& c : layoutChoices()) {
        if (!c.about.empty())
            builtIn.push_back(c.name);
    }
    return "Moves the sound of INPUT around a loudspeaker rig (" + joinedText(builtIn, ", ", ", ") +
           ", rings, a layout file), through Ambisonic channels or onto headphones, and writes "
           "it to OUTPUT.";
}

// The text after the options: the loudspeakers of `layout` and their
// channels.
std::string footer(const SpeakerLayout& layout) {
    return "Loudspeakers of " + layout.name() +
           " (x runs from left (0) to right (1), y from back (0) to front (1)):\n" +
           speakerTable(layout) + wrapped(channelOrderNotes(), 78) +
           "\nExit status: 0 done, 1 the run failed (the earlier output is left as it was),\n"
           "2 usage error, 128 + N stopped by signal N.";
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

std::vector<std::string> valueNames(const Offer& offer) {
    std::vector<std::string> names;
    for (const Choice& c : offer.values())
        names.push_back(c.name);
    return names;
}

// The argument as --help shows it: "DB", "[=SOFA]", "bilinear|power|...",
// "quad|stereo|...|FILE".
std::string argumentShown(const OptionRow& row) {
    if (row.kind == OptionRow::Optional)
        return "[=" + row.argument + "]";
    if (row.offer.kind == Offer::OneOf)
        return joined(row.offer.values(), "|");
    if (row.offer.kind == Offer::WordsOrFiles)
        return joined(row.offer.values(), "|") + "|" + row.argument;
    return row.argument;
}

// "  --gain DB                   output level...": a name column of 30
// characters; a longer name puts the text on the next line.
std::string helpLine(const std::string& name, const std::string& text) {
    const std::size_t column = 30;
    std::string line = "  " + name;
    line += line.size() < column ? std::string(column - line.size(), ' ')
                                 : "\n" + std::string(column, ' ');
    return line + text + "\n";
}

// --help: what the program does, how it is called, the options of the
// table by group, and `footer`.
std::string helpText(const std::string& footer) {
    std::string text =
        wrapped(description(), 78) +
        "\nUsage: tarvio-render [OPTIONS] INPUT OUTPUT\n"
        "       tarvio-render [OPTIONS] --scene FILE.toml OUTPUT\n\n" +
        helpLine("INPUT", "the audio file to spatialize") +
        helpLine("OUTPUT", "the file to write; - for WAV (or AU) on standard output");
    const std::vector<OptionRow>& rows = optionTable();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i == 0 || rows[i].group != rows[i - 1].group)
            text += std::string("\n") + groupTitle(rows[i].group) + ":\n";
        std::string name = rows[i].names;
        if (!rows[i].argument.empty())
            name += " " + argumentShown(rows[i]);
        text += helpLine(name, rows[i].help);
    }
    return text + "\n" + footer + "\n";
}

// The rows of the option table as CLI11 options; the text of row i goes to
// texts[i] (sized to the table).
void addRows(CLI::App& app, std::vector<std::string>& texts) {
    const std::vector<OptionRow>& rows = optionTable();
    app.set_help_flag();  // the table's row puts it in its place
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const OptionRow& row = rows[i];
        switch (row.kind) {
            case OptionRow::Help:
                app.set_help_flag(row.names, row.help);
                break;
            case OptionRow::Version:
                app.set_version_flag(row.names, kVersion, row.help);
                break;
            case OptionRow::Flag:
                app.add_flag(row.names, row.help);
                break;
            case OptionRow::Value:
            case OptionRow::Optional:
                CLI::Option* option =
                    app.add_option(row.names, texts[i], row.help)->type_name(row.argument);
                if (row.offer.kind == Offer::OneOf)
                    option->check(CLI::IsMember(valueNames(row.offer)));
                break;
        }
    }
}

// The checks that need several options at once; `given` tells whether an
// option was set.
template <class Given>
void checkCombinations(const Options& o, const Given& given) {
    if (o.normalizeTo && o.loudnessTo)
        throw CLI::ValidationError("--normalize", "and --loudness each set the level; give one");
    if (given("--ambisonics") && given("--layout"))
        throw CLI::ValidationError("--ambisonics", "replaces --layout; give one of them");
    if (given("--ambisonics") && given("--binaural"))
        throw CLI::ValidationError("--binaural", "renders loudspeakers, not Ambisonic channels");
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
        throw CLI::ValidationError("--quality",
                                   std::string(o.format->summary) + " has no quality setting");
    if (o.compression && !o.format->hasCompression)
        throw CLI::ValidationError("--compression",
                                   std::string(o.format->summary) + " has no compression level");
    if (o.noClip && o.samples && !o.samples->isFloat)
        throw CLI::ValidationError("--no-clip",
                                   "only float output (--bits float) can keep samples "
                                   "beyond full scale");
}

// The output format: --format's, else the one OUTPUT's extension names (WAV
// for standard output); the two must agree.
void settleFormat(Options& o) {
    if (o.output == "-") {
        if (!o.format)
            o.format = findOutputFormat("wav");
        if (!streamable(*o.format))
            throw CLI::ValidationError(
                "OUTPUT",
                "\"-\": standard output takes WAV or AU (--format au), whose "
                "headers can leave the length unknown; " +
                    std::string(o.format->summary) + " needs a file");
        if (!o.dryRun && ::isatty(STDOUT_FILENO))
            throw CLI::ValidationError("OUTPUT",
                                       "\"-\": standard output is a terminal; pipe it to a "
                                       "player (tarvio-render in.wav - | play -) or name a file");
        return;
    }
    if (!o.format)
        o.format = formatForFileName(o.output);
    if (!o.format)
        throw CLI::ValidationError(
            "OUTPUT", "cannot tell the format from \"" + o.output + "\"; give --format");
    const OutputFormat* named = formatForFileName(o.output);
    if (named && named != o.format)
        throw CLI::ValidationError("OUTPUT", "\"" + o.output + "\" names a " + named->summary +
                                                 " file, not " + o.format->summary);
}

// INPUT and OUTPUT as the words gave them: with --scene the only word is
// OUTPUT (CLI11 took it for INPUT).
void settleFiles(Options& o) {
    if (!o.sceneFile.empty()) {
        if (!o.output.empty())
            throw CLI::ValidationError("--scene", "the scene names the inputs; give only OUTPUT");
        o.output = o.input;
        o.input.clear();
    }
    if (o.input.empty() && o.sceneFile.empty())
        throw CLI::RequiredError("INPUT");
    if (o.output.empty())
        throw CLI::RequiredError("OUTPUT");
}

// Each row given on the command line fills in its part of `options`, in
// table order (an option given an empty text keeps its default); then the
// format is settled and the options are checked together, unless a scene
// has settings to add (see settleOptions). Throws CLI::ValidationError.
void interpret(const CLI::App& app, const std::vector<std::string>& texts, Options& options) {
    const std::vector<OptionRow>& rows = optionTable();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const OptionRow& row = rows[i];
        const bool flag = row.kind == OptionRow::Flag;
        if (row.set && app.count(row.longName()) > 0 && (flag || !texts[i].empty())) {
            row.set(options, Arg(row.longName(), texts[i]));
            options.given.insert(row.longName());
        }
    }
    settleFiles(options);
    if (options.sceneFile.empty()) {
        checkSource(options.given, [](const std::string& name) { return name; });
        settleOptions(options);
        return;
    }
    for (const std::string& name : options.given) {
        if (const OptionRow* row = findOptionRow(name); row && placesASource(*row))
            throw CLI::ValidationError(name, "the scene's sources set their own motion; leave " +
                                                 name + " out with --scene");
    }
}

// The first word left over that looks like an option ("--rot", "-x"), or "".
std::string firstUnknownOption(const CLI::App& app) {
    for (const std::string& word : app.remaining()) {
        if (word.size() > 1 && word[0] == '-' &&
            !std::isdigit(static_cast<unsigned char>(word[1])) && word[1] != '.')
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
std::string suggestion(const std::string& word) {
    std::vector<std::string> names;
    for (const OptionRow& row : optionTable()) {
        for (const std::string& full : row.allNames()) {
            if (full.compare(0, 2, "--") == 0)
                names.push_back(full);
        }
    }
    const std::vector<std::string> near = nearestNames(word, names);
    return near.empty() ? std::string() : "; did you mean " + joinedText(near, ", ", " or ") + "?";
}

// The command line as CLI11 parses it: a bare option whose value only
// follows '=' (--binaural, --normalize) takes its row's value, so that
// INPUT is never taken for one; reversed, as CLI11 takes a list.
std::vector<std::string> parsedWords(std::vector<std::string> words) {
    for (std::string& word : words) {
        for (const OptionRow& row : optionTable()) {
            if (row.kind != OptionRow::Optional)
                continue;
            for (const std::string& name : row.allNames()) {
                if (word == name)
                    word += "=" + row.bare;
            }
        }
    }
    std::reverse(words.begin(), words.end());
    return words;
}

}  // namespace

std::vector<std::string> nearestNames(const std::string& word,
                                      const std::vector<std::string>& names) {
    std::vector<std::string> starts, near;
    std::size_t best = 3;
    for (const std::string& full : names) {
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
    return starts.empty() ? near : starts;
}

const OptionRow* findOptionRow(const std::string& longName) {
    for (const OptionRow& row : optionTable()) {
        if (row.longName() == longName)
            return &row;
    }
    return nullptr;
}

bool placesASource(const OptionRow& row) {
    return row.group == OptionGroup::Motion && row.longName() != "--scene";
}

void checkSource(const std::set<std::string>& given,
                 const std::function<std::string(const std::string&)>& nameOf) {
    const auto has = [&given](const char* name) { return given.count(name) > 0; };
    const bool rotations = has("--rot1") || has("--rot2") || has("--angle1") || has("--angle2");
    if (has("--path") && rotations)
        throw CLI::ValidationError(nameOf("--path"),
                                   "a breakpoint path replaces the rotations; leave out " +
                                       nameOf("--rot1") + ", " + nameOf("--rot2") + ", " +
                                       nameOf("--angle1") + " and " + nameOf("--angle2"));
    const bool orbit =
        has("--orbit") || has("--azimuth") || has("--elevation") || has("--distance");
    const char* orbitName = has("--orbit")       ? "--orbit"
                            : has("--azimuth")   ? "--azimuth"
                            : has("--elevation") ? "--elevation"
                                                 : "--distance";
    if (orbit && (rotations || has("--path")))
        throw CLI::ValidationError(nameOf(orbitName),
                                   "places the sound by direction and distance; leave out " +
                                       nameOf("--rot1") + ", " + nameOf("--rot2") + ", " +
                                       nameOf("--angle1") + ", " + nameOf("--angle2") + " and " +
                                       nameOf("--path"));
}

void settleOptions(Options& o) {
    settleFormat(o);
    checkCombinations(o, [&o](const char* name) { return o.given.count(name) > 0; });
}

int parseOptions(int argc, const char* const* argv, Options& options, std::ostream& out,
                 std::ostream& err) {
    CLI::App app{description(), "tarvio-render"};
    const std::vector<std::string> words(argv + 1, argv + argc);
    bool help = false;
    for (const OptionRow& row : optionTable()) {
        for (const std::string& name : row.allNames())
            help = help || (row.kind == OptionRow::Help &&
                            std::find(words.begin(), words.end(), name) != words.end());
    }
    if (help) {
        const std::string text = helpText(footer(helpLayout(words)));
        app.formatter_fn([text](const CLI::App*, std::string, CLI::AppFormatMode) { return text; });
    }
    std::vector<std::string> texts(optionTable().size());
    addRows(app, texts);
    app.add_option("INPUT", options.input, "the audio file to spatialize");
    app.add_option("OUTPUT", options.output, "the file to write");
    try {
        app.parse(parsedWords(words));
        interpret(app, texts, options);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            // --help and --version
            app.exit(e, out, err);
            return 0;
        }
        const std::string unknown = firstUnknownOption(app);
        if (!unknown.empty())
            err << "tarvio-render: unknown option " << unknown << suggestion(unknown)
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
    // A signal that came before the file is opened would not cut a FIFO's
    // open short: look at it now.
    interrupt::check();
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
