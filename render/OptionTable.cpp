// SPDX-License-Identifier: MIT

#include "render/OptionTable.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "engine/GainLaw.h"
#include "engine/SpeakerLayout.h"
#include "render/OutputFormat.h"

namespace tarvio::render {

std::string shortNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string detail::word(double v) {
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", v);
        return text;
    }
    return shortNumber(v);
}

std::string detail::fill(const std::string& text, const std::vector<std::string>& words) {
    std::string out;
    std::size_t start = 0;
    for (const std::string& w : words) {
        const std::size_t at = text.find("{}", start);
        if (at == std::string::npos)
            break;
        out += text.substr(start, at - start) + w;
        start = at + 2;
    }
    return out + text.substr(start);
}

std::string joinedText(const std::vector<std::string>& words, const char* separator,
                       const char* last) {
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i)
        out += (i == 0 ? "" : i + 1 == words.size() && last ? last : separator) + words[i];
    return out;
}

std::string joined(const std::vector<Choice>& names, const char* separator) {
    std::string out;
    for (const Choice& c : names)
        out += (out.empty() ? "" : separator) + c.name;
    return out;
}

void Arg::refuse(const std::string& why) const {
    throw CLI::ValidationError(option_, why);
}

// A number as a whole word, blanks around it allowed: no other text, and
// finite. A value too small to hold (1e-400) is taken as the nearest one the
// program can hold; one too large is refused as out of range.
static double parseNumber(const Arg& arg, const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    const std::string word =
        first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    const char* begin = word.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin || *end != '\0')
        arg.refuse("not a number: \"" + text + "\"");
    if (std::isnan(v))
        arg.refuse("not a finite number: \"" + text + "\"");
    if (std::isinf(v) || (errno == ERANGE && std::fabs(v) > 1.0))
        arg.refuse("out of range: \"" + text + "\"");
    return v;
}

double Arg::number() const {
    return parseNumber(*this, text_);
}

double Arg::numberIn(double low, double high, const char* unit) const {
    const double v = number();
    if (!(v >= low && v <= high))
        refuse("must lie in [" + shortNumber(low) + ", " + shortNumber(high) + "]" + unit + ": \"" +
               text_ + "\"");
    return v;
}

double Arg::positive() const {
    const double v = number();
    if (!(v > 0))
        refuse("must be positive: \"" + text_ + "\"");
    return v;
}

double Arg::angle() const {
    const double degrees = number();
    if (degrees >= 0 && degrees <= 360)
        return degrees;
    const double turn = std::fmod(degrees, 360.0);
    return turn < 0 ? turn + 360.0 : turn;
}

Sweep Arg::sweep() const {
    const std::size_t colon = text_.find(':');
    Sweep s;
    s.init = parseNumber(*this, text_.substr(0, colon));
    s.end = colon == std::string::npos ? s.init : parseNumber(*this, text_.substr(colon + 1));
    return s;
}

Sweep Arg::sweepIn(double low, double high, const char* unit) const {
    const Sweep s = sweep();
    for (const double v : {s.init, s.end}) {
        if (!(v >= low && v <= high))
            refuse("must lie in [" + shortNumber(low) + ", " + shortNumber(high) + "]" + unit +
                   ": \"" + text_ + "\"");
    }
    return s;
}

std::string OptionRow::longName() const {
    return names.substr(names.rfind(',') + 1);
}

std::vector<std::string> OptionRow::allNames() const {
    std::vector<std::string> all;
    std::size_t start = 0;
    for (std::size_t comma; (comma = names.find(',', start)) != std::string::npos;
         start = comma + 1)
        all.push_back(names.substr(start, comma - start));
    all.push_back(names.substr(start));
    return all;
}

const char* groupTitle(OptionGroup group) {
    switch (group) {
        case OptionGroup::Motion:
            return "Motion";
        case OptionGroup::Levels:
            return "Levels";
        case OptionGroup::Rig:
            return "Rig";
        case OptionGroup::File:
            return "Audio file";
        case OptionGroup::Report:
            return "Trace, picture and summary";
        case OptionGroup::Program:
            break;
    }
    return "Program";
}

OptionRow option(const char* names, const char* argument, OptionGroup group, std::string help,
                 std::string manual, Offer offer, Setter set) {
    return {OptionRow::Value,  names, argument, "", group, std::move(help),
            std::move(manual), offer, set};
}

OptionRow optionalValue(const char* names, const char* argument, std::string bare,
                        OptionGroup group, std::string help, std::string manual, Offer offer,
                        Setter set) {
    return {OptionRow::Optional, names, argument, std::move(bare), group, std::move(help),
            std::move(manual),   offer, set};
}

OptionRow flag(const char* names, OptionGroup group, std::string help, std::string manual,
               Setter set) {
    return {OptionRow::Flag,  names, "", "", group, std::move(help), std::move(manual),
            Offer::nothing(), set};
}

OptionRow helpFlag(const char* names, std::string help, std::string manual) {
    return {
        OptionRow::Help,  names,  "", "", OptionGroup::Program, std::move(help), std::move(manual),
        Offer::nothing(), nullptr};
}

OptionRow versionFlag(const char* names, std::string help, std::string manual) {
    return {OptionRow::Version,
            names,
            "",
            "",
            OptionGroup::Program,
            std::move(help),
            std::move(manual),
            Offer::nothing(),
            nullptr};
}

namespace {

// The built-in layouts: those of layoutNames() that findLayout() makes as
// they are named (not the patterns "ring:N[:FIRST]" and "ambisonics:ORDER").
std::vector<SpeakerLayout> builtInLayouts() {
    std::vector<SpeakerLayout> found;
    for (const std::string& name : layoutNames()) {
        try {
            if (std::optional<SpeakerLayout> layout = findLayout(name))
                found.push_back(*layout);
        } catch (const std::invalid_argument&) {
            // a pattern, not a name
        }
    }
    return found;
}

// "FL 30, FR -30, FC 0, LFE": the loudspeakers and their azimuths.
std::string placements(const SpeakerLayout& layout) {
    std::vector<std::string> each;
    for (const Speaker& s : layout.speakers())
        each.push_back(s.position ? s.label + " " + shortNumber(s.position->azimuth) : s.label);
    return joinedText(each, ", ");
}

}  // namespace

std::string channelOrderNotes() {
    std::vector<std::string> engine, masked, sameOrder, limited, unlimited;
    for (const OutputFormat& f : outputFormats()) {
        if (f.order == ChannelOrder::Engine)
            engine.push_back(f.summary);
        else if (f.channelMask)
            masked.push_back(f.summary);
        else
            sameOrder.push_back(f.summary);
        if (f.maxDataBytes != 0)
            limited.push_back(f.summary);
        else if (!f.compressed)
            unlimited.push_back(f.name);
    }
    return "In " + joinedText(engine, ", ", " and ") +
           " files the channels keep the order of tarvio. " + joinedText(masked, ", ", " and ") +
           " files declare the loudspeakers in their channel mask and order the channels by it; " +
           joinedText(sameOrder, ", ", " and ") + " files take the same order. " +
           joinedText(limited, ", ", " and ") + " files cannot pass 4 GB: use --format " +
           joinedText(unlimited, ", ", " or ") + " for longer outputs.";
}

std::vector<Choice> lawChoices() {
    const std::vector<SpeakerLayout> layouts = builtInLayouts();
    std::vector<Choice> choices;
    for (const PanLaw& law : panLaws()) {
        std::vector<std::string> defaultFor;
        for (const SpeakerLayout& layout : layouts) {
            if (defaultPanLaw(layout) == &law)
                defaultFor.push_back(layout.name());
        }
        std::string about = law.summary;
        if (!defaultFor.empty())
            about += "; the default for " + joinedText(defaultFor, ", ");
        choices.push_back({law.name, about});
    }
    return choices;
}

std::vector<Choice> layoutChoices() {
    const std::vector<SpeakerLayout> layouts = builtInLayouts();
    std::vector<Choice> choices;
    for (const std::string& name : layoutNames()) {
        std::string about;
        for (const SpeakerLayout& layout : layouts) {
            if (layout.name() == name)
                about = placements(layout);
        }
        choices.push_back({name, about});
    }
    return choices;
}

std::vector<Choice> formatChoices() {
    std::vector<Choice> choices;
    for (const OutputFormat& f : outputFormats()) {
        std::string about = std::string(f.summary) + " (." + joinedText(f.extensions, ", .") + ")";
        if (f.firstSamples().lossy)
            about += ", encoded by its codec (--quality)";
        else
            about += ": --bits " + joinedText(f.samples, ", ");
        if (f.hasCompression)
            about += " (--compression)";
        if (!f.rates.empty()) {
            std::vector<std::string> rates;
            for (int rate : f.rates)
                rates.push_back(std::to_string(rate));
            about += "; only " + joinedText(rates, ", ") + " Hz";
        }
        if (f.maxDataBytes != 0)
            about += "; at most " + shortNumber(std::round(f.maxDataBytes / 1073741824.0)) + " GB";
        choices.push_back({f.name, about});
    }
    return choices;
}

std::vector<Choice> sampleChoices() {
    std::vector<Choice> choices;
    for (const SampleFormat& s : sampleFormats()) {
        if (!s.lossy)
            choices.push_back({s.name, s.summary});
    }
    return choices;
}

std::vector<Choice> wholeNumbers(int first, int last) {
    std::vector<Choice> numbers;
    for (int n = first; n <= last; ++n)
        numbers.push_back({std::to_string(n), ""});
    return numbers;
}

}  // namespace tarvio::render
