// SPDX-License-Identifier: MIT

#include "engine/SpeakerLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <set>
#include <stdexcept>
#include <utility>

#include "engine/Speakers.h"

namespace tarvio {

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

void check(bool ok, const std::string& layout, const std::string& what) {
    if (!ok)
        throw std::invalid_argument("loudspeaker layout " + layout + ": " + what);
}

bool onSquare(const SpeakerPosition& p) {
    return p.x >= 0.0 && p.x <= 1.0 && p.y >= 0.0 && p.y <= 1.0 && std::isfinite(p.azimuth) &&
           p.elevation >= -90.0 && p.elevation <= 90.0;
}

bool samePosition(const std::optional<SpeakerPosition>& a,
                  const std::optional<SpeakerPosition>& b) {
    if (!a || !b)
        return !a && !b;
    return a->azimuth == b->azimuth && a->x == b->x && a->y == b->y && a->elevation == b->elevation;
}

// A number of a table cell: whole numbers without a fraction.
std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string padded(std::string cell, std::size_t width) {
    cell.resize(std::max(width, cell.size() + 1), ' ');
    return cell;
}

}  // namespace

SpeakerLayout::SpeakerLayout(std::string name, std::vector<Speaker> speakers, int ambisonicOrder)
    : name_(std::move(name)), speakers_(std::move(speakers)), ambisonicOrder_(ambisonicOrder) {
    check(!speakers_.empty(), name_, "no loudspeakers");
    check(size() <= kMaxSpeakers, name_,
          "more than " + std::to_string(kMaxSpeakers) + " loudspeakers");
    check(ambisonicOrder_ >= 0 && ambisonicOrder_ <= 15 &&
              (ambisonicOrder_ == 0 || size() == (ambisonicOrder_ + 1) * (ambisonicOrder_ + 1)),
          name_, "the channels do not match Ambisonic order " + std::to_string(ambisonicOrder_));
    std::set<std::string> labels;
    std::uint32_t mask = 0;
    for (const Speaker& s : speakers_) {
        check(validLabel(s.label), name_, "not a valid label: \"" + s.label + "\"");
        check(labels.insert(s.label).second, name_, "label " + s.label + " twice");
        check((s.maskBit & (s.maskBit - 1)) == 0, name_, s.label + ": more than one mask bit");
        check((mask & s.maskBit) == 0, name_, s.label + ": mask bit taken twice");
        mask |= s.maskBit;
        check(!s.position || onSquare(*s.position), name_, s.label + ": not on the square");
    }
}

std::vector<std::string> SpeakerLayout::labels() const {
    std::vector<std::string> out;
    for (const Speaker& s : speakers_)
        out.push_back(s.label);
    return out;
}

double angleOnSphere(double azimuthA, double elevationA, double azimuthB, double elevationB) {
    if (azimuthA == azimuthB && elevationA == elevationB)
        return 0.0;
    const double ea = elevationA * kDegree, eb = elevationB * kDegree;
    const double da = (azimuthA - azimuthB) * kDegree;
    // The haversine form keeps small angles accurate, where an arc cosine
    // of a dot product near 1 would lose them.
    const double h = std::sin((ea - eb) / 2) * std::sin((ea - eb) / 2) +
                     std::cos(ea) * std::cos(eb) * std::sin(da / 2) * std::sin(da / 2);
    return 2.0 * std::asin(std::sqrt(std::min(1.0, h))) / kDegree;
}

bool SpeakerLayout::hasHeight() const {
    for (const Speaker& s : speakers_) {
        if (s.position && s.position->elevation != 0.0)
            return true;
    }
    return false;
}

std::uint32_t SpeakerLayout::channelMask() const {
    std::uint32_t mask = 0;
    for (const Speaker& s : speakers_)
        mask |= s.maskBit;
    return mask;
}

std::vector<int> SpeakerLayout::fileOrder(ChannelOrder order) const {
    std::vector<int> places(speakers_.size());
    std::iota(places.begin(), places.end(), 0);
    if (order == ChannelOrder::Mask) {
        // A loudspeaker without a bit sorts after every bit.
        const auto key = [this](int ch) {
            const std::uint32_t bit = speakers_[ch].maskBit;
            return bit ? static_cast<std::uint64_t>(bit) : std::uint64_t{1} << 32;
        };
        std::stable_sort(places.begin(), places.end(),
                         [&key](int a, int b) { return key(a) < key(b); });
    }
    return places;
}

bool SpeakerLayout::sameSpeakers(const SpeakerLayout& other) const {
    return ambisonicOrder_ == other.ambisonicOrder_ &&
           std::equal(speakers_.begin(), speakers_.end(), other.speakers_.begin(),
                      other.speakers_.end(), [](const Speaker& a, const Speaker& b) {
                          return a.label == b.label && a.maskBit == b.maskBit &&
                                 samePosition(a.position, b.position);
                      });
}

bool validLabel(const std::string& label) {
    const auto alnum = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    };
    if (label.empty() || !alnum(label[0]))
        return false;
    return std::all_of(label.begin(), label.end(),
                       [&alnum](char c) { return alnum(c) || c == '-' || c == '_' || c == '.'; });
}

SpeakerPosition pointAt(double azimuth) {
    const double s = std::sin(azimuth * kDegree);
    const double c = std::cos(azimuth * kDegree);
    const double edge = std::max(std::fabs(s), std::fabs(c));
    double u = -s / edge;
    double v = c / edge;
    // At a corner sine and cosine agree but for rounding: both sides are
    // the edge, so that a loudspeaker at 45 degrees stands on the corner.
    if (std::fabs(std::fabs(s) - std::fabs(c)) <= 1e-15) {
        u = std::copysign(1.0, u);
        v = std::copysign(1.0, v);
    }
    return {azimuth, (u + 1.0) / 2.0, (v + 1.0) / 2.0};
}

double azimuthAt(double x, double y) {
    const double u = 2.0 * x - 1.0;
    const double v = 2.0 * y - 1.0;
    if (u == 0.0 && v == 0.0)
        return 0.0;
    const double a = std::atan2(-u, v) / kDegree;
    return a <= -180.0 ? a + 360.0 : a;
}

double normalAzimuth(double degrees) {
    const double a = std::remainder(degrees, 360.0);
    return (a <= -180.0 ? a + 360.0 : a) + 0.0;
}

std::string speakerTable(const SpeakerLayout& layout) {
    const std::vector<int> wav = layout.fileOrder(ChannelOrder::Mask);
    const bool height = layout.hasHeight();
    std::string table = std::string("  speaker  azimuth  ") + (height ? "elevation  " : "") +
                        "point (x, y)  AIFF channel  WAV, W64, RF64, FLAC channel\n";
    for (int ch = 0; ch < layout.size(); ++ch) {
        const Speaker& s = layout[ch];
        const auto place = std::find(wav.begin(), wav.end(), ch) - wav.begin();
        std::string azimuth = "-", elevation = "-", point = "-";
        if (s.position) {
            azimuth = number(s.position->azimuth);
            elevation = number(s.position->elevation);
            point = "(" + number(s.position->x) + ", " + number(s.position->y) + ")";
        }
        table += "  " + padded(s.label, 9) + padded(azimuth, 9) +
                 (height ? padded(elevation, 11) : "") + padded(point, 14) +
                 padded(std::to_string(ch + 1), 14) + std::to_string(place + 1) + "\n";
    }
    return table;
}

std::uint32_t wavMaskBit(const std::string& label) {
    const StandardSpeaker* s = standardSpeaker(label);
    return s ? s->maskBit : 0;
}

}  // namespace tarvio
