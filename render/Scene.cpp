// SPDX-License-Identifier: MIT
// Scene files through toml++: every key is an option of the table (or one
// of a source's own: input, gain, start), and its value reaches Options
// through the option's own row, so that a scene takes exactly what the
// command line takes and refuses it in the same words.

#include "render/Scene.h"

#include <toml++/toml.h>
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cli/FileTarget.h"
#include "cli/Interrupt.h"
#include "engine/SpeakerLayout.h"
#include "engine/TextLines.h"

namespace tarvio::render {

namespace {

// Options whose values set one thing between them: the command line's
// giving either keeps the scene's from setting the other.
const std::vector<std::vector<std::string>> kOneSetting = {
    {"--normalize", "--loudness"},
    {"--layout", "--ambisonics"},
};

// A source's keys that are not options.
const std::vector<std::string> kSourceKeys = {"input", "gain", "start"};

// Where a key stands, for messages: "FILE: line N: source K: ".
struct Place {
    std::string file;
    long line = 0;
    int source = 0;  // 1 for the first [[source]]; 0 for a global key

    std::runtime_error error(const std::string& key, const std::string& why) const {
        std::string where = source > 0 ? "source " + std::to_string(source) + ": " : "";
        if (!key.empty())
            where += key + ": ";
        return text::lineError(file, line, where + why);
    }
};

long lineOf(const toml::node& node) {
    return static_cast<long>(node.source().begin.line);
}

const char* typeName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::boolean:
            return "true or false";
        case toml::node_type::date:
        case toml::node_type::time:
        case toml::node_type::date_time:
            return "a date or a time";
        default:
            return "a value";
    }
}

// A number or a string as the option's text; none for anything else.
std::optional<std::string> valueText(const toml::node& node) {
    if (const auto* s = node.as_string())
        return s->get();
    if (const auto* i = node.as_integer())
        return std::to_string(i->get());
    if (const auto* f = node.as_floating_point()) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", f->get());
        return std::string(text);
    }
    return std::nullopt;
}

// `path` as the program opens it: relative to the scene file's folder
// unless it is absolute.
std::string besideScene(const std::string& sceneFile, const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    return dirOf(sceneFile) + path;
}

// Whether the layout value names a file rather than a built-in layout, a
// ring or Ambisonic channels.
bool namesLayoutFile(const std::string& value) {
    try {
        return !findLayout(value);
    } catch (const std::invalid_argument&) {
        return false;  // a malformed ring or order: the row refuses it
    }
}

// The text the row takes from `node`, the file names made relative to the
// scene; none for a flag or an optional value set to false. Throws at
// `place` for a value of the wrong kind or one the row does not offer.
std::optional<std::string> rowText(const OptionRow& row, const toml::node& node, const Place& place,
                                   const std::string& key) {
    const auto* yes = node.as_boolean();
    if (row.kind == OptionRow::Flag || (row.kind == OptionRow::Optional && yes)) {
        if (!yes)
            throw place.error(key, "expected true or false, got " + std::string(typeName(node)));
        if (!yes->get())
            return std::nullopt;
        return row.kind == OptionRow::Flag ? std::string() : row.bare;
    }
    const std::optional<std::string> text = valueText(node);
    if (!text)
        throw place.error(key, "expected a number or a string, got " + std::string(typeName(node)));
    if (row.offer.kind == Offer::OneOf) {
        bool offered = false;
        for (const Choice& c : row.offer.values())
            offered = offered || c.name == *text;
        if (!offered)
            throw place.error(
                key, "\"" + *text + "\" is not one of " + joined(row.offer.values(), ", "));
    }
    const bool file = row.offer.kind == Offer::Files ||
                      (row.offer.kind == Offer::WordsOrFiles && namesLayoutFile(*text));
    return file ? besideScene(place.file, *text) : *text;
}

// Sets option `key` of `o` from `node` through its row.
void applyKey(Options& o, const OptionRow& row, const toml::node& node, const Place& place,
              const std::string& key) {
    const std::optional<std::string> text = rowText(row, node, place, key);
    if (!text)
        return;
    try {
        row.set(o, Arg(key, *text));
    } catch (const CLI::ValidationError& e) {
        throw place.error("", e.what());
    }
    o.given.insert(row.longName());
}

// "gain", "start": a number through Arg, refused in its words.
double sourceNumber(const toml::node& node, const Place& place, const std::string& key, double low,
                    double high, const char* unit) {
    const std::optional<std::string> text = valueText(node);
    if (!text || node.is_string())
        throw place.error(key, "expected a number, got " +
                                   std::string(node.is_string() ? "a string" : typeName(node)));
    try {
        return Arg(key, *text).numberIn(low, high, unit);
    } catch (const CLI::ValidationError& e) {
        throw place.error("", e.what());
    }
}

// The names a table of the given kind takes, for suggestions.
std::vector<std::string> knownKeys(bool source) {
    std::vector<std::string> keys = source ? kSourceKeys : std::vector<std::string>{"source"};
    for (const OptionRow& row : optionTable()) {
        const bool global = row.group == OptionGroup::Levels || row.group == OptionGroup::Rig ||
                            row.group == OptionGroup::File || row.longName() == "--trace-step";
        if (row.set && (source ? placesASource(row) : global))
            keys.push_back(row.longName().substr(2));
    }
    return keys;
}

// The row a key names among those a table of the given kind takes, or null.
const OptionRow* rowOfKey(const std::string& key, bool source) {
    for (const std::string& known : knownKeys(source)) {
        if (known == key)
            return findOptionRow("--" + key);
    }
    return nullptr;
}

[[noreturn]] void unknownKey(const Place& place, const std::string& key, bool source) {
    const std::vector<std::string> near = nearestNames(key, knownKeys(source));
    throw place.error(
        key, std::string("unknown key") +
                 (near.empty() ? "" : "; did you mean " + joinedText(near, ", ", " or ") + "?"));
}

// One [[source]] table, the `number`th.
SourceEntry readSource(const toml::table& table, const std::string& file, int number) {
    SourceEntry s;
    Options scratch;
    Place place{file, lineOf(table), number};
    bool haveInput = false;
    for (auto&& [k, node] : table) {
        const std::string key(k.str());
        place.line = lineOf(node);
        if (key == "input") {
            if (!node.is_string() || node.as_string()->get().empty())
                throw place.error(key, "expected the name of a file");
            s.name = node.as_string()->get();
            s.input = besideScene(file, s.name);
            haveInput = true;
        } else if (key == "gain") {
            s.gainDb = sourceNumber(node, place, key, -400, 400, " dB");
        } else if (key == "start") {
            s.start = sourceNumber(node, place, key, 0, kMaxStart, " s");
        } else if (const OptionRow* row = rowOfKey(key, true)) {
            applyKey(scratch, *row, node, place, key);
        } else {
            unknownKey(place, key, true);
        }
    }
    place.line = lineOf(table);
    if (!haveInput)
        throw place.error("", "no input; name its file with input = \"FILE\"");
    try {
        checkSource(scratch.given, [](const std::string& name) { return name.substr(2); });
    } catch (const CLI::ValidationError& e) {
        // "path: ...": at the line of the key the message names.
        const std::string what = e.what();
        if (const toml::node* key = table.get(what.substr(0, what.find(": "))))
            place.line = lineOf(*key);
        throw place.error("", what);
    }
    s.place = scratch.source;
    return s;
}

// Whether the command line set the option of `longName` or one that sets
// the same thing.
bool setByCommandLine(const std::set<std::string>& commandLine, const std::string& longName) {
    if (commandLine.count(longName))
        return true;
    for (const std::vector<std::string>& group : kOneSetting) {
        bool inGroup = false, given = false;
        for (const std::string& name : group) {
            inGroup = inGroup || name == longName;
            given = given || commandLine.count(name) > 0;
        }
        if (inGroup && given)
            return true;
    }
    return false;
}

// The [[source]] tables of the `source` key.
void readSources(const toml::node& node, const std::string& file, Scene& scene) {
    const Place place{file, lineOf(node), 0};
    const toml::array* tables = node.as_array();
    if (!tables || !node.is_array_of_tables())
        throw place.error("source", "expected [[source]] tables");
    if (tables->size() > kMaxSources)
        throw place.error("source", "more than " + std::to_string(kMaxSources) + " sources");
    int number = 0;
    for (const toml::node& table : *tables)
        scene.sources.push_back(readSource(*table.as_table(), file, ++number));
}

toml::table parseScene(const std::string& file) {
    interrupt::check();  // as before a layout file (see loadLayout)
    const std::string text = text::readFile(file, kMaxSceneBytes, "a scene file");
    try {
        return toml::parse(text, file);
    } catch (const toml::parse_error& e) {
        // "Error while parsing key-value pair: cannot redefine ...": the
        // cause, without what the parser was at.
        std::string why(e.description());
        if (why.compare(0, 19, "Error while parsing") == 0 && why.find(": ") != std::string::npos)
            why.erase(0, why.find(": ") + 2);
        throw text::lineError(file, static_cast<long>(e.source().begin.line), why);
    }
}

}  // namespace

Scene commandLineScene(const Options& o) {
    SourceEntry s;
    s.input = o.input;
    s.name = o.input;
    s.place = o.source;
    return Scene{"", {s}};
}

Scene loadScene(Options& o) {
    Scene scene;
    scene.file = o.sceneFile;
    const toml::table doc = parseScene(o.sceneFile);
    const std::set<std::string> commandLine = o.given;
    for (auto&& [k, node] : doc) {
        const std::string key(k.str());
        const Place place{o.sceneFile, lineOf(node), 0};
        if (key == "source") {
            readSources(node, o.sceneFile, scene);
        } else if (const OptionRow* row = rowOfKey(key, false)) {
            if (!setByCommandLine(commandLine, row->longName()))
                applyKey(o, *row, node, place, key);
        } else {
            unknownKey(place, key, false);
        }
    }
    if (scene.sources.empty())
        throw std::runtime_error(o.sceneFile +
                                 ": no [[source]] table; a scene holds at least one source");
    try {
        settleOptions(o);
    } catch (const CLI::ValidationError& e) {
        throw UsageError(e.what());
    }
    return scene;
}

}  // namespace tarvio::render
