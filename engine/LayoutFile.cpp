// SPDX-License-Identifier: MIT
// Loudspeaker layouts read from text files of "LABEL AZIMUTH" lines.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

#include "engine/SpeakerLayout.h"
#include "engine/TextLines.h"

namespace tarvio {

namespace {

using text::lineError;
using text::quoted;

const std::string kLfe = "LFE";

bool printable(const std::string& label) {
    for (char ch : label) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= ' ' || c >= 0x7f)
            return false;
    }
    return true;
}

// The loudspeakers of a file as they are read, with the lines that named
// them, for messages about a later line.
class LayoutReader {
  public:
    explicit LayoutReader(const std::string& name) : name_(name) {}

    void line(const std::vector<std::string>& f, long line) {
        const std::string& label = f[0];
        if (!printable(label))
            throw lineError(name_, line, "a label must be printable ASCII: " + quoted(label));
        const auto seen = labels_.find(label);
        if (seen != labels_.end())
            throw lineError(
                name_, line,
                "label " + label + " again (line " + std::to_string(seen->second) + ")");
        labels_[label] = line;
        if (label == kLfe) {
            if (f.size() != 1)
                throw lineError(name_, line, "LFE takes no azimuth: it gets no signal");
            speakers_.push_back({label, std::nullopt, 0});
            return;
        }
        if (f.size() != 2)
            throw lineError(
                name_, line,
                "expected \"LABEL AZIMUTH\", got " + std::to_string(f.size()) + " fields");
        const double azimuth = normalAzimuth(text::number(f[1], name_, line));
        const auto taken = azimuths_.find(azimuth);
        if (taken != azimuths_.end())
            throw lineError(
                name_, line,
                "azimuth " + f[1] + " is taken by line " + std::to_string(taken->second));
        azimuths_[azimuth] = line;
        speakers_.push_back({label, pointAt(azimuth), 0});
    }

    SpeakerLayout layout() {
        if (azimuths_.size() < 2)
            throw std::runtime_error(name_ +
                                     ": a layout needs at least two loudspeakers with an "
                                     "azimuth, got " +
                                     std::to_string(azimuths_.size()));
        bool standard = true;
        for (const Speaker& s : speakers_)
            standard = standard && wavMaskBit(s.label) != 0;
        for (Speaker& s : speakers_)
            s.maskBit = standard ? wavMaskBit(s.label) : 0;
        return SpeakerLayout(name_, std::move(speakers_));
    }

  private:
    std::string name_;
    std::vector<Speaker> speakers_;
    std::map<std::string, long> labels_;  // the line of each label
    std::map<double, long> azimuths_;     // the line of each azimuth
};

}  // namespace

SpeakerLayout loadLayoutFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        throw std::runtime_error(fileName + ": cannot open: " + std::strerror(errno));
    return parseLayout(in, fileName);
}

SpeakerLayout parseLayout(std::istream& in, const std::string& name) {
    LayoutReader reader(name);
    std::string text;
    long line = 0;
    errno = 0;
    while (std::getline(in, text)) {
        ++line;
        const std::vector<std::string> f = text::fields(std::move(text));
        if (!f.empty())
            reader.line(f, line);
        errno = 0;  // strtod may have left ERANGE for a tiny number
    }
    if (in.bad()) {
        std::string reason = errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
        throw std::runtime_error(name + ": cannot read" + reason);
    }
    return reader.layout();
}

}  // namespace tarvio
