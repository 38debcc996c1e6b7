// SPDX-License-Identifier: MIT

#include "render/Trace.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "engine/SpeakerLayout.h"

namespace tarvio::render {

namespace {

// std::to_chars ignores the locale, so a row always reads the same.
char* put(char* p, char* end, double v, std::chars_format format, int precision) {
    auto r = std::to_chars(p, end, v, format, precision);
    return r.ec == std::errc() ? r.ptr : p;
}

// Seconds take at most 309 digits before the point (6 after); every other
// value at most 16 characters and its comma.
constexpr std::size_t kSecondsChars = 320;
constexpr std::size_t kValueChars = 24;
// The place of a source before its gains: x, y, azimuth, r, elevation and
// distance.
constexpr std::size_t kPlaceColumns = 6;

}  // namespace

TraceWriter::TraceWriter(std::ostream& out, const std::vector<std::string>& channels, int sources)
    : out_(out),
      channels_(channels.size()),
      line_(kSecondsChars +
            static_cast<std::size_t>(sources) * (kPlaceColumns + channels.size()) * kValueChars +
            1) {
    for (const std::string& c : channels) {
        if (!validLabel(c))
            throw std::invalid_argument("trace: \"" + c + "\" cannot name a column");
    }
    out_ << "seconds";
    for (int s = 1; s <= sources; ++s) {
        const std::string prefix = sources == 1 ? "" : "s" + std::to_string(s) + ".";
        for (const char* column : {"x", "y", "azimuth", "r", "elevation", "distance"})
            out_ << ',' << prefix << column;
        for (const std::string& c : channels)
            out_ << ',' << prefix << c;
    }
    out_ << '\n';
}

void TraceWriter::begin(double seconds) {
    at_ = put(line_.data(), line_.data() + line_.size(), seconds, std::chars_format::fixed, 6);
}

void TraceWriter::place(double x, double y, double elevation, double distance,
                        const double* gains) {
    char* p = at_;
    char* const end = line_.data() + line_.size();
    const double r = std::fmax(std::fabs(2 * x - 1), std::fabs(2 * y - 1));
    // Adding 0 turns the -0 of atan2 straight ahead into 0.
    const double place[] = {x, y, azimuthAt(x, y) + 0.0, r, elevation, distance};
    for (double v : place) {
        *p++ = ',';
        p = put(p, end, v, std::chars_format::general, 9);
    }
    for (std::size_t i = 0; i < channels_; ++i) {
        *p++ = ',';
        p = put(p, end, gains[i], std::chars_format::general, 9);
    }
    at_ = p;
}

void TraceWriter::absent() {
    for (std::size_t i = 0; i < kPlaceColumns + channels_; ++i)
        *at_++ = ',';
}

void TraceWriter::end() {
    *at_++ = '\n';
    out_.write(line_.data(), at_ - line_.data());
}

}  // namespace tarvio::render
