// SPDX-License-Identifier: MIT
// The layouts a command line can name: the built-in ones (a table of labels
// and directions), rings of evenly spaced loudspeakers, domes of rings, and
// the channels of Ambisonic signals.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "engine/SpeakerLayout.h"
#include "engine/TextLines.h"

namespace tarvio {

namespace {

// One loudspeaker of a built-in layout: its label, its azimuth in degrees
// (none for the LFE), and its elevation.
struct Placement {
    const char* label;
    std::optional<double> azimuth;
    double elevation = 0.0;
};

struct BuiltInLayout {
    const char* name;
    std::vector<Placement> speakers;  // in engine order
    // Whether the layout has a WAV channel mask: only when every label has
    // a standard mask bit.
    bool masked = true;
};

std::vector<Placement> joined(std::vector<Placement> a, const std::vector<Placement>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The upper layer of 5.1.4 and 7.1.4: four loudspeakers at 45 degrees of
// elevation, above the front and back corners.
const std::vector<Placement> kUpperFour{
    {"TFL", 45.0, 45.0}, {"TFR", -45.0, 45.0}, {"TBL", 135.0, 45.0}, {"TBR", -135.0, 45.0}};

const std::vector<Placement> k51{{"FL", 30.0},          {"FR", -30.0}, {"FC", 0.0},
                                 {"LFE", std::nullopt}, {"BL", 110.0}, {"BR", -110.0}};
const std::vector<Placement> k71{{"FL", 30.0},  {"FR", -30.0},  {"FC", 0.0},  {"LFE", std::nullopt},
                                 {"BL", 150.0}, {"BR", -150.0}, {"SL", 90.0}, {"SR", -90.0}};

// The built-in layouts, one row each; their mask bits follow from the
// labels (engine/Speakers.h).
//
// 9.1.6 is 7.1.4 with a wide pair in front (FLW and FRW at +-60) and an
// upper pair above the sides (TSL and TSR at +-90, 45 up). WAV masks have
// no bit for these four, so the layout has no mask.
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
        {"5.1.4", joined(k51, kUpperFour)},
        {"7.1.4", joined(k71, kUpperFour)},
        {"9.1.6",
         joined(joined(k71, {{"FLW", 60.0},
                             {"FRW", -60.0},
                             {"TFL", 45.0, 45.0},
                             {"TFR", -45.0, 45.0},
                             {"TSL", 90.0, 45.0},
                             {"TSR", -90.0, 45.0}}),
                {{"TBL", 135.0, 45.0}, {"TBR", -135.0, 45.0}}),
         false},
    };
    return table;
}

SpeakerLayout builtIn(const BuiltInLayout& row) {
    std::vector<Speaker> speakers;
    for (const Placement& p : row.speakers) {
        std::optional<SpeakerPosition> at;
        if (p.azimuth) {
            at = pointAt(*p.azimuth);
            at->elevation = p.elevation;
        }
        speakers.push_back({p.label, at, row.masked ? wavMaskBit(p.label) : 0});
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

// One ring of a dome, "N" or "N@E", as the rings' list names it.
void addRing(const std::string& name, const std::string& ring, std::vector<Speaker>& speakers) {
    const std::size_t at = ring.find('@');
    const int n = count(ring.substr(0, at));
    if (n < 1)
        throw std::invalid_argument(name +
                                    ": a ring is N or N@ELEVATION, N a whole number from 1, got " +
                                    text::quoted(ring));
    double elevation = 0.0;
    if (at != std::string::npos) {
        const std::optional<double> e = text::finiteNumber(ring.substr(at + 1));
        if (!e || *e < -90.0 || *e > 90.0)
            throw std::invalid_argument(name +
                                        ": the elevation of a ring runs from -90 to 90 "
                                        "degrees, got " +
                                        text::quoted(ring.substr(at + 1)));
        elevation = *e;
    }
    if (speakers.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxSpeakers))
        throw std::invalid_argument(name + ": a dome has at most " + std::to_string(kMaxSpeakers) +
                                    " loudspeakers");
    for (int i = 0; i < n; ++i) {
        SpeakerPosition p = pointAt(normalAzimuth(-360.0 * i / n));
        p.elevation = elevation;
        speakers.push_back({std::to_string(speakers.size() + 1), p, 0});
    }
}

// Refuses two loudspeakers of a dome closer than kMinSpeakerSpacing.
void checkDomeSpacing(const std::string& name, const std::vector<Speaker>& speakers) {
    for (std::size_t i = 0; i < speakers.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            const SpeakerPosition& a = *speakers[i].position;
            const SpeakerPosition& b = *speakers[k].position;
            if (angleOnSphere(a.azimuth, a.elevation, b.azimuth, b.elevation) < kMinSpeakerSpacing)
                throw std::invalid_argument(name + ": loudspeakers " + speakers[k].label + " and " +
                                            speakers[i].label + " are less than 1 degree apart");
        }
    }
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

SpeakerLayout domeLayout(const std::string& rings) {
    const std::string name = "dome:" + rings;
    std::vector<Speaker> speakers;
    for (std::size_t start = 0;;) {
        const std::size_t comma = rings.find(',', start);
        addRing(name, rings.substr(start, comma - start), speakers);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (speakers.size() < 3)
        throw std::invalid_argument(name + ": a dome has at least 3 loudspeakers, got " +
                                    std::to_string(speakers.size()));
    checkDomeSpacing(name, speakers);
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
    static const std::string kRing = "ring:", kAmbisonics = "ambisonics:", kDome = "dome:";
    if (name.compare(0, kDome.size(), kDome) == 0)
        return domeLayout(name.substr(kDome.size()));
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
    names.emplace_back("dome:N1[@E1],N2[@E2],...");
    names.emplace_back("ambisonics:ORDER");
    return names;
}

}  // namespace tarvio
