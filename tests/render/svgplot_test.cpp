// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "render/SvgPlot.h"
#include "tests/support/TestSupport.h"

using tarvio::render::PlotCaption;
using tarvio::render::PlotPoint;
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

std::string plotFile(const testsupport::TempDir& dir, const std::string& name,
                     const std::vector<PlotPoint>& path, const PlotCaption& caption) {
    std::string file = dir.file(name);
    std::ofstream out(file, std::ios::binary);
    // The square of four in tarvio's channel order.
    const std::vector<tarvio::render::PlotSpeaker> quad = {
        {1, 1, "FR", "1"}, {0, 1, "FL", "2"}, {1, 0, "BR", "3"}, {0, 0, "BL", "4"}};
    tarvio::render::writeSvgPlot(out, path, caption, quad);
    out.close();
    EXPECT_TRUE(out) << "writing " << file;
    return file;
}

// The string value of an XPath expression over the file, without the line end.
std::string xpath(const std::string& file, const std::string& expression) {
    auto r = runCommand("xmllint --xpath " + shellQuote(expression) + " " + shellQuote(file));
    if (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r.out;
}

}  // namespace

TEST(SvgPlot, IsValidXmlWithHostileNamesAndSpeakersInTheirCorners) {
    TARVIO_REQUIRE_PROGRAM("xmllint");
    testsupport::TempDir dir;
    // Markup characters, quotes, a control character and a byte that is not
    // UTF-8; the last two cannot appear in XML and become U+FFFD.
    const std::string input = "in<put> & \"x\" 'y' \x01\xff.wav";
    const std::string file = plotFile(dir, "plot.svg", circle(41, 0.5, 1), {input, 0.5, "power"});
    auto lint = runCommand("xmllint --noout " + shellQuote(file));
    EXPECT_EQ(lint.status, 0) << lint.err;

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

    // Three hours at a hundred points a second still make a small, valid file.
    const std::string big = plotFile(dir, "big.svg", circle(3 * 3600 * 100, 3 * 3600, 90),
                                     {"long.wav", 10800, "power"});
    EXPECT_LT(testsupport::readFile(big).size(), 200u * 1024);
    lint = runCommand("xmllint --noout " + shellQuote(big));
    EXPECT_EQ(lint.status, 0) << lint.err;
}
