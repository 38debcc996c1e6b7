// SPDX-License-Identifier: MIT

#include "render/SvgPlot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

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

// A start or end mark at page point (px, py). The start is a ring and the
// end a dot that fits inside it, so that both show when the path ends where
// it began.
void appendMarkShape(std::string& s, double px, double py, bool start, const std::string& colour) {
    s += "<circle cx=\"";
    appendCoord(s, px);
    s += "\" cy=\"";
    appendCoord(s, py);
    if (start)
        s += "\" r=\"9\" fill=\"white\" stroke=\"" + colour + "\" stroke-width=\"3\"/>\n";
    else
        s += "\" r=\"4.5\" fill=\"" + colour + "\" stroke=\"#222\" stroke-width=\"1.5\"/>\n";
}

// A start or end mark with its label beside it: the start's above, the
// end's below, on the left when `left`.
void appendMark(std::string& s, double px, double py, bool start, const std::string& colour,
                const std::string& label, bool left) {
    appendMarkShape(s, px, py, start, colour);
    appendText(s, left ? px - 13 : px + 13, start ? py - 10 : py + 20,
               left ? "font-size=\"14\" text-anchor=\"end\" class=\"halo\""
                    : "font-size=\"14\" class=\"halo\"",
               label);
}

// The labels of a path's start and end marks: "start" and "end" when it is
// the only path, else with its name.
struct MarkLabels {
    std::string start;
    std::string end;
    std::string both;  // for a path that ends where it began
};

MarkLabels markLabels(const PlotPath& path, std::size_t paths) {
    if (paths == 1)
        return {"start", "end", "start and end"};
    return {path.name + " start", path.name + " end", path.name + " start and end"};
}

void appendPage(std::string& s, const std::string& title, double width, double height) {
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" +
         num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
         "\" font-family=\"sans-serif\">\n";
    s += "<title>";
    appendEscaped(s, title);
    s += "</title>\n";
    s += "<style>.halo { stroke: white; stroke-width: 4px; paint-order: stroke; "
         "stroke-linejoin: round; }</style>\n";
    s += "<rect width=\"" + num(width) + "\" height=\"" + num(height) + "\" fill=\"white\"/>\n";
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

// The loudspeakers that have a direction: a mark at each point, its channel
// number beside it on the outside of the square and its label under the
// number.
void appendSpeakers(std::string& s, const std::vector<PlotSpeaker>& speakers) {
    for (const PlotSpeaker& sp : speakers) {
        if (!sp.azimuth)
            continue;
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
void appendPath(std::string& s, const std::vector<PlotPoint>& pts, const Ramp& ramp,
                const MarkLabels& labels) {
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
        // Labels on the left near the right edge, so that they stay inside
        // the page.
        const double rightmost = kLeft + kSide - 60;
        const double startX = toPageX(pts.front().x), endX = toPageX(pts.back().x);
        appendMark(s, startX, toPageY(pts.front().y), true,
                   stepColour(ramp.step(pts.front().seconds)), labels.start, startX > rightmost);
        appendMark(s, endX, toPageY(pts.back().y), false, stepColour(ramp.step(pts.back().seconds)),
                   labels.end, endX > rightmost);
    }
}

// The legend of the colour ramp, from 0 s to the end, its bar's top at
// `legendY`.
void appendLegend(std::string& s, const Ramp& ramp, double legendY) {
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

// The caption with its baseline at `y`, smaller when it is long so that it
// fits the page.
void appendCaption(std::string& s, const std::string& text, double y) {
    const double fontSize =
        std::clamp(560.0 / (0.55 * static_cast<double>(characters(text) + 1)), 8.0, 16.0);
    std::string attributes = "font-size=\"";
    appendFixed(attributes, fontSize, 1);
    attributes += "\" text-anchor=\"middle\"";
    appendText(s, kWidth / 2, y, attributes.c_str(), text);
}

// The square view: the paths over the unit square, all on one time ramp.
void writeSquare(std::string& s, const std::vector<PlotPath>& paths, const Ramp& ramp,
                 const std::vector<PlotSpeaker>& speakers, const std::string& text) {
    appendPage(s, text, kWidth, kHeight);
    appendSquare(s);
    appendSpeakers(s, speakers);
    for (const PlotPath& path : paths)
        appendPath(s, pointsToDraw(path.points), ramp, markLabels(path, paths.size()));
    appendLegend(s, ramp, kTop + kSide + 50);
    appendCaption(s, text, kHeight - 40);
}

// ---- The circle view ----

// The middle of the circle on the page, and the page radius of the
// furthest distance drawn.
constexpr double kCentreX = 300;
constexpr double kCentreY = 310;
constexpr double kRadius = 190;
constexpr double kLegendTop = kCentreY + kRadius + 66;
constexpr double kLapInset = 6;       // how much further in each lap is drawn
constexpr double kNearMiddle = 0.02;  // a distance too small to tell a direction
constexpr double kMaxTurnStep = 120;  // degrees between points, beyond which laps go uncounted
constexpr std::size_t kMaxBands = 8;  // lap colours
constexpr double kDegrees = 180.0 / 3.14159265358979323846;

// The dashes of the paths of several sources, the first one solid.
const char* const kSourceDashes[] = {"", "8 6", "1 6", "10 6 1 6"};

// Colours that stay apart from their neighbours, one per lap.
const char* const kLapColours[kMaxBands] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                            "#9467bd", "#8c564b", "#e377c2", "#17becf"};

// A point's direction (radians, 0 front, positive to the left) and its
// distance from the middle, 1 on the loudspeakers.
struct Polar {
    double azimuth;
    double distance;
};

Polar polarOf(double x, double y) {
    const double u = 2 * x - 1, v = 2 * y - 1;
    return {std::atan2(-u, v), std::max(std::fabs(u), std::fabs(v))};
}

// The page scale: `scale` page units for a distance of 1, so that the
// furthest distance drawn, `reach` (at least 1), ends kRadius from the
// middle.
struct Disc {
    double reach;
    double scale;

    // The page point at `azimuth` radians and `distance`, drawn `inset` units
    // closer to the middle.
    void page(double azimuth, double distance, double inset, double& px, double& py) const {
        const double rho = std::max(0.0, distance * scale - inset);
        px = kCentreX - rho * std::sin(azimuth);
        py = kCentreY - rho * std::cos(azimuth);
    }
};

Disc discFor(const std::vector<PlotPath>& paths) {
    double reach = 1;
    for (const PlotPath& path : paths)
        for (const PlotPoint& p : path.points) {
            const double d = polarOf(p.x, p.y).distance;
            if (std::isfinite(d))
                reach = std::max(reach, d);
        }
    return {reach, kRadius / reach};
}

// The times at which the laps of a path begin, the first at its first
// point: a lap ends where the azimuth, followed from point to point, has
// turned 360 degrees either way from the lap's start. Points near the
// middle, which have no clear direction, are passed over. When two points
// lie more than kMaxTurnStep degrees apart the turns cannot be followed,
// and the whole path counts as one lap.
std::vector<double> lapStarts(const std::vector<PlotPoint>& points) {
    std::vector<double> starts;
    double turned = 0, lapFrom = 0, previous = 0, lastTime = 0;
    bool follow = false;
    for (const PlotPoint& p : points) {
        const Polar q = polarOf(p.x, p.y);
        if (!std::isfinite(q.distance) || !std::isfinite(p.seconds))
            continue;
        if (starts.empty())
            starts.push_back(p.seconds);
        lastTime = p.seconds;
        if (q.distance < kNearMiddle)
            continue;
        const double azimuth = q.azimuth * kDegrees;
        if (follow) {
            const double step = std::remainder(azimuth - previous, 360.0);
            if (std::fabs(step) > kMaxTurnStep)
                return {starts.front()};
            turned += step;
            if (std::fabs(turned - lapFrom) >= 360 - 1e-9) {
                lapFrom += turned > lapFrom ? 360 : -360;
                starts.push_back(p.seconds);
            }
        }
        previous = azimuth;
        follow = true;
    }
    // A lap that would begin at the last point has no length.
    if (starts.size() > 1 && !(starts.back() < lastTime))
        starts.pop_back();
    return starts;
}

// How a path is coloured: by the time ramp, or lap by lap. With laps, a
// band is a run of `perBand` consecutive laps that share a colour; with the
// ramp, a band is a step of the ramp. Laps are drawn further in as they go
// on, kLapInset page units a band, growing evenly in time through each lap
// so that the line stays unbroken where one lap meets the next.
struct Colouring {
    std::vector<double> starts;  // when each lap begins
    std::size_t perBand = 1;
    double end = 0;    // the time of the path's last point
    std::string dash;  // the path's stroke-dasharray, which tells the paths apart

    bool laps() const { return starts.size() > 1; }
    std::size_t bands() const { return (starts.size() + perBand - 1) / perBand; }
    std::size_t lap(double seconds) const {
        const auto after = std::upper_bound(starts.begin(), starts.end(), seconds);
        return after == starts.begin() ? 0 : static_cast<std::size_t>(after - starts.begin() - 1);
    }
    int band(double seconds, const Ramp& ramp) const {
        return laps() ? static_cast<int>(lap(seconds) / perBand) : ramp.step(seconds);
    }
    std::string colour(int band) const { return laps() ? kLapColours[band] : stepColour(band); }
    double inset(double seconds) const {
        if (!laps())
            return 0;
        const std::size_t k = lap(seconds);
        const double from = starts[k], to = k + 1 < starts.size() ? starts[k + 1] : end;
        const double part =
            to > from && seconds > from ? std::min((seconds - from) / (to - from), 1.0) : 0;
        return (static_cast<double>(k) + part) / static_cast<double>(perBand) * kLapInset;
    }
};

Colouring colouringFor(const std::vector<PlotPoint>& points) {
    Colouring c;
    c.starts = lapStarts(points);
    c.perBand = std::max<std::size_t>(1, (c.starts.size() + kMaxBands - 1) / kMaxBands);
    for (const PlotPoint& p : points)
        if (std::isfinite(p.seconds) && std::isfinite(polarOf(p.x, p.y).distance))
            c.end = p.seconds;
    return c;
}

// A drawn point on the page, with its band.
struct PagePoint {
    double x;
    double y;
    int band;
    double seconds;
};

std::vector<PagePoint> onPage(const std::vector<PlotPoint>& points, const Disc& disc,
                              const Colouring& colouring, const Ramp& ramp) {
    std::vector<PagePoint> out;
    out.reserve(points.size());
    for (const PlotPoint& p : points) {
        const Polar q = polarOf(p.x, p.y);
        if (!std::isfinite(q.distance))
            continue;
        PagePoint pp{0, 0, colouring.band(p.seconds, ramp), p.seconds};
        disc.page(q.azimuth, q.distance, colouring.inset(p.seconds), pp.x, pp.y);
        out.push_back(pp);
    }
    return out;
}

// Like tooSparseForLines, measured on the page: the largest step, kMaxStep
// of the square's side, is that fraction of the circle's diameter.
bool tooSparseOnPage(const std::vector<PagePoint>& pts) {
    double length = 0;
    for (std::size_t i = 1; i < pts.size(); ++i)
        length += std::hypot(pts[i].x - pts[i - 1].x, pts[i].y - pts[i - 1].y);
    return pts.size() > 1 && length / static_cast<double>(pts.size() - 1) > kMaxStep * 2 * kRadius;
}

// A number for a ring's label: "2", "50", "1e+06".
std::string distanceText(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 6);
    return r.ec == std::errc() ? std::string(buf, r.ptr) : std::string("?");
}

// The spacing of the distance rings: 1, 2, 5, 10, 20, 50, ... so that at
// most eight rings are drawn.
double ringStep(double reach) {
    double step = 1;
    for (int k = 0; reach / step > 8 && k < 4000; ++k)
        step *= k % 3 == 1 ? 2.5 : 2;
    return step;
}

// A circle about the middle of the circle view.
void appendRing(std::string& s, double radius, const char* attributes) {
    s += "<circle cx=\"" + num(kCentreX) + "\" cy=\"" + num(kCentreY) + "\" r=\"";
    appendCoord(s, radius);
    s += "\" ";
    s += attributes;
    s += "/>\n";
}

// Faint rings at the whole distances beyond 1 with their numbers, the
// loudspeakers' circle, its middle lines and which side is the front.
void appendRig(std::string& s, const Disc& disc) {
    const double step = ringStep(disc.reach);
    const char* label = "font-size=\"11\" fill=\"#999\" class=\"distance\"";
    bool rings = false;
    for (int k = 1; k <= 9 && k * step <= disc.reach * (1 + 1e-6); ++k) {
        if (k * step <= 1)
            continue;
        appendRing(s, k * step * disc.scale,
                   "class=\"distance\" fill=\"none\" stroke=\"#ddd\" stroke-width=\"1\"");
        appendText(s, kCentreX + k * step * disc.scale + 3, kCentreY + 24, label,
                   distanceText(k * step));
        rings = true;
    }
    appendRing(s, disc.scale,
               "class=\"rig\" fill=\"#f6f6f6\" stroke=\"#999\" stroke-width=\"1.5\"");
    if (rings)
        appendText(s, kCentreX + disc.scale + 3, kCentreY + 24, label, "1");
    s += "<path d=\"M" + num(kCentreX) + " " + num(kCentreY - kRadius) + "V" +
         num(kCentreY + kRadius) + "M" + num(kCentreX - kRadius) + " " + num(kCentreY) + "H" +
         num(kCentreX + kRadius) +
         "\" stroke=\"#ddd\" stroke-width=\"1\" stroke-dasharray=\"4 4\"/>\n";
    appendText(s, kCentreX, 24, "font-size=\"13\" fill=\"#888\" text-anchor=\"middle\"", "front");
}

// A mark of direction (an Ambisonic picture's): a tick across the circle
// and its label outside.
void appendDirection(std::string& s, double azimuth, double rim, const std::string& label) {
    const double sn = std::sin(azimuth), cs = std::cos(azimuth);
    s += "<path d=\"M";
    appendCoord(s, kCentreX - (rim - 6) * sn);
    s += " ";
    appendCoord(s, kCentreY - (rim - 6) * cs);
    s += "L";
    appendCoord(s, kCentreX - (rim + 6) * sn);
    s += " ";
    appendCoord(s, kCentreY - (rim + 6) * cs);
    s += "\" stroke=\"#333\" stroke-width=\"2\"/>\n";
    appendText(s, kCentreX - (rim + 22) * sn, kCentreY - (rim + 22) * cs + 4,
               "font-size=\"12\" fill=\"#666\" text-anchor=\"middle\"", label);
}

// The loudspeakers on their circle, each with its channel number (large)
// and its label (small) outside it, smaller when many share the circle;
// those above or below the horizon hollow, inside the circle at their
// distance seen from above; those without a direction listed at the top
// right.
void appendCircleSpeakers(std::string& s, const Disc& disc,
                          const std::vector<PlotSpeaker>& speakers) {
    const double rim = disc.scale;
    const auto placed = std::count_if(speakers.begin(), speakers.end(), [](const PlotSpeaker& sp) {
        return sp.azimuth && std::isfinite(*sp.azimuth);
    });
    const double count = static_cast<double>(std::max<std::ptrdiff_t>(placed, 1));
    const double room = 6.283 * (rim + 24) / count;  // between numbers
    const double big = std::clamp(room * 0.55, 7.0, 20.0), small = std::clamp(big * 0.6, 7.0, 12.0);
    const double side = std::clamp(6.283 * rim / count * 0.6, 5.0, 16.0);  // of a mark
    const std::string bigText =
        "font-size=\"" + num(big) + "\" font-weight=\"bold\" fill=\"#333\" text-anchor=\"middle\"";
    const std::string smallText =
        "font-size=\"" + num(small) + "\" fill=\"#666\" text-anchor=\"middle\"";
    double listY = 24;
    for (const PlotSpeaker& sp : speakers) {
        if (!sp.azimuth || !std::isfinite(*sp.azimuth)) {
            appendText(s, kWidth - 12, listY, "font-size=\"13\" fill=\"#333\" text-anchor=\"end\"",
                       sp.channel + " " + sp.label + " \xE2\x80\x94 no direction");
            listY += 18;
            continue;
        }
        const double a = *sp.azimuth / kDegrees, sn = std::sin(a), cs = std::cos(a);
        if (sp.channel.empty()) {
            appendDirection(s, a, rim, sp.label);
            continue;
        }
        const bool level = sp.elevation == 0.0;
        const double at = level ? rim : rim * std::cos(sp.elevation / kDegrees);
        s += "<rect x=\"";
        appendCoord(s, kCentreX - at * sn - side / 2);
        s += "\" y=\"";
        appendCoord(s, kCentreY - at * cs - side / 2);
        s += "\" width=\"" + num(side) + "\" height=\"" + num(side) + "\" rx=\"3\" " +
             (level ? "fill=\"#333\"/>\n" : "fill=\"#fff\" stroke=\"#333\" stroke-width=\"2\"/>\n");
        const double numberAt = at + 9 + big * 0.75, labelAt = numberAt + big * 0.5 + small * 0.8;
        appendText(s, kCentreX - numberAt * sn, kCentreY - numberAt * cs + big * 0.35,
                   bigText.c_str(), sp.channel);
        if (sp.label != sp.channel)
            appendText(s, kCentreX - labelAt * sn, kCentreY - labelAt * cs + small * 0.35,
                       smallText.c_str(), sp.label);
    }
}

// The path on the page, one element per band, reaching to the first point
// of the next band so that the line goes on: a polyline, or dots where
// lines would mislead (see tooSparseForLines). With laps each element has
// the class "lap".
void appendPagePath(std::string& s, const std::vector<PagePoint>& pts, const Colouring& colouring,
                    bool dots) {
    s += dots ? "<g fill=\"none\" stroke-width=\"3\" stroke-linecap=\"round\">\n"
              : "<g fill=\"none\" stroke-width=\"2.5\" stroke-linejoin=\"round\" "
                "stroke-linecap=\"round\"" +
                    (colouring.dash.empty() ? std::string()
                                            : " stroke-dasharray=\"" + colouring.dash + "\"") +
                    ">\n";
    const std::string kind = colouring.laps() ? " class=\"lap\"" : "";
    std::size_t first = 0;
    while (first + 1 < pts.size()) {
        const int band = pts[first].band;
        std::size_t last = first + 1;
        while (last + 1 < pts.size() && pts[last].band == band)
            ++last;
        s += (dots ? "<path" : "<polyline") + kind + " stroke=\"" + colouring.colour(band) +
             (dots ? "\" d=\"" : "\" points=\"");
        for (std::size_t i = first; i <= last; ++i) {
            s += dots ? "M" : (i > first ? " " : "");
            appendCoord(s, pts[i].x);
            s += dots ? " " : ",";
            appendCoord(s, pts[i].y);
            if (dots)
                s += "h0";
        }
        s += "\"/>\n";
        first = last;
    }
    s += "</g>\n";
}

// Arrowheads along a path drawn as lines, at regular intervals of time:
// eight a lap, twelve at least and 64 at most. Each points from its point
// to the next one of the same band (or from the one before), the way the
// sound moves; none where the path stands still.
void appendArrows(std::string& s, const std::vector<PagePoint>& pts, const Colouring& colouring) {
    const double t0 = pts.front().seconds, t1 = pts.back().seconds;
    if (!(t1 > t0) || !std::isfinite(t1 - t0))
        return;
    const std::size_t count = std::clamp<std::size_t>(8 * colouring.starts.size(), 12, 64);
    const double every = (t1 - t0) / static_cast<double>(count);
    s += "<g class=\"direction\" stroke=\"white\" stroke-width=\"1\">\n";
    std::size_t i = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double t = t0 + (static_cast<double>(k) + 0.5) * every;
        while (i + 1 < pts.size() && pts[i].seconds < t)
            ++i;
        const PagePoint& at = pts[i];
        const PagePoint* from = &at;
        const PagePoint* to = nullptr;
        if (i + 1 < pts.size() && pts[i + 1].band == at.band)
            to = &pts[i + 1];
        else if (i > 0 && pts[i - 1].band == at.band)
            from = &pts[i - 1], to = &at;
        if (!to || std::hypot(to->x - from->x, to->y - from->y) < 0.01)
            continue;
        s += "<path d=\"M6 0L-5 -4.5L-5 4.5Z\" fill=\"" + colouring.colour(at.band) +
             "\" transform=\"translate(";
        appendCoord(s, at.x);
        s += " ";
        appendCoord(s, at.y);
        s += ") rotate(";
        appendFixed(s, std::atan2(to->y - from->y, to->x - from->x) * kDegrees, 1);
        s += ")\"/>\n";
    }
    s += "</g>\n";
}

// A start or end mark of the circle view, its label on the line from the
// middle through it: outside for the start, inside for the end. Laps end
// inside where they began, so each label stays by its own mark. A label
// that would not fit on the page on its side goes to the other side.
void appendRadialMark(std::string& s, const PagePoint& p, bool start, const std::string& colour,
                      const std::string& label) {
    appendMarkShape(s, p.x, p.y, start, colour);
    if (label.empty())
        return;
    double ux = p.x - kCentreX, uy = p.y - kCentreY;
    const double length = std::hypot(ux, uy);
    if (length < 1)
        ux = 0, uy = -1;  // from the middle: up
    else
        ux /= length, uy /= length;
    if (!start)
        ux = -ux, uy = -uy;
    const double gap = start ? 18 : 14;                                 // page units from the mark
    const double width = 8.0 * static_cast<double>(characters(label));  // about, at 14
    const double reach = p.x + ux * gap + (ux > 0.3 ? width : ux < -0.3 ? -width : 0);
    if (reach < 4 || reach > kWidth - 4)
        ux = -ux, uy = -uy;
    double x = p.x + ux * gap, y = p.y + uy * gap + 5 + 5 * uy;
    const char* anchor = ux > 0.3 ? "start" : ux < -0.3 ? "end" : "middle";
    const double left = ux > 0.3 ? 0 : ux < -0.3 ? width : width / 2;
    x = std::clamp(x, 4 + left, std::max(4 + left, kWidth - 4 - (width - left)));
    appendText(
        s, x, y,
        ("font-size=\"14\" text-anchor=\"" + std::string(anchor) + "\" class=\"halo\"").c_str(),
        label);
}

// One source: its path with the direction marks, and its start and end,
// in a group titled with its name.
void appendSource(std::string& s, const PlotPath& path, const MarkLabels& labels, const Disc& disc,
                  const Colouring& colouring, const Ramp& ramp) {
    const std::vector<PagePoint> pts = onPage(pointsToDraw(path.points), disc, colouring, ramp);
    s += "<g class=\"source\"><title>";
    appendEscaped(s, path.name);
    s += "</title>\n";
    if (pts.size() > 1) {
        const bool dots = tooSparseOnPage(pts);
        appendPagePath(s, pts, colouring, dots);
        if (!dots)
            appendArrows(s, pts, colouring);
    }
    if (!pts.empty()) {
        // Marks closer than this share one label.
        const bool together =
            std::hypot(pts.front().x - pts.back().x, pts.front().y - pts.back().y) < 16;
        appendRadialMark(s, pts.front(), true, colouring.colour(pts.front().band),
                         together ? labels.both : labels.start);
        appendRadialMark(s, pts.back(), false, colouring.colour(pts.back().band),
                         together ? std::string() : labels.end);
    }
    s += "</g>\n";
}

// A time in seconds with `decimals` at most, for the legend.
std::string secondsText(double seconds, int decimals) {
    if (!std::isfinite(seconds))
        return "?";
    std::string s;
    appendFixed(s, seconds, decimals);
    trimZeros(s);
    return s;
}

// A short line of `colour` in a path's dash, for the legend.
void appendSwatch(std::string& s, double x, double baseline, const std::string& colour,
                  const std::string& dash) {
    s += "<path d=\"M" + num(x) + " " + num(baseline - 4) + "h22\" stroke=\"" + colour +
         "\" stroke-width=\"3.5\" stroke-linecap=\"round\"";
    if (!dash.empty())
        s += " stroke-dasharray=\"" + dash + "\"";
    s += "/>\n";
}

// The legend entries of a path coloured by laps, three to a row from `y`
// (two when they are long): "lap 1 0–4 s", or "laps 1–3 0–12 s" when laps
// share a colour. Returns the y under them.
double appendLaps(std::string& s, const Colouring& c, double y, int decimals) {
    const std::size_t laps = c.starts.size();
    std::vector<std::string> texts;
    std::size_t longest = 0;
    for (std::size_t band = 0; band < c.bands(); ++band) {
        const std::size_t first = band * c.perBand, last = std::min(laps, first + c.perBand) - 1;
        std::string text = first == last ? "lap " + std::to_string(first + 1)
                                         : "laps " + std::to_string(first + 1) + "\xE2\x80\x93" +
                                               std::to_string(last + 1);
        text += " " + secondsText(c.starts[first], decimals) + "\xE2\x80\x93" +
                secondsText(last + 1 < laps ? c.starts[last + 1] : c.end, decimals) + " s";
        longest = std::max(longest, characters(text));
        texts.push_back(text);
    }
    const std::size_t columns = longest > 20 ? 2 : 3;
    for (std::size_t band = 0; band < texts.size(); ++band) {
        const double x =
            60 + 540.0 / static_cast<double>(columns) * static_cast<double>(band % columns);
        const double baseline = y + 14 + 20 * static_cast<double>(band / columns);
        appendSwatch(s, x, baseline, kLapColours[band], c.dash);
        appendText(s, x + 30, baseline, "font-size=\"13\" class=\"legend\"", texts[band]);
    }
    return y + 20 * static_cast<double>((texts.size() + columns - 1) / columns);
}

// The circle view's legend from kLegendTop: the time ramp when a path uses
// it, then each path's laps, under its name when there are several paths.
// Returns the y under it.
double appendCircleLegend(std::string& s, const std::vector<PlotPath>& paths,
                          const std::vector<Colouring>& colourings, const Ramp& ramp) {
    double y = kLegendTop;
    bool ramped = false, lapped = false;
    for (std::size_t k = 0; k < paths.size(); ++k) {
        lapped = lapped || colourings[k].laps();
        ramped = ramped || (!colourings[k].laps() && !paths[k].points.empty());
    }
    if (ramped) {
        appendLegend(s, ramp, y);
        y += 56;
    }
    const int decimals =
        ramp.end > 0 && std::isfinite(ramp.end)
            ? std::clamp(2 - static_cast<int>(std::floor(std::log10(ramp.end))), 0, 3)
            : 3;
    for (std::size_t k = 0; k < paths.size(); ++k) {
        if (paths.size() > 1) {
            appendSwatch(s, 60, y + 14, "#555", colourings[k].dash);
            appendText(s, 90, y + 14, "font-size=\"13\" font-weight=\"bold\" class=\"legend\"",
                       paths[k].name + (colourings[k].laps() ? "" : ": the time ramp"));
            y += 20;
        }
        if (colourings[k].laps())
            y = appendLaps(s, colourings[k], y, decimals);
    }
    if (lapped) {
        appendText(s, 60, y + 16, "font-size=\"12\" fill=\"#666\"",
                   "each lap is drawn a little inside the one before");
        y += 22;
    }
    return y;
}

// The circle view: the loudspeakers on their circle and the paths by
// azimuth and distance, the page as tall as the legend needs.
void writeCircle(std::string& s, const std::vector<PlotPath>& paths, const Ramp& ramp,
                 const std::vector<PlotSpeaker>& speakers, const std::string& text) {
    const Disc disc = discFor(paths);
    std::vector<Colouring> colourings;
    for (const PlotPath& path : paths) {
        colourings.push_back(colouringFor(path.points));
        colourings.back().dash = kSourceDashes[(colourings.size() - 1) % std::size(kSourceDashes)];
    }
    std::string legend;
    const double height = appendCircleLegend(legend, paths, colourings, ramp) + 56;
    appendPage(s, text, kWidth, height);
    appendRig(s, disc);
    appendCircleSpeakers(s, disc, speakers);
    for (std::size_t k = 0; k < paths.size(); ++k)
        appendSource(s, paths[k], markLabels(paths[k], paths.size()), disc, colourings[k], ramp);
    s += legend;
    appendCaption(s, text, height - 24);
}

// The end of the time ramp when the caption gives no length: the time of
// the last drawable point of any path.
double lastTime(const std::vector<PlotPath>& paths) {
    double end = 0;
    for (const PlotPath& path : paths)
        for (auto p = path.points.rbegin(); p != path.points.rend(); ++p)
            if (std::isfinite(p->x) && std::isfinite(p->y)) {
                if (std::isfinite(p->seconds))
                    end = std::max(end, p->seconds);
                break;
            }
    return end;
}

}  // namespace

void writeSvgPlot(std::ostream& out, const std::vector<PlotPath>& paths, const PlotCaption& caption,
                  const std::vector<PlotSpeaker>& speakers, PlotView view) {
    Ramp ramp{caption.durationSeconds};
    if (!(std::isfinite(ramp.end) && ramp.end > 0))
        ramp.end = lastTime(paths);
    const std::string text = caption.input + " \xE2\x80\x94 " +
                             durationText(caption.durationSeconds) +
                             " \xE2\x80\x94 law: " + caption.law;
    std::string s;
    s.reserve(64 * 1024 + paths.size() * kMaxPoints * 16);
    if (view == PlotView::Square)
        writeSquare(s, paths, ramp, speakers, text);
    else
        writeCircle(s, paths, ramp, speakers, text);
    s += "</svg>\n";
    out.write(s.data(), static_cast<std::streamsize>(s.size()));
}

}  // namespace tarvio::render
