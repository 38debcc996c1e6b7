// SPDX-License-Identifier: MIT
// Loudspeakers above and below ear height: the layouts that have them, and
// the laws that place sound among them.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/GainLaw.h"
#include "engine/Motion.h"
#include "engine/SpeakerLayout.h"

using tarvio::findLayout;
using tarvio::findPanLaw;
using tarvio::Panner;
using tarvio::SpeakerLayout;

namespace {

SpeakerLayout named(const std::string& name) {
    return *findLayout(name);
}

SpeakerLayout fromFile(const std::string& text) {
    std::istringstream in(text);
    return tarvio::parseLayout(in, "rig.txt");
}

std::string refusal(const std::string& name) {
    try {
        findLayout(name);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "accepted";
}

std::string fileRefusal(const std::string& text) {
    try {
        fromFile(text);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "accepted";
}

// The layouts with height every law test runs on: the built-in ones, a dome
// with nothing below ear height, a file with loudspeakers below it too, and
// a raised pair that has no triangles round the listener.
std::vector<SpeakerLayout> heightLayouts() {
    return {named("5.1.4"),
            named("7.1.4"),
            named("9.1.6"),
            named("dome:8@0,4@45,1@90"),
            fromFile("FL 30\nFR -30\nBL 135\nBR -135\nTFL 45 45\nTBR -135 45\n"
                     "DL 60 -40\nDR -60 -40\nDB 180 -40\n"),
            fromFile("FL 30 40\nFR -30 40\n")};
}

}  // namespace

TEST(HeightLayouts, NamesMasksDomesAndFileElevations) {
    EXPECT_EQ(named("5.1.4").channelMask(), 0x2D03Fu);
    EXPECT_EQ(named("7.1.4").channelMask(), 0x2D63Fu);
    EXPECT_EQ(named("9.1.6").channelMask(), 0u);  // FLW FRW TSL TSR have no bit
    EXPECT_EQ(named("9.1.6").size(), 16);
    EXPECT_TRUE(named("7.1.4").hasHeight());
    EXPECT_FALSE(named("7.1").hasHeight());
    EXPECT_FALSE(named("dome:8").hasHeight());
    // The loudspeaker table names the elevations of a layout with height.
    const std::string table = tarvio::speakerTable(named("5.1.4"));
    EXPECT_NE(table.find("  speaker  azimuth  elevation  point (x, y)"), std::string::npos);
    EXPECT_NE(table.find("  TFL      45       45         (0, 1)        7             7\n"),
              std::string::npos)
        << table;

    const SpeakerLayout dome = named("dome:8@0,4@45,1@90");
    ASSERT_EQ(dome.size(), 13);
    EXPECT_EQ(dome[8].label, "9");  // the upper ring starts straight ahead
    EXPECT_EQ(dome[8].position->azimuth, 0.0);
    EXPECT_EQ(dome[8].position->elevation, 45.0);
    EXPECT_EQ(dome[9].position->azimuth, -90.0);
    EXPECT_EQ(dome[12].position->elevation, 90.0);
    EXPECT_EQ(dome.channelMask(), 0u);

    EXPECT_EQ(refusal("dome:8@0,2@90"),
              "dome:8@0,2@90: loudspeakers 9 and 10 are less than 1 degree apart");
    EXPECT_EQ(refusal("dome:8@95"),
              "dome:8@95: the elevation of a ring runs from -90 to 90 degrees, got \"95\"");
    EXPECT_EQ(refusal("dome:8,,1@90"),
              "dome:8,,1@90: a ring is N or N@ELEVATION, N a whole number from 1, got \"\"");
    EXPECT_EQ(refusal("dome:2"), "dome:2: a dome has at least 3 loudspeakers, got 2");

    // The corner laws serve only the square at ear height; vbap needs
    // loudspeakers round the listener (the poles close the rest).
    EXPECT_EQ(tarvio::panLawsFor(named("5.1.4")), (std::vector<std::string>{"vbap", "dbap"}));
    EXPECT_EQ(tarvio::defaultPanLaw(fromFile("A 45 30\nB -45 30\nC 135 30\nD -135 30\n"))->name,
              std::string("vbap"));
    EXPECT_EQ(tarvio::panLawsFor(fromFile("A 0\nB 0 45\n")), std::vector<std::string>{"dbap"});

    const SpeakerLayout file = fromFile("TFL 45 35\nTFR -45 35\nFL 30\n");
    EXPECT_EQ(file[0].position->elevation, 35.0);
    EXPECT_EQ(file[2].position->elevation, 0.0);
    EXPECT_EQ(file.channelMask(), 0x5001u);
    EXPECT_EQ(fileRefusal("A 0 90\nB 180 90\n"),
              "rig.txt: line 2: direction 180 90 is taken by line 1");
    EXPECT_EQ(
        fileRefusal("A 0 45\nB 0.5 45.5\n"),
        "rig.txt: line 2: direction 0.5 45.5 is less than 1 degree from direction 0 45 (line 1)");
    EXPECT_EQ(fileRefusal("A 0\nB 10 -91\n"),
              "rig.txt: line 2: elevation -91 is outside -90 to 90 degrees");
}

// A still source straight at a loudspeaker feeds it alone, above as below,
// by vbap and by dbap without blur.
TEST(HeightVbap, ASourceAtEachLoudspeakerFeedsItAlone) {
    tarvio::LawParams sharp;
    sharp.blur = 0.0;
    for (const SpeakerLayout& layout : heightLayouts()) {
        for (const char* law : {"vbap", "dbap"}) {
            const Panner panner(*findPanLaw(law), layout, sharp);
            std::vector<double> g(static_cast<std::size_t>(layout.size()));
            for (int ch = 0; ch < layout.size(); ++ch) {
                if (!layout[ch].position)
                    continue;
                const tarvio::SpeakerPosition& p = *layout[ch].position;
                panner.gains(p.x, p.y, p.elevation, g.data());
                for (int k = 0; k < layout.size(); ++k)
                    EXPECT_NEAR(g[static_cast<std::size_t>(k)], k == ch ? 1.0 : 0.0, 1e-9)
                        << law << " on " << layout.name() << ", source at " << layout[ch].label
                        << ", gain of " << layout[k].label;
            }
        }
    }
}

// Any direction, on the sphere or inside it, keeps the power: the squared
// gains add up to 1, none is negative, and the LFE stays silent.
TEST(HeightVbap, RandomDirectionsKeepThePower) {
    std::mt19937 random(32);
    std::uniform_real_distribution<double> azimuth(-180.0, 180.0), z(-1.0, 1.0), r(0.0, 1.0);
    double worst = 0.0;
    for (const SpeakerLayout& layout : heightLayouts()) {
        const Panner panner(*findPanLaw("vbap"), layout);
        std::vector<double> g(static_cast<std::size_t>(layout.size()));
        for (int i = 0; i < 20000; ++i) {
            const double elevation = std::asin(z(random)) * 180.0 / M_PI;
            tarvio::SpeakerPosition p = tarvio::pointAt(azimuth(random));
            const double scale = i % 4 == 0 ? r(random) : 1.0;  // a quarter inside
            p.x = 0.5 + (p.x - 0.5) * scale;
            p.y = 0.5 + (p.y - 0.5) * scale;
            panner.gains(p.x, p.y, elevation, g.data());
            double sum = 0.0;
            for (int k = 0; k < layout.size(); ++k) {
                const double gk = g[static_cast<std::size_t>(k)];
                ASSERT_GE(gk, 0.0);
                if (!layout[k].position) {
                    ASSERT_EQ(gk, 0.0);
                }
                sum += gk * gk;
            }
            worst = std::max(worst, std::fabs(sum - 1.0));
        }
    }
    EXPECT_LT(worst, 1e-6);
    std::printf("largest |sum of squared gains - 1|: %.3g\n", worst);
}

// Every channel of orders 1 to 3 is the SN3D real spherical harmonic of the
// sound's azimuth a and elevation e (AmbiX), degree 1 and up scaled by the
// distance r from the middle of the square.
TEST(HeightAmbisonics, ChannelsAreTheSn3dHarmonicsOfTheDirection) {
    const auto harmonics = [](double a, double e) {
        const double s = std::sin(e), c = std::cos(e), r3 = std::sqrt(3.0);
        return std::vector<double>{1.0,
                                   c * std::sin(a),
                                   s,
                                   c * std::cos(a),
                                   r3 / 2 * c * c * std::sin(2 * a),
                                   r3 / 2 * std::sin(2 * e) * std::sin(a),
                                   (3 * s * s - 1) / 2,
                                   r3 / 2 * std::sin(2 * e) * std::cos(a),
                                   r3 / 2 * c * c * std::cos(2 * a),
                                   std::sqrt(5.0 / 8) * c * c * c * std::sin(3 * a),
                                   std::sqrt(15.0) / 2 * s * c * c * std::sin(2 * a),
                                   std::sqrt(3.0 / 8) * c * (5 * s * s - 1) * std::sin(a),
                                   s * (5 * s * s - 3) / 2,
                                   std::sqrt(3.0 / 8) * c * (5 * s * s - 1) * std::cos(a),
                                   std::sqrt(15.0) / 2 * s * c * c * std::cos(2 * a),
                                   std::sqrt(5.0 / 8) * c * c * c * std::cos(3 * a)};
    };
    std::mt19937 random(3);
    std::uniform_real_distribution<double> azimuth(-180.0, 180.0), elevation(-90.0, 90.0),
        r(0.0, 1.0);
    double worst = 0.0;
    for (int order = 1; order <= 3; ++order) {
        const Panner panner(*findPanLaw("ambisonic"), tarvio::ambisonicLayout(order));
        std::vector<double> g(static_cast<std::size_t>(panner.layout().size()));
        for (int i = 0; i < 2000; ++i) {
            const double a = azimuth(random), e = i == 0 ? 90.0 : elevation(random);
            const double distance = i % 2 == 0 ? 1.0 : r(random);
            double x, y;
            tarvio::polarPoint(a, distance, x, y);
            panner.gains(x, y, e, g.data());
            const std::vector<double> want = harmonics(a * M_PI / 180, e * M_PI / 180);
            for (std::size_t k = 0; k < g.size(); ++k) {
                const double expected = want[k] * (k == 0 ? 1.0 : distance);
                ASSERT_NEAR(g[k], expected, 2e-5) << "order " << order << " ACN" << k;
                worst = std::max(worst, std::fabs(g[k] - expected));
            }
        }
    }
    std::printf("largest difference from the SN3D formulas: %.3g\n", worst);
}
