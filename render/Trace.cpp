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

}  // namespace

TraceWriter::TraceWriter(std::ostream& out, const std::vector<std::string>& channels)
    : out_(out),
      channels_(channels.size()),
      line_(kSecondsChars + (4 + channels.size()) * kValueChars + 1) {
    for (const std::string& c : channels) {
        if (!validLabel(c))
            throw std::invalid_argument("trace: \"" + c + "\" cannot name a column");
    }
    out_ << "seconds,x,y,azimuth,r";
    for (const std::string& c : channels)
        out_ << ',' << c;
    out_ << '\n';
}

void TraceWriter::row(double seconds, double x, double y, const double* gains) {
    char* p = line_.data();
    char* const end = p + line_.size();
    p = put(p, end, seconds, std::chars_format::fixed, 6);
    const double r = std::fmax(std::fabs(2 * x - 1), std::fabs(2 * y - 1));
    const double place[] = {x, y, azimuthAt(x, y), r};
    for (double v : place) {
        *p++ = ',';
        p = put(p, end, v, std::chars_format::general, 9);
    }
    for (std::size_t i = 0; i < channels_; ++i) {
        *p++ = ',';
        p = put(p, end, gains[i], std::chars_format::general, 9);
    }
    *p++ = '\n';
    out_.write(line_.data(), p - line_.data());
}

}  // namespace tarvio::render
