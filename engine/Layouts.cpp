// SPDX-License-Identifier: MIT
// The layouts a command line can name: the built-in ones (a table of labels
// and azimuths), rings of evenly spaced loudspeakers, and the channels of
// Ambisonic signals.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "engine/SpeakerLayout.h"
#include "engine/TextLines.h"

namespace tarvio {

namespace {

// One loudspeaker of a built-in layout: its label, and its azimuth in
// degrees, none for the LFE.
struct Placement {
    const char* label;
    std::optional<double> azimuth;
};

struct BuiltInLayout {
    const char* name;
    std::vector<Placement> speakers;  // in engine order
};

// The built-in layouts, one row each; their mask bits follow from the
// labels (engine/Speakers.h).
const std::vector<BuiltInLayout>& builtInLayouts() {
    static const std::vector<BuiltInLayout> table{
        {"quad", {{"FR", -45.0}, {"FL", 45.0}, {"BR", -135.0}, {"BL", 135.0}}},
        {"stereo", {{"FL", 30.0}, {"FR", -30.0}}},
        {"5.1",
         {{"FL", 30.0},
          {"FR", -30.0},
          {"FC", 0.0},
          {"LFE", std::nullopt},
          {"BL", 110.0},
          {"BR", -110.0}}},
        {"7.1",
         {{"FL", 30.0},
          {"FR", -30.0},
          {"FC", 0.0},
          {"LFE", std::nullopt},
          {"BL", 150.0},
          {"BR", -150.0},
          {"SL", 90.0},
          {"SR", -90.0}}},
    };
    return table;
}

SpeakerLayout builtIn(const BuiltInLayout& row) {
    std::vector<Speaker> speakers;
    for (const Placement& p : row.speakers) {
        std::optional<SpeakerPosition> at;
        if (p.azimuth)
            at = pointAt(*p.azimuth);
        speakers.push_back({p.label, at, wavMaskBit(p.label)});
    }
    return SpeakerLayout(row.name, std::move(speakers));
}

std::string shortNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

// A whole field of decimal digits as a count; -1 for anything else or a
// count too large to matter.
int count(const std::string& field) {
    if (field.empty() || field.size() > 6 ||
        field.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::atoi(field.c_str());
}

// "ring:N" or "ring:N:FIRST", after the "ring:".
SpeakerLayout ringNamed(const std::string& name, const std::string& rest) {
    const std::size_t colon = rest.find(':');
    const int n = count(rest.substr(0, colon));
    if (n < 0)
        throw std::invalid_argument(name +
                                    ": the number of loudspeakers must be a whole number, got " +
                                    text::quoted(rest.substr(0, colon)));
    double first = 0.0;
    if (colon != std::string::npos) {
        const std::optional<double> f = text::finiteNumber(rest.substr(colon + 1));
        if (!f)
            throw std::invalid_argument(name +
                                        ": the azimuth of loudspeaker 1 must be a finite "
                                        "number of degrees, got " +
                                        text::quoted(rest.substr(colon + 1)));
        first = *f;
    }
    return ringLayout(n, first);
}

}  // namespace

namespace layouts {

const SpeakerLayout& quad() {
    static const SpeakerLayout layout = builtIn(builtInLayouts().front());
    return layout;
}

}  // namespace layouts

SpeakerLayout ringLayout(int count, double first) {
    const std::string name =
        "ring:" + std::to_string(count) + (first == 0.0 ? "" : ":" + shortNumber(first));
    if (count < 2 || count > kMaxSpeakers)
        throw std::invalid_argument(name + ": a ring has 2 to " + std::to_string(kMaxSpeakers) +
                                    " loudspeakers, got " + std::to_string(count));
    if (!std::isfinite(first))
        throw std::invalid_argument("ring: the azimuth of loudspeaker 1 must be finite");
    // Reduced first, exactly (std::remainder does not round), so that the
    // steps are taken near 0, where a double still resolves them: from
    // 1e308 itself every step would round away.
    const double start = normalAzimuth(first);
    std::vector<Speaker> speakers;
    for (int i = 0; i < count; ++i) {
        const double azimuth = normalAzimuth(start - 360.0 * i / count);
        speakers.push_back({std::to_string(i + 1), pointAt(azimuth), 0});
    }
    return SpeakerLayout(name, std::move(speakers));
}

SpeakerLayout ambisonicLayout(int order) {
    const std::string name = "ambisonics:" + std::to_string(order);
    if (order < kMinAmbisonicOrder || order > kMaxAmbisonicOrder)
        throw std::invalid_argument(name + ": the Ambisonic order must be " +
                                    std::to_string(kMinAmbisonicOrder) + " to " +
                                    std::to_string(kMaxAmbisonicOrder));
    std::vector<Speaker> channels;
    for (int acn = 0; acn < (order + 1) * (order + 1); ++acn)
        channels.push_back({"ACN" + std::to_string(acn), std::nullopt, 0});
    return SpeakerLayout(name, std::move(channels), order);
}

std::optional<SpeakerLayout> findLayout(const std::string& name) {
    for (const BuiltInLayout& row : builtInLayouts()) {
        if (name == row.name)
            return builtIn(row);
    }
    static const std::string kRing = "ring:", kAmbisonics = "ambisonics:";
    if (name.compare(0, kRing.size(), kRing) == 0)
        return ringNamed(name, name.substr(kRing.size()));
    if (name.compare(0, kAmbisonics.size(), kAmbisonics) == 0) {
        const int order = count(name.substr(kAmbisonics.size()));
        if (order < 0)
            throw std::invalid_argument(name + ": the Ambisonic order must be a whole number");
        return ambisonicLayout(order);
    }
    return std::nullopt;
}

std::vector<std::string> layoutNames() {
    std::vector<std::string> names;
    for (const BuiltInLayout& row : builtInLayouts())
        names.emplace_back(row.name);
    names.emplace_back("ring:N[:FIRST]");
    names.emplace_back("ambisonics:ORDER");
    return names;
}

}  // namespace tarvio
