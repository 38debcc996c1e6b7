// SPDX-License-Identifier: MIT

#include "render/Trace.h"

#include <charconv>

namespace tarvio::render {

namespace {

// std::to_chars ignores the locale, so a row always reads the same.
char* put(char* p, char* end, double v, std::chars_format format, int precision) {
    auto r = std::to_chars(p, end, v, format, precision);
    return r.ec == std::errc() ? r.ptr : p;
}

}  // namespace

TraceWriter::TraceWriter(std::ostream& out) : out_(out) {
    out_ << "seconds,x,y,g1,g2,g3,g4\n";
}

void TraceWriter::row(double seconds, double x, double y, const double gains[4]) {
    // Seconds take at most 309 digits before the point (6 after): a huge
    // value still fits, as do six values of at most 16 characters.
    char line[512];
    char* const end = line + sizeof line;
    char* p = put(line, end, seconds, std::chars_format::fixed, 6);
    const double rest[] = {x, y, gains[0], gains[1], gains[2], gains[3]};
    for (double v : rest) {
        *p++ = ',';
        p = put(p, end, v, std::chars_format::general, 9);
    }
    *p++ = '\n';
    out_.write(line, p - line);
}

bool TraceWriter::flush() {
    out_.flush();
    return ok();
}

}  // namespace tarvio::render
