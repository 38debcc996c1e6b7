// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/SpeakerLayout.h"
#include "render/SvgPlot.h"
#include "tests/support/TestSupport.h"

using tarvio::render::PlotCaption;
using tarvio::render::PlotPath;
using tarvio::render::PlotPoint;
using tarvio::render::PlotSpeaker;
using tarvio::render::PlotView;
using testsupport::runCommand;
using testsupport::shellQuote;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A circle around the middle of the square, `turns` times in `seconds`.
std::vector<PlotPoint> circle(long points, double seconds, double turns) {
    std::vector<PlotPoint> path;
    for (long i = 0; i < points; ++i) {
        double t = seconds * static_cast<double>(i) / static_cast<double>(points - 1);
        double a = 2 * kPi * turns * t / seconds;
        path.push_back({t, 0.5 + 0.4 * std::cos(a), 0.5 + 0.4 * std::sin(a)});
    }
    return path;
}

// The square point of azimuth `degrees` at `distance` (1 on the
// loudspeakers), the azimuth and distance the picture reads back.
PlotPoint polar(double seconds, double degrees, double distance) {
    const double a = degrees * kPi / 180;
    const double m = std::max(std::fabs(std::sin(a)), std::fabs(std::cos(a)));
    return {seconds, (1 - distance * std::sin(a) / m) / 2, (1 + distance * std::cos(a) / m) / 2};
}

// An orbit from the front, `turns` times (counter-clockwise seen from above
// when positive) in `seconds`.
std::vector<PlotPoint> orbit(double turns, double seconds, double distance, long points = 4000) {
    std::vector<PlotPoint> path;
    for (long i = 0; i < points; ++i) {
        const double t = seconds * static_cast<double>(i) / static_cast<double>(points - 1);
        path.push_back(polar(t, 360 * turns * t / seconds, distance));
    }
    return path;
}

// The square of four in tarvio's channel order.
const std::vector<PlotSpeaker> kQuad = {
    {1, 1, "FR", "1", -45}, {0, 1, "FL", "2", 45}, {1, 0, "BR", "3", -135}, {0, 0, "BL", "4", 135}};

// The loudspeakers of ring:8, numbered by channel, and an LFE after them.
std::vector<PlotSpeaker> ringOfEight() {
    std::vector<PlotSpeaker> speakers;
    const tarvio::SpeakerLayout ring = tarvio::ringLayout(8);
    for (int k = 0; k < ring.size(); ++k) {
        const tarvio::SpeakerPosition& p = *ring[k].position;
        speakers.push_back({p.x, p.y, ring[k].label, std::to_string(k + 1), p.azimuth});
    }
    speakers.push_back({0, 0, "LFE", "9", std::nullopt});
    return speakers;
}

std::string plotText(const std::vector<PlotPath>& paths, const PlotCaption& caption,
                     const std::vector<PlotSpeaker>& speakers, PlotView view) {
    std::ostringstream out;
    tarvio::render::writeSvgPlot(out, paths, caption, speakers, view);
    return out.str();
}

// Writes the picture and checks that it is well-formed XML.
std::string plotFile(const testsupport::TempDir& dir, const std::string& name,
                     const std::vector<PlotPath>& paths, const PlotCaption& caption,
                     const std::vector<PlotSpeaker>& speakers = kQuad,
                     PlotView view = PlotView::Square) {
    std::string file = dir.file(name);
    std::ofstream out(file, std::ios::binary);
    tarvio::render::writeSvgPlot(out, paths, caption, speakers, view);
    out.close();
    EXPECT_TRUE(out) << "writing " << file;
    auto lint = runCommand("xmllint --noout " + shellQuote(file));
    EXPECT_EQ(lint.status, 0) << lint.err;
    return file;
}

// The string value of an XPath expression over the file, without the line end.
std::string xpath(const std::string& file, const std::string& expression) {
    auto r = runCommand("xmllint --xpath " + shellQuote(expression) + " " + shellQuote(file));
    if (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r.out;
}

double xpathNumber(const std::string& file, const std::string& expression) {
    return std::strtod(xpath(file, "number(" + expression + ")").c_str(), nullptr);
}

// Elements by name, whatever their namespace.
std::string el(const std::string& name) {
    return "//*[local-name()='" + name + "']";
}

// The points of a polyline's "points" attribute.
std::vector<std::pair<double, double>> polylinePoints(const std::string& attribute) {
    std::vector<std::pair<double, double>> points;
    std::istringstream in(attribute);
    std::string pair;
    while (in >> pair) {
        const std::size_t comma = pair.find(',');
        points.push_back(
            {std::strtod(pair.c_str(), nullptr), std::strtod(pair.c_str() + comma + 1, nullptr)});
    }
    return points;
}

struct Centre {
    double x, y, r;  // the loudspeakers' circle on the page
};

Centre rigCircle(const std::string& file) {
    const std::string rig = el("circle") + "[@class='rig']";
    return {xpathNumber(file, rig + "/@cx"), xpathNumber(file, rig + "/@cy"),
            xpathNumber(file, rig + "/@r")};
}

std::uint64_t fnv1a(const std::string& bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

}  // namespace

TEST(SvgPlot, IsValidXmlWithHostileNamesAndSpeakersInTheirCorners) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    testsupport::TempDir dir;
    // Markup characters, quotes, a control character and a byte that is not
    // UTF-8; the last two cannot appear in XML and become U+FFFD.
    const std::string input = "in<put> & \"x\" 'y' \x01\xff.wav";
    const std::string file =
        plotFile(dir, "plot.svg", {{input, circle(41, 0.5, 1)}}, {input, 0.5, "power"});

    EXPECT_EQ(xpath(file, "string(//*[local-name()='text'][contains(., 'law: ')])"),
              "in<put> & \"x\" 'y' \xEF\xBF\xBD\xEF\xBF\xBD.wav \xE2\x80\x94 0.5 s \xE2\x80\x94 "
              "law: power");

    // Each channel number is written once, beside its corner: 1 front right,
    // 2 front left, 3 back right, 4 back left, with the front at the top.
    double x[5], y[5];
    for (int c = 1; c <= 4; ++c) {
        const std::string label = "//*[local-name()='text'][.='" + std::to_string(c) + "']";
        ASSERT_EQ(xpath(file, "count(" + label + ")"), "1") << "channel " << c;
        x[c] = std::strtod(xpath(file, "string(" + label + "/@x)").c_str(), nullptr);
        y[c] = std::strtod(xpath(file, "string(" + label + "/@y)").c_str(), nullptr);
    }
    EXPECT_GT(x[1], x[2]);
    EXPECT_GT(x[3], x[4]);
    EXPECT_LT(y[1], y[3]);  // SVG's y grows downwards
    EXPECT_LT(y[2], y[4]);
    EXPECT_EQ(x[1], x[3]);
    EXPECT_EQ(y[1], y[2]);

    // Three hours at a hundred points a second still make a small, valid
    // file, in either view.
    for (PlotView view : {PlotView::Square, PlotView::Circle}) {
        const std::string big =
            plotFile(dir, "big.svg", {{"long.wav", circle(3 * 3600 * 100, 3 * 3600, 90)}},
                     {"long.wav", 10800, "power"}, kQuad, view);
        EXPECT_LT(testsupport::readFile(big).size(), 200u * 1024);
    }
}

// The square of four keeps its picture byte for byte: these are the sizes
// and FNV-1a hashes of the pictures the square view drew before it learnt
// the circle, several paths and laps.
TEST(SvgPlot, SquareViewKeepsItsPicture) {
    std::vector<PlotPoint> wander;
    for (int i = 0; i <= 600; ++i) {
        const double t = i / 100.0;
        wander.push_back({t, 0.5 + 0.7 * std::sin(1.3 * t), 0.5 + 0.55 * std::cos(0.7 * t)});
    }
    const struct {
        std::vector<PlotPoint> path;
        PlotCaption caption;
        std::size_t size;
        std::uint64_t hash;
    } cases[] = {
        {circle(41, 0.5, 1),
         {"in<put> & \"x\" 'y' \x01\xff.wav", 0.5, "power"},
         6841,
         0x3b59d0efa384f93eull},
        // Drawn as dots.
        {circle(3 * 3600 * 100, 3 * 3600, 90),
         {"long.wav", 10800, "power"},
         62173,
         0x3e82cd07dc468de3ull},
        // Beyond the square's margin.
        {wander, {"wander.wav", 6, "vbap"}, 14327, 0xb594c0a082da11fcull},
    };
    for (const auto& c : cases) {
        const std::string svg = plotText({{"any", c.path}}, c.caption, kQuad, PlotView::Square);
        EXPECT_EQ(svg.size(), c.size) << c.caption.input;
        EXPECT_EQ(fnv1a(svg), c.hash) << c.caption.input;
    }
}

// The circle view stands ring:8's loudspeakers on a circle at their
// azimuths, numbered, and lists the LFE beside it.
TEST(SvgPlot, CircleViewStandsTheRingOnItsCircle) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    testsupport::TempDir dir;
    const std::vector<PlotSpeaker> ring = ringOfEight();
    const std::string file = plotFile(dir, "ring.svg", {{"in.wav", orbit(0.5, 2, 1)}},
                                      {"in.wav", 2, "vbap"}, ring, PlotView::Circle);
    const Centre c = rigCircle(file);
    ASSERT_GT(c.r, 100);
    const std::string marks = el("rect") + "[@rx]";
    ASSERT_EQ(xpath(file, "count(" + marks + ")"), "8");
    for (int k = 0; k < 8; ++k) {
        const std::string mark = "(" + marks + ")[" + std::to_string(k + 1) + "]";
        const double px = xpathNumber(file, mark + "/@x") + xpathNumber(file, mark + "/@width") / 2;
        const double py =
            xpathNumber(file, mark + "/@y") + xpathNumber(file, mark + "/@height") / 2;
        EXPECT_NEAR(std::hypot(px - c.x, py - c.y), c.r, 0.02) << "loudspeaker " << k + 1;
        // Loudspeaker 1 in front (up), each next one 45 degrees clockwise.
        const double azimuth = std::atan2(c.x - px, c.y - py) * 180 / kPi;
        EXPECT_NEAR(std::remainder(azimuth - *ring[static_cast<std::size_t>(k)].azimuth, 360), 0,
                    0.01)
            << "loudspeaker " << k + 1;
        // Its number outside it, in the same direction.
        const std::string number = el("text") + "[.='" + std::to_string(k + 1) + "']";
        ASSERT_EQ(xpath(file, "count(" + number + ")"), "1");
        const double nx = xpathNumber(file, number + "/@x"), ny = xpathNumber(file, number + "/@y");
        EXPECT_GT(std::hypot(nx - c.x, ny - c.y), c.r + 10);
        EXPECT_NEAR(std::remainder(std::atan2(c.x - nx, c.y - ny) * 180 / kPi - azimuth, 360), 0,
                    6);
    }
    EXPECT_EQ(xpath(file, "count(" + el("text") + "[.='9 LFE \xE2\x80\x94 no direction'])"), "1");
}

// An orbit of several laps gets one colour per lap, each lap named in the
// legend and drawn a little inside the one before; more than eight laps
// share eight colours; less than two keep the time ramp.
TEST(SvgPlot, LapsHaveTheirColoursAndRings) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    testsupport::TempDir dir;
    const struct {
        double turns;
        std::size_t groups;  // lap colours drawn and named
        const char* first;   // the first entry of the legend
        const char* last;
    } cases[] = {
        {5, 5,
         "lap 1 0\xE2\x80\x93"
         "4 s",
         "lap 5 16\xE2\x80\x93"
         "20 s"},
        {-3, 3,
         "lap 1 0\xE2\x80\x93"
         "6.7 s",
         "lap 3 13.3\xE2\x80\x93"
         "20 s"},
        {25, 7,
         "laps 1\xE2\x80\x93"
         "4 0\xE2\x80\x93"
         "3.2 s",
         "lap 25 19.2\xE2\x80\x93"
         "20 s"},
        {0.9, 0, "", ""},
    };
    for (const auto& c : cases) {
        const std::string file = plotFile(dir, "laps.svg", {{"in.wav", orbit(c.turns, 20, 1)}},
                                          {"in.wav", 20, "vbap"}, ringOfEight(), PlotView::Circle);
        const std::string laps = el("polyline") + "[@class='lap']";
        ASSERT_EQ(xpath(file, "count(" + laps + ")"), std::to_string(c.groups)) << c.turns;
        const std::string entries = el("text") + "[@class='legend']";
        ASSERT_EQ(xpath(file, "count(" + entries + ")"), std::to_string(c.groups)) << c.turns;
        // The time ramp's legend is there exactly when there are no laps.
        EXPECT_EQ(xpath(file, "count(" + el("text") + "[.='time'])"), c.groups ? "0" : "1");
        if (!c.groups)
            continue;
        EXPECT_EQ(xpath(file, "string((" + entries + ")[1])"), c.first);
        EXPECT_EQ(xpath(file, "string((" + entries + ")[last()])"), c.last);
        const Centre centre = rigCircle(file);
        std::set<std::string> colours;
        double previous = 1e9;
        for (std::size_t k = 1; k <= c.groups; ++k) {
            const std::string lap = "(" + laps + ")[" + std::to_string(k) + "]";
            colours.insert(xpath(file, "string(" + lap + "/@stroke)"));
            // The middle point of the lap, away from the step to the next.
            const auto points = polylinePoints(xpath(file, "string(" + lap + "/@points)"));
            ASSERT_GT(points.size(), 3u);
            const auto& p = points[points.size() / 2];
            const double radius = std::hypot(p.first - centre.x, p.second - centre.y);
            EXPECT_LT(radius, previous - 3) << c.turns << " lap " << k;
            previous = radius;
        }
        EXPECT_EQ(colours.size(), c.groups) << c.turns;
    }
}

// The arrowheads point the way the sound moves: along the orbit's tangent,
// counter-clockwise on the page for a positive orbit, clockwise for a
// negative one.
TEST(SvgPlot, ArrowsPointAlongTheMotion) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    testsupport::TempDir dir;
    for (double turns : {1.5, -1.5}) {
        const std::string file = plotFile(dir, "arrows.svg", {{"in.wav", orbit(turns, 6, 0.6)}},
                                          {"in.wav", 6, "vbap"}, ringOfEight(), PlotView::Circle);
        const Centre c = rigCircle(file);
        const std::string arrows = el("g") + "[@class='direction']/*";
        const int count = std::atoi(xpath(file, "count(" + arrows + ")").c_str());
        ASSERT_GE(count, 12) << turns;
        for (int k = 1; k <= count; ++k) {
            const std::string transform =
                xpath(file, "string((" + arrows + ")[" + std::to_string(k) + "]/@transform)");
            double x = 0, y = 0, degrees = 0;
            ASSERT_EQ(
                std::sscanf(transform.c_str(), "translate(%lf %lf) rotate(%lf)", &x, &y, &degrees),
                3)
                << transform;
            // Azimuth increasing turns a point at (dx, dy) from the middle
            // towards (dy, -dx) on the page, whose y grows downwards.
            const double dx = x - c.x, dy = y - c.y;
            const double sign = turns > 0 ? 1 : -1;
            const double expected = std::atan2(-sign * dx, sign * dy) * 180 / kPi;
            EXPECT_NEAR(std::remainder(degrees - expected, 360), 0, 3) << turns << " " << transform;
        }
    }
}

// A source at distance 2 is drawn outside the loudspeakers' circle, which
// shrinks so that the path fits, with a ring at distance 2.
TEST(SvgPlot, DistanceBeyondTheLoudspeakersIsDrawnOutside) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    testsupport::TempDir dir;
    const std::string file = plotFile(dir, "far.svg", {{"in.wav", orbit(1, 4, 2)}},
                                      {"in.wav", 4, "vbap"}, ringOfEight(), PlotView::Circle);
    const Centre c = rigCircle(file);
    const double width = xpathNumber(file, "/*/@width"), height = xpathNumber(file, "/*/@height");
    std::size_t seen = 0;
    const int parts = std::atoi(xpath(file, "count(" + el("polyline") + ")").c_str());
    for (int k = 1; k <= parts; ++k)
        for (const auto& p : polylinePoints(xpath(
                 file, "string((" + el("polyline") + ")[" + std::to_string(k) + "]/@points)"))) {
            EXPECT_NEAR(std::hypot(p.first - c.x, p.second - c.y), 2 * c.r, 0.05);
            EXPECT_TRUE(p.first > 0 && p.first < width && p.second > 0 && p.second < height);
            ++seen;
        }
    EXPECT_GT(seen, 1000u);
    const std::string ring = el("circle") + "[@class='distance']";
    ASSERT_EQ(xpath(file, "count(" + ring + ")"), "1");
    EXPECT_NEAR(xpathNumber(file, ring + "/@r"), 2 * c.r, 0.02);
    EXPECT_EQ(xpath(file, "count(" + el("text") + "[@class='distance'][.='2'])"), "1");
}

// Two sources are two paths, each named at its start and in the legend.
TEST(SvgPlot, SeveralSourcesAreNamed) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    testsupport::TempDir dir;
    const std::vector<PlotPath> paths = {{"voice.wav", orbit(3, 12, 1)},
                                         {"pad", orbit(-0.25, 12, 0.5)}};
    const std::string circleFile = plotFile(dir, "two.svg", paths, {"scene.toml", 12, "vbap"},
                                            ringOfEight(), PlotView::Circle);
    const std::string sources = el("g") + "[@class='source']";
    ASSERT_EQ(xpath(circleFile, "count(" + sources + ")"), "2");
    for (const char* name : {"voice.wav", "pad"}) {
        const std::string source = sources + "[*[local-name()='title']='" + name + "']";
        EXPECT_EQ(xpath(circleFile, "count(" + source + ")"), "1") << name;
        EXPECT_EQ(xpath(circleFile, "count(" + source + "//*[.='" + name + " start'])"), "1");
    }
    EXPECT_EQ(xpath(circleFile, "count(" + el("text") + "[@class='legend'][.='voice.wav'])"), "1");
    EXPECT_EQ(xpath(circleFile, "count(" + el("text") +
                                    "[@class='legend'][.='pad: the time "
                                    "ramp'])"),
              "1");
    // The square view names them at their starts too.
    const std::string squareFile =
        plotFile(dir, "two-square.svg", paths, {"scene.toml", 12, "bilinear"});
    EXPECT_EQ(xpath(squareFile, "count(" + el("text") + "[.='voice.wav start' or .='pad start'])"),
              "2");
}
