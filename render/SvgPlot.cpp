// SPDX-License-Identifier: MIT

#include "render/SvgPlot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tarvio::render {

namespace {

constexpr std::size_t kMaxPoints = 4000;  // points drawn at most
constexpr int kSteps = 32;                // colours of the time ramp

// The page, in SVG user units. The unit square is drawn kSide units wide
// with its top-left corner at (kLeft, kTop).
constexpr double kWidth = 600;
constexpr double kHeight = 640;
constexpr double kLeft = 100;
constexpr double kTop = 70;
constexpr double kSide = 400;
constexpr double kMargin = 0.1;  // how far outside the square a point may be drawn
// The mean distance between drawn points (in side lengths) beyond which the
// path is drawn as dots rather than lines.
constexpr double kMaxStep = 0.08;

double toPageX(double x) {
    return kLeft + kSide * std::clamp(x, -kMargin, 1 + kMargin);
}
double toPageY(double y) {
    return kTop + kSide * (1 - std::clamp(y, -kMargin, 1 + kMargin));
}

// Numbers are written with std::to_chars, which ignores the locale: SVG
// needs a decimal point.
void appendFixed(std::string& s, double v, int decimals) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    if (r.ec == std::errc())
        s.append(buf, r.ptr);
    else
        s += '0';
}

void appendCoord(std::string& s, double v) {
    appendFixed(s, v, 2);
}

// Drops the zeros after a decimal point, and the point when nothing is left.
void trimZeros(std::string& s) {
    if (s.find('.') == std::string::npos)
        return;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
}

// A layout number for an attribute, such as "100" or "12.5".
std::string num(double v) {
    std::string s;
    appendFixed(s, v, 2);
    trimZeros(s);
    return s;
}

// A duration in seconds, to the millisecond, without trailing zeros.
std::string durationText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0)
        return "?";
    std::string s;
    if (seconds >= 1e9) {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::general, 6);
        s.assign(buf, r.ptr);
    } else {
        appendFixed(s, seconds, 3);
        trimZeros(s);
    }
    return s + " s";
}

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Appends one ASCII character escaped for XML content and attribute values;
// control characters become U+FFFD.
void appendEscapedAscii(std::string& s, unsigned char c) {
    switch (c) {
        case '&':
            s += "&amp;";
            break;
        case '<':
            s += "&lt;";
            break;
        case '>':
            s += "&gt;";
            break;
        case '"':
            s += "&quot;";
            break;
        case '\'':
            s += "&apos;";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
                s += kReplacement;
            else
                s += static_cast<char>(c);
    }
}

// The length of the UTF-8 sequence at text[i] (whose first byte is not
// ASCII) when it encodes a code point XML allows, else 0.
std::size_t validSequence(const std::string& text, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t len = 0;
    std::uint32_t cp = 0, least = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, cp = c & 0x1F, least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, cp = c & 0x0F, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, cp = c & 0x07, least = 0x10000;
    }
    if (len == 0 || i + len > text.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    const bool allowed = cp >= least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) &&
                         cp != 0xFFFE && cp != 0xFFFF;
    return allowed ? len : 0;
}

// Appends `text` escaped for XML content and attribute values. Byte
// sequences that are not valid UTF-8, control characters and the code
// points XML does not allow become U+FFFD.
void appendEscaped(std::string& s, const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            appendEscapedAscii(s, c);
            ++i;
        } else if (const std::size_t len = validSequence(text, i)) {
            s.append(text, i, len);
            i += len;
        } else {
            s += kReplacement;
            ++i;
        }
    }
}

// The number of characters (code points) of UTF-8 text, for sizing it.
std::size_t characters(const std::string& utf8) {
    std::size_t count = 0;
    for (char c : utf8)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The colour of ramp step `step` of kSteps: a hue ramp from blue through
// cyan, green and yellow to red, darkened in its light middle so that it
// stays visible on white.
std::string stepColour(int step) {
    double f = (step + 0.5) / kSteps;
    double h = 240.0 * (1.0 - f) / 60.0;                              // hue in sixths of a turn
    double v = 0.9 - 0.25 * std::exp(-std::pow((h - 1.5) / 0.8, 2));  // dimmer near yellow
    double s = 0.9;
    double c = v * s;
    double x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1));
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h)) {
        case 0:
            r = c, g = x;
            break;
        case 1:
            r = x, g = c;
            break;
        case 2:
            g = c, b = x;
            break;
        case 3:
            g = x, b = c;
            break;
        default:
            r = x, b = c;
            break;
    }
    double m = v - c;
    const char digits[] = "0123456789abcdef";
    std::string out = "#";
    for (double channel : {r + m, g + m, b + m}) {
        int byte = static_cast<int>(std::lround(std::clamp(channel, 0.0, 1.0) * 255));
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

// Maps times to ramp steps: 0 s is the first step, `end` seconds the last.
struct Ramp {
    double end;
    int step(double seconds) const {
        if (!(end > 0) || !(seconds > 0))
            return 0;
        double f = std::min(seconds / end, 1.0);
        return std::min(kSteps - 1, static_cast<int>(f * kSteps));
    }
};

// At most kMaxPoints of the points with finite coordinates, evenly spread
// over them, with the first and the last.
std::vector<PlotPoint> pointsToDraw(const std::vector<PlotPoint>& path) {
    auto drawable = [](const PlotPoint& p) { return std::isfinite(p.x) && std::isfinite(p.y); };
    const std::uint64_t n =
        static_cast<std::uint64_t>(std::count_if(path.begin(), path.end(), drawable));
    const std::uint64_t m = std::min<std::uint64_t>(n, kMaxPoints);
    std::vector<PlotPoint> out;
    out.reserve(m);
    std::uint64_t seen = 0;
    for (const PlotPoint& p : path) {
        if (out.size() == m)
            break;
        if (!drawable(p))
            continue;
        std::uint64_t i = out.size();
        std::uint64_t wanted = m > 1 ? i * (n - 1) / (m - 1) : 0;
        if (seen == wanted)
            out.push_back(p);
        ++seen;
    }
    return out;
}

void appendText(std::string& s, double x, double y, const char* attributes,
                const std::string& text) {
    s += "<text x=\"";
    appendCoord(s, x);
    s += "\" y=\"";
    appendCoord(s, y);
    s += "\" ";
    s += attributes;
    s += '>';
    appendEscaped(s, text);
    s += "</text>\n";
}

// A "start" or "end" mark with its label beside it, inside the page. The
// start is a ring and the end a dot that fits inside it, so that both show
// when the path ends where it began.
void appendMark(std::string& s, const PlotPoint& p, bool start, const std::string& colour) {
    double px = toPageX(p.x), py = toPageY(p.y);
    s += "<circle cx=\"";
    appendCoord(s, px);
    s += "\" cy=\"";
    appendCoord(s, py);
    if (start)
        s += "\" r=\"9\" fill=\"white\" stroke=\"" + colour + "\" stroke-width=\"3\"/>\n";
    else
        s += "\" r=\"4.5\" fill=\"" + colour + "\" stroke=\"#222\" stroke-width=\"1.5\"/>\n";
    bool left = px > kLeft + kSide - 60;
    appendText(s, left ? px - 13 : px + 13, start ? py - 10 : py + 20,
               left ? "font-size=\"14\" text-anchor=\"end\" class=\"halo\""
                    : "font-size=\"14\" class=\"halo\"",
               start ? "start" : "end");
}

void appendPage(std::string& s, const std::string& title) {
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" +
         num(kHeight) + "\" viewBox=\"0 0 " + num(kWidth) + " " + num(kHeight) +
         "\" font-family=\"sans-serif\">\n";
    s += "<title>";
    appendEscaped(s, title);
    s += "</title>\n";
    s += "<style>.halo { stroke: white; stroke-width: 4px; paint-order: stroke; "
         "stroke-linejoin: round; }</style>\n";
    s += "<rect width=\"" + num(kWidth) + "\" height=\"" + num(kHeight) + "\" fill=\"white\"/>\n";
}

// The square with its middle lines, and which side is the front.
void appendSquare(std::string& s) {
    const double midX = kLeft + kSide / 2, midY = kTop + kSide / 2;
    s += "<rect x=\"" + num(kLeft) + "\" y=\"" + num(kTop) + "\" width=\"" + num(kSide) +
         "\" height=\"" + num(kSide) +
         "\" fill=\"#f6f6f6\" stroke=\"#999\" stroke-width=\"1.5\"/>\n";
    s += "<path d=\"M" + num(midX) + " " + num(kTop) + "V" + num(kTop + kSide) + "M" + num(kLeft) +
         " " + num(midY) + "H" + num(kLeft + kSide) +
         "\" stroke=\"#ddd\" stroke-width=\"1\" stroke-dasharray=\"4 4\"/>\n";
    appendText(s, midX, kTop - 56, "font-size=\"13\" fill=\"#888\" text-anchor=\"middle\"",
               "front");
}

// The loudspeakers: a mark at each point, its channel number beside it on
// the outside of the square and its label under the number.
void appendSpeakers(std::string& s, const std::vector<PlotSpeaker>& speakers) {
    for (const PlotSpeaker& sp : speakers) {
        const double px = toPageX(sp.x), py = toPageY(sp.y);
        s += "<rect x=\"";
        appendCoord(s, px - 9);
        s += "\" y=\"";
        appendCoord(s, py - 9);
        s += "\" width=\"18\" height=\"18\" rx=\"3\" fill=\"#333\"/>\n";
        const double dx = sp.x > 0.55 ? 24 : sp.x < 0.45 ? -24 : 0;
        const double dy = sp.y > 0.5 ? -16 : 28;
        appendText(s, px + dx, py + dy,
                   "font-size=\"20\" font-weight=\"bold\" fill=\"#333\" text-anchor=\"middle\"",
                   sp.channel);
        if (sp.label != sp.channel)
            appendText(s, px + dx, py + dy + (sp.y > 0.5 ? -20 : 16),
                       "font-size=\"12\" fill=\"#666\" text-anchor=\"middle\"", sp.label);
    }
}

// True when the points lie too far apart to be joined by lines: a fast
// rotation over a long file, thinned to kMaxPoints, would draw chords that
// the sound never took. The points themselves are always on the path.
bool tooSparseForLines(const std::vector<PlotPoint>& pts) {
    double length = 0;
    for (std::size_t i = 1; i < pts.size(); ++i)
        length += std::hypot(pts[i].x - pts[i - 1].x, pts[i].y - pts[i - 1].y);
    return pts.size() > 1 && length / static_cast<double>(pts.size() - 1) > kMaxStep;
}

// The path, one element for each stretch of the same colour: a polyline, or
// dots (zero-length strokes with round caps) where lines would mislead.
// Then its start and end marks.
void appendPath(std::string& s, const std::vector<PlotPoint>& pts, const Ramp& ramp) {
    if (pts.size() > 1) {
        const bool dots = tooSparseForLines(pts);
        s += dots ? "<g fill=\"none\" stroke-width=\"3\" stroke-linecap=\"round\">\n"
                  : "<g fill=\"none\" stroke-width=\"2.5\" stroke-linejoin=\"round\" "
                    "stroke-linecap=\"round\">\n";
        std::size_t first = 0;
        while (first + 1 < pts.size()) {
            const int step = ramp.step(pts[first].seconds);
            std::size_t last = first + 1;
            while (last + 1 < pts.size() && ramp.step(pts[last].seconds) == step)
                ++last;
            s += (dots ? "<path stroke=\"" : "<polyline stroke=\"") + stepColour(step) +
                 (dots ? "\" d=\"" : "\" points=\"");
            for (std::size_t i = first; i <= last; ++i) {
                s += dots ? "M" : (i > first ? " " : "");
                appendCoord(s, toPageX(pts[i].x));
                s += dots ? " " : ",";
                appendCoord(s, toPageY(pts[i].y));
                if (dots)
                    s += "h0";
            }
            s += "\"/>\n";
            first = last;
        }
        s += "</g>\n";
    }
    if (!pts.empty()) {
        appendMark(s, pts.front(), true, stepColour(ramp.step(pts.front().seconds)));
        appendMark(s, pts.back(), false, stepColour(ramp.step(pts.back().seconds)));
    }
}

// The legend of the colour ramp, from 0 s to the end.
void appendLegend(std::string& s, const Ramp& ramp) {
    const double legendY = kTop + kSide + 50;
    for (int step = 0; step < kSteps; ++step) {
        // Each step a little wider than its share, so that no seams show.
        s += "<rect x=\"" + num(kLeft + kSide * step / kSteps) + "\" y=\"" + num(legendY) +
             "\" width=\"" + num(kSide / kSteps + 0.5) + "\" height=\"14\" fill=\"" +
             stepColour(step) + "\"/>\n";
    }
    s += "<rect x=\"" + num(kLeft) + "\" y=\"" + num(legendY) + "\" width=\"" + num(kSide) +
         "\" height=\"14\" fill=\"none\" stroke=\"#999\"/>\n";
    appendText(s, kLeft, legendY + 32, "font-size=\"13\"", "0 s");
    appendText(s, kLeft + kSide / 2, legendY + 32,
               "font-size=\"13\" fill=\"#888\" text-anchor=\"middle\"", "time");
    appendText(s, kLeft + kSide, legendY + 32, "font-size=\"13\" text-anchor=\"end\"",
               durationText(ramp.end));
}

// The caption, smaller when it is long so that it fits the page.
void appendCaption(std::string& s, const std::string& text) {
    const double fontSize =
        std::clamp(560.0 / (0.55 * static_cast<double>(characters(text) + 1)), 8.0, 16.0);
    std::string attributes = "font-size=\"";
    appendFixed(attributes, fontSize, 1);
    attributes += "\" text-anchor=\"middle\"";
    appendText(s, kWidth / 2, kHeight - 40, attributes.c_str(), text);
}

}  // namespace

void writeSvgPlot(std::ostream& out, const std::vector<PlotPoint>& path,
                  const PlotCaption& caption, const std::vector<PlotSpeaker>& speakers) {
    const std::vector<PlotPoint> pts = pointsToDraw(path);
    Ramp ramp{caption.durationSeconds};
    if (!(std::isfinite(ramp.end) && ramp.end > 0))
        ramp.end = pts.empty() || !std::isfinite(pts.back().seconds) ? 0 : pts.back().seconds;
    const std::string text = caption.input + " \xE2\x80\x94 " +
                             durationText(caption.durationSeconds) +
                             " \xE2\x80\x94 law: " + caption.law;

    std::string s;
    s.reserve(64 * 1024 + pts.size() * 16);
    appendPage(s, text);
    appendSquare(s);
    appendSpeakers(s, speakers);
    appendPath(s, pts, ramp);
    appendLegend(s, ramp);
    appendCaption(s, text);
    s += "</svg>\n";
    out.write(s.data(), static_cast<std::streamsize>(s.size()));
}

}  // namespace tarvio::render
