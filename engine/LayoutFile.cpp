// SPDX-License-Identifier: MIT
// Loudspeaker layouts read from text files of "LABEL AZIMUTH [ELEVATION]"
// lines.
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "engine/SpeakerLayout.h"
#include "engine/Speakers.h"
#include "engine/TextLines.h"

namespace tarvio {

namespace {

using text::lineError;
using text::quoted;

const std::string kWhat = "a layout file";

std::string degrees(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The loudspeakers of a file as they are read, with the lines that named
// them, for messages about a later line.
class LayoutReader {
  public:
    explicit LayoutReader(const std::string& name) : name_(name) {}

    void line(const std::vector<std::string>& f, long line) {
        const std::string& label = f[0];
        if (speakers_.size() == static_cast<std::size_t>(kMaxSpeakers))
            throw lineError(
                name_, line,
                "a layout has at most " + std::to_string(kMaxSpeakers) + " loudspeakers");
        if (!validLabel(label))
            throw lineError(name_, line,
                            "a label has only letters, digits, '-', '_' and '.', and begins "
                            "with a letter or a digit: " +
                                quoted(label));
        const auto seen = labels_.find(label);
        if (seen != labels_.end())
            throw lineError(
                name_, line,
                "label " + label + " again (line " + std::to_string(seen->second) + ")");
        labels_[label] = line;
        // A standard loudspeaker without a direction (the LFE).
        const StandardSpeaker* standard = standardSpeaker(label);
        if (standard && !standard->direction) {
            if (f.size() != 1)
                throw lineError(name_, line, label + " takes no azimuth: it gets no signal");
            speakers_.push_back({label, std::nullopt, 0});
            return;
        }
        if (f.size() != 2 && f.size() != 3)
            throw lineError(name_, line,
                            "expected \"LABEL AZIMUTH [ELEVATION]\", got " +
                                std::to_string(f.size()) + " fields");
        const double azimuth = normalAzimuth(text::number(f[1], name_, line));
        double elevation = 0.0;
        if (f.size() == 3) {
            elevation = text::number(f[2], name_, line);
            if (elevation < -90.0 || elevation > 90.0)
                throw lineError(name_, line, "elevation " + f[2] + " is outside -90 to 90 degrees");
        }
        const Placed here{azimuth, elevation, f.size() == 3 ? f[1] + " " + f[2] : f[1], line};
        checkSpacing(here);
        placed_.push_back(here);
        SpeakerPosition at = pointAt(azimuth);
        at.elevation = elevation;
        speakers_.push_back({label, at, 0});
    }

    SpeakerLayout layout() {
        if (placed_.size() < 2)
            throw std::runtime_error(name_ +
                                     ": a layout needs at least two loudspeakers with an "
                                     "azimuth, got " +
                                     std::to_string(placed_.size()));
        // The mask bits of standard labels, all or none: a file that also
        // names other loudspeakers declares no mask.
        bool standard = true;
        for (const Speaker& s : speakers_)
            standard = standard && standardSpeaker(s.label) != nullptr;
        for (Speaker& s : speakers_)
            s.maskBit = standard ? standardSpeaker(s.label)->maskBit : 0;
        return SpeakerLayout(name_, std::move(speakers_));
    }

  private:
    struct Placed {
        double azimuth;     // in (-180, 180]
        double elevation;   // in [-90, 90]
        std::string field;  // the azimuth as written, and the elevation if given
        long line;
    };

    // Refuses a loudspeaker closer than kMinSpeakerSpacing to one before,
    // by the angle between their directions (359.5 and 0 are half a degree
    // apart; so are all azimuths straight overhead). Loudspeakers at ear
    // height are named by azimuth, the others by direction.
    void checkSpacing(const Placed& here) const {
        for (const Placed& p : placed_) {
            const double apart = angleBetween(here, p);
            const bool flat = here.elevation == 0.0 && p.elevation == 0.0;
            const std::string kind = flat ? "azimuth " : "direction ";
            // Off the plane, rounding leaves a few units of the last place
            // between two names of one direction (two azimuths overhead).
            if (flat ? apart == 0.0 : apart < 1e-9)
                throw lineError(name_, here.line,
                                kind + here.field + " is taken by line " + std::to_string(p.line));
            if (apart < kMinSpeakerSpacing)
                throw lineError(name_, here.line,
                                kind + here.field + " is less than " + degrees(kMinSpeakerSpacing) +
                                    " degree from " + kind + p.field + " (line " +
                                    std::to_string(p.line) + ")");
        }
    }

    // In the plane, the difference of azimuths round the circle exactly (as
    // the spacing of a horizontal file always was); else the great-circle
    // angle.
    static double angleBetween(const Placed& a, const Placed& b) {
        if (a.elevation == 0.0 && b.elevation == 0.0)
            return std::fabs(std::remainder(a.azimuth - b.azimuth, 360.0));
        return angleOnSphere(a.azimuth, a.elevation, b.azimuth, b.elevation);
    }

    std::string name_;
    std::vector<Speaker> speakers_;
    std::map<std::string, long> labels_;  // the line of each label
    std::vector<Placed> placed_;          // the loudspeakers with an azimuth
};

SpeakerLayout parseText(const std::string& text, const std::string& name) {
    LayoutReader reader(name);
    long line = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++line;
        const std::vector<std::string> f = text::fields(text.substr(start, end - start));
        if (!f.empty())
            reader.line(f, line);
        start = end + 1;
    }
    return reader.layout();
}

}  // namespace

SpeakerLayout loadLayoutFile(const std::string& fileName) {
    return parseText(text::readFile(fileName, kMaxLayoutFileBytes, kWhat), fileName);
}

SpeakerLayout parseLayout(std::istream& in, const std::string& name) {
    return parseText(text::readAll(in, kMaxLayoutFileBytes, name, kWhat), name);
}

}  // namespace tarvio
